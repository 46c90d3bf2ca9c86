// Allocation failures at every point of small whole sessions: this program
// replaces the global operator new and delete, and with the library's own
// hook on its buffer data (taken from the C heap) it can fail any single
// allocation the library makes, on the host's thread inside a call, on the
// pool's workers or on a stream's writer thread. Whichever fails, no call
// hangs or crashes, nothing leaks, the failure is reported with a code and a
// message before the session ends, and the file holds a valid prefix of
// what a session without the failure writes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <set>
#include <string>

#include "host_session.hpp"

// ---- The replaced operator new ------------------------------------------------

namespace {

// Armed while a session runs: every allocation of a thread other than the
// test's own, and of the test's thread while it is inside a call, counts;
// the one for which `newsBeforeFailure` reaches 0 fails. Live allocations
// are counted always, so that a leak shows without a leak checker.
std::atomic<bool> armed{false};
std::atomic<long> newsBeforeFailure{-1};
std::atomic<uint64_t> countedNews{0};
std::atomic<bool> newFailed{false};
std::atomic<long> liveNews{0};
thread_local bool testThreadBetweenCalls = false;

bool failThisNew() {
    if (!armed.load() || testThreadBetweenCalls) return false;
    countedNews.fetch_add(1);
    if (newsBeforeFailure.fetch_sub(1) != 0) return false;
    newFailed.store(true);
    return true;
}

void* allocate(std::size_t size, std::size_t alignment) {
    if (failThisNew()) throw std::bad_alloc();
    void* p = alignment <= alignof(std::max_align_t)
                  ? std::malloc(size ? size : 1)
                  : std::aligned_alloc(alignment, (size + alignment) / alignment * alignment);
    if (p == nullptr) throw std::bad_alloc();
    liveNews.fetch_add(1);
    return p;
}

void release(void* p) noexcept {
    if (p == nullptr) return;
    liveNews.fetch_sub(1);
    std::free(p);
}

}  // namespace

// The standard library's other forms (arrays, nothrow, sized) call these.
void* operator new(std::size_t size) { return allocate(size, alignof(std::max_align_t)); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }

// ---- Sessions -------------------------------------------------------------------

namespace {

using hostsession::CallResult;
using hostsession::describe;
using hostsession::Host;
using hostsession::Outcome;
using hostsession::SessionPlan;
using orvtest::Bytes;

// What a call may answer after an allocation failed earlier: the state rules
// for a stream or call that the failure cut short.
const std::set<std::string> kStateMessages = {
    "missing call to endStream()", "missing call to beginStream()", "no active stream",
    "unknown stream id", "stream is already finished"};
// A failed allocation as the C layer, a buffer and the writer thread name it.
const std::set<std::string> kAllocationMessages = {"std::bad_alloc", "failed to allocate memory",
                                                   "unknown error"};

// Which allocation fails: the n-th operator new, or the n-th buffer's data.
struct Failure {
    enum Kind { none, operatorNew, bufferData } kind = none;
    long n = -1;
};

class AllocationFailure : public ::testing::Test {
protected:
    struct Run {
        Outcome outcome;
        uint64_t news = 0, buffers = 0;  // counted allocations
        bool fired = false;
    };

    // One session with the failure armed from the open to the close. The
    // failing allocation's own thread is the only one it ever reaches.
    Run run(const SessionPlan& plan, Failure failure) {
        const brindle::BufferCounters before = brindle::bufferCounters();
        Run result;
        {
            Host host(plan);
            countedNews = 0;
            newFailed = false;
            newsBeforeFailure = failure.kind == Failure::operatorNew ? failure.n : -1;
            brindle::failBufferAllocationAfter(failure.kind == Failure::bufferData ? failure.n : -1);
            const uint64_t buffersBefore = brindle::bufferCounters().allocations;
            testThreadBetweenCalls = true;
            armed = true;
            result.outcome = host.run(
                path, [](size_t) { testThreadBetweenCalls = false; },
                [] { testThreadBetweenCalls = true; });
            armed = false;
            testThreadBetweenCalls = false;
            brindle::failBufferAllocationAfter(-1);
            result.news = countedNews;
            result.buffers = brindle::bufferCounters().allocations - buffersBefore;
        }
        const brindle::BufferCounters after = brindle::bufferCounters();
        result.fired = newFailed || after.failedAllocations != before.failedAllocations;
        EXPECT_EQ(after.liveBytes, before.liveBytes) << "buffers outlived the session";
        return result;
    }

    // Runs the session with the failure and checks what it left against the
    // session without it.
    void checkOne(const SessionPlan& plan, Failure failure, uint64_t count, const Bytes& expected,
                  const orvtest::Reader& expectedFile);

    orvtest::TempDir dir;
    std::string path = dir.path("out.orv");
    hostsession::QuietLog quiet;
};

// The host's frames that the library accepted, by their index in the plan.
std::vector<uint32_t> acceptedFrames(const Outcome& outcome, int videoFrames) {
    std::vector<uint32_t> accepted;
    for (int i = 0; i < videoFrames; ++i) {
        const CallResult* frame = outcome.find("video frame " + std::to_string(i));
        if (frame != nullptr && frame->code == ORV_ERR_NONE) accepted.push_back(i);
    }
    return accepted;
}

// The failing call says why, with code 13; later failures repeat it or
// answer a state rule; and frames accepted but lost are never passed off as
// written by the end of the video stream.
void expectFailureReported(const Outcome& outcome, size_t framesWritten, int videoFrames) {
    const CallResult* first = outcome.firstFailure();
    ASSERT_NE(first, nullptr) << "an allocation failed and no call said so";
    for (const CallResult& call : outcome.calls) {
        if (call.code == ORV_ERR_NONE) continue;
        EXPECT_EQ(call.code, ORV_ERR_UNKNOWN) << call.what;
        if (call.what == "open") continue;  // no session keeps a message
        EXPECT_TRUE(kAllocationMessages.count(call.message) || kStateMessages.count(call.message))
            << call.what << ": " << call.message;
    }
    if (first->what != "open") {
        EXPECT_TRUE(kAllocationMessages.count(first->message)) << first->message;
    }
    const CallResult* end = outcome.find("end video");
    if (framesWritten < acceptedFrames(outcome, videoFrames).size() && end != nullptr) {
        EXPECT_EQ(end->code, ORV_ERR_UNKNOWN) << "accepted frames were lost and the end said 0";
    }
}

// The file's sections are those of the session without the failure, cut
// short: the accepted frames, or the first of them, each byte for byte the
// record of the same picture there; and all samples of an audio stream
// whose calls all succeeded.
void expectPrefixOf(const orvtest::Reader& file, const orvtest::Reader& full,
                    const Outcome& outcome, int videoFrames) {
    const int video = file.section(ORV_SECTION_KIND_VIDEO);
    if (video >= 0) {
        const std::vector<uint32_t> accepted = acceptedFrames(outcome, videoFrames);
        const int expected = full.section(ORV_SECTION_KIND_VIDEO);
        const uint32_t frames = file.video(video).frameCount;
        ASSERT_LE(frames, accepted.size());
        for (uint32_t k = 0; k < frames; ++k) {
            const uint32_t e = accepted[k];
            EXPECT_TRUE(file.record(video, k) == full.record(expected, e)) << "frame " << k;
            EXPECT_EQ(file.pts(video, k), full.pts(expected, e));
        }
    }
    const bool audioWhole = std::none_of(
        outcome.calls.begin(), outcome.calls.end(), [](const CallResult& call) {
            return call.what.find("audio") != std::string::npos && call.code != ORV_ERR_NONE;
        });
    const int audio = file.section(ORV_SECTION_KIND_AUDIO);
    if (audio >= 0 && audioWhole) {
        EXPECT_EQ(file.samples(audio), full.samples(full.section(ORV_SECTION_KIND_AUDIO)));
    }
}

}  // namespace

void AllocationFailure::checkOne(const SessionPlan& plan, Failure failure, uint64_t count,
                                 const Bytes& expected, const orvtest::Reader& expectedFile) {
    const Run faulty = run(plan, failure);
    SCOPED_TRACE(std::string(failure.kind == Failure::operatorNew ? "operator new " : "buffer ") +
                 std::to_string(failure.n) + " of " + std::to_string(count) + " fails\n" +
                 describe(faulty.outcome));
    if (!faulty.fired) {
        EXPECT_EQ(faulty.outcome.firstFailure(), nullptr);
        EXPECT_TRUE(orvtest::readFile(path) == expected);
        EXPECT_GE(static_cast<uint64_t>(failure.n),
                  failure.kind == Failure::operatorNew ? faulty.news : faulty.buffers);
    } else if (!faulty.outcome.opened) {
        expectFailureReported(faulty.outcome, 0, plan.videoFrames);
        EXPECT_FALSE(std::filesystem::exists(path)) << "a failed open left a file";
    } else {
        const orvtest::Reader file(path);
        ASSERT_EQ(file.code, ORV_ERR_NONE) << file.openMessage;
        ASSERT_TRUE(file.problems().empty()) << "the file is damaged";
        const int video = file.section(ORV_SECTION_KIND_VIDEO);
        const size_t frames = video >= 0 ? file.video(video).frameCount : 0;
        expectFailureReported(faulty.outcome, frames, plan.videoFrames);
        expectPrefixOf(file, expectedFile, faulty.outcome, plan.videoFrames);
    }
}

// Each allocation of the session fails in turn: first every operator new,
// then every buffer's data.
TEST_F(AllocationFailure, AnyOneAllocationOfASession) {
    const struct {
        const char* name;
        SessionPlan plan;
    } cases[] = {
        // Two slices side by side, each copied, with two texture planes
        // squeezed by LZ4, several frames in flight on two workers.
        {"two slices, two planes", {.threads = 2, .width = 3072, .height = 8,
                                    .format = ORV_PIX_FMT_YCOCG_DXT5_ALPHA,
                                    .compression = ORV_COMPRESSION_LZ4, .maxParallel = 2,
                                    .videoFrames = 3, .audioFrames = 2}},
        // One slice straight from the host's buffer, snappy, frames one at a
        // time, the audio stream first.
        {"shared slice", {.threads = 1, .compression = ORV_COMPRESSION_SNAPPY, .maxParallel = 0,
                          .videoFrames = 2, .audioFrames = 2, .audioFirst = true}},
    };
    for (const auto& [name, plan] : cases) {
        SCOPED_TRACE(name);
        const Run clean = run(plan, {});
        ASSERT_EQ(clean.outcome.firstFailure(), nullptr) << describe(clean.outcome);
        const Bytes expected = orvtest::readFile(path);
        const orvtest::ImageReader expectedFile(expected);
        ASSERT_TRUE(expectedFile.problems().empty());
        ASSERT_GT(clean.news, 0u);
        ASSERT_GT(clean.buffers, 0u);
        // Threads may interleave their allocations differently from run to
        // run; a point past the last allocation fails nothing.
        for (const Failure::Kind kind : {Failure::operatorNew, Failure::bufferData}) {
            const uint64_t count = kind == Failure::operatorNew ? clean.news : clean.buffers;
            for (uint64_t n = 0; n <= count; ++n) {
                std::filesystem::remove(path);
                const long liveBefore = liveNews.load();
                checkOne(plan, {kind, static_cast<long>(n)}, count, expected, expectedFile);
                // Whatever the session or the checks allocated is gone again.
                EXPECT_EQ(liveNews.load(), liveBefore) << "allocations outlived the session";
                if (HasFailure()) return;  // one report is enough
            }
        }
    }
}

