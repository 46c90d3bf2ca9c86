// Buffer sizes of textures and source pictures: whole blocks only, 32-bit
// results that wrap as documented, and unknown formats refused.
#include <gtest/gtest.h>

#include "test_support.hpp"
#include "texture_formats.hpp"

using namespace brindle;

TEST(BufferSizes, WholeBlocksOrPixelsTimesTheirBytesIn32BitsAndUnknownFormatsRefused) {
    const struct { OrvTexFmt format; unsigned width, height; uint32_t bytes; } textures[] = {
        {ORV_TEX_FMT_BC1_RGB, 1920, 1080, 1036800}, {ORV_TEX_FMT_BC3_RGBA, 1920, 1080, 2073600},
        {ORV_TEX_FMT_BC3_YCOGR, 6, 6, 16}, {ORV_TEX_FMT_BC4_ALPHA, 6, 6, 8}, {ORV_TEX_FMT_BC1_RGB, 3, 100, 0},
        {ORV_TEX_FMT_BC1_RGB, 1920, 0, 0}, {ORV_TEX_FMT_BC3_RGBA, 65536, 65536, 0}};  // 2^32 wraps to 0
    for (const auto& t : textures)
        EXPECT_EQ(orvTexBufferSize(t.format, t.width, t.height), t.bytes) << t.format;
    const uint32_t bytesPerPixel[] = {3, 4, 3, 4, 12, 16};  // by OrvSrcPixFmt_enum
    for (uint32_t f = 0; f < 6; ++f)
        EXPECT_EQ(orvSrcBufferSize(static_cast<OrvSrcPixFmt_enum>(f), 2, 3), 6 * bytesPerPixel[f]);
    EXPECT_EQ(orvSrcBufferSize(ORV_SRC_PIX_FMT_RGBA32, 65536, 16384), 0u);
    EXPECT_EQ(srcBytesPerPixel(6) + srcBytesPerPixel(0xFFFFFFFFu), 0u);
    orvtest::expectOrvError([] { orvTexBufferSize(static_cast<OrvTexFmt>(4), 4, 4); }, 13,
                            "unknown texture format");
    orvtest::expectOrvError([] { orvSrcBufferSize(static_cast<OrvSrcPixFmt_enum>(6), 4, 4); }, 13,
                            "unknown source pixel format");
}
