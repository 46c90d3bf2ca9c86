// The programs behind the fuzz targets, shared with the test that replays
// their committed corpora. Each returns an empty string when the input was
// handled as the library promises, or what went wrong; the fuzz targets
// abort on a non-empty result, the replay test fails on it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace orvfuzz {

// Operations of an encoder program. An input is a thread count byte, then
// operations, each an opcode byte (taken modulo opCount) and its operands;
// bytes past the end of the input read as zero.
enum Op : uint8_t {
    opAddVideo,
    opAddAudio,
    opBegin,
    opVideoFrame,
    opAudioFrame,
    opEnd,
    opFinish,
    opQuery,
    opFailAllocation,
    opCount,
};

// Drives one encoder session through the C interface as the program says,
// writing to `path`, and checks every answer, the buffers' ownership and the
// file left behind against a model of the session's rules.
std::string runEncoderProgram(std::span<const uint8_t> program, const std::string& path);

// Reads a file image with the library's reader the way `orv info`,
// `extract` and `verify` do; a file that verification finds sound must also
// read and decode without an error.
std::string readMutatedFile(std::span<const uint8_t> file);

// Builds encoder programs for the seed corpus, with the operand layout that
// runEncoderProgram reads.
class ProgramWriter {
public:
    explicit ProgramWriter(uint8_t threads) { bytes.push_back(threads); }

    ProgramWriter& u8(uint8_t value) {
        bytes.push_back(value);
        return *this;
    }
    ProgramWriter& u16(uint16_t value) { return u8(static_cast<uint8_t>(value)).u8(value >> 8); }
    ProgramWriter& u32(uint32_t value) { return u16(static_cast<uint16_t>(value)).u16(value >> 16); }
    ProgramWriter& u64(uint64_t value) {
        return u32(static_cast<uint32_t>(value)).u32(static_cast<uint32_t>(value >> 32));
    }

    // A video stream of a small size (1 to 64 per side) and a valid time base.
    ProgramWriter& addVideo(uint8_t width, uint8_t height, uint8_t format, uint8_t compression,
                            uint8_t maxParallelChoice);
    ProgramWriter& addAudio(uint8_t channels, uint8_t layout);
    ProgramWriter& begin(uint8_t id) { return u8(opBegin).u8(id); }
    // A frame of the active video stream's size with the given pixel format.
    ProgramWriter& videoFrame(uint8_t pixFmtChoice, uint8_t origin, uint64_t pts);
    ProgramWriter& audioFrame(uint16_t samples);
    ProgramWriter& end() { return u8(opEnd); }
    ProgramWriter& finish() { return u8(opFinish); }

    std::vector<uint8_t> bytes;
};

}  // namespace orvfuzz
