// Inputs that need no ffmpeg: raw 8-bit frames from a file or standard
// input, and the samples of a WAV file.
#pragma once

#include <memory>
#include <string>

#include "frame_source.hpp"

namespace orvtool {

// Frames of format.width x format.height x 4 bytes back to back, from `path`
// or, for "-", standard input. For a regular file format.expectedFrames is
// set from its size. Throws ToolError when the file cannot be opened.
std::unique_ptr<VideoSource> openRawVideo(const std::string& path, VideoFormat format);

// A WAV file of 16-bit, 24-bit or 32-bit integer PCM or 32-bit float
// samples (plain or WAVE_FORMAT_EXTENSIBLE). Throws ToolError for anything
// else or a file that is not a WAV file.
std::unique_ptr<AudioSource> openWavAudio(const std::string& path);

}  // namespace orvtool
