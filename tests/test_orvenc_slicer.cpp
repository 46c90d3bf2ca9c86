// The slice grid: each side cut into the fewest slices of at most 3072
// pixels in whole blocks; and rows read from their 64-bit offsets in frames
// beyond 4 GiB. What the slicer copies into each slice (padding, flips,
// strides) is checked texture by texture in test_encoder_files, the refusal
// of an empty side through the video stream in test_orvenc_video.

#include <array>

#include "orvenc_slicer.hpp"
#include "test_support.hpp"

namespace {

// Slice width and height, columns and rows.
std::array<uint32_t, 4> grid(uint32_t width, uint32_t height) {
    const brindle::OrvSliceLayout l = brindle::orvPickSliceLayout(orvtest::videoParams(width, height));
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
        EXPECT_EQ(grid(side.length, 1080), (std::array{side.sliceSize, 1080u, side.count, 1u}))
            << side.length;
        EXPECT_EQ(grid(7168, side.length), (std::array{1792u, side.sliceSize, 4u, side.count}))
            << side.length;
    }
    for (uint32_t length = 1; length <= 20000; ++length) {
        const auto [size, unused, count, rows] = grid(length, 4);
        ASSERT_TRUE(size % 4 == 0 && size <= 3072) << length;
        ASSERT_GE(uint64_t{size} * count, length) << length;
        ASSERT_LT(uint64_t{size} * (count - 1), length) << length;
    }
}

TEST(FillSlice, RowsBeyondFourGiBAreReadFromTheirOwnOffset) {
    // 65538 rows of 64 KiB, reserved, not committed: only the touched pages
    // take memory. Rows 0 and 1 stay zero, so an offset that wrapped onto them shows.
    constexpr size_t stride = 65536, rows = 65538, bytes = stride * rows;
    void* mapping =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
    auto* src = static_cast<uint8_t*>(mapping);
    src[65536 * stride + 16] = 1;
    src[65537 * stride + 16] = 2;
    for (const bool bottomUp : {false, true}) {
        // Top-down, picture rows 65536 and 65537; bottom-up, the same memory rows are picture rows 1 and 0.
        const brindle::OrvPictureRows picture{src, stride, 24, rows, 4, bottomUp};
        uint8_t dst[32] = {};
        brindle::OrvEncSlicer::fillSlice(picture, 16, bottomUp ? 0 : 65536, 16, 2, dst);
        EXPECT_EQ(dst[0] * 10 + dst[16], bottomUp ? 21 : 12) << bottomUp;
    }
    munmap(mapping, bytes);
}
