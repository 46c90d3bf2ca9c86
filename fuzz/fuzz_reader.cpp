// libFuzzer target: the library's reader (orv_reader.h) on mutated ORV files.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string problem = orvfuzz::readMutatedFile({data, size});
    if (!problem.empty()) std::fprintf(stderr, "reader: %s\n", problem.c_str()), std::abort();
    return 0;
}
