#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "orvwriter.hpp"

using brindle::FileSink;
using brindle::OrvException;
using brindle::OrvVideoHeader;
using brindle::OrvWriter;

namespace {

// ---- Helpers ----------------------------------------------------------------

using Bytes = std::vector<uint8_t>;

// The whole test program logs into one file, so that a test can read the
// lines it caused from where the file ended when it started.
std::string logPath() {
    static const std::string path = ::testing::TempDir() + "orv_writer_test_" +
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

class TempDir {
public:
    TempDir() {
        std::string pattern = ::testing::TempDir() + "orv_writer_XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(root); }
    std::string path(const std::string& name) const { return root + "/" + name; }

private:
    std::string root;
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
uint64_t u16At(const Bytes& b, size_t offset) { return readLE(b, offset, 2); }
uint64_t u32At(const Bytes& b, size_t offset) { return readLE(b, offset, 4); }
uint64_t u64At(const Bytes& b, size_t offset) { return readLE(b, offset, 8); }

void appendLE(Bytes& bytes, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The header of a fresh container: every slot unused.
Bytes emptyHeader(unsigned slots) {
    Bytes bytes = {'O', 'R', 'V', 'C'};
    appendLE(bytes, 1, 4);
    appendLE(bytes, slots, 4);
    for (unsigned slot = 0; slot < slots; ++slot) {
        bytes.push_back(0);
        appendLE(bytes, UINT64_MAX, 8);
        appendLE(bytes, 0, 8);
    }
    return bytes;
}

struct Slot {
    uint64_t type, offset, size;
};
Slot slotAt(const Bytes& file, unsigned slot) {
    const size_t at = 12 + 17 * slot;
    return {readLE(file, at, 1), u64At(file, at + 1), u64At(file, at + 9)};
}
void expectUnusedFrom(const Bytes& file, unsigned firstSlot, unsigned slots = 16) {
    for (unsigned slot = firstSlot; slot < slots; ++slot) {
        const Slot entry = slotAt(file, slot);
        EXPECT_EQ(entry.type, 0u) << "slot " << slot;
        EXPECT_EQ(entry.offset, UINT64_MAX) << "slot " << slot;
        EXPECT_EQ(entry.size, 0u) << "slot " << slot;
    }
}

OrvVideoHeader validVideoHeader() {
    OrvVideoHeader header;
    header.flags = 7;
    header.width = 320;
    header.height = 240;
    header.timebaseNum = 1;
    header.timebaseDen = 90000;
    header.fpsNum = 30000;
    header.fpsDen = 1001;
    return header;
}

// A frame record of known bytes, written in two pieces; it can break after
// `failAfter` bytes, as a frame whose packaging fails part-way would.
class FakeFrame : public brindle::OrvFrameWriter {
public:
    FakeFrame(int64_t pts, Bytes bytes, size_t failAfter = SIZE_MAX)
        : ptsValue(pts), bytes(std::move(bytes)), failAfter(failAfter) {}
    int64_t pts() const override { return ptsValue; }
    uint32_t frameNumber() const override { return 0; }
    void write(brindle::OrvIOSink& sink) const override {
        if (failAfter < bytes.size()) {
            sink.write(failAfter, bytes.data());
            throw OrvException("frame packaging failed", ORV_ERR_UNKNOWN);
        }
        const size_t half = bytes.size() / 2;
        sink.write(half, bytes.data());
        sink.write(bytes.size() - half, bytes.data() + half);
    }

private:
    int64_t ptsValue;
    Bytes bytes;
    size_t failAfter;
};

Bytes pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + 7 * i);
    return bytes;
}

// Expects `call` to throw OrvException with exactly this message and code.
template <typename Call>
void expectRefusal(Call&& call, const std::string& message, uint32_t code) {
    try {
        call();
        ADD_FAILURE() << "no exception; expected \"" << message << "\"";
    } catch (const OrvException& error) {
        EXPECT_EQ(std::string(error.what()), message);
        EXPECT_EQ(error.code, code) << message;
    }
}

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

class WriterTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.path("out.orv");
    OrvWriter writer;

    void TearDown() override { writer.close(); }
    Bytes closeAndRead() {
        writer.close();
        return readFile(path);
    }
};

}  // namespace

// ---- File header ----------------------------------------------------------------

TEST_F(WriterTest, FreshFileIsTheHeaderWithSixteenUnusedSlots) {
    writer.open(path, 16);
    EXPECT_TRUE(writer.isOpen());
    EXPECT_EQ(writer.currentOffset(), 284u);
    const Bytes file = closeAndRead();
    ASSERT_EQ(file.size(), 284u);
    EXPECT_EQ(file, emptyHeader(16));
    // The fixed opening bytes, spelled out.
    const Bytes opening = {'O', 'R', 'V', 'C', 1, 0, 0, 0, 16, 0, 0, 0};
    EXPECT_TRUE(std::equal(opening.begin(), opening.end(), file.begin()));
}

TEST_F(WriterTest, HeaderIsOnDiskBeforeAnySectionEnds) {
    writer.open(path, 16);
    EXPECT_EQ(readFile(path), emptyHeader(16));  // flushed by open, file still open
}

TEST_F(WriterTest, OpeningLogsThePath) {
    LogCapture log;
    writer.open(path, 16);
    EXPECT_EQ(log.text(), "*** opened " + path + " for writing\n");
}

TEST_F(WriterTest, SlotCountGivenToOpenShapesTheHeader) {
    writer.open(path, 3);
    EXPECT_EQ(closeAndRead(), emptyHeader(3));
}

// ---- Video sections ----------------------------------------------------------------

TEST_F(WriterTest, VideoSectionWithoutFramesIsJustItsHeader) {
    writer.open(path, 16);
    writer.beginSection(brindle::ORV_SECTION_VIDEO);
    writer.writeVideoHeader(validVideoHeader());
    writer.endSection();
    EXPECT_EQ(writer.sectionCount(), 1u);
    const Bytes file = closeAndRead();
    ASSERT_EQ(file.size(), 284u + 52u);

    Bytes expectedSection;
    appendLE(expectedSection, 0, 2);      // codec
    appendLE(expectedSection, 7, 2);      // flags
    appendLE(expectedSection, 320, 2);    // width
    appendLE(expectedSection, 240, 2);    // height
    appendLE(expectedSection, 90000, 8);  // time base denominator first
    appendLE(expectedSection, 1, 8);
    appendLE(expectedSection, 1001, 8);   // frame rate denominator first
    appendLE(expectedSection, 30000, 8);
    appendLE(expectedSection, 0, 8);      // frame data size
    appendLE(expectedSection, 0, 4);      // frame count
    EXPECT_EQ(Bytes(file.begin() + 284, file.end()), expectedSection);

    const Slot slot = slotAt(file, 0);
    EXPECT_EQ(slot.type, 2u);
    EXPECT_EQ(slot.offset, 284u);
    EXPECT_EQ(slot.size, 52u);
    expectUnusedFrom(file, 1);
}

TEST_F(WriterTest, FramesAreIndexedBySizeOffsetAndPts) {
    const std::vector<Bytes> frames = {pattern(10, 1), pattern(25, 2), pattern(7, 3)};
    const std::vector<int64_t> pts = {100, -5, 300};
    writer.open(path, 16);
    writer.beginSection(brindle::ORV_SECTION_VIDEO);
    writer.writeVideoHeader(validVideoHeader());
    for (size_t i = 0; i < frames.size(); ++i) writer.writeFrame(FakeFrame(pts[i], frames[i]));
    writer.endSection();
    const Bytes file = closeAndRead();

    const size_t dataStart = 284 + 52;
    const size_t dataSize = 10 + 25 + 7;
    const size_t indexStart = dataStart + dataSize;
    ASSERT_EQ(file.size(), indexStart + 20 * 3);
    EXPECT_EQ(u64At(file, 284 + 40), dataSize);
    EXPECT_EQ(u32At(file, 284 + 48), 3u);

    size_t offset = dataStart;
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(Bytes(file.begin() + offset, file.begin() + offset + frames[i].size()),
                  frames[i]);
        EXPECT_EQ(u32At(file, indexStart + 4 * i), frames[i].size()) << i;
        EXPECT_EQ(u64At(file, indexStart + 12 + 8 * i), offset) << i;
        EXPECT_EQ(u64At(file, indexStart + 36 + 8 * i), static_cast<uint64_t>(pts[i])) << i;
        offset += frames[i].size();
    }
    EXPECT_EQ(u64At(file, indexStart + 12), 336u);

    const Slot slot = slotAt(file, 0);
    EXPECT_EQ(slot.type, 2u);
    EXPECT_EQ(slot.offset, 284u);
    EXPECT_EQ(slot.size, 52u + dataSize + 20u * 3);
}

TEST_F(WriterTest, FrameThatFailsPartWayLeavesNoIndexEntry) {
    writer.open(path, 16);
    writer.beginSection(brindle::ORV_SECTION_VIDEO);
    writer.writeVideoHeader(validVideoHeader());
    writer.writeFrame(FakeFrame(1, pattern(10, 1)));
    expectRefusal([&] { writer.writeFrame(FakeFrame(2, pattern(20, 2), 5)); },
                  "frame packaging failed", ORV_ERR_UNKNOWN);
    writer.writeFrame(FakeFrame(3, pattern(8, 3)));
    writer.endSection();  // the index invariant holds, so this succeeds
    const Bytes file = closeAndRead();

    // The five bytes of the broken frame stay in the data but are not indexed.
    const size_t dataSize = 10 + 5 + 8;
    const size_t indexStart = 336 + dataSize;
    ASSERT_EQ(file.size(), indexStart + 20 * 2);
    EXPECT_EQ(u64At(file, 284 + 40), dataSize);
    EXPECT_EQ(u32At(file, 284 + 48), 2u);
    EXPECT_EQ(u32At(file, indexStart + 0), 10u);
    EXPECT_EQ(u32At(file, indexStart + 4), 8u);
    EXPECT_EQ(u64At(file, indexStart + 8), 336u);
    EXPECT_EQ(u64At(file, indexStart + 16), 336u + 15u);
    EXPECT_EQ(u64At(file, indexStart + 24), 1u);
    EXPECT_EQ(u64At(file, indexStart + 32), 3u);
}

TEST_F(WriterTest, EachVideoHeaderStartsAFreshIndex) {
    writer.open(path, 16);
    writer.beginSection(brindle::ORV_SECTION_VIDEO);
    writer.writeVideoHeader(validVideoHeader());
    writer.writeFrame(FakeFrame(1, pattern(10, 1)));
    writer.writeFrame(FakeFrame(2, pattern(10, 2)));
    writer.endSection();
    const uint64_t second = writer.currentOffset();
    writer.beginSection(brindle::ORV_SECTION_VIDEO);
    writer.writeVideoHeader(validVideoHeader());
    writer.writeFrame(FakeFrame(9, pattern(4, 9)));
    writer.endSection();
    const Bytes file = closeAndRead();

    EXPECT_EQ(second, 284u + 52 + 20 + 40);
    EXPECT_EQ(u32At(file, second + 48), 1u);
    EXPECT_EQ(u64At(file, second + 40), 4u);
    EXPECT_EQ(u64At(file, second + 52 + 4 + 4), second + 52);  // its only frame offset
    const Slot slot = slotAt(file, 1);
    EXPECT_EQ(slot.type, 2u);
    EXPECT_EQ(slot.offset, second);
    EXPECT_EQ(slot.size, 52u + 4 + 20);
}

// ---- Sections and slots -------------------------------------------------------------

TEST_F(WriterTest, SectionsFillSlotsInTheOrderTheyEnd) {
    writer.open(path, 16);
    writer.beginSection(brindle::ORV_SECTION_AUDIO);
    writer.writeAudioHeader(brindle::OrvAudioHeader{});
    const Bytes payload = pattern(30, 5);
    writer.writeData(payload.size(), payload.data());
    writer.endSection();
    writer.beginSection(brindle::ORV_SECTION_VIDEO);
    writer.writeVideoHeader(validVideoHeader());
    writer.endSection();
    EXPECT_EQ(writer.sectionCount(), 2u);
    const Bytes file = closeAndRead();

    ASSERT_EQ(file.size(), 284u + 31 + 52);
    EXPECT_EQ(file[284], 0u);  // audio codec byte
    EXPECT_EQ(Bytes(file.begin() + 285, file.begin() + 315), payload);
    const Slot audio = slotAt(file, 0);
    EXPECT_EQ(audio.type, 3u);
    EXPECT_EQ(audio.offset, 284u);
    EXPECT_EQ(audio.size, 31u);
    const Slot video = slotAt(file, 1);
    EXPECT_EQ(video.type, 2u);
    EXPECT_EQ(video.offset, 315u);
    EXPECT_EQ(video.size, 52u);
    expectUnusedFrom(file, 2);
}

TEST_F(WriterTest, SectionBoundariesAreRefusedOutOfOrder) {
    writer.open(path, 16);
    expectRefusal([&] { writer.endSection(); }, "missing call to beginSection", ORV_ERR_UNKNOWN);
    writer.beginSection(brindle::ORV_SECTION_AUDIO);
    expectRefusal([&] { writer.beginSection(brindle::ORV_SECTION_VIDEO); },
                  "missing call to endSection", ORV_ERR_UNKNOWN);
    writer.endSection();  // the refusal left the audio section intact
    EXPECT_EQ(slotAt(closeAndRead(), 0).type, 3u);
}

TEST_F(WriterTest, SectionBeyondTheLastSlotIsRefusedBeforeAnythingIsWritten) {
    writer.open(path, 2);
    for (int i = 0; i < 2; ++i) {
        writer.beginSection(brindle::ORV_SECTION_AUDIO);
        writer.writeAudioHeader(brindle::OrvAudioHeader{});
        writer.endSection();
    }
    writer.beginSection(brindle::ORV_SECTION_VIDEO);
    writer.writeVideoHeader(validVideoHeader());
    writer.writeFrame(FakeFrame(1, pattern(6, 1)));
    expectRefusal([&] { writer.endSection(); }, "too many sections", ORV_ERR_UNKNOWN);
    EXPECT_EQ(writer.sectionCount(), 2u);
    expectRefusal([&] { writer.updateHeader(); }, "too many sections", ORV_ERR_UNKNOWN);
    const Bytes file = closeAndRead();

    // No index was appended, no placeholder patched, and both slots still
    // describe the first two sections.
    const size_t headerEnd = 12 + 2 * 17;
    const size_t videoStart = headerEnd + 2;
    ASSERT_EQ(file.size(), videoStart + 52 + 6);
    EXPECT_EQ(u64At(file, videoStart + 40), 0u);
    EXPECT_EQ(u32At(file, videoStart + 48), 0u);
    EXPECT_EQ(slotAt(file, 0).offset, headerEnd);
    EXPECT_EQ(slotAt(file, 1).offset, headerEnd + 1);
    EXPECT_EQ(slotAt(file, 1).size, 1u);
}

// ---- Refusals ------------------------------------------------------------------------

TEST_F(WriterTest, OpeningTwiceIsRefused) {
    writer.open(path, 16);
    expectRefusal([&] { writer.open(dir.path("other.orv"), 16); }, "writer already opened",
                  ORV_ERR_UNKNOWN);
    EXPECT_FALSE(std::filesystem::exists(dir.path("other.orv")));
    EXPECT_EQ(closeAndRead(), emptyHeader(16));
}

TEST_F(WriterTest, OpeningInAMissingDirectoryGivesCodeTwoAndTheSystemReason) {
    LogCapture log;
    try {
        writer.open(dir.path("missing/out.orv"), 16);
        FAIL() << "open succeeded";
    } catch (const OrvException& error) {
        EXPECT_EQ(error.code, ORV_ERR_OPEN_FILE);
        EXPECT_EQ(std::string(error.what()),
                  std::string("failed to open file for writing: ") + std::strerror(ENOENT));
    }
    EXPECT_FALSE(writer.isOpen());
    EXPECT_EQ(log.text(), "");
}

TEST_F(WriterTest, InvalidVideoHeadersAreRefusedWithoutWriting) {
    writer.open(path, 16);
    writer.beginSection(brindle::ORV_SECTION_VIDEO);
    OrvVideoHeader header = validVideoHeader();
    header.codec = 1;
    expectRefusal([&] { writer.writeVideoHeader(header); }, "bad video header codec",
                  ORV_ERR_UNKNOWN);
    header = validVideoHeader();
    header.flags = 3;
    expectRefusal([&] { writer.writeVideoHeader(header); }, "bad video header flags",
                  ORV_ERR_UNKNOWN);
    header = validVideoHeader();
    header.width = 0;
    expectRefusal([&] { writer.writeVideoHeader(header); }, "bad video header dimensions",
                  ORV_ERR_UNKNOWN);
    header = validVideoHeader();
    header.height = 0;
    expectRefusal([&] { writer.writeVideoHeader(header); }, "bad video header dimensions",
                  ORV_ERR_UNKNOWN);
    // Codec is checked first, then flags, then the size.
    header = OrvVideoHeader{};
    header.codec = 2;
    expectRefusal([&] { writer.writeVideoHeader(header); }, "bad video header codec",
                  ORV_ERR_UNKNOWN);
    EXPECT_EQ(writer.currentOffset(), 284u);

    // Bits beyond the three required ones are accepted and stored.
    header = validVideoHeader();
    header.flags = 0xFF;
    writer.writeVideoHeader(header);
    writer.endSection();
    EXPECT_EQ(u16At(closeAndRead(), 286), 0xFFu);
}

TEST_F(WriterTest, ClosedWriterRefusesWritesWithCodeFourAndPositionsWithThirteen) {
    // Never opened, then opened and closed: both are closed writers.
    for (int round = 0; round < 2; ++round) {
        expectRefusal([&] { writer.writeU32(1); }, "not opened for writing", ORV_ERR_IO);
        expectRefusal([&] { writer.writeU8(1); }, "not opened for writing", ORV_ERR_IO);
        expectRefusal([&] { writer.writeData(4, "data"); }, "not opened for writing",
                      ORV_ERR_IO);
        expectRefusal([&] { writer.writeHeader(16); }, "not opened for writing", ORV_ERR_IO);
        expectRefusal([&] { writer.currentOffset(); }, "not opened for writing",
                      ORV_ERR_UNKNOWN);
        expectRefusal([&] { writer.flush(); }, "not opened for writing", ORV_ERR_UNKNOWN);
        expectRefusal([&] { writer.seek(0); }, "not opened for writing", ORV_ERR_UNKNOWN);
        expectRefusal([&] { writer.beginSection(brindle::ORV_SECTION_AUDIO); },
                      "not opened for writing", ORV_ERR_UNKNOWN);
        expectRefusal([&] { writer.writeFrame(FakeFrame(0, pattern(4, 0))); },
                      "not opened for writing", ORV_ERR_UNKNOWN);
        writer.open(path, 16);
        writer.close();
        writer.close();  // closing a closed writer does nothing
    }
    EXPECT_EQ(readFile(path), emptyHeader(16));
}

TEST_F(WriterTest, SeekAndOffsetWorkOnAbsolutePositions) {
    writer.open(path, 16);
    writer.writeU64(0x0807060504030201ull);
    writer.writeU16(0xBBAA);
    EXPECT_EQ(writer.currentOffset(), 294u);
    writer.seek(286);
    writer.writeU16(0xEEDD);
    EXPECT_EQ(writer.currentOffset(), 288u);
    writer.seek(294);
    writer.writeU8(0x99);
    const Bytes file = closeAndRead();
    const Bytes tail(file.begin() + 284, file.end());
    EXPECT_EQ(tail, (Bytes{1, 2, 0xDD, 0xEE, 5, 6, 7, 8, 0xAA, 0xBB, 0x99}));
}

// ---- Write failures -------------------------------------------------------------------

TEST_F(WriterTest, HeaderThatCannotBeFlushedLeavesTheWriterClosed) {
    // /dev/full takes the buffered header bytes, then refuses them at the flush.
    expectRefusal([&] { writer.open("/dev/full", 16); },
                  std::string("error while writing: ") + std::strerror(ENOSPC),
                  ORV_ERR_UNKNOWN);
    EXPECT_FALSE(writer.isOpen());
    writer.open(path, 16);  // the failed open holds nothing
    EXPECT_EQ(closeAndRead(), emptyHeader(16));
}

TEST(FileSinkTest, ShortWriteThrowsCodeFourAndCountsNothing) {
    FILE* file = std::fopen("/dev/full", "wb");
    ASSERT_NE(file, nullptr);
    {
        FileSink sink(file);
        sink.write(3, "abc");  // lands in the stream buffer
        EXPECT_EQ(sink.bytesWritten, 3u);
        const Bytes big(1 << 20, 0x55);  // larger than any stream buffer
        expectRefusal([&] { sink.write(big.size(), big.data()); },
                      std::string("error while writing: ") + std::strerror(ENOSPC), ORV_ERR_IO);
        EXPECT_EQ(sink.bytesWritten, 3u);
        sink.write(0, nullptr);
        EXPECT_EQ(sink.bytesWritten, 3u);
    }
    std::fclose(file);  // the sink never closes the file it borrows
}

TEST_F(WriterTest, WriteBeyondTheFileSizeLimitThrowsCodeFour) {
    writer.open(path, 16);
    writer.beginSection(brindle::ORV_SECTION_VIDEO);
    writer.writeVideoHeader(validVideoHeader());
    const Bytes big(256 * 1024, 0x11);
    {
        FileSizeLimit limit(64 * 1024);
        expectRefusal([&] { writer.writeRaw(big.size(), big.data()); },
                      std::string("error while writing: ") + std::strerror(EFBIG), ORV_ERR_IO);
    }
}

TEST_F(WriterTest, FrameBeyondTheFileSizeLimitThrowsCodeFourAndIsNotIndexed) {
    writer.open(path, 16);
    writer.beginSection(brindle::ORV_SECTION_VIDEO);
    writer.writeVideoHeader(validVideoHeader());
    writer.writeFrame(FakeFrame(1, pattern(10, 1)));
    {
        FileSizeLimit limit(64 * 1024);
        expectRefusal([&] { writer.writeFrame(FakeFrame(2, Bytes(256 * 1024, 0x22))); },
                      std::string("error while writing: ") + std::strerror(EFBIG), ORV_ERR_IO);
    }
    // Whatever reached the disk, the index lists the whole frame only.
    writer.endSection();
    const Bytes file = closeAndRead();
    const uint64_t dataSize = u64At(file, 284 + 40);
    EXPECT_EQ(u32At(file, 284 + 48), 1u);
    EXPECT_EQ(u32At(file, 336 + dataSize), 10u);
    EXPECT_EQ(u64At(file, 336 + dataSize + 4), 336u);
    EXPECT_EQ(u64At(file, 336 + dataSize + 12), 1u);
}

TEST_F(WriterTest, BufferedBytesRefusedAtSectionEndAreReported) {
    writer.open(path, 16);
    writer.beginSection(brindle::ORV_SECTION_AUDIO);
    writer.writeAudioHeader(brindle::OrvAudioHeader{});
    {
        FileSizeLimit limit(300);
        const Bytes small = pattern(100, 1);  // fits the stream buffer: no error yet
        writer.writeData(small.size(), small.data());
        try {
            writer.endSection();
            FAIL() << "endSection succeeded past the limit";
        } catch (const OrvException& error) {
            // The table entry is written after a seek, which pushes the
            // buffered bytes out first; their failure is what is reported.
            EXPECT_EQ(std::string(error.what()),
                      std::string("error while writing: ") + std::strerror(EFBIG));
            EXPECT_EQ(error.code, ORV_ERR_UNKNOWN);
        }
    }
    EXPECT_EQ(writer.sectionCount(), 0u);
    expectRefusal([&] { writer.beginSection(brindle::ORV_SECTION_AUDIO); },
                  "missing call to endSection", ORV_ERR_UNKNOWN);
}

TEST_F(WriterTest, BytesThatCannotBeWrittenAtCloseAreLogged) {
    writer.open(path, 16);
    const Bytes body(100000, 0x33);
    writer.writeData(body.size(), body.data());
    writer.flush();
    {
        // The log file stays far below the cap; only the container crosses it.
        FileSizeLimit limit(writer.currentOffset() + 10);
        writer.writeData(100, body.data());  // buffered: no error yet
        LogCapture log;
        writer.close();
        EXPECT_EQ(log.text(), std::string("*** OrvWriter::close(): error while writing: ") +
                                  std::strerror(EFBIG) + "\n");
    }
    EXPECT_FALSE(writer.isOpen());
}
