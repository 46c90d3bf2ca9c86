// How faithful an encoded texture is to the pixels it was made from.
#pragma once

#include <cstdint>

#include "brindle.hpp"
#include "orvenc_frame.hpp"

namespace brindle {

// Sum of squared differences between the slice's RGBA or BGRA pixels and the
// decoded blocks of `fmt`, over the channels the format carries (BC1 and
// YCoCg: R, G, B; BC3 RGBA: all four; BC4: alpha). Padding counts like any
// pixel. Other source layouts give 0.
//
// With a blockRowStep above 1 only every blockRowStep-th row of blocks is
// measured, starting with the first, and the sum is scaled to the whole
// texture: an estimate at a fraction of the cost, which is what the
// encoder's status line needs.
double textureSquaredError(const OrvSrcSlice& src, OrvTexFmt fmt, const uint8_t* blocks,
                           uint32_t blockRowStep = 1);

}  // namespace brindle
