// The block decoders, the colour arithmetic and the squared-error metric.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "brindle.hpp"

namespace {

using brindle::color;
using Pixels = std::array<uint8_t, 64>;

std::array<uint8_t, 8> colourBlock(uint16_t c0, uint16_t c1, uint32_t indices) {
    return {static_cast<uint8_t>(c0), static_cast<uint8_t>(c0 >> 8),
            static_cast<uint8_t>(c1), static_cast<uint8_t>(c1 >> 8),
            static_cast<uint8_t>(indices), static_cast<uint8_t>(indices >> 8),
            static_cast<uint8_t>(indices >> 16), static_cast<uint8_t>(indices >> 24)};
}

// An alpha block with the given endpoints and 3-bit index of every pixel.
std::array<uint8_t, 8> alphaBlock(uint8_t a0, uint8_t a1, const std::array<int, 16>& index) {
    uint64_t field = 0;
    for (int k = 0; k < 16; ++k) field |= static_cast<uint64_t>(index[k]) << (3 * k);
    std::array<uint8_t, 8> block{a0, a1};
    for (int i = 0; i < 6; ++i) block[2 + i] = static_cast<uint8_t>(field >> (8 * i));
    return block;
}

std::array<uint8_t, 16> bc3Block(const std::array<uint8_t, 8>& alpha,
                                 const std::array<uint8_t, 8>& colour) {
    std::array<uint8_t, 16> block;
    std::copy(alpha.begin(), alpha.end(), block.begin());
    std::copy(colour.begin(), colour.end(), block.begin() + 8);
    return block;
}

void expectPixel(const Pixels& out, int k, int r, int g, int b, int a) {
    EXPECT_EQ(out[4 * k + 0], r) << "pixel " << k << " red";
    EXPECT_EQ(out[4 * k + 1], g) << "pixel " << k << " green";
    EXPECT_EQ(out[4 * k + 2], b) << "pixel " << k << " blue";
    EXPECT_EQ(out[4 * k + 3], a) << "pixel " << k << " alpha";
}

// Alpha indices 0..7 twice, so every palette entry shows up.
constexpr std::array<int, 16> everyAlphaIndex = {0, 1, 2, 3, 4, 5, 6, 7,
                                                 0, 1, 2, 3, 4, 5, 6, 7};

// ---- Colour arithmetic ----------------------------------------------------------

TEST(ColourArithmetic, TwoThirdsPointOfRedAndBlue) {
    const color c0{255, 0, 0, 255};
    const color c1{0, 0, 255, 255};
    const color mix = (2 * c0 + c1) / 3;
    EXPECT_EQ(mix.r, 170u);
    EXPECT_EQ(mix.g, 0u);
    EXPECT_EQ(mix.b, 85u);
    EXPECT_EQ(mix.a, 255u);
}

TEST(ColourArithmetic, WrapsInThirtyTwoBitsAndTruncates) {
    const color big{0xFFFFFFFFu, 1, 7, 0};
    const color sum = 1 + big;
    EXPECT_EQ(sum.r, 0u);
    EXPECT_EQ(sum.g, 2u);
    const color doubled = 2 * big;
    EXPECT_EQ(doubled.r, 0xFFFFFFFEu);
    const color negative = -1 + color{0, 5, 0, 0};  // the scalar is taken as unsigned
    EXPECT_EQ(negative.r, 0xFFFFFFFFu);
    EXPECT_EQ(negative.g, 4u);
    const color third = color{8, 9, 10, 11} / 3;
    EXPECT_EQ(third.r, 2u);
    EXPECT_EQ(third.g, 3u);
    EXPECT_EQ(third.b, 3u);
    EXPECT_EQ(third.a, 3u);
    const color pair = color{1, 2, 3, 4} + color{10, 20, 30, 40};
    EXPECT_EQ(pair.r, 11u);
    EXPECT_EQ(pair.a, 44u);
}

// ---- BC1 ----------------------------------------------------------------------

TEST(DecodeBC1, FlatRed) {
    Pixels out;
    brindle::decodeBC1RGB(colourBlock(0xF800, 0xF800, 0xAAAAAAAA).data(), out.data());
    for (int k = 0; k < 16; ++k) expectPixel(out, k, 255, 0, 0, 255);
}

TEST(DecodeBC1, FourColourPaletteByBitReplication) {
    Pixels out;
    brindle::decodeBC1RGB(colourBlock(0xF800, 0x001F, 0xE4E4E4E4).data(), out.data());
    for (int y = 0; y < 4; ++y) {
        expectPixel(out, 4 * y + 0, 255, 0, 0, 255);
        expectPixel(out, 4 * y + 1, 0, 0, 255, 255);
        expectPixel(out, 4 * y + 2, 170, 0, 85, 255);
        expectPixel(out, 4 * y + 3, 85, 0, 170, 255);
    }
}

TEST(DecodeBC1, IndexOfPixelZeroSitsInTheLowBits) {
    Pixels out;
    brindle::decodeBC1RGB(colourBlock(0xF800, 0x001F, 0x00000003).data(), out.data());
    expectPixel(out, 0, 85, 0, 170, 255);
    for (int k = 1; k < 16; ++k) expectPixel(out, k, 255, 0, 0, 255);
}

TEST(DecodeBC1, ExpandsEveryFieldByBitReplication) {
    // 0x8410: red 16 -> 132, green 32 -> 130, blue 16 -> 132.
    Pixels out;
    brindle::decodeBC1RGB(colourBlock(0x8410, 0x0821, 0x55555555).data(), out.data());
    for (int k = 0; k < 16; ++k) expectPixel(out, k, 8, 4, 8, 255);  // 0x0821: 1, 1, 1
    brindle::decodeBC1RGB(colourBlock(0x8410, 0x0821, 0).data(), out.data());
    for (int k = 0; k < 16; ++k) expectPixel(out, k, 132, 130, 132, 255);
}

TEST(DecodeBC1, IgnoresTheThreeColourMode) {
    // colour 0 < colour 1 still gives the four-colour palette; index 3 is
    // not transparent black.
    Pixels out;
    brindle::decodeBC1RGB(colourBlock(0x001F, 0xF800, 0xFFFFFFFF).data(), out.data());
    for (int k = 0; k < 16; ++k) expectPixel(out, k, 170, 0, 85, 255);
}

// ---- Alpha: BC3 and BC4 -----------------------------------------------------------

TEST(DecodeAlpha, EightValueModeWhenAlpha0IsLarger) {
    Pixels out;
    const auto alpha = alphaBlock(255, 0, everyAlphaIndex);
    brindle::decodeBC3RGBA(bc3Block(alpha, colourBlock(0, 0, 0)).data(), out.data());
    // ((8 - j) * 255 + (j - 1) * 0) / 7, truncated.
    const int expected[8] = {255, 0, 218, 182, 145, 109, 72, 36};
    for (int k = 0; k < 16; ++k) EXPECT_EQ(out[4 * k + 3], expected[k % 8]) << "pixel " << k;
}

TEST(DecodeAlpha, SixValueModeWhenAlpha0IsNotLarger) {
    Pixels out;
    const auto alpha = alphaBlock(50, 200, everyAlphaIndex);
    brindle::decodeBC3RGBA(bc3Block(alpha, colourBlock(0, 0, 0)).data(), out.data());
    // j = 2..5: ((6 - j) * 50 + (j - 1) * 200) / 5; then 0 and 255.
    const int expected[8] = {50, 200, 80, 110, 140, 170, 0, 255};
    for (int k = 0; k < 16; ++k) EXPECT_EQ(out[4 * k + 3], expected[k % 8]) << "pixel " << k;
}

TEST(DecodeAlpha, EqualEndpointsWithIndexZeroGiveTheValue) {
    // What the encoder writes for constant alpha: 25 25 00 00 00 00 00 00.
    const std::array<uint8_t, 8> alpha{0x25, 0x25, 0, 0, 0, 0, 0, 0};
    Pixels out;
    brindle::decodeBC4RGBA(alpha.data(), out.data());
    for (int k = 0; k < 16; ++k) expectPixel(out, k, 37, 37, 37, 37);
}

TEST(DecodeBC3, AlphaAndColourHalvesLandInTheirChannels) {
    std::array<int, 16> index{};
    index[5] = 1;
    Pixels out;
    const auto block = bc3Block(alphaBlock(200, 10, index), colourBlock(0xF800, 0x001F, 0x00000003));
    brindle::decodeBC3RGBA(block.data(), out.data());
    expectPixel(out, 0, 85, 0, 170, 200);
    expectPixel(out, 5, 255, 0, 0, 10);
    for (int k = 1; k < 16; ++k)
        if (k != 5) expectPixel(out, k, 255, 0, 0, 200);
}

TEST(DecodeBC4, AlphaInAllFourBytes) {
    Pixels out;
    brindle::decodeBC4RGBA(alphaBlock(255, 0, everyAlphaIndex).data(), out.data());
    const int expected[8] = {255, 0, 218, 182, 145, 109, 72, 36};
    for (int k = 0; k < 16; ++k) {
        const int v = expected[k % 8];
        expectPixel(out, k, v, v, v, v);
    }
}

// ---- YCoCg ----------------------------------------------------------------------

TEST(DecodeBC3YCoCg, InvertsTheScaledTransformAndClamps) {
    // The colour block carries Co in red and Cg in green: colour 0 = 0x8400
    // expands to (132, 130, 0), colour 1 = 0x0820 to (8, 4, 0). The alpha
    // block carries Y, here in six-value mode so that index 6 gives 0.
    const auto colour = colourBlock(0x8400, 0x0820, 0x00000014);  // pixels 1, 2: colour 1
    std::array<int, 16> index{};
    index[1] = 1;
    index[2] = 6;
    const auto block = bc3Block(alphaBlock(100, 250, index), colour);
    Pixels out;
    brindle::decodeBC3YCOGR(block.data(), out.data());
    // Y 100, Co' 4, Cg' 2: R = Y + Co' - Cg', G = Y + Cg', B = Y - Co' - Cg'.
    expectPixel(out, 0, 102, 102, 94, 255);
    // Y 250, Co' -120, Cg' -124: blue 494 clamps to 255.
    expectPixel(out, 1, 254, 126, 255, 255);
    // Y 0, same chroma: green -124 clamps to 0.
    expectPixel(out, 2, 4, 0, 244, 255);
    for (int k = 3; k < 16; ++k) expectPixel(out, k, 102, 102, 94, 255);
}

// ---- Metric ---------------------------------------------------------------------

TEST(SquareErrorRGBA, EqualBuffersGiveZero) {
    std::vector<uint8_t> a(64);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(brindle::metrics::squareErrorRGBA(a.data(), a.data(), 64), 0.0);
}

TEST(SquareErrorRGBA, CountsAllFourChannels) {
    const uint8_t a[4] = {0, 0, 0, 0};
    const uint8_t b[4] = {1, 2, 3, 4};
    EXPECT_EQ(brindle::metrics::squareErrorRGBA(a, b, 4), 30.0);
    EXPECT_EQ(brindle::metrics::squareErrorRGBA(b, a, 4), 30.0);
}

TEST(SquareErrorRGBA, ZeroBytesReadsNothing) {
    EXPECT_EQ(brindle::metrics::squareErrorRGBA(nullptr, nullptr, 0), 0.0);
}

TEST(SquareErrorRGBA, ReadsExactlyNBytes) {
    // Exact-size heap buffers: a read past n shows under AddressSanitizer,
    // and the differing bytes beyond n in the longer buffers must not count.
    std::vector<uint8_t> a(8, 0), b(8, 0);
    b[2] = 10;
    b[5] = 200;
    EXPECT_EQ(brindle::metrics::squareErrorRGBA(a.data(), b.data(), 4), 100.0);
}

TEST(SquareErrorRGBA, SumsInThirtyTwoBitsWithWrapAround) {
    // One block of maximal difference is exact.
    std::vector<uint8_t> zeros(64, 0), full(64, 255);
    EXPECT_EQ(brindle::metrics::squareErrorRGBA(zeros.data(), full.data(), 64), 4161600.0);
    // 16,513 pixels of maximal difference: 16513 * 4 * 65025 = 4,295,031,300
    // wraps to 64,004 (minus 2^32).
    const unsigned n = 16513 * 4;
    std::vector<uint8_t> black(n, 0), white(n, 255);
    EXPECT_EQ(brindle::metrics::squareErrorRGBA(black.data(), white.data(), n),
              4295031300.0 - 4294967296.0);
    // One pixel fewer still fits.
    EXPECT_EQ(brindle::metrics::squareErrorRGBA(black.data(), white.data(), n - 4),
              16512.0 * 4 * 65025);
}

}  // namespace
