// An ORV file's video stream, and its audio, in a file for players: every
// frame's textures read whole through the library's reader (which checks
// them on the way), packed as standard chunked Hap and muxed by
// libavformat.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame_source.hpp"
#include "media_muxer.hpp"

namespace orvtool {

struct RemuxJob {
    std::string input;       // the ORV file
    std::string outputPath;  // where the container is written (a temporary)
    std::string outputName;  // what messages call it
    Container container = Container::mov;
    uint32_t videoStream = 0;  // among the file's video sections
    bool withAudio = true;     // the file's first audio section, if any
    FrameRange frames;         // in index order
    uint32_t chunks = 0;       // per texture; 0: by its size
    unsigned threads = 0;      // 0: one per core
    bool progress = false;     // a progress line on standard error
};

struct RemuxSummary {
    uint64_t frames = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    const char* codecTag = "";
    std::vector<uint32_t> chunks;  // per texture of a frame
    int32_t rateNum = 0;           // 0/0: frames at their own times
    int32_t rateDen = 0;
    uint64_t audioSamples = 0;  // sample frames written
};

// Throws ToolError naming what failed: the timing or layout refused before
// anything is written, or the frame whose texture is damaged.
RemuxSummary remux(const RemuxJob& job);

}  // namespace orvtool
