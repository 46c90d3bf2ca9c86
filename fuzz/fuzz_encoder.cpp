// libFuzzer target: the C interface of the encoder driven by the fuzzer's
// bytes (stream parameters, frame records, call orders, audio frames,
// failing allocations), checked against a model of the session's rules.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "brindle.hpp"
#include "harness.hpp"

namespace {

// One output file per fuzzing process: ORV_FUZZ_OUTPUT (fuzz/run.sh puts it
// in the build directory), else one in /tmp named by the process, removed
// when the process exits normally.
const std::string& outputPath() {
    static const std::string path = [] {
        if (const char* chosen = std::getenv("ORV_FUZZ_OUTPUT")) return std::string(chosen);
        std::string name = "/tmp/orv_fuzz_encoder_" + std::to_string(getpid()) + ".orv";
        std::atexit([] { std::remove(outputPath().c_str()); });
        return name;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Thousands of sessions a second would bury the fuzzer's own output.
    brindle::logOpen("/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = orvfuzz::runEncoderProgram({data, size}, outputPath());
    if (!problem.empty()) {
        std::fprintf(stderr, "encoder program: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
