// The slice grid of a stream and the per-frame slicing: which rectangles a
// frame is cut into, and the copy of each rectangle into a buffer of its own.
#include "orvenc_slicer.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#include "buffer_pool.hpp"
#include "texture_formats.hpp"

namespace brindle {

namespace {

// ---- Slice grid -------------------------------------------------------------

// Slices aim at this many pixels per side; a side is divided only when it is
// at least 1.5 times as long, so no slice side exceeds 3072.
constexpr double targetSliceSide = 2048.0;

struct SideSplit {
    uint32_t sliceSize;
    uint32_t count;
};

SideSplit splitSide(uint32_t length) {
    const double parts = length * (1.0 / targetSliceSide);
    // std::round takes halves away from zero: 3.5 parts become 4.
    const double n = parts < 1.0 ? 1.0 : std::round(parts);
    uint32_t sliceSize = static_cast<uint32_t>(std::ceil(length / n));
    // Whole 4x4 texture blocks only.
    sliceSize = (sliceSize + 3) & ~uint32_t{3};
    // 64 bits: length + sliceSize - 1 wraps in 32 bits near the top of the range.
    const uint64_t count = (uint64_t{length} + sliceSize - 1) / sliceSize;
    return {sliceSize, static_cast<uint32_t>(count)};
}

// ---- Row copies -------------------------------------------------------------

// Bytes of each source row that land in a slice row: the slice's width, or
// what the source row still holds right of `offset`.
uint32_t copiedRowBytes(uint32_t offset, uint32_t srcStride, uint32_t dstStride) {
    return srcStride > offset ? std::min(dstStride, srcStride - offset) : 0;
}

// Slice rows that lie inside the frame; the rest are below its bottom edge.
uint32_t copiedRows(uint32_t y, uint32_t srcRows, uint32_t dstRows) {
    return y < srcRows ? std::min(dstRows, srcRows - y) : 0;
}

// Copies the slice rows that lie inside the frame from the source rows that
// `sourceRow` names, and zeroes every other byte of the slice, so that its
// content never depends on what the allocator left there. All offsets are
// products in size_t: a frame may span 4 GiB or more.
template <typename SourceRow>
void fillSlice(uint32_t offset, uint32_t y, uint32_t srcStride, uint32_t srcRows,
               const uint8_t* src, uint32_t dstStride, uint32_t dstRows, uint8_t* dst,
               SourceRow sourceRow) {
    const uint32_t rowBytes = copiedRowBytes(offset, srcStride, dstStride);
    const uint32_t rows = copiedRows(y, srcRows, dstRows);
    for (uint32_t i = 0; i < rows; ++i) {
        const size_t srcRow = sourceRow(y + i);
        uint8_t* dstRow = dst + size_t{i} * dstStride;
        if (rowBytes > 0) std::memcpy(dstRow, src + srcRow * srcStride + offset, rowBytes);
        if (rowBytes < dstStride) std::memset(dstRow + rowBytes, 0, dstStride - rowBytes);
    }
    const size_t filled = size_t{rows} * dstStride;
    std::memset(dst + filled, 0, size_t{dstRows} * dstStride - filled);
}

}  // namespace

OrvSliceLayout orvPickSliceLayout(const OrvVideoStreamParams_st& params) {
    if (params.width == 0) throw OrvException("bad frame dimensions", ORV_ERR_UNKNOWN);
    if (params.height == 0) throw OrvException("bad frame dimensions", ORV_ERR_UNKNOWN);
    const SideSplit across = splitSide(params.width);
    const SideSplit down = splitSide(params.height);
    return OrvSliceLayout(across.sliceSize, down.sliceSize, across.count, down.count);
}

// ---- Slicer -------------------------------------------------------------------

void OrvEncSlicer::pickSlices(const OrvEncFrame& frame, std::vector<OrvSrcSlice>& slices) const {
    assert(frame.srcBuffer != nullptr);
    slices.clear();
    // Index r * numColumns + c is column c of row r; the pipeline's list of
    // encoded slices and the frame record's directory follow the same order.
    slices.reserve(size_t{layout.numColumns} * layout.numRows);
    const uint32_t bpp = srcBytesPerPixel(frame.pixFmt);
    for (uint32_t r = 0; r < layout.numRows; ++r) {
        for (uint32_t c = 0; c < layout.numColumns; ++c) {
            OrvSrcSlice& slice = slices.emplace_back();
            slice.x = c * layout.sliceWidth;
            slice.y = r * layout.sliceHeight;
            slice.width = layout.sliceWidth;
            slice.height = layout.sliceHeight;
            slice.pixFmt = frame.pixFmt;
            // A slice wholly inside a top-down picture needs no padding and
            // no flip: it is compressed straight from the host's buffer.
            // (A pixel format without a size is refused by copy().)
            const bool inside = uint64_t{slice.x} + slice.width <= frame.width &&
                                uint64_t{slice.y} + slice.height <= frame.height;
            if (inside && frame.origin == 0) {
                slice.buffer = frame.srcBuffer;
                slice.stride = frame.stride;
                slice.offset = size_t{slice.y} * frame.stride + size_t{slice.x} * bpp;
            }
        }
    }
}

void OrvEncSlicer::copy(const OrvEncFrame& frame, OrvSrcSlice& slice) const {
    assert(slice.width > 0);
    assert(slice.height > 0);
    const uint32_t bpp = srcBytesPerPixel(frame.pixFmt);
    if (bpp == 0) throw OrvException("unknown pixel format", ORV_ERR_UNKNOWN);
    if (slice.buffer) return;  // shares the frame's buffer: nothing to copy

    const uint32_t dstStride = bpp * slice.width;
    // The slice is only updated once its buffer exists, so a failed
    // allocation leaves it as it was.
    SharedBuffer buffer = allocSharedBuffer(size_t{dstStride} * slice.height);

    // A left edge at or beyond the end of the source row copies nothing; it is
    // clamped to the stride so that it fits the helpers' 32-bit offset.
    const uint64_t leftEdge = uint64_t{slice.x} * bpp;
    const uint32_t offset = static_cast<uint32_t>(std::min<uint64_t>(leftEdge, frame.stride));
    const uint8_t* src = frame.srcBuffer->data;
    if (frame.origin == 0)
        copySlice(offset, slice.y, frame.stride, frame.height, src, dstStride, slice.height,
                  buffer->data);
    else
        copySliceInverted(offset, slice.y, frame.stride, frame.height, src, dstStride,
                          slice.height, buffer->data);

    slice.pixFmt = frame.pixFmt;
    slice.stride = dstStride;
    slice.buffer = std::move(buffer);
}

void OrvEncSlicer::copySlice(uint32_t offset, uint32_t y, uint32_t srcStride, uint32_t srcRows,
                             const uint8_t* src, uint32_t dstStride, uint32_t dstRows,
                             uint8_t* dst) {
    fillSlice(offset, y, srcStride, srcRows, src, dstStride, dstRows, dst,
              [](uint32_t row) { return size_t{row}; });
}

void OrvEncSlicer::copySliceInverted(uint32_t offset, uint32_t y, uint32_t srcStride,
                                     uint32_t srcRows, const uint8_t* src, uint32_t dstStride,
                                     uint32_t dstRows, uint8_t* dst) {
    // The grid lies over the flipped picture: picture row 0 is the last row in
    // memory.
    fillSlice(offset, y, srcStride, srcRows, src, dstStride, dstRows, dst,
              [srcRows](uint32_t row) { return size_t{srcRows} - 1 - row; });
}

}  // namespace brindle
