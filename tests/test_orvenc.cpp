// The encoder session through the C interface: the files it leaves, the
// state rules with their codes and messages, stream limits and ids, failing
// streams and writes, and the session's log lines.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "orvenc.hpp"
#include "test_support.hpp"

using orvtest::Bytes;
using orvtest::LogCapture;
using orvtest::readFile;
using orvtest::Slot;
using orvtest::slotAt;

namespace {

const auto* const logFile = ::testing::AddGlobalTestEnvironment(new orvtest::LogFile);

constexpr OrvError_enum ok = ORV_ERR_NONE, io = ORV_ERR_IO, unknown = ORV_ERR_UNKNOWN;
const OrvAudioStreamParams_st kStereo{48000, 2, ORV_CHANNEL_LAYOUT_STEREO, 1, 48000};
const std::string kFakeFailure = "fake write failed";

unsigned usedSlots(const Bytes& file) {
    unsigned used = 0;
    while (used < 16 && slotAt(file, used).type != 0) ++used;
    return used;
}

// A stereo audio frame of `n` samples per channel with a simple ramp.
struct AudioFrame {
    explicit AudioFrame(uint32_t n) : buffer(orvBufferAlloc(size_t{8} * n), orvBufferFree) {
        float* samples = static_cast<float*>(orvBufferData(buffer.get()));
        for (uint32_t i = 0; i < 2 * n; ++i) samples[i] = static_cast<float>(i % 200) / 100.0f - 1.0f;
        frame.numSamples = n;
        frame.buffer = buffer.get();
    }
    const OrvSrcFrame_st* get() const { return &frame; }

    std::unique_ptr<OrvBuffer_st, decltype(&orvBufferFree)> buffer;
    OrvSrcFrame_st frame{};
};

// What a fake stream went through, readable after the session that owns it is gone.
struct FakeRecord {
    int begins = 0, frames = 0, sectionsEnded = 0;
    int closes = 0;  // every call of close(), also those that return at once
    bool destroyed = false;
};

// A stream kind of the tests' own: it writes a real section (video header or
// audio byte) and fails with kFakeFailure at the steps it is told to.
class FakeStream : public brindle::OrvEncStream {
public:
    FakeStream(int id, uint32_t type, brindle::OrvWriter& writer, std::shared_ptr<FakeRecord> record)
        : OrvEncStream(id), type(type), writer(writer), record(std::move(record)) {}
    ~FakeStream() override { record->destroyed = true; }

    uint32_t getType() const override { return type; }
    const int32_t* getPreferredSrcPixFmts() const override {
        static const int32_t formats[] = {ORV_SRC_PIX_FMT_RGBA32, ORV_SRC_PIX_FMT_BGRA32, -1};
        return type == 0 ? formats : nullptr;
    }
    void begin() override {
        ++record->begins;
        writer.beginSection(type == 0 ? brindle::ORV_SECTION_VIDEO : brindle::ORV_SECTION_AUDIO);
        if (type == 0) writer.writeVideoHeader(brindle::OrvVideoHeader{0, 7, 16, 16});
        if (type == 1) writer.writeAudioHeader(brindle::OrvAudioHeader{});
        if (failBegin) fail();
    }
    void encodeFrame(const OrvSrcFrame_st&) override {
        if (failEncode) failEncode();
        ++record->frames;
    }
    void close() override {
        ++record->closes;
        if (finished) return;
        if (failBeforeFinished) fail();
        finished = true;
        if (failAfterFinished) fail();
        writer.endSection();
        ++record->sectionsEnded;
    }

    bool failBegin = false, failBeforeFinished = false, failAfterFinished = false;
    std::function<void()> failEncode;  // throws whatever the test wants

private:
    [[noreturn]] static void fail() { throw brindle::OrvException(kFakeFailure, ORV_ERR_IO); }

    uint32_t type;
    brindle::OrvWriter& writer;
    std::shared_ptr<FakeRecord> record;
};

class Session : public ::testing::Test {
protected:
    ~Session() override { orvEncoderClose(encoder); }

    void open(uint32_t numThreads = 2) {
        const OrvEncoderParams_st params{numThreads};
        ASSERT_EQ(orvEncoderOpen(path.c_str(), &params, &encoder), ok);
        ASSERT_NE(encoder, nullptr);
    }
    void closeSession() {
        EXPECT_EQ(orvEncoderClose(encoder), ok);
        encoder = nullptr;
    }
    int addAudio() {
        int id = -1;
        EXPECT_EQ(orvAddAudioStream(encoder, &kStereo, &id), ok);
        return id;
    }
    FakeStream* addFake(uint32_t type, std::shared_ptr<FakeRecord> record = nullptr) {
        auto stream = std::make_unique<FakeStream>(encoder->nextStreamId(), type,
                                                   encoder->getContext().writer,
                                                   record ? record : std::make_shared<FakeRecord>());
        FakeStream* borrowed = stream.get();
        encoder->addStream(std::move(stream));
        return borrowed;
    }
    FakeStream* beginFake(uint32_t type, std::shared_ptr<FakeRecord> record) {
        FakeStream* stream = addFake(type, std::move(record));
        EXPECT_EQ(orvBeginStream(encoder, static_cast<int>(stream->id)), ok);
        return stream;
    }
    // A failing call with this code and stored message.
    void expectFailure(OrvError_enum result, OrvError_enum code, const std::string& message) {
        EXPECT_EQ(result, code) << message;
        EXPECT_EQ(std::string(orvGetErrorMessage(encoder)), message);
    }

    orvtest::TempDir dir;
    std::string path = dir.path("out.orv");
    OrvEnc* encoder = nullptr;
};

class OpenSession : public Session {
protected:
    void SetUp() override { open(); }
};

}  // namespace

// ---- Opening and closing ------------------------------------------------------------

TEST_F(Session, SessionWithoutStreamsLeavesTheBareHeaderAndZeroThreadsMeansTheHardwareCount) {
    const unsigned hardware = std::thread::hardware_concurrency();
    const unsigned expected = hardware != 0 ? hardware : 8;
    EXPECT_EQ(brindle::workerCountFor(OrvEncoderParams_st{5}), 5u);
    LogCapture log;
    open(0);
    EXPECT_EQ(encoder->getContext().pool.numWorkers(), expected);
    EXPECT_EQ(orvEncoderFinish(encoder), ok);
    closeSession();
    EXPECT_EQ(readFile(path), orvtest::emptyContainer(16));
    // Close after finish runs the finish steps again, which only log.
    EXPECT_EQ(log.text(), "*** opened " + path + " for writing\n*** using " + std::to_string(expected) +
                              " threads\n*** OrvEnc::finish()\n*** OrvEnc::finish()\n");
}

TEST_F(Session, ClosingWithoutFinishGivesTheSameFileAsFinishingFirst) {
    const AudioFrame frame(3000);
    for (const bool finishFirst : {true, false}) {
        path = dir.path(finishFirst ? "finished.orv" : "closed.orv");
        open();
        const int first = addAudio(), second = addAudio();
        ASSERT_EQ(orvBeginStream(encoder, first), ok);
        ASSERT_EQ(orvEncodeFrame(encoder, frame.get()), ok);
        ASSERT_EQ(orvEndStream(encoder), ok);
        ASSERT_EQ(orvBeginStream(encoder, second), ok);
        ASSERT_EQ(orvEncodeFrame(encoder, frame.get()), ok);
        // The second stream is still active when the session ends.
        if (finishFirst) EXPECT_EQ(orvEncoderFinish(encoder), ok);
        closeSession();
    }
    const Bytes finished = readFile(dir.path("finished.orv"));
    EXPECT_EQ(readFile(dir.path("closed.orv")), finished);
    const uint64_t sectionSize = 1 + 44 + 3000 * 4;
    EXPECT_EQ(slotAt(finished, 1), (Slot{3, 284 + sectionSize, sectionSize}));
    EXPECT_EQ(orvtest::readLE(finished, 284 + sectionSize + 1 + 40, 4), 3000u * 4);  // patched
}

// Never-begun streams are skipped at close; the active one is ended; an
// ended one is closed again by the implicit finish, which returns at once.
TEST_F(Session, ClosingTheHandleEndsTheActiveStreamSkipsUnbegunOnesAndDeletesAll) {
    auto ended = std::make_shared<FakeRecord>(), unbegun = std::make_shared<FakeRecord>(),
         active = std::make_shared<FakeRecord>();
    open();
    addFake(1, ended);
    addAudio();
    addFake(0, unbegun);
    addFake(0, active);
    ASSERT_EQ(orvBeginStream(encoder, 0), ok);
    ASSERT_EQ(orvEndStream(encoder), ok);
    ASSERT_EQ(orvBeginStream(encoder, 3), ok);
    closeSession();
    EXPECT_EQ(ended->sectionsEnded + ended->closes + unbegun->closes + active->sectionsEnded, 1 + 2 + 0 + 1);
    for (const auto& record : {ended, unbegun, active}) EXPECT_TRUE(record->destroyed);
    const Bytes file = readFile(path);
    EXPECT_EQ(usedSlots(file), 2u);
    EXPECT_EQ(file.size(), 284u + 1 + 52);  // nothing of the unbegun audio stream
}

// ---- Null arguments --------------------------------------------------------------------

// Every pointer argument of every entry point, null in turn: refused with 13
// and a message naming it, kept in the session when there is one. A null
// session has nowhere to keep it, and a failed open creates nothing.
TEST_F(OpenSession, EveryNullArgumentIsRefusedByName) {
    const OrvEncoderParams_st params{1};
    const OrvVideoStreamParams_st video = orvtest::videoParams(16, 16);
    OrvEnc* handle = nullptr;
    int id = 77;
    const AudioFrame frame(1);
    const std::string unopened = dir.path("never.orv");
    const struct {
        const char* name;
        std::function<OrvError_enum()> call;
        bool inSession;
    } cases[] = {
        {"path", [&] { return orvEncoderOpen(nullptr, &params, &handle); }, false},
        {"params", [&] { return orvEncoderOpen(unopened.c_str(), nullptr, &handle); }, false},
        {"encoder", [&] { return orvEncoderOpen(unopened.c_str(), &params, nullptr); }, false},
        {"encoder", [&] { return orvEncoderFinish(nullptr); }, false},
        {"encoder", [&] { return orvAddVideoStream(nullptr, &video, &id); }, false},
        {"params", [&] { return orvAddVideoStream(encoder, nullptr, &id); }, true},
        {"streamId", [&] { return orvAddVideoStream(encoder, &video, nullptr); }, true},
        {"encoder", [&] { return orvAddAudioStream(nullptr, &kStereo, &id); }, false},
        {"params", [&] { return orvAddAudioStream(encoder, nullptr, &id); }, true},
        {"streamId", [&] { return orvAddAudioStream(encoder, &kStereo, nullptr); }, true},
        {"encoder", [&] { return orvBeginStream(nullptr, 0); }, false},
        {"encoder", [&] { return orvEncodeFrame(nullptr, frame.get()); }, false},
        {"frame", [&] { return orvEncodeFrame(encoder, nullptr); }, true},
        {"encoder", [&] { return orvEndStream(nullptr); }, false},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(orvEndStream(encoder), unknown);  // a message of another kind first
        const std::string expected = std::string("invalid argument: ") + c.name + " is null";
        LogCapture log;
        EXPECT_EQ(c.call(), unknown) << expected;
        EXPECT_EQ(log.text(), c.inSession ? "*** OrvEnc::setError(): " + expected + "\n" : "");
        if (c.inSession) EXPECT_EQ(std::string(orvGetErrorMessage(encoder)), expected);
    }
    EXPECT_EQ(id, 77);
    EXPECT_FALSE(std::filesystem::exists(unopened));
    EXPECT_EQ(encoder->nextStreamId(), 0);
    // A failed open leaves the handle alone and logs nothing, as no session exists.
    handle = reinterpret_cast<OrvEnc*>(0x10);
    {
        LogCapture log;
        EXPECT_EQ(orvEncoderOpen(dir.path("missing/out.orv").c_str(), &params, &handle), ORV_ERR_OPEN_FILE);
        EXPECT_EQ(log.text(), "");
    }
    EXPECT_EQ(orvEncoderOpen("/dev/full", &params, &handle), unknown);  // the header's flush fails
    EXPECT_EQ(handle, reinterpret_cast<OrvEnc*>(0x10));
    // The functions without an error result answer with nothing.
    EXPECT_STREQ(orvGetErrorMessage(nullptr), "");
    EXPECT_EQ(orvGetPreferredSrcPixFmts(nullptr, 0), nullptr);
    EXPECT_EQ(orvBufferData(nullptr), nullptr);
    EXPECT_EQ(orvBufferSize(nullptr), 0u);
    orvInitVideoStreamParams(nullptr);
    orvInitAudioStreamParams(nullptr);
    EXPECT_EQ(orvEncoderClose(nullptr), ok);
}

// ---- Error messages --------------------------------------------------------------------

TEST_F(OpenSession, FailuresOfEveryKindBecomeCodesAndTheMessageIsKeptThroughLaterSuccesses) {
    // Thumbnails are accepted and ignored by the C interface, refused inside.
    EXPECT_EQ(orvAddThumbnail(encoder, nullptr), ok);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "");
    orvtest::expectOrvError([&] { encoder->addThumbnail(OrvThumbnail_st{}); }, unknown, "unimplemented");
    FakeStream* stream = beginFake(1, nullptr);
    const AudioFrame frame(1);
    stream->failEncode = [] { throw brindle::OrvException(kFakeFailure, ORV_ERR_IO); };
    expectFailure(orvEncodeFrame(encoder, frame.get()), io, kFakeFailure);
    // A standard exception keeps its text and becomes code 13.
    stream->failEncode = [] { throw std::length_error("vector too long"); };
    expectFailure(orvEncodeFrame(encoder, frame.get()), unknown, "vector too long");
    // Anything else is code 13 with the message and the log left alone.
    stream->failEncode = [] { throw 42; };
    LogCapture log;
    expectFailure(orvEncodeFrame(encoder, frame.get()), unknown, "vector too long");
    EXPECT_EQ(log.text(), "");
    stream->failEncode = nullptr;
    EXPECT_EQ(orvEncodeFrame(encoder, frame.get()), ok);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "vector too long");
}

// ---- Adding streams ---------------------------------------------------------------------

TEST_F(OpenSession, TwoStreamsOfEachKindWithIdsInOrderRefusalsConsumeNone) {
    OrvAudioStreamParams_st badAudio = kStereo;
    badAudio.numChannels = 0;
    OrvVideoStreamParams_st video;
    orvInitVideoStreamParams(&video);
    video.width = video.height = 64;
    int id = 77;
    expectFailure(orvAddAudioStream(encoder, &badAudio, &id), unknown, "bad channel count");
    expectFailure(orvAddVideoStream(encoder, &video, &id), ORV_ERR_INVALID_TIMEBASE, "invalid timebase");
    EXPECT_EQ(addAudio(), 0);
    addFake(0);
    EXPECT_EQ(addAudio(), 2);
    addFake(0);
    EXPECT_EQ(encoder->getStream(3)->getType(), 0u);
    EXPECT_EQ(encoder->getStream(-1), nullptr);
    EXPECT_EQ(encoder->getStream(4), nullptr);
    // Preferred formats exist only for video streams.
    for (const int stream : {-1, 0, 2, 4 /* the number of streams */})
        EXPECT_EQ(orvGetPreferredSrcPixFmts(encoder, stream), nullptr) << stream;
    EXPECT_EQ(orvGetPreferredSrcPixFmts(encoder, 1)[1], ORV_SRC_PIX_FMT_BGRA32);
    LogCapture log;
    expectFailure(orvAddAudioStream(encoder, &kStereo, &id), ORV_ERR_TOO_MANY_STREAMS, "too many audio streams");
    // Refused before construction: the stream's own log line never appears.
    EXPECT_EQ(log.text(), "*** OrvEnc::setError(): too many audio streams\n");
    expectFailure(orvAddAudioStream(encoder, &badAudio, &id), ORV_ERR_TOO_MANY_STREAMS, "too many audio streams");
    expectFailure(orvAddVideoStream(encoder, &video, &id), ORV_ERR_TOO_MANY_STREAMS, "too many video streams");
    // Streams handed in whole are held to the same limit.
    orvtest::expectOrvError([&] { addFake(0); }, ORV_ERR_TOO_MANY_STREAMS, "too many video streams");
    EXPECT_EQ(id, 77);
    EXPECT_EQ(encoder->nextStreamId(), 4);
}

// ---- Order of calls ---------------------------------------------------------------------

TEST_F(OpenSession, OneStreamIsActiveAtATimeAndEachIsBegunOnce) {
    const int first = addAudio(), second = addAudio();
    const AudioFrame frame(5);
    {
        LogCapture log;
        expectFailure(orvEndStream(encoder), unknown, "no active stream");
        EXPECT_EQ(log.text(), "*** OrvEnc::endStream() no active stream\n"
                              "*** OrvEnc::setError(): no active stream\n");
    }
    expectFailure(orvEncodeFrame(encoder, frame.get()), unknown, "missing call to beginStream()");
    expectFailure(orvBeginStream(encoder, 7), unknown, "unknown stream id");
    ASSERT_EQ(orvBeginStream(encoder, first), ok);
    expectFailure(orvBeginStream(encoder, first), unknown, "missing call to endStream()");
    expectFailure(orvBeginStream(encoder, second), unknown, "missing call to endStream()");
    // The refusals changed nothing: the first stream is still the one fed.
    EXPECT_EQ(orvEncodeFrame(encoder, frame.get()), ok);
    EXPECT_EQ(orvEndStream(encoder), ok);
    expectFailure(orvBeginStream(encoder, first), unknown, "stream is already finished");
    expectFailure(orvEncodeFrame(encoder, frame.get()), unknown, "missing call to beginStream()");
    EXPECT_EQ(orvBeginStream(encoder, second), ok);
    orvEncoderFinish(encoder);
    expectFailure(orvBeginStream(encoder, -1), unknown, "unknown stream id");
    expectFailure(orvBeginStream(encoder, 2), unknown, "unknown stream id");
}

TEST_F(OpenSession, FinishEndsTheActiveStreamOnlyLogsTheSecondTimeAndClosesTheSessionToNewStreams) {
    auto record = std::make_shared<FakeRecord>();
    addFake(1, record);
    const int audio = addAudio();
    ASSERT_EQ(orvBeginStream(encoder, audio), ok);
    const AudioFrame frame(100);
    ASSERT_EQ(orvEncodeFrame(encoder, frame.get()), ok);
    for (int round = 0; round < 2; ++round) {
        LogCapture log;
        EXPECT_EQ(orvEncoderFinish(encoder), ok);
        EXPECT_EQ(log.text(), "*** OrvEnc::finish()\n");
        const Bytes file = readFile(path);  // complete on disk before the close
        EXPECT_EQ(usedSlots(file), 1u);
        EXPECT_EQ(slotAt(file, 0).size, 1u + 44 + 400);
    }
    expectFailure(orvEncodeFrame(encoder, frame.get()), unknown, "missing call to beginStream()");
    expectFailure(orvEndStream(encoder), unknown, "no active stream");
    // Every stream that existed at finish is finished, begun or not.
    expectFailure(orvBeginStream(encoder, audio), unknown, "stream is already finished");
    expectFailure(orvBeginStream(encoder, 0), unknown, "stream is already finished");
    EXPECT_EQ(record->begins + record->closes, 0);
    OrvVideoStreamParams_st video;
    orvInitVideoStreamParams(&video);
    int id = 77;
    expectFailure(orvAddAudioStream(encoder, &kStereo, &id), unknown, "encoder already finished");
    expectFailure(orvAddVideoStream(encoder, &video, &id), unknown, "encoder already finished");
    orvtest::expectOrvError([&] { addFake(1); }, unknown, "encoder already finished");
    EXPECT_EQ(id, 77);
    EXPECT_EQ(encoder->nextStreamId(), 2);
}

// ---- Failing streams --------------------------------------------------------------------

TEST_F(OpenSession, StreamWhoseBeginOrCloseFailsBeforeItFinishedStaysActiveUntilEnded) {
    auto record = std::make_shared<FakeRecord>();
    addFake(1)->failBegin = true;
    FakeStream* second = addFake(1, record);
    expectFailure(orvBeginStream(encoder, 0), io, kFakeFailure);
    expectFailure(orvBeginStream(encoder, 1), unknown, "missing call to endStream()");
    EXPECT_EQ(orvEndStream(encoder), ok);
    EXPECT_EQ(orvBeginStream(encoder, 1), ok);
    second->failBeforeFinished = true;
    expectFailure(orvEndStream(encoder), io, kFakeFailure);
    const AudioFrame frame(1);
    EXPECT_EQ(orvEncodeFrame(encoder, frame.get()), ok);  // still the active one
    EXPECT_EQ(record->frames, 1);
    // Finish reports the failing close too, and can be retried.
    expectFailure(orvEncoderFinish(encoder), io, kFakeFailure);
    expectFailure(orvEncoderFinish(encoder), io, kFakeFailure);
    second->failBeforeFinished = false;
    EXPECT_EQ(orvEncoderFinish(encoder), ok);
    EXPECT_EQ(record->sectionsEnded, 1);
    EXPECT_EQ(usedSlots(readFile(path)), 2u);
}

// The stream is finished before its close fails: the failure is reported
// once, and the section it left open makes the audio stream's begin fail.
TEST_F(OpenSession, CloseFailingAfterTheStreamFinishedIsReportedOnce) {
    auto record = std::make_shared<FakeRecord>();
    beginFake(0, record)->failAfterFinished = true;
    const int audio = addAudio();
    expectFailure(orvEndStream(encoder), io, kFakeFailure);
    expectFailure(orvEndStream(encoder), unknown, "no active stream");
    expectFailure(orvBeginStream(encoder, audio), unknown, "missing call to endSection");
    expectFailure(orvEndStream(encoder), unknown, "audio header was not written");
    expectFailure(orvEndStream(encoder), unknown, "no active stream");
    EXPECT_EQ(orvEncoderFinish(encoder), ok);
    EXPECT_EQ(record->closes, 2);  // the finish's close returned at once
    EXPECT_EQ(record->sectionsEnded, 0);
}

TEST_F(OpenSession, CloseSwallowsAndLogsAFailingFinish) {
    auto record = std::make_shared<FakeRecord>();
    beginFake(1, record)->failBeforeFinished = true;
    LogCapture log;
    closeSession();
    EXPECT_EQ(log.text(), "*** OrvEnc::finish()\n*** OrvEnc::~OrvEnc(): " + kFakeFailure + "\n");
    EXPECT_TRUE(record->destroyed);
    // The header stays valid; the section that never ended has no entry.
    const Bytes file = readFile(path);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 284), orvtest::emptyContainer(16));
}
