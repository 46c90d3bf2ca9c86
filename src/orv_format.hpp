// Every number the ORV container stores, defined once: the file header and
// section table, the video and audio section headers, the WAV image, the
// frame record and the Hap sections inside it. The writer and the reader both
// take their constants and code mappings from here, so a reader of the format
// finds all of it in one place. API values reach stored codes only through
// the small total mappings at the end.
#pragma once

#include <cstdint>
#include <optional>

#include "brindle.hpp"
#include "orv.h"

namespace brindle {

// ---- File header and section table ------------------------------------------

inline constexpr char kOrvMagic[4] = {'O', 'R', 'V', 'C'};
inline constexpr uint32_t kOrvVersion = 1;
inline constexpr uint32_t kOrvSlotCount = 16;
// Magic, version and slot count; the table follows.
inline constexpr uint64_t kOrvFileHeaderSize = 12;
// Type (u8), offset of the section's first byte (u64), size (u64).
inline constexpr uint64_t kOrvTableEntrySize = 17;
inline constexpr uint64_t kOrvTableEntryOffsetAt = 1;
inline constexpr uint64_t kOrvTableEntrySizeAt = 9;
// A slot never filled keeps these values beside type 0.
inline constexpr uint64_t kOrvUnusedSlotOffset = UINT64_MAX;
inline constexpr uint64_t kOrvUnusedSlotSize = 0;

// Section type codes stored in the section table.
enum OrvSectionType : uint32_t {
    ORV_SECTION_NONE = 0,
    ORV_SECTION_VIDEO = 2,
    ORV_SECTION_AUDIO = 3,
};

// ---- Video section ---------------------------------------------------------------

// codec u16, flags u16, width u16, height u16, then the u64 time base
// denominator and numerator, frame rate denominator and numerator (each
// denominator first), the u64 frame data size and the u32 frame count.
inline constexpr uint64_t kOrvVideoHeaderSize = 52;
inline constexpr uint16_t kOrvVideoCodec = 0;
// The three low bits are set in every video header, and nothing else.
inline constexpr uint16_t kOrvVideoFlags = 7;
inline constexpr uint64_t kOrvVideoWidthAt = 4;
inline constexpr uint64_t kOrvVideoHeightAt = 6;
inline constexpr uint64_t kOrvVideoTimebaseDenAt = 8;
inline constexpr uint64_t kOrvVideoTimebaseNumAt = 16;
inline constexpr uint64_t kOrvVideoFpsDenAt = 24;
inline constexpr uint64_t kOrvVideoFpsNumAt = 32;
inline constexpr uint64_t kOrvVideoFrameDataSizeAt = 40;
inline constexpr uint64_t kOrvVideoFrameCountAt = 48;
// One index entry per frame, in three arrays after the frame data: the u32
// record size, the u64 record offset and the u64 pts.
inline constexpr uint64_t kOrvIndexSizeBytes = 4;
inline constexpr uint64_t kOrvIndexOffsetBytes = 8;
inline constexpr uint64_t kOrvIndexPtsBytes = 8;
inline constexpr uint64_t kOrvIndexEntrySize =
    kOrvIndexSizeBytes + kOrvIndexOffsetBytes + kOrvIndexPtsBytes;

// ---- Audio section -----------------------------------------------------------------

// One codec byte, then a whole WAV image.
inline constexpr uint64_t kOrvAudioHeaderSize = 1;
inline constexpr uint8_t kOrvAudioCodecWav = 0;

// The WAV header of 16-bit PCM, field offsets from the "RIFF" tag.
inline constexpr uint64_t kWavHeaderSize = 44;
inline constexpr uint64_t kWavRiffTagAt = 0, kWavRiffSizeAt = 4, kWavWaveTagAt = 8,
                          kWavFmtTagAt = 12, kWavFmtSizeAt = 16, kWavFormatAt = 20,
                          kWavChannelsAt = 22, kWavSampleRateAt = 24, kWavByteRateAt = 28,
                          kWavBlockAlignAt = 32, kWavBitsAt = 34, kWavDataTagAt = 36,
                          kWavDataSizeAt = 40;
inline constexpr char kWavRiffTag[4] = {'R', 'I', 'F', 'F'};
inline constexpr char kWavWaveTag[4] = {'W', 'A', 'V', 'E'};
inline constexpr char kWavFmtTag[4] = {'f', 'm', 't', ' '};
inline constexpr char kWavDataTag[4] = {'d', 'a', 't', 'a'};
inline constexpr uint32_t kWavFmtChunkBodySize = 16;
inline constexpr uint16_t kWavFormatPcm = 1;
inline constexpr uint16_t kWavBitsPerSample = 16;
inline constexpr uint32_t kWavBytesPerSample = kWavBitsPerSample / 8;
// The RIFF size counts everything after its own field: the header's 36
// remaining bytes plus the sample data.
inline constexpr uint32_t kWavRiffSizeBeyondData = 36;
// A chunk's size field follows its 4-byte tag.
inline constexpr uint64_t kWavSizeFieldAfterTag = 4;

// ---- Frame record ----------------------------------------------------------------------

// u16 marker, u16 frame width, height, slice width, slice height, then one
// u32 offset per slice (from the record's first byte) and the slices' Hap
// frames.
inline constexpr uint16_t kFrameRecordMarker = 0x0300;
inline constexpr uint64_t kFrameRecordFixedSize = 10;
inline constexpr uint64_t kFrameRecordSliceOffsetSize = 4;
inline constexpr uint64_t kFrameRecordWidthAt = 2, kFrameRecordHeightAt = 4,
                          kFrameRecordSliceWidthAt = 6, kFrameRecordSliceHeightAt = 8;

constexpr uint64_t frameRecordHeaderSize(uint64_t numSlices) {
    return kFrameRecordFixedSize + kFrameRecordSliceOffsetSize * numSlices;
}

// ---- Hap sections ------------------------------------------------------------------------

// The short header holds the data length in its first three bytes and the
// type in the fourth; longer data (or none) zeroes those three bytes and
// appends the length as a u32.
inline constexpr uint64_t kHapShortHeaderSize = 4;
inline constexpr uint64_t kHapLongHeaderSize = 8;
inline constexpr uint32_t kHapShortHeaderMaxLength = 0xFFFFFF;
// A section whose data are whole texture sections (scaled YCoCg, then BC4 alpha).
inline constexpr uint8_t kHapMultipleImagesType = 0x0D;
// High nibble of a section whose data begins with decode instructions (a
// chunked texture). liborv never writes it.
inline constexpr uint8_t kHapDecodeInstructionsNibble = 0xC;
// An LZ4 texture's data begins with the u32 count of its uncompressed bytes.
inline constexpr uint64_t kLz4SizePrefixBytes = 4;

constexpr uint64_t hapSectionSize(uint64_t dataSize) {
    return dataSize +
           (dataSize <= kHapShortHeaderMaxLength ? kHapShortHeaderSize : kHapLongHeaderSize);
}

// Low nibble of a texture section's type: the Hap texture format.
constexpr uint8_t hapTextureNibble(OrvTexFmt format) {
    switch (format) {
        case ORV_TEX_FMT_BC1_RGB:
            return 0xB;  // RGB DXT1
        case ORV_TEX_FMT_BC3_RGBA:
            return 0xE;  // RGBA DXT5
        case ORV_TEX_FMT_BC3_YCOGR:
            return 0xF;  // scaled YCoCg DXT5
        case ORV_TEX_FMT_BC4_ALPHA:
            return 0x1;  // alpha RGTC1
    }
    return 0;
}

constexpr std::optional<OrvTexFmt> texFormatOfHapNibble(uint8_t nibble) {
    for (const OrvTexFmt format :
         {ORV_TEX_FMT_BC1_RGB, ORV_TEX_FMT_BC3_RGBA, ORV_TEX_FMT_BC3_YCOGR, ORV_TEX_FMT_BC4_ALPHA})
        if (hapTextureNibble(format) == nibble) return format;
    return std::nullopt;
}

// High nibble of a texture section's type: the second-stage coder. 0xA and
// 0xB are Hap's published values; 0xF for LZ4 is this library's own, and a
// reader of its files must know it.
constexpr uint8_t hapCompressionNibble(OrvCompression_enum compression) {
    switch (compression) {
        case ORV_COMPRESSION_NONE:
            return 0xA;
        case ORV_COMPRESSION_SNAPPY:
            return 0xB;
        case ORV_COMPRESSION_LZ4:
            return 0xF;
    }
    return 0;
}

constexpr std::optional<OrvCompression_enum> compressionOfHapNibble(uint8_t nibble) {
    for (const OrvCompression_enum compression :
         {ORV_COMPRESSION_NONE, ORV_COMPRESSION_SNAPPY, ORV_COMPRESSION_LZ4})
        if (hapCompressionNibble(compression) == nibble) return compression;
    return std::nullopt;
}

constexpr uint8_t hapTextureType(OrvTexFmt format, OrvCompression_enum compression) {
    return static_cast<uint8_t>(hapCompressionNibble(compression) << 4 | hapTextureNibble(format));
}

// ---- Texture planes of an output format -------------------------------------------------

// The one or two texture planes of every slice of a stream.
struct OrvTexturePlanes {
    uint32_t count;
    OrvTexFmt formats[2];
    bool operator==(const OrvTexturePlanes&) const = default;
};

constexpr OrvTexturePlanes texturePlanesOf(OrvPixFmt_enum format) {
    switch (format) {
        case ORV_PIX_FMT_DXT1:
            return {1, {ORV_TEX_FMT_BC1_RGB, ORV_TEX_FMT_BC1_RGB}};
        case ORV_PIX_FMT_YCOCG_DXT5:
            return {1, {ORV_TEX_FMT_BC3_YCOGR, ORV_TEX_FMT_BC3_YCOGR}};
        case ORV_PIX_FMT_DXT5:
            return {1, {ORV_TEX_FMT_BC3_RGBA, ORV_TEX_FMT_BC3_RGBA}};
        case ORV_PIX_FMT_YCOCG_DXT5_ALPHA:
            return {2, {ORV_TEX_FMT_BC3_YCOGR, ORV_TEX_FMT_BC4_ALPHA}};
    }
    return {0, {}};
}

// The output format whose slices carry exactly these planes; none for any
// other combination (BC4 alone, BC1 with alpha, ...).
constexpr std::optional<OrvPixFmt_enum> pixFmtOfPlanes(const OrvTexturePlanes& planes) {
    for (const OrvPixFmt_enum format : {ORV_PIX_FMT_DXT1, ORV_PIX_FMT_YCOCG_DXT5, ORV_PIX_FMT_DXT5,
                                        ORV_PIX_FMT_YCOCG_DXT5_ALPHA}) {
        const OrvTexturePlanes expected = texturePlanesOf(format);
        if (expected.count == planes.count && expected.formats[0] == planes.formats[0] &&
            (planes.count == 1 || expected.formats[1] == planes.formats[1]))
            return format;
    }
    return std::nullopt;
}

// Bytes of one 4x4 block of a texture format.
constexpr uint32_t texBlockBytes(OrvTexFmt format) {
    switch (format) {
        case ORV_TEX_FMT_BC1_RGB:
        case ORV_TEX_FMT_BC4_ALPHA:
            return 8;
        case ORV_TEX_FMT_BC3_RGBA:
        case ORV_TEX_FMT_BC3_YCOGR:
            return 16;
    }
    return 0;
}

}  // namespace brindle
