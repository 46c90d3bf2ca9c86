#include "texture_quality.hpp"

#include <cstring>
#include <utility>

namespace brindle {

namespace {

using BlockDecoder = void (*)(const uint8_t*, uint8_t*);

struct FormatTraits {
    BlockDecoder decode;
    uint32_t blockBytes;
    bool colour;  // compares R, G, B
    bool alpha;   // compares A
};

FormatTraits traitsOf(OrvTexFmt fmt) {
    switch (fmt) {
        case ORV_TEX_FMT_BC1_RGB: return {decodeBC1RGB, 8, true, false};
        case ORV_TEX_FMT_BC3_RGBA: return {decodeBC3RGBA, 16, true, true};
        case ORV_TEX_FMT_BC3_YCOGR: return {decodeBC3YCOGR, 16, true, false};
        case ORV_TEX_FMT_BC4_ALPHA: return {decodeBC4RGBA, 8, false, true};
    }
    return {nullptr, 0, false, false};
}

}  // namespace

double textureSquaredError(const OrvSrcSlice& src, OrvTexFmt fmt, const uint8_t* blocks) {
    const FormatTraits traits = traitsOf(fmt);
    const bool bgra = src.pixFmt == ORV_SRC_PIX_FMT_BGRA32;
    if (traits.decode == nullptr || (!bgra && src.pixFmt != ORV_SRC_PIX_FMT_RGBA32)) return 0.0;

    const uint8_t* pixels = src.buffer->data;
    double sum = 0.0;
    uint8_t decoded[64];
    uint8_t source[64];
    for (uint32_t by = 0; by + 4 <= src.height; by += 4) {
        for (uint32_t bx = 0; bx + 4 <= src.width; bx += 4) {
            traits.decode(blocks, decoded);
            blocks += traits.blockBytes;
            for (uint32_t row = 0; row < 4; ++row) {
                const uint8_t* line = pixels + size_t{by + row} * src.stride + size_t{bx} * 4;
                uint8_t* out = source + 16 * row;
                std::memcpy(out, line, 16);
                if (bgra)
                    for (int p = 0; p < 16; p += 4) std::swap(out[p], out[p + 2]);
            }
            // Channels the format does not carry are made equal, so they add nothing.
            for (int p = 0; p < 64; p += 4) {
                if (!traits.colour) std::memcpy(source + p, decoded + p, 3);
                if (!traits.alpha) source[p + 3] = decoded[p + 3];
            }
            // One block's sum stays far below the metric's 32-bit wrap.
            sum += metrics::squareErrorRGBA(source, decoded, 64);
        }
    }
    return sum;
}

}  // namespace brindle
