#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "brindle.hpp"
#include "orv.h"
#include "orvenc.hpp"
#include "orvenc_stream.hpp"

using brindle::OrvException;

namespace {

// ---- Helpers ----------------------------------------------------------------

using Bytes = std::vector<uint8_t>;

// The whole test program logs into one file, so that a test can read the
// lines it caused from where the file ended when it started.
std::string logPath() {
    static const std::string path = ::testing::TempDir() + "orv_session_test_" +
                                    std::to_string(getpid()) + ".log";
    return path;
}

class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override { brindle::logOpen(logPath().c_str()); }
    void TearDown() override {
        brindle::logClose();
        std::remove(logPath().c_str());
    }
};
::testing::Environment* const logEnvironment =
    ::testing::AddGlobalTestEnvironment(new LogEnvironment);

class LogCapture {
public:
    LogCapture() : start(std::filesystem::file_size(logPath())) {}
    std::string text() const {
        std::ifstream in(logPath(), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(start));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    uintmax_t start;
};

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

uint64_t readLE(const Bytes& bytes, size_t offset, size_t width) {
    EXPECT_LE(offset + width, bytes.size());
    if (offset + width > bytes.size()) return 0;
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= uint64_t{bytes[offset + i]} << (8 * i);
    return value;
}

struct Slot {
    uint64_t type, offset, size;
};
Slot slotAt(const Bytes& file, unsigned slot) {
    const size_t at = 12 + 17 * slot;
    return {readLE(file, at, 1), readLE(file, at + 1, 8), readLE(file, at + 9, 8)};
}
unsigned usedSlots(const Bytes& file) {
    unsigned used = 0;
    while (used < 16 && slotAt(file, used).type != 0) ++used;
    return used;
}

Bytes emptyContainer() {
    Bytes bytes = {'O', 'R', 'V', 'C', 1, 0, 0, 0, 16, 0, 0, 0};
    for (int slot = 0; slot < 16; ++slot) {
        bytes.push_back(0);
        bytes.insert(bytes.end(), 8, 0xFF);
        bytes.insert(bytes.end(), 8, 0x00);
    }
    return bytes;
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
    int closes = 0;      // every call of close(), also those that return at once
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

// Caps the size of files this process writes, with SIGXFSZ ignored so that
// crossing the cap is a failing write instead of the end of the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler = signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit capped = previous;
        capped.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &capped), 0);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous);
        signal(SIGXFSZ, previousHandler);
    }

private:
    rlimit previous{};
    sighandler_t previousHandler;
};

class SessionTest : public ::testing::Test {
protected:
    SessionTest() {
        std::string pattern = ::testing::TempDir() + "orv_session_XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        path = dir + "/out.orv";
    }
    ~SessionTest() override {
        orvEncoderClose(encoder);
        std::filesystem::remove_all(dir);
    }

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
    // Expects a failing call with this code and stored message.
    void expectFailure(OrvError_enum result, OrvError_enum code, const std::string& message) {
        EXPECT_EQ(result, code) << message;
        EXPECT_EQ(std::string(orvGetErrorMessage(encoder)), message);
    }

    std::string dir;
    std::string path;
    OrvEnc* encoder = nullptr;
};

}  // namespace

// ---- Opening and closing ------------------------------------------------------------

TEST_F(SessionTest, SessionWithoutStreamsLeavesTheBareHeader) {
    LogCapture log;
    open(3);
    EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
    closeSession();
    EXPECT_EQ(readFile(path), emptyContainer());
    EXPECT_EQ(readFile(path).size(), 284u);
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

TEST_F(SessionTest, OpenInAMissingDirectoryFailsWithoutTouchingTheHandle) {
    LogCapture log;
    const OrvEncoderParams_st params{2};
    OrvEnc* const sentinel = reinterpret_cast<OrvEnc*>(0x10);
    OrvEnc* handle = sentinel;
    EXPECT_EQ(orvEncoderOpen((dir + "/missing/out.orv").c_str(), &params, &handle),
              ORV_ERR_OPEN_FILE);
    EXPECT_EQ(handle, sentinel);
    EXPECT_EQ(log.text(), "");  // no session, so no message and no setError line
}

TEST_F(SessionTest, OpenOnAFullDeviceFailsAtTheHeaderFlush) {
    const OrvEncoderParams_st params{2};
    OrvEnc* handle = nullptr;
    EXPECT_EQ(orvEncoderOpen("/dev/full", &params, &handle), ORV_ERR_UNKNOWN);
    EXPECT_EQ(handle, nullptr);
}

TEST_F(SessionTest, ClosingNullIsAllowed) { EXPECT_EQ(orvEncoderClose(nullptr), ORV_ERR_NONE); }

TEST_F(SessionTest, ClosingWithoutFinishGivesTheSameFileAsFinishingFirst) {
    const std::string finishedPath = dir + "/finished.orv";
    const AudioFrame frame(3000);
    for (const bool finishFirst : {true, false}) {
        const OrvEncoderParams_st params{2};
        OrvEnc* session = nullptr;
        const std::string target = finishFirst ? finishedPath : path;
        ASSERT_EQ(orvEncoderOpen(target.c_str(), &params, &session), ORV_ERR_NONE);
        const OrvAudioStreamParams_st audio = stereoParams();
        int first = -1, second = -1;
        ASSERT_EQ(orvAddAudioStream(session, &audio, &first), ORV_ERR_NONE);
        ASSERT_EQ(orvAddAudioStream(session, &audio, &second), ORV_ERR_NONE);
        ASSERT_EQ(orvBeginStream(session, first), ORV_ERR_NONE);
        ASSERT_EQ(orvEncodeFrame(session, frame.get()), ORV_ERR_NONE);
        ASSERT_EQ(orvEndStream(session), ORV_ERR_NONE);
        ASSERT_EQ(orvBeginStream(session, second), ORV_ERR_NONE);
        ASSERT_EQ(orvEncodeFrame(session, frame.get()), ORV_ERR_NONE);
        // The second stream is still active when the session ends.
        if (finishFirst) {
            EXPECT_EQ(orvEncoderFinish(session), ORV_ERR_NONE);
        }
        EXPECT_EQ(orvEncoderClose(session), ORV_ERR_NONE);
    }
    const Bytes finished = readFile(finishedPath);
    EXPECT_EQ(readFile(path), finished);
    ASSERT_EQ(usedSlots(finished), 2u);
    const uint64_t sectionSize = 1 + 44 + 3000 * 4;
    EXPECT_EQ(finished.size(), 284 + 2 * sectionSize);
    EXPECT_EQ(slotAt(finished, 1).offset, 284 + sectionSize);
    EXPECT_EQ(readLE(finished, 284 + sectionSize + 1 + 40, 4), 3000u * 4);  // data size patched
}

TEST_F(SessionTest, AudioThenVideoSectionsFillTheFirstTwoSlots) {
    open();
    const int audio = addAudio();
    addFake(0);
    ASSERT_EQ(orvBeginStream(encoder, audio), ORV_ERR_NONE);
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    ASSERT_EQ(orvBeginStream(encoder, 1), ORV_ERR_NONE);
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    closeSession();
    const Bytes file = readFile(path);
    ASSERT_EQ(file.size(), 284u + 45 + 52);
    EXPECT_EQ(slotAt(file, 0).type, 3u);
    EXPECT_EQ(slotAt(file, 0).offset, 284u);
    EXPECT_EQ(slotAt(file, 0).size, 45u);
    EXPECT_EQ(slotAt(file, 1).type, 2u);
    EXPECT_EQ(slotAt(file, 1).offset, 329u);
    EXPECT_EQ(slotAt(file, 1).size, 52u);
    EXPECT_EQ(usedSlots(file), 2u);
}

// ---- Error messages --------------------------------------------------------------------

TEST_F(SessionTest, MessageIsEmptyUntilAFailureAndKeptThroughLaterSuccesses) {
    open();
    EXPECT_STREQ(orvGetErrorMessage(encoder), "");
    const AudioFrame frame(10);
    LogCapture log;
    expectFailure(orvEncodeFrame(encoder, frame.get()), ORV_ERR_UNKNOWN,
                  "missing call to beginStream()");
    EXPECT_EQ(log.text(), "*** OrvEnc::setError(): missing call to beginStream()\n");

    const int id = addAudio();
    ASSERT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);
    ASSERT_EQ(orvEncodeFrame(encoder, frame.get()), ORV_ERR_NONE);
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    EXPECT_STREQ(orvGetErrorMessage(encoder), "missing call to beginStream()");
}

TEST_F(SessionTest, FailuresOfEveryKindBecomeCodes) {
    open();
    FakeStream* stream = addFake(1);
    ASSERT_EQ(orvBeginStream(encoder, 0), ORV_ERR_NONE);
    const AudioFrame frame(1);

    stream->failEncode = [] { throwIoError(); };
    expectFailure(orvEncodeFrame(encoder, frame.get()), ORV_ERR_IO, "fake write failed");

    // A standard exception keeps its text and becomes code 13.
    stream->failEncode = [] { throw std::length_error("vector too long"); };
    expectFailure(orvEncodeFrame(encoder, frame.get()), ORV_ERR_UNKNOWN, "vector too long");

    // Anything else is code 13 with the message and the log left alone.
    stream->failEncode = [] { throw 42; };
    LogCapture log;
    expectFailure(orvEncodeFrame(encoder, frame.get()), ORV_ERR_UNKNOWN, "vector too long");
    EXPECT_EQ(log.text(), "");
}

TEST_F(SessionTest, ThumbnailsAreIgnoredByTheCInterfaceButRefusedInside) {
    open();
    EXPECT_EQ(orvAddThumbnail(encoder, nullptr), ORV_ERR_NONE);
    try {
        encoder->addThumbnail(OrvThumbnail_st{});
        FAIL() << "addThumbnail succeeded";
    } catch (const OrvException& error) {
        EXPECT_STREQ(error.what(), "unimplemented");
        EXPECT_EQ(error.code, ORV_ERR_UNKNOWN);
    }
}

// ---- Adding streams ---------------------------------------------------------------------

TEST_F(SessionTest, TwoStreamsOfEachKindAreAcceptedWithIdsInOrder) {
    open();
    EXPECT_EQ(addAudio(), 0);
    addFake(0);
    EXPECT_EQ(addAudio(), 2);
    addFake(0);
    EXPECT_EQ(encoder->nextStreamId(), 4);
    EXPECT_EQ(encoder->getStream(1)->getType(), 0u);
    EXPECT_EQ(encoder->getStream(3)->getType(), 0u);
}

TEST_F(SessionTest, ThirdAudioStreamIsRefusedAndConsumesNoId) {
    open();
    addAudio();
    addAudio();
    const OrvAudioStreamParams_st params = stereoParams();
    int id = 77;
    LogCapture log;
    expectFailure(orvAddAudioStream(encoder, &params, &id), ORV_ERR_TOO_MANY_STREAMS,
                  "too many audio streams");
    EXPECT_EQ(id, 77);
    // Refused before construction: the stream's own log line never appears.
    EXPECT_EQ(log.text(), "*** OrvEnc::setError(): too many audio streams\n");
    addFake(0);
    EXPECT_EQ(encoder->nextStreamId(), 3);
}

TEST_F(SessionTest, ThirdVideoStreamIsRefusedAndConsumesNoId) {
    open();
    addFake(0);
    addFake(0);
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    int id = 77;
    expectFailure(orvAddVideoStream(encoder, &params, &id), ORV_ERR_TOO_MANY_STREAMS,
                  "too many video streams");
    EXPECT_EQ(id, 77);
    // Streams handed in whole are held to the same limit.
    try {
        addFake(0);
        FAIL() << "third video stream accepted";
    } catch (const OrvException& error) {
        EXPECT_STREQ(error.what(), "too many video streams");
        EXPECT_EQ(error.code, ORV_ERR_TOO_MANY_STREAMS);
    }
    EXPECT_EQ(addAudio(), 2);
}

TEST_F(SessionTest, StreamRefusedByItsConstructorConsumesNoId) {
    open();
    OrvAudioStreamParams_st params = stereoParams();
    params.numChannels = 0;
    int id = 77;
    expectFailure(orvAddAudioStream(encoder, &params, &id), ORV_ERR_UNKNOWN, "bad channel count");
    EXPECT_EQ(id, 77);
    EXPECT_EQ(addAudio(), 0);
}

TEST_F(SessionTest, VideoStreamRefusedByItsSetupConsumesNoId) {
    open();
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    params.width = 64;
    params.height = 64;
    int id = 77;
    expectFailure(orvAddVideoStream(encoder, &params, &id), ORV_ERR_INVALID_TIMEBASE,
                  "invalid timebase");
    EXPECT_EQ(id, 77);
    EXPECT_EQ(addAudio(), 0);
}

TEST_F(SessionTest, StreamsCannotBeAddedAfterFinish) {
    open();
    ASSERT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
    const OrvAudioStreamParams_st audio = stereoParams();
    OrvVideoStreamParams_st video;
    orvInitVideoStreamParams(&video);
    int id = 77;
    expectFailure(orvAddAudioStream(encoder, &audio, &id), ORV_ERR_UNKNOWN,
                  "encoder already finished");
    expectFailure(orvAddVideoStream(encoder, &video, &id), ORV_ERR_UNKNOWN,
                  "encoder already finished");
    EXPECT_EQ(id, 77);
    EXPECT_THROW(addFake(1), OrvException);
    EXPECT_EQ(encoder->nextStreamId(), 0);
}

TEST_F(SessionTest, PreferredFormatsExistOnlyForVideoStreams) {
    open();
    const int audio = addAudio();
    addFake(0);
    EXPECT_EQ(orvGetPreferredSrcPixFmts(encoder, -1), nullptr);
    EXPECT_EQ(orvGetPreferredSrcPixFmts(encoder, 2), nullptr);  // the number of streams
    EXPECT_EQ(orvGetPreferredSrcPixFmts(encoder, audio), nullptr);
    const int32_t* formats = orvGetPreferredSrcPixFmts(encoder, 1);
    ASSERT_NE(formats, nullptr);
    EXPECT_EQ(formats[0], 1);
    EXPECT_EQ(formats[1], 3);
    EXPECT_EQ(formats[2], -1);
    EXPECT_EQ(encoder->getStream(-1), nullptr);
    EXPECT_EQ(encoder->getStream(2), nullptr);
}

// ---- Order of calls ---------------------------------------------------------------------

TEST_F(SessionTest, OnlyOneStreamIsActiveAtATime) {
    open();
    const int first = addAudio();
    const int second = addAudio();
    ASSERT_EQ(orvBeginStream(encoder, first), ORV_ERR_NONE);
    expectFailure(orvBeginStream(encoder, first), ORV_ERR_UNKNOWN, "missing call to endStream()");
    expectFailure(orvBeginStream(encoder, second), ORV_ERR_UNKNOWN,
                  "missing call to endStream()");
    // The refusals changed nothing: the first stream is still the one fed.
    const AudioFrame frame(5);
    EXPECT_EQ(orvEncodeFrame(encoder, frame.get()), ORV_ERR_NONE);
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    EXPECT_EQ(orvBeginStream(encoder, second), ORV_ERR_NONE);
}

TEST_F(SessionTest, EndedStreamCannotBeBegunAgain) {
    open();
    const int id = addAudio();
    ASSERT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    expectFailure(orvBeginStream(encoder, id), ORV_ERR_UNKNOWN, "stream is already finished");
    const AudioFrame frame(5);
    expectFailure(orvEncodeFrame(encoder, frame.get()), ORV_ERR_UNKNOWN,
                  "missing call to beginStream()");
}

TEST_F(SessionTest, UnknownStreamIdsAreRefused) {
    open();
    addAudio();
    expectFailure(orvBeginStream(encoder, 7), ORV_ERR_UNKNOWN, "unknown stream id");
    orvEncoderFinish(encoder);
    expectFailure(orvBeginStream(encoder, -1), ORV_ERR_UNKNOWN, "unknown stream id");
    expectFailure(orvBeginStream(encoder, 1), ORV_ERR_UNKNOWN, "unknown stream id");
}

TEST_F(SessionTest, EndingWithoutAnActiveStreamIsRefusedAndLogged) {
    open();
    LogCapture log;
    expectFailure(orvEndStream(encoder), ORV_ERR_UNKNOWN, "no active stream");
    EXPECT_EQ(log.text(),
              "*** OrvEnc::endStream() no active stream\n"
              "*** OrvEnc::setError(): no active stream\n");
}

TEST_F(SessionTest, FinishEndsTheActiveStreamAndOnlyLogsTheSecondTime) {
    open();
    auto record = std::make_shared<FakeRecord>();
    addFake(1, record);
    const int audio = addAudio();
    ASSERT_EQ(orvBeginStream(encoder, audio), ORV_ERR_NONE);
    const AudioFrame frame(100);
    ASSERT_EQ(orvEncodeFrame(encoder, frame.get()), ORV_ERR_NONE);
    {
        LogCapture log;
        EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
        EXPECT_EQ(log.text(), "*** OrvEnc::finish()\n");
    }
    const Bytes file = readFile(path);  // complete on disk before the close
    EXPECT_EQ(usedSlots(file), 1u);
    EXPECT_EQ(slotAt(file, 0).size, 1u + 44 + 400);
    {
        LogCapture log;
        EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
        EXPECT_EQ(log.text(), "*** OrvEnc::finish()\n");
    }
    expectFailure(orvEncodeFrame(encoder, frame.get()), ORV_ERR_UNKNOWN,
                  "missing call to beginStream()");
    expectFailure(orvEndStream(encoder), ORV_ERR_UNKNOWN, "no active stream");
    // Every stream that existed at finish is finished, begun or not.
    expectFailure(orvBeginStream(encoder, audio), ORV_ERR_UNKNOWN, "stream is already finished");
    expectFailure(orvBeginStream(encoder, 0), ORV_ERR_UNKNOWN, "stream is already finished");
    EXPECT_EQ(record->begins, 0);
    EXPECT_EQ(record->closes, 0);
}

TEST_F(SessionTest, StreamsNeverBegunAreSkippedAtFinishAndClose) {
    auto record = std::make_shared<FakeRecord>();
    open();
    addAudio();
    const int begun = addAudio();
    addFake(0, record);
    ASSERT_EQ(orvBeginStream(encoder, begun), ORV_ERR_NONE);
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    closeSession();
    EXPECT_EQ(record->closes, 0);
    EXPECT_TRUE(record->destroyed);
    const Bytes file = readFile(path);
    EXPECT_EQ(usedSlots(file), 1u);
    EXPECT_EQ(file.size(), 284u + 45);
}

TEST_F(SessionTest, ClosingTheHandleEndsTheActiveStreamAndDeletesEveryStream) {
    auto active = std::make_shared<FakeRecord>();
    auto ended = std::make_shared<FakeRecord>();
    open();
    addFake(1, ended);
    addFake(0, active);
    ASSERT_EQ(orvBeginStream(encoder, 0), ORV_ERR_NONE);
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    ASSERT_EQ(orvBeginStream(encoder, 1), ORV_ERR_NONE);
    closeSession();
    EXPECT_EQ(active->sectionsEnded, 1);
    EXPECT_EQ(ended->sectionsEnded, 1);
    EXPECT_EQ(ended->closes, 2);  // closed again by the implicit finish, returning at once
    EXPECT_TRUE(active->destroyed);
    EXPECT_TRUE(ended->destroyed);
    EXPECT_EQ(usedSlots(readFile(path)), 2u);
}

// ---- Failing streams --------------------------------------------------------------------

TEST_F(SessionTest, StreamWhoseBeginFailsStaysActiveUntilEnded) {
    open();
    FakeStream* failing = addFake(1);
    addFake(1);
    failing->failBegin = [] { throwIoError(); };
    expectFailure(orvBeginStream(encoder, 0), ORV_ERR_IO, "fake write failed");
    expectFailure(orvBeginStream(encoder, 1), ORV_ERR_UNKNOWN, "missing call to endStream()");
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    EXPECT_EQ(orvBeginStream(encoder, 1), ORV_ERR_NONE);
}

TEST_F(SessionTest, AudioStreamWhoseBeginFailedCanBeEndedOnce) {
    open();
    FakeStream* fake = addFake(0);
    const int audio = addAudio();
    // The fake leaves its section open, so the audio stream's begin fails.
    fake->failAfterFinished = [] { throwIoError(); };
    ASSERT_EQ(orvBeginStream(encoder, 0), ORV_ERR_NONE);
    expectFailure(orvEndStream(encoder), ORV_ERR_IO, "fake write failed");
    expectFailure(orvBeginStream(encoder, audio), ORV_ERR_UNKNOWN, "missing call to endSection");
    expectFailure(orvEndStream(encoder), ORV_ERR_UNKNOWN, "audio header was not written");
    expectFailure(orvEndStream(encoder), ORV_ERR_UNKNOWN, "no active stream");
    EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
}

TEST_F(SessionTest, CloseFailingBeforeTheStreamFinishedKeepsItActive) {
    open();
    auto record = std::make_shared<FakeRecord>();
    FakeStream* stream = addFake(1, record);
    addFake(1);
    ASSERT_EQ(orvBeginStream(encoder, 0), ORV_ERR_NONE);
    stream->failBeforeFinished = [] { throwIoError(); };
    expectFailure(orvEndStream(encoder), ORV_ERR_IO, "fake write failed");
    expectFailure(orvBeginStream(encoder, 1), ORV_ERR_UNKNOWN, "missing call to endStream()");
    const AudioFrame frame(1);
    EXPECT_EQ(orvEncodeFrame(encoder, frame.get()), ORV_ERR_NONE);  // still the active one
    EXPECT_EQ(record->frames, 1);
    stream->failBeforeFinished = nullptr;
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    EXPECT_EQ(record->sectionsEnded, 1);
    EXPECT_EQ(orvBeginStream(encoder, 1), ORV_ERR_NONE);
}

TEST_F(SessionTest, CloseFailingAfterTheStreamFinishedIsReportedOnce) {
    open();
    auto record = std::make_shared<FakeRecord>();
    FakeStream* stream = addFake(1, record);
    ASSERT_EQ(orvBeginStream(encoder, 0), ORV_ERR_NONE);
    stream->failAfterFinished = [] { throwIoError(); };
    expectFailure(orvEndStream(encoder), ORV_ERR_IO, "fake write failed");
    expectFailure(orvEndStream(encoder), ORV_ERR_UNKNOWN, "no active stream");
    const AudioFrame frame(1);
    expectFailure(orvEncodeFrame(encoder, frame.get()), ORV_ERR_UNKNOWN,
                  "missing call to beginStream()");
    EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
    EXPECT_EQ(record->closes, 2);  // the finish's close returned at once
    EXPECT_EQ(record->sectionsEnded, 0);
}

TEST_F(SessionTest, FinishReportsAFailingCloseAndCanBeRetried) {
    open();
    auto record = std::make_shared<FakeRecord>();
    FakeStream* stream = addFake(1, record);
    ASSERT_EQ(orvBeginStream(encoder, 0), ORV_ERR_NONE);
    stream->failBeforeFinished = [] { throwIoError(); };
    expectFailure(orvEncoderFinish(encoder), ORV_ERR_IO, "fake write failed");
    expectFailure(orvEncoderFinish(encoder), ORV_ERR_IO, "fake write failed");
    stream->failBeforeFinished = nullptr;
    EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
    EXPECT_EQ(record->sectionsEnded, 1);
    EXPECT_EQ(usedSlots(readFile(path)), 1u);
}

TEST_F(SessionTest, CloseSwallowsAndLogsAFailingFinish) {
    open();
    auto record = std::make_shared<FakeRecord>();
    FakeStream* stream = addFake(1, record);
    ASSERT_EQ(orvBeginStream(encoder, 0), ORV_ERR_NONE);
    stream->failBeforeFinished = [] { throwIoError(); };
    LogCapture log;
    closeSession();
    EXPECT_EQ(log.text(),
              "*** OrvEnc::finish()\n"
              "*** OrvEnc::~OrvEnc(): fake write failed\n");
    EXPECT_TRUE(record->destroyed);
    // The header stays valid; the section that never ended has no entry.
    const Bytes file = readFile(path);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 284), emptyContainer());
}

// ---- Write failures ----------------------------------------------------------------------

TEST_F(SessionTest, WriteFailureReachesTheHostAsCodeFour) {
    open();
    const int id = addAudio();
    ASSERT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);
    const AudioFrame big(300000);  // 1.2 MB of 16-bit samples
    {
        FileSizeLimit limit(1 << 20);
        LogCapture log;
        expectFailure(orvEncodeFrame(encoder, big.get()), ORV_ERR_IO,
                      std::string("error while writing: ") + std::strerror(EFBIG));
        EXPECT_EQ(log.text(), std::string("*** OrvEnc::setError(): error while writing: ") +
                                  std::strerror(EFBIG) + "\n");
    }
    // Under no limit the session goes on: the stream ends and the file is valid.
    const AudioFrame small(10);
    EXPECT_EQ(orvEncodeFrame(encoder, small.get()), ORV_ERR_NONE);
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
    EXPECT_EQ(usedSlots(readFile(path)), 1u);
}

TEST_F(SessionTest, WriteFailureAtTheEndOfAStreamIsReported) {
    open();
    const int id = addAudio();
    ASSERT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);
    const AudioFrame frame(100);  // stays in the stream buffer
    ASSERT_EQ(orvEncodeFrame(encoder, frame.get()), ORV_ERR_NONE);
    {
        FileSizeLimit limit(300);
        const OrvError_enum result = orvEndStream(encoder);
        // The buffered samples fail when the sizes are patched.
        EXPECT_EQ(result, ORV_ERR_UNKNOWN);
        EXPECT_EQ(std::string(orvGetErrorMessage(encoder)),
                  std::string("error while writing: ") + std::strerror(EFBIG));
    }
    closeSession();  // no crash, no leak, whatever the state of the file
}
