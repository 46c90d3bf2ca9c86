// The pass-through second stage: the texture's blocks are stored as they are.
#pragma once

#include "orvenc_compressor.hpp"

namespace brindle {

// `compressed` becomes a second reference to the `encoded` buffer; no byte is copied.
class OrvNoneCompressor : public OrvEncSecondaryCompressor {
public:
    uint64_t compress(OrvEncTexture& texture) override;
    uint64_t maxCompressedSize(uint64_t encodedSize) const override { return encodedSize; }
};

}  // namespace brindle
