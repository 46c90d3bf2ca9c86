// Media read through the system's ffmpeg: ffprobe tells the size, frame
// rate, duration, pixel format, pixel shape and audio format; ffmpeg, run
// once for the pictures and once for the sound, delivers raw RGBA frames
// and 32-bit float samples on a pipe.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "child_process.hpp"
#include "frame_source.hpp"

namespace orvtool {

// The message for a media input when ffmpeg is not installed.
extern const char* const ffmpegMissingHint;

// How ffmpeg is to be given `path`: a plain file as a file: URL, so that no
// character in its name is taken for a protocol; what is not a file (an
// image-sequence pattern such as f%04d.png, a URL, a device) untouched.
// Throws ToolError for a directory, and for a missing name that is neither
// a pattern nor a URL.
std::string mediaUrl(const std::string& path);

struct MediaProbe {
    VideoFormat video;  // RGBA, top-down, as ffmpeg delivers it unscaled
    // The shape of a pixel: display width = width x sarNum / sarDen.
    uint32_t sarNum = 1;
    uint32_t sarDen = 1;
    std::optional<AudioFormat> audio;  // the first audio stream, if any

    bool squarePixels() const { return sarNum == sarDen; }
    // The width at which the pictures are meant to be shown.
    uint32_t displayWidth() const;
};

// Runs ffprobe on `url` (named `path` in messages). `fpsOverride` (num/den,
// or 0/0) replaces the file's frame rate. Throws ToolError when ffprobe
// fails, the file has no video stream or its frame rate cannot be told, and
// ProgramMissing without ffprobe.
MediaProbe probeMedia(const std::string& url, const std::string& path, uint32_t fpsNumOverride,
                      uint32_t fpsDenOverride);

// The first video stream as RGBA frames of `format`'s size (scaled to it by
// ffmpeg's scaler when `scale`) at its frame rate (frames are repeated or
// dropped to keep it constant), narrowed to `frames`.
std::unique_ptr<VideoSource> openMediaVideo(const std::string& url, const VideoFormat& format,
                                            bool scale, FrameRange frames);
// The first audio stream as interleaved floats in `format`, sample frames
// `firstSample` up to `endSample`.
std::unique_ptr<AudioSource> openMediaAudio(const std::string& url, const AudioFormat& format,
                                            uint64_t firstSample, uint64_t endSample);

}  // namespace orvtool
