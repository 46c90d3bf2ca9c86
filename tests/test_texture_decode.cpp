// The colour arithmetic and the squared-error metric. The block decoders are
// checked against the reader's vector decoders on random blocks
// (test_orv_file_reader, and the reader's fuzz harness).
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "brindle.hpp"

using brindle::color;

TEST(ColourArithmetic, ThirtyTwoBitChannelsThatWrapWithUnsignedScalarsAndTruncatingDivision) {
    const auto channels = [](const color& c) { return std::array<uint32_t, 4>{c.r, c.g, c.b, c.a}; };
    EXPECT_EQ(channels((2 * color{255, 0, 0, 255} + color{0, 0, 255, 255}) / 3), (std::array<uint32_t, 4>{170, 0, 85, 255}));
    EXPECT_EQ(channels(1 + color{0xFFFFFFFFu, 1, 7, 0}), (std::array<uint32_t, 4>{0, 2, 8, 1}));
    EXPECT_EQ(channels(-1 + color{0, 5, 0, 0}), (std::array<uint32_t, 4>{0xFFFFFFFFu, 4, 0xFFFFFFFFu, 0xFFFFFFFFu}));
    EXPECT_EQ(channels(2 * color{0xFFFFFFFFu, 3, 0, 1} / 3), (std::array<uint32_t, 4>{0x55555554u, 2, 0, 0}));
}

TEST(SquareErrorRGBA, SumsSquaresOfExactlyNBytesInThirtyTwoBitsWithWrapAround) {
    using brindle::metrics::squareErrorRGBA;
    // Exact-size heap buffers: a read past n shows under AddressSanitizer.
    const std::vector<uint8_t> zero(4, 0), ramp = {1, 2, 3, 4}, differs = {0, 0, 0, 0, 9, 9, 9, 9};
    EXPECT_EQ(squareErrorRGBA(ramp.data(), zero.data(), 4), 30.0);
    EXPECT_EQ(squareErrorRGBA(zero.data(), differs.data(), 4), 0.0);
    // 16,513 pixels of maximal difference: 16513 * 4 * 65025 wraps to 64,004.
    const std::vector<uint8_t> black(16513 * 4, 0), white(16513 * 4, 255);
    EXPECT_EQ(squareErrorRGBA(black.data(), white.data(), 16513 * 4), 4295031300.0 - 4294967296.0);
    EXPECT_EQ(squareErrorRGBA(white.data(), black.data(), 16512 * 4), 16512.0 * 4 * 65025);
}
