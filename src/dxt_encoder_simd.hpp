// Row encoders and decoders: the DXT block encoders, and the block decoders
// of texture_decode, applied to a whole row of blocks per call, with one
// block per SIMD lane where the CPU allows it. Every level writes exactly the
// bytes of the scalar block functions; the scalar level is those functions
// in a loop and is the portable fallback.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brindle {

// Encodes numBlocks 4x4 blocks that sit side by side in one block row (block
// i's top-left pixel at src + 16 i, pixel rows `stride` bytes apart) and
// writes their encodings back to back at dst. Reads nothing outside the
// blocks' four rows of 16 bytes; writes exactly numBlocks encodings.
//
// The measuring variants also return the row's squared error: the sum, over
// the blocks, of squareErrorRGBA between the RGBA source block and what the
// written block decodes to (decodeBC1RGB / decodeBC3RGBA / decodeBC3YCOGR /
// decodeBC4RGBA), with the channels the format does not carry made equal,
// so over BC1 and YCoCg R, G, B; BC3 all four; BC4 alpha. The others return
// 0 and cost nothing extra.
using DxtRowEncodeFn = uint64_t (*)(uint8_t* dst, const uint8_t* src, ptrdiff_t stride,
                                    unsigned numBlocks);

// One entry per texture format and source layout. The BC4 alpha plane reads
// only the fourth byte of each pixel, which is alpha in both layouts.
struct DxtRowEncoders {
    DxtRowEncodeFn dxt1Rgba;    // 8-byte BC1 blocks
    DxtRowEncodeFn dxt1Bgra;
    DxtRowEncodeFn dxt5Rgba;    // 16-byte BC3 blocks
    DxtRowEncodeFn dxt5Bgra;
    DxtRowEncodeFn dxt5ysRgba;  // 16-byte BC3 blocks of scaled YCoCg
    DxtRowEncodeFn dxt5ysBgra;
    DxtRowEncodeFn alpha;       // 8-byte BC4 blocks
};

// What a table's row encoders give besides the blocks.
enum class DxtRowOutput { blocks, blocksAndError };

// Ordered: a level needs every instruction set of the levels below it.
enum class DxtSimdLevel { scalar, sse41, avx2, avx512 };

// Chosen once, on first use, from the features of the CPU that runs the
// process (never from the build machine's).
const DxtRowEncoders& dxtRowEncoders(DxtRowOutput output = DxtRowOutput::blocks);
DxtSimdLevel dxtBestSimdLevel();

// The encoders of one level, so that tests and benchmarks can force each one;
// nullptr when this CPU or this build lacks the level.
const DxtRowEncoders* dxtRowEncodersFor(DxtSimdLevel level,
                                        DxtRowOutput output = DxtRowOutput::blocks);
const char* dxtSimdLevelName(DxtSimdLevel level);

// ---- Row decoders --------------------------------------------------------------

// Decodes numBlocks blocks of one block row, stored back to back at `blocks`,
// into the four pixel rows of 4 numBlocks pixels at dst, rows `stride` bytes
// apart (a negative stride walks upward), 4 bytes per pixel in RGBA or BGRA
// order. The decoders of scaled YCoCg with alpha take the row's BC4 blocks at
// `alphaBlocks`; the others never read it. Writes exactly those pixels.
using DxtRowDecodeFn = void (*)(uint8_t* dst, ptrdiff_t stride, const uint8_t* blocks,
                                const uint8_t* alphaBlocks, unsigned numBlocks);

// One entry per picture kind and pixel order: decodeBC1RGB, decodeBC3RGBA,
// decodeBC3YCOGR, and decodeBC3YCOGR with decodeBC4RGBA's alpha.
struct DxtRowDecoders {
    DxtRowDecodeFn bc1Rgba;
    DxtRowDecodeFn bc1Bgra;
    DxtRowDecodeFn bc3Rgba;
    DxtRowDecodeFn bc3Bgra;
    DxtRowDecodeFn ycocgRgba;
    DxtRowDecodeFn ycocgBgra;
    DxtRowDecodeFn ycocgAlphaRgba;
    DxtRowDecodeFn ycocgAlphaBgra;
};

// Chosen with the encoders' level; nullptr for a level this CPU lacks.
const DxtRowDecoders& dxtRowDecoders();
const DxtRowDecoders* dxtRowDecodersFor(DxtSimdLevel level);

// ---- Internals shared by the levels ------------------------------------------

// The texture formats' numbers (OrvTexFmt) as the kernels need them.
enum DxtBlockKind { dxtKindBC1 = 0, dxtKindBC3 = 1, dxtKindYCoCg = 2, dxtKindBC4 = 3 };

// The squared error of one block, the reference of the measuring row
// encoders: `encoded` is one block of the kind, `block` its RGBA source
// pixels, decoded with texture_decode's decoders and compared.
uint32_t dxtBlockSquaredError(DxtBlockKind kind, const uint8_t* encoded, const uint8_t* block,
                              ptrdiff_t stride);

// What a row decoder decodes, and the scalar reference of one block: the
// 4 x 4 pixels at dst, rows `stride` apart.
enum DxtDecodeKind { dxtDecodeBC1, dxtDecodeBC3, dxtDecodeYCoCg, dxtDecodeYCoCgAlpha };
void dxtDecodeBlock(DxtDecodeKind kind, bool bgra, const uint8_t* block, const uint8_t* alphaBlock,
                    uint8_t* dst, ptrdiff_t stride);

// The single-colour tables in the shape a table lookup per lane wants: for an
// 8-bit value v, q0 in bits 0-15 and q1 in bits 16-31, so that one lookup
// per channel yields both endpoints' bits.
struct DxtSolidPairs {
    uint32_t match5[256];
    uint32_t match6[256];
};
const DxtSolidPairs& dxtSolidPairs();

// Defined by the SIMD sources, which are compiled with their own instruction
// set flags and only on x86-64. Call them only after checking the CPU.
extern const DxtRowEncoders dxtRowEncodersSse41;
extern const DxtRowEncoders dxtRowEncodersAvx2;
extern const DxtRowEncoders dxtRowEncodersAvx512;
extern const DxtRowEncoders dxtMeasuringRowEncodersSse41;
extern const DxtRowEncoders dxtMeasuringRowEncodersAvx2;
extern const DxtRowEncoders dxtMeasuringRowEncodersAvx512;
extern const DxtRowDecoders dxtRowDecodersSse41;
extern const DxtRowDecoders dxtRowDecodersAvx2;
extern const DxtRowDecoders dxtRowDecodersAvx512;

}  // namespace brindle
