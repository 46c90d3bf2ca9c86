// Media files read through the system's ffmpeg: ffprobe tells the size,
// frame rate, duration and audio format; ffmpeg, run once for the pictures
// and once for the sound, delivers raw RGBA frames and 32-bit float samples
// on a pipe.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "child_process.hpp"
#include "frame_source.hpp"

namespace orvtool {

// The message for a media input when ffmpeg is not installed.
extern const char* const ffmpegMissingHint;

struct MediaProbe {
    VideoFormat video;                 // RGBA, top-down
    std::optional<AudioFormat> audio;  // the first audio stream, if any
};

// Runs ffprobe on `path`. `fpsOverride` (num/den, or 0/0) replaces the
// file's frame rate; `seconds` (0: all) limits the frames expected.
// Throws ToolError when ffprobe fails, the file has no video stream or its
// frame rate cannot be told, and ProgramMissing without ffprobe.
MediaProbe probeMedia(const std::string& path, uint32_t fpsNumOverride, uint32_t fpsDenOverride,
                      double seconds);

// The first video stream as RGBA frames of probe.video's size at its frame
// rate (frames are repeated or dropped to keep it constant).
std::unique_ptr<VideoSource> openMediaVideo(const std::string& path, const VideoFormat& format,
                                            double seconds);
// The first audio stream as interleaved floats in `format`.
std::unique_ptr<AudioSource> openMediaAudio(const std::string& path, const AudioFormat& format,
                                            double seconds);

}  // namespace orvtool
