// The slice grid and the slicer: which frames share their buffer, and what a
// copied slice holds (padding, flips, every pixel size, 64-bit offsets).
#include <gtest/gtest.h>

#include <sys/mman.h>

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

constexpr uint8_t canary = 0xCC;

OrvSliceLayout layoutOf(uint32_t width, uint32_t height) {
    OrvVideoStreamParams_st params{};
    params.width = width;
    params.height = height;
    return orvPickSliceLayout(params);
}

// Never 0, and different for neighbouring rows and bytes, so copied bytes are
// told apart from padding and from each other.
uint8_t sourceByte(uint32_t row, uint32_t byte) {
    return static_cast<uint8_t>(1 + (row * 7 + byte) % 251);
}
void fillSource(uint8_t* data, uint32_t stride, uint32_t rows) {
    for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t i = 0; i < stride; ++i) data[size_t{r} * stride + i] = sourceByte(r, i);
}

// A frame whose buffer is exactly stride * height bytes, so that
// AddressSanitizer reports any read beyond its end.
OrvEncFrame makeFrame(uint32_t width, uint32_t height, uint32_t pixFmt, uint32_t bpp,
                      uint32_t origin) {
    OrvEncFrame frame;
    frame.width = width;
    frame.height = height;
    frame.pixFmt = pixFmt;
    frame.origin = origin;
    frame.stride = width * bpp;
    frame.srcBuffer = allocSharedBuffer(size_t{frame.stride} * height);
    fillSource(frame.srcBuffer->data, frame.stride, height);
    return frame;
}

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

using Rect = std::array<uint32_t, 4>;
Rect rectOf(const OrvSrcSlice& s) { return {s.x, s.y, s.width, s.height}; }
using Grid = std::array<uint32_t, 4>;  // slice width and height, columns and rows
Grid grid(const OrvSliceLayout& l) {
    return {l.sliceWidth, l.sliceHeight, l.numColumns, l.numRows};
}

// Checks one slice row: its first `copied` bytes are source row `srcRow` from
// byte `offset` on, and the rest are zero.
void expectSliceRow(const OrvSrcSlice& slice, uint32_t row, uint32_t srcRow, uint32_t offset,
                    uint32_t copied) {
    const uint8_t* data = slice.buffer->data + size_t{row} * slice.stride;
    for (uint32_t i = 0; i < slice.stride; ++i) {
        const uint8_t expected = i < copied ? sourceByte(srcRow, offset + i) : 0;
        ASSERT_EQ(data[i], expected) << "slice row " << row << ", byte " << i;
    }
}

}  // namespace

// ---- Slice grid ---------------------------------------------------------------

TEST(SliceLayout, ExampleSidesGiveTheirSliceSizeAndCount) {
    struct Side { uint32_t length, sliceSize, count; };
    const Side sides[] = {
        {1, 4, 1},        {5, 8, 1},        {1022, 1024, 1},  {1920, 1920, 1},
        {1921, 1924, 1},  {2160, 2160, 1},  {3071, 3072, 1},  {3072, 1536, 2},
        {3090, 1548, 2},  {3840, 1920, 2},  {4096, 2048, 2},  {5120, 1708, 3},
        {7168, 1792, 4},  {7680, 1920, 4},  {16384, 2048, 8},
        {UINT32_MAX, 2048, 2097152},  // the count does not wrap
    };
    for (const Side& side : sides) {
        // Each side follows the rule on its own, whatever the other one is.
        EXPECT_EQ(grid(layoutOf(side.length, 1080)), (Grid{side.sliceSize, 1080, side.count, 1}))
            << side.length;
        EXPECT_EQ(grid(layoutOf(7168, side.length)), (Grid{1792, side.sliceSize, 4, side.count}))
            << side.length;
    }
    for (auto [width, height] : {std::pair{0u, 1080u}, std::pair{1920u, 0u}, std::pair{0u, 0u}})
        orvtest::expectOrvError([&] { layoutOf(width, height); }, 13, "bad frame dimensions");
}

TEST(SliceLayout, EverySideIsCoveredByWholeBlocksOfAtMost3072) {
    for (uint32_t length = 1; length <= 20000; ++length) {
        const OrvSliceLayout layout = layoutOf(length, 4);
        ASSERT_EQ(layout.sliceWidth % 4, 0u) << length;
        ASSERT_LE(layout.sliceWidth, 3072u) << length;
        ASSERT_GE(uint64_t{layout.sliceWidth} * layout.numColumns, length) << length;
        ASSERT_LT(uint64_t{layout.sliceWidth} * (layout.numColumns - 1), length) << length;
    }
}

// ---- Listing slices -------------------------------------------------------------

TEST(PickSlices, SlicesInsideATopDownPictureShareItsBufferAndSlicesGoRowByRow) {
    // Which slices lie wholly inside the picture, in grid order.
    struct Case { const char* what; uint32_t width, height, origin; std::vector<bool> shared; };
    const Case cases[] = {
        {"one slice", 1920, 1080, 0, {true}},
        {"two columns of 1920 x 2160", 3840, 2160, 0, {true, true}},
        {"bottom-up", 1920, 1080, 1, {false}},
        {"bottom-up columns", 3840, 2160, 1, {false, false}},
        {"width not a multiple of 4", 1922, 1080, 0, {false}},
        {"height not a multiple of 4", 1920, 1082, 0, {false}},
        // The third column ends 4 pixels beyond the picture.
        {"3 x 2 slices of 1708 x 2048", 5120, 4096, 0, {true, true, false, true, true, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OrvEncFrame frame;
        frame.width = c.width;
        frame.height = c.height;
        frame.origin = c.origin;
        frame.pixFmt = ORV_SRC_PIX_FMT_BGRA32;
        frame.stride = c.width * 4 + 64;  // a padded stride is passed on as it is
        frame.srcBuffer = allocSharedBuffer(1);  // never read here
        const OrvSliceLayout layout = layoutOf(c.width, c.height);
        const OrvEncSlicer slicer(layout);
        std::vector<OrvSrcSlice> slices = pickSlices(slicer, frame);
        ASSERT_EQ(slices.size(), c.shared.size());
        ASSERT_EQ(slices.size(), size_t{layout.numColumns} * layout.numRows);
        for (uint32_t i = 0; i < slices.size(); ++i) {
            const uint32_t column = i % layout.numColumns, row = i / layout.numColumns;
            const Rect rect{layout.sliceWidth * column, layout.sliceHeight * row, layout.sliceWidth,
                            layout.sliceHeight};
            EXPECT_EQ(rectOf(slices[i]), rect) << i;
            const bool shared = c.shared[i];
            EXPECT_EQ(slices[i].buffer, shared ? frame.srcBuffer : nullptr) << i;
            EXPECT_EQ(slices[i].stride, shared ? frame.stride : 0u) << i;
            EXPECT_EQ(slices[i].offset, shared ? size_t{rect[1]} * frame.stride + 4 * rect[0] : 0u) << i;
            EXPECT_EQ(slices[i].pixFmt, uint32_t{ORV_SRC_PIX_FMT_BGRA32});
            if (!shared) continue;
            // copy leaves a shared slice alone: still the frame's buffer, no allocation.
            const orvtest::AllocationFailureGuard noAllocation(0);
            slicer.copy(frame, slices[i]);
            EXPECT_EQ(slices[i].buffer, frame.srcBuffer);
            EXPECT_EQ(slices[i].stride, frame.stride);
        }
    }
}

// Assertions guard the slicer's own invariants; one stands for them all.
TEST(PickSlicesDeathTest, FrameWithoutBufferIsAnInternalError) {
    const OrvEncFrame frame;
    std::vector<OrvSrcSlice> slices;
    EXPECT_DEATH(OrvEncSlicer(layoutOf(4, 4)).pickSlices(frame, slices),
                 "frame\\.srcBuffer != nullptr");
}

// ---- Copying slices -------------------------------------------------------------

TEST(CopySlice, WhatLiesOutsideTheFrameIsZeroAndNothingBeyondItIsRead) {
    // Each frame's buffer ends exactly at its last pixel.
    struct Slice { uint32_t firstRow, offset, copied, rowsInside; bool shared = false; };  // source rows and bytes
    struct Case { uint32_t width, height, pixFmt; std::vector<Slice> slices; };
    const Case cases[] = {
        // A 1924-pixel slice of which the last 2 pixels lie outside.
        {1922, 8, ORV_SRC_PIX_FMT_RGBA32, {{0, 0, 1922 * 4, 8}}},
        // The last column starts at pixel 3416 and holds only 1704 of its
        // 1708; the first two lie inside and are read in place.
        {5120, 8, ORV_SRC_PIX_FMT_BGRA32,
         {{0, 0, 0, 0, true}, {0, 1708 * 4, 0, 0, true}, {0, 3416 * 4, 1704 * 4, 8}}},
        // Two rows of 1552: the first lies inside, the second copies 1548
        // rows and pads 4.
        {4, 3100, ORV_SRC_PIX_FMT_RGBA32, {{0, 0, 0, 0, true}, {1552, 0, 16, 1548}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        const OrvEncFrame frame = makeFrame(c.width, c.height, c.pixFmt, 4, 0);
        const OrvSliceLayout layout = layoutOf(c.width, c.height);
        const std::vector<OrvSrcSlice> slices = copiedSlices(frame, layout);
        ASSERT_EQ(slices.size(), c.slices.size());
        for (size_t s = 0; s < slices.size(); ++s) {
            const Slice& expected = c.slices[s];
            if (expected.shared) {
                EXPECT_EQ(slices[s].buffer, frame.srcBuffer);
                EXPECT_EQ(slices[s].offset, expected.offset);
                continue;
            }
            ASSERT_NE(slices[s].buffer, nullptr);
            EXPECT_NE(slices[s].buffer, frame.srcBuffer);
            EXPECT_EQ(slices[s].stride, layout.sliceWidth * 4);
            EXPECT_EQ(slices[s].pixFmt, c.pixFmt);
            ASSERT_EQ(slices[s].buffer->size, size_t{layout.sliceWidth} * 4 * layout.sliceHeight);
            for (uint32_t row = 0; row < layout.sliceHeight; ++row)
                expectSliceRow(slices[s], row, expected.firstRow + row, expected.offset,
                               row < expected.rowsInside ? expected.copied : 0);
        }
    }
}

TEST(CopySlice, EveryPixelSizeIsPaddedAndBottomUpFramesAreFlipped) {
    struct Format { uint32_t pixFmt, bpp; };
    const Format formats[] = {{ORV_SRC_PIX_FMT_RGB24, 3},  {ORV_SRC_PIX_FMT_RGBA32, 4},
                              {ORV_SRC_PIX_FMT_BGR24, 3},  {ORV_SRC_PIX_FMT_BGRA32, 4},
                              {ORV_SRC_PIX_FMT_RGB96, 12}, {ORV_SRC_PIX_FMT_RGBA128, 16}};
    for (const Format& format : formats) {
        for (uint32_t origin : {0u, 1u}) {
            SCOPED_TRACE(testing::Message() << "format " << format.pixFmt << ", " << origin);
            // 6 x 6 on an 8 x 4 grid: a padded column and a padded slice row.
            // Bottom-up, the grid is laid over the flipped picture: the top
            // slice holds the last rows in memory.
            const OrvEncFrame frame = makeFrame(6, 6, format.pixFmt, format.bpp, origin);
            const auto slices = copiedSlices(frame, OrvSliceLayout(8, 4, 1, 2));
            ASSERT_EQ(slices.size(), 2u);
            EXPECT_EQ(slices[0].stride, 8 * format.bpp);
            EXPECT_EQ(slices[1].pixFmt, format.pixFmt);
            ASSERT_EQ(slices[1].buffer->size, size_t{8} * format.bpp * 4);
            for (uint32_t row = 0; row < 8; ++row)
                expectSliceRow(slices[row / 4], row % 4, origin ? 5 - row : row, 0,
                               row < 6 ? 6 * format.bpp : 0);
        }
    }
}

TEST(CopySlice, RefusalLeavesTheSliceUntouched) {
    struct Case { uint32_t width, pixFmt; const char* message; };
    // 6 wide needs a copy, 4 wide is shared; an unknown format is refused
    // before anything is allocated, so the armed failure stays pending.
    for (const Case& c : {Case{6, 6, "unknown pixel format"}, Case{4, 6, "unknown pixel format"},
                          Case{6, ORV_SRC_PIX_FMT_RGBA32, "failed to allocate memory"}}) {
        OrvEncFrame frame = makeFrame(c.width, 4, ORV_SRC_PIX_FMT_RGBA32, 4, 0);
        frame.pixFmt = c.pixFmt;
        const OrvEncSlicer slicer(layoutOf(c.width, 4));
        std::vector<OrvSrcSlice> slices = pickSlices(slicer, frame);
        ASSERT_EQ(slices.size(), 1u);
        const OrvSrcSlice before = slices[0];
        ASSERT_EQ(before.buffer, c.width == 4 ? frame.srcBuffer : nullptr);
        const orvtest::AllocationFailureGuard failNext(0);
        orvtest::expectOrvError([&] { slicer.copy(frame, slices[0]); }, 13, c.message);
        EXPECT_EQ(slices[0].buffer, before.buffer) << c.message;
        EXPECT_EQ(slices[0].stride, before.stride) << c.message;
        if (c.pixFmt == 6) {
            EXPECT_THROW(allocSharedBuffer(1), OrvException);
        }
    }
}

// ---- Row helpers ------------------------------------------------------------------

TEST(RowCopies, EveryByteOfTheSliceIsCopiedOrZeroed) {
    struct Case { uint32_t offset, y, srcStride, srcRows, dstStride, dstRows; };
    const Case cases[] = {
        {0, 0, 16, 4, 16, 4},     // the whole frame
        {0, 0, 24, 4, 16, 4},     // a slice narrower than the row
        {8, 0, 16, 4, 16, 4},     // half the row left for the slice
        {16, 0, 16, 4, 16, 4},    // left edge at the end of the row
        {20, 0, 16, 4, 16, 4},    // left edge beyond the row
        {0, 2, 16, 4, 16, 4},     // two rows in the frame, two below
        {0, 4, 16, 4, 16, 4},     // first row at the bottom edge
        {0, 9, 16, 4, 16, 4},     // entirely below
        {4, 1, 12, 6, 20, 8},     // short rows and rows below
        {0, 0xFFFFFFF0u, 16, 4, 16, 32},  // y + height would wrap
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> src(size_t{c.srcStride} * c.srcRows);
        fillSource(src.data(), c.srcStride, c.srcRows);
        for (const bool inverted : {false, true}) {
            // Source bytes where the slice overlaps the frame (rows flipped
            // for a bottom-up frame), 0 everywhere else; the destination
            // starts full of a canary so that every byte must be written.
            std::vector<uint8_t> expected(size_t{c.dstStride} * c.dstRows, 0);
            for (uint32_t row = 0; row < c.dstRows; ++row) {
                const uint64_t pictureRow = uint64_t{c.y} + row;
                if (pictureRow >= c.srcRows) continue;
                const uint32_t srcRow =
                    static_cast<uint32_t>(inverted ? c.srcRows - 1 - pictureRow : pictureRow);
                for (uint32_t i = 0; i < c.dstStride && uint64_t{c.offset} + i < c.srcStride; ++i)
                    expected[size_t{row} * c.dstStride + i] = sourceByte(srcRow, c.offset + i);
            }
            std::vector<uint8_t> dst(size_t{c.dstStride} * c.dstRows, canary);
            (inverted ? OrvEncSlicer::copySliceInverted : OrvEncSlicer::copySlice)(
                c.offset, c.y, c.srcStride, c.srcRows, src.data(), c.dstStride, c.dstRows,
                dst.data());
            EXPECT_EQ(dst, expected) << "offset " << c.offset << ", y " << c.y << ", " << inverted;
        }
    }
}

TEST(RowCopies, RowsBeyondFourGiBAreReadFromTheirOwnOffset) {
    // 65538 rows of 64 KiB: the last two rows start at 4 GiB and beyond. The
    // mapping is reserved, not committed; only the touched pages take memory.
    constexpr uint32_t stride = 65536, rows = 65538;
    const size_t bytes = size_t{stride} * rows;
    void* mapping = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping == MAP_FAILED) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
    uint8_t* src = static_cast<uint8_t*>(mapping);
    // Rows 0 and 1 stay zero, so a 32-bit offset that wrapped onto them shows.
    for (uint32_t i = 0; i < 16; ++i) {
        src[size_t{65536} * stride + 8 + i] = sourceByte(65536, i);
        src[size_t{65537} * stride + 8 + i] = sourceByte(65537, i);
    }
    for (const bool inverted : {false, true}) {
        std::vector<uint8_t> dst(16 * 4, canary);
        if (inverted)
            OrvEncSlicer::copySliceInverted(8, 0, stride, rows, src, 16, 4, dst.data());
        else
            OrvEncSlicer::copySlice(8, 65536, stride, rows, src, 16, 4, dst.data());
        std::vector<uint8_t> expected(16 * 4, 0);  // two rows in the frame, two below
        for (uint32_t i = 0; i < 16; ++i) {
            expected[i] = sourceByte(inverted ? 65537 : 65536, i);
            expected[16 + i] = sourceByte(inverted ? 65536 : 65537, i);
        }
        EXPECT_EQ(dst, expected) << inverted;
    }
    munmap(mapping, bytes);
}
