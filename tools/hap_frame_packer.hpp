// Standard Hap frames, the form players read, from a picture's whole-frame
// textures: each texture in one section, cut into chunks that are
// compressed on their own so that a player can decompress one frame on
// several cores.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace orvtool {

// One texture of a picture: its blocks as the GPU takes them.
struct HapTexture {
    uint32_t format = 0;  // OrvTextureFormat_enum
    std::span<const uint8_t> blocks;
};

// The most chunks `--chunks` asks for a texture. Players decode chunks in
// parallel; more than a machine has cores only costs.
inline constexpr uint32_t maxHapChunks = 64;

// How many chunks a texture of `bytes` bytes in `format` is cut into:
// `requested` (0: about one per MiB, at most 16), never more than it has
// blocks. 1 means a plain section with no decode instructions.
uint32_t hapChunkCount(uint32_t format, uint64_t bytes, uint32_t requested);

// The Hap frame of one picture: a texture section for one texture, a
// multiple-image section holding both for two (scaled YCoCg, then BC4
// alpha). Each chunk is snappy where that is smaller, else stored; the
// chunks' blocks, concatenated, are the texture. Throws ToolError for a
// frame beyond what a Hap section can hold.
std::vector<uint8_t> packHapFrame(std::span<const HapTexture> textures, uint32_t requestedChunks);

// The codec tag of a stream of `pixFmt` (OrvPixFmt_enum): "Hap1", "Hap5",
// "HapY" or "HapM".
const char* hapCodecTag(uint32_t pixFmt);

}  // namespace orvtool
