// The video stream through the C interface: setup and its refusals, frame
// intake with back-pressure, failures of tasks and writes, the log lines.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "orv.h"
#include "buffer_pool.hpp"
#include "orvenc.hpp"
#include "task_pool.hpp"
#include "test_support.hpp"

namespace {

using orvtest::videoParams;

std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "orv_video_" + name;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

// A host buffer of RGBA pixels with some structure.
OrvBuffer_st* makePixels(uint32_t height, uint32_t stride, int seed) {
    OrvBuffer_st* buffer = orvBufferAlloc(size_t{stride} * height);
    auto* data = static_cast<uint8_t*>(orvBufferData(buffer));
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < stride; ++x)
            data[size_t{y} * stride + x] = static_cast<uint8_t>(x * 7 + y * 3 + seed * 31);
    return buffer;
}

OrvSrcFrame_st frameOf(uint32_t width, uint32_t height, OrvBuffer_st* buffer, int64_t pts) {
    OrvSrcFrame_st frame{};
    frame.width = width;
    frame.height = height;
    frame.stride = width * 4;
    frame.pixFmt = ORV_SRC_PIX_FMT_RGBA32;
    frame.pts = pts;
    frame.buffer = buffer;
    return frame;
}

// An open session with one worker, closed (and its file removed) at the end.
class VideoSession : public ::testing::Test {
protected:
    void open(uint32_t threads = 1) {
        OrvEncoderParams_st params{threads};
        ASSERT_EQ(orvEncoderOpen(path.c_str(), &params, &encoder), ORV_ERR_NONE);
    }
    void TearDown() override {
        orvEncoderClose(encoder);
        std::remove(path.c_str());
    }
    int addVideo(const OrvVideoStreamParams_st& params) {
        int id = -1;
        EXPECT_EQ(orvAddVideoStream(encoder, &params, &id), ORV_ERR_NONE)
            << orvGetErrorMessage(encoder);
        return id;
    }
    void expectRefused(const OrvVideoStreamParams_st& params, OrvError_enum code,
                       const char* message) {
        int id = 99;
        EXPECT_EQ(orvAddVideoStream(encoder, &params, &id), code);
        EXPECT_STREQ(orvGetErrorMessage(encoder), message);
        EXPECT_EQ(id, 99);
    }
    // Encodes a frame of the stream's size; the buffer is freed if refused.
    OrvError_enum encode(uint32_t width, uint32_t height, int64_t pts) {
        OrvBuffer_st* pixels = makePixels(height, width * 4, static_cast<int>(pts));
        OrvSrcFrame_st frame = frameOf(width, height, pixels, pts);
        OrvError_enum result = orvEncodeFrame(encoder, &frame);
        if (result != ORV_ERR_NONE) orvBufferFree(pixels);
        return result;
    }

    std::string path = tempPath(::testing::UnitTest::GetInstance()->current_test_info()->name());
    OrvEnc* encoder = nullptr;
};

// Keeps the session's only worker busy until released, so that no frame
// can complete meanwhile.
class PoolGate {
public:
    explicit PoolGate(OrvEnc* encoder) {
        class Wait : public brindle::TaskPool::Task {
        public:
            explicit Wait(std::shared_future<void> opened) : Task(100), opened(opened) {}
            void run() override { opened.wait(); }
            std::shared_future<void> opened;
        };
        encoder->getContext().pool.addTask(std::make_unique<Wait>(promise.get_future().share()));
    }
    ~PoolGate() { release(); }
    void release() {
        if (!released) promise.set_value();
        released = true;
    }

private:
    std::promise<void> promise;
    bool released = false;
};

}  // namespace

// ---- Setup --------------------------------------------------------------------

TEST_F(VideoSession, ParametersAreRefusedInTheirOrder) {
    open();
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    expectRefused(params, ORV_ERR_UNKNOWN, "bad frame dimensions");
    params.width = 64;
    params.height = 64;
    expectRefused(params, ORV_ERR_INVALID_TIMEBASE, "invalid timebase");

    params = videoParams(0, 64);
    params.timebaseNum = 0;  // the size is checked before anything else
    expectRefused(params, ORV_ERR_UNKNOWN, "bad frame dimensions");

    for (auto [num, den] : {std::pair<int64_t, int64_t>{0, 1}, {1, 0}, {-1, 25}}) {
        params = videoParams(64, 64);
        params.timebaseNum = num;
        params.timebaseDen = den;
        expectRefused(params, ORV_ERR_INVALID_TIMEBASE, "invalid timebase");
    }
    for (double aspect : {0.009, 10.01}) {
        params = videoParams(64, 64);
        params.aspectRatio = aspect;
        expectRefused(params, ORV_ERR_INVALID_ASPECT_RATIO, "invalid aspect ratio");
    }
    params = videoParams(64, 64);
    params.device = 0;
    expectRefused(params, ORV_ERR_UNSUPPORTED_DEVICE, "unsupported encode device");
    params = videoParams(64, 64);
    params.format = 4;
    expectRefused(params, ORV_ERR_UNKNOWN, "no encoder for format");
    params = videoParams(64, 64);
    params.compression = 3;
    expectRefused(params, ORV_ERR_UNKNOWN_ORV_COMPRESSION_FORMAT, "unknown compression format");
}

TEST_F(VideoSession, SizesTheFileCannotHoldAreRefused) {
    open();
    expectRefused(videoParams(65536, 64), ORV_ERR_INVALID_DIMENSIONS, "frame dimensions too large");
    expectRefused(videoParams(64, 70000), ORV_ERR_INVALID_DIMENSIONS, "frame dimensions too large");
    EXPECT_EQ(addVideo(videoParams(65535, 4)), 0);
}

TEST_F(VideoSession, AspectRatioBoundsAreAccepted) {
    open();
    OrvVideoStreamParams_st params = videoParams(64, 64);
    params.aspectRatio = 0.01;
    EXPECT_EQ(addVideo(params), 0);
    params.aspectRatio = 10.0;
    EXPECT_EQ(addVideo(params), 1);
}

TEST_F(VideoSession, PreferredSourceFormatsAreRgbaAndBgra) {
    open();
    const int id = addVideo(videoParams(64, 64));
    const int32_t* formats = orvGetPreferredSrcPixFmts(encoder, id);
    ASSERT_NE(formats, nullptr);
    EXPECT_EQ(formats[0], 1);
    EXPECT_EQ(formats[1], 3);
    EXPECT_EQ(formats[2], -1);
}

TEST_F(VideoSession, StreamLogLineDescribesTheGrid) {
    const std::string logPath = path + ".log";
    brindle::logOpen(logPath.c_str());
    open();
    OrvVideoStreamParams_st params = videoParams(3840, 2160);
    params.fpsNum = 0;
    params.fpsDen = 0;
    addVideo(params);
    brindle::logClose();
    const std::string log = readFile(logPath);
    std::remove(logPath.c_str());
    EXPECT_NE(log.find("*** stream 0: 3840x2160, slices: 2x1, width: 1920, height: 2160, max "
                       "parallel: 16, fps: -nan, timebase: 1/25\n"),
              std::string::npos)
        << log;
}

// ---- Frame intake --------------------------------------------------------------

TEST_F(VideoSession, FramesAreCheckedBeforeTheyAreTaken) {
    open();
    const int id = addVideo(videoParams(16, 16));
    ASSERT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);

    struct Case {
        const char* what;
        void (*change)(OrvSrcFrame_st&);
        OrvError_enum code;
        const char* message;
    };
    const Case cases[] = {
        {"width", [](OrvSrcFrame_st& f) { f.width = 20; }, ORV_ERR_INVALID_DIMENSIONS,
         "frame dimensions do not match stream params"},
        {"height", [](OrvSrcFrame_st& f) { f.height = 12; }, ORV_ERR_INVALID_DIMENSIONS,
         "frame dimensions do not match stream params"},
        {"origin", [](OrvSrcFrame_st& f) { f.origin = 2; }, ORV_ERR_UNKNOWN, "bad origin on frame"},
        {"buffer", [](OrvSrcFrame_st& f) { f.buffer = nullptr; }, ORV_ERR_INVALID_DIMENSIONS,
         "frame has no buffer"},
        {"stride", [](OrvSrcFrame_st& f) { f.stride = 63; }, ORV_ERR_INVALID_DIMENSIONS,
         "frame stride too small"},
        {"buffer size", [](OrvSrcFrame_st& f) { f.stride = 65; }, ORV_ERR_INVALID_DIMENSIONS,
         "frame buffer too small"},
    };
    OrvBuffer_st* pixels = makePixels(16, 64, 0);
    for (const Case& c : cases) {
        OrvSrcFrame_st frame = frameOf(16, 16, pixels, 0);
        c.change(frame);
        EXPECT_EQ(orvEncodeFrame(encoder, &frame), c.code) << c.what;
        EXPECT_STREQ(orvGetErrorMessage(encoder), c.message) << c.what;
    }
    // Refused frames leave the buffer with the host, which can still use it.
    OrvSrcFrame_st frame = frameOf(16, 16, pixels, 0);
    EXPECT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
}

TEST_F(VideoSession, AClosedStreamRefusesFrames) {
    open();
    const std::string logPath = path + ".log";
    const int id = addVideo(videoParams(16, 16));
    ASSERT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);
    ASSERT_EQ(encode(16, 16, 0), ORV_ERR_NONE);
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    // The session no longer passes frames to an ended stream.
    EXPECT_EQ(encode(16, 16, 1), ORV_ERR_UNKNOWN);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "missing call to beginStream()");
}

TEST_F(VideoSession, MaxParallelZeroWaitsForTheWriterToTakeEachFrame) {
    open();
    OrvVideoStreamParams_st params = videoParams(16, 16);
    params.maxParallel = 0;
    ASSERT_EQ(orvBeginStream(encoder, addVideo(params)), ORV_ERR_NONE);
    PoolGate gate(encoder);
    ASSERT_EQ(encode(16, 16, 0), ORV_ERR_NONE);  // nothing queued yet: accepted at once
    auto second = std::async(std::launch::async, [this] { return encode(16, 16, 1); });
    EXPECT_EQ(second.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
        << "the second frame must wait while the first is queued";
    gate.release();
    EXPECT_EQ(second.get(), ORV_ERR_NONE);
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
}

TEST_F(VideoSession, MaxParallelSixteenBlocksTheEighteenthFrame) {
    open();
    ASSERT_EQ(orvBeginStream(encoder, addVideo(videoParams(16, 16))), ORV_ERR_NONE);
    PoolGate gate(encoder);
    for (int i = 0; i < 17; ++i) ASSERT_EQ(encode(16, 16, i), ORV_ERR_NONE) << i;
    auto eighteenth = std::async(std::launch::async, [this] { return encode(16, 16, 17); });
    EXPECT_EQ(eighteenth.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    gate.release();
    EXPECT_EQ(eighteenth.get(), ORV_ERR_NONE);
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
}

TEST_F(VideoSession, HugeMaxParallelNeverBlocks) {
    open();
    OrvVideoStreamParams_st params = videoParams(8, 8);
    params.maxParallel = 0x80000000u;
    ASSERT_EQ(orvBeginStream(encoder, addVideo(params)), ORV_ERR_NONE);
    PoolGate gate(encoder);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(encode(8, 8, i), ORV_ERR_NONE) << i;
    gate.release();
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
}

// ---- Failures -------------------------------------------------------------------

TEST_F(VideoSession, AFailingTaskSurfacesOnTheNextFrameAndAtTheEnd) {
    open();
    OrvVideoStreamParams_st params = videoParams(16, 16);
    params.maxParallel = 0;  // the next frame waits for the failed one
    ASSERT_EQ(orvBeginStream(encoder, addVideo(params)), ORV_ERR_NONE);
    OrvBuffer_st* pixels = makePixels(16, 48, 0);
    OrvSrcFrame_st frame = frameOf(16, 16, pixels, 0);
    frame.pixFmt = ORV_SRC_PIX_FMT_RGB24;  // sliced, then refused by the block encoder
    frame.stride = 48;
    ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
    EXPECT_EQ(encode(16, 16, 1), ORV_ERR_UNKNOWN);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "unsupported source pixel format");
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_UNKNOWN);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "unsupported source pixel format");
    // The stream is closed all the same; the session goes on.
    EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
}

TEST_F(VideoSession, AnUnknownPixelFormatFailsInTheSliceTask) {
    open();
    ASSERT_EQ(orvBeginStream(encoder, addVideo(videoParams(18, 16))), ORV_ERR_NONE);
    OrvBuffer_st* pixels = makePixels(16, 72, 0);
    OrvSrcFrame_st frame = frameOf(18, 16, pixels, 0);
    frame.pixFmt = 6;
    ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_UNKNOWN);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "unknown pixel format");
}

TEST_F(VideoSession, AFailedAllocationIsReportedNotFatal) {
    open();
    ASSERT_EQ(orvBeginStream(encoder, addVideo(videoParams(18, 16))), ORV_ERR_NONE);
    OrvSrcFrame_st frame = frameOf(18, 16, makePixels(16, 72, 0), 0);
    brindle::failBufferAllocationAfter(0);  // the slice copy's buffer
    EXPECT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
    const OrvError_enum ended = orvEndStream(encoder);
    brindle::failBufferAllocationAfter(-1);
    EXPECT_EQ(ended, ORV_ERR_UNKNOWN);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "failed to allocate memory");
}

TEST_F(VideoSession, AFailingWriteSurfacesOnTheNextFrameAndAtTheEnd) {
    // Room for the header, the video header and about one frame.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved;
    getrlimit(RLIMIT_FSIZE, &saved);
    open();
    OrvVideoStreamParams_st params = videoParams(128, 128);
    params.compression = ORV_COMPRESSION_NONE;  // 16 KiB frames go past the stdio buffer
    params.format = ORV_PIX_FMT_DXT5;
    params.maxParallel = 0;
    ASSERT_EQ(orvBeginStream(encoder, addVideo(params)), ORV_ERR_NONE);
    struct rlimit limited = saved;
    limited.rlim_cur = 284 + 52 + 20000;
    setrlimit(RLIMIT_FSIZE, &limited);
    OrvError_enum result = ORV_ERR_NONE;
    int accepted = 0;
    for (; accepted < 10 && result == ORV_ERR_NONE; ++accepted) result = encode(128, 128, accepted);
    const OrvError_enum ended = orvEndStream(encoder);
    const std::string endMessage = orvGetErrorMessage(encoder);
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(result, ORV_ERR_IO);
    EXPECT_LT(accepted, 10);
    EXPECT_EQ(ended, ORV_ERR_IO);
    EXPECT_EQ(endMessage.rfind("error while writing: ", 0), 0u) << endMessage;
}
