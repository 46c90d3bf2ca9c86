// The primary compressor: runs the DXT block encoders over every 4x4 block
// of a slice of RGBA or BGRA pixels.
#pragma once

#include <cstdint>

#include "brindle.hpp"
#include "dxt_encoder_simd.hpp"
#include "orv.h"
#include "orvenc_compressor.hpp"

namespace brindle {

// Immutable after construction; many workers call compress at once.
class OrvFFMpegCompressor : public OrvEncCompressor {
public:
    // Encodes whole block rows with the best row encoders this CPU has.
    explicit OrvFFMpegCompressor(const OrvVideoStreamParams_st& params);
    // With the row encoders of one SIMD level, which this CPU must have; for
    // tests and benchmarks.
    OrvFFMpegCompressor(const OrvVideoStreamParams_st& params, DxtSimdLevel level);
    ~OrvFFMpegCompressor() override = default;

    const int32_t* getPreferredSrcPixFmts() const override;  // {1, 3, -1}
    // Also sets texture.squaredError: the exact figure when the texture asks
    // for it (measureError), else 0. Throws "unsupported source pixel
    // format" / "unsupported texture format" (13).
    void compress(const OrvSrcSlice& src, OrvTexFmt fmt, OrvEncTexture& texture) override;

    void compressRGBA32(unsigned width, unsigned height, unsigned stride, OrvTexFmt fmt,
                        const uint8_t* src, uint8_t* dst) const;
    void compressBGRA32(unsigned width, unsigned height, unsigned stride, OrvTexFmt fmt,
                        const uint8_t* src, uint8_t* dst) const;

private:
    // The one-block reference functions; the row encoders of every level
    // write exactly their bytes.
    TextureDspEnc dsp;
    const DxtRowEncoders* rows;
    const DxtRowEncoders* measuringRows;  // the same, also returning the error
};

}  // namespace brindle
