#include <gtest/gtest.h>

#include "brindle.hpp"
#include "test_support.hpp"
#include "texture_formats.hpp"

using brindle::orvSrcBufferSize;
using brindle::orvTexBufferSize;
using orvtest::expectOrvError;

TEST(TextureBufferSize, CountsWholeBlocksTimesBlockSizeIn32Bits) {
    EXPECT_EQ(orvTexBufferSize(brindle::ORV_TEX_FMT_BC1_RGB, 1920, 1080), 1036800u);
    EXPECT_EQ(orvTexBufferSize(brindle::ORV_TEX_FMT_BC3_RGBA, 1920, 1080), 2073600u);
    EXPECT_EQ(orvTexBufferSize(brindle::ORV_TEX_FMT_BC3_YCOGR, 1920, 1080), 2073600u);
    EXPECT_EQ(orvTexBufferSize(brindle::ORV_TEX_FMT_BC4_ALPHA, 1920, 1080), 1036800u);
    // Partial edge blocks are left out.
    EXPECT_EQ(orvTexBufferSize(brindle::ORV_TEX_FMT_BC1_RGB, 6, 6), 8u);
    EXPECT_EQ(orvTexBufferSize(brindle::ORV_TEX_FMT_BC3_RGBA, 6, 6), 16u);
    EXPECT_EQ(orvTexBufferSize(brindle::ORV_TEX_FMT_BC1_RGB, 3, 100), 0u);
    EXPECT_EQ(orvTexBufferSize(brindle::ORV_TEX_FMT_BC1_RGB, 0, 1080), 0u);
    EXPECT_EQ(orvTexBufferSize(brindle::ORV_TEX_FMT_BC1_RGB, 1920, 0), 0u);
    // 65536 x 65536 BC3: 2^14 * 2^14 blocks * 16 bytes = 2^32, which wraps to 0.
    EXPECT_EQ(orvTexBufferSize(brindle::ORV_TEX_FMT_BC3_RGBA, 65536, 65536), 0u);
    for (uint32_t fmt : {4u, 0xFFFFFFFFu})
        expectOrvError([&] { orvTexBufferSize(static_cast<brindle::OrvTexFmt>(fmt), 4, 4); }, 13,
                       "unknown texture format");
}

TEST(SourceBufferSize, UsesTheBytesPerPixelOfEachLayout) {
    EXPECT_EQ(orvSrcBufferSize(ORV_SRC_PIX_FMT_RGB24, 2, 2), 12u);
    EXPECT_EQ(orvSrcBufferSize(ORV_SRC_PIX_FMT_RGBA32, 2, 2), 16u);
    EXPECT_EQ(orvSrcBufferSize(ORV_SRC_PIX_FMT_BGR24, 2, 2), 12u);
    EXPECT_EQ(orvSrcBufferSize(ORV_SRC_PIX_FMT_BGRA32, 4, 4), 64u);
    EXPECT_EQ(orvSrcBufferSize(ORV_SRC_PIX_FMT_RGB96, 2, 2), 48u);
    EXPECT_EQ(orvSrcBufferSize(ORV_SRC_PIX_FMT_RGBA128, 2, 2), 64u);
    EXPECT_EQ(orvSrcBufferSize(ORV_SRC_PIX_FMT_RGBA32, 0, 1080), 0u);
    // 4 * 65536 * 16384 = 2^32 wraps to 0.
    EXPECT_EQ(orvSrcBufferSize(ORV_SRC_PIX_FMT_RGBA32, 65536, 16384), 0u);
    expectOrvError([] { orvSrcBufferSize(static_cast<OrvSrcPixFmt_enum>(6), 4, 4); }, 13,
                   "unknown source pixel format");
    // Values that name no layout have no bytes per pixel.
    EXPECT_EQ(brindle::srcBytesPerPixel(6), 0u);
    EXPECT_EQ(brindle::srcBytesPerPixel(0xFFFFFFFFu), 0u);
}
