// The primary compressor at every SIMD level this CPU has against its scalar
// level: plane sizes, the BGRA path, strides, the squared error and refusals.
#include <cmath>

#include "dxt_encoder_simd.hpp"
#include "orvenc_ffmpeg.hpp"
#include "orvenc_frame.hpp"
#include "test_support.hpp"

namespace {

using namespace brindle;
using orvtest::Bytes;

constexpr uint8_t canary = 0xE7;
const OrvTexFmt allFormats[] = {ORV_TEX_FMT_BC1_RGB, ORV_TEX_FMT_BC3_RGBA, ORV_TEX_FMT_BC3_YCOGR,
                                ORV_TEX_FMT_BC4_ALPHA};

constexpr auto blockLoop(bool bgra) {
    return bgra ? &OrvFFMpegCompressor::compressBGRA32 : &OrvFFMpegCompressor::compressRGBA32;
}

struct Image {
    unsigned width, height, stride;
    Bytes pixels;  // height * stride bytes
    const uint8_t* pixel(unsigned x, unsigned y) const { return &pixels[y * stride + 4 * x]; }
};

// A photo-like picture: smooth gradients, a soft bump, a hard diagonal edge,
// fine hashed grain and a varying alpha, so that blocks of every kind occur,
// neighbouring blocks (in neighbouring SIMD lanes) are similar but never
// alike. Row padding is 0x99, bytes that would change every block if read.
Image naturalImage(unsigned width, unsigned height, unsigned padding = 0) {
    Image image{width, height, 4 * width + padding, {}};
    image.pixels.assign(static_cast<size_t>(image.stride) * height, 0x99);
    for (unsigned y = 0; y < height; ++y)
        for (unsigned x = 0; x < width; ++x) {
            uint32_t h = x * 73856093u ^ y * 19349663u;
            h = (h ^ h >> 13) * 0x5bd1e995u;
            const int grain = static_cast<int>((h ^ h >> 15) % 17) - 8;
            const double dx = x - 20.0, dy = y - 12.0;
            const double bump = 60.0 * std::exp(-(dx * dx + dy * dy) / 80.0);
            const bool beyondEdge = x + 2 * y > width;
            const int rgba[4] = {static_cast<int>(30 + 3.0 * x + bump) + grain,
                                 static_cast<int>(90 + 4.0 * y - bump / 2) + grain / 2,
                                 beyondEdge ? 200 - static_cast<int>(x) : 40 + static_cast<int>(y) + grain,
                                 static_cast<int>(255 - 2.5 * y) + (beyondEdge ? -40 : 0)};
            for (int c = 0; c < 4; ++c)
                image.pixels[y * image.stride + 4 * x + c] =
                    static_cast<uint8_t>(std::clamp(rgba[c], 0, 255));
        }
    return image;
}

// Strides are whole pixels here, so the padding swaps with itself.
Image toBGRA(Image image) {
    for (size_t i = 0; i + 4 <= image.pixels.size(); i += 4) std::swap(image.pixels[i], image.pixels[i + 2]);
    return image;
}

// Runs one block loop over the pixels in an exact-size buffer whose row
// padding is unaddressable, into a buffer of exactly orvTexBufferSize bytes
// plus a canary tail; checks the tail and returns the plane.
Bytes compressPlane(const OrvFFMpegCompressor& compressor, const Image& image, OrvTexFmt fmt, bool bgra) {
    const uint32_t size = orvTexBufferSize(fmt, image.width, image.height);
    Bytes out(size + 32, canary);
    const orvtest::GuardedRows pixels(image.pixels.data(), image.stride, 4 * image.width, image.height,
                                      image.stride);
    (compressor.*blockLoop(bgra))(image.width, image.height, image.stride, fmt, pixels.data(), out.data());
    EXPECT_EQ(Bytes(out.begin() + size, out.end()), Bytes(32, canary)) << "written past the plane";
    out.resize(size);
    return out;
}

// A slice record over an image, as the slicer hands it to compress.
OrvSrcSlice sliceOf(const Image& image, uint32_t pixFmt) {
    OrvSrcSlice slice;
    slice.width = image.width, slice.height = image.height, slice.stride = image.stride,
    slice.pixFmt = pixFmt;
    slice.buffer = allocSharedBuffer(image.pixels.size());
    std::memcpy(slice.buffer->data, image.pixels.data(), image.pixels.size());
    return slice;
}

OrvEncTexture textureFor(OrvTexFmt fmt, const Image& image) {
    OrvEncTexture texture;
    texture.format = fmt, texture.encodedSize = orvTexBufferSize(fmt, image.width, image.height);
    texture.encoded = allocSharedBuffer(texture.encodedSize);
    std::memset(texture.encoded->data, canary, texture.encodedSize);
    return texture;
}

TEST(FFMpegCompressor, PlaneIsRowMajorAndExactlyTheTextureSizeAtAnyStrideAndLevel) {
    // 13 x 7 blocks, both counts odd, so a row/column mix-up shows and every
    // level has a remainder after its vector groups; padded strides must be
    // read only up to each row's end, and BGRA must give the same textures as
    // RGBA, from the loops and from compress(), as the scalar level makes
    // them from tight rows (the golden files pin that level's blocks).
    // compress() measures the squared error when asked, and every level
    // finds the scalar level's figure for the pixels.
    const Image tight = naturalImage(52, 28);
    OrvFFMpegCompressor scalar(OrvVideoStreamParams_st{}, DxtSimdLevel::scalar);
    const auto referenceError = [&](OrvTexFmt fmt) {
        OrvEncTexture texture = textureFor(fmt, tight);
        texture.measureError = true;
        scalar.compress(sliceOf(tight, ORV_SRC_PIX_FMT_RGBA32), fmt, texture);
        EXPECT_GT(texture.squaredError, 0.0);
        return texture.squaredError;
    };
    for (const DxtSimdLevel level :
         {DxtSimdLevel::scalar, DxtSimdLevel::sse41, DxtSimdLevel::avx2, DxtSimdLevel::avx512}) {
        if (dxtRowEncodersFor(level) == nullptr) continue;  // this CPU lacks the level
        OrvFFMpegCompressor compressor(OrvVideoStreamParams_st{}, level);
        for (const unsigned padding : {0u, 20u, 48u})
            for (OrvTexFmt fmt : allFormats) {
                const Image input = naturalImage(52, 28, padding);
                SCOPED_TRACE(testing::Message() << dxtSimdLevelName(level) << ", format " << fmt
                                                << ", stride " << input.stride);
                const Bytes expected = compressPlane(scalar, tight, fmt, false);
                const double error = referenceError(fmt);
                for (const bool bgra : {false, true}) {
                    const Image source = bgra ? toBGRA(input) : input;
                    EXPECT_EQ(compressPlane(compressor, source, fmt, bgra), expected) << bgra;
                    OrvEncTexture texture = textureFor(fmt, input);
                    texture.measureError = true;
                    const uint32_t pixFmt = bgra ? ORV_SRC_PIX_FMT_BGRA32 : ORV_SRC_PIX_FMT_RGBA32;
                    compressor.compress(sliceOf(source, pixFmt), fmt, texture);
                    EXPECT_EQ(Bytes(texture.encoded->data, texture.encoded->data + texture.encodedSize),
                              expected) << "compress, " << bgra;
                    EXPECT_EQ(texture.squaredError, error) << bgra;
                }
            }
    }
    Bytes out(16, canary);
    orvtest::expectOrvError(
        [&] { scalar.compressRGBA32(4, 4, 16, OrvTexFmt(4), tight.pixels.data(), out.data()); }, 13,
        "unsupported texture format");
    EXPECT_EQ(out, Bytes(16, canary)) << "written for a refused call";
}

}  // namespace
