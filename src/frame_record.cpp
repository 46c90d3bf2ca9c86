#include "frame_record.hpp"

#include "orv_format.hpp"

namespace brindle {

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

}  // namespace brindle
