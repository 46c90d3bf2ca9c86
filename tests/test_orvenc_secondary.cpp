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

using namespace brindle;

namespace {

OrvVideoStreamParams_st paramsWithHint(uint32_t hint) {
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    params.compressionHint = hint;
    return params;
}

// A texture whose `encoded` buffer holds exactly `bytes`, as the encode task
// leaves it.
OrvEncTexture textureOf(const std::vector<uint8_t>& bytes) {
    OrvEncTexture texture;
    texture.encoded = allocSharedBuffer(bytes.size());
    std::memcpy(texture.encoded->data, bytes.data(), bytes.size());
    texture.encodedSize = bytes.size();
    return texture;
}

std::vector<uint8_t> randomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(rng());
    return bytes;
}

// Like block-compressed texture data: 8-byte blocks from a small palette, a
// quarter of them with a changed byte. On this data LZ4 levels 3, 10 and 12
// each give different bytes.
std::vector<uint8_t> blockLikeBytes(size_t size) {
    std::mt19937 rng(7);
    uint64_t palette[4];
    for (uint64_t& entry : palette) entry = (uint64_t{rng()} << 32) | rng();
    std::vector<uint8_t> bytes(size);
    for (size_t block = 0; block < size / 8; ++block) {
        uint64_t value = palette[rng() % 4];
        if (rng() % 2 == 0) value ^= rng() & 0xFF;
        for (int i = 0; i < 8; ++i) bytes[block * 8 + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

std::vector<uint8_t> payloadOf(const OrvEncTexture& texture) {
    return std::vector<uint8_t>(texture.compressed->data,
                                texture.compressed->data + texture.compressedSize);
}

std::vector<uint8_t> snappyDecode(const OrvEncTexture& texture, size_t size) {
    const char* payload = reinterpret_cast<const char*>(texture.compressed->data);
    size_t length = 0;
    EXPECT_TRUE(snappy::GetUncompressedLength(payload, texture.compressedSize, &length));
    EXPECT_EQ(length, size);
    std::vector<uint8_t> out(size);
    EXPECT_TRUE(snappy::RawUncompress(payload, texture.compressedSize,
                                      reinterpret_cast<char*>(out.data())));
    return out;
}

// Reads the size prefix and decodes the LZ4 block after it.
std::vector<uint8_t> lz4Decode(const OrvEncTexture& texture) {
    const uint8_t* payload = texture.compressed->data;
    EXPECT_GE(texture.compressedSize, 4u);
    const uint32_t size = payload[0] | (payload[1] << 8) | (payload[2] << 16) |
                          (uint32_t{payload[3]} << 24);
    std::vector<uint8_t> out(size);
    const int r = LZ4_decompress_safe(reinterpret_cast<const char*>(payload + 4),
                                      reinterpret_cast<char*>(out.data()),
                                      static_cast<int>(texture.compressedSize - 4),
                                      static_cast<int>(size));
    EXPECT_EQ(r, static_cast<int>(size));
    return out;
}

// The block LZ4_compress_HC makes of `bytes` at `level`, called directly.
std::vector<uint8_t> lz4Block(const std::vector<uint8_t>& bytes, int level) {
    const int size = static_cast<int>(bytes.size());
    std::vector<uint8_t> out(LZ4_compressBound(size));
    const int r = LZ4_compress_HC(reinterpret_cast<const char*>(bytes.data()),
                                  reinterpret_cast<char*>(out.data()), size,
                                  static_cast<int>(out.size()), level);
    EXPECT_GT(r, 0);
    out.resize(r);
    return out;
}

// The allocation hook is process-wide; every test that arms it disarms it.
struct AllocationFailureGuard {
    explicit AllocationFailureGuard(long count) { failBufferAllocationAfter(count); }
    ~AllocationFailureGuard() { failBufferAllocationAfter(-1); }
};

std::vector<int32_t> listOf(const int32_t* hints) {
    std::vector<int32_t> list;
    for (; *hints != -1; ++hints) list.push_back(*hints);
    return list;
}

}  // namespace

// ---- None ---------------------------------------------------------------------------

TEST(NoneCompressor, SharesTheEncodedBufferWithoutCopying) {
    OrvEncTexture texture = textureOf(randomBytes(4096, 1));
    texture.compressed = allocSharedBuffer(16);  // a previous result is released
    const SharedBuffer encoded = texture.encoded;

    OrvNoneCompressor none;
    EXPECT_EQ(none.compress(texture), 4096u);
    EXPECT_EQ(texture.compressed, encoded);
    EXPECT_EQ(texture.compressedSize, texture.encodedSize);
    EXPECT_EQ(texture.encoded, encoded);

    // The pipeline drops `encoded` next; the blocks stay alive in `compressed`.
    texture.encoded.reset();
    EXPECT_EQ(texture.compressed.use_count(), 2);  // `encoded` above and `compressed`
}

// ---- Round trips ------------------------------------------------------------------

TEST(CodedCompressors, PayloadsDecodeToExactlyTheTexture) {
    const std::vector<std::vector<uint8_t>> textures = {
        blockLikeBytes(4096), randomBytes(4096, 2), std::vector<uint8_t>(8192, 0),
        blockLikeBytes(8)};
    for (const std::vector<uint8_t>& bytes : textures) {
        SCOPED_TRACE(bytes.size());
        OrvEncTexture viaSnappy = textureOf(bytes);
        OrvSnappyCompressor snappyCoder(paramsWithHint(1));
        EXPECT_EQ(snappyCoder.compress(viaSnappy), viaSnappy.compressedSize);
        EXPECT_LE(viaSnappy.compressedSize, viaSnappy.compressed->size);
        EXPECT_EQ(snappyDecode(viaSnappy, bytes.size()), bytes);

        OrvEncTexture viaLZ4 = textureOf(bytes);
        OrvLZ4Compressor lz4Coder(paramsWithHint(1));
        EXPECT_EQ(lz4Coder.compress(viaLZ4), viaLZ4.compressedSize);
        EXPECT_LE(viaLZ4.compressedSize, viaLZ4.compressed->size);
        EXPECT_EQ(lz4Decode(viaLZ4), bytes);
    }
}

TEST(CodedCompressors, AllZeroTextureShrinks) {
    const std::vector<uint8_t> zeroes(65536, 0);
    OrvEncTexture viaSnappy = textureOf(zeroes);
    OrvSnappyCompressor(paramsWithHint(1)).compress(viaSnappy);
    EXPECT_LT(viaSnappy.compressedSize, zeroes.size() / 10);

    OrvEncTexture viaLZ4 = textureOf(zeroes);
    OrvLZ4Compressor(paramsWithHint(1)).compress(viaLZ4);
    EXPECT_LT(viaLZ4.compressedSize, zeroes.size() / 10);
}

TEST(CodedCompressors, RandomTextureThatGrowsIsStoredAsItComes) {
    // No fallback to the raw blocks: a reader decodes every texture of the
    // stream with the stream's one coder.
    const std::vector<uint8_t> noise = randomBytes(4096, 3);
    OrvEncTexture viaSnappy = textureOf(noise);
    OrvSnappyCompressor(paramsWithHint(1)).compress(viaSnappy);
    EXPECT_GT(viaSnappy.compressedSize, noise.size());
    EXPECT_EQ(snappyDecode(viaSnappy, noise.size()), noise);

    OrvEncTexture viaLZ4 = textureOf(noise);
    OrvLZ4Compressor(paramsWithHint(1)).compress(viaLZ4);
    EXPECT_GT(viaLZ4.compressedSize, noise.size());
    EXPECT_EQ(lz4Decode(viaLZ4), noise);
}

// ---- Snappy -----------------------------------------------------------------------

TEST(SnappyCompressor, PayloadIsSnappysRawFormat) {
    const std::vector<uint8_t> bytes = blockLikeBytes(4096);
    OrvEncTexture texture = textureOf(bytes);
    OrvSnappyCompressor(paramsWithHint(1)).compress(texture);

    std::string direct;
    snappy::Compress(reinterpret_cast<const char*>(bytes.data()), bytes.size(), &direct);
    EXPECT_EQ(payloadOf(texture), std::vector<uint8_t>(direct.begin(), direct.end()));
}

TEST(SnappyCompressor, SupportsHintOneOnly) {
    EXPECT_EQ(listOf(OrvSnappyCompressor::supportedCompressionHints()),
              (std::vector<int32_t>{1}));
}

// ---- LZ4 --------------------------------------------------------------------------

TEST(LZ4Compressor, PayloadStartsWithTheLittleEndianTextureSize) {
    OrvEncTexture texture = textureOf(blockLikeBytes(4096));
    OrvLZ4Compressor(paramsWithHint(1)).compress(texture);
    const uint8_t* payload = texture.compressed->data;
    EXPECT_EQ(payload[0], 0x00);
    EXPECT_EQ(payload[1], 0x10);
    EXPECT_EQ(payload[2], 0x00);
    EXPECT_EQ(payload[3], 0x00);

    // Four different bytes: a swapped or shifted prefix shows.
    OrvEncTexture odd = textureOf(std::vector<uint8_t>(0x030208, 0));
    OrvLZ4Compressor(paramsWithHint(0)).compress(odd);
    EXPECT_EQ(std::vector<uint8_t>(odd.compressed->data, odd.compressed->data + 4),
              (std::vector<uint8_t>{0x08, 0x02, 0x03, 0x00}));
}

TEST(LZ4Compressor, HintSelectsTheLevelAndTheBytesAreThatLevelsBlock) {
    const std::vector<uint8_t> bytes = blockLikeBytes(4096);
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
        std::vector<uint8_t> expected = {0x00, 0x10, 0x00, 0x00};
        const std::vector<uint8_t> block = lz4Block(bytes, c.level);
        expected.insert(expected.end(), block.begin(), block.end());
        EXPECT_EQ(texture.compressedSize, 4 + block.size());
        EXPECT_EQ(payloadOf(texture), expected);
    }
}

TEST(LZ4Compressor, BufferHoldsTheWorstCasePlusThePrefix) {
    OrvEncTexture texture = textureOf(randomBytes(4096, 4));
    OrvLZ4Compressor(paramsWithHint(1)).compress(texture);
    EXPECT_EQ(texture.compressed->size, size_t(LZ4_compressBound(4096)) + 4);
}

TEST(LZ4Compressor, CoderRefusalIsCompressionFailed) {
    // LZ4 refuses what it cannot bound; the record claims such a size while the
    // buffer is small, the only cheap way to make the coder say no.
    OrvEncTexture texture = textureOf(blockLikeBytes(4096));
    texture.encodedSize = 0x7F000000;
    try {
        OrvLZ4Compressor(paramsWithHint(1)).compress(texture);
        ADD_FAILURE() << "a refused block was accepted";
    } catch (const OrvException& e) {
        EXPECT_STREQ(e.what(), "compression failed");
        EXPECT_EQ(e.code, 13u);
    }
}

TEST(LZ4Compressor, SupportsHintsZeroToTwo) {
    EXPECT_EQ(listOf(OrvLZ4Compressor::supportedCompressionHints()),
              (std::vector<int32_t>{0, 1, 2}));
}

// ---- Failures ---------------------------------------------------------------------

TEST(CodedCompressors, NoOutputBufferMeansTheCoderDoesNotRun) {
    OrvSnappyCompressor snappyCoder(paramsWithHint(1));
    OrvLZ4Compressor lz4Coder(paramsWithHint(1));
    OrvEncSecondaryCompressor* coders[] = {&snappyCoder, &lz4Coder};
    for (OrvEncSecondaryCompressor* coder : coders) {
        OrvEncTexture texture = textureOf(blockLikeBytes(4096));
        const SharedBuffer previous = allocSharedBuffer(8);
        texture.compressed = previous;
        texture.compressedSize = 8;
        {
            const AllocationFailureGuard failNext(0);
            try {
                coder->compress(texture);
                ADD_FAILURE() << "compressed without an output buffer";
            } catch (const OrvException& e) {
                EXPECT_STREQ(e.what(), "failed to allocate memory");
                EXPECT_EQ(e.code, 13u);
            }
        }
        EXPECT_EQ(texture.compressed, previous);
        EXPECT_EQ(texture.compressedSize, 8u);
    }
}

TEST(CodedCompressorsDeathTest, MissingBlocksAreAnInternalError) {
    OrvNoneCompressor none;
    OrvSnappyCompressor snappyCoder(paramsWithHint(1));
    OrvLZ4Compressor lz4Coder(paramsWithHint(1));
    OrvEncSecondaryCompressor* coders[] = {&none, &snappyCoder, &lz4Coder};
    for (OrvEncSecondaryCompressor* coder : coders) {
        OrvEncTexture texture;
        texture.encodedSize = 4096;
        EXPECT_DEATH(coder->compress(texture), "tex\\.encoded != nullptr");
    }
}
