// The video stream through the C interface: setup and its refusals, frame
// intake with back-pressure, failures of tasks and writes, the log lines.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "brindle.hpp"
#include "orv.h"
#include "orvenc.hpp"
#include "test_support.hpp"

namespace {

using orvtest::videoParams;

const auto* const logFile = ::testing::AddGlobalTestEnvironment(new orvtest::LogFile);

// A frame of RGBA pixels with some structure, in a host buffer of its own.
OrvSrcFrame_st frameOf(uint32_t width, uint32_t height, int64_t pts, uint32_t stride = 0) {
    stride = stride ? stride : width * 4;
    OrvBuffer_st* buffer = orvBufferAlloc(size_t{stride} * height);
    auto* data = static_cast<uint8_t*>(orvBufferData(buffer));
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < stride; ++x)
            data[size_t{y} * stride + x] = static_cast<uint8_t>(x * 7 + y * 3 + pts * 31);
    return {width, height, stride, ORV_SRC_PIX_FMT_RGBA32, 0, 0, pts, buffer};
}

// A session with one worker, closed at the end.
class VideoSession : public ::testing::Test {
protected:
    void TearDown() override { orvEncoderClose(encoder); }
    // Opens a fresh session, closing the previous one.
    void open() {
        orvEncoderClose(encoder);
        const OrvEncoderParams_st params{1};
        ASSERT_EQ(orvEncoderOpen(dir.path("out.orv").c_str(), &params, &encoder), ORV_ERR_NONE);
    }
    int addVideo(const OrvVideoStreamParams_st& params) {
        int id = -1;
        EXPECT_EQ(orvAddVideoStream(encoder, &params, &id), ORV_ERR_NONE)
            << orvGetErrorMessage(encoder);
        return id;
    }
    void beginVideo(const OrvVideoStreamParams_st& params) {
        ASSERT_NO_FATAL_FAILURE(open());
        ASSERT_EQ(orvBeginStream(encoder, addVideo(params)), ORV_ERR_NONE);
    }
    void expectRefused(const OrvVideoStreamParams_st& params, OrvError_enum code,
                       const char* message) {
        int id = 99;
        EXPECT_EQ(orvAddVideoStream(encoder, &params, &id), code);
        EXPECT_STREQ(orvGetErrorMessage(encoder), message);
        EXPECT_EQ(id, 99);
    }
    // Encodes the frame; its buffer is freed if refused.
    OrvError_enum encode(const OrvSrcFrame_st& frame) {
        const OrvError_enum result = orvEncodeFrame(encoder, &frame);
        if (result != ORV_ERR_NONE) orvBufferFree(frame.buffer);
        return result;
    }
    OrvError_enum encode(uint32_t width, uint32_t height, int64_t pts) {
        return encode(frameOf(width, height, pts));
    }

    orvtest::TempDir dir;
    OrvEnc* encoder = nullptr;
};

}  // namespace

// ---- Setup --------------------------------------------------------------------

TEST_F(VideoSession, ParametersAreRefusedInTheirOrderAndTheBoundsAccepted) {
    open();
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    expectRefused(params, ORV_ERR_UNKNOWN, "bad frame dimensions");
    params.width = params.height = 64;
    expectRefused(params, ORV_ERR_INVALID_TIMEBASE, "invalid timebase");

    using P = OrvVideoStreamParams_st&;
    struct Case { void (*change)(P); OrvError_enum code; const char* message; };
    const Case cases[] = {
        // The size is checked before anything else.
        {[](P p) { p.width = 0; p.timebaseNum = 0; }, ORV_ERR_UNKNOWN, "bad frame dimensions"},
        {[](P p) { p.width = 65536; }, ORV_ERR_INVALID_DIMENSIONS, "frame dimensions too large"},
        {[](P p) { p.height = 70000; }, ORV_ERR_INVALID_DIMENSIONS, "frame dimensions too large"},
        {[](P p) { p.timebaseNum = 0; }, ORV_ERR_INVALID_TIMEBASE, "invalid timebase"},
        {[](P p) { p.timebaseDen = 0; }, ORV_ERR_INVALID_TIMEBASE, "invalid timebase"},
        {[](P p) { p.timebaseNum = -1; }, ORV_ERR_INVALID_TIMEBASE, "invalid timebase"},
        {[](P p) { p.aspectRatio = 0.009; }, ORV_ERR_INVALID_ASPECT_RATIO, "invalid aspect ratio"},
        {[](P p) { p.aspectRatio = 10.01; }, ORV_ERR_INVALID_ASPECT_RATIO, "invalid aspect ratio"},
        {[](P p) { p.device = 0; }, ORV_ERR_UNSUPPORTED_DEVICE, "unsupported encode device"},
        {[](P p) { p.format = 4; }, ORV_ERR_UNKNOWN, "no encoder for format"},
        {[](P p) { p.compression = 3; }, ORV_ERR_UNKNOWN_ORV_COMPRESSION_FORMAT,
         "unknown compression format"},
        // A record is a 10-byte header, 4 bytes per slice, and per slice a
        // 4-byte Hap header and the texture at its coder's worst case: at
        // 65535 a side, 32 x 32 slices of 2048 x 2048, so DXT5 needs 2^32 +
        // 8202 bytes; 65408 rows need 4286595082 bytes uncompressed, but LZ4
        // may add 1/255 + 20 and snappy 1/6 + 32 per texture.
        {[](P p) { p.width = p.height = 65535; p.format = ORV_PIX_FMT_DXT5; p.compression = 0; },
         ORV_ERR_INVALID_DIMENSIONS, "frame record too large for the index"},
        {[](P p) { p.width = p.height = 65535; p.format = ORV_PIX_FMT_YCOCG_DXT5_ALPHA; p.compression = 0; },
         ORV_ERR_INVALID_DIMENSIONS, "frame record too large for the index"},
        {[](P p) { p.width = 65535; p.height = 65408; p.format = ORV_PIX_FMT_DXT5; },
         ORV_ERR_INVALID_DIMENSIONS, "frame record too large for the index"},
        {[](P p) { p.width = 65535; p.height = 65408; p.format = ORV_PIX_FMT_DXT5; p.compression = 1; },
         ORV_ERR_INVALID_DIMENSIONS, "frame record too large for the index"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        params = videoParams(64, 64);
        cases[i].change(params);
        expectRefused(params, cases[i].code, cases[i].message);
    }

    params = videoParams(65535, 65408, ORV_PIX_FMT_DXT5, ORV_COMPRESSION_NONE);
    params.aspectRatio = 0.01;
    EXPECT_EQ(addVideo(params), 0);
    // The stream's log line describes its grid.
    params = videoParams(3840, 2160);
    params.aspectRatio = 10.0;
    params.fpsNum = params.fpsDen = 0;
    const orvtest::LogCapture log;
    EXPECT_EQ(addVideo(params), 1);
    EXPECT_NE(log.text().find("*** stream 1: 3840x2160, slices: 2x1, width: 1920, height: 2160, "
                              "max parallel: 16, fps: -nan, timebase: 1/25\n"),
              std::string::npos)
        << log.text();
}

// ---- Frame intake --------------------------------------------------------------

TEST_F(VideoSession, FramesAreCheckedBeforeTheyAreTakenAndOnlyWhileTheStreamIsOpen) {
    ASSERT_NO_FATAL_FAILURE(beginVideo(videoParams(16, 16)));
    using F = OrvSrcFrame_st&;
    constexpr OrvError_enum dims = ORV_ERR_INVALID_DIMENSIONS;
    const struct { void (*change)(F); OrvError_enum code; const char* message; } cases[] = {
        {[](F f) { f.width = 20; }, dims, "frame dimensions do not match stream params"},
        {[](F f) { f.height = 12; }, dims, "frame dimensions do not match stream params"},
        {[](F f) { f.origin = 2; }, ORV_ERR_UNKNOWN, "bad origin on frame"},
        {[](F f) { f.buffer = nullptr; }, dims, "frame has no buffer"},
        {[](F f) { f.stride = 63; }, dims, "frame stride too small"},
        {[](F f) { f.stride = 65; }, dims, "frame buffer too small"},
    };
    const OrvSrcFrame_st good = frameOf(16, 16, 0);
    for (const auto& c : cases) {
        OrvSrcFrame_st frame = good;
        c.change(frame);
        EXPECT_EQ(orvEncodeFrame(encoder, &frame), c.code) << c.message;
        EXPECT_STREQ(orvGetErrorMessage(encoder), c.message);
    }
    // Refused frames leave the buffer with the host, which can still use it.
    EXPECT_EQ(orvEncodeFrame(encoder, &good), ORV_ERR_NONE);
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    // The session no longer passes frames to an ended stream.
    EXPECT_EQ(encode(16, 16, 1), ORV_ERR_UNKNOWN);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "missing call to beginStream()");
}

TEST_F(VideoSession, FrameRecordsAreCheckedAgainstTheStreamAsAReaderChecksThem) {
    // The stream: 16x8 BC1 with LZ4, one slice. Records are built byte by
    // byte; a refused one leaves nothing behind.
    using namespace orvtest;
    const Bytes blocks(64, 0x3C);
    const auto record = [](uint16_t width, uint16_t sliceWidth, const std::vector<Bytes>& haps) {
        return frameRecord(width, 8, sliceWidth, 8, haps);
    };
    const Bytes good = record(16, 16, {textureSection(bc1, lz4Coded, blocks)});
    const std::string invalid = "invalid frame record: offset ";
    const struct {
        Bytes bytes;
        std::string message;
    } refusals[] = {
        // The rules are the reader's; what differs is the stream they are held to.
        {record(16, 8, {textureSection(bc1, lz4Coded, Bytes(32)), textureSection(bc1, lz4Coded, Bytes(32))}),
         invalid + "6: slice size 8x8 differs from the stream's 16x8"},
        {record(16, 16, {textureSection(bc1, snappyCoded, blocks)}),
         invalid + "14: slice 0: section types 0xBB, expected 0xFB as in the stream"},
        {record(16, 16, {alphaHapFrame(lz4Coded, Bytes(128), blocks)}),
         invalid + "14: slice 0: section types 0x0D[0xFF 0xF1], expected 0xFB as in the stream"},
        {Bytes(good.begin(), good.begin() + 9),
         invalid + "0: frame record of 9 bytes is shorter than its 10-byte head"},
    };
    const auto hand = [&](const Bytes& bytes, int64_t pts, size_t size = 0) {
        return orvEncodeFrameRecord(encoder, bytes.data(), size ? size : bytes.size(), pts);
    };
    ASSERT_NO_FATAL_FAILURE(open());
    const int video = addVideo(videoParams(16, 8));
    int audio = -1;
    OrvAudioStreamParams_st audioParams;
    orvInitAudioStreamParams(&audioParams);
    audioParams.sampleRate = 8000;
    audioParams.numChannels = 1;
    ASSERT_EQ(orvAddAudioStream(encoder, &audioParams, &audio), ORV_ERR_NONE);
    EXPECT_EQ(hand(good, 0), ORV_ERR_UNKNOWN);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "missing call to beginStream()");
    ASSERT_EQ(orvBeginStream(encoder, audio), ORV_ERR_NONE);
    EXPECT_EQ(hand(good, 0), ORV_ERR_UNKNOWN);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "frame records go to a video stream");
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);

    ASSERT_EQ(orvBeginStream(encoder, video), ORV_ERR_NONE);
    for (const auto& c : refusals) {
        EXPECT_EQ(hand(c.bytes, 1), ORV_ERR_UNKNOWN) << c.message;
        EXPECT_EQ(orvGetErrorMessage(encoder), c.message);
    }
    EXPECT_EQ(orvEncodeFrameRecord(encoder, nullptr, 10, 1), ORV_ERR_UNKNOWN);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "invalid argument: record is null");
    // Refused by its size alone, before any byte of it is read.
    EXPECT_EQ(hand(good, 1, size_t{1} << 32), ORV_ERR_INVALID_DIMENSIONS);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "frame record too large for the index");

    // What is accepted is written as it was handed in, numbered after the
    // refusals as if they had never been.
    ASSERT_EQ(hand(good, -7), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
    ASSERT_EQ(encode(16, 8, 8), ORV_ERR_NONE);
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    EXPECT_EQ(hand(good, 9), ORV_ERR_UNKNOWN);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "missing call to beginStream()");
    ASSERT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
    const Reader reader(dir.path("out.orv"));
    EXPECT_EQ(reader.problems(), std::vector<std::string>{});
    ASSERT_EQ(reader.video(1).frameCount, 2u);
    EXPECT_EQ(reader.record(1, 0), good);
    int64_t pts[2] = {};
    for (uint32_t k = 0; k < 2; ++k) orvReaderGetFramePts(reader.handle, 1, k, &pts[k]);
    EXPECT_EQ(std::pair(pts[0], pts[1]), std::pair(int64_t{-7}, int64_t{8}));
}

// ---- Failures -------------------------------------------------------------------

TEST_F(VideoSession, AFailingTaskSurfacesOnTheNextFrameAndAtTheEnd) {
    struct Case { const char* message; uint32_t width, pixFmt, bytesPerPixel; long failAfter; };
    const Case cases[] = {
        // Sliced, then refused by the block encoder.
        {"unsupported source pixel format", 16, ORV_SRC_PIX_FMT_RGB24, 3, -1},
        // 18 wide: the slice task copies, and refuses the format, or finds
        // no memory for the copy.
        {"unknown pixel format", 18, 6, 4, -1},
        {"failed to allocate memory", 18, ORV_SRC_PIX_FMT_RGBA32, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        OrvVideoStreamParams_st params = videoParams(c.width, 16);
        params.maxParallel = 0;  // the next frame waits for the failed one
        ASSERT_NO_FATAL_FAILURE(beginVideo(params));
        OrvSrcFrame_st failing = frameOf(c.width, 16, 0, c.width * c.bytesPerPixel);
        failing.pixFmt = c.pixFmt;
        const OrvSrcFrame_st next = frameOf(c.width, 16, 1);  // made before the hook is armed
        {
            const orvtest::AllocationFailureGuard guard(c.failAfter);
            ASSERT_EQ(orvEncodeFrame(encoder, &failing), ORV_ERR_NONE);
            EXPECT_EQ(encode(next), ORV_ERR_UNKNOWN);
        }
        EXPECT_STREQ(orvGetErrorMessage(encoder), c.message);
        EXPECT_EQ(orvEndStream(encoder), ORV_ERR_UNKNOWN);
        EXPECT_STREQ(orvGetErrorMessage(encoder), c.message);
        // The stream is closed all the same; the session goes on.
        EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
    }
}

// ---- Status line ----------------------------------------------------------------

TEST_F(VideoSession, TheStatusLineShowsEachFramesExactPsnr) {
    // The figure the decoders give for every block of every texture, over
    // the channels each texture carries, against the host's pixels.
    TextureDspEnc dsp{};
    ff_texturedspenc_init(&dsp);
    enum Plane { bc1, bc3, ycocg, bc4 };
    const struct {
        uint32_t format;
        std::vector<Plane> planes;
    } cases[] = {{ORV_PIX_FMT_DXT1, {bc1}},
                 {ORV_PIX_FMT_YCOCG_DXT5, {ycocg}},
                 {ORV_PIX_FMT_DXT5, {bc3}},
                 {ORV_PIX_FMT_YCOCG_DXT5_ALPHA, {ycocg, bc4}}};
    for (const auto& [format, planes] : cases) {
        SCOPED_TRACE("format " + std::to_string(format));
        ASSERT_NO_FATAL_FAILURE(beginVideo(videoParams(16, 8, format)));
        const orvtest::LogCapture log;
        std::string expected;
        for (int64_t pts = 0; pts < 3; ++pts) {
            const OrvSrcFrame_st frame = frameOf(16, 8, pts);
            const auto* pixels = static_cast<const uint8_t*>(orvBufferData(frame.buffer));
            uint64_t sum = 0;
            for (unsigned block = 0; block < 8; ++block)
                for (const Plane plane : planes) {
                    const uint8_t* source = pixels + (block / 4) * 4 * 64 + (block % 4) * 16;
                    uint8_t encoded[16], decoded[64];
                    switch (plane) {
                        case bc1: dsp.dxt1_block(encoded, 64, source), brindle::decodeBC1RGB(encoded, decoded); break;
                        case bc3: dsp.dxt5_block(encoded, 64, source), brindle::decodeBC3RGBA(encoded, decoded); break;
                        case ycocg: dsp.dxt5ys_block(encoded, 64, source), brindle::decodeBC3YCOGR(encoded, decoded); break;
                        case bc4: dsp.dxt5_block(encoded, 64, source), brindle::decodeBC4RGBA(encoded, decoded); break;
                    }
                    for (int k = 0; k < 64; ++k) {
                        const bool carried = plane == bc3 || (plane == bc4) == (k % 4 == 3);
                        const int d = source[(k / 16) * 64 + k % 16] - decoded[k];
                        if (carried) sum += static_cast<uint64_t>(d * d);
                    }
                }
            const double rmse = std::sqrt(static_cast<double>(sum) / (16 * 8 * 4));
            char figures[64];
            std::snprintf(figures, sizeof figures, "psnr: %6.2fdB, rmse: %6.2f",
                          20 * std::log10(255 / rmse), rmse);
            expected += figures;
            ASSERT_EQ(encode(frame), ORV_ERR_NONE);
        }
        ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
        std::string shown;
        for (size_t at = log.text().find("psnr: "); at != std::string::npos;
             at = log.text().find("psnr: ", at + 1))
            shown += log.text().substr(at, expected.size() / 3);
        EXPECT_EQ(shown, expected) << log.text();
    }
}
