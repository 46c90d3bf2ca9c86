// The block maths of the vector row encoders and decoders, written once over
// a lane type `V` and instantiated by each instruction-set source
// (dxt_encoder_sse41.cpp, dxt_encoder_avx2.cpp, dxt_encoder_avx512.cpp). Lane i of every vector belongs to block i of the
// group, and each step is the scalar reference's step in dxt_encoder.cpp done
// in all lanes at once: the same integers, the same float operations in the
// same order and precision (no fused multiply-add: the library is built with
// -ffp-contract=off and no FMA flag), the same tie-breaks. Where the
// reference branches, both sides are computed and a per-lane mask picks one.
//
// Everything here has internal linkage on purpose. Each including source is
// compiled with its own instruction-set flags; an inline function with
// external linkage would be emitted by several of them and the linker would
// keep one copy (an AVX2 one, say) for all callers. For the same reason this
// header uses no standard-library templates.
//
// `V` provides: `lanes`; the GCC vector types VI (int32), VU (uint32) and VF
// (float) of that many lanes and VS (int16) of twice as many; and the
// operations below that the vector extensions do not express, each a single
// instruction or a short fixed sequence:
//   select(m, a, b)   lanes of a where m is all ones, else b
//   min, max          signed 32-bit
//   minU16, maxU16    per unsigned 16-bit half
//   madd(a, b)        lo16(a)*lo16(b) + hi16(a)*hi16(b), halves signed
//   mullo16(a, b)     per 16-bit half, the low 16 bits of the product
//   mulhiU16(a, b)    per unsigned 16-bit half, the high 16 bits of the product
//   any(m), all(m)    over the lanes of a mask
//   toFloat(VI)       exact for |x| < 2^24
//   truncate(VF)      toward zero; every call site keeps |x| far below 2^31
//   lookup(t, i)      t[i] per lane, 0 <= i < 256
//   axis(v, mag)      trunc(double(v) * (512.0 / double(mag))) per lane
//   load<bgra>(src, stride, px)   16 pixel words per lane, R in the low byte
//   store8(dst, a, b) / store16(dst, a, b, c, d)   per lane 8 or 16 bytes
//   sub16(a, b)       per 16-bit half, wrapping
//   selectBySign(s, a, b)   lanes of a where bit 31 of s is set, else b
//   shuffleBytes(t, i)   per byte, 0 where bit 7 of i's byte is set, else
//                     byte (i's byte & 15) of t's 16-byte group that holds it
//   addSatU8, subSatU8   per unsigned byte, saturating
//   loadBlocks8(src, a, b) / loadBlocks16(src, a, b, c, d)   the inverse of
//                     store8 / store16: per lane the words of one encoding
//   storePixels<bgra>(dst, stride, px)   the inverse of load: 16 pixel words
//                     per lane to four rows of the lanes' blocks side by side
#pragma once

#include <cstddef>
#include <cstdint>

#include <tmmintrin.h>

#include "dxt_encoder.hpp"
#include "dxt_encoder_simd.hpp"
#include "texture_decode.hpp"

namespace brindle {

namespace {

// The byte shuffle that exchanges bytes 0 and 2 of every pixel, BGRA to
// RGBA; every vector level has SSSE3's shuffle.
__m128i bgraSwap128() {
    return _mm_setr_epi8(2, 1, 0, 3, 6, 5, 4, 7, 10, 9, 8, 11, 14, 13, 12, 15);
}

// x / 3 for the palette's weighted sums (0 <= x <= 765) as a multiply and a
// shift, which vector units have and integer division they lack.
constexpr int div3Multiplier = 43691;  // ceil(2^17 / 3)
constexpr bool div3IsExact() {
    for (int x = 0; x <= 765; ++x)
        if ((x * div3Multiplier) >> 17 != x / 3) return false;
    return true;
}
static_assert(div3IsExact());

// The alpha decoder's divisions by 7 and 5 of at most 7 * 255 and 5 * 255,
// the same way.
constexpr int div7Multiplier = 9363;   // ceil(2^16 / 7)
constexpr int div5Multiplier = 13108;  // ceil(2^16 / 5)
constexpr bool div75AreExact() {
    for (int x = 0; x <= 7 * 255; ++x)
        if ((x * div7Multiplier) >> 16 != x / 7) return false;
    for (int x = 0; x <= 5 * 255; ++x)
        if ((x * div5Multiplier) >> 16 != x / 5) return false;
    return true;
}
static_assert(div75AreExact());

// The vector decoders' rounded quotient of scaled YCoCg, in single
// precision through the rounded reciprocal of 2s, against the integer rule
// for every numerator and scale.
constexpr bool ycocgQuotientIsExact() {
    for (int scale = 1; scale <= 32; ++scale) {
        const float reciprocal = 1.0f / static_cast<float>(2 * scale);
        for (int n = -256; n <= 256; ++n) {
            const float q = static_cast<float>(2 * n + scale) * reciprocal;
            if (static_cast<int>(q + 512.0f) - 512 != ycocgRoundedQuotient(n, scale)) return false;
        }
    }
    return true;
}
static_assert(ycocgQuotientIsExact());


// Colour index of each pattern of the three threshold tests, as in the
// reference's index_map {0, 2, 0, 2, 3, 3, 1, 1}: with b = "below tB",
// a = "below tA", c = "below tC", bit 0 of the index is b and bit 1 is
// (b ? !a : c). The check below runs that rule over all eight patterns.
constexpr int indexOfPattern(bool b, bool a, bool c) {
    return (b ? 1 : 0) | ((b ? !a : c) ? 2 : 0);
}
constexpr bool indexRuleMatchesMap() {
    constexpr int indexMap[8] = {0, 2, 0, 2, 3, 3, 1, 1};
    for (int bits = 0; bits < 8; ++bits)
        if (indexOfPattern(bits & 4, bits & 2, bits & 1) != indexMap[bits]) return false;
    return true;
}
static_assert(indexRuleMatchesMap());

// The least-squares weight of each colour index, as in the reference's
// lsq_weight {3, 0, 2, 1}: bit 1 of the weight is !lo, bit 0 is !(hi ^ lo)
// for the index bits hi, lo. Applied to all sixteen 2-bit fields at once, of
// a uint32_t or of every lane of an unsigned vector.
template <class U>
constexpr U weightsOfIndices(U mask) {
    const U lo = mask & 0x55555555u;
    const U hi = (mask >> 1) & 0x55555555u;
    return (~lo & 0x55555555u) << 1 | (~(hi ^ lo) & 0x55555555u);
}
static_assert(weightsOfIndices(0x00000000u) == 0xFFFFFFFFu);  // index 0 -> 3
static_assert(weightsOfIndices(0x55555555u) == 0x00000000u);  // index 1 -> 0
static_assert(weightsOfIndices(0xAAAAAAAAu) == 0xAAAAAAAAu);  // index 2 -> 2
static_assert(weightsOfIndices(0xFFFFFFFFu) == 0x55555555u);  // index 3 -> 1

// 93/255, the reference's least-squares scale, to the bit.
constexpr float lsqScaleLanes = 0.3647059f;
static_assert(__builtin_bit_cast(uint32_t, lsqScaleLanes) == 0x3EBABABBu);

template <class V>
struct DxtLanes {
    using VI = typename V::VI;
    using VU = typename V::VU;
    using VF = typename V::VF;
    using VS = typename V::VS;
    static constexpr unsigned lanes = V::lanes;

    static VI splat(int x) { return VI{} + x; }
    static VF splatF(float x) { return VF{} + x; }
    static VI srl(VI x, int n) { return (VI)((VU)x >> n); }
    // Left shifts that may carry a bit into the sign go through unsigned
    // lanes: on signed lanes they would overflow, which the optimiser may
    // assume never happens.
    static VI sll(VI x, int n) { return (VI)((VU)x << n); }

    // x * m / 255 rounded to nearest, for m = 31 or 63 (x * m as a shift and
    // a subtraction).
    template <int bits>
    static VI quantise(VI x) {
        const VI t = ((x << bits) - x) + 128;
        return (t + (t >> 8)) >> 8;
    }

    // 5:6:5 of the first three bytes of a pixel word.
    static VI quantise565(VI word) {
        return quantise<5>(word & 0xFF) << 11 | quantise<6>((word >> 8) & 0xFF) << 5 |
               quantise<5>((word >> 16) & 0xFF);
    }

    // ---- Colour block ---------------------------------------------------------

    // The pixel words split into what the colour steps multiply: `rg` holds
    // R and G as two 16-bit halves so that one multiply-add projects both.
    template <bool hasBlue>
    struct Planes {
        VI word[16];
        VI r[16];
        VI g[16];
        VI b[16];
        VI rg[16];
    };

    // Projection of pixel k on a direction given as (dR | dG << 16, dB):
    // dR, dG, dB in the 16-bit range, the pixel's channels in 0..255.
    template <bool hasBlue>
    static VI project(const Planes<hasBlue>& p, int k, VI dirRG, VI dirB) {
        VI d = V::madd(p.rg[k], dirRG);
        if constexpr (hasBlue) d += V::madd(p.b[k], dirB);
        return d;
    }

    // lo and hi as the 16-bit halves of one lane, lo in 0..65535: so are
    // pixels k and k + 8 of a block paired.
    static VI pairOf(VI lo, VI hi) { return lo | sll(hi, 16); }
    static VI packPair(VI lo, VI hi) { return pairOf(lo & 0xFFFF, hi); }

    // x / 3 for 0 <= x <= 765: the high half of the 16-bit product is
    // (x * div3Multiplier) >> 16, one multiply where a 32-bit one is two.
    static VI thirdOf(VI x) { return srl(V::mulhiU16(x, splat(div3Multiplier)), 1); }

    // The four-colour palette of 5:6:5 endpoints c0, c1 (any 16-bit values),
    // per channel: both expanded by bit replication, then the thirds.
    static void palette(VI c0, VI c1, VI pal[4][3]) {
        const VI q0[3] = {srl(c0, 11) & 31, (c0 >> 5) & 63, c0 & 31};
        const VI q1[3] = {srl(c1, 11) & 31, (c1 >> 5) & 63, c1 & 31};
        for (int c = 0; c < 3; c += 2) {
            pal[0][c] = (q0[c] << 3) | (q0[c] >> 2);
            pal[1][c] = (q1[c] << 3) | (q1[c] >> 2);
        }
        pal[0][1] = (q0[1] << 2) | (q0[1] >> 4);
        pal[1][1] = (q1[1] << 2) | (q1[1] >> 4);
        for (int c = 0; c < 3; ++c) {
            pal[2][c] = thirdOf(2 * pal[0][c] + pal[1][c]);
            pal[3][c] = thirdOf(pal[0][c] + 2 * pal[1][c]);
        }
    }

    // The reference's color_indices for endpoints c0, c1 (5:6:5 per lane).
    template <bool hasBlue>
    static VI colourIndices(const Planes<hasBlue>& p, VI c0, VI c1) {
        VI pal[4][3];
        palette(c0, c1, pal);
        VI dir[3];
        for (int c = 0; c < 3; ++c) dir[c] = pal[0][c] - pal[1][c];
        VI stop[4];
        for (int j = 0; j < 4; ++j)
            stop[j] = pal[j][0] * dir[0] + pal[j][1] * dir[1] + pal[j][2] * dir[2];
        const VI tA = (stop[1] + stop[3]) >> 1;
        const VI tB = (stop[3] + stop[2]) >> 1;
        const VI tC = (stop[2] + stop[0]) >> 1;

        const VI dirRG = packPair(dir[0], dir[1]);
        VI mask = VI{};
        for (int k = 0; k < 16; ++k) {
            const VI d = project(p, k, dirRG, dir[2]);
            const VI belowB = d < tB;
            const VI belowA = d < tA;
            const VI belowC = d < tC;
            const VI index = (belowB & 1) | (V::select(belowB, ~belowA, belowC) & 2);
            mask |= index << (2 * k);
        }
        return mask;
    }

    // Both endpoints of the single-colour fit of (r, g, b): c0 | c1 << 16.
    template <bool hasBlue>
    static VI solidEndpoints(const DxtSolidPairs& tables, VI r, VI g, VI b) {
        VI e = V::lookup(tables.match5, r) << 11 | V::lookup(tables.match6, g) << 5;
        // Without blue the channel is 0, whose pair is (0, 0).
        if constexpr (hasBlue) e |= V::lookup(tables.match5, b);
        return e;
    }

    // The reference's least-squares endpoints (refineEndpoints, second case)
    // for lanes whose indices are not all equal; other lanes get junk that
    // the caller discards. Returns c0 | c1 << 16.
    template <bool hasBlue>
    static VI leastSquares(const Planes<hasBlue>& p, VI mask, VI notFitted, VI sumRG, VI sumB) {
        const VI weights = (VI)weightsOfIndices((VU)mask);
        // Sums of w * channel with R and G packed as 16-bit halves: at most
        // 16 * 3 * 255 = 12240 per half, so no half carries into the other.
        VI a1RG = VI{};
        VI a1B = VI{};
        VI sumW = VI{};
        VI sumW2 = VI{};
        for (int k = 0; k < 16; ++k) {
            const VI w = srl(weights, 2 * k) & 3;
            a1RG += V::mullo16(p.rg[k], w | sll(w, 16));
            if constexpr (hasBlue) a1B += V::madd(p.b[k], w);
            sumW += w;
            sumW2 += V::madd(w, w);
        }
        // The three fields of the reference's packed sum of lsq_packed,
        // from the sums of w and w^2 (each field is at most 144).
        const VI xx = sumW2;
        const VI yy = (144 - 6 * sumW) + sumW2;
        const VI xy = 3 * sumW - sumW2;

        const VI a1[3] = {a1RG & 0xFFFF, a1RG >> 16, a1B};
        const VI s[3] = {sumRG & 0xFFFF, sumRG >> 16, sumB};
        // Lanes that take the other branch may have a zero determinant; they
        // divide by 1 instead so that no lane makes an infinity.
        const VI det = V::select(notFitted, splat(1), V::madd(xx, yy) - V::madd(xy, xy));
        const VF f = splatF(lsqScaleLanes) / V::toFloat(det);
        const VF fG = (f * 63.0f) / 31.0f;
        const VF factor[3] = {f, fG, f};
        const int maxValue[3] = {31, 63, 31};
        const int shift[3] = {11, 5, 0};

        VI c0 = VI{};
        VI c1 = VI{};
        for (int c = 0; c < (hasBlue ? 3 : 2); ++c) {
            // a1, a2 lie in 0..12240 and xx, yy, xy in 0..144, so the
            // products fit the 16-bit multiply-add; |numerator| * factor
            // stays below 2^22, far inside the range of the truncation.
            const VI a2 = 3 * s[c] - a1[c];
            const VI n0 = V::madd(a1[c], yy) - V::madd(a2, xy);
            const VI n1 = V::madd(a2, xx) - V::madd(a1[c], xy);
            const VI e0 = V::truncate(V::toFloat(n0) * factor[c] + 0.5f);
            const VI e1 = V::truncate(V::toFloat(n1) * factor[c] + 0.5f);
            c0 |= V::min(V::max(e0, VI{}), splat(maxValue[c])) << shift[c];
            c1 |= V::min(V::max(e1, VI{}), splat(maxValue[c])) << shift[c];
        }
        // Without blue, a1 = a2 = 0 and the reference's blue channel is
        // trunc(0 * f + 0.5) = 0: nothing to add.
        return c0 | sll(c1, 16);
    }

    // The principal axis of each lane's colours (the reference's colourAxis).
    // sumRG, loRG, hiRG pack R and G as 16-bit halves.
    template <bool hasBlue>
    static void colourAxis(const Planes<hasBlue>& p, VI sumRG, VI sumB, VI loRG, VI hiRG, VI loB,
                           VI hiB, VI axis[3]) {
        // The six covariance sums, from the raw products: with integer means,
        // sum((x - mx)(y - my)) = sum(xy) - my sum(x) - mx sum(y) + 16 mx my
        // holds exactly in integers, and the raw products need no centring.
        VI rr = VI{}, rg = VI{}, rb = VI{}, gg = VI{}, gb = VI{}, bb = VI{};
        for (int k = 0; k < 16; ++k) {
            rr += V::madd(p.r[k], p.r[k]);
            rg += V::madd(p.r[k], p.g[k]);
            gg += V::madd(p.g[k], p.g[k]);
            if constexpr (hasBlue) {
                rb += V::madd(p.r[k], p.b[k]);
                gb += V::madd(p.g[k], p.b[k]);
                bb += V::madd(p.b[k], p.b[k]);
            }
        }
        const VI sr = sumRG & 0xFFFF;
        const VI sg = sumRG >> 16;
        const VI mr = (sr + 8) >> 4;
        const VI mg = (sg + 8) >> 4;
        const VI mb = (sumB + 8) >> 4;
        const auto centred = [](VI sxy, VI sx, VI sy, VI mx, VI my) {
            return ((sxy - my * sx) - mx * sy) + 16 * mx * my;
        };
        VF m[6];
        m[0] = V::toFloat(centred(rr, sr, sr, mr, mr)) / 255.0f;
        m[1] = V::toFloat(centred(rg, sr, sg, mr, mg)) / 255.0f;
        m[3] = V::toFloat(centred(gg, sg, sg, mg, mg)) / 255.0f;
        if constexpr (hasBlue) {
            m[2] = V::toFloat(centred(rb, sr, sumB, mr, mb)) / 255.0f;
            m[4] = V::toFloat(centred(gb, sg, sumB, mg, mb)) / 255.0f;
            m[5] = V::toFloat(centred(bb, sumB, sumB, mb, mb)) / 255.0f;
        }

        // Four power-iteration steps, each product and sum rounded to float
        // in the reference's order: (m0 vr + m1 vg) + m2 vb.
        VF vr = V::toFloat((hiRG & 0xFFFF) - (loRG & 0xFFFF));
        VF vg = V::toFloat((hiRG >> 16) - (loRG >> 16));
        VF vb = VF{};
        if constexpr (hasBlue) vb = V::toFloat(hiB - loB);
        for (int step = 0; step < 4; ++step) {
            VF r, g, b;
            if constexpr (hasBlue) {
                r = m[0] * vr + m[1] * vg + m[2] * vb;
                g = m[1] * vr + m[3] * vg + m[4] * vb;
                b = m[2] * vr + m[4] * vg + m[5] * vb;
            } else {
                // Blue is 0 in every pixel: its covariances and start are
                // +0, so the reference's third terms are zeros, which change
                // nothing but the sign of a zero sum, and a zero's sign
                // vanishes in the magnitude and in the truncated axis.
                r = m[0] * vr + m[1] * vg;
                g = m[1] * vr + m[3] * vg;
                b = VF{};
            }
            vr = r;
            vg = g;
            vb = b;
        }

        // The reference takes the largest magnitude in double; converting a
        // float to double is exact and monotonic, so the float maximum
        // compares with 4.0 the same way. Lanes below 4 take the luma axis;
        // they divide by 4 instead so that no lane makes an infinity. Each
        // component is at most the magnitude, so the scaled values lie in
        // [-512, 512] and the truncation to int32 is always in range.
        const VF absMask = (VF)(splat(0x7FFFFFFF));
        const VF ar = (VF)((VI)vr & (VI)absMask);
        const VF ag = (VF)((VI)vg & (VI)absMask);
        const VF ab = (VF)((VI)vb & (VI)absMask);
        VF magnitude = (VF)V::select(ar < ag, (VI)ag, (VI)ar);
        magnitude = (VF)V::select(magnitude < ab, (VI)ab, (VI)magnitude);
        const VI small = magnitude < 4.0f;
        const VF safe = (VF)V::select(small, (VI)splatF(4.0f), (VI)magnitude);
        axis[0] = V::select(small, splat(299), V::axis(vr, safe));
        axis[1] = V::select(small, splat(587), V::axis(vg, safe));
        // Without blue the third component multiplies zeros only.
        axis[2] = VI{};
        if constexpr (hasBlue) axis[2] = V::select(small, splat(114), V::axis(vb, safe));
    }

    // The reference's color_block for every lane: writes c0 | c1 << 16 and
    // the index word. When measuring, returns the squared error of R, G and
    // B between the pixels and what the block decodes to, else zeros.
    template <bool hasBlue, bool measure>
    static VI colourBlocks(const VI word[16], VI& endpoints, VI& indices) {
        static_assert(hasBlue || !measure, "YCoCg is measured in RGB, after its luma");
        Planes<hasBlue> p;
        VI flat = splat(-1);
        for (int k = 0; k < 16; ++k) {
            p.word[k] = word[k];
            p.r[k] = word[k] & 0xFF;
            p.g[k] = (word[k] >> 8) & 0xFF;
            p.b[k] = hasBlue ? (word[k] >> 16) & 0xFF : VI{};
            p.rg[k] = p.r[k] | (p.g[k] << 16);
            flat &= word[k] == word[0];
        }
        const DxtSolidPairs& tables = dxtSolidPairs();

        VI c0, c1, mask;
        if (V::all(flat)) {
            // Index 2 everywhere: the two-thirds point is what the tables fit.
            const VI e = solidEndpoints<hasBlue>(tables, p.r[0], p.g[0], p.b[0]);
            c0 = e & 0xFFFF;
            c1 = srl(e, 16);
            mask = splat(static_cast<int>(0xAAAAAAAAu));
        } else {
            general<hasBlue>(p, flat, tables, c0, c1, mask);
        }

        // Colour 0 below colour 1 would select BC1's three-colour mode:
        // swap, and flip bit 0 of every index.
        const VI swap = c0 < c1;
        const VI hi = V::select(swap, c1, c0);
        const VI lo = V::select(swap, c0, c1);
        endpoints = hi | sll(lo, 16);
        indices = mask ^ (swap & 0x55555555);
        if constexpr (measure) return colourError(p, endpoints, indices);
        return VI{};
    }

    template <bool hasBlue>
    static void general(const Planes<hasBlue>& p, VI flat, const DxtSolidPairs& tables, VI& c0,
                        VI& c1, VI& mask) {
        VI sumRG = p.rg[0], loRG = p.rg[0], hiRG = p.rg[0];
        VI sumB = p.b[0], loB = p.b[0], hiB = p.b[0];
        for (int k = 1; k < 16; ++k) {
            sumRG += p.rg[k];
            loRG = V::minU16(loRG, p.rg[k]);
            hiRG = V::maxU16(hiRG, p.rg[k]);
            if constexpr (hasBlue) {
                sumB += p.b[k];
                loB = V::min(loB, p.b[k]);
                hiB = V::max(hiB, p.b[k]);
            }
        }
        VI axis[3];
        colourAxis<hasBlue>(p, sumRG, sumB, loRG, hiRG, loB, hiB, axis);

        // Extreme pixels along the axis; only a strictly smaller (larger)
        // projection replaces the minimum (maximum), so the earliest wins.
        const VI axisRG = packPair(axis[0], axis[1]);
        VI minD = project(p, 0, axisRG, axis[2]);
        VI maxD = minD;
        VI minWord = p.word[0];
        VI maxWord = p.word[0];
        for (int k = 1; k < 16; ++k) {
            const VI d = project(p, k, axisRG, axis[2]);
            minWord = V::select(d < minD, p.word[k], minWord);
            maxWord = V::select(d > maxD, p.word[k], maxWord);
            minD = V::min(minD, d);
            maxD = V::max(maxD, d);
        }
        const VI seed0 = quantise565(maxWord);
        const VI seed1 = quantise565(minWord);
        const VI seedsEqual = seed0 == seed1;
        const VI seedMask = V::select(seedsEqual, VI{}, colourIndices(p, seed0, seed1));

        // One refinement. All sixteen indices equal, (m ^ (m << 2)) < 4
        // unsigned: the mean colour's single-colour endpoints. Otherwise the
        // least-squares fit.
        const VI allEqual = ((seedMask ^ (seedMask << 2)) & ~3) == 0;
        // Flat lanes use the same lookups for pixel 0's colour; both kinds
        // share one set of table reads.
        const VI meanR = ((sumRG & 0xFFFF) + 8) >> 4;
        const VI meanG = ((sumRG >> 16) + 8) >> 4;
        const VI meanB = (sumB + 8) >> 4;
        const VI needSolid = allEqual | flat;
        VI solid = VI{};
        if (V::any(needSolid)) {
            solid = solidEndpoints<hasBlue>(tables, V::select(flat, p.r[0], meanR),
                                            V::select(flat, p.g[0], meanG),
                                            V::select(flat, p.b[0], meanB));
        }
        VI refined = solid;
        if (!V::all(needSolid)) {
            refined = V::select(allEqual, solid,
                                leastSquares<hasBlue>(p, seedMask, needSolid, sumRG, sumB));
        }
        const VI r0 = refined & 0xFFFF;
        const VI r1 = srl(refined, 16);
        const VI changed = (r0 != seed0) | (r1 != seed1);
        const VI distinct = r0 != r1;
        VI refinedMask = VI{};
        if (V::any(changed & distinct & ~flat)) refinedMask = colourIndices(p, r0, r1);
        refinedMask = V::select(distinct, refinedMask, VI{});

        c0 = V::select(changed, r0, seed0);
        c1 = V::select(changed, r1, seed1);
        mask = V::select(changed, refinedMask, seedMask);
        // Flat lanes: index 2 everywhere and the endpoints of pixel 0.
        c0 = V::select(flat, solid & 0xFFFF, c0);
        c1 = V::select(flat, srl(solid, 16), c1);
        mask = V::select(flat, splat(static_cast<int>(0xAAAAAAAAu)), mask);
    }

    // ---- Alpha block ----------------------------------------------------------

    // The reference's alpha_block for 16 values per lane (0..255), given in
    // pairs, value k | value k + 8 << 16: the block's bytes 0-3 in w0 and
    // 4-7 in w1, little-endian. When measuring, also the 16 values the block
    // decodes to, paired alike.
    template <bool measure>
    static void alphaBlocks(const VI pairs[8], VI& w0, VI& w1, VI decodedPairs[8]) {
        VI mnPair = pairs[0];
        VI mxPair = pairs[0];
        for (int k = 1; k < 8; ++k) {
            mnPair = V::minU16(mnPair, pairs[k]);
            mxPair = V::maxU16(mxPair, pairs[k]);
        }
        const VI mn = V::min(mnPair & 0xFFFF, srl(mnPair, 16));
        const VI mx = V::max(mxPair & 0xFFFF, srl(mxPair, 16));
        const VI dist = mx - mn;
        const VI mn7 = (mn << 3) - mn;
        const VI bias = V::select(dist < 8, (dist - 1) - mn7, ((dist >> 1) + 2) - mn7);

        // Each pair is worked out in signed 16-bit halves: v below lies in
        // -1..1915.
        const VI distPair = pairOf(dist, dist);
        const VS dist1 = (VS)distPair;
        const VS dist2 = dist1 + dist1;
        const VS dist4 = dist2 + dist2;
        const VS biasPair = (VS)packPair(bias, bias);
        // The 48-bit index field per lane: pixels 0-10 in lo (pixel 10's
        // top bit falls off), pixels 10-15 in hi from bit 32 of the field.
        VI lo = VI{};
        VI hi = VI{};
        VI levelPairs[8];
        for (int k = 0; k < 8; ++k) {
            VS v = (VS)pairs[k];
            v = ((v << 3) - v) + biasPair;
            const VS below4 = v < dist4;
            v -= ~below4 & dist4;
            const VS below2 = v < dist2;
            v -= ~below2 & dist2;
            const VS below1 = v < dist1;
            const VS level = (~below4 & 4) | (~below2 & 2) | (~below1 & 1);
            if constexpr (measure) levelPairs[k] = (VI)level;
            // Level 0..7 becomes index 1, 7, 6, 5, 4, 3, 2, 0.
            const VS t = (VS{} - level) & 7;
            const VI indexPair = (VI)(t ^ ((t < 2) & 1));
            lo |= (indexPair & 7) << (3 * k);
            const int m = k + 8;
            const VI upper = srl(indexPair, 16);
            if (m <= 10) lo |= sll(upper, 3 * m);
            if (m == 10) hi |= upper >> 2;
            if (m >= 11) hi |= upper << (3 * m - 32);
        }
        // Equal values: every index is 0.
        const VI varies = mx != mn;
        lo &= varies;
        hi &= varies;
        w0 = mx | (mn << 8) | sll(lo, 16);
        w1 = srl(lo, 16) | sll(hi, 16);
        if constexpr (measure) decodePairs(levelPairs, mn, distPair, decodedPairs);
    }

    // The decoder's entry for the index of level L is
    // ((7 - L) * mn + L * mx) / 7 = mn + L * dist / 7, truncated (also at
    // L = 0 and 7, and for dist = 0, where every index is 0 and decodes to
    // mx = mn). Two pixels share a lane as 16-bit halves: L * dist <= 7 * 255
    // fits a half, its high product with the multiplier is the quotient, and
    // mn plus a quotient is at most mx, so no half carries into the other.
    static void decodePairs(const VI levelPairs[8], VI mn, VI distPair, VI pairs[8]) {
        const VI mnPair = pairOf(mn, mn);
        const VI multiplier = splat(div7Multiplier | div7Multiplier << 16);
        for (int k = 0; k < 8; ++k) {
            const VI products = V::mullo16(levelPairs[k], distPair);
            pairs[k] = mnPair + V::mulhiU16(products, multiplier);
        }
    }

    // ---- Block groups -----------------------------------------------------------
    //
    // Each encodes `lanes` blocks side by side and, when measuring, returns
    // per lane the sum of squared differences between the block's pixels and
    // what the written block decodes to (texture_decode's decoders), over the
    // channels the format carries: BC1 and YCoCg R, G, B; BC3 all four; BC4
    // alpha. A block's sum is at most 16 * 4 * 255^2 = 4,161,600, exact in
    // its lane.

    // The pixels' alpha values in pairs, as alphaBlocks takes them.
    static void alphaPairs(const VI px[16], VI pairs[8]) {
        for (int k = 0; k < 8; ++k) pairs[k] = pairOf(srl(px[k], 24), srl(px[k + 8], 24));
    }

    template <bool bgra, bool measure>
    static VI dxt1Group(uint8_t* dst, const uint8_t* src, ptrdiff_t stride) {
        VI px[16];
        V::template load<bgra>(src, stride, px);
        VI endpoints, indices;
        const VI error = colourBlocks<true, measure>(px, endpoints, indices);
        V::store8(dst, endpoints, indices);
        return error;
    }

    template <bool bgra, bool measure>
    static VI dxt5Group(uint8_t* dst, const uint8_t* src, ptrdiff_t stride) {
        VI px[16];
        V::template load<bgra>(src, stride, px);
        VI a[8];
        alphaPairs(px, a);
        VI w0, w1, endpoints, indices, decoded[8];
        alphaBlocks<measure>(a, w0, w1, decoded);
        VI error = colourBlocks<true, measure>(px, endpoints, indices);
        V::store16(dst, w0, w1, endpoints, indices);
        if constexpr (measure) error += alphaError(a, decoded);
        return error;
    }

    template <bool bgra, bool measure>
    static VI dxt5ysGroup(uint8_t* dst, const uint8_t* src, ptrdiff_t stride) {
        VI px[16];
        V::template load<bgra>(src, stride, px);
        // The reference's ycocg_block: each pixel becomes (Co, Cg, 0, Y).
        VI local[16];
        VI y[16];
        for (int k = 0; k < 16; ++k) {
            const VI r = px[k] & 0xFF;
            const VI g = (((px[k] >> 8) & 0xFF) + 1) >> 1;
            const VI b = (px[k] >> 16) & 0xFF;
            const VI t = (r + b + 2) >> 2;
            const VI limit = splat(255);
            y[k] = V::min(g + t, limit);
            const VI co = V::min(128 + ((r - b + 1) >> 1), limit);
            const VI cg = V::min((128 + g) - t, limit);
            local[k] = co | (cg << 8) | sll(y[k], 24);
        }
        VI yPairs[8];
        for (int k = 0; k < 8; ++k) yPairs[k] = pairOf(y[k], y[k + 8]);
        VI w0, w1, endpoints, indices, lumaPairs[8];
        alphaBlocks<measure>(yPairs, w0, w1, lumaPairs);
        colourBlocks<false, false>(local, endpoints, indices);
        V::store16(dst, w0, w1, endpoints, indices);
        if constexpr (measure) return ycocgError(px, endpoints, indices, lumaPairs);
        return VI{};
    }

    template <bool measure>
    static VI alphaGroup(uint8_t* dst, const uint8_t* src, ptrdiff_t stride) {
        VI px[16];
        V::template load<false>(src, stride, px);
        VI a[8];
        alphaPairs(px, a);
        VI w0, w1, decoded[8];
        alphaBlocks<measure>(a, w0, w1, decoded);
        V::store8(dst, w0, w1);
        if constexpr (measure) return alphaError(a, decoded);
        return VI{};
    }

    // ---- Decoding blocks -----------------------------------------------------------
    //
    // Each lane decodes its block exactly as texture_decode's scalar
    // decoders do, into 16 pixel words R | G << 8 | B << 16 | A << 24.

    // decodeColourHalf's palette as pixel words R | G << 8 | B << 16.
    static void colourPaletteWords(VI endpoints, VI words[4]) {
        VI pal[4][3];
        palette(endpoints & 0xFFFF, srl(endpoints, 16), pal);
        for (int j = 0; j < 4; ++j) words[j] = pal[j][0] | (pal[j][1] << 8) | sll(pal[j][2], 16);
    }

    // decodeAlphaHalf's eight entries: the six interpolated values when
    // alpha 0 > alpha 1, else four and then 0 and 255.
    static void alphaPalette(VI w0, VI pal[8]) {
        const VI a0 = w0 & 0xFF;
        const VI a1 = (w0 >> 8) & 0xFF;
        const VI eightValues = a0 > a1;
        pal[0] = a0;
        pal[1] = a1;
        for (int j = 2; j < 8; ++j) {
            const VI seventh = (((8 - j) * a0 + (j - 1) * a1) * div7Multiplier) >> 16;
            const VI other = j < 6 ? (((6 - j) * a0 + (j - 1) * a1) * div5Multiplier) >> 16
                                   : splat(j == 6 ? 0 : 255);
            pal[j] = V::select(eightValues, seventh, other);
        }
    }

    // Entry `index` (its low 2 or 3 bits) of a per-lane palette.
    static VI pick4(const VI pal[4], VI index) {
        const VI bit0 = sll(index, 31);
        const VI low = V::selectBySign(bit0, pal[1], pal[0]);
        const VI high = V::selectBySign(bit0, pal[3], pal[2]);
        return V::selectBySign(sll(index, 30), high, low);
    }
    static VI pick8(const VI pal[8], VI index) {
        const VI low = pick4(pal, index);
        const VI high = pick4(pal + 4, index);
        return V::selectBySign(sll(index, 29), high, low);
    }

    // The 3-bit alpha index of pixel k: the 48-bit field is bytes 2-7 of
    // the alpha block, i.e. bits 16-31 of w0 and all of w1.
    static VI alphaIndex(VI w0, VI w1, int k) {
        const VI low = srl(w0, 16) | sll(w1, 16);  // field bits 0-31
        const VI high = srl(w1, 16);              // field bits 32-47
        if (k < 10) return srl(low, 3 * k);
        if (k == 10) return srl(low, 30) | sll(high, 2);
        return srl(high, 3 * k - 32);
    }

    // The 16 values of an 8-byte alpha (BC4) block held as the words w0, w1.
    static void decodeAlphaWords(VI w0, VI w1, VI values[16]) {
        VI pal[8];
        alphaPalette(w0, pal);
        for (int k = 0; k < 16; ++k) values[k] = pick8(pal, alphaIndex(w0, w1, k));
    }

    static void decodeBC4Group(const uint8_t* blocks, VI values[16]) {
        VI w0, w1;
        V::loadBlocks8(blocks, w0, w1);
        decodeAlphaWords(w0, w1, values);
    }

    static void decodeBC1Group(const uint8_t* blocks, VI px[16]) {
        VI endpoints, indices;
        V::loadBlocks8(blocks, endpoints, indices);
        VI colours[4];
        colourPaletteWords(endpoints, colours);
        const VI opaque = splat(static_cast<int>(0xFF000000u));
        for (int k = 0; k < 16; ++k) px[k] = pick4(colours, srl(indices, 2 * k)) | opaque;
    }

    static void decodeBC3Group(const uint8_t* blocks, VI px[16]) {
        VI w0, w1, endpoints, indices;
        V::loadBlocks16(blocks, w0, w1, endpoints, indices);
        VI colours[4];
        colourPaletteWords(endpoints, colours);
        VI alpha[16];
        decodeAlphaWords(w0, w1, alpha);
        for (int k = 0; k < 16; ++k) px[k] = pick4(colours, srl(indices, 2 * k)) | sll(alpha[k], 24);
    }

    // ycocgRoundedQuotient per lane in single precision, given the
    // reciprocal of 2s: floor((2n + s) / (2s)) as trunc(quotient + 512) -
    // 512, exactly (checked above for every n and s the decoder meets).
    static VI roundedQuotient(VI n, VI scale, VF reciprocal) {
        const VF q = V::toFloat(2 * n + scale) * reciprocal;
        return V::truncate(q + 512.0f) - 512;
    }

    // Scaled YCoCg: every pixel's chroma comes from one of the colour
    // block's four entries, so the three chroma offsets (R, G, B, each in
    // -256..256) are worked out per entry; a pixel adds its luma to each and
    // clamps to 0..255.
    static void chromaOffsets(VI endpoints, VI offsets[4][3]) {
        VI pal[4][3];
        palette(endpoints & 0xFFFF, srl(endpoints, 16), pal);
        bool scaled = false;
        for (int j = 0; j < 4; ++j) scaled = scaled || V::any(pal[j][2] >= 8);
        for (int j = 0; j < 4; ++j) {
            const VI co = pal[j][0] - 128;
            const VI cg = pal[j][1] - 128;
            VI r = co - cg, g = cg, b = (VI{} - co) - cg;
            if (scaled) {
                // Blue below 8 is scale 1, where the quotients are exact.
                const VI scale = (pal[j][2] >> 3) + 1;
                const VF reciprocal = splatF(1.0f) / V::toFloat(2 * scale);
                r = roundedQuotient(r, scale, reciprocal);
                g = roundedQuotient(g, scale, reciprocal);
                b = roundedQuotient(b, scale, reciprocal);
            }
            offsets[j][0] = r;
            offsets[j][1] = g;
            offsets[j][2] = b;
        }
    }

    // The decoded pixels of scaled YCoCg, the offsets packed per entry as
    // 10-bit fields biased by 256. The colour block is given as its words,
    // the 16 lumas decoded already; pixel(k, r, g, b) receives each decoded
    // pixel.
    template <class Pixel>
    static void ycocgPixels(VI endpoints, VI indices, const VI luma[16], Pixel&& pixel) {
        VI entry[4][3];
        chromaOffsets(endpoints, entry);
        VI offsets[4];
        for (int j = 0; j < 4; ++j)
            offsets[j] = (entry[j][0] + 256) | ((entry[j][1] + 256) << 10) |
                         ((entry[j][2] + 256) << 20);
        const VI zero = VI{};
        const VI limit = splat(255);
        const auto clamp = [&](VI value) { return V::min(V::max(value, zero), limit); };
        for (int k = 0; k < 16; ++k) {
            const VI e = pick4(offsets, srl(indices, 2 * k));
            const VI y = luma[k] - 256;  // takes the fields' bias off
            // The top field has nothing above it.
            pixel(k, clamp(y + (e & 1023)), clamp(y + ((e >> 10) & 1023)), clamp(y + srl(e, 20)));
        }
    }

    static void decodeYCoCgGroup(const uint8_t* blocks, VI px[16]) {
        VI w0, w1, endpoints, indices;
        V::loadBlocks16(blocks, w0, w1, endpoints, indices);
        VI luma[16];
        decodeAlphaWords(w0, w1, luma);
        const VI opaque = splat(static_cast<int>(0xFF000000u));
        ycocgPixels(endpoints, indices, luma, [&](int k, VI r, VI g, VI b) {
            px[k] = r | (g << 8) | (b << 16) | opaque;
        });
    }

    // Scaled YCoCg colour with the alpha of a BC4 block of the same place.
    static void decodeYCoCgAlphaGroup(const uint8_t* blocks, const uint8_t* alphaBlocks,
                                      VI px[16]) {
        decodeYCoCgGroup(blocks, px);
        VI alpha[16];
        decodeBC4Group(alphaBlocks, alpha);
        for (int k = 0; k < 16; ++k) px[k] = (px[k] & 0x00FFFFFF) | sll(alpha[k], 24);
    }

    // ---- Row decoders -----------------------------------------------------------------

    // Whole groups of `lanes` blocks through the vector code, the blocks
    // left over through the scalar reference.
    template <void (*group)(const uint8_t*, const uint8_t*, VI*), DxtDecodeKind kind,
              unsigned blockBytes, bool bgra>
    static void decodeRow(uint8_t* dst, ptrdiff_t stride, const uint8_t* blocks,
                          const uint8_t* alphaBlocks, unsigned numBlocks) {
        // Only the alpha kind has alpha blocks (the others may get null).
        const auto alphaOf = [alphaBlocks](unsigned i) {
            return kind == dxtDecodeYCoCgAlpha ? alphaBlocks + 8 * size_t{i} : nullptr;
        };
        unsigned i = 0;
        for (; i + lanes <= numBlocks; i += lanes) {
            VI px[16];
            group(blocks + size_t{blockBytes} * i, alphaOf(i), px);
            V::template storePixels<bgra>(dst + 16 * size_t{i}, stride, px);
        }
        for (; i < numBlocks; ++i)
            dxtDecodeBlock(kind, bgra, blocks + size_t{blockBytes} * i, alphaOf(i),
                           dst + 16 * size_t{i}, stride);
    }

    // The row decoders' groups, all with the alpha operand.
    template <void (*decode)(const uint8_t*, VI*)>
    static void withoutAlpha(const uint8_t* blocks, const uint8_t*, VI px[16]) {
        decode(blocks, px);
    }

    static constexpr DxtRowDecoders decoders = {
        decodeRow<withoutAlpha<decodeBC1Group>, dxtDecodeBC1, 8, false>,
        decodeRow<withoutAlpha<decodeBC1Group>, dxtDecodeBC1, 8, true>,
        decodeRow<withoutAlpha<decodeBC3Group>, dxtDecodeBC3, 16, false>,
        decodeRow<withoutAlpha<decodeBC3Group>, dxtDecodeBC3, 16, true>,
        decodeRow<withoutAlpha<decodeYCoCgGroup>, dxtDecodeYCoCg, 16, false>,
        decodeRow<withoutAlpha<decodeYCoCgGroup>, dxtDecodeYCoCg, 16, true>,
        decodeRow<decodeYCoCgAlphaGroup, dxtDecodeYCoCgAlpha, 16, false>,
        decodeRow<decodeYCoCgAlphaGroup, dxtDecodeYCoCgAlpha, 16, true>,
    };

    // ---- Squared error of what the blocks decode to ----------------------------------
    //
    // From the encoder's own pixels and results, decoded as the decoders
    // above (and texture_decode's) decode the written blocks.

    // The error pairs pixels k and k + 8 of a block as the 16-bit halves of
    // its lane, and finds each pixel's palette entry with one byte shuffle
    // per channel: the shuffle looks up bytes within each 16-byte group, so
    // lane i keeps its block's four entries of a channel as the bytes of its
    // own word, bytes 4 (i mod 4) to 4 (i mod 4) + 3 of its group. The index
    // of a pair's entries has that offset plus pixel k's palette index in
    // byte 0 and pixel k + 8's in byte 2; bytes 1 and 3 have their top bit
    // set, which the shuffle reads as zero, so each entry arrives as a
    // 16-bit half.
    static int groupOffset(unsigned lane) { return 4 * static_cast<int>(lane % 4); }
    // Built once: the compiler would build it lane by lane per call.
    static const VI& entryIndexOffsets() {
        static const VI offsets = [] {
            VI built;
            for (unsigned lane = 0; lane < lanes; ++lane) {
                const int offset = groupOffset(lane);
                built[lane] = offset | 0x80 << 8 | offset << 16 | static_cast<int>(0x80000000u);
            }
            return built;
        }();
        return offsets;
    }

    // Shuffle indices that move byte `from` of every lane to byte `to` and
    // clear the lane's other bytes.
    static VI byteMove(int from, int to) {
        VI index;
        for (unsigned lane = 0; lane < lanes; ++lane) {
            const uint32_t cleared = 0x80808080u & ~(0xFFu << 8 * to);
            const uint32_t source = static_cast<uint32_t>(groupOffset(lane) + from);
            index[lane] = static_cast<int>(cleared | source << 8 * to);
        }
        return index;
    }

    // The shuffle indices of pair k: indices holds pixel j's palette index
    // in bits 2j and 2j + 1, so pixel k + 8's lies 16 bits above pixel k's.
    static VI pairEntryIndex(VI indices, int k, VI offsets) {
        return (srl(indices, 2 * k) & 0x00030003) | offsets;
    }

    // Four per-lane entries (each 0..255) as the bytes of one word.
    static VI entryBytes(VI e0, VI e1, VI e2, VI e3) {
        return e0 | e1 << 8 | e2 << 16 | sll(e3, 24);
    }

    // The squared error of R, G and B, pixels against the palette entries
    // their indices pick. Every difference fits its signed half.
    static VI colourError(const Planes<true>& p, VI endpoints, VI indices) {
        VI pal[4][3];
        palette(endpoints & 0xFFFF, srl(endpoints, 16), pal);
        VI table[3];
        for (int c = 0; c < 3; ++c)
            table[c] = entryBytes(pal[0][c], pal[1][c], pal[2][c], pal[3][c]);
        const VI offsets = entryIndexOffsets();
        VI sum = VI{};
        for (int k = 0; k < 8; ++k) {
            const VI at = pairEntryIndex(indices, k, offsets);
            const VI source[3] = {pairOf(p.r[k], p.r[k + 8]), pairOf(p.g[k], p.g[k + 8]),
                                  pairOf(p.b[k], p.b[k + 8])};
            for (int c = 0; c < 3; ++c) {
                const VI d = V::sub16(source[c], V::shuffleBytes(table[c], at));
                sum += V::madd(d, d);
            }
        }
        return sum;
    }

    // The alpha values and what they decode to, both in pairs.
    static VI alphaError(const VI pairs[8], const VI decodedPairs[8]) {
        VI sum = VI{};
        for (int k = 0; k < 8; ++k) {
            const VI d = V::sub16(pairs[k], decodedPairs[k]);
            sum += V::madd(d, d);
        }
        return sum;
    }

    // Scaled YCoCg's decoded channel is its luma plus the entry's offset,
    // clamped to 0..255. An offset of at least 255 (at most -255) gives 255
    // (0) whatever the luma, so the offset splits into two bytes, its
    // positive and its negative part, each clamped to 255, and the decoded
    // value is the luma plus the one, minus the other, both saturating:
    // exactly the clamped sum. Pixels pair as in colourError, the lumas
    // already so.
    static VI ycocgError(const VI px[16], VI endpoints, VI indices, const VI lumaPairs[8]) {
        VI entry[4][3];
        chromaOffsets(endpoints, entry);
        VI raise[3], lower[3];
        const VI zero = VI{};
        const VI limit = splat(255);
        for (int c = 0; c < 3; ++c) {
            VI up[4], down[4];
            for (int j = 0; j < 4; ++j) {
                up[j] = V::min(V::max(entry[j][c], zero), limit);
                down[j] = V::min(V::max(zero - entry[j][c], zero), limit);
            }
            raise[c] = entryBytes(up[0], up[1], up[2], up[3]);
            lower[c] = entryBytes(down[0], down[1], down[2], down[3]);
        }
        const VI offsets = entryIndexOffsets();
        // Built once, as the offsets are.
        static const VI toLow[3] = {byteMove(0, 0), byteMove(1, 0), byteMove(2, 0)};
        static const VI toHigh[3] = {byteMove(0, 2), byteMove(1, 2), byteMove(2, 2)};
        VI sum = VI{};
#pragma GCC unroll 8
        for (int k = 0; k < 8; ++k) {
            const VI at = pairEntryIndex(indices, k, offsets);
            for (int c = 0; c < 3; ++c) {
                const VI source =
                    V::shuffleBytes(px[k], toLow[c]) | V::shuffleBytes(px[k + 8], toHigh[c]);
                const VI raised = V::addSatU8(lumaPairs[k], V::shuffleBytes(raise[c], at));
                const VI d = V::sub16(source, V::subSatU8(raised, V::shuffleBytes(lower[c], at)));
                sum += V::madd(d, d);
            }
        }
        return sum;
    }

    // ---- Rows -------------------------------------------------------------------

    // Whole groups of `lanes` blocks go through the vector code, the blocks
    // left over through the scalar reference (and, measuring, the reference
    // decode and compare).
    template <VI (*group)(uint8_t*, const uint8_t*, ptrdiff_t),
              int (*scalar)(uint8_t*, ptrdiff_t, const uint8_t*), DxtBlockKind kind,
              unsigned blockBytes, bool bgra, bool measure>
    static uint64_t row(uint8_t* dst, const uint8_t* src, ptrdiff_t stride, unsigned numBlocks) {
        uint64_t total = 0;
        // Per lane sums of whole groups, added into the total at most
        // `groupsPerFlush` groups apart: a block's sum is below 2^22.
        constexpr unsigned groupsPerFlush = 1024;
        VU pending = VU{};
        unsigned pendingGroups = 0;
        const auto flush = [&] {
            for (unsigned lane = 0; lane < lanes; ++lane) total += pending[lane];
            pending = VU{};
            pendingGroups = 0;
        };
        unsigned i = 0;
        for (; i + lanes <= numBlocks; i += lanes) {
            const VI error = group(dst + size_t{blockBytes} * i, src + 16 * size_t{i}, stride);
            if constexpr (measure) {
                pending += (VU)error;
                if (++pendingGroups == groupsPerFlush) flush();
            }
        }
        if constexpr (measure) flush();
        alignas(16) uint8_t local[64];
        for (; i < numBlocks; ++i) {
            uint8_t* out = dst + size_t{blockBytes} * i;
            const uint8_t* block = src + 16 * size_t{i};
            ptrdiff_t blockStride = stride;
            if constexpr (bgra) {
                swizzleBlock(local, block, stride);
                block = local;
                blockStride = 16;
            }
            scalar(out, blockStride, block);
            if constexpr (measure) total += dxtBlockSquaredError(kind, out, block, blockStride);
        }
        return total;
    }

    // One BGRA block to RGBA rows 16 bytes apart.
    static void swizzleBlock(uint8_t* local, const uint8_t* block, ptrdiff_t stride) {
        for (int y = 0; y < 4; ++y) {
            const __m128i row =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + y * stride));
            _mm_store_si128(reinterpret_cast<__m128i*>(local + 16 * y),
                            _mm_shuffle_epi8(row, bgraSwap128()));
        }
    }

    static int alphaScalar(uint8_t* dst, ptrdiff_t stride, const uint8_t* block) {
        alpha_block(dst, stride, block);
        return 8;
    }

    template <bool measure>
    static constexpr DxtRowEncoders encoders = {
        row<dxt1Group<false, measure>, dxt1_block, dxtKindBC1, 8, false, measure>,
        row<dxt1Group<true, measure>, dxt1_block, dxtKindBC1, 8, true, measure>,
        row<dxt5Group<false, measure>, dxt5_block, dxtKindBC3, 16, false, measure>,
        row<dxt5Group<true, measure>, dxt5_block, dxtKindBC3, 16, true, measure>,
        row<dxt5ysGroup<false, measure>, dxt5ys_block, dxtKindYCoCg, 16, false, measure>,
        row<dxt5ysGroup<true, measure>, dxt5ys_block, dxtKindYCoCg, 16, true, measure>,
        row<alphaGroup<measure>, alphaScalar, dxtKindBC4, 8, false, measure>,
    };
};

}  // namespace

}  // namespace brindle
