// `orv remux` on 3840x2160 clips of natural pictures, eight frames with
// motion, as the encoder made them: the whole remux into MOV (input bytes
// per second, from a warm page cache) with the textures' second stage
// repacked from none, snappy or LZ4, automatically chunked or whole, on one
// and two threads, with the output's size per frame as a counter; and the
// Hap packing of one 4K texture alone by chunk count.
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "hap_frame_packer.hpp"
#include "natural_picture.hpp"
#include "orv.h"
#include "orv_reader.h"
#include "remux.hpp"

namespace {

constexpr unsigned kWidth = 3840, kHeight = 2160, kFrames = 8;

std::string scratch(const std::string& name) {
    return "/tmp/orv-bench-remux-" + std::to_string(getpid()) + "-" + name;
}

struct Files {
    ~Files() {
        for (const std::string& path : made) std::remove(path.c_str());
    }
    std::vector<std::string> made;
} files;

uint64_t fileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

// The clip of a format and coder, encoded once.
std::string clip(uint32_t format, uint32_t compression) {
    const std::string path =
        scratch(std::to_string(format) + "-" + std::to_string(compression) + ".orv");
    if (std::ifstream(path).good()) return path;
    brindle::logOpen("/dev/null");  // the encoder's status lines would drown the table
    static const std::vector<uint8_t> picture =
        orvbench::naturalPictureRGBA(kWidth + 8 * kFrames, kHeight);
    const bool ok =
        orvbench::encodePanningClip(path, picture, kWidth, kHeight, kFrames, format, compression);
    brindle::logClose();
    files.made.push_back(path);
    if (!ok) std::fprintf(stderr, "encoding %s failed\n", path.c_str());
    return path;
}

void BM_Remux(benchmark::State& state, uint32_t format, uint32_t compression, uint32_t chunks) {
    orvtool::RemuxJob job;
    job.input = clip(format, compression);
    job.outputPath = job.outputName = scratch("out.mov");
    job.chunks = chunks;
    job.threads = static_cast<unsigned>(state.range(0));
    files.made.push_back(job.outputPath);
    for (auto _ : state) {
        try {
            orvtool::remux(job);
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fileSize(job.input)));
    state.counters["input MB/frame"] = fileSize(job.input) / 1e6 / kFrames;
    state.counters["output MB/frame"] = fileSize(job.outputPath) / 1e6 / kFrames;
}

void BM_PackTexture(benchmark::State& state, uint32_t format) {
    const std::string file = clip(format, ORV_COMPRESSION_NONE);
    // Frame 0's colour texture, as the reader hands it over.
    OrvReader* reader = nullptr;
    orvReaderOpen(file.c_str(), &reader, nullptr, 0);
    uint32_t count = 0;
    uint64_t size = 0;
    OrvReaderTexture_st texture{};
    orvReaderGetTextureLayout(reader, 0, ORV_TEXTURES_WHOLE_FRAME, &texture, 1, &count, &size);
    std::vector<uint8_t> blocks(size);
    orvReaderReadTextures(reader, 0, 0, ORV_TEXTURES_WHOLE_FRAME, blocks.data(), size);
    orvReaderClose(reader);
    const orvtool::HapTexture one{texture.format, {blocks.data(), texture.size}};
    size_t packed = 0;
    for (auto _ : state) packed = orvtool::packHapFrame({&one, 1}, state.range(0)).size();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * texture.size));
    state.counters["packed/texture"] = static_cast<double>(packed) / texture.size;
}

}  // namespace

BENCHMARK_CAPTURE(BM_Remux, ycocg_none_auto, ORV_PIX_FMT_YCOCG_DXT5, ORV_COMPRESSION_NONE, 0)
    ->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Remux, ycocg_snappy_auto, ORV_PIX_FMT_YCOCG_DXT5, ORV_COMPRESSION_SNAPPY, 0)
    ->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Remux, ycocg_snappy_whole, ORV_PIX_FMT_YCOCG_DXT5, ORV_COMPRESSION_SNAPPY, 1)
    ->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Remux, ycocg_lz4_auto, ORV_PIX_FMT_YCOCG_DXT5, ORV_COMPRESSION_LZ4, 0)
    ->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Remux, ycocg_lz4_whole, ORV_PIX_FMT_YCOCG_DXT5, ORV_COMPRESSION_LZ4, 1)
    ->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Remux, ycocg_alpha_lz4_auto, ORV_PIX_FMT_YCOCG_DXT5_ALPHA,
                  ORV_COMPRESSION_LZ4, 0)
    ->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Remux, dxt1_snappy_auto, ORV_PIX_FMT_DXT1, ORV_COMPRESSION_SNAPPY, 0)
    ->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PackTexture, ycocg, ORV_PIX_FMT_YCOCG_DXT5)
    ->Arg(1)->Arg(8)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);
