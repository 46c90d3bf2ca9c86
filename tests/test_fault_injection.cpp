// Faults injected at every point of small whole sessions: the output file
// stops taking bytes (a file size limit, or a disk that becomes full), or a
// buffer allocation fails. Each time the failing call reports the failure
// with its code and message, later calls answer as the state rules say, the
// failure always reaches the end of the session, nothing leaks or hangs, and
// every section that the file's table lists is exactly the section a
// fault-free session writes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "host_session.hpp"
#include "orv.h"
#include "orv_reader.hpp"

namespace {

using hostsession::CallResult;
using hostsession::describe;
using hostsession::Host;
using hostsession::Outcome;
using hostsession::readFile;
using hostsession::SessionPlan;

constexpr const char* kWriteError = "error while writing: ";

// Layout of the container's file header and section table.
constexpr size_t kHeaderBytes = 12;
constexpr size_t kSlots = 16;
constexpr size_t kEntryBytes = 17;
constexpr size_t kTableEnd = kHeaderBytes + kSlots * kEntryBytes;

uint64_t le(const std::string& bytes, size_t at, int width) {
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = value << 8 | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    return value;
}

std::span<const uint8_t> asBytes(const std::string& bytes) {
    return std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

orvread::OrvFile parse(const std::string& bytes) {
    return orvread::OrvFile(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Messages that a call may give after an earlier one failed: the state rules
// answer for a stream or section that the failure left open.
const std::set<std::string>& stateMessages() {
    static const std::set<std::string> messages = {
        "missing call to endSection", "missing call to endStream()",
        "missing call to beginStream()", "no active stream", "audio header was not written",
        "stream is already finished"};
    return messages;
}

// The session's log would print thousands of lines; it goes nowhere while a
// test runs. /dev/null is no regular file, so a file size limit spares it.
class QuietLog {
public:
    QuietLog() { brindle::logOpen("/dev/null"); }
    ~QuietLog() { brindle::logClose(); }
};

// Caps the size of every file this process writes. SIGXFSZ is ignored, so
// that a write past the cap fails with "File too large" instead of ending
// the process; both are restored afterwards.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit capped = previous;
        capped.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &capped), 0);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous{};
    void (*previousHandler)(int) = nullptr;
};

// Turns the open descriptor of `path` into one on /dev/full: from now on
// every write to the file fails with "No space left on device", as when the
// disk fills up. Returns false when no descriptor writes that file.
bool fillDiskUnder(const std::string& path) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), error);
        if (error || target != path) continue;
        const int fd = std::stoi(entry.path().filename().string());
        const int full = ::open("/dev/full", O_WRONLY);
        if (full < 0) return false;
        const bool swapped = dup2(full, fd) == fd;
        ::close(full);
        return swapped;
    }
    return false;
}

class FaultInjection : public ::testing::Test {
protected:
    FaultInjection() {
        std::string pattern = ::testing::TempDir() + "orv_faults_XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir = std::filesystem::canonical(pattern).string();
        path = dir + "/out.orv";
    }
    ~FaultInjection() override { std::filesystem::remove_all(dir); }

    // The session without faults: its file is what every fault run is
    // compared with.
    std::string reference(const SessionPlan& plan) {
        Host host(plan);
        const Outcome outcome = host.run(path);
        for (const CallResult& call : outcome.calls)
            EXPECT_EQ(call.code, ORV_ERR_NONE) << call.what << ": " << call.message;
        const std::string bytes = readFile(path);
        EXPECT_TRUE(orvread::verify(asBytes(bytes)).empty());
        return bytes;
    }

    // Runs the plan once with whatever fault the caller armed, and checks
    // that no buffer outlived the session.
    Outcome runOnce(const SessionPlan& plan,
                    const std::function<void(size_t)>& beforeCall = [](size_t) {}) {
        const uint64_t liveBefore = brindle::bufferCounters().liveBytes;
        Outcome outcome;
        {
            Host host(plan);
            outcome = host.run(path, beforeCall);
        }
        EXPECT_EQ(brindle::bufferCounters().liveBytes, liveBefore) << "buffers outlived the session";
        return outcome;
    }

    std::string dir;
    std::string path;
    QuietLog quiet;
};

// The codes a call may fail with when the output breaks under it: writes
// report 4, flushes and seeks 13. Frames and section headers only write; the
// ends of streams and the finish also patch and flush; opening flushes the
// header.
std::set<OrvError_enum> writeFailureCodes(const std::string& what) {
    if (startsWith(what, "video frame") || startsWith(what, "audio frame") ||
        startsWith(what, "begin"))
        return {ORV_ERR_IO};
    return {ORV_ERR_IO, ORV_ERR_UNKNOWN};
}

// What every run whose output broke must show.
void expectOutputFailureReported(const Outcome& outcome, const std::string& context) {
    SCOPED_TRACE(context + "\n" + describe(outcome));
    const CallResult* first = outcome.firstFailure();
    ASSERT_NE(first, nullptr) << "a write failed and no call said so";
    if (first->what == "open") {
        EXPECT_TRUE(first->code == ORV_ERR_IO || first->code == ORV_ERR_UNKNOWN) << first->code;
        EXPECT_FALSE(outcome.opened);
        return;
    }
    EXPECT_TRUE(writeFailureCodes(first->what).count(first->code)) << first->what;
    ASSERT_TRUE(startsWith(first->message, kWriteError)) << first->message;

    // Later failures repeat the first failure's text or answer a state rule;
    // no call invents a different I/O story.
    bool afterFirst = false;
    for (const CallResult& call : outcome.calls) {
        if (&call == first) {
            afterFirst = true;
            continue;
        }
        if (!afterFirst || call.code == ORV_ERR_NONE) continue;
        EXPECT_TRUE(call.message == first->message || stateMessages().count(call.message))
            << call.what << ": " << call.message;
    }

    // A host that checks only the ends of its streams and the finish still
    // hears of the failure.
    const bool endsReport = std::any_of(outcome.calls.begin(), outcome.calls.end(),
                                        [](const CallResult& call) {
                                            return (startsWith(call.what, "end ") ||
                                                    call.what == "finish") &&
                                                   call.code != ORV_ERR_NONE;
                                        });
    EXPECT_TRUE(endsReport) << "the failure was lost before the end of the session";
}

// Every section that the file's table lists is the reference's section of the
// same slot, byte for byte, and the listed slots come first: a failure may
// cut a file short, but never leaves a listed section damaged.
void expectListedSectionsSound(const std::string& bytes, const std::string& reference,
                               const std::string& context) {
    SCOPED_TRACE(context);
    ASSERT_GE(bytes.size(), kTableEnd) << "an open session always has its whole header";
    EXPECT_EQ(bytes.substr(0, kHeaderBytes), reference.substr(0, kHeaderBytes));
    bool unusedSeen = false;
    for (size_t slot = 0; slot < kSlots; ++slot) {
        const size_t entry = kHeaderBytes + slot * kEntryBytes;
        const std::string stored = bytes.substr(entry, kEntryBytes);
        if (stored[0] == 0) {
            unusedSeen = true;
            EXPECT_EQ(le(bytes, entry + 1, 8), UINT64_MAX) << "slot " << slot;
            EXPECT_EQ(le(bytes, entry + 9, 8), 0u) << "slot " << slot;
            continue;
        }
        EXPECT_FALSE(unusedSeen) << "slot " << slot << " is used after an unused one";
        ASSERT_EQ(stored, reference.substr(entry, kEntryBytes)) << "slot " << slot;
        const size_t offset = le(bytes, entry + 1, 8);
        const size_t size = le(bytes, entry + 9, 8);
        ASSERT_LE(offset + size, bytes.size()) << "slot " << slot << " lists missing bytes";
        EXPECT_TRUE(bytes.compare(offset, size, reference, offset, size) == 0)
            << "slot " << slot << " differs from the fault-free section";
    }
}

// Offsets around which a file size limit cuts a structure of the reference
// file: its header, each section's header, every frame, the index, the WAV
// header and data, the end.
std::vector<uint64_t> structureBoundaries(const std::string& reference) {
    const orvread::OrvFile file = parse(reference);
    std::vector<uint64_t> points = {0, kHeaderBytes, kTableEnd};
    for (size_t i = 0; i < file.videoCount(); ++i) {
        const orvread::VideoSection& video = file.video(i);
        points.push_back(video.offset);
        points.push_back(video.offset + 40);  // the patched frame data size
        points.push_back(video.offset + 52);
        for (size_t k = 0; k < video.frameOffsets.size(); ++k) {
            points.push_back(video.frameOffsets[k]);
            points.push_back(video.frameOffsets[k] + 14);  // the first Hap section header
            points.push_back(video.frameOffsets[k] + video.frameSizes[k] / 2);
        }
        points.push_back(video.offset + 52 + video.frameDataSize);  // the index
        points.push_back(video.offset + video.size);
    }
    for (size_t i = 0; i < file.audioCount(); ++i) {
        const orvread::AudioSection& audio = file.audio(i);
        points.push_back(audio.offset);
        points.push_back(audio.offset + 1);   // RIFF
        points.push_back(audio.offset + 5);   // the patched RIFF size
        points.push_back(audio.dataOffset - 4);  // the patched data size
        points.push_back(audio.dataOffset);
        points.push_back(audio.dataOffset + audio.dataSize / 2);
        points.push_back(audio.offset + audio.size);
    }
    std::vector<uint64_t> around;
    for (uint64_t point : points)
        for (int64_t delta : {-1, 0, 1})
            if (point + static_cast<uint64_t>(delta) <= reference.size() + 1)
                around.push_back(point + static_cast<uint64_t>(delta));
    return around;
}

// Limits from 0 to past the end of the reference, every `step` bytes, plus
// the structure boundaries.
std::vector<uint64_t> limitsFor(const std::string& reference, uint64_t step) {
    std::vector<uint64_t> limits = structureBoundaries(reference);
    for (uint64_t limit = 0; limit <= reference.size() + 1; limit += step) limits.push_back(limit);
    limits.push_back(reference.size());
    std::sort(limits.begin(), limits.end());
    limits.erase(std::unique(limits.begin(), limits.end()), limits.end());
    return limits;
}

}  // namespace

// ---- Output failures ------------------------------------------------------------

class OutputFaults : public FaultInjection {
protected:
    // One session per limit; a limit below the reference's size must fail
    // somewhere and say so, one at or above it must give the reference.
    void sweepFileSizeLimit(const SessionPlan& plan, uint64_t step) {
        const std::string expected = reference(plan);
        for (uint64_t limit : limitsFor(expected, step)) {
            const std::string context = "file size limit " + std::to_string(limit) + " of " +
                                        std::to_string(expected.size());
            Outcome outcome;
            {
                FileSizeLimit cap(limit);
                outcome = runOnce(plan);
            }
            const std::string written = readFile(path);
            if (limit >= expected.size()) {
                EXPECT_EQ(outcome.firstFailure(), nullptr) << context << "\n" << describe(outcome);
                EXPECT_TRUE(written == expected) << context;
                continue;
            }
            expectOutputFailureReported(outcome, context);
            if (outcome.opened)
                expectListedSectionsSound(written, expected, context + "\n" + describe(outcome));
            if (HasFailure()) return;  // one report is enough
        }
    }

    // The disk fills up just before call `i`, for every call of the session.
    void sweepDiskFull(const SessionPlan& plan) {
        const std::string expected = reference(plan);
        const size_t calls = Host(plan).callCount();
        for (size_t at = 1; at <= calls; ++at) {
            const std::string context = "disk full before call " + std::to_string(at);
            SCOPED_TRACE(context);
            bool filled = false;
            const Outcome outcome = runOnce(plan, [&](size_t call) {
                if (call == at) filled = fillDiskUnder(path);
            });
            ASSERT_TRUE(filled || at == calls) << context;
            const std::string written = readFile(path);
            // The last write is the flush that ends the second stream, the
            // call before the finish; a disk that fills up after it changes
            // nothing.
            if (at > calls - 2) {
                EXPECT_EQ(outcome.firstFailure(), nullptr) << context << "\n" << describe(outcome);
                EXPECT_TRUE(written == expected) << context;
                continue;
            }
            expectOutputFailureReported(outcome, context);
            expectListedSectionsSound(written, expected, context);
            if (HasFailure()) return;
        }
    }
};

// Everything fits the stdio buffer: failures surface at the flushes of the
// header and of each section end, that is at the patches.
TEST_F(OutputFaults, FileSizeLimitAnywhereInABufferedSession) {
    SessionPlan plan;
    sweepFileSizeLimit(plan, 3);
    plan.audioFirst = true;
    sweepFileSizeLimit(plan, 5);
}

// Frames and audio chunks larger than the stdio buffer go to the file at
// once: failures surface in the writer thread and in the audio frame calls.
TEST_F(OutputFaults, FileSizeLimitAnywhereInASessionOfLargeWrites) {
    SessionPlan plan;
    plan.width = 64;
    plan.height = 64;
    plan.format = ORV_PIX_FMT_DXT5;  // 4 KiB of blocks per frame
    plan.maxParallel = 0;
    plan.samplesPerFrame = 1100;  // 4400 bytes of samples per frame
    sweepFileSizeLimit(plan, 97);
    plan.audioFirst = true;
    plan.format = ORV_PIX_FMT_YCOCG_DXT5_ALPHA;
    plan.compression = ORV_COMPRESSION_SNAPPY;
    plan.maxParallel = 4;
    sweepFileSizeLimit(plan, 131);
}

TEST_F(OutputFaults, DiskFullBeforeAnyCall) {
    SessionPlan plan;
    sweepDiskFull(plan);
    plan.audioFirst = true;
    plan.width = 64;
    plan.height = 64;
    plan.samplesPerFrame = 1100;
    sweepDiskFull(plan);
}

TEST_F(OutputFaults, OpeningOnAFullDeviceFailsAtTheHeaderFlush) {
    const OrvEncoderParams_st params{2};
    OrvEnc* encoder = nullptr;
    EXPECT_EQ(orvEncoderOpen("/dev/full", &params, &encoder), ORV_ERR_UNKNOWN);
    EXPECT_EQ(encoder, nullptr);
}

// ---- Allocation failures ------------------------------------------------------------

namespace {

// Disarms the allocation hook however the run ends.
class AllocationFailure {
public:
    void armAfter(long count) { brindle::failBufferAllocationAfter(count); }
    ~AllocationFailure() { brindle::failBufferAllocationAfter(-1); }
};

}  // namespace

class AllocationFaults : public FaultInjection {
protected:
    // Fails the library's n-th buffer allocation, for every n of the session
    // (host buffers are made before the hook is armed).
    void sweepAllocations(const SessionPlan& plan) {
        const std::string expected = reference(plan);
        const orvread::OrvFile expectedFile = parse(expected);
        const uint64_t made = libraryAllocations(plan);
        ASSERT_GT(made, 0u);
        for (uint64_t n = 0; n <= made; ++n) {
            const std::string context = "allocation " + std::to_string(n) + " of " +
                                        std::to_string(made) + " fails";
            const uint64_t failedBefore = brindle::bufferCounters().failedAllocations;
            Outcome outcome;
            {
                AllocationFailure failure;
                outcome = runOnce(plan, [&](size_t call) {
                    if (call == 0) failure.armAfter(static_cast<long>(n));
                });
            }
            SCOPED_TRACE(context + "\n" + describe(outcome));
            const bool fired = brindle::bufferCounters().failedAllocations != failedBefore;
            EXPECT_EQ(fired, n < made);
            const std::string written = readFile(path);
            EXPECT_TRUE(orvread::verify(asBytes(written)).empty()) << "the file is damaged";
            if (!fired) {
                EXPECT_EQ(outcome.firstFailure(), nullptr);
                EXPECT_TRUE(written == expected);
                continue;
            }
            expectAllocationFailureReported(outcome);
            expectWrittenFramesArePrefix(parse(written), expectedFile, written, expected);
            if (HasFailure()) return;
        }
    }

private:
    uint64_t libraryAllocations(const SessionPlan& plan) {
        Host host(plan);
        uint64_t before = 0;
        host.run(path, [&](size_t call) {
            if (call == 0) before = brindle::bufferCounters().allocations;
        });
        return brindle::bufferCounters().allocations - before;
    }

    // Only video frames allocate buffers. The first failing call gives the
    // allocation's message, and the end of the video stream repeats it, so
    // that a host checking only that call still hears of the lost frames;
    // nothing else fails.
    static void expectAllocationFailureReported(const Outcome& outcome) {
        const CallResult* first = outcome.firstFailure();
        ASSERT_NE(first, nullptr) << "an allocation failed and no call said so";
        EXPECT_TRUE(startsWith(first->what, "video frame") || first->what == "end video");
        for (const CallResult& call : outcome.calls) {
            const bool video = startsWith(call.what, "video frame") || call.what == "end video";
            if (!video) {
                EXPECT_EQ(call.code, ORV_ERR_NONE) << call.what;
                continue;
            }
            if (call.code == ORV_ERR_NONE) continue;
            EXPECT_EQ(call.code, ORV_ERR_UNKNOWN) << call.what;
            EXPECT_EQ(call.message, "failed to allocate memory") << call.what;
        }
        const CallResult* end = outcome.find("end video");
        ASSERT_NE(end, nullptr);
        EXPECT_EQ(end->code, ORV_ERR_UNKNOWN);
    }

    // The frames before the one that lost its buffer are written as without
    // the failure; that one and every later one are dropped, and the audio
    // section is untouched.
    static void expectWrittenFramesArePrefix(const orvread::OrvFile& file,
                                             const orvread::OrvFile& expectedFile,
                                             const std::string& written,
                                             const std::string& expected) {
        ASSERT_EQ(file.videoCount(), 1u);
        ASSERT_EQ(file.audioCount(), 1u);
        const orvread::VideoSection& video = file.video(0);
        const orvread::VideoSection& full = expectedFile.video(0);
        EXPECT_LT(video.frameCount, full.frameCount);
        for (uint32_t k = 0; k < video.frameCount; ++k) {
            ASSERT_EQ(video.frameSizes[k], full.frameSizes[k]) << "frame " << k;
            EXPECT_TRUE(written.compare(video.frameOffsets[k], video.frameSizes[k], expected,
                                        full.frameOffsets[k], full.frameSizes[k]) == 0)
                << "frame " << k;
            EXPECT_EQ(video.framePts[k], full.framePts[k]);
        }
        EXPECT_EQ(file.readSamples(file.audio(0)), expectedFile.readSamples(expectedFile.audio(0)));
    }
};

// Slices copied (a width that is no multiple of 4), then block-compressed,
// then squeezed by snappy: three buffers per frame.
TEST_F(AllocationFaults, EveryBufferOfACopiedSliceSession) {
    SessionPlan plan;
    plan.width = 18;
    plan.compression = ORV_COMPRESSION_SNAPPY;
    plan.videoFrames = 4;
    sweepAllocations(plan);
}

// Two texture planes per slice, compressed by LZ4 straight from the host's
// buffer, with several frames in flight on three workers.
TEST_F(AllocationFaults, EveryBufferOfATwoPlaneSessionWithFramesInFlight) {
    SessionPlan plan;
    plan.threads = 3;
    plan.format = ORV_PIX_FMT_YCOCG_DXT5_ALPHA;
    plan.compression = ORV_COMPRESSION_LZ4;
    plan.maxParallel = 3;
    plan.videoFrames = 5;
    plan.audioFirst = true;
    sweepAllocations(plan);
}

// Frames of two slices side by side.
TEST_F(AllocationFaults, EveryBufferOfATwoSliceSession) {
    SessionPlan plan;
    plan.width = 3072;
    plan.height = 4;
    plan.videoFrames = 2;
    sweepAllocations(plan);
}
