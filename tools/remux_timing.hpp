// When each exported frame is shown: from an ORV stream's pts and time base, in exact integers, to
// what a container can hold (time bases and rates of 32-bit integers).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace orvtool {

// A stream's timing as its file stores it: a pts counts
// timebaseNum / timebaseDen seconds; fps is the nominal frame rate.
struct StoredTiming {
    uint64_t timebaseNum = 0;
    uint64_t timebaseDen = 0;
    uint64_t fpsNum = 0;
    uint64_t fpsDen = 0;
};

struct VideoTiming {
    // A tick of `times`, reduced, each part 1 to INT32_MAX.
    int32_t timeBaseNum = 0;
    int32_t timeBaseDen = 0;
    // The frame rate when frames follow one another at equal steps (then
    // the time base is its inverse and frame k starts at tick k); 0/0 when
    // each frame carries its own time.
    int32_t rateNum = 0;
    int32_t rateDen = 0;
    // Frame k is shown from times[k] to times[k + 1], ticks from the first
    // exported frame: one entry more than frames.
    std::vector<int64_t> times;

    bool constantRate() const { return rateNum != 0; }
};

// The timing of the frames whose pts are `pts` (index order), followed in
// the file by a frame at `nextPts` unless they are its last. Steps between
// the pts decide; the stored frame rate gives the length of a lone last
// frame. Throws ToolError, before any work, for pts out of time order and
// for a time base or rate that no 32-bit ratio holds; `firstFrame` numbers
// the frames in its messages.
VideoTiming planVideoTiming(const StoredTiming& stored, std::span<const int64_t> pts,
                            std::optional<int64_t> nextPts, uint64_t firstFrame);

}  // namespace orvtool
