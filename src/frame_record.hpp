// A video frame record: the marker, the frame and slice sizes and the
// directory of slice offsets, then the slices' Hap frames. The writer builds
// its head from the slices' packaged sizes; the reader, and the encoder when
// it is handed a finished record, parse and check records here, so that a
// record is judged the same way wherever it comes from.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "hap_slice.hpp"
#include "orv_format.hpp"

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

// What every frame of a video stream shares: its records' sizes and grid,
// and the texture planes of each slice with their coder.
struct StreamLayout {
    FrameRecordSizes sizes;
    SliceGrid grid;
    OrvTexturePlanes planes{};
    OrvPixFmt_enum format = ORV_PIX_FMT_DXT1;
    OrvCompression_enum compression = ORV_COMPRESSION_NONE;
    // Where the layout was learnt, for messages: "the first frame" of a
    // file, or "the stream" that an encoder writes.
    const char* origin = "the first frame";
};

// Bytes of plane `plane` of one slice of the layout.
uint64_t sliceTextureBytes(const StreamLayout& layout, uint32_t plane);

// A record's head: where it is, its sizes and slice directory.
struct FrameHead {
    uint64_t at = 0;
    uint64_t size = 0;
    FrameRecordSizes sizes;
    SliceGrid grid;
    std::vector<uint32_t> sliceOffsets;  // from the record's first byte; one per slice

    uint64_t sliceSize(uint64_t i) const {
        return (i + 1 < sliceOffsets.size() ? sliceOffsets[i + 1] : size) - sliceOffsets[i];
    }
};

// A buffer for one call's bytes, grown without clearing.
class Scratch {
public:
    uint8_t* get(uint64_t size) {
        if (size > capacity) {
            storage.reset();
            storage = std::make_unique_for_overwrite<uint8_t[]>(size);
            capacity = size;
        }
        return storage.get();
    }

private:
    std::unique_ptr<uint8_t[]> storage;
    uint64_t capacity = 0;
};

// `n` bytes at position `pos` of the record into dst; `what` names them for
// a message.
using RecordBytes = std::function<void(uint64_t pos, void* dst, uint64_t n, const char* what)>;

// Parses the head of a record of `size` bytes lying at offset `at` (for
// messages), read through `read`: the marker, the picture size (which must
// be width x height), the slice size (that of `layout` when given, else any
// non-zero multiples of 4) and the slice directory, whose slices must follow
// one another within the record. Throws OrvException (code 13) "offset N:
// what is wrong". Nothing is allocated beyond what the record's size backs.
FrameHead parseFrameHead(const RecordBytes& read, uint64_t at, uint64_t size, uint32_t width,
                         uint32_t height, const StreamLayout* layout);

// Refuses slice i when its planes or their coder differ from the layout's.
void checkSliceLayout(const StreamLayout& layout, const HapSlice& slice, uint64_t i);

// Checks a whole record held in memory as a texture read of a stream of
// that layout and picture size checks it: its head, and every slice's Hap
// frame, planes and coder, with each texture undone to exactly its size.
// `at` places the record for messages. Throws as parseFrameHead does.
void checkFrameRecord(std::span<const uint8_t> record, uint64_t at, uint32_t width,
                      uint32_t height, const StreamLayout& layout);

}  // namespace brindle
