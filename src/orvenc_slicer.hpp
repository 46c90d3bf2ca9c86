// Lists the slices of a frame on the slice grid and copies each slice's
// pixels out of the frame (flipped for bottom-up frames).
#pragma once

#include <cstdint>
#include <vector>

#include "brindle.hpp"
#include "orvenc_frame.hpp"

namespace brindle {

// The rows of a picture as a slice is cut from them: `rows` rows of
// `rowBytes` bytes (the picture's width in bytes, whole pixels of
// `bytesPerPixel`), `stride` bytes apart in memory, the bottom row first
// when `bottomUp`. What lies between rowBytes and the stride is never read.
struct OrvPictureRows {
    const uint8_t* data = nullptr;
    uint32_t stride = 0;
    uint32_t rowBytes = 0;  // at least one pixel
    uint32_t rows = 0;      // at least one
    uint32_t bytesPerPixel = 0;
    bool bottomUp = false;
};

// Immutable after construction: both operations run on many threads at once.
class OrvEncSlicer {
public:
    explicit OrvEncSlicer(const OrvSliceLayout& layout) : layout(layout) {}

    const OrvSliceLayout& getLayout() const { return layout; }

    // Fills `slices` (empty on entry) with the frame's slices in grid order,
    // row by row from the top. A block-aligned, single-slice, top-down frame
    // gives one slice that shares the frame's buffer (nothing to copy).
    void pickSlices(const OrvEncFrame& frame, std::vector<OrvSrcSlice>& slices) const;

    // Gives the slice its own buffer filled from the frame, unless it shares
    // the frame's buffer already. Pixels outside the picture repeat its
    // nearest pixel. Throws "unknown pixel format" (13) before anything is
    // allocated, and "failed to allocate memory" (13).
    void copy(const OrvEncFrame& frame, OrvSrcSlice& slice) const;

    // Fills `dstRows` rows of `dstStride` bytes at `dst` with the picture
    // from byte `offset` of picture row `y` on (rows counted from the top of
    // the picture). Pixels right of the picture repeat its last column,
    // rows below it its last row, so that the blocks on its edges are fitted
    // to the picture's own colours.
    static void fillSlice(const OrvPictureRows& picture, uint32_t offset, uint32_t y,
                          uint32_t dstStride, uint32_t dstRows, uint8_t* dst);

private:
    OrvSliceLayout layout;
};

}  // namespace brindle
