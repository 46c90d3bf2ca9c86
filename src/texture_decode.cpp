// Block decoders and the squared-error metric: the measuring kit beside the
// encoders. Written from the block layouts, independently of the encoder
// code, so that tests can round-trip through them.
#include <cstring>

#include "brindle.hpp"
#include "texture_decode.hpp"

namespace brindle {

// ---- Colour arithmetic ------------------------------------------------------

// All components are 32-bit unsigned: sums and products wrap, division
// truncates.
color operator+(int s, const color& c) {
    const uint32_t u = static_cast<uint32_t>(s);
    return color{c.r + u, c.g + u, c.b + u, c.a + u};
}

color operator+(const color& p, const color& q) {
    return color{p.r + q.r, p.g + q.g, p.b + q.b, p.a + q.a};
}

color operator*(int s, const color& c) {
    const uint32_t u = static_cast<uint32_t>(s);
    return color{u * c.r, u * c.g, u * c.b, u * c.a};
}

color operator/(const color& c, int s) {
    const uint32_t u = static_cast<uint32_t>(s);
    return color{c.r / u, c.g / u, c.b / u, c.a / u};
}

namespace {

// ---- Block halves -------------------------------------------------------------

uint32_t loadLE16(const uint8_t* p) { return static_cast<uint32_t>(p[0] | p[1] << 8); }

uint32_t loadLE32(const uint8_t* p) { return loadLE16(p) | loadLE16(p + 2) << 16; }

color expand565(uint32_t c) {
    const uint32_t r5 = (c >> 11) & 31;
    const uint32_t g6 = (c >> 5) & 63;
    const uint32_t b5 = c & 31;
    return color{(r5 << 3) | (r5 >> 2), (g6 << 2) | (g6 >> 4), (b5 << 3) | (b5 >> 2), 255};
}

// The 8-byte colour block into R, G, B of the 16 pixels (alpha untouched).
// Always the four-colour palette: the encoder never writes colour 0 < colour 1.
void decodeColourHalf(const uint8_t* block, uint8_t* out) {
    color palette[4];
    palette[0] = expand565(loadLE16(block));
    palette[1] = expand565(loadLE16(block + 2));
    palette[2] = (2 * palette[0] + palette[1]) / 3;
    palette[3] = (palette[0] + 2 * palette[1]) / 3;
    const uint32_t indices = loadLE32(block + 4);
    for (int k = 0; k < 16; ++k) {
        const color& c = palette[(indices >> (2 * k)) & 3];
        out[4 * k + 0] = static_cast<uint8_t>(c.r);
        out[4 * k + 1] = static_cast<uint8_t>(c.g);
        out[4 * k + 2] = static_cast<uint8_t>(c.b);
    }
}

// The 8-byte alpha block into 16 values. The interpolated entries use plain
// truncating integer division (255 * 6 / 7 gives 218); GPUs round these
// differently, by at most one, which no caller here cares about.
void decodeAlphaHalf(const uint8_t* block, uint8_t values[16]) {
    const int a0 = block[0];
    const int a1 = block[1];
    int palette[8];
    palette[0] = a0;
    palette[1] = a1;
    if (a0 > a1) {
        for (int j = 2; j < 8; ++j) palette[j] = ((8 - j) * a0 + (j - 1) * a1) / 7;
    } else {
        for (int j = 2; j < 6; ++j) palette[j] = ((6 - j) * a0 + (j - 1) * a1) / 5;
        palette[6] = 0;
        palette[7] = 255;
    }
    uint64_t indices = 0;
    for (int i = 0; i < 6; ++i) indices |= static_cast<uint64_t>(block[2 + i]) << (8 * i);
    for (int k = 0; k < 16; ++k) values[k] = static_cast<uint8_t>(palette[(indices >> (3 * k)) & 7]);
}

uint8_t clampByte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

}  // namespace

// ---- Block decoders ---------------------------------------------------------

void decodeBC1RGB(const uint8_t* block, uint8_t* out) {
    decodeColourHalf(block, out);
    for (int k = 0; k < 16; ++k) out[4 * k + 3] = 255;
}

void decodeBC3RGBA(const uint8_t* block, uint8_t* out) {
    uint8_t alpha[16];
    decodeAlphaHalf(block, alpha);
    decodeColourHalf(block + 8, out);
    for (int k = 0; k < 16; ++k) out[4 * k + 3] = alpha[k];
}

void decodeBC3YCOGR(const uint8_t* block, uint8_t* out) {
    uint8_t ycocg[64];
    decodeBC3RGBA(block, ycocg);
    for (int k = 0; k < 16; ++k) {
        // Scaled YCoCg keeps the chroma scale in blue (liborv always writes
        // blue 0, scale 1); each channel is luma plus the chroma divided by
        // the scale, rounded to nearest.
        const int co = ycocg[4 * k + 0] - 128;
        const int cg = ycocg[4 * k + 1] - 128;
        const int scale = ycocgScale(ycocg[4 * k + 2]);
        const int y = ycocg[4 * k + 3];
        out[4 * k + 0] = clampByte(y + ycocgRoundedQuotient(co - cg, scale));
        out[4 * k + 1] = clampByte(y + ycocgRoundedQuotient(cg, scale));
        out[4 * k + 2] = clampByte(y + ycocgRoundedQuotient(-co - cg, scale));
        out[4 * k + 3] = 255;
    }
}

void decodeBC4RGBA(const uint8_t* block, uint8_t* out) {
    uint8_t alpha[16];
    decodeAlphaHalf(block, alpha);
    for (int k = 0; k < 16; ++k) std::memset(out + 4 * k, alpha[k], 4);
}

// ---- Metric -------------------------------------------------------------------

namespace metrics {

double squareErrorRGBA(const uint8_t* a, const uint8_t* b, unsigned n) {
    // 32 bits on purpose: the figure is defined to wrap, and one block's sum
    // (at most 4,161,600) is always exact.
    uint32_t sum = 0;
    for (unsigned i = 0; i < n; i += 4) {
        for (unsigned c = 0; c < 4; ++c) {
            const int d = a[i + c] - b[i + c];
            sum += static_cast<uint32_t>(d * d);
        }
    }
    return static_cast<double>(sum);
}

}  // namespace metrics

}  // namespace brindle
