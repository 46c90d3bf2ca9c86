// The colour arithmetic. The block decoders are checked against the row
// decoders of every level, and the squared-error metric against the vector
// encoders' own, in test_dxt_simd.
#include <gtest/gtest.h>

#include <array>

#include "brindle.hpp"

using brindle::color;

TEST(ColourArithmetic, ThirtyTwoBitChannelsThatWrapWithUnsignedScalarsAndTruncatingDivision) {
    const auto channels = [](const color& c) { return std::array<uint32_t, 4>{c.r, c.g, c.b, c.a}; };
    EXPECT_EQ(channels((2 * color{255, 0, 0, 255} + color{0, 0, 255, 255}) / 3),
              (std::array<uint32_t, 4>{170, 0, 85, 255}));
    EXPECT_EQ(channels(1 + color{0xFFFFFFFFu, 1, 7, 0}), (std::array<uint32_t, 4>{0, 2, 8, 1}));
    EXPECT_EQ(channels(-1 + color{0, 5, 0, 0}),
              (std::array<uint32_t, 4>{0xFFFFFFFFu, 4, 0xFFFFFFFFu, 0xFFFFFFFFu}));
    EXPECT_EQ(channels(2 * color{0xFFFFFFFFu, 3, 0, 1} / 3), (std::array<uint32_t, 4>{0x55555554u, 2, 0, 0}));
}
