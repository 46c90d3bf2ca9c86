// The primary compressor: the image loop over a slice's 4x4 blocks. The
// block maths lives in dxt_encoder (the scalar reference) and its row
// encoders (dxt_encoder_simd, one block per SIMD lane); this file only walks
// the block rows and lays the blocks out back to back.
#include "orvenc_ffmpeg.hpp"

#include <cassert>

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

// The row encoder of a format and layout. BC4 reads only alpha, the fourth
// byte in both layouts, so it needs no swizzle.
DxtRowEncodeFn rowFunction(const DxtRowEncoders& rows, OrvTexFmt fmt, bool bgra) {
    switch (fmt) {
        case ORV_TEX_FMT_BC1_RGB: return bgra ? rows.dxt1Bgra : rows.dxt1Rgba;
        case ORV_TEX_FMT_BC3_RGBA: return bgra ? rows.dxt5Bgra : rows.dxt5Rgba;
        case ORV_TEX_FMT_BC3_YCOGR: return bgra ? rows.dxt5ysBgra : rows.dxt5ysRgba;
        case ORV_TEX_FMT_BC4_ALPHA: return rows.alpha;
    }
    return nullptr;
}

// Block rows top to bottom, each row's blocks left to right, written back to
// back. A partial block at the right or bottom edge is read whole, as the
// one-block loop did; slices have sides that are multiples of 4. Offsets are
// 32-bit unsigned: a slice is at most 3072 pixels a side, far below 4 GiB of
// pixels. Returns the sum of what the row encoders return.
uint64_t compressRows(const DxtRowEncoders& rows, bool bgra, unsigned width, unsigned height,
                      unsigned stride, OrvTexFmt fmt, const uint8_t* src, uint8_t* dst) {
    checkTexFmt(fmt);
    if (width == 0 || height == 0) return 0;
    const DxtRowEncodeFn encodeRow = rowFunction(rows, fmt, bgra);
    const unsigned blocksPerRow = width / 4 + (width % 4 != 0 ? 1 : 0);
    const uint32_t rowBytes = blocksPerRow * orvTexBufferSize(fmt, 4, 4);  // one block each
    uint64_t sum = 0;
    for (uint32_t by = 0; by < height; by += 4) {
        sum += encodeRow(dst, src + by * stride, static_cast<ptrdiff_t>(stride), blocksPerRow);
        dst += rowBytes;
    }
    return sum;
}

}  // namespace

OrvFFMpegCompressor::OrvFFMpegCompressor(const OrvVideoStreamParams_st& params)
    : OrvFFMpegCompressor(params, dxtBestSimdLevel()) {}

OrvFFMpegCompressor::OrvFFMpegCompressor(const OrvVideoStreamParams_st& /*params*/,
                                         DxtSimdLevel level)
    : dsp{},
      rows(dxtRowEncodersFor(level)),
      measuringRows(dxtRowEncodersFor(level, DxtRowOutput::blocksAndError)) {
    ff_texturedspenc_init(&dsp);
    assert(dsp.dxt1_block);
    assert(dsp.dxt5_block);
    assert(dsp.dxt5ys_block);
    assert(rows != nullptr && measuringRows != nullptr);
}

const int32_t* OrvFFMpegCompressor::getPreferredSrcPixFmts() const { return preferredSrcPixFmts; }

void OrvFFMpegCompressor::compress(const OrvSrcSlice& src, OrvTexFmt fmt, OrvEncTexture& texture) {
    if (src.pixFmt != ORV_SRC_PIX_FMT_BGRA32 && src.pixFmt != ORV_SRC_PIX_FMT_RGBA32)
        throw OrvException("unsupported source pixel format", ORV_ERR_UNKNOWN);
    // Neither buffer is checked: the encode task sized `encoded` for us.
    const uint8_t* pixels = src.buffer ? src.buffer->data + src.offset : nullptr;
    uint8_t* blocks = texture.encoded ? texture.encoded->data : nullptr;
    // The measurement rides along the encoding, while the block's pixels and
    // palette are at hand; a sum of integers below 2^53 is exact in double.
    const uint64_t error =
        compressRows(texture.measureError ? *measuringRows : *rows,
                     src.pixFmt == ORV_SRC_PIX_FMT_BGRA32, src.width, src.height, src.stride, fmt,
                     pixels, blocks);
    texture.squaredError = static_cast<double>(error);
}

void OrvFFMpegCompressor::compressRGBA32(unsigned width, unsigned height, unsigned stride,
                                         OrvTexFmt fmt, const uint8_t* src, uint8_t* dst) const {
    compressRows(*rows, false, width, height, stride, fmt, src, dst);
}

void OrvFFMpegCompressor::compressBGRA32(unsigned width, unsigned height, unsigned stride,
                                         OrvTexFmt fmt, const uint8_t* src, uint8_t* dst) const {
    compressRows(*rows, true, width, height, stride, fmt, src, dst);
}

}  // namespace brindle
