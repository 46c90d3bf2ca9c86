#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orvenc_frame.hpp"
#include "orvenc_hap.hpp"
#include "orvwriter.hpp"

using namespace brindle;

namespace {

using Bytes = std::vector<uint8_t>;

// Keeps every write call apart, so that tests see how the bytes were written
// as well as which bytes.
class RecordingSink : public OrvIOSink {
public:
    struct Write {
        const void* data;
        Bytes bytes;
    };

    void write(size_t size, const void* data) override {
        const uint8_t* begin = static_cast<const uint8_t*>(data);
        writes.push_back({data, Bytes(begin, begin + size)});
    }

    Bytes all() const {
        Bytes bytes;
        for (const Write& w : writes) bytes.insert(bytes.end(), w.bytes.begin(), w.bytes.end());
        return bytes;
    }

    uint64_t total() const {
        uint64_t sum = 0;
        for (const Write& w : writes) sum += w.bytes.size();
        return sum;
    }

    std::vector<Write> writes;
};

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
    for (const Bytes& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
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

}  // namespace

// ---- One texture -------------------------------------------------------------------

TEST(HapOneTexture, BC1WithLZ4IsOneShortSection) {
    const OrvEncSlice slice = sliceOf({textureOf(ORV_TEX_FMT_BC1_RGB, ORV_COMPRESSION_LZ4, 1000)});
    const RecordingSink sink = written(slice);

    EXPECT_EQ(OrvHapWriter().size(slice), 1004u);
    ASSERT_EQ(sink.writes.size(), 2u);
    EXPECT_EQ(sink.writes[0].bytes, (Bytes{0xE8, 0x03, 0x00, 0xFB}));
    EXPECT_EQ(sink.writes[1].bytes, payloadOf(slice.textures[0]));
    // The payload goes out straight from the coder's buffer.
    EXPECT_EQ(sink.writes[1].data, slice.textures[0].compressed->data);
}

TEST(HapOneTexture, EveryColourFormatAndMethodHasItsTypeByte) {
    const struct {
        uint32_t format, compression;
        uint8_t type;
    } cases[] = {
        {ORV_TEX_FMT_BC1_RGB, ORV_COMPRESSION_NONE, 0xAB},
        {ORV_TEX_FMT_BC1_RGB, ORV_COMPRESSION_SNAPPY, 0xBB},
        {ORV_TEX_FMT_BC1_RGB, ORV_COMPRESSION_LZ4, 0xFB},
        {ORV_TEX_FMT_BC3_RGBA, ORV_COMPRESSION_NONE, 0xAE},
        {ORV_TEX_FMT_BC3_RGBA, ORV_COMPRESSION_SNAPPY, 0xBE},
        {ORV_TEX_FMT_BC3_RGBA, ORV_COMPRESSION_LZ4, 0xFE},
        {ORV_TEX_FMT_BC3_YCOGR, ORV_COMPRESSION_NONE, 0xAF},
        {ORV_TEX_FMT_BC3_YCOGR, ORV_COMPRESSION_SNAPPY, 0xBF},
        {ORV_TEX_FMT_BC3_YCOGR, ORV_COMPRESSION_LZ4, 0xFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "format " << c.format << ", method " << c.compression);
        const OrvEncSlice slice = sliceOf({textureOf(c.format, c.compression, 5)});
        const RecordingSink sink = written(slice);
        EXPECT_EQ(sink.all(), concat({{0x05, 0x00, 0x00, c.type}, payloadOf(slice.textures[0])}));
    }
}

TEST(HapOneTexture, EmptyPayloadIsAHeaderAlone) {
    const OrvEncSlice slice = sliceOf({textureOf(ORV_TEX_FMT_BC3_RGBA, ORV_COMPRESSION_NONE, 0)});
    const RecordingSink sink = written(slice);
    EXPECT_EQ(sink.all(), (Bytes{0x00, 0x00, 0x00, 0xAE}));
}

// ---- Texture sections ---------------------------------------------------------------

TEST(HapTextureSection, EveryFormatAndMethodHasItsTypeByte) {
    // Written as a table so that a swapped nibble shows; BC4 alpha is only
    // reachable through writeTexture on its own.
    const uint8_t expected[4][3] = {
        {0xAB, 0xBB, 0xFB}, {0xAE, 0xBE, 0xFE}, {0xAF, 0xBF, 0xFF}, {0xA1, 0xB1, 0xF1}};
    const OrvHapWriter hap;
    for (uint32_t format = 0; format < 4; ++format) {
        for (uint32_t compression = 0; compression < 3; ++compression) {
            SCOPED_TRACE(testing::Message() << "format " << format << ", method " << compression);
            const OrvEncTexture texture = textureOf(format, compression, 3);
            RecordingSink sink;
            hap.writeTexture(texture, sink);
            ASSERT_EQ(sink.writes.size(), 2u);
            EXPECT_EQ(sink.writes[0].bytes, (Bytes{0x03, 0x00, 0x00, expected[format][compression]}));
            EXPECT_EQ(sink.writes[1].bytes, payloadOf(texture));
            EXPECT_EQ(hap.mapPixelFormat(format) | hap.mapCompressionMethod(compression),
                      expected[format][compression]);
        }
    }
}

TEST(HapTextureSection, NibbleMappings) {
    const OrvHapWriter hap;
    EXPECT_EQ(hap.mapPixelFormat(ORV_TEX_FMT_BC1_RGB), 0x0B);
    EXPECT_EQ(hap.mapPixelFormat(ORV_TEX_FMT_BC3_RGBA), 0x0E);
    EXPECT_EQ(hap.mapPixelFormat(ORV_TEX_FMT_BC3_YCOGR), 0x0F);
    EXPECT_EQ(hap.mapPixelFormat(ORV_TEX_FMT_BC4_ALPHA), 0x01);
    EXPECT_EQ(hap.mapCompressionMethod(ORV_COMPRESSION_NONE), 0xA0);
    EXPECT_EQ(hap.mapCompressionMethod(ORV_COMPRESSION_SNAPPY), 0xB0);
    EXPECT_EQ(hap.mapCompressionMethod(ORV_COMPRESSION_LZ4), 0xF0);
}

// ---- Two textures -----------------------------------------------------------------------

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
        ASSERT_EQ(sink.writes.size(), 5u);
        EXPECT_EQ(sink.writes[0].bytes.size(), 4u);
        EXPECT_EQ(sink.writes[1].bytes.size(), 4u);
        EXPECT_EQ(sink.writes[3].bytes.size(), 4u);
    }
}

// ---- Header forms -------------------------------------------------------------------------

TEST(HapSectionHeader, SectionSizeSwitchesToTheLongHeaderAbove0xFFFFFF) {
    const OrvHapWriter hap;
    EXPECT_EQ(hap.sectionSize(0), 4u);
    EXPECT_EQ(hap.sectionSize(1000), 1004u);
    EXPECT_EQ(hap.sectionSize(0xFFFFFF), 0x1000003u);
    EXPECT_EQ(hap.sectionSize(0x1000000), 0x1000008u);
    EXPECT_EQ(hap.sectionSize(0xFFFFFFFF), 0x100000007u);
}

TEST(HapSectionHeader, ShortAndLongFormsAreEachOneWrite) {
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
    const OrvHapWriter hap;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        RecordingSink sink;
        hap.writeSectionHeader(c.type, c.length, sink);
        ASSERT_EQ(sink.writes.size(), 1u);
        EXPECT_EQ(sink.writes[0].bytes, c.bytes);
    }
}

TEST(HapSectionHeader, LargestShortAndSmallestLongTexturesAreWrittenAsAnnounced) {
    const OrvEncSlice shortest =
        sliceOf({textureOf(ORV_TEX_FMT_BC1_RGB, ORV_COMPRESSION_NONE, 0xFFFFFF)});
    const RecordingSink shortSink = written(shortest);
    EXPECT_EQ(OrvHapWriter().size(shortest), 0x1000003u);
    ASSERT_EQ(shortSink.writes.size(), 2u);
    EXPECT_EQ(shortSink.writes[0].bytes, (Bytes{0xFF, 0xFF, 0xFF, 0xAB}));
    EXPECT_EQ(shortSink.writes[1].bytes.size(), 0xFFFFFFu);

    const OrvEncSlice longest =
        sliceOf({textureOf(ORV_TEX_FMT_BC1_RGB, ORV_COMPRESSION_LZ4, 0x1000000)});
    const RecordingSink longSink = written(longest);
    EXPECT_EQ(OrvHapWriter().size(longest), 0x1000008u);
    ASSERT_EQ(longSink.writes.size(), 2u);
    EXPECT_EQ(longSink.writes[0].bytes, (Bytes{0x00, 0x00, 0x00, 0xFB, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(longSink.writes[1].bytes, payloadOf(longest.textures[0]));
}

TEST(HapSectionHeader, MultipleImageSectionTakesTheLongFormWhenItsSectionsNeedIt) {
    // 0x800000 + 4 and 0x7FFFF8 + 4 bytes: exactly 0x1000000 inside, so the
    // outer header is long while both inner ones are short.
    const OrvEncSlice slice =
        sliceOf({textureOf(ORV_TEX_FMT_BC3_YCOGR, ORV_COMPRESSION_SNAPPY, 0x800000),
                 textureOf(ORV_TEX_FMT_BC4_ALPHA, ORV_COMPRESSION_SNAPPY, 0x7FFFF8)});
    const RecordingSink sink = written(slice);
    EXPECT_EQ(OrvHapWriter().size(slice), 0x1000008u);
    ASSERT_EQ(sink.writes.size(), 5u);
    EXPECT_EQ(sink.writes[0].bytes, (Bytes{0x00, 0x00, 0x00, 0x0D, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(sink.writes[1].bytes, (Bytes{0x00, 0x00, 0x80, 0xBF}));
    EXPECT_EQ(sink.writes[3].bytes, (Bytes{0xF8, 0xFF, 0x7F, 0xB1}));

    // One byte less and everything fits the short form.
    const OrvEncSlice smaller =
        sliceOf({textureOf(ORV_TEX_FMT_BC3_YCOGR, ORV_COMPRESSION_SNAPPY, 0x800000),
                 textureOf(ORV_TEX_FMT_BC4_ALPHA, ORV_COMPRESSION_SNAPPY, 0x7FFFF7)});
    const RecordingSink smallerSink = written(smaller);
    EXPECT_EQ(OrvHapWriter().size(smaller), 0x1000003u);
    EXPECT_EQ(smallerSink.writes[0].bytes, (Bytes{0xFF, 0xFF, 0xFF, 0x0D}));
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

// ---- Internal errors ---------------------------------------------------------------------

TEST(HapDeathTest, SlicesThatThePipelineNeverProducesStopTheProcess) {
    const OrvHapWriter hap;
    RecordingSink sink;

    OrvEncSlice incomplete = sliceOf({textureOf(ORV_TEX_FMT_BC1_RGB, ORV_COMPRESSION_LZ4, 8)});
    incomplete.completedTextures = 0;
    EXPECT_DEATH(hap.write(incomplete, sink), "slice\\.isCompleted\\(\\)");

    OrvEncSlice three = sliceOf({textureOf(ORV_TEX_FMT_BC3_YCOGR, ORV_COMPRESSION_LZ4, 8),
                                 textureOf(ORV_TEX_FMT_BC4_ALPHA, ORV_COMPRESSION_LZ4, 8)});
    three.numTextures = 3;
    three.completedTextures = 3;
    EXPECT_DEATH(hap.write(three, sink),
                 "slice\\.numTextures == 1 \\|\\| slice\\.numTextures == 2");
    EXPECT_DEATH(hap.size(three), "too many images for a frame");
    OrvEncSlice none;
    EXPECT_DEATH(hap.size(none), "too many images for a frame");

    const OrvEncSlice lonelyAlpha =
        sliceOf({textureOf(ORV_TEX_FMT_BC4_ALPHA, ORV_COMPRESSION_LZ4, 8)});
    EXPECT_DEATH(hap.write(lonelyAlpha, sink),
                 "slice\\.textures\\[0\\]\\.format != ORV_TEX_FMT_BC4_ALPHA");

    const OrvEncSlice wrongPair = sliceOf({textureOf(ORV_TEX_FMT_BC3_RGBA, ORV_COMPRESSION_LZ4, 8),
                                           textureOf(ORV_TEX_FMT_BC4_ALPHA, ORV_COMPRESSION_LZ4, 8)});
    EXPECT_DEATH(hap.write(wrongPair, sink),
                 "slice\\.textures\\[0\\]\\.format == ORV_TEX_FMT_BC3_YCOGR && "
                 "slice\\.textures\\[1\\]\\.format == ORV_TEX_FMT_BC4_ALPHA");
}

TEST(HapDeathTest, UnknownMethodIsCheckedBeforeUnknownFormat) {
    const OrvHapWriter hap;
    RecordingSink sink;
    EXPECT_DEATH(hap.writeTexture(textureOf(9, 3, 8), sink), "unknown compression method");
    EXPECT_DEATH(hap.writeTexture(textureOf(4, ORV_COMPRESSION_LZ4, 8), sink),
                 "unknown pixel format");
    EXPECT_DEATH(hap.mapCompressionMethod(3), "unknown compression method");
    EXPECT_DEATH(hap.mapPixelFormat(4), "unknown pixel format");
}
