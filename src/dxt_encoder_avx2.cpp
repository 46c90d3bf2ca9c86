// The row encoders with eight blocks per call, one per 32-bit lane of the
// 256-bit AVX2 registers. Built with -mavx2 on x86-64 only (see the top-level
// CMakeLists.txt); dxt_encoder_simd.cpp calls it only after the CPU has
// reported AVX2.
#if defined(__x86_64__)

#if !defined(__AVX2__)
#error "dxt_encoder_avx2.cpp must be compiled with -mavx2"
#endif

#include <immintrin.h>

#include "dxt_encoder_simd_kernels.hpp"

namespace brindle {

namespace {

struct Avx2 {
    static constexpr unsigned lanes = 8;
    typedef int32_t VI __attribute__((vector_size(32)));
    typedef uint32_t VU __attribute__((vector_size(32)));
    typedef float VF __attribute__((vector_size(32)));
    typedef int16_t VS __attribute__((vector_size(32)));

    static __m256i m(VI v) { return (__m256i)v; }
    static VI v(__m256i x) { return (VI)x; }

    static VI select(VI mask, VI a, VI b) { return v(_mm256_blendv_epi8(m(b), m(a), m(mask))); }
    static VI min(VI a, VI b) { return v(_mm256_min_epi32(m(a), m(b))); }
    static VI max(VI a, VI b) { return v(_mm256_max_epi32(m(a), m(b))); }
    static VI minU16(VI a, VI b) { return v(_mm256_min_epu16(m(a), m(b))); }
    static VI maxU16(VI a, VI b) { return v(_mm256_max_epu16(m(a), m(b))); }
    static VI madd(VI a, VI b) { return v(_mm256_madd_epi16(m(a), m(b))); }
    static VI mullo16(VI a, VI b) { return v(_mm256_mullo_epi16(m(a), m(b))); }
    static bool any(VI mask) { return _mm256_movemask_ps((__m256)mask) != 0; }
    static bool all(VI mask) { return _mm256_movemask_ps((__m256)mask) == 0xFF; }
    static VF toFloat(VI x) { return (VF)_mm256_cvtepi32_ps(m(x)); }
    // cvtt gives INT_MIN for values out of range; the callers keep them in.
    static VI truncate(VF x) { return v(_mm256_cvttps_epi32((__m256)x)); }

    static VI lookup(const uint32_t* table, VI index) {
        return v(_mm256_i32gather_epi32(reinterpret_cast<const int*>(table), m(index), 4));
    }

    // Four doubles per register: the two halves of the lanes in turn.
    static __m128i axisHalf(__m128 value, __m128 magnitude) {
        const __m256d scale = _mm256_div_pd(_mm256_set1_pd(512.0), _mm256_cvtps_pd(magnitude));
        return _mm256_cvttpd_epi32(_mm256_mul_pd(_mm256_cvtps_pd(value), scale));
    }
    static VI axis(VF value, VF magnitude) {
        const __m256 x = (__m256)value;
        const __m256 mag = (__m256)magnitude;
        const __m128i lo = axisHalf(_mm256_castps256_ps128(x), _mm256_castps256_ps128(mag));
        const __m128i hi = axisHalf(_mm256_extractf128_ps(x, 1), _mm256_extractf128_ps(mag, 1));
        return v(_mm256_set_m128i(hi, lo));
    }


    static __m256i loadPair(const uint8_t* low, const uint8_t* high) {
        const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(low));
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(high));
        return _mm256_inserti128_si256(_mm256_castsi128_si256(l), h, 1);
    }

    // Pixel k of blocks 0..7 into the lanes of px[k]. Each register holds
    // blocks j and j + 4, so the in-lane 4x4 transpose leaves the lanes in
    // block order.
    template <bool bgra>
    static void load(const uint8_t* src, ptrdiff_t stride, VI px[16]) {
        const __m256i swizzle = _mm256_broadcastsi128_si256(bgraSwap128());
        for (int y = 0; y < 4; ++y) {
            const uint8_t* row = src + y * stride;
            __m256i a = loadPair(row + 0, row + 64);
            __m256i b = loadPair(row + 16, row + 80);
            __m256i c = loadPair(row + 32, row + 96);
            __m256i d = loadPair(row + 48, row + 112);
            if constexpr (bgra) {
                a = _mm256_shuffle_epi8(a, swizzle);
                b = _mm256_shuffle_epi8(b, swizzle);
                c = _mm256_shuffle_epi8(c, swizzle);
                d = _mm256_shuffle_epi8(d, swizzle);
            }
            const __m256i t0 = _mm256_unpacklo_epi32(a, b);
            const __m256i t1 = _mm256_unpackhi_epi32(a, b);
            const __m256i t2 = _mm256_unpacklo_epi32(c, d);
            const __m256i t3 = _mm256_unpackhi_epi32(c, d);
            px[4 * y + 0] = v(_mm256_unpacklo_epi64(t0, t2));
            px[4 * y + 1] = v(_mm256_unpackhi_epi64(t0, t2));
            px[4 * y + 2] = v(_mm256_unpacklo_epi64(t1, t3));
            px[4 * y + 3] = v(_mm256_unpackhi_epi64(t1, t3));
        }
    }

    // The inverse of load: the in-lane transpose leaves blocks j and j + 4
    // in the halves of one register, which the stores pair up again.
    template <bool bgra>
    static void storePixels(uint8_t* dst, ptrdiff_t stride, const VI px[16]) {
        const __m256i swizzle = _mm256_broadcastsi128_si256(bgraSwap128());
        for (int y = 0; y < 4; ++y) {
            const __m256i t0 = _mm256_unpacklo_epi32(m(px[4 * y + 0]), m(px[4 * y + 1]));
            const __m256i t1 = _mm256_unpackhi_epi32(m(px[4 * y + 0]), m(px[4 * y + 1]));
            const __m256i t2 = _mm256_unpacklo_epi32(m(px[4 * y + 2]), m(px[4 * y + 3]));
            const __m256i t3 = _mm256_unpackhi_epi32(m(px[4 * y + 2]), m(px[4 * y + 3]));
            __m256i q0 = _mm256_unpacklo_epi64(t0, t2);  // block 0 | block 4
            __m256i q1 = _mm256_unpackhi_epi64(t0, t2);  // block 1 | block 5
            __m256i q2 = _mm256_unpacklo_epi64(t1, t3);  // block 2 | block 6
            __m256i q3 = _mm256_unpackhi_epi64(t1, t3);  // block 3 | block 7
            if constexpr (bgra) {
                q0 = _mm256_shuffle_epi8(q0, swizzle);
                q1 = _mm256_shuffle_epi8(q1, swizzle);
                q2 = _mm256_shuffle_epi8(q2, swizzle);
                q3 = _mm256_shuffle_epi8(q3, swizzle);
            }
            __m256i* row = reinterpret_cast<__m256i*>(dst + y * stride);
            _mm256_storeu_si256(row + 0, _mm256_permute2x128_si256(q0, q1, 0x20));
            _mm256_storeu_si256(row + 1, _mm256_permute2x128_si256(q2, q3, 0x20));
            _mm256_storeu_si256(row + 2, _mm256_permute2x128_si256(q0, q1, 0x31));
            _mm256_storeu_si256(row + 3, _mm256_permute2x128_si256(q2, q3, 0x31));
        }
    }

    static void store8(uint8_t* dst, VI a, VI b) {
        const __m256i u0 = _mm256_unpacklo_epi32(m(a), m(b));  // blocks 0, 1 | 4, 5
        const __m256i u1 = _mm256_unpackhi_epi32(m(a), m(b));  // blocks 2, 3 | 6, 7
        __m256i* out = reinterpret_cast<__m256i*>(dst);
        _mm256_storeu_si256(out, _mm256_permute2x128_si256(u0, u1, 0x20));
        _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(u0, u1, 0x31));
    }

    static void store16(uint8_t* dst, VI a, VI b, VI c, VI d) {
        const __m256i t0 = _mm256_unpacklo_epi32(m(a), m(b));
        const __m256i t1 = _mm256_unpackhi_epi32(m(a), m(b));
        const __m256i t2 = _mm256_unpacklo_epi32(m(c), m(d));
        const __m256i t3 = _mm256_unpackhi_epi32(m(c), m(d));
        const __m256i q0 = _mm256_unpacklo_epi64(t0, t2);  // block 0 | block 4
        const __m256i q1 = _mm256_unpackhi_epi64(t0, t2);  // block 1 | block 5
        const __m256i q2 = _mm256_unpacklo_epi64(t1, t3);  // block 2 | block 6
        const __m256i q3 = _mm256_unpackhi_epi64(t1, t3);  // block 3 | block 7
        __m256i* out = reinterpret_cast<__m256i*>(dst);
        _mm256_storeu_si256(out + 0, _mm256_permute2x128_si256(q0, q1, 0x20));
        _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(q2, q3, 0x20));
        _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(q0, q1, 0x31));
        _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(q2, q3, 0x31));
    }

    static VI sub16(VI a, VI b) { return v(_mm256_sub_epi16(m(a), m(b))); }
    static VI mulhiU16(VI a, VI b) { return v(_mm256_mulhi_epu16(m(a), m(b))); }
    static VI shuffleBytes(VI t, VI i) { return v(_mm256_shuffle_epi8(m(t), m(i))); }
    static VI addSatU8(VI a, VI b) { return v(_mm256_adds_epu8(m(a), m(b))); }
    static VI subSatU8(VI a, VI b) { return v(_mm256_subs_epu8(m(a), m(b))); }
    static VI selectBySign(VI s, VI a, VI b) {
        return (VI)_mm256_blendv_ps((__m256)b, (__m256)a, (__m256)s);
    }

    static __m256i load256(const uint8_t* src) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    }

    static void loadBlocks8(const uint8_t* src, VI& a, VI& b) {
        const __m256i r0 = load256(src);       // blocks 0-3
        const __m256i r1 = load256(src + 32);  // blocks 4-7
        const __m256 u0 = (__m256)_mm256_permute2x128_si256(r0, r1, 0x20);  // 0, 1 | 4, 5
        const __m256 u1 = (__m256)_mm256_permute2x128_si256(r0, r1, 0x31);  // 2, 3 | 6, 7
        a = (VI)_mm256_shuffle_ps(u0, u1, _MM_SHUFFLE(2, 0, 2, 0));
        b = (VI)_mm256_shuffle_ps(u0, u1, _MM_SHUFFLE(3, 1, 3, 1));
    }

    static void loadBlocks16(const uint8_t* src, VI& a, VI& b, VI& c, VI& d) {
        const __m256i r0 = load256(src);       // blocks 0, 1
        const __m256i r1 = load256(src + 32);  // blocks 2, 3
        const __m256i r2 = load256(src + 64);  // blocks 4, 5
        const __m256i r3 = load256(src + 96);  // blocks 6, 7
        const __m256i q0 = _mm256_permute2x128_si256(r0, r2, 0x20);  // block 0 | block 4
        const __m256i q1 = _mm256_permute2x128_si256(r0, r2, 0x31);  // block 1 | block 5
        const __m256i q2 = _mm256_permute2x128_si256(r1, r3, 0x20);  // block 2 | block 6
        const __m256i q3 = _mm256_permute2x128_si256(r1, r3, 0x31);  // block 3 | block 7
        const __m256i t0 = _mm256_unpacklo_epi32(q0, q1);
        const __m256i t1 = _mm256_unpackhi_epi32(q0, q1);
        const __m256i t2 = _mm256_unpacklo_epi32(q2, q3);
        const __m256i t3 = _mm256_unpackhi_epi32(q2, q3);
        a = v(_mm256_unpacklo_epi64(t0, t2));
        b = v(_mm256_unpackhi_epi64(t0, t2));
        c = v(_mm256_unpacklo_epi64(t1, t3));
        d = v(_mm256_unpackhi_epi64(t1, t3));
    }
};

}  // namespace

const DxtRowEncoders dxtRowEncodersAvx2 = DxtLanes<Avx2>::encoders<false>;
const DxtRowEncoders dxtMeasuringRowEncodersAvx2 = DxtLanes<Avx2>::encoders<true>;
const DxtRowDecoders dxtRowDecodersAvx2 = DxtLanes<Avx2>::decoders;

}  // namespace brindle

#endif  // __x86_64__
