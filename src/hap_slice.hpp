// Reading the Hap frame of one slice: its section headers, the shapes an ORV
// file may hold (one texture that is not BC4 alpha, or a multiple-image
// section of scaled YCoCg then BC4 alpha with one coder), and undoing the
// second stage of each texture into a place of exactly the texture's size.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "brindle.hpp"
#include "orv_format.hpp"

namespace brindle {

struct HapTexture {
    OrvTexFmt format = ORV_TEX_FMT_BC1_RGB;
    OrvCompression_enum compression = ORV_COMPRESSION_NONE;
    uint8_t type = 0;
    uint64_t at = 0;          // file offset of the section header
    uint64_t headerSize = 0;  // 4 or 8
    uint64_t dataSize = 0;
    std::span<const uint8_t> data;  // empty when only the headers were read
};

struct HapSlice {
    uint64_t at = 0;  // file offset of the top-level header
    uint64_t headerSize = 0;
    bool multipleImages = false;
    OrvTexturePlanes planes{};
    OrvCompression_enum compression = ORV_COMPRESSION_NONE;
    HapTexture textures[2];
    // File offsets of the headers that use the long form for data the short
    // form holds (liborv never writes that); UINT64_MAX when there is none.
    uint64_t longHeaderAt = UINT64_MAX;
};

// Parses the Hap frame that fills `bytes` exactly, which lie at file offset
// `at`. Throws OrvException (code 13) "offset N: what is wrong".
HapSlice parseHapSlice(std::span<const uint8_t> bytes, uint64_t at);

// The same checks from the section headers alone, read through `read` (n
// bytes at position pos of the Hap frame, which is `size` bytes long): what
// a slice holds, without its data.
using HapFrameBytes = std::function<void(uint64_t pos, uint8_t* dst, uint64_t n)>;
HapSlice parseHapSliceHeaders(const HapFrameBytes& read, uint64_t size, uint64_t at);

// The section types of a slice as one text: "0xFB" or "0x0D[0xFF 0xF1]".
std::string hapSliceTypes(const HapSlice& slice);

// Refuses, before anything of that size exists, a texture whose data cannot
// expand to `expected` bytes (its coder's stated size differs, or no valid
// data that short expands that far). Throws OrvException (code 13).
void checkTextureClaim(const HapTexture& texture, uint64_t expected);

// Writes the texture's blocks, exactly `expected` bytes, to dst; throws
// OrvException (code 13) when the data do not decode to exactly that.
void unpackTexture(const HapTexture& texture, uint8_t* dst, uint64_t expected);

}  // namespace brindle
