// The programs behind the fuzz targets, shared with the test that replays
// their committed corpora. Each returns an empty string when the input was
// handled as the library promises, or what went wrong; the fuzz targets
// abort on a non-empty result, the replay test fails on it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace orvfuzz {

// Drives one encoder session through the C interface as the program says (a
// thread count byte, then operations: an opcode byte and its operands; bytes
// past the end read as zero), writing to `path`. Checks that every refusal
// says why, that streams, begins and ends are accepted only in turn, that
// an end reports a failed frame, and, with the library's reader, that the
// file is sound and holds what was accepted.
std::string runEncoderProgram(std::span<const uint8_t> program, const std::string& path);

// Reads a file image with the library's reader the way `orv info`,
// `extract` and `verify` do; a file that verification finds sound must also
// read and decode without an error.
std::string readMutatedFile(std::span<const uint8_t> file);

}  // namespace orvfuzz
