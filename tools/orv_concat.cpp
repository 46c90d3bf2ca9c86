// `orv concat`: ORV files joined into one without re-encoding, for a clip
// encoded in parts (`orv encode --frames A:B`) on many machines. The frame
// records go through the library as they are stored; the audio is read as
// the float samples the encoder takes, which gives back the same 16-bit
// samples exactly.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "command_line.hpp"
#include "encode_session.hpp"
#include "format_names.hpp"
#include "orv_file.hpp"
#include "output_file.hpp"
#include "subcommands.hpp"

namespace orvtool {

namespace {

const char* const concatHelp =
    R"(usage: orv concat FILE... -o OUT.orv [-y]

Joins ORV files into one without re-encoding: the frames of each file in
turn, each keeping its timestamp, then the audio of each in turn. Each file
holds one video stream, and all have the same size, slice grid, format,
compression, time base and frame rate; either none has audio, or all have
it at the same sample rate and channel count. Made for encoding one long
clip in parts, on one machine or many:

  orv encode clip.mov --frames 0:1500 -o part1.orv
  orv encode clip.mov --frames 1500: -o part2.orv
  orv concat part1.orv part2.orv -o clip.orv

which gives the very file that one encode of the whole clip gives.
-y (--overwrite) replaces an existing OUT, once the new one is complete.
)";

// Records queued in the encoder at once: they are written as they are, so a
// few keep the writer busy, and they bound the memory.
constexpr uint32_t recordsInFlight = 2;

// What one input brings.
struct Part {
    std::string path;
    OrvReaderVideoInfo_st video{};
    std::optional<OrvReaderAudioInfo_st> audio;
};

uint32_t onlyStream(const OrvFile& file, OrvSectionKind_enum kind, bool required) {
    const std::vector<uint32_t> streams = file.streams(kind);
    const char* noun = kind == ORV_SECTION_KIND_VIDEO ? "video stream" : "audio stream";
    if (streams.size() > 1 || (required && streams.empty()))
        throw ToolError(file.path() + " has " + counted(streams.size(), noun) +
                        "; concat joins files of one video stream and at most one audio stream");
    return streams.empty() ? UINT32_MAX : streams[0];
}

Part describePart(const std::string& path) {
    const OrvFile file(path);
    const uint32_t video = onlyStream(file, ORV_SECTION_KIND_VIDEO, true);
    Part part{path, file.video(video), std::nullopt};
    if (part.video.format < 0 && part.video.frameCount > 0) {
        // The reader says why through the layout it cannot give.
        uint32_t count = 0;
        uint64_t bytes = 0;
        file.check(orvReaderGetTextureLayout(file.get(), video, ORV_TEXTURES_PER_SLICE, nullptr, 0,
                                             &count, &bytes),
                   path);
    }
    const uint32_t audio = onlyStream(file, ORV_SECTION_KIND_AUDIO, false);
    if (audio != UINT32_MAX)
        part.audio = file.audio(audio);
    return part;
}

std::string fraction(uint64_t num, uint64_t den) {
    return std::to_string(num) + "/" + std::to_string(den);
}

// The properties two parts must share, as text, in the order they are
// compared; the layout's are "" while a part's frames do not tell them.
std::vector<std::pair<const char*, std::string>> propertiesOf(const Part& part) {
    const OrvReaderVideoInfo_st& v = part.video;
    const bool layout = v.format >= 0;
    const auto known = [layout](std::string text) { return layout ? text : std::string(); };
    std::vector<std::pair<const char*, std::string>> properties = {
        {"size", std::to_string(v.width) + "x" + std::to_string(v.height)},
        {"slice grid", known(std::to_string(v.numColumns) + "x" + std::to_string(v.numRows) +
                             " of " + std::to_string(v.sliceWidth) + "x" +
                             std::to_string(v.sliceHeight))},
        {"format", known(formatName(v.format))},
        {"compression", known(compressionName(v.compression))},
        {"time base", fraction(v.timebaseNum, v.timebaseDen)},
        {"frame rate", fraction(v.fpsNum, v.fpsDen)},
        {"audio", part.audio ? counted(part.audio->numChannels, "channel") + " at " +
                                   std::to_string(part.audio->sampleRate) + " Hz"
                             : "none"},
    };
    return properties;
}

// Refuses the parts at the first property in which one differs from those
// before it.
void checkTheyJoin(const std::vector<Part>& parts) {
    std::vector<std::pair<const char*, std::string>> reference = propertiesOf(parts[0]);
    std::vector<const Part*> from(reference.size(), &parts[0]);
    for (const Part& part : parts) {
        const auto properties = propertiesOf(part);
        for (size_t i = 0; i < properties.size(); ++i) {
            const std::string& mine = properties[i].second;
            if (reference[i].second.empty()) {
                reference[i].second = mine;  // the first part whose frames tell it
                from[i] = &part;
            } else if (!mine.empty() && mine != reference[i].second) {
                throw ToolError(part.path + ": " + properties[i].first + " " + mine +
                                " differs from " + from[i]->path + "'s " + reference[i].second);
            }
        }
    }
}

// The parts' audio, one after the other, as the encoder's float samples.
class PartsAudio : public AudioSource {
public:
    explicit PartsAudio(const std::vector<Part>& parts) : parts(parts) {
        audioFormat.sampleRate = parts[0].audio->sampleRate;
        audioFormat.channels = parts[0].audio->numChannels;
    }
    const AudioFormat& format() const override { return audioFormat; }

    size_t read(float* interleaved, size_t maxFrames) override {
        for (; current < parts.size(); ++current, file.reset(), position = 0) {
            const uint64_t left = parts[current].audio->numSamples - position;
            if (left == 0)
                continue;
            if (!file) {
                file = std::make_unique<OrvFile>(parts[current].path);
                section = onlyStream(*file, ORV_SECTION_KIND_AUDIO, true);
            }
            const size_t count = static_cast<size_t>(std::min<uint64_t>(maxFrames, left));
            const uint32_t channels = audioFormat.channels;
            planar.resize(count * channels);
            file->check(orvReaderReadAudioFloat(file->get(), section, position, count,
                                                planar.data()),
                        "cannot read the audio of " + parts[current].path);
            for (uint32_t c = 0; c < channels; ++c)
                for (size_t i = 0; i < count; ++i)
                    interleaved[i * channels + c] = planar[c * count + i];
            position += count;
            return count;
        }
        return 0;
    }

private:
    const std::vector<Part>& parts;
    AudioFormat audioFormat;
    size_t current = 0;             // the part being read
    std::unique_ptr<OrvFile> file;  // open while its samples are read
    uint32_t section = 0;
    uint64_t position = 0;  // sample frames of the current part read so far
    std::vector<float> planar;
};

void warn(const std::string& text) {
    std::fprintf(stderr, "orv concat: warning: %s\n", printable(text).c_str());
}

// Hands every frame record of every part to the encoder's video stream, in
// order; returns the frames.
uint64_t joinVideo(Encoder& encoder, int stream, const std::vector<Part>& parts) {
    encoder.check(orvBeginStream(encoder.get(), stream), "cannot begin the video stream");
    std::vector<uint8_t> record;  // as large as the largest record so far
    std::optional<int64_t> latest;
    uint64_t frames = 0;
    for (const Part& part : parts) {
        const OrvFile file(part.path);
        const uint32_t section = onlyStream(file, ORV_SECTION_KIND_VIDEO, true);
        for (uint32_t k = 0; k < part.video.frameCount; ++k) {
            const std::string what = part.path + ": frame " + std::to_string(k);
            uint64_t size = 0;
            int64_t pts = 0;
            file.check(orvReaderReadFrameRecord(file.get(), section, k, nullptr, 0, &size), what);
            if (record.size() < size)
                record.resize(size);
            file.check(orvReaderReadFrameRecord(file.get(), section, k, record.data(), size, &size),
                       what);
            file.check(orvReaderGetFramePts(file.get(), section, k, &pts), what);
            if (k == 0 && latest && pts <= *latest)
                warn(part.path + " begins at pts " + std::to_string(pts) +
                     ", not after the frames before it (up to " + std::to_string(*latest) +
                     "); are the files in order?");
            latest = std::max(pts, latest.value_or(pts));
            encoder.check(orvEncodeFrameRecord(encoder.get(), record.data(), size, pts),
                          "cannot write " + what);
            ++frames;
        }
    }
    encoder.check(orvEndStream(encoder.get()), "cannot finish the video stream");
    return frames;
}

}  // namespace

int runConcat(std::span<char* const> args) {
    const Arguments arguments(
        args, {{"-o", true}, {"--output", true}, {"-y", false}, {"--overwrite", false}});
    if (arguments.helpRequested()) {
        std::fputs(concatHelp, stdout);
        return exitSuccess;
    }
    const std::vector<std::string>& inputs = arguments.positional();
    if (inputs.empty())
        throw UsageError("expected the FILEs to join");
    const auto output = arguments.has("-o") ? arguments.value("-o") : arguments.value("--output");
    if (!output || output->empty())
        throw UsageError("missing -o OUT.orv");
    const bool overwrite = arguments.has("-y") || arguments.has("--overwrite");
    std::vector<NamedPath> named;
    for (const std::string& input : inputs)
        named.push_back({"the input", input});
    checkOutputs(named, {{"-o", *output}}, overwrite);

    brindle::logClose();  // the library's log is for --log of encode only
    const auto start = std::chrono::steady_clock::now();
    // Described one at a time, so that a thousand parts need no thousand
    // open files.
    std::vector<Part> parts;
    for (const std::string& input : inputs)
        parts.push_back(describePart(input));
    checkTheyJoin(parts);

    OutputFile out(*output, overwrite);
    const OrvReaderVideoInfo_st& first = parts[0].video;
    // The layout of the first part whose frames tell it; with no frame at
    // all, any layout writes the same empty stream.
    OrvReaderVideoInfo_st layout = first;
    for (const Part& part : parts)
        if (part.video.format >= 0) {
            layout = part.video;
            break;
        }
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    params.width = first.width;
    params.height = first.height;
    params.timebaseNum = static_cast<int64_t>(first.timebaseNum);
    params.timebaseDen = static_cast<int64_t>(first.timebaseDen);
    params.fpsNum = static_cast<int64_t>(first.fpsNum);
    params.fpsDen = static_cast<int64_t>(first.fpsDen);
    params.format = layout.format >= 0 ? static_cast<uint32_t>(layout.format) : 0;
    params.compression =
        layout.compression >= 0 ? static_cast<uint32_t>(layout.compression) : uint32_t{ORV_COMPRESSION_NONE};
    params.maxParallel = recordsInFlight;
    uint64_t frames = 0;
    {
        Encoder encoder(out.path(), 1);  // records need no worker
        const int videoStream = encoder.addVideo(params);
        std::optional<PartsAudio> audio;
        if (parts[0].audio)
            audio.emplace(parts);
        const int audioStream = audio ? encoder.addAudio(audio->format()) : -1;
        frames = joinVideo(encoder, videoStream, parts);
        if (audio) {
            std::string lost;  // reading stored samples loses nothing
            encodeAudio(encoder, audioStream, *audio, lost);
        }
        encoder.finish();
    }
    out.commit();

    struct stat info {};
    const std::string size = !out.discards() && stat(output->c_str(), &info) == 0
                                 ? humanBytes(static_cast<uint64_t>(info.st_size))
                                 : "discarded";
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "orv concat: wrote %s: %s, %s of %ux%u, %s, %s%s, %s in %.1f s\n",
                 printable(*output).c_str(), counted(parts.size(), "file").c_str(),
                 counted(frames, "frame").c_str(), first.width, first.height,
                 formatName(layout.format), compressionName(layout.compression),
                 parts[0].audio ? ", with audio" : "", size.c_str(), seconds);
    return exitSuccess;
}

}  // namespace orvtool
