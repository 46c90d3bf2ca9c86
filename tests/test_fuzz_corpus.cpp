// The fuzz targets' programs replayed on their committed corpora, so that
// every input that once broke the encoder or the reader is checked on every
// test run, without libFuzzer: each encoder program must run as the model
// of the session says, and each file must read as its own verify() promises.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <span>
#include <vector>

#include "brindle.hpp"
#include "harness.hpp"

namespace {

void replay(const std::string& target, const std::function<std::string(std::span<const uint8_t>)>& program) {
    brindle::logOpen("/dev/null");
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(ORV_FUZZ_CORPUS) + "/" + target)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
        EXPECT_EQ(program(bytes), "") << entry.path().filename();
        ++count;
    }
    EXPECT_GE(count, 10u);
    brindle::logClose();
}

}  // namespace

TEST(FuzzCorpus, EveryEncoderProgramRunsAsTheSessionRulesSayAndEveryFileReadsAsItsVerificationPromises) {
    const std::string output = ::testing::TempDir() + "orv_fuzz_corpus_replay.orv";
    replay("encoder", [&](std::span<const uint8_t> bytes) { return orvfuzz::runEncoderProgram(bytes, output); });
    std::filesystem::remove(output);
    replay("reader", orvfuzz::readMutatedFile);
}
