#include "texture_quality.hpp"

#include "dxt_encoder_simd.hpp"

namespace brindle {

namespace {

// The row meter of a format and layout; nullptr for an unknown format.
DxtRowErrorFn rowMeter(const DxtRowErrorMeters& meters, OrvTexFmt fmt, bool bgra) {
    switch (fmt) {
        case ORV_TEX_FMT_BC1_RGB: return bgra ? meters.bc1Bgra : meters.bc1Rgba;
        case ORV_TEX_FMT_BC3_RGBA: return bgra ? meters.bc3Bgra : meters.bc3Rgba;
        case ORV_TEX_FMT_BC3_YCOGR: return bgra ? meters.ycocgBgra : meters.ycocgRgba;
        case ORV_TEX_FMT_BC4_ALPHA: return meters.bc4;
    }
    return nullptr;
}

}  // namespace

double textureSquaredError(const OrvSrcSlice& src, OrvTexFmt fmt, const uint8_t* blocks,
                           uint32_t blockRowStep) {
    const bool bgra = src.pixFmt == ORV_SRC_PIX_FMT_BGRA32;
    const DxtRowErrorFn meter = rowMeter(dxtRowErrorMeters(), fmt, bgra);
    if (meter == nullptr || (!bgra && src.pixFmt != ORV_SRC_PIX_FMT_RGBA32)) return 0.0;

    // Whole blocks only; the encoder's blocks of one row lie back to back.
    const unsigned blocksPerRow = src.width / 4;
    const size_t blockBytes = orvTexBufferSize(fmt, 4, 4);
    const uint8_t* pixels = src.buffer->data;
    const uint32_t blockRows = src.height / 4;
    const uint32_t step = blockRowStep > 0 ? blockRowStep : 1;
    uint64_t sum = 0;
    uint32_t measuredRows = 0;
    for (uint32_t row = 0; row < blockRows; row += step, ++measuredRows) {
        sum += meter(blocks + blockBytes * blocksPerRow * row,
                     pixels + size_t{row} * 4 * src.stride, static_cast<ptrdiff_t>(src.stride),
                     blocksPerRow);
    }
    // Each block adds an integer below 2^23 and the total stays far below
    // 2^53, so this is exactly the double sum of the blocks' figures, in any
    // order of addition.
    if (measuredRows == blockRows) return static_cast<double>(sum);
    return static_cast<double>(sum) * blockRows / measuredRows;
}

}  // namespace brindle
