// The primary compressor: the image loop over a slice's 4x4 blocks. The
// block maths lives in dxt_encoder; this file only walks the blocks, feeds
// BGRA through a swizzled copy and lays the blocks out back to back.
#include "orvenc_ffmpeg.hpp"

#include <cassert>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dxt_encoder.hpp"

namespace brindle {

namespace {

const int32_t preferredSrcPixFmts[] = {ORV_SRC_PIX_FMT_RGBA32, ORV_SRC_PIX_FMT_BGRA32, -1};

// Comes before anything else in both block loops, so that a bad format is
// refused even when there is nothing to encode.
void checkTexFmt(OrvTexFmt fmt) {
    if (static_cast<uint32_t>(fmt) > ORV_TEX_FMT_BC4_ALPHA)
        throw OrvException("unsupported texture format", ORV_ERR_UNKNOWN);
}

// The block function of a colour-carrying format; BC4 has none, it is only
// the alpha half of a BC3 block.
OrvBlockEncodeFn blockFunction(const TextureDspEnc& dsp, OrvTexFmt fmt) {
    switch (fmt) {
        case ORV_TEX_FMT_BC1_RGB: return dsp.dxt1_block;
        case ORV_TEX_FMT_BC3_RGBA: return dsp.dxt5_block;
        case ORV_TEX_FMT_BC3_YCOGR: return dsp.dxt5ys_block;
        case ORV_TEX_FMT_BC4_ALPHA: return nullptr;
    }
    return nullptr;
}

// Copies the block's four rows of 16 bytes into `local` (rows 16 bytes
// apart), turning B, G, R, A into R, G, B, A. Reads nothing beyond the rows.
void swizzleBGRABlock(uint8_t* local, const uint8_t* block, unsigned stride) {
#if defined(__SSE2__)
    // Within each little-endian 32-bit pixel, bytes 0 and 2 trade places:
    // keep G and A, move B up 16 bits and R down 16 bits.
    const __m128i keep = _mm_set1_epi32(static_cast<int>(0xFF00FF00u));
    const __m128i low = _mm_set1_epi32(0x000000FF);
    for (unsigned row = 0; row < 4; ++row) {
        const __m128i v =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + row * stride));
        const __m128i swapped = _mm_or_si128(
            _mm_and_si128(v, keep),
            _mm_or_si128(_mm_slli_epi32(_mm_and_si128(v, low), 16),
                         _mm_and_si128(_mm_srli_epi32(v, 16), low)));
        _mm_store_si128(reinterpret_cast<__m128i*>(local + 16 * row), swapped);
    }
#else
    for (unsigned row = 0; row < 4; ++row) {
        const uint8_t* in = block + row * stride;
        uint8_t* out = local + 16 * row;
        for (unsigned x = 0; x < 16; x += 4) {
            out[x + 0] = in[x + 2];
            out[x + 1] = in[x + 1];
            out[x + 2] = in[x + 0];
            out[x + 3] = in[x + 3];
        }
    }
#endif
}

}  // namespace

OrvFFMpegCompressor::OrvFFMpegCompressor(const OrvVideoStreamParams_st& /*params*/) : dsp{} {
    ff_texturedspenc_init(&dsp);
    assert(dsp.dxt1_block);
    assert(dsp.dxt5_block);
    assert(dsp.dxt5ys_block);
}

const int32_t* OrvFFMpegCompressor::getPreferredSrcPixFmts() const { return preferredSrcPixFmts; }

void OrvFFMpegCompressor::compress(const OrvSrcSlice& src, OrvTexFmt fmt, OrvEncTexture& texture) {
    // Neither buffer is checked: the encode task sized `encoded` for us.
    const uint8_t* pixels = src.buffer ? src.buffer->data : nullptr;
    uint8_t* blocks = texture.encoded ? texture.encoded->data : nullptr;
    switch (src.pixFmt) {
        case ORV_SRC_PIX_FMT_BGRA32:
            compressBGRA32(src.width, src.height, src.stride, fmt, pixels, blocks);
            return;
        case ORV_SRC_PIX_FMT_RGBA32:
            compressRGBA32(src.width, src.height, src.stride, fmt, pixels, blocks);
            return;
        default: throw OrvException("unsupported source pixel format", ORV_ERR_UNKNOWN);
    }
}

// Block offsets are 32-bit unsigned: a slice is at most 3072 pixels a side,
// far below 4 GiB of pixels.
void OrvFFMpegCompressor::compressRGBA32(unsigned width, unsigned height, unsigned stride,
                                         OrvTexFmt fmt, const uint8_t* src, uint8_t* dst) const {
    checkTexFmt(fmt);
    if (width == 0 || height == 0) return;
    const OrvBlockEncodeFn encode = blockFunction(dsp, fmt);
    const ptrdiff_t rowStride = static_cast<ptrdiff_t>(stride);
    for (uint32_t by = 0; by < height; by += 4) {
        for (uint32_t bx = 0; bx < width; bx += 4) {
            const uint8_t* block = src + (by * stride + 4 * bx);
            if (encode) {
                dst += encode(dst, rowStride, block);
            } else {
                alpha_block(dst, rowStride, block);
                dst += 8;
            }
        }
    }
}

void OrvFFMpegCompressor::compressBGRA32(unsigned width, unsigned height, unsigned stride,
                                         OrvTexFmt fmt, const uint8_t* src, uint8_t* dst) const {
    checkTexFmt(fmt);
    if (width == 0 || height == 0) return;
    const OrvBlockEncodeFn encode = blockFunction(dsp, fmt);
    const ptrdiff_t rowStride = static_cast<ptrdiff_t>(stride);
    // Aligned so the swizzle can store whole rows at once.
    alignas(16) uint8_t local[64];
    for (uint32_t by = 0; by < height; by += 4) {
        for (uint32_t bx = 0; bx < width; bx += 4) {
            const uint8_t* block = src + (by * stride + 4 * bx);
            if (encode) {
                swizzleBGRABlock(local, block, stride);
                dst += encode(dst, 16, local);
            } else {
                // Alpha is the fourth byte in both layouts: no copy needed.
                alpha_block(dst, rowStride, block);
                dst += 8;
            }
        }
    }
}

}  // namespace brindle
