// The scalar block encoders behind ff_texturedspenc_init, and the shared
// alpha-block core that the BC4 plane uses directly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindle {

// 8-byte BC3 alpha / BC4 block of the fourth byte of each pixel.
void alpha_block(uint8_t* dst, ptrdiff_t stride, const uint8_t* block);
// 8-byte BC1 colour block of the first three bytes of each pixel.
void color_block(uint8_t* dst, ptrdiff_t stride, const uint8_t* block);
// 2-bit indices of the 16 pixels for the 5:6:5 endpoints c0, c1.
uint32_t color_indices(const uint8_t* block, ptrdiff_t stride, uint16_t c0, uint16_t c1);

}  // namespace brindle
