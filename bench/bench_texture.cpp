// Single-thread speed of the primary compressor, in megapixels per second
// (the "Mpixels" rate), for every texture format from RGBA and from BGRA, at
// every SIMD level this CPU has: "scalar" is the reference block functions in
// a loop, the others are the row encoders with one block per vector lane.
//
// Rates are per CPU second of the one benchmark thread, so that other load on
// the machine does not count against the encoder.
//
// The picture is natural content (natural_picture.hpp: photographs, or a
// procedural photo-like picture where they are missing): flat test patterns
// would all go through the flat-block shortcut and say nothing about the
// general path. "flat" is the share of blocks that take the shortcut.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "dxt_encoder_simd.hpp"
#include "orvenc_ffmpeg.hpp"
#include "natural_picture.hpp"

namespace {

constexpr unsigned imageWidth = 1920;
constexpr unsigned imageHeight = 1088;

const std::vector<uint8_t>& sourceImage(bool bgra) {
    static const std::vector<uint8_t> rgba = orvbench::naturalPictureRGBA(imageWidth, imageHeight);
    static const std::vector<uint8_t> swapped = [] {
        std::vector<uint8_t> out = rgba;
        for (size_t i = 0; i < out.size(); i += 4) std::swap(out[i], out[i + 2]);
        return out;
    }();
    return bgra ? swapped : rgba;
}

// Share of 4x4 blocks whose 16 pixels are all equal, reported so that a
// result obviously comes from the general encoder path.
double flatBlockShare(const std::vector<uint8_t>& pixels) {
    const unsigned stride = 4 * imageWidth;
    unsigned flat = 0;
    unsigned total = 0;
    for (unsigned by = 0; by < imageHeight; by += 4) {
        for (unsigned bx = 0; bx < imageWidth; bx += 4) {
            const uint8_t* block = &pixels[by * stride + 4 * bx];
            bool same = true;
            for (unsigned k = 1; k < 16 && same; ++k)
                same = std::memcmp(block + (k / 4) * stride + 4 * (k % 4), block, 4) == 0;
            flat += same ? 1 : 0;
            ++total;
        }
    }
    return static_cast<double>(flat) / total;
}

void compressImage(benchmark::State& state, brindle::OrvTexFmt fmt, bool bgra,
                   brindle::DxtSimdLevel level) {
    if (brindle::dxtRowEncodersFor(level) == nullptr) {
        state.SkipWithError("this CPU lacks the level");
        return;
    }
    OrvVideoStreamParams_st params;
    std::memset(&params, 0, sizeof params);
    const brindle::OrvFFMpegCompressor compressor(params, level);
    const std::vector<uint8_t>& pixels = sourceImage(bgra);
    std::vector<uint8_t> texture(brindle::orvTexBufferSize(fmt, imageWidth, imageHeight));

    for (auto _ : state) {
        if (bgra)
            compressor.compressBGRA32(imageWidth, imageHeight, 4 * imageWidth, fmt, pixels.data(),
                                      texture.data());
        else
            compressor.compressRGBA32(imageWidth, imageHeight, 4 * imageWidth, fmt, pixels.data(),
                                      texture.data());
        benchmark::DoNotOptimize(texture.data());
        benchmark::ClobberMemory();
    }

    const double pixelsPerImage = static_cast<double>(imageWidth) * imageHeight;
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pixelsPerImage));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(pixels.size()));
    state.counters["Mpixels"] = benchmark::Counter(pixelsPerImage * state.iterations() / 1e6,
                                                benchmark::Counter::kIsRate);
    state.counters["flat"] = flatBlockShare(pixels);
}

// Names like BM_BC1_RGBA/avx2, grouped by format so that the levels of one
// format sit next to each other in the output.
const int registered = [] {
    sourceImage(false);
    benchmark::AddCustomContext("picture", orvbench::pictureSource);
    const struct {
        const char* name;
        brindle::OrvTexFmt fmt;
    } formats[] = {{"BC1", brindle::ORV_TEX_FMT_BC1_RGB},
                   {"BC3", brindle::ORV_TEX_FMT_BC3_RGBA},
                   {"YCoCg", brindle::ORV_TEX_FMT_BC3_YCOGR},
                   {"BC4", brindle::ORV_TEX_FMT_BC4_ALPHA}};
    const brindle::DxtSimdLevel levels[] = {brindle::DxtSimdLevel::scalar,
                                            brindle::DxtSimdLevel::sse41,
                                            brindle::DxtSimdLevel::avx2,
                                            brindle::DxtSimdLevel::avx512};
    for (const auto& format : formats) {
        for (const bool bgra : {false, true}) {
            for (const brindle::DxtSimdLevel level : levels) {
                const std::string name = std::string("BM_") + format.name +
                                         (bgra ? "_BGRA/" : "_RGBA/") +
                                         brindle::dxtSimdLevelName(level);
                const brindle::OrvTexFmt fmt = format.fmt;
                benchmark::RegisterBenchmark(name.c_str(),
                                             [fmt, bgra, level](benchmark::State& state) {
                                                 compressImage(state, fmt, bgra, level);
                                             })
                    ->Unit(benchmark::kMillisecond);
            }
        }
    }
    return 0;
}();

}  // namespace
