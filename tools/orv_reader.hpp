// orvread: a small, strict reader of ORV container files, kept outside the
// library so that it checks the encoder's output independently.
//
// Three layers:
//   - OrvFile parses the file header, the section table and every used
//     section, and reads frame records and WAV samples on demand. Its parsing
//     functions throw ReadError when the bytes cannot be read as the
//     structure they should hold (something lies outside the data, sizes
//     contradict each other, a code has no meaning); values that are merely
//     not what the encoder writes (flags, codecs, patched sizes) are kept as
//     found.
//   - decompress() and decodeTexture() turn one Hap texture back into blocks
//     and then into RGBA pixels; OrvFile::decodeFrame() assembles a picture.
//   - verify() checks everything the format promises and lists every problem
//     it finds instead of stopping at the first.
//
// Every read is bounds-checked against the data it was given, and no
// allocation is sized by a stored field before that field has been checked
// against the bytes that must back it, so corrupt or hostile files produce a
// ReadError (or a problem line), never a read outside the data.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvread {

class ReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---- Codes and sizes of the format -----------------------------------------

inline constexpr uint32_t fileHeaderSize = 12;  // magic, version, slot count
inline constexpr uint32_t slotEntrySize = 17;
inline constexpr uint32_t videoHeaderSize = 52;
inline constexpr uint32_t videoIndexEntrySize = 20;  // u32 size, u64 offset, u64 pts
inline constexpr uint32_t audioHeaderSize = 1;
inline constexpr uint32_t wavHeaderSize = 44;
inline constexpr uint32_t frameRecordHeaderSize = 10;  // before the slice directory
inline constexpr uint16_t frameRecordMarker = 0x0300;
inline constexpr uint64_t unusedSlotOffset = UINT64_MAX;

enum SectionType : uint8_t {
    sectionNone = 0,
    sectionVideo = 2,
    sectionAudio = 3,
};

// Same values as brindle::OrvTexFmt.
enum TexFormat : uint32_t {
    texBC1 = 0,
    texBC3 = 1,
    texYCoCgBC3 = 2,
    texBC4 = 3,
};

// Same values as OrvCompression_enum.
enum Compression : uint32_t {
    compressionNone = 0,
    compressionSnappy = 1,
    compressionLZ4 = 2,
};

// Bytes of a texture of whole 4x4 blocks, in 64 bits (no wrap-around).
// Throws ReadError for an unknown format.
uint64_t textureSize(uint32_t texFormat, uint32_t width, uint32_t height);

// ---- Parsed records --------------------------------------------------------

// One used slot of the section table (type not 0).
struct SectionEntry {
    uint32_t slot = 0;
    uint8_t type = 0;
    uint64_t offset = 0;  // absolute offset of the section's first byte
    uint64_t size = 0;
};

struct VideoSection {
    uint32_t slot = 0;
    uint64_t offset = 0;  // section start
    uint64_t size = 0;    // from the section table
    uint16_t codec = 0;
    uint16_t flags = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint64_t timebaseDen = 0;
    uint64_t timebaseNum = 0;
    uint64_t fpsDen = 0;
    uint64_t fpsNum = 0;
    uint64_t frameDataSize = 0;
    uint32_t frameCount = 0;
    // The frame index, frameCount entries each, as stored (not yet checked
    // against the frame data: readFrame() does that per frame).
    std::vector<uint32_t> frameSizes;
    std::vector<uint64_t> frameOffsets;
    std::vector<uint64_t> framePts;
};

struct AudioSection {
    uint32_t slot = 0;
    uint64_t offset = 0;  // section start
    uint64_t size = 0;    // from the section table
    uint8_t codec = 0;
    // WAV header fields as stored; the four tags are left to verify().
    uint32_t riffSize = 0;
    uint32_t fmtSize = 0;
    uint16_t format = 0;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint32_t byteRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint32_t dataSize = 0;
    uint64_t dataOffset = 0;  // absolute offset of the first sample byte
};

// One texture section of a Hap frame.
struct HapTexture {
    uint64_t offset = 0;     // absolute offset of the section header
    uint8_t headerSize = 0;  // 4 (short form) or 8 (long form)
    uint8_t type = 0;        // the stored type byte
    uint32_t texFormat = 0;  // TexFormat, from the low nibble
    uint32_t compression = 0;  // Compression, from the high nibble
    std::vector<uint8_t> payload;
};

// The Hap frame of one slice: one texture section, or a multiple-image
// section wrapping several.
struct SliceFrame {
    uint64_t offset = 0;  // absolute offset of the top-level section header
    uint8_t headerSize = 0;
    bool multipleImages = false;
    std::vector<HapTexture> textures;
};

struct FrameRecord {
    uint64_t offset = 0;  // absolute
    uint64_t size = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t sliceWidth = 0;
    uint16_t sliceHeight = 0;
    uint32_t numColumns = 0;  // derived from the four sizes
    uint32_t numRows = 0;
    std::vector<uint32_t> sliceOffsets;  // from the record's first byte
    std::vector<SliceFrame> slices;      // row by row from the top
};

// ---- Texture decoding ------------------------------------------------------

// The texture's blocks: exactly expectedSize bytes, or ReadError (a payload
// that decodes to any other size, is corrupt, or cannot possibly expand to
// expectedSize is refused before anything of that size is allocated).
std::vector<uint8_t> decompress(const HapTexture& texture, uint64_t expectedSize);

// RGBA pixels (width x height x 4, row-major) of a texture whose blocks are
// `blocks`. Width and height must be multiples of 4 and `blocks` exactly the
// texture's size; otherwise ReadError. Decodes with the library's exported
// block decoders.
std::vector<uint8_t> decodeTexture(std::span<const uint8_t> blocks, uint32_t texFormat,
                                   uint32_t width, uint32_t height);

// Empty when the slice holds one of the shapes an ORV file may hold (one
// texture that is not BC4 alpha, or a multiple-image section of scaled
// YCoCg then BC4 alpha with one compression), else what is wrong with it.
std::string sliceShapeProblem(const SliceFrame& slice);

// ---- The file --------------------------------------------------------------

// The whole file at `path`; ReadError with the system's reason when it
// cannot be opened or read.
std::vector<uint8_t> readFileBytes(const std::string& path);

class OrvFile {
public:
    // Throws ReadError when the file cannot be read or parsed.
    static OrvFile open(const std::string& path);
    // Parses a file image held in memory; throws ReadError.
    explicit OrvFile(std::vector<uint8_t> bytes);

    const std::vector<uint8_t>& bytes() const { return data; }
    uint32_t version() const { return fileVersion; }
    uint32_t slotCount() const { return numSlots; }
    // Used slots (type not 0) in slot order, unknown types included.
    const std::vector<SectionEntry>& sections() const { return entries; }

    // Video and audio sections each in slot order; i out of range throws
    // std::out_of_range.
    size_t videoCount() const { return videoSections.size(); }
    const VideoSection& video(size_t i) const { return videoSections.at(i); }
    size_t audioCount() const { return audioSections.size(); }
    const AudioSection& audio(size_t i) const { return audioSections.at(i); }

    // Frame k of `video` (a section of this file); k >= frameCount throws
    // std::out_of_range, a record that cannot be parsed throws ReadError.
    FrameRecord readFrame(const VideoSection& video, uint32_t k) const;
    // The whole picture of frame k: video.width x video.height RGBA pixels,
    // slices placed on their grid and the padding beyond the picture cropped.
    std::vector<uint8_t> decodeFrame(const VideoSection& video, uint32_t k) const;
    // The samples of the WAV data chunk, interleaved; the section must hold
    // 16-bit PCM and every byte the data size claims.
    std::vector<int16_t> readSamples(const AudioSection& audio) const;

    // Same as orvread::verify(bytes()).
    std::vector<std::string> verify() const;

private:
    std::vector<uint8_t> data;
    uint32_t fileVersion = 0;
    uint32_t numSlots = 0;
    std::vector<SectionEntry> entries;
    std::vector<VideoSection> videoSections;
    std::vector<AudioSection> audioSections;
};

// Checks a whole file image against everything the format promises and
// returns one line per problem ("offset N: what: expected X, found Y", with
// the section, frame, slice and texture it belongs to in front); empty for a
// valid file. It does not stop at the first problem: a structure that cannot
// be parsed is reported once and the checks go on with the next one.
std::vector<std::string> verify(std::span<const uint8_t> file);

}  // namespace orvread
