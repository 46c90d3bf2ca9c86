// Hap frame packaging where the golden files cannot reach: section headers in
// their long form, the multiple-image section of YCoCg with alpha around the
// long form's threshold, payloads written from the coder's buffer without a
// copy, and size() announcing exactly the bytes written.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orvenc_frame.hpp"
#include "orvenc_hap.hpp"
#include "test_support.hpp"

using namespace brindle;
using orvtest::Bytes;
using orvtest::RecordingSink;

namespace {

// A finished texture of `size` counting bytes in a larger buffer, as a
// coder's worst-case buffer is.
OrvEncTexture textureOf(uint32_t format, uint32_t compression, size_t size, uint8_t seed) {
    OrvEncTexture texture;
    texture.format = format;
    texture.compression = compression;
    texture.compressed = allocSharedBuffer(size + 16);
    for (size_t i = 0; i < size; ++i) texture.compressed->data[i] = static_cast<uint8_t>(seed + i * 13 + 1);
    texture.compressedSize = size;
    return texture;
}

}  // namespace

TEST(HapWriter, SectionsTakeTheLongFormAboveTheShortFormsLimitAndSizeAnnouncesThem) {
    // (colour, alpha) payload sizes; alpha 0 is a slice of one texture. The
    // 0x800000 + 0x7FFFF8 pair is exactly 0x1000000 inside with eight header
    // bytes, so the outer header is long while both inner ones are short.
    const struct {
        size_t colour, alpha;
        Bytes headers;  // outer (or only), colour, alpha
    } cases[] = {
        {0xFFFFFF, 0, {0xFF, 0xFF, 0xFF, 0xBF}},
        {0x1000000, 0, {0, 0, 0, 0xBF, 0, 0, 0, 0x01}},
        {0x800000, 0x7FFFF8, {0, 0, 0, 0x0D, 0, 0, 0, 0x01, 0, 0, 0x80, 0xBF, 0xF8, 0xFF, 0x7F, 0xB1}},
        {0x800000, 0x7FFFF7, {0xFF, 0xFF, 0xFF, 0x0D, 0, 0, 0x80, 0xBF, 0xF7, 0xFF, 0x7F, 0xB1}},
        {100, 50, {0x9E, 0, 0, 0x0D, 0x64, 0, 0, 0xBF, 0x32, 0, 0, 0xB1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.colour << " + " << c.alpha);
        OrvEncSlice slice;
        slice.textures[slice.numTextures++] = textureOf(ORV_TEX_FMT_BC3_YCOGR, ORV_COMPRESSION_SNAPPY, c.colour, 0);
        if (c.alpha) slice.textures[slice.numTextures++] = textureOf(ORV_TEX_FMT_BC4_ALPHA, ORV_COMPRESSION_SNAPPY, c.alpha, 99);
        slice.completedTextures = slice.numTextures;
        const OrvHapWriter hap;
        RecordingSink sink;
        hap.write(slice, sink);
        EXPECT_EQ(hap.size(slice), sink.total());
        // One write per header, the payloads straight from the coder's buffers.
        const size_t outer = sink.writes[0].bytes.size(), inner = c.alpha ? 4 : 0;
        ASSERT_EQ(sink.writes.size(), c.alpha ? 5u : 2u);
        Bytes headers = sink.writes[0].bytes;
        for (uint32_t t = 0; t < slice.numTextures; ++t) {
            const auto& [data, bytes] = sink.writes[1 + (inner ? 2 * t + 1 : 0)];
            EXPECT_EQ(data, slice.textures[t].compressed->data) << "the payload was copied";
            EXPECT_EQ(bytes.size(), slice.textures[t].compressedSize);
            if (inner) orvtest::append(headers, sink.writes[1 + 2 * t].bytes);
        }
        EXPECT_EQ(headers, c.headers) << outer;
    }
    // Sizes alone, without 4 GiB buffers.
    EXPECT_EQ(OrvHapWriter().sectionSize(0xFFFFFFFF), 0x100000007u);
    OrvEncSlice two;
    two.numTextures = 2;
    two.textures[0].compressedSize = 0xFFFFFFF0;
    two.textures[1].compressedSize = 10;
    EXPECT_EQ(OrvHapWriter().size(two), uint64_t{0xFFFFFFF8} + 14 + 8);
    RecordingSink sink;
    OrvHapWriter().writeSectionHeader(0x0D, 0xDEADBEEF, sink);
    EXPECT_EQ(sink.all(), (Bytes{0x00, 0x00, 0x00, 0x0D, 0xEF, 0xBE, 0xAD, 0xDE}));
}
