// One ORV file from a video source and an optional audio source, through
// the library's C interface only.
#pragma once

#include <cstdint>
#include <string>

#include "frame_source.hpp"
#include "progress.hpp"

namespace orvtool {

struct SessionSettings {
    uint32_t format = 0;       // OrvPixFmt_enum
    uint32_t compression = 0;  // OrvCompression_enum
    uint32_t level = 1;        // the LZ4 compression hint
    uint32_t threads = 0;      // 0: one per core
    uint32_t maxParallel = 0;  // 0: the library's default
    int64_t firstPts = 0;      // the pts of the first frame; one more for each after it
};

struct SessionResult {
    uint64_t frames = 0;
    uint64_t samples = 0;
    // What the sources lost on the way without failing; "" when nothing.
    std::string videoLoss;
    std::string audioLoss;
};

// Encodes everything the sources deliver into the file at `path`, which
// the caller has created. Throws ToolError with the library's message.
SessionResult encodeSession(const std::string& path, const SessionSettings& settings,
                            VideoSource& video, AudioSource* audio, ProgressLine& progress);

}  // namespace orvtool
