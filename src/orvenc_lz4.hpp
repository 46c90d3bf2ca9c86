// The LZ4 second stage: a 4-byte little-endian count of the texture bytes,
// then one LZ4 block (no frame header) from the high-compression coder.
#pragma once

#include <cstdint>

#include "orv.h"
#include "orvenc_compressor.hpp"

namespace brindle {

class OrvLZ4Compressor : public OrvEncSecondaryCompressor {
public:
    explicit OrvLZ4Compressor(const OrvVideoStreamParams_st& params);
    uint64_t compress(OrvEncTexture& texture) override;
    uint64_t maxCompressedSize(uint64_t encodedSize) const override;
    static const int32_t* supportedCompressionHints();  // {0, 1, 2, -1}
    // The coder level of the hint: 0 gives 3, 2 gives 12, anything else 10.
    int level() const;

private:
    uint32_t compressionHint;
};

}  // namespace brindle
