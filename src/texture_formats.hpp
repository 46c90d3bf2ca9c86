// Sizes of the source pixel layouts, beside the texture sizes of brindle.hpp.
#pragma once

#include <cstdint>

#include "orv.h"

namespace brindle {

// Bytes per pixel of a source layout, or 0 for a value that names none.
uint32_t srcBytesPerPixel(uint32_t pixFmt);

}  // namespace brindle
