// The row encoders and decoders of every SIMD level against the scalar block
// functions, byte for byte: blocks of the families that steer the encoders
// into their special paths, both pixel layouts, every texture format, rows of
// every length modulo the lane count, padded and upward rows, input ending
// exact-size heap buffers (an over-read trips AddressSanitizer) and output
// between canary bytes. The measuring encoders' squared error must equal
// decoding with the exported decoders.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "dxt_encoder.hpp"
#include "dxt_encoder_simd.hpp"

namespace {

using namespace brindle;
using Bytes = std::vector<uint8_t>;
using Block = std::array<uint8_t, 64>;  // 16 RGBA pixels, rows 16 bytes apart
using Rng = std::mt19937;

// Blocks per corpus kind and (level, format, layout): the sanitizer builds
// run about ten times slower, so they check a tenth as many.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned blocksPerKind = 1200;
#else
constexpr unsigned blocksPerKind = 12000;
#endif
constexpr uint8_t canary = 0xE7;
constexpr unsigned canaryBytes = 64;

const OrvTexFmt allFormats[] = {ORV_TEX_FMT_BC1_RGB, ORV_TEX_FMT_BC3_RGBA, ORV_TEX_FMT_BC3_YCOGR,
                                ORV_TEX_FMT_BC4_ALPHA};
const DxtSimdLevel allLevels[] = {DxtSimdLevel::scalar, DxtSimdLevel::sse41, DxtSimdLevel::avx2,
                                  DxtSimdLevel::avx512};

unsigned blockBytes(OrvTexFmt fmt) {
    return fmt == ORV_TEX_FMT_BC1_RGB || fmt == ORV_TEX_FMT_BC4_ALPHA ? 8 : 16;
}

// Tables indexed by the format's number; BC4 reads alpha only, in either layout.
DxtRowEncodeFn rowFunction(const DxtRowEncoders& r, OrvTexFmt fmt, bool bgra) {
    const DxtRowEncodeFn fns[4][2] = {
        {r.dxt1Rgba, r.dxt1Bgra}, {r.dxt5Rgba, r.dxt5Bgra}, {r.dxt5ysRgba, r.dxt5ysBgra}, {r.alpha, r.alpha}};
    return fns[fmt][bgra];
}

// The reference: one call of the scalar block function on a packed RGBA
// copy; writes exactly blockBytes(fmt) bytes.
void referenceEncode(const Block& rgba, OrvTexFmt fmt, uint8_t* out) {
    uint8_t full[16];
    switch (fmt) {
        case ORV_TEX_FMT_BC1_RGB: dxt1_block(out, 16, rgba.data()); break;
        case ORV_TEX_FMT_BC3_RGBA: dxt5_block(out, 16, rgba.data()); break;
        case ORV_TEX_FMT_BC3_YCOGR: dxt5ys_block(out, 16, rgba.data()); break;
        case ORV_TEX_FMT_BC4_ALPHA: dxt5_block(full, 16, rgba.data()), std::memcpy(out, full, 8); break;
    }
}

// The reference measurement: decode each block with the exported
// decoders, make the channels the format does not carry equal, and add the
// per-block sums of squareErrorRGBA in double.
double referenceError(const std::vector<Block>& rgbaBlocks, const uint8_t* encoded, OrvTexFmt fmt) {
    double sum = 0;
    for (const Block& source : rgbaBlocks) {
        uint8_t decoded[64];
        const bool colour = fmt != ORV_TEX_FMT_BC4_ALPHA,
                   alpha = fmt == ORV_TEX_FMT_BC3_RGBA || fmt == ORV_TEX_FMT_BC4_ALPHA;
        switch (fmt) {
            case ORV_TEX_FMT_BC1_RGB: decodeBC1RGB(encoded, decoded); break;
            case ORV_TEX_FMT_BC3_RGBA: decodeBC3RGBA(encoded, decoded); break;
            case ORV_TEX_FMT_BC3_YCOGR: decodeBC3YCOGR(encoded, decoded); break;
            case ORV_TEX_FMT_BC4_ALPHA: decodeBC4RGBA(encoded, decoded); break;
        }
        encoded += blockBytes(fmt);
        Block compared = source;
        for (int p = 0; p < 64; p += 4) {
            if (!colour) std::memcpy(&compared[p], decoded + p, 3);
            if (!alpha) compared[p + 3] = decoded[p + 3];
        }
        sum += metrics::squareErrorRGBA(compared.data(), decoded, 64);
    }
    return sum;
}

// ---- Corpus: each kind makes blocks of one family -----------------------------------

int draw(Rng& rng, int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); }
uint8_t clampByte(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }
void setPixel(Block& block, int k, int r, int g, int b, int a) {
    const int v[4] = {r, g, b, a};
    for (int c = 0; c < 4; ++c) block[4 * k + c] = clampByte(v[c]);
}

Block uniformBlock(Rng& rng) {
    Block block;
    for (uint8_t& byte : block) byte = static_cast<uint8_t>(rng());
    return block;
}

// Smooth gradients with grain and an occasional hard edge, like a 4x4 window
// of a photograph.
Block naturalBlock(Rng& rng) {
    const int grain = draw(rng, 7), edge = rng() % 4 == 0 ? draw(rng, 256) - 128 : 0;
    const int edgeOffset = draw(rng, 7) - 3;
    int origin[4], dx[4], dy[4];
    for (int c = 0; c < 4; ++c)
        origin[c] = draw(rng, 256), dx[c] = draw(rng, 25) - 12, dy[c] = draw(rng, 25) - 12;
    if (rng() % 3 == 0) origin[3] = 255, dx[3] = dy[3] = 0;  // opaque
    Block block;
    for (int i = 0; i < 64; ++i) {
        const int x = (i >> 2) & 3, y = i >> 4, c = i & 3;
        block[i] = clampByte(origin[c] + dx[c] * x + dy[c] * y + draw(rng, 2 * grain + 1) - grain +
                             (x - y > edgeOffset ? edge : 0));
    }
    return block;
}

Block flatBlock(Rng& rng) {
    const uint32_t p = rng();
    Block block;
    for (int k = 0; k < 16; ++k) std::memcpy(&block[4 * k], &p, 4);
    return block;
}

// One colour, alpha varying: not flat, and every projection ties.
Block flatColourVaryingAlpha(Rng& rng) {
    Block block = flatBlock(rng);
    const int spread = 1 + draw(rng, 255);
    for (int k = 0; k < 16; ++k) block[4 * k + 3] = static_cast<uint8_t>(draw(rng, spread + 1));
    return block;
}

// Two colours in a random pattern (half the time of one alpha): ties for the
// extreme pixels, and the least-squares pass often reproduces the seeds.
Block twoColours(Rng& rng) {
    const uint32_t a = rng(), other = rng();
    const uint32_t b = rng() % 2 ? (a & 0xFF000000u) | (other & 0x00FFFFFFu) : other;
    Block block;
    for (int k = 0; k < 16; ++k) std::memcpy(&block[4 * k], rng() % 2 ? &a : &b, 4);
    return block;
}

// Every channel 0 or 255: the widest spans, the largest products, and
// projections that tie in many ways.
Block extremes(Rng& rng) {
    const uint64_t bits = uint64_t{rng()} << 32 | rng();
    Block block;
    for (int i = 0; i < 64; ++i) block[i] = (bits >> i) & 1 ? 255 : 0;
    return block;
}

// A few levels of one channel, the others constant: endpoints a step or two
// apart, so that projections land exactly on the index thresholds and the
// small-spread alpha bias applies.
Block narrowRamp(Rng& rng) {
    Block block = flatBlock(rng);
    const int channel = draw(rng, 4), low = draw(rng, 256), span = 1 + draw(rng, 12);
    for (int k = 0; k < 16; ++k) block[4 * k + channel] = clampByte(low + draw(rng, span + 1));
    return block;
}

// Pixels from a small palette of nearby colours: near-flat blocks whose
// refinement falls back to the single-colour tables or moves the endpoints
// past each other, and many equal projections.
Block nearFlat(Rng& rng) {
    const Block base = flatBlock(rng);
    Block block = base;
    for (int i = 0; i < 64; ++i)
        if (rng() % 3 == 0) block[i] = clampByte(base[i] + draw(rng, 5) - 2);
    return block;
}

// Two colours on opposite corners of the cube, one dominating the axis while
// quantising lower: the written endpoints come out swapped.
Block swappedEndpoints(Rng& rng) {
    const int dark = draw(rng, 80), bright = 160 + draw(rng, 96);
    const uint32_t pattern = rng();
    Block block;
    for (int k = 0; k < 16; ++k) {
        const int j = draw(rng, 3), first = (pattern >> k) & 1;
        setPixel(block, k, first ? j : dark + j, first ? j : 0, first ? bright : 0, 255);
    }
    return block;
}

// Points on the segment between two 5:6:5 colours, at the palette entries
// and the midpoints between them: the projections hit every threshold.
Block paletteLine(Rng& rng) {
    int e0[3], e1[3];
    for (int c = 0; c < 3; ++c) {
        const int bits = c == 1 ? 6 : 5, q0 = draw(rng, 1 << bits), step = draw(rng, 4);
        const int q1 = std::clamp(q0 + (rng() % 2 ? step : -step), 0, (1 << bits) - 1);
        auto expand = [bits](int q) { return bits == 5 ? (q << 3) | (q >> 2) : (q << 2) | (q >> 4); };
        e0[c] = expand(q0), e1[c] = expand(q1);
    }
    Block block;
    for (int k = 0; k < 16; ++k) {
        const int sixths = draw(rng, 7);  // 0, 1/6, ..., 1 of the way
        for (int c = 0; c < 3; ++c) block[4 * k + c] = clampByte((e0[c] * (6 - sixths) + e1[c] * sixths) / 6);
        block[4 * k + 3] = static_cast<uint8_t>(rng() % 2 ? 255 : rng());
    }
    return block;
}

const struct Kind {
    const char* name;
    Block (*make)(Rng&);
} kinds[] = {{"uniform", uniformBlock},   {"natural", naturalBlock},
             {"flat", flatBlock},         {"flatColourVaryingAlpha", flatColourVaryingAlpha},
             {"twoColours", twoColours},  {"extremes", extremes},
             {"narrowRamp", narrowRamp},  {"nearFlat", nearFlat},
             {"swappedEndpoints", swappedEndpoints}, {"paletteLine", paletteLine}};

Block anyKind(Rng& rng) { return kinds[rng() % std::size(kinds)].make(rng); }

// Copies a block's four rows to `at`, `stride` apart, swapping red and blue
// for BGRA.
void putBlock(uint8_t* at, ptrdiff_t stride, const Block& block, bool bgra) {
    for (int y = 0; y < 4; ++y) {
        uint8_t* row = at + y * stride;
        std::memcpy(row, &block[16 * y], 16);
        if (bgra)
            for (int p = 0; p < 16; p += 4) std::swap(row[p], row[p + 2]);
    }
}

// A block row laid out as an image with `padding` bytes after each pixel row,
// its last byte the last byte of an exact-size heap allocation. Upward rows
// start at the last pixel row and step back by the pitch.
struct RowImage {
    std::unique_ptr<uint8_t[]> storage;
    const uint8_t* row;  // top-left pixel of block 0
    ptrdiff_t stride;
};
RowImage layOut(const std::vector<Block>& blocks, bool bgra, unsigned padding = 0, bool upward = false) {
    const size_t width = 16 * blocks.size(), pitch = width + padding, size = 3 * pitch + width;
    RowImage image{std::make_unique<uint8_t[]>(size), nullptr,
                   upward ? -static_cast<ptrdiff_t>(pitch) : static_cast<ptrdiff_t>(pitch)};
    std::memset(image.storage.get(), 0x5A, size);
    uint8_t* base = image.storage.get() + (upward ? 3 * pitch : 0);
    for (size_t i = 0; i < blocks.size(); ++i) putBlock(base + 16 * i, image.stride, blocks[i], bgra);
    image.row = base;
    return image;
}

// The row encoders of one level: plain and measuring.
struct LevelRows {
    const DxtRowEncoders* plain;
    const DxtRowEncoders* measuring;
};

// Encodes the blocks as one row with both tables and compares every block
// with the reference; the measuring encoder must return the reference's
// squared error, the plain one 0, and the bytes after the row must keep
// their canary.
void expectRowMatches(const LevelRows& rows, const std::vector<Block>& blocks, OrvTexFmt fmt,
                      bool bgra, unsigned padding = 0, bool upward = false) {
    const unsigned size = blockBytes(fmt);
    const RowImage image = layOut(blocks, bgra, padding, upward);
    Bytes expected(size * blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) referenceEncode(blocks[i], fmt, &expected[size * i]);
    for (const DxtRowEncoders* table : {rows.plain, rows.measuring}) {
        const bool measuring = table == rows.measuring;
        SCOPED_TRACE(measuring ? "measuring" : "plain");
        Bytes out(expected.size() + canaryBytes, canary);
        const uint64_t error = rowFunction(*table, fmt, bgra)(out.data(), image.row, image.stride,
                                                               static_cast<unsigned>(blocks.size()));
        for (size_t i = 0; i < blocks.size(); ++i)
            ASSERT_EQ(Bytes(&out[size * i], &out[size * (i + 1)]),
                      Bytes(&expected[size * i], &expected[size * (i + 1)]))
                << "block " << i << " of " << blocks.size() << ", RGBA pixels "
                << testing::PrintToString(std::vector<int>(blocks[i].begin(), blocks[i].end()));
        EXPECT_EQ(static_cast<double>(error),
                  measuring ? referenceError(blocks, expected.data(), fmt) : 0.0);
        EXPECT_EQ(Bytes(out.end() - canaryBytes, out.end()), Bytes(canaryBytes, canary))
            << "wrote past the row";
    }
}

class RowEncoders : public ::testing::TestWithParam<DxtSimdLevel> {
protected:
    void SetUp() override {
        rows = {dxtRowEncodersFor(GetParam()),
                dxtRowEncodersFor(GetParam(), DxtRowOutput::blocksAndError)};
        if (rows.plain == nullptr) GTEST_SKIP() << "this CPU lacks " << dxtSimdLevelName(GetParam());
        ASSERT_NE(rows.measuring, nullptr);
    }
    LevelRows rows{};
};

TEST_P(RowEncoders, MatchTheReferenceOnEveryCorpusKindRowLengthAndStride) {
    // Rows of one kind at a time, so that whole vector groups are of that
    // kind and group-wide shortcuts (all flat, no lane changed) run, then of
    // every kind next to every other. Lengths cycle through 0..24 blocks
    // (every remainder after whole groups of 4, 8 and 16) and 123; padding
    // between pixel rows is never read as pixels; a negative stride walks the
    // rows upward.
    uint32_t seed = 1;
    for (size_t kind = 0; kind <= std::size(kinds); ++kind) {
        const bool mixed = kind == std::size(kinds);
        SCOPED_TRACE(mixed ? "mixed" : kinds[kind].name);
        for (const OrvTexFmt fmt : allFormats)
            for (const bool bgra : {false, true}) {
                SCOPED_TRACE(testing::Message() << "format " << fmt << (bgra ? " BGRA" : " RGBA"));
                Rng rng(seed++);
                for (unsigned done = 0, row = 0; done < blocksPerKind && !HasFailure(); done += 24, ++row) {
                    std::vector<Block> blocks(row % 26 == 25 ? 123 : row % 26);
                    for (Block& block : blocks) block = mixed ? anyKind(rng) : kinds[kind].make(rng);
                    const unsigned padding = (row / 26) % 3 == 0 ? 0 : (row / 26) % 3 == 1 ? 4 : 52;
                    SCOPED_TRACE(testing::Message() << blocks.size() << " blocks, padding " << padding);
                    expectRowMatches(rows, blocks, fmt, bgra, padding, row % 2 != (row / 26) % 2);
                }
            }
    }
}

TEST_P(RowEncoders, DecodersMatchTheBlockReferenceOnEveryRowLengthAndStride) {
    // Encodings of every corpus kind and arbitrary bytes (six-value alpha,
    // colour 0 below colour 1, YCoCg scales above 1), rows of 0..24 blocks
    // and one of 123, padded and upward rows; every byte around the decoded
    // pixels keeps its canary.
    const DxtRowDecoders* decoders = dxtRowDecodersFor(GetParam());
    ASSERT_NE(decoders, nullptr);
    const struct {
        DxtDecodeKind kind;
        OrvTexFmt fmt;
        DxtRowDecodeFn rgba, bgra;
    } cases[] = {
        {dxtDecodeBC1, ORV_TEX_FMT_BC1_RGB, decoders->bc1Rgba, decoders->bc1Bgra},
        {dxtDecodeBC3, ORV_TEX_FMT_BC3_RGBA, decoders->bc3Rgba, decoders->bc3Bgra},
        {dxtDecodeYCoCg, ORV_TEX_FMT_BC3_YCOGR, decoders->ycocgRgba, decoders->ycocgBgra},
        {dxtDecodeYCoCgAlpha, ORV_TEX_FMT_BC3_YCOGR, decoders->ycocgAlphaRgba,
         decoders->ycocgAlphaBgra},
    };
    Rng rng(17);
    for (const auto& c : cases) {
        const unsigned size = blockBytes(c.fmt);
        for (const bool bgra : {false, true})
            for (unsigned length = 0; length <= 25 && !HasFailure(); ++length) {
                const unsigned n = length == 25 ? 123 : length;
                const bool arbitrary = rng() % 2, upward = rng() % 2;
                const unsigned padding = rng() % 2 ? 20 : 0;
                SCOPED_TRACE(testing::Message() << "kind " << c.kind << (bgra ? " BGRA" : " RGBA")
                                                << ", " << n << " blocks, padding " << padding
                                                << (upward ? " upward" : "")
                                                << (arbitrary ? ", arbitrary bytes" : ""));
                // Colour and alpha blocks each end their own allocation.
                const auto blocks = std::make_unique<uint8_t[]>(size * n);
                const auto alpha = std::make_unique<uint8_t[]>(8 * n);
                for (unsigned i = 0; i < n; ++i) {
                    const Block source = anyKind(rng);
                    uint8_t full[16];
                    referenceEncode(source, c.fmt, &blocks[size * i]);
                    dxt5_block(full, 16, source.data());
                    std::memcpy(&alpha[8 * i], full, 8);
                    if (!arbitrary) continue;
                    for (unsigned b = 0; b < size; ++b) blocks[size * i + b] = static_cast<uint8_t>(rng());
                    for (unsigned b = 0; b < 8; ++b) alpha[8 * i + b] = static_cast<uint8_t>(rng());
                }
                const size_t pitch = 16 * n + padding;
                Bytes out(canaryBytes + 4 * pitch + canaryBytes, canary);
                Bytes expected = out;
                const ptrdiff_t stride =
                    upward ? -static_cast<ptrdiff_t>(pitch) : static_cast<ptrdiff_t>(pitch);
                const size_t top = canaryBytes + (upward ? 3 * pitch : 0);
                for (unsigned i = 0; i < n; ++i)
                    dxtDecodeBlock(c.kind, bgra, &blocks[size * i], &alpha[8 * i],
                                   &expected[top + 16 * i], stride);
                (bgra ? c.bgra : c.rgba)(&out[top], stride, blocks.get(), alpha.get(), n);
                EXPECT_EQ(out, expected);
            }
    }
}

std::string levelName(const ::testing::TestParamInfo<DxtSimdLevel>& info) {
    const char* names[] = {"scalar", "sse41", "avx2", "avx512"};  // as test names allow
    return names[static_cast<int>(info.param)];
}
INSTANTIATE_TEST_SUITE_P(Levels, RowEncoders, ::testing::ValuesIn(allLevels), levelName);

TEST(Dispatch, TheChosenLevelAndEveryLevelBelowItAreCompleteOnThisCpu) {
    const DxtSimdLevel best = dxtBestSimdLevel();
    EXPECT_EQ(&dxtRowDecoders(), dxtRowDecodersFor(best));
    for (const DxtRowOutput output : {DxtRowOutput::blocks, DxtRowOutput::blocksAndError}) {
        EXPECT_EQ(&dxtRowEncoders(output), dxtRowEncodersFor(best, output));
        for (const DxtSimdLevel level : allLevels) {
            // Every function of a table is called by the row tests above.
            EXPECT_EQ(dxtRowEncodersFor(level, output) != nullptr, level <= best) << dxtSimdLevelName(level);
            EXPECT_EQ(dxtRowDecodersFor(level) != nullptr, level <= best) << dxtSimdLevelName(level);
        }
    }
}

}  // namespace
