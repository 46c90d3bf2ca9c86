// A plain AVI file (RIFF 'AVI ': hdrl with avih and one strl per stream,
// movi with 00dc video and 01wb audio chunks, idx1 index) with one
// compressed video stream and optionally one PCM audio stream. The file
// stays under 1 GiB, where every reader copes with a plain AVI; OpenDML's
// larger files are not written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace orvtool {

struct AviVideoFormat {
    uint32_t width = 0;
    uint32_t height = 0;
    char fourcc[4] = {};  // codec, as in the stream header and BITMAPINFOHEADER
    uint16_t bitCount = 24;
    uint32_t rate = 25;  // frames per second = rate / scale
    uint32_t scale = 1;
};

struct AviAudioFormat {
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t bitsPerSample = 16;  // signed little-endian PCM
};

class AviWriter {
public:
    static constexpr uint64_t maxFileSize = uint64_t{1} << 30;

    // Writes the headers into the file at `path`, which the caller has
    // created, their sizes and counts to be filled in by finish(). Throws
    // ToolError.
    AviWriter(const std::string& path, const AviVideoFormat& video,
              const std::optional<AviAudioFormat>& audio);
    // Closes the file; a file not finished is incomplete (the caller removes it).
    ~AviWriter();
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // Each throws ToolError when writing fails or the file would pass
    // maxFileSize.
    void addVideoFrame(std::span<const uint8_t> frame);
    void addAudio(std::span<const uint8_t> samples);  // whole sample frames
    // Writes the index and every size and count left open.
    void finish();

private:
    struct IndexEntry {
        char id[4];
        uint32_t flags;
        uint32_t offset;  // of the chunk header, from the 'movi' tag
        uint32_t size;
    };

    void writeHeaders();
    void addChunk(const char id[4], std::span<const uint8_t> data);
    void put(const void* data, size_t size);
    void putTag(const char tag[4]);
    void put16(uint16_t value);
    void put32(uint32_t value);
    uint64_t tell() const;
    void seek(uint64_t offset);
    void patch32(uint64_t offset, uint32_t value);
    [[noreturn]] void fail(const std::string& what) const;

    std::string path;
    FILE* file = nullptr;
    AviVideoFormat video;
    std::optional<AviAudioFormat> audio;
    std::vector<IndexEntry> index;
    uint64_t position = 0;  // the end of what has been written
    uint64_t moviTagAt = 0;
    uint64_t videoFrames = 0;
    uint64_t audioBytes = 0;
    uint32_t largestVideoChunk = 0;
    uint32_t largestAudioChunk = 0;
    // Where the fields that finish() fills in lie.
    uint64_t avihAt = 0;
    uint64_t videoStrhAt = 0;
    uint64_t audioStrhAt = 0;
};

}  // namespace orvtool
