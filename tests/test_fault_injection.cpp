// Output faults injected at every point of small whole sessions: the file
// stops taking bytes (a file size limit, or a disk that becomes full). Each
// time the failing call reports the failure with its code and message, later
// calls answer as the state rules say, the failure always reaches the end of
// the session, nothing leaks or hangs, and every section that the file's
// table lists is exactly the section a fault-free session writes. Allocation
// failures have a program of their own (test_allocation_failure).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "host_session.hpp"

namespace {

using hostsession::CallResult;
using hostsession::describe;
using hostsession::Host;
using hostsession::Outcome;
using hostsession::SessionPlan;
using orvtest::Bytes;
using orvtest::Slot;
using orvtest::slotAt;

constexpr size_t kTableEnd = 12 + 16 * 17;  // the file header and its section table

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Messages that a call may give after an earlier one failed: the state rules
// answer for a stream or section that the failure left open.
const std::set<std::string> kStateMessages = {
    "missing call to endSection",    "missing call to endStream()", "missing call to beginStream()",
    "no active stream", "audio header was not written", "stream is already finished"};

// Turns the open descriptor of `path` into one on /dev/full: from now on
// every write to the file fails with "No space left on device", as when the
// disk fills up. Returns false when no descriptor writes that file.
bool fillDiskUnder(const std::string& path) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) != path || error) continue;
        const int fd = std::stoi(entry.path().filename().string());
        const int full = ::open("/dev/full", O_WRONLY);
        if (full < 0) return false;
        const bool swapped = dup2(full, fd) == fd;
        ::close(full);
        return swapped;
    }
    return false;
}

// What every run whose output broke must show.
void expectOutputFailureReported(const Outcome& outcome) {
    SCOPED_TRACE(describe(outcome));
    const CallResult* first = outcome.firstFailure();
    ASSERT_NE(first, nullptr) << "a write failed and no call said so";
    // Writes report 4, flushes and seeks 13. Frames and section headers only
    // write; opening flushes the header; the ends of streams and the finish
    // also patch and flush.
    const bool writesOnly = startsWith(first->what, "video frame") ||
                            startsWith(first->what, "audio frame") || startsWith(first->what, "begin");
    EXPECT_TRUE(first->code == ORV_ERR_IO || (!writesOnly && first->code == ORV_ERR_UNKNOWN))
        << first->what << ": " << first->code;
    if (first->what == "open") {
        EXPECT_FALSE(outcome.opened);
        return;
    }
    ASSERT_TRUE(startsWith(first->message, "error while writing: ")) << first->message;
    // Later failures repeat the first failure's text or answer a state rule;
    // no call invents a different I/O story.
    for (const CallResult& call : std::span(first + 1, outcome.calls.data() + outcome.calls.size()))
        EXPECT_TRUE(call.code == ORV_ERR_NONE || call.message == first->message ||
                    kStateMessages.count(call.message))
            << call.what << ": " << call.message;
    // A host that checks only the ends of its streams and the finish still
    // hears of the failure.
    EXPECT_TRUE(std::any_of(outcome.calls.begin(), outcome.calls.end(), [](const CallResult& call) {
        return (startsWith(call.what, "end ") || call.what == "finish") && call.code != ORV_ERR_NONE;
    })) << "the failure was lost before the end of the session";
}

// Every section that the file's table lists is the reference's section of the
// same slot, byte for byte, and the listed slots come first: a failure may
// cut a file short, but never leaves a listed section damaged.
void expectListedSectionsSound(const Bytes& bytes, const Bytes& reference) {
    ASSERT_GE(bytes.size(), kTableEnd) << "an open session always has its whole header";
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 12, reference.begin()));
    bool unusedSeen = false;
    for (unsigned slot = 0; slot < 16; ++slot) {
        const Slot stored = slotAt(bytes, slot);
        if (stored.type == 0) {
            unusedSeen = true;
            EXPECT_EQ(stored, orvtest::unusedSlot) << "slot " << slot;
            continue;
        }
        EXPECT_FALSE(unusedSeen) << "slot " << slot << " is used after an unused one";
        ASSERT_EQ(stored, slotAt(reference, slot)) << "slot " << slot;
        ASSERT_LE(stored.offset + stored.size, bytes.size()) << "slot " << slot << " lists missing bytes";
        EXPECT_TRUE(std::equal(bytes.begin() + stored.offset,
                               bytes.begin() + stored.offset + stored.size,
                               reference.begin() + stored.offset))
            << "slot " << slot << " differs from the fault-free section";
    }
}

// File size limits from 0 to past the end of the reference every `step`
// bytes, and each byte around a structure a limit may cut.
std::vector<uint64_t> limitsFor(const Bytes& reference, uint64_t step) {
    std::vector<uint64_t> points = {0, 12, kTableEnd, reference.size()};
    // The structures are found by the container's own layout, read straight
    // from the bytes of the fault-free file.
    for (unsigned slot = 0; slot < 16; ++slot) {
        const Slot section = slotAt(reference, slot);
        if (section.type == 2) {
            const uint64_t frameDataSize = orvtest::readLE(reference, section.offset + 40, 8);
            const uint64_t frames = orvtest::readLE(reference, section.offset + 48, 4);
            const uint64_t index = section.offset + 52 + frameDataSize;
            // The header, its patched frame data size, the frame data, the index, the end.
            for (uint64_t at : {section.offset, section.offset + 40, section.offset + 52, index,
                                section.offset + section.size})
                points.push_back(at);
            // Each frame, its first Hap section header, its middle.
            for (uint64_t k = 0; k < frames; ++k) {
                const uint64_t size = orvtest::readLE(reference, index + 4 * k, 4);
                const uint64_t offset = orvtest::readLE(reference, index + 4 * frames + 8 * k, 8);
                for (uint64_t at : {uint64_t{0}, uint64_t{14}, size / 2}) points.push_back(offset + at);
            }
        } else if (section.type == 3) {
            // The codec byte, RIFF, the patched RIFF size, the patched data
            // size, the samples, their middle, the end.
            const uint64_t samples = section.offset + 1 + 44;
            const uint64_t dataSize = orvtest::readLE(reference, samples - 4, 4);
            for (uint64_t at : {section.offset, section.offset + 1, section.offset + 5, samples - 4,
                                samples, samples + dataSize / 2, section.offset + section.size})
                points.push_back(at);
        }
    }
    std::vector<uint64_t> limits;
    for (uint64_t limit = 0; limit <= reference.size() + 1; limit += step) limits.push_back(limit);
    for (uint64_t point : points)
        for (uint64_t around : {point - 1, point, point + 1})
            if (around <= reference.size() + 1) limits.push_back(around);
    std::sort(limits.begin(), limits.end());
    limits.erase(std::unique(limits.begin(), limits.end()), limits.end());
    return limits;
}

class FaultInjection : public ::testing::Test {
protected:
    // The session without faults: its file is what every fault run is compared with.
    Bytes reference(const SessionPlan& plan) {
        for (const CallResult& call : Host(plan).run(path).calls)
            EXPECT_EQ(call.code, ORV_ERR_NONE) << call.what << ": " << call.message;
        const Bytes bytes = orvtest::readFile(path);
        EXPECT_TRUE(orvtest::problemsOf(bytes).empty());
        return bytes;
    }
    // Runs the plan once with whatever fault `beforeCall` arms; no buffer
    // may outlive the session.
    Outcome runOnce(const SessionPlan& plan,
                    const std::function<void(size_t)>& beforeCall = [](size_t) {}) {
        const uint64_t liveBefore = brindle::bufferCounters().liveBytes;
        const Outcome outcome = Host(plan).run(path, beforeCall);
        EXPECT_EQ(brindle::bufferCounters().liveBytes, liveBefore) << "buffers outlived the session";
        return outcome;
    }
    // A fault that never fired, or came after the last write, changes nothing.
    void expectUntouched(const Outcome& outcome, const Bytes& expected) {
        EXPECT_EQ(outcome.firstFailure(), nullptr) << describe(outcome);
        EXPECT_TRUE(orvtest::readFile(path) == expected);
    }

    orvtest::TempDir dir;
    // As /proc/self/fd names it, so that fillDiskUnder finds it.
    std::string path = (std::filesystem::canonical(dir.path("")) / "out.orv").string();
    hostsession::QuietLog quiet;
};

}  // namespace

// ---- Output failures ------------------------------------------------------------

// One session per limit; a limit below the reference's size must fail
// somewhere and say so, one at or above it must give the reference.
TEST_F(FaultInjection, FileSizeLimitAnywhereInASession) {
    const struct {
        SessionPlan plan;
        uint64_t step;
    } cases[] = {
        // Everything fits the stdio buffer: failures surface at the flushes
        // of the header and of each section end, that is at the patches.
        {{}, 3},
        {{.audioFirst = true}, 5},
        // Frames (4 KiB of blocks) and audio chunks (4400 bytes) larger than
        // the stdio buffer go to the file at once: failures surface in the
        // writer thread and in the audio frame calls.
        {{.width = 64, .height = 64, .format = ORV_PIX_FMT_DXT5, .maxParallel = 0,
          .samplesPerFrame = 1100}, 97},
        {{.width = 64, .height = 64, .format = ORV_PIX_FMT_YCOCG_DXT5_ALPHA,
          .compression = ORV_COMPRESSION_SNAPPY, .maxParallel = 4, .samplesPerFrame = 1100,
          .audioFirst = true}, 131},
    };
    for (const auto& [plan, step] : cases) {
        const Bytes expected = reference(plan);
        for (uint64_t limit : limitsFor(expected, step)) {
            SCOPED_TRACE("file size limit " + std::to_string(limit) + " of " +
                         std::to_string(expected.size()));
            Outcome outcome;
            {
                const orvtest::FileSizeLimit cap(limit);
                outcome = runOnce(plan);
            }
            if (limit >= expected.size()) {
                expectUntouched(outcome, expected);
            } else {
                expectOutputFailureReported(outcome);
                if (outcome.opened) expectListedSectionsSound(orvtest::readFile(path), expected);
            }
            if (HasFailure()) return;  // one report is enough
        }
    }
}

// The disk fills up just before call `at`, for every call of the session.
TEST_F(FaultInjection, DiskFullBeforeAnyCall) {
    for (const SessionPlan& plan :
         {SessionPlan{}, SessionPlan{.width = 64, .height = 64, .samplesPerFrame = 1100,
                                     .audioFirst = true}}) {
        const Bytes expected = reference(plan);
        const size_t calls = Host(plan).callCount();
        for (size_t at = 1; at <= calls; ++at) {
            SCOPED_TRACE("disk full before call " + std::to_string(at));
            bool filled = false;
            const Outcome outcome = runOnce(plan, [&](size_t call) {
                if (call == at) filled = fillDiskUnder(path);
            });
            ASSERT_TRUE(filled || at == calls);
            // The last write is the flush that ends the second stream, the
            // call before the finish; a disk that fills up after it changes
            // nothing.
            if (at > calls - 2) {
                expectUntouched(outcome, expected);
            } else {
                expectOutputFailureReported(outcome);
                expectListedSectionsSound(orvtest::readFile(path), expected);
            }
            if (HasFailure()) return;
        }
    }
}
