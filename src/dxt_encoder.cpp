// The scalar DXT block encoders. The colour encoder follows the stb_dxt
// scheme: seed the endpoints along the block's principal colour axis, pick
// indices by projection, refine once by least squares, and serve flat blocks
// from single-colour tables. Every step is fixed down to the float precision
// and the tie-breaks, because vectorised variants and other encoders of the
// same files must reproduce these bytes exactly.
#include "dxt_encoder.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "brindle.hpp"

namespace brindle {

namespace {

// ---- Tables ----------------------------------------------------------------

// Expansion of a quantised channel to 8 bits by bit replication, the way a
// GPU decodes it.
constexpr std::array<uint8_t, 32> bits5_to_8 = [] {
    std::array<uint8_t, 32> table{};
    for (int i = 0; i < 32; ++i) table[i] = static_cast<uint8_t>((i << 3) | (i >> 2));
    return table;
}();

constexpr std::array<uint8_t, 64> bits6_to_8 = [] {
    std::array<uint8_t, 64> table{};
    for (int i = 0; i < 64; ++i) table[i] = static_cast<uint8_t>((i << 2) | (i >> 4));
    return table;
}();

// For every 8-bit value, the endpoint pair whose two-thirds point
// (index 2 of a BC1 block) comes closest to it. The |e0 - e1| term keeps the
// endpoints close together, so that a decoder's rounding of the 2/3 point
// matters less. The loop order decides ties: the first pair found wins.
// A million steps per table is too much for the compiler's constant
// evaluation, so the tables are built on first use instead.
template <size_t N>
std::array<SolidMatch, 256> makeSolidMatch(const std::array<uint8_t, N>& expand) {
    std::array<SolidMatch, 256> table{};
    for (int v = 0; v < 256; ++v) {
        int bestError = 256;
        for (size_t q1 = 0; q1 < N; ++q1) {
            for (size_t q0 = 0; q0 < N; ++q0) {
                const int e0 = expand[q0];
                const int e1 = expand[q1];
                const int error = std::abs((2 * e0 + e1) / 3 - v) + std::abs(e0 - e1) * 3 / 100;
                if (error < bestError) {
                    table[v] = SolidMatch{static_cast<uint8_t>(q0), static_cast<uint8_t>(q1)};
                    bestError = error;
                }
            }
        }
    }
    return table;
}

struct SolidTables {
    std::array<SolidMatch, 256> match5 = makeSolidMatch(bits5_to_8);
    std::array<SolidMatch, 256> match6 = makeSolidMatch(bits6_to_8);
};

// Built once, thread-safely, by whichever encoder call comes first; read-only
// afterwards.
const SolidTables& solidTables() {
    static const SolidTables tables;
    return tables;
}

// Colour index for each pattern of the three threshold tests of
// color_indices: bit 2 "below tB", bit 1 "below tA", bit 0 "below tC".
// Patterns that ordered thresholds cannot produce still map somewhere.
constexpr uint8_t index_map[8] = {0, 2, 0, 2, 3, 3, 1, 1};

// Three times the weight of colour 0 in the colour each index denotes
// (index 0 is colour 0, 1 is colour 1, 2 is 2/3 colour 0, 3 is 1/3 colour 0).
constexpr int lsq_weight[4] = {3, 0, 2, 1};

// Per index, the three entries of the least-squares normal matrix packed into
// one integer so that sixteen additions build the whole matrix: w0^2 from
// bit 16, w1^2 in bits 8-15, w0*w1 in bits 0-7 (weights times three, so no
// field can overflow over 16 pixels: at most 16 * 9 = 144).
constexpr std::array<int, 4> lsq_packed = [] {
    std::array<int, 4> table{};
    for (int i = 0; i < 4; ++i) {
        const int w0 = lsq_weight[i];
        const int w1 = 3 - w0;
        table[i] = (w0 * w0) << 16 | (w1 * w1) << 8 | (w0 * w1);
    }
    return table;
}();
static_assert(lsq_packed[2] == 0x040102 && lsq_packed[3] == 0x010402);

// 93/255: scales the least-squares solution back from thrice-weighted sums to
// 5-bit units (31/255, times the 3 of the weights). The literal must round to
// exactly this single-precision value.
constexpr float lsqScale = 0.3647059f;
static_assert(std::bit_cast<uint32_t>(lsqScale) == 0x3EBABABB);

// The colour axis used when the block has too little spread for the power
// iteration to mean anything: luma weights.
constexpr int fallbackAxis[3] = {299, 587, 114};

// ---- Pixel access and quantisation ----------------------------------------

// Pixel k = 4y + x of the block; only ever the four rows of 16 bytes.
inline const uint8_t* pixelAt(const uint8_t* block, ptrdiff_t stride, int k) {
    return block + (k >> 2) * stride + 4 * (k & 3);
}

// x * m / 255 rounded to nearest, for m = 31 or 63.
inline int quantise(int x, int m) {
    const int t = x * m + 128;
    return (t + (t >> 8)) >> 8;
}

inline uint16_t quantise565(const uint8_t* pixel) {
    return static_cast<uint16_t>(quantise(pixel[0], 31) << 11 | quantise(pixel[1], 63) << 5 |
                                 quantise(pixel[2], 31));
}

inline void expand565(uint16_t c, int rgb[3]) {
    rgb[0] = bits5_to_8[c >> 11];
    rgb[1] = bits6_to_8[(c >> 5) & 63];
    rgb[2] = bits5_to_8[c & 31];
}

// Colour 0 (which = 0) or colour 1 of the single-colour fit of (r, g, b).
inline uint16_t solidColour(int r, int g, int b, int which) {
    const SolidTables& tables = solidTables();
    const SolidMatch& mr = tables.match5[r];
    const SolidMatch& mg = tables.match6[g];
    const SolidMatch& mb = tables.match5[b];
    if (which == 0) return static_cast<uint16_t>(mr.q0 << 11 | mg.q0 << 5 | mb.q0);
    return static_cast<uint16_t>(mr.q1 << 11 | mg.q1 << 5 | mb.q1);
}

inline void storeLE16(uint8_t* dst, uint32_t v) {
    dst[0] = static_cast<uint8_t>(v);
    dst[1] = static_cast<uint8_t>(v >> 8);
}

inline void storeLE32(uint8_t* dst, uint32_t v) {
    storeLE16(dst, v);
    storeLE16(dst + 2, v >> 16);
}

// ---- Colour block steps -----------------------------------------------------

// All four bytes of every pixel equal pixel 0's; a colour with varying alpha
// is not flat, so it takes the general path.
bool isFlat(const uint8_t* block, ptrdiff_t stride) {
    for (int k = 1; k < 16; ++k)
        if (std::memcmp(pixelAt(block, stride, k), block, 4) != 0) return false;
    return true;
}

// The principal axis of the block's colours, scaled so that its largest
// component is about 512: a few power-iteration steps on the covariance.
void colourAxis(const uint8_t* block, ptrdiff_t stride, int axis[3]) {
    int sum[3] = {0, 0, 0};
    int lo[3] = {255, 255, 255};
    int hi[3] = {0, 0, 0};
    for (int k = 0; k < 16; ++k) {
        const uint8_t* p = pixelAt(block, stride, k);
        for (int c = 0; c < 3; ++c) {
            sum[c] += p[c];
            if (p[c] < lo[c]) lo[c] = p[c];
            if (p[c] > hi[c]) hi[c] = p[c];
        }
    }
    int mean[3];
    for (int c = 0; c < 3; ++c) mean[c] = (sum[c] + 8) >> 4;

    // rr, rg, rb, gg, gb, bb
    int cov[6] = {0, 0, 0, 0, 0, 0};
    for (int k = 0; k < 16; ++k) {
        const uint8_t* p = pixelAt(block, stride, k);
        const int r = p[0] - mean[0];
        const int g = p[1] - mean[1];
        const int b = p[2] - mean[2];
        cov[0] += r * r;
        cov[1] += r * g;
        cov[2] += r * b;
        cov[3] += g * g;
        cov[4] += g * b;
        cov[5] += b * b;
    }
    float m[6];
    for (int i = 0; i < 6; ++i) m[i] = static_cast<float>(cov[i]) / 255.0f;

    // The start is the block's per-channel range: it comes from the block
    // alone and is zero only when all sixteen colours are equal, in which
    // case the products stay zero and the fallback axis applies.
    float vr = static_cast<float>(hi[0] - lo[0]);
    float vg = static_cast<float>(hi[1] - lo[1]);
    float vb = static_cast<float>(hi[2] - lo[2]);
    for (int step = 0; step < 4; ++step) {
        const float r = m[0] * vr + m[1] * vg + m[2] * vb;
        const float g = m[1] * vr + m[3] * vg + m[4] * vb;
        const float b = m[2] * vr + m[4] * vg + m[5] * vb;
        vr = r;
        vg = g;
        vb = b;
    }

    const double magnitude = std::fmax(std::fmax(std::fabs(static_cast<double>(vr)),
                                                 std::fabs(static_cast<double>(vg))),
                                       std::fabs(static_cast<double>(vb)));
    if (magnitude < 4.0) {
        for (int c = 0; c < 3; ++c) axis[c] = fallbackAxis[c];
        return;
    }
    const double scale = 512.0 / magnitude;
    axis[0] = static_cast<int>(static_cast<double>(vr) * scale);
    axis[1] = static_cast<int>(static_cast<double>(vg) * scale);
    axis[2] = static_cast<int>(static_cast<double>(vb) * scale);
}

// Endpoints from the extreme pixels along the axis; on ties the earliest
// pixel wins.
void seedEndpoints(const uint8_t* block, ptrdiff_t stride, const int axis[3], uint16_t& c0,
                   uint16_t& c1) {
    const uint8_t* minPixel = block;
    const uint8_t* maxPixel = block;
    int minDot = axis[0] * block[0] + axis[1] * block[1] + axis[2] * block[2];
    int maxDot = minDot;
    for (int k = 1; k < 16; ++k) {
        const uint8_t* p = pixelAt(block, stride, k);
        const int d = axis[0] * p[0] + axis[1] * p[1] + axis[2] * p[2];
        if (d < minDot) {
            minDot = d;
            minPixel = p;
        }
        if (d > maxDot) {
            maxDot = d;
            maxPixel = p;
        }
    }
    c0 = quantise565(maxPixel);
    c1 = quantise565(minPixel);
}

// Truncates a least-squares endpoint channel and clamps it to its bit width.
inline int endpointChannel(float value, int maxValue) {
    const int q = static_cast<int>(value);
    if (q < 0) return 0;
    if (q > maxValue) return maxValue;
    return q;
}

// One refinement of the endpoints: the least-squares fit of both endpoints
// to the pixels under the given indices. When all indices are equal there is
// nothing to fit, and the endpoints come from the single-colour tables for the
// block's mean colour instead.
void refineEndpoints(const uint8_t* block, ptrdiff_t stride, uint32_t mask, uint16_t& c0,
                     uint16_t& c1) {
    // (mask ^ (mask << 2)) < 4 holds exactly when every 2-bit index equals
    // its neighbour, i.e. all sixteen are the same.
    if ((mask ^ (mask << 2)) < 4) {
        int sum[3] = {0, 0, 0};
        for (int k = 0; k < 16; ++k) {
            const uint8_t* p = pixelAt(block, stride, k);
            for (int c = 0; c < 3; ++c) sum[c] += p[c];
        }
        const int r = (sum[0] + 8) >> 4;
        const int g = (sum[1] + 8) >> 4;
        const int b = (sum[2] + 8) >> 4;
        c0 = solidColour(r, g, b, 0);
        c1 = solidColour(r, g, b, 1);
        return;
    }

    int a1[3] = {0, 0, 0};
    int s[3] = {0, 0, 0};
    int packed = 0;
    for (int k = 0; k < 16; ++k) {
        const uint8_t* p = pixelAt(block, stride, k);
        const int index = (mask >> (2 * k)) & 3;
        const int w = lsq_weight[index];
        for (int c = 0; c < 3; ++c) {
            a1[c] += w * p[c];
            s[c] += p[c];
        }
        packed += lsq_packed[index];
    }
    int a2[3];
    for (int c = 0; c < 3; ++c) a2[c] = 3 * s[c] - a1[c];

    const int xx = packed >> 16;
    const int yy = (packed >> 8) & 0xFF;
    const int xy = packed & 0xFF;
    // The determinant is positive: at least two distinct indices are in use.
    const float f = lsqScale / static_cast<float>(xx * yy - xy * xy);
    const float fG = (f * 63.0f) / 31.0f;
    const float factor[3] = {f, fG, f};
    const int maxValue[3] = {31, 63, 31};

    int e0[3];
    int e1[3];
    for (int c = 0; c < 3; ++c) {
        e0[c] = endpointChannel(static_cast<float>(a1[c] * yy - a2[c] * xy) * factor[c] + 0.5f,
                                maxValue[c]);
        e1[c] = endpointChannel(static_cast<float>(a2[c] * xx - a1[c] * xy) * factor[c] + 0.5f,
                                maxValue[c]);
    }
    c0 = static_cast<uint16_t>(e0[0] << 11 | e0[1] << 5 | e0[2]);
    c1 = static_cast<uint16_t>(e1[0] << 11 | e1[1] << 5 | e1[2]);
}

}  // namespace

// ---- Shared block encoders ------------------------------------------------

uint32_t color_indices(const uint8_t* block, ptrdiff_t stride, uint16_t c0, uint16_t c1) {
    int palette[4][3];
    expand565(c0, palette[0]);
    expand565(c1, palette[1]);
    int dir[3];
    for (int c = 0; c < 3; ++c) {
        palette[2][c] = (2 * palette[0][c] + palette[1][c]) / 3;
        palette[3][c] = (palette[0][c] + 2 * palette[1][c]) / 3;
        dir[c] = palette[0][c] - palette[1][c];
    }
    int stop[4];
    for (int j = 0; j < 4; ++j)
        stop[j] = palette[j][0] * dir[0] + palette[j][1] * dir[1] + palette[j][2] * dir[2];

    // Midpoints between neighbouring palette entries along dir, which run
    // colour 1, colour 3, colour 2, colour 0 in increasing order. A
    // projection exactly on a midpoint goes to the entry nearer colour 0.
    const int tA = (stop[1] + stop[3]) >> 1;
    const int tB = (stop[3] + stop[2]) >> 1;
    const int tC = (stop[2] + stop[0]) >> 1;

    uint32_t mask = 0;
    for (int k = 0; k < 16; ++k) {
        const uint8_t* p = pixelAt(block, stride, k);
        const int d = p[0] * dir[0] + p[1] * dir[1] + p[2] * dir[2];
        const int bits = (d < tB ? 4 : 0) | (d < tA ? 2 : 0) | (d < tC ? 1 : 0);
        mask = (mask >> 2) | (static_cast<uint32_t>(index_map[bits]) << 30);
    }
    return mask;
}

void color_block(uint8_t* dst, ptrdiff_t stride, const uint8_t* block) {
    uint16_t c0;
    uint16_t c1;
    uint32_t mask;
    if (isFlat(block, stride)) {
        // Index 2 everywhere: the two-thirds point is what the tables fit.
        c0 = solidColour(block[0], block[1], block[2], 0);
        c1 = solidColour(block[0], block[1], block[2], 1);
        mask = 0xAAAAAAAA;
    } else {
        int axis[3];
        colourAxis(block, stride, axis);
        seedEndpoints(block, stride, axis, c0, c1);
        mask = c0 != c1 ? color_indices(block, stride, c0, c1) : 0;

        uint16_t r0 = c0;
        uint16_t r1 = c1;
        refineEndpoints(block, stride, mask, r0, r1);
        if (r0 != c0 || r1 != c1) {
            c0 = r0;
            c1 = r1;
            mask = c0 != c1 ? color_indices(block, stride, c0, c1) : 0;
        }
    }

    // Colour 0 < colour 1 would select BC1's three-colour mode with its
    // transparent index 3; swapping the endpoints and flipping bit 0 of
    // every index (0<->1, 2<->3) keeps every pixel's colour in four-colour
    // mode.
    if (c0 < c1) {
        const uint16_t t = c0;
        c0 = c1;
        c1 = t;
        mask ^= 0x55555555;
    }
    storeLE16(dst, c0);
    storeLE16(dst + 2, c1);
    storeLE32(dst + 4, mask);
}

void alpha_block(uint8_t* dst, ptrdiff_t stride, const uint8_t* block) {
    std::memset(dst, 0, 8);
    int mn = 255;
    int mx = 0;
    for (int k = 0; k < 16; ++k) {
        const int a = pixelAt(block, stride, k)[3];
        if (a < mn) mn = a;
        if (a > mx) mx = a;
    }
    dst[0] = static_cast<uint8_t>(mx);
    dst[1] = static_cast<uint8_t>(mn);
    if (mx == mn) return;

    // The level of each alpha between mn (0) and mx (7) is found by three
    // compare-and-subtract steps instead of a division; the bias sets where
    // the rounding falls, differently for spreads below 8.
    const int dist = mx - mn;
    const int dist2 = 2 * dist;
    const int dist4 = 4 * dist;
    const int bias = dist < 8 ? dist - 1 - 7 * mn : (dist >> 1) + 2 - 7 * mn;

    uint32_t bits = 0;
    int pending = 0;
    uint8_t* out = dst + 2;
    for (int k = 0; k < 16; ++k) {
        int a = 7 * pixelAt(block, stride, k)[3] + bias;
        int level = 0;
        if (a >= dist4) {
            level += 4;
            a -= dist4;
        }
        if (a >= dist2) {
            level += 2;
            a -= dist2;
        }
        if (a >= dist) level += 1;
        // Eight-value mode numbers the palette 0 = max, 1 = min, then 2..7
        // from max towards min: level 0..7 becomes 1, 7, 6, 5, 4, 3, 2, 0.
        int index = (-level) & 7;
        if (index < 2) index ^= 1;

        bits |= static_cast<uint32_t>(index) << pending;
        pending += 3;
        if (pending >= 8) {
            *out++ = static_cast<uint8_t>(bits);
            bits >>= 8;
            pending -= 8;
        }
    }
}

void ycocg_block(uint8_t* dst, ptrdiff_t stride, const uint8_t* block) {
    for (int k = 0; k < 16; ++k) {
        const uint8_t* p = pixelAt(block, stride, k);
        const int r = p[0];
        const int g = (p[1] + 1) >> 1;
        const int b = p[2];
        const int t = (r + b + 2) >> 2;
        // None of the three can go below 0; only the top needs a limit.
        const int y = g + t;
        const int co = 128 + ((r - b + 1) >> 1);
        const int cg = 128 + g - t;
        uint8_t* q = dst + 16 * (k >> 2) + 4 * (k & 3);
        q[0] = static_cast<uint8_t>(co < 255 ? co : 255);
        q[1] = static_cast<uint8_t>(cg < 255 ? cg : 255);
        q[2] = 0;
        q[3] = static_cast<uint8_t>(y < 255 ? y : 255);
    }
}

// ---- Block functions ------------------------------------------------------

int dxt1_block(uint8_t* dst, ptrdiff_t stride, const uint8_t* block) {
    color_block(dst, stride, block);
    return 8;
}

int dxt5_block(uint8_t* dst, ptrdiff_t stride, const uint8_t* block) {
    alpha_block(dst, stride, block);
    color_block(dst + 8, stride, block);
    return 16;
}

int dxt5ys_block(uint8_t* dst, ptrdiff_t stride, const uint8_t* block) {
    alignas(16) uint8_t local[64];
    ycocg_block(local, stride, block);
    alpha_block(dst, 16, local);
    color_block(dst + 8, 16, local);
    return 16;
}

SolidMatch solidMatch5(uint8_t v) { return solidTables().match5[v]; }
SolidMatch solidMatch6(uint8_t v) { return solidTables().match6[v]; }

}  // namespace brindle

extern "C" void ff_texturedspenc_init(TextureDspEnc* dsp) {
    dsp->dxt1_block = brindle::dxt1_block;
    dsp->dxt5_block = brindle::dxt5_block;
    dsp->dxt5ys_block = brindle::dxt5ys_block;
}
