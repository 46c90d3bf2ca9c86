#include "frame_record.hpp"

#include <bit>
#include <cstdio>
#include <cstring>
#include <string>

namespace brindle {

namespace {

std::string str(uint64_t value) { return std::to_string(value); }

[[noreturn]] void fail(uint64_t at, const std::string& what) {
    throw OrvException("offset " + str(at) + ": " + what, ORV_ERR_UNKNOWN);
}

uint64_t le(const uint8_t* p, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= uint64_t{p[i]} << (8 * i);
    return value;
}

}  // namespace

std::vector<uint8_t> frameRecordHeader(const FrameRecordSizes& sizes,
                                       std::span<const uint64_t> sliceSizes) {
    std::vector<uint8_t> header;
    header.reserve(frameRecordHeaderSize(sliceSizes.size()));
    auto put = [&header](uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) header.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    put(kFrameRecordMarker, 2);
    for (const uint16_t size : {sizes.width, sizes.height, sizes.sliceWidth, sizes.sliceHeight})
        put(size, 2);
    uint64_t offset = frameRecordHeaderSize(sliceSizes.size());
    for (const uint64_t sliceSize : sliceSizes) {
        put(offset, kFrameRecordSliceOffsetSize);
        offset += sliceSize;
    }
    return header;
}

SliceGrid sliceGridOf(const FrameRecordSizes& sizes) {
    if (sizes.sliceWidth == 0 || sizes.sliceHeight == 0) return {};
    const auto slicesOver = [](uint32_t side, uint32_t slice) {
        return (side + slice - 1) / slice;
    };
    return {slicesOver(sizes.width, sizes.sliceWidth), slicesOver(sizes.height, sizes.sliceHeight)};
}

uint64_t sliceTextureBytes(const StreamLayout& layout, uint32_t plane) {
    return uint64_t{layout.sizes.sliceWidth / 4u} * (layout.sizes.sliceHeight / 4u) *
           texBlockBytes(layout.planes.formats[plane]);
}

// ---- Reading and checking -----------------------------------------------------------

FrameHead parseFrameHead(const RecordBytes& read, uint64_t at, uint64_t size, uint32_t width,
                         uint32_t height, const StreamLayout* layout) {
    FrameHead head;
    head.at = at;
    head.size = size;
    if (size < kFrameRecordFixedSize)
        fail(at, "frame record of " + str(size) + " bytes is shorter than its " +
                     str(kFrameRecordFixedSize) + "-byte head");
    uint8_t fixed[kFrameRecordFixedSize];
    read(0, fixed, sizeof fixed, "frame record head");
    const uint64_t marker = le(fixed, 2);
    if (marker != kFrameRecordMarker) {
        char text[80];
        std::snprintf(text, sizeof text, "frame record marker: expected 0x%04X, found 0x%04X",
                      kFrameRecordMarker, static_cast<unsigned>(marker));
        fail(at, text);
    }
    FrameRecordSizes& s = head.sizes;
    s.width = static_cast<uint16_t>(le(fixed + kFrameRecordWidthAt, 2));
    s.height = static_cast<uint16_t>(le(fixed + kFrameRecordHeightAt, 2));
    s.sliceWidth = static_cast<uint16_t>(le(fixed + kFrameRecordSliceWidthAt, 2));
    s.sliceHeight = static_cast<uint16_t>(le(fixed + kFrameRecordSliceHeightAt, 2));
    if (s.width != width || s.height != height)
        fail(at + kFrameRecordWidthAt, "frame size " + str(s.width) + "x" + str(s.height) +
                                           " differs from the section's " + str(width) + "x" +
                                           str(height));
    if (s.sliceWidth == 0 || s.sliceHeight == 0 || s.sliceWidth % 4 != 0 || s.sliceHeight % 4 != 0)
        fail(at + kFrameRecordSliceWidthAt, "slice size " + str(s.sliceWidth) + "x" +
                                                str(s.sliceHeight) +
                                                ": expected non-zero multiples of 4");
    if (layout && s != layout->sizes)
        fail(at + kFrameRecordSliceWidthAt,
             "slice size " + str(s.sliceWidth) + "x" + str(s.sliceHeight) + " differs from " +
                 layout->origin + "'s " + str(layout->sizes.sliceWidth) + "x" +
                 str(layout->sizes.sliceHeight));
    head.grid = sliceGridOf(s);
    const uint64_t n = head.grid.count();
    const uint64_t directoryEnd = frameRecordHeaderSize(n);
    // The record holds the directory, so its size backs what is allocated.
    if (directoryEnd > size)
        fail(at + kFrameRecordFixedSize, "slice directory of " + str(n) + " slices needs " +
                                             str(directoryEnd) + " bytes of head, the record holds " +
                                             str(size));
    head.sliceOffsets.resize(n);
    static_assert(std::endian::native == std::endian::little,
                  "the slice directory is taken straight from the record");
    read(kFrameRecordFixedSize, head.sliceOffsets.data(), kFrameRecordSliceOffsetSize * n,
         "slice directory");
    if (head.sliceOffsets[0] != directoryEnd)
        fail(at + kFrameRecordFixedSize, "slice 0 offset: expected " + str(directoryEnd) +
                                             " (right after the directory), found " +
                                             str(head.sliceOffsets[0]));
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t start = head.sliceOffsets[i];
        const uint64_t end = i + 1 < n ? head.sliceOffsets[i + 1] : size;
        if (end < start || end > size)
            fail(at + kFrameRecordFixedSize + kFrameRecordSliceOffsetSize * (i + 1),
                 "slice " + str(i + 1) + " offset " + str(end) + " is not within slice " + str(i) +
                     "'s start " + str(start) + " and the record's end " + str(size));
    }
    return head;
}

void checkSliceLayout(const StreamLayout& layout, const HapSlice& slice, uint64_t i) {
    if (slice.planes == layout.planes && slice.compression == layout.compression) return;
    HapSlice expected;
    expected.multipleImages = layout.planes.count == 2;
    expected.planes = layout.planes;
    for (uint32_t p = 0; p < layout.planes.count; ++p)
        expected.textures[p].type = hapTextureType(layout.planes.formats[p], layout.compression);
    fail(slice.at, "slice " + str(i) + ": section types " + hapSliceTypes(slice) + ", expected " +
                       hapSliceTypes(expected) + " as in " + layout.origin);
}

void checkFrameRecord(std::span<const uint8_t> record, uint64_t at, uint32_t width,
                      uint32_t height, const StreamLayout& layout) {
    const RecordBytes read = [record](uint64_t pos, void* dst, uint64_t n, const char*) {
        std::memcpy(dst, record.data() + pos, n);  // parseFrameHead reads within the size only
    };
    const FrameHead head = parseFrameHead(read, at, record.size(), width, height, &layout);
    Scratch blocks;
    for (uint64_t i = 0; i < head.grid.count(); ++i) {
        const HapSlice slice = parseHapSlice(record.subspan(head.sliceOffsets[i], head.sliceSize(i)),
                                             head.at + head.sliceOffsets[i]);
        checkSliceLayout(layout, slice, i);
        for (uint32_t p = 0; p < layout.planes.count; ++p) {
            const uint64_t expected = sliceTextureBytes(layout, p);
            checkTextureClaim(slice.textures[p], expected);  // before the scratch grows
            unpackTexture(slice.textures[p], blocks.get(expected), expected);
        }
    }
}

}  // namespace brindle
