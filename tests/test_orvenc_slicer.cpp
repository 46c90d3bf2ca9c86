// The slice grid: each side cut into the fewest slices of at most 3072
// pixels in whole blocks. What the slicer copies into each slice (padding,
// flips, strides) is checked texture by texture in test_encoder_files.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "orvenc_slicer.hpp"
#include "test_support.hpp"

namespace {

// Slice width and height, columns and rows.
std::array<uint32_t, 4> grid(uint32_t width, uint32_t height) {
    OrvVideoStreamParams_st params{};
    params.width = width;
    params.height = height;
    const brindle::OrvSliceLayout l = brindle::orvPickSliceLayout(params);
    return {l.sliceWidth, l.sliceHeight, l.numColumns, l.numRows};
}

}  // namespace

TEST(SliceLayout, EachSideIsCutIntoTheFewestWholeBlockSlicesOfAtMost3072) {
    struct Side { uint32_t length, sliceSize, count; };
    const Side sides[] = {
        {1, 4, 1},       {5, 8, 1},       {1921, 1924, 1}, {3071, 3072, 1}, {3072, 1536, 2},
        {3090, 1548, 2}, {5120, 1708, 3}, {7168, 1792, 4}, {16384, 2048, 8},
        {UINT32_MAX, 2048, 2097152},  // the count does not wrap
    };
    for (const Side& side : sides) {
        // Each side follows the rule on its own, whatever the other one is.
        EXPECT_EQ(grid(side.length, 1080), (std::array{side.sliceSize, 1080u, side.count, 1u})) << side.length;
        EXPECT_EQ(grid(7168, side.length), (std::array{1792u, side.sliceSize, 4u, side.count})) << side.length;
    }
    for (uint32_t length = 1; length <= 20000; ++length) {
        const auto [size, unused, count, rows] = grid(length, 4);
        ASSERT_TRUE(size % 4 == 0 && size <= 3072) << length;
        ASSERT_GE(uint64_t{size} * count, length) << length;
        ASSERT_LT(uint64_t{size} * (count - 1), length) << length;
    }
    orvtest::expectOrvError([&] { grid(0, 1080); }, 13, "bad frame dimensions");
    orvtest::expectOrvError([&] { grid(1920, 0); }, 13, "bad frame dimensions");
}
