// libFuzzer target: the C interface of the encoder driven by the fuzzer's
// bytes (stream parameters, frames, call orders, failing allocations),
// checked against a model of the session and the file read back.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "brindle.hpp"
#include "harness.hpp"

// One output file per fuzzing process: ORV_FUZZ_OUTPUT (fuzz/run.sh puts it
// in the build directory), else one in /tmp named by the process.
static const std::string output = std::getenv("ORV_FUZZ_OUTPUT") ? std::getenv("ORV_FUZZ_OUTPUT")
                                  : "/tmp/orv_fuzz_encoder_" + std::to_string(getpid()) + ".orv";

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Thousands of sessions a second would bury the fuzzer's own output.
    brindle::logOpen("/dev/null");
    std::atexit([] { std::remove(output.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = orvfuzz::runEncoderProgram({data, size}, output);
    if (!problem.empty()) std::fprintf(stderr, "encoder program: %s\n", problem.c_str()), std::abort();
    return 0;
}
