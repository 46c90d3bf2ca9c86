// `orv info`, `orv verify` and `orv extract`: looking into ORV files through
// the independent reader.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "hap_kind.hpp"
#include "orv_reader.hpp"
#include "output_file.hpp"
#include "png_writer.hpp"
#include "subcommands.hpp"

namespace orvtool {

namespace {

const char* const infoHelp =
    R"(usage: orv info FILE [--json]

Shows the sections of an ORV file; for each video stream its size, slice
grid, texture format, compression, frame count, frame rate, duration, data
size and ratio to raw RGBA; for each audio stream its sample rate, channels
and duration. --json prints the same as one JSON object.
)";

const char* const verifyHelp =
    R"(usage: orv verify FILE...

Checks each file against everything the ORV format promises (header, section
table, contiguous sections, frame index, frame records, Hap sections, payloads
that decompress to exactly the texture size, WAV sizes) and lists every
problem. Prints "FILE: ok" for a sound file. Exit status 0 only when every
file is sound, 1 otherwise.
)";

const char* const extractHelp =
    R"(usage: orv extract FILE --frame K -o PICTURE.png|PICTURE.rgba [--stream N] [-y]
       orv extract FILE --wav OUT.wav [--stream N] [-y]

Writes decoded frame K (counted from 0) as an RGBA PNG, or as raw RGBA
bytes for a .rgba name: slices assembled, padding cropped. --wav writes an
audio stream's WAV image as stored. --stream picks the Nth video stream for
--frame and the Nth audio stream for --wav (default 0). Existing files are
replaced only with -y (--overwrite), once the new ones are complete.
)";

orvread::OrvFile openOrv(const std::string& path) {
    std::vector<uint8_t> bytes = orvread::readFileBytes(path);
    try {
        return orvread::OrvFile(std::move(bytes));
    } catch (const orvread::ReadError& error) {
        throw ToolError(path + ": " + error.what() + " (orv verify lists every problem)");
    }
}

// ---- info ------------------------------------------------------------------

struct VideoInfo {
    const orvread::VideoSection* section = nullptr;
    std::optional<orvread::FrameRecord> firstFrame;  // absent without frames or when unreadable
    std::string firstFrameProblem;
    HapKind kind = HapKind::unknown;
    uint32_t compression = 0;
    std::optional<double> fps;
    std::optional<double> duration;
    std::optional<double> ratio;
};

struct AudioInfo {
    const orvread::AudioSection* section = nullptr;
    uint64_t sampleFrames = 0;
    std::optional<double> duration;
};

VideoInfo describeVideo(const orvread::OrvFile& file, const orvread::VideoSection& video) {
    VideoInfo info;
    info.section = &video;
    if (video.frameCount > 0) {
        try {
            info.firstFrame = file.readFrame(video, 0);
            if (!info.firstFrame->slices.empty()) {
                const orvread::SliceFrame& slice = info.firstFrame->slices[0];
                info.kind = hapKindOf(slice);
                if (!slice.textures.empty())
                    info.compression = slice.textures[0].compression;
            }
        } catch (const orvread::ReadError& error) {
            info.firstFrameProblem = error.what();
        }
    }
    if (video.fpsNum > 0 && video.fpsDen > 0) {
        info.fps = static_cast<double>(video.fpsNum) / video.fpsDen;
        info.duration = video.frameCount / *info.fps;
    }
    if (video.frameDataSize > 0)
        info.ratio = static_cast<double>(video.width) * video.height * 4 * video.frameCount /
                     static_cast<double>(video.frameDataSize);
    return info;
}

AudioInfo describeAudio(const orvread::AudioSection& audio) {
    AudioInfo info;
    info.section = &audio;
    if (audio.blockAlign > 0)
        info.sampleFrames = audio.dataSize / audio.blockAlign;
    if (audio.sampleRate > 0)
        info.duration = static_cast<double>(info.sampleFrames) / audio.sampleRate;
    return info;
}

const char* sectionTypeName(uint8_t type) {
    switch (type) {
        case orvread::sectionVideo: return "video";
        case orvread::sectionAudio: return "audio";
        default: return "unknown";
    }
}

std::string fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

void printText(const std::string& path, const orvread::OrvFile& file,
               const std::vector<VideoInfo>& videos, const std::vector<AudioInfo>& audios) {
    std::printf("%s: ORV version %u, %s, %s\n", printable(path).c_str(), file.version(),
                humanBytes(file.bytes().size()).c_str(),
                counted(file.sections().size(), "section").c_str());
    for (const orvread::SectionEntry& entry : file.sections())
        std::printf("  slot %u: %s, offset %" PRIu64 ", %" PRIu64 " bytes\n", entry.slot,
                    sectionTypeName(entry.type), entry.offset, entry.size);
    for (size_t i = 0; i < videos.size(); ++i) {
        const VideoInfo& info = videos[i];
        const orvread::VideoSection& video = *info.section;
        std::printf("video stream %zu (slot %u)\n", i, video.slot);
        std::printf("  size:        %ux%u\n", video.width, video.height);
        if (info.firstFrame) {
            const orvread::FrameRecord& frame = *info.firstFrame;
            std::printf("  slices:      %ux%u of %ux%u\n", frame.numColumns, frame.numRows,
                        frame.sliceWidth, frame.sliceHeight);
            std::printf("  format:      %s (%s%s%s)\n", formatNameOf(info.kind),
                        describe(info.kind), info.kind == HapKind::unknown ? "" : ", Hap fourcc ",
                        fourccOf(info.kind));
            std::printf("  compression: %s\n", compressionNameOf(info.compression));
        } else if (!info.firstFrameProblem.empty()) {
            std::printf("  first frame: unreadable: %s\n", info.firstFrameProblem.c_str());
        }
        std::printf("  frames:      %u\n", video.frameCount);
        if (info.fps)
            std::printf("  frame rate:  %" PRIu64 "/%" PRIu64 " (%s fps)\n", video.fpsNum,
                        video.fpsDen, fixed(*info.fps, 3).c_str());
        if (info.duration)
            std::printf("  duration:    %s s\n", fixed(*info.duration, 3).c_str());
        std::printf("  data:        %s", humanBytes(video.frameDataSize).c_str());
        if (info.ratio)
            std::printf(" (%s:1 to raw RGBA)", fixed(*info.ratio, 2).c_str());
        std::printf("\n");
    }
    for (size_t i = 0; i < audios.size(); ++i) {
        const AudioInfo& info = audios[i];
        const orvread::AudioSection& audio = *info.section;
        std::printf("audio stream %zu (slot %u)\n", i, audio.slot);
        std::printf("  rate:        %u Hz\n", audio.sampleRate);
        std::printf("  channels:    %u\n", audio.channels);
        std::printf("  samples:     %" PRIu64 " of %u-bit PCM\n", info.sampleFrames,
                    audio.bitsPerSample);
        if (info.duration)
            std::printf("  duration:    %s s\n", fixed(*info.duration, 3).c_str());
    }
}

// ---- JSON ------------------------------------------------------------------

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    // Bytes of a path that are not UTF-8 pass through as
                    // they are; a path is whatever bytes the system allows.
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string jsonNumber(std::optional<double> value) {
    if (!value || !std::isfinite(*value))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", *value);
    return text;
}

void printJson(const std::string& path, const orvread::OrvFile& file,
               const std::vector<VideoInfo>& videos, const std::vector<AudioInfo>& audios) {
    std::string out = "{\n  \"file\": " + jsonString(path) +
                      ",\n  \"bytes\": " + std::to_string(file.bytes().size()) +
                      ",\n  \"version\": " + std::to_string(file.version()) +
                      ",\n  \"sections\": [";
    const auto& sections = file.sections();
    for (size_t i = 0; i < sections.size(); ++i)
        out += std::string(i ? "," : "") + "\n    {\"slot\": " + std::to_string(sections[i].slot) +
               ", \"type\": \"" + sectionTypeName(sections[i].type) +
               "\", \"offset\": " + std::to_string(sections[i].offset) +
               ", \"size\": " + std::to_string(sections[i].size) + "}";
    out += sections.empty() ? "],\n  \"video\": [" : "\n  ],\n  \"video\": [";
    for (size_t i = 0; i < videos.size(); ++i) {
        const VideoInfo& info = videos[i];
        const orvread::VideoSection& video = *info.section;
        out += std::string(i ? "," : "") + "\n    {\"slot\": " + std::to_string(video.slot) +
               ", \"width\": " + std::to_string(video.width) +
               ", \"height\": " + std::to_string(video.height);
        if (info.firstFrame) {
            const orvread::FrameRecord& frame = *info.firstFrame;
            out +=
                ", \"slice_columns\": " + std::to_string(frame.numColumns) +
                ", \"slice_rows\": " + std::to_string(frame.numRows) +
                ", \"slice_width\": " + std::to_string(frame.sliceWidth) +
                ", \"slice_height\": " + std::to_string(frame.sliceHeight) + ", \"format\": \"" +
                formatNameOf(info.kind) + "\", \"fourcc\": " +
                (info.kind == HapKind::unknown ? "null"
                                               : "\"" + std::string(fourccOf(info.kind)) + "\"") +
                ", \"compression\": \"" + compressionNameOf(info.compression) + "\"";
        } else if (!info.firstFrameProblem.empty()) {
            out += ", \"first_frame_problem\": " + jsonString(info.firstFrameProblem);
        }
        out += ", \"frames\": " + std::to_string(video.frameCount) +
               ", \"fps_num\": " + std::to_string(video.fpsNum) +
               ", \"fps_den\": " + std::to_string(video.fpsDen) +
               ", \"fps\": " + jsonNumber(info.fps) +
               ", \"duration\": " + jsonNumber(info.duration) +
               ", \"data_bytes\": " + std::to_string(video.frameDataSize) +
               ", \"ratio\": " + jsonNumber(info.ratio) + "}";
    }
    out += videos.empty() ? "],\n  \"audio\": [" : "\n  ],\n  \"audio\": [";
    for (size_t i = 0; i < audios.size(); ++i) {
        const AudioInfo& info = audios[i];
        const orvread::AudioSection& audio = *info.section;
        out += std::string(i ? "," : "") + "\n    {\"slot\": " + std::to_string(audio.slot) +
               ", \"sample_rate\": " + std::to_string(audio.sampleRate) +
               ", \"channels\": " + std::to_string(audio.channels) +
               ", \"bits_per_sample\": " + std::to_string(audio.bitsPerSample) +
               ", \"samples\": " + std::to_string(info.sampleFrames) +
               ", \"duration\": " + jsonNumber(info.duration) + "}";
    }
    out += audios.empty() ? "]\n}\n" : "\n  ]\n}\n";
    std::fputs(out.c_str(), stdout);
}

// ---- extract ---------------------------------------------------------------

// "frame 3 of 320x180" or "2 channels at 48000 Hz": what went into a file.
std::string extractFrame(const orvread::OrvFile& file, const std::string& path, size_t stream,
                         uint64_t k, OutputFile& output) {
    if (stream >= file.videoCount())
        throw ToolError(path + " has " + counted(file.videoCount(), "video stream") +
                        "; --stream " + std::to_string(stream) + " is out of range");
    const orvread::VideoSection& video = file.video(stream);
    if (k >= video.frameCount)
        throw ToolError("frame " + std::to_string(k) + " is out of range: video stream " +
                        std::to_string(stream) + " has " + counted(video.frameCount, "frame"));
    std::vector<uint8_t> picture;
    try {
        picture = file.decodeFrame(video, static_cast<uint32_t>(k));
    } catch (const orvread::ReadError& error) {
        throw ToolError("cannot decode frame " + std::to_string(k) + ": " + error.what());
    }
    if (extensionOf(output.target()) == ".png")
        writePng(output.path(), video.width, video.height, picture);
    else
        output.write(picture);
    return "frame " + std::to_string(k) + " of " + std::to_string(video.width) + "x" +
           std::to_string(video.height);
}

std::string extractWav(const orvread::OrvFile& file, const std::string& path, size_t stream,
                       OutputFile& output) {
    if (stream >= file.audioCount())
        throw ToolError(path + " has " + counted(file.audioCount(), "audio stream") +
                        "; --stream " + std::to_string(stream) + " is out of range");
    const orvread::AudioSection& audio = file.audio(stream);
    // The section is known to lie inside the file; its first byte is the
    // audio header and the WAV image fills the rest.
    output.write(std::span<const uint8_t>(file.bytes())
                     .subspan(audio.offset + orvread::audioHeaderSize,
                              audio.size - orvread::audioHeaderSize));
    return counted(audio.channels, "channel") + " at " + std::to_string(audio.sampleRate) + " Hz";
}

}  // namespace

int runInfo(std::span<char* const> args) {
    const Arguments arguments(args, {{"--json", false}});
    if (arguments.helpRequested()) {
        std::fputs(infoHelp, stdout);
        return exitSuccess;
    }
    if (arguments.positional().size() != 1)
        throw UsageError("expected one FILE");
    const std::string& path = arguments.positional()[0];
    const orvread::OrvFile file = openOrv(path);
    std::vector<VideoInfo> videos;
    for (size_t i = 0; i < file.videoCount(); ++i)
        videos.push_back(describeVideo(file, file.video(i)));
    std::vector<AudioInfo> audios;
    for (size_t i = 0; i < file.audioCount(); ++i)
        audios.push_back(describeAudio(file.audio(i)));
    if (arguments.has("--json"))
        printJson(path, file, videos, audios);
    else
        printText(path, file, videos, audios);
    return exitSuccess;
}

int runVerify(std::span<char* const> args) {
    const Arguments arguments(args, {});
    if (arguments.helpRequested()) {
        std::fputs(verifyHelp, stdout);
        return exitSuccess;
    }
    if (arguments.positional().empty())
        throw UsageError("expected FILE");
    int status = exitSuccess;
    for (const std::string& path : arguments.positional()) {
        std::vector<std::string> problems;
        try {
            problems = orvread::verify(orvread::readFileBytes(path));
        } catch (const ToolError& error) {
            std::fprintf(stderr, "orv verify: %s\n", printable(error.what()).c_str());
            status = exitFailure;
            continue;
        }
        if (problems.empty()) {
            std::printf("%s: ok\n", printable(path).c_str());
            continue;
        }
        status = exitFailure;
        std::printf("%s: %s\n", printable(path).c_str(),
                    counted(problems.size(), "problem").c_str());
        for (const std::string& problem : problems)
            std::printf("  %s\n", problem.c_str());
    }
    return status;
}

int runExtract(std::span<char* const> args) {
    const Arguments arguments(args, {{"--stream", true},
                                     {"--frame", true},
                                     {"-o", true},
                                     {"--output", true},
                                     {"--wav", true},
                                     {"-y", false},
                                     {"--overwrite", false}});
    if (arguments.helpRequested()) {
        std::fputs(extractHelp, stdout);
        return exitSuccess;
    }
    if (arguments.positional().size() != 1)
        throw UsageError("expected one FILE");
    const std::string& path = arguments.positional()[0];
    const auto output = arguments.has("-o") ? arguments.value("-o") : arguments.value("--output");
    const auto frame = arguments.value("--frame");
    const auto wav = arguments.value("--wav");
    if (!frame && !wav)
        throw UsageError("nothing to extract: give --frame K -o PICTURE.png, or --wav OUT.wav");
    if (frame && !output)
        throw UsageError("--frame needs -o PICTURE.png or PICTURE.rgba");
    if (output && !frame)
        throw UsageError("-o is for a picture and needs --frame K");
    if (output && *output != "/dev/null" && extensionOf(*output) != ".png" &&
        extensionOf(*output) != ".rgba")
        throw UsageError("-o: a picture is written as .png or .rgba, found '" + *output + "'");
    const uint64_t k = frame ? parseUnsigned(*frame, "--frame", 0, UINT32_MAX) : 0;
    const size_t stream = arguments.has("--stream")
                              ? parseUnsigned(*arguments.value("--stream"), "--stream", 0, 15)
                              : 0;

    const bool overwrite = arguments.has("-y") || arguments.has("--overwrite");
    std::vector<NamedPath> outputs;
    if (output)
        outputs.push_back({"-o", *output});
    if (wav)
        outputs.push_back({"--wav", *wav});
    checkOutputs({{"the input", path}}, outputs, overwrite);

    std::optional<OutputFile> picture, sound;
    if (output)
        picture.emplace(*output, overwrite);
    if (wav)
        sound.emplace(*wav, overwrite);
    const orvread::OrvFile file = openOrv(path);
    std::vector<std::string> written;
    if (picture)
        written.push_back(printable(*output) + " (" +
                          extractFrame(file, path, stream, k, *picture) + ")");
    if (sound)
        written.push_back(printable(*wav) + " (" + extractWav(file, path, stream, *sound) + ")");
    // Both or neither: a failure above leaves no file behind.
    for (OutputFile* done : {picture ? &*picture : nullptr, sound ? &*sound : nullptr})
        if (done)
            done->commit();
    std::fprintf(stderr, "orv extract: wrote %s\n",
                 (written.size() == 2 ? written[0] + " and " + written[1] : written[0]).c_str());
    return exitSuccess;
}

}  // namespace orvtool
