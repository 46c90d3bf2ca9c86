#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orvenc_frame.hpp"
#include "orvenc_slicer.hpp"

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
    for (uint32_t r = 0; r < height; ++r)
        for (uint32_t i = 0; i < frame.stride; ++i)
            frame.srcBuffer->data[size_t{r} * frame.stride + i] = sourceByte(r, i);
    return frame;
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

void expectZeroRow(const OrvSrcSlice& slice, uint32_t row) {
    expectSliceRow(slice, row, 0, 0, 0);
}

// The allocation hook is process-wide; every test that arms it disarms it.
struct AllocationFailureGuard {
    explicit AllocationFailureGuard(long count) { failBufferAllocationAfter(count); }
    ~AllocationFailureGuard() { failBufferAllocationAfter(-1); }
};

}  // namespace

// ---- Slice grid ---------------------------------------------------------------

TEST(SliceLayout, ExampleSidesGiveTheirSliceSizeAndCount) {
    struct Side {
        uint32_t length, sliceSize, count;
    };
    const Side sides[] = {
        {1, 4, 1},        {5, 8, 1},        {1022, 1024, 1},  {1920, 1920, 1},
        {1921, 1924, 1},  {2160, 2160, 1},  {3071, 3072, 1},  {3072, 1536, 2},
        {3090, 1548, 2},  {3840, 1920, 2},  {4096, 2048, 2},  {5120, 1708, 3},
        {7168, 1792, 4},  {7680, 1920, 4},  {16384, 2048, 8},
    };
    for (const Side& side : sides) {
        // Each side follows the rule on its own, whatever the other one is.
        const OrvSliceLayout wide = layoutOf(side.length, 1080);
        EXPECT_EQ(wide.sliceWidth, side.sliceSize) << side.length;
        EXPECT_EQ(wide.numColumns, side.count) << side.length;
        EXPECT_EQ(wide.sliceHeight, 1080u);
        EXPECT_EQ(wide.numRows, 1u);

        const OrvSliceLayout tall = layoutOf(7168, side.length);
        EXPECT_EQ(tall.sliceHeight, side.sliceSize) << side.length;
        EXPECT_EQ(tall.numRows, side.count) << side.length;
        EXPECT_EQ(tall.sliceWidth, 1792u);
        EXPECT_EQ(tall.numColumns, 4u);
    }
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

TEST(SliceLayout, CountDoesNotWrapAtTheTopOfTheRange) {
    const OrvSliceLayout layout = layoutOf(UINT32_MAX, UINT32_MAX);
    EXPECT_EQ(layout.sliceWidth, 2048u);
    EXPECT_EQ(layout.numColumns, 2097152u);
    EXPECT_EQ(layout.numRows, 2097152u);
}

TEST(SliceLayout, ZeroSideIsRefused) {
    const uint32_t sizes[][2] = {{0, 1080}, {1920, 0}, {0, 0}};
    for (const auto& size : sizes) {
        try {
            layoutOf(size[0], size[1]);
            ADD_FAILURE() << size[0] << "x" << size[1] << " accepted";
        } catch (const OrvException& e) {
            EXPECT_STREQ(e.what(), "bad frame dimensions");
            EXPECT_EQ(e.code, 13u);
        }
    }
}

TEST(SliceLayout, DefaultAndValueConstructors) {
    const OrvSliceLayout empty;
    EXPECT_EQ(empty.sliceWidth, 0u);
    EXPECT_EQ(empty.sliceHeight, 0u);
    EXPECT_EQ(empty.numColumns, 0u);
    EXPECT_EQ(empty.numRows, 0u);
    const OrvSliceLayout layout(1, 2, 3, 4);
    EXPECT_EQ(layout.sliceWidth, 1u);
    EXPECT_EQ(layout.sliceHeight, 2u);
    EXPECT_EQ(layout.numColumns, 3u);
    EXPECT_EQ(layout.numRows, 4u);
}

// ---- Listing slices -------------------------------------------------------------

TEST(PickSlices, AlignedSingleSliceTopDownFrameSharesItsBuffer) {
    OrvEncFrame frame;
    frame.width = 1920;
    frame.height = 1080;
    frame.pixFmt = ORV_SRC_PIX_FMT_BGRA32;
    frame.stride = 1920 * 4 + 64;  // a padded stride is passed on as it is
    frame.srcBuffer = allocSharedBuffer(size_t{frame.stride} * 1080);
    const OrvEncSlicer slicer(layoutOf(1920, 1080));

    std::vector<OrvSrcSlice> slices;
    slicer.pickSlices(frame, slices);
    ASSERT_EQ(slices.size(), 1u);
    OrvSrcSlice& slice = slices[0];
    EXPECT_EQ(slice.x, 0u);
    EXPECT_EQ(slice.y, 0u);
    EXPECT_EQ(slice.width, 1920u);
    EXPECT_EQ(slice.height, 1080u);
    EXPECT_EQ(slice.stride, 1920u * 4 + 64);
    EXPECT_EQ(slice.pixFmt, uint32_t{ORV_SRC_PIX_FMT_BGRA32});
    EXPECT_EQ(slice.buffer, frame.srcBuffer);

    // copy leaves a shared slice alone: still the frame's buffer, no allocation.
    const AllocationFailureGuard noAllocation(0);
    slicer.copy(frame, slice);
    EXPECT_EQ(slice.buffer, frame.srcBuffer);
    EXPECT_EQ(slice.stride, 1920u * 4 + 64);
}

TEST(PickSlices, FramesThatNeedACopyGetSlicesWithoutBuffers) {
    struct Case {
        const char* what;
        uint32_t width, height, origin;
    };
    const Case cases[] = {
        {"bottom-up", 1920, 1080, 1},
        {"width not a multiple of 4", 1922, 1080, 0},
        {"height not a multiple of 4", 1920, 1082, 0},
        {"more than one slice", 3840, 2160, 0},
    };
    for (const Case& c : cases) {
        OrvEncFrame frame;
        frame.width = c.width;
        frame.height = c.height;
        frame.origin = c.origin;
        frame.pixFmt = ORV_SRC_PIX_FMT_RGBA32;
        frame.stride = c.width * 4;
        frame.srcBuffer = allocSharedBuffer(1);  // never read by pickSlices
        const OrvSliceLayout layout = layoutOf(c.width, c.height);
        std::vector<OrvSrcSlice> slices;
        OrvEncSlicer(layout).pickSlices(frame, slices);
        ASSERT_EQ(slices.size(), size_t{layout.numColumns} * layout.numRows) << c.what;
        for (const OrvSrcSlice& slice : slices) {
            EXPECT_EQ(slice.buffer, nullptr) << c.what;
            EXPECT_EQ(slice.stride, 0u) << c.what;
            EXPECT_EQ(slice.pixFmt, uint32_t{ORV_SRC_PIX_FMT_RGBA32}) << c.what;
        }
    }
}

TEST(PickSlices, SlicesComeRowByRowFromTheTopLeft) {
    OrvEncFrame frame;
    frame.width = 5120;
    frame.height = 4096;
    frame.pixFmt = ORV_SRC_PIX_FMT_BGRA32;
    frame.srcBuffer = allocSharedBuffer(1);
    const OrvEncSlicer slicer(layoutOf(5120, 4096));  // 3 x 2 slices of 1708 x 2048

    std::vector<OrvSrcSlice> slices;
    slicer.pickSlices(frame, slices);
    ASSERT_EQ(slices.size(), 6u);
    const uint32_t expected[6][2] = {{0, 0},    {1708, 0},    {3416, 0},
                                     {0, 2048}, {1708, 2048}, {3416, 2048}};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(slices[i].x, expected[i][0]) << i;
        EXPECT_EQ(slices[i].y, expected[i][1]) << i;
        EXPECT_EQ(slices[i].width, 1708u) << i;
        EXPECT_EQ(slices[i].height, 2048u) << i;
    }
}

TEST(PickSlices, UhdFrameHasTwoColumns) {
    OrvEncFrame frame;
    frame.width = 3840;
    frame.height = 2160;
    frame.srcBuffer = allocSharedBuffer(1);
    std::vector<OrvSrcSlice> slices;
    OrvEncSlicer(layoutOf(3840, 2160)).pickSlices(frame, slices);
    ASSERT_EQ(slices.size(), 2u);
    EXPECT_EQ(slices[0].x, 0u);
    EXPECT_EQ(slices[1].x, 1920u);
    EXPECT_EQ(slices[1].y, 0u);
    EXPECT_EQ(slices[1].width, 1920u);
    EXPECT_EQ(slices[1].height, 2160u);
}

TEST(PickSlicesDeathTest, FrameWithoutBufferIsAnInternalError) {
    const OrvEncFrame frame;
    const OrvEncSlicer slicer(layoutOf(4, 4));
    std::vector<OrvSrcSlice> slices;
    EXPECT_DEATH(slicer.pickSlices(frame, slices), "frame\\.srcBuffer != nullptr");
}

// ---- Copying slices -------------------------------------------------------------

TEST(CopySlice, TopDownFrameWithShortRowsIsPaddedWithZeroes) {
    // 1922 wide: a 1924-pixel slice of which the last 2 pixels lie outside.
    const OrvEncFrame frame = makeFrame(1922, 8, ORV_SRC_PIX_FMT_RGBA32, 4, 0);
    const OrvEncSlicer slicer(layoutOf(1922, 8));
    std::vector<OrvSrcSlice> slices;
    slicer.pickSlices(frame, slices);
    ASSERT_EQ(slices.size(), 1u);
    slicer.copy(frame, slices[0]);

    const OrvSrcSlice& slice = slices[0];
    ASSERT_NE(slice.buffer, nullptr);
    EXPECT_NE(slice.buffer, frame.srcBuffer);
    EXPECT_EQ(slice.stride, 1924u * 4);
    EXPECT_EQ(slice.pixFmt, uint32_t{ORV_SRC_PIX_FMT_RGBA32});
    ASSERT_EQ(slice.buffer->size, size_t{1924} * 4 * 8);
    for (uint32_t row = 0; row < 8; ++row) expectSliceRow(slice, row, row, 0, 1922 * 4);
}

TEST(CopySlice, LastColumnReadsNothingBeyondTheFrame) {
    // 5120 wide: the last column starts at pixel 3416 and holds only 1704 of
    // its 1708 pixels; the frame buffer ends exactly at the last pixel.
    const OrvEncFrame frame = makeFrame(5120, 8, ORV_SRC_PIX_FMT_BGRA32, 4, 0);
    const OrvEncSlicer slicer(layoutOf(5120, 8));
    std::vector<OrvSrcSlice> slices;
    slicer.pickSlices(frame, slices);
    ASSERT_EQ(slices.size(), 3u);
    for (OrvSrcSlice& slice : slices) slicer.copy(frame, slice);

    for (uint32_t row = 0; row < 8; ++row) {
        expectSliceRow(slices[0], row, row, 0, 1708 * 4);
        expectSliceRow(slices[1], row, row, 1708 * 4, 1708 * 4);
        expectSliceRow(slices[2], row, row, 3416 * 4, 1704 * 4);
    }
}

TEST(CopySlice, RowsBelowTheFrameAreZero) {
    // 3100 high: two rows of 1552; the second copies 1548 rows and pads 4.
    const OrvEncFrame frame = makeFrame(4, 3100, ORV_SRC_PIX_FMT_RGBA32, 4, 0);
    const OrvEncSlicer slicer(layoutOf(4, 3100));
    std::vector<OrvSrcSlice> slices;
    slicer.pickSlices(frame, slices);
    ASSERT_EQ(slices.size(), 2u);
    for (OrvSrcSlice& slice : slices) slicer.copy(frame, slice);

    ASSERT_EQ(slices[1].y, 1552u);
    for (uint32_t row = 0; row < 1552; ++row) expectSliceRow(slices[0], row, row, 0, 16);
    for (uint32_t row = 0; row < 1548; ++row) expectSliceRow(slices[1], row, 1552 + row, 0, 16);
    for (uint32_t row = 1548; row < 1552; ++row) expectZeroRow(slices[1], row);
}

TEST(CopySlice, BottomUpFrameIsFlipped) {
    // Rows A, B, C, D in memory become D, C, B, A.
    const OrvEncFrame frame = makeFrame(4, 4, ORV_SRC_PIX_FMT_RGBA32, 4, 1);
    const OrvEncSlicer slicer(layoutOf(4, 4));
    std::vector<OrvSrcSlice> slices;
    slicer.pickSlices(frame, slices);
    ASSERT_EQ(slices.size(), 1u);
    ASSERT_EQ(slices[0].buffer, nullptr);
    slicer.copy(frame, slices[0]);
    for (uint32_t row = 0; row < 4; ++row) expectSliceRow(slices[0], row, 3 - row, 0, 16);
}

TEST(CopySlice, BottomUpGridIsLaidOverTheFlippedPicture) {
    // Two rows of 4: the top slice holds the last rows in memory; the bottom
    // slice holds the 2 remaining rows and 2 rows of padding.
    const OrvEncFrame frame = makeFrame(6, 6, ORV_SRC_PIX_FMT_RGBA32, 4, 1);
    const OrvEncSlicer slicer(OrvSliceLayout(8, 4, 1, 2));
    std::vector<OrvSrcSlice> slices;
    slicer.pickSlices(frame, slices);
    ASSERT_EQ(slices.size(), 2u);
    for (OrvSrcSlice& slice : slices) slicer.copy(frame, slice);

    for (uint32_t row = 0; row < 4; ++row) expectSliceRow(slices[0], row, 5 - row, 0, 24);
    expectSliceRow(slices[1], 0, 1, 0, 24);
    expectSliceRow(slices[1], 1, 0, 0, 24);
    expectZeroRow(slices[1], 2);
    expectZeroRow(slices[1], 3);
}

TEST(CopySlice, FormatsAreCopiedByTheirPixelSize) {
    struct Format {
        uint32_t pixFmt, bpp;
    };
    const Format formats[] = {{ORV_SRC_PIX_FMT_RGB24, 3},  {ORV_SRC_PIX_FMT_RGBA32, 4},
                              {ORV_SRC_PIX_FMT_BGR24, 3},  {ORV_SRC_PIX_FMT_BGRA32, 4},
                              {ORV_SRC_PIX_FMT_RGB96, 12}, {ORV_SRC_PIX_FMT_RGBA128, 16}};
    for (const Format& format : formats) {
        // 6 x 6 on an 8 x 4 grid: a padded column and a padded slice row.
        const OrvEncFrame frame = makeFrame(6, 6, format.pixFmt, format.bpp, 0);
        const OrvEncSlicer slicer(OrvSliceLayout(8, 4, 1, 2));
        std::vector<OrvSrcSlice> slices;
        slicer.pickSlices(frame, slices);
        ASSERT_EQ(slices.size(), 2u);
        for (OrvSrcSlice& slice : slices) slicer.copy(frame, slice);

        SCOPED_TRACE(format.pixFmt);
        EXPECT_EQ(slices[0].stride, 8 * format.bpp);
        EXPECT_EQ(slices[1].pixFmt, format.pixFmt);
        ASSERT_EQ(slices[1].buffer->size, size_t{8} * format.bpp * 4);
        for (uint32_t row = 0; row < 4; ++row)
            expectSliceRow(slices[0], row, row, 0, 6 * format.bpp);
        expectSliceRow(slices[1], 0, 4, 0, 6 * format.bpp);
        expectSliceRow(slices[1], 1, 5, 0, 6 * format.bpp);
        expectZeroRow(slices[1], 2);
        expectZeroRow(slices[1], 3);
    }
}

TEST(CopySlice, UnknownPixelFormatIsRefusedBeforeAnyAllocation) {
    OrvEncFrame frame = makeFrame(6, 4, ORV_SRC_PIX_FMT_RGBA32, 4, 0);
    frame.pixFmt = 6;
    const OrvEncSlicer slicer(layoutOf(6, 4));
    std::vector<OrvSrcSlice> slices;
    slicer.pickSlices(frame, slices);
    ASSERT_EQ(slices.size(), 1u);

    {
        // Had copy allocated, the armed failure would have been used up (or
        // would have been the error reported).
        const AllocationFailureGuard failNext(0);
        try {
            slicer.copy(frame, slices[0]);
            ADD_FAILURE() << "pixel format 6 accepted";
        } catch (const OrvException& e) {
            EXPECT_STREQ(e.what(), "unknown pixel format");
            EXPECT_EQ(e.code, 13u);
        }
        EXPECT_THROW(allocSharedBuffer(1), OrvException);
    }
    EXPECT_EQ(slices[0].buffer, nullptr);
    EXPECT_EQ(slices[0].stride, 0u);
}

TEST(CopySlice, UnknownPixelFormatIsRefusedForASharedSliceToo) {
    OrvEncFrame frame = makeFrame(4, 4, ORV_SRC_PIX_FMT_RGBA32, 4, 0);
    frame.pixFmt = 6;
    const OrvEncSlicer slicer(layoutOf(4, 4));
    std::vector<OrvSrcSlice> slices;
    slicer.pickSlices(frame, slices);
    ASSERT_EQ(slices.size(), 1u);
    ASSERT_EQ(slices[0].buffer, frame.srcBuffer);
    try {
        slicer.copy(frame, slices[0]);
        ADD_FAILURE() << "pixel format 6 accepted";
    } catch (const OrvException& e) {
        EXPECT_STREQ(e.what(), "unknown pixel format");
        EXPECT_EQ(e.code, 13u);
    }
}

TEST(CopySlice, FailedAllocationLeavesTheSliceUntouched) {
    const OrvEncFrame frame = makeFrame(6, 4, ORV_SRC_PIX_FMT_RGBA32, 4, 0);
    const OrvEncSlicer slicer(layoutOf(6, 4));
    std::vector<OrvSrcSlice> slices;
    slicer.pickSlices(frame, slices);
    ASSERT_EQ(slices.size(), 1u);
    {
        const AllocationFailureGuard failNext(0);
        try {
            slicer.copy(frame, slices[0]);
            ADD_FAILURE() << "copy succeeded without memory";
        } catch (const OrvException& e) {
            EXPECT_STREQ(e.what(), "failed to allocate memory");
            EXPECT_EQ(e.code, 13u);
        }
    }
    EXPECT_EQ(slices[0].buffer, nullptr);
    EXPECT_EQ(slices[0].stride, 0u);
}

TEST(CopySliceDeathTest, EmptySliceIsAnInternalError) {
    const OrvEncFrame frame = makeFrame(4, 4, ORV_SRC_PIX_FMT_RGBA32, 4, 0);
    const OrvEncSlicer slicer(layoutOf(4, 4));
    OrvSrcSlice noWidth;
    noWidth.height = 4;
    EXPECT_DEATH(slicer.copy(frame, noWidth), "slice\\.width > 0");
    OrvSrcSlice noHeight;
    noHeight.width = 4;
    EXPECT_DEATH(slicer.copy(frame, noHeight), "slice\\.height > 0");
}

// ---- Row helpers ------------------------------------------------------------------
// Destinations start full of a canary byte: every byte must end up either
// copied or zero.

namespace {

struct RowCopyCase {
    uint32_t offset, y, srcStride, srcRows, dstStride, dstRows;
};

std::vector<uint8_t> sourceRows(uint32_t stride, uint32_t rows) {
    std::vector<uint8_t> src(size_t{stride} * rows);
    for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t i = 0; i < stride; ++i) src[size_t{r} * stride + i] = sourceByte(r, i);
    return src;
}

// What a slice holds: source bytes where the slice overlaps the frame (rows
// flipped for a bottom-up frame), 0 everywhere else.
std::vector<uint8_t> expectedSlice(const RowCopyCase& c, bool inverted) {
    std::vector<uint8_t> expected(size_t{c.dstStride} * c.dstRows, 0);
    for (uint32_t row = 0; row < c.dstRows; ++row) {
        const uint64_t pictureRow = uint64_t{c.y} + row;
        if (pictureRow >= c.srcRows) continue;
        const uint32_t srcRow =
            inverted ? c.srcRows - 1 - static_cast<uint32_t>(pictureRow)
                     : static_cast<uint32_t>(pictureRow);
        for (uint32_t i = 0; i < c.dstStride && uint64_t{c.offset} + i < c.srcStride; ++i)
            expected[size_t{row} * c.dstStride + i] = sourceByte(srcRow, c.offset + i);
    }
    return expected;
}

}  // namespace

TEST(RowCopies, EveryByteOfTheSliceIsCopiedOrZeroed) {
    const RowCopyCase cases[] = {
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
    for (const RowCopyCase& c : cases) {
        const std::vector<uint8_t> src = sourceRows(c.srcStride, c.srcRows);
        for (const bool inverted : {false, true}) {
            std::vector<uint8_t> dst(size_t{c.dstStride} * c.dstRows, canary);
            if (inverted)
                OrvEncSlicer::copySliceInverted(c.offset, c.y, c.srcStride, c.srcRows,
                                                src.data(), c.dstStride, c.dstRows, dst.data());
            else
                OrvEncSlicer::copySlice(c.offset, c.y, c.srcStride, c.srcRows, src.data(),
                                        c.dstStride, c.dstRows, dst.data());
            EXPECT_EQ(dst, expectedSlice(c, inverted))
                << "offset " << c.offset << ", y " << c.y << ", inverted " << inverted;
        }
    }
}

TEST(RowCopies, RowsBeyondFourGiBAreReadFromTheirOwnOffset) {
    // 65538 rows of 64 KiB: the last two rows start at 4 GiB and beyond. The
    // mapping is reserved, not committed; only the touched pages take memory.
    constexpr uint32_t stride = 65536;
    constexpr uint32_t rows = 65538;
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

    std::vector<uint8_t> dst(16 * 4, canary);
    OrvEncSlicer::copySlice(8, 65536, stride, rows, src, 16, 4, dst.data());
    for (uint32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(dst[i], sourceByte(65536, i)) << i;
        EXPECT_EQ(dst[16 + i], sourceByte(65537, i)) << i;
        EXPECT_EQ(dst[32 + i], 0) << i;
        EXPECT_EQ(dst[48 + i], 0) << i;
    }

    std::fill(dst.begin(), dst.end(), canary);
    OrvEncSlicer::copySliceInverted(8, 0, stride, rows, src, 16, 4, dst.data());
    for (uint32_t i = 0; i < 16; ++i) {
        EXPECT_EQ(dst[i], sourceByte(65537, i)) << i;
        EXPECT_EQ(dst[16 + i], sourceByte(65536, i)) << i;
        EXPECT_EQ(dst[32 + i], 0) << i;
        EXPECT_EQ(dst[48 + i], 0) << i;
    }
    munmap(mapping, bytes);
}
