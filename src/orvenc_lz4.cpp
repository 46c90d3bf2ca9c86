#include "orvenc_lz4.hpp"

#include <lz4.h>
#include <lz4hc.h>

#include <cassert>
#include <cstddef>

#include "buffer_pool.hpp"
#include "orv_format.hpp"

namespace brindle {

namespace {

constexpr int32_t lz4Hints[] = {0, 1, 2, -1};

// The payload starts with the uncompressed byte count, so a reader can size
// its output before decoding the block.
constexpr int32_t sizePrefixBytes = static_cast<int32_t>(kLz4SizePrefixBytes);

void storeLE32(uint8_t* dst, uint32_t value) {
    dst[0] = static_cast<uint8_t>(value);
    dst[1] = static_cast<uint8_t>(value >> 8);
    dst[2] = static_cast<uint8_t>(value >> 16);
    dst[3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace

OrvLZ4Compressor::OrvLZ4Compressor(const OrvVideoStreamParams_st& params)
    : compressionHint(params.compressionHint) {}

const int32_t* OrvLZ4Compressor::supportedCompressionHints() { return lz4Hints; }

int OrvLZ4Compressor::level() const {
    // Hints outside the supported list are not refused; they get the default.
    switch (compressionHint) {
        case 0: return 3;   // fast
        case 2: return 12;  // LZ4HC_CLEVEL_MAX
        default: return 10;
    }
}

uint64_t OrvLZ4Compressor::maxCompressedSize(uint64_t encodedSize) const {
    // LZ4 counts in signed 32 bits and bounds no input beyond its maximum.
    if (encodedSize > LZ4_MAX_INPUT_SIZE) return UINT64_MAX;
    return static_cast<uint64_t>(LZ4_compressBound(static_cast<int32_t>(encodedSize))) +
           sizePrefixBytes;
}

uint64_t OrvLZ4Compressor::compress(OrvEncTexture& tex) {
    assert(tex.encoded != nullptr);
    // Worst case of the block plus the prefix, allocated once.
    const uint64_t bound = maxCompressedSize(tex.encodedSize);
    if (bound == UINT64_MAX) throw OrvException("compression failed", ORV_ERR_UNKNOWN);
    const int32_t capacity = static_cast<int32_t>(bound);
    tex.compressed = allocSharedBuffer(bound);

    // The coder reads exactly the encoded buffer, never beyond it.
    const size_t sourceSize = tex.encoded->size;
    char* const out = reinterpret_cast<char*>(tex.compressed->data);
    storeLE32(tex.compressed->data, static_cast<uint32_t>(sourceSize));
    const int r = LZ4_compress_HC(reinterpret_cast<const char*>(tex.encoded->data),
                                  out + sizePrefixBytes, static_cast<int32_t>(sourceSize),
                                  capacity - sizePrefixBytes, level());
    if (r <= 0) throw OrvException("compression failed", ORV_ERR_UNKNOWN);
    tex.compressedSize = static_cast<uint64_t>(r) + sizePrefixBytes;
    return tex.compressedSize;
}

}  // namespace brindle
