// The arithmetic of scaled YCoCg decoding that the scalar block decoder and
// the vector row decoders share.
#pragma once

namespace brindle {

// The chroma scale of a scaled YCoCg pixel, from the 8-bit blue its colour
// block decodes to: 1 to 32.
constexpr int ycocgScale(int blue) { return (blue >> 3) + 1; }

// n / scale rounded to nearest, halves upward: floor((2n + scale) / (2 scale)).
constexpr int ycocgRoundedQuotient(int n, int scale) {
    const int numerator = 2 * n + scale;
    const int denominator = 2 * scale;
    return numerator >= 0 ? numerator / denominator
                          : -((-numerator + denominator - 1) / denominator);
}

}  // namespace brindle
