// The encoder session through the C interface: the state rules with their
// codes and messages, null arguments, stream limits and ids, exceptions
// turned into codes, streams that fail to begin or close, and the session's
// log lines. Real write and allocation failures are swept through whole
// sessions in test_fault_injection.

#include <functional>

#include "orvenc.hpp"
#include "host_session.hpp"

using orvtest::LogCapture;

namespace {

const auto* const logFile = ::testing::AddGlobalTestEnvironment(new orvtest::LogFile);

constexpr OrvError_enum ok = ORV_ERR_NONE, io = ORV_ERR_IO, unknown = ORV_ERR_UNKNOWN;
const OrvAudioStreamParams_st kStereo{48000, 2, ORV_CHANNEL_LAYOUT_STEREO, 1, 48000};
const std::string kFakeFailure = "fake write failed";

// Whether the first two slots of the file's table are the ones in use.
bool twoSlotsUsed(const orvtest::Bytes& f) {
    return orvtest::slotAt(f, 1).type != 0 && orvtest::slotAt(f, 2).type == 0;
}

// A stream kind of the tests' own: it writes a real video section (header
// only) and fails with kFakeFailure at the steps it is told to. `destroyed`
// is readable after the session that owns it is gone.
class FakeStream : public brindle::OrvEncStream {
public:
    FakeStream(int id, brindle::OrvWriter& writer, std::shared_ptr<bool> destroyed)
        : OrvEncStream(id), writer(writer), destroyed(std::move(destroyed)) {}
    ~FakeStream() override { *destroyed = true; }
    uint32_t getType() const override { return 0; }  // video
    const int32_t* getPreferredSrcPixFmts() const override { return nullptr; }
    void begin() override {
        writer.beginSection(brindle::ORV_SECTION_VIDEO);
        writer.writeVideoHeader(brindle::OrvVideoHeader{0, 7, 16, 16});
        if (failBegin) fail();
    }
    void encodeFrame(const OrvSrcFrame_st&) override {
        if (failEncode) failEncode();
    }
    void close() override {
        if (finished) return;
        if (failBeforeFinished) fail();
        finished = true;
        writer.endSection();
    }
    bool failBegin = false, failBeforeFinished = false;
    std::function<void()> failEncode;  // throws whatever the test wants

private:
    [[noreturn]] static void fail() { throw brindle::OrvException(kFakeFailure, ORV_ERR_IO); }
    brindle::OrvWriter& writer;
    std::shared_ptr<bool> destroyed;
};

class Session : public hostsession::SessionTest {
protected:
    void SetUp() override { open(2); }
    int addAudio() {
        int id = -1;
        EXPECT_EQ(orvAddAudioStream(encoder, &kStereo, &id), ok);
        return id;
    }
    FakeStream* addFake(std::shared_ptr<bool> destroyed = std::make_shared<bool>(false)) {
        auto stream =
            std::make_unique<FakeStream>(encoder->nextStreamId(), encoder->getContext().writer, destroyed);
        FakeStream* borrowed = stream.get();
        encoder->addStream(std::move(stream));
        return borrowed;
    }
    OrvSrcFrame_st frame{0, 0, 0, 0, 0, 1, 0, orvBufferAlloc(8)};  // one stereo sample
    std::unique_ptr<OrvBuffer_st, decltype(&orvBufferFree)> frameBuffer{frame.buffer, orvBufferFree};
};

}  // namespace

// Every pointer argument of every entry point, null in turn: refused with 13
// and a message naming it, kept in the session when there is one. A null
// session has nowhere to keep it, and a failed open creates nothing. The
// session calls share one check of the handle: two of them stand for all.
TEST_F(Session, EveryNullArgumentIsRefusedByName) {
    const OrvEncoderParams_st params{1};
    const OrvVideoStreamParams_st video = orvtest::videoParams(16, 16);
    OrvEnc* handle = reinterpret_cast<OrvEnc*>(0x10);
    int id = 77;
    const std::string unopened = dir.path("never.orv");
    const struct { const char* name; std::function<OrvError_enum()> call; bool inSession; } cases[] = {
        {"path", [&] { return orvEncoderOpen(nullptr, &params, &handle); }, false},
        {"params", [&] { return orvEncoderOpen(unopened.c_str(), nullptr, &handle); }, false},
        {"encoder", [&] { return orvEncoderOpen(unopened.c_str(), &params, nullptr); }, false},
        {"encoder", [&] { return orvEncoderFinish(nullptr); }, false},
        {"params", [&] { return orvAddVideoStream(encoder, nullptr, &id); }, true},
        {"streamId", [&] { return orvAddVideoStream(encoder, &video, nullptr); }, true},
        {"params", [&] { return orvAddAudioStream(encoder, nullptr, &id); }, true},
        {"streamId", [&] { return orvAddAudioStream(encoder, &kStereo, nullptr); }, true},
        {"frame", [&] { return orvEncodeFrame(encoder, nullptr); }, true},
        {"encoder", [&] { return orvEndStream(nullptr); }, false},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(orvEndStream(encoder), unknown);  // a message of another kind first
        const std::string expected = std::string("invalid argument: ") + c.name + " is null";
        LogCapture log;
        EXPECT_EQ(c.call(), unknown) << expected;
        EXPECT_EQ(log.text(), c.inSession ? "*** OrvEnc::setError(): " + expected + "\n" : "");
        if (c.inSession) { EXPECT_EQ(std::string(orvGetErrorMessage(encoder)), expected); }
    }
    EXPECT_EQ(id, 77);
    EXPECT_FALSE(std::filesystem::exists(unopened));
    // A failed open leaves the handle alone; its message is the writer's.
    EXPECT_EQ(orvEncoderOpen(dir.path("missing/out.orv").c_str(), &params, &handle), ORV_ERR_OPEN_FILE);
    EXPECT_EQ(handle, reinterpret_cast<OrvEnc*>(0x10));
    EXPECT_STREQ(orvGetErrorMessage(nullptr), "");  // functions without an error result answer with nothing
}

TEST_F(Session, TwoStreamsOfEachKindWithIdsInOrderRefusalsConsumeNone) {
    const OrvAudioStreamParams_st badAudio{48000, 0, ORV_CHANNEL_LAYOUT_STEREO, 1, 48000};
    OrvVideoStreamParams_st video = orvtest::videoParams(16, 16);
    int id = 77;
    expectFailure(orvAddAudioStream(encoder, &badAudio, &id), unknown, "bad channel count");
    EXPECT_EQ(addAudio(), 0);
    EXPECT_EQ(orvAddVideoStream(encoder, &video, &id), ok);
    EXPECT_EQ(addAudio(), 2);
    EXPECT_EQ(orvAddVideoStream(encoder, &video, &id), ok);
    EXPECT_EQ(orvGetPreferredSrcPixFmts(encoder, 1)[1], ORV_SRC_PIX_FMT_BGRA32);
    LogCapture log;
    expectFailure(orvAddAudioStream(encoder, &kStereo, &id), ORV_ERR_TOO_MANY_STREAMS,
                  "too many audio streams");
    // Refused before construction: the stream's own log line never appears.
    EXPECT_EQ(log.text(), "*** OrvEnc::setError(): too many audio streams\n");
    expectFailure(orvAddVideoStream(encoder, &video, &id), ORV_ERR_TOO_MANY_STREAMS,
                  "too many video streams");
    // Streams handed in whole are held to the same limit.
    orvtest::expectOrvError([&] { addFake(); }, ORV_ERR_TOO_MANY_STREAMS, "too many video streams");
    EXPECT_EQ(id, 3);
    EXPECT_EQ(encoder->nextStreamId(), 4);
}

TEST_F(Session, OneStreamIsActiveAtATimeEachIsBegunOnceAndFinishClosesTheSession) {
    const int first = addAudio(), second = addAudio();
    {
        LogCapture log;
        expectFailure(orvEndStream(encoder), unknown, "no active stream");
        EXPECT_EQ(log.text(),
                  "*** OrvEnc::endStream() no active stream\n*** OrvEnc::setError(): no active stream\n");
    }
    expectFailure(orvEncodeFrame(encoder, &frame), unknown, "missing call to beginStream()");
    expectFailure(orvBeginStream(encoder, 7), unknown, "unknown stream id");
    ASSERT_EQ(orvBeginStream(encoder, first), ok);
    expectFailure(orvBeginStream(encoder, second), unknown, "missing call to endStream()");
    EXPECT_EQ(orvEncodeFrame(encoder, &frame), ok);  // the refusal changed nothing
    EXPECT_EQ(orvEndStream(encoder), ok);
    expectFailure(orvBeginStream(encoder, first), unknown, "stream is already finished");
    ASSERT_EQ(orvBeginStream(encoder, second), ok);
    ASSERT_EQ(orvEncodeFrame(encoder, &frame), ok);
    addFake();
    // Finish ends the active stream and finishes the unbegun one; the second time it only logs.
    for (int round = 0; round < 2; ++round) {
        LogCapture log;
        EXPECT_EQ(orvEncoderFinish(encoder), ok);
        EXPECT_EQ(log.text(), "*** OrvEnc::finish()\n");
        EXPECT_TRUE(twoSlotsUsed(orvtest::readFile(path)));  // complete on disk before the close
    }
    expectFailure(orvBeginStream(encoder, 2), unknown, "stream is already finished");
    int id = 77;
    expectFailure(orvAddAudioStream(encoder, &kStereo, &id), unknown, "encoder already finished");
    orvtest::expectOrvError([&] { addFake(); }, unknown, "encoder already finished");
}

// Closing the handle ends the active stream, logging what fails, and
// deletes every stream.
TEST_F(Session, ExceptionsBecomeCodesAFailingBeginOrCloseKeepsTheStreamActiveAndCloseLogsIt) {
    auto destroyed = std::make_shared<bool>(false);
    addFake()->failBegin = true;
    FakeStream* second = addFake(destroyed);
    expectFailure(orvBeginStream(encoder, 0), io, kFakeFailure);
    expectFailure(orvBeginStream(encoder, 1), unknown, "missing call to endStream()");
    EXPECT_EQ(orvEndStream(encoder), ok);
    EXPECT_EQ(orvBeginStream(encoder, 1), ok);
    // A standard exception keeps its text with code 13.
    second->failEncode = [] { throw std::length_error("vector too long"); };
    expectFailure(orvEncodeFrame(encoder, &frame), unknown, "vector too long");
    second->failEncode = nullptr;
    second->failBeforeFinished = true;
    expectFailure(orvEndStream(encoder), io, kFakeFailure);
    EXPECT_EQ(orvEncodeFrame(encoder, &frame), ok);  // still the active one
    EXPECT_STREQ(orvGetErrorMessage(encoder), kFakeFailure.c_str());  // kept through the success
    expectFailure(orvEncoderFinish(encoder), io, kFakeFailure);  // finish reports the failing close too
    LogCapture log;
    EXPECT_EQ(orvEncoderClose(std::exchange(encoder, nullptr)), ok);
    EXPECT_EQ(log.text(), "*** OrvEnc::finish()\n*** OrvEnc::~OrvEnc(): " + kFakeFailure + "\n");
    EXPECT_TRUE(*destroyed);
}

// The session-free function: error texts.
TEST(PublicInterface, ErrorTextsAndVersion) {
    const char* texts[] = {"no error", "out of memory", "failed to open file", "too many streams", "IO error",
                           "unknown stream", "unknown pixel format", "unknown ORV pixel format",
                           "unknown ORV compression format", "invalid dimensions", "invalid timebase",
                           "invalid aspect ratio", "unsupported device", "unknown error"};
    for (int code = 0; code < 14; ++code)
        EXPECT_STREQ(orvErrorStr(static_cast<OrvError_enum>(code)), texts[code]);
    EXPECT_STREQ(orvErrorStr(static_cast<OrvError_enum>(-1)), "unknown error");
}
