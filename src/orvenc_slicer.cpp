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

    // Only a top-down frame that is exactly one slice of whole blocks can be
    // compressed straight from the host's buffer.
    const bool zeroCopy = frame.width % 4 == 0 && frame.height % 4 == 0 &&
                          layout.numColumns == 1 && layout.numRows == 1 && frame.origin == 0;
    if (zeroCopy) {
        OrvSrcSlice& slice = slices.emplace_back();
        slice.width = layout.sliceWidth;
        slice.height = layout.sliceHeight;
        slice.stride = frame.stride;
        slice.pixFmt = frame.pixFmt;
        slice.buffer = frame.srcBuffer;
        return;
    }

    // Index r * numColumns + c is column c of row r; the pipeline's list of
    // encoded slices and the frame record's directory follow the same order.
    slices.reserve(size_t{layout.numColumns} * layout.numRows);
    for (uint32_t r = 0; r < layout.numRows; ++r) {
        for (uint32_t c = 0; c < layout.numColumns; ++c) {
            OrvSrcSlice& slice = slices.emplace_back();
            slice.x = c * layout.sliceWidth;
            slice.y = r * layout.sliceHeight;
            slice.width = layout.sliceWidth;
            slice.height = layout.sliceHeight;
            slice.pixFmt = frame.pixFmt;
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

    // A left edge at or beyond the picture's right edge copies nothing; it is
    // clamped there so that it fits the 32-bit offset.
    OrvPictureRows picture;
    picture.data = frame.srcBuffer->data;
    picture.stride = frame.stride;
    picture.rowBytes = frame.width * bpp;
    picture.rows = frame.height;
    picture.bytesPerPixel = bpp;
    picture.bottomUp = frame.origin == 1;
    const uint64_t leftEdge = uint64_t{slice.x} * bpp;
    const uint32_t offset = static_cast<uint32_t>(std::min<uint64_t>(leftEdge, picture.rowBytes));
    fillSlice(picture, offset, slice.y, dstStride, slice.height, buffer->data);

    slice.pixFmt = frame.pixFmt;
    slice.stride = dstStride;
    slice.buffer = std::move(buffer);
}

void OrvEncSlicer::fillSlice(const OrvPictureRows& picture, uint32_t offset, uint32_t y,
                             uint32_t dstStride, uint32_t dstRows, uint8_t* dst) {
    const uint32_t bpp = picture.bytesPerPixel;
    // Whole pixels everywhere, so that the edge fill ends on the row's end.
    assert(bpp > 0 && picture.rowBytes % bpp == 0 && offset % bpp == 0 && dstStride % bpp == 0);
    assert(picture.rowBytes > 0 && picture.rows > 0);
    const uint32_t lastColumn = picture.rowBytes - bpp;
    // Bytes of each row that come from the picture, and the slice rows that
    // lie inside it.
    const uint32_t copied =
        offset < picture.rowBytes ? std::min(dstStride, picture.rowBytes - offset) : 0;
    const uint32_t insideRows = y < picture.rows ? std::min(dstRows, picture.rows - y) : 0;
    for (uint32_t i = 0; i < dstRows; ++i) {
        uint8_t* out = dst + size_t{i} * dstStride;
        // Below the picture every row repeats the one above it, which is
        // (or repeats) the picture's last row.
        if (i > 0 && i >= insideRows) {
            std::memcpy(out, out - dstStride, dstStride);
            continue;
        }
        const uint32_t row = i < insideRows ? y + i : picture.rows - 1;
        const uint32_t memoryRow = picture.bottomUp ? picture.rows - 1 - row : row;
        // size_t products: a frame may span 4 GiB or more.
        const uint8_t* in = picture.data + size_t{memoryRow} * picture.stride;
        std::memcpy(out, in + offset, copied);
        for (uint32_t at = copied; at < dstStride; at += bpp)
            std::memcpy(out + at, in + lastColumn, bpp);
    }
}

}  // namespace brindle
