// The second stage where the golden files cannot tell: LZ4 at the level each
// hint picks, behind its little-endian size prefix, gives exactly what the
// library gives, whatever the size; a refusal of the coder is reported.
#include <gtest/gtest.h>

#include <lz4.h>
#include <lz4hc.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orvenc_frame.hpp"
#include "orvenc_lz4.hpp"
#include "test_support.hpp"

using namespace brindle;
using orvtest::Bytes;

namespace {

OrvVideoStreamParams_st paramsWithHint(uint32_t hint) {
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    params.compressionHint = hint;
    return params;
}

OrvEncTexture textureOf(const Bytes& bytes) {
    OrvEncTexture texture;
    texture.encoded = allocSharedBuffer(bytes.size());
    std::memcpy(texture.encoded->data, bytes.data(), bytes.size());
    texture.encodedSize = bytes.size();
    return texture;
}

// Random bytes, or with `blocks` 8-byte blocks from a small palette, as a texture's are.
Bytes someBytes(size_t size, unsigned seed, bool blocks) {
    std::mt19937 rng(seed);
    uint64_t palette[4];
    for (uint64_t& entry : palette) entry = (uint64_t{rng()} << 32) | rng();
    Bytes bytes(size);
    for (size_t block = 0; block < size / 8; ++block) {
        const uint64_t value = blocks ? palette[rng() % 4] ^ (rng() % 2 ? rng() & 0xFF : 0)
                                      : (uint64_t{rng()} << 32) | rng();
        for (int i = 0; i < 8; ++i) bytes[block * 8 + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

Bytes payloadOf(const OrvEncTexture& texture) {
    return Bytes(texture.compressed->data, texture.compressed->data + texture.compressedSize);
}

const char* chars(const Bytes& bytes) { return reinterpret_cast<const char*>(bytes.data()); }

}  // namespace

TEST(SecondStage, LZ4PayloadsAreTheLibrarysOwnAtTheHintedLevel) {
    const Bytes zero(65536, 0);
    for (const Bytes& bytes : {someBytes(4096, 7, true), someBytes(4096, 2, false), zero, someBytes(8, 3, true)}) {
        const size_t n = bytes.size();
        SCOPED_TRACE(n);
        OrvEncTexture viaLZ4 = textureOf(bytes);
        // LZ4: the hint picks the level (unknown hints the default), behind the size.
        for (const auto& [hint, level] : {std::pair{0u, 3}, {1u, 10}, {2u, 12}, {7u, 10}}) {
            OrvLZ4Compressor coder(paramsWithHint(hint));
            EXPECT_EQ(coder.level(), level);
            EXPECT_EQ(coder.compress(viaLZ4), viaLZ4.compressedSize);
            EXPECT_EQ(coder.maxCompressedSize(n), viaLZ4.compressed->size);
            Bytes expected(LZ4_compressBound(static_cast<int>(n)));
            expected.resize(LZ4_compress_HC(chars(bytes), reinterpret_cast<char*>(expected.data()),
                                            static_cast<int>(n), static_cast<int>(expected.size()), level));
            expected.insert(expected.begin(), {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)});
            EXPECT_EQ(payloadOf(viaLZ4), expected) << "hint " << hint;
        }
    }
}

// Allocation failures of the coders' buffers are swept in test_fault_injection.
TEST(SecondStage, ACoderRefusalIsReported) {
    OrvEncTexture texture = textureOf(someBytes(4096, 7, true));
    texture.encodedSize = 0x7F000000;
    orvtest::expectOrvError([&] { OrvLZ4Compressor(paramsWithHint(1)).compress(texture); }, 13, "compression failed");
}
