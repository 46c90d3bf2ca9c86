#include "orvenc_snappy.hpp"

#include <snappy.h>

#include <cassert>
#include <cstddef>

#include "buffer_pool.hpp"

namespace brindle {

namespace {

constexpr int32_t snappyHints[] = {1, -1};

}  // namespace

// snappy has no settings; the parameters are taken for symmetry with LZ4.
OrvSnappyCompressor::OrvSnappyCompressor(const OrvVideoStreamParams_st&) {}

const int32_t* OrvSnappyCompressor::supportedCompressionHints() { return snappyHints; }

uint64_t OrvSnappyCompressor::maxCompressedSize(uint64_t encodedSize) const {
    return snappy::MaxCompressedLength(encodedSize);
}

uint64_t OrvSnappyCompressor::compress(OrvEncTexture& tex) {
    assert(tex.encoded != nullptr);
    // Allocated once at snappy's worst case, so the coder never runs short;
    // only the first compressedSize bytes are payload.
    tex.compressed = allocSharedBuffer(maxCompressedSize(tex.encodedSize));

    size_t length = 0;
    snappy::RawCompress(reinterpret_cast<const char*>(tex.encoded->data), tex.encodedSize,
                        reinterpret_cast<char*>(tex.compressed->data), &length);
    tex.compressedSize = length;
    return length;
}

}  // namespace brindle
