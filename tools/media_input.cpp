#include "media_input.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <map>
#include <vector>

namespace orvtool {

const char* const ffmpegMissingHint =
    "reading media files needs ffmpeg, which is not installed; install Debian's ffmpeg package: "
    "apt-get install ffmpeg (raw frames with --size and --demo need no ffmpeg)";

namespace {

using Fields = std::map<std::string, std::string>;

// ffmpeg reads "name:rest" as a protocol when "name" is one; the file:
// prefix makes every path a plain file, whatever characters it holds.
std::string fileUrl(const std::string& path) {
    return "file:" + path;
}

// The stream and format blocks of ffprobe's default output
// ("[STREAM]", "key=value" lines, "[/STREAM]"; nested blocks such as side
// data fold into their stream).
struct ProbeOutput {
    std::vector<Fields> streams;
    Fields format;
};

ProbeOutput parseProbe(const std::string& text) {
    ProbeOutput out;
    Fields* current = nullptr;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line == "[STREAM]")
            current = &out.streams.emplace_back();
        else if (line == "[FORMAT]")
            current = &out.format;
        else if (line == "[/STREAM]" || line == "[/FORMAT]")
            current = nullptr;
        else if (current) {
            const size_t equals = line.find('=');
            if (equals != std::string::npos)
                current->emplace(line.substr(0, equals), line.substr(equals + 1));
        }
    }
    return out;
}

std::optional<uint64_t> wholeNumber(const Fields& fields, const std::string& key) {
    const auto it = fields.find(key);
    if (it == fields.end())
        return std::nullopt;
    uint64_t value = 0;
    const std::string& text = it->second;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<double> decimal(const Fields& fields, const std::string& key) {
    const auto it = fields.find(key);
    if (it == fields.end())
        return std::nullopt;
    char* end = nullptr;
    const double value = std::strtod(it->second.c_str(), &end);
    if (end == it->second.c_str() || *end != '\0' || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// "N/D" with both parts positive and within 32 bits.
bool rational(const Fields& fields, const std::string& key, uint32_t& num, uint32_t& den) {
    const auto it = fields.find(key);
    if (it == fields.end())
        return false;
    const std::string& text = it->second;
    const size_t slash = text.find('/');
    if (slash == std::string::npos)
        return false;
    uint64_t n = 0, d = 0;
    const auto a = std::from_chars(text.data(), text.data() + slash, n);
    const auto b = std::from_chars(text.data() + slash + 1, text.data() + text.size(), d);
    if (a.ec != std::errc() || b.ec != std::errc() || a.ptr != text.data() + slash ||
        b.ptr != text.data() + text.size() || n == 0 || d == 0 || n > UINT32_MAX || d > UINT32_MAX)
        return false;
    num = static_cast<uint32_t>(n);
    den = static_cast<uint32_t>(d);
    return true;
}

std::vector<std::string> ffmpegCommand(const std::string& path, double seconds) {
    std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-hide_banner", "-v",
                                     "error",  "-i",       fileUrl(path)};
    if (seconds > 0) {
        argv.push_back("-t");
        argv.push_back(std::to_string(seconds));
    }
    return argv;
}

class FfmpegVideoSource : public VideoSource {
public:
    FfmpegVideoSource(std::vector<std::string> argv, const VideoFormat& format)
        : child(argv), videoFormat(format) {}
    const VideoFormat& format() const override { return videoFormat; }

    bool readFrame(uint8_t* pixels) override {
        const size_t size = size_t{videoFormat.width} * videoFormat.height * 4;
        const size_t got = child.read(pixels, size);
        if (got == size) {
            ++frames;
            return true;
        }
        if (got == 0)
            return false;
        // ffmpeg's failure explains a short frame better than the count does.
        child.finish();
        throw ToolError("ffmpeg's output ended inside frame " + std::to_string(frames) + " (" +
                        std::to_string(got) + " of " + std::to_string(size) + " bytes)");
    }
    void finish() override { child.finish(); }

private:
    ChildProcess child;
    VideoFormat videoFormat;
    uint64_t frames = 0;
};

class FfmpegAudioSource : public AudioSource {
public:
    FfmpegAudioSource(std::vector<std::string> argv, const AudioFormat& format)
        : child(argv), audioFormat(format) {}
    const AudioFormat& format() const override { return audioFormat; }

    size_t read(float* interleaved, size_t maxFrames) override {
        const size_t frameBytes = size_t{audioFormat.channels} * sizeof(float);
        const size_t got = child.read(interleaved, maxFrames * frameBytes);
        if (got % frameBytes != 0) {
            child.finish();
            throw ToolError("ffmpeg's audio output ended inside a sample frame");
        }
        return got / frameBytes;
    }
    void finish() override { child.finish(); }

private:
    ChildProcess child;
    AudioFormat audioFormat;
};

}  // namespace

MediaProbe probeMedia(const std::string& path, uint32_t fpsNumOverride, uint32_t fpsDenOverride,
                      double seconds) {
    ChildProcess probe({"ffprobe", "-v", "error", "-show_entries",
                        "stream=index,codec_type,width,height,avg_frame_rate,r_frame_rate,"
                        "nb_frames,duration,sample_rate,channels:stream_side_data=rotation:"
                        "format=duration",
                        "-of", "default", fileUrl(path)});
    const std::string text = probe.readAll();
    probe.finish();
    const ProbeOutput output = parseProbe(text);

    const Fields* video = nullptr;
    const Fields* audio = nullptr;
    for (const Fields& stream : output.streams) {
        const auto type = stream.find("codec_type");
        if (type == stream.end())
            continue;
        if (type->second == "video" && !video)
            video = &stream;
        if (type->second == "audio" && !audio)
            audio = &stream;
    }
    if (!video)
        throw ToolError(path + " has no video stream");

    MediaProbe result;
    VideoFormat& format = result.video;
    const auto width = wholeNumber(*video, "width");
    const auto height = wholeNumber(*video, "height");
    if (!width || !height || *width == 0 || *height == 0)
        throw ToolError("ffprobe gives no picture size for " + path);
    if (*width > 65535 || *height > 65535)
        throw ToolError(path + " has " + std::to_string(*width) + "x" + std::to_string(*height) +
                        " pictures; an ORV file holds sides of at most 65535 pixels");
    format.width = static_cast<uint32_t>(*width);
    format.height = static_cast<uint32_t>(*height);
    // ffmpeg turns pictures upright by their display rotation; a quarter
    // turn swaps the sides of the frames it delivers.
    if (const auto rotation = decimal(*video, "rotation")) {
        const long quarter = std::lround(*rotation / 90.0);
        if (quarter % 2 != 0)
            std::swap(format.width, format.height);
    }

    if (fpsNumOverride != 0) {
        format.fpsNum = fpsNumOverride;
        format.fpsDen = fpsDenOverride;
    } else if (!rational(*video, "avg_frame_rate", format.fpsNum, format.fpsDen) &&
               !rational(*video, "r_frame_rate", format.fpsNum, format.fpsDen)) {
        throw ToolError("cannot tell the frame rate of " + path + "; give one with --fps N/D");
    }

    std::optional<double> duration = decimal(*video, "duration");
    if (!duration)
        duration = decimal(output.format, "duration");
    const double fps = static_cast<double>(format.fpsNum) / format.fpsDen;
    const auto frames = wholeNumber(*video, "nb_frames");
    if (frames && fpsNumOverride == 0)
        format.expectedFrames = *frames;
    else if (duration)
        format.expectedFrames = static_cast<uint64_t>(std::llround(*duration * fps));
    if (seconds > 0) {
        const auto limit = static_cast<uint64_t>(std::max(1LL, std::llround(seconds * fps)));
        format.expectedFrames =
            format.expectedFrames ? std::min(format.expectedFrames, limit) : limit;
    }

    if (audio) {
        const auto rate = wholeNumber(*audio, "sample_rate");
        const auto channels = wholeNumber(*audio, "channels");
        if (rate && channels && *rate > 0 && *rate <= UINT32_MAX && *channels > 0 &&
            *channels < 65535)
            result.audio =
                AudioFormat{static_cast<uint32_t>(*rate), static_cast<uint32_t>(*channels)};
    }
    return result;
}

std::unique_ptr<VideoSource> openMediaVideo(const std::string& path, const VideoFormat& format,
                                            double seconds) {
    std::vector<std::string> argv = ffmpegCommand(path, seconds);
    const std::string rate = std::to_string(format.fpsNum) + "/" + std::to_string(format.fpsDen);
    for (const char* arg : {"-map", "0:v:0", "-an", "-sn", "-dn", "-r"})
        argv.push_back(arg);
    argv.push_back(rate);
    for (const char* arg : {"-f", "rawvideo", "-pix_fmt", "rgba", "-"})
        argv.push_back(arg);
    return std::make_unique<FfmpegVideoSource>(argv, format);
}

std::unique_ptr<AudioSource> openMediaAudio(const std::string& path, const AudioFormat& format,
                                            double seconds) {
    std::vector<std::string> argv = ffmpegCommand(path, seconds);
    for (const char* arg :
         {"-map", "0:a:0", "-vn", "-sn", "-dn", "-f", "f32le", "-acodec", "pcm_f32le", "-ar"})
        argv.push_back(arg);
    argv.push_back(std::to_string(format.sampleRate));
    argv.push_back("-ac");
    argv.push_back(std::to_string(format.channels));
    argv.push_back("-");
    return std::make_unique<FfmpegAudioSource>(argv, format);
}

}  // namespace orvtool
