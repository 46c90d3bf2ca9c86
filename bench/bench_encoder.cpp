// The whole encoder through the C interface: frames per second at 1920x1080
// and 3840x2160 for every stream format and second-stage coder, with one and
// with two worker threads; what the squared-error measurement costs next to
// the block encoding it follows; LZ4 with a state per call or per thread;
// and the peak heap in flight of a stream with maxParallel 16, for two clip
// lengths.
//
// Frame rates are wall-clock ("fps", the pipeline's throughput), which other
// load on the machine lowers; "cpu_ms" is the CPU time of the whole process
// (workers, writer thread, host) per frame, which it does not, and
// "fps_bound" = threads * 1000 / cpu_ms is the rate that many dedicated
// cores would allow. (The "CPU" column is only the benchmark thread's.) LZ4 rows use compression hint 0 (level 3): levels 10 and
// 12 cost about 100 ms per 1080p texture per core and would dominate.
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <lz4hc.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orv.h"
#include "orvenc_ffmpeg.hpp"
#include "orvenc_frame.hpp"
#include "photo_like_image.hpp"
#include "texture_quality.hpp"

namespace {

struct Resolution {
    const char* name;
    unsigned width;
    unsigned height;
    unsigned framesPerClip;  // per benchmark iteration
};

const Resolution resolutions[] = {{"1080p", 1920, 1080, 16}, {"2160p", 3840, 2160, 6}};

const std::vector<uint8_t>& sourcePicture(const Resolution& resolution) {
    static const std::vector<uint8_t> full = orvbench::photoLikeRGBA(3840, 2160);
    static const std::vector<uint8_t> hd = [] {
        // The top-left quarter of the 4K picture, so both sizes share content.
        std::vector<uint8_t> out(4u * 1920 * 1080);
        for (unsigned y = 0; y < 1080; ++y)
            std::memcpy(&out[4u * 1920 * y], &full[4u * 3840 * y], 4u * 1920);
        return out;
    }();
    return resolution.width == 3840 ? full : hd;
}

std::string scratchPath() {
    return "/tmp/orv-bench-encoder-" + std::to_string(getpid()) + ".orv";
}

#define CHECK_ORV(call)                                                                  \
    do {                                                                                 \
        const OrvError_enum code_ = (call);                                              \
        if (code_ != ORV_ERR_NONE) {                                                     \
            std::fprintf(stderr, "%s failed: %s\n", #call, orvErrorStr(code_));           \
            return false;                                                                \
        }                                                                                \
    } while (0)

// A 30 fps stream of the resolution, with LZ4's fast level and the default
// maxParallel of 16.
OrvVideoStreamParams_st streamParams(const Resolution& resolution, uint32_t format,
                                     uint32_t compression) {
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    params.width = resolution.width;
    params.height = resolution.height;
    params.timebaseNum = 1;
    params.timebaseDen = 30;
    params.fpsNum = 30;
    params.fpsDen = 1;
    params.format = format;
    params.compression = compression;
    params.compressionHint = 0;
    return params;
}

// Encodes `frames` (each handed over to the library) as one stream of a new
// file, and returns once the file is complete.
bool encodeClip(const Resolution& resolution, uint32_t format, uint32_t compression,
                uint32_t threads, std::vector<OrvBuffer_st*>& frames) {
    OrvEncoderParams_st encoderParams{};
    encoderParams.numThreads = threads;
    OrvEnc* encoder = nullptr;
    const std::string path = scratchPath();
    CHECK_ORV(orvEncoderOpen(path.c_str(), &encoderParams, &encoder));
    const OrvVideoStreamParams_st params = streamParams(resolution, format, compression);
    int stream = -1;
    bool ok = orvAddVideoStream(encoder, &params, &stream) == ORV_ERR_NONE &&
              orvBeginStream(encoder, stream) == ORV_ERR_NONE;
    for (size_t i = 0; ok && i < frames.size(); ++i) {
        OrvSrcFrame_st frame{};
        frame.width = resolution.width;
        frame.height = resolution.height;
        frame.stride = 4 * resolution.width;
        frame.pixFmt = ORV_SRC_PIX_FMT_RGBA32;
        frame.pts = static_cast<int64_t>(i);
        frame.buffer = frames[i];
        ok = orvEncodeFrame(encoder, &frame) == ORV_ERR_NONE;
        if (ok) frames[i] = nullptr;  // the library's now
    }
    ok = ok && orvEndStream(encoder) == ORV_ERR_NONE && orvEncoderFinish(encoder) == ORV_ERR_NONE;
    if (!ok) std::fprintf(stderr, "encoding failed: %s\n", orvGetErrorMessage(encoder));
    orvEncoderClose(encoder);
    for (OrvBuffer_st*& frame : frames) orvBufferFree(frame);
    std::remove(path.c_str());
    return ok;
}

std::vector<OrvBuffer_st*> makeFrames(const Resolution& resolution, unsigned count) {
    const std::vector<uint8_t>& picture = sourcePicture(resolution);
    std::vector<OrvBuffer_st*> frames(count);
    for (OrvBuffer_st*& frame : frames) {
        frame = orvBufferAlloc(picture.size());
        std::memcpy(orvBufferData(frame), picture.data(), picture.size());
    }
    return frames;
}

// ---- Frame rate -------------------------------------------------------------------

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

void BM_Encoder(benchmark::State& state, Resolution resolution, uint32_t format,
                uint32_t compression, uint32_t threads) {
    sourcePicture(resolution);
    double cpuSeconds = 0;
    for (auto _ : state) {
        // The frames are filled outside the timed part; the encoder's own
        // threads are idle then (each iteration opens a new encoder).
        state.PauseTiming();
        std::vector<OrvBuffer_st*> frames = makeFrames(resolution, resolution.framesPerClip);
        state.ResumeTiming();
        const double cpu0 = processCpuSeconds();
        if (!encodeClip(resolution, format, compression, threads, frames)) {
            state.SkipWithError("encoding failed");
            return;
        }
        cpuSeconds += processCpuSeconds() - cpu0;
    }
    const double frames = static_cast<double>(state.iterations()) * resolution.framesPerClip;
    state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    state.counters["cpu_ms"] = 1e3 * cpuSeconds / frames;
    state.counters["fps_bound"] = threads * frames / cpuSeconds;
}

// ---- Squared-error measurement ------------------------------------------------------

// One 1080p slice (a 1080p frame is not divided): the block encoding with
// the best row encoders, then the error measurement that every encode task
// runs after it. Reports both times and the measurement's share of the two.
void BM_SquaredErrorShare(benchmark::State& state, brindle::OrvTexFmt fmt) {
    const Resolution& hd = resolutions[0];
    const std::vector<uint8_t>& picture = sourcePicture(hd);
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    brindle::OrvFFMpegCompressor compressor(params);
    brindle::OrvSrcSlice slice;
    slice.width = hd.width;
    slice.height = hd.height;
    slice.stride = 4 * hd.width;
    slice.pixFmt = ORV_SRC_PIX_FMT_RGBA32;
    slice.buffer = brindle::allocSharedBuffer(picture.size());
    std::memcpy(slice.buffer->data, picture.data(), picture.size());
    brindle::OrvEncTexture texture;
    texture.format = fmt;
    texture.encodedSize = brindle::orvTexBufferSize(fmt, hd.width, hd.height);
    texture.encoded = brindle::allocSharedBuffer(texture.encodedSize);

    using Clock = std::chrono::steady_clock;
    double encodeSeconds = 0;
    double errorSeconds = 0;
    double error = 0;
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        compressor.compress(slice, fmt, texture);
        const Clock::time_point t1 = Clock::now();
        error = brindle::textureSquaredError(slice, fmt, texture.encoded->data);
        const Clock::time_point t2 = Clock::now();
        benchmark::DoNotOptimize(error);
        encodeSeconds += std::chrono::duration<double>(t1 - t0).count();
        errorSeconds += std::chrono::duration<double>(t2 - t1).count();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["encode_ms"] = 1e3 * encodeSeconds / n;
    state.counters["error_ms"] = 1e3 * errorSeconds / n;
    state.counters["error_share"] = errorSeconds / (encodeSeconds + errorSeconds);
}

// ---- LZ4: a state per call or one per thread -------------------------------------------

// LZ4_compress_HC allocates its state (LZ4_sizeofStateHC bytes) on every
// call; LZ4_compress_HC_extStateHC takes a caller's. Both on the BC1 texture
// of the 1080p picture, at the levels the compressor uses.
void BM_LZ4(benchmark::State& state, bool extState, int level) {
    const Resolution& hd = resolutions[0];
    const std::vector<uint8_t>& picture = sourcePicture(hd);
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    const brindle::OrvFFMpegCompressor compressor(params);
    std::vector<char> texture(brindle::orvTexBufferSize(brindle::ORV_TEX_FMT_BC1_RGB, hd.width, hd.height));
    compressor.compressRGBA32(hd.width, hd.height, 4 * hd.width, brindle::ORV_TEX_FMT_BC1_RGB,
                              picture.data(), reinterpret_cast<uint8_t*>(texture.data()));
    const int size = static_cast<int>(texture.size());
    std::vector<char> out(static_cast<size_t>(LZ4_compressBound(size)));
    std::vector<char> stateBuffer(static_cast<size_t>(LZ4_sizeofStateHC()));
    int written = 0;
    for (auto _ : state) {
        written = extState ? LZ4_compress_HC_extStateHC(stateBuffer.data(), texture.data(), out.data(),
                                                        size, static_cast<int>(out.size()), level)
                           : LZ4_compress_HC(texture.data(), out.data(), size,
                                             static_cast<int>(out.size()), level);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["ratio"] = static_cast<double>(written) / size;
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}

// ---- Peak memory ----------------------------------------------------------------------

// Bytes the process has allocated and not freed, over all malloc arenas
// (glibc), or 0 where that is not known.
size_t heapInUse() {
#if defined(__GLIBC__)
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#else
    return 0;
#endif
}

// The peak of the heap bytes in flight while a clip is encoded, above what
// was in use before: source frames handed over, copies, textures and
// payloads. The host feeds frames as fast as orvEncodeFrame accepts them and
// samples after each call returns, which is when the queue is fullest; the
// LZ4 stage is slower than the host, so the queue does fill to maxParallel.
// Returns MiB, or -1 on failure.
double peakMemoryMiB(const Resolution& resolution, uint32_t format, uint32_t compression,
                     unsigned clipFrames) {
    const std::vector<uint8_t>& picture = sourcePicture(resolution);
    const size_t before = heapInUse();
    size_t peak = before;
    OrvEncoderParams_st encoderParams{};
    encoderParams.numThreads = 2;
    OrvEnc* encoder = nullptr;
    const std::string path = scratchPath() + "-memory";
    bool ok = orvEncoderOpen(path.c_str(), &encoderParams, &encoder) == ORV_ERR_NONE;
    const OrvVideoStreamParams_st params = streamParams(resolution, format, compression);
    int stream = -1;
    ok = ok && orvAddVideoStream(encoder, &params, &stream) == ORV_ERR_NONE &&
         orvBeginStream(encoder, stream) == ORV_ERR_NONE;
    for (unsigned i = 0; ok && i < clipFrames; ++i) {
        // One frame allocated at a time: the host holds nothing extra.
        OrvBuffer_st* buffer = orvBufferAlloc(picture.size());
        std::memcpy(orvBufferData(buffer), picture.data(), picture.size());
        OrvSrcFrame_st frame{};
        frame.width = resolution.width;
        frame.height = resolution.height;
        frame.stride = 4 * resolution.width;
        frame.pixFmt = ORV_SRC_PIX_FMT_RGBA32;
        frame.pts = i;
        frame.buffer = buffer;
        ok = orvEncodeFrame(encoder, &frame) == ORV_ERR_NONE;
        if (!ok) orvBufferFree(buffer);
        const size_t now = heapInUse();
        if (now > peak) peak = now;
    }
    ok = ok && orvEndStream(encoder) == ORV_ERR_NONE;
    orvEncoderClose(encoder);
    std::remove(path.c_str());
    if (!ok || before == 0) return -1;
    return static_cast<double>(peak - before) / (1024.0 * 1024.0);
}

void BM_PeakMemory(benchmark::State& state, Resolution resolution, uint32_t format,
                   uint32_t compression, unsigned clipFrames) {
    double mib = 0;
    for (auto _ : state) mib = peakMemoryMiB(resolution, format, compression, clipFrames);
    if (mib < 0) {
        state.SkipWithError("encoding failed or the heap figure is unknown");
        return;
    }
    const double frameMiB = 4.0 * resolution.width * resolution.height / (1024.0 * 1024.0);
    state.counters["peak_MiB"] = mib;
    state.counters["source_frames"] = mib / frameMiB;  // in units of one source frame
}

const char* formatName(uint32_t format) {
    switch (format) {
        case ORV_PIX_FMT_DXT1: return "DXT1";
        case ORV_PIX_FMT_YCOCG_DXT5: return "YCoCgDXT5";
        case ORV_PIX_FMT_DXT5: return "DXT5";
        case ORV_PIX_FMT_YCOCG_DXT5_ALPHA: return "YCoCgDXT5Alpha";
    }
    return "?";
}

const char* compressionName(uint32_t compression) {
    switch (compression) {
        case ORV_COMPRESSION_NONE: return "none";
        case ORV_COMPRESSION_SNAPPY: return "snappy";
        case ORV_COMPRESSION_LZ4: return "lz4fast";
    }
    return "?";
}

const int registered = [] {
    for (const Resolution& resolution : resolutions) {
        for (uint32_t format = 0; format < 4; ++format) {
            for (uint32_t compression = 0; compression < 3; ++compression) {
                for (uint32_t threads = 1; threads <= 2; ++threads) {
                    const std::string name = std::string("BM_Encoder/") + resolution.name + "/" +
                                             formatName(format) + "/" +
                                             compressionName(compression) + "/threads:" +
                                             std::to_string(threads);
                    benchmark::RegisterBenchmark(name.c_str(), BM_Encoder, resolution, format,
                                                 compression, threads)
                        ->Unit(benchmark::kMillisecond)
                        ->UseRealTime()
                        ->MinTime(1.0);
                }
            }
        }
    }
    const struct {
        const char* name;
        brindle::OrvTexFmt fmt;
    } textures[] = {{"BC1", brindle::ORV_TEX_FMT_BC1_RGB},
                    {"BC3", brindle::ORV_TEX_FMT_BC3_RGBA},
                    {"YCoCg", brindle::ORV_TEX_FMT_BC3_YCOGR},
                    {"BC4", brindle::ORV_TEX_FMT_BC4_ALPHA}};
    for (const auto& texture : textures)
        benchmark::RegisterBenchmark((std::string("BM_SquaredErrorShare/") + texture.name).c_str(),
                                     BM_SquaredErrorShare, texture.fmt)
            ->Unit(benchmark::kMillisecond);
    for (const int level : {3, 10})
        for (const bool extState : {false, true})
            benchmark::RegisterBenchmark((std::string("BM_LZ4/level:") + std::to_string(level) +
                                          (extState ? "/extState" : "/perCallState")).c_str(),
                                         BM_LZ4, extState, level)
                ->Unit(benchmark::kMillisecond);
    for (const unsigned clipFrames : {40u, 120u})
        benchmark::RegisterBenchmark(
            ("BM_PeakMemory/1080p/DXT1/lz4fast/maxParallel:16/frames:" + std::to_string(clipFrames)).c_str(),
            BM_PeakMemory, resolutions[0], uint32_t{ORV_PIX_FMT_DXT1}, uint32_t{ORV_COMPRESSION_LZ4},
            clipFrames)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
    return 0;
}();

}  // namespace
