// Helpers that several test programs share: little-endian bytes, files and
// temporary directories, the container header, whole files built byte by
// byte, expected refusals, the captured diagnostic log, guarded pixel rows,
// a gate that holds a task pool's worker, hooks that make writes or
// allocations fail, the library's reader, and child processes.
#pragma once

#include <gtest/gtest.h>
#include <lz4.h>
#include <snappy.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

extern char** environ;

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
inline Slot slotAt(const Bytes& file, unsigned slot) {
    const size_t at = 12 + 17 * slot;
    return {readLE(file, at, 1), readLE(file, at + 1, 8), readLE(file, at + 9, 8)};
}
inline constexpr Slot unusedSlot = {0, UINT64_MAX, 0};

// ---- ORV files built byte by byte -----------------------------------------------------
//
// Independent of the writer and the reader: every stored code is written out
// here.

inline void poke(Bytes& bytes, uint64_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}

enum : uint32_t { none = 0, snappyCoded = 1, lz4Coded = 2 };
enum : uint32_t { bc1 = 0, bc3 = 1, ycocg = 2, bc4 = 3 };
inline constexpr uint32_t everyCoder[] = {none, snappyCoded, lz4Coded};

// The stored type nibbles, written out here rather than taken from the reader.
inline uint8_t typeByte(uint32_t texFormat, uint32_t compression) {
    const uint8_t low[] = {0x0B, 0x0E, 0x0F, 0x01};
    const uint8_t high[] = {0xA0, 0xB0, 0xF0};
    return low[texFormat] | high[compression];
}

inline Bytes lz4Payload(const Bytes& blocks, uint32_t sizePrefix) {
    Bytes out;
    putLE(out, sizePrefix, 4);
    std::vector<char> block(LZ4_compressBound(static_cast<int>(blocks.size())));
    const int n = LZ4_compress_default(reinterpret_cast<const char*>(blocks.data()), block.data(),
                                       static_cast<int>(blocks.size()),
                                       static_cast<int>(block.size()));
    out.insert(out.end(), block.begin(), block.begin() + n);
    return out;
}

inline Bytes compressed(uint32_t compression, const Bytes& blocks) {
    if (compression == lz4Coded) return lz4Payload(blocks, static_cast<uint32_t>(blocks.size()));
    if (compression != snappyCoded) return blocks;
    std::string out;
    snappy::Compress(reinterpret_cast<const char*>(blocks.data()), blocks.size(), &out);
    return Bytes(out.begin(), out.end());
}

inline Bytes hapSection(uint8_t type, const Bytes& data, bool longForm = false) {
    Bytes out;
    // A zero length can only be written in the long form: three zero bytes
    // announce it.
    if (longForm || data.empty() || data.size() > 0xFFFFFF) {
        putLE(out, uint32_t{type} << 24, 4);
        putLE(out, data.size(), 4);
    } else {
        putLE(out, data.size() | (uint32_t{type} << 24), 4);
    }
    append(out, data);
    return out;
}

inline Bytes textureSection(uint32_t texFormat, uint32_t compression, const Bytes& blocks) {
    return hapSection(typeByte(texFormat, compression), compressed(compression, blocks));
}

inline Bytes alphaHapFrame(uint32_t compression, const Bytes& ycocgBlocks, const Bytes& bc4Blocks) {
    Bytes inner = textureSection(ycocg, compression, ycocgBlocks);
    append(inner, textureSection(bc4, compression, bc4Blocks));
    return hapSection(0x0D, inner);
}

inline Bytes bc1Block(uint16_t colour0, uint16_t colour1, uint32_t indices) {
    Bytes out;
    putLE(out, colour0 | (uint32_t{colour1} << 16), 4);
    putLE(out, indices, 4);
    return out;
}

inline Bytes frameRecord(uint16_t width, uint16_t height, uint16_t sliceWidth, uint16_t sliceHeight,
                  const std::vector<Bytes>& hapFrames) {
    Bytes out;
    for (uint16_t field : {uint16_t{0x0300}, width, height, sliceWidth, sliceHeight})
        putLE(out, field, 2);
    uint32_t offset = 10 + 4 * static_cast<uint32_t>(hapFrames.size());
    for (const Bytes& hap : hapFrames) {
        putLE(out, offset, 4);
        offset += static_cast<uint32_t>(hap.size());
    }
    for (const Bytes& hap : hapFrames) append(out, hap);
    return out;
}

// A 6x6 video section (unless said otherwise) placed first in the file, at
// offset 284 right after a 16-slot table.
inline Bytes videoSection(const std::vector<Bytes>& records, const std::vector<int64_t>& pts,
                   uint16_t width = 6, uint16_t height = 6) {
    uint64_t frameDataSize = 0;
    for (const Bytes& record : records) frameDataSize += record.size();
    Bytes out = videoHeaderBytes(width, height, frameDataSize,
                                          static_cast<uint32_t>(records.size()));
    for (const Bytes& record : records) append(out, record);
    for (const Bytes& record : records) putLE(out, record.size(), 4);
    uint64_t offset = 284 + 52;
    for (const Bytes& record : records) {
        putLE(out, offset, 8);
        offset += record.size();
    }
    for (int64_t t : pts) putLE(out, static_cast<uint64_t>(t), 8);
    return out;
}

inline Bytes audioSection(uint16_t channels, uint32_t sampleRate, const std::vector<int16_t>& samples) {
    const uint32_t dataSize = static_cast<uint32_t>(samples.size() * 2);
    Bytes out = {0};  // the audio codec
    append(out, wavHeader(channels, sampleRate, dataSize + 36, dataSize));
    for (int16_t sample : samples) putLE(out, static_cast<uint16_t>(sample), 2);
    return out;
}

// Header, 16-slot table (section i in slot i) and the sections, each a type
// and its bytes, in order.
inline Bytes assemble(const std::vector<std::pair<uint8_t, Bytes>>& sections) {
    Bytes bytes = emptyContainer(16);
    for (size_t slot = 0; slot < sections.size(); ++slot) {
        poke(bytes, 12 + 17 * slot, sections[slot].first, 1);
        poke(bytes, 13 + 17 * slot, bytes.size(), 8);
        poke(bytes, 21 + 17 * slot, sections[slot].second.size(), 8);
        append(bytes, sections[slot].second);
    }
    return bytes;
}

// A file of one video section with one frame record.
inline Bytes oneFrameFile(uint16_t width, uint16_t height, uint16_t sliceWidth, uint16_t sliceHeight,
                   const std::vector<Bytes>& haps) {
    return assemble(
        {{2, videoSection({frameRecord(width, height, sliceWidth, sliceHeight, haps)}, {0}, width,
                          height)}});
}

// The picture the scalar block decoders make of a frame's whole-frame
// textures (OrvPixFmt_enum `format`; colour plane, then any alpha plane), cut
// to width x height RGBA pixels.
inline Bytes scalarPicture(const Bytes& textures, uint32_t format, uint32_t width,
                           uint32_t height) {
    const uint32_t wide = (width + 3) / 4, high = (height + 3) / 4;
    const size_t colourBlock = format == ORV_PIX_FMT_DXT1 ? 8 : 16;
    Bytes picture(size_t{width} * height * 4);
    for (uint32_t b = 0; b < wide * high; ++b) {
        uint8_t pixels[64], alpha[64];
        const uint8_t* block = &textures[colourBlock * b];
        switch (format) {
            case ORV_PIX_FMT_DXT1: brindle::decodeBC1RGB(block, pixels); break;
            case ORV_PIX_FMT_DXT5: brindle::decodeBC3RGBA(block, pixels); break;
            default: brindle::decodeBC3YCOGR(block, pixels); break;
        }
        if (format == ORV_PIX_FMT_YCOCG_DXT5_ALPHA) {
            brindle::decodeBC4RGBA(&textures[colourBlock * wide * high + 8 * size_t{b}], alpha);
            for (int p = 3; p < 64; p += 4) pixels[p] = alpha[p];
        }
        for (uint32_t k = 0; k < 16; ++k) {
            const uint32_t x = b % wide * 4 + k % 4, y = b / wide * 4 + k / 4;
            if (x < width && y < height)
                std::memcpy(&picture[(size_t{y} * width + x) * 4], pixels + 4 * k, 4);
        }
    }
    return picture;
}

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

// ---- Buffers --------------------------------------------------------------------------

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
    // Frame `frame`'s stored record, sized by the reader's own query.
    Bytes record(uint32_t section, uint32_t frame) const {
        uint64_t size = 0;
        EXPECT_EQ(orvReaderReadFrameRecord(handle, section, frame, nullptr, 0, &size),
                  ORV_ERR_NONE) << message();
        Bytes bytes(size);
        uint64_t read = 0;
        EXPECT_EQ(orvReaderReadFrameRecord(handle, section, frame, bytes.data(), size, &read),
                  ORV_ERR_NONE) << message();
        EXPECT_EQ(read, size);
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

    // The number of the section of `kind` (OrvSectionKind_enum), or -1.
    int section(uint32_t kind) const {
        uint32_t count = 0;
        EXPECT_EQ(orvReaderGetNumSections(handle, &count), ORV_ERR_NONE) << message();
        for (uint32_t i = 0; i < count; ++i) {
            OrvReaderSection_st info{};
            EXPECT_EQ(orvReaderGetSection(handle, i, &info), ORV_ERR_NONE) << message();
            if (info.kind == kind) return static_cast<int>(i);
        }
        return -1;
    }
    int64_t pts(uint32_t section, uint32_t frame) const {
        int64_t value = 0;
        EXPECT_EQ(orvReaderGetFramePts(handle, section, frame, &value), ORV_ERR_NONE) << message();
        return value;
    }
    // Every stored sample of an audio section, interleaved.
    std::vector<int16_t> samples(uint32_t section) const {
        OrvReaderAudioInfo_st info{};
        EXPECT_EQ(orvReaderGetAudioInfo(handle, section, &info), ORV_ERR_NONE) << message();
        std::vector<int16_t> values(info.numSamples * info.numChannels);
        EXPECT_EQ(orvReaderReadAudio(handle, section, 0, info.numSamples, values.data()),
                  ORV_ERR_NONE) << message();
        return values;
    }

    OrvReader* handle = nullptr;
    OrvError_enum code = ORV_ERR_NONE;
    std::string openMessage;
};

// A file image held in memory, opened by path like any other file while
// this lives.
struct MemoryFile : NoCopy {
    explicit MemoryFile(const Bytes& bytes) : fd(memfd_create("orv-test", MFD_CLOEXEC)) {
        EXPECT_GE(fd, 0);
        for (size_t done = 0; fd >= 0 && done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    }
    ~MemoryFile() {
        if (fd >= 0) close(fd);
    }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd); }
    int fd;
};

// A reader of a file image held in memory.
struct ImageReader : MemoryFile, Reader {
    explicit ImageReader(const Bytes& bytes) : MemoryFile(bytes), Reader(path()) {}
};

// What the library's reader finds wrong with a file image, one line a
// problem; empty for a sound file. A file it cannot open is one problem.
inline std::vector<std::string> problemsOf(const Bytes& bytes) {
    const ImageReader reader(bytes);
    if (reader.code != ORV_ERR_NONE) return {"cannot open: " + reader.openMessage};
    return reader.problems();
}

// ---- Child processes --------------------------------------------------------------------
//
// Programs run the way a user runs them (the `orv` tool, ffmpeg, ffprobe),
// and what their pictures differ by.

using Args = std::vector<std::string>;

struct Result {
    bool started = false;  // false: the program is not installed
    int status = -1;       // exit status; -1 when killed by a signal
    int signal = 0;
    long peakKilobytes = 0;  // the most memory it held at once
    std::string out, err;
};

inline std::string readAllFrom(FILE* file) {
    std::string text;
    std::rewind(file);
    char chunk[4096];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, got);
    return text;
}

inline std::vector<char*> cStrings(const Args& strings) {
    std::vector<char*> out;
    for (const std::string& s : strings) out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// argv[0] from PATH, running: its standard input a pipe that the test feeds
// (or a terminal), its output and errors collected in files so that neither
// side can block the other, and `environment` in place of ours when given.
class Child : orvtest::NoCopy {
public:
    explicit Child(const Args& argv, const Args* environment = nullptr, bool terminal = false)
        : terminal(terminal) {
        out = std::tmpfile();
        err = std::tmpfile();
        int inputFds[2] = {-1, -1};
        if (terminal) openTerminal(inputFds);
        else if (pipe2(inputFds, O_CLOEXEC) != 0) inputFds[0] = -1;
        if (!out || !err || inputFds[0] < 0) {
            ADD_FAILURE() << "cannot set up a child process: " << std::strerror(errno);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, inputFds[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fileno(out), STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, fileno(err), STDERR_FILENO);
        // The signals a test sends act as they do from a shell, also when the
        // test itself runs with them ignored (under nohup, say).
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t interrupting;
        sigemptyset(&interrupting);
        for (const int signalNumber : {SIGHUP, SIGINT, SIGTERM}) sigaddset(&interrupting, signalNumber);
        posix_spawnattr_setsigdefault(&attributes, &interrupting);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        const Args none;
        std::vector<char*> args = cStrings(argv), env = cStrings(environment ? *environment : none);
        result.started = posix_spawnp(&pid, argv[0].c_str(), &actions, &attributes, args.data(),
                                      environment ? env.data() : environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        close(inputFds[0]);
        input = inputFds[1];
    }
    ~Child() {
        if (pid > 0) kill(pid, SIGKILL);
        reap();
        if (out) std::fclose(out);
        if (err) std::fclose(err);
    }

    // Whether the child took all of `bytes`: false once it stopped reading.
    // Past the pipe's capacity, true means it has read the rest.
    bool feed(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t wrote = write(input, bytes.data() + done, bytes.size() - done);
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) return false;
            done += static_cast<size_t>(wrote);
        }
        return true;
    }
    // Ends its input and waits for it to end. A terminal says so with ^D, as
    // a user does: its hang-up would answer the child's questions about it.
    Result wait() {
        if (terminal) feed("\x04");
        else close(std::exchange(input, -1));
        return reap();
    }
    // A signal, the input still open: a child that waits for more input can
    // end no other way.
    Result interrupt(int signalNumber) {
        kill(pid, signalNumber);
        return reap();
    }

private:
    Result reap() {
        if (pid <= 0) return result;
        int status = 0;
        struct rusage usage {};
        while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
        }
        pid = -1;
        if (input >= 0) close(std::exchange(input, -1));
        if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
        else if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
        result.peakKilobytes = usage.ru_maxrss;
        result.out = readAllFrom(out);
        result.err = readAllFrom(err);
        return result;
    }

    // A pseudo-terminal's two ends: the child's input and ours.
    static void openTerminal(int fds[2]) {
        fds[1] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fds[1] < 0 || grantpt(fds[1]) != 0 || unlockpt(fds[1]) != 0) return;
        fds[0] = open(ptsname(fds[1]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }

    bool terminal;
    pid_t pid = -1;
    int input = -1;
    FILE* out = nullptr;
    FILE* err = nullptr;
    Result result;
};

inline Result run(const Args& argv, const std::string& input = "", const Args* environment = nullptr) {
    Child child(argv, environment);
    child.feed(input);  // a child that stops reading early tells why in its status
    return child.wait();
}

inline std::string describe(const Result& result) {
    return "status " + std::to_string(result.status) + ", signal " + std::to_string(result.signal) +
           "\nstdout: " + result.out + "\nstderr: " + result.err;
}

#ifdef ORV_TOOL_PATH
// The `orv` tool that this build made.
inline Result orv(Args args, const std::string& input = "", const Args* environment = nullptr) {
    args.insert(args.begin(), ORV_TOOL_PATH);
    return run(args, input, environment);
}
#endif

// What ffmpeg, quiet and overwriting, writes to `output`.
inline Bytes ffmpeg(Args args, const std::string& output) {
    args.insert(args.begin(), {"ffmpeg", "-y", "-v", "error"});
    args.push_back(output);
    const Result result = run(args);
    EXPECT_EQ(result.status, 0) << describe(result);
    return readFile(output);
}

inline bool ffmpegInstalled() {
    static const bool installed =
        run({"ffmpeg", "-version"}).started && run({"ffprobe", "-version"}).started;
    return installed;
}

inline void expectHas(const std::string& text, const std::vector<std::string>& needles) {
    for (const std::string& needle : needles)
        EXPECT_NE(text.find(needle), std::string::npos) << needle << "\n" << text;
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// The largest and the mean absolute difference in one channel (0 R to 3 A).
inline std::pair<int, double> difference(const Bytes& a, const Bytes& b, int channel) {
    int most = 0;
    double sum = 0;
    for (size_t i = channel; i < a.size() && i < b.size(); i += 4) {
        most = std::max(most, std::abs(int(a[i]) - int(b[i])));
        sum += std::abs(int(a[i]) - int(b[i]));
    }
    return {most, sum / (a.size() / 4)};
}

}  // namespace orvtest
