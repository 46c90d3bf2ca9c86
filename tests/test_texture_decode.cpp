// The block decoders, the colour arithmetic and the squared-error metric.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "brindle.hpp"

namespace {

using brindle::color;
using Pixels = std::array<uint8_t, 64>;
using Rgba = std::array<int, 4>;

std::array<uint8_t, 8> colourBlock(uint16_t c0, uint16_t c1, uint32_t indices) {
    return {static_cast<uint8_t>(c0), static_cast<uint8_t>(c0 >> 8),
            static_cast<uint8_t>(c1), static_cast<uint8_t>(c1 >> 8),
            static_cast<uint8_t>(indices), static_cast<uint8_t>(indices >> 8),
            static_cast<uint8_t>(indices >> 16), static_cast<uint8_t>(indices >> 24)};
}

// A BC3 block: an alpha block with the given endpoints and 3-bit index of
// every pixel, then a colour block.
std::array<uint8_t, 16> bc3Block(uint8_t a0, uint8_t a1, const std::array<int, 16>& index,
                                 const std::array<uint8_t, 8>& colour) {
    uint64_t field = 0;
    for (int k = 0; k < 16; ++k) field |= static_cast<uint64_t>(index[k]) << (3 * k);
    std::array<uint8_t, 16> block{a0, a1};
    for (int i = 0; i < 6; ++i) block[2 + i] = static_cast<uint8_t>(field >> (8 * i));
    for (int i = 0; i < 8; ++i) block[8 + i] = colour[i];
    return block;
}

Rgba pixel(const Pixels& out, int k) {
    return {out[4 * k], out[4 * k + 1], out[4 * k + 2], out[4 * k + 3]};
}

TEST(ColourArithmetic, TwoThirdsPointWrapsInThirtyTwoBitsAndTruncates) {
    using Channels = std::array<uint32_t, 4>;
    auto channels = [](const color& c) { return Channels{c.r, c.g, c.b, c.a}; };
    EXPECT_EQ(channels((2 * color{255, 0, 0, 255} + color{0, 0, 255, 255}) / 3), (Channels{170, 0, 85, 255}));
    const color big{0xFFFFFFFFu, 1, 7, 0};
    EXPECT_EQ(channels(1 + big), (Channels{0, 2, 8, 1}));
    EXPECT_EQ((2 * big).r, 0xFFFFFFFEu);
    // The scalar is taken as unsigned.
    EXPECT_EQ(channels(-1 + color{0, 5, 0, 0}), (Channels{0xFFFFFFFFu, 4, 0xFFFFFFFFu, 0xFFFFFFFFu}));
    EXPECT_EQ(channels(color{8, 9, 10, 11} / 3), (Channels{2, 3, 3, 3}));
    EXPECT_EQ(channels(color{1, 2, 3, 4} + color{10, 20, 30, 40}), (Channels{11, 22, 33, 44}));
}

TEST(DecodeBC1, PaletteByBitReplicationAndIndicesFromTheLowBits) {
    constexpr Rgba red{255, 0, 0, 255}, blue{0, 0, 255, 255}, redish{170, 0, 85, 255},
        bluish{85, 0, 170, 255};
    const struct {
        uint16_t c0, c1;
        uint32_t indices;
        std::array<Rgba, 4> palette;  // the entries the indices use
    } cases[] = {
        {0xF800, 0xF800, 0xAAAAAAAA, {red, red, red, red}},
        {0xF800, 0x001F, 0xE4E4E4E4, {red, blue, redish, bluish}},
        {0xF800, 0x001F, 0x00000003, {red, blue, redish, bluish}},
        // Each field expands by bit replication: 0x8410 is 16, 32, 16.
        {0x8410, 0x0821, 0x55555555, {Rgba{132, 130, 132, 255}, Rgba{8, 4, 8, 255}, {}, {}}},
        {0x8410, 0x0821, 0x00000000, {Rgba{132, 130, 132, 255}, Rgba{8, 4, 8, 255}, {}, {}}},
        // colour 0 < colour 1 still gives the four-colour palette; index 3 is
        // not transparent black.
        {0x001F, 0xF800, 0xFFFFFFFF, {blue, red, bluish, redish}},
    };
    for (const auto& c : cases) {
        Pixels out;
        brindle::decodeBC1RGB(colourBlock(c.c0, c.c1, c.indices).data(), out.data());
        for (int k = 0; k < 16; ++k)
            EXPECT_EQ(pixel(out, k), c.palette[(c.indices >> (2 * k)) & 3])
                << std::hex << c.c0 << " " << c.c1 << " " << c.indices << ", pixel " << k;
    }
}

TEST(DecodeAlpha, EightAndSixValueModesInBC3AndBC4) {
    // Alpha indices 0..7 twice, so every palette entry shows up.
    constexpr std::array<int, 16> every = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7};
    const struct {
        uint8_t a0, a1;
        std::array<int, 16> index;
        std::array<int, 8> palette;
    } cases[] = {
        // a0 > a1: ((8 - j) * a0 + (j - 1) * a1) / 7, truncated.
        {255, 0, every, {255, 0, 218, 182, 145, 109, 72, 36}},
        // a0 <= a1: j = 2..5 interpolate in fifths; then 0 and 255.
        {50, 200, every, {50, 200, 80, 110, 140, 170, 0, 255}},
        // What the encoder writes for constant alpha: 25 25 00 00 00 00 00 00.
        {0x25, 0x25, {}, {37}},
    };
    for (const auto& c : cases) {
        const auto block = bc3Block(c.a0, c.a1, c.index, colourBlock(0, 0, 0));
        Pixels bc3, bc4;
        brindle::decodeBC3RGBA(block.data(), bc3.data());
        brindle::decodeBC4RGBA(block.data(), bc4.data());
        for (int k = 0; k < 16; ++k) {
            const int v = c.palette[c.index[k]];
            EXPECT_EQ(bc3[4 * k + 3], v) << int{c.a0} << " " << int{c.a1} << ", pixel " << k;
            EXPECT_EQ(pixel(bc4, k), (Rgba{v, v, v, v})) << int{c.a0} << ", pixel " << k;
        }
    }
}

TEST(DecodeBC3, AlphaAndColourHalvesLandInTheirChannels) {
    std::array<int, 16> index{};
    index[5] = 1;
    Pixels out;
    const auto block = bc3Block(200, 10, index, colourBlock(0xF800, 0x001F, 3));
    brindle::decodeBC3RGBA(block.data(), out.data());
    for (int k = 0; k < 16; ++k) {
        const Rgba expected = k == 0 ? Rgba{85, 0, 170, 200} : Rgba{255, 0, 0, k == 5 ? 10 : 200};
        EXPECT_EQ(pixel(out, k), expected) << "pixel " << k;
    }
}

TEST(DecodeBC3YCoCg, InvertsTheScaledTransformAndClamps) {
    // The colour block carries Co in red, Cg in green and the scale in blue:
    // colour 0 = 0x8400 expands to (132, 130, 0), scale 1; colour 1 = 0x0820
    // to (8, 4, 0). The alpha block carries Y, here in six-value mode so that
    // index 6 gives 0.
    std::array<int, 16> index{};
    index[1] = 1;
    index[2] = 6;
    Pixels out;
    brindle::decodeBC3YCOGR(bc3Block(100, 250, index, colourBlock(0x8400, 0x0820, 0x14)).data(),
                            out.data());
    // Y 100, Co' 4, Cg' 2: R = Y + Co' - Cg', G = Y + Cg', B = Y - Co' - Cg'.
    // Pixel 1: Y 250, Co' -120, Cg' -124: blue 494 clamps to 255.
    // Pixel 2: Y 0, same chroma: green -124 clamps to 0.
    const Rgba unscaled[3] = {{102, 102, 94, 255}, {254, 126, 255, 255}, {4, 0, 244, 255}};
    for (int k = 0; k < 16; ++k) EXPECT_EQ(pixel(out, k), unscaled[k < 3 ? k : 0]) << k;

    // Blue 5-bit 1 expands to 8: scale 2; 31 expands to 255: scale 32. Each
    // quotient rounds to nearest, halves up: 2 / 2 = 1, -6 / 2 = -3,
    // 2 / 32 = 0, -6 / 32 = 0 (-0.1875).
    const struct {
        uint16_t colour;
        Rgba pixel;
    } scaled[] = {{0x8401, {101, 101, 97, 255}}, {0x841F, {100, 100, 100, 255}}};
    for (const auto& c : scaled) {
        brindle::decodeBC3YCOGR(bc3Block(100, 100, {}, colourBlock(c.colour, c.colour, 0)).data(),
                                out.data());
        EXPECT_EQ(pixel(out, 0), c.pixel) << std::hex << c.colour;
    }
}

TEST(SquareErrorRGBA, SumsSquaresOfExactlyNBytesInThirtyTwoBitsWithWrapAround) {
    using brindle::metrics::squareErrorRGBA;
    const uint8_t zero[4] = {0, 0, 0, 0}, ramp[4] = {1, 2, 3, 4};
    EXPECT_EQ(squareErrorRGBA(zero, ramp, 4), 30.0);
    EXPECT_EQ(squareErrorRGBA(ramp, zero, 4), 30.0);
    std::vector<uint8_t> a(64);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(squareErrorRGBA(a.data(), a.data(), 64), 0.0);
    EXPECT_EQ(squareErrorRGBA(nullptr, nullptr, 0), 0.0);
    // Exact-size heap buffers: a read past n shows under AddressSanitizer,
    // and the differing bytes beyond n in the longer buffers must not count.
    std::vector<uint8_t> x(8, 0), y(8, 0);
    y[2] = 10;
    y[5] = 200;
    EXPECT_EQ(squareErrorRGBA(x.data(), y.data(), 4), 100.0);
    // 16,513 pixels of maximal difference: 16513 * 4 * 65025 = 4,295,031,300
    // wraps to 64,004; one pixel fewer still fits, and one block is exact.
    const unsigned n = 16513 * 4;
    std::vector<uint8_t> black(n, 0), white(n, 255);
    EXPECT_EQ(squareErrorRGBA(black.data(), white.data(), 64), 4161600.0);
    EXPECT_EQ(squareErrorRGBA(black.data(), white.data(), n), 4295031300.0 - 4294967296.0);
    EXPECT_EQ(squareErrorRGBA(black.data(), white.data(), n - 4), 16512.0 * 4 * 65025);
}

}  // namespace
