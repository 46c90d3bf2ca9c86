// Hap frame packaging: section headers in their short and long forms, the
// type bytes, the multiple-image section of YCoCg with alpha, and size()
// announcing exactly the bytes written.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orvenc_frame.hpp"
#include "orvenc_hap.hpp"
#include "orvwriter.hpp"
#include "test_support.hpp"

using namespace brindle;
using orvtest::Bytes;
using orvtest::RecordingSink;

namespace {

constexpr uint8_t canary = 0xCC;

// A finished texture whose payload is `size` bytes of a counting pattern. The
// buffer is larger, as a coder's worst-case buffer is, and its tail is a
// canary that must never be written.
OrvEncTexture textureOf(uint32_t format, uint32_t compression, size_t size, uint8_t seed = 0) {
    OrvEncTexture texture;
    texture.format = format;
    texture.compression = compression;
    texture.compressed = allocSharedBuffer(size + 16);
    for (size_t i = 0; i < size; ++i)
        texture.compressed->data[i] = static_cast<uint8_t>(seed + i * 13 + 1);
    std::memset(texture.compressed->data + size, canary, 16);
    texture.compressedSize = size;
    return texture;
}

Bytes payloadOf(const OrvEncTexture& texture) {
    return Bytes(texture.compressed->data, texture.compressed->data + texture.compressedSize);
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes bytes;
    for (const Bytes& part : parts) orvtest::append(bytes, part);
    return bytes;
}

OrvEncSlice sliceOf(std::initializer_list<OrvEncTexture> textures) {
    OrvEncSlice slice;
    for (const OrvEncTexture& texture : textures) slice.textures[slice.numTextures++] = texture;
    slice.completedTextures = slice.numTextures;
    return slice;
}

// Writes the slice and checks that size() announced exactly what came out.
RecordingSink written(const OrvEncSlice& slice) {
    const OrvHapWriter hap;
    RecordingSink sink;
    hap.write(slice, sink);
    EXPECT_EQ(hap.size(slice), sink.total());
    return sink;
}

std::vector<size_t> writeSizes(const RecordingSink& sink) {
    std::vector<size_t> sizes;
    for (const auto& w : sink.writes) sizes.push_back(w.bytes.size());
    return sizes;
}

}  // namespace

TEST(HapOneTexture, EveryFormatAndMethodIsOneShortSectionWithItsTypeByteFromTheCodersBuffer) {
    // Written as a table so that a swapped nibble shows; BC4 alpha is only
    // reachable through writeTexture on its own.
    const uint8_t expected[4][3] = {
        {0xAB, 0xBB, 0xFB}, {0xAE, 0xBE, 0xFE}, {0xAF, 0xBF, 0xFF}, {0xA1, 0xB1, 0xF1}};
    for (uint32_t format = 0; format < 4; ++format) {
        for (uint32_t compression = 0; compression < 3; ++compression) {
            SCOPED_TRACE(testing::Message() << "format " << format << ", method " << compression);
            const OrvEncTexture texture = textureOf(format, compression, 1000);
            RecordingSink sink;
            if (format == ORV_TEX_FMT_BC4_ALPHA)
                OrvHapWriter().writeTexture(texture, sink);
            else
                sink = written(sliceOf({texture}));
            ASSERT_EQ(writeSizes(sink), (std::vector<size_t>{4, 1000}));
            EXPECT_EQ(sink.writes[0].bytes, (Bytes{0xE8, 0x03, 0x00, expected[format][compression]}));
            EXPECT_EQ(sink.writes[1].bytes, payloadOf(texture));
            EXPECT_EQ(sink.writes[1].data, texture.compressed->data) << "the payload was copied";
        }
    }
    // An empty payload is a header alone.
    EXPECT_EQ(written(sliceOf({textureOf(ORV_TEX_FMT_BC3_RGBA, ORV_COMPRESSION_NONE, 0)})).all(),
              (Bytes{0x00, 0x00, 0x00, 0xAE}));
}

TEST(HapTwoTextures, YCoCgAndAlphaShareOneMultipleImageSectionLongOnlyWhenItsSectionsNeedIt) {
    // The last two: 0x800000 + 4 and 0x7FFFF8 + 4 bytes are exactly 0x1000000
    // inside, so the outer header is long while both inner ones are short;
    // one byte less and everything fits the short form.
    const struct {
        uint32_t compression;
        size_t colourSize, alphaSize;
        Bytes outer, colourHeader, alphaHeader;
    } cases[] = {
        {ORV_COMPRESSION_SNAPPY, 100, 50, {0x9E, 0, 0, 0x0D}, {0x64, 0, 0, 0xBF}, {0x32, 0, 0, 0xB1}},
        {ORV_COMPRESSION_LZ4, 100, 50, {0x9E, 0, 0, 0x0D}, {0x64, 0, 0, 0xFF}, {0x32, 0, 0, 0xF1}},
        {ORV_COMPRESSION_NONE, 100, 50, {0x9E, 0, 0, 0x0D}, {0x64, 0, 0, 0xAF}, {0x32, 0, 0, 0xA1}},
        {ORV_COMPRESSION_SNAPPY, 0x800000, 0x7FFFF8, {0, 0, 0, 0x0D, 0, 0, 0, 0x01}, {0, 0, 0x80, 0xBF},
         {0xF8, 0xFF, 0x7F, 0xB1}},
        {ORV_COMPRESSION_SNAPPY, 0x800000, 0x7FFFF7, {0xFF, 0xFF, 0xFF, 0x0D}, {0, 0, 0x80, 0xBF},
         {0xF7, 0xFF, 0x7F, 0xB1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "method " << c.compression << ", alpha " << c.alphaSize);
        const OrvEncSlice slice = sliceOf({textureOf(ORV_TEX_FMT_BC3_YCOGR, c.compression, c.colourSize, 0),
                                           textureOf(ORV_TEX_FMT_BC4_ALPHA, c.compression, c.alphaSize, 99)});
        const RecordingSink sink = written(slice);
        EXPECT_EQ(sink.all(), concat({c.outer, c.colourHeader, payloadOf(slice.textures[0]), c.alphaHeader,
                                      payloadOf(slice.textures[1])}));
        // One write per header, one per payload.
        EXPECT_EQ(writeSizes(sink), (std::vector<size_t>{c.outer.size(), 4, c.colourSize, 4, c.alphaSize}));
    }
}

TEST(HapSectionHeader, LongFormStartsAbove0xFFFFFFAndEachFormIsOneWrite) {
    // Smaller lengths show through size() in the other tests.
    const OrvHapWriter hap;
    EXPECT_EQ(hap.sectionSize(0xFFFFFFFF), 0x100000007u);
    const struct {
        uint8_t type;
        uint32_t length;
        Bytes bytes;
    } cases[] = {
        {0xFB, 0, {0x00, 0x00, 0x00, 0xFB}},
        {0xBF, 0x123456, {0x56, 0x34, 0x12, 0xBF}},
        {0xFB, 0xFFFFFF, {0xFF, 0xFF, 0xFF, 0xFB}},
        {0xFB, 0x1000000, {0x00, 0x00, 0x00, 0xFB, 0x00, 0x00, 0x00, 0x01}},
        {0x0D, 0xDEADBEEF, {0x00, 0x00, 0x00, 0x0D, 0xEF, 0xBE, 0xAD, 0xDE}},
        {0xA1, 0xFFFFFFFF, {0x00, 0x00, 0x00, 0xA1, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : cases) {
        RecordingSink sink;
        hap.writeSectionHeader(c.type, c.length, sink);
        ASSERT_EQ(sink.writes.size(), 1u) << c.length;
        EXPECT_EQ(sink.writes[0].bytes, c.bytes) << c.length;
    }
}

TEST(HapSectionHeader, LargestShortAndSmallestLongTexturesAreWrittenAsAnnounced) {
    const struct {
        size_t size;
        Bytes header;
    } cases[] = {{0xFFFFFF, {0xFF, 0xFF, 0xFF, 0xFB}},
                 {0x1000000, {0x00, 0x00, 0x00, 0xFB, 0x00, 0x00, 0x00, 0x01}}};
    for (const auto& c : cases) {
        const OrvEncSlice slice = sliceOf({textureOf(ORV_TEX_FMT_BC1_RGB, ORV_COMPRESSION_LZ4, c.size)});
        const RecordingSink sink = written(slice);  // as size() announced
        EXPECT_EQ(sink.all(), concat({c.header, payloadOf(slice.textures[0])}));
        EXPECT_EQ(writeSizes(sink), (std::vector<size_t>{c.header.size(), c.size}));
    }
}

TEST(HapSize, AnnouncesLongSectionsWithoutTheirData) {
    // size() reads only the compressed sizes; no 4 GiB buffers needed.
    OrvEncSlice one;
    one.numTextures = 1;
    one.textures[0].compressedSize = 0xFFFFFFF0;
    EXPECT_EQ(OrvHapWriter().size(one), 0xFFFFFFF8u);
    OrvEncSlice two;
    two.numTextures = 2;
    two.textures[0].compressedSize = 0x1000000;
    two.textures[1].compressedSize = 10;
    EXPECT_EQ(OrvHapWriter().size(two), 0x1000008u + 14 + 8);
}

// Assertions guard the pipeline's own invariants; one stands for them all.
TEST(HapDeathTest, IncompleteSliceStopsTheProcess) {
    OrvEncSlice incomplete = sliceOf({textureOf(ORV_TEX_FMT_BC1_RGB, ORV_COMPRESSION_LZ4, 8)});
    incomplete.completedTextures = 0;
    RecordingSink sink;
    EXPECT_DEATH(OrvHapWriter().write(incomplete, sink), "slice\\.isCompleted\\(\\)");
}
