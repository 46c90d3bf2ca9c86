#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "brindle.hpp"
#include "log.hpp"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        path = ::testing::TempDir() + "orv_log_test_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
        brindle::logOpen(path.c_str());
    }
    void TearDown() override {
        brindle::logStopRolling();  // a rolling line left open would end in the next test's file
        brindle::logClose();
        std::remove(path.c_str());
    }

    std::string path;
};

}  // namespace

TEST_F(LogTest, LinesAreFlushedAtOnceAndRollingOnesOverwriteEachOtherUntilAnOrdinaryOne) {
    // Read while the file is still open: nothing may wait in a buffer.
    brindle::log("using %u threads", 4u);
    EXPECT_EQ(readFile(path), "*** using 4 threads\n");
    brindle::logRolling("A");
    EXPECT_TRUE(brindle::rolling);
    EXPECT_EQ(readFile(path), "*** using 4 threads\n--- A");
    brindle::logRolling("B");
    brindle::log("C");
    EXPECT_FALSE(brindle::rolling);
    EXPECT_EQ(readFile(path), "*** using 4 threads\n--- A\r\x1b[K--- B\n*** C\n");
}

TEST_F(LogTest, StopRollingEndsAnOpenLineOnlyOnce) {
    brindle::logStopRolling();
    EXPECT_EQ(readFile(path), "");
    brindle::logRolling("frame %d", 1);
    brindle::logStopRolling();
    brindle::logStopRolling();
    EXPECT_EQ(readFile(path), "--- frame 1\n");
}

TEST_F(LogTest, CloseTurnsLoggingOffUntilTheNextOpen) {
    EXPECT_TRUE(brindle::logEnabled());
    brindle::logClose();
    EXPECT_FALSE(brindle::logEnabled());
    brindle::log("lost");
    brindle::logRolling("lost too");
    brindle::logStopRolling();
    EXPECT_EQ(readFile(path), "");

    const std::string second = path + ".second";
    brindle::logOpen(second.c_str());
    EXPECT_TRUE(brindle::logEnabled());
    brindle::log("found");
    EXPECT_EQ(readFile(second), "*** found\n");
    std::remove(second.c_str());
}

TEST_F(LogTest, OpenFailureKeepsTheLogWhereItWasAndSaysWhy) {
    const char* missing = "/nonexistent-orv-dir/log.txt";
    brindle::logOpen(missing);
    brindle::log("still here");
    const std::string expected = std::string("*** could not open ") + missing +
                                 " for writing: " + std::strerror(ENOENT) + "\n*** still here\n";
    EXPECT_EQ(readFile(path), expected);
}

TEST_F(LogTest, LinesFromManyThreadsStayWhole) {
    constexpr int threads = 4, linesPerThread = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < linesPerThread; ++i) {
                if (i % 10 == 0) brindle::logRolling("status %d %d", t, i);
                brindle::log("thread %d line %d", t, i);
            }
        });
    for (std::thread& writer : writers) writer.join();
    brindle::logStopRolling();

    std::istringstream lines(readFile(path));
    int ordinary = 0, t, i;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("--- ", 0) == 0) continue;  // rolling lines, whole or overwritten
        ASSERT_EQ(std::sscanf(line.c_str(), "*** thread %d line %d", &t, &i), 2) << line;
        ++ordinary;
    }
    EXPECT_EQ(ordinary, threads * linesPerThread);
}

TEST(Clock, StartsWithinItsFirstSecondAndNeverGoesBack) {
    const uint64_t first = brindle::ustclock_get();
    EXPECT_LT(first, 1000000000u);
    uint64_t previous = first;
    for (int i = 0; i < 1000; ++i) {
        const uint64_t now = brindle::ustclock_get();
        ASSERT_GE(now, previous);
        previous = now;
    }
}
