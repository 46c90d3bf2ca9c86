// Lists the slices of a frame on the slice grid and copies each slice's
// pixels out of the frame (flipped for bottom-up frames).
#pragma once

#include <cstdint>
#include <vector>

#include "brindle.hpp"
#include "orvenc_frame.hpp"

namespace brindle {

// Immutable after construction: both operations run on many threads at once.
class OrvEncSlicer {
public:
    explicit OrvEncSlicer(const OrvSliceLayout& layout) : layout(layout) {}

    const OrvSliceLayout& getLayout() const { return layout; }

    // Fills `slices` (empty on entry) with the frame's slices in grid order,
    // row by row from the top. Of a top-down frame, every slice that lies
    // wholly inside the picture shares the frame's buffer (nothing to copy).
    void pickSlices(const OrvEncFrame& frame, std::vector<OrvSrcSlice>& slices) const;

    // Gives the slice its own buffer filled from the frame, unless it shares
    // the frame's buffer already. Bytes outside the picture are 0. Throws
    // "unknown pixel format" (13) before anything is allocated, and
    // "failed to allocate memory" (13).
    void copy(const OrvEncFrame& frame, OrvSrcSlice& slice) const;

    // Row copies: the slice's left edge is `offset` bytes into each source row.
    static void copySlice(uint32_t offset, uint32_t y, uint32_t srcStride, uint32_t srcRows,
                          const uint8_t* src, uint32_t dstStride, uint32_t dstRows, uint8_t* dst);
    static void copySliceInverted(uint32_t offset, uint32_t y, uint32_t srcStride,
                                  uint32_t srcRows, const uint8_t* src, uint32_t dstStride,
                                  uint32_t dstRows, uint8_t* dst);

private:
    OrvSliceLayout layout;
};

}  // namespace brindle
