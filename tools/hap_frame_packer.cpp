#include "hap_frame_packer.hpp"

#include <snappy.h>

#include <algorithm>
#include <string>

#include "command_line.hpp"
#include "orv_reader.h"

namespace orvtool {

namespace {

// ---- The stored codes of the Hap frame format ------------------------------------

// High nibble of a texture section: how its data is stored. A texture of
// one chunk takes that chunk's second-stage code (below) as its nibble.
constexpr uint8_t hapChunkedSection = 0xC0;  // decode instructions, then the chunks
constexpr uint8_t hapMultipleImages = 0x0D;
// The decode instructions container and the two tables inside it.
constexpr uint8_t hapDecodeInstructions = 0x01;
constexpr uint8_t hapChunkSecondStages = 0x02;  // one byte per chunk
constexpr uint8_t hapChunkSizes = 0x03;         // one u32 per chunk
// A chunk's entry in the second-stage table.
constexpr uint8_t chunkStored = 0x0A;
constexpr uint8_t chunkSnappy = 0x0B;

// A length up to this (and not 0) fits the 4-byte header.
constexpr uint64_t shortHeaderLimit = 0xFFFFFF;

constexpr uint64_t bytesPerAutomaticChunk = uint64_t{1} << 20;
constexpr uint32_t maxAutomaticChunks = 16;

uint8_t textureNibble(uint32_t format) {
    switch (format) {
        case ORV_TEXTURE_BC1: return 0x0B;
        case ORV_TEXTURE_BC3: return 0x0E;
        case ORV_TEXTURE_BC3_YCOCG: return 0x0F;
        case ORV_TEXTURE_BC4: return 0x01;
        default: throw ToolError("unknown texture format " + std::to_string(format));
    }
}

uint64_t blockBytes(uint32_t format) {
    return format == ORV_TEXTURE_BC1 || format == ORV_TEXTURE_BC4 ? 8 : 16;
}

uint64_t sectionSize(uint64_t length) {
    return length + (length != 0 && length <= shortHeaderLimit ? 4 : 8);
}

void appendLE32(std::vector<uint8_t>& out, uint32_t value) {
    out.insert(out.end(), {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                           static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

void appendHeader(std::vector<uint8_t>& out, uint8_t type, uint64_t length) {
    if (length > UINT32_MAX)
        throw ToolError("a Hap section of " + std::to_string(length) +
                        " bytes is more than the format's 4 GiB");
    if (length != 0 && length <= shortHeaderLimit) {
        appendLE32(out, static_cast<uint32_t>(length) | uint32_t{type} << 24);
        return;
    }
    appendLE32(out, uint32_t{type} << 24);
    appendLE32(out, static_cast<uint32_t>(length));
}

// One texture with its chunks compressed, ready to be laid out.
class PackedTexture {
public:
    PackedTexture(const HapTexture& texture, uint32_t requestedChunks)
        : nibble(textureNibble(texture.format)) {
        const uint64_t blocks = texture.blocks.size() / blockBytes(texture.format);
        const uint64_t count =
            hapChunkCount(texture.format, texture.blocks.size(), requestedChunks);
        // Every chunk's worst case at once, so that no chunk moves another.
        std::vector<uint64_t> ends(count);
        uint64_t bound = 0;
        for (uint64_t i = 0; i < count; ++i) {
            ends[i] = blocks * (i + 1) / count * blockBytes(texture.format);
            bound += snappy::MaxCompressedLength(ends[i] - (i ? ends[i - 1] : 0));
        }
        compressed.resize(bound);
        uint64_t start = 0, used = 0;
        for (const uint64_t end : ends) {
            const std::span<const uint8_t> raw = texture.blocks.subspan(start, end - start);
            size_t size = 0;
            snappy::RawCompress(reinterpret_cast<const char*>(raw.data()), raw.size(),
                                reinterpret_cast<char*>(compressed.data() + used), &size);
            if (size < raw.size()) {
                chunks.push_back({chunkSnappy, {compressed.data() + used, size}});
                used += size;
            } else {
                chunks.push_back({chunkStored, raw});
            }
            start = end;
        }
    }

    // Bytes after the section header.
    uint64_t dataLength() const {
        uint64_t length = 0;
        for (const Chunk& chunk : chunks) length += chunk.bytes.size();
        return chunks.size() == 1 ? length : sectionSize(instructionsLength()) + length;
    }

    void append(std::vector<uint8_t>& out) const {
        if (chunks.size() == 1) {
            appendHeader(out, static_cast<uint8_t>(chunks[0].stage << 4) | nibble, dataLength());
        } else {
            appendHeader(out, hapChunkedSection | nibble, dataLength());
            appendHeader(out, hapDecodeInstructions, instructionsLength());
            appendHeader(out, hapChunkSecondStages, chunks.size());
            for (const Chunk& chunk : chunks) out.push_back(chunk.stage);
            appendHeader(out, hapChunkSizes, 4 * chunks.size());
            for (const Chunk& chunk : chunks)
                appendLE32(out, static_cast<uint32_t>(chunk.bytes.size()));
        }
        for (const Chunk& chunk : chunks)
            out.insert(out.end(), chunk.bytes.begin(), chunk.bytes.end());
    }

private:
    struct Chunk {
        uint8_t stage;  // chunkStored or chunkSnappy
        std::span<const uint8_t> bytes;  // in `compressed` or in the texture
    };

    uint64_t instructionsLength() const {
        return sectionSize(chunks.size()) + sectionSize(4 * chunks.size());
    }

    uint8_t nibble;
    std::vector<uint8_t> compressed;
    std::vector<Chunk> chunks;
};

}  // namespace

uint32_t hapChunkCount(uint32_t format, uint64_t bytes, uint32_t requested) {
    const uint64_t automatic = std::clamp<uint64_t>(
        (bytes + bytesPerAutomaticChunk / 2) / bytesPerAutomaticChunk, 1, maxAutomaticChunks);
    const uint64_t blocks = bytes / blockBytes(format);
    return static_cast<uint32_t>(
        std::max<uint64_t>(1, std::min<uint64_t>(requested ? requested : automatic, blocks)));
}

std::vector<uint8_t> packHapFrame(std::span<const HapTexture> textures, uint32_t requestedChunks) {
    std::vector<PackedTexture> packed;
    for (const HapTexture& texture : textures) packed.emplace_back(texture, requestedChunks);
    std::vector<uint8_t> out;
    if (packed.size() == 1) {
        out.reserve(sectionSize(packed[0].dataLength()));
        packed[0].append(out);
        return out;
    }
    uint64_t inner = 0;
    for (const PackedTexture& texture : packed) inner += sectionSize(texture.dataLength());
    out.reserve(sectionSize(inner));
    appendHeader(out, hapMultipleImages, inner);
    for (const PackedTexture& texture : packed) texture.append(out);
    return out;
}

const char* hapCodecTag(uint32_t pixFmt) {
    switch (pixFmt) {
        case ORV_PIX_FMT_DXT1: return "Hap1";
        case ORV_PIX_FMT_DXT5: return "Hap5";
        case ORV_PIX_FMT_YCOCG_DXT5: return "HapY";
        case ORV_PIX_FMT_YCOCG_DXT5_ALPHA: return "HapM";
        default: throw ToolError("unknown output format " + std::to_string(pixFmt));
    }
}

}  // namespace orvtool
