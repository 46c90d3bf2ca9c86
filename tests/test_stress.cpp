// Many short sessions of every shape on 1 to 8 workers, with maxParallel 0, 1
// and large; streams ended, or handles closed, while all their frames are in
// flight, also after one of them failed; and a long clip whose memory stays
// within the maxParallel bound. Threading never changes a byte: every file
// equals the one a single worker writes with one frame in flight. Meant to
// run under ThreadSanitizer and AddressSanitizer as well, so frames stay small.

#include <random>

#include "host_session.hpp"
#include "orvenc.hpp"

namespace {

using hostsession::makePicture;
using hostsession::makeSamples;
using orvtest::videoParams;
using orvtest::Bytes;
using orvtest::readFile;

struct VideoPlan {
    uint32_t width = 16, height = 16, format = ORV_PIX_FMT_DXT1, compression = ORV_COMPRESSION_NONE;
    uint32_t maxParallel = 1, pixFmt = ORV_SRC_PIX_FMT_RGBA32, origin = 0,
             extraStride = 0;  // padding after each row
    int frames = 4;
};

// A video stream, or an audio stream with the samples per channel of each frame.
struct StreamPlan {
    bool video = true;
    VideoPlan v;
    uint32_t channels = 2;
    std::vector<uint32_t> frameSamples = {};
};

// Streams are added in order and begun in `beginOrder`.
struct SessionPlan {
    uint32_t threads = 2;
    std::vector<StreamPlan> streams;
    std::vector<size_t> beginOrder;
};

// 1 or 2 video and 0 to 2 audio streams with small frames of any shape, begun in a shuffled order.
SessionPlan randomPlan(uint32_t seed) {
    std::mt19937 random(seed);
    auto pick = [&](uint32_t below) { return static_cast<uint32_t>(random() % below); };
    const uint32_t maxParallels[] = {0, 1, 2, 5, 1000, 0x80000000u};
    SessionPlan plan{1 + pick(8), {}, {}};
    const uint32_t videos = 1 + pick(2), audios = pick(3);
    for (uint32_t i = 0; i < videos; ++i)
        plan.streams.push_back({true, {.width = 8 + pick(57), .height = 8 + pick(57), .format = pick(4),
                                       .compression = pick(3), .maxParallel = maxParallels[pick(6)],
                                       .pixFmt = pick(2) ? ORV_SRC_PIX_FMT_BGRA32 : ORV_SRC_PIX_FMT_RGBA32,
                                       .origin = pick(2), .extraStride = pick(3) * 4,
                                       .frames = 1 + static_cast<int>(pick(10))}});
    for (uint32_t i = 0; i < audios; ++i) {
        StreamPlan& stream = plan.streams.emplace_back(StreamPlan{false, {}, 1 + pick(6), {}});
        for (uint32_t f = 0, n = pick(5); f < n; ++f) stream.frameSamples.push_back(pick(5000));
    }
    for (size_t i = 0; i < plan.streams.size(); ++i) plan.beginOrder.push_back(i);
    std::shuffle(plan.beginOrder.begin(), plan.beginOrder.end(), random);
    return plan;
}

// Runs a plan from the calling thread; every call must succeed.
class Session {
public:
    Session(const SessionPlan& plan, std::string path) : plan(plan), path(std::move(path)) {
        const OrvEncoderParams_st params{plan.threads};
        EXPECT_EQ(orvEncoderOpen(this->path.c_str(), &params, &encoder), ORV_ERR_NONE);
        for (const StreamPlan& stream : plan.streams) {
            const VideoPlan& v = stream.video ? stream.v : VideoPlan{};
            const OrvVideoStreamParams_st video =
                videoParams(v.width, v.height, v.format, v.compression, v.maxParallel);
            const OrvAudioStreamParams_st audio{44100, stream.channels, 0, 0, 0};
            EXPECT_EQ(stream.video ? orvAddVideoStream(encoder, &video, &ids.emplace_back(-1))
                                   : orvAddAudioStream(encoder, &audio, &ids.emplace_back(-1)), ORV_ERR_NONE);
        }
    }
    // The whole session, the same one with one worker and one frame in flight first.
    static std::pair<Bytes, Bytes> runTwice(SessionPlan plan, const std::string& path) {
        Bytes threaded = Session(plan, path).run();
        plan.threads = 1;
        for (StreamPlan& stream : plan.streams) stream.v.maxParallel = 0;
        return {threaded, Session(plan, path + ".serial").run()};
    }
    Bytes run() {
        for (size_t index : plan.beginOrder) runStream(index, true);
        EXPECT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
        close();
        return readFile(path);
    }
    // Begins stream `index` and hands over all its frames; ends it when `end`.
    void runStream(size_t index, bool end, bool begin = true) {
        const StreamPlan& stream = plan.streams[index];
        if (begin) {
            ASSERT_EQ(orvBeginStream(encoder, ids[index]), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
        }
        const VideoPlan& v = stream.v;
        for (int f = 0; stream.video && f < v.frames; ++f) {
            const uint32_t stride = v.width * 4 + v.extraStride;
            const OrvSrcFrame_st frame{v.width, v.height, stride, v.pixFmt,
                                       v.origin, 0, 7 * f - 3, makePicture(v.height, stride, f)};
            const OrvError_enum code = orvEncodeFrame(encoder, &frame);
            EXPECT_EQ(code, ORV_ERR_NONE) << orvGetErrorMessage(encoder);
            if (code != ORV_ERR_NONE) orvBufferFree(frame.buffer);
        }
        int seed = 0;
        for (uint32_t samples : stream.frameSamples) {
            const OrvSrcFrame_st frame{0, 0,       0, 0,
                                       0, samples, 0, makeSamples(stream.channels, samples, seed++)};
            EXPECT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
            orvBufferFree(frame.buffer);
        }
        if (end) { EXPECT_EQ(orvEndStream(encoder), ORV_ERR_NONE) << orvGetErrorMessage(encoder); }
    }
    void close() { EXPECT_EQ(orvEncoderClose(std::exchange(encoder, nullptr)), ORV_ERR_NONE); }

    SessionPlan plan;
    std::string path;
    OrvEnc* encoder = nullptr;
    std::vector<int> ids;
};

class Stress : public ::testing::Test {
protected:
    orvtest::TempDir dir;
    hostsession::QuietLog quiet;
};

}  // namespace

// Random sessions of up to the most streams a session holds (two video, two
// audio), each begun and ended in turn.
TEST_F(Stress, ManySessionsOfEveryShapeWriteWhatOneWorkerWrites) {
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        const SessionPlan plan = randomPlan(seed);
        SCOPED_TRACE("plan " + std::to_string(seed) + " on " + std::to_string(plan.threads) + " workers");
        const auto [threaded, serial] = Session::runTwice(plan, dir.path("out"));
        EXPECT_TRUE(orvtest::problemsOf(serial).empty());
        ASSERT_TRUE(threaded == serial) << "threading changed the file";
    }
}

// The host ends the video stream, or closes the handle with neither
// orvEndStream nor orvEncoderFinish, while no frame has been encoded yet.
TEST_F(Stress, EndingOrClosingWithFramesInFlightWritesThemAllInOrder) {
    for (uint32_t threads : {1u, 3u, 8u}) {
        for (const int mode : {0, 1}) {  // end, close only
            SCOPED_TRACE(std::to_string(threads) + " workers, mode " + std::to_string(mode));
            // 36 wide: copied slices, one more task per frame.
            const VideoPlan video{.width = 36, .height = 20, .compression = ORV_COMPRESSION_SNAPPY,
                                  .maxParallel = 1000, .frames = 24};
            const SessionPlan plan{threads, {{false, {}, 2, {300, 300}}, {true, video}}, {0, 1}};
            Session session(plan, dir.path("threaded"));
            session.runStream(0, true);
            // Every worker held: nothing of any frame runs meanwhile.
            std::vector<std::unique_ptr<orvtest::PoolGate>> gates;
            for (uint32_t i = 0; i < threads; ++i)
                gates.push_back(std::make_unique<orvtest::PoolGate>(session.encoder->getContext().pool));
            session.runStream(1, false);
            // No frame can have moved yet: all are in flight.
            std::future<OrvError_enum> ended = std::async(std::launch::async, [&] {
                if (mode == 0) return orvEndStream(session.encoder);
                session.close();
                return ORV_ERR_NONE;
            });
            gates.clear();  // releases them
            EXPECT_EQ(ended.get(), ORV_ERR_NONE);
            if (mode == 0) {
                EXPECT_EQ(orvEncoderFinish(session.encoder), ORV_ERR_NONE);
                session.close();
            }
            const Bytes written = readFile(dir.path("threaded"));
            EXPECT_TRUE(written == Session::runTwice(plan, dir.path("again")).second);
        }
    }
}

TEST_F(Stress, LongClipMemoryStaysWithinTheMaxParallelBound) {
    // The most buffer bytes one 16x16 frame holds at once: the host's pixels
    // (compressed in place, no slice copy), the BC3 blocks, and LZ4's output
    // at its worst case plus its size prefix.
    constexpr uint64_t pictureBytes = 16 * 16 * 4, blockBytes = 4 * 4 * 16;
    constexpr uint64_t frameBytes = pictureBytes + blockBytes + (blockBytes + blockBytes / 255 + 16) + 4;
    for (const auto& [maxParallel, workers] : {std::pair<uint32_t, uint32_t>{0, 2}, {4, 1}, {16, 3}}) {
        // Frames alive at once: at most maxParallel + 1 queued, one being
        // written, and one per worker whose last task still holds a frame
        // already written. The host's next picture exists before it is handed over.
        const uint64_t bound = (uint64_t{maxParallel} + 2 + workers) * frameBytes + pictureBytes;
        const uint64_t liveBefore = brindle::bufferCounters().liveBytes;
        const VideoPlan video{.format = ORV_PIX_FMT_DXT5, .compression = ORV_COMPRESSION_LZ4,
                              .maxParallel = maxParallel, .frames = 200};
        const SessionPlan plan{workers, {{true, video}}, {0}};
        Session session(plan, dir.path("long"));
        brindle::resetBufferPeak();
        // 2000 frames, handed over in tenths of one begun and ended stream.
        for (int tenth = 0; tenth < 10; ++tenth) session.runStream(0, tenth == 9, tenth == 0);
        EXPECT_LE(brindle::bufferCounters().peakBytes - liveBefore, bound) << "maxParallel " << maxParallel;
        session.close();
        EXPECT_EQ(brindle::bufferCounters().liveBytes, liveBefore) << "frames outlived the session";
    }
}
