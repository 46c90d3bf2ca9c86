// The bytes of a Hap frame: section headers and the type byte of each
// texture section, with the codes of orv_format.
#include "orvenc_hap.hpp"

#include <cassert>
#include <cstdint>

#include "brindle.hpp"
#include "orv.h"
#include "orv_format.hpp"

namespace brindle {

namespace {

// The sections of a two-texture slice: their lengths depend only on the
// compressed sizes, so size() and write() cannot disagree.
uint64_t multipleImagesLength(const OrvHapWriter& writer, const OrvEncSlice& slice) {
    return writer.sectionSize(slice.textures[0].compressedSize) +
           writer.sectionSize(slice.textures[1].compressedSize);
}

}  // namespace

uint64_t OrvHapWriter::sectionSize(uint64_t dataSize) const {
    return hapSectionSize(dataSize);
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
    writeSectionHeader(kHapMultipleImagesType, static_cast<uint32_t>(length), sink);
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
    uint8_t header[kHapLongHeaderSize] = {};
    if (dataSize <= kHapShortHeaderMaxLength) {
        header[0] = static_cast<uint8_t>(dataSize);
        header[1] = static_cast<uint8_t>(dataSize >> 8);
        header[2] = static_cast<uint8_t>(dataSize >> 16);
        header[3] = type;
        sink.write(kHapShortHeaderSize, header);
        return;
    }
    header[3] = type;
    header[4] = static_cast<uint8_t>(dataSize);
    header[5] = static_cast<uint8_t>(dataSize >> 8);
    header[6] = static_cast<uint8_t>(dataSize >> 16);
    header[7] = static_cast<uint8_t>(dataSize >> 24);
    sink.write(kHapLongHeaderSize, header);
}

// Low nibble of a texture section's type: the Hap texture format.
uint8_t OrvHapWriter::mapPixelFormat(uint32_t texFmt) const {
    if (texFmt > ORV_TEX_FMT_BC4_ALPHA) {
        assert(false && "unknown pixel format");
        return 0;
    }
    return hapTextureNibble(static_cast<OrvTexFmt>(texFmt));
}

// High nibble of a texture section's type: the second-stage coder.
uint8_t OrvHapWriter::mapCompressionMethod(uint32_t compression) const {
    if (compression > ORV_COMPRESSION_LZ4) {
        assert(false && "unknown compression method");
        return 0;
    }
    return static_cast<uint8_t>(
        hapCompressionNibble(static_cast<OrvCompression_enum>(compression)) << 4);
}

}  // namespace brindle
