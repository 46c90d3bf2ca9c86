// `orv info`, `orv verify` and `orv extract`: looking into ORV files through
// liborv's reader, which reads only what each of them needs.
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "format_names.hpp"
#include "hap_frame_packer.hpp"
#include "orv_file.hpp"
#include "output_file.hpp"
#include "png_writer.hpp"
#include "subcommands.hpp"

namespace orvtool {

namespace {

const char* const infoHelp =
    R"(usage: orv info FILE [--json]

Shows the sections of an ORV file; for each video stream its size, slice
grid, texture format, compression, frame count, time base, frame rate,
duration, the bytes it takes and their ratio to raw RGBA; for each audio
stream its sample rate, channels and duration. --json prints the same as one
JSON object. A stream that cannot be read is shown with the reason, and the
exit status is then 1 (orv verify lists every problem).
)";

const char* const verifyHelp =
    R"(usage: orv verify FILE...

Checks each file against everything the ORV format promises (header, section
table, contiguous sections, frame index, frame records, Hap sections, payloads
that decompress to exactly the texture size, WAV sizes) and lists the first
100 problems of each, then how many more there are. Prints "FILE: ok" for a
sound file. Every file is checked, also after one that cannot be opened.
Exit status 0 only when every file is sound, 1 otherwise.
)";

const char* const extractHelp =
    R"(usage: orv extract FILE --frame K -o PICTURE.png|PICTURE.rgba [--stream N] [-y]
       orv extract FILE --wav OUT.wav [--stream N] [-y]

Writes decoded frame K (counted from 0, in the order of the file's index)
as an RGBA PNG, or as raw RGBA bytes for a .rgba name: slices assembled,
padding cropped. --wav writes an audio stream as a 16-bit PCM WAV file, the
samples as stored. --stream picks the Nth video stream for --frame and the
Nth audio stream for --wav (default 0). Existing files are replaced only
with -y (--overwrite), once the new ones are complete.
)";

// The most problems `orv verify` lists for one file; the rest are counted.
constexpr uint64_t shownProblems = 100;

// ---- info ------------------------------------------------------------------

// One stream as info shows it: what the reader could tell, or why not.
struct StreamInfo {
    uint32_t section = 0;
    std::string problem;  // the header cannot be read: nothing else is known
    OrvReaderVideoInfo_st video{};
    std::string layoutProblem;  // frames whose layout cannot be read
    OrvReaderAudioInfo_st audio{};
};

std::vector<StreamInfo> describe(const OrvFile& file, OrvSectionKind_enum kind) {
    std::vector<StreamInfo> streams;
    for (const uint32_t section : file.streams(kind)) {
        StreamInfo info;
        info.section = section;
        const OrvError_enum result =
            kind == ORV_SECTION_KIND_VIDEO
                ? orvReaderGetVideoInfo(file.get(), section, &info.video)
                : orvReaderGetAudioInfo(file.get(), section, &info.audio);
        if (result != ORV_ERR_NONE)
            info.problem = orvReaderGetErrorMessage(file.get());
        if (result == ORV_ERR_NONE && kind == ORV_SECTION_KIND_VIDEO && info.video.format < 0 &&
            info.video.frameCount > 0) {
            // The reader says why through the layout it cannot give.
            uint32_t count = 0;
            uint64_t bytes = 0;
            orvReaderGetTextureLayout(file.get(), section, ORV_TEXTURES_PER_SLICE, nullptr, 0,
                                      &count, &bytes);
            info.layoutProblem = orvReaderGetErrorMessage(file.get());
        }
        streams.push_back(info);
    }
    return streams;
}

// Frames per second, when the stored rate is one.
std::optional<double> fpsOf(const OrvReaderVideoInfo_st& video) {
    if (video.fpsNum == 0 || video.fpsDen == 0)
        return std::nullopt;
    return static_cast<double>(video.fpsNum) / static_cast<double>(video.fpsDen);
}

std::optional<double> videoDuration(const OrvReaderVideoInfo_st& video) {
    const auto fps = fpsOf(video);
    if (!fps)
        return std::nullopt;
    return video.frameCount / *fps;
}

std::optional<double> audioDuration(const OrvReaderAudioInfo_st& audio) {
    if (audio.sampleRate == 0)
        return std::nullopt;
    return static_cast<double>(audio.numSamples) / audio.sampleRate;
}

// How much smaller than raw RGBA the stream's bytes are.
std::optional<double> ratioOf(const OrvReaderVideoInfo_st& video, uint64_t bytes) {
    if (video.frameCount == 0 || bytes == 0)
        return std::nullopt;
    return static_cast<double>(video.width) * video.height * 4 * video.frameCount /
           static_cast<double>(bytes);
}

const char* kindName(uint32_t kind) {
    switch (kind) {
        case ORV_SECTION_KIND_VIDEO: return "video";
        case ORV_SECTION_KIND_AUDIO: return "audio";
        default: return "unknown";
    }
}

std::string fixed(double value, int digits) {
    char text[400];  // room for any double in %f
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string fraction(uint64_t num, uint64_t den) {
    return std::to_string(num) + "/" + std::to_string(den);
}

void printText(const OrvFile& file, uint64_t fileBytes, const std::vector<StreamInfo>& videos,
               const std::vector<StreamInfo>& audios) {
    const auto& sections = file.sections();
    std::printf("%s: ORV version 1, %s, %s\n", printable(file.path()).c_str(),
                humanBytes(fileBytes).c_str(), counted(sections.size(), "section").c_str());
    for (const OrvReaderSection_st& s : sections)
        std::printf("  slot %u: %s, offset %" PRIu64 ", %" PRIu64 " bytes\n", s.slot,
                    kindName(s.kind), s.offset, s.size);
    for (size_t i = 0; i < videos.size(); ++i) {
        const StreamInfo& info = videos[i];
        const OrvReaderVideoInfo_st& v = info.video;
        std::printf("video stream %zu (slot %u)\n", i, sections[info.section].slot);
        if (!info.problem.empty()) {
            std::printf("  unreadable:  %s\n", printable(info.problem).c_str());
            continue;
        }
        std::printf("  size:        %ux%u\n", v.width, v.height);
        if (v.format >= 0) {
            std::printf("  slices:      %ux%u of %ux%u\n", v.numColumns, v.numRows, v.sliceWidth,
                        v.sliceHeight);
            std::printf("  format:      %s (%s, Hap fourcc %s)\n", formatName(v.format),
                        formatDescription(v.format), hapCodecTag(v.format));
            std::printf("  compression: %s\n", compressionName(v.compression));
        } else if (!info.layoutProblem.empty()) {
            std::printf("  first frame: unreadable: %s\n", printable(info.layoutProblem).c_str());
        }
        std::printf("  frames:      %u\n", v.frameCount);
        std::printf("  time base:   %s\n", fraction(v.timebaseNum, v.timebaseDen).c_str());
        const auto fps = fpsOf(v);
        std::printf("  frame rate:  %s (%s)\n", fraction(v.fpsNum, v.fpsDen).c_str(),
                    fps ? (fixed(*fps, 3) + " fps").c_str() : "not a rate");
        if (const auto duration = videoDuration(v))
            std::printf("  duration:    %s s\n", fixed(*duration, 3).c_str());
        const uint64_t bytes = sections[info.section].size;
        std::printf("  data:        %s", humanBytes(bytes).c_str());
        if (const auto ratio = ratioOf(v, bytes))
            std::printf(" (%s:1 to raw RGBA)", fixed(*ratio, 2).c_str());
        std::printf("\n");
    }
    for (size_t i = 0; i < audios.size(); ++i) {
        const StreamInfo& info = audios[i];
        const OrvReaderAudioInfo_st& a = info.audio;
        std::printf("audio stream %zu (slot %u)\n", i, sections[info.section].slot);
        if (!info.problem.empty()) {
            std::printf("  unreadable:  %s\n", printable(info.problem).c_str());
            continue;
        }
        std::printf("  rate:        %u Hz\n", a.sampleRate);
        std::printf("  channels:    %u\n", a.numChannels);
        std::printf("  samples:     %" PRIu64 " of %u-bit PCM\n", a.numSamples, a.bitsPerSample);
        if (const auto duration = audioDuration(a))
            std::printf("  duration:    %s s\n", fixed(*duration, 3).c_str());
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

// `"key": value` pairs joined into one object.
std::string jsonObject(const std::vector<std::pair<const char*, std::string>>& fields) {
    std::string out = "{";
    for (size_t i = 0; i < fields.size(); ++i)
        out += std::string(i ? ", " : "") + "\"" + fields[i].first + "\": " + fields[i].second;
    return out + "}";
}

std::string jsonArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i)
        out += std::string(i ? "," : "") + "\n    " + items[i];
    return out + (items.empty() ? "]" : "\n  ]");
}

void printJson(const OrvFile& file, uint64_t fileBytes, const std::vector<StreamInfo>& videos,
               const std::vector<StreamInfo>& audios) {
    using std::to_string;
    const auto& sections = file.sections();
    std::vector<std::string> sectionItems, videoItems, audioItems;
    for (const OrvReaderSection_st& s : sections)
        sectionItems.push_back(jsonObject({{"slot", to_string(s.slot)},
                                           {"type", jsonString(kindName(s.kind))},
                                           {"offset", to_string(s.offset)},
                                           {"size", to_string(s.size)}}));
    for (const StreamInfo& info : videos) {
        const OrvReaderVideoInfo_st& v = info.video;
        std::vector<std::pair<const char*, std::string>> fields = {
            {"slot", to_string(sections[info.section].slot)}};
        if (!info.problem.empty()) {
            fields.push_back({"problem", jsonString(info.problem)});
            videoItems.push_back(jsonObject(fields));
            continue;
        }
        fields.insert(fields.end(), {{"width", to_string(v.width)}, {"height", to_string(v.height)}});
        if (v.format >= 0)
            fields.insert(fields.end(), {{"slice_columns", to_string(v.numColumns)},
                                         {"slice_rows", to_string(v.numRows)},
                                         {"slice_width", to_string(v.sliceWidth)},
                                         {"slice_height", to_string(v.sliceHeight)},
                                         {"format", jsonString(formatName(v.format))},
                                         {"fourcc", jsonString(hapCodecTag(v.format))},
                                         {"compression", jsonString(compressionName(v.compression))}});
        else if (!info.layoutProblem.empty())
            fields.push_back({"first_frame_problem", jsonString(info.layoutProblem)});
        const uint64_t bytes = sections[info.section].size;
        fields.insert(fields.end(), {{"frames", to_string(v.frameCount)},
                                     {"timebase_num", to_string(v.timebaseNum)},
                                     {"timebase_den", to_string(v.timebaseDen)},
                                     {"fps_num", to_string(v.fpsNum)},
                                     {"fps_den", to_string(v.fpsDen)},
                                     {"fps", jsonNumber(fpsOf(v))},
                                     {"duration", jsonNumber(videoDuration(v))},
                                     {"data_bytes", to_string(bytes)},
                                     {"ratio", jsonNumber(ratioOf(v, bytes))}});
        videoItems.push_back(jsonObject(fields));
    }
    for (const StreamInfo& info : audios) {
        const OrvReaderAudioInfo_st& a = info.audio;
        std::vector<std::pair<const char*, std::string>> fields = {
            {"slot", to_string(sections[info.section].slot)}};
        if (!info.problem.empty())
            fields.push_back({"problem", jsonString(info.problem)});
        else
            fields.insert(fields.end(), {{"sample_rate", to_string(a.sampleRate)},
                                         {"channels", to_string(a.numChannels)},
                                         {"bits_per_sample", to_string(a.bitsPerSample)},
                                         {"samples", to_string(a.numSamples)},
                                         {"duration", jsonNumber(audioDuration(a))}});
        audioItems.push_back(jsonObject(fields));
    }
    const std::string out = "{\n  \"file\": " + jsonString(file.path()) +
                            ",\n  \"bytes\": " + to_string(fileBytes) +
                            ",\n  \"version\": 1,\n  \"sections\": " + jsonArray(sectionItems) +
                            ",\n  \"video\": " + jsonArray(videoItems) +
                            ",\n  \"audio\": " + jsonArray(audioItems) + "\n}\n";
    std::fputs(out.c_str(), stdout);
}

// ---- extract ---------------------------------------------------------------

// "frame 3 of 320x180" or "2 channels at 48000 Hz": what went into a file.
std::string extractFrame(const OrvFile& file, uint64_t stream, uint64_t k, OutputFile& output) {
    const uint32_t section = file.stream(ORV_SECTION_KIND_VIDEO, stream);
    const OrvReaderVideoInfo_st video = file.video(section);
    if (k >= video.frameCount)
        throw ToolError("frame " + std::to_string(k) + " is out of range: video stream " +
                        std::to_string(stream) + " has " + counted(video.frameCount, "frame"));
    const size_t rowBytes = size_t{video.width} * 4;
    std::vector<uint8_t> picture(rowBytes * video.height);
    file.check(orvReaderDecodeFrame(file.get(), section, static_cast<uint32_t>(k),
                                    ORV_SRC_PIX_FMT_RGBA32, 0, picture.data(), rowBytes,
                                    picture.size()),
               "cannot decode frame " + std::to_string(k));
    if (extensionOf(output.target()) == ".png")
        writePng(output.path(), video.width, video.height, picture);
    else
        output.write(picture);
    return "frame " + std::to_string(k) + " of " + std::to_string(video.width) + "x" +
           std::to_string(video.height);
}

// The samples as a 16-bit PCM WAV file (the image liborv stores), read and
// written a bounded chunk at a time.
std::string extractWav(const OrvFile& file, uint64_t stream, OutputFile& output) {
    static_assert(std::endian::native == std::endian::little,
                  "samples go out as they lie in memory");
    const uint32_t section = file.stream(ORV_SECTION_KIND_AUDIO, stream);
    const OrvReaderAudioInfo_st audio = file.audio(section);
    const uint32_t frameBytes = audio.numChannels * 2;
    // The reader found these sizes in the stored 32-bit fields.
    const auto dataBytes = static_cast<uint32_t>(audio.numSamples * frameBytes);
    std::vector<uint8_t> header;
    const auto put = [&header](uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            header.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    const auto tag = [&header](const char* text) { header.insert(header.end(), text, text + 4); };
    tag("RIFF");
    put(uint64_t{dataBytes} + 36, 4);
    tag("WAVE");
    tag("fmt ");
    put(16, 4);  // the format chunk's size
    put(1, 2);   // PCM
    put(audio.numChannels, 2);
    put(audio.sampleRate, 4);
    put(uint64_t{audio.sampleRate} * frameBytes, 4);  // bytes per second, as stored: mod 2^32
    put(frameBytes, 2);
    put(16, 2);
    tag("data");
    put(dataBytes, 4);
    output.write(header);
    const uint64_t chunkFrames = std::max<uint64_t>(1, (uint64_t{1} << 16) / audio.numChannels);
    std::vector<int16_t> chunk(chunkFrames * audio.numChannels);
    for (uint64_t first = 0; first < audio.numSamples; first += chunkFrames) {
        const uint64_t count = std::min(chunkFrames, audio.numSamples - first);
        file.check(orvReaderReadAudio(file.get(), section, first, count, chunk.data()),
                   "cannot read the audio");
        output.write({reinterpret_cast<const uint8_t*>(chunk.data()), count * frameBytes});
    }
    return counted(audio.numChannels, "channel") + " at " + std::to_string(audio.sampleRate) +
           " Hz";
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
    const OrvFile file(arguments.positional()[0]);
    std::error_code ignored;  // the reader has the file open: its size is there to take
    const uint64_t bytes = std::filesystem::file_size(file.path(), ignored);
    const std::vector<StreamInfo> videos = describe(file, ORV_SECTION_KIND_VIDEO);
    const std::vector<StreamInfo> audios = describe(file, ORV_SECTION_KIND_AUDIO);
    if (arguments.has("--json"))
        printJson(file, bytes, videos, audios);
    else
        printText(file, bytes, videos, audios);
    for (const auto* streams : {&videos, &audios})
        for (const StreamInfo& info : *streams)
            if (!info.problem.empty() || !info.layoutProblem.empty())
                return exitFailure;
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
        // Only the first problems are kept, however many the file holds.
        std::vector<std::string> shown;
        uint64_t count = 0;
        try {
            const OrvFile file(path);
            const auto keep = [](void* user, const char* problem) {
                auto& lines = *static_cast<std::vector<std::string>*>(user);
                if (lines.size() < shownProblems)
                    lines.push_back(problem);
            };
            file.check(orvReaderVerify(file.get(), keep, &shown, &count), "cannot check " + path);
        } catch (const OpenRefused& refusal) {
            status = exitFailure;
            // A file that is there to read but is no ORV file has failed
            // the check; a name that gives no such file is an error.
            struct stat info {};
            if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                access(path.c_str(), R_OK) == 0) {
                std::printf("%s: 1 problem\n  %s\n", printable(path).c_str(),
                            printable(refusal.reason).c_str());
                continue;
            }
            std::fprintf(stderr, "orv verify: %s\n", printable(refusal.what()).c_str());
            continue;
        } catch (const ToolError& error) {
            std::fprintf(stderr, "orv verify: %s\n", printable(error.what()).c_str());
            status = exitFailure;
            continue;
        }
        if (count == 0) {
            std::printf("%s: ok\n", printable(path).c_str());
            continue;
        }
        status = exitFailure;
        std::printf("%s: %s\n", printable(path).c_str(), counted(count, "problem").c_str());
        for (const std::string& problem : shown)
            std::printf("  %s\n", printable(problem).c_str());
        if (count > shown.size())
            std::printf("  \u2026 and %s\n", counted(count - shown.size(), "more problem").c_str());
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
    const uint64_t stream = arguments.has("--stream")
                                ? parseUnsigned(*arguments.value("--stream"), "--stream", 0, 15)
                                : 0;

    const bool overwrite = arguments.has("-y") || arguments.has("--overwrite");
    std::vector<NamedPath> outputs;
    if (output)
        outputs.push_back({"-o", *output});
    if (wav)
        outputs.push_back({"--wav", *wav});
    checkOutputs({{"the input", path}}, outputs, overwrite);

    const OrvFile file(path);
    std::optional<OutputFile> picture, sound;
    if (output)
        picture.emplace(*output, overwrite);
    if (wav)
        sound.emplace(*wav, overwrite);
    std::vector<std::string> written;
    if (picture)
        written.push_back(printable(*output) + " (" + extractFrame(file, stream, k, *picture) +
                          ")");
    if (sound)
        written.push_back(printable(*wav) + " (" + extractWav(file, stream, *sound) + ")");
    // Both or neither: a failure above leaves no file behind.
    for (OutputFile* done : {picture ? &*picture : nullptr, sound ? &*sound : nullptr})
        if (done)
            done->commit();
    std::fprintf(stderr, "orv extract: wrote %s\n",
                 (written.size() == 2 ? written[0] + " and " + written[1] : written[0]).c_str());
    return exitSuccess;
}

}  // namespace orvtool
