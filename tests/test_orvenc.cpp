// The encoder session through the C interface: the files it leaves, the
// state rules with their codes and messages, stream limits and ids, failing
// streams and writes, and the session's log lines.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "brindle.hpp"
#include "orv.h"
#include "orvenc.hpp"
#include "orvenc_stream.hpp"
#include "test_support.hpp"

using brindle::OrvException;
using orvtest::Bytes;
using orvtest::LogCapture;
using orvtest::readFile;
using orvtest::Slot;
using orvtest::slotAt;

namespace {

const auto* const logFile = ::testing::AddGlobalTestEnvironment(new orvtest::LogFile);

unsigned usedSlots(const Bytes& file) {
    unsigned used = 0;
    while (used < 16 && slotAt(file, used).type != 0) ++used;
    return used;
}

OrvAudioStreamParams_st stereoParams() {
    OrvAudioStreamParams_st params;
    orvInitAudioStreamParams(&params);
    params.sampleRate = 48000;
    params.numChannels = 2;
    params.channelLayout = ORV_CHANNEL_LAYOUT_STEREO;
    params.timebaseNum = 1;
    params.timebaseDen = 48000;
    return params;
}

// A stereo audio frame of `n` samples per channel with a simple ramp.
class AudioFrame {
public:
    explicit AudioFrame(uint32_t n) : buffer(orvBufferAlloc(size_t{8} * n), orvBufferFree) {
        float* samples = static_cast<float*>(orvBufferData(buffer.get()));
        for (uint32_t i = 0; i < 2 * n; ++i)
            samples[i] = static_cast<float>(i % 200) / 100.0f - 1.0f;
        frame.numSamples = n;
        frame.buffer = buffer.get();
    }
    const OrvSrcFrame_st* get() const { return &frame; }

private:
    std::unique_ptr<OrvBuffer_st, decltype(&orvBufferFree)> buffer;
    OrvSrcFrame_st frame{};
};

// What a fake stream went through; shared with the test so that it can be
// read after the session (which owns the stream) is gone.
struct FakeRecord {
    int begins = 0;
    int frames = 0;
    int closes = 0;  // every call of close(), also those that return at once
    int sectionsEnded = 0;
    bool destroyed = false;
};

// A stream kind of the tests' own: it writes a real section (video header or
// audio byte) and can be told to fail at each step.
class FakeStream : public brindle::OrvEncStream {
public:
    FakeStream(int id, uint32_t type, brindle::OrvEncContext& context,
               std::shared_ptr<FakeRecord> record)
        : OrvEncStream(id), type(type), writer(context.writer), record(std::move(record)) {}
    ~FakeStream() override { record->destroyed = true; }

    uint32_t getType() const override { return type; }
    const int32_t* getPreferredSrcPixFmts() const override {
        static const int32_t formats[] = {ORV_SRC_PIX_FMT_RGBA32, ORV_SRC_PIX_FMT_BGRA32, -1};
        return type == 0 ? formats : nullptr;
    }
    void begin() override {
        ++record->begins;
        if (type == 0) {
            writer.beginSection(brindle::ORV_SECTION_VIDEO);
            brindle::OrvVideoHeader header;
            header.flags = 7;
            header.width = 16;
            header.height = 16;
            writer.writeVideoHeader(header);
        } else {
            writer.beginSection(brindle::ORV_SECTION_AUDIO);
            writer.writeAudioHeader(brindle::OrvAudioHeader{});
        }
        if (failBegin) failBegin();
    }
    void encodeFrame(const OrvSrcFrame_st&) override {
        if (failEncode) failEncode();
        ++record->frames;
    }
    void close() override {
        ++record->closes;
        if (finished) return;
        if (failBeforeFinished) failBeforeFinished();
        finished = true;
        if (failAfterFinished) failAfterFinished();
        writer.endSection();
        ++record->sectionsEnded;
    }

    // Each hook, when set, runs at its step and is expected to throw.
    std::function<void()> failBegin, failEncode, failBeforeFinished, failAfterFinished;

private:
    uint32_t type;
    brindle::OrvWriter& writer;
    std::shared_ptr<FakeRecord> record;
};

[[noreturn]] void throwIoError() { throw OrvException("fake write failed", ORV_ERR_IO); }

constexpr OrvError_enum ok = ORV_ERR_NONE, io = ORV_ERR_IO, unknown = ORV_ERR_UNKNOWN;

class SessionTest : public ::testing::Test {
protected:
    ~SessionTest() override { orvEncoderClose(encoder); }

    void open(uint32_t numThreads = 2) {
        const OrvEncoderParams_st params{numThreads};
        ASSERT_EQ(orvEncoderOpen(path.c_str(), &params, &encoder), ORV_ERR_NONE);
        ASSERT_NE(encoder, nullptr);
    }
    void closeSession() {
        EXPECT_EQ(orvEncoderClose(encoder), ORV_ERR_NONE);
        encoder = nullptr;
    }
    int addAudio() {
        const OrvAudioStreamParams_st params = stereoParams();
        int id = -1;
        EXPECT_EQ(orvAddAudioStream(encoder, &params, &id), ORV_ERR_NONE);
        return id;
    }
    FakeStream* addFake(uint32_t type, std::shared_ptr<FakeRecord> record = nullptr) {
        if (!record) record = std::make_shared<FakeRecord>();
        auto stream = std::make_unique<FakeStream>(encoder->nextStreamId(), type,
                                                   encoder->getContext(), record);
        FakeStream* borrowed = stream.get();
        encoder->addStream(std::move(stream));
        return borrowed;
    }
    // A fake stream, begun as the active one.
    FakeStream* beginFake(uint32_t type, std::shared_ptr<FakeRecord> record = nullptr) {
        FakeStream* stream = addFake(type, std::move(record));
        EXPECT_EQ(orvBeginStream(encoder, stream->id), ORV_ERR_NONE);
        return stream;
    }
    // Expects a failing call with this code and stored message.
    void expectFailure(OrvError_enum result, OrvError_enum code, const std::string& message) {
        EXPECT_EQ(result, code) << message;
        EXPECT_EQ(std::string(orvGetErrorMessage(encoder)), message);
    }

    orvtest::TempDir dir;
    std::string path = dir.path("out.orv");
    OrvEnc* encoder = nullptr;
};

// Most tests start from an open session with two workers.
class OpenSession : public SessionTest {
protected:
    void SetUp() override { open(); }
};

}  // namespace

// ---- Opening and closing ------------------------------------------------------------

TEST_F(SessionTest, SessionWithoutStreamsLeavesTheBareHeader) {
    LogCapture log;
    open(3);
    EXPECT_EQ(orvEncoderFinish(encoder), ok);
    closeSession();
    EXPECT_EQ(readFile(path), orvtest::emptyContainer(16));
    // Close after finish runs the finish steps again, which only log.
    EXPECT_EQ(log.text(), "*** opened " + path + " for writing\n" +
                              "*** using 3 threads\n"
                              "*** OrvEnc::finish()\n"
                              "*** OrvEnc::finish()\n");
}

TEST_F(SessionTest, ZeroThreadsMeansTheHardwareCount) {
    const unsigned hardware = std::thread::hardware_concurrency();
    const unsigned expected = hardware != 0 ? hardware : 8;
    EXPECT_EQ(brindle::workerCountFor(OrvEncoderParams_st{0}), expected);
    EXPECT_EQ(brindle::workerCountFor(OrvEncoderParams_st{5}), 5u);
    LogCapture log;
    open(0);
    EXPECT_NE(log.text().find("*** using " + std::to_string(expected) + " threads\n"),
              std::string::npos);
    EXPECT_EQ(encoder->getContext().pool.numWorkers(), expected);
}

TEST_F(SessionTest, FailedOpenLeavesNoSession) {
    LogCapture log;
    const OrvEncoderParams_st params{2};
    OrvEnc* const sentinel = reinterpret_cast<OrvEnc*>(0x10);
    OrvEnc* handle = sentinel;
    EXPECT_EQ(orvEncoderOpen(dir.path("missing/out.orv").c_str(), &params, &handle),
              ORV_ERR_OPEN_FILE);
    EXPECT_EQ(handle, sentinel);
    EXPECT_EQ(log.text(), "");  // no session, so no message and no setError line
    // A full device fails at the header's flush.
    handle = nullptr;
    EXPECT_EQ(orvEncoderOpen("/dev/full", &params, &handle), unknown);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(orvEncoderClose(nullptr), ok);
}

TEST_F(SessionTest, ClosingWithoutFinishGivesTheSameFileAsFinishingFirst) {
    const std::string finishedPath = dir.path("finished.orv");
    const AudioFrame frame(3000);
    for (const bool finishFirst : {true, false}) {
        const OrvEncoderParams_st params{2};
        OrvEnc* session = nullptr;
        ASSERT_EQ(orvEncoderOpen((finishFirst ? finishedPath : path).c_str(), &params, &session),
                  ok);
        const OrvAudioStreamParams_st audio = stereoParams();
        int first = -1, second = -1;
        ASSERT_EQ(orvAddAudioStream(session, &audio, &first), ok);
        ASSERT_EQ(orvAddAudioStream(session, &audio, &second), ok);
        ASSERT_EQ(orvBeginStream(session, first), ok);
        ASSERT_EQ(orvEncodeFrame(session, frame.get()), ok);
        ASSERT_EQ(orvEndStream(session), ok);
        ASSERT_EQ(orvBeginStream(session, second), ok);
        ASSERT_EQ(orvEncodeFrame(session, frame.get()), ok);
        // The second stream is still active when the session ends.
        if (finishFirst) {
            EXPECT_EQ(orvEncoderFinish(session), ok);
        }
        EXPECT_EQ(orvEncoderClose(session), ok);
    }
    const Bytes finished = readFile(finishedPath);
    EXPECT_EQ(readFile(path), finished);
    ASSERT_EQ(usedSlots(finished), 2u);
    const uint64_t sectionSize = 1 + 44 + 3000 * 4;
    EXPECT_EQ(finished.size(), 284 + 2 * sectionSize);
    EXPECT_EQ(slotAt(finished, 1), (Slot{3, 284 + sectionSize, sectionSize}));
    EXPECT_EQ(orvtest::readLE(finished, 284 + sectionSize + 1 + 40, 4), 3000u * 4);  // patched
}

TEST_F(OpenSession, AudioThenVideoSectionsFillTheFirstTwoSlots) {
    const int audio = addAudio();
    addFake(0);
    ASSERT_EQ(orvBeginStream(encoder, audio), ok);
    ASSERT_EQ(orvEndStream(encoder), ok);
    ASSERT_EQ(orvBeginStream(encoder, 1), ok);
    ASSERT_EQ(orvEndStream(encoder), ok);
    closeSession();
    const Bytes file = readFile(path);
    ASSERT_EQ(file.size(), 284u + 45 + 52);
    EXPECT_EQ(slotAt(file, 0), (Slot{3, 284, 45}));
    EXPECT_EQ(slotAt(file, 1), (Slot{2, 329, 52}));
    EXPECT_EQ(usedSlots(file), 2u);
}

// ---- Error messages --------------------------------------------------------------------

TEST_F(OpenSession, MessageIsEmptyUntilAFailureAndKeptThroughLaterSuccesses) {
    EXPECT_STREQ(orvGetErrorMessage(encoder), "");
    const AudioFrame frame(10);
    LogCapture log;
    expectFailure(orvEncodeFrame(encoder, frame.get()), unknown, "missing call to beginStream()");
    EXPECT_EQ(log.text(), "*** OrvEnc::setError(): missing call to beginStream()\n");
    const int id = addAudio();
    ASSERT_EQ(orvBeginStream(encoder, id), ok);
    ASSERT_EQ(orvEncodeFrame(encoder, frame.get()), ok);
    ASSERT_EQ(orvEndStream(encoder), ok);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "missing call to beginStream()");
}

TEST_F(OpenSession, FailuresOfEveryKindBecomeCodes) {
    FakeStream* stream = beginFake(1);
    const AudioFrame frame(1);
    stream->failEncode = [] { throwIoError(); };
    expectFailure(orvEncodeFrame(encoder, frame.get()), io, "fake write failed");
    // A standard exception keeps its text and becomes code 13.
    stream->failEncode = [] { throw std::length_error("vector too long"); };
    expectFailure(orvEncodeFrame(encoder, frame.get()), unknown, "vector too long");
    // Anything else is code 13 with the message and the log left alone.
    stream->failEncode = [] { throw 42; };
    LogCapture log;
    expectFailure(orvEncodeFrame(encoder, frame.get()), unknown, "vector too long");
    EXPECT_EQ(log.text(), "");
}

TEST_F(OpenSession, ThumbnailsAreIgnoredByTheCInterfaceButRefusedInside) {
    EXPECT_EQ(orvAddThumbnail(encoder, nullptr), ok);
    orvtest::expectOrvError([&] { encoder->addThumbnail(OrvThumbnail_st{}); }, unknown,
                            "unimplemented");
}

// ---- Adding streams ---------------------------------------------------------------------

TEST_F(OpenSession, TwoStreamsOfEachKindWithIdsInOrderAndNoThird) {
    EXPECT_EQ(addAudio(), 0);
    addFake(0);
    EXPECT_EQ(addAudio(), 2);
    addFake(0);
    EXPECT_EQ(encoder->getStream(1)->getType(), 0u);
    EXPECT_EQ(encoder->getStream(3)->getType(), 0u);

    const OrvAudioStreamParams_st audio = stereoParams();
    OrvVideoStreamParams_st video;
    orvInitVideoStreamParams(&video);
    int id = 77;
    LogCapture log;
    expectFailure(orvAddAudioStream(encoder, &audio, &id), ORV_ERR_TOO_MANY_STREAMS,
                  "too many audio streams");
    // Refused before construction: the stream's own log line never appears.
    EXPECT_EQ(log.text(), "*** OrvEnc::setError(): too many audio streams\n");
    expectFailure(orvAddVideoStream(encoder, &video, &id), ORV_ERR_TOO_MANY_STREAMS,
                  "too many video streams");
    // Streams handed in whole are held to the same limit.
    orvtest::expectOrvError([&] { addFake(0); }, ORV_ERR_TOO_MANY_STREAMS,
                            "too many video streams");
    EXPECT_EQ(id, 77);
    EXPECT_EQ(encoder->nextStreamId(), 4);
}

TEST_F(OpenSession, RefusedStreamsConsumeNoId) {
    OrvAudioStreamParams_st audio = stereoParams();
    audio.numChannels = 0;
    OrvVideoStreamParams_st video;
    orvInitVideoStreamParams(&video);
    video.width = 64;
    video.height = 64;
    int id = 77;
    expectFailure(orvAddAudioStream(encoder, &audio, &id), unknown, "bad channel count");
    expectFailure(orvAddVideoStream(encoder, &video, &id), ORV_ERR_INVALID_TIMEBASE,
                  "invalid timebase");
    EXPECT_EQ(id, 77);
    EXPECT_EQ(addAudio(), 0);
    // A third audio stream is refused without an id as well.
    addAudio();
    EXPECT_EQ(orvAddAudioStream(encoder, &audio, &id), ORV_ERR_TOO_MANY_STREAMS);
    addFake(0);
    EXPECT_EQ(encoder->nextStreamId(), 3);
}

TEST_F(OpenSession, StreamsCannotBeAddedAfterFinish) {
    ASSERT_EQ(orvEncoderFinish(encoder), ok);
    const OrvAudioStreamParams_st audio = stereoParams();
    OrvVideoStreamParams_st video;
    orvInitVideoStreamParams(&video);
    int id = 77;
    expectFailure(orvAddAudioStream(encoder, &audio, &id), unknown, "encoder already finished");
    expectFailure(orvAddVideoStream(encoder, &video, &id), unknown, "encoder already finished");
    EXPECT_EQ(id, 77);
    EXPECT_THROW(addFake(1), OrvException);
    EXPECT_EQ(encoder->nextStreamId(), 0);
}

TEST_F(OpenSession, PreferredFormatsExistOnlyForVideoStreams) {
    const int audio = addAudio();
    addFake(0);
    EXPECT_EQ(orvGetPreferredSrcPixFmts(encoder, -1), nullptr);
    EXPECT_EQ(orvGetPreferredSrcPixFmts(encoder, 2), nullptr);  // the number of streams
    EXPECT_EQ(orvGetPreferredSrcPixFmts(encoder, audio), nullptr);
    const int32_t* formats = orvGetPreferredSrcPixFmts(encoder, 1);
    ASSERT_NE(formats, nullptr);
    EXPECT_EQ((std::vector<int32_t>(formats, formats + 3)), (std::vector<int32_t>{1, 3, -1}));
    EXPECT_EQ(encoder->getStream(-1), nullptr);
    EXPECT_EQ(encoder->getStream(2), nullptr);
}

// ---- Order of calls ---------------------------------------------------------------------

TEST_F(OpenSession, OneStreamIsActiveAtATimeAndEachIsBegunOnce) {
    const int first = addAudio(), second = addAudio();
    const AudioFrame frame(5);
    {
        LogCapture log;
        expectFailure(orvEndStream(encoder), unknown, "no active stream");
        EXPECT_EQ(log.text(),
                  "*** OrvEnc::endStream() no active stream\n"
                  "*** OrvEnc::setError(): no active stream\n");
    }
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

TEST_F(OpenSession, FinishEndsTheActiveStreamAndOnlyLogsTheSecondTime) {
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
        // Complete on disk before the close.
        const Bytes file = readFile(path);
        EXPECT_EQ(usedSlots(file), 1u);
        EXPECT_EQ(slotAt(file, 0).size, 1u + 44 + 400);
    }
    expectFailure(orvEncodeFrame(encoder, frame.get()), unknown, "missing call to beginStream()");
    expectFailure(orvEndStream(encoder), unknown, "no active stream");
    // Every stream that existed at finish is finished, begun or not.
    expectFailure(orvBeginStream(encoder, audio), unknown, "stream is already finished");
    expectFailure(orvBeginStream(encoder, 0), unknown, "stream is already finished");
    EXPECT_EQ(record->begins, 0);
    EXPECT_EQ(record->closes, 0);
}

TEST_F(SessionTest, StreamsNeverBegunAreSkippedAtFinishAndClose) {
    auto record = std::make_shared<FakeRecord>();
    open();
    addAudio();
    const int begun = addAudio();
    addFake(0, record);
    ASSERT_EQ(orvBeginStream(encoder, begun), ok);
    ASSERT_EQ(orvEndStream(encoder), ok);
    closeSession();
    EXPECT_EQ(record->closes, 0);
    EXPECT_TRUE(record->destroyed);
    const Bytes file = readFile(path);
    EXPECT_EQ(usedSlots(file), 1u);
    EXPECT_EQ(file.size(), 284u + 45);
}

TEST_F(SessionTest, ClosingTheHandleEndsTheActiveStreamAndDeletesEveryStream) {
    auto active = std::make_shared<FakeRecord>(), ended = std::make_shared<FakeRecord>();
    open();
    addFake(1, ended);
    addFake(0, active);
    ASSERT_EQ(orvBeginStream(encoder, 0), ok);
    ASSERT_EQ(orvEndStream(encoder), ok);
    ASSERT_EQ(orvBeginStream(encoder, 1), ok);
    closeSession();
    EXPECT_EQ(active->sectionsEnded, 1);
    EXPECT_EQ(ended->sectionsEnded, 1);
    EXPECT_EQ(ended->closes, 2);  // closed again by the implicit finish, returning at once
    EXPECT_TRUE(active->destroyed);
    EXPECT_TRUE(ended->destroyed);
    EXPECT_EQ(usedSlots(readFile(path)), 2u);
}

// ---- Failing streams --------------------------------------------------------------------

TEST_F(OpenSession, StreamWhoseBeginFailsStaysActiveUntilEnded) {
    FakeStream* failing = addFake(1);
    addFake(1);
    failing->failBegin = [] { throwIoError(); };
    expectFailure(orvBeginStream(encoder, 0), io, "fake write failed");
    expectFailure(orvBeginStream(encoder, 1), unknown, "missing call to endStream()");
    EXPECT_EQ(orvEndStream(encoder), ok);
    EXPECT_EQ(orvBeginStream(encoder, 1), ok);
}

TEST_F(OpenSession, AudioStreamWhoseBeginFailedCanBeEndedOnce) {
    FakeStream* fake = addFake(0);
    const int audio = addAudio();
    // The fake leaves its section open, so the audio stream's begin fails.
    fake->failAfterFinished = [] { throwIoError(); };
    ASSERT_EQ(orvBeginStream(encoder, 0), ok);
    expectFailure(orvEndStream(encoder), io, "fake write failed");
    expectFailure(orvBeginStream(encoder, audio), unknown, "missing call to endSection");
    expectFailure(orvEndStream(encoder), unknown, "audio header was not written");
    expectFailure(orvEndStream(encoder), unknown, "no active stream");
    EXPECT_EQ(orvEncoderFinish(encoder), ok);
}

TEST_F(OpenSession, CloseFailingBeforeTheStreamFinishedKeepsItActive) {
    auto record = std::make_shared<FakeRecord>();
    FakeStream* stream = addFake(1, record);
    addFake(1);
    ASSERT_EQ(orvBeginStream(encoder, 0), ok);
    stream->failBeforeFinished = [] { throwIoError(); };
    expectFailure(orvEndStream(encoder), io, "fake write failed");
    expectFailure(orvBeginStream(encoder, 1), unknown, "missing call to endStream()");
    const AudioFrame frame(1);
    EXPECT_EQ(orvEncodeFrame(encoder, frame.get()), ok);  // still the active one
    EXPECT_EQ(record->frames, 1);
    stream->failBeforeFinished = nullptr;
    EXPECT_EQ(orvEndStream(encoder), ok);
    EXPECT_EQ(record->sectionsEnded, 1);
    EXPECT_EQ(orvBeginStream(encoder, 1), ok);
}

TEST_F(OpenSession, CloseFailingAfterTheStreamFinishedIsReportedOnce) {
    auto record = std::make_shared<FakeRecord>();
    FakeStream* stream = beginFake(1, record);
    stream->failAfterFinished = [] { throwIoError(); };
    expectFailure(orvEndStream(encoder), io, "fake write failed");
    expectFailure(orvEndStream(encoder), unknown, "no active stream");
    const AudioFrame frame(1);
    expectFailure(orvEncodeFrame(encoder, frame.get()), unknown, "missing call to beginStream()");
    EXPECT_EQ(orvEncoderFinish(encoder), ok);
    EXPECT_EQ(record->closes, 2);  // the finish's close returned at once
    EXPECT_EQ(record->sectionsEnded, 0);
}

TEST_F(OpenSession, FinishReportsAFailingCloseAndCanBeRetried) {
    auto record = std::make_shared<FakeRecord>();
    FakeStream* stream = beginFake(1, record);
    stream->failBeforeFinished = [] { throwIoError(); };
    expectFailure(orvEncoderFinish(encoder), io, "fake write failed");
    expectFailure(orvEncoderFinish(encoder), io, "fake write failed");
    stream->failBeforeFinished = nullptr;
    EXPECT_EQ(orvEncoderFinish(encoder), ok);
    EXPECT_EQ(record->sectionsEnded, 1);
    EXPECT_EQ(usedSlots(readFile(path)), 1u);
}

TEST_F(OpenSession, CloseSwallowsAndLogsAFailingFinish) {
    auto record = std::make_shared<FakeRecord>();
    FakeStream* stream = beginFake(1, record);
    stream->failBeforeFinished = [] { throwIoError(); };
    LogCapture log;
    closeSession();
    EXPECT_EQ(log.text(),
              "*** OrvEnc::finish()\n"
              "*** OrvEnc::~OrvEnc(): fake write failed\n");
    EXPECT_TRUE(record->destroyed);
    // The header stays valid; the section that never ended has no entry.
    const Bytes file = readFile(path);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 284), orvtest::emptyContainer(16));
}

// ---- Write failures ----------------------------------------------------------------------

TEST_F(OpenSession, WriteFailureReachesTheHostAsCodeFour) {
    const int id = addAudio();
    ASSERT_EQ(orvBeginStream(encoder, id), ok);
    const AudioFrame big(300000);  // 1.2 MB of 16-bit samples
    {
        const orvtest::FileSizeLimit limit(1 << 20);
        LogCapture log;
        expectFailure(orvEncodeFrame(encoder, big.get()), io, orvtest::writeError(EFBIG));
        EXPECT_EQ(log.text(), "*** OrvEnc::setError(): " + orvtest::writeError(EFBIG) + "\n");
    }
    // Part of the failed chunk reached the file and stdio may have dropped
    // more: with the limit gone, later samples would land after bytes the
    // WAV sizes never count. Every later write, the end of the stream and
    // the finish report the first failure instead, and no section is listed
    // over the damaged data.
    const AudioFrame small(10);
    expectFailure(orvEncodeFrame(encoder, small.get()), io, orvtest::writeError(EFBIG));
    expectFailure(orvEndStream(encoder), unknown, orvtest::writeError(EFBIG));
    expectFailure(orvEncoderFinish(encoder), unknown, orvtest::writeError(EFBIG));
    EXPECT_EQ(usedSlots(readFile(path)), 0u);
}

TEST_F(OpenSession, WriteFailureAtTheEndOfAStreamIsReported) {
    const int id = addAudio();
    ASSERT_EQ(orvBeginStream(encoder, id), ok);
    const AudioFrame frame(100);  // stays in the stream buffer
    ASSERT_EQ(orvEncodeFrame(encoder, frame.get()), ok);
    {
        const orvtest::FileSizeLimit limit(300);
        // The buffered samples fail when the sizes are patched.
        expectFailure(orvEndStream(encoder), unknown, orvtest::writeError(EFBIG));
    }
    closeSession();  // no crash, no leak, whatever the state of the file
}
