// The row encoders with four blocks per call, one per 32-bit lane of the
// 128-bit SSE registers. Built with -msse4.1 on x86-64 only (see the top-level
// CMakeLists.txt); dxt_encoder_simd.cpp calls it only after the CPU has
// reported SSE4.1.
#if defined(__x86_64__)

#if !defined(__SSE4_1__)
#error "dxt_encoder_sse41.cpp must be compiled with -msse4.1"
#endif

#include <smmintrin.h>

#include "dxt_encoder_simd_kernels.hpp"

namespace brindle {

namespace {

struct Sse41 {
    static constexpr unsigned lanes = 4;
    typedef int32_t VI __attribute__((vector_size(16)));
    typedef uint32_t VU __attribute__((vector_size(16)));
    typedef float VF __attribute__((vector_size(16)));
    typedef int16_t VS __attribute__((vector_size(16)));

    static __m128i m(VI v) { return (__m128i)v; }
    static VI v(__m128i x) { return (VI)x; }

    static VI select(VI mask, VI a, VI b) { return v(_mm_blendv_epi8(m(b), m(a), m(mask))); }
    static VI min(VI a, VI b) { return v(_mm_min_epi32(m(a), m(b))); }
    static VI max(VI a, VI b) { return v(_mm_max_epi32(m(a), m(b))); }
    static VI minU16(VI a, VI b) { return v(_mm_min_epu16(m(a), m(b))); }
    static VI maxU16(VI a, VI b) { return v(_mm_max_epu16(m(a), m(b))); }
    static VI madd(VI a, VI b) { return v(_mm_madd_epi16(m(a), m(b))); }
    static VI mullo16(VI a, VI b) { return v(_mm_mullo_epi16(m(a), m(b))); }
    static bool any(VI mask) { return _mm_movemask_ps((__m128)mask) != 0; }
    static bool all(VI mask) { return _mm_movemask_ps((__m128)mask) == 0xF; }
    static VF toFloat(VI x) { return (VF)_mm_cvtepi32_ps(m(x)); }
    // cvtt gives INT_MIN for values out of range; the callers keep them in.
    static VI truncate(VF x) { return v(_mm_cvttps_epi32((__m128)x)); }

    // No gather below AVX2: four scalar reads.
    static VI lookup(const uint32_t* table, VI index) {
        alignas(16) int32_t i[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(i), m(index));
        return v(_mm_setr_epi32(static_cast<int>(table[i[0]]), static_cast<int>(table[i[1]]),
                                static_cast<int>(table[i[2]]), static_cast<int>(table[i[3]])));
    }

    // Two doubles per register: the lanes in two halves.
    static __m128i axisHalf(__m128 value, __m128 magnitude) {
        const __m128d scale = _mm_div_pd(_mm_set1_pd(512.0), _mm_cvtps_pd(magnitude));
        return _mm_cvttpd_epi32(_mm_mul_pd(_mm_cvtps_pd(value), scale));
    }
    static VI axis(VF value, VF magnitude) {
        const __m128 x = (__m128)value;
        const __m128 mag = (__m128)magnitude;
        const __m128i lo = axisHalf(x, mag);
        const __m128i hi = axisHalf(_mm_movehl_ps(x, x), _mm_movehl_ps(mag, mag));
        return v(_mm_unpacklo_epi64(lo, hi));
    }


    static void transpose(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
        const __m128i t0 = _mm_unpacklo_epi32(a, b);
        const __m128i t1 = _mm_unpackhi_epi32(a, b);
        const __m128i t2 = _mm_unpacklo_epi32(c, d);
        const __m128i t3 = _mm_unpackhi_epi32(c, d);
        a = _mm_unpacklo_epi64(t0, t2);
        b = _mm_unpackhi_epi64(t0, t2);
        c = _mm_unpacklo_epi64(t1, t3);
        d = _mm_unpackhi_epi64(t1, t3);
    }

    // Pixel k of blocks 0..3 into the lanes of px[k].
    template <bool bgra>
    static void load(const uint8_t* src, ptrdiff_t stride, VI px[16]) {
        for (int y = 0; y < 4; ++y) {
            const __m128i* row = reinterpret_cast<const __m128i*>(src + y * stride);
            __m128i a = _mm_loadu_si128(row + 0);
            __m128i b = _mm_loadu_si128(row + 1);
            __m128i c = _mm_loadu_si128(row + 2);
            __m128i d = _mm_loadu_si128(row + 3);
            if constexpr (bgra) {
                a = _mm_shuffle_epi8(a, bgraSwap128());
                b = _mm_shuffle_epi8(b, bgraSwap128());
                c = _mm_shuffle_epi8(c, bgraSwap128());
                d = _mm_shuffle_epi8(d, bgraSwap128());
            }
            transpose(a, b, c, d);
            px[4 * y + 0] = v(a);
            px[4 * y + 1] = v(b);
            px[4 * y + 2] = v(c);
            px[4 * y + 3] = v(d);
        }
    }

    template <bool bgra>
    static void storePixels(uint8_t* dst, ptrdiff_t stride, const VI px[16]) {
        for (int y = 0; y < 4; ++y) {
            __m128i a = m(px[4 * y + 0]), b = m(px[4 * y + 1]), c = m(px[4 * y + 2]),
                    d = m(px[4 * y + 3]);
            transpose(a, b, c, d);
            if constexpr (bgra) {
                a = _mm_shuffle_epi8(a, bgraSwap128());
                b = _mm_shuffle_epi8(b, bgraSwap128());
                c = _mm_shuffle_epi8(c, bgraSwap128());
                d = _mm_shuffle_epi8(d, bgraSwap128());
            }
            __m128i* row = reinterpret_cast<__m128i*>(dst + y * stride);
            _mm_storeu_si128(row + 0, a);
            _mm_storeu_si128(row + 1, b);
            _mm_storeu_si128(row + 2, c);
            _mm_storeu_si128(row + 3, d);
        }
    }

    static void store8(uint8_t* dst, VI a, VI b) {
        __m128i* out = reinterpret_cast<__m128i*>(dst);
        _mm_storeu_si128(out + 0, _mm_unpacklo_epi32(m(a), m(b)));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi32(m(a), m(b)));
    }

    static void store16(uint8_t* dst, VI a, VI b, VI c, VI d) {
        __m128i q0 = m(a), q1 = m(b), q2 = m(c), q3 = m(d);
        transpose(q0, q1, q2, q3);
        __m128i* out = reinterpret_cast<__m128i*>(dst);
        _mm_storeu_si128(out + 0, q0);
        _mm_storeu_si128(out + 1, q1);
        _mm_storeu_si128(out + 2, q2);
        _mm_storeu_si128(out + 3, q3);
    }

    static VI sub16(VI a, VI b) { return v(_mm_sub_epi16(m(a), m(b))); }
    static VI mulhiU16(VI a, VI b) { return v(_mm_mulhi_epu16(m(a), m(b))); }
    static VI shuffleBytes(VI t, VI i) { return v(_mm_shuffle_epi8(m(t), m(i))); }
    static VI addSatU8(VI a, VI b) { return v(_mm_adds_epu8(m(a), m(b))); }
    static VI subSatU8(VI a, VI b) { return v(_mm_subs_epu8(m(a), m(b))); }
    static VI selectBySign(VI s, VI a, VI b) {
        return (VI)_mm_blendv_ps((__m128)b, (__m128)a, (__m128)s);
    }

    static void loadBlocks8(const uint8_t* src, VI& a, VI& b) {
        const __m128 r0 = (__m128)_mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128 r1 = (__m128)_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
        a = (VI)_mm_shuffle_ps(r0, r1, _MM_SHUFFLE(2, 0, 2, 0));
        b = (VI)_mm_shuffle_ps(r0, r1, _MM_SHUFFLE(3, 1, 3, 1));
    }

    static void loadBlocks16(const uint8_t* src, VI& a, VI& b, VI& c, VI& d) {
        const __m128i* in = reinterpret_cast<const __m128i*>(src);
        __m128i q0 = _mm_loadu_si128(in + 0);
        __m128i q1 = _mm_loadu_si128(in + 1);
        __m128i q2 = _mm_loadu_si128(in + 2);
        __m128i q3 = _mm_loadu_si128(in + 3);
        transpose(q0, q1, q2, q3);
        a = v(q0);
        b = v(q1);
        c = v(q2);
        d = v(q3);
    }
};

}  // namespace

const DxtRowEncoders dxtRowEncodersSse41 = DxtLanes<Sse41>::encoders<false>;
const DxtRowEncoders dxtMeasuringRowEncodersSse41 = DxtLanes<Sse41>::encoders<true>;
const DxtRowDecoders dxtRowDecodersSse41 = DxtLanes<Sse41>::decoders;

}  // namespace brindle

#endif  // __x86_64__
