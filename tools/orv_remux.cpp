// `orv remux`: an ORV file's video stream as a standard Hap AVI, with its
// audio as PCM. The textures are kept bit for bit; only their second-stage
// coding changes, since standard Hap knows snappy but not LZ4.
#include <snappy.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "avi_writer.hpp"
#include "command_line.hpp"
#include "hap_kind.hpp"
#include "orv_reader.hpp"
#include "output_file.hpp"
#include "subcommands.hpp"

namespace orvtool {

namespace {

const char* const remuxHelp =
    R"(usage: orv remux FILE -o OUT.avi [-y] [--stream N] [--no-audio]

Writes a video stream of an ORV file (the first, or the Nth with --stream)
as a standard Hap AVI (fourcc Hap1, Hap5, HapY or HapM by texture format)
that common players and ffmpeg open, with the first audio stream as PCM.
LZ4 textures are recompressed with snappy; the texture blocks are unchanged.
Streams cut into slices (wider or taller than 3071 pixels) cannot be
remuxed: standard Hap has no slices. The AVI is limited to 1 GiB.
An existing OUT.avi is replaced only with -y (--overwrite), once the new
one is complete; -o /dev/null checks that the file remuxes.
)";

// ---- Standard Hap section codes ---------------------------------------------

constexpr uint8_t hapNoSecondStage = 0xA0;
constexpr uint8_t hapSnappy = 0xB0;
constexpr uint8_t hapMultipleImages = 0x0D;
constexpr uint32_t hapShortLengthLimit = 0xFFFFFF;

uint8_t hapFormatNibble(uint32_t texFormat) {
    switch (texFormat) {
        case orvread::texBC1: return 0x0B;
        case orvread::texBC3: return 0x0E;
        case orvread::texYCoCgBC3: return 0x0F;
        case orvread::texBC4: return 0x01;
        default: throw ToolError("unknown texture format " + std::to_string(texFormat));
    }
}

void appendSectionHeader(std::vector<uint8_t>& out, uint8_t type, uint64_t length) {
    if (length > UINT32_MAX)
        throw ToolError("a Hap section of " + std::to_string(length) + " bytes is too long");
    if (length <= hapShortLengthLimit) {
        out.insert(out.end(), {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length >> 16), type});
        return;
    }
    out.insert(out.end(),
               {0, 0, 0, type, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)});
}

// One texture section with a second stage that standard Hap decoders know:
// snappy or LZ4 payloads become snappy unless that saves nothing, and then
// the blocks are stored as they are.
std::vector<uint8_t> standardTexture(const orvread::HapTexture& texture, uint32_t width,
                                     uint32_t height) {
    const uint8_t format = hapFormatNibble(texture.texFormat);
    std::vector<uint8_t> out;
    if (texture.compression == orvread::compressionNone ||
        texture.compression == orvread::compressionSnappy) {
        const uint8_t stage =
            texture.compression == orvread::compressionNone ? hapNoSecondStage : hapSnappy;
        appendSectionHeader(out, stage | format, texture.payload.size());
        out.insert(out.end(), texture.payload.begin(), texture.payload.end());
        return out;
    }
    const std::vector<uint8_t> blocks =
        orvread::decompress(texture, orvread::textureSize(texture.texFormat, width, height));
    std::string packed;
    snappy::Compress(reinterpret_cast<const char*>(blocks.data()), blocks.size(), &packed);
    if (packed.size() < blocks.size()) {
        appendSectionHeader(out, hapSnappy | format, packed.size());
        out.insert(out.end(), packed.begin(), packed.end());
    } else {
        appendSectionHeader(out, hapNoSecondStage | format, blocks.size());
        out.insert(out.end(), blocks.begin(), blocks.end());
    }
    return out;
}

std::vector<uint8_t> standardHapFrame(const orvread::FrameRecord& frame) {
    const orvread::SliceFrame& slice = frame.slices.at(0);
    if (slice.textures.size() == 1)
        return standardTexture(slice.textures[0], frame.sliceWidth, frame.sliceHeight);
    std::vector<uint8_t> inner;
    for (const orvread::HapTexture& texture : slice.textures) {
        const std::vector<uint8_t> section =
            standardTexture(texture, frame.sliceWidth, frame.sliceHeight);
        inner.insert(inner.end(), section.begin(), section.end());
    }
    std::vector<uint8_t> out;
    appendSectionHeader(out, hapMultipleImages, inner.size());
    out.insert(out.end(), inner.begin(), inner.end());
    return out;
}

uint32_t roundUpToBlock(uint32_t side) {
    return (side + 3) & ~3u;
}

// The AVI's frame rate: the stream's, or its time base when no rate is
// stored, reduced to fit the header's 32-bit fields.
void aviRate(const orvread::VideoSection& video, uint32_t& rate, uint32_t& scale) {
    uint64_t num = video.fpsNum, den = video.fpsDen;
    if (num == 0 || den == 0) {
        num = video.timebaseDen;
        den = video.timebaseNum;
    }
    if (num == 0 || den == 0)
        throw ToolError("the video stream has neither a frame rate nor a time base");
    const uint64_t divisor = std::gcd(num, den);
    num /= divisor;
    den /= divisor;
    while (num > UINT32_MAX || den > UINT32_MAX) {
        num = (num + 1) / 2;
        den = (den + 1) / 2;
    }
    rate = static_cast<uint32_t>(num);
    scale = static_cast<uint32_t>(std::max<uint64_t>(den, 1));
}

// Samples as the little-endian bytes of the AVI's PCM chunks.
std::vector<uint8_t> pcmBytes(const std::vector<int16_t>& samples) {
    std::vector<uint8_t> bytes(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(samples[i]);
        bytes[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(samples[i]) >> 8);
    }
    return bytes;
}

struct RemuxResult {
    uint32_t frames = 0;
    HapKind kind = HapKind::unknown;
    bool withAudio = false;
};

RemuxResult remux(const orvread::OrvFile& file, const std::string& input, size_t stream,
                  bool withAudio, const std::string& output) {
    if (stream >= file.videoCount())
        throw ToolError(input + " has " + counted(file.videoCount(), "video stream") +
                        "; --stream " + std::to_string(stream) + " is out of range");
    const orvread::VideoSection& video = file.video(stream);
    if (video.frameCount == 0)
        throw ToolError("video stream " + std::to_string(stream) + " has no frames");

    const orvread::FrameRecord first = file.readFrame(video, 0);
    if (first.numColumns != 1 || first.numRows != 1)
        throw ToolError("video stream " + std::to_string(stream) + " (" +
                        std::to_string(video.width) + "x" + std::to_string(video.height) +
                        ") is cut into " + std::to_string(first.numColumns) + "x" +
                        std::to_string(first.numRows) +
                        " slices; standard Hap has no slices, so only pictures of at most 3071 "
                        "pixels a side can be remuxed");
    const HapKind kind = hapKindOf(first.slices.at(0));
    if (kind == HapKind::unknown)
        throw ToolError("frame 0: " + orvread::sliceShapeProblem(first.slices.at(0)));

    AviVideoFormat videoFormat;
    videoFormat.width = video.width;
    videoFormat.height = video.height;
    std::copy_n(fourccOf(kind), 4, videoFormat.fourcc);
    videoFormat.bitCount = kind == HapKind::hap5 || kind == HapKind::hapM ? 32 : 24;
    aviRate(video, videoFormat.rate, videoFormat.scale);

    std::optional<AviAudioFormat> audioFormat;
    std::vector<uint8_t> pcm;
    if (withAudio && file.audioCount() > 0) {
        const orvread::AudioSection& audio = file.audio(0);
        pcm = pcmBytes(file.readSamples(audio));
        if (audio.channels == 0 || audio.sampleRate == 0)
            throw ToolError("the audio stream declares " + std::to_string(audio.channels) +
                            " channels at " + std::to_string(audio.sampleRate) + " Hz");
        audioFormat = AviAudioFormat{audio.channels, audio.sampleRate, 16};
    }
    const uint64_t blockAlign = audioFormat ? uint64_t{audioFormat->channels} * 2 : 0;

    AviWriter avi(output, videoFormat, audioFormat);
    uint64_t audioDone = 0;
    // Audio up to the end of each frame follows it, so that players that
    // read the file front to back find both in step.
    const auto audioUntilFrame = [&](uint64_t frames) {
        if (!audioFormat)
            return;
        const auto sampleFrames =
            static_cast<uint64_t>(static_cast<long double>(frames) * audioFormat->sampleRate *
                                  videoFormat.scale / videoFormat.rate);
        const uint64_t until = std::min<uint64_t>(sampleFrames * blockAlign, pcm.size());
        if (until > audioDone) {
            avi.addAudio(std::span<const uint8_t>(pcm).subspan(audioDone, until - audioDone));
            audioDone = until;
        }
    };
    for (uint32_t k = 0; k < video.frameCount; ++k) {
        const orvread::FrameRecord frame = k == 0 ? first : file.readFrame(video, k);
        if (frame.numColumns != 1 || frame.numRows != 1 || hapKindOf(frame.slices.at(0)) != kind)
            throw ToolError("frame " + std::to_string(k) +
                            " is laid out unlike frame 0; a Hap AVI needs one layout throughout");
        if (frame.sliceWidth != roundUpToBlock(video.width) ||
            frame.sliceHeight != roundUpToBlock(video.height))
            throw ToolError(
                "frame " + std::to_string(k) + " holds a " + std::to_string(frame.sliceWidth) +
                "x" + std::to_string(frame.sliceHeight) + " texture for a " +
                std::to_string(video.width) + "x" + std::to_string(video.height) +
                " picture; standard Hap needs the picture rounded up to whole blocks");
        avi.addVideoFrame(standardHapFrame(frame));
        audioUntilFrame(k + 1);
    }
    // Audio that lasts beyond the last frame, in chunks of about a second.
    while (audioFormat && audioDone < pcm.size()) {
        const uint64_t step = std::min<uint64_t>(uint64_t{audioFormat->sampleRate} * blockAlign,
                                                 pcm.size() - audioDone);
        avi.addAudio(std::span<const uint8_t>(pcm).subspan(audioDone, step));
        audioDone += step;
    }
    avi.finish();
    return {video.frameCount, kind, audioFormat.has_value()};
}

}  // namespace

int runRemux(std::span<char* const> args) {
    const Arguments arguments(args, {{"-o", true},
                                     {"--output", true},
                                     {"-y", false},
                                     {"--overwrite", false},
                                     {"--stream", true},
                                     {"--no-audio", false}});
    if (arguments.helpRequested()) {
        std::fputs(remuxHelp, stdout);
        return exitSuccess;
    }
    if (arguments.positional().size() != 1)
        throw UsageError("expected one FILE");
    const std::string& input = arguments.positional()[0];
    const auto output = arguments.has("-o") ? arguments.value("-o") : arguments.value("--output");
    if (!output || output->empty())
        throw UsageError("missing -o OUT.avi");
    const size_t stream = arguments.has("--stream")
                              ? parseUnsigned(*arguments.value("--stream"), "--stream", 0, 15)
                              : 0;
    const bool overwrite = arguments.has("-y") || arguments.has("--overwrite");
    checkOutputs({{"the input", input}}, {{"-o", *output}}, overwrite);

    OutputFile avi(*output, overwrite);
    std::vector<uint8_t> bytes = orvread::readFileBytes(input);
    RemuxResult result;
    try {
        const orvread::OrvFile file(std::move(bytes));
        result = remux(file, input, stream, !arguments.has("--no-audio"), avi.path());
    } catch (const orvread::ReadError& error) {
        throw ToolError(input + ": " + error.what() + " (orv verify lists every problem)");
    }
    avi.commit();
    struct stat info {};
    const std::string size = !avi.discards() && stat(output->c_str(), &info) == 0
                                 ? humanBytes(static_cast<uint64_t>(info.st_size))
                                 : "discarded";
    std::fprintf(stderr, "orv remux: wrote %s: %s as %s%s, %s\n", printable(*output).c_str(),
                 counted(result.frames, "frame").c_str(), fourccOf(result.kind),
                 result.withAudio ? " with PCM audio" : "", size.c_str());
    return exitSuccess;
}

}  // namespace orvtool
