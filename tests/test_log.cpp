// The session log: immediate lines, rolling status lines, open and close.

#include "log.hpp"
#include "test_support.hpp"

namespace {

std::string text(const std::string& path) {
    const orvtest::Bytes b = orvtest::readFile(path);
    return {b.begin(), b.end()};
}

}  // namespace

TEST(Log, LinesRollingLinesCloseAndFailedReopenByteForByte) {
    const orvtest::TempDir dir;
    const std::string path = dir.path("log.txt");
    brindle::logOpen(path.c_str());
    brindle::logStopRolling();  // no rolling line is open: nothing to end
    // Read while the file is still open: nothing may wait in a buffer.
    brindle::log("using %u threads", 4u);
    EXPECT_EQ(text(path), "*** using 4 threads\n");
    brindle::logRolling("A");
    EXPECT_EQ(text(path), "*** using 4 threads\n--- A");
    brindle::logRolling("B");
    brindle::log("C");
    brindle::logRolling("frame %d", 1);
    brindle::logStopRolling();
    brindle::logStopRolling();
    // A failed open keeps the log where it was and says why.
    const char* missing = "/nonexistent-orv-dir/log.txt";
    brindle::logOpen(missing);
    EXPECT_EQ(text(path), std::string("*** using 4 threads\n--- A\r\x1b[K--- B\n*** C\n--- frame 1\n") +
                              "*** could not open " + missing + " for writing: " + std::strerror(ENOENT) +
                              "\n");
    brindle::logClose();
    EXPECT_FALSE(brindle::logEnabled());
    brindle::log("lost");
    EXPECT_EQ(text(path).find("lost"), std::string::npos);
}
