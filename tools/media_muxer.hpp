// A file for players: one Hap video track and optionally one PCM audio
// track in QuickTime MOV, AVI (OpenDML beyond 1 GiB) or Matroska, written
// by Debian's libavformat, which also takes care of 64-bit chunk offsets
// and interleaving.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVStream;

namespace orvtool {

enum class Container { mov, avi, mkv };

// The container a file name asks for by its extension (".mov", ".avi",
// ".mkv", as extensionOf gives it); none for any other.
std::optional<Container> containerForExtension(const std::string& extension);
// "MOV", "AVI", "Matroska".
const char* containerName(Container container);

struct VideoTrack {
    uint32_t width = 0;
    uint32_t height = 0;
    const char* codecTag = "";  // four characters: "Hap1", "HapM", ...
    bool alpha = false;
    // A tick of the times given to writeVideo.
    int32_t timeBaseNum = 1;
    int32_t timeBaseDen = 1;
    // The constant frame rate; 0/0 when frames carry times of their own.
    int32_t rateNum = 0;
    int32_t rateDen = 0;
};

struct AudioTrack {
    uint32_t sampleRate = 0;
    uint32_t channels = 0;  // samples are signed 16-bit little-endian, interleaved
};

class MediaMuxer {
public:
    // Writes the file's head to `path`, an existing file that it replaces.
    // `name` is what messages call the file. Throws ToolError.
    MediaMuxer(const std::string& path, const std::string& name, Container container,
               const VideoTrack& video, const std::optional<AudioTrack>& audio);
    // Closes the file; one not finished is incomplete (the caller removes it).
    ~MediaMuxer();
    MediaMuxer(const MediaMuxer&) = delete;
    MediaMuxer& operator=(const MediaMuxer&) = delete;

    // One Hap frame shown from `time` for `duration` ticks of the video
    // track's time base; times increase from frame to frame. The muxer takes
    // the bytes without copying them. Throws ToolError.
    void writeVideo(std::vector<uint8_t>&& frame, int64_t time, int64_t duration);
    // Whole sample frames of the audio track, the first being sample frame
    // `firstSample` of the track. Throws ToolError.
    void writeAudio(std::vector<uint8_t>&& samples, uint64_t firstSample);
    // Writes the index and whatever the head left open, and closes the
    // file. Throws ToolError.
    void finish();

private:
    void write(std::vector<uint8_t>&& bytes, AVStream* stream, int64_t time, int64_t duration,
               int numerator, int denominator);
    [[noreturn]] void fail(const std::string& what, int code) const;

    struct ContextDeleter {
        void operator()(AVFormatContext* context) const;
    };
    std::unique_ptr<AVFormatContext, ContextDeleter> context;
    std::string name;
    VideoTrack video;
    std::optional<AudioTrack> audio;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
};

}  // namespace orvtool
