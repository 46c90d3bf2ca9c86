// The second stage where the golden files cannot tell: LZ4 at the level each
// hint picks, behind its little-endian size prefix, gives exactly what the
// library gives, whatever the size; a refusal of the coder is reported.
#include <gtest/gtest.h>

#include <lz4.h>
#include <lz4hc.h>

#include <cstdint>
#include <cstring>
#include <random>

#include "buffer_pool.hpp"
#include "orvenc_frame.hpp"
#include "orvenc_lz4.hpp"
#include "test_support.hpp"

using orvtest::Bytes;

TEST(SecondStage, LZ4PayloadsAreTheLibrarysOwnAtTheHintedLevelAndARefusalIsReported) {
    // Blocks from a small palette as a texture's are, and zeros that shrink.
    std::mt19937 rng(7);
    const uint64_t palette[4] = {rng(), uint64_t{rng()} << 32, rng() * 0x9E3779B97F4A7C15u, 0};
    Bytes blocks(4096), zeros(65536, 0);
    for (size_t i = 0; i < 4096; ++i)
        blocks[i] = static_cast<uint8_t>((palette[(i / 8 * 2654435761u) % 4] >> (8 * (i % 8))) ^ (i % 24 == 0 ? rng() : 0));
    for (const Bytes* bytes : {&blocks, &zeros}) {
        const size_t n = bytes->size();
        brindle::OrvEncTexture texture;
        texture.encoded = brindle::allocSharedBuffer(n);
        std::memcpy(texture.encoded->data, bytes->data(), n);
        texture.encodedSize = n;
        // The hint picks the level, unknown hints the default.
        for (const auto& [hint, level] : {std::pair{0u, 3}, {1u, 10}, {2u, 12}, {7u, 10}}) {
            OrvVideoStreamParams_st params;
            orvInitVideoStreamParams(&params);
            params.compressionHint = hint;
            brindle::OrvLZ4Compressor coder(params);
            EXPECT_EQ(coder.level(), level);
            EXPECT_EQ(coder.compress(texture), texture.compressedSize);
            EXPECT_EQ(coder.maxCompressedSize(n), texture.compressed->size);
            Bytes expected = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
            expected.resize(4 + LZ4_compressBound(static_cast<int>(n)));
            expected.resize(4 + LZ4_compress_HC(reinterpret_cast<const char*>(bytes->data()),
                                                reinterpret_cast<char*>(expected.data() + 4), static_cast<int>(n),
                                                static_cast<int>(expected.size() - 4), level));
            EXPECT_TRUE(Bytes(texture.compressed->data, texture.compressed->data + texture.compressedSize) == expected)
                << n << " bytes, hint " << hint;
        }
        texture.encodedSize = 0x7F000000;
        orvtest::expectOrvError([&] { brindle::OrvLZ4Compressor(OrvVideoStreamParams_st{}).compress(texture); }, 13,
                                "compression failed");
    }
}
