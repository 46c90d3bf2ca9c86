// Many short sessions of every shape on 1 to 8 workers, with maxParallel 0, 1
// and large; streams ended while their frames are still in flight; hosts
// that stop calling in the middle; sessions on several host threads at once;
// and a long clip whose memory stays within the maxParallel bound. Threading
// never changes a byte: every file equals the one a single worker writes
// with one frame in flight. Meant to run under ThreadSanitizer and
// AddressSanitizer as well, so frames stay small.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "host_session.hpp"
#include "orv.h"
#include "orv_reader.hpp"
#include "orvenc.hpp"
#include "task_pool.hpp"

namespace {

using hostsession::makePicture;
using hostsession::makeSamples;
using hostsession::readFile;
using hostsession::videoParams;

// ---- Plans of whole sessions ------------------------------------------------------

struct VideoPlan {
    uint32_t width = 16;
    uint32_t height = 16;
    uint32_t format = ORV_PIX_FMT_DXT1;
    uint32_t compression = ORV_COMPRESSION_NONE;
    uint32_t maxParallel = 1;
    uint32_t pixFmt = ORV_SRC_PIX_FMT_RGBA32;
    uint32_t origin = 0;
    uint32_t extraStride = 0;  // bytes of padding after each row
    int frames = 4;
};

struct AudioPlan {
    uint32_t channels = 2;
    std::vector<uint32_t> frameSamples;  // samples per channel of each frame
};

struct StreamPlan {
    bool video = true;
    VideoPlan v;
    AudioPlan a;
};

// Streams are added in order and begun in `beginOrder`.
struct SessionPlan {
    uint32_t threads = 2;
    std::vector<StreamPlan> streams;
    std::vector<size_t> beginOrder;
};

// A plan of 1 or 2 video and 0 to 2 audio streams with small frames of any
// shape, begun in a shuffled order.
SessionPlan randomPlan(uint32_t seed) {
    std::mt19937 random(seed);
    auto pick = [&](uint32_t below) { return static_cast<uint32_t>(random() % below); };
    SessionPlan plan;
    plan.threads = 1 + pick(8);
    const uint32_t videos = 1 + pick(2);
    const uint32_t audios = pick(3);
    const uint32_t maxParallels[] = {0, 1, 2, 5, 1000, 0x80000000u};
    for (uint32_t i = 0; i < videos; ++i) {
        StreamPlan stream;
        stream.v.width = 8 + pick(57);
        stream.v.height = 8 + pick(57);
        stream.v.format = pick(4);
        stream.v.compression = pick(3);
        stream.v.maxParallel = maxParallels[pick(6)];
        stream.v.pixFmt = pick(2) == 0 ? ORV_SRC_PIX_FMT_RGBA32 : ORV_SRC_PIX_FMT_BGRA32;
        stream.v.origin = pick(2);
        stream.v.extraStride = pick(3) * 4;
        stream.v.frames = 1 + static_cast<int>(pick(10));
        plan.streams.push_back(stream);
    }
    for (uint32_t i = 0; i < audios; ++i) {
        StreamPlan stream;
        stream.video = false;
        stream.a.channels = 1 + pick(6);
        for (uint32_t f = 0, n = pick(5); f < n; ++f) stream.a.frameSamples.push_back(pick(5000));
        plan.streams.push_back(stream);
    }
    for (size_t i = 0; i < plan.streams.size(); ++i) plan.beginOrder.push_back(i);
    std::shuffle(plan.beginOrder.begin(), plan.beginOrder.end(), random);
    return plan;
}

// The same session with one worker and each video stream taking one frame
// at a time: its file is what every other threading must reproduce.
SessionPlan serialised(SessionPlan plan) {
    plan.threads = 1;
    for (StreamPlan& stream : plan.streams) stream.v.maxParallel = 0;
    return plan;
}

OrvSrcFrame_st videoFrame(const VideoPlan& plan, int index) {
    OrvSrcFrame_st frame{};
    frame.width = plan.width;
    frame.height = plan.height;
    frame.stride = plan.width * 4 + plan.extraStride;
    frame.pixFmt = plan.pixFmt;
    frame.origin = plan.origin;
    frame.pts = 7 * index - 3;
    frame.buffer = makePicture(plan.height, frame.stride, index);
    return frame;
}

// How a host ends its session.
enum class Ending {
    finish,       // orvEncoderFinish, then orvEncoderClose
    closeOnly,    // orvEncoderClose alone, with the last stream still active
};

// Runs a plan from the calling thread; every call must succeed. Returns
// the file's bytes.
class Session {
public:
    Session(const SessionPlan& plan, std::string path) : plan(plan), path(std::move(path)) {}

    std::string run(Ending ending = Ending::finish) {
        open();
        for (size_t i = 0; i < plan.beginOrder.size(); ++i) {
            const bool last = i + 1 == plan.beginOrder.size();
            runStream(plan.beginOrder[i], !(last && ending == Ending::closeOnly));
        }
        if (ending == Ending::finish) {
            EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
        }
        close();
        return readFile(path);
    }

    void open() {
        const OrvEncoderParams_st params{plan.threads};
        ASSERT_EQ(orvEncoderOpen(path.c_str(), &params, &encoder), ORV_ERR_NONE);
        for (const StreamPlan& stream : plan.streams) {
            int id = -1;
            if (stream.video) {
                const VideoPlan& v = stream.v;
                OrvVideoStreamParams_st params =
                    videoParams(v.width, v.height, v.format, v.compression, v.maxParallel);
                ASSERT_EQ(orvAddVideoStream(encoder, &params, &id), ORV_ERR_NONE);
            } else {
                OrvAudioStreamParams_st params;
                orvInitAudioStreamParams(&params);
                params.sampleRate = 44100;
                params.numChannels = stream.a.channels;
                ASSERT_EQ(orvAddAudioStream(encoder, &params, &id), ORV_ERR_NONE);
            }
            ids.push_back(id);
        }
    }

    // Begins stream `index` and hands over all its frames; ends it when `end`.
    void runStream(size_t index, bool end) {
        const StreamPlan& stream = plan.streams[index];
        ASSERT_EQ(orvBeginStream(encoder, ids[index]), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
        if (stream.video) {
            for (int f = 0; f < stream.v.frames; ++f) encodeVideo(stream.v, f);
        } else {
            int seed = 0;
            for (uint32_t samples : stream.a.frameSamples) {
                OrvSrcFrame_st frame{};
                frame.numSamples = samples;
                frame.buffer = makeSamples(stream.a.channels, samples, seed++);
                EXPECT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
                orvBufferFree(frame.buffer);
            }
        }
        if (end) {
            EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
        }
    }

    void encodeVideo(const VideoPlan& v, int index) {
        OrvSrcFrame_st frame = videoFrame(v, index);
        const OrvError_enum code = orvEncodeFrame(encoder, &frame);
        EXPECT_EQ(code, ORV_ERR_NONE) << orvGetErrorMessage(encoder);
        if (code != ORV_ERR_NONE) orvBufferFree(frame.buffer);
    }

    void close() {
        EXPECT_EQ(orvEncoderClose(encoder), ORV_ERR_NONE);
        encoder = nullptr;
    }

    OrvEnc* handle() const { return encoder; }
    int id(size_t index) const { return ids[index]; }

private:
    SessionPlan plan;
    std::string path;
    OrvEnc* encoder = nullptr;
    std::vector<int> ids;
};

// Holds every worker of a session's pool until released: nothing of any
// frame runs meanwhile, so frames handed over stay in flight for certain.
class WorkerGate {
public:
    WorkerGate(OrvEnc* encoder, size_t workers) {
        class Wait : public brindle::TaskPool::Task {
        public:
            explicit Wait(std::shared_future<void> opened) : Task(100), opened(std::move(opened)) {}
            void run() override { opened.wait(); }

        private:
            std::shared_future<void> opened;
        };
        const std::shared_future<void> opened = promise.get_future().share();
        // Above every pipeline task: each worker takes one and blocks on it.
        for (size_t i = 0; i < workers; ++i)
            encoder->getContext().pool.addTask(std::make_unique<Wait>(opened));
    }
    ~WorkerGate() { release(); }
    WorkerGate(const WorkerGate&) = delete;
    WorkerGate& operator=(const WorkerGate&) = delete;

    void release() {
        if (!released) promise.set_value();
        released = true;
    }

private:
    std::promise<void> promise;
    bool released = false;
};

class QuietLog {
public:
    QuietLog() { brindle::logOpen("/dev/null"); }
    ~QuietLog() { brindle::logClose(); }
};

class Stress : public ::testing::Test {
protected:
    Stress() {
        std::string pattern = ::testing::TempDir() + "orv_stress_XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir = pattern;
    }
    ~Stress() override { std::filesystem::remove_all(dir); }

    std::string file(const std::string& name) const { return dir + "/" + name; }

    std::string dir;
    QuietLog quiet;
};

std::span<const uint8_t> asBytes(const std::string& bytes) {
    return std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// The pts of every frame of the file's first video section.
std::vector<uint64_t> videoPts(const std::string& bytes) {
    const orvread::OrvFile file(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    return file.video(0).framePts;
}

}  // namespace

// ---- Many sessions ------------------------------------------------------------------

TEST_F(Stress, ManyShortSessionsOfEveryShapeWriteWhatOneWorkerWrites) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        const SessionPlan plan = randomPlan(seed);
        SCOPED_TRACE("session " + std::to_string(seed) + " on " + std::to_string(plan.threads) +
                     " workers");
        const std::string expected = Session(serialised(plan), file("serial.orv")).run();
        EXPECT_TRUE(orvread::verify(asBytes(expected)).empty());
        const std::string written = Session(plan, file("threaded.orv")).run();
        ASSERT_TRUE(written == expected) << "threading changed the file";
    }
}

TEST_F(Stress, SessionsOnSeveralHostThreadsAtOnce) {
    constexpr int hosts = 4;
    constexpr uint32_t sessionsPerHost = 4;
    std::vector<std::string> expected;
    for (uint32_t seed = 100; seed < 100 + hosts * sessionsPerHost; ++seed)
        expected.push_back(
            Session(serialised(randomPlan(seed)), file("serial" + std::to_string(seed))).run());
    std::vector<std::future<int>> running;
    for (int host = 0; host < hosts; ++host)
        running.push_back(std::async(std::launch::async, [&, host] {
            int same = 0;
            for (uint32_t i = 0; i < sessionsPerHost; ++i) {
                const uint32_t seed = 100 + static_cast<uint32_t>(host) * sessionsPerHost + i;
                const std::string written =
                    Session(randomPlan(seed), file("host" + std::to_string(seed))).run();
                if (written == expected[seed - 100]) ++same;
            }
            return same;
        }));
    for (std::future<int>& host : running) EXPECT_EQ(host.get(), static_cast<int>(sessionsPerHost));
}

TEST_F(Stress, ManyStreamsBegunAndEndedInOneSession) {
    // Two video and two audio streams, the most a session holds, each begun
    // and ended in turn with maxParallel 0, 1 and large on 1 to 8 workers.
    for (uint32_t threads : {1u, 2u, 5u, 8u}) {
        SessionPlan plan;
        plan.threads = threads;
        for (uint32_t maxParallel : {0u, 1000u}) {
            StreamPlan video;
            video.v.width = 20;
            video.v.height = 12;
            video.v.format = ORV_PIX_FMT_YCOCG_DXT5_ALPHA;
            video.v.compression = ORV_COMPRESSION_LZ4;
            video.v.maxParallel = maxParallel;
            video.v.frames = 12;
            plan.streams.push_back(video);
            StreamPlan audio;
            audio.video = false;
            audio.a.frameSamples = {100, 4097, 0, 9000};
            plan.streams.push_back(audio);
        }
        plan.beginOrder = {1, 0, 3, 2};
        SCOPED_TRACE(std::to_string(threads) + " workers");
        const std::string expected = Session(serialised(plan), file("serial.orv")).run();
        EXPECT_EQ(Session(plan, file("threaded.orv")).run(), expected);
    }
}

// ---- Frames in flight ------------------------------------------------------------

TEST_F(Stress, EndingAStreamWhileItsFramesAreInFlightWritesThemAllInOrder) {
    for (uint32_t threads : {1u, 3u, 8u}) {
        SessionPlan plan;
        plan.threads = threads;
        StreamPlan video;
        video.v.width = 36;  // copied slices: one more task per frame
        video.v.height = 20;
        video.v.compression = ORV_COMPRESSION_SNAPPY;
        video.v.maxParallel = 1000;
        video.v.frames = 24;
        plan.streams.push_back(video);
        plan.beginOrder = {0};
        SCOPED_TRACE(std::to_string(threads) + " workers");
        const std::string expected = Session(serialised(plan), file("serial.orv")).run();

        Session session(plan, file("threaded.orv"));
        session.open();
        WorkerGate gate(session.handle(), threads);
        session.runStream(0, false);
        // No frame can have moved yet: the end is asked for with all 24 in flight.
        std::future<OrvError_enum> ended =
            std::async(std::launch::async, [&] { return orvEndStream(session.handle()); });
        gate.release();
        EXPECT_EQ(ended.get(), ORV_ERR_NONE);
        EXPECT_EQ(orvEncoderFinish(session.handle()), ORV_ERR_NONE);
        session.close();
        const std::string written = readFile(file("threaded.orv"));
        EXPECT_EQ(videoPts(written).size(), 24u);
        EXPECT_TRUE(written == expected);
    }
}

TEST_F(Stress, HostThatStopsCallingWithFramesInFlightStillGetsTheWholeFile) {
    for (uint32_t threads : {1u, 4u}) {
        SessionPlan plan;
        plan.threads = threads;
        StreamPlan audio;
        audio.video = false;
        audio.a.frameSamples = {300, 300};
        plan.streams.push_back(audio);
        StreamPlan video;
        video.v.format = ORV_PIX_FMT_DXT5;
        video.v.compression = ORV_COMPRESSION_LZ4;
        video.v.maxParallel = 16;
        video.v.frames = 16;
        plan.streams.push_back(video);
        plan.beginOrder = {0, 1};
        SCOPED_TRACE(std::to_string(threads) + " workers");
        const std::string expected = Session(serialised(plan), file("serial.orv")).run();

        // Neither orvEndStream nor orvEncoderFinish: the host closes the
        // handle while no frame has been encoded yet.
        Session session(plan, file("abandoned.orv"));
        session.open();
        session.runStream(0, true);
        WorkerGate gate(session.handle(), threads);
        session.runStream(1, false);
        std::future<void> closed =
            std::async(std::launch::async, [&] { session.close(); });
        gate.release();
        closed.get();
        EXPECT_TRUE(readFile(file("abandoned.orv")) == expected);
    }
}

TEST_F(Stress, HostThatStopsCallingAfterAFrameFailedNeitherHangsNorLeaks) {
    for (uint32_t threads : {1u, 2u, 6u}) {
        SCOPED_TRACE(std::to_string(threads) + " workers");
        const uint64_t liveBefore = brindle::bufferCounters().liveBytes;
        {
            SessionPlan plan;
            plan.threads = threads;
            StreamPlan video;
            video.v.maxParallel = 1000;
            video.v.frames = 0;
            plan.streams.push_back(video);
            plan.beginOrder = {0};
            Session session(plan, file("failed.orv"));
            session.open();
            session.runStream(0, false);
            WorkerGate gate(session.handle(), threads);
            for (int f = 0; f < 20; ++f) {
                OrvSrcFrame_st frame = videoFrame(plan.streams[0].v, f);
                // Frame 7 cannot be encoded: the block encoder refuses RGB24.
                if (f == 7) frame.pixFmt = ORV_SRC_PIX_FMT_RGB24;
                ASSERT_EQ(orvEncodeFrame(session.handle(), &frame), ORV_ERR_NONE);
            }
            std::future<void> closed = std::async(std::launch::async, [&] { session.close(); });
            gate.release();
            closed.get();
            // The frames before the failed one are in a sound file.
            const std::string written = readFile(file("failed.orv"));
            EXPECT_TRUE(orvread::verify(asBytes(written)).empty());
            EXPECT_EQ(videoPts(written).size(), 7u);
        }
        EXPECT_EQ(brindle::bufferCounters().liveBytes, liveBefore);
    }
}

// ---- Memory ----------------------------------------------------------------------

namespace {

// The most buffer bytes one 16x16 frame holds at once: the host's pixels
// (compressed in place, no slice copy), the BC3 blocks, and LZ4's output at
// its worst case plus its size prefix.
constexpr uint32_t kSide = 16;
constexpr uint64_t kPictureBytes = uint64_t{kSide} * kSide * 4;
constexpr uint64_t kBlockBytes = uint64_t{kSide / 4} * (kSide / 4) * 16;
constexpr uint64_t kFrameBytes = kPictureBytes + kBlockBytes + (kBlockBytes + kBlockBytes / 255 + 16) + 4;

// Frames alive at once: at most maxParallel + 1 queued, one being written,
// and one per worker whose last task still holds a frame that was already
// written. The host's next picture exists before it is handed over.
uint64_t memoryBound(uint32_t maxParallel, uint32_t workers) {
    return (uint64_t{maxParallel} + 2 + workers) * kFrameBytes + kPictureBytes;
}

}  // namespace

TEST_F(Stress, LongClipMemoryStaysWithinTheMaxParallelBound) {
    constexpr int frames = 2000;
    for (const auto& [maxParallel, workers] :
         {std::pair<uint32_t, uint32_t>{0, 2}, {4, 1}, {16, 3}}) {
        SCOPED_TRACE("maxParallel " + std::to_string(maxParallel) + ", " +
                     std::to_string(workers) + " workers");
        const uint64_t liveBefore = brindle::bufferCounters().liveBytes;
        const OrvEncoderParams_st params{workers};
        OrvEnc* encoder = nullptr;
        ASSERT_EQ(orvEncoderOpen(file("long.orv").c_str(), &params, &encoder), ORV_ERR_NONE);
        OrvVideoStreamParams_st video =
            videoParams(kSide, kSide, ORV_PIX_FMT_DXT5, ORV_COMPRESSION_LZ4, maxParallel);
        int id = -1;
        ASSERT_EQ(orvAddVideoStream(encoder, &video, &id), ORV_ERR_NONE);
        ASSERT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);
        brindle::resetBufferPeak();
        uint64_t firstPeak = 0;
        for (int f = 0; f < frames; ++f) {
            if (f == frames / 10) {
                firstPeak = brindle::bufferCounters().peakBytes - liveBefore;
                brindle::resetBufferPeak();
            }
            OrvSrcFrame_st frame = videoFrame(VideoPlan{kSide, kSide}, f);
            ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
        }
        ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
        const uint64_t laterPeak = brindle::bufferCounters().peakBytes - liveBefore;
        EXPECT_EQ(orvEncoderClose(encoder), ORV_ERR_NONE);
        // Flat: the last nine tenths of the clip need no more than the bound
        // that already held for its first tenth.
        EXPECT_LE(firstPeak, memoryBound(maxParallel, workers));
        EXPECT_LE(laterPeak, memoryBound(maxParallel, workers));
        EXPECT_EQ(brindle::bufferCounters().liveBytes, liveBefore) << "frames outlived the session";
        EXPECT_EQ(videoPts(readFile(file("long.orv"))).size(), static_cast<size_t>(frames));
    }
}

TEST_F(Stress, FramesHeldBackByBusyWorkersAreCountedInFlight) {
    // The counters see what is really alive: with every worker held, each
    // accepted frame keeps its picture, and nothing else exists yet.
    constexpr uint32_t maxParallel = 5;
    const uint64_t liveBefore = brindle::bufferCounters().liveBytes;
    const OrvEncoderParams_st params{2};
    OrvEnc* encoder = nullptr;
    ASSERT_EQ(orvEncoderOpen(file("held.orv").c_str(), &params, &encoder), ORV_ERR_NONE);
    OrvVideoStreamParams_st video =
        videoParams(kSide, kSide, ORV_PIX_FMT_DXT5, ORV_COMPRESSION_LZ4, maxParallel);
    int id = -1;
    ASSERT_EQ(orvAddVideoStream(encoder, &video, &id), ORV_ERR_NONE);
    ASSERT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);
    {
        WorkerGate gate(encoder, 2);
        for (uint32_t f = 0; f <= maxParallel; ++f) {
            OrvSrcFrame_st frame = videoFrame(VideoPlan{kSide, kSide}, static_cast<int>(f));
            ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
        }
        EXPECT_EQ(brindle::bufferCounters().liveBytes - liveBefore,
                  (maxParallel + 1) * kPictureBytes);
    }
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    EXPECT_EQ(orvEncoderClose(encoder), ORV_ERR_NONE);
    EXPECT_EQ(brindle::bufferCounters().liveBytes, liveBefore);
}
