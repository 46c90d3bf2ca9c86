// The container writer where the session-level tests cannot tell: opens that
// fail with the system's reason, failed writes and flushes that are never
// followed by success, and bytes lost at close, which only the log can tell.
// The bytes it writes are pinned by the golden files, and broken frames and
// sections by the fault injection sweeps, which read every file back.

#include "test_support.hpp"

using orvtest::Bytes;
using orvtest::expectOrvError;

static const auto* const logFile = ::testing::AddGlobalTestEnvironment(new orvtest::LogFile);

TEST(Writer, OpenFailuresAndFailedWritesAreReportedWithTheSystemsReasonAndNeverFollowedBySuccess) {
    const orvtest::TempDir dir;
    const std::string path = dir.path("out.orv"),
                      efbig = std::string("error while writing: ") + std::strerror(EFBIG);
    brindle::OrvWriter writer;
    orvtest::LogCapture log;
    expectOrvError([&] { writer.open(dir.path("missing/out.orv"), 16); }, ORV_ERR_OPEN_FILE,
                   std::string("failed to open file for writing: ") + std::strerror(ENOENT));
    // /dev/full takes the buffered header bytes, then refuses them at the flush.
    expectOrvError([&] { writer.open("/dev/full", 16); }, ORV_ERR_UNKNOWN,
                   std::string("error while writing: ") + std::strerror(ENOSPC));
    expectOrvError([&] { writer.writeData(4, "data"); }, ORV_ERR_IO, "not opened for writing");
    EXPECT_EQ(log.text(), "*** opened /dev/full for writing\n");  // nothing of the missing directory
    // stdio empties its buffer when a flush fails, so a second flush would
    // find nothing to write and succeed with the bytes gone: it must fail too,
    // as must every later write, seek and section end.
    writer.open(path, 16);
    writer.beginSection(brindle::ORV_SECTION_AUDIO);
    writer.writeAudioHeader(brindle::OrvAudioHeader{});
    const Bytes body(100000, 0x33);
    writer.writeData(100, body.data());  // stays in the stream buffer: no error yet
    {
        const orvtest::FileSizeLimit limit(300);
        expectOrvError([&] { writer.endSection(); }, ORV_ERR_UNKNOWN, efbig);
    }
    expectOrvError([&] { writer.flush(); }, ORV_ERR_UNKNOWN, efbig);
    expectOrvError([&] { writer.writeData(body.size(), body.data()); }, ORV_ERR_IO, efbig);
    expectOrvError([&] { writer.seek(0); }, ORV_ERR_UNKNOWN, efbig);
    EXPECT_EQ(writer.sectionCount(), 0u);
    writer.close();
    // Bytes that cannot be written at close are logged.
    writer.open(path, 16);
    writer.writeData(body.size(), body.data());
    writer.flush();
    const orvtest::FileSizeLimit limit(writer.currentOffset() + 10);
    writer.writeData(100, body.data());  // buffered: no error yet
    writer.close();
    EXPECT_EQ(log.text(), "*** opened /dev/full for writing\n*** opened " + path +
                              " for writing\n*** opened " + path +
                              " for writing\n*** OrvWriter::close(): " + efbig + "\n");
}
