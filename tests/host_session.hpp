// A scripted host for whole-session tests (fault injection, stress): it makes
// every buffer it will hand over before the session starts, drives one
// session through the C interface in a fixed order, and records what each
// call answered. Also the small helpers those tests share.
#pragma once

#include <functional>

#include "test_support.hpp"

namespace hostsession {

// Pixels with edges and noise, so that every block encoder path has work.
inline OrvBuffer_st* makePicture(uint32_t height, uint32_t stride, int seed) {
    OrvBuffer_st* buffer = orvBufferAlloc(size_t{stride} * height);
    auto* data = static_cast<uint8_t*>(orvBufferData(buffer));
    uint32_t noise = 0x9E3779B9u * static_cast<uint32_t>(seed + 1);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < stride; ++x) {
            noise = noise * 1664525u + 1013904223u;
            const bool edge = (x / 4 + y + static_cast<uint32_t>(seed)) % 7 < 3;
            data[size_t{y} * stride + x] = static_cast<uint8_t>(edge ? x * 9 + y : (noise >> 24) & 0x3F);
        }
    return buffer;
}

// Planar float samples, channel after channel, some of them out of range.
inline OrvBuffer_st* makeSamples(uint32_t channels, uint32_t count, int seed) {
    OrvBuffer_st* buffer = orvBufferAlloc(size_t{4} * channels * count);
    auto* samples = static_cast<float*>(orvBufferData(buffer));
    for (uint32_t c = 0; c < channels; ++c)
        for (uint32_t i = 0; i < count; ++i)
            samples[size_t{c} * count + i] = static_cast<float>(
                (i * 37 + c * 101 + static_cast<uint32_t>(seed) * 13) % 257) / 120.0f - 1.05f;
    return buffer;
}

// What one session looks like: one video and one audio stream, in either order.
struct SessionPlan {
    uint32_t threads = 2, width = 16, height = 16;
    uint32_t format = ORV_PIX_FMT_DXT1, compression = ORV_COMPRESSION_NONE, maxParallel = 1;
    int videoFrames = 3;
    uint32_t channels = 2, samplesPerFrame = 60;
    int audioFrames = 3;
    bool audioFirst = false;
};

struct CallResult {
    std::string what;  // "open", "begin video", "video frame 2", "end audio", "finish", ...
    OrvError_enum code = ORV_ERR_NONE;
    std::string message;  // the session's stored message after a failing call
};

struct Outcome {
    std::vector<CallResult> calls;

    bool opened() const { return calls.size() > 1; }  // a failed open is the only call
    const CallResult* firstFailure() const {
        for (const CallResult& call : calls)
            if (call.code != ORV_ERR_NONE) return &call;
        return nullptr;
    }
};

// Runs the plan against `path`. `beforeCall(i)` runs right before the i-th
// call (0 is orvEncoderOpen, the last orvEncoderClose) and `afterCall()`
// right after each: a fault can be set up, or counted, in between. Every
// buffer is made before the first call, so that an allocation hook armed by
// the caller only sees the library's own allocations; pictures the library
// refused and all sample buffers are freed at the end, as a host would.
class Host : orvtest::NoCopy {
public:
    explicit Host(const SessionPlan& plan) : plan(plan) {
        for (int i = 0; i < plan.videoFrames; ++i)
            pictures.push_back(makePicture(plan.height, plan.width * 4, i));
        for (int i = 0; i < plan.audioFrames; ++i)
            samples.push_back(makeSamples(plan.channels, plan.samplesPerFrame, i));
    }
    ~Host() {
        for (OrvBuffer_st* picture : pictures) orvBufferFree(picture);
        for (OrvBuffer_st* buffer : samples) orvBufferFree(buffer);
    }

    Outcome run(const std::string& path, const std::function<void(size_t)>& beforeCall = [](size_t) {},
                const std::function<void()>& afterCall = [] {}) {
        Outcome outcome;
        OrvEnc* encoder = nullptr;
        // One call between the hooks; its answer is recorded after them.
        auto call = [&](const std::string& what, const std::function<OrvError_enum()>& c) {
            beforeCall(outcome.calls.size());
            const OrvError_enum code = c();
            afterCall();
            CallResult result{what, code, ""};
            if (code != ORV_ERR_NONE && encoder != nullptr)
                result.message = orvGetErrorMessage(encoder);
            outcome.calls.push_back(result);
            return code;
        };

        const OrvEncoderParams_st params{plan.threads};
        call("open", [&] { return orvEncoderOpen(path.c_str(), &params, &encoder); });
        if (encoder == nullptr) return outcome;

        int videoId = -1, audioId = -1;
        const OrvVideoStreamParams_st video = orvtest::videoParams(plan.width, plan.height, plan.format,
                                                                   plan.compression, plan.maxParallel);
        const OrvAudioStreamParams_st audio{48000, plan.channels, 0, 1, 48000};
        call("add video", [&] { return orvAddVideoStream(encoder, &video, &videoId); });
        call("add audio", [&] { return orvAddAudioStream(encoder, &audio, &audioId); });

        // Frames go to whichever stream is active: a host told that another
        // stream still is does not send its frames there. After any other
        // failure it carries on regardless.
        auto runStream = [&](bool isVideo) {
            const std::string kind = isVideo ? "video" : "audio";
            call("begin " + kind, [&] { return orvBeginStream(encoder, isVideo ? videoId : audioId); });
            const bool active = outcome.calls.back().message != "missing call to endStream()";
            for (int i = 0; i < (isVideo ? plan.videoFrames : plan.audioFrames) && active; ++i) {
                OrvBuffer_st*& buffer = (isVideo ? pictures : samples)[static_cast<size_t>(i)];
                const OrvSrcFrame_st frame =
                    isVideo ? OrvSrcFrame_st{plan.width, plan.height, plan.width * 4, ORV_SRC_PIX_FMT_RGBA32,
                                             0,          0,           1000 + 2 * i,   buffer}
                            : OrvSrcFrame_st{0, 0, 0, 0, 0, plan.samplesPerFrame, 0, buffer};
                // An accepted picture is the library's now; samples stay the host's.
                if (call(kind + " frame " + std::to_string(i),
                         [&] { return orvEncodeFrame(encoder, &frame); }) == ORV_ERR_NONE &&
                    isVideo)
                    buffer = nullptr;
            }
            call("end " + kind, [&] { return orvEndStream(encoder); });
        };
        runStream(!plan.audioFirst);
        runStream(plan.audioFirst);
        call("finish", [&] { return orvEncoderFinish(encoder); });
        // Gone once called: a failing close has no message to ask for.
        call("close", [&] { return orvEncoderClose(std::exchange(encoder, nullptr)); });
        return outcome;
    }

private:
    SessionPlan plan;
    std::vector<OrvBuffer_st*> pictures;
    std::vector<OrvBuffer_st*> samples;
};

// A test that opens its session on out.orv itself, and leaves it to be closed.
class SessionTest : public ::testing::Test {
protected:
    ~SessionTest() override { orvEncoderClose(encoder); }
    void open(uint32_t threads) {
        const OrvEncoderParams_st params{threads};
        ASSERT_EQ(orvEncoderOpen(path.c_str(), &params, &encoder), ORV_ERR_NONE);
    }
    // The call failed with this code and stored message.
    void expectFailure(OrvError_enum result, OrvError_enum code, const std::string& message) {
        EXPECT_EQ(result, code) << message;
        EXPECT_EQ(std::string(orvGetErrorMessage(encoder)), message);
    }

    orvtest::TempDir dir;
    std::string path = dir.path("out.orv");
    OrvEnc* encoder = nullptr;
};

// The session's log would print thousands of lines; it goes nowhere while a
// test runs. /dev/null is no regular file, so a file size limit spares it.
struct QuietLog : orvtest::NoCopy {
    QuietLog() { brindle::logOpen("/dev/null"); }
    ~QuietLog() { brindle::logClose(); }
};

}  // namespace hostsession
