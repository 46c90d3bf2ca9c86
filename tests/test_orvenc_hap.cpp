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

// ---- Texture sections ----------------------------------------------------------

TEST(HapOneTexture, BC1WithLZ4IsOneShortSectionWrittenFromTheCodersBuffer) {
    const OrvEncSlice slice = sliceOf({textureOf(ORV_TEX_FMT_BC1_RGB, ORV_COMPRESSION_LZ4, 1000)});
    const RecordingSink sink = written(slice);
    EXPECT_EQ(OrvHapWriter().size(slice), 1004u);
    ASSERT_EQ(sink.writes.size(), 2u);
    EXPECT_EQ(sink.writes[0].bytes, (Bytes{0xE8, 0x03, 0x00, 0xFB}));
    EXPECT_EQ(sink.writes[1].bytes, payloadOf(slice.textures[0]));
    EXPECT_EQ(sink.writes[1].data, slice.textures[0].compressed->data);
}

TEST(HapOneTexture, EveryFormatAndMethodHasItsTypeByte) {
    // Written as a table so that a swapped nibble shows; BC4 alpha is only
    // reachable through writeTexture on its own.
    const uint8_t expected[4][3] = {
        {0xAB, 0xBB, 0xFB}, {0xAE, 0xBE, 0xFE}, {0xAF, 0xBF, 0xFF}, {0xA1, 0xB1, 0xF1}};
    for (uint32_t format = 0; format < 4; ++format) {
        for (uint32_t compression = 0; compression < 3; ++compression) {
            SCOPED_TRACE(testing::Message() << "format " << format << ", method " << compression);
            const OrvEncTexture texture = textureOf(format, compression, 5);
            RecordingSink sink;
            if (format == ORV_TEX_FMT_BC4_ALPHA)
                OrvHapWriter().writeTexture(texture, sink);
            else
                sink = written(sliceOf({texture}));
            EXPECT_EQ(writeSizes(sink), (std::vector<size_t>{4, 5}));
            EXPECT_EQ(sink.all(), concat({{0x05, 0x00, 0x00, expected[format][compression]},
                                          payloadOf(texture)}));
        }
    }
    // An empty payload is a header alone.
    EXPECT_EQ(written(sliceOf({textureOf(ORV_TEX_FMT_BC3_RGBA, ORV_COMPRESSION_NONE, 0)})).all(),
              (Bytes{0x00, 0x00, 0x00, 0xAE}));
}

TEST(HapTwoTextures, YCoCgAndAlphaShareOneMultipleImageSection) {
    const struct {
        uint32_t compression;
        uint8_t colourType, alphaType;
    } cases[] = {
        {ORV_COMPRESSION_SNAPPY, 0xBF, 0xB1},
        {ORV_COMPRESSION_LZ4, 0xFF, 0xF1},
        {ORV_COMPRESSION_NONE, 0xAF, 0xA1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.compression);
        const OrvEncSlice slice =
            sliceOf({textureOf(ORV_TEX_FMT_BC3_YCOGR, c.compression, 100, 0),
                     textureOf(ORV_TEX_FMT_BC4_ALPHA, c.compression, 50, 99)});
        const RecordingSink sink = written(slice);
        EXPECT_EQ(OrvHapWriter().size(slice), 162u);
        EXPECT_EQ(sink.all(), concat({{0x9E, 0x00, 0x00, 0x0D},
                                      {0x64, 0x00, 0x00, c.colourType},
                                      payloadOf(slice.textures[0]),
                                      {0x32, 0x00, 0x00, c.alphaType},
                                      payloadOf(slice.textures[1])}));
        // One write per header, one per payload.
        EXPECT_EQ(writeSizes(sink), (std::vector<size_t>{4, 4, 100, 4, 50}));
    }
}

// ---- Header forms -------------------------------------------------------------------

TEST(HapSectionHeader, LongFormStartsAbove0xFFFFFFAndEachFormIsOneWrite) {
    // Smaller lengths show through size() in the tests around this one.
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
    const RecordingSink shortSink =
        written(sliceOf({textureOf(ORV_TEX_FMT_BC1_RGB, ORV_COMPRESSION_NONE, 0xFFFFFF)}));
    EXPECT_EQ(writeSizes(shortSink), (std::vector<size_t>{4, 0xFFFFFF}));
    EXPECT_EQ(shortSink.writes[0].bytes, (Bytes{0xFF, 0xFF, 0xFF, 0xAB}));

    const OrvEncSlice longest =
        sliceOf({textureOf(ORV_TEX_FMT_BC1_RGB, ORV_COMPRESSION_LZ4, 0x1000000)});
    const RecordingSink longSink = written(longest);
    EXPECT_EQ(OrvHapWriter().size(longest), 0x1000008u);
    EXPECT_EQ(longSink.all(), concat({{0x00, 0x00, 0x00, 0xFB, 0x00, 0x00, 0x00, 0x01},
                                      payloadOf(longest.textures[0])}));
    EXPECT_EQ(writeSizes(longSink), (std::vector<size_t>{8, 0x1000000}));
}

TEST(HapSectionHeader, MultipleImageSectionTakesTheLongFormWhenItsSectionsNeedIt) {
    // 0x800000 + 4 and 0x7FFFF8 + 4 bytes: exactly 0x1000000 inside, so the
    // outer header is long while both inner ones are short; one byte less
    // and everything fits the short form.
    for (const size_t alphaSize : {0x7FFFF8, 0x7FFFF7}) {
        const OrvEncSlice slice =
            sliceOf({textureOf(ORV_TEX_FMT_BC3_YCOGR, ORV_COMPRESSION_SNAPPY, 0x800000),
                     textureOf(ORV_TEX_FMT_BC4_ALPHA, ORV_COMPRESSION_SNAPPY, alphaSize)});
        const RecordingSink sink = written(slice);
        const bool longForm = alphaSize == 0x7FFFF8;
        EXPECT_EQ(OrvHapWriter().size(slice), longForm ? 0x1000008u : 0x1000003u);
        ASSERT_EQ(sink.writes.size(), 5u);
        EXPECT_EQ(sink.writes[0].bytes,
                  longForm ? (Bytes{0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x01})
                           : (Bytes{0xFF, 0xFF, 0xFF, 0x0D}));
        EXPECT_EQ(sink.writes[1].bytes, (Bytes{0x00, 0x00, 0x80, 0xBF}));
        EXPECT_EQ(sink.writes[3].bytes, (Bytes{static_cast<uint8_t>(alphaSize), 0xFF, 0x7F, 0xB1}));
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
