// The primary compressor: block order, plane sizes, the BGRA path, strides
// and refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orvenc_ffmpeg.hpp"
#include "orvenc_frame.hpp"

namespace {

using brindle::OrvFFMpegCompressor;
using brindle::OrvTexFmt;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t canary = 0xE7;
const OrvTexFmt allFormats[] = {brindle::ORV_TEX_FMT_BC1_RGB, brindle::ORV_TEX_FMT_BC3_RGBA,
                                brindle::ORV_TEX_FMT_BC3_YCOGR, brindle::ORV_TEX_FMT_BC4_ALPHA};

OrvVideoStreamParams_st streamParams() {
    OrvVideoStreamParams_st params;
    std::memset(&params, 0, sizeof params);
    return params;
}

// An RGBA picture in a tightly packed or padded layout.
struct Image {
    unsigned width = 0;
    unsigned height = 0;
    unsigned stride = 0;
    Bytes pixels;  // height * stride bytes

    uint8_t* pixel(unsigned x, unsigned y) { return &pixels[y * stride + 4 * x]; }
    const uint8_t* pixel(unsigned x, unsigned y) const { return &pixels[y * stride + 4 * x]; }
};

// A photo-like picture: smooth gradients, a soft bump, a hard diagonal edge,
// fine hashed grain and a varying alpha, so that blocks of every kind occur
// and no two neighbouring blocks are alike.
Image naturalImage(unsigned width, unsigned height, unsigned padding = 0) {
    Image image;
    image.width = width;
    image.height = height;
    image.stride = 4 * width + padding;
    image.pixels.assign(static_cast<size_t>(image.stride) * height, 0);
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            uint32_t h = x * 73856093u ^ y * 19349663u;
            h ^= h >> 13;
            h *= 0x5bd1e995u;
            h ^= h >> 15;
            const int grain = static_cast<int>(h % 17) - 8;
            const double bump = 60.0 * std::exp(-((x - 20.0) * (x - 20.0) + (y - 12.0) * (y - 12.0)) / 80.0);
            const bool beyondEdge = x + 2 * y > width;
            int r = static_cast<int>(30 + 3.0 * x + bump) + grain;
            int g = static_cast<int>(90 + 4.0 * y - bump / 2) + grain / 2;
            int b = beyondEdge ? 200 - static_cast<int>(x) : 40 + static_cast<int>(y) + grain;
            int a = static_cast<int>(255 - 2.5 * y) + (beyondEdge ? -40 : 0);
            uint8_t* p = image.pixel(x, y);
            p[0] = static_cast<uint8_t>(std::clamp(r, 0, 255));
            p[1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
            p[2] = static_cast<uint8_t>(std::clamp(b, 0, 255));
            p[3] = static_cast<uint8_t>(std::clamp(a, 0, 255));
        }
    }
    return image;
}

Image toBGRA(const Image& rgba) {
    Image bgra = rgba;
    for (unsigned y = 0; y < rgba.height; ++y)
        for (unsigned x = 0; x < rgba.width; ++x) std::swap(bgra.pixel(x, y)[0], bgra.pixel(x, y)[2]);
    return bgra;
}

// The encoding of the 4x4 block at (bx, by), made by the block functions
// straight from a packed copy: the reference for the compressor's loop.
Bytes referenceBlock(const Image& image, unsigned bx, unsigned by, OrvTexFmt fmt) {
    uint8_t block[64];
    for (unsigned row = 0; row < 4; ++row) std::memcpy(block + 16 * row, image.pixel(bx, by + row), 16);
    TextureDspEnc dsp{};
    ff_texturedspenc_init(&dsp);
    uint8_t out[16];
    switch (fmt) {
        case brindle::ORV_TEX_FMT_BC1_RGB: return Bytes(out, out + dsp.dxt1_block(out, 16, block));
        case brindle::ORV_TEX_FMT_BC3_RGBA: return Bytes(out, out + dsp.dxt5_block(out, 16, block));
        case brindle::ORV_TEX_FMT_BC3_YCOGR: return Bytes(out, out + dsp.dxt5ys_block(out, 16, block));
        case brindle::ORV_TEX_FMT_BC4_ALPHA: dsp.dxt5_block(out, 16, block); return Bytes(out, out + 8);
    }
    return {};
}

Bytes referencePlane(const Image& image, OrvTexFmt fmt) {
    Bytes plane;
    for (unsigned by = 0; by < image.height; by += 4)
        for (unsigned bx = 0; bx < image.width; bx += 4) {
            const Bytes block = referenceBlock(image, bx, by, fmt);
            plane.insert(plane.end(), block.begin(), block.end());
        }
    return plane;
}

// Pixels in an exact-size heap buffer whose padding between rows is made
// unaddressable under AddressSanitizer, so that a read past a row's end, or
// past the last row, is reported.
class GuardedPixels {
public:
    explicit GuardedPixels(const Image& image)
        : size(image.pixels.size()), storage(new uint8_t[size]) {
        std::memcpy(storage.get(), image.pixels.data(), size);
        const unsigned rowBytes = 4 * image.width;
        for (unsigned y = 0; y < image.height && image.stride > rowBytes; ++y)
            ASAN_POISON_MEMORY_REGION(storage.get() + y * image.stride + rowBytes, image.stride - rowBytes);
    }
    ~GuardedPixels() { ASAN_UNPOISON_MEMORY_REGION(storage.get(), size); }
    GuardedPixels(const GuardedPixels&) = delete;
    GuardedPixels& operator=(const GuardedPixels&) = delete;

    const uint8_t* data() const { return storage.get(); }

private:
    size_t size;
    std::unique_ptr<uint8_t[]> storage;
};

// Runs one block loop into a buffer of exactly orvTexBufferSize bytes plus a
// canary tail, checks the tail, and returns the plane.
Bytes compressPlane(const OrvFFMpegCompressor& compressor, const Image& image, OrvTexFmt fmt,
                    bool bgra) {
    const uint32_t size = brindle::orvTexBufferSize(fmt, image.width, image.height);
    Bytes out(size + 32, canary);
    const GuardedPixels pixels(image);
    if (bgra)
        compressor.compressBGRA32(image.width, image.height, image.stride, fmt, pixels.data(), out.data());
    else
        compressor.compressRGBA32(image.width, image.height, image.stride, fmt, pixels.data(), out.data());
    for (size_t i = size; i < out.size(); ++i) {
        EXPECT_EQ(out[i], canary) << "byte " << i - size << " after the plane, format " << fmt;
        if (out[i] != canary) break;
    }
    out.resize(size);
    return out;
}

// A slice record over an image, as the slicer hands it to compress.
brindle::OrvSrcSlice sliceOf(const Image& image, uint32_t pixFmt) {
    brindle::OrvSrcSlice slice;
    slice.width = image.width;
    slice.height = image.height;
    slice.stride = image.stride;
    slice.pixFmt = pixFmt;
    slice.buffer = brindle::allocSharedBuffer(image.pixels.size());
    if (!image.pixels.empty()) std::memcpy(slice.buffer->data, image.pixels.data(), image.pixels.size());
    return slice;
}

brindle::OrvEncTexture textureFor(OrvTexFmt fmt, const Image& image) {
    brindle::OrvEncTexture texture;
    texture.format = fmt;
    texture.encodedSize = brindle::orvTexBufferSize(fmt, image.width, image.height);
    texture.encoded = brindle::allocSharedBuffer(texture.encodedSize);
    std::memset(texture.encoded->data, canary, texture.encodedSize);
    return texture;
}

void expectRefusal(const std::function<void()>& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "expected \"" << message << "\"";
    } catch (const brindle::OrvException& e) {
        EXPECT_EQ(std::string(e.what()), message);
        EXPECT_EQ(e.code, 13u);
    }
}

class FFMpegCompressorTest : public ::testing::Test {
protected:
    OrvFFMpegCompressor compressor{streamParams()};
};

// ---- Formats offered --------------------------------------------------------------

TEST_F(FFMpegCompressorTest, PrefersRGBAThenBGRA) {
    const int32_t* list = compressor.getPreferredSrcPixFmts();
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], ORV_SRC_PIX_FMT_RGBA32);
    EXPECT_EQ(list[1], ORV_SRC_PIX_FMT_BGRA32);
    EXPECT_EQ(list[2], -1);
    // The same static list every time, from any instance.
    OrvFFMpegCompressor other{streamParams()};
    EXPECT_EQ(other.getPreferredSrcPixFmts(), list);
}

// ---- Plane layout ---------------------------------------------------------------------

TEST_F(FFMpegCompressorTest, OneBlockSliceHasTheFormatsBlockSize) {
    const Image image = naturalImage(4, 4);
    const size_t expected[] = {8, 16, 16, 8};
    for (OrvTexFmt fmt : allFormats) {
        for (bool bgra : {false, true}) {
            const Bytes plane = compressPlane(compressor, bgra ? toBGRA(image) : image, fmt, bgra);
            EXPECT_EQ(plane.size(), expected[fmt]);
            EXPECT_EQ(plane, referenceBlock(image, 0, 0, fmt)) << "format " << fmt;
        }
    }
}

TEST_F(FFMpegCompressorTest, WideSliceWritesLeftBlockThenRight) {
    Image image = naturalImage(8, 4);
    for (OrvTexFmt fmt : allFormats) {
        const Bytes left = referenceBlock(image, 0, 0, fmt);
        const Bytes right = referenceBlock(image, 4, 0, fmt);
        ASSERT_NE(left, right);
        Bytes expected = left;
        expected.insert(expected.end(), right.begin(), right.end());
        EXPECT_EQ(compressPlane(compressor, image, fmt, false), expected) << "format " << fmt;
    }
}

TEST_F(FFMpegCompressorTest, TallSliceWritesTopBlockFirst) {
    Image image = naturalImage(4, 8);
    for (OrvTexFmt fmt : allFormats) {
        const Bytes top = referenceBlock(image, 0, 0, fmt);
        const Bytes bottom = referenceBlock(image, 0, 4, fmt);
        ASSERT_NE(top, bottom);
        Bytes expected = top;
        expected.insert(expected.end(), bottom.begin(), bottom.end());
        EXPECT_EQ(compressPlane(compressor, image, fmt, false), expected) << "format " << fmt;
    }
}

TEST_F(FFMpegCompressorTest, PlaneIsRowMajorAndExactlyTheTextureSize) {
    // 13 x 7 blocks: both counts odd, so a row/column mix-up shows.
    const Image image = naturalImage(52, 28);
    for (OrvTexFmt fmt : allFormats) {
        for (bool bgra : {false, true}) {
            const Bytes plane = compressPlane(compressor, bgra ? toBGRA(image) : image, fmt, bgra);
            EXPECT_EQ(plane.size(), 13u * 7u * (fmt == 0 || fmt == 3 ? 8u : 16u));
            EXPECT_EQ(plane, referencePlane(image, fmt)) << "format " << fmt << (bgra ? " BGRA" : " RGBA");
        }
    }
}

TEST_F(FFMpegCompressorTest, PaddedRowsAreReadOnlyUpToTheirEnd) {
    // 48 bytes of padding per row, filled with bytes that would change every
    // block if read; under AddressSanitizer they are unaddressable as well.
    const Image tight = naturalImage(24, 12);
    Image padded = naturalImage(24, 12, 48);
    for (unsigned y = 0; y < padded.height; ++y)
        std::memset(&padded.pixels[y * padded.stride + 4 * padded.width], 0x99, 48);
    for (OrvTexFmt fmt : allFormats) {
        EXPECT_EQ(compressPlane(compressor, padded, fmt, false),
                  compressPlane(compressor, tight, fmt, false)) << "format " << fmt;
        EXPECT_EQ(compressPlane(compressor, toBGRA(padded), fmt, true),
                  compressPlane(compressor, toBGRA(tight), fmt, true)) << "format " << fmt;
    }
}

TEST_F(FFMpegCompressorTest, BGRAInputGivesTheSameTexturesAsRGBA) {
    for (unsigned padding : {0u, 16u, 20u}) {
        const Image rgba = naturalImage(64, 32, padding);
        const Image bgra = toBGRA(rgba);
        for (OrvTexFmt fmt : allFormats)
            EXPECT_EQ(compressPlane(compressor, bgra, fmt, true), compressPlane(compressor, rgba, fmt, false))
                << "format " << fmt << ", padding " << padding;
    }
}

TEST_F(FFMpegCompressorTest, BGRAMatchesRGBAOnRandomPixels) {
    // Every byte value in every channel position, including the colour
    // bytes a swizzle could mix up with alpha.
    Image rgba;
    rgba.width = 32;
    rgba.height = 32;
    rgba.stride = 4 * 32;
    rgba.pixels.resize(rgba.stride * rgba.height);
    uint32_t state = 12345;
    for (uint8_t& v : rgba.pixels) {
        state = state * 1664525u + 1013904223u;
        v = static_cast<uint8_t>(state >> 24);
    }
    const Image bgra = toBGRA(rgba);
    for (OrvTexFmt fmt : allFormats)
        EXPECT_EQ(compressPlane(compressor, bgra, fmt, true), compressPlane(compressor, rgba, fmt, false))
            << "format " << fmt;
}

TEST_F(FFMpegCompressorTest, EmptySliceWritesNothing) {
    for (OrvTexFmt fmt : allFormats) {
        for (auto [width, height] : {std::pair{0u, 8u}, std::pair{8u, 0u}, std::pair{0u, 0u}}) {
            Bytes out(16, canary);
            const uint8_t pixels[4] = {1, 2, 3, 4};
            compressor.compressRGBA32(width, height, 32, fmt, pixels, out.data());
            compressor.compressBGRA32(width, height, 32, fmt, pixels, out.data());
            EXPECT_EQ(out, Bytes(16, canary)) << "format " << fmt << ", " << width << "x" << height;
        }
    }
}

// ---- compress(): dispatch on the slice's layout --------------------------------------------

TEST_F(FFMpegCompressorTest, CompressDispatchesOnTheSlicesPixelFormat) {
    const Image rgba = naturalImage(16, 8, 8);
    for (OrvTexFmt fmt : allFormats) {
        const Bytes expected = referencePlane(rgba, fmt);
        brindle::OrvEncTexture fromRGBA = textureFor(fmt, rgba);
        compressor.compress(sliceOf(rgba, ORV_SRC_PIX_FMT_RGBA32), fmt, fromRGBA);
        EXPECT_EQ(Bytes(fromRGBA.encoded->data, fromRGBA.encoded->data + fromRGBA.encodedSize), expected);

        brindle::OrvEncTexture fromBGRA = textureFor(fmt, rgba);
        compressor.compress(sliceOf(toBGRA(rgba), ORV_SRC_PIX_FMT_BGRA32), fmt, fromBGRA);
        EXPECT_EQ(Bytes(fromBGRA.encoded->data, fromBGRA.encoded->data + fromBGRA.encodedSize), expected);
    }
}

// ---- Refusals -------------------------------------------------------------------

TEST_F(FFMpegCompressorTest, RefusesSourceFormatsOtherThanRGBAAndBGRA) {
    const Image image = naturalImage(8, 8);
    for (uint32_t pixFmt : {0u, 2u, 4u, 5u, 6u}) {
        brindle::OrvEncTexture texture = textureFor(brindle::ORV_TEX_FMT_BC1_RGB, image);
        const brindle::OrvSrcSlice slice = sliceOf(image, pixFmt);
        expectRefusal([&] { compressor.compress(slice, brindle::ORV_TEX_FMT_BC1_RGB, texture); },
                      "unsupported source pixel format");
        EXPECT_EQ(Bytes(texture.encoded->data, texture.encoded->data + texture.encodedSize),
                  Bytes(texture.encodedSize, canary))
            << "source format " << pixFmt;
    }
}

TEST_F(FFMpegCompressorTest, SourceFormatIsCheckedBeforeTextureFormat) {
    const Image image = naturalImage(4, 4);
    brindle::OrvEncTexture texture = textureFor(brindle::ORV_TEX_FMT_BC1_RGB, image);
    expectRefusal([&] { compressor.compress(sliceOf(image, ORV_SRC_PIX_FMT_RGB24), static_cast<OrvTexFmt>(4), texture); },
                  "unsupported source pixel format");
}

TEST_F(FFMpegCompressorTest, RefusesUnknownTextureFormatEvenForAnEmptySlice) {
    const Image empty = naturalImage(0, 0);
    const Image image = naturalImage(8, 8);
    for (uint32_t fmt : {4u, 5u, 0xFFFFFFFFu}) {
        const OrvTexFmt bad = static_cast<OrvTexFmt>(fmt);
        Bytes out(64, canary);
        const uint8_t pixels[4] = {0, 0, 0, 0};
        expectRefusal([&] { compressor.compressRGBA32(0, 0, 0, bad, pixels, out.data()); },
                      "unsupported texture format");
        expectRefusal([&] { compressor.compressBGRA32(0, 0, 0, bad, pixels, out.data()); },
                      "unsupported texture format");
        expectRefusal([&] { compressor.compressRGBA32(8, 8, 32, bad, image.pixels.data(), out.data()); },
                      "unsupported texture format");
        expectRefusal([&] { compressor.compressBGRA32(8, 8, 32, bad, image.pixels.data(), out.data()); },
                      "unsupported texture format");
        EXPECT_EQ(out, Bytes(64, canary)) << "a refused call wrote";

        brindle::OrvEncTexture texture;
        texture.encoded = brindle::allocSharedBuffer(0);
        for (uint32_t pixFmt : {1u, 3u})
            expectRefusal([&] { compressor.compress(sliceOf(empty, pixFmt), bad, texture); },
                          "unsupported texture format");
    }
}

}  // namespace
