#include "avi_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "command_line.hpp"

namespace orvtool {

namespace {

// ---- Codes and sizes stored in an AVI file ----------------------------------

constexpr uint32_t avihSize = 56;  // MainAVIHeader
constexpr uint32_t strhSize = 56;  // AVIStreamHeader
constexpr uint32_t bitmapInfoSize = 40;
constexpr uint32_t waveFormatSize = 18;  // WAVEFORMATEX with its cbSize field
constexpr uint32_t indexEntrySize = 16;
constexpr uint32_t chunkHeaderSize = 8;

constexpr uint32_t avifHasIndex = 0x10;
constexpr uint32_t avifIsInterleaved = 0x100;
constexpr uint32_t aviifKeyframe = 0x10;
constexpr uint16_t waveFormatPcm = 1;

// Field offsets inside the headers that finish() completes.
constexpr uint64_t avihMaxBytesPerSecAt = 4;
constexpr uint64_t avihTotalFramesAt = 16;
constexpr uint64_t avihSuggestedBufferAt = 28;
constexpr uint64_t strhLengthAt = 32;
constexpr uint64_t strhSuggestedBufferAt = 36;

constexpr char videoChunkId[4] = {'0', '0', 'd', 'c'};
constexpr char audioChunkId[4] = {'0', '1', 'w', 'b'};

uint64_t padded(uint64_t size) {
    return size + (size & 1);
}

}  // namespace

AviWriter::AviWriter(const std::string& path, const AviVideoFormat& video,
                     const std::optional<AviAudioFormat>& audio)
    : path(path), video(video), audio(audio) {
    file = std::fopen(path.c_str(), "wb");
    if (!file)
        throw ToolError("cannot create " + path + ": " + std::strerror(errno));
    try {
        writeHeaders();
    } catch (...) {
        // No destructor runs for a constructor that throws.
        std::fclose(file);
        throw;
    }
}

void AviWriter::writeHeaders() {
    const uint32_t streams = audio ? 2 : 1;
    const uint32_t videoStrl = 4 + chunkHeaderSize + strhSize + chunkHeaderSize + bitmapInfoSize;
    const uint32_t audioStrl = 4 + chunkHeaderSize + strhSize + chunkHeaderSize + waveFormatSize;
    const uint32_t hdrl = 4 + chunkHeaderSize + avihSize + chunkHeaderSize + videoStrl +
                          (audio ? chunkHeaderSize + audioStrl : 0);

    putTag("RIFF");
    put32(0);  // finish()
    putTag("AVI ");
    putTag("LIST");
    put32(hdrl);
    putTag("hdrl");

    putTag("avih");
    put32(avihSize);
    avihAt = tell();
    put32(static_cast<uint32_t>(std::llround(1e6 * video.scale / video.rate)));
    put32(0);  // max bytes per second: finish()
    put32(0);  // padding granularity
    put32(avifHasIndex | avifIsInterleaved);
    put32(0);  // total frames: finish()
    put32(0);  // initial frames
    put32(streams);
    put32(0);  // suggested buffer size: finish()
    put32(video.width);
    put32(video.height);
    for (int i = 0; i < 4; ++i)
        put32(0);

    putTag("LIST");
    put32(videoStrl);
    putTag("strl");
    putTag("strh");
    put32(strhSize);
    videoStrhAt = tell();
    putTag("vids");
    putTag(video.fourcc);
    put32(0);  // flags
    put16(0);  // priority
    put16(0);  // language
    put32(0);  // initial frames
    put32(video.scale);
    put32(video.rate);
    put32(0);           // start
    put32(0);           // length: finish()
    put32(0);           // suggested buffer size: finish()
    put32(UINT32_MAX);  // quality: the default
    put32(0);           // sample size: frames vary
    put16(0);
    put16(0);
    put16(static_cast<uint16_t>(video.width));
    put16(static_cast<uint16_t>(video.height));
    putTag("strf");
    put32(bitmapInfoSize);
    put32(bitmapInfoSize);
    put32(video.width);
    put32(video.height);  // positive: top-down does not apply to compressed frames
    put16(1);             // planes
    put16(video.bitCount);
    putTag(video.fourcc);
    put32(static_cast<uint32_t>(uint64_t{video.width} * video.height * video.bitCount / 8));
    for (int i = 0; i < 4; ++i)
        put32(0);

    if (audio) {
        const uint16_t blockAlign =
            static_cast<uint16_t>(audio->channels * audio->bitsPerSample / 8);
        putTag("LIST");
        put32(audioStrl);
        putTag("strl");
        putTag("strh");
        put32(strhSize);
        audioStrhAt = tell();
        putTag("auds");
        put32(0);  // handler
        put32(0);
        put16(0);
        put16(0);
        put32(0);
        // One unit is one sample frame: rate / scale = samples per second.
        put32(blockAlign);
        put32(audio->sampleRate * blockAlign);
        put32(0);
        put32(0);  // length in sample frames: finish()
        put32(0);  // suggested buffer size: finish()
        put32(UINT32_MAX);
        put32(blockAlign);
        for (int i = 0; i < 4; ++i)
            put16(0);
        putTag("strf");
        put32(waveFormatSize);
        put16(waveFormatPcm);
        put16(audio->channels);
        put32(audio->sampleRate);
        put32(audio->sampleRate * blockAlign);
        put16(blockAlign);
        put16(audio->bitsPerSample);
        put16(0);  // no extra format bytes
    }

    putTag("LIST");
    put32(0);  // finish()
    moviTagAt = tell();
    putTag("movi");
}

AviWriter::~AviWriter() {
    if (file)
        std::fclose(file);
}

void AviWriter::addVideoFrame(std::span<const uint8_t> frame) {
    addChunk(videoChunkId, frame);
    ++videoFrames;
    largestVideoChunk = std::max(largestVideoChunk, static_cast<uint32_t>(frame.size()));
}

void AviWriter::addAudio(std::span<const uint8_t> samples) {
    addChunk(audioChunkId, samples);
    audioBytes += samples.size();
    largestAudioChunk = std::max(largestAudioChunk, static_cast<uint32_t>(samples.size()));
}

void AviWriter::addChunk(const char id[4], std::span<const uint8_t> data) {
    // The index grows with every chunk, so it counts against the limit too.
    const uint64_t after = position + chunkHeaderSize + padded(data.size()) + chunkHeaderSize +
                           uint64_t{indexEntrySize} * (index.size() + 1);
    if (after > maxFileSize)
        throw ToolError(
            "the AVI would grow past 1 GiB, the most a plain AVI file holds here "
            "(OpenDML is not written); remux a shorter file");
    IndexEntry entry;
    std::memcpy(entry.id, id, 4);
    entry.flags = aviifKeyframe;
    entry.offset = static_cast<uint32_t>(position - moviTagAt);
    entry.size = static_cast<uint32_t>(data.size());
    index.push_back(entry);
    putTag(id);
    put32(static_cast<uint32_t>(data.size()));
    put(data.data(), data.size());
    if (data.size() & 1)
        put("", 1);
}

void AviWriter::finish() {
    const uint64_t moviEnd = position;
    putTag("idx1");
    put32(static_cast<uint32_t>(index.size() * indexEntrySize));
    for (const IndexEntry& entry : index) {
        putTag(entry.id);
        put32(entry.flags);
        put32(entry.offset);
        put32(entry.size);
    }
    const uint64_t end = position;

    const double seconds = videoFrames * static_cast<double>(video.scale) / video.rate;
    const double bytesPerSecond = seconds > 0 ? (moviEnd - moviTagAt) / seconds : 0;
    patch32(4, static_cast<uint32_t>(end - 8));
    patch32(moviTagAt - 4, static_cast<uint32_t>(moviEnd - moviTagAt));
    patch32(avihAt + avihMaxBytesPerSecAt, static_cast<uint32_t>(std::min(bytesPerSecond, 4e9)));
    patch32(avihAt + avihTotalFramesAt, static_cast<uint32_t>(videoFrames));
    patch32(avihAt + avihSuggestedBufferAt,
            std::max(largestVideoChunk, largestAudioChunk) + chunkHeaderSize);
    patch32(videoStrhAt + strhLengthAt, static_cast<uint32_t>(videoFrames));
    patch32(videoStrhAt + strhSuggestedBufferAt, largestVideoChunk);
    if (audio) {
        const uint32_t blockAlign = audio->channels * audio->bitsPerSample / 8;
        patch32(audioStrhAt + strhLengthAt, static_cast<uint32_t>(audioBytes / blockAlign));
        patch32(audioStrhAt + strhSuggestedBufferAt, largestAudioChunk);
    }
    if (std::fflush(file) != 0)
        fail("write");
    const int closed = std::fclose(file);
    file = nullptr;
    if (closed != 0)
        fail("write");
}

void AviWriter::put(const void* data, size_t size) {
    if (size > 0 && std::fwrite(data, 1, size, file) != size)
        fail("write");
    position += size;
}

void AviWriter::putTag(const char tag[4]) {
    put(tag, 4);
}

void AviWriter::put16(uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    put(bytes, 2);
}

void AviWriter::put32(uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    put(bytes, 4);
}

uint64_t AviWriter::tell() const {
    return position;
}

void AviWriter::seek(uint64_t offset) {
    if (fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0)
        fail("seek in");
    position = offset;
}

void AviWriter::patch32(uint64_t offset, uint32_t value) {
    const uint64_t end = position;
    seek(offset);
    put32(value);
    seek(end);
}

void AviWriter::fail(const std::string& what) const {
    throw ToolError("cannot " + what + " " + path + ": " + std::strerror(errno));
}

}  // namespace orvtool
