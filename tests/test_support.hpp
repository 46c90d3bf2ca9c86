// Helpers that several test programs share: little-endian bytes, files and
// temporary directories, the container header, expected refusals, the
// captured diagnostic log, a recording byte sink, guarded pixel rows, a gate
// that holds a task pool's worker, and hooks that make writes or allocations
// fail.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orv.h"
#include "orv_reader.h"
#include "orvwriter.hpp"
#include "task_pool.hpp"

namespace orvtest {

// A video stream of the given size at 25 frames per second with a 1/25 time
// base; LZ4's fast level keeps the sanitizer builds quick.
inline OrvVideoStreamParams_st videoParams(uint32_t width, uint32_t height,
                                           uint32_t format = ORV_PIX_FMT_DXT1,
                                           uint32_t compression = ORV_COMPRESSION_LZ4,
                                           uint32_t maxParallel = 16) {
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    params.width = width;
    params.height = height;
    params.timebaseNum = params.fpsDen = 1;
    params.timebaseDen = params.fpsNum = 25;
    params.format = format;
    params.compression = compression;
    params.compressionHint = 0;
    params.maxParallel = maxParallel;
    return params;
}

using Bytes = std::vector<uint8_t>;

// ---- Bytes --------------------------------------------------------------------

inline void putLE(Bytes& out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
inline void putTag(Bytes& out, const char* tag) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(tag[i]));
}
inline void append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

// A read past the end fails the test instead of reading outside the bytes.
inline uint64_t readLE(const Bytes& bytes, size_t at, int width) {
    EXPECT_LE(at + width, bytes.size()) << "read of " << width << " bytes at " << at;
    if (at + width > bytes.size()) return 0;
    uint64_t value = 0;
    for (int i = 0; i < width; ++i) value |= uint64_t{bytes[at + i]} << (8 * i);
    return value;
}

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Objects that undo something when they go must not be copied.
struct NoCopy {
    NoCopy() = default;
    NoCopy(const NoCopy&) = delete;
    NoCopy& operator=(const NoCopy&) = delete;
};

// A fresh directory of its own under the test temp dir, removed whole.
struct TempDir : NoCopy {
    TempDir() : root(::testing::TempDir() + "orv_test_XXXXXX") {
        if (mkdtemp(root.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() { std::filesystem::remove_all(root); }
    std::string path(const std::string& name) const { return root + "/" + name; }
    std::string root;
};

// ---- Container bytes -------------------------------------------------------------

// What a fresh container holds: the header with every slot unused.
inline Bytes emptyContainer(unsigned slots = 16) {
    Bytes bytes;
    putTag(bytes, "ORVC");
    putLE(bytes, 1, 4);
    putLE(bytes, slots, 4);
    for (unsigned slot = 0; slot < slots; ++slot) {
        putLE(bytes, 0, 1);
        putLE(bytes, UINT64_MAX, 8);
        putLE(bytes, 0, 8);
    }
    return bytes;
}

// A video section header as the writer must store it for a stream with
// time base 1/90000 and 30000/1001 frames per second (each denominator
// first), followed by its frame data size and frame count.
inline Bytes videoHeaderBytes(uint16_t width, uint16_t height, uint64_t frameDataSize,
                              uint32_t frameCount) {
    Bytes bytes;
    for (uint16_t field : {uint16_t{0}, uint16_t{7}, width, height}) putLE(bytes, field, 2);
    for (uint64_t field : {uint64_t{90000}, uint64_t{1}, uint64_t{1001}, uint64_t{30000}})
        putLE(bytes, field, 8);
    putLE(bytes, frameDataSize, 8);
    putLE(bytes, frameCount, 4);
    return bytes;
}

// The WAV header as a reader of the format expects it.
inline Bytes wavHeader(uint32_t channels, uint32_t rate, uint32_t riffSize, uint32_t dataSize) {
    Bytes bytes;
    putTag(bytes, "RIFF");
    putLE(bytes, riffSize, 4);
    putTag(bytes, "WAVE");
    putTag(bytes, "fmt ");
    putLE(bytes, 16, 4);  // format chunk size
    putLE(bytes, 1, 2);   // PCM
    putLE(bytes, channels, 2);
    putLE(bytes, rate, 4);
    putLE(bytes, rate * channels * 2, 4);  // bytes per second
    putLE(bytes, channels * 2, 2);         // block alignment
    putLE(bytes, 16, 2);                   // bits per sample
    putTag(bytes, "data");
    putLE(bytes, dataSize, 4);
    return bytes;
}

struct Slot {
    uint64_t type, offset, size;
    bool operator==(const Slot&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Slot& s) {
    return out << "{type " << s.type << ", offset " << s.offset << ", size " << s.size << "}";
}
inline Slot slotAt(const Bytes& file, unsigned slot) {
    const size_t at = 12 + 17 * slot;
    return {readLE(file, at, 1), readLE(file, at + 1, 8), readLE(file, at + 9, 8)};
}
inline constexpr Slot unusedSlot = {0, UINT64_MAX, 0};

// ---- Refusals ---------------------------------------------------------------------

template <typename Call>
void expectOrvError(Call&& call, uint32_t code, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no exception; expected \"" << message << "\"";
    } catch (const brindle::OrvException& error) {
        EXPECT_EQ(std::string(error.what()), message);
        EXPECT_EQ(error.code, code) << message;
    }
}

// The text of a failed write, as the writer reports it.
inline std::string writeError(int error) {
    return std::string("error while writing: ") + std::strerror(error);
}

// ---- The diagnostic log -------------------------------------------------------------

// A test program that reads log lines logs into one file for its whole run;
// it registers this environment once:
//   const auto* const logFile = ::testing::AddGlobalTestEnvironment(new orvtest::LogFile);
class LogFile : public ::testing::Environment {
public:
    static const std::string& path() {
        static const std::string name =
            ::testing::TempDir() + "orv_test_" + std::to_string(getpid()) + ".log";
        return name;
    }
    void SetUp() override { brindle::logOpen(path().c_str()); }
    void TearDown() override { brindle::logClose(); std::remove(path().c_str()); }
};

// The lines logged since this capture was made.
struct LogCapture {
    std::string text() const {
        std::ifstream in(LogFile::path(), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(start));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    uintmax_t start = std::filesystem::file_size(LogFile::path());
};

// ---- Sinks and buffers ----------------------------------------------------------------

// Keeps every write apart, so that a test sees how the bytes were written as
// well as which bytes.
struct RecordingSink : brindle::OrvIOSink {
    struct Write {
        const void* data;
        Bytes bytes;
    };
    void write(size_t size, const void* data) override {
        const uint8_t* begin = static_cast<const uint8_t*>(data);
        writes.push_back({data, Bytes(begin, begin + size)});
    }
    Bytes all() const {
        Bytes bytes;
        for (const Write& w : writes) append(bytes, w.bytes);
        return bytes;
    }
    uint64_t total() const { return all().size(); }
    std::vector<Write> writes;
};

// `rows` rows of `rowBytes` copied to `stride` apart into a heap buffer that
// ends right after the last row. Under AddressSanitizer the gaps between
// rows are unaddressable too, so a read anywhere outside the rows is
// reported (exactly so when the gaps start and end 8-byte aligned).
struct GuardedRows : NoCopy {
    GuardedRows(const uint8_t* src, ptrdiff_t srcStride, size_t rowBytes, size_t rows,
                size_t stride)
        : size(rows == 0 ? 0 : (rows - 1) * stride + rowBytes), storage(new uint8_t[size]) {
        for (size_t y = 0; y < rows; ++y)
            std::memcpy(storage.get() + y * stride, src + static_cast<ptrdiff_t>(y) * srcStride,
                        rowBytes);
        for (size_t y = 0; y + 1 < rows && stride > rowBytes; ++y)
            ASAN_POISON_MEMORY_REGION(storage.get() + y * stride + rowBytes, stride - rowBytes);
    }
    ~GuardedRows() { ASAN_UNPOISON_MEMORY_REGION(storage.get(), size); }
    const uint8_t* data() const { return storage.get(); }
    size_t size;
    std::unique_ptr<uint8_t[]> storage;
};

// ---- Holding workers and failing ----------------------------------------------------

// Holds one worker of `pool` until released: queued above every pipeline
// task, so that nothing queued meanwhile can run on a one-worker pool.
struct PoolGate : NoCopy {
    explicit PoolGate(brindle::TaskPool& pool) {
        struct Wait : brindle::TaskPool::Task {
            explicit Wait(std::shared_future<void> open) : Task(1000), opened(std::move(open)) {}
            void run() override { opened.wait(); }
            std::shared_future<void> opened;
        };
        pool.addTask(std::make_unique<Wait>(promise.get_future().share()));
    }
    ~PoolGate() { release(); }
    void release() {
        if (!released) promise.set_value();
        released = true;
    }
    std::promise<void> promise;
    bool released = false;
};

// The allocation hook is process-wide; this disarms it whatever happens.
struct AllocationFailureGuard : NoCopy {
    explicit AllocationFailureGuard(long count) { brindle::failBufferAllocationAfter(count); }
    ~AllocationFailureGuard() { brindle::failBufferAllocationAfter(-1); }
};

// Caps the size of files this process writes, with SIGXFSZ ignored so that
// crossing the cap is a failing write instead of the end of the process.
struct FileSizeLimit : NoCopy {
    explicit FileSizeLimit(rlim_t bytes) : previousHandler(signal(SIGXFSZ, SIG_IGN)) {
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit capped = previous;
        capped.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &capped), 0);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &previous); signal(SIGXFSZ, previousHandler); }
    sighandler_t previousHandler;
    rlimit previous{};
};

// ---- The library's reader ------------------------------------------------------------

// An open reader of a file; each accessor expects its call to succeed and
// reports the reader's message when it does not.
struct Reader : NoCopy {
    explicit Reader(const std::string& path) {
        char message[512] = "";
        code = orvReaderOpen(path.c_str(), &handle, message, sizeof message);
        openMessage = message;
    }
    ~Reader() { orvReaderClose(handle); }

    std::string message() const { return orvReaderGetErrorMessage(handle); }

    OrvReaderVideoInfo_st video(uint32_t section) const {
        OrvReaderVideoInfo_st info{};
        EXPECT_EQ(orvReaderGetVideoInfo(handle, section, &info), ORV_ERR_NONE) << message();
        return info;
    }
    std::vector<OrvReaderTexture_st> textureLayout(uint32_t section, uint32_t layout,
                                                   uint64_t* bufferSize = nullptr) const {
        uint32_t count = 0;
        uint64_t bytes = 0;
        EXPECT_EQ(orvReaderGetTextureLayout(handle, section, layout, nullptr, 0, &count, &bytes),
                  ORV_ERR_NONE) << message();
        std::vector<OrvReaderTexture_st> textures(count);
        EXPECT_EQ(orvReaderGetTextureLayout(handle, section, layout, textures.data(), count,
                                            &count, &bytes),
                  ORV_ERR_NONE) << message();
        if (bufferSize) *bufferSize = bytes;
        return textures;
    }
    Bytes textures(uint32_t section, uint32_t frame, uint32_t layout) const {
        uint64_t size = 0;
        textureLayout(section, layout, &size);
        Bytes bytes(size);
        EXPECT_EQ(orvReaderReadTextures(handle, section, frame, layout, bytes.data(), size),
                  ORV_ERR_NONE) << message();
        return bytes;
    }
    // Packed rows (stride 4 x width), from the top or from the bottom row.
    Bytes pixels(uint32_t section, uint32_t frame, uint32_t pixFmt = ORV_SRC_PIX_FMT_RGBA32,
                 uint32_t origin = 0) const {
        const OrvReaderVideoInfo_st info = video(section);
        Bytes bytes(size_t{info.width} * info.height * 4);
        EXPECT_EQ(orvReaderDecodeFrame(handle, section, frame, pixFmt, origin, bytes.data(),
                                       size_t{info.width} * 4, bytes.size()),
                  ORV_ERR_NONE) << message();
        return bytes;
    }
    std::vector<std::string> problems() const {
        std::vector<std::string> lines;
        uint64_t count = 0;
        EXPECT_EQ(orvReaderVerify(
                      handle,
                      [](void* user, const char* problem) {
                          static_cast<std::vector<std::string>*>(user)->push_back(problem);
                      },
                      &lines, &count),
                  ORV_ERR_NONE) << message();
        EXPECT_EQ(count, lines.size());
        return lines;
    }

    OrvReader* handle = nullptr;
    OrvError_enum code = ORV_ERR_NONE;
    std::string openMessage;
};

}  // namespace orvtest
