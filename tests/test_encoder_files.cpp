// Whole files made through the C interface, read back with the library's
// reader and checked byte by byte where the bytes are defined: container,
// index, frame records, textures equal to what the block encoders give for
// the same pixels (per slice and stitched into whole frames), and pictures
// equal to the scalar block decoders' over those textures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../bench/photo_like_image.hpp"

#include "orv.h"
#include "orv_reader.h"
#include "orvenc.hpp"
#include "orvenc_ffmpeg.hpp"
#include "test_support.hpp"

namespace {

using orvtest::videoParams;
using Sizes = std::pair<uint32_t, uint32_t>;
// 16x8 is sliced without a copy; 18x10 is copied into a padded 20x12 slice.
const Sizes copiedAndShared[] = {{16, 8}, {18, 10}};

struct Picture { uint32_t width, height; std::vector<uint8_t> rgba; };  // rgba top-down, packed

// Natural-looking content: gradients, an edge, fine texture, varying alpha.
Picture makePicture(uint32_t width, uint32_t height, int seed) {
    Picture picture{width, height, std::vector<uint8_t>(size_t{width} * height * 4)};
    uint32_t noise = 0x9E3779B9u * static_cast<uint32_t>(seed + 1);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            noise = noise * 1664525u + 1013904223u;
            uint8_t* p = &picture.rgba[(size_t{y} * width + x) * 4];
            const bool edge = (x + y + static_cast<uint32_t>(seed)) % 23 < 11;
            p[0] = static_cast<uint8_t>(x * 255 / (width + 1) + (noise >> 29));
            p[1] = static_cast<uint8_t>(edge ? 200 - y % 64 : 40 + (noise >> 28));
            p[2] = static_cast<uint8_t>((x * y + static_cast<uint32_t>(seed) * 17) & 0xFF);
            p[3] = static_cast<uint8_t>(255 - (x + 2 * y) % 256);
        }
    return picture;
}

struct Layout { uint32_t pixFmt = ORV_SRC_PIX_FMT_RGBA32, origin = 0, extraStride = 0; };

// The host's frame of a picture in the given layout, in a buffer of its own.
OrvSrcFrame_st hostFrame(const Picture& picture, int64_t pts, const Layout& layout = {}) {
    const uint32_t stride = picture.width * 4 + layout.extraStride;  // padded after each row
    OrvBuffer_st* buffer = orvBufferAlloc(size_t{stride} * picture.height);
    auto* data = static_cast<uint8_t*>(orvBufferData(buffer));
    // Garbage beyond each row's picture: no byte of it may reach the file.
    for (size_t i = 0; i < size_t{stride} * picture.height; ++i)
        data[i] = static_cast<uint8_t>(i * 131 + 7);
    for (uint32_t y = 0; y < picture.height; ++y) {
        uint8_t* out = data + size_t{layout.origin == 1 ? picture.height - 1 - y : y} * stride;
        std::memcpy(out, &picture.rgba[size_t{y} * picture.width * 4], size_t{picture.width} * 4);
        if (layout.pixFmt == ORV_SRC_PIX_FMT_BGRA32)
            for (uint32_t x = 0; x < picture.width; ++x) std::swap(out[4 * x], out[4 * x + 2]);
    }
    return {picture.width, picture.height, stride, layout.pixFmt, layout.origin, 0, pts, buffer};
}

// The blocks the block encoders give for one slice of the picture: its part
// on the grid, where each pixel beyond the picture's right or bottom edge is
// the picture's nearest one.
std::vector<uint8_t> referenceTexture(const Picture& picture, uint32_t x0, uint32_t y0,
                                      uint32_t width, uint32_t height, brindle::OrvTexFmt fmt) {
    std::vector<uint8_t> pixels(size_t{width} * height * 4);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const size_t px = std::min(x0 + x, picture.width - 1);
            const size_t py = std::min(y0 + y, picture.height - 1);
            std::memcpy(&pixels[(size_t{y} * width + x) * 4],
                        &picture.rgba[(py * picture.width + px) * 4], 4);
        }
    std::vector<uint8_t> blocks(brindle::orvTexBufferSize(fmt, width, height));
    brindle::OrvFFMpegCompressor(OrvVideoStreamParams_st{})
        .compressRGBA32(width, height, width * 4, fmt, pixels.data(), blocks.data());
    return blocks;
}

// The texture formats of each stream format.
struct FormatCase {
    uint32_t format;
    std::vector<brindle::OrvTexFmt> textures;
    bool alpha;
};
const FormatCase formatCases[] = {
    {ORV_PIX_FMT_DXT1, {brindle::ORV_TEX_FMT_BC1_RGB}, false},
    {ORV_PIX_FMT_YCOCG_DXT5, {brindle::ORV_TEX_FMT_BC3_YCOGR}, false},
    {ORV_PIX_FMT_DXT5, {brindle::ORV_TEX_FMT_BC3_RGBA}, true},
    {ORV_PIX_FMT_YCOCG_DXT5_ALPHA, {brindle::ORV_TEX_FMT_BC3_YCOGR, brindle::ORV_TEX_FMT_BC4_ALPHA},
     true},
};

uint32_t ceil4(uint32_t side) { return (side + 3) / 4 * 4; }

// Checks every frame of the file's one video stream against the pictures:
// each slice's textures, the whole frame's, and its picture, both ways up.
void expectFramesMatch(const orvtest::Reader& reader, const FormatCase& formatCase,
                       uint32_t compression, const std::vector<Picture>& pictures,
                       const std::vector<int64_t>& pts) {
    ASSERT_EQ(reader.code, ORV_ERR_NONE) << reader.openMessage;
    const OrvReaderVideoInfo_st info = reader.video(0);
    ASSERT_EQ(info.frameCount, pictures.size());
    EXPECT_EQ(std::pair(info.format, info.compression),
              std::pair(int32_t(formatCase.format), int32_t(compression)));
    const auto slices = reader.textureLayout(0, ORV_TEXTURES_PER_SLICE);
    ASSERT_EQ(slices.size(), size_t{info.numColumns} * info.numRows * formatCase.textures.size());
    for (uint32_t k = 0; k < info.frameCount; ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        const Picture& picture = pictures[k];
        int64_t framePts = 0;
        EXPECT_EQ(orvReaderGetFramePts(reader.handle, 0, k, &framePts), ORV_ERR_NONE);
        EXPECT_EQ(framePts, pts[k]);
        const std::vector<uint8_t> perSlice = reader.textures(0, k, ORV_TEXTURES_PER_SLICE);
        for (const OrvReaderTexture_st& t : slices) {
            SCOPED_TRACE("slice " + std::to_string(t.slice) + " plane " + std::to_string(t.plane));
            EXPECT_EQ(t.format, formatCase.textures[t.plane]);
            const std::vector<uint8_t> expected = referenceTexture(
                picture, t.x, t.y, info.sliceWidth, info.sliceHeight, formatCase.textures[t.plane]);
            ASSERT_EQ(t.size, expected.size());
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), perSlice.begin() + t.offset));
        }
        std::vector<uint8_t> whole;
        for (const brindle::OrvTexFmt fmt : formatCase.textures) {
            const auto plane =
                referenceTexture(picture, 0, 0, ceil4(picture.width), ceil4(picture.height), fmt);
            whole.insert(whole.end(), plane.begin(), plane.end());
        }
        EXPECT_EQ(reader.textures(0, k, ORV_TEXTURES_WHOLE_FRAME), whole);
        const std::vector<uint8_t> decoded = reader.pixels(0, k);
        EXPECT_EQ(decoded, orvtest::scalarPicture(whole, formatCase.format, picture.width, picture.height));
        const std::vector<uint8_t> upward = reader.pixels(0, k, ORV_SRC_PIX_FMT_RGBA32, 1);
        const size_t row = size_t{picture.width} * 4;
        for (uint32_t y = 0; y < picture.height; ++y)
            EXPECT_TRUE(std::equal(upward.begin() + (picture.height - 1 - y) * row,
                                   upward.begin() + (picture.height - y) * row,
                                   decoded.begin() + y * row)) << "row " << y;
    }
}

// The reader's picture of frame 0 against its source; noisy content and
// lossy formats, so only the error's size is bounded.
void expectCloseToSource(const orvtest::Reader& reader, const FormatCase& formatCase,
                         const Picture& picture) {
    const std::vector<uint8_t> decoded = reader.pixels(0, 0);
    ASSERT_EQ(decoded.size(), picture.rgba.size());
    double squared = 0;
    for (size_t i = 0; i < decoded.size(); ++i) {
        if (i % 4 == 3 && !formatCase.alpha) continue;  // no alpha in the texture
        const double d = double(decoded[i]) - double(picture.rgba[i]);
        squared += d * d;
    }
    EXPECT_LT(std::sqrt(squared / double(decoded.size())), 40.0);
}

class EncoderFiles : public ::testing::Test {
protected:
    ~EncoderFiles() override { orvEncoderClose(encoder); }

    // Opens a session writing `name` and begins one video stream in it.
    void beginVideo(const std::string& name, const OrvVideoStreamParams_st& params,
                    uint32_t threads = 2) {
        const OrvEncoderParams_st encoderParams{threads};
        ASSERT_EQ(orvEncoderOpen(dir.path(name).c_str(), &encoderParams, &encoder), ORV_ERR_NONE);
        int id = -1;
        ASSERT_EQ(orvAddVideoStream(encoder, &params, &id), ORV_ERR_NONE)
            << orvGetErrorMessage(encoder);
        ASSERT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);
    }
    void encodeFrames(const std::vector<Picture>& pictures, const std::vector<int64_t>& pts,
                      const Layout& layout = {}) {
        for (size_t i = 0; i < pictures.size(); ++i) {
            OrvSrcFrame_st frame = hostFrame(pictures[i], pts[i], layout);
            ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
        }
    }
    void close() {
        EXPECT_EQ(orvEncoderClose(encoder), ORV_ERR_NONE);
        encoder = nullptr;
    }
    // One video stream of the pictures with pts from `pts`; returns its path.
    std::string encodeFile(const std::string& name, const OrvVideoStreamParams_st& params,
                           const std::vector<Picture>& pictures, const std::vector<int64_t>& pts,
                           const Layout& layout = {}) {
        beginVideo(name, params);
        if (!HasFatalFailure()) encodeFrames(pictures, pts, layout);
        if (!HasFatalFailure()) {
            EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
            EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
            close();
        }
        return dir.path(name);
    }

    orvtest::TempDir dir;
    OrvEnc* encoder = nullptr;
};

}  // namespace

TEST_F(EncoderFiles, EveryFormatAndCompressionReadsBackAsTheBlockEncodersTextures) {
    // Shared and copied slices, an odd size, and a width cut into three
    // padded columns of 1708 pixels, the last reaching past the picture.
    const Sizes sizes[] = {{16, 8}, {18, 10}, {37, 21}, {5122, 6}};
    for (auto [width, height] : sizes) {
        const std::vector<Picture> pictures = {makePicture(width, height, 1),
                                               makePicture(width, height, 2)};
        for (const FormatCase& formatCase : formatCases)
            for (uint32_t compression = 0; compression < 3; ++compression) {
                if (width > 1000 && compression != formatCase.format % 3) continue;  // time
                SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " format " +
                             std::to_string(formatCase.format) + " compression " +
                             std::to_string(compression));
                const auto params = videoParams(width, height, formatCase.format, compression);
                const orvtest::Reader reader(encodeFile("f", params, pictures, {0, 1}));
                EXPECT_EQ(reader.problems(), std::vector<std::string>{});
                expectFramesMatch(reader, formatCase, compression, pictures, {0, 1});
                expectCloseToSource(reader, formatCase, pictures[0]);
            }
    }
}

TEST_F(EncoderFiles, ContainerHeaderIndexAndRecordsAreExact) {
    const std::vector<Picture> pictures = {makePicture(16, 8, 3), makePicture(16, 8, 4),
                                           makePicture(16, 8, 5)};
    const std::vector<uint8_t> bytes = orvtest::readFile(encodeFile(
        "f", videoParams(16, 8, ORV_PIX_FMT_DXT1, ORV_COMPRESSION_NONE), pictures, {0, 1, 2}));
    const uint8_t header[] = {'O', 'R', 'V', 'C', 1, 0, 0, 0, 16, 0, 0, 0};
    ASSERT_GE(bytes.size(), 284u);
    EXPECT_EQ(std::memcmp(bytes.data(), header, sizeof header), 0);
    // One BC1 slice of 8 blocks: a 14-byte record header, a 4-byte Hap
    // header and 64 bytes of blocks.
    const uint64_t frameSize = 14 + 4 + 64, sectionSize = 52 + 3 * frameSize + 20 * 3;
    EXPECT_EQ(orvtest::slotAt(bytes, 0), (orvtest::Slot{2, 284, sectionSize}));
    EXPECT_EQ(bytes.size(), 284u + sectionSize);
    const uint64_t v = 284;
    EXPECT_EQ((std::vector<uint64_t>{orvtest::readLE(bytes, v, 2), orvtest::readLE(bytes, v + 2, 2),
                                     orvtest::readLE(bytes, v + 4, 2), orvtest::readLE(bytes, v + 6, 2),
                                     orvtest::readLE(bytes, v + 8, 8), orvtest::readLE(bytes, v + 16, 8),
                                     orvtest::readLE(bytes, v + 24, 8), orvtest::readLE(bytes, v + 32, 8),
                                     orvtest::readLE(bytes, v + 40, 8), orvtest::readLE(bytes, v + 48, 4)}),
              (std::vector<uint64_t>{0, 7, 16, 8, 25, 1, 1, 25, 3 * frameSize, 3}));
    const uint64_t index = v + 52 + 3 * frameSize;
    for (uint32_t k = 0; k < 3; ++k) {
        const uint64_t at = v + 52 + k * frameSize;
        EXPECT_EQ(orvtest::readLE(bytes, index + 4 * k, 4), frameSize);
        EXPECT_EQ(orvtest::readLE(bytes, index + 12 + 8 * k, 8), at);
        EXPECT_EQ(orvtest::readLE(bytes, index + 36 + 8 * k, 8), k);
        const uint8_t expected[] = {0x00, 0x03, 16, 0, 8, 0, 16, 0, 8, 0, 14, 0, 0, 0,
                                    64,   0,    0,  0xAB};
        EXPECT_EQ(std::memcmp(&bytes[at], expected, sizeof expected), 0) << k;
    }
}

// Small files this encoder made once, committed beside the tests: any change
// to the bytes a host's frames become, meant or not, fails here. After a
// meant change of the format, ORV_WRITE_GOLDEN=1 rewrites them; review the
// difference before committing it.
TEST_F(EncoderFiles, SmallFilesOfEveryFormatEqualTheCommittedOnes) {
    const struct {
        const char* name;
        uint32_t format, compression;
    } goldens[] = {
        {"dxt1-none", ORV_PIX_FMT_DXT1, ORV_COMPRESSION_NONE},
        {"dxt5-snappy", ORV_PIX_FMT_DXT5, ORV_COMPRESSION_SNAPPY},
        {"ycocg-lz4", ORV_PIX_FMT_YCOCG_DXT5, ORV_COMPRESSION_LZ4},
        {"ycocg-alpha-snappy", ORV_PIX_FMT_YCOCG_DXT5_ALPHA, ORV_COMPRESSION_SNAPPY},
    };
    // An odd size, so that the edge padding is in the bytes too.
    const std::vector<Picture> pictures = {makePicture(18, 10, 6), makePicture(18, 10, 7)};
    for (const auto& golden : goldens) {
        SCOPED_TRACE(golden.name);
        const std::string committedPath = std::string(ORV_TEST_DATA_DIR "/") + golden.name + ".orv";
        const std::vector<uint8_t> made = orvtest::readFile(encodeFile(
            golden.name, videoParams(18, 10, golden.format, golden.compression), pictures, {0, 1}));
        if (std::getenv("ORV_WRITE_GOLDEN") != nullptr) orvtest::writeFile(committedPath, made);
        const std::vector<uint8_t> committed = orvtest::readFile(committedPath);
        ASSERT_FALSE(committed.empty()) << "missing " << committedPath;
        const auto [madeAt, committedAt] = std::mismatch(made.begin(), made.end(),
                                                         committed.begin(), committed.end());
        EXPECT_TRUE(madeAt == made.end() && committedAt == committed.end())
            << "sizes " << made.size() << " and " << committed.size()
            << " bytes; first difference at offset " << (madeAt - made.begin());
    }
}

TEST_F(EncoderFiles, BgraPaddedAndBottomUpFramesGiveTheSameFileAsRgba) {
    const Layout layouts[] = {{ORV_SRC_PIX_FMT_BGRA32, 0, 0},
                              {ORV_SRC_PIX_FMT_RGBA32, 0, 12},
                              {ORV_SRC_PIX_FMT_RGBA32, 1, 0},
                              {ORV_SRC_PIX_FMT_BGRA32, 1, 12}};
    for (auto [width, height] : copiedAndShared) {
        const std::vector<Picture> pictures = {makePicture(width, height, 9)};
        for (const FormatCase& formatCase : formatCases) {
            SCOPED_TRACE(std::to_string(width) + " wide, format " +
                         std::to_string(formatCase.format));
            const auto params = videoParams(width, height, formatCase.format, ORV_COMPRESSION_LZ4);
            const std::vector<uint8_t> rgba = orvtest::readFile(encodeFile("rgba", params, pictures, {0}));
            for (const Layout& layout : layouts)
                EXPECT_EQ(orvtest::readFile(encodeFile("other", params, pictures, {0}, layout)), rgba)
                    << "pixel format " << layout.pixFmt << ", origin " << layout.origin
                    << ", padding " << layout.extraStride;
        }
    }
}

TEST_F(EncoderFiles, FramesAreWrittenInAcceptanceOrderWithTheirPtsAsGiven) {
    // With the only worker held back, the heap decides which queued slice runs
    // first; equal priorities are not first-in first-out, so later frames
    // complete before earlier ones and the writer must wait for them.
    const std::vector<int64_t> pts = {-5, 7, 7, 3, INT64_MAX, INT64_MIN, 0, 90, 1, -1, 60, 2};
    std::vector<Picture> pictures;
    for (int i = 0; i < 12; ++i) pictures.push_back(makePicture(20, 8, 100 + i));
    ASSERT_NO_FATAL_FAILURE(
        beginVideo("f", videoParams(20, 8, ORV_PIX_FMT_YCOCG_DXT5_ALPHA, ORV_COMPRESSION_NONE), 1));
    orvtest::PoolGate gate(encoder->getContext().pool);
    ASSERT_NO_FATAL_FAILURE(encodeFrames(pictures, pts));
    gate.release();
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    close();  // finishes the session
    const orvtest::Reader reader(dir.path("f"));
    EXPECT_EQ(reader.problems(), std::vector<std::string>{});
    expectFramesMatch(reader, formatCases[3], ORV_COMPRESSION_NONE, pictures, pts);
}

TEST_F(EncoderFiles, RecordsHandedBackAmongPixelFramesGiveTheSameFile) {
    // Every other frame goes in as the record the reader gives of the first
    // file; with maxParallel 0 each record waits for the pixel frame before
    // it. A width of 5122 is cut into three padded columns.
    const std::vector<int64_t> pts = {4, -1, 9, 9, 2};
    for (auto [width, height] : {Sizes{18, 10}, Sizes{5122, 6}})
        for (const FormatCase& formatCase : formatCases) {
            const uint32_t compression = formatCase.format % 3;
            SCOPED_TRACE(std::to_string(width) + " wide, format " +
                         std::to_string(formatCase.format));
            std::vector<Picture> pictures;
            for (int i = 0; i < 5; ++i) pictures.push_back(makePicture(width, height, 20 + i));
            const auto params = videoParams(width, height, formatCase.format, compression, 0);
            const std::vector<uint8_t> original = orvtest::readFile(encodeFile("a", params, pictures, pts));
            const orvtest::Reader first(dir.path("a"));
            ASSERT_NO_FATAL_FAILURE(beginVideo("b", params));
            for (uint32_t k = 0; k < 5; ++k) {
                if (k % 2 == 0) {
                    ASSERT_NO_FATAL_FAILURE(encodeFrames({pictures[k]}, {pts[k]}));
                    continue;
                }
                const std::vector<uint8_t> record = first.record(0, k);
                ASSERT_EQ(orvEncodeFrameRecord(encoder, record.data(), record.size(), pts[k]),
                          ORV_ERR_NONE) << orvGetErrorMessage(encoder);
            }
            ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
            close();
            EXPECT_EQ(orvtest::readFile(dir.path("b")), original);
        }
}

// ---- Picture edges ------------------------------------------------------------

namespace {

// A picture whose pixel (x, y) is rgbaAt(x, y), read as 0xRRGGBBAA.
Picture filled(uint32_t width, uint32_t height,
               const std::function<uint32_t(uint32_t, uint32_t)>& rgbaAt) {
    Picture picture{width, height, std::vector<uint8_t>(size_t{width} * height * 4)};
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            for (uint32_t c = 0; c < 4; ++c)
                picture.rgba[(size_t{y} * width + x) * 4 + c] =
                    static_cast<uint8_t>(rgbaAt(x, y) >> (24 - 8 * c));
    return picture;
}

// The largest difference of any channel the format stores.
int maxError(const std::vector<uint8_t>& decoded, const Picture& picture, bool alpha) {
    int worst = 0;
    for (size_t i = 0; i < decoded.size(); ++i)
        if (alpha || i % 4 != 3) worst = std::max(worst, std::abs(decoded[i] - picture.rgba[i]));
    return worst;
}

}  // namespace

// Blocks that reach past the right or bottom edge hold only the picture's
// own colours, so they are fitted as well as any block inside it: a solid
// colour comes back as it does from an aligned picture, and a two-colour
// checker with no more error.
TEST_F(EncoderFiles, EdgeBlocksComeBackAsBlocksInsideAnAlignedPicture) {
    const uint32_t colours[][2] = {{0xFF0000FF, 0x0000FFFF}, {0x5F4D4DFF, 0xF0E0D010},
                                   {0x0CC84D82, 0xFFFFFF00}};
    const Sizes edgeSizes[] = {{6, 6}, {7, 5}, {1, 1}};
    for (const FormatCase& formatCase : formatCases) {
        const auto decode = [&](const Picture& picture) {
            const auto params = videoParams(picture.width, picture.height, formatCase.format,
                                            ORV_COMPRESSION_NONE);
            return orvtest::Reader(encodeFile("edge", params, {picture}, {0})).pixels(0, 0);
        };
        for (const auto& [a, b] : colours) {
            SCOPED_TRACE(testing::Message() << "format " << formatCase.format << std::hex
                                            << ", colours " << a << " and " << b);
            const auto solid = [a](uint32_t, uint32_t) { return a; };
            const auto checker = [a, b](uint32_t x, uint32_t y) { return (x + y) % 2 ? b : a; };
            const std::vector<uint8_t> solidAligned = decode(filled(8, 8, solid));
            const Picture alignedChecker = filled(8, 8, checker);
            const int checkerAligned =
                maxError(decode(alignedChecker), alignedChecker, formatCase.alpha);
            for (const auto& [width, height] : edgeSizes) {
                SCOPED_TRACE(testing::Message() << std::dec << width << "x" << height);
                const std::vector<uint8_t> decoded = decode(filled(width, height, solid));
                for (size_t i = 0; i < decoded.size(); ++i)
                    ASSERT_EQ(decoded[i], solidAligned[i % 4]) << "byte " << i;
                const Picture picture = filled(width, height, checker);
                EXPECT_LE(maxError(decode(picture), picture, formatCase.alpha), checkerAligned);
            }
        }
    }
}

// On a photograph, the last two columns and rows (in blocks half outside
// the picture) are reproduced about as well as the rest.
TEST_F(EncoderFiles, EdgesOfAPhotographLoseAtMostOneDecibel) {
    const uint32_t width = 1366, height = 766;
    const Picture photo{width, height, orvbench::photoLikeRGBA(width, height)};
    for (const FormatCase& formatCase : formatCases) {
        SCOPED_TRACE(testing::Message() << "format " << formatCase.format);
        const auto params = videoParams(width, height, formatCase.format, ORV_COMPRESSION_NONE);
        const std::vector<uint8_t> decoded =
            orvtest::Reader(encodeFile("photo", params, {photo}, {0})).pixels(0, 0);
        ASSERT_EQ(decoded.size(), photo.rgba.size());
        double squared[2] = {0, 0}, count[2] = {0, 0};  // inside, edge
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x)
                for (uint32_t c = 0; c < (formatCase.alpha ? 4 : 3); ++c) {
                    const size_t i = (size_t{y} * width + x) * 4 + c;
                    const double d = double(decoded[i]) - double(photo.rgba[i]);
                    const int edge = x >= width - 2 || y >= height - 2;
                    squared[edge] += d * d;
                    ++count[edge];
                }
        const auto psnr = [&](int part) {
            return 10 * std::log10(255.0 * 255.0 * count[part] / squared[part]);
        };
        EXPECT_GE(psnr(1), psnr(0) - 1.0) << "inside " << psnr(0) << " dB, edges " << psnr(1);
    }
}
