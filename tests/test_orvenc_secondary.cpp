// The secondary compressors: none shares the blocks, snappy and LZ4 give
// payloads that decode to exactly the texture, LZ4 with its size prefix and
// its level by hint.
#include <gtest/gtest.h>

#include <lz4.h>
#include <lz4hc.h>
#include <snappy.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orvenc_frame.hpp"
#include "orvenc_lz4.hpp"
#include "orvenc_none.hpp"
#include "orvenc_snappy.hpp"
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

// A texture whose `encoded` buffer holds exactly `bytes`, as the encode task
// leaves it.
OrvEncTexture textureOf(const Bytes& bytes) {
    OrvEncTexture texture;
    texture.encoded = allocSharedBuffer(bytes.size());
    std::memcpy(texture.encoded->data, bytes.data(), bytes.size());
    texture.encodedSize = bytes.size();
    return texture;
}

Bytes randomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(rng());
    return bytes;
}

// Like block-compressed texture data: 8-byte blocks from a small palette, a
// quarter of them with a changed byte. On this data LZ4 levels 3, 10 and 12
// each give different bytes.
Bytes blockLikeBytes(size_t size) {
    std::mt19937 rng(7);
    uint64_t palette[4];
    for (uint64_t& entry : palette) entry = (uint64_t{rng()} << 32) | rng();
    Bytes bytes(size);
    for (size_t block = 0; block < size / 8; ++block) {
        uint64_t value = palette[rng() % 4];
        if (rng() % 2 == 0) value ^= rng() & 0xFF;
        for (int i = 0; i < 8; ++i) bytes[block * 8 + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

Bytes payloadOf(const OrvEncTexture& texture) {
    return Bytes(texture.compressed->data, texture.compressed->data + texture.compressedSize);
}

const char* chars(const Bytes& bytes, size_t at = 0) {
    return reinterpret_cast<const char*>(bytes.data() + at);
}

// Reads the size prefix and decodes the LZ4 block after it.
Bytes lz4Decode(const Bytes& payload) {
    Bytes out(orvtest::readLE(payload, 0, 4));
    if (payload.size() < 4) return out;  // already a failure
    const int size = static_cast<int>(out.size());
    EXPECT_EQ(LZ4_decompress_safe(chars(payload, 4), reinterpret_cast<char*>(out.data()),
                                  static_cast<int>(payload.size() - 4), size), size);
    return out;
}

// The block LZ4_compress_HC makes of `bytes` at `level`, called directly.
Bytes lz4Block(const Bytes& bytes, int level) {
    const int size = static_cast<int>(bytes.size());
    Bytes out(LZ4_compressBound(size));
    const int r = LZ4_compress_HC(chars(bytes), reinterpret_cast<char*>(out.data()), size,
                                  static_cast<int>(out.size()), level);
    EXPECT_GT(r, 0);
    out.resize(r);
    return out;
}

std::vector<int32_t> listOf(const int32_t* hints) {
    std::vector<int32_t> list;
    for (; *hints != -1; ++hints) list.push_back(*hints);
    return list;
}

}  // namespace

TEST(NoneCompressor, SharesTheEncodedBufferWithoutCopying) {
    OrvEncTexture texture = textureOf(randomBytes(4096, 1));
    texture.compressed = allocSharedBuffer(16);  // a previous result is released
    const SharedBuffer encoded = texture.encoded;
    EXPECT_EQ(OrvNoneCompressor().compress(texture), 4096u);
    EXPECT_EQ(texture.compressed, encoded);
    EXPECT_EQ(texture.compressedSize, texture.encodedSize);
    EXPECT_EQ(texture.encoded, encoded);
    // The pipeline drops `encoded` next; the blocks stay alive in `compressed`.
    texture.encoded.reset();
    EXPECT_EQ(texture.compressed.use_count(), 2);  // `encoded` above and `compressed`
}

TEST(CodedCompressors, PayloadsDecodeToExactlyTheTexture) {
    // All zeroes must shrink; random bytes grow and are stored as they come,
    // with no fallback to the raw blocks: a reader decodes every texture of
    // the stream with the stream's one coder.
    enum Size { any, shrinks, grows };
    const struct {
        Bytes bytes;
        Size size;
    } cases[] = {{blockLikeBytes(4096), any}, {randomBytes(4096, 2), grows}, {Bytes(65536, 0), shrinks},
                 {blockLikeBytes(8), any}};
    for (const auto& c : cases) {
        const size_t n = c.bytes.size();
        SCOPED_TRACE(n);
        OrvEncTexture viaSnappy = textureOf(c.bytes), viaLZ4 = textureOf(c.bytes);
        EXPECT_EQ(OrvSnappyCompressor(paramsWithHint(1)).compress(viaSnappy), viaSnappy.compressedSize);
        EXPECT_EQ(OrvLZ4Compressor(paramsWithHint(1)).compress(viaLZ4), viaLZ4.compressedSize);
        EXPECT_LE(viaSnappy.compressedSize, viaSnappy.compressed->size);
        // Each buffer holds its coder's worst case, plus the prefix for LZ4.
        EXPECT_EQ(viaLZ4.compressed->size, size_t(LZ4_compressBound(static_cast<int>(n))) + 4);
        EXPECT_EQ(viaSnappy.compressed->size, snappy::MaxCompressedLength(n));
        EXPECT_EQ(OrvLZ4Compressor(paramsWithHint(1)).maxCompressedSize(n), viaLZ4.compressed->size);
        EXPECT_EQ(OrvSnappyCompressor(paramsWithHint(1)).maxCompressedSize(n),
                  viaSnappy.compressed->size);
        const Bytes snappyPayload = payloadOf(viaSnappy), lz4Payload = payloadOf(viaLZ4);
        // Snappy's raw format, exactly as the library makes it.
        std::string direct, decoded;
        snappy::Compress(chars(c.bytes), n, &direct);
        EXPECT_EQ(snappyPayload, Bytes(direct.begin(), direct.end()));
        EXPECT_TRUE(snappy::Uncompress(chars(snappyPayload), snappyPayload.size(), &decoded));
        EXPECT_EQ(Bytes(decoded.begin(), decoded.end()), c.bytes);
        EXPECT_EQ(lz4Decode(lz4Payload), c.bytes);
        for (const Bytes& payload : {snappyPayload, lz4Payload}) {
            EXPECT_TRUE(c.size != shrinks || payload.size() < n / 10) << payload.size();
            EXPECT_TRUE(c.size != grows || payload.size() > n) << payload.size();
        }
    }
}

TEST(CodedCompressors, HintsSelectTheLZ4LevelBehindTheLittleEndianSizePrefix) {
    EXPECT_EQ(listOf(OrvSnappyCompressor::supportedCompressionHints()), (std::vector<int32_t>{1}));
    EXPECT_EQ(listOf(OrvLZ4Compressor::supportedCompressionHints()), (std::vector<int32_t>{0, 1, 2}));
    const Bytes bytes = blockLikeBytes(4096);
    // Without this the test could not tell the levels apart.
    ASSERT_NE(lz4Block(bytes, 3), lz4Block(bytes, 10));
    ASSERT_NE(lz4Block(bytes, 10), lz4Block(bytes, 12));
    const struct {
        uint32_t hint;
        int level;
    } cases[] = {{0, 3}, {1, 10}, {2, 12}, {7, 10}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hint);
        const OrvLZ4Compressor coder(paramsWithHint(c.hint));
        EXPECT_EQ(coder.level(), c.level);
        OrvEncTexture texture = textureOf(bytes);
        OrvLZ4Compressor(paramsWithHint(c.hint)).compress(texture);
        Bytes expected = {0x00, 0x10, 0x00, 0x00};
        orvtest::append(expected, lz4Block(bytes, c.level));
        EXPECT_EQ(payloadOf(texture), expected);
    }
    // Four different bytes: a swapped or shifted prefix shows.
    OrvEncTexture odd = textureOf(Bytes(0x030208, 0));
    OrvLZ4Compressor(paramsWithHint(0)).compress(odd);
    EXPECT_EQ(Bytes(odd.compressed->data, odd.compressed->data + 4), (Bytes{0x08, 0x02, 0x03, 0x00}));
}

TEST(CodedCompressors, CoderRefusalOrNoOutputBufferFailsAndKeepsThePreviousResult) {
    OrvSnappyCompressor snappyCoder(paramsWithHint(1));
    OrvLZ4Compressor lz4Coder(paramsWithHint(1));
    for (OrvEncSecondaryCompressor* coder : {static_cast<OrvEncSecondaryCompressor*>(&snappyCoder),
                                             static_cast<OrvEncSecondaryCompressor*>(&lz4Coder)}) {
        OrvEncTexture texture = textureOf(blockLikeBytes(4096));
        const SharedBuffer previous = allocSharedBuffer(8);
        texture.compressed = previous;
        texture.compressedSize = 8;
        {
            const orvtest::AllocationFailureGuard failNext(0);
            orvtest::expectOrvError([&] { coder->compress(texture); }, 13, "failed to allocate memory");
        }
        EXPECT_EQ(texture.compressed, previous);
        EXPECT_EQ(texture.compressedSize, 8u);
    }
    // LZ4 refuses what it cannot bound; the record claims such a size while
    // the buffer is small, the only cheap way to make the coder say no.
    OrvEncTexture texture = textureOf(blockLikeBytes(4096));
    texture.encodedSize = 0x7F000000;
    orvtest::expectOrvError([&] { lz4Coder.compress(texture); }, 13, "compression failed");
}

// Assertions guard the pipeline's own invariants; one stands for them all.
TEST(CodedCompressorsDeathTest, MissingBlocksAreAnInternalError) {
    OrvEncTexture texture;
    texture.encodedSize = 4096;
    EXPECT_DEATH(OrvLZ4Compressor(paramsWithHint(1)).compress(texture), "tex\\.encoded != nullptr");
}
