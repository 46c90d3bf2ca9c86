// The slice grid and the slicer: which frames share their buffer, and what a
// copied slice holds (padding, flips, every pixel size, 64-bit offsets).
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orvenc_frame.hpp"
#include "orvenc_slicer.hpp"
#include "test_support.hpp"

using namespace brindle;

namespace {

constexpr uint8_t garbage = 0xEE;  // what a host leaves between a row's end and the stride

OrvSliceLayout layoutOf(uint32_t width, uint32_t height) {
    OrvVideoStreamParams_st params{};
    params.width = width;
    params.height = height;
    return orvPickSliceLayout(params);
}

// Never 0 or the garbage byte, and different for neighbouring rows and
// bytes, so that every byte of a slice tells where it came from.
uint8_t sourceByte(uint32_t row, uint32_t byte) {
    return static_cast<uint8_t>(1 + (row * 7 + byte) % 233);
}

// A frame whose buffer ends right after its last row's picture bytes, with
// `extraStride` bytes of garbage after every other row. Under
// AddressSanitizer the garbage is unaddressable too, so a read of any byte
// outside the picture is reported (strides are multiples of 8).
struct TestFrame : orvtest::NoCopy {
    TestFrame(uint32_t width, uint32_t height, uint32_t pixFmt, uint32_t bpp, uint32_t origin,
              uint32_t extraStride = 0) {
        frame.width = width;
        frame.height = height;
        frame.pixFmt = pixFmt;
        frame.origin = origin;
        frame.stride = width * bpp + extraStride;
        const size_t rowBytes = size_t{width} * bpp;
        frame.srcBuffer = allocSharedBuffer(size_t{frame.stride} * (height - 1) + rowBytes);
        for (uint32_t r = 0; r < height; ++r) {
            uint8_t* row = frame.srcBuffer->data + size_t{r} * frame.stride;
            for (uint32_t i = 0; i < frame.stride && (r + 1 < height || i < rowBytes); ++i)
                row[i] = i < rowBytes ? sourceByte(r, i) : garbage;
            if (r + 1 < height) ASAN_POISON_MEMORY_REGION(row + rowBytes, extraStride);
        }
    }
    ~TestFrame() { ASAN_UNPOISON_MEMORY_REGION(frame.srcBuffer->data, frame.srcBuffer->size); }
    OrvPictureRows picture(uint32_t bpp) const {
        return {frame.srcBuffer->data, frame.stride, frame.width * bpp, frame.height, bpp,
                frame.origin == 1};
    }
    OrvEncFrame frame;
};

std::vector<OrvSrcSlice> pickSlices(const OrvEncSlicer& slicer, const OrvEncFrame& frame) {
    std::vector<OrvSrcSlice> slices;
    slicer.pickSlices(frame, slices);
    return slices;
}

// Lists the frame's slices on the grid and copies them all.
std::vector<OrvSrcSlice> copiedSlices(const OrvEncFrame& frame, const OrvSliceLayout& layout) {
    const OrvEncSlicer slicer(layout);
    std::vector<OrvSrcSlice> slices = pickSlices(slicer, frame);
    for (OrvSrcSlice& slice : slices) slicer.copy(frame, slice);
    return slices;
}

// What a slice must hold, byte by byte from first principles: each of its
// pixels is the picture pixel nearest to it, with picture row 0 at the top.
std::vector<uint8_t> nearestPixels(const OrvPictureRows& p, uint32_t offset, uint32_t y,
                                   uint32_t dstStride, uint32_t dstRows) {
    std::vector<uint8_t> expected;
    const uint64_t lastPixel = p.rowBytes / p.bytesPerPixel - 1;
    for (uint32_t r = 0; r < dstRows; ++r) {
        const uint64_t pictureRow = std::min<uint64_t>(uint64_t{y} + r, p.rows - 1);
        const uint64_t memoryRow = p.bottomUp ? p.rows - 1 - pictureRow : pictureRow;
        for (uint64_t i = offset; i < uint64_t{offset} + dstStride; ++i) {
            const uint64_t pixel = std::min(i / p.bytesPerPixel, lastPixel);
            expected.push_back(
                p.data[memoryRow * p.stride + pixel * p.bytesPerPixel + i % p.bytesPerPixel]);
        }
    }
    return expected;
}

using Rect = std::array<uint32_t, 4>;
Rect rectOf(const OrvSrcSlice& s) { return {s.x, s.y, s.width, s.height}; }
using Grid = std::array<uint32_t, 4>;  // slice width and height, columns and rows
Grid grid(const OrvSliceLayout& l) {
    return {l.sliceWidth, l.sliceHeight, l.numColumns, l.numRows};
}

}  // namespace

// ---- Slice grid ---------------------------------------------------------------

TEST(SliceLayout, EverySideIsCoveredByWholeBlocksOfAtMost3072WithNoSliceOutside) {
    // Sides up to 3071 are one slice; 3840 is two of 1920, 5120 three of 1708.
    EXPECT_EQ(grid(layoutOf(3071, 1080)), (Grid{3072, 1080, 1, 1}));
    EXPECT_EQ(grid(layoutOf(5120, 3840)), (Grid{1708, 1920, 3, 2}));
    EXPECT_EQ(grid(layoutOf(UINT32_MAX, 1)), (Grid{2048, 4, 2097152, 1}));  // the count does not wrap
    orvtest::expectOrvError([&] { layoutOf(0, 1080); }, 13, "bad frame dimensions");
    orvtest::expectOrvError([&] { layoutOf(1920, 0); }, 13, "bad frame dimensions");
    for (uint32_t length = 1; length <= 20000; ++length) {
        const OrvSliceLayout layout = layoutOf(length, 4);
        ASSERT_EQ(layout.sliceWidth % 4, 0u) << length;
        ASSERT_LE(layout.sliceWidth, 3072u) << length;
        ASSERT_GE(uint64_t{layout.sliceWidth} * layout.numColumns, length) << length;
        ASSERT_LT(uint64_t{layout.sliceWidth} * (layout.numColumns - 1), length) << length;
    }
}

// ---- Copying slices -------------------------------------------------------------

TEST(CopySlice, PixelsOutsideThePictureRepeatItsNearestAndNothingBeyondItsWidthIsRead) {
    struct Format { uint32_t pixFmt, bpp; };
    const Format rgba{ORV_SRC_PIX_FMT_RGBA32, 4}, bgra{ORV_SRC_PIX_FMT_BGRA32, 4};
    struct Case {
        uint32_t width, height;
        Format format;
        uint32_t origin, extraStride;
        OrvSliceLayout layout;
    };
    std::vector<Case> cases = {
        // A 1924-pixel slice of which the last 2 pixels lie outside.
        {1922, 8, rgba, 0, 8, layoutOf(1922, 8)},
        // The last column starts at pixel 3416 and holds only 1704 of its 1708.
        {5120, 8, bgra, 1, 0, layoutOf(5120, 8)},
        {5120, 8, rgba, 0, 64, layoutOf(5120, 8)},
        // Two rows of 1552; the second copies 1548 rows and repeats the last.
        {4, 3100, rgba, 0, 16, layoutOf(4, 3100)},
        {4, 3100, rgba, 1, 0, layoutOf(4, 3100)},
        // Pictures smaller than a block.
        {1, 1, rgba, 0, 0, layoutOf(1, 1)},
        {7, 5, bgra, 1, 4, layoutOf(7, 5)},
    };
    // Every pixel size, both row orders, with garbage after every row up to
    // a multiple of 8 bytes and 8 more: 6 x 6 on an 8 x 4 grid, a padded
    // column and a padded slice row.
    for (const Format format : {Format{ORV_SRC_PIX_FMT_RGB24, 3}, rgba, Format{ORV_SRC_PIX_FMT_BGR24, 3},
                                bgra, Format{ORV_SRC_PIX_FMT_RGB96, 12},
                                Format{ORV_SRC_PIX_FMT_RGBA128, 16}})
        for (uint32_t origin : {0u, 1u})
            cases.push_back(
                {6, 6, format, origin, 16 - 6 * format.bpp % 8, OrvSliceLayout(8, 4, 1, 2)});
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << ", format "
                                        << c.format.pixFmt << ", origin " << c.origin
                                        << ", padding " << c.extraStride);
        const TestFrame source(c.width, c.height, c.format.pixFmt, c.format.bpp, c.origin,
                               c.extraStride);
        const std::vector<OrvSrcSlice> slices = copiedSlices(source.frame, c.layout);
        ASSERT_EQ(slices.size(), size_t{c.layout.numColumns} * c.layout.numRows);
        const uint32_t sliceStride = c.layout.sliceWidth * c.format.bpp;
        for (size_t i = 0; i < slices.size(); ++i) {
            const OrvSrcSlice& slice = slices[i];
            SCOPED_TRACE(testing::Message() << "slice at " << slice.x << ", " << slice.y);
            // Row by row on the grid.
            EXPECT_EQ(rectOf(slice), (Rect{c.layout.sliceWidth * uint32_t(i % c.layout.numColumns),
                                           c.layout.sliceHeight * uint32_t(i / c.layout.numColumns),
                                           c.layout.sliceWidth, c.layout.sliceHeight}));
            ASSERT_NE(slice.buffer, nullptr);
            EXPECT_EQ(slice.pixFmt, c.format.pixFmt);
            const std::vector<uint8_t> expected =
                nearestPixels(source.picture(c.format.bpp), slice.x * c.format.bpp, slice.y,
                              sliceStride, slice.height);
            // A slice inside a top-down picture is read in place.
            if (c.origin == 0 && slice.x + slice.width <= c.width &&
                slice.y + slice.height <= c.height) {
                EXPECT_EQ(slice.buffer, source.frame.srcBuffer);
                EXPECT_EQ(slice.stride, source.frame.stride);
                for (uint32_t row = 0; row < slice.height; ++row) {
                    const uint8_t* read = slice.buffer->data + slice.offset + size_t{row} * slice.stride;
                    EXPECT_TRUE(std::equal(read, read + sliceStride, &expected[size_t{row} * sliceStride]))
                        << "row " << row;
                }
                continue;
            }
            EXPECT_NE(slice.buffer, source.frame.srcBuffer);
            EXPECT_EQ(slice.stride, sliceStride);
            ASSERT_EQ(slice.buffer->size, expected.size());
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), slice.buffer->data));
        }
    }
}
