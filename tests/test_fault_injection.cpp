// Faults injected at every point of small whole sessions: the file stops
// taking bytes at any offset (a file size limit), or any one
// allocation the library makes fails (this program replaces the global
// operator new and delete, and the library has its own hook on buffer
// data), on the host's thread, on the pool's workers or on a stream's writer
// thread. Whichever fault, no call hangs or crashes, nothing leaks, the
// failing call says why with its code and message, later calls repeat it or
// answer as the state rules say, and the file stays sound: every section
// the table lists is the fault-free section itself, or, after an allocation
// failure, a valid prefix of what the fault-free session writes.

#include <atomic>
#include <new>
#include <set>

#include "host_session.hpp"

// ---- The replaced operator new ------------------------------------------------

namespace {

// Armed while a session runs: every allocation of a thread other than the
// test's own, and of the test's thread while it is inside a call, counts;
// the one for which `newsBeforeFailure` reaches 0 fails. Live allocations
// are counted always, so that a leak shows without a leak checker.
std::atomic<bool> armed{false}, newFailed{false};
std::atomic<long> newsBeforeFailure{-1}, liveNews{0};
std::atomic<uint64_t> countedNews{0};
thread_local bool testThreadBetweenCalls = false;

// A failure throws, or gives null to a nothrow form.
void* allocate(std::size_t size, std::size_t alignment, bool nothrow = false) {
    if (armed.load() && !testThreadBetweenCalls) {
        countedNews.fetch_add(1);
        if (newsBeforeFailure.fetch_sub(1) == 0) {
            newFailed.store(true);
            if (nothrow) return nullptr;
            throw std::bad_alloc();
        }
    }
    void* p = alignment <= alignof(std::max_align_t)
                  ? std::malloc(size ? size : 1)
                  : std::aligned_alloc(alignment, (size + alignment) / alignment * alignment);
    if (p == nullptr && !nothrow) throw std::bad_alloc();
    if (p != nullptr) liveNews.fetch_add(1);
    return p;
}

void release(void* p) noexcept {
    if (p != nullptr) liveNews.fetch_sub(1);
    std::free(p);
}

}  // namespace

// Every form is replaced: a sanitizer brings its own operators, and memory
// that one of its forms allocated must not reach free() here.
void* operator new(std::size_t size) { return allocate(size, alignof(std::max_align_t)); }
void* operator new[](std::size_t size) { return allocate(size, alignof(std::max_align_t)); }
void* operator new(size_t n, std::align_val_t a) { return allocate(n, static_cast<size_t>(a)); }
void* operator new[](size_t n, std::align_val_t a) { return allocate(n, static_cast<size_t>(a)); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    return allocate(n, alignof(max_align_t), true);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    return allocate(n, alignof(max_align_t), true);
}
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, static_cast<size_t>(a), true);
}
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(n, static_cast<size_t>(a), true);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }

namespace {

using hostsession::CallResult;
using hostsession::Host;
using hostsession::Outcome;
using hostsession::SessionPlan;
using orvtest::Bytes;
using orvtest::slotAt;

// What a call may answer after an earlier one failed: the state rules for a
// stream or section that the failure left open or cut short.
const std::set<std::string> kStateMessages = {
    "missing call to endSection", "missing call to endStream()", "missing call to beginStream()",
    "no active stream", "audio header was not written", "stream is already finished", "unknown stream id"};
// A failed allocation as the C layer, a buffer and the writer thread name it.
const std::set<std::string> kAllocationMessages = {"std::bad_alloc", "failed to allocate memory",
                                                   "unknown error"};

// A write failure: writes report 4, flushes and seeks 13 (frames and section
// headers only write; the open flushes the header, the ends of streams and
// the finish patch and flush). Later failures repeat the first one's text or
// answer a state rule, and a host that checks only the ends of its streams
// and the finish still hears of it.
void expectOutputFailureReported(const Outcome& outcome) {
    const CallResult* first = outcome.firstFailure();
    ASSERT_NE(first, nullptr) << "a write failed and no call said so";
    const bool writesOnly = first->what.starts_with("video frame") ||
                            first->what.starts_with("audio frame") || first->what.starts_with("begin");
    EXPECT_TRUE(first->code == ORV_ERR_IO || (!writesOnly && first->code == ORV_ERR_UNKNOWN)) << first->what;
    if (first->what == "open") return;
    ASSERT_TRUE(first->message.starts_with("error while writing: ")) << first->message;
    for (const CallResult* call = first + 1; call != outcome.calls.data() + outcome.calls.size(); ++call)
        EXPECT_TRUE(call->code == ORV_ERR_NONE || call->message == first->message ||
                    kStateMessages.count(call->message))
            << call->what << ": " << call->message;
    EXPECT_TRUE(std::any_of(outcome.calls.begin(), outcome.calls.end(), [](const CallResult& call) {
        return (call.what.starts_with("end ") || call.what == "finish") && call.code != ORV_ERR_NONE;
    })) << "the failure was lost before the end of the session";
}

// Every section that the file's table lists is the reference's section of the
// same slot, byte for byte, and the listed slots come first: a failure may
// cut a file short, but never leaves a listed section damaged.
void expectListedSectionsSound(const Bytes& bytes, const Bytes& reference) {
    ASSERT_GE(bytes.size(), 12u + 16 * 17) << "an open session always has its whole header and table";
    for (unsigned slot = 0, used = 0; slot < 16; ++slot) {
        const orvtest::Slot stored = slotAt(bytes, slot);
        if (stored.type == 0) {
            EXPECT_EQ(stored, orvtest::unusedSlot) << "slot " << slot;
            continue;
        }
        EXPECT_EQ(used++, slot) << "slot " << slot << " is used after an unused one";
        ASSERT_EQ(stored, slotAt(reference, slot)) << "slot " << slot;
        ASSERT_LE(stored.offset + stored.size, bytes.size()) << "slot " << slot << " lists missing bytes";
        EXPECT_TRUE(std::equal(bytes.begin() + stored.offset, bytes.begin() + stored.offset + stored.size,
                               reference.begin() + stored.offset))
            << "slot " << slot << " differs from the fault-free section";
    }
}

class FaultInjection : public ::testing::Test {
protected:
    // The session without faults: its file is what every fault run is compared with.
    Bytes reference(const SessionPlan& plan) {
        const Bytes bytes = faultFree(runOnce(plan));
        EXPECT_TRUE(orvtest::problemsOf(bytes).empty());
        return bytes;
    }
    // Runs the plan once with whatever fault `arm` and the hooks set up, on a
    // host whose buffers exist before; no buffer may outlive the session.
    Outcome runOnce(const SessionPlan& plan, const std::function<void()>& arm = [] {},
                    const std::function<void()>& disarm = [] {},
                    const std::function<void(size_t)>& beforeCall = [](size_t) {},
                    const std::function<void()>& afterCall = [] {}) {
        const uint64_t liveBefore = brindle::bufferCounters().liveBytes;
        Outcome outcome;
        {
            Host host(plan);
            arm();
            outcome = host.run(path, beforeCall, afterCall);
            disarm();
        }
        EXPECT_EQ(brindle::bufferCounters().liveBytes, liveBefore) << "buffers outlived the session";
        return outcome;
    }
    // A session whose fault never fired, or came after the last write: every
    // call succeeded; the file it wrote.
    Bytes faultFree(const Outcome& outcome) {
        EXPECT_EQ(outcome.firstFailure(), nullptr) << outcome.firstFailure()->message;
        return orvtest::readFile(path);
    }

    orvtest::TempDir dir;
    std::string path = dir.path("out.orv");
    hostsession::QuietLog quiet;
};

}  // namespace

// ---- Output failures ------------------------------------------------------------

// One session per limit, up to the reference's size; a limit below it must
// fail somewhere and say so, one at it must give the reference.
TEST_F(FaultInjection, FileSizeLimitAnywhereInASession) {
    const struct { SessionPlan plan; uint64_t step; } cases[] = {
        // Everything fits the stdio buffer: failures surface at the flushes
        // of the header and of each section end, that is at the patches.
        // Every byte is a limit once.
        {{}, 1},
        // Frames (4 KiB of blocks) and audio chunks (4400 bytes) larger than
        // the stdio buffer go to the file at once: failures surface in the
        // writer thread and in the audio frame calls.
        {{.width = 64, .height = 64, .format = ORV_PIX_FMT_DXT5, .maxParallel = 0, .samplesPerFrame = 1100},
         37},
        {{.width = 64, .height = 64, .format = ORV_PIX_FMT_YCOCG_DXT5_ALPHA,
          .compression = ORV_COMPRESSION_SNAPPY, .maxParallel = 4, .samplesPerFrame = 1100, .audioFirst = true},
         41},
    };
    for (const auto& [plan, step] : cases) {
        const Bytes expected = reference(plan);
        for (uint64_t limit = 0; limit <= expected.size();
             limit += limit + step > expected.size() ? 1 : step) {
            SCOPED_TRACE("file size limit " + std::to_string(limit) + " of " +
                         std::to_string(expected.size()));
            const bool fires = limit < expected.size();
            Outcome outcome;
            {
                const orvtest::FileSizeLimit cap(limit);
                outcome = runOnce(plan);
            }
            if (!fires) { EXPECT_TRUE(faultFree(outcome) == expected); }
            if (fires) expectOutputFailureReported(outcome);
            if (fires && outcome.opened()) expectListedSectionsSound(orvtest::readFile(path), expected);
            if (HasFailure()) return;  // one report is enough
        }
    }
}

// ---- Allocation failures ----------------------------------------------------------

// Each allocation of the session fails in turn: first every operator new,
// then every buffer's data. Threads may interleave their allocations
// differently from run to run; a point past the last allocation fails nothing.
TEST_F(FaultInjection, AnyOneAllocationOfASession) {
    const SessionPlan plans[] = {
        // Two slices side by side, each copied, with two texture planes
        // squeezed by LZ4, several frames in flight on two workers.
        {.threads = 2, .width = 3072, .height = 8, .format = ORV_PIX_FMT_YCOCG_DXT5_ALPHA,
         .compression = ORV_COMPRESSION_LZ4, .maxParallel = 2, .videoFrames = 3, .audioFrames = 2},
        // One slice straight from the host's buffer, snappy, frames one at a
        // time, the audio stream first.
        {.threads = 1, .compression = ORV_COMPRESSION_SNAPPY, .maxParallel = 0, .videoFrames = 2,
         .audioFrames = 2, .audioFirst = true},
    };
    for (const SessionPlan& plan : plans) {
        SCOPED_TRACE(plan.threads == 2 ? "two slices, two planes"
                                       : "shared slice");  // also makes gtest's trace stack
        // The session with the n-th operator new or buffer failing (-1: none);
        // how many of each it made, and whether the failure fired.
        auto run = [&](bool operatorNew, long n, uint64_t& made) {
            const uint64_t failedBefore = brindle::bufferCounters().failedAllocations;
            uint64_t buffersBefore = 0;
            const Outcome outcome = runOnce(
                plan,
                [&] {
                    buffersBefore = brindle::bufferCounters().allocations;
                    countedNews = 0;
                    newFailed = false;
                    newsBeforeFailure = operatorNew ? n : -1;
                    brindle::failBufferAllocationAfter(operatorNew ? -1 : n);
                    testThreadBetweenCalls = true;
                    armed = true;
                },
                [&] {
                    armed = false;
                    testThreadBetweenCalls = false;
                    brindle::failBufferAllocationAfter(-1);
                    made = operatorNew ? countedNews.load()
                                       : brindle::bufferCounters().allocations - buffersBefore;
                },
                [](size_t) { testThreadBetweenCalls = false; }, [] { testThreadBetweenCalls = true; });
            return std::pair(outcome,
                             newFailed || brindle::bufferCounters().failedAllocations != failedBefore);
        };
        uint64_t news = 0, buffers = 0;
        faultFree(run(true, -1, news).first);
        const Bytes expected = faultFree(run(false, -1, buffers).first);
        const orvtest::ImageReader full(expected);
        ASSERT_TRUE(full.problems().empty());
        ASSERT_GT(news * buffers, 0u);
        for (const bool operatorNew : {true, false}) {
            for (uint64_t n = 0, count = operatorNew ? news : buffers; n <= count; ++n) {
                std::filesystem::remove(path);
                const long liveBefore = liveNews.load();
                [&] {
                    uint64_t made = 0;
                    const auto [outcome, fired] = run(operatorNew, static_cast<long>(n), made);
                    SCOPED_TRACE(std::string(operatorNew ? "operator new " : "buffer ") + std::to_string(n) +
                                 " of " + std::to_string(count) + " fails");
                    if (!fired) {
                        EXPECT_TRUE(faultFree(outcome) == expected);
                        EXPECT_GE(n, made);
                    }
                    if (fired) {
                        // The failing call says why with code 13; later failures
                        // repeat it or answer a state rule. A failed open leaves no file.
                        const CallResult* first = outcome.firstFailure();
                        ASSERT_NE(first, nullptr) << "an allocation failed and no call said so";
                        for (const CallResult& call : outcome.calls)
                            EXPECT_TRUE(
                                call.code == ORV_ERR_NONE || call.what == "open" ||
                                (call.code == ORV_ERR_UNKNOWN && (kAllocationMessages.count(call.message) ||
                                                                  kStateMessages.count(call.message))))
                                << call.what << ": " << call.message;
                        EXPECT_TRUE(first->what == "open" || kAllocationMessages.count(first->message))
                            << first->message;
                        EXPECT_EQ(std::filesystem::exists(path), outcome.opened())
                            << "a failed open left a file";
                    }
                    if (fired && outcome.opened()) {
                        // The file's video section holds the first accepted frames,
                        // each the fault-free record of the same picture.
                        const orvtest::Reader file(path);
                        ASSERT_TRUE(file.problems().empty()) << "the file is damaged";
                        std::vector<uint32_t> accepted;
                        for (const CallResult& call : outcome.calls)
                            if (call.what.starts_with("video frame ") && call.code == ORV_ERR_NONE)
                                accepted.push_back(static_cast<uint32_t>(std::stoul(call.what.substr(12))));
                        const int video = file.section(ORV_SECTION_KIND_VIDEO),
                                  fullVideo = full.section(ORV_SECTION_KIND_VIDEO);
                        const uint32_t frames = video >= 0 ? file.video(video).frameCount : 0;
                        ASSERT_LE(frames, accepted.size());
                        for (uint32_t k = 0; k < frames; ++k) {
                            EXPECT_TRUE(file.record(video, k) == full.record(fullVideo, accepted[k]))
                                << "frame " << k;
                            EXPECT_EQ(file.pts(video, k), full.pts(fullVideo, accepted[k]));
                        }
                    }
                }();
                // Whatever the session or the checks allocated is gone again.
                EXPECT_EQ(liveNews.load(), liveBefore) << "allocations outlived the session";
                if (HasFailure()) return;  // one report is enough
            }
        }
    }
}
