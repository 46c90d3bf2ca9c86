// The fuzz targets' programs replayed on their committed corpora, so that
// every input that once broke the encoder or the reader is checked on every
// test run, without libFuzzer: each encoder program must run as the model
// of the session says, and each file must read as its own verify() promises.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "harness.hpp"

namespace {

std::vector<std::filesystem::path> corpus(const std::string& target) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(std::string(ORV_FUZZ_CORPUS) + "/" + target))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> bytesOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class QuietLog : public ::testing::Environment {
public:
    void SetUp() override { brindle::logOpen("/dev/null"); }
    void TearDown() override { brindle::logClose(); }
};

const auto* const quiet = ::testing::AddGlobalTestEnvironment(new QuietLog);

}  // namespace

TEST(FuzzCorpus, EveryEncoderProgramRunsAsTheSessionRulesSay) {
    const std::string output = ::testing::TempDir() + "orv_fuzz_corpus_replay.orv";
    const std::vector<std::filesystem::path> programs = corpus("encoder");
    EXPECT_GE(programs.size(), 10u);
    for (const std::filesystem::path& program : programs)
        EXPECT_EQ(orvfuzz::runEncoderProgram(bytesOf(program), output), "") << program.filename();
    std::filesystem::remove(output);
}

TEST(FuzzCorpus, EveryFileReadsAsItsVerificationPromises) {
    const std::vector<std::filesystem::path> files = corpus("reader");
    EXPECT_GE(files.size(), 10u);
    for (const std::filesystem::path& file : files)
        EXPECT_EQ(orvfuzz::readMutatedFile(bytesOf(file)), "") << file.filename();
}
