// The head of a video frame record: the marker, the frame and slice sizes and
// the directory of slice offsets that precede the slices' Hap frames. The
// writer builds it from the slices' packaged sizes; the reader parses it and
// derives the slice grid from it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace brindle {

// The four sizes a record stores, each in 16 bits.
struct FrameRecordSizes {
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t sliceWidth = 0;
    uint16_t sliceHeight = 0;
    bool operator==(const FrameRecordSizes&) const = default;
};

// The bytes before the first Hap frame: marker, sizes, and for slice i the
// offset of its Hap frame, which follows the Hap frames of slices 0..i-1
// (their sizes in `sliceSizes`). Offsets keep their low 32 bits.
std::vector<uint8_t> frameRecordHeader(const FrameRecordSizes& sizes,
                                       std::span<const uint64_t> sliceSizes);

// Slices across and down: each side rounded up to whole slices. A slice side
// of 0 gives no grid (0 x 0).
struct SliceGrid {
    uint32_t numColumns = 0;
    uint32_t numRows = 0;
    uint64_t count() const { return uint64_t{numColumns} * numRows; }
};
SliceGrid sliceGridOf(const FrameRecordSizes& sizes);

}  // namespace brindle
