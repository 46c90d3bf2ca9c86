// Whole files made through the C interface, read back with the independent
// reader and checked byte by byte where the bytes are defined: container,
// index, frame records, Hap sections, and textures equal to what the block
// encoders give for the same pixels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "orv.h"
#include "orv_reader.hpp"
#include "orvenc.hpp"
#include "orvenc_ffmpeg.hpp"
#include "task_pool.hpp"
#include "test_support.hpp"

namespace {

using orvtest::videoParams;

struct Picture {
    uint32_t width;
    uint32_t height;
    std::vector<uint8_t> rgba;  // top-down, tightly packed
};

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

struct FrameOptions {
    uint32_t pixFmt = ORV_SRC_PIX_FMT_RGBA32;
    uint32_t origin = 0;
    uint32_t extraStride = 0;  // bytes of padding after each row
};

// The host's buffer for a picture in the given layout.
OrvBuffer_st* hostBuffer(const Picture& picture, const FrameOptions& options) {
    const uint32_t stride = picture.width * 4 + options.extraStride;
    OrvBuffer_st* buffer = orvBufferAlloc(size_t{stride} * picture.height);
    auto* data = static_cast<uint8_t*>(orvBufferData(buffer));
    // Zero padding: the slicer copies a row as far as the stride reaches, so
    // bytes past the picture's width end up in padded edge blocks.
    std::memset(data, 0, size_t{stride} * picture.height);
    for (uint32_t y = 0; y < picture.height; ++y) {
        const uint32_t row = options.origin == 1 ? picture.height - 1 - y : y;
        uint8_t* out = data + size_t{row} * stride;
        std::memcpy(out, &picture.rgba[size_t{y} * picture.width * 4], size_t{picture.width} * 4);
        if (options.pixFmt == ORV_SRC_PIX_FMT_BGRA32)
            for (uint32_t x = 0; x < picture.width; ++x) std::swap(out[4 * x], out[4 * x + 2]);
    }
    return buffer;
}

std::string tempPath(const std::string& name) { return ::testing::TempDir() + "orv_e2e_" + name; }

// Encodes the pictures as one video stream with pts from `pts`.
void encodeFile(const std::string& path, const OrvVideoStreamParams_st& params,
                const std::vector<Picture>& pictures, const std::vector<int64_t>& pts,
                const FrameOptions& options = {}, uint32_t threads = 2) {
    OrvEncoderParams_st encoderParams{threads};
    OrvEnc* encoder = nullptr;
    ASSERT_EQ(orvEncoderOpen(path.c_str(), &encoderParams, &encoder), ORV_ERR_NONE);
    int id = -1;
    ASSERT_EQ(orvAddVideoStream(encoder, &params, &id), ORV_ERR_NONE)
        << orvGetErrorMessage(encoder);
    ASSERT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);
    for (size_t i = 0; i < pictures.size(); ++i) {
        OrvSrcFrame_st frame{};
        frame.width = pictures[i].width;
        frame.height = pictures[i].height;
        frame.stride = pictures[i].width * 4 + options.extraStride;
        frame.pixFmt = options.pixFmt;
        frame.origin = options.origin;
        frame.pts = pts[i];
        frame.buffer = hostBuffer(pictures[i], options);
        ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
    }
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
    ASSERT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
    orvEncoderClose(encoder);
}

// The pixels of one slice as the encoder must see them: the picture's part
// on the grid, zero beyond its right and bottom edges.
std::vector<uint8_t> expectedSlicePixels(const Picture& picture, uint32_t x0, uint32_t y0,
                                         uint32_t sliceWidth, uint32_t sliceHeight) {
    std::vector<uint8_t> pixels(size_t{sliceWidth} * sliceHeight * 4, 0);
    for (uint32_t y = 0; y < sliceHeight && y0 + y < picture.height; ++y)
        for (uint32_t x = 0; x < sliceWidth && x0 + x < picture.width; ++x)
            std::memcpy(&pixels[(size_t{y} * sliceWidth + x) * 4],
                        &picture.rgba[(size_t{y0 + y} * picture.width + x0 + x) * 4], 4);
    return pixels;
}

std::vector<uint8_t> referenceTexture(const std::vector<uint8_t>& pixels, uint32_t width,
                                      uint32_t height, brindle::OrvTexFmt fmt) {
    const brindle::OrvFFMpegCompressor compressor(OrvVideoStreamParams_st{});
    std::vector<uint8_t> blocks(brindle::orvTexBufferSize(fmt, width, height));
    compressor.compressRGBA32(width, height, width * 4, fmt, pixels.data(), blocks.data());
    return blocks;
}

// The texture formats and Hap type bytes of each stream format.
struct FormatCase {
    uint32_t format;
    std::vector<brindle::OrvTexFmt> textures;
    std::vector<uint8_t> typeLowNibbles;
};

const FormatCase formatCases[] = {
    {ORV_PIX_FMT_DXT1, {brindle::ORV_TEX_FMT_BC1_RGB}, {0x0B}},
    {ORV_PIX_FMT_YCOCG_DXT5, {brindle::ORV_TEX_FMT_BC3_YCOGR}, {0x0F}},
    {ORV_PIX_FMT_DXT5, {brindle::ORV_TEX_FMT_BC3_RGBA}, {0x0E}},
    {ORV_PIX_FMT_YCOCG_DXT5_ALPHA,
     {brindle::ORV_TEX_FMT_BC3_YCOGR, brindle::ORV_TEX_FMT_BC4_ALPHA},
     {0x0F, 0x01}},
};
const uint8_t compressionNibble[] = {0xA0, 0xB0, 0xF0};

// Checks every frame of the file's one video stream against the pictures.
void expectFramesMatch(const orvread::OrvFile& file, const FormatCase& formatCase,
                       uint32_t compression, const std::vector<Picture>& pictures,
                       const std::vector<int64_t>& pts) {
    ASSERT_EQ(file.videoCount(), 1u);
    const orvread::VideoSection& video = file.video(0);
    ASSERT_EQ(video.frameCount, pictures.size());
    for (uint32_t k = 0; k < video.frameCount; ++k) {
        SCOPED_TRACE("frame " + std::to_string(k));
        EXPECT_EQ(static_cast<int64_t>(video.framePts[k]), pts[k]);
        const orvread::FrameRecord record = file.readFrame(video, k);
        const Picture& picture = pictures[k];
        EXPECT_EQ(record.width, picture.width);
        EXPECT_EQ(record.height, picture.height);
        ASSERT_EQ(record.slices.size(), size_t{record.numColumns} * record.numRows);
        for (uint32_t i = 0; i < record.slices.size(); ++i) {
            SCOPED_TRACE("slice " + std::to_string(i));
            const orvread::SliceFrame& slice = record.slices[i];
            ASSERT_EQ(slice.textures.size(), formatCase.textures.size());
            EXPECT_EQ(slice.multipleImages, formatCase.textures.size() == 2);
            const uint32_t x0 = (i % record.numColumns) * record.sliceWidth;
            const uint32_t y0 = (i / record.numColumns) * record.sliceHeight;
            const std::vector<uint8_t> pixels =
                expectedSlicePixels(picture, x0, y0, record.sliceWidth, record.sliceHeight);
            for (size_t t = 0; t < slice.textures.size(); ++t) {
                const orvread::HapTexture& texture = slice.textures[t];
                EXPECT_EQ(texture.type, compressionNibble[compression] | formatCase.typeLowNibbles[t]);
                const std::vector<uint8_t> expected = referenceTexture(
                    pixels, record.sliceWidth, record.sliceHeight, formatCase.textures[t]);
                EXPECT_EQ(orvread::decompress(texture, expected.size()), expected);
            }
        }
    }
}

std::vector<uint8_t> readBytes(const std::string& path) {
    return orvread::OrvFile::open(path).bytes();
}

class EncoderFiles : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::string& path : paths) std::remove(path.c_str());
    }
    std::string path(const std::string& suffix = "") {
        paths.push_back(
            tempPath(::testing::UnitTest::GetInstance()->current_test_info()->name() + suffix));
        return paths.back();
    }

    std::vector<std::string> paths;
};

}  // namespace

TEST_F(EncoderFiles, EveryFormatAndCompressionGivesTheBlockEncodersTextures) {
    // 16x8 is sliced without a copy; 18x10 is copied into a padded 20x12 slice.
    for (auto [width, height] : {std::pair<uint32_t, uint32_t>{16, 8}, {18, 10}}) {
        const std::vector<Picture> pictures = {makePicture(width, height, 1),
                                               makePicture(width, height, 2)};
        const std::vector<int64_t> pts = {0, 1};
        for (const FormatCase& formatCase : formatCases)
            for (uint32_t compression = 0; compression < 3; ++compression) {
                SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height) + " format " +
                             std::to_string(formatCase.format) + " compression " +
                             std::to_string(compression));
                const std::string file = path();
                encodeFile(file, videoParams(width, height, formatCase.format, compression),
                           pictures, pts);
                const orvread::OrvFile orv = orvread::OrvFile::open(file);
                EXPECT_EQ(orv.verify(), std::vector<std::string>{});
                expectFramesMatch(orv, formatCase, compression, pictures, pts);
            }
    }
}

TEST_F(EncoderFiles, ContainerHeaderIndexAndRecordsAreExact) {
    const std::vector<Picture> pictures = {makePicture(16, 8, 3), makePicture(16, 8, 4),
                                           makePicture(16, 8, 5)};
    const std::string file = path();
    encodeFile(file, videoParams(16, 8, ORV_PIX_FMT_DXT1, ORV_COMPRESSION_NONE), pictures,
               {0, 1, 2});
    const orvread::OrvFile orv = orvread::OrvFile::open(file);
    const std::vector<uint8_t>& bytes = orv.bytes();
    const uint8_t header[] = {'O', 'R', 'V', 'C', 1, 0, 0, 0, 16, 0, 0, 0};
    ASSERT_GE(bytes.size(), 284u);
    EXPECT_EQ(std::memcmp(bytes.data(), header, sizeof header), 0);
    ASSERT_EQ(orv.sections().size(), 1u);
    EXPECT_EQ(orv.sections()[0].type, 2);
    EXPECT_EQ(orv.sections()[0].offset, 284u);

    const orvread::VideoSection& video = orv.video(0);
    EXPECT_EQ(video.codec, 0);
    EXPECT_EQ(video.flags, 7);
    EXPECT_EQ(video.width, 16);
    EXPECT_EQ(video.height, 8);
    EXPECT_EQ(video.timebaseNum, 1u);
    EXPECT_EQ(video.timebaseDen, 25u);
    EXPECT_EQ(video.fpsNum, 25u);
    EXPECT_EQ(video.fpsDen, 1u);
    // One BC1 slice of 8 blocks: a 14-byte record header, a 4-byte Hap
    // header and 64 bytes of blocks.
    const uint32_t frameSize = 14 + 4 + 64;
    for (uint32_t k = 0; k < 3; ++k) {
        EXPECT_EQ(video.frameSizes[k], frameSize);
        EXPECT_EQ(video.frameOffsets[k], 284u + 52 + k * frameSize);
        const uint8_t* record = &bytes[video.frameOffsets[k]];
        const uint8_t expected[] = {0x00, 0x03, 16, 0, 8, 0, 16, 0, 8, 0, 14, 0, 0, 0,
                                    64,   0,    0,  0xAB};
        EXPECT_EQ(std::memcmp(record, expected, sizeof expected), 0) << k;
    }
    EXPECT_EQ(video.frameDataSize, 3u * frameSize);
    EXPECT_EQ(orv.sections()[0].size, 52u + 3 * frameSize + 20 * 3);
    EXPECT_EQ(bytes.size(), 284u + orv.sections()[0].size);
}

TEST_F(EncoderFiles, WideFramesAreSlicedIntoPaddedColumns) {
    // 5120 pixels across give three 1708-pixel columns; the last one reaches
    // four pixels past the picture, which must be encoded as zeros.
    const std::vector<Picture> pictures = {makePicture(5120, 8, 6)};
    const std::string file = path();
    encodeFile(file, videoParams(5120, 8, ORV_PIX_FMT_YCOCG_DXT5_ALPHA, ORV_COMPRESSION_SNAPPY),
               pictures, {42});
    const orvread::OrvFile orv = orvread::OrvFile::open(file);
    EXPECT_EQ(orv.verify(), std::vector<std::string>{});
    const orvread::FrameRecord record = orv.readFrame(orv.video(0), 0);
    EXPECT_EQ(record.sliceWidth, 1708);
    EXPECT_EQ(record.sliceHeight, 8);
    EXPECT_EQ(record.numColumns, 3u);
    EXPECT_EQ(record.sliceOffsets[0], 10u + 4 * 3);
    expectFramesMatch(orv, formatCases[3], ORV_COMPRESSION_SNAPPY, pictures, {42});
}

TEST_F(EncoderFiles, BottomUpFramesAreFlipped) {
    const std::vector<Picture> pictures = {makePicture(16, 12, 7), makePicture(18, 12, 8)};
    for (const Picture& picture : pictures) {
        const std::string file = path(std::to_string(picture.width));
        FrameOptions options;
        options.origin = 1;
        encodeFile(file, videoParams(picture.width, 12, ORV_PIX_FMT_DXT5, ORV_COMPRESSION_LZ4),
                   {picture}, {0}, options);
        expectFramesMatch(orvread::OrvFile::open(file), formatCases[2], ORV_COMPRESSION_LZ4,
                          {picture}, {0});
    }
}

TEST_F(EncoderFiles, BgraAndPaddedRowsGiveTheSameFileAsRgba) {
    for (auto [width, height] : {std::pair<uint32_t, uint32_t>{16, 8}, {18, 10}}) {
        const std::vector<Picture> pictures = {makePicture(width, height, 9)};
        for (const FormatCase& formatCase : formatCases) {
            const OrvVideoStreamParams_st params =
                videoParams(width, height, formatCase.format, ORV_COMPRESSION_LZ4);
            const std::string rgba = path("rgba");
            encodeFile(rgba, params, pictures, {0});
            FrameOptions bgraOptions;
            bgraOptions.pixFmt = ORV_SRC_PIX_FMT_BGRA32;
            const std::string bgra = path("bgra");
            encodeFile(bgra, params, pictures, {0}, bgraOptions);
            FrameOptions paddedOptions;
            paddedOptions.extraStride = 12;
            const std::string padded = path("padded");
            encodeFile(padded, params, pictures, {0}, paddedOptions);
            EXPECT_EQ(readBytes(bgra), readBytes(rgba)) << formatCase.format;
            EXPECT_EQ(readBytes(padded), readBytes(rgba)) << formatCase.format;
        }
    }
}

TEST_F(EncoderFiles, PtsAreStoredAsGiven) {
    const std::vector<int64_t> pts = {-5, 7, 7, 3, INT64_MAX, INT64_MIN};
    std::vector<Picture> pictures;
    for (size_t i = 0; i < pts.size(); ++i) pictures.push_back(makePicture(8, 8, int(i)));
    const std::string file = path();
    encodeFile(file, videoParams(8, 8, ORV_PIX_FMT_DXT1, ORV_COMPRESSION_NONE), pictures, pts);
    const orvread::OrvFile orv = orvread::OrvFile::open(file);
    EXPECT_EQ(orv.verify(), std::vector<std::string>{});
    for (size_t i = 0; i < pts.size(); ++i)
        EXPECT_EQ(static_cast<int64_t>(orv.video(0).framePts[i]), pts[i]);
}

TEST_F(EncoderFiles, FramesAreWrittenInAcceptanceOrderWhateverOrderTheyComplete) {
    // With one worker held back, the heap decides which queued slice runs
    // first; equal priorities are not first-in first-out, so later frames
    // complete before earlier ones and the writer must wait for them.
    std::vector<Picture> pictures;
    std::vector<int64_t> pts;
    for (int i = 0; i < 12; ++i) {
        pictures.push_back(makePicture(20, 8, 100 + i));
        pts.push_back(i * 10);
    }
    const std::string file = path();
    OrvEncoderParams_st encoderParams{1};
    OrvEnc* encoder = nullptr;
    ASSERT_EQ(orvEncoderOpen(file.c_str(), &encoderParams, &encoder), ORV_ERR_NONE);
    const OrvVideoStreamParams_st params =
        videoParams(20, 8, ORV_PIX_FMT_YCOCG_DXT5_ALPHA, ORV_COMPRESSION_NONE);
    int id = -1;
    ASSERT_EQ(orvAddVideoStream(encoder, &params, &id), ORV_ERR_NONE);
    ASSERT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);
    std::promise<void> open;
    class Gate : public brindle::TaskPool::Task {
    public:
        explicit Gate(std::shared_future<void> opened) : Task(100), opened(opened) {}
        void run() override { opened.wait(); }
        std::shared_future<void> opened;
    };
    encoder->getContext().pool.addTask(std::make_unique<Gate>(open.get_future().share()));
    for (size_t i = 0; i < pictures.size(); ++i) {
        OrvSrcFrame_st frame{20, 8, 80, ORV_SRC_PIX_FMT_RGBA32, 0, 0, pts[i],
                             hostBuffer(pictures[i], {})};
        ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
    }
    open.set_value();
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    orvEncoderClose(encoder);
    expectFramesMatch(orvread::OrvFile::open(file), formatCases[3], ORV_COMPRESSION_NONE,
                      pictures, pts);
}

TEST_F(EncoderFiles, AudioAndVideoShareOneFile) {
    const std::string file = path();
    OrvEncoderParams_st encoderParams{2};
    OrvEnc* encoder = nullptr;
    ASSERT_EQ(orvEncoderOpen(file.c_str(), &encoderParams, &encoder), ORV_ERR_NONE);
    OrvAudioStreamParams_st audioParams;
    orvInitAudioStreamParams(&audioParams);
    audioParams.sampleRate = 48000;
    audioParams.numChannels = 2;
    audioParams.channelLayout = ORV_CHANNEL_LAYOUT_STEREO;
    int audio = -1, video = -1;
    ASSERT_EQ(orvAddAudioStream(encoder, &audioParams, &audio), ORV_ERR_NONE);
    const OrvVideoStreamParams_st params =
        videoParams(16, 8, ORV_PIX_FMT_DXT5, ORV_COMPRESSION_SNAPPY);
    ASSERT_EQ(orvAddVideoStream(encoder, &params, &video), ORV_ERR_NONE);

    ASSERT_EQ(orvBeginStream(encoder, audio), ORV_ERR_NONE);
    OrvBuffer_st* samples = orvBufferAlloc(2 * 100 * sizeof(float));
    auto* planes = static_cast<float*>(orvBufferData(samples));
    for (int i = 0; i < 200; ++i) planes[i] = (i % 100) / 100.0f - 0.5f;
    OrvSrcFrame_st audioFrame{};
    audioFrame.numSamples = 100;
    audioFrame.buffer = samples;
    ASSERT_EQ(orvEncodeFrame(encoder, &audioFrame), ORV_ERR_NONE);
    orvBufferFree(samples);
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);

    const Picture picture = makePicture(16, 8, 11);
    ASSERT_EQ(orvBeginStream(encoder, video), ORV_ERR_NONE);
    OrvSrcFrame_st frame{16, 8, 64, ORV_SRC_PIX_FMT_RGBA32, 0, 0, 5, hostBuffer(picture, {})};
    ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
    ASSERT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
    orvEncoderClose(encoder);

    const orvread::OrvFile orv = orvread::OrvFile::open(file);
    EXPECT_EQ(orv.verify(), std::vector<std::string>{});
    ASSERT_EQ(orv.sections().size(), 2u);
    EXPECT_EQ(orv.sections()[0].type, 3);
    EXPECT_EQ(orv.sections()[1].type, 2);
    const std::vector<int16_t> pcm = orv.readSamples(orv.audio(0));
    ASSERT_EQ(pcm.size(), 200u);
    EXPECT_EQ(pcm[0], -16384);  // -0.5 in channel 0
    EXPECT_EQ(pcm[2], static_cast<int16_t>((1 / 100.0f - 0.5f) * 32768));
    expectFramesMatch(orv, formatCases[2], ORV_COMPRESSION_SNAPPY, {picture}, {5});
}

TEST_F(EncoderFiles, DecodedPicturesAreCloseToTheSource) {
    const Picture picture = makePicture(36, 20, 12);
    for (const FormatCase& formatCase : formatCases) {
        const std::string file = path(std::to_string(formatCase.format));
        encodeFile(file, videoParams(36, 20, formatCase.format, ORV_COMPRESSION_LZ4), {picture},
                   {0});
        const orvread::OrvFile orv = orvread::OrvFile::open(file);
        const std::vector<uint8_t> decoded = orv.decodeFrame(orv.video(0), 0);
        ASSERT_EQ(decoded.size(), picture.rgba.size());
        double squared = 0;
        for (size_t i = 0; i < decoded.size(); ++i) {
            if (i % 4 == 3 && formatCase.format != ORV_PIX_FMT_DXT5 &&
                formatCase.format != ORV_PIX_FMT_YCOCG_DXT5_ALPHA)
                continue;  // no alpha in the texture
            const double d = double(decoded[i]) - double(picture.rgba[i]);
            squared += d * d;
        }
        const double rmse = std::sqrt(squared / double(decoded.size()));
        EXPECT_LT(rmse, 40.0) << formatCase.format;  // noisy content, lossy formats
    }
}
