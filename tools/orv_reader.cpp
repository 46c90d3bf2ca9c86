#include "orv_reader.hpp"

#include <lz4.h>
#include <snappy.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>

#include "brindle.hpp"

namespace orvread {

namespace {

// ---- Messages --------------------------------------------------------------

template <typename... Parts>
std::string cat(const Parts&... parts) {
    std::ostringstream out;
    (out << ... << parts);
    return out.str();
}

std::string hex(uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

// Bytes as a C-like string literal, so that a damaged tag shows what it holds.
std::string quoted(std::span<const uint8_t> bytes) {
    std::string text = "\"";
    for (uint8_t byte : bytes) {
        if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
            text += static_cast<char>(byte);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        }
    }
    return text + "\"";
}

// Offsets computed from stored fields may be anything; messages clamp them
// instead of wrapping around.
uint64_t addClamped(uint64_t a, uint64_t b) {
    return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

[[noreturn]] void fail(uint64_t offset, const std::string& what) {
    throw ReadError(cat("offset ", offset, ": ", what));
}

// ---- Bounds-checked access ---------------------------------------------------------

// A window onto part of the file. Positions are relative to the window;
// `base` is the absolute file offset of its first byte, which messages
// report, and `name` says what the window is ("the frame record").
class ByteView {
public:
    ByteView(std::span<const uint8_t> bytes, uint64_t base, std::string name)
        : bytes(bytes), base(base), name(std::move(name)) {}

    uint64_t size() const { return bytes.size(); }
    const std::string& what() const { return name; }
    uint64_t at(uint64_t pos) const { return addClamped(base, pos); }
    uint64_t end() const { return base + bytes.size(); }

    bool holds(uint64_t pos, uint64_t count) const {
        return pos <= bytes.size() && count <= bytes.size() - pos;
    }

    void need(uint64_t pos, uint64_t count, const std::string& what) const {
        if (!holds(pos, count))
            fail(at(pos),
                 cat(what, ": needs ", count, " bytes, ", name, " ends at offset ", end()));
    }

    uint64_t le(uint64_t pos, unsigned width, const std::string& what) const {
        need(pos, width, what);
        uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i)
            value |= static_cast<uint64_t>(bytes[pos + i]) << (8 * i);
        return value;
    }
    uint8_t u8(uint64_t pos, const std::string& what) const {
        return static_cast<uint8_t>(le(pos, 1, what));
    }
    uint16_t u16(uint64_t pos, const std::string& what) const {
        return static_cast<uint16_t>(le(pos, 2, what));
    }
    uint32_t u32(uint64_t pos, const std::string& what) const {
        return static_cast<uint32_t>(le(pos, 4, what));
    }
    uint64_t u64(uint64_t pos, const std::string& what) const { return le(pos, 8, what); }

    std::span<const uint8_t> span(uint64_t pos, uint64_t count, const std::string& what) const {
        need(pos, count, what);
        return bytes.subspan(pos, count);
    }
    ByteView sub(uint64_t pos, uint64_t count, const std::string& what,
                 std::string subName) const {
        return ByteView(span(pos, count, what), at(pos), std::move(subName));
    }

private:
    std::span<const uint8_t> bytes;
    uint64_t base;
    std::string name;
};

// ---- Codes on disk ---------------------------------------------------------

constexpr uint8_t magic[4] = {'O', 'R', 'V', 'C'};
constexpr uint32_t formatVersion = 1;
constexpr uint32_t expectedSlotCount = 16;
constexpr uint16_t expectedVideoFlags = 7;
constexpr uint8_t hapMultipleImages = 0x0D;
constexpr uint32_t hapShortLengthMax = 0xFFFFFF;
constexpr uint16_t wavFormatPCM = 1;
constexpr uint16_t wavBitsPerSample = 16;
constexpr uint32_t wavFmtChunkSize = 16;
constexpr uint32_t wavRiffSizeBeyondData = 36;  // RIFF size = data bytes + 36

// Offsets of the WAV header fields, from the "RIFF" tag.
constexpr uint64_t wavRiffTagAt = 0, wavRiffSizeAt = 4, wavWaveTagAt = 8, wavFmtTagAt = 12,
                   wavFmtSizeAt = 16, wavFormatAt = 20, wavChannelsAt = 22,
                   wavSampleRateAt = 24, wavByteRateAt = 28, wavBlockAlignAt = 32,
                   wavBitsAt = 34, wavDataTagAt = 36, wavDataSizeAt = 40;

std::optional<uint32_t> texFormatOfNibble(uint8_t nibble) {
    switch (nibble) {
        case 0xB: return texBC1;
        case 0xE: return texBC3;
        case 0xF: return texYCoCgBC3;
        case 0x1: return texBC4;
        default: return std::nullopt;
    }
}

std::optional<uint32_t> compressionOfNibble(uint8_t nibble) {
    switch (nibble) {
        case 0xA: return compressionNone;
        case 0xB: return compressionSnappy;
        case 0xF: return compressionLZ4;
        default: return std::nullopt;
    }
}

const char* texFormatName(uint32_t texFormat) {
    switch (texFormat) {
        case texBC1: return "BC1";
        case texBC3: return "BC3 RGBA";
        case texYCoCgBC3: return "scaled YCoCg BC3";
        case texBC4: return "BC4 alpha";
        default: return "unknown";
    }
}

const char* sectionTypeName(uint8_t type) {
    switch (type) {
        case sectionVideo: return "video section";
        case sectionAudio: return "audio section";
        default: return "section";
    }
}

// ---- Header and table ------------------------------------------------------

struct FileHeader {
    std::span<const uint8_t> magic;
    uint32_t version = 0;
    uint32_t numSlots = 0;
    uint64_t tableEnd = 0;
};

FileHeader parseFileHeader(const ByteView& file) {
    FileHeader header;
    header.magic = file.span(0, 4, "magic");
    header.version = file.u32(4, "version");
    header.numSlots = file.u32(8, "slot count");
    const uint64_t tableSize = uint64_t{slotEntrySize} * header.numSlots;
    file.need(fileHeaderSize, tableSize, cat("section table of ", header.numSlots, " slots"));
    header.tableEnd = fileHeaderSize + tableSize;
    return header;
}

uint64_t slotEntryOffset(uint32_t slot) {
    return fileHeaderSize + uint64_t{slotEntrySize} * slot;
}

struct SlotEntry {
    uint8_t type = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
};

SlotEntry parseSlot(const ByteView& file, uint32_t slot) {
    const uint64_t at = slotEntryOffset(slot);
    SlotEntry entry;
    entry.type = file.u8(at, cat("slot ", slot, " type"));
    entry.offset = file.u64(at + 1, cat("slot ", slot, " offset"));
    entry.size = file.u64(at + 9, cat("slot ", slot, " size"));
    return entry;
}

ByteView sectionView(const ByteView& file, const SectionEntry& entry) {
    const std::string name = sectionTypeName(entry.type);
    if (!file.holds(entry.offset, entry.size))
        fail(entry.offset, cat("section of ", entry.size,
                               " bytes reaches beyond the end of the file at offset ",
                               file.end()));
    return file.sub(entry.offset, entry.size, name, "the " + name);
}

// ---- Video section and frame records ---------------------------------------

VideoSection parseVideoSection(const ByteView& file, const SectionEntry& entry) {
    const ByteView section = sectionView(file, entry);
    section.need(0, videoHeaderSize, "video header");

    VideoSection video;
    video.slot = entry.slot;
    video.offset = entry.offset;
    video.size = entry.size;
    video.codec = section.u16(0, "codec");
    video.flags = section.u16(2, "flags");
    video.width = section.u16(4, "width");
    video.height = section.u16(6, "height");
    video.timebaseDen = section.u64(8, "time base denominator");
    video.timebaseNum = section.u64(16, "time base numerator");
    video.fpsDen = section.u64(24, "frame rate denominator");
    video.fpsNum = section.u64(32, "frame rate numerator");
    video.frameDataSize = section.u64(40, "frame data size");
    video.frameCount = section.u32(48, "frame count");

    const uint64_t afterHeader = section.size() - videoHeaderSize;
    if (video.frameDataSize > afterHeader)
        fail(section.at(40), cat("frame data size ", video.frameDataSize,
                                 " is more than the ", afterHeader,
                                 " bytes the section holds after its header"));
    // The index must fit in the section before anything is sized by the
    // frame count, which bounds the three arrays by the file's size.
    const uint64_t indexStart = videoHeaderSize + video.frameDataSize;
    const uint64_t indexSize = uint64_t{videoIndexEntrySize} * video.frameCount;
    if (indexSize > section.size() - indexStart)
        fail(section.at(48), cat("frame count ", video.frameCount, " needs a frame index of ",
                                 indexSize, " bytes at offset ", section.at(indexStart),
                                 ", the section ends at offset ", section.end()));

    const uint32_t n = video.frameCount;
    const uint64_t sizesAt = indexStart;
    const uint64_t offsetsAt = sizesAt + 4 * uint64_t{n};
    const uint64_t ptsAt = offsetsAt + 8 * uint64_t{n};
    video.frameSizes.resize(n);
    video.frameOffsets.resize(n);
    video.framePts.resize(n);
    for (uint32_t k = 0; k < n; ++k) {
        video.frameSizes[k] = section.u32(sizesAt + 4 * uint64_t{k}, "frame size");
        video.frameOffsets[k] = section.u64(offsetsAt + 8 * uint64_t{k}, "frame offset");
        video.framePts[k] = section.u64(ptsAt + 8 * uint64_t{k}, "frame pts");
    }
    return video;
}

struct SectionHeader {
    uint8_t type = 0;
    uint8_t headerSize = 0;
    uint32_t dataSize = 0;
};

// A Hap section header at `pos`; its data is checked to lie inside `view`.
SectionHeader parseSectionHeader(const ByteView& view, uint64_t pos) {
    const std::span<const uint8_t> bytes = view.span(pos, 4, "Hap section header");
    SectionHeader header;
    header.type = bytes[3];
    header.headerSize = 4;
    header.dataSize = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16);
    // Three zero bytes announce the long form: the length follows the type.
    if (header.dataSize == 0) {
        header.dataSize = view.u32(pos + 4, "long Hap section header length");
        header.headerSize = 8;
    }
    view.need(pos + header.headerSize, header.dataSize,
              cat("Hap section data of type ", hex(header.type, 2)));
    return header;
}

HapTexture parseTexture(const ByteView& view, uint64_t pos) {
    const SectionHeader header = parseSectionHeader(view, pos);
    if (header.type == hapMultipleImages)
        fail(view.at(pos), "multiple-image section nested inside a multiple-image section");
    const auto texFormat = texFormatOfNibble(header.type & 0x0F);
    if (!texFormat)
        fail(view.at(pos + 3), cat("Hap section type ", hex(header.type, 2),
                                   ": unknown texture format nibble ", hex(header.type & 0x0F, 1)));
    const auto compression = compressionOfNibble(header.type >> 4);
    if (!compression)
        fail(view.at(pos + 3), cat("Hap section type ", hex(header.type, 2),
                                   ": unknown compression nibble ", hex(header.type >> 4, 1)));
    HapTexture texture;
    texture.offset = view.at(pos);
    texture.headerSize = header.headerSize;
    texture.type = header.type;
    texture.texFormat = *texFormat;
    texture.compression = *compression;
    const auto payload = view.span(pos + header.headerSize, header.dataSize, "Hap section data");
    texture.payload.assign(payload.begin(), payload.end());
    return texture;
}

// The Hap frame of one slice; it must fill `view` exactly.
SliceFrame parseHapFrame(const ByteView& view) {
    const SectionHeader header = parseSectionHeader(view, 0);
    SliceFrame slice;
    slice.offset = view.at(0);
    slice.headerSize = header.headerSize;
    if (header.type == hapMultipleImages) {
        slice.multipleImages = true;
        const ByteView inner = view.sub(header.headerSize, header.dataSize, "multiple-image data",
                                        "the multiple-image section");
        for (uint64_t pos = 0; pos < inner.size();) {
            slice.textures.push_back(parseTexture(inner, pos));
            pos += slice.textures.back().headerSize + slice.textures.back().payload.size();
        }
        if (slice.textures.empty())
            fail(slice.offset, "multiple-image section holds no texture");
    } else {
        slice.textures.push_back(parseTexture(view, 0));
    }
    const uint64_t end = header.headerSize + uint64_t{header.dataSize};
    if (end != view.size())
        fail(view.at(end), cat(view.what(), " ends here, but its place in the frame record runs ",
                               view.size() - end, " more bytes to offset ", view.end()));
    return slice;
}

uint32_t ceilDiv(uint32_t a, uint32_t b) {
    return a / b + (a % b != 0);
}

FrameRecord parseFrameRecord(const ByteView& record) {
    const uint16_t marker = record.u16(0, "frame record marker");
    if (marker != frameRecordMarker)
        fail(record.at(0), cat("frame record marker: expected ", hex(frameRecordMarker, 4),
                               ", found ", hex(marker, 4)));
    FrameRecord frame;
    frame.offset = record.at(0);
    frame.size = record.size();
    frame.width = record.u16(2, "frame width");
    frame.height = record.u16(4, "frame height");
    frame.sliceWidth = record.u16(6, "slice width");
    frame.sliceHeight = record.u16(8, "slice height");
    if (frame.sliceWidth == 0 || frame.sliceHeight == 0)
        fail(record.at(6), cat("slice size ", frame.sliceWidth, "x", frame.sliceHeight,
                               " has a zero side, so the slice grid is undefined"));
    frame.numColumns = ceilDiv(frame.width, frame.sliceWidth);
    frame.numRows = ceilDiv(frame.height, frame.sliceHeight);

    // At most 65535 x 65535 slices; the directory must be in the record
    // before the count sizes anything.
    const uint64_t n = uint64_t{frame.numColumns} * frame.numRows;
    record.need(frameRecordHeaderSize, 4 * n, cat("slice directory of ", n, " slices"));
    const uint64_t directoryEnd = frameRecordHeaderSize + 4 * n;
    frame.sliceOffsets.resize(n);
    for (uint64_t i = 0; i < n; ++i)
        frame.sliceOffsets[i] = record.u32(frameRecordHeaderSize + 4 * i, "slice offset");

    if (n == 0) {
        if (record.size() != directoryEnd)
            fail(record.at(directoryEnd), cat("a frame of no slices holds ",
                                              record.size() - directoryEnd, " more bytes"));
        return frame;
    }
    if (frame.sliceOffsets[0] != directoryEnd)
        fail(record.at(frameRecordHeaderSize),
             cat("slice 0 offset: expected ", directoryEnd, " (right after the directory), found ",
                 frame.sliceOffsets[0]));
    frame.slices.reserve(n);
    for (uint64_t i = 0; i < n; ++i) {
        const uint64_t start = frame.sliceOffsets[i];
        const uint64_t end = i + 1 < n ? frame.sliceOffsets[i + 1] : record.size();
        if (end < start || end > record.size())
            fail(record.at(frameRecordHeaderSize + 4 * (i + 1)),
                 cat("slice ", i + 1, " offset ", end, " is not within slice ", i, "'s start ",
                     start, " and the record's end ", record.size()));
        const ByteView hap = record.sub(start, end - start, cat("Hap frame of slice ", i),
                                        cat("the Hap frame of slice ", i));
        frame.slices.push_back(parseHapFrame(hap));
    }
    return frame;
}

FrameRecord readFrameAt(const ByteView& file, const VideoSection& video, uint32_t k) {
    if (k >= video.frameCount || k >= video.frameSizes.size() || k >= video.frameOffsets.size())
        throw std::out_of_range(cat("frame ", k, " of a video section of ", video.frameCount,
                                    " frames"));
    const uint64_t offset = video.frameOffsets[k];
    const uint64_t size = video.frameSizes[k];
    const uint64_t dataStart = addClamped(video.offset, videoHeaderSize);
    const uint64_t dataEnd = addClamped(dataStart, video.frameDataSize);
    if (offset < dataStart || offset > dataEnd || size > dataEnd - offset)
        fail(offset, cat("frame ", k, " of ", size,
                         " bytes lies outside the section's frame data, offsets ", dataStart,
                         " to ", dataEnd));
    return parseFrameRecord(file.sub(offset, size, cat("frame ", k), "the frame record"));
}

// ---- Audio section ---------------------------------------------------------

AudioSection parseAudioSection(const ByteView& file, const SectionEntry& entry) {
    const ByteView section = sectionView(file, entry);
    section.need(0, audioHeaderSize + wavHeaderSize, "audio header and WAV header");
    const ByteView wav = section.sub(audioHeaderSize, section.size() - audioHeaderSize,
                                     "WAV image", "the audio section");
    AudioSection audio;
    audio.slot = entry.slot;
    audio.offset = entry.offset;
    audio.size = entry.size;
    audio.codec = section.u8(0, "audio codec");
    audio.riffSize = wav.u32(wavRiffSizeAt, "RIFF size");
    audio.fmtSize = wav.u32(wavFmtSizeAt, "fmt chunk size");
    audio.format = wav.u16(wavFormatAt, "sample format");
    audio.channels = wav.u16(wavChannelsAt, "channel count");
    audio.sampleRate = wav.u32(wavSampleRateAt, "sample rate");
    audio.byteRate = wav.u32(wavByteRateAt, "byte rate");
    audio.blockAlign = wav.u16(wavBlockAlignAt, "block alignment");
    audio.bitsPerSample = wav.u16(wavBitsAt, "bits per sample");
    audio.dataSize = wav.u32(wavDataSizeAt, "data size");
    audio.dataOffset = wav.at(wavHeaderSize);
    return audio;
}

// ---- Decoding --------------------------------------------------------------

using BlockDecoder = void (*)(const uint8_t* block, uint8_t* out);

BlockDecoder blockDecoder(uint32_t texFormat) {
    switch (texFormat) {
        case texBC1: return brindle::decodeBC1RGB;
        case texBC3: return brindle::decodeBC3RGBA;
        case texYCoCgBC3: return brindle::decodeBC3YCOGR;
        case texBC4: return brindle::decodeBC4RGBA;
        default: return nullptr;
    }
}

uint32_t bytesPerBlock(uint32_t texFormat) {
    switch (texFormat) {
        case texBC1: return 8;
        case texBC3: return 16;
        case texYCoCgBC3: return 16;
        case texBC4: return 8;
        default: throw ReadError(cat("unknown texture format ", texFormat));
    }
}

// An LZ4 sequence turns each byte of a match-length extension into at most
// 255 output bytes and every other byte into fewer, so no block expands more.
constexpr uint64_t lz4MaxExpansion = 255;

std::vector<uint8_t> decompressLZ4(const HapTexture& texture, uint64_t expectedSize) {
    const std::vector<uint8_t>& payload = texture.payload;
    const uint64_t at = texture.offset + texture.headerSize;
    if (payload.size() < 4)
        fail(at, cat("LZ4 payload of ", payload.size(),
                     " bytes is shorter than its 4-byte size prefix"));
    const uint32_t prefix = payload[0] | (payload[1] << 8) | (payload[2] << 16) |
                            (static_cast<uint32_t>(payload[3]) << 24);
    if (prefix != expectedSize)
        fail(at, cat("LZ4 size prefix: expected ", expectedSize, " (the texture's size), found ",
                     prefix));
    const uint64_t blockSize = payload.size() - 4;
    if (blockSize > INT_MAX || expectedSize > INT_MAX)
        fail(at, cat("LZ4 block of ", blockSize, " bytes for ", expectedSize,
                     " bytes is beyond what one LZ4 block can hold"));
    if (expectedSize > lz4MaxExpansion * blockSize)
        fail(at, cat("LZ4 block of ", blockSize, " bytes cannot expand to ", expectedSize,
                     " bytes"));
    std::vector<uint8_t> blocks(expectedSize);
    uint8_t spare = 0;  // a valid destination when the texture is empty
    uint8_t* dst = blocks.empty() ? &spare : blocks.data();
    const int produced =
        LZ4_decompress_safe(reinterpret_cast<const char*>(payload.data() + 4),
                            reinterpret_cast<char*>(dst), static_cast<int>(blockSize),
                            static_cast<int>(expectedSize));
    if (produced < 0)
        fail(at, cat("LZ4 block is corrupt or expands beyond the texture's ", expectedSize,
                     " bytes"));
    if (static_cast<uint64_t>(produced) != expectedSize)
        fail(at, cat("LZ4 block decompresses to ", produced, " bytes, expected ", expectedSize));
    return blocks;
}

std::vector<uint8_t> decompressSnappy(const HapTexture& texture, uint64_t expectedSize) {
    const char* payload = reinterpret_cast<const char*>(texture.payload.data());
    const size_t payloadSize = texture.payload.size();
    const uint64_t at = texture.offset + texture.headerSize;
    size_t claimed = 0;
    if (!snappy::GetUncompressedLength(payload, payloadSize, &claimed))
        fail(at, "snappy payload has no valid length header");
    if (claimed != expectedSize)
        fail(at, cat("snappy payload decompresses to ", claimed, " bytes, expected ",
                     expectedSize));
    // Validating first means the claimed size is really produced by these
    // bytes before a buffer of that size exists.
    if (!snappy::IsValidCompressedBuffer(payload, payloadSize))
        fail(at, "snappy payload is corrupt");
    std::vector<uint8_t> blocks(expectedSize);
    char spare = 0;
    char* dst = blocks.empty() ? &spare : reinterpret_cast<char*>(blocks.data());
    if (!snappy::RawUncompress(payload, payloadSize, dst))
        fail(at, "snappy payload is corrupt");
    return blocks;
}

// ---- Verification ----------------------------------------------------------

// Types of a slice's sections as one comparable text: "0xFB" or
// "0x0D[0xFF 0xF1]".
std::string sliceTypes(const SliceFrame& slice) {
    std::string text = slice.multipleImages ? hex(hapMultipleImages, 2) + "[" : "";
    for (size_t i = 0; i < slice.textures.size(); ++i)
        text += (i ? " " : "") + hex(slice.textures[i].type, 2);
    return text + (slice.multipleImages ? "]" : "");
}

class Verifier {
public:
    explicit Verifier(std::span<const uint8_t> bytes) : file(bytes, 0, "the file") {}

    std::vector<std::string> run() {
        checkFile();
        return std::move(problems);
    }

private:
    void add(const std::string& where, const std::string& what) {
        problems.push_back(where.empty() ? what : where + ": " + what);
    }
    void add(const std::string& where, uint64_t offset, const std::string& what) {
        add(where, cat("offset ", offset, ": ", what));
    }
    template <typename T>
    void expectEqual(const std::string& where, uint64_t offset, const char* field, T found,
                     T expected) {
        if (found != expected)
            add(where, offset, cat(field, ": expected ", +expected, ", found ", +found));
    }
    void expectTag(const std::string& where, const ByteView& view, uint64_t pos,
                   const char* tag) {
        const auto found = view.span(pos, 4, "tag");
        if (std::memcmp(found.data(), tag, 4) != 0)
            add(where, view.at(pos),
                cat("tag: expected \"", tag, "\", found ", quoted(found)));
    }

    void checkFile() {
        if (file.size() < fileHeaderSize) {
            add("", cat("file is ", file.size(), " bytes, shorter than the ", fileHeaderSize,
                        "-byte file header"));
            return;
        }
        const auto magicFound = file.span(0, 4, "magic");
        if (!std::equal(magicFound.begin(), magicFound.end(), magic))
            add("", 0, cat("magic: expected \"ORVC\", found ", quoted(magicFound)));
        expectEqual("", 4, "version", file.u32(4, "version"), formatVersion);
        expectEqual("", 8, "slot count", file.u32(8, "slot count"), expectedSlotCount);

        FileHeader header;
        try {
            header = parseFileHeader(file);
        } catch (const ReadError& error) {
            add("", error.what());
            return;
        }
        const std::vector<SectionEntry> used = checkTable(header);
        checkLayout(header, used);
        for (const SectionEntry& entry : used) {
            if (entry.type == sectionVideo)
                checkVideo(entry);
            else if (entry.type == sectionAudio)
                checkAudio(entry);
        }
    }

    std::vector<SectionEntry> checkTable(const FileHeader& header) {
        std::vector<SectionEntry> used;
        bool sawUnused = false;
        for (uint32_t slot = 0; slot < header.numSlots; ++slot) {
            const SlotEntry entry = parseSlot(file, slot);
            const uint64_t at = slotEntryOffset(slot);
            const std::string where = cat("slot ", slot);
            if (entry.type == sectionNone) {
                if (entry.offset != unusedSlotOffset || entry.size != 0)
                    add(where, at, cat("unused slot (type 0) holds offset ", entry.offset,
                                       " and size ", entry.size, ", expected offset ",
                                       hex(unusedSlotOffset, 16), " and size 0"));
                sawUnused = true;
                continue;
            }
            if (sawUnused)
                add(where, at, "used slot after an unused one: used slots must be contiguous "
                               "from slot 0");
            if (entry.type != sectionVideo && entry.type != sectionAudio)
                add(where, at, cat("section type: expected 2 (video) or 3 (audio), found ",
                                   +entry.type));
            used.push_back({slot, entry.type, entry.offset, entry.size});
        }
        return used;
    }

    // Sections follow the table and each other without gaps or overlaps, in
    // the order they were begun, which need not be slot order.
    void checkLayout(const FileHeader& header, std::vector<SectionEntry> used) {
        std::stable_sort(used.begin(), used.end(),
                         [](const SectionEntry& a, const SectionEntry& b) {
                             return a.offset < b.offset;
                         });
        uint64_t expected = header.tableEnd;
        const SectionEntry* previous = nullptr;
        for (const SectionEntry& entry : used) {
            const std::string where = cat("slot ", entry.slot);
            if (entry.offset < expected) {
                if (previous)
                    add(where, entry.offset,
                        cat("section overlaps the section of slot ", previous->slot,
                            ", which ends at offset ", expected));
                else
                    add(where, entry.offset,
                        cat("section starts inside the file header and section table, "
                            "which end at offset ", expected));
            } else if (entry.offset > expected) {
                add(where, entry.offset,
                    cat("section start: expected ", expected,
                        previous ? cat(" (the end of the section of slot ", previous->slot, ")")
                                 : std::string(" (right after the section table)"),
                        ", found ", entry.offset, ", leaving a gap of ",
                        entry.offset - expected, " bytes"));
            }
            const uint64_t end = addClamped(entry.offset, entry.size);
            if (end >= expected) {
                expected = end;
                previous = &entry;
            }
        }
        if (file.size() < expected)
            add("", cat("file ends at offset ", file.size(),
                        ", before the end of the last section at offset ", expected));
        else if (file.size() > expected)
            add("", expected, cat(file.size() - expected,
                                  " bytes follow the end of the last section"));
    }

    void checkVideo(const SectionEntry& entry) {
        const std::string where = cat("video section in slot ", entry.slot);
        VideoSection video;
        try {
            video = parseVideoSection(file, entry);
        } catch (const ReadError& error) {
            add(where, error.what());
            return;
        }
        const uint64_t at = video.offset;
        expectEqual(where, at, "codec", video.codec, uint16_t{0});
        expectEqual(where, at + 2, "flags", video.flags, expectedVideoFlags);
        if (video.width == 0)
            add(where, at + 4, "width: expected non-zero, found 0");
        if (video.height == 0)
            add(where, at + 6, "height: expected non-zero, found 0");
        const uint64_t n = video.frameCount;
        const uint64_t expectedSize =
            videoHeaderSize + video.frameDataSize + videoIndexEntrySize * n;
        if (video.size != expectedSize)
            add(where, at, cat("section size in the table is ", video.size, ", expected 52 + ",
                               video.frameDataSize, " bytes of frame data + 20 x ", n,
                               " frames = ", expectedSize));

        const uint64_t indexAt = at + videoHeaderSize + video.frameDataSize;
        uint64_t running = at + videoHeaderSize;
        uint64_t total = 0;
        for (uint32_t k = 0; k < n; ++k) {
            if (video.frameOffsets[k] != running)
                add(where, indexAt + 4 * n + 8 * uint64_t{k},
                    cat("frame ", k, " offset: expected ", running, ", found ",
                        video.frameOffsets[k]));
            // Continue from the stored offset so one bad entry is reported once.
            running = addClamped(video.frameOffsets[k], video.frameSizes[k]);
            total += video.frameSizes[k];
        }
        if (total != video.frameDataSize)
            add(where, at + 40, cat("frame data size is ", video.frameDataSize,
                                    ", but the frame sizes add up to ", total));

        std::string referenceTypes, referenceName;
        for (uint32_t k = 0; k < n; ++k)
            checkFrame(where, video, k, referenceTypes, referenceName);
    }

    void checkFrame(const std::string& section, const VideoSection& video, uint32_t k,
                    std::string& referenceTypes, std::string& referenceName) {
        const std::string where = cat(section, ", frame ", k);
        FrameRecord frame;
        try {
            frame = readFrameAt(file, video, k);
        } catch (const ReadError& error) {
            add(where, error.what());
            return;
        }
        expectEqual(where, frame.offset + 2, "frame width", frame.width, video.width);
        expectEqual(where, frame.offset + 4, "frame height", frame.height, video.height);
        if (frame.sliceWidth % 4 != 0)
            add(where, frame.offset + 6,
                cat("slice width: expected a multiple of 4, found ", frame.sliceWidth));
        if (frame.sliceHeight % 4 != 0)
            add(where, frame.offset + 8,
                cat("slice height: expected a multiple of 4, found ", frame.sliceHeight));

        for (size_t s = 0; s < frame.slices.size(); ++s) {
            const SliceFrame& slice = frame.slices[s];
            const std::string sliceWhere = cat(where, ", slice ", s);
            const std::string shape = sliceShapeProblem(slice);
            if (!shape.empty()) {
                add(sliceWhere, shape);
            } else if (referenceTypes.empty()) {
                referenceTypes = sliceTypes(slice);
                referenceName = cat("frame ", k, ", slice ", s);
            } else if (sliceTypes(slice) != referenceTypes) {
                add(sliceWhere, slice.offset,
                    cat("section types ", sliceTypes(slice), ", expected ", referenceTypes,
                        " as in ", referenceName));
            }
            checkHeaderForms(sliceWhere, slice);
            for (size_t t = 0; t < slice.textures.size(); ++t) {
                const HapTexture& texture = slice.textures[t];
                try {
                    decompress(texture, textureSize(texture.texFormat, frame.sliceWidth,
                                                    frame.sliceHeight));
                } catch (const ReadError& error) {
                    add(cat(sliceWhere, ", texture ", t), error.what());
                }
            }
        }
    }

    // The writer uses the 8-byte header only for lengths the short one
    // cannot hold.
    void checkHeaderForms(const std::string& where, const SliceFrame& slice) {
        uint64_t wrapped = 0;
        for (const HapTexture& texture : slice.textures) {
            checkHeaderForm(where, texture.offset, texture.headerSize, texture.payload.size());
            wrapped += texture.headerSize + texture.payload.size();
        }
        if (slice.multipleImages)
            checkHeaderForm(where, slice.offset, slice.headerSize, wrapped);
    }
    void checkHeaderForm(const std::string& where, uint64_t at, uint8_t headerSize,
                         uint64_t dataSize) {
        if (headerSize == 8 && dataSize <= hapShortLengthMax)
            add(where, at, cat("long Hap section header for ", dataSize,
                               " bytes of data, which the short form holds"));
    }

    void checkAudio(const SectionEntry& entry) {
        const std::string where = cat("audio section in slot ", entry.slot);
        AudioSection audio;
        try {
            audio = parseAudioSection(file, entry);
        } catch (const ReadError& error) {
            add(where, error.what());
            return;
        }
        const ByteView wav(file.span(audio.offset + audioHeaderSize, wavHeaderSize, "WAV header"),
                           audio.offset + audioHeaderSize, "the WAV header");
        const uint64_t at = wav.at(0);
        expectEqual(where, audio.offset, "audio codec", audio.codec, uint8_t{0});
        expectTag(where, wav, wavRiffTagAt, "RIFF");
        expectTag(where, wav, wavWaveTagAt, "WAVE");
        expectTag(where, wav, wavFmtTagAt, "fmt ");
        expectTag(where, wav, wavDataTagAt, "data");
        expectEqual(where, at + wavFmtSizeAt, "fmt chunk size", audio.fmtSize, wavFmtChunkSize);
        expectEqual(where, at + wavFormatAt, "sample format (1 is PCM)", audio.format,
                    wavFormatPCM);
        expectEqual(where, at + wavBitsAt, "bits per sample", audio.bitsPerSample,
                    wavBitsPerSample);
        if (audio.channels == 0)
            add(where, at + wavChannelsAt, "channel count: expected non-zero, found 0");
        // Stored fields, so the products wrap as the stored values did.
        const uint16_t blockAlign = static_cast<uint16_t>(audio.channels * 2u);
        expectEqual(where, at + wavBlockAlignAt, "block alignment", audio.blockAlign,
                    blockAlign);
        expectEqual(where, at + wavByteRateAt, "byte rate", audio.byteRate,
                    static_cast<uint32_t>(audio.sampleRate * audio.channels * 2u));

        const uint64_t dataBytes = audio.size - audioHeaderSize - wavHeaderSize;
        if (audio.dataSize != dataBytes)
            add(where, at + wavDataSizeAt,
                cat("data size: expected ", dataBytes, " (the bytes after the WAV header), found ",
                    audio.dataSize));
        expectEqual(where, at + wavRiffSizeAt, "RIFF size", audio.riffSize,
                    static_cast<uint32_t>(dataBytes + wavRiffSizeBeyondData));
        if (audio.blockAlign != 0 && dataBytes % audio.blockAlign != 0)
            add(where, audio.dataOffset,
                cat(dataBytes, " bytes of samples are not a whole number of ", audio.blockAlign,
                    "-byte sample frames"));
    }

    ByteView file;
    std::vector<std::string> problems;
};

}  // namespace

// ---- Public functions ------------------------------------------------------

uint64_t textureSize(uint32_t texFormat, uint32_t width, uint32_t height) {
    return uint64_t{width >> 2} * (height >> 2) * bytesPerBlock(texFormat);
}

std::vector<uint8_t> decompress(const HapTexture& texture, uint64_t expectedSize) {
    switch (texture.compression) {
        case compressionNone:
            if (texture.payload.size() != expectedSize)
                fail(texture.offset + texture.headerSize,
                     cat("uncompressed texture holds ", texture.payload.size(),
                         " bytes, expected ", expectedSize));
            return texture.payload;
        case compressionSnappy: return decompressSnappy(texture, expectedSize);
        case compressionLZ4: return decompressLZ4(texture, expectedSize);
        default:
            fail(texture.offset, cat("unknown compression ", texture.compression));
    }
}

std::vector<uint8_t> decodeTexture(std::span<const uint8_t> blocks, uint32_t texFormat,
                                   uint32_t width, uint32_t height) {
    const BlockDecoder decode = blockDecoder(texFormat);
    if (!decode)
        throw ReadError(cat("unknown texture format ", texFormat));
    if (width % 4 != 0 || height % 4 != 0)
        throw ReadError(cat("a ", width, "x", height,
                            " texture cannot be decoded: sides must be multiples of 4"));
    const uint64_t expected = textureSize(texFormat, width, height);
    if (blocks.size() != expected)
        throw ReadError(cat(texFormatName(texFormat), " texture of ", width, "x", height,
                            " needs ", expected, " bytes of blocks, found ", blocks.size()));
    // Sized only now: the pixels are at most 8 times the blocks just checked.
    std::vector<uint8_t> pixels(uint64_t{width} * height * 4);
    const uint32_t blockBytes = bytesPerBlock(texFormat);
    const size_t rowBytes = size_t{width} * 4;
    uint8_t decoded[64];
    const uint8_t* block = blocks.data();
    for (uint32_t by = 0; by < height / 4; ++by) {
        for (uint32_t bx = 0; bx < width / 4; ++bx, block += blockBytes) {
            decode(block, decoded);
            for (uint32_t y = 0; y < 4; ++y)
                std::memcpy(&pixels[(size_t{by} * 4 + y) * rowBytes + size_t{bx} * 16],
                            decoded + 16 * y, 16);
        }
    }
    return pixels;
}

std::string sliceShapeProblem(const SliceFrame& slice) {
    const std::vector<HapTexture>& textures = slice.textures;
    const std::string at = cat("offset ", slice.offset, ": ");
    if (textures.size() == 1) {
        if (slice.multipleImages)
            return at + "a multiple-image section holding a single texture";
        if (textures[0].texFormat == texBC4)
            return at + "a BC4 alpha texture without its scaled YCoCg colour texture";
        return "";
    }
    if (textures.size() != 2)
        return at + cat("multiple-image section holds ", textures.size(),
                        " textures, expected 2");
    if (textures[0].texFormat != texYCoCgBC3 || textures[1].texFormat != texBC4)
        return at + cat("multiple-image section holds ", texFormatName(textures[0].texFormat),
                        " then ", texFormatName(textures[1].texFormat),
                        ", expected scaled YCoCg BC3 then BC4 alpha");
    if (textures[0].compression != textures[1].compression)
        return at + cat("the two textures use different compressions (types ",
                        hex(textures[0].type, 2), " and ", hex(textures[1].type, 2), ")");
    return "";
}

std::vector<std::string> verify(std::span<const uint8_t> file) {
    return Verifier(file).run();
}

// ---- OrvFile ---------------------------------------------------------------

std::vector<uint8_t> readFileBytes(const std::string& path) {
    struct Closer {
        void operator()(FILE* stream) const { std::fclose(stream); }
    };
    std::unique_ptr<FILE, Closer> stream(std::fopen(path.c_str(), "rb"));
    if (!stream)
        throw ReadError(cat("cannot open ", path, ": ", std::strerror(errno)));
    std::vector<uint8_t> bytes;
    uint8_t chunk[1 << 16];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, stream.get())) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    if (std::ferror(stream.get()))
        throw ReadError(cat("cannot read ", path, ": ", std::strerror(errno)));
    return bytes;
}

OrvFile OrvFile::open(const std::string& path) { return OrvFile(readFileBytes(path)); }

OrvFile::OrvFile(std::vector<uint8_t> bytes) : data(std::move(bytes)) {
    const ByteView file(data, 0, "the file");
    const FileHeader header = parseFileHeader(file);
    if (!std::equal(header.magic.begin(), header.magic.end(), magic))
        fail(0, cat("magic: expected \"ORVC\", found ", quoted(header.magic)));
    if (header.version != formatVersion)
        fail(4, cat("version: expected 1, found ", header.version,
                    "; this reader knows only version 1"));
    fileVersion = header.version;
    numSlots = header.numSlots;
    for (uint32_t slot = 0; slot < numSlots; ++slot) {
        const SlotEntry slotEntry = parseSlot(file, slot);
        if (slotEntry.type == sectionNone)
            continue;
        const SectionEntry entry{slot, slotEntry.type, slotEntry.offset, slotEntry.size};
        entries.push_back(entry);
        try {
            if (entry.type == sectionVideo)
                videoSections.push_back(parseVideoSection(file, entry));
            else if (entry.type == sectionAudio)
                audioSections.push_back(parseAudioSection(file, entry));
        } catch (const ReadError& error) {
            throw ReadError(
                cat(sectionTypeName(entry.type), " in slot ", slot, ": ", error.what()));
        }
    }
}

FrameRecord OrvFile::readFrame(const VideoSection& video, uint32_t k) const {
    return readFrameAt(ByteView(data, 0, "the file"), video, k);
}

std::vector<uint8_t> OrvFile::decodeFrame(const VideoSection& video, uint32_t k) const {
    const FrameRecord frame = readFrame(video, k);
    if (frame.width != video.width || frame.height != video.height)
        fail(frame.offset + 2, cat("frame size ", frame.width, "x", frame.height,
                                   " differs from the video section's ", video.width, "x",
                                   video.height));
    const uint32_t sliceWidth = frame.sliceWidth, sliceHeight = frame.sliceHeight;

    // Every slice is decoded before the picture is allocated: the slices
    // cover the picture, so their pixels, each backed by checked payload
    // bytes, bound its size.
    std::vector<std::vector<uint8_t>> tiles;
    tiles.reserve(frame.slices.size());
    for (const SliceFrame& slice : frame.slices) {
        const std::string shape = sliceShapeProblem(slice);
        if (!shape.empty())
            throw ReadError(shape);
        const HapTexture& colour = slice.textures[0];
        const auto blocks =
            decompress(colour, textureSize(colour.texFormat, sliceWidth, sliceHeight));
        std::vector<uint8_t> tile =
            decodeTexture(blocks, colour.texFormat, sliceWidth, sliceHeight);
        if (slice.textures.size() == 2) {
            const HapTexture& alpha = slice.textures[1];
            const auto alphaBlocks =
                decompress(alpha, textureSize(alpha.texFormat, sliceWidth, sliceHeight));
            const auto alphaPixels =
                decodeTexture(alphaBlocks, alpha.texFormat, sliceWidth, sliceHeight);
            for (size_t i = 3; i < tile.size(); i += 4)
                tile[i] = alphaPixels[i];
        }
        tiles.push_back(std::move(tile));
    }

    const uint32_t width = video.width, height = video.height;
    std::vector<uint8_t> picture(size_t{width} * height * 4);
    for (size_t s = 0; s < tiles.size(); ++s) {
        // Slices of the last column and row reach past the picture; only
        // the part inside it is copied.
        const uint32_t x0 = static_cast<uint32_t>(s % frame.numColumns) * sliceWidth;
        const uint32_t y0 = static_cast<uint32_t>(s / frame.numColumns) * sliceHeight;
        const uint32_t copyWidth = std::min(sliceWidth, width - x0);
        const uint32_t copyHeight = std::min(sliceHeight, height - y0);
        for (uint32_t y = 0; y < copyHeight; ++y)
            std::memcpy(&picture[(size_t{y0} + y) * width * 4 + size_t{x0} * 4],
                        &tiles[s][size_t{y} * sliceWidth * 4], size_t{copyWidth} * 4);
    }
    return picture;
}

std::vector<int16_t> OrvFile::readSamples(const AudioSection& audio) const {
    const uint64_t wavAt = audio.offset + audioHeaderSize;
    if (audio.format != wavFormatPCM || audio.bitsPerSample != wavBitsPerSample)
        fail(wavAt + wavFormatAt, cat("samples of format ", audio.format, " with ",
                                      audio.bitsPerSample,
                                      " bits: this reader reads 16-bit PCM (format 1) only"));
    if (audio.dataSize % 2 != 0)
        fail(wavAt + wavDataSizeAt,
             cat("data size ", audio.dataSize, " is not a whole number of 16-bit samples"));
    const uint64_t sectionEnd = addClamped(audio.offset, audio.size);
    if (addClamped(audio.dataOffset, audio.dataSize) > sectionEnd)
        fail(wavAt + wavDataSizeAt, cat("data size ", audio.dataSize,
                                        " reaches beyond the audio section, which ends at offset ",
                                        sectionEnd));
    const ByteView file(data, 0, "the file");
    const auto bytes = file.span(audio.dataOffset, audio.dataSize, "WAV samples");
    std::vector<int16_t> samples(bytes.size() / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return samples;
}

std::vector<std::string> OrvFile::verify() const {
    return orvread::verify(data);
}

}  // namespace orvread
