#include "hap_slice.hpp"

#include <lz4.h>
#include <snappy.h>

#include <climits>
#include <cstdio>
#include <cstring>

namespace brindle {

namespace {

[[noreturn]] void fail(uint64_t at, const std::string& what) {
    throw OrvException("offset " + std::to_string(at) + ": " + what, ORV_ERR_UNKNOWN);
}

std::string hex2(uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

const char* texFormatName(OrvTexFmt format) {
    switch (format) {
        case ORV_TEX_FMT_BC1_RGB:
            return "BC1";
        case ORV_TEX_FMT_BC3_RGBA:
            return "BC3 RGBA";
        case ORV_TEX_FMT_BC3_YCOGR:
            return "scaled YCoCg BC3";
        case ORV_TEX_FMT_BC4_ALPHA:
            return "BC4 alpha";
    }
    return "unknown";
}

// An LZ4 sequence turns each byte of a match-length extension into at most
// 255 output bytes and every other byte into fewer, so no block expands more.
constexpr uint64_t kLz4MaxExpansion = 255;
// A snappy element of n bytes yields at most 64 bytes for n = 3 (a copy with
// a 2-byte offset), or fewer per byte for the other forms: below 22 per byte.
constexpr uint64_t kSnappyMaxExpansion = 22;

struct SectionHeader {
    uint64_t headerSize;
    uint8_t type;
    uint64_t dataSize;
    bool longForLittle;  // the long form for data the short one holds
};

// The Hap frame being parsed: its size, where it lies, and how to read a few
// bytes of it.
struct Frame {
    const HapFrameBytes& read;
    uint64_t size;
    uint64_t at;
};

// The header of the section at pos, which must end by `end`, its data too.
SectionHeader parseHeader(const Frame& frame, uint64_t pos, uint64_t end) {
    uint8_t p[kHapLongHeaderSize] = {};
    if (end - pos < kHapShortHeaderSize)
        fail(frame.at + pos, "Hap section header needs " + std::to_string(kHapShortHeaderSize) +
                                 " bytes, " + std::to_string(end - pos) + " remain");
    frame.read(pos, p, kHapShortHeaderSize);
    SectionHeader header{kHapShortHeaderSize, p[3], uint64_t{p[0]} | p[1] << 8 | p[2] << 16, false};
    if (header.dataSize == 0) {
        if (end - pos < kHapLongHeaderSize)
            fail(frame.at + pos, "long Hap section header needs " +
                                     std::to_string(kHapLongHeaderSize) + " bytes, " +
                                     std::to_string(end - pos) + " remain");
        frame.read(pos + kHapShortHeaderSize, p + kHapShortHeaderSize,
                   kHapLongHeaderSize - kHapShortHeaderSize);
        header.headerSize = kHapLongHeaderSize;
        header.dataSize = p[4] | p[5] << 8 | p[6] << 16 | uint64_t{p[7]} << 24;
        header.longForLittle = header.dataSize != 0 && header.dataSize <= kHapShortHeaderMaxLength;
    }
    const uint64_t start = pos + header.headerSize;
    if (header.dataSize > end - start)
        fail(frame.at + start, "Hap section data of type " + hex2(header.type) + ": needs " +
                                   std::to_string(header.dataSize) + " bytes, " +
                                   std::to_string(end - start) + " remain");
    return header;
}

HapTexture parseTexture(const Frame& frame, uint64_t pos, uint64_t end, uint64_t& longHeaderAt) {
    const SectionHeader header = parseHeader(frame, pos, end);
    const uint64_t at = frame.at + pos;
    if (header.type == kHapMultipleImagesType)
        fail(at, "multiple-image section nested inside a multiple-image section");
    const uint8_t formatNibble = header.type & 0x0F, coderNibble = header.type >> 4;
    const auto format = texFormatOfHapNibble(formatNibble);
    if (!format)
        fail(at + 3, "Hap section type " + hex2(header.type) + ": unknown texture format nibble " +
                         hex2(formatNibble));
    if (coderNibble == kHapDecodeInstructionsNibble)
        fail(at + 3, "Hap section type " + hex2(header.type) +
                         ": a chunked texture, which ORV files never hold");
    const auto compression = compressionOfHapNibble(coderNibble);
    if (!compression)
        fail(at + 3, "Hap section type " + hex2(header.type) + ": unknown compression nibble " +
                         hex2(coderNibble));
    if (header.longForLittle && longHeaderAt == UINT64_MAX) longHeaderAt = at;
    return {*format, *compression, header.type, at, header.headerSize, header.dataSize, {}};
}

}  // namespace

HapSlice parseHapSliceHeaders(const HapFrameBytes& read, uint64_t size, uint64_t at) {
    const Frame frame{read, size, at};
    HapSlice slice;
    slice.at = at;
    const SectionHeader top = parseHeader(frame, 0, size);
    slice.headerSize = top.headerSize;
    const uint64_t end = top.headerSize + top.dataSize;
    if (top.type != kHapMultipleImagesType) {
        slice.textures[0] = parseTexture(frame, 0, size, slice.longHeaderAt);
        slice.planes = {1, {slice.textures[0].format, slice.textures[0].format}};
    } else {
        slice.multipleImages = true;
        if (top.longForLittle) slice.longHeaderAt = at;
        for (uint64_t pos = top.headerSize; pos < end; ++slice.planes.count) {
            if (slice.planes.count == 2)
                fail(at + pos, "multiple-image section holds more than 2 textures");
            HapTexture& texture = slice.textures[slice.planes.count];
            texture = parseTexture(frame, pos, end, slice.longHeaderAt);
            pos += texture.headerSize + texture.dataSize;
        }
        if (slice.planes.count != 2)
            fail(at, slice.planes.count == 0 ? "multiple-image section holds no texture"
                                             : "a multiple-image section holding a single texture");
        const HapTexture &colour = slice.textures[0], &alpha = slice.textures[1];
        if (colour.format != ORV_TEX_FMT_BC3_YCOGR || alpha.format != ORV_TEX_FMT_BC4_ALPHA)
            fail(at, std::string("multiple-image section holds ") + texFormatName(colour.format) +
                         " then " + texFormatName(alpha.format) +
                         ", expected scaled YCoCg BC3 then BC4 alpha");
        if (colour.compression != alpha.compression)
            fail(at, "the two textures use different compressions (types " + hex2(colour.type) +
                         " and " + hex2(alpha.type) + ")");
        slice.planes.formats[0] = colour.format;
        slice.planes.formats[1] = alpha.format;
    }
    slice.compression = slice.textures[0].compression;
    if (slice.planes.count == 1 && slice.planes.formats[0] == ORV_TEX_FMT_BC4_ALPHA)
        fail(at, "a BC4 alpha texture without its scaled YCoCg colour texture");
    if (end != size)
        fail(at + end, "the slice's Hap frame ends here, but its place in the frame record runs " +
                           std::to_string(size - end) + " more bytes");
    return slice;
}

HapSlice parseHapSlice(std::span<const uint8_t> bytes, uint64_t at) {
    const HapFrameBytes read = [bytes](uint64_t pos, uint8_t* dst, uint64_t n) {
        std::memcpy(dst, bytes.data() + pos, n);
    };
    HapSlice slice = parseHapSliceHeaders(read, bytes.size(), at);
    for (uint32_t i = 0; i < slice.planes.count; ++i) {
        HapTexture& texture = slice.textures[i];
        texture.data = bytes.subspan(texture.at - at + texture.headerSize, texture.dataSize);
    }
    return slice;
}

std::string hapSliceTypes(const HapSlice& slice) {
    std::string text = slice.multipleImages ? hex2(kHapMultipleImagesType) + "[" : "";
    for (uint32_t i = 0; i < slice.planes.count; ++i) {
        if (i > 0) text += ' ';
        text += hex2(slice.textures[i].type);
    }
    return text + (slice.multipleImages ? "]" : "");
}

void checkTextureClaim(const HapTexture& texture, uint64_t expected) {
    const std::span<const uint8_t> data = texture.data;
    const uint64_t at = texture.at + texture.headerSize;
    switch (texture.compression) {
        case ORV_COMPRESSION_NONE:
            if (data.size() != expected)
                fail(at, "uncompressed texture holds " + std::to_string(data.size()) +
                             " bytes, expected " + std::to_string(expected));
            return;
        case ORV_COMPRESSION_SNAPPY: {
            size_t claimed = 0;
            if (!snappy::GetUncompressedLength(reinterpret_cast<const char*>(data.data()),
                                               data.size(), &claimed))
                fail(at, "snappy payload has no valid length header");
            if (claimed != expected)
                fail(at, "snappy payload decompresses to " + std::to_string(claimed) +
                             " bytes, expected " + std::to_string(expected));
            if (expected > kSnappyMaxExpansion * data.size())
                fail(at, "snappy payload of " + std::to_string(data.size()) +
                             " bytes cannot expand to " + std::to_string(expected) + " bytes");
            return;
        }
        case ORV_COMPRESSION_LZ4: {
            if (data.size() < kLz4SizePrefixBytes)
                fail(at, "LZ4 payload of " + std::to_string(data.size()) +
                             " bytes is shorter than its 4-byte size prefix");
            const uint32_t prefix =
                data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24;
            if (prefix != expected)
                fail(at, "LZ4 size prefix: expected " + std::to_string(expected) +
                             " (the texture's size), found " + std::to_string(prefix));
            const uint64_t blockSize = data.size() - kLz4SizePrefixBytes;
            if (blockSize > INT_MAX || expected > INT_MAX)
                fail(at, "LZ4 block of " + std::to_string(blockSize) + " bytes for " +
                             std::to_string(expected) +
                             " bytes is beyond what one LZ4 block can hold");
            if (expected > kLz4MaxExpansion * blockSize)
                fail(at, "LZ4 block of " + std::to_string(blockSize) + " bytes cannot expand to " +
                             std::to_string(expected) + " bytes");
            return;
        }
    }
}

void unpackTexture(const HapTexture& texture, uint8_t* dst, uint64_t expected) {
    checkTextureClaim(texture, expected);
    const std::span<const uint8_t> data = texture.data;
    const uint64_t at = texture.at + texture.headerSize;
    if (expected == 0) return;
    switch (texture.compression) {
        case ORV_COMPRESSION_NONE:
            std::memcpy(dst, data.data(), expected);
            return;
        case ORV_COMPRESSION_SNAPPY:
            // The stated length is `expected`, which bounds every write.
            if (!snappy::RawUncompress(reinterpret_cast<const char*>(data.data()), data.size(),
                                       reinterpret_cast<char*>(dst)))
                fail(at, "snappy payload is corrupt");
            return;
        case ORV_COMPRESSION_LZ4: {
            const int produced = LZ4_decompress_safe(
                reinterpret_cast<const char*>(data.data() + kLz4SizePrefixBytes),
                reinterpret_cast<char*>(dst), static_cast<int>(data.size() - kLz4SizePrefixBytes),
                static_cast<int>(expected));
            if (produced < 0)
                fail(at, "LZ4 block is corrupt or expands beyond the texture's " +
                             std::to_string(expected) + " bytes");
            if (static_cast<uint64_t>(produced) != expected)
                fail(at, "LZ4 block decompresses to " + std::to_string(produced) +
                             " bytes, expected " + std::to_string(expected));
            return;
        }
    }
}

}  // namespace brindle
