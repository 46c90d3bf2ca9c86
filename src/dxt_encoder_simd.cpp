// The portable half of the row encoders: the scalar level, the lookup tables
// the vector levels share, and the choice of level by CPU features. This file
// is built with the default flags, so nothing here may assume more than the
// baseline of the target architecture.
#include "dxt_encoder_simd.hpp"

#include <cstring>
#include <utility>

#include "brindle.hpp"
#include "dxt_encoder.hpp"

#if defined(__SSE2__) && !defined(ORV_SCALAR_ONLY)
#include <emmintrin.h>
#endif

namespace brindle {

namespace {

// ---- Scalar level -----------------------------------------------------------

// Copies the block's four rows of 16 bytes into `local` (rows 16 bytes
// apart), turning B, G, R, A into R, G, B, A. Reads nothing beyond the rows.
void swizzleBGRABlock(uint8_t* local, const uint8_t* block, ptrdiff_t stride) {
#if defined(__SSE2__) && !defined(ORV_SCALAR_ONLY)
    // Within each little-endian 32-bit pixel, bytes 0 and 2 trade places:
    // keep G and A, move B up 16 bits and R down 16 bits. (The byte shuffle
    // that does this in one step needs SSSE3, beyond the baseline.)
    const __m128i keep = _mm_set1_epi32(static_cast<int>(0xFF00FF00u));
    const __m128i low = _mm_set1_epi32(0x000000FF);
    for (int row = 0; row < 4; ++row) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + row * stride));
        const __m128i swapped = _mm_or_si128(
            _mm_and_si128(v, keep),
            _mm_or_si128(_mm_slli_epi32(_mm_and_si128(v, low), 16),
                         _mm_and_si128(_mm_srli_epi32(v, 16), low)));
        _mm_store_si128(reinterpret_cast<__m128i*>(local + 16 * row), swapped);
    }
#else
    for (int row = 0; row < 4; ++row) {
        const uint8_t* in = block + row * stride;
        uint8_t* out = local + 16 * row;
        for (int x = 0; x < 16; x += 4) {
            out[x + 0] = in[x + 2];
            out[x + 1] = in[x + 1];
            out[x + 2] = in[x + 0];
            out[x + 3] = in[x + 3];
        }
    }
#endif
}

// Each block through its scalar function and, measuring, the reference
// decode and compare.
template <int (*encode)(uint8_t*, ptrdiff_t, const uint8_t*), DxtBlockKind kind, bool measure>
uint64_t scalarRowRgba(uint8_t* dst, const uint8_t* src, ptrdiff_t stride, unsigned numBlocks) {
    uint64_t error = 0;
    for (unsigned i = 0; i < numBlocks; ++i) {
        const uint8_t* block = src + 16 * size_t{i};
        const int written = encode(dst, stride, block);
        if constexpr (measure) error += dxtBlockSquaredError(kind, dst, block, stride);
        dst += written;
    }
    return error;
}

template <int (*encode)(uint8_t*, ptrdiff_t, const uint8_t*), DxtBlockKind kind, bool measure>
uint64_t scalarRowBgra(uint8_t* dst, const uint8_t* src, ptrdiff_t stride, unsigned numBlocks) {
    // Aligned so the swizzle can store whole rows at once.
    alignas(16) uint8_t local[64];
    uint64_t error = 0;
    for (unsigned i = 0; i < numBlocks; ++i) {
        swizzleBGRABlock(local, src + 16 * size_t{i}, stride);
        const int written = encode(dst, 16, local);
        if constexpr (measure) error += dxtBlockSquaredError(kind, dst, local, 16);
        dst += written;
    }
    return error;
}

int alphaBlock(uint8_t* dst, ptrdiff_t stride, const uint8_t* block) {
    alpha_block(dst, stride, block);
    return 8;
}

template <bool measure>
constexpr DxtRowEncoders scalarEncoders = {
    scalarRowRgba<dxt1_block, dxtKindBC1, measure>,
    scalarRowBgra<dxt1_block, dxtKindBC1, measure>,
    scalarRowRgba<dxt5_block, dxtKindBC3, measure>,
    scalarRowBgra<dxt5_block, dxtKindBC3, measure>,
    scalarRowRgba<dxt5ys_block, dxtKindYCoCg, measure>,
    scalarRowBgra<dxt5ys_block, dxtKindYCoCg, measure>,
    scalarRowRgba<alphaBlock, dxtKindBC4, measure>,
};

// The decoders' scalar level: the reference per block.
template <DxtDecodeKind kind, unsigned blockBytes, bool bgra>
void scalarDecodeRow(uint8_t* dst, ptrdiff_t stride, const uint8_t* blocks,
                     const uint8_t* alphaBlocks, unsigned numBlocks) {
    for (unsigned i = 0; i < numBlocks; ++i) {
        // Only the alpha kind has alpha blocks (the others may get null).
        const uint8_t* alpha = kind == dxtDecodeYCoCgAlpha ? alphaBlocks + 8 * size_t{i} : nullptr;
        dxtDecodeBlock(kind, bgra, blocks + size_t{blockBytes} * i, alpha, dst + 16 * size_t{i},
                       stride);
    }
}

constexpr DxtRowDecoders scalarDecoders = {
    scalarDecodeRow<dxtDecodeBC1, 8, false>,          scalarDecodeRow<dxtDecodeBC1, 8, true>,
    scalarDecodeRow<dxtDecodeBC3, 16, false>,         scalarDecodeRow<dxtDecodeBC3, 16, true>,
    scalarDecodeRow<dxtDecodeYCoCg, 16, false>,       scalarDecodeRow<dxtDecodeYCoCg, 16, true>,
    scalarDecodeRow<dxtDecodeYCoCgAlpha, 16, false>,  scalarDecodeRow<dxtDecodeYCoCgAlpha, 16, true>,
};

// ---- CPU features ------------------------------------------------------------

bool cpuHas(DxtSimdLevel level) {
#if defined(ORV_SCALAR_ONLY)
    // The build that proves the portable code alone, as other architectures run it.
    if (level != DxtSimdLevel::scalar) return false;
#endif
#if defined(__x86_64__)
    // Needed if the first call comes from a static initialiser that runs
    // before the runtime's own; cheap once done.
    __builtin_cpu_init();
#endif
    switch (level) {
        case DxtSimdLevel::scalar: return true;
#if defined(__x86_64__)
        // The compiler's runtime also checks that the operating system saves
        // the wide registers before it reports AVX2.
        case DxtSimdLevel::sse41: return __builtin_cpu_supports("sse4.1");
        case DxtSimdLevel::avx2:
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("sse4.1");
        case DxtSimdLevel::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512dq") && cpuHas(DxtSimdLevel::avx2);
#else
        case DxtSimdLevel::sse41:
        case DxtSimdLevel::avx2:
        case DxtSimdLevel::avx512: return false;
#endif
    }
    return false;
}

DxtSimdLevel bestLevel() {
    if (cpuHas(DxtSimdLevel::avx512)) return DxtSimdLevel::avx512;
    if (cpuHas(DxtSimdLevel::avx2)) return DxtSimdLevel::avx2;
    if (cpuHas(DxtSimdLevel::sse41)) return DxtSimdLevel::sse41;
    return DxtSimdLevel::scalar;
}

DxtSolidPairs makeSolidPairs() {
    DxtSolidPairs pairs{};
    for (int v = 0; v < 256; ++v) {
        const SolidMatch m5 = solidMatch5(static_cast<uint8_t>(v));
        const SolidMatch m6 = solidMatch6(static_cast<uint8_t>(v));
        pairs.match5[v] = uint32_t{m5.q0} | uint32_t{m5.q1} << 16;
        pairs.match6[v] = uint32_t{m6.q0} | uint32_t{m6.q1} << 16;
    }
    return pairs;
}

}  // namespace

const DxtSolidPairs& dxtSolidPairs() {
    static const DxtSolidPairs pairs = makeSolidPairs();
    return pairs;
}

DxtSimdLevel dxtBestSimdLevel() {
    static const DxtSimdLevel level = bestLevel();
    return level;
}

const DxtRowEncoders* dxtRowEncodersFor(DxtSimdLevel level, DxtRowOutput output) {
    if (!cpuHas(level)) return nullptr;
    const bool measure = output == DxtRowOutput::blocksAndError;
    switch (level) {
        case DxtSimdLevel::scalar: return measure ? &scalarEncoders<true> : &scalarEncoders<false>;
#if defined(__x86_64__)
        case DxtSimdLevel::sse41:
            return measure ? &dxtMeasuringRowEncodersSse41 : &dxtRowEncodersSse41;
        case DxtSimdLevel::avx2:
            return measure ? &dxtMeasuringRowEncodersAvx2 : &dxtRowEncodersAvx2;
        case DxtSimdLevel::avx512:
            return measure ? &dxtMeasuringRowEncodersAvx512 : &dxtRowEncodersAvx512;
#else
        case DxtSimdLevel::sse41:
        case DxtSimdLevel::avx2:
        case DxtSimdLevel::avx512: return nullptr;
#endif
    }
    return nullptr;
}

const DxtRowDecoders* dxtRowDecodersFor(DxtSimdLevel level) {
    if (!cpuHas(level)) return nullptr;
    switch (level) {
        case DxtSimdLevel::scalar: return &scalarDecoders;
#if defined(__x86_64__)
        case DxtSimdLevel::sse41: return &dxtRowDecodersSse41;
        case DxtSimdLevel::avx2: return &dxtRowDecodersAvx2;
        case DxtSimdLevel::avx512: return &dxtRowDecodersAvx512;
#else
        case DxtSimdLevel::sse41:
        case DxtSimdLevel::avx2:
        case DxtSimdLevel::avx512: return nullptr;
#endif
    }
    return nullptr;
}

const DxtRowDecoders& dxtRowDecoders() {
    static const DxtRowDecoders& chosen = *dxtRowDecodersFor(dxtBestSimdLevel());
    return chosen;
}

void dxtDecodeBlock(DxtDecodeKind kind, bool bgra, const uint8_t* block, const uint8_t* alphaBlock,
                    uint8_t* dst, ptrdiff_t stride) {
    uint8_t decoded[64];
    switch (kind) {
        case dxtDecodeBC1: decodeBC1RGB(block, decoded); break;
        case dxtDecodeBC3: decodeBC3RGBA(block, decoded); break;
        case dxtDecodeYCoCg: decodeBC3YCOGR(block, decoded); break;
        case dxtDecodeYCoCgAlpha: {
            decodeBC3YCOGR(block, decoded);
            uint8_t alpha[64];
            decodeBC4RGBA(alphaBlock, alpha);
            for (int p = 3; p < 64; p += 4) decoded[p] = alpha[p];
            break;
        }
    }
    for (int row = 0; row < 4; ++row) {
        uint8_t* out = dst + row * stride;
        std::memcpy(out, decoded + 16 * row, 16);
        if (bgra)
            for (int p = 0; p < 16; p += 4) std::swap(out[p], out[p + 2]);
    }
}

uint32_t dxtBlockSquaredError(DxtBlockKind kind, const uint8_t* encoded, const uint8_t* block,
                              ptrdiff_t stride) {
    uint8_t decoded[64];
    bool colour = true;  // compares R, G, B
    bool alpha = false;  // compares A
    switch (kind) {
        case dxtKindBC1: decodeBC1RGB(encoded, decoded); break;
        case dxtKindBC3:
            decodeBC3RGBA(encoded, decoded);
            alpha = true;
            break;
        case dxtKindYCoCg: decodeBC3YCOGR(encoded, decoded); break;
        case dxtKindBC4:
            decodeBC4RGBA(encoded, decoded);
            colour = false;
            alpha = true;
            break;
    }
    uint8_t source[64];
    for (int row = 0; row < 4; ++row) std::memcpy(source + 16 * row, block + row * stride, 16);
    // Channels the format does not carry are made equal, so they add nothing.
    for (int p = 0; p < 64; p += 4) {
        if (!colour) std::memcpy(source + p, decoded + p, 3);
        if (!alpha) source[p + 3] = decoded[p + 3];
    }
    // One block's sum (at most 4,161,600) is exact in the metric's 32 bits.
    return static_cast<uint32_t>(metrics::squareErrorRGBA(source, decoded, 64));
}

const DxtRowEncoders& dxtRowEncoders(DxtRowOutput output) {
    static const DxtRowEncoders& plain = *dxtRowEncodersFor(dxtBestSimdLevel());
    static const DxtRowEncoders& measuring =
        *dxtRowEncodersFor(dxtBestSimdLevel(), DxtRowOutput::blocksAndError);
    return output == DxtRowOutput::blocksAndError ? measuring : plain;
}

const char* dxtSimdLevelName(DxtSimdLevel level) {
    switch (level) {
        case DxtSimdLevel::scalar: return "scalar";
        case DxtSimdLevel::sse41: return "sse4.1";
        case DxtSimdLevel::avx2: return "avx2";
        case DxtSimdLevel::avx512: return "avx512";
    }
    return "unknown";
}

}  // namespace brindle
