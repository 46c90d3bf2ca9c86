// The container writer: the file header and section table, video sections
// with their frame index, the order of section calls, refusals, and write
// failures with their codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"

using brindle::OrvException;
using brindle::OrvWriter;
using orvtest::Bytes;
using orvtest::expectOrvError;
using orvtest::readLE;
using orvtest::Slot;
using orvtest::slotAt;

namespace {

const auto* const logFile = ::testing::AddGlobalTestEnvironment(new orvtest::LogFile);

constexpr uint32_t io = ORV_ERR_IO, unknown = ORV_ERR_UNKNOWN;
// Codec 0, flags 7, 320x240, time base 1/90000, 30000/1001 frames per second.
const brindle::OrvVideoHeader kHeader{0, 7, 320, 240, 1, 90000, 30000, 1001};
const std::string kEfbig = orvtest::writeError(EFBIG);

// A frame record of known bytes, written in two pieces; it can break after
// `failAfter` bytes, as a frame whose packaging fails part-way would.
struct FakeFrame : brindle::OrvFrameWriter {
    FakeFrame(int64_t pts, size_t size, uint8_t seed, size_t failAfter = SIZE_MAX)
        : ptsValue(pts), bytes(size), failAfter(failAfter) {
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + 7 * i);
    }
    int64_t pts() const override { return ptsValue; }
    uint32_t frameNumber() const override { return 0; }
    void write(brindle::OrvIOSink& sink) const override {
        if (failAfter < bytes.size()) {
            sink.write(failAfter, bytes.data());
            throw OrvException("frame packaging failed", ORV_ERR_UNKNOWN);
        }
        sink.write(bytes.size() / 2, bytes.data());
        sink.write(bytes.size() - bytes.size() / 2, bytes.data() + bytes.size() / 2);
    }

    int64_t ptsValue;
    Bytes bytes;
    size_t failAfter;
};

// Bytes [from, to) of `bytes`, cut short at its end.
Bytes slice(const Bytes& bytes, size_t from, size_t to) {
    to = std::min(to, bytes.size());
    return Bytes(bytes.begin() + std::min(from, to), bytes.begin() + to);
}

// The index after a video section's frame data: sizes, offsets, pts.
void expectIndex(const Bytes& file, uint64_t section, const std::vector<uint32_t>& sizes,
                 const std::vector<uint64_t>& offsets, const std::vector<int64_t>& pts) {
    const size_t n = sizes.size();
    const uint64_t index = section + 52 + readLE(file, section + 40, 8);
    EXPECT_EQ(readLE(file, section + 48, 4), n);
    EXPECT_EQ(file.size(), index + 20 * n);
    for (size_t i = 0; i < n; ++i) {
        EXPECT_EQ(readLE(file, index + 4 * i, 4), sizes[i]) << "frame " << i;
        EXPECT_EQ(readLE(file, index + 4 * n + 8 * i, 8), offsets[i]) << "frame " << i;
        EXPECT_EQ(readLE(file, index + 12 * n + 8 * i, 8), static_cast<uint64_t>(pts[i]));
    }
}

class WriterTest : public ::testing::Test {
protected:
    void TearDown() override { writer.close(); }
    Bytes closeAndRead() {
        writer.close();
        return orvtest::readFile(path);
    }
    void beginVideo() {
        writer.beginSection(brindle::ORV_SECTION_VIDEO);
        writer.writeVideoHeader(kHeader);
    }
    void audioSection(const Bytes& payload = {}) {
        writer.beginSection(brindle::ORV_SECTION_AUDIO);
        writer.writeAudioHeader(brindle::OrvAudioHeader{});
        writer.writeData(payload.size(), payload.data());
        writer.endSection();
    }

    orvtest::TempDir dir;
    std::string path = dir.path("out.orv");
    OrvWriter writer;
};

}  // namespace

// ---- File header and sections -------------------------------------------------------

TEST_F(WriterTest, FreshFileIsTheHeaderWithUnusedSlotsOnDiskAtOnce) {
    orvtest::LogCapture log;
    writer.open(path, 16);
    EXPECT_EQ(log.text(), "*** opened " + path + " for writing\n");
    EXPECT_TRUE(writer.isOpen());
    EXPECT_EQ(writer.currentOffset(), 284u);
    // Flushed by open, while the file is still open.
    const Bytes file = orvtest::readFile(path);
    EXPECT_EQ(slice(file, 0, 12), (Bytes{'O', 'R', 'V', 'C', 1, 0, 0, 0, 16, 0, 0, 0}));
    EXPECT_EQ(file, orvtest::emptyContainer(16));
    EXPECT_EQ(closeAndRead(), file);
    // The slot count given to open shapes the header.
    writer.open(path, 3);
    EXPECT_EQ(closeAndRead(), orvtest::emptyContainer(3));
}

TEST_F(WriterTest, SectionsFillSlotsInTheOrderTheyEnd) {
    writer.open(path, 16);
    const Bytes payload = FakeFrame(0, 30, 5).bytes;
    audioSection(payload);
    beginVideo();  // without frames it is just its header
    writer.endSection();
    EXPECT_EQ(writer.sectionCount(), 2u);
    const Bytes file = closeAndRead();
    ASSERT_EQ(file.size(), 284u + 31 + 52);
    EXPECT_EQ(file[284], 0u);  // audio codec byte
    EXPECT_EQ(slice(file, 285, 315), payload);
    EXPECT_EQ(slice(file, 315, file.size()), orvtest::videoHeaderBytes(320, 240, 0, 0));
    EXPECT_EQ(slotAt(file, 0), (Slot{3, 284, 31}));
    EXPECT_EQ(slotAt(file, 1), (Slot{2, 315, 52}));
    for (unsigned slot = 2; slot < 16; ++slot) EXPECT_EQ(slotAt(file, slot), orvtest::unusedSlot);
}

TEST_F(WriterTest, FramesAreIndexedBySizeOffsetAndPtsAndEachVideoHeaderStartsAFreshIndex) {
    const std::vector<FakeFrame> frames = {{100, 10, 1}, {-5, 25, 2}, {300, 7, 3}};
    writer.open(path, 16);
    beginVideo();
    for (const FakeFrame& frame : frames) writer.writeFrame(frame);
    writer.endSection();
    const uint64_t second = writer.currentOffset();
    beginVideo();
    writer.writeFrame(FakeFrame(9, 4, 9));
    writer.endSection();
    const Bytes file = closeAndRead();

    EXPECT_EQ(readLE(file, 284 + 40, 8), 42u);
    expectIndex(slice(file, 0, second), 284, {10, 25, 7}, {336, 346, 371}, {100, -5, 300});
    for (size_t i = 0, at = 336; i < frames.size(); at += frames[i++].bytes.size())
        EXPECT_EQ(slice(file, at, at + frames[i].bytes.size()), frames[i].bytes);
    EXPECT_EQ(slotAt(file, 0), (Slot{2, 284, 52 + 42 + 20 * 3}));
    EXPECT_EQ(second, 284u + 52 + 42 + 60);
    expectIndex(file, second, {4}, {second + 52}, {9});
    EXPECT_EQ(slotAt(file, 1), (Slot{2, second, 52 + 4 + 20}));
}

TEST_F(WriterTest, FrameThatFailsPartWayLeavesNoIndexEntry) {
    writer.open(path, 16);
    beginVideo();
    writer.writeFrame(FakeFrame(1, 10, 1));
    expectOrvError([&] { writer.writeFrame(FakeFrame(2, 20, 2, 5)); }, unknown,
                   "frame packaging failed");
    writer.writeFrame(FakeFrame(3, 8, 3));
    writer.endSection();  // the index invariant holds, so this succeeds
    // The five bytes of the broken frame stay in the data but are not indexed.
    const Bytes file = closeAndRead();
    EXPECT_EQ(readLE(file, 284 + 40, 8), 10u + 5 + 8);
    expectIndex(file, 284, {10, 8}, {336, 336 + 15}, {1, 3});
}

TEST_F(WriterTest, SectionBoundariesOutOfOrderAndBeyondTheLastSlotAreRefused) {
    writer.open(path, 2);
    expectOrvError([&] { writer.endSection(); }, unknown, "missing call to beginSection");
    writer.beginSection(brindle::ORV_SECTION_AUDIO);
    expectOrvError([&] { writer.beginSection(brindle::ORV_SECTION_VIDEO); }, unknown,
                   "missing call to endSection");
    // The refusal left the audio section intact.
    writer.writeAudioHeader(brindle::OrvAudioHeader{});
    writer.endSection();
    audioSection();
    beginVideo();
    writer.writeFrame(FakeFrame(1, 6, 1));
    // Refused before anything is written.
    expectOrvError([&] { writer.endSection(); }, unknown, "too many sections");
    EXPECT_EQ(writer.sectionCount(), 2u);
    expectOrvError([&] { writer.updateHeader(); }, unknown, "too many sections");
    // No index was appended, no placeholder patched, and both slots still
    // describe the first two sections.
    const Bytes file = closeAndRead();
    const size_t headerEnd = 12 + 2 * 17, videoStart = headerEnd + 2;
    ASSERT_EQ(file.size(), videoStart + 52 + 6);
    EXPECT_EQ(readLE(file, videoStart + 40, 8), 0u);
    EXPECT_EQ(readLE(file, videoStart + 48, 4), 0u);
    EXPECT_EQ(slotAt(file, 0), (Slot{3, headerEnd, 1}));
    EXPECT_EQ(slotAt(file, 1), (Slot{3, headerEnd + 1, 1}));
}

// ---- Refusals ------------------------------------------------------------------------

TEST_F(WriterTest, OpeningTwiceInAMissingDirectoryOrOnAFullDeviceIsRefused) {
    orvtest::LogCapture log;
    expectOrvError([&] { writer.open(dir.path("missing/out.orv"), 16); }, ORV_ERR_OPEN_FILE,
                   std::string("failed to open file for writing: ") + std::strerror(ENOENT));
    EXPECT_FALSE(writer.isOpen());
    EXPECT_EQ(log.text(), "");
    // /dev/full takes the buffered header bytes, then refuses them at the flush.
    expectOrvError([&] { writer.open("/dev/full", 16); }, unknown, orvtest::writeError(ENOSPC));
    EXPECT_FALSE(writer.isOpen());
    writer.open(path, 16);  // the failed opens hold nothing
    expectOrvError([&] { writer.open(dir.path("other.orv"), 16); }, unknown,
                   "writer already opened");
    EXPECT_FALSE(std::filesystem::exists(dir.path("other.orv")));
    EXPECT_EQ(closeAndRead(), orvtest::emptyContainer(16));
}

TEST_F(WriterTest, InvalidVideoHeadersAreRefusedWithoutWriting) {
    writer.open(path, 16);
    writer.beginSection(brindle::ORV_SECTION_VIDEO);
    const struct {
        uint16_t codec, flags, width, height;
        const char* message;
    } cases[] = {
        {1, 7, 320, 240, "bad video header codec"},
        {0, 3, 320, 240, "bad video header flags"},
        {0, 7, 0, 240, "bad video header dimensions"},
        {0, 7, 320, 0, "bad video header dimensions"},
        // Codec is checked first, then flags, then the size.
        {2, 0, 0, 0, "bad video header codec"},
        {0, 0, 0, 0, "bad video header flags"},
    };
    for (const auto& c : cases) {
        brindle::OrvVideoHeader header = kHeader;
        header.codec = c.codec;
        header.flags = c.flags;
        header.width = c.width;
        header.height = c.height;
        expectOrvError([&] { writer.writeVideoHeader(header); }, unknown, c.message);
    }
    EXPECT_EQ(writer.currentOffset(), 284u);
    // Bits beyond the three required ones are accepted and stored.
    brindle::OrvVideoHeader header = kHeader;
    header.flags = 0xFF;
    writer.writeVideoHeader(header);
    writer.endSection();
    EXPECT_EQ(readLE(closeAndRead(), 286, 2), 0xFFu);
}

TEST_F(WriterTest, ClosedWriterRefusesWritesWithCodeFourAndPositionsWithThirteen) {
    // Never opened, then opened and closed: both are closed writers.
    for (int round = 0; round < 2; ++round) {
        const std::string closed = "not opened for writing";
        expectOrvError([&] { writer.writeU32(1); }, io, closed);
        expectOrvError([&] { writer.writeU8(1); }, io, closed);
        expectOrvError([&] { writer.writeData(4, "data"); }, io, closed);
        expectOrvError([&] { writer.writeHeader(16); }, io, closed);
        expectOrvError([&] { writer.currentOffset(); }, unknown, closed);
        expectOrvError([&] { writer.flush(); }, unknown, closed);
        expectOrvError([&] { writer.seek(0); }, unknown, closed);
        expectOrvError([&] { writer.beginSection(brindle::ORV_SECTION_AUDIO); }, unknown, closed);
        expectOrvError([&] { writer.writeFrame(FakeFrame(0, 4, 0)); }, unknown, closed);
        writer.open(path, 16);
        writer.close();
        writer.close();  // closing a closed writer does nothing
    }
    EXPECT_EQ(orvtest::readFile(path), orvtest::emptyContainer(16));
}

// ---- Write failures -------------------------------------------------------------------

TEST(FileSinkTest, ShortWriteThrowsCodeFourAndCountsNothing) {
    FILE* file = std::fopen("/dev/full", "wb");
    ASSERT_NE(file, nullptr);
    {
        brindle::FileSink sink(file);
        sink.write(3, "abc");  // lands in the stream buffer
        EXPECT_EQ(sink.bytesWritten, 3u);
        const Bytes big(1 << 20, 0x55);  // larger than any stream buffer
        expectOrvError([&] { sink.write(big.size(), big.data()); }, io,
                       orvtest::writeError(ENOSPC));
        EXPECT_EQ(sink.bytesWritten, 3u);
        sink.write(0, nullptr);
        EXPECT_EQ(sink.bytesWritten, 3u);
    }
    std::fclose(file);  // the sink never closes the file it borrows
}

TEST_F(WriterTest, WritesBeyondTheFileSizeLimitThrowCodeFourAndBreakTheFile) {
    writer.open(path, 16);
    beginVideo();
    writer.writeFrame(FakeFrame(1, 10, 1));
    {
        const orvtest::FileSizeLimit limit(64 * 1024);
        const Bytes big(256 * 1024, 0x11);
        expectOrvError([&] { writer.writeFrame(FakeFrame(2, big.size(), 0x22)); }, io, kEfbig);
        expectOrvError([&] { writer.writeRaw(big.size(), big.data()); }, io, kEfbig);
    }
    // Part of the broken frame is in the file: with the limit gone, every
    // write, flush and seek still gives the first failure, with its code,
    // and the section never ends over the damage.
    expectOrvError([&] { writer.writeU32(1); }, io, kEfbig);
    expectOrvError([&] { writer.writeFrame(FakeFrame(3, 4, 3)); }, io, kEfbig);
    expectOrvError([&] { writer.flush(); }, unknown, kEfbig);
    expectOrvError([&] { writer.seek(0); }, unknown, kEfbig);
    expectOrvError([&] { writer.endSection(); }, unknown, kEfbig);
    EXPECT_EQ(writer.sectionCount(), 0u);
    EXPECT_EQ(slice(closeAndRead(), 0, 284), orvtest::emptyContainer(16));
}

// Buffered bytes refused at an explicit flush, or at a section end (the table
// entry is written after a seek, which pushes them out first). stdio empties
// its buffer when a flush fails, so a second flush would find nothing to
// write and succeed with the bytes gone: it must fail too.
TEST_F(WriterTest, BufferedBytesRefusedAtAFlushAreNeverFollowedBySuccess) {
    for (const bool atSectionEnd : {false, true}) {
        SCOPED_TRACE(atSectionEnd ? "at the section end" : "at a flush");
        OrvWriter w;  // a fresh one each time
        w.open(path, 16);
        w.beginSection(brindle::ORV_SECTION_AUDIO);
        w.writeAudioHeader(brindle::OrvAudioHeader{});
        const Bytes small(100, 0x44);  // stays in the stream buffer: no error yet
        w.writeData(small.size(), small.data());
        {
            const orvtest::FileSizeLimit limit(300);
            if (atSectionEnd) {
                expectOrvError([&] { w.endSection(); }, unknown, kEfbig);
            } else {
                expectOrvError([&] { w.flush(); }, unknown, kEfbig);
            }
        }
        expectOrvError([&] { w.flush(); }, unknown, kEfbig);
        expectOrvError([&] { w.writeData(small.size(), small.data()); }, io, kEfbig);
        expectOrvError([&] { w.endSection(); }, unknown, kEfbig);
        EXPECT_EQ(w.sectionCount(), 0u);
        expectOrvError([&] { w.beginSection(brindle::ORV_SECTION_AUDIO); }, unknown,
                       "missing call to endSection");
        w.close();
    }
}

TEST_F(WriterTest, BytesThatCannotBeWrittenAtCloseAreLogged) {
    writer.open(path, 16);
    const Bytes body(100000, 0x33);
    writer.writeData(body.size(), body.data());
    writer.flush();
    {
        // The log file stays far below the cap; only the container crosses it.
        const orvtest::FileSizeLimit limit(writer.currentOffset() + 10);
        writer.writeData(100, body.data());  // buffered: no error yet
        orvtest::LogCapture log;
        writer.close();
        EXPECT_EQ(log.text(), "*** OrvWriter::close(): " + kEfbig + "\n");
    }
    EXPECT_FALSE(writer.isOpen());
}
