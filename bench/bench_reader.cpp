// The reader (orv_reader.h) on files the encoder made of natural pictures at
// 1920x1080 and 3840x2160, eight frames each with motion (the picture moved
// 8 pixels a frame): textures out with the second stage undone, per slice
// and stitched whole (bytes_per_second counts texture bytes); pictures out as
// RGBA (items_per_second counts pixels), on one thread and on two threads
// reading one handle; the row decoders alone at every SIMD level; the time
// and heap to open a file of 100,000 frames; and the peak resident memory of
// opening a sparse file of 6 GB and reading its last frame.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "dxt_encoder_simd.hpp"
#include "natural_picture.hpp"
#include "orv.h"
#include "orv_reader.h"

namespace {

struct Resolution {
    const char* name;
    unsigned width, height;
};
const Resolution hd = {"1080p", 1920, 1080}, uhd = {"2160p", 3840, 2160};
constexpr int kFrames = 8;

std::string scratch(const std::string& name) {
    return "/tmp/orv-bench-reader-" + std::to_string(getpid()) + "-" + name + ".orv";
}

// Files made once per run and removed at exit.
struct Files {
    ~Files() {
        for (const std::string& path : made) std::remove(path.c_str());
    }
    std::vector<std::string> made;
} files;

// The clip of a resolution, format and coder, encoded once.
std::string clip(const Resolution& r, uint32_t format, uint32_t compression) {
    const std::string path = scratch(std::string(r.name) + "-" + std::to_string(format) + "-" +
                                     std::to_string(compression));
    if (std::ifstream(path).good()) return path;
    static const std::vector<uint8_t> picture4k =
        orvbench::naturalPictureRGBA(uhd.width + 8 * kFrames, uhd.height);
    static const std::vector<uint8_t> pictureHd =
        orvbench::naturalPictureRGBA(hd.width + 8 * kFrames, hd.height);
    const std::vector<uint8_t>& picture = r.width == uhd.width ? picture4k : pictureHd;
    const bool ok =
        orvbench::encodePanningClip(path, picture, r.width, r.height, kFrames, format, compression);
    files.made.push_back(path);
    if (!ok) std::fprintf(stderr, "encoding %s failed\n", path.c_str());
    return path;
}

// One handle for all threads of a benchmark run.
struct Shared {
    explicit Shared(const std::string& path) {
        char message[256];
        if (orvReaderOpen(path.c_str(), &reader, message, sizeof message) != ORV_ERR_NONE)
            std::fprintf(stderr, "%s\n", message);
        orvReaderGetVideoInfo(reader, 0, &info);
    }
    ~Shared() { orvReaderClose(reader); }
    OrvReader* reader = nullptr;
    OrvReaderVideoInfo_st info{};
};

std::shared_ptr<Shared> shared(const std::string& path) {
    static std::string openPath;
    static std::shared_ptr<Shared> open;
    if (openPath != path) open = std::make_shared<Shared>(path), openPath = path;
    return open;
}

void BM_Textures(benchmark::State& state, Resolution r, uint32_t format, uint32_t compression,
                 uint32_t layout) {
    const auto file = shared(clip(r, format, compression));
    uint32_t count = 0;
    uint64_t size = 0;
    orvReaderGetTextureLayout(file->reader, 0, layout, nullptr, 0, &count, &size);
    std::vector<uint8_t> buffer(size);
    uint32_t k = static_cast<uint32_t>(state.thread_index());
    for (auto _ : state) {
        if (orvReaderReadTextures(file->reader, 0, k++ % kFrames, layout, buffer.data(), size) !=
            ORV_ERR_NONE)
            state.SkipWithError(orvReaderGetErrorMessage(file->reader));
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_Pixels(benchmark::State& state, Resolution r, uint32_t format, uint32_t compression) {
    const auto file = shared(clip(r, format, compression));
    const size_t stride = size_t{r.width} * 4;
    std::vector<uint8_t> pixels(stride * r.height);
    uint32_t k = static_cast<uint32_t>(state.thread_index());
    for (auto _ : state) {
        if (orvReaderDecodeFrame(file->reader, 0, k++ % kFrames, ORV_SRC_PIX_FMT_RGBA32, 0,
                                 pixels.data(), stride, pixels.size()) != ORV_ERR_NONE)
            state.SkipWithError(orvReaderGetErrorMessage(file->reader));
        benchmark::DoNotOptimize(pixels.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * r.width * r.height));
}

// The row decoders alone over frame 0's whole-frame textures, at one level.
void BM_RowDecoders(benchmark::State& state, uint32_t format, brindle::DxtSimdLevel level) {
    const brindle::DxtRowDecoders* decoders = brindle::dxtRowDecodersFor(level);
    if (decoders == nullptr) return state.SkipWithError("this CPU lacks the level");
    const auto file = shared(clip(hd, format, ORV_COMPRESSION_LZ4));
    uint32_t count = 0;
    uint64_t size = 0;
    orvReaderGetTextureLayout(file->reader, 0, ORV_TEXTURES_WHOLE_FRAME, nullptr, 0, &count, &size);
    std::vector<uint8_t> blocks(size);
    orvReaderReadTextures(file->reader, 0, 0, ORV_TEXTURES_WHOLE_FRAME, blocks.data(), size);
    const unsigned wide = (hd.width + 3) / 4, high = (hd.height + 3) / 4;
    const size_t blockBytes = size / (size_t{wide} * high);
    const brindle::DxtRowDecodeFn decode =
        format == ORV_PIX_FMT_DXT1 ? decoders->bc1Rgba : decoders->ycocgRgba;
    std::vector<uint8_t> pixels(size_t{wide} * 16 * high * 4);
    for (auto _ : state)
        for (unsigned y = 0; y < high; ++y)
            decode(&pixels[size_t{y} * 4 * wide * 16], ptrdiff_t{wide} * 16,
                   &blocks[size_t{y} * wide * blockBytes], nullptr, wide);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * wide * high * 16));
}

// ---- Opening large indexes and large files ---------------------------------------------------

void putLE(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A 4x4 BC1 record (one uncompressed slice) at `offset` of a file.
std::vector<uint8_t> tinyRecord() {
    std::vector<uint8_t> r;
    for (uint16_t field : {0x0300, 4, 4, 4, 4}) putLE(r, field, 2);
    putLE(r, 14, 4);
    putLE(r, 8 | 0xAB000000u, 4);
    putLE(r, 0x0000F800, 4), putLE(r, 0, 4);
    return r;
}

// A file of one video section: the header, frames of the given sizes
// (tiny records at the first and last places, holes elsewhere) and the index.
std::string writeVideoFile(const std::string& name, const std::vector<uint64_t>& frameSizes) {
    const std::string path = scratch(name);
    const std::vector<uint8_t> record = tinyRecord();
    uint64_t frameData = 0;
    for (uint64_t size : frameSizes) frameData += size;
    std::vector<uint8_t> head = {'O', 'R', 'V', 'C'};
    putLE(head, 1, 4), putLE(head, 16, 4);
    const uint64_t sectionSize = 52 + frameData + 20 * frameSizes.size();
    putLE(head, 2, 1), putLE(head, 284, 8), putLE(head, sectionSize, 8);
    for (int slot = 1; slot < 16; ++slot)
        putLE(head, 0, 1), putLE(head, UINT64_MAX, 8), putLE(head, 0, 8);
    for (uint64_t field : {0, 7, 4, 4}) putLE(head, field, 2);
    for (uint64_t field : {30, 1, 1, 30}) putLE(head, field, 8);
    putLE(head, frameData, 8), putLE(head, frameSizes.size(), 4);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    files.made.push_back(path);
    if (pwrite(fd, head.data(), head.size(), 0) < 0) std::perror("pwrite");
    std::vector<uint8_t> index;
    uint64_t at = 336;
    std::vector<uint8_t> records;
    for (size_t k = 0; k < frameSizes.size(); ++k) {
        if (frameSizes[k] == record.size()) {
            if (pwrite(fd, record.data(), record.size(), static_cast<off_t>(at)) < 0)
                std::perror("pwrite");
        }
        at += frameSizes[k];
    }
    for (uint64_t size : frameSizes) putLE(index, size, 4);
    at = 336;
    for (uint64_t size : frameSizes) putLE(index, at, 8), at += size;
    for (size_t k = 0; k < frameSizes.size(); ++k) putLE(index, k, 8);
    if (pwrite(fd, index.data(), index.size(), static_cast<off_t>(at)) < 0) std::perror("pwrite");
    close(fd);
    return path;
}

void BM_OpenIndexOf100000Frames(benchmark::State& state) {
    static const std::string path =
        writeVideoFile("index", std::vector<uint64_t>(100000, tinyRecord().size()));
    size_t heap = 0;
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        OrvReader* reader = nullptr;
        orvReaderOpen(path.c_str(), &reader, nullptr, 0);
        heap = mallinfo2().uordblks - before;
        orvReaderClose(reader);
    }
    state.counters["heap_bytes"] = static_cast<double>(heap);
}

// Peak resident memory since the last reset, in bytes.
double peakResident() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return 1024.0 * std::stod(line.substr(6));
    return 0;
}

void BM_SparseFileLastFrame(benchmark::State& state) {
    // Two holes of 3 GiB between the first and the last record.
    const uint64_t tiny = tinyRecord().size(), hole = uint64_t{3} << 30;
    static const std::string path = writeVideoFile("sparse", {tiny, hole, hole, tiny});
    double growth = 0, before = 0;
    for (auto _ : state) {
        std::ofstream("/proc/self/clear_refs") << "5";  // restarts the peak at the current size
        before = peakResident();
        OrvReader* reader = nullptr;
        orvReaderOpen(path.c_str(), &reader, nullptr, 0);
        uint8_t pixels[64];
        if (orvReaderDecodeFrame(reader, 0, 3, ORV_SRC_PIX_FMT_RGBA32, 0, pixels, 16,
                                 sizeof pixels) != ORV_ERR_NONE)
            state.SkipWithError(orvReaderGetErrorMessage(reader));
        orvReaderClose(reader);
        growth = peakResident() - before;
    }
    state.counters["file_GB"] = static_cast<double>(2 * hole + 2 * tiny + 336 + 80) / 1e9;
    state.counters["peak_rss_growth_bytes"] = growth;
    state.counters["peak_rss_bytes"] = before + growth;
}

void registerAll() {
    const struct {
        const char* name;
        uint32_t format, compression;
    } kinds[] = {{"DXT1/LZ4", ORV_PIX_FMT_DXT1, ORV_COMPRESSION_LZ4},
                 {"DXT1/snappy", ORV_PIX_FMT_DXT1, ORV_COMPRESSION_SNAPPY},
                 {"YCoCg/LZ4", ORV_PIX_FMT_YCOCG_DXT5, ORV_COMPRESSION_LZ4},
                 {"YCoCg/snappy", ORV_PIX_FMT_YCOCG_DXT5, ORV_COMPRESSION_SNAPPY}};
    for (const Resolution r : {hd, uhd})
        for (const auto& k : kinds) {
            const std::string suffix = std::string(r.name) + "/" + k.name;
            benchmark::RegisterBenchmark(("Textures/slices/" + suffix).c_str(), BM_Textures, r,
                                         k.format, k.compression, ORV_TEXTURES_PER_SLICE)
                ->Threads(1)
                ->Threads(2)
                ->UseRealTime();
            benchmark::RegisterBenchmark(("Textures/whole/" + suffix).c_str(), BM_Textures, r,
                                         k.format, k.compression, ORV_TEXTURES_WHOLE_FRAME)
                ->UseRealTime();
            benchmark::RegisterBenchmark(("Pixels/" + suffix).c_str(), BM_Pixels, r, k.format,
                                         k.compression)
                ->Threads(1)
                ->Threads(2)
                ->UseRealTime();
        }
    for (const auto level : {brindle::DxtSimdLevel::scalar, brindle::DxtSimdLevel::sse41,
                             brindle::DxtSimdLevel::avx2, brindle::DxtSimdLevel::avx512})
        for (const uint32_t format : {ORV_PIX_FMT_DXT1, ORV_PIX_FMT_YCOCG_DXT5})
            benchmark::RegisterBenchmark(
                (std::string("RowDecoders/") + brindle::dxtSimdLevelName(level) +
                 (format == ORV_PIX_FMT_DXT1 ? "/BC1" : "/YCoCg"))
                    .c_str(),
                BM_RowDecoders, format, level);
    benchmark::RegisterBenchmark("Open/100000-frame index", BM_OpenIndexOf100000Frames)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Open/6 GB sparse file, last frame", BM_SparseFileLastFrame)
        ->Iterations(3)
        ->Unit(benchmark::kMillisecond);
}

const bool registered =
    (registerAll(),
     benchmark::AddCustomContext("picture",
                                 (orvbench::naturalPictureRGBA(16, 16), orvbench::pictureSource)),
     true);

}  // namespace
