// The whole encoder through the C interface, for 1920x1080 and 3840x2160,
// every stream format and second-stage coder: how much faster two worker
// threads encode a clip than one; what the exact squared error costs the
// block encoding that measures it; LZ4 with a state per call or per thread;
// and the peak heap in flight of a stream with maxParallel 16, for two clip
// lengths.
//
// Scaling rows encode the same clip with one worker and with two, in turn in
// every iteration so that a change in the machine's load hits both alike.
// This process is the host, and behaves like one: for every frame it asks
// orvBufferAlloc for a buffer and fills it (from one of a few copies of the
// picture, so that the copy is not served from a warm cache), with the C
// heap's default settings. Counters, per frame where it says so:
//   fps_1t, fps_2t   frames per wall-clock second, open to close of the file
//   speedup          the median over iterations of (1-worker clip time) /
//                    (2-worker clip time)
//   worker_ms_2t     CPU time of the pool's workers (the slice, encode and
//                    compress stages) per frame, with two workers
//   writer_ms_2t     CPU time of the library's other threads (the writer:
//                    file writes and releasing written frames) per frame
//   host_ms_2t       CPU time of the host's thread (filling the frames,
//                    handing them over) per frame
//   of_all_2t        fps_2t over the rate the three allow on two cores:
//                    fps_2t / (2 * 1000 / (worker + writer + host ms))
//   minflt           minor page faults of the whole process per frame, in
//                    the clip's steady state (from frame 60 to the end of
//                    the stream), with two workers
//   minflt_share     minflt over the pages of one source frame
//   fresh_buffers    buffers per frame in the same span that no kept buffer
//                    served (the library's and the host's)
//   lz4_floor_share  LZ4 rows: the bare LZ4_compress_HC CPU time of the
//                    frame's textures spread over two workers, over the
//                    2-worker wall time per frame
// With one worker the writer and the host run on the otherwise idle second
// core; with two they take their share of the same two cores, which bounds
// the speed-up at 2 * worker / (worker + writer + host). LZ4 rows use
// compression hint 1 (level 10), the default.
// ComputeScaling rows are the control: the block encoders alone on one and
// on two plain threads, i.e. what this machine's two cores allow at all.
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <lz4hc.h>
#include <malloc.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orv.h"
#include "orvenc_ffmpeg.hpp"
#include "orvenc_frame.hpp"
#include "natural_picture.hpp"

namespace {

struct Resolution {
    const char* name;
    unsigned width;
    unsigned height;
    unsigned framesPerClip;  // long enough that opening and draining are a small part
};

const Resolution resolutions[] = {{"1080p", 1920, 1080, 120}, {"2160p", 3840, 2160, 120}};

// The first frames of a clip take fresh buffers until the queue is full (17
// frames with the default maxParallel of 16, which the host, faster than two
// workers, fills within the first 60 frames); the steady state comes after.
constexpr unsigned steadyFrom = 60;

// The same photographs at both sizes.
const std::vector<uint8_t>& sourcePicture(const Resolution& resolution) {
    static const std::vector<uint8_t> full = orvbench::naturalPictureRGBA(3840, 2160);
    static const std::vector<uint8_t> hd = orvbench::naturalPictureRGBA(1920, 1080);
    return resolution.width == 3840 ? full : hd;
}

std::string scratchPath() {
    return "/tmp/orv-bench-encoder-" + std::to_string(getpid()) + ".orv";
}

// A 30 fps stream of the resolution, with LZ4's default level and the
// default maxParallel of 16.
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
    params.compressionHint = 1;
    return params;
}

// ---- Frame rate ------------------------------------------------------------------

// CPU seconds of one thread of this process, by its kernel thread id. The
// clock id is the kernel's encoding of a per-thread CPU clock.
double threadCpuSeconds(pid_t tid) {
    const clockid_t clock = static_cast<clockid_t>((~static_cast<clockid_t>(tid) << 3) | 6);
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0) return 0;
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// CPU seconds of the pool's worker threads now alive (they carry the name
// "orv-worker"; each clip opens its own encoder and so its own workers).
double workerCpuSeconds() {
    double seconds = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return 0;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        if (std::getline(comm, name) && name == "orv-worker")
            seconds += threadCpuSeconds(static_cast<pid_t>(std::atoi(entry->d_name)));
    }
    closedir(tasks);
    return seconds;
}

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

long minorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

struct ClipCost {
    double wallSeconds = 0;
    double workerCpu = 0;  // the pool's workers
    double otherCpu = 0;   // the library's other threads: the writer
    double hostCpu = 0;    // the host's thread
    double steadyFaults = 0;  // minor faults per frame in the steady state
    double steadyFresh = 0;   // buffers per frame not served by a kept one, likewise
};

// Copies of the picture that together outgrow the caches, as a stream's
// frames do.
const std::vector<std::vector<uint8_t>>& sourceFrames(const Resolution& resolution) {
    static std::vector<std::vector<uint8_t>> copies[2];
    std::vector<std::vector<uint8_t>>& frames = copies[resolution.width == 3840 ? 1 : 0];
    if (frames.empty()) frames.assign(4, sourcePicture(resolution));
    return frames;
}

// Encodes a clip of framesPerClip frames as one stream of a new file, the
// host filling a buffer of the library's for each, and returns what it
// cost, or nothing on failure. The file is removed afterwards, outside the
// measurement.
std::optional<ClipCost> encodeClip(const Resolution& resolution, uint32_t format,
                                   uint32_t compression, uint32_t threads) {
    using Clock = std::chrono::steady_clock;
    const std::vector<std::vector<uint8_t>>& sources = sourceFrames(resolution);
    const size_t frameBytes = sources[0].size();
    ClipCost cost;
    const std::string path = scratchPath();
    const double processCpu0 = cpuSeconds(RUSAGE_SELF);
    const double hostCpu0 = cpuSeconds(RUSAGE_THREAD);
    const Clock::time_point t0 = Clock::now();

    OrvEncoderParams_st encoderParams{};
    encoderParams.numThreads = threads;
    OrvEnc* encoder = nullptr;
    if (orvEncoderOpen(path.c_str(), &encoderParams, &encoder) != ORV_ERR_NONE) return {};
    const OrvVideoStreamParams_st params = streamParams(resolution, format, compression);
    int stream = -1;
    bool ok = orvAddVideoStream(encoder, &params, &stream) == ORV_ERR_NONE &&
              orvBeginStream(encoder, stream) == ORV_ERR_NONE;
    long faults0 = 0;
    brindle::BufferCounters buffers0;
    for (unsigned i = 0; ok && i < resolution.framesPerClip; ++i) {
        if (i == steadyFrom) {
            faults0 = minorFaults();
            buffers0 = brindle::bufferCounters();
        }
        OrvBuffer_st* buffer = orvBufferAlloc(frameBytes);
        if (buffer == nullptr) {
            ok = false;
            break;
        }
        std::memcpy(orvBufferData(buffer), sources[i % sources.size()].data(), frameBytes);
        OrvSrcFrame_st frame{};
        frame.width = resolution.width;
        frame.height = resolution.height;
        frame.stride = 4 * resolution.width;
        frame.pixFmt = ORV_SRC_PIX_FMT_RGBA32;
        frame.pts = static_cast<int64_t>(i);
        frame.buffer = buffer;
        ok = orvEncodeFrame(encoder, &frame) == ORV_ERR_NONE;
        if (!ok) orvBufferFree(buffer);
    }
    ok = ok && orvEndStream(encoder) == ORV_ERR_NONE;
    const double steadyFrames = resolution.framesPerClip - steadyFrom;
    cost.steadyFaults = static_cast<double>(minorFaults() - faults0) / steadyFrames;
    const brindle::BufferCounters buffers = brindle::bufferCounters();
    cost.steadyFresh = static_cast<double>((buffers.allocations - buffers0.allocations) -
                                           (buffers.reusedAllocations - buffers0.reusedAllocations)) /
                       steadyFrames;
    // Every task has run; the workers live until the encoder closes.
    cost.workerCpu = workerCpuSeconds();
    ok = ok && orvEncoderFinish(encoder) == ORV_ERR_NONE;
    if (!ok) std::fprintf(stderr, "encoding failed: %s\n", orvGetErrorMessage(encoder));
    orvEncoderClose(encoder);

    cost.wallSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    cost.hostCpu = cpuSeconds(RUSAGE_THREAD) - hostCpu0;
    cost.otherCpu = cpuSeconds(RUSAGE_SELF) - processCpu0 - cost.hostCpu - cost.workerCpu;
    std::remove(path.c_str());
    if (!ok) return {};
    return cost;
}

// The texture planes of a stream format.
std::vector<brindle::OrvTexFmt> textureFormatsOf(uint32_t format) {
    switch (format) {
        case ORV_PIX_FMT_DXT1: return {brindle::ORV_TEX_FMT_BC1_RGB};
        case ORV_PIX_FMT_DXT5: return {brindle::ORV_TEX_FMT_BC3_RGBA};
        case ORV_PIX_FMT_YCOCG_DXT5_ALPHA:
            return {brindle::ORV_TEX_FMT_BC3_YCOGR, brindle::ORV_TEX_FMT_BC4_ALPHA};
        default: return {brindle::ORV_TEX_FMT_BC3_YCOGR};
    }
}

// The textures of one frame of the stream format, block-compressed as the
// stream makes them: one per slice and plane, each slice on its own, so that
// their bytes come in the order the second stage meets them.
std::vector<std::vector<uint8_t>> frameTextures(const Resolution& resolution, uint32_t format) {
    const OrvVideoStreamParams_st params = streamParams(resolution, format, ORV_COMPRESSION_LZ4);
    const brindle::OrvSliceLayout layout = brindle::orvPickSliceLayout(params);
    // The benchmark's sizes are whole numbers of slices: no slice has padding.
    if (layout.sliceWidth * layout.numColumns != resolution.width ||
        layout.sliceHeight * layout.numRows != resolution.height)
        throw std::logic_error("a benchmark size that is not a whole number of slices");
    const brindle::OrvFFMpegCompressor compressor(params);
    const std::vector<uint8_t>& picture = sourcePicture(resolution);
    const unsigned stride = 4 * resolution.width;
    std::vector<std::vector<uint8_t>> textures;
    for (uint32_t row = 0; row < layout.numRows; ++row)
        for (uint32_t column = 0; column < layout.numColumns; ++column) {
            const uint8_t* slice = picture.data() + size_t{row} * layout.sliceHeight * stride +
                                   size_t{4} * column * layout.sliceWidth;
            for (const brindle::OrvTexFmt fmt : textureFormatsOf(format)) {
                textures.emplace_back(
                    brindle::orvTexBufferSize(fmt, layout.sliceWidth, layout.sliceHeight));
                compressor.compressRGBA32(layout.sliceWidth, layout.sliceHeight, stride, fmt, slice,
                                          textures.back().data());
            }
        }
    return textures;
}

// CPU seconds of the calling thread.
double threadCpuNow() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// The bare LZ4-HC cost of one frame at the level of hint 1: the least CPU
// time of three LZ4_compress_HC calls over the frame's textures.
double lz4FloorSeconds(const Resolution& resolution, uint32_t format) {
    double best = 1e9;
    for (int run = 0; run < 3; ++run) {
        double seconds = 0;
        for (const std::vector<uint8_t>& texture : frameTextures(resolution, format)) {
            const int size = static_cast<int>(texture.size());
            std::vector<char> out(static_cast<size_t>(LZ4_compressBound(size)));
            const double t0 = threadCpuNow();
            benchmark::DoNotOptimize(LZ4_compress_HC(reinterpret_cast<const char*>(texture.data()),
                                                     out.data(), size, static_cast<int>(out.size()),
                                                     10));
            seconds += threadCpuNow() - t0;
        }
        best = std::min(best, seconds);
    }
    return best;
}

void BM_Scaling(benchmark::State& state, Resolution resolution, uint32_t format,
                uint32_t compression) {
    sourceFrames(resolution);
    ClipCost total[3];  // by worker count
    std::vector<double> speedups;  // one per iteration
    for (auto _ : state) {
        double clipWall[3] = {};
        for (uint32_t threads = 1; threads <= 2; ++threads) {
            const std::optional<ClipCost> cost = encodeClip(resolution, format, compression, threads);
            if (!cost) {
                state.SkipWithError("encoding failed");
                return;
            }
            total[threads].wallSeconds += cost->wallSeconds;
            total[threads].workerCpu += cost->workerCpu;
            total[threads].otherCpu += cost->otherCpu;
            total[threads].hostCpu += cost->hostCpu;
            total[threads].steadyFaults += cost->steadyFaults;
            total[threads].steadyFresh += cost->steadyFresh;
            if (threads == 2) speedups.push_back(clipWall[1] / cost->wallSeconds);
            clipWall[threads] = cost->wallSeconds;
        }
    }
    const double iterations = static_cast<double>(state.iterations());
    const double frames = iterations * resolution.framesPerClip;
    const double fps2 = frames / total[2].wallSeconds;
    state.counters["fps_1t"] = frames / total[1].wallSeconds;
    state.counters["fps_2t"] = fps2;
    // The median of the iterations' own ratios: a clip pair runs within a
    // few seconds, so a change in the machine's speed between pairs drops out.
    std::sort(speedups.begin(), speedups.end());
    state.counters["speedup"] = speedups[speedups.size() / 2];
    const double workerMs = 1e3 * total[2].workerCpu / frames;
    const double writerMs = 1e3 * total[2].otherCpu / frames;
    const double hostMs = 1e3 * total[2].hostCpu / frames;
    state.counters["worker_ms_2t"] = workerMs;
    state.counters["writer_ms_2t"] = writerMs;
    state.counters["host_ms_2t"] = hostMs;
    state.counters["of_all_2t"] = fps2 * (workerMs + writerMs + hostMs) / 2e3;
    const double minflt = total[2].steadyFaults / iterations;
    state.counters["minflt"] = minflt;
    state.counters["minflt_share"] = minflt / (4.0 * resolution.width * resolution.height / 4096);
    state.counters["fresh_buffers"] = total[2].steadyFresh / iterations;
    if (compression == ORV_COMPRESSION_LZ4)
        state.counters["lz4_floor_share"] = lz4FloorSeconds(resolution, format) / 2 * fps2;
}

// ---- The machine's own scaling ---------------------------------------------------------

// What two cores of this machine give to the block encoders alone, without
// pipeline, writer or file: the same frames' textures encoded by one plain
// thread, then split between two. The pipeline cannot scale better than
// this; "speedup" is the median of the iterations' ratios.
void BM_ComputeScaling(benchmark::State& state, Resolution resolution, uint32_t format) {
    const std::vector<uint8_t>& picture = sourcePicture(resolution);
    // Distinct copies that together outgrow the caches, as a stream's frames do.
    std::vector<std::vector<uint8_t>> sources(8, picture);
    const std::vector<brindle::OrvTexFmt> textures = textureFormatsOf(format);
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    const brindle::OrvFFMpegCompressor compressor(params);
    const unsigned frames = resolution.framesPerClip;
    auto encodeFrames = [&](unsigned first, unsigned count) {
        std::vector<uint8_t> out(4u * resolution.width * resolution.height);
        for (unsigned i = first; i < first + count; ++i)
            for (const brindle::OrvTexFmt fmt : textures)
                compressor.compressRGBA32(resolution.width, resolution.height,
                                          4 * resolution.width, fmt,
                                          sources[i % sources.size()].data(), out.data());
    };
    using Clock = std::chrono::steady_clock;
    std::vector<double> speedups;
    for (auto _ : state) {
        const Clock::time_point t0 = Clock::now();
        std::thread(encodeFrames, 0, frames).join();
        const Clock::time_point t1 = Clock::now();
        std::thread second(encodeFrames, frames / 2, frames - frames / 2);
        encodeFrames(0, frames / 2);
        second.join();
        const Clock::time_point t2 = Clock::now();
        speedups.push_back(std::chrono::duration<double>(t1 - t0).count() /
                           std::chrono::duration<double>(t2 - t1).count());
    }
    std::sort(speedups.begin(), speedups.end());
    state.counters["speedup"] = speedups[speedups.size() / 2];
}

// ---- Squared-error measurement ------------------------------------------------------

// One 1080p slice (a 1080p frame is not divided) encoded with the best row
// encoders, in turn without and with the exact squared error (what an
// encode task does while the log is on), on this thread's CPU clock.
// "error_cost" is the median over iterations of measured / plain - 1.
void BM_SquaredErrorCost(benchmark::State& state, std::vector<brindle::OrvTexFmt> formats) {
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
    std::vector<brindle::OrvEncTexture> textures(formats.size());
    for (size_t i = 0; i < formats.size(); ++i) {
        textures[i].format = formats[i];
        textures[i].encodedSize = brindle::orvTexBufferSize(formats[i], hd.width, hd.height);
        textures[i].encoded = brindle::allocSharedBuffer(textures[i].encodedSize);
    }
    // The CPU seconds of encoding every texture of the slice once.
    auto encode = [&](bool measure) {
        const double t0 = threadCpuNow();
        for (brindle::OrvEncTexture& texture : textures) {
            texture.measureError = measure;
            compressor.compress(slice, static_cast<brindle::OrvTexFmt>(texture.format), texture);
            benchmark::DoNotOptimize(texture.squaredError);
        }
        return threadCpuNow() - t0;
    };
    double plainSeconds = 0;
    double measuredSeconds = 0;
    std::vector<double> costs;
    bool measureFirst = false;
    for (auto _ : state) {
        // Alternating the order spreads any warm-up over both.
        const double first = encode(measureFirst);
        const double second = encode(!measureFirst);
        const double plain = measureFirst ? second : first;
        const double measured = measureFirst ? first : second;
        plainSeconds += plain;
        measuredSeconds += measured;
        costs.push_back(measured / plain - 1);
        measureFirst = !measureFirst;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["encode_ms"] = 1e3 * plainSeconds / n;
    state.counters["measured_ms"] = 1e3 * measuredSeconds / n;
    std::sort(costs.begin(), costs.end());
    state.counters["error_cost"] = costs[costs.size() / 2];
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
        case ORV_COMPRESSION_LZ4: return "lz4";
    }
    return "?";
}

const int registered = [] {
    // The status line of every frame would go to standard error.
    brindle::logClose();
    sourcePicture(resolutions[0]);
    sourcePicture(resolutions[1]);
    benchmark::AddCustomContext("picture", orvbench::pictureSource);
    for (const Resolution& resolution : resolutions) {
        for (uint32_t format = 0; format < 4; ++format) {
            for (uint32_t compression = 0; compression < 3; ++compression) {
                const std::string name = std::string("BM_Scaling/") + resolution.name + "/" +
                                         formatName(format) + "/" + compressionName(compression);
                benchmark::RegisterBenchmark(name.c_str(), BM_Scaling, resolution, format,
                                             compression)
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime()
                    ->MinTime(4.0);
            }
        }
    }
    for (const Resolution& resolution : resolutions)
        for (uint32_t format = 0; format < 4; ++format)
            benchmark::RegisterBenchmark((std::string("BM_ComputeScaling/") + resolution.name +
                                          "/" + formatName(format)).c_str(),
                                         BM_ComputeScaling, resolution, format)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->MinTime(4.0);
    const struct {
        const char* name;
        brindle::OrvTexFmt fmt;
    } textures[] = {{"BC1", brindle::ORV_TEX_FMT_BC1_RGB},
                    {"BC3", brindle::ORV_TEX_FMT_BC3_RGBA},
                    {"YCoCg", brindle::ORV_TEX_FMT_BC3_YCOGR},
                    {"BC4", brindle::ORV_TEX_FMT_BC4_ALPHA}};
    for (const auto& texture : textures)
        benchmark::RegisterBenchmark((std::string("BM_SquaredErrorCost/") + texture.name).c_str(),
                                     BM_SquaredErrorCost, std::vector{texture.fmt})
            ->Unit(benchmark::kMillisecond);
    // The stream format with two planes: the alpha plane's share is small.
    benchmark::RegisterBenchmark("BM_SquaredErrorCost/YCoCg+BC4", BM_SquaredErrorCost,
                                 std::vector{brindle::ORV_TEX_FMT_BC3_YCOGR,
                                             brindle::ORV_TEX_FMT_BC4_ALPHA})
        ->Unit(benchmark::kMillisecond);
    for (const int level : {3, 10})
        for (const bool extState : {false, true})
            benchmark::RegisterBenchmark((std::string("BM_LZ4/level:") + std::to_string(level) +
                                          (extState ? "/extState" : "/perCallState")).c_str(),
                                         BM_LZ4, extState, level)
                ->Unit(benchmark::kMillisecond);
    for (const unsigned clipFrames : {40u, 120u})
        benchmark::RegisterBenchmark(
            ("BM_PeakMemory/1080p/DXT1/lz4/maxParallel:16/frames:" + std::to_string(clipFrames)).c_str(),
            BM_PeakMemory, resolutions[0], uint32_t{ORV_PIX_FMT_DXT1}, uint32_t{ORV_COMPRESSION_LZ4},
            clipFrames)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1);
    return 0;
}();

}  // namespace
