// The bytes of a Hap frame: section headers and the type byte of each
// texture section. Every constant stored in a Hap frame is in this file.
#include "orvenc_hap.hpp"

#include <cassert>
#include <cstdint>

#include "brindle.hpp"
#include "orv.h"

namespace brindle {

namespace {

// A short header holds the data length in its first three bytes; longer
// sections zero those bytes and append the length as four more.
constexpr uint32_t shortHeaderMaxLength = 0xFFFFFF;
constexpr uint64_t shortHeaderBytes = 4;
constexpr uint64_t longHeaderBytes = 8;

// Type byte of the section that holds the YCoCg and alpha texture sections.
constexpr uint8_t multipleImagesType = 0x0D;

// The sections of a two-texture slice: their lengths depend only on the
// compressed sizes, so size() and write() cannot disagree.
uint64_t multipleImagesLength(const OrvHapWriter& writer, const OrvEncSlice& slice) {
    return writer.sectionSize(slice.textures[0].compressedSize) +
           writer.sectionSize(slice.textures[1].compressedSize);
}

}  // namespace

uint64_t OrvHapWriter::sectionSize(uint64_t dataSize) const {
    return dataSize + (dataSize <= shortHeaderMaxLength ? shortHeaderBytes : longHeaderBytes);
}

uint64_t OrvHapWriter::size(const OrvEncSlice& slice) const {
    switch (slice.numTextures) {
        case 1: return sectionSize(slice.textures[0].compressedSize);
        case 2: return sectionSize(multipleImagesLength(*this, slice));
        default: assert(false && "too many images for a frame"); return 0;
    }
}

void OrvHapWriter::write(const OrvEncSlice& slice, OrvIOSink& sink) const {
    assert(slice.isCompleted());
    assert(slice.numTextures == 1 || slice.numTextures == 2);
    if (slice.numTextures == 1) {
        // BC4 alpha is only ever the second plane beside YCoCg colour.
        assert(slice.textures[0].format != ORV_TEX_FMT_BC4_ALPHA);
        writeTexture(slice.textures[0], sink);
        return;
    }
    assert(slice.textures[0].format == ORV_TEX_FMT_BC3_YCOGR &&
           slice.textures[1].format == ORV_TEX_FMT_BC4_ALPHA);
    const uint64_t length = multipleImagesLength(*this, slice);
    // A Hap section header cannot describe 4 GiB or more.
    assert(length <= UINT32_MAX);
    writeSectionHeader(multipleImagesType, static_cast<uint32_t>(length), sink);
    writeTexture(slice.textures[0], sink);
    writeTexture(slice.textures[1], sink);
}

void OrvHapWriter::writeTexture(const OrvEncTexture& texture, OrvIOSink& sink) const {
    // The compression method is checked before the format.
    const uint8_t compressionNibble = mapCompressionMethod(texture.compression);
    const uint8_t formatNibble = mapPixelFormat(texture.format);
    assert(texture.compressedSize <= UINT32_MAX);
    assert(texture.compressed != nullptr);
    writeSectionHeader(static_cast<uint8_t>(compressionNibble | formatNibble),
                       static_cast<uint32_t>(texture.compressedSize), sink);
    // Straight from the coder's buffer: texture data is never copied here.
    sink.write(texture.compressedSize, texture.compressed->data);
}

void OrvHapWriter::writeSectionHeader(uint8_t type, uint32_t dataSize, OrvIOSink& sink) const {
    // One sink write per header, whichever its form.
    uint8_t header[longHeaderBytes] = {};
    if (dataSize <= shortHeaderMaxLength) {
        header[0] = static_cast<uint8_t>(dataSize);
        header[1] = static_cast<uint8_t>(dataSize >> 8);
        header[2] = static_cast<uint8_t>(dataSize >> 16);
        header[3] = type;
        sink.write(shortHeaderBytes, header);
        return;
    }
    header[3] = type;
    header[4] = static_cast<uint8_t>(dataSize);
    header[5] = static_cast<uint8_t>(dataSize >> 8);
    header[6] = static_cast<uint8_t>(dataSize >> 16);
    header[7] = static_cast<uint8_t>(dataSize >> 24);
    sink.write(longHeaderBytes, header);
}

// Low nibble of a texture section's type: the Hap texture format.
uint8_t OrvHapWriter::mapPixelFormat(uint32_t texFmt) const {
    switch (texFmt) {
        case ORV_TEX_FMT_BC1_RGB: return 0x0B;    // RGB DXT1
        case ORV_TEX_FMT_BC3_RGBA: return 0x0E;   // RGBA DXT5
        case ORV_TEX_FMT_BC3_YCOGR: return 0x0F;  // scaled YCoCg DXT5
        case ORV_TEX_FMT_BC4_ALPHA: return 0x01;  // alpha RGTC1
        default: assert(false && "unknown pixel format"); return 0;
    }
}

// High nibble of a texture section's type: the second-stage coder. 0xA and
// 0xB are Hap's published values; 0xF for LZ4 is this library's own, and a
// reader of its files must know it.
uint8_t OrvHapWriter::mapCompressionMethod(uint32_t compression) const {
    switch (compression) {
        case ORV_COMPRESSION_NONE: return 0xA0;
        case ORV_COMPRESSION_SNAPPY: return 0xB0;
        case ORV_COMPRESSION_LZ4: return 0xF0;
        default: assert(false && "unknown compression method"); return 0;
    }
}

}  // namespace brindle
