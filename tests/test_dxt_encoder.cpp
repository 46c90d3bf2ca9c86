// The block encoders: golden bytes for the defined examples, and properties
// over many random and natural-looking blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include "brindle.hpp"
#include "dxt_encoder.hpp"

namespace {

using brindle::alpha_block;
using brindle::color_block;
using brindle::color_indices;
using brindle::ycocg_block;

// 16 RGBA pixels, rows 16 bytes apart: pixel k = 4y + x at bytes 4k..4k+3.
using Block = std::array<uint8_t, 64>;
using Bytes = std::vector<uint8_t>;

Block solidBlock(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    Block block;
    for (int k = 0; k < 16; ++k) {
        block[4 * k + 0] = r;
        block[4 * k + 1] = g;
        block[4 * k + 2] = b;
        block[4 * k + 3] = a;
    }
    return block;
}

void setPixel(Block& block, int k, int r, int g, int b, int a) {
    block[4 * k + 0] = static_cast<uint8_t>(r);
    block[4 * k + 1] = static_cast<uint8_t>(g);
    block[4 * k + 2] = static_cast<uint8_t>(b);
    block[4 * k + 3] = static_cast<uint8_t>(a);
}

// Pixels where x + y is even get `even`, the others `odd`.
Block checkerboard(const std::array<int, 4>& even, const std::array<int, 4>& odd) {
    Block block;
    for (int k = 0; k < 16; ++k) {
        const auto& c = (((k & 3) + (k >> 2)) % 2 == 0) ? even : odd;
        setPixel(block, k, c[0], c[1], c[2], c[3]);
    }
    return block;
}

Block alphaBlock(const std::array<int, 16>& alpha) {
    Block block = solidBlock(10, 20, 30, 0);
    for (int k = 0; k < 16; ++k) block[4 * k + 3] = static_cast<uint8_t>(alpha[k]);
    return block;
}

Bytes bytes(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<uint8_t>(v));
    return out;
}

TextureDspEnc dspTable() {
    TextureDspEnc dsp{};
    ff_texturedspenc_init(&dsp);
    return dsp;
}

// Runs a block function on a packed block into a canary-filled buffer one
// byte longer than the block, and checks the return value against what was
// written.
Bytes encodeWith(OrvBlockEncodeFn fn, const Block& block, int expectedSize) {
    Bytes out(expectedSize + 1, 0xCD);
    const int written = fn(out.data(), 16, block.data());
    EXPECT_EQ(written, expectedSize);
    EXPECT_EQ(out.back(), 0xCD) << "wrote past its block";
    out.pop_back();
    return out;
}

Bytes dxt1(const Block& block) { return encodeWith(dspTable().dxt1_block, block, 8); }
Bytes dxt5(const Block& block) { return encodeWith(dspTable().dxt5_block, block, 16); }
Bytes dxt5ys(const Block& block) { return encodeWith(dspTable().dxt5ys_block, block, 16); }

Bytes alphaOf(const Block& block) {
    Bytes out(8, 0xCD);
    alpha_block(out.data(), 16, block.data());
    return out;
}

Bytes colourOf(const Block& block) {
    Bytes out(8, 0xCD);
    color_block(out.data(), 16, block.data());
    return out;
}

uint16_t colour0(const Bytes& b, size_t at = 0) {
    return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}
uint16_t colour1(const Bytes& b, size_t at = 0) {
    return static_cast<uint16_t>(b[at + 2] | b[at + 3] << 8);
}
uint32_t indexWord(const Bytes& b, size_t at = 0) {
    return static_cast<uint32_t>(b[at + 4] | b[at + 5] << 8 | b[at + 6] << 16) |
           static_cast<uint32_t>(b[at + 7]) << 24;
}

// ---- Sample blocks -------------------------------------------------------------

// Deterministic blocks of the kinds a video frame is made of. Only the raw
// mt19937 output is used, which the standard fixes, so the set is the same
// on every platform.
class BlockSamples {
public:
    explicit BlockSamples(uint32_t seed) : rng(seed) {}

    int uniform(int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); }
    static uint8_t clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

    Block gradient() {
        Block block;
        int base[4], dx[4], dy[4];
        for (int c = 0; c < 4; ++c) {
            base[c] = uniform(256);
            dx[c] = uniform(81) - 40;
            dy[c] = uniform(81) - 40;
        }
        for (int k = 0; k < 16; ++k)
            for (int c = 0; c < 4; ++c)
                block[4 * k + c] = clamp(base[c] + dx[c] * (k & 3) / 3 + dy[c] * (k >> 2) / 3);
        return block;
    }

    // Two colours split by a straight line through the block.
    Block edge() {
        Block block;
        int a[4], b[4];
        for (int c = 0; c < 4; ++c) {
            a[c] = uniform(256);
            b[c] = uniform(256);
        }
        const int nx = uniform(7) - 3, ny = uniform(7) - 3, offset = uniform(7) - 3;
        for (int k = 0; k < 16; ++k) {
            const bool side = nx * (2 * (k & 3) - 3) + ny * (2 * (k >> 2) - 3) > offset;
            for (int c = 0; c < 4; ++c) block[4 * k + c] = static_cast<uint8_t>(side ? a[c] : b[c]);
        }
        return block;
    }

    Block noise() {
        Block block;
        for (auto& v : block) v = static_cast<uint8_t>(uniform(256));
        return block;
    }

    // A flat colour with a little sensor noise on it.
    Block grainy() {
        Block block;
        int base[4];
        for (int c = 0; c < 4; ++c) base[c] = uniform(256);
        for (int k = 0; k < 16; ++k)
            for (int c = 0; c < 4; ++c) block[4 * k + c] = clamp(base[c] + uniform(13) - 6);
        return block;
    }

    Block twoColour() {
        Block block;
        int a[4], b[4];
        for (int c = 0; c < 4; ++c) {
            a[c] = uniform(256);
            b[c] = uniform(256);
        }
        for (int k = 0; k < 16; ++k) {
            const bool pick = uniform(2) != 0;
            for (int c = 0; c < 4; ++c) block[4 * k + c] = static_cast<uint8_t>(pick ? a[c] : b[c]);
        }
        return block;
    }

    Block flatVaryingAlpha() {
        Block block = solidBlock(static_cast<uint8_t>(uniform(256)),
                                 static_cast<uint8_t>(uniform(256)),
                                 static_cast<uint8_t>(uniform(256)), 0);
        for (int k = 0; k < 16; ++k) block[4 * k + 3] = static_cast<uint8_t>(uniform(256));
        return block;
    }

    Block flat() {
        return solidBlock(static_cast<uint8_t>(uniform(256)), static_cast<uint8_t>(uniform(256)),
                          static_cast<uint8_t>(uniform(256)), static_cast<uint8_t>(uniform(256)));
    }

    Block any(int kind) {
        switch (kind % 7) {
            case 0: return gradient();
            case 1: return edge();
            case 2: return noise();
            case 3: return grainy();
            case 4: return twoColour();
            case 5: return flatVaryingAlpha();
            default: return flat();
        }
    }

private:
    std::mt19937 rng;
};

constexpr int sampleCount = 7 * 600;

std::vector<Block> sampleBlocks(uint32_t seed) {
    BlockSamples samples(seed);
    std::vector<Block> blocks;
    for (int i = 0; i < sampleCount; ++i) blocks.push_back(samples.any(i));
    // Extremes the generators hit rarely.
    blocks.push_back(solidBlock(0, 0, 0, 0));
    blocks.push_back(solidBlock(255, 255, 255, 255));
    blocks.push_back(checkerboard({0, 0, 0, 0}, {255, 255, 255, 255}));
    return blocks;
}

// ---- Guarded blocks ------------------------------------------------------------

// A block laid out at `stride` in a heap buffer that ends exactly after its
// last row, with the gaps between rows made unaddressable under
// AddressSanitizer: any read outside the four rows of 16 bytes is reported.
class GuardedBlock {
public:
    GuardedBlock(const Block& block, ptrdiff_t stride)
        : stride(stride), size(3 * stride + 16), storage(new uint8_t[size]) {
        std::memset(storage.get(), 0x5A, size);
        for (int y = 0; y < 4; ++y) std::memcpy(storage.get() + y * stride, &block[16 * y], 16);
        // Gaps start 16 bytes into an 8-byte aligned row and are a multiple
        // of 8 long, so the poisoning is exact.
        for (int y = 0; y < 3; ++y) ASAN_POISON_MEMORY_REGION(storage.get() + y * stride + 16, stride - 16);
    }
    ~GuardedBlock() { ASAN_UNPOISON_MEMORY_REGION(storage.get(), size); }
    GuardedBlock(const GuardedBlock&) = delete;
    GuardedBlock& operator=(const GuardedBlock&) = delete;

    const uint8_t* data() const { return storage.get(); }

    const ptrdiff_t stride;

private:
    size_t size;
    std::unique_ptr<uint8_t[]> storage;
};

// ---- Single-colour tables --------------------------------------------------

TEST(SolidMatchTables, HoldTheListedRows) {
    struct Row {
        int v, q0, q1;
    };
    for (const Row& row : {Row{0, 0, 0}, Row{2, 0, 1}, Row{4, 1, 0}, Row{7, 1, 1},
                           Row{100, 13, 11}, Row{103, 14, 10}, Row{128, 15, 17},
                           Row{200, 25, 23}, Row{250, 31, 29}, Row{255, 31, 31}}) {
        const brindle::SolidMatch m = brindle::solidMatch5(static_cast<uint8_t>(row.v));
        EXPECT_EQ(m.q0, row.q0) << "solid_match5[" << row.v << "]";
        EXPECT_EQ(m.q1, row.q1) << "solid_match5[" << row.v << "]";
    }
    for (const Row& row : {Row{1, 0, 1}, Row{2, 1, 0}, Row{5, 2, 0}, Row{7, 3, 0},
                           Row{100, 30, 15}, Row{101, 27, 21}, Row{128, 34, 27},
                           Row{200, 52, 44}, Row{250, 63, 59}, Row{255, 63, 63}}) {
        const brindle::SolidMatch m = brindle::solidMatch6(static_cast<uint8_t>(row.v));
        EXPECT_EQ(m.q0, row.q0) << "solid_match6[" << row.v << "]";
        EXPECT_EQ(m.q1, row.q1) << "solid_match6[" << row.v << "]";
    }
}

TEST(SolidMatchTables, EveryFlatColourDecodesWithinTwoLevels) {
    // The tables exist so that a flat block decodes to (nearly) its colour.
    for (int v = 0; v < 256; ++v) {
        uint8_t decoded[64];
        brindle::decodeBC1RGB(dxt1(solidBlock(static_cast<uint8_t>(v), static_cast<uint8_t>(v),
                                              static_cast<uint8_t>(v), 255))
                                  .data(),
                              decoded);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(decoded[c], v, 2) << "value " << v;
    }
}

// ---- Colour blocks: golden bytes -----------------------------------------------

TEST(ColourBlockGolden, FlatOpaqueRed) {
    EXPECT_EQ(dxt1(solidBlock(255, 0, 0, 255)),
              bytes({0x00, 0xF8, 0x00, 0xF8, 0xAA, 0xAA, 0xAA, 0xAA}));
}

TEST(ColourBlockGolden, FlatGreyUsesTheTwoThirdsPoint) {
    const Bytes expected = bytes({0xCD, 0x6B, 0xEB, 0x59, 0xAA, 0xAA, 0xAA, 0xAA});
    EXPECT_EQ(dxt1(solidBlock(100, 100, 100, 255)), expected);
    uint8_t decoded[64];
    brindle::decodeBC1RGB(expected.data(), decoded);
    EXPECT_EQ(decoded[0], 101);
    EXPECT_EQ(decoded[1], 100);
    EXPECT_EQ(decoded[2], 101);
}

TEST(ColourBlockGolden, GreyWithVaryingAlphaMatchesFlatGrey) {
    // Not flat (alpha differs), so it takes the general path and its
    // refinement, which must land on the same bytes as the flat block.
    Block block = solidBlock(100, 100, 100, 0);
    for (int k = 0; k < 16; ++k) block[4 * k + 3] = static_cast<uint8_t>(16 * k + 3);
    EXPECT_EQ(dxt1(block), bytes({0xCD, 0x6B, 0xEB, 0x59, 0xAA, 0xAA, 0xAA, 0xAA}));
}

TEST(ColourBlockGolden, WhiteBlackCheckerboard) {
    EXPECT_EQ(dxt1(checkerboard({255, 255, 255, 255}, {0, 0, 0, 255})),
              bytes({0xFF, 0xFF, 0x00, 0x00, 0x44, 0x11, 0x44, 0x11}));
}

TEST(ColourBlockGolden, EndpointsAreSwappedWhenTheBrighterEndQuantisesLower) {
    // Blue dominates the axis, so the seed puts pure blue (0x001F) in colour 0
    // and the dark red (0x2800) in colour 1; the written block has them
    // swapped and every index flipped, so blue pixels now carry index 1.
    EXPECT_EQ(dxt1(checkerboard({0, 0, 255, 255}, {40, 0, 0, 255})),
              bytes({0x00, 0x28, 0x1F, 0x00, 0x11, 0x44, 0x11, 0x44}));
}

// Gradients whose least-squares pass moves the endpoints away from the seed
// pixels (the last one also needs the final swap). Their bytes were
// cross-checked against an independent model of the encoder that rounds every
// float step to single precision.
TEST(ColourBlockGolden, GradientsRefinedByLeastSquares) {
    Block diagonal;
    Block sunset;
    for (int k = 0; k < 16; ++k) {
        const int x = k & 3, y = k >> 2;
        setPixel(diagonal, k, 16 + 40 * x, 200 - 30 * y, 60 + 20 * x + 10 * y, 255);
        setPixel(sunset, k, 250 - 10 * y - 5 * x, 120 + 20 * y, 40 + 30 * x, 255);
    }
    EXPECT_EQ(dxt1(diagonal), bytes({0x12, 0x8C, 0xA8, 0x0D, 0xAD, 0x2D, 0x2D, 0x2B}));
    EXPECT_EQ(dxt1(sunset), bytes({0x24, 0xF4, 0x30, 0xD5, 0xF8, 0x78, 0x7A, 0x7E}));
}

TEST(ColourBlockGolden, IndicesSplitAGreyRampIntoFourSteps) {
    Block ramp;
    for (int k = 0; k < 16; ++k) {
        const int v = 85 * (k & 3);
        setPixel(ramp, k, v, v, v, 255);
    }
    // 0 -> index 1, 85 -> 3, 170 -> 2, 255 -> 0 in every row.
    EXPECT_EQ(dxt1(ramp), bytes({0xFF, 0xFF, 0x00, 0x00, 0x2D, 0x2D, 0x2D, 0x2D}));
}

TEST(ColourIndices, ProjectionOnAMidpointGoesTowardsColour0) {
    // Endpoints 0x5000 and 0x1000 expand to red 82 and 16 (palette 82, 16,
    // 60, 38; dir (66, 0, 0)). Their midpoint thresholds fall exactly on the
    // reds 27 (between 16 and 38), 49 (38 and 60) and 71 (60 and 82).
    const int reds[6] = {26, 27, 48, 49, 70, 71};
    const uint32_t expected[6] = {1, 3, 3, 2, 2, 0};
    Block block = solidBlock(0, 0, 0, 255);
    for (int k = 0; k < 6; ++k) setPixel(block, k, reds[k], 0, 0, 255);
    const uint32_t mask = color_indices(block.data(), 16, 0x5000, 0x1000);
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ((mask >> (2 * k)) & 3, expected[k]) << "red " << reds[k];
    // Green and blue do not move a pixel along a pure red direction.
    for (int k = 6; k < 16; ++k) setPixel(block, k, 27, 255 - 20 * k, 9 * k, 255);
    const uint32_t mixed = color_indices(block.data(), 16, 0x5000, 0x1000);
    for (int k = 6; k < 16; ++k) EXPECT_EQ((mixed >> (2 * k)) & 3, 3u) << "pixel " << k;
}

// ---- Alpha blocks: golden bytes ------------------------------------------------

TEST(AlphaBlockGolden, ConstantAlphaStoresOnlyTheValue) {
    std::array<int, 16> alpha;
    alpha.fill(37);
    EXPECT_EQ(alphaOf(alphaBlock(alpha)), bytes({0x25, 0x25, 0, 0, 0, 0, 0, 0}));
}

TEST(AlphaBlockGolden, FullRampInSeventeens) {
    std::array<int, 16> alpha;
    for (int k = 0; k < 16; ++k) alpha[k] = 17 * k;
    const Bytes encoded = alphaOf(alphaBlock(alpha));
    EXPECT_EQ(encoded, bytes({0xFF, 0x00, 0xC9, 0x6F, 0xB7, 0xE4, 0x26, 0x01}));
    uint8_t decoded[64];
    brindle::decodeBC4RGBA(encoded.data(), decoded);
    const int expected[16] = {0, 0, 36, 36, 72, 72, 109, 109, 145, 145, 182, 182, 218, 218, 255, 255};
    for (int k = 0; k < 16; ++k) EXPECT_EQ(decoded[4 * k], expected[k]) << "pixel " << k;
}

TEST(AlphaBlockGolden, SpreadOfOneUsesTheSmallSpreadBias) {
    std::array<int, 16> alpha;
    alpha.fill(100);
    alpha[1] = 101;
    EXPECT_EQ(alphaOf(alphaBlock(alpha)), bytes({0x65, 0x64, 0x41, 0x92, 0x24, 0x49, 0x92, 0x24}));
}

TEST(AlphaBlockGolden, SpreadOfSevenGivesEveryValueItsOwnLevel) {
    // 10..17: one level per value, min -> index 1, max -> index 0, the rest
    // 7, 6, 5, 4, 3, 2 upwards.
    const std::array<int, 16> alpha = {10, 11, 12, 13, 14, 15, 16, 17,
                                       17, 16, 15, 14, 13, 12, 11, 10};
    const Bytes encoded = alphaOf(alphaBlock(alpha));
    EXPECT_EQ(encoded, bytes({0x11, 0x0A, 0xB9, 0xCB, 0x09, 0xD0, 0x58, 0x3F}));
    uint8_t decoded[64];
    brindle::decodeBC4RGBA(encoded.data(), decoded);
    for (int k = 0; k < 16; ++k) EXPECT_EQ(decoded[4 * k], alpha[k]) << "pixel " << k;
}

TEST(AlphaBlockGolden, OnlyZeroAndFullAlpha) {
    std::array<int, 16> alpha;
    for (int k = 0; k < 16; ++k) alpha[k] = (k % 3 == 0) ? 255 : 0;
    const Bytes encoded = alphaOf(alphaBlock(alpha));
    EXPECT_EQ(encoded[0], 255);
    EXPECT_EQ(encoded[1], 0);
    uint64_t field = 0;
    for (int i = 0; i < 6; ++i) field |= static_cast<uint64_t>(encoded[2 + i]) << (8 * i);
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ((field >> (3 * k)) & 7, alpha[k] == 255 ? 0u : 1u) << "pixel " << k;
}

// ---- YCoCg ---------------------------------------------------------------------

TEST(YCoCgConversion, PrimariesAndGreys) {
    struct Case {
        std::array<int, 3> rgb;
        std::array<int, 4> expected;  // Co, Cg, 0, Y
    };
    for (const Case& c : {Case{{255, 255, 255}, {128, 128, 0, 255}},
                          Case{{0, 0, 0}, {128, 128, 0, 0}},
                          Case{{255, 0, 0}, {255, 64, 0, 64}},
                          Case{{0, 0, 255}, {1, 64, 0, 64}}}) {
        // The fourth byte is ignored, whatever it is.
        const Block in = solidBlock(static_cast<uint8_t>(c.rgb[0]), static_cast<uint8_t>(c.rgb[1]),
                                    static_cast<uint8_t>(c.rgb[2]), 77);
        Block out;
        ycocg_block(out.data(), 16, in.data());
        for (int k = 0; k < 16; ++k)
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(out[4 * k + i], c.expected[i])
                    << "rgb " << c.rgb[0] << "," << c.rgb[1] << "," << c.rgb[2] << " byte " << i;
    }
}

TEST(YCoCgConversion, KeepsPixelPositions) {
    Block in;
    for (int k = 0; k < 16; ++k) setPixel(in, k, 16 * k, 255 - 16 * k, 8 * k, 0);
    Block out;
    ycocg_block(out.data(), 16, in.data());
    for (int k = 0; k < 16; ++k) {
        Block single = solidBlock(in[4 * k], in[4 * k + 1], in[4 * k + 2], 0);
        Block converted;
        ycocg_block(converted.data(), 16, single.data());
        EXPECT_TRUE(std::equal(out.begin() + 4 * k, out.begin() + 4 * k + 4, converted.begin()))
            << "pixel " << k;
    }
}

// ---- Block functions: composition ---------------------------------------------

TEST(BlockFunctions, InitFillsAllThreeEntries) {
    TextureDspEnc dsp{};
    ff_texturedspenc_init(&dsp);
    EXPECT_NE(dsp.dxt1_block, nullptr);
    EXPECT_NE(dsp.dxt5_block, nullptr);
    EXPECT_NE(dsp.dxt5ys_block, nullptr);
}

TEST(BlockFunctions, AreBuiltFromTheAlphaAndColourCores) {
    for (const Block& block : sampleBlocks(11)) {
        const Bytes alpha = alphaOf(block);
        const Bytes colour = colourOf(block);
        EXPECT_EQ(dxt1(block), colour);

        Bytes bc3 = alpha;
        bc3.insert(bc3.end(), colour.begin(), colour.end());
        EXPECT_EQ(dxt5(block), bc3);

        Block ycocg;
        ycocg_block(ycocg.data(), 16, block.data());
        Bytes ys = alphaOf(ycocg);
        const Bytes ysColour = colourOf(ycocg);
        ys.insert(ys.end(), ysColour.begin(), ysColour.end());
        EXPECT_EQ(dxt5ys(block), ys);
        if (HasFailure()) break;
    }
}

TEST(BlockFunctions, FlatBlockInYCoCgIsTheFlatCodeOfItsConversion) {
    // White converts to (128, 128, 0, 255): alpha block FF FF, colour block
    // from the single-colour tables of 128, 128 and 0.
    const Bytes encoded = dxt5ys(solidBlock(255, 255, 255, 255));
    const brindle::SolidMatch r = brindle::solidMatch5(128);
    const brindle::SolidMatch g = brindle::solidMatch6(128);
    const brindle::SolidMatch b = brindle::solidMatch5(0);
    const uint16_t c0 = static_cast<uint16_t>(r.q0 << 11 | g.q0 << 5 | b.q0);
    const uint16_t c1 = static_cast<uint16_t>(r.q1 << 11 | g.q1 << 5 | b.q1);
    EXPECT_EQ(Bytes(encoded.begin(), encoded.begin() + 8), bytes({0xFF, 0xFF, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(colour0(encoded, 8), std::max(c0, c1));
    EXPECT_EQ(colour1(encoded, 8), std::min(c0, c1));
}

// ---- Corpus digest ---------------------------------------------------------------

// The encoders are defined down to their float rounding and tie-breaks, and
// faster variants must reproduce them exactly, so every byte of a large
// corpus is pinned: 7000 sample blocks of every kind, each through dxt1,
// dxt5 and dxt5ys, folded into one FNV-1a hash. The expected value was
// produced by a separate model of the encoder written for checking (every
// float step rounded to single precision), not by this implementation.
TEST(CorpusDigest, SevenThousandBlocksEncodeToThePinnedBytes) {
    BlockSamples samples(2024);
    uint64_t hash = 0xcbf29ce484222325u;
    auto fold = [&hash](const Bytes& data) {
        for (uint8_t byte : data) {
            hash ^= byte;
            hash *= 0x100000001b3u;
        }
    };
    for (int i = 0; i < 7000; ++i) {
        const Block block = samples.any(i);
        fold(dxt1(block));
        fold(dxt5(block));
        fold(dxt5ys(block));
    }
    EXPECT_EQ(hash, 0x119fa4c1c1f47cd5u);
}

// ---- Properties over many blocks -----------------------------------------------

TEST(ColourBlockProperties, Colour0IsNeverBelowColour1) {
    for (const Block& block : sampleBlocks(1)) {
        const Bytes encoded = dxt1(block);
        ASSERT_GE(colour0(encoded), colour1(encoded));
        if (colour0(encoded) == colour1(encoded)) {
            // Only indices that mean "the one colour" in both BC1 modes.
            const uint32_t mask = indexWord(encoded);
            for (int k = 0; k < 16; ++k) {
                const uint32_t index = (mask >> (2 * k)) & 3;
                ASSERT_TRUE(index == 0 || index == 2) << "pixel " << k;
            }
        }
    }
}

TEST(ColourBlockProperties, ColourIgnoresAlphaExceptForTheFlatTest) {
    BlockSamples samples(5);
    for (int i = 0; i < 500; ++i) {
        Block a = samples.any(i % 5);  // kinds with colour variation
        Block b = a;
        for (int k = 0; k < 16; ++k) b[4 * k + 3] = static_cast<uint8_t>(samples.uniform(256));
        bool aFlat = true, bFlat = true;
        for (int k = 1; k < 16; ++k) {
            aFlat = aFlat && std::memcmp(&a[4 * k], &a[0], 4) == 0;
            bFlat = bFlat && std::memcmp(&b[4 * k], &b[0], 4) == 0;
        }
        if (aFlat || bFlat) continue;
        ASSERT_EQ(colourOf(a), colourOf(b)) << "block " << i;
    }
}

TEST(BlockProperties, ReadOnlyTheFourRowsAtAnyStride) {
    const TextureDspEnc dsp = dspTable();
    for (const Block& block : sampleBlocks(2)) {
        const Bytes bc1 = dxt1(block), bc3 = dxt5(block), ys = dxt5ys(block);
        for (ptrdiff_t stride : {ptrdiff_t{16}, ptrdiff_t{40}, ptrdiff_t{4096 + 24}}) {
            const GuardedBlock guarded(block, stride);
            uint8_t out[16];
            ASSERT_EQ(dsp.dxt1_block(out, stride, guarded.data()), 8);
            ASSERT_EQ(Bytes(out, out + 8), bc1) << "stride " << stride;
            ASSERT_EQ(dsp.dxt5_block(out, stride, guarded.data()), 16);
            ASSERT_EQ(Bytes(out, out + 16), bc3) << "stride " << stride;
            ASSERT_EQ(dsp.dxt5ys_block(out, stride, guarded.data()), 16);
            ASSERT_EQ(Bytes(out, out + 16), ys) << "stride " << stride;
            alpha_block(out, stride, guarded.data());
            ASSERT_EQ(Bytes(out, out + 8), Bytes(bc3.begin(), bc3.begin() + 8));
            ASSERT_EQ(color_indices(guarded.data(), stride, 0xFFFF, 0x0000),
                      color_indices(block.data(), 16, 0xFFFF, 0x0000));
        }
    }
}

TEST(BlockProperties, NegativeStrideWalksRowsUpward) {
    const TextureDspEnc dsp = dspTable();
    for (const Block& block : sampleBlocks(3)) {
        // The same pixels stored bottom row first.
        Block flipped;
        for (int y = 0; y < 4; ++y) std::memcpy(&flipped[16 * (3 - y)], &block[16 * y], 16);
        uint8_t a[16], b[16];
        dsp.dxt5_block(a, 16, block.data());
        dsp.dxt5_block(b, -16, flipped.data() + 48);
        ASSERT_EQ(Bytes(a, a + 16), Bytes(b, b + 16));
        dsp.dxt5ys_block(a, 16, block.data());
        dsp.dxt5ys_block(b, -16, flipped.data() + 48);
        ASSERT_EQ(Bytes(a, a + 16), Bytes(b, b + 16));
    }
}

TEST(BlockProperties, EncodingIsDeterministic) {
    // The same block always gives the same bytes, also after other blocks
    // (no state carried between calls).
    const std::vector<Block> blocks = sampleBlocks(4);
    std::vector<Bytes> first;
    for (const Block& block : blocks) first.push_back(dxt5ys(block));
    for (size_t i = blocks.size(); i-- > 0;) ASSERT_EQ(dxt5ys(blocks[i]), first[i]);
}

double rmse(const Block& source, const uint8_t* decoded, int channels) {
    double sum = 0;
    for (int k = 0; k < 16; ++k)
        for (int c = 0; c < channels; ++c) {
            const double d = source[4 * k + c] - decoded[4 * k + c];
            sum += d * d;
        }
    return std::sqrt(sum / (16.0 * channels));
}

using Decoder = void (*)(const uint8_t*, uint8_t*);

// Worst RMSE over R, G, B allowed for one block of each kind; measured
// encoder results sit well below (gradients ~14, edges ~4), while a broken
// one (endpoint order, shuffled indices, a lost channel) lands far above.
// Random noise cannot be fitted by four colours; its bound is on the mean.
struct FormatBounds {
    double gradient, edge, grainy, twoColour, flat, noiseMean;
};

void checkRoundTrip(OrvBlockEncodeFn encode, Decoder decode, const FormatBounds& bounds,
                    uint32_t seed) {
    BlockSamples samples(seed);
    const double perKind[7] = {bounds.gradient, bounds.edge, 0.0, bounds.grainy,
                               bounds.twoColour, bounds.flat, bounds.flat};
    const char* names[7] = {"gradient", "edge", "noise", "grainy", "two-colour",
                            "flat, varying alpha", "flat"};
    double noiseSum = 0;
    int noiseCount = 0;
    for (int i = 0; i < 7 * 1000; ++i) {
        const int kind = i % 7;
        const Block block = samples.any(kind);
        uint8_t encoded[16];
        uint8_t decoded[64];
        encode(encoded, 16, block.data());
        decode(encoded, decoded);
        const double error = rmse(block, decoded, 3);
        if (kind == 2) {
            noiseSum += error;
            ++noiseCount;
        } else {
            ASSERT_LE(error, perKind[kind]) << names[kind] << " block " << i;
        }
    }
    EXPECT_LE(noiseSum / noiseCount, bounds.noiseMean);
}

TEST(RoundTrip, BC1StaysCloseToTheSource) {
    checkRoundTrip(dspTable().dxt1_block, brindle::decodeBC1RGB,
                   FormatBounds{16.0, 6.0, 6.0, 6.0, 2.0, 60.0}, 6);
}

TEST(RoundTrip, BC3ColourStaysCloseToTheSource) {
    checkRoundTrip(dspTable().dxt5_block, brindle::decodeBC3RGBA,
                   FormatBounds{16.0, 6.0, 6.0, 6.0, 2.0, 60.0}, 7);
}

TEST(RoundTrip, YCoCgStaysCloseToTheSource) {
    checkRoundTrip(dspTable().dxt5ys_block, brindle::decodeBC3YCOGR,
                   FormatBounds{17.0, 7.0, 7.0, 7.0, 3.0, 50.0}, 8);
}

TEST(RoundTrip, AlphaStaysWithinHalfALevel) {
    BlockSamples samples(9);
    for (int i = 0; i < 7000; ++i) {
        const Block block = samples.any(i);
        uint8_t encoded[16];
        uint8_t decoded[64];
        dspTable().dxt5_block(encoded, 16, block.data());
        brindle::decodeBC3RGBA(encoded, decoded);
        int lo = 255, hi = 0;
        for (int k = 0; k < 16; ++k) {
            lo = std::min<int>(lo, block[4 * k + 3]);
            hi = std::max<int>(hi, block[4 * k + 3]);
        }
        // Eight levels spread over the block's own range: each pixel within
        // half a level (range / 14), plus one for the decoder's truncation.
        const int allowed = (hi - lo) / 14 + 1;
        for (int k = 0; k < 16; ++k)
            ASSERT_LE(std::abs(block[4 * k + 3] - decoded[4 * k + 3]), allowed)
                << "block " << i << " pixel " << k;
        // The BC4 plane is the same alpha block.
        brindle::decodeBC4RGBA(encoded, decoded);
        for (int k = 0; k < 16; ++k)
            ASSERT_LE(std::abs(block[4 * k + 3] - decoded[4 * k]), allowed);
    }
}

}  // namespace
