// The row encoders of every SIMD level against the scalar reference block
// functions, byte for byte: random, natural-looking and hard blocks, both
// source layouts, every texture format, rows of every length modulo the lane
// count, input at the very end of exact-size heap buffers (so that an
// over-read trips AddressSanitizer) and output between canary bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "dxt_encoder.hpp"
#include "dxt_encoder_simd.hpp"
#include "buffer_pool.hpp"
#include "orvenc_ffmpeg.hpp"
#include "orvenc_frame.hpp"
#include "texture_quality.hpp"

namespace {

using brindle::DxtRowEncodeFn;
using brindle::DxtRowEncoders;
using brindle::DxtSimdLevel;
using brindle::OrvTexFmt;
using Bytes = std::vector<uint8_t>;
using Block = std::array<uint8_t, 64>;  // 16 RGBA pixels, rows 16 bytes apart

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

// Blocks per corpus kind and (level, format, layout): the sanitizer builds
// run about ten times slower, so they check a tenth as many.
constexpr unsigned blocksPerKind = sanitized ? 1200 : 12000;

constexpr uint8_t canary = 0xE7;
constexpr unsigned canaryBytes = 64;

const OrvTexFmt allFormats[] = {brindle::ORV_TEX_FMT_BC1_RGB, brindle::ORV_TEX_FMT_BC3_RGBA,
                                brindle::ORV_TEX_FMT_BC3_YCOGR, brindle::ORV_TEX_FMT_BC4_ALPHA};

const DxtSimdLevel allLevels[] = {DxtSimdLevel::scalar, DxtSimdLevel::sse41, DxtSimdLevel::avx2};

unsigned blockBytes(OrvTexFmt fmt) {
    return fmt == brindle::ORV_TEX_FMT_BC1_RGB || fmt == brindle::ORV_TEX_FMT_BC4_ALPHA ? 8 : 16;
}

DxtRowEncodeFn rowFunction(const DxtRowEncoders& rows, OrvTexFmt fmt, bool bgra) {
    switch (fmt) {
        case brindle::ORV_TEX_FMT_BC1_RGB: return bgra ? rows.dxt1Bgra : rows.dxt1Rgba;
        case brindle::ORV_TEX_FMT_BC3_RGBA: return bgra ? rows.dxt5Bgra : rows.dxt5Rgba;
        case brindle::ORV_TEX_FMT_BC3_YCOGR: return bgra ? rows.dxt5ysBgra : rows.dxt5ysRgba;
        case brindle::ORV_TEX_FMT_BC4_ALPHA: return rows.alpha;
    }
    return nullptr;
}

// The reference: one call of the scalar block function on a packed RGBA copy.
void referenceEncode(const Block& rgba, OrvTexFmt fmt, uint8_t* out) {
    uint8_t full[16];
    switch (fmt) {
        case brindle::ORV_TEX_FMT_BC1_RGB: brindle::dxt1_block(out, 16, rgba.data()); return;
        case brindle::ORV_TEX_FMT_BC3_RGBA: brindle::dxt5_block(out, 16, rgba.data()); return;
        case brindle::ORV_TEX_FMT_BC3_YCOGR: brindle::dxt5ys_block(out, 16, rgba.data()); return;
        case brindle::ORV_TEX_FMT_BC4_ALPHA:
            brindle::dxt5_block(full, 16, rgba.data());
            std::memcpy(out, full, 8);
            return;
    }
}

void setPixel(Block& block, int k, int r, int g, int b, int a) {
    block[4 * k + 0] = static_cast<uint8_t>(r);
    block[4 * k + 1] = static_cast<uint8_t>(g);
    block[4 * k + 2] = static_cast<uint8_t>(b);
    block[4 * k + 3] = static_cast<uint8_t>(a);
}

int clampByte(int v) { return std::clamp(v, 0, 255); }

// ---- Corpus ---------------------------------------------------------------------

// Each kind makes blocks of one family from a random engine.
struct Kind {
    const char* name;
    std::function<Block(std::mt19937&)> make;
};

Block uniformBlock(std::mt19937& rng) {
    Block block;
    for (uint8_t& byte : block) byte = static_cast<uint8_t>(rng());
    return block;
}

// Smooth gradients with grain and an occasional hard edge, like a 4x4 window
// of a photograph.
Block naturalBlock(std::mt19937& rng) {
    std::uniform_int_distribution<int> base(0, 255);
    std::uniform_int_distribution<int> slope(-12, 12);
    std::uniform_int_distribution<int> grainSize(0, 6);
    const int grain = grainSize(rng);
    std::uniform_int_distribution<int> noise(-grain, grain);
    int origin[4], dx[4], dy[4];
    for (int c = 0; c < 4; ++c) {
        origin[c] = base(rng);
        dx[c] = slope(rng);
        dy[c] = slope(rng);
    }
    if (rng() % 3 == 0) origin[3] = 255, dx[3] = dy[3] = 0;  // opaque
    const bool edge = rng() % 4 == 0;
    const int edgeShift = base(rng) - 128;
    const int edgeOffset = static_cast<int>(rng() % 7) - 3;
    Block block;
    for (int k = 0; k < 16; ++k) {
        const int x = k & 3, y = k >> 2;
        const bool beyond = edge && x - y > edgeOffset;
        int v[4];
        for (int c = 0; c < 4; ++c)
            v[c] = clampByte(origin[c] + dx[c] * x + dy[c] * y + noise(rng) + (beyond ? edgeShift : 0));
        setPixel(block, k, v[0], v[1], v[2], v[3]);
    }
    return block;
}

Block flatBlock(std::mt19937& rng) {
    const uint32_t p = static_cast<uint32_t>(rng());
    Block block;
    for (int k = 0; k < 16; ++k) std::memcpy(&block[4 * k], &p, 4);
    return block;
}

// One colour, alpha varying: not flat, and every projection ties.
Block flatColourVaryingAlpha(std::mt19937& rng) {
    Block block = flatBlock(rng);
    const int spread = 1 + static_cast<int>(rng() % 255);
    for (int k = 0; k < 16; ++k) block[4 * k + 3] = static_cast<uint8_t>(rng() % (spread + 1));
    return block;
}

// Two colours in a random pattern: ties for the extreme pixels, and the
// least-squares pass often reproduces the seeds.
Block twoColours(std::mt19937& rng) {
    const uint32_t a = static_cast<uint32_t>(rng());
    uint32_t b = static_cast<uint32_t>(rng());
    if (rng() % 2) b = (a & 0xFF000000u) | (b & 0x00FFFFFFu);  // same alpha
    Block block;
    for (int k = 0; k < 16; ++k) {
        const uint32_t p = rng() % 2 ? a : b;
        std::memcpy(&block[4 * k], &p, 4);
    }
    return block;
}

// Every channel 0 or 255: the widest spans, the largest products, and
// projections that tie in many ways.
Block extremes(std::mt19937& rng) {
    Block block;
    const uint32_t bits = static_cast<uint32_t>(rng());
    const uint32_t more = static_cast<uint32_t>(rng());
    for (int i = 0; i < 64; ++i) block[i] = ((i < 32 ? bits >> i : more >> (i - 32)) & 1) ? 255 : 0;
    return block;
}

// A few levels of one channel, the others constant: endpoints a step or two
// apart, so that projections land exactly on the index thresholds and the
// small-spread alpha bias applies.
Block narrowRamp(std::mt19937& rng) {
    Block block = flatBlock(rng);
    const int channel = static_cast<int>(rng() % 4);
    const int low = static_cast<int>(rng() % 256);
    const int span = 1 + static_cast<int>(rng() % 12);
    for (int k = 0; k < 16; ++k)
        block[4 * k + channel] = static_cast<uint8_t>(clampByte(low + static_cast<int>(rng() % (span + 1))));
    return block;
}

// Pixels from a small palette of nearby colours: near-flat blocks whose
// refinement falls back to the single-colour tables or moves the endpoints
// past each other, and many equal projections.
Block nearFlat(std::mt19937& rng) {
    const Block base = flatBlock(rng);
    Block block = base;
    for (int k = 0; k < 16; ++k)
        for (int c = 0; c < 4; ++c)
            if (rng() % 3 == 0)
                block[4 * k + c] = static_cast<uint8_t>(clampByte(base[c] + static_cast<int>(rng() % 5) - 2));
    return block;
}

// Two colours on opposite corners of the cube, one dominating the axis while
// quantising lower: the written endpoints come out swapped.
Block swappedEndpoints(std::mt19937& rng) {
    Block block;
    const int dark = static_cast<int>(rng() % 80);
    const int bright = 160 + static_cast<int>(rng() % 96);
    const int pattern = static_cast<int>(rng());
    for (int k = 0; k < 16; ++k) {
        const bool first = ((pattern >> k) & 1) != 0;
        const int jitter = static_cast<int>(rng() % 3);
        if (first)
            setPixel(block, k, jitter, jitter, bright, 255);
        else
            setPixel(block, k, dark + jitter, 0, 0, 255);
    }
    return block;
}

// Points on the segment between two 5:6:5 colours, at the palette entries
// and the midpoints between them: the projections hit every threshold.
Block paletteLine(std::mt19937& rng) {
    auto expand = [](int q, int bits) { return bits == 5 ? (q << 3) | (q >> 2) : (q << 2) | (q >> 4); };
    int e0[3], e1[3];
    for (int c = 0; c < 3; ++c) {
        const int bits = c == 1 ? 6 : 5;
        const int q0 = static_cast<int>(rng() % (1u << bits));
        const int step = static_cast<int>(rng() % 4);
        const int q1 = std::clamp(q0 + (rng() % 2 ? step : -step), 0, (1 << bits) - 1);
        e0[c] = expand(q0, bits);
        e1[c] = expand(q1, bits);
    }
    Block block;
    for (int k = 0; k < 16; ++k) {
        const int sixths = static_cast<int>(rng() % 7);  // 0, 1/6, ..., 1 of the way
        int v[3];
        for (int c = 0; c < 3; ++c) v[c] = (e0[c] * (6 - sixths) + e1[c] * sixths) / 6;
        setPixel(block, k, v[0], v[1], v[2], static_cast<int>(rng() % 2 ? 255 : rng() % 256));
    }
    return block;
}

const std::vector<Kind>& corpusKinds() {
    static const std::vector<Kind> kinds = {
        {"uniform", uniformBlock},
        {"natural", naturalBlock},
        {"flat", flatBlock},
        {"flatColourVaryingAlpha", flatColourVaryingAlpha},
        {"twoColours", twoColours},
        {"extremes", extremes},
        {"narrowRamp", narrowRamp},
        {"nearFlat", nearFlat},
        {"swappedEndpoints", swappedEndpoints},
        {"paletteLine", paletteLine},
    };
    return kinds;
}

// ---- Row harness --------------------------------------------------------------------

// A block row laid out as an image of `stride` bytes per pixel row, placed so
// that its last byte is the last byte of an exact-size heap allocation.
struct RowImage {
    std::unique_ptr<uint8_t[]> storage;
    const uint8_t* row = nullptr;  // top-left pixel of block 0
    ptrdiff_t stride = 0;
};

RowImage layOut(const std::vector<Block>& blocks, bool bgra, unsigned padding, bool upward) {
    const size_t width = 16 * blocks.size();
    const size_t pitch = width + padding;
    const size_t size = 3 * pitch + width;
    RowImage image;
    image.storage = std::make_unique<uint8_t[]>(size);
    std::memset(image.storage.get(), 0x5A, size);
    // Upward rows start at the last pixel row and step back by the pitch.
    uint8_t* base = image.storage.get() + (upward ? 3 * pitch : 0);
    image.stride = upward ? -static_cast<ptrdiff_t>(pitch) : static_cast<ptrdiff_t>(pitch);
    for (size_t i = 0; i < blocks.size(); ++i) {
        for (int y = 0; y < 4; ++y) {
            uint8_t* out = base + y * image.stride + 16 * i;
            std::memcpy(out, &blocks[i][16 * y], 16);
            if (bgra)
                for (int p = 0; p < 16; p += 4) std::swap(out[p], out[p + 2]);
        }
    }
    image.row = base;
    return image;
}

// Encodes the blocks as one row with `encode` and compares every block with
// the reference; the bytes after the row must keep their canary.
void expectRowMatches(DxtRowEncodeFn encode, const std::vector<Block>& blocks, OrvTexFmt fmt,
                      bool bgra, unsigned padding, bool upward, const std::string& what) {
    const unsigned size = blockBytes(fmt);
    const RowImage image = layOut(blocks, bgra, padding, upward);
    Bytes out(size * blocks.size() + canaryBytes, canary);
    encode(out.data(), image.row, image.stride, static_cast<unsigned>(blocks.size()));

    unsigned mismatches = 0;
    for (size_t i = 0; i < blocks.size() && mismatches < 5; ++i) {
        uint8_t expected[16];
        referenceEncode(blocks[i], fmt, expected);
        if (std::memcmp(expected, &out[size * i], size) != 0) {
            ++mismatches;
            std::string pixels;
            for (uint8_t byte : blocks[i]) pixels += std::to_string(byte) + ",";
            ADD_FAILURE() << what << ": block " << i << " of " << blocks.size()
                          << " differs from the reference; RGBA pixels " << pixels;
        }
    }
    for (unsigned i = 0; i < canaryBytes; ++i)
        ASSERT_EQ(out[size * blocks.size() + i], canary) << what << ": wrote past the row";
}

class RowEncoders : public ::testing::TestWithParam<DxtSimdLevel> {
protected:
    void SetUp() override {
        rows = brindle::dxtRowEncodersFor(GetParam());
        if (rows == nullptr)
            GTEST_SKIP() << "this CPU lacks " << brindle::dxtSimdLevelName(GetParam());
    }
    const DxtRowEncoders* rows = nullptr;
};

std::string levelName(const ::testing::TestParamInfo<DxtSimdLevel>& info) {
    switch (info.param) {
        case DxtSimdLevel::scalar: return "scalar";
        case DxtSimdLevel::sse41: return "sse41";
        case DxtSimdLevel::avx2: return "avx2";
    }
    return "unknown";
}

std::string caseName(OrvTexFmt fmt, bool bgra) {
    return "format " + std::to_string(static_cast<int>(fmt)) + (bgra ? " BGRA" : " RGBA");
}

// ---- Differential tests ---------------------------------------------------------------

TEST_P(RowEncoders, MatchTheReferenceOnEveryCorpusKind) {
    // Long rows (123 blocks: whole groups of 4 and 8 plus a remainder) of
    // one kind at a time, so that whole vector groups are of that kind and a
    // group-wide shortcut (all flat, no lane changed) gets exercised too.
    constexpr unsigned rowLength = 123;
    uint32_t seed = 1;
    for (const Kind& kind : corpusKinds()) {
        for (const OrvTexFmt fmt : allFormats) {
            for (const bool bgra : {false, true}) {
                std::mt19937 rng(seed++);
                const DxtRowEncodeFn encode = rowFunction(*rows, fmt, bgra);
                for (unsigned done = 0; done < blocksPerKind; done += rowLength) {
                    std::vector<Block> blocks(rowLength);
                    for (Block& block : blocks) block = kind.make(rng);
                    expectRowMatches(encode, blocks, fmt, bgra, 0, false,
                                     std::string(kind.name) + ", " + caseName(fmt, bgra));
                    if (HasFailure()) return;
                }
            }
        }
    }
}

TEST_P(RowEncoders, MatchTheReferenceOnMixedRows) {
    // Every kind next to every other within one vector group.
    const std::vector<Kind>& kinds = corpusKinds();
    std::mt19937 rng(77);
    for (const OrvTexFmt fmt : allFormats) {
        for (const bool bgra : {false, true}) {
            const DxtRowEncodeFn encode = rowFunction(*rows, fmt, bgra);
            for (unsigned done = 0; done < 2 * blocksPerKind; done += 64) {
                std::vector<Block> blocks(64);
                for (Block& block : blocks) block = kinds[rng() % kinds.size()].make(rng);
                expectRowMatches(encode, blocks, fmt, bgra, 0, false, "mixed, " + caseName(fmt, bgra));
                if (HasFailure()) return;
            }
        }
    }
}

TEST_P(RowEncoders, EveryRowLengthUpToThreeGroups) {
    // 0..24 blocks: every remainder after whole groups of 4 and 8, each row
    // ending at the end of its allocation.
    std::mt19937 rng(5);
    for (const OrvTexFmt fmt : allFormats) {
        for (const bool bgra : {false, true}) {
            const DxtRowEncodeFn encode = rowFunction(*rows, fmt, bgra);
            for (unsigned length = 0; length <= 24; ++length) {
                std::vector<Block> blocks(length);
                for (Block& block : blocks) block = naturalBlock(rng);
                expectRowMatches(encode, blocks, fmt, bgra, 0, false,
                                 std::to_string(length) + " blocks, " + caseName(fmt, bgra));
            }
        }
    }
}

TEST_P(RowEncoders, ReadRowsAtAnyStride) {
    // Padding between pixel rows is never read as pixels, and a negative
    // stride walks the rows upward.
    std::mt19937 rng(9);
    for (const OrvTexFmt fmt : allFormats) {
        for (const bool bgra : {false, true}) {
            const DxtRowEncodeFn encode = rowFunction(*rows, fmt, bgra);
            for (const unsigned padding : {4u, 52u}) {
                for (const bool upward : {false, true}) {
                    std::vector<Block> blocks(19);
                    for (Block& block : blocks) block = naturalBlock(rng);
                    expectRowMatches(encode, blocks, fmt, bgra, padding, upward,
                                     "padding " + std::to_string(padding) +
                                         (upward ? " upward, " : ", ") + caseName(fmt, bgra));
                }
            }
        }
    }
}

TEST_P(RowEncoders, MatchTheReferenceOnAPhotoLikeImage) {
    // Blocks cut from a picture with the statistics of a photograph, so
    // neighbouring lanes hold neighbouring, similar blocks.
    constexpr unsigned width = 200;  // 50 blocks: a remainder at every level
    constexpr unsigned height = 64;
    std::vector<uint8_t> image(4 * width * height);
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            uint32_t h = x * 73856093u ^ y * 19349663u;
            h ^= h >> 13;
            h *= 0x5bd1e995u;
            h ^= h >> 15;
            const int grain = static_cast<int>(h % 9) - 4;
            const double wave = 50 * std::sin(x / 9.0) * std::cos(y / 7.0);
            uint8_t* p = &image[4 * (y * width + x)];
            p[0] = static_cast<uint8_t>(clampByte(static_cast<int>(120 + wave + x / 3) + grain));
            p[1] = static_cast<uint8_t>(clampByte(static_cast<int>(90 - wave / 2 + 2 * y) + grain));
            p[2] = static_cast<uint8_t>(clampByte((x + y) % 97 < 40 ? 200 : 30 + grain));
            p[3] = static_cast<uint8_t>(clampByte(static_cast<int>(255 - 3 * y + wave / 4)));
        }
    }
    for (const OrvTexFmt fmt : allFormats) {
        for (const bool bgra : {false, true}) {
            const DxtRowEncodeFn encode = rowFunction(*rows, fmt, bgra);
            for (unsigned by = 0; by < height; by += 4) {
                std::vector<Block> blocks(width / 4);
                for (unsigned i = 0; i < width / 4; ++i)
                    for (int y = 0; y < 4; ++y)
                        std::memcpy(&blocks[i][16 * y], &image[4 * ((by + y) * width + 4 * i)], 16);
                expectRowMatches(encode, blocks, fmt, bgra, 0, false,
                                 "photo row " + std::to_string(by / 4) + ", " + caseName(fmt, bgra));
            }
        }
    }
}

// ---- Through the compressor -----------------------------------------------------------

TEST_P(RowEncoders, CompressorWithThisLevelMatchesTheScalarCompressor) {
    OrvVideoStreamParams_st params;
    std::memset(&params, 0, sizeof params);
    const brindle::OrvFFMpegCompressor scalar(params,
                                              *brindle::dxtRowEncodersFor(DxtSimdLevel::scalar));
    const brindle::OrvFFMpegCompressor candidate(params, *rows);
    // 76 pixels: 19 blocks per row, so every level has a remainder; a padded
    // stride; the image ends at the end of its allocation.
    constexpr unsigned width = 76;
    constexpr unsigned height = 24;
    constexpr unsigned stride = 4 * width + 12;
    const size_t size = size_t{stride} * (height - 1) + 4 * width;
    std::mt19937 rng(3);
    auto pixels = std::make_unique<uint8_t[]>(size);
    for (size_t i = 0; i < size; ++i) pixels[i] = static_cast<uint8_t>(rng() % 7 + 100 + (i / 97) % 50);
    for (const OrvTexFmt fmt : allFormats) {
        const size_t textureSize = brindle::orvTexBufferSize(fmt, width, height);
        for (const bool bgra : {false, true}) {
            Bytes expected(textureSize + canaryBytes, canary);
            Bytes actual(textureSize + canaryBytes, canary);
            if (bgra) {
                scalar.compressBGRA32(width, height, stride, fmt, pixels.get(), expected.data());
                candidate.compressBGRA32(width, height, stride, fmt, pixels.get(), actual.data());
            } else {
                scalar.compressRGBA32(width, height, stride, fmt, pixels.get(), expected.data());
                candidate.compressRGBA32(width, height, stride, fmt, pixels.get(), actual.data());
            }
            EXPECT_EQ(actual, expected) << caseName(fmt, bgra);
        }
    }
}

// ---- Squared error of encoded rows ----------------------------------------------------

// The measurement as first written: decode each block with the exported
// decoders, make the channels the format does not carry equal, and add the
// per-block sums of squareErrorRGBA in double.
double referenceError(const std::vector<Block>& rgbaBlocks, const uint8_t* encoded, OrvTexFmt fmt) {
    double sum = 0;
    for (const Block& source : rgbaBlocks) {
        uint8_t decoded[64];
        bool colour = true, alpha = false;
        switch (fmt) {
            case brindle::ORV_TEX_FMT_BC1_RGB: brindle::decodeBC1RGB(encoded, decoded); break;
            case brindle::ORV_TEX_FMT_BC3_RGBA: brindle::decodeBC3RGBA(encoded, decoded), alpha = true; break;
            case brindle::ORV_TEX_FMT_BC3_YCOGR: brindle::decodeBC3YCOGR(encoded, decoded); break;
            case brindle::ORV_TEX_FMT_BC4_ALPHA:
                brindle::decodeBC4RGBA(encoded, decoded), colour = false, alpha = true;
                break;
        }
        encoded += blockBytes(fmt);
        Block compared = source;
        for (int p = 0; p < 64; p += 4) {
            if (!colour) std::memcpy(&compared[p], decoded + p, 3);
            if (!alpha) compared[p + 3] = decoded[p + 3];
        }
        sum += brindle::metrics::squareErrorRGBA(compared.data(), decoded, 64);
    }
    return sum;
}

brindle::DxtRowErrorFn meterFunction(const brindle::DxtRowErrorMeters& meters, OrvTexFmt fmt, bool bgra) {
    switch (fmt) {
        case brindle::ORV_TEX_FMT_BC1_RGB: return bgra ? meters.bc1Bgra : meters.bc1Rgba;
        case brindle::ORV_TEX_FMT_BC3_RGBA: return bgra ? meters.bc3Bgra : meters.bc3Rgba;
        case brindle::ORV_TEX_FMT_BC3_YCOGR: return bgra ? meters.ycocgBgra : meters.ycocgRgba;
        case brindle::ORV_TEX_FMT_BC4_ALPHA: return meters.bc4;
    }
    return nullptr;
}

TEST_P(RowEncoders, ErrorMetersMatchTheDecodeAndCompareReference) {
    const brindle::DxtRowErrorMeters* meters = brindle::dxtRowErrorMetersFor(GetParam());
    ASSERT_NE(meters, nullptr);
    const std::vector<Kind>& kinds = corpusKinds();
    std::mt19937 rng(11);
    for (const OrvTexFmt fmt : allFormats) {
        for (const bool bgra : {false, true}) {
            const brindle::DxtRowErrorFn meter = meterFunction(*meters, fmt, bgra);
            for (unsigned round = 0; round < (sanitized ? 20u : 200u); ++round) {
                // Lengths around the lane counts, so remainders are measured too.
                std::vector<Block> blocks(1 + rng() % 37);
                for (Block& block : blocks) block = kinds[rng() % kinds.size()].make(rng);
                // Half the rounds measure the encoder's own blocks, half
                // arbitrary bytes: every decoder mode (six-value alpha,
                // colour 0 below colour 1) must be measured the same way.
                Bytes encoded(blockBytes(fmt) * blocks.size());
                if (round % 2 == 0) {
                    for (size_t i = 0; i < blocks.size(); ++i)
                        referenceEncode(blocks[i], fmt, &encoded[blockBytes(fmt) * i]);
                } else {
                    for (uint8_t& byte : encoded) byte = static_cast<uint8_t>(rng());
                }
                // The encoded row ends at the end of its own allocation too.
                auto exact = std::make_unique<uint8_t[]>(encoded.size());
                std::memcpy(exact.get(), encoded.data(), encoded.size());
                const RowImage image = layOut(blocks, bgra, round % 3 == 0 ? 8 : 0, false);
                const uint64_t measured =
                    meter(exact.get(), image.row, image.stride, static_cast<unsigned>(blocks.size()));
                ASSERT_EQ(static_cast<double>(measured), referenceError(blocks, encoded.data(), fmt))
                    << caseName(fmt, bgra) << ", " << blocks.size() << " blocks, round " << round;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, RowEncoders, ::testing::ValuesIn(allLevels), levelName);

TEST(TextureSquaredError, IsTheSumOfTheBlocksFigures) {
    // A slice of 13 x 5 blocks with a padded stride, every format and
    // layout, through the chosen level.
    constexpr unsigned width = 52, height = 20, stride = 4 * width + 24;
    std::mt19937 rng(21);
    std::vector<Block> blocks(13 * 5);
    for (Block& block : blocks) block = naturalBlock(rng);
    for (const OrvTexFmt fmt : allFormats) {
        for (const bool bgra : {false, true}) {
            brindle::OrvSrcSlice slice;
            slice.width = width;
            slice.height = height;
            slice.stride = stride;
            slice.pixFmt = bgra ? ORV_SRC_PIX_FMT_BGRA32 : ORV_SRC_PIX_FMT_RGBA32;
            slice.buffer = brindle::allocSharedBuffer(size_t{stride} * height);
            Bytes encoded;
            for (unsigned i = 0; i < blocks.size(); ++i) {
                const unsigned bx = i % 13, by = i / 13;
                for (int y = 0; y < 4; ++y) {
                    uint8_t* out = slice.buffer->data + (4 * by + y) * stride + 16 * bx;
                    std::memcpy(out, &blocks[i][16 * y], 16);
                    if (bgra)
                        for (int p = 0; p < 16; p += 4) std::swap(out[p], out[p + 2]);
                }
                uint8_t block[16];
                referenceEncode(blocks[i], fmt, block);
                encoded.insert(encoded.end(), block, block + blockBytes(fmt));
            }
            const double expected = referenceError(blocks, encoded.data(), fmt);
            EXPECT_GT(expected, 0.0) << caseName(fmt, bgra);
            EXPECT_EQ(brindle::textureSquaredError(slice, fmt, encoded.data()), expected)
                << caseName(fmt, bgra);

            // Every second row of blocks (0, 2, 4 of 5), scaled to all five.
            std::vector<Block> sampled;
            Bytes sampledEncoded;
            for (unsigned i = 0; i < blocks.size(); ++i) {
                if ((i / 13) % 2 != 0) continue;
                sampled.push_back(blocks[i]);
                const uint8_t* block = encoded.data() + i * blockBytes(fmt);
                sampledEncoded.insert(sampledEncoded.end(), block, block + blockBytes(fmt));
            }
            const double estimate = referenceError(sampled, sampledEncoded.data(), fmt) * 5 / 3;
            EXPECT_EQ(brindle::textureSquaredError(slice, fmt, encoded.data(), 2), estimate)
                << caseName(fmt, bgra);
        }
    }
}

// ---- Dispatch ------------------------------------------------------------------------------

TEST(Dispatch, TheChosenLevelIsOneThisCpuHas) {
    const DxtSimdLevel best = brindle::dxtBestSimdLevel();
    ASSERT_NE(brindle::dxtRowEncodersFor(best), nullptr);
    EXPECT_EQ(&brindle::dxtRowEncoders(), brindle::dxtRowEncodersFor(best));
    // Every level below the best one is available too.
    for (const DxtSimdLevel level : allLevels) {
        if (level <= best) {
            EXPECT_NE(brindle::dxtRowEncodersFor(level), nullptr) << brindle::dxtSimdLevelName(level);
            EXPECT_NE(brindle::dxtRowErrorMetersFor(level), nullptr) << brindle::dxtSimdLevelName(level);
        }
    }
}

TEST(Dispatch, EveryLevelFillsEveryEntry) {
    for (const DxtSimdLevel level : allLevels) {
        const DxtRowEncoders* rows = brindle::dxtRowEncodersFor(level);
        if (rows == nullptr) continue;
        for (const DxtRowEncodeFn fn : {rows->dxt1Rgba, rows->dxt1Bgra, rows->dxt5Rgba, rows->dxt5Bgra,
                                        rows->dxt5ysRgba, rows->dxt5ysBgra, rows->alpha})
            EXPECT_NE(fn, nullptr) << brindle::dxtSimdLevelName(level);
    }
}

TEST(Dispatch, SolidPairsHoldTheSingleColourTables) {
    const brindle::DxtSolidPairs& pairs = brindle::dxtSolidPairs();
    for (int v = 0; v < 256; ++v) {
        const brindle::SolidMatch m5 = brindle::solidMatch5(static_cast<uint8_t>(v));
        const brindle::SolidMatch m6 = brindle::solidMatch6(static_cast<uint8_t>(v));
        EXPECT_EQ(pairs.match5[v], m5.q0 | uint32_t{m5.q1} << 16) << v;
        EXPECT_EQ(pairs.match6[v], m6.q0 | uint32_t{m6.q1} << 16) << v;
    }
}

}  // namespace
