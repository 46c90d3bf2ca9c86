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

// The scalar reference block functions that ff_texturedspenc_init hands out.
// Any faster variant must produce the same bytes. Each returns the bytes it
// wrote: 8, 16 and 16.
int dxt1_block(uint8_t* dst, ptrdiff_t stride, const uint8_t* block);
int dxt5_block(uint8_t* dst, ptrdiff_t stride, const uint8_t* block);
int dxt5ys_block(uint8_t* dst, ptrdiff_t stride, const uint8_t* block);

// The scaled YCoCg form of the 16 pixels that dxt5ys_block encodes: 64 bytes
// at dst, rows 16 bytes apart, each pixel (Co, Cg, 0, Y).
void ycocg_block(uint8_t* dst, ptrdiff_t stride, const uint8_t* block);

// A row of the single-colour tables: the 5-bit (solidMatch5) or 6-bit
// (solidMatch6) endpoints whose two-thirds point reproduces v best.
struct SolidMatch {
    uint8_t q0;
    uint8_t q1;
};
SolidMatch solidMatch5(uint8_t v);
SolidMatch solidMatch6(uint8_t v);

}  // namespace brindle
