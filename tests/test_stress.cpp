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
#include <future>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host_session.hpp"
#include "orvenc.hpp"

namespace {

using hostsession::makePicture;
using hostsession::makeSamples;
using hostsession::videoParams;
using orvtest::Bytes;
using orvtest::readFile;

struct VideoPlan {
    uint32_t width = 16, height = 16;
    uint32_t format = ORV_PIX_FMT_DXT1;
    uint32_t compression = ORV_COMPRESSION_NONE;
    uint32_t maxParallel = 1;
    uint32_t pixFmt = ORV_SRC_PIX_FMT_RGBA32;
    uint32_t origin = 0;
    uint32_t extraStride = 0;  // bytes of padding after each row
    int frames = 4;
};

struct StreamPlan {
    bool video = true;
    VideoPlan v;
    uint32_t channels = 2;               // audio
    std::vector<uint32_t> frameSamples;  // audio: samples per channel of each frame
};

// Streams are added in order and begun in `beginOrder`.
struct SessionPlan {
    uint32_t threads = 2;
    std::vector<StreamPlan> streams;
    std::vector<size_t> beginOrder;
};

StreamPlan videoStream(const VideoPlan& v) { return {true, v, 0, {}}; }
StreamPlan audioStream(std::vector<uint32_t> frameSamples) {
    return {false, {}, 2, std::move(frameSamples)};
}

// A plan of 1 or 2 video and 0 to 2 audio streams with small frames of any
// shape, begun in a shuffled order.
SessionPlan randomPlan(uint32_t seed) {
    std::mt19937 random(seed);
    auto pick = [&](uint32_t below) { return static_cast<uint32_t>(random() % below); };
    const uint32_t maxParallels[] = {0, 1, 2, 5, 1000, 0x80000000u};
    SessionPlan plan{1 + pick(8), {}, {}};
    const uint32_t videos = 1 + pick(2), audios = pick(3);
    for (uint32_t i = 0; i < videos; ++i) {
        VideoPlan v{.width = 8 + pick(57), .height = 8 + pick(57), .format = pick(4),
                    .compression = pick(3), .maxParallel = maxParallels[pick(6)]};
        v.pixFmt = pick(2) == 0 ? ORV_SRC_PIX_FMT_RGBA32 : ORV_SRC_PIX_FMT_BGRA32;
        v.origin = pick(2);
        v.extraStride = pick(3) * 4;
        v.frames = 1 + static_cast<int>(pick(10));
        plan.streams.push_back(videoStream(v));
    }
    for (uint32_t i = 0; i < audios; ++i) {
        StreamPlan stream = audioStream({});
        stream.channels = 1 + pick(6);
        for (uint32_t f = 0, n = pick(5); f < n; ++f) stream.frameSamples.push_back(pick(5000));
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

// Runs a plan from the calling thread; every call must succeed.
class Session {
public:
    Session(const SessionPlan& plan, std::string path) : plan(plan), path(std::move(path)) {}

    // The whole session, ended by orvEncoderFinish and orvEncoderClose; the file's bytes.
    Bytes run() {
        open();
        for (size_t index : plan.beginOrder) runStream(index, true);
        EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
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
                const OrvVideoStreamParams_st params =
                    videoParams(v.width, v.height, v.format, v.compression, v.maxParallel);
                ASSERT_EQ(orvAddVideoStream(encoder, &params, &id), ORV_ERR_NONE);
            } else {
                const OrvAudioStreamParams_st params{44100, stream.channels, 0, 0, 0};
                ASSERT_EQ(orvAddAudioStream(encoder, &params, &id), ORV_ERR_NONE);
            }
            ids.push_back(id);
        }
    }
    // Begins stream `index` and hands over all its frames; ends it when `end`.
    void runStream(size_t index, bool end) {
        const StreamPlan& stream = plan.streams[index];
        ASSERT_EQ(orvBeginStream(encoder, ids[index]), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
        for (int f = 0; stream.video && f < stream.v.frames; ++f) {
            OrvSrcFrame_st frame = videoFrame(stream.v, f);
            const OrvError_enum code = orvEncodeFrame(encoder, &frame);
            EXPECT_EQ(code, ORV_ERR_NONE) << orvGetErrorMessage(encoder);
            if (code != ORV_ERR_NONE) orvBufferFree(frame.buffer);
        }
        int seed = 0;
        for (uint32_t samples : stream.frameSamples) {
            OrvSrcFrame_st frame{};
            frame.numSamples = samples;
            frame.buffer = makeSamples(stream.channels, samples, seed++);
            EXPECT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
            orvBufferFree(frame.buffer);
        }
        if (end) {
            EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
        }
    }
    void close() {
        EXPECT_EQ(orvEncoderClose(encoder), ORV_ERR_NONE);
        encoder = nullptr;
    }
    OrvEnc* handle() const { return encoder; }

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
        struct Wait : brindle::TaskPool::Task {
            explicit Wait(std::shared_future<void> opened) : Task(100), opened(std::move(opened)) {}
            void run() override { opened.wait(); }
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

// The session's log goes nowhere: it would print thousands of lines.
struct QuietLog {
    QuietLog() { brindle::logOpen("/dev/null"); }
    ~QuietLog() { brindle::logClose(); }
};

class Stress : public ::testing::Test {
protected:
    std::string file(const std::string& name) const { return dir.path(name); }
    // The file a single worker writes with one frame in flight.
    Bytes serialFile(const SessionPlan& plan) { return Session(serialised(plan), file("serial")).run(); }

    orvtest::TempDir dir;
    QuietLog quiet;
};

// The frames of the file's video section.
uint32_t videoFrames(const Bytes& bytes) {
    const orvtest::ImageReader reader(bytes);
    const int video = reader.section(ORV_SECTION_KIND_VIDEO);
    return video >= 0 ? reader.video(video).frameCount : 0;
}

// A video stream of 16x16 BC3 frames compressed by LZ4, begun in a session of `workers`.
OrvEnc* openClip(const std::string& path, uint32_t workers, uint32_t maxParallel,
                 uint32_t width = 16, uint32_t height = 16,
                 uint32_t compression = ORV_COMPRESSION_LZ4) {
    const OrvEncoderParams_st params{workers};
    OrvEnc* encoder = nullptr;
    EXPECT_EQ(orvEncoderOpen(path.c_str(), &params, &encoder), ORV_ERR_NONE);
    const OrvVideoStreamParams_st video =
        videoParams(width, height, ORV_PIX_FMT_DXT5, compression, maxParallel);
    int id = -1;
    EXPECT_EQ(orvAddVideoStream(encoder, &video, &id), ORV_ERR_NONE);
    EXPECT_EQ(orvBeginStream(encoder, id), ORV_ERR_NONE);
    return encoder;
}

// The most buffer bytes one 16x16 frame holds at once: the host's pixels
// (compressed in place, no slice copy), the BC3 blocks, and LZ4's output at
// its worst case plus its size prefix.
constexpr uint64_t kPictureBytes = 16 * 16 * 4;
constexpr uint64_t kBlockBytes = 4 * 4 * 16;
constexpr uint64_t kFrameBytes = kPictureBytes + kBlockBytes + (kBlockBytes + kBlockBytes / 255 + 16) + 4;

// Frames alive at once: at most maxParallel + 1 queued, one being written,
// and one per worker whose last task still holds a frame that was already
// written. The host's next picture exists before it is handed over.
uint64_t memoryBound(uint32_t maxParallel, uint32_t workers) {
    return (uint64_t{maxParallel} + 2 + workers) * kFrameBytes + kPictureBytes;
}

}  // namespace

// ---- Many sessions ------------------------------------------------------------------

// Random sessions, then sessions of the most streams a session holds (two
// video, two audio) each begun and ended in turn, with maxParallel 0 and large.
TEST_F(Stress, ManySessionsOfEveryShapeWriteWhatOneWorkerWrites) {
    std::vector<SessionPlan> plans;
    for (uint32_t seed = 1; seed <= 40; ++seed) plans.push_back(randomPlan(seed));
    for (uint32_t threads : {1u, 2u, 5u, 8u}) {
        SessionPlan& plan = plans.emplace_back(SessionPlan{threads, {}, {1, 0, 3, 2}});
        for (uint32_t maxParallel : {0u, 1000u}) {
            plan.streams.push_back(videoStream({.width = 20, .height = 12,
                                                .format = ORV_PIX_FMT_YCOCG_DXT5_ALPHA,
                                                .compression = ORV_COMPRESSION_LZ4,
                                                .maxParallel = maxParallel, .frames = 12}));
            plan.streams.push_back(audioStream({100, 4097, 0, 9000}));
        }
    }
    for (size_t i = 0; i < plans.size(); ++i) {
        SCOPED_TRACE("plan " + std::to_string(i) + " on " + std::to_string(plans[i].threads) +
                     " workers");
        const Bytes expected = serialFile(plans[i]);
        EXPECT_TRUE(orvtest::problemsOf(expected).empty());
        ASSERT_TRUE(Session(plans[i], file("threaded")).run() == expected)
            << "threading changed the file";
    }
}

TEST_F(Stress, SessionsOnSeveralHostThreadsAtOnce) {
    constexpr uint32_t hosts = 4, sessionsPerHost = 4;
    std::vector<Bytes> expected;
    for (uint32_t seed = 0; seed < hosts * sessionsPerHost; ++seed)
        expected.push_back(serialFile(randomPlan(100 + seed)));
    std::vector<std::future<uint32_t>> running;
    for (uint32_t host = 0; host < hosts; ++host)
        running.push_back(std::async(std::launch::async, [&, host] {
            uint32_t same = 0;
            for (uint32_t seed = host * sessionsPerHost; seed < (host + 1) * sessionsPerHost; ++seed)
                same += Session(randomPlan(100 + seed), file("host" + std::to_string(seed))).run() ==
                        expected[seed];
            return same;
        }));
    for (std::future<uint32_t>& host : running) EXPECT_EQ(host.get(), sessionsPerHost);
}

// ---- Frames in flight ------------------------------------------------------------

// The host ends the video stream, or closes the handle with neither
// orvEndStream nor orvEncoderFinish, while no frame has been encoded yet.
TEST_F(Stress, EndingOrClosingWithFramesInFlightWritesThemAllInOrder) {
    for (uint32_t threads : {1u, 3u, 8u}) {
        for (const bool closeOnly : {false, true}) {
            SCOPED_TRACE(std::to_string(threads) + " workers" + (closeOnly ? ", close only" : ""));
            // 36 wide: copied slices, one more task per frame.
            const SessionPlan plan{threads,
                                   {audioStream({300, 300}),
                                    videoStream({.width = 36, .height = 20,
                                                 .compression = ORV_COMPRESSION_SNAPPY,
                                                 .maxParallel = 1000, .frames = 24})},
                                   {0, 1}};
            Session session(plan, file("threaded"));
            session.open();
            session.runStream(0, true);
            WorkerGate gate(session.handle(), threads);
            session.runStream(1, false);
            // No frame can have moved yet: all 24 are in flight.
            std::future<OrvError_enum> ended = std::async(std::launch::async, [&] {
                if (!closeOnly) return orvEndStream(session.handle());
                session.close();
                return ORV_ERR_NONE;
            });
            gate.release();
            EXPECT_EQ(ended.get(), ORV_ERR_NONE);
            if (!closeOnly) {
                EXPECT_EQ(orvEncoderFinish(session.handle()), ORV_ERR_NONE);
                session.close();
            }
            const Bytes written = readFile(file("threaded"));
            EXPECT_EQ(videoFrames(written), 24u);
            EXPECT_TRUE(written == serialFile(plan));
        }
    }
}

TEST_F(Stress, HostThatStopsCallingAfterAFrameFailedNeitherHangsNorLeaks) {
    for (uint32_t threads : {1u, 2u, 6u}) {
        SCOPED_TRACE(std::to_string(threads) + " workers");
        const uint64_t liveBefore = brindle::bufferCounters().liveBytes;
        {
            const SessionPlan plan{
                threads, {videoStream({.maxParallel = 1000, .frames = 0})}, {0}};
            Session session(plan, file("failed"));
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
            const Bytes written = readFile(file("failed"));
            EXPECT_TRUE(orvtest::problemsOf(written).empty());
            EXPECT_EQ(videoFrames(written), 7u);
        }
        EXPECT_EQ(brindle::bufferCounters().liveBytes, liveBefore);
    }
}

// ---- Memory ----------------------------------------------------------------------

TEST_F(Stress, LongClipMemoryStaysWithinTheMaxParallelBound) {
    constexpr int frames = 2000;
    for (const auto& [maxParallel, workers] :
         {std::pair<uint32_t, uint32_t>{0, 2}, {4, 1}, {16, 3}}) {
        SCOPED_TRACE("maxParallel " + std::to_string(maxParallel) + ", " +
                     std::to_string(workers) + " workers");
        const uint64_t liveBefore = brindle::bufferCounters().liveBytes;
        OrvEnc* encoder = openClip(file("long"), workers, maxParallel);
        ASSERT_FALSE(HasFailure());
        brindle::resetBufferPeak();
        uint64_t firstPeak = 0;
        for (int f = 0; f < frames; ++f) {
            if (f == frames / 10) {
                firstPeak = brindle::bufferCounters().peakBytes - liveBefore;
                brindle::resetBufferPeak();
            }
            OrvSrcFrame_st frame = videoFrame(VideoPlan{}, f);
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
        EXPECT_EQ(videoFrames(readFile(file("long"))), static_cast<uint32_t>(frames));
    }
}

// Freed buffers are kept for the next frames: a long clip asks the heap only
// for the buffers it can have in flight at once, and after the session no
// more than the idle bound stays kept.
TEST_F(Stress, ALongClipTakesNewBuffersOnlyForWhatIsInFlight) {
    // At 512x256 the picture, its BC3 blocks and snappy's output are each
    // large enough to be kept, and each a size class of its own.
    constexpr uint32_t maxParallel = 4, workers = 2;
    constexpr int frames = 120;
    const brindle::BufferCounters before = brindle::bufferCounters();
    OrvEnc* encoder = openClip(file("kept"), workers, maxParallel, 512, 256, ORV_COMPRESSION_SNAPPY);
    ASSERT_FALSE(HasFailure());
    for (int f = 0; f < frames; ++f) {
        OrvSrcFrame_st frame = videoFrame(VideoPlan{.width = 512, .height = 256}, f);
        ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
    }
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    EXPECT_EQ(orvEncoderClose(encoder), ORV_ERR_NONE);
    const brindle::BufferCounters after = brindle::bufferCounters();
    const uint64_t made = after.allocations - before.allocations;
    EXPECT_EQ(made, 3u * frames);
    // Per class: the frames queued and being written, the host's next
    // picture, and one frame per worker whose last task still holds it.
    EXPECT_LE(made - (after.reusedAllocations - before.reusedAllocations),
              3 * (maxParallel + 3 + workers));
    EXPECT_LE(after.keptBytes, uint64_t{32} << 20);
}

// The counters see what is really alive: with every worker held, each
// accepted frame keeps its picture, and nothing else exists yet.
TEST_F(Stress, FramesHeldBackByBusyWorkersAreCountedInFlight) {
    constexpr uint32_t maxParallel = 5;
    const uint64_t liveBefore = brindle::bufferCounters().liveBytes;
    OrvEnc* encoder = openClip(file("held"), 2, maxParallel);
    ASSERT_FALSE(HasFailure());
    {
        WorkerGate gate(encoder, 2);
        for (uint32_t f = 0; f <= maxParallel; ++f) {
            OrvSrcFrame_st frame = videoFrame(VideoPlan{}, static_cast<int>(f));
            ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
        }
        EXPECT_EQ(brindle::bufferCounters().liveBytes - liveBefore, (maxParallel + 1) * kPictureBytes);
    }
    EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    EXPECT_EQ(orvEncoderClose(encoder), ORV_ERR_NONE);
    EXPECT_EQ(brindle::bufferCounters().liveBytes, liveBefore);
}
