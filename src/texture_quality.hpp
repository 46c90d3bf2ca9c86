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
double textureSquaredError(const OrvSrcSlice& src, OrvTexFmt fmt, const uint8_t* blocks);

}  // namespace brindle
