// The fuzz targets' programs replayed on their committed corpora, so that
// every input that once broke the encoder or the reader is checked on every
// test run, without libFuzzer: each encoder program must run as the model
// of the session says, and each file must read as its own verify() promises.
#include <gtest/gtest.h>

#include <filesystem>

#include "brindle.hpp"
#include "harness.hpp"
#include "test_support.hpp"

TEST(FuzzCorpus, EveryEncoderProgramRunsAsTheSessionRulesSayAndEveryFileReadsAsItsVerificationPromises) {
    brindle::logOpen("/dev/null");
    const std::string output = ::testing::TempDir() + "orv_fuzz_corpus_replay.orv";
    for (const std::string target : {"encoder", "reader"}) {
        size_t count = 0;
        for (const auto& entry : std::filesystem::directory_iterator(ORV_FUZZ_CORPUS "/" + target)) {
            const orvtest::Bytes bytes = orvtest::readFile(entry.path());
            EXPECT_EQ(target == "encoder" ? orvfuzz::runEncoderProgram(bytes, output)
                                          : orvfuzz::readMutatedFile(bytes),
                      "")
                << entry.path();
            ++count;
        }
        EXPECT_GE(count, 10u) << target;
    }
    std::filesystem::remove(output);
    brindle::logClose();
}
