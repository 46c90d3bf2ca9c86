// The row encoders with sixteen blocks per call, one per 32-bit lane of the
// 512-bit AVX-512 registers (foundation, byte/word and doubleword/quadword
// instructions). Built with those flags on x86-64 only (see the top-level
// CMakeLists.txt); dxt_encoder_simd.cpp calls it only after the CPU has
// reported all three.
#if defined(__x86_64__)

#if !defined(__AVX512F__) || !defined(__AVX512BW__) || !defined(__AVX512DQ__)
#error "dxt_encoder_avx512.cpp must be compiled with -mavx512f -mavx512bw -mavx512dq"
#endif

// GCC 12's own AVX-512 intrinsics start many results from a deliberately
// undefined register and then warn about it once inlined; nothing of ours
// is read uninitialised (the other levels build with the warning on).
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include "dxt_encoder_simd_kernels.hpp"

namespace brindle {

namespace {

struct Avx512 {
    static constexpr unsigned lanes = 16;
    typedef int32_t VI __attribute__((vector_size(64)));
    typedef uint32_t VU __attribute__((vector_size(64)));
    typedef float VF __attribute__((vector_size(64)));
    typedef int16_t VS __attribute__((vector_size(64)));

    static __m512i m(VI v) { return (__m512i)v; }
    static VI v(__m512i x) { return (VI)x; }
    // The sign bit of every lane as a mask register.
    static __mmask16 signs(VI x) { return _mm512_movepi32_mask(m(x)); }

    static VI select(VI mask, VI a, VI b) {
        return v(_mm512_mask_blend_epi32(signs(mask), m(b), m(a)));
    }
    static VI min(VI a, VI b) { return v(_mm512_min_epi32(m(a), m(b))); }
    static VI max(VI a, VI b) { return v(_mm512_max_epi32(m(a), m(b))); }
    static VI minU16(VI a, VI b) { return v(_mm512_min_epu16(m(a), m(b))); }
    static VI maxU16(VI a, VI b) { return v(_mm512_max_epu16(m(a), m(b))); }
    static VI madd(VI a, VI b) { return v(_mm512_madd_epi16(m(a), m(b))); }
    static VI mullo16(VI a, VI b) { return v(_mm512_mullo_epi16(m(a), m(b))); }
    static bool any(VI mask) { return signs(mask) != 0; }
    static bool all(VI mask) { return signs(mask) == 0xFFFF; }
    static VF toFloat(VI x) { return (VF)_mm512_cvtepi32_ps(m(x)); }
    // cvtt gives INT_MIN for values out of range; the callers keep them in.
    static VI truncate(VF x) { return v(_mm512_cvttps_epi32((__m512)x)); }

    static VI lookup(const uint32_t* table, VI index) {
        return v(_mm512_i32gather_epi32(m(index), table, 4));
    }

    // Eight doubles per register: the two halves of the lanes in turn.
    static __m256i axisHalf(__m256 value, __m256 magnitude) {
        const __m512d scale = _mm512_div_pd(_mm512_set1_pd(512.0), _mm512_cvtps_pd(magnitude));
        return _mm512_cvttpd_epi32(_mm512_mul_pd(_mm512_cvtps_pd(value), scale));
    }
    static VI axis(VF value, VF magnitude) {
        const __m512 x = (__m512)value;
        const __m512 mag = (__m512)magnitude;
        const __m256i lo = axisHalf(_mm512_castps512_ps256(x), _mm512_castps512_ps256(mag));
        const __m256i hi = axisHalf(_mm512_extractf32x8_ps(x, 1), _mm512_extractf32x8_ps(mag, 1));
        return v(_mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1));
    }


    // The 4 x 4 transpose of 128-bit quarters: quarter j of register i goes
    // to quarter i of register j. Its own inverse.
    static void transposeQuarters(__m512i& a, __m512i& b, __m512i& c, __m512i& d) {
        const __m512i ab01 = _mm512_shuffle_i32x4(a, b, _MM_SHUFFLE(1, 0, 1, 0));
        const __m512i cd01 = _mm512_shuffle_i32x4(c, d, _MM_SHUFFLE(1, 0, 1, 0));
        const __m512i ab23 = _mm512_shuffle_i32x4(a, b, _MM_SHUFFLE(3, 2, 3, 2));
        const __m512i cd23 = _mm512_shuffle_i32x4(c, d, _MM_SHUFFLE(3, 2, 3, 2));
        a = _mm512_shuffle_i32x4(ab01, cd01, _MM_SHUFFLE(2, 0, 2, 0));
        b = _mm512_shuffle_i32x4(ab01, cd01, _MM_SHUFFLE(3, 1, 3, 1));
        c = _mm512_shuffle_i32x4(ab23, cd23, _MM_SHUFFLE(2, 0, 2, 0));
        d = _mm512_shuffle_i32x4(ab23, cd23, _MM_SHUFFLE(3, 1, 3, 1));
    }

    // The 4 x 4 transpose of 32-bit words within each 128-bit quarter.
    static void transposeWords(__m512i& a, __m512i& b, __m512i& c, __m512i& d) {
        const __m512i t0 = _mm512_unpacklo_epi32(a, b);
        const __m512i t1 = _mm512_unpackhi_epi32(a, b);
        const __m512i t2 = _mm512_unpacklo_epi32(c, d);
        const __m512i t3 = _mm512_unpackhi_epi32(c, d);
        a = _mm512_unpacklo_epi64(t0, t2);
        b = _mm512_unpackhi_epi64(t0, t2);
        c = _mm512_unpacklo_epi64(t1, t3);
        d = _mm512_unpackhi_epi64(t1, t3);
    }

    static __m512i load512(const uint8_t* src) {
        return _mm512_loadu_si512(reinterpret_cast<const void*>(src));
    }

    // Pixel k of blocks 0..15 into the lanes of px[k]. After the quarter
    // transpose register j holds blocks j, j + 4, j + 8 and j + 12, so the
    // word transpose within quarters leaves the lanes in block order.
    template <bool bgra>
    static void load(const uint8_t* src, ptrdiff_t stride, VI px[16]) {
        const __m512i swizzle = _mm512_broadcast_i32x4(bgraSwap128());
        for (int y = 0; y < 4; ++y) {
            const uint8_t* row = src + y * stride;
            __m512i a = load512(row + 0);    // blocks 0-3
            __m512i b = load512(row + 64);   // blocks 4-7
            __m512i c = load512(row + 128);  // blocks 8-11
            __m512i d = load512(row + 192);  // blocks 12-15
            if constexpr (bgra) {
                a = _mm512_shuffle_epi8(a, swizzle);
                b = _mm512_shuffle_epi8(b, swizzle);
                c = _mm512_shuffle_epi8(c, swizzle);
                d = _mm512_shuffle_epi8(d, swizzle);
            }
            transposeQuarters(a, b, c, d);
            transposeWords(a, b, c, d);
            px[4 * y + 0] = v(a);
            px[4 * y + 1] = v(b);
            px[4 * y + 2] = v(c);
            px[4 * y + 3] = v(d);
        }
    }

    // The inverse of load.
    template <bool bgra>
    static void storePixels(uint8_t* dst, ptrdiff_t stride, const VI px[16]) {
        const __m512i swizzle = _mm512_broadcast_i32x4(bgraSwap128());
        for (int y = 0; y < 4; ++y) {
            __m512i a = m(px[4 * y + 0]), b = m(px[4 * y + 1]);
            __m512i c = m(px[4 * y + 2]), d = m(px[4 * y + 3]);
            transposeWords(a, b, c, d);
            transposeQuarters(a, b, c, d);
            if constexpr (bgra) {
                a = _mm512_shuffle_epi8(a, swizzle);
                b = _mm512_shuffle_epi8(b, swizzle);
                c = _mm512_shuffle_epi8(c, swizzle);
                d = _mm512_shuffle_epi8(d, swizzle);
            }
            uint8_t* row = dst + y * stride;
            _mm512_storeu_si512(row + 0, a);
            _mm512_storeu_si512(row + 64, b);
            _mm512_storeu_si512(row + 128, c);
            _mm512_storeu_si512(row + 192, d);
        }
    }

    static void store8(uint8_t* dst, VI a, VI b) {
        // Per quarter: blocks 0, 1 | 4, 5 | 8, 9 | 12, 13 and 2, 3 | 6, 7 | ...
        const __m512i u0 = _mm512_unpacklo_epi32(m(a), m(b));
        const __m512i u1 = _mm512_unpackhi_epi32(m(a), m(b));
        const __m512i first = _mm512_shuffle_i32x4(u0, u1, _MM_SHUFFLE(1, 0, 1, 0));
        const __m512i second = _mm512_shuffle_i32x4(u0, u1, _MM_SHUFFLE(3, 2, 3, 2));
        __m512i* out = reinterpret_cast<__m512i*>(dst);
        _mm512_storeu_si512(out, _mm512_shuffle_i32x4(first, first, _MM_SHUFFLE(3, 1, 2, 0)));
        _mm512_storeu_si512(out + 1, _mm512_shuffle_i32x4(second, second, _MM_SHUFFLE(3, 1, 2, 0)));
    }

    static void store16(uint8_t* dst, VI a, VI b, VI c, VI d) {
        __m512i q0 = m(a), q1 = m(b), q2 = m(c), q3 = m(d);
        // Register j: block j, j + 4, j + 8, j + 12, one per quarter.
        transposeWords(q0, q1, q2, q3);
        transposeQuarters(q0, q1, q2, q3);
        __m512i* out = reinterpret_cast<__m512i*>(dst);
        _mm512_storeu_si512(out + 0, q0);
        _mm512_storeu_si512(out + 1, q1);
        _mm512_storeu_si512(out + 2, q2);
        _mm512_storeu_si512(out + 3, q3);
    }

    static VI sub16(VI a, VI b) { return v(_mm512_sub_epi16(m(a), m(b))); }
    static VI mulhiU16(VI a, VI b) { return v(_mm512_mulhi_epu16(m(a), m(b))); }
    static VI shuffleBytes(VI t, VI i) { return v(_mm512_shuffle_epi8(m(t), m(i))); }
    static VI addSatU8(VI a, VI b) { return v(_mm512_adds_epu8(m(a), m(b))); }
    static VI subSatU8(VI a, VI b) { return v(_mm512_subs_epu8(m(a), m(b))); }
    static VI selectBySign(VI s, VI a, VI b) { return select(s, a, b); }

    static void loadBlocks8(const uint8_t* src, VI& a, VI& b) {
        const __m512i r0 = load512(src);       // blocks 0-7
        const __m512i r1 = load512(src + 64);  // blocks 8-15
        const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26,
                                               28, 30);
        a = v(_mm512_permutex2var_epi32(r0, even, r1));
        b = v(_mm512_permutex2var_epi32(r0, _mm512_add_epi32(even, _mm512_set1_epi32(1)), r1));
    }

    static void loadBlocks16(const uint8_t* src, VI& a, VI& b, VI& c, VI& d) {
        __m512i q0 = load512(src), q1 = load512(src + 64);
        __m512i q2 = load512(src + 128), q3 = load512(src + 192);
        transposeQuarters(q0, q1, q2, q3);
        transposeWords(q0, q1, q2, q3);
        a = v(q0);
        b = v(q1);
        c = v(q2);
        d = v(q3);
    }
};

}  // namespace

const DxtRowEncoders dxtRowEncodersAvx512 = DxtLanes<Avx512>::encoders<false>;
const DxtRowEncoders dxtMeasuringRowEncodersAvx512 = DxtLanes<Avx512>::encoders<true>;
const DxtRowDecoders dxtRowDecodersAvx512 = DxtLanes<Avx512>::decoders;

}  // namespace brindle

#endif  // __x86_64__
