// Whole files made through the C interface, read back with the library's
// reader: each slice's textures equal to what the block encoders give for the
// same pixels whatever the host's pixel layout (the reader's stitching and
// decoding are checked on hand-built files in test_orv_file_reader), frames
// in acceptance order, records handed back giving the same file, and small
// files byte for byte equal to committed ones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "orvenc.hpp"
#include "orvenc_ffmpeg.hpp"
#include "test_support.hpp"

using namespace orvtest;

namespace {

struct Picture { uint32_t width, height; Bytes rgba; };  // top-down, packed

// Natural-looking content: gradients, an edge, fine texture, varying alpha.
// The committed files are made of it: it stays as it is.
Picture makePicture(uint32_t width, uint32_t height, int seed) {
    Picture picture{width, height, Bytes(size_t{width} * height * 4)};
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

// How the host lays a picture out: RGBA top-down packed, or BGRA, bottom-up,
// and 12 bytes of garbage after each row, which must not reach the file.
struct Layout { uint32_t pixFmt = ORV_SRC_PIX_FMT_RGBA32, origin = 0, extraStride = 0; };
const Layout layouts[] = {{}, {ORV_SRC_PIX_FMT_BGRA32, 0, 0}, {ORV_SRC_PIX_FMT_RGBA32, 0, 12},
                          {ORV_SRC_PIX_FMT_RGBA32, 1, 0}, {ORV_SRC_PIX_FMT_BGRA32, 1, 12}};

OrvSrcFrame_st hostFrame(const Picture& picture, int64_t pts, const Layout& layout) {
    const uint32_t stride = picture.width * 4 + layout.extraStride;
    OrvBuffer_st* buffer = orvBufferAlloc(size_t{stride} * picture.height);
    auto* data = static_cast<uint8_t*>(orvBufferData(buffer));
    for (size_t i = 0; i < size_t{stride} * picture.height; ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
    for (uint32_t y = 0; y < picture.height; ++y) {
        uint8_t* out = data + size_t{layout.origin == 1 ? picture.height - 1 - y : y} * stride;
        std::memcpy(out, &picture.rgba[size_t{y} * picture.width * 4], size_t{picture.width} * 4);
        if (layout.pixFmt == ORV_SRC_PIX_FMT_BGRA32)
            for (uint32_t x = 0; x < picture.width; ++x) std::swap(out[4 * x], out[4 * x + 2]);
    }
    return {picture.width, picture.height, stride, layout.pixFmt, layout.origin, 0, pts, buffer};
}

// The blocks the block encoders give for one slice of the picture, where
// each pixel beyond the picture's right or bottom edge is its nearest one.
Bytes referenceTexture(const Picture& picture, uint32_t x0, uint32_t y0, uint32_t width, uint32_t height,
                       brindle::OrvTexFmt format) {
    Bytes pixels(size_t{width} * height * 4), blocks(brindle::orvTexBufferSize(format, width, height));
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            std::memcpy(&pixels[(size_t{y} * width + x) * 4],
                        &picture.rgba[4 * (std::min(y0 + y, picture.height - 1) * size_t{picture.width} +
                                           std::min(x0 + x, picture.width - 1))], 4);
    brindle::OrvFFMpegCompressor(OrvVideoStreamParams_st{})
        .compressRGBA32(width, height, width * 4, format, pixels.data(), blocks.data());
    return blocks;
}

// The texture formats of each stream format, by OrvPixFmt_enum.
const std::vector<brindle::OrvTexFmt> texturesOf[] = {
    {brindle::ORV_TEX_FMT_BC1_RGB}, {brindle::ORV_TEX_FMT_BC3_YCOGR}, {brindle::ORV_TEX_FMT_BC3_RGBA},
    {brindle::ORV_TEX_FMT_BC3_YCOGR, brindle::ORV_TEX_FMT_BC4_ALPHA}};

// Checks each slice's textures in every frame of the file's one video stream
// against the pictures.
void expectFramesMatch(const Reader& reader, uint32_t format, uint32_t compression,
                       const std::vector<Picture>& pictures, const std::vector<int64_t>& pts) {
    EXPECT_EQ(reader.problems(), std::vector<std::string>{});
    const OrvReaderVideoInfo_st info = reader.video(0);
    ASSERT_EQ(info.frameCount, pictures.size());
    EXPECT_EQ(std::pair(info.format, info.compression), std::pair(int32_t(format), int32_t(compression)));
    const auto slices = reader.textureLayout(0, ORV_TEXTURES_PER_SLICE);
    ASSERT_EQ(slices.size(), size_t{info.numColumns} * info.numRows * texturesOf[format].size());
    for (uint32_t k = 0; k < info.frameCount; ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        EXPECT_EQ(reader.pts(0, k), pts[k]);
        const Bytes perSlice = reader.textures(0, k, ORV_TEXTURES_PER_SLICE);
        for (const OrvReaderTexture_st& t : slices)
            EXPECT_TRUE(Bytes(perSlice.begin() + t.offset, perSlice.begin() + t.offset + t.size) ==
                        referenceTexture(pictures[k], t.x, t.y, info.sliceWidth, info.sliceHeight,
                                         texturesOf[format][t.plane]))
                << "slice " << t.slice << " plane " << t.plane;
    }
}

class EncoderFiles : public ::testing::Test {
protected:
    ~EncoderFiles() override { orvEncoderClose(encoder); }

    // Opens a session writing `name` and begins one video stream in it.
    void beginVideo(const std::string& name, const OrvVideoStreamParams_st& params, uint32_t threads = 2) {
        const OrvEncoderParams_st encoderParams{threads};
        ASSERT_EQ(orvEncoderOpen(dir.path(name).c_str(), &encoderParams, &encoder), ORV_ERR_NONE);
        int id = -1;
        ASSERT_EQ(orvAddVideoStream(encoder, &params, &id), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
        ASSERT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);
    }
    void encodeFrame(const Picture& picture, int64_t pts, const Layout& layout = {}) {
        OrvSrcFrame_st frame = hostFrame(picture, pts, layout);
        ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
    }
    // Ends the stream and closes the session; returns the file's path.
    std::string close(const std::string& name) {
        EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
        EXPECT_EQ(orvEncoderClose(std::exchange(encoder, nullptr)), ORV_ERR_NONE);
        return dir.path(name);
    }
    // A file of the pictures at pts 0, 1, ...
    std::string encodeFile(const std::string& name, const OrvVideoStreamParams_st& params,
                           const std::vector<Picture>& pictures, const Layout& layout = {}) {
        beginVideo(name, params);
        for (size_t i = 0; i < pictures.size() && !HasFatalFailure(); ++i)
            encodeFrame(pictures[i], static_cast<int64_t>(i), layout);
        return close(name);
    }

    TempDir dir;
    OrvEnc* encoder = nullptr;
};

}  // namespace

TEST_F(EncoderFiles, EveryFormatCoderAndHostLayoutReadsBackAsTheBlockEncodersTextures) {
    // 16x8 is sliced without a copy, 18x10 copied into a padded slice; an odd
    // size; a width cut into three padded columns of 1708 pixels, the last
    // reaching past the picture. The host layouts take turns.
    const std::pair<uint32_t, uint32_t> sizes[] = {{16, 8}, {18, 10}, {37, 21}, {5122, 6}};
    int turn = 0;
    for (auto [width, height] : sizes) {
        const std::vector<Picture> pictures = {makePicture(width, height, 1), makePicture(width, height, 2)};
        for (uint32_t format = 0; format < 4; ++format)
            for (uint32_t compression = 0; compression < 3; ++compression) {
                if (width > 1000 && compression != format % 3) continue;  // time
                const Layout& layout = layouts[turn++ % 5];
                SCOPED_TRACE(testing::Message()
                             << width << "x" << height << " format " << format << " coder " << compression);
                const std::string path =
                    encodeFile("f", videoParams(width, height, format, compression), pictures, layout);
                expectFramesMatch(Reader(path), format, compression, pictures, {0, 1});
            }
    }
}

// Small files this encoder made once, committed beside the tests: any change
// to the bytes a host's frames become, meant or not, fails here. After a
// meant change of the format, ORV_WRITE_GOLDEN=1 rewrites them; review the
// difference before committing it.
TEST_F(EncoderFiles, SmallFilesOfEveryFormatEqualTheCommittedOnes) {
    const struct { const char* name; uint32_t format, compression;
    } goldens[] = {{"dxt1-none", ORV_PIX_FMT_DXT1, ORV_COMPRESSION_NONE},
                   {"dxt5-snappy", ORV_PIX_FMT_DXT5, ORV_COMPRESSION_SNAPPY},
                   {"ycocg-lz4", ORV_PIX_FMT_YCOCG_DXT5, ORV_COMPRESSION_LZ4},
                   {"ycocg-alpha-snappy", ORV_PIX_FMT_YCOCG_DXT5_ALPHA, ORV_COMPRESSION_SNAPPY}};
    // An odd size, so that the edge padding is in the bytes too.
    const std::vector<Picture> pictures = {makePicture(18, 10, 6), makePicture(18, 10, 7)};
    for (const auto& golden : goldens) {
        const std::string committedPath = std::string(ORV_TEST_DATA_DIR "/") + golden.name + ".orv";
        const Bytes made = readFile(
            encodeFile(golden.name, videoParams(18, 10, golden.format, golden.compression), pictures));
        if (std::getenv("ORV_WRITE_GOLDEN") != nullptr) writeFile(committedPath, made);
        const Bytes committed = readFile(committedPath);
        EXPECT_TRUE(made == committed)
            << golden.name << ": sizes " << made.size() << " and " << committed.size()
            << " bytes; first difference at offset "
            << (std::mismatch(made.begin(), made.end(), committed.begin(), committed.end()).first -
                made.begin());
    }
}

TEST_F(EncoderFiles, FramesAreWrittenInAcceptanceOrderAndRecordsHandedBackAmongThemGiveTheSameFile) {
    // With the only worker held back, the heap decides which queued slice runs
    // first; equal priorities are not first-in first-out, so later frames
    // complete before earlier ones and the writer must wait for them.
    const std::vector<int64_t> pts = {-5, 7, 7, 3, INT64_MAX, INT64_MIN, 0, 90, 1, -1, 60, 2};
    std::vector<Picture> pictures;
    for (int i = 0; i < 12; ++i) pictures.push_back(makePicture(20, 8, 100 + i));
    ASSERT_NO_FATAL_FAILURE(
        beginVideo("a", videoParams(20, 8, ORV_PIX_FMT_YCOCG_DXT5_ALPHA, ORV_COMPRESSION_NONE), 1));
    PoolGate gate(encoder->getContext().pool);
    for (int i = 0; i < 12; ++i) ASSERT_NO_FATAL_FAILURE(encodeFrame(pictures[i], pts[i]));
    gate.release();
    const Reader first(close("a"));
    expectFramesMatch(first, ORV_PIX_FMT_YCOCG_DXT5_ALPHA, ORV_COMPRESSION_NONE, pictures, pts);
    // Every other frame goes in as the record the reader gives; with
    // maxParallel 0 each record waits for the pixel frame before it.
    ASSERT_NO_FATAL_FAILURE(
        beginVideo("b", videoParams(20, 8, ORV_PIX_FMT_YCOCG_DXT5_ALPHA, ORV_COMPRESSION_NONE, 0)));
    for (uint32_t k = 0; k < 12; ++k) {
        const Bytes record = first.record(0, k);
        if (k % 2 == 0) ASSERT_NO_FATAL_FAILURE(encodeFrame(pictures[k], pts[k]));
        else ASSERT_EQ(orvEncodeFrameRecord(encoder, record.data(), record.size(), pts[k]), ORV_ERR_NONE);
    }
    EXPECT_EQ(readFile(close("b")), readFile(dir.path("a")));
}
