// The container writer beyond what the golden files pin: a frame that fails
// part-way leaves no index entry, each video header starts a fresh index,
// section calls out of order or beyond the table are refused, and a failed
// write, flush or close is reported with its code and never followed by success.
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

// The index after a video section's frame data: sizes, offsets, pts.
void expectIndex(const Bytes& file, uint64_t section, const std::vector<uint32_t>& sizes,
                 const std::vector<uint64_t>& offsets, const std::vector<int64_t>& pts) {
    const size_t n = sizes.size();
    const uint64_t index = section + 52 + readLE(file, section + 40, 8);
    EXPECT_EQ(readLE(file, section + 48, 4), n);
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

    orvtest::TempDir dir;
    std::string path = dir.path("out.orv");
    OrvWriter writer;
};

}  // namespace

TEST_F(WriterTest, BrokenFramesAreNotIndexedAndEachVideoHeaderStartsAFreshIndex) {
    writer.open(path, 16);
    beginVideo();
    writer.writeFrame(FakeFrame(100, 10, 1));
    expectOrvError([&] { writer.writeFrame(FakeFrame(2, 20, 2, 5)); }, unknown, "frame packaging failed");
    writer.writeFrame(FakeFrame(-5, 8, 3));
    writer.endSection();  // the index invariant holds, so this succeeds
    const uint64_t second = writer.currentOffset();
    beginVideo();
    writer.writeFrame(FakeFrame(9, 4, 9));
    writer.endSection();
    const Bytes file = closeAndRead();
    // The five bytes of the broken frame stay in the data but are not indexed.
    EXPECT_EQ(readLE(file, 284 + 40, 8), 10u + 5 + 8);
    expectIndex(file, 284, {10, 8}, {336, 336 + 15}, {100, -5});
    EXPECT_EQ(slotAt(file, 0), (Slot{2, 284, 52 + 23 + 20 * 2}));
    EXPECT_EQ(second, 284u + 52 + 23 + 40);
    expectIndex(file, second, {4}, {second + 52}, {9});
    EXPECT_EQ(slotAt(file, 1), (Slot{2, second, 52 + 4 + 20}));
    EXPECT_EQ(file.size(), second + 52 + 4 + 20);
}

TEST_F(WriterTest, OpensHeadersAndSectionCallsThatCannotBeHonouredAreRefusedWithoutWriting) {
    orvtest::LogCapture log;
    expectOrvError([&] { writer.open(dir.path("missing/out.orv"), 16); }, ORV_ERR_OPEN_FILE,
                   std::string("failed to open file for writing: ") + std::strerror(ENOENT));
    EXPECT_EQ(log.text(), "");
    // /dev/full takes the buffered header bytes, then refuses them at the flush.
    expectOrvError([&] { writer.open("/dev/full", 16); }, unknown, orvtest::writeError(ENOSPC));
    EXPECT_FALSE(writer.isOpen());
    for (int round = 0; round < 2; ++round) {  // never opened, then opened and closed
        expectOrvError([&] { writer.writeData(4, "data"); }, io, "not opened for writing");
        expectOrvError([&] { writer.seek(0); }, unknown, "not opened for writing");
        expectOrvError([&] { writer.writeFrame(FakeFrame(0, 4, 0)); }, unknown, "not opened for writing");
        writer.open(path, 16);
        writer.close();
    }
    writer.open(path, 2);
    expectOrvError([&] { writer.open(dir.path("other.orv"), 16); }, unknown, "writer already opened");
    EXPECT_FALSE(std::filesystem::exists(dir.path("other.orv")));
    expectOrvError([&] { writer.endSection(); }, unknown, "missing call to beginSection");
    writer.beginSection(brindle::ORV_SECTION_VIDEO);
    expectOrvError([&] { writer.beginSection(brindle::ORV_SECTION_AUDIO); }, unknown, "missing call to endSection");
    // Codec is checked first, then flags, then the size.
    const struct { uint16_t codec, flags, width, height; const char* message; } headers[] = {
        {2, 0, 0, 0, "bad video header codec"}, {0, 3, 0, 0, "bad video header flags"},
        {0, 7, 0, 240, "bad video header dimensions"}, {0, 7, 320, 0, "bad video header dimensions"},
    };
    for (const auto& h : headers)
        expectOrvError([&] { writer.writeVideoHeader({h.codec, h.flags, h.width, h.height, 1, 1, 1, 1}); },
                       unknown, h.message);
    EXPECT_EQ(writer.currentOffset(), 12u + 2 * 17);
    brindle::OrvVideoHeader header = kHeader;
    header.flags = 0xFF;  // bits beyond the three required ones are stored
    writer.writeVideoHeader(header);
    writer.endSection();
    beginVideo();
    writer.endSection();
    beginVideo();
    writer.writeFrame(FakeFrame(1, 6, 1));
    expectOrvError([&] { writer.endSection(); }, unknown, "too many sections");
    expectOrvError([&] { writer.updateHeader(); }, unknown, "too many sections");
    // No index was appended, no placeholder patched, and both slots still
    // describe the first two sections.
    const Bytes file = closeAndRead();
    const size_t third = 12 + 2 * 17 + 2 * 52;
    EXPECT_EQ(readLE(file, 12 + 2 * 17 + 2, 2), 0xFFu);
    ASSERT_EQ(file.size(), third + 52 + 6);
    EXPECT_EQ(readLE(file, third + 40, 8) + readLE(file, third + 48, 4), 0u);
    EXPECT_EQ(slotAt(file, 1), (Slot{2, 12 + 2 * 17 + 52, 52}));
}

// A failed write leaves part of its bytes in the file, and stdio empties its
// buffer when a flush fails, so a second flush would succeed with the bytes
// gone: every later write, flush, seek and section end gives the first failure.
TEST_F(WriterTest, AFailedWriteOrFlushIsNeverFollowedBySuccess) {
    for (const int at : {0, 1, 2}) {  // a frame too large for the limit, a flush, a section end
        SCOPED_TRACE(at);
        OrvWriter w;
        w.open(path, 16);
        w.beginSection(brindle::ORV_SECTION_AUDIO);
        w.writeAudioHeader(brindle::OrvAudioHeader{});
        const Bytes small(100, 0x44), big(256 * 1024, 0x11);
        w.writeData(small.size(), small.data());  // stays in the stream buffer: no error yet
        {
            const orvtest::FileSizeLimit limit(300);
            if (at == 0) expectOrvError([&] { w.writeData(big.size(), big.data()); }, io, kEfbig);
            if (at == 1) expectOrvError([&] { w.flush(); }, unknown, kEfbig);
            if (at == 2) expectOrvError([&] { w.endSection(); }, unknown, kEfbig);
        }
        expectOrvError([&] { w.flush(); }, unknown, kEfbig);
        expectOrvError([&] { w.writeU32(1); }, io, kEfbig);
        expectOrvError([&] { w.seek(0); }, unknown, kEfbig);
        expectOrvError([&] { w.endSection(); }, unknown, kEfbig);
        EXPECT_EQ(w.sectionCount(), 0u);
        w.close();
        const Bytes file = orvtest::readFile(path);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 284), orvtest::emptyContainer(16));
    }
    // Bytes that cannot be written at close are logged.
    writer.open(path, 16);
    const Bytes body(100000, 0x33);
    writer.writeData(body.size(), body.data());
    writer.flush();
    const orvtest::FileSizeLimit limit(writer.currentOffset() + 10);
    writer.writeData(100, body.data());  // buffered: no error yet
    orvtest::LogCapture log;
    writer.close();
    EXPECT_EQ(log.text(), "*** OrvWriter::close(): " + kEfbig + "\n");
    EXPECT_FALSE(writer.isOpen());
}
