// The snappy second stage (snappy's raw format).
#pragma once

#include <cstdint>

#include "orv.h"
#include "orvenc_compressor.hpp"

namespace brindle {

class OrvSnappyCompressor : public OrvEncSecondaryCompressor {
public:
    explicit OrvSnappyCompressor(const OrvVideoStreamParams_st& params);
    uint64_t compress(OrvEncTexture& texture) override;
    uint64_t maxCompressedSize(uint64_t encodedSize) const override;
    static const int32_t* supportedCompressionHints();  // {1, -1}
};

}  // namespace brindle
