// `orv encode`: media files, raw frames or the built-in demo into ORV files,
// one or many, saying out loud whatever of the input does not make it in.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "command_line.hpp"
#include "demo_source.hpp"
#include "encode_session.hpp"
#include "format_names.hpp"
#include "media_input.hpp"
#include "orv.h"
#include "output_file.hpp"
#include "progress.hpp"
#include "raw_input.hpp"
#include "subcommands.hpp"

namespace orvtool {

namespace {

const char* const encodeHelp =
    R"(usage: orv encode INPUT -o OUT.orv [options]
       orv encode INPUT... -o DIR/ [options]
       orv encode --demo -o OUT.orv [options]

Encodes video (and its audio) into an ORV file; several inputs go into a
directory, each to DIR/NAME.orv, and one that fails does not stop the rest.

Input:
  INPUT                 anything ffmpeg reads (needs Debian's ffmpeg): a media
                        file, an image sequence (frame%04d.png), a URL, a device
    --size WxH            scale the pictures to this size (ffmpeg's scaler)
    --square-pixels       scale pictures with non-square pixels to the shape
                          they are shown in (otherwise a warning says it)
  INPUT --raw --size WxH  raw 8-bit frames, back to back; '-' (standard input)
                        and names ending in .rgba or .raw are raw without --raw
    --pixfmt rgba|bgra    byte order of a pixel (default rgba)
    --bottom-up           the first row is the bottom of the picture
    --fps N/D             frame rate (default 25/1)
    --audio FILE.wav      audio from a WAV file (16/24/32-bit PCM or 32-bit float)
  --demo                a built-in moving scene with alpha and a stereo tone
                        (1920x1080, 25 fps, 3 s; --size, --fps and --duration change it)
  --frames A:B          frames A up to, not including, B (A: to the end), counted
                        from 0 at the output frame rate; each keeps its number as
                        its timestamp, so encodes of adjacent ranges fit together
  --duration SECONDS    encode at most this much

Output:
  -o, --output FILE     the ORV file to write (or DIR/ for one file per input);
                        /dev/null encodes and discards
  -y, --overwrite       replace an existing file (it is replaced only once the
                        new one is complete; a symbolic link keeps pointing to it)
  --format F            dxt1 | dxt5 | ycocg | ycocg-alpha (default ycocg-alpha
                        when the input has an alpha channel, ycocg otherwise)
  --compression C       snappy | lz4 | none (default snappy: fast; lz4 is smaller
                        and slower)
  --level L             LZ4's effort: fast | default | max (default default)
  --fps N/D             a media file's pictures at this rate instead of its own
                        (repeated or dropped to keep their time)
  --no-audio            leave the audio out
  --threads N           worker threads (default: one per core)
  --max-parallel N      frames in flight (default 16)

Messages:
  --quiet               no progress line and no summary (warnings remain)
  --strict              fail when input is lost on the way: ffmpeg's decoding
                        errors, or fewer frames than the input announced
  --log FILE            write the library's log to FILE (otherwise it is silent);
                        it is kept when the encode fails
  --keep-partial        when encoding fails, keep what was written as OUT.partial

Exit status: 0 done, 1 failed (nothing is left behind; with several inputs,
any of them failed), 2 wrong usage. Interrupted, it removes its unfinished
output and ends by the signal.
)";

// ---- Options ---------------------------------------------------------------

struct EncodeOptions {
    std::vector<std::string> inputs;  // empty with --demo
    std::string output;
    bool intoDirectory = false;  // -o DIR/, or several inputs
    bool overwrite = false;
    bool demo = false;
    bool rawSwitch = false;
    bool sizeGiven = false;
    uint32_t width = 0, height = 0;
    bool squarePixels = false;
    bool bgra = false;
    bool bottomUp = false;
    uint32_t fpsNum = 0, fpsDen = 0;  // 0/0: the input's own (25/1 for raw and demo)
    std::string audioPath;
    double seconds = 0;  // 0: everything
    std::optional<FrameRange> frames;
    std::optional<uint32_t> format;  // none: by the input's alpha channel
    uint32_t compression = ORV_COMPRESSION_SNAPPY;
    uint32_t level = 1;
    uint32_t threads = 0;
    uint32_t maxParallel = 0;  // 0: the library's default
    bool noAudio = false;
    bool quiet = false;
    bool strict = false;
    std::string logPath;
    bool keepPartial = false;

    bool isRaw(const std::string& input) const {
        const std::string extension = extensionOf(input);
        return rawSwitch || input == "-" || extension == ".rgba" || extension == ".raw";
    }
};

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

void refuseTogether(const Arguments& args, const char* one, const char* other,
                    const std::string& why) {
    if (args.has(one) && args.has(other))
        throw UsageError(std::string(one) + " and " + other + " " + why);
}

EncodeOptions parseOptions(const Arguments& args) {
    EncodeOptions options;
    options.inputs = args.positional();
    options.demo = args.has("--demo");
    if (options.demo && !options.inputs.empty())
        throw UsageError("--demo needs no INPUT, found '" + options.inputs[0] + "'");
    if (!options.demo && options.inputs.empty())
        throw UsageError("missing INPUT (a media file, raw frames, or --demo)");

    const auto output = args.has("-o") ? args.value("-o") : args.value("--output");
    if (!output || output->empty())
        throw UsageError("missing -o OUT.orv");
    options.output = *output;
    options.intoDirectory = options.inputs.size() > 1 || options.output.back() == '/';
    if (options.intoDirectory && options.demo)
        throw UsageError("--demo writes one file; give -o OUT.orv");
    options.overwrite = args.has("-y") || args.has("--overwrite");

    options.rawSwitch = args.has("--raw");
    bool anyRaw = false, allRaw = !options.demo;
    for (const std::string& input : options.inputs) {
        anyRaw |= options.isRaw(input);
        allRaw &= options.isRaw(input);
        if (input == "-" && options.intoDirectory)
            throw UsageError("standard input ('-') is one input alone; give -o OUT.orv");
    }
    if (const auto size = args.value("--size")) {
        parseSize(*size, "--size", options.width, options.height);
        options.sizeGiven = true;
    }
    if (anyRaw && !options.sizeGiven)
        throw UsageError("raw frames need --size WxH (and --pixfmt)");
    for (const char* rawOnly : {"--pixfmt", "--bottom-up", "--audio"})
        if (args.has(rawOnly) && !allRaw)
            throw UsageError(std::string(rawOnly) +
                             " is for raw frames (--raw); media files and --demo bring their "
                             "own pictures and sound");
    if (args.has("--audio") && options.intoDirectory)
        throw UsageError("--audio belongs to one input; give -o OUT.orv");
    options.squarePixels = args.has("--square-pixels");
    if (options.squarePixels && (anyRaw || options.demo))
        throw UsageError("--square-pixels is for media files, whose pixels may not be square");
    refuseTogether(args, "--size", "--square-pixels", "both set the picture's size");
    // The demo's duration is its length, from which --frames may pick.
    if (!options.demo)
        refuseTogether(args, "--duration", "--frames", "both set how much to encode");
    refuseTogether(args, "--audio", "--no-audio", "contradict each other");
    refuseTogether(args, "--raw", "--demo", "are two different inputs");
    if (const auto pixfmt = args.value("--pixfmt")) {
        if (*pixfmt != "rgba" && *pixfmt != "bgra")
            throw UsageError("--pixfmt: expected rgba or bgra, found '" + *pixfmt + "'");
        options.bgra = *pixfmt == "bgra";
    }
    options.bottomUp = args.has("--bottom-up");
    if (const auto fps = args.value("--fps"))
        parseRate(*fps, "--fps", options.fpsNum, options.fpsDen);
    if (const auto audio = args.value("--audio"))
        options.audioPath = *audio;
    if (const auto seconds = args.value("--duration"))
        options.seconds = parsePositiveSeconds(*seconds, "--duration");
    if (const auto frames = args.value("--frames"))
        options.frames = parseFrameRange(*frames, "--frames");

    if (const auto format = args.value("--format"))
        options.format = formatByName(*format);
    if (const auto compression = args.value("--compression"))
        options.compression = compressionByName(*compression);
    if (const auto level = args.value("--level")) {
        if (options.compression != ORV_COMPRESSION_LZ4)
            throw UsageError("--level sets LZ4's effort and does nothing for --compression " +
                             std::string(compressionName(options.compression)));
        options.level = levelByName(*level);
    }
    if (const auto threads = args.value("--threads"))
        options.threads = static_cast<uint32_t>(parseUnsigned(*threads, "--threads", 0, 1024));
    if (const auto maxParallel = args.value("--max-parallel"))
        options.maxParallel =
            static_cast<uint32_t>(parseUnsigned(*maxParallel, "--max-parallel", 1, 1024));
    options.noAudio = args.has("--no-audio");
    options.quiet = args.has("--quiet");
    options.strict = args.has("--strict");
    if (const auto log = args.value("--log"))
        options.logPath = *log;
    options.keepPartial = args.has("--keep-partial");
    return options;
}

// ---- Jobs --------------------------------------------------------------------

struct Job {
    std::string input;  // empty for the demo
    std::string target;
};

// "clip" for "footage/clip.mov".
std::string stemOf(const std::string& path) {
    std::string name = path.substr(path.find_last_of('/') + 1);
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0)
        name.resize(dot);
    return name;
}

std::vector<Job> planJobs(const EncodeOptions& options) {
    if (!options.intoDirectory)
        return {{options.demo ? "" : options.inputs[0], options.output}};
    struct stat info {};
    if (stat(options.output.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw ToolError(options.output +
                        " is not a directory; several inputs go into one (-o DIR/)");
    const std::string directory =
        options.output.back() == '/' ? options.output : options.output + "/";
    std::vector<Job> jobs;
    std::map<std::string, std::string> inputOf;  // target -> the input written there
    for (const std::string& input : options.inputs) {
        const std::string stem = stemOf(input);
        if (stem.empty())
            throw UsageError("cannot name an output for '" + input + "'");
        const std::string target = directory + stem + ".orv";
        if (const auto [it, added] = inputOf.emplace(target, input); !added)
            throw UsageError(it->second + " and " + input + " would both be written to " + target);
        jobs.push_back({input, target});
    }
    return jobs;
}

// ---- Sources -----------------------------------------------------------------

struct Sources {
    std::unique_ptr<VideoSource> video;
    std::unique_ptr<AudioSource> audio;  // null: no audio stream
    int64_t firstPts = 0;
    std::string notice;  // what the user should know before the encode; "" for nothing
};

uint64_t framesIn(double seconds, uint32_t fpsNum, uint32_t fpsDen) {
    const double frames = std::max(1.0, std::round(seconds * fpsNum / fpsDen));
    // The container counts frames in 32 bits.
    if (frames > UINT32_MAX)
        throw UsageError("--duration " + std::to_string(seconds) + " at " +
                         std::to_string(fpsNum) + "/" + std::to_string(fpsDen) +
                         " fps is more frames than a file holds");
    return static_cast<uint64_t>(frames);
}

FrameRange rangeOf(const EncodeOptions& options, uint32_t fpsNum, uint32_t fpsDen) {
    if (options.frames)
        return *options.frames;
    if (options.seconds > 0)
        return {0, framesIn(options.seconds, fpsNum, fpsDen)};
    return {};
}

// Audio beside a range of frames: the samples of the same stretch of time.
std::unique_ptr<AudioSource> alongside(std::unique_ptr<AudioSource> audio, FrameRange frames,
                                       uint32_t fpsNum, uint32_t fpsDen) {
    const uint32_t rate = audio->format().sampleRate;
    return audioRange(std::move(audio), sampleAtFrame(frames.first, rate, fpsNum, fpsDen),
                      sampleAtFrame(frames.end, rate, fpsNum, fpsDen));
}

Sources openDemo(const EncodeOptions& options) {
    DemoSettings settings;
    if (options.sizeGiven) {
        settings.width = options.width;
        settings.height = options.height;
    }
    if (options.fpsNum) {
        settings.fpsNum = options.fpsNum;
        settings.fpsDen = options.fpsDen;
    }
    if (options.seconds > 0)
        settings.frameCount =
            static_cast<uint32_t>(framesIn(options.seconds, settings.fpsNum, settings.fpsDen));
    const FrameRange frames = options.frames.value_or(FrameRange{});
    Sources sources;
    sources.video = videoRange(std::make_unique<DemoVideoSource>(settings), frames);
    if (!options.noAudio)
        sources.audio = alongside(std::make_unique<DemoAudioSource>(settings), frames,
                                  settings.fpsNum, settings.fpsDen);
    sources.firstPts = static_cast<int64_t>(frames.first);
    return sources;
}

Sources openRaw(const EncodeOptions& options, const std::string& input) {
    VideoFormat format;
    format.width = options.width;
    format.height = options.height;
    format.bgra = options.bgra;
    format.bottomUp = options.bottomUp;
    if (options.fpsNum) {
        format.fpsNum = options.fpsNum;
        format.fpsDen = options.fpsDen;
    }
    const FrameRange frames = rangeOf(options, format.fpsNum, format.fpsDen);
    Sources sources;
    sources.video = videoRange(openRawVideo(input, format), frames);
    if (!options.audioPath.empty())
        sources.audio =
            alongside(openWavAudio(options.audioPath), frames, format.fpsNum, format.fpsDen);
    sources.firstPts = static_cast<int64_t>(frames.first);
    return sources;
}

Sources openMedia(const EncodeOptions& options, const std::string& input) {
    const std::string url = mediaUrl(input);
    try {
        const MediaProbe probe = probeMedia(url, input, options.fpsNum, options.fpsDen);
        Sources sources;
        VideoFormat format = probe.video;
        bool scale = false;
        if (options.sizeGiven) {
            format.width = options.width;
            format.height = options.height;
            scale = true;
        } else if (!probe.squarePixels() && options.squarePixels) {
            format.width = probe.displayWidth();
            scale = true;
        } else if (!probe.squarePixels()) {
            sources.notice = printable(input) + " has non-square pixels (sample aspect ratio " +
                             std::to_string(probe.sarNum) + ":" + std::to_string(probe.sarDen) +
                             "): its " + std::to_string(format.width) + "x" +
                             std::to_string(format.height) + " pictures are shown as " +
                             std::to_string(probe.displayWidth()) + "x" +
                             std::to_string(format.height) +
                             "; --square-pixels scales them to that";
        }
        const FrameRange frames = rangeOf(options, format.fpsNum, format.fpsDen);
        format.expectedFrames = framesKept(format.expectedFrames, frames);
        sources.video = openMediaVideo(url, format, scale, frames);
        if (probe.audio && !options.noAudio) {
            const AudioFormat& audio = *probe.audio;
            if (audio.channels > AudioFormat::maxChannels)
                throw ToolError(input + " has " + counted(audio.channels, "audio channel") +
                                "; an ORV file holds at most " +
                                std::to_string(AudioFormat::maxChannels) +
                                " (--no-audio leaves the sound out)");
            const auto sampleAt = [&](uint64_t k) {
                return sampleAtFrame(k, audio.sampleRate, format.fpsNum, format.fpsDen);
            };
            sources.audio =
                openMediaAudio(url, audio, sampleAt(frames.first), sampleAt(frames.end));
        }
        sources.firstPts = static_cast<int64_t>(frames.first);
        return sources;
    } catch (const ProgramMissing&) {
        throw ToolError(ffmpegMissingHint);
    }
}

// ---- One encode --------------------------------------------------------------------

struct FormatChoice {
    uint32_t format = ORV_PIX_FMT_YCOCG_DXT5;
    std::string why;  // "" when the user chose
};

// Alpha is kept whenever the input has it: losing it silently would be
// losing a picture.
FormatChoice chooseFormat(const EncodeOptions& options, const VideoFormat& input) {
    if (options.format)
        return {*options.format, ""};
    if (input.hasAlpha)
        return {ORV_PIX_FMT_YCOCG_DXT5_ALPHA,
                "the input's " + input.pixelFormat + " pixels have an alpha channel"};
    return {ORV_PIX_FMT_YCOCG_DXT5,
            "the input's " + input.pixelFormat + " pixels have no alpha channel"};
}

void warn(const std::string& text) {
    std::fprintf(stderr, "orv encode: warning: %s\n", text.c_str());
}

// What the input lost on the way to the file, for a warning or, with
// --strict, a failure; "" when nothing.
std::string lossOf(const std::string& input, const VideoFormat& format,
                   const SessionResult& result) {
    std::vector<std::string> losses;
    const uint64_t slack = format.expectedIsEstimate ? 1 : 0;
    if (format.expectedFrames > 0 && result.frames + slack < format.expectedFrames)
        losses.push_back("got " + std::to_string(result.frames) + " of the " +
                         counted(format.expectedFrames, "frame") + " the input announced");
    for (const std::string& loss : {result.videoLoss, result.audioLoss})
        if (!loss.empty())
            losses.push_back(loss);
    if (losses.empty())
        return "";
    std::string text = printable(input.empty() ? "the demo" : input) + ":";
    for (size_t i = 0; i < losses.size(); ++i)
        text += (i ? "; " : " ") + losses[i];
    return text;
}

void encodeJob(const EncodeOptions& options, const Job& job, const std::string& label) {
    const auto start = std::chrono::steady_clock::now();
    OutputFile output(job.target, options.overwrite);
    Sources sources = options.demo              ? openDemo(options)
                      : options.isRaw(job.input) ? openRaw(options, job.input)
                                                 : openMedia(options, job.input);
    if (!sources.notice.empty())
        warn(sources.notice);
    const VideoFormat& format = sources.video->format();
    const FormatChoice choice = chooseFormat(options, format);
    const SessionSettings settings{.format = choice.format,
                                   .compression = options.compression,
                                   .level = options.level,
                                   .threads = options.threads,
                                   .maxParallel = options.maxParallel,
                                   .firstPts = sources.firstPts};

    ProgressLine progress(!options.quiet && isatty(STDERR_FILENO), label, output.path(),
                          format.expectedFrames);
    SessionResult result;
    try {
        result = encodeSession(output.path(), settings, *sources.video, sources.audio.get(),
                               progress);
        const std::string loss = lossOf(job.input, format, result);
        if (!loss.empty() && options.strict)
            throw ToolError(loss + " (--strict)");
        if (!loss.empty())
            warn(loss);
    } catch (const std::exception& error) {
        progress.clear();
        if (!options.keepPartial || output.discards())
            throw;
        const std::string kept = output.keepPartial();
        throw ToolError(std::string(error.what()) + "; what was written is kept as " + kept);
    }
    output.commit();

    if (options.quiet)
        return;
    struct stat info {};
    const std::string size = !output.discards() && stat(job.target.c_str(), &info) == 0
                                 ? humanBytes(static_cast<uint64_t>(info.st_size))
                                 : "discarded";
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string what = counted(result.frames, "frame");
    if (sources.firstPts > 0)
        what += " from frame " + std::to_string(sources.firstPts);
    what += " of " + std::to_string(format.width) + "x" + std::to_string(format.height) + ", " +
            formatName(choice.format) + (choice.why.empty() ? "" : " (" + choice.why + ")") +
            ", " + compressionName(options.compression) + (sources.audio ? ", with audio" : "");
    std::fprintf(stderr, "orv encode: wrote %s: %s, %s in %.1f s\n", printable(job.target).c_str(),
                 what.c_str(), size.c_str(), seconds);
}

// The library's log is kept whether the encode succeeded or not: a failure
// is what it is most wanted for.
void keepLog(std::optional<OutputFile>& log) {
    brindle::logClose();
    if (!log)
        return;
    try {
        log->commit();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "orv encode: %s\n", printable(error.what()).c_str());
    }
}

}  // namespace

int runEncode(std::span<char* const> args) {
    const Arguments arguments(args, {{"-o", true},
                                     {"--output", true},
                                     {"-y", false},
                                     {"--overwrite", false},
                                     {"--demo", false},
                                     {"--raw", false},
                                     {"--size", true},
                                     {"--square-pixels", false},
                                     {"--pixfmt", true},
                                     {"--bottom-up", false},
                                     {"--fps", true},
                                     {"--audio", true},
                                     {"--duration", true},
                                     {"--frames", true},
                                     {"--format", true},
                                     {"--compression", true},
                                     {"--level", true},
                                     {"--threads", true},
                                     {"--max-parallel", true},
                                     {"--no-audio", false},
                                     {"--quiet", false},
                                     {"--strict", false},
                                     {"--log", true},
                                     {"--keep-partial", false}});
    if (arguments.helpRequested()) {
        std::fputs(encodeHelp, stdout);
        return exitSuccess;
    }
    const EncodeOptions options = parseOptions(arguments);
    const std::vector<Job> jobs = planJobs(options);

    std::vector<NamedPath> inputs, outputs;
    for (const Job& job : jobs) {
        if (!job.input.empty())
            inputs.push_back({"the input", job.input});
        outputs.push_back({"-o", job.target});
    }
    if (!options.audioPath.empty())
        inputs.push_back({"--audio", options.audioPath});
    if (!options.logPath.empty())
        outputs.push_back({"--log", options.logPath});
    checkOutputs(inputs, outputs, options.overwrite);
    if (!options.demo && options.inputs[0] == "-" && isatty(STDIN_FILENO))
        throw ToolError(
            "standard input is a terminal; pipe raw frames into it (... | orv encode - --size "
            "WxH -o OUT.orv)");

    std::optional<OutputFile> log;
    if (options.logPath.empty()) {
        brindle::logClose();
    } else {
        log.emplace(options.logPath, options.overwrite);
        brindle::logOpen(log->path().c_str());
    }
    if (!options.intoDirectory) {
        try {
            encodeJob(options, jobs[0], "");
        } catch (...) {
            keepLog(log);
            throw;
        }
        keepLog(log);
        return exitSuccess;
    }

    uint64_t failed = 0;
    for (size_t i = 0; i < jobs.size(); ++i) {
        const std::string label = "[" + std::to_string(i + 1) + "/" +
                                  std::to_string(jobs.size()) + "] " + printable(jobs[i].input) +
                                  ": ";
        try {
            encodeJob(options, jobs[i], label);
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "orv encode: %s: out of memory\n",
                         printable(jobs[i].input).c_str());
            ++failed;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "orv encode: %s: %s\n", printable(jobs[i].input).c_str(),
                         printable(error.what()).c_str());
            ++failed;
        }
    }
    keepLog(log);
    if (!options.quiet)
        std::fprintf(stderr, "orv encode: %s: %llu encoded, %llu failed\n",
                     counted(jobs.size(), "input").c_str(),
                     static_cast<unsigned long long>(jobs.size() - failed),
                     static_cast<unsigned long long>(failed));
    return failed ? exitFailure : exitSuccess;
}

}  // namespace orvtool
