#include "media_input.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace orvtool {

const char* const ffmpegMissingHint =
    "reading media files needs ffmpeg, which is not installed; install Debian's ffmpeg package: "
    "apt-get install ffmpeg (raw frames with --size and --demo need no ffmpeg)";

namespace {

using Fields = std::map<std::string, std::string>;

// The stream, format and pixel-format blocks of ffprobe's default output
// ("[STREAM]", "key=value" lines, "[/STREAM]"; nested blocks such as side
// data fold into their stream).
struct ProbeOutput {
    std::vector<Fields> streams;
    Fields format;
    std::vector<Fields> pixelFormats;
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
        else if (line == "[PIXEL_FORMAT]")
            current = &out.pixelFormats.emplace_back();
        else if (line == "[/STREAM]" || line == "[/FORMAT]" || line == "[/PIXEL_FORMAT]")
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

// "N/D" (or "N:D" with separator ':') with both parts positive and within
// 32 bits.
bool rational(const Fields& fields, const std::string& key, uint32_t& num, uint32_t& den,
              char separator = '/') {
    const auto it = fields.find(key);
    if (it == fields.end())
        return false;
    const std::string& text = it->second;
    const size_t slash = text.find(separator);
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

std::vector<std::string> ffmpegCommand(const std::string& url) {
    return {"ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-i", url};
}

// What ffmpeg said while it delivered `what`, for a warning; "" when it
// said nothing. It runs with "-v error", so every line is a problem.
std::string problemsOf(const ChildProcess& child, const std::string& what) {
    const ChildProcess::Messages said = child.messages();
    if (said.count == 0)
        return "";
    return "ffmpeg reported " + counted(said.count, "problem") + " with " + what +
           ", the first: " + said.first;
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
    std::string finish() override {
        child.finish();
        return problemsOf(child, "the pictures");
    }

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
    std::string finish() override {
        child.finish();
        return problemsOf(child, "the sound");
    }

private:
    ChildProcess child;
    AudioFormat audioFormat;
};

}  // namespace

std::string mediaUrl(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            throw ToolError(path + " is a directory");
        // ffmpeg reads "name:rest" as a protocol when "name" is one.
        return S_ISREG(info.st_mode) ? "file:" + path : path;
    }
    const int reason = errno;
    const size_t colon = path.find(':');
    const bool url = colon != std::string::npos && colon < path.find('/');
    if (url || path.find('%') != std::string::npos)
        return path;
    throw ToolError("cannot open " + path + ": " + std::strerror(reason));
}

uint32_t MediaProbe::displayWidth() const {
    const double shown = std::round(static_cast<double>(video.width) * sarNum / sarDen);
    return static_cast<uint32_t>(std::clamp(shown, 1.0, 65535.0));
}

MediaProbe probeMedia(const std::string& url, const std::string& path, uint32_t fpsNumOverride,
                      uint32_t fpsDenOverride) {
    // The pixel formats come with ffmpeg's own flags: whether one carries
    // alpha is its word, not a list of ours.
    ChildProcess probe({"ffprobe", "-v", "error", "-show_entries",
                        "stream=index,codec_type,width,height,avg_frame_rate,r_frame_rate,"
                        "nb_frames,duration,sample_rate,channels,pix_fmt,sample_aspect_ratio:"
                        "stream_side_data=rotation:format=duration",
                        "-show_pixel_formats", "-of", "default", url});
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
    if (!rational(*video, "sample_aspect_ratio", result.sarNum, result.sarDen, ':'))
        result.sarNum = result.sarDen = 1;  // "N/A" or "0:1": not known, taken as square
    // ffmpeg turns pictures upright by their display rotation; a quarter
    // turn swaps the sides of the frames it delivers, and of their pixels.
    if (const auto rotation = decimal(*video, "rotation")) {
        const long quarter = std::lround(*rotation / 90.0);
        if (quarter % 2 != 0) {
            std::swap(format.width, format.height);
            std::swap(result.sarNum, result.sarDen);
        }
    }
    const auto pixelFormat = video->find("pix_fmt");
    format.pixelFormat = pixelFormat == video->end() ? "unknown" : pixelFormat->second;
    format.hasAlpha = false;
    for (const Fields& known : output.pixelFormats) {
        const auto name = known.find("name");
        const auto alpha = known.find("FLAGS:alpha");
        if (name != known.end() && name->second == format.pixelFormat && alpha != known.end())
            format.hasAlpha = alpha->second == "1";
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
    if (frames && fpsNumOverride == 0) {
        format.expectedFrames = *frames;
    } else if (duration) {
        format.expectedFrames = static_cast<uint64_t>(std::llround(*duration * fps));
    }
    // Frames are retimed to a constant rate, which may round the last one
    // either way, whichever way the count was found.
    format.expectedIsEstimate = true;

    if (audio) {
        const auto rate = wholeNumber(*audio, "sample_rate");
        const auto channels = wholeNumber(*audio, "channels");
        if (rate && channels && *rate > 0 && *rate <= UINT32_MAX && *channels > 0 &&
            *channels <= UINT32_MAX)
            result.audio =
                AudioFormat{static_cast<uint32_t>(*rate), static_cast<uint32_t>(*channels)};
    }
    return result;
}

std::unique_ptr<VideoSource> openMediaVideo(const std::string& url, const VideoFormat& format,
                                            bool scale, FrameRange frames) {
    // Frame numbers count the frames at the constant rate, so that a range
    // picks the same pictures as a whole encode does.
    std::string filters =
        "fps=" + std::to_string(format.fpsNum) + "/" + std::to_string(format.fpsDen);
    if (frames.first > 0)
        filters += ",select=gte(n\\," + std::to_string(frames.first) + ")";
    if (scale)
        filters += ",scale=" + std::to_string(format.width) + ":" + std::to_string(format.height);
    std::vector<std::string> argv = ffmpegCommand(url);
    for (const char* arg : {"-map", "0:v:0", "-an", "-sn", "-dn", "-fps_mode", "passthrough",
                            "-vf"})
        argv.push_back(arg);
    argv.push_back(filters);
    if (frames.end != FrameRange::toTheEnd) {
        argv.push_back("-frames:v");
        argv.push_back(std::to_string(frames.end - frames.first));
    }
    for (const char* arg : {"-f", "rawvideo", "-pix_fmt", "rgba", "-"})
        argv.push_back(arg);
    return std::make_unique<FfmpegVideoSource>(argv, format);
}

std::unique_ptr<AudioSource> openMediaAudio(const std::string& url, const AudioFormat& format,
                                            uint64_t firstSample, uint64_t endSample) {
    std::vector<std::string> argv = ffmpegCommand(url);
    for (const char* arg : {"-map", "0:a:0", "-vn", "-sn", "-dn"})
        argv.push_back(arg);
    if (firstSample > 0 || endSample != UINT64_MAX) {
        std::string trim = "atrim=start_sample=" + std::to_string(firstSample);
        if (endSample != UINT64_MAX)
            trim += ":end_sample=" + std::to_string(endSample);
        argv.push_back("-af");
        argv.push_back(trim);
    }
    for (const char* arg : {"-f", "f32le", "-acodec", "pcm_f32le", "-ar"})
        argv.push_back(arg);
    argv.push_back(std::to_string(format.sampleRate));
    argv.push_back("-ac");
    argv.push_back(std::to_string(format.channels));
    argv.push_back("-");
    return std::make_unique<FfmpegAudioSource>(argv, format);
}

}  // namespace orvtool
