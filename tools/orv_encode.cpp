// `orv encode`: a media file, raw frames or the built-in demo into an ORV
// file, through the library's C interface only.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "child_process.hpp"
#include "command_line.hpp"
#include "demo_source.hpp"
#include "media_input.hpp"
#include "orv.h"
#include "progress.hpp"
#include "raw_input.hpp"
#include "subcommands.hpp"

namespace orvtool {

namespace {

const char* const encodeHelp =
    R"(usage: orv encode INPUT -o OUT.orv [options]
       orv encode --demo -o OUT.orv [options]

Encodes video (and its audio) into an ORV file.

Input:
  INPUT                 a media file that ffmpeg reads (needs Debian's ffmpeg)
  INPUT --size WxH      raw frames from a file, or from standard input with '-':
    --pixfmt rgba|bgra    byte order of a pixel (default rgba)
    --bottom-up           the first row is the bottom of the picture
    --fps N/D             frame rate (default 25/1)
    --audio FILE.wav      audio from a WAV file (16/24/32-bit PCM or 32-bit float)
  --demo                a built-in moving scene with a stereo tone
                        (1920x1080, 25 fps, 3 s; --size, --fps and --duration change it)

Output:
  -o, --output FILE     the ORV file to write (required)
  --format F            dxt1 | dxt5 | ycocg | ycocg-alpha (default ycocg)
  --compression C       none | snappy | lz4 (default lz4)
  --level L             LZ4 effort: fast | default | max (default default)
  --duration SECONDS    encode at most this much
  --fps N/D             also overrides a media file's frame rate
  --no-audio            leave the audio out
  --threads N           worker threads (default: one per core)
  --max-parallel N      frames in flight (default 16)

Messages:
  --quiet               no progress line and no summary
  --log FILE            write the library's log to FILE (otherwise it is silent)
  --keep-partial        keep the output file when encoding fails

Exit status: 0 done, 1 failed (the output is removed), 2 wrong usage.
)";

// ---- Options ---------------------------------------------------------------

struct EncodeOptions {
    std::string input;  // empty with --demo
    std::string output;
    bool demo = false;
    bool raw = false;
    uint32_t width = 0, height = 0;
    bool bgra = false;
    bool bottomUp = false;
    uint32_t fpsNum = 0, fpsDen = 0;  // 0/0: the input's own (25/1 for raw and demo)
    std::string audioPath;
    double seconds = 0;  // 0: everything
    uint32_t format = ORV_PIX_FMT_YCOCG_DXT5;
    uint32_t compression = ORV_COMPRESSION_LZ4;
    uint32_t level = 1;
    uint32_t threads = 0;
    uint32_t maxParallel = 0;  // 0: the library's default
    bool noAudio = false;
    bool quiet = false;
    std::string logPath;
    bool keepPartial = false;
};

uint32_t formatByName(const std::string& name) {
    if (name == "dxt1")
        return ORV_PIX_FMT_DXT1;
    if (name == "dxt5")
        return ORV_PIX_FMT_DXT5;
    if (name == "ycocg")
        return ORV_PIX_FMT_YCOCG_DXT5;
    if (name == "ycocg-alpha")
        return ORV_PIX_FMT_YCOCG_DXT5_ALPHA;
    throw UsageError("--format: expected dxt1, dxt5, ycocg or ycocg-alpha, found '" + name + "'");
}

const char* formatName(uint32_t format) {
    switch (format) {
        case ORV_PIX_FMT_DXT1: return "dxt1";
        case ORV_PIX_FMT_DXT5: return "dxt5";
        case ORV_PIX_FMT_YCOCG_DXT5: return "ycocg";
        case ORV_PIX_FMT_YCOCG_DXT5_ALPHA: return "ycocg-alpha";
        default: return "?";
    }
}

uint32_t compressionByName(const std::string& name) {
    if (name == "none")
        return ORV_COMPRESSION_NONE;
    if (name == "snappy")
        return ORV_COMPRESSION_SNAPPY;
    if (name == "lz4")
        return ORV_COMPRESSION_LZ4;
    throw UsageError("--compression: expected none, snappy or lz4, found '" + name + "'");
}

const char* compressionName(uint32_t compression) {
    switch (compression) {
        case ORV_COMPRESSION_NONE: return "none";
        case ORV_COMPRESSION_SNAPPY: return "snappy";
        case ORV_COMPRESSION_LZ4: return "lz4";
        default: return "?";
    }
}

// The LZ4 compression hint of the stream parameters.
uint32_t levelByName(const std::string& name) {
    if (name == "fast")
        return 0;
    if (name == "default")
        return 1;
    if (name == "max")
        return 2;
    throw UsageError("--level: expected fast, default or max, found '" + name + "'");
}

EncodeOptions parseOptions(const Arguments& args) {
    EncodeOptions options;
    const auto& positional = args.positional();
    if (positional.size() > 1)
        throw UsageError("one input at a time, found '" + positional[0] + "' and '" +
                         positional[1] + "'");
    options.demo = args.has("--demo");
    if (options.demo && !positional.empty())
        throw UsageError("--demo needs no INPUT, found '" + positional[0] + "'");
    if (!options.demo && positional.empty())
        throw UsageError("missing INPUT (a media file, raw frames with --size, or --demo)");
    if (!positional.empty())
        options.input = positional[0];

    const auto output = args.has("-o") ? args.value("-o") : args.value("--output");
    if (!output || output->empty())
        throw UsageError("missing -o OUT.orv");
    options.output = *output;

    if (const auto size = args.value("--size"))
        parseSize(*size, "--size", options.width, options.height);
    options.raw = !options.demo && args.has("--size");
    if (!options.raw && !options.demo) {
        if (options.input == "-")
            throw UsageError("reading standard input needs --size WxH (and --pixfmt)");
        for (const char* rawOnly : {"--pixfmt", "--bottom-up"})
            if (args.has(rawOnly))
                throw UsageError(std::string(rawOnly) + " describes raw frames; give --size too");
    }
    if (options.demo)
        for (const char* rawOnly : {"--pixfmt", "--bottom-up"})
            if (args.has(rawOnly))
                throw UsageError(std::string(rawOnly) + " describes raw frames, not --demo");
    if (const auto pixfmt = args.value("--pixfmt")) {
        if (*pixfmt != "rgba" && *pixfmt != "bgra")
            throw UsageError("--pixfmt: expected rgba or bgra, found '" + *pixfmt + "'");
        options.bgra = *pixfmt == "bgra";
    }
    options.bottomUp = args.has("--bottom-up");
    if (const auto fps = args.value("--fps"))
        parseRate(*fps, "--fps", options.fpsNum, options.fpsDen);
    if (const auto audio = args.value("--audio")) {
        if (!options.raw)
            throw UsageError(
                "--audio adds a WAV file to raw frames; media files and --demo "
                "bring their own audio");
        options.audioPath = *audio;
    }
    if (const auto seconds = args.value("--duration"))
        options.seconds = parsePositiveSeconds(*seconds, "--duration");
    if (const auto format = args.value("--format"))
        options.format = formatByName(*format);
    if (const auto compression = args.value("--compression"))
        options.compression = compressionByName(*compression);
    if (const auto level = args.value("--level"))
        options.level = levelByName(*level);
    if (const auto threads = args.value("--threads"))
        options.threads = static_cast<uint32_t>(parseUnsigned(*threads, "--threads", 0, 1024));
    if (const auto maxParallel = args.value("--max-parallel"))
        options.maxParallel =
            static_cast<uint32_t>(parseUnsigned(*maxParallel, "--max-parallel", 1, 1024));
    options.noAudio = args.has("--no-audio");
    if (options.noAudio && !options.audioPath.empty())
        throw UsageError("--audio and --no-audio contradict each other");
    options.quiet = args.has("--quiet");
    if (const auto log = args.value("--log"))
        options.logPath = *log;
    options.keepPartial = args.has("--keep-partial");
    return options;
}

// The same file under two names would be truncated before it is read.
void refuseOverwritingInput(const EncodeOptions& options) {
    struct stat in = {};
    struct stat out = {};
    for (const std::string& other : {options.input, options.audioPath, options.logPath}) {
        if (other.empty() || other == "-" || stat(other.c_str(), &in) != 0 ||
            stat(options.output.c_str(), &out) != 0)
            continue;
        if (in.st_dev == out.st_dev && in.st_ino == out.st_ino)
            throw UsageError("the output " + options.output + " is the same file as " + other);
    }
}

// ---- Sources ---------------------------------------------------------------

struct Sources {
    std::unique_ptr<VideoSource> video;
    std::unique_ptr<AudioSource> audio;  // null: no audio stream
    uint64_t maxFrames = UINT64_MAX;
};

uint32_t framesIn(double seconds, uint32_t fpsNum, uint32_t fpsDen) {
    const double frames = std::max(1.0, std::round(seconds * fpsNum / fpsDen));
    // The container counts frames in 32 bits.
    if (frames > UINT32_MAX)
        throw UsageError("--duration " + std::to_string(seconds) + " at " +
                         std::to_string(fpsNum) + "/" + std::to_string(fpsDen) +
                         " fps is more frames than a file holds");
    return static_cast<uint32_t>(frames);
}

Sources openSources(const EncodeOptions& options) {
    Sources sources;
    if (options.demo) {
        DemoSettings settings;
        if (options.width) {
            settings.width = options.width;
            settings.height = options.height;
        }
        if (options.fpsNum) {
            settings.fpsNum = options.fpsNum;
            settings.fpsDen = options.fpsDen;
        }
        if (options.seconds > 0)
            settings.frameCount = framesIn(options.seconds, settings.fpsNum, settings.fpsDen);
        sources.video = std::make_unique<DemoVideoSource>(settings);
        if (!options.noAudio)
            sources.audio = std::make_unique<DemoAudioSource>(settings);
        return sources;
    }
    if (options.raw) {
        VideoFormat format;
        format.width = options.width;
        format.height = options.height;
        format.bgra = options.bgra;
        format.bottomUp = options.bottomUp;
        if (options.fpsNum) {
            format.fpsNum = options.fpsNum;
            format.fpsDen = options.fpsDen;
        }
        sources.video = openRawVideo(options.input, format);
        if (options.seconds > 0)
            sources.maxFrames = framesIn(options.seconds, format.fpsNum, format.fpsDen);
        if (!options.audioPath.empty())
            sources.audio = openWavAudio(options.audioPath);
        return sources;
    }
    struct stat info {};
    if (stat(options.input.c_str(), &info) != 0)
        throw ToolError("cannot open " + options.input + ": " + std::strerror(errno));
    if (S_ISDIR(info.st_mode))
        throw ToolError(options.input + " is a directory");
    try {
        const MediaProbe probe =
            probeMedia(options.input, options.fpsNum, options.fpsDen, options.seconds);
        sources.video = openMediaVideo(options.input, probe.video, options.seconds);
        if (probe.audio && !options.noAudio)
            sources.audio = openMediaAudio(options.input, *probe.audio, options.seconds);
    } catch (const ProgramMissing&) {
        throw ToolError(ffmpegMissingHint);
    }
    return sources;
}

// ---- The session -----------------------------------------------------------

struct EncoderCloser {
    void operator()(OrvEnc* encoder) const { orvEncoderClose(encoder); }
};
using Encoder = std::unique_ptr<OrvEnc, EncoderCloser>;

struct BufferFreer {
    void operator()(OrvBuffer_st* buffer) const { orvBufferFree(buffer); }
};
using Buffer = std::unique_ptr<OrvBuffer_st, BufferFreer>;

// Turns a refused call into the library's own message.
void check(OrvError_enum result, OrvEnc* encoder, const std::string& what) {
    if (result == ORV_ERR_NONE)
        return;
    const char* message = orvGetErrorMessage(encoder);
    throw ToolError(what + ": " + (message && *message ? message : orvErrorStr(result)));
}

Buffer allocate(size_t size) {
    Buffer buffer(orvBufferAlloc(size));
    if (!buffer)
        throw ToolError("out of memory for a buffer of " + std::to_string(size) + " bytes");
    return buffer;
}

uint32_t channelLayoutFor(uint32_t channels) {
    switch (channels) {
        case 1: return ORV_CHANNEL_LAYOUT_MONO;
        case 2: return ORV_CHANNEL_LAYOUT_STEREO;
        case 6: return ORV_CHANNEL_LAYOUT_SIX_CHANNELS;
        default: return ORV_CHANNEL_LAYOUT_ANY;
    }
}

struct EncodeResult {
    uint64_t frames = 0;
    uint64_t samples = 0;
};

uint64_t encodeVideo(OrvEnc* encoder, int stream, VideoSource& source, uint64_t maxFrames,
                     ProgressLine& progress) {
    const VideoFormat& format = source.format();
    const size_t frameBytes = size_t{format.width} * format.height * 4;
    check(orvBeginStream(encoder, stream), encoder, "cannot begin the video stream");
    uint64_t frames = 0;
    while (frames < maxFrames) {
        if (interrupted())
            throw ToolError("interrupted");
        Buffer pixels = allocate(frameBytes);
        if (!source.readFrame(static_cast<uint8_t*>(orvBufferData(pixels.get()))))
            break;
        OrvSrcFrame_st frame{};
        frame.width = format.width;
        frame.height = format.height;
        frame.stride = format.width * 4;
        frame.pixFmt = format.bgra ? ORV_SRC_PIX_FMT_BGRA32 : ORV_SRC_PIX_FMT_RGBA32;
        frame.origin = format.bottomUp ? 1 : 0;
        frame.pts = static_cast<int64_t>(frames);
        frame.buffer = pixels.get();
        check(orvEncodeFrame(encoder, &frame), encoder,
              "cannot encode frame " + std::to_string(frames));
        pixels.release();  // accepted: the library frees it
        progress.update(++frames);
    }
    source.finish();
    if (frames == 0)
        throw ToolError("the input holds no video frames");
    check(orvEndStream(encoder), encoder, "cannot finish the video stream");
    return frames;
}

uint64_t encodeAudio(OrvEnc* encoder, int stream, AudioSource& source) {
    constexpr size_t chunkFrames = 4096;
    const uint32_t channels = source.format().channels;
    std::vector<float> interleaved(chunkFrames * channels);
    // Audio samples are consumed during the call, so one buffer serves all.
    Buffer planar = allocate(chunkFrames * channels * sizeof(float));
    auto* planes = static_cast<float*>(orvBufferData(planar.get()));
    check(orvBeginStream(encoder, stream), encoder, "cannot begin the audio stream");
    uint64_t samples = 0;
    size_t got;
    while ((got = source.read(interleaved.data(), chunkFrames)) > 0) {
        if (interrupted())
            throw ToolError("interrupted");
        for (uint32_t c = 0; c < channels; ++c)
            for (size_t i = 0; i < got; ++i)
                planes[c * got + i] = interleaved[i * channels + c];
        OrvSrcFrame_st frame{};
        frame.numSamples = static_cast<uint32_t>(got);
        frame.pts = static_cast<int64_t>(samples);
        frame.buffer = planar.get();
        check(orvEncodeFrame(encoder, &frame), encoder,
              "cannot encode audio at sample " + std::to_string(samples));
        samples += got;
    }
    source.finish();
    check(orvEndStream(encoder), encoder, "cannot finish the audio stream");
    return samples;
}

EncodeResult encode(const EncodeOptions& options, Sources& sources, ProgressLine& progress) {
    OrvEncoderParams_st encoderParams{};
    encoderParams.numThreads = options.threads;
    OrvEnc* opened = nullptr;
    const OrvError_enum openResult =
        orvEncoderOpen(options.output.c_str(), &encoderParams, &opened);
    if (openResult != ORV_ERR_NONE) {
        // No session keeps a message; the system's reason is still in errno.
        const int reason = errno;
        throw ToolError("cannot create " + options.output + ": " + orvErrorStr(openResult) +
                        (reason ? std::string(" (") + std::strerror(reason) + ")" : ""));
    }
    Encoder encoder(opened);

    const VideoFormat& format = sources.video->format();
    OrvVideoStreamParams_st video;
    orvInitVideoStreamParams(&video);
    video.width = format.width;
    video.height = format.height;
    video.timebaseNum = format.fpsDen;  // pts count frames
    video.timebaseDen = format.fpsNum;
    video.fpsNum = format.fpsNum;
    video.fpsDen = format.fpsDen;
    video.format = options.format;
    video.compression = options.compression;
    video.compressionHint = options.level;
    if (options.maxParallel)
        video.maxParallel = options.maxParallel;
    int videoStream = -1;
    check(orvAddVideoStream(encoder.get(), &video, &videoStream), encoder.get(),
          "cannot add the video stream");

    int audioStream = -1;
    if (sources.audio) {
        const AudioFormat& audioFormat = sources.audio->format();
        OrvAudioStreamParams_st audio;
        orvInitAudioStreamParams(&audio);
        audio.sampleRate = audioFormat.sampleRate;
        audio.numChannels = audioFormat.channels;
        audio.channelLayout = channelLayoutFor(audioFormat.channels);
        audio.timebaseNum = 1;
        audio.timebaseDen = audioFormat.sampleRate;
        check(orvAddAudioStream(encoder.get(), &audio, &audioStream), encoder.get(),
              "cannot add the audio stream");
    }

    EncodeResult result;
    result.frames =
        encodeVideo(encoder.get(), videoStream, *sources.video, sources.maxFrames, progress);
    progress.done(result.frames);
    if (sources.audio)
        result.samples = encodeAudio(encoder.get(), audioStream, *sources.audio);
    check(orvEncoderFinish(encoder.get()), encoder.get(), "cannot finish " + options.output);
    return result;
}

// Where the library's log goes: a file the user names, or nowhere, so that
// it never mixes with the progress line. Errors reach the user through the
// session's messages instead.
void routeLibraryLog(const std::string& path) {
    if (path.empty()) {
        brindle::logClose();
        return;
    }
    // logOpen reports a failure only on the old log; try the file first.
    FILE* probe = std::fopen(path.c_str(), "w");
    if (!probe)
        throw ToolError("cannot open the log file " + path + ": " + std::strerror(errno));
    std::fclose(probe);
    brindle::logOpen(path.c_str());
}

}  // namespace

int runEncode(std::span<char* const> args) {
    const Arguments arguments(args, {{"-o", true},
                                     {"--output", true},
                                     {"--demo", false},
                                     {"--size", true},
                                     {"--pixfmt", true},
                                     {"--bottom-up", false},
                                     {"--fps", true},
                                     {"--audio", true},
                                     {"--duration", true},
                                     {"--format", true},
                                     {"--compression", true},
                                     {"--level", true},
                                     {"--threads", true},
                                     {"--max-parallel", true},
                                     {"--no-audio", false},
                                     {"--quiet", false},
                                     {"--log", true},
                                     {"--keep-partial", false}});
    if (arguments.helpRequested()) {
        std::fputs(encodeHelp, stdout);
        return exitSuccess;
    }
    const EncodeOptions options = parseOptions(arguments);
    refuseOverwritingInput(options);
    installInterruptHandler();

    const auto start = std::chrono::steady_clock::now();
    Sources sources = openSources(options);
    routeLibraryLog(options.logPath);
    ProgressLine progress(!options.quiet && isatty(STDERR_FILENO), options.output,
                          std::min(sources.video->format().expectedFrames, sources.maxFrames));
    EncodeResult result;
    try {
        result = encode(options, sources, progress);
    } catch (...) {
        progress.clear();
        if (!options.keepPartial)
            std::remove(options.output.c_str());
        brindle::logClose();
        throw;
    }
    brindle::logClose();

    if (!options.quiet) {
        const VideoFormat& format = sources.video->format();
        struct stat info {};
        stat(options.output.c_str(), &info);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::fprintf(stderr,
                     "orv encode: wrote %s: %llu frames of %ux%u (%s, %s)%s, %s in %.1f s\n",
                     options.output.c_str(), static_cast<unsigned long long>(result.frames),
                     format.width, format.height, formatName(options.format),
                     compressionName(options.compression), sources.audio ? " with audio" : "",
                     humanBytes(static_cast<uint64_t>(info.st_size)).c_str(), seconds);
    }
    return exitSuccess;
}

}  // namespace orvtool
