#include "orvenc_none.hpp"

#include <cassert>

namespace brindle {

uint64_t OrvNoneCompressor::compress(OrvEncTexture& tex) {
    assert(tex.encoded != nullptr);
    // The pipeline drops `encoded` after this call; `compressed` keeps the
    // blocks alive for the writer.
    tex.compressed = tex.encoded;
    tex.compressedSize = tex.encodedSize;
    return tex.compressedSize;
}

}  // namespace brindle
