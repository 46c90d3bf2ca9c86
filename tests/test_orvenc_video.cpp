// The video stream through the C interface: setup and its refusals, frames
// and handed-in frame records checked before they are taken, failing tasks.

#include "host_session.hpp"

namespace {

using orvtest::videoParams;

const auto* const logFile = ::testing::AddGlobalTestEnvironment(new orvtest::LogFile);

// A frame of RGBA pixels with some structure, in a host buffer of its own.
OrvSrcFrame_st frameOf(uint32_t width, uint32_t height, int64_t pts) {
    return {width, height, width * 4, ORV_SRC_PIX_FMT_RGBA32, 0, 0, pts,
            hostsession::makePicture(height, width * 4, static_cast<int>(pts))};
}

// Sessions with one worker.
class VideoSession : public hostsession::SessionTest {
protected:
    void SetUp() override { open(1); }
    int addVideo(const OrvVideoStreamParams_st& params) {
        int id = -1;
        EXPECT_EQ(orvAddVideoStream(encoder, &params, &id), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
        return id;
    }
};

}  // namespace

TEST_F(VideoSession, ParametersAreRefusedInTheirOrderAndTheBoundsAccepted) {
    OrvVideoStreamParams_st params;
    int id = 99;
    using P = OrvVideoStreamParams_st&;
    constexpr OrvError_enum dims = ORV_ERR_INVALID_DIMENSIONS, timebase = ORV_ERR_INVALID_TIMEBASE;
    const char* const tooLarge = "frame record too large for the index";
    const struct { void (*change)(P); OrvError_enum code; const char* message;
    } cases[] = {
        {[](P p) { p.width = 0, p.timebaseNum = 0; }, ORV_ERR_UNKNOWN, "bad frame dimensions"},
        {[](P p) { p.height = 0; }, ORV_ERR_UNKNOWN, "bad frame dimensions"},
        {[](P p) { p.width = 65536; }, dims, "frame dimensions too large"},
        {[](P p) { p.height = 70000; }, dims, "frame dimensions too large"},
        {[](P p) { p.timebaseNum = 0; }, timebase, "invalid timebase"},
        {[](P p) { p.timebaseNum = -1; }, timebase, "invalid timebase"},
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
        {[](P p) { p.width = p.height = 65535, p.format = ORV_PIX_FMT_DXT5, p.compression = 0; },
         dims, tooLarge},
        {[](P p) { p.width = p.height = 65535, p.format = ORV_PIX_FMT_YCOCG_DXT5_ALPHA, p.compression = 0; },
         dims, tooLarge},
        {[](P p) { p.width = 65535, p.height = 65408, p.format = ORV_PIX_FMT_DXT5; }, dims, tooLarge},
        {[](P p) { p.width = 65535, p.height = 65408, p.format = ORV_PIX_FMT_DXT5, p.compression = 1; },
         dims, tooLarge},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        params = videoParams(64, 64);
        cases[i].change(params);
        expectFailure(orvAddVideoStream(encoder, &params, &id), cases[i].code, cases[i].message);
    }
    EXPECT_EQ(id, 99);
    params = videoParams(65535, 65408, ORV_PIX_FMT_DXT5, ORV_COMPRESSION_NONE);
    params.aspectRatio = 0.01;
    EXPECT_EQ(addVideo(params), 0);
    // The stream's log line describes its grid.
    params = videoParams(3840, 2160);
    params.aspectRatio = 10.0;
    params.fpsNum = params.fpsDen = 0;
    const orvtest::LogCapture log;
    EXPECT_EQ(addVideo(params), 1);
    EXPECT_EQ(log.text(), "*** stream 1: 3840x2160, slices: 2x1, width: 1920, height: 2160, "
                          "max parallel: 16, fps: -nan, timebase: 1/25\n");
}

TEST_F(VideoSession, FramesAndRecordsAreCheckedBeforeTheyAreTakenAndOnlyWhileTheStreamIsOpen) {
    using namespace orvtest;
    const int video = addVideo(videoParams(16, 8));  // BC1 with LZ4, one slice
    const OrvAudioStreamParams_st audio{8000, 1, 0, 1, 8000};
    int audioId = -1;
    ASSERT_EQ(orvAddAudioStream(encoder, &audio, &audioId), ORV_ERR_NONE);
    const Bytes blocks(64, 0x3C), good = frameRecord(16, 8, 16, 8, {textureSection(bc1, lz4Coded, blocks)});
    const auto hand = [&](const Bytes& bytes, int64_t pts, size_t size = 0) {
        return orvEncodeFrameRecord(encoder, bytes.data(), size ? size : bytes.size(), pts);
    };
    ASSERT_EQ(orvBeginStream(encoder, audioId), ORV_ERR_NONE);
    expectFailure(hand(good, 0), ORV_ERR_UNKNOWN, "frame records go to a video stream");
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    ASSERT_EQ(orvBeginStream(encoder, video), ORV_ERR_NONE);
    using F = OrvSrcFrame_st&;
    constexpr OrvError_enum dims = ORV_ERR_INVALID_DIMENSIONS;
    const struct { void (*change)(F); OrvError_enum code; const char* message; } frames[] = {
        {[](F f) { f.width = 20; }, dims, "frame dimensions do not match stream params"},
        {[](F f) { f.origin = 2; }, ORV_ERR_UNKNOWN, "bad origin on frame"},
        {[](F f) { f.buffer = nullptr; }, dims, "frame has no buffer"},
        {[](F f) { f.stride = 63; }, dims, "frame stride too small"},
        {[](F f) { f.stride = 65; }, dims, "frame buffer too small"},
    };
    const OrvSrcFrame_st picture = frameOf(16, 8, 8);
    for (const auto& c : frames) {
        OrvSrcFrame_st frame = picture;
        c.change(frame);
        expectFailure(orvEncodeFrame(encoder, &frame), c.code, c.message);
    }
    // The record rules are the reader's; what differs is the stream they are held to.
    expectFailure(
        hand(frameRecord(16, 8, 16, 8, {textureSection(bc1, snappyCoded, blocks)}), 1), ORV_ERR_UNKNOWN,
        "invalid frame record: offset 14: slice 0: section types 0xBB, expected 0xFB as in the stream");
    expectFailure(orvEncodeFrameRecord(encoder, nullptr, 10, 1), ORV_ERR_UNKNOWN,
                  "invalid argument: record is null");
    // Refused by its size alone, before any byte of it is read.
    expectFailure(hand(good, 1, size_t{1} << 32), dims, "frame record too large for the index");
    // What is accepted is written as it was handed in, numbered after the
    // refusals as if they had never been; refused pictures stay the host's.
    ASSERT_EQ(hand(good, -7), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
    ASSERT_EQ(orvEncodeFrame(encoder, &picture), ORV_ERR_NONE);
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    ASSERT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
    const Reader reader(path);
    EXPECT_EQ(reader.problems(), std::vector<std::string>{});
    ASSERT_EQ(reader.video(1).frameCount, 2u);  // after the audio section
    EXPECT_EQ(reader.record(1, 0), good);
    EXPECT_EQ(std::pair(reader.pts(1, 0), reader.pts(1, 1)), std::pair(int64_t{-7}, int64_t{8}));
}

// The status line's figures are the whole frame's, every texture counted:
// the reader's decode of this frame differs from the host's pixels by these.
TEST_F(VideoSession, TheStatusLineShowsThePsnrOfAllTheFramesTextures) {
    ASSERT_EQ(orvBeginStream(encoder, addVideo(videoParams(16, 8, ORV_PIX_FMT_YCOCG_DXT5_ALPHA))),
              ORV_ERR_NONE);
    const orvtest::LogCapture log;
    const OrvSrcFrame_st frame = frameOf(16, 8, 0);
    ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    orvtest::expectHas(log.text(), {"psnr:  27.86dB, rmse:  10.32"});
}

TEST_F(VideoSession, AFailingTaskSurfacesOnTheNextFrameAndAtTheEnd) {
    // 18 wide: the slice task copies, and refuses the format. Failing
    // encode tasks and failed allocations in tasks are swept in
    // test_fault_injection.
    OrvVideoStreamParams_st params = videoParams(18, 16);
    params.maxParallel = 0;  // the next frame waits for the failed one
    ASSERT_EQ(orvBeginStream(encoder, addVideo(params)), ORV_ERR_NONE);
    OrvSrcFrame_st failing = frameOf(18, 16, 0);
    failing.pixFmt = 6;
    const OrvSrcFrame_st next = frameOf(18, 16, 1);
    ASSERT_EQ(orvEncodeFrame(encoder, &failing), ORV_ERR_NONE);
    expectFailure(orvEncodeFrame(encoder, &next), ORV_ERR_UNKNOWN, "unknown pixel format");
    orvBufferFree(next.buffer);  // refused: still the host's
    expectFailure(orvEndStream(encoder), ORV_ERR_UNKNOWN, "unknown pixel format");
    // The stream is closed all the same; the session goes on.
    EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
}
