#include "raw_input.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "child_process.hpp"

namespace orvtool {

namespace {

// An open file descriptor, closed on destruction unless it is standard input.
class InputFile {
public:
    explicit InputFile(const std::string& path) : name(path == "-" ? "standard input" : path) {
        if (path == "-") {
            fd = STDIN_FILENO;
            return;
        }
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw ToolError("cannot open " + path + ": " + std::strerror(errno));
    }
    ~InputFile() {
        if (fd != STDIN_FILENO)
            close(fd);
    }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    size_t read(void* data, size_t size) { return readFully(fd, data, size, name); }
    // The size of a regular file; 0 for pipes and terminals.
    uint64_t regularSize() const {
        struct stat info {};
        return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? uint64_t(info.st_size) : 0;
    }

    const std::string name;

private:
    int fd = -1;
};

class RawVideoSource : public VideoSource {
public:
    RawVideoSource(const std::string& path, const VideoFormat& format)
        : input(path), videoFormat(format) {
        videoFormat.expectedFrames = input.regularSize() / frameSize();
        videoFormat.pixelFormat = format.bgra ? "bgra" : "rgba";
        videoFormat.hasAlpha = true;
    }
    const VideoFormat& format() const override { return videoFormat; }

    bool readFrame(uint8_t* pixels) override {
        const size_t got = input.read(pixels, frameSize());
        if (got == frameSize()) {
            ++frames;
            return true;
        }
        if (got == 0)
            return false;
        throw ToolError(input.name + " ends inside frame " + std::to_string(frames) + " (" +
                        std::to_string(got) + " of " + std::to_string(frameSize()) +
                        " bytes); check --size");
    }

private:
    size_t frameSize() const { return size_t{videoFormat.width} * videoFormat.height * 4; }

    InputFile input;
    VideoFormat videoFormat;
    uint64_t frames = 0;
};

// ---- WAV -------------------------------------------------------------------

// Codes stored in a WAV file's format chunk.
constexpr uint16_t wavePcm = 1;
constexpr uint16_t waveFloat = 3;
constexpr uint16_t waveExtensible = 0xFFFE;
// What writers that cannot seek back leave as the data size (some leave 0).
constexpr uint32_t unknownDataSize = 0xFFFFFFFF;
// A format chunk with the extensible sub-format; plain ones hold 16 bytes.
constexpr uint32_t extensibleFormatSize = 40;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

class WavAudioSource : public AudioSource {
public:
    explicit WavAudioSource(const std::string& path) : input(path) {
        uint8_t riff[12];
        if (input.read(riff, 12) != 12 || std::memcmp(riff, "RIFF", 4) != 0 ||
            std::memcmp(riff + 8, "WAVE", 4) != 0)
            throw ToolError(path + " is not a WAV file (no RIFF/WAVE header)");
        bool haveFormat = false;
        for (;;) {
            uint8_t chunk[8];
            if (input.read(chunk, 8) != 8)
                throw ToolError(path + " ends before its data chunk");
            const uint32_t size = le32(chunk + 4);
            if (std::memcmp(chunk, "fmt ", 4) == 0) {
                readFormat(size);
                haveFormat = true;
            } else if (std::memcmp(chunk, "data", 4) == 0) {
                if (!haveFormat)
                    throw ToolError(path + " has its data chunk before its format chunk");
                // A pipe's writer cannot come back to fill in the size; a
                // regular file with 0 really holds no samples.
                toEnd = size == unknownDataSize || (size == 0 && input.regularSize() == 0);
                remaining = size;
                return;
            } else {
                skip(uint64_t{size} + (size & 1));
            }
        }
    }
    const AudioFormat& format() const override { return audioFormat; }

    size_t read(float* interleaved, size_t maxFrames) override {
        const size_t frameBytes = size_t{audioFormat.channels} * bytesPerSample;
        size_t want = maxFrames * frameBytes;
        if (!toEnd && want > remaining)
            want = static_cast<size_t>(remaining - remaining % frameBytes);
        raw.resize(want);
        const size_t got = input.read(raw.data(), want);
        if (got % frameBytes != 0)
            throw ToolError(input.name + " ends inside a sample frame");
        if (!toEnd && got < want)
            throw ToolError(input.name + " ends before the end of its data chunk");
        remaining -= got;
        const size_t values = got / bytesPerSample;
        for (size_t i = 0; i < values; ++i)
            interleaved[i] = sampleAt(raw.data() + i * bytesPerSample);
        return got / frameBytes;
    }

private:
    void readFormat(uint32_t size) {
        if (size < 16)
            throw ToolError(input.name + ": format chunk of " + std::to_string(size) +
                            " bytes is too short");
        // Only the first bytes matter here; the rest is skipped as it
        // arrives, so that a size in the header allocates nothing.
        uint8_t body[extensibleFormatSize] = {};
        const size_t used = std::min<size_t>(size, sizeof body);
        if (input.read(body, used) != used)
            throw ToolError(input.name + " ends inside its format chunk");
        skip(uint64_t{size} - used + (size & 1));
        tag = le16(&body[0]);
        audioFormat.channels = le16(&body[2]);
        audioFormat.sampleRate = le32(&body[4]);
        const uint16_t bits = le16(&body[14]);
        // The sub-format GUID begins with the plain format code.
        if (tag == waveExtensible && size >= extensibleFormatSize)
            tag = le16(&body[24]);
        const bool supported = (tag == wavePcm && (bits == 16 || bits == 24 || bits == 32)) ||
                               (tag == waveFloat && bits == 32);
        if (!supported)
            throw ToolError(input.name + ": WAV samples of format " + std::to_string(tag) +
                            " with " + std::to_string(bits) +
                            " bits are not supported; use 16-bit, 24-bit or 32-bit integer PCM "
                            "or 32-bit float");
        if (audioFormat.channels == 0 || audioFormat.sampleRate == 0)
            throw ToolError(input.name + " declares " + counted(audioFormat.channels, "channel") +
                            " at " + std::to_string(audioFormat.sampleRate) + " Hz");
        if (audioFormat.channels > AudioFormat::maxChannels)
            throw ToolError(input.name + " declares " + counted(audioFormat.channels, "channel") +
                            "; an ORV file holds at most " +
                            std::to_string(AudioFormat::maxChannels));
        bytesPerSample = bits / 8;
    }

    void skip(uint64_t size) {
        uint8_t scrap[4096];
        while (size > 0) {
            const size_t step = size < sizeof scrap ? static_cast<size_t>(size) : sizeof scrap;
            if (input.read(scrap, step) != step)
                throw ToolError(input.name + " ends before its data chunk");
            size -= step;
        }
    }

    float sampleAt(const uint8_t* p) const {
        if (tag == waveFloat) {
            float value;
            std::memcpy(&value, p, 4);
            return value;
        }
        switch (bytesPerSample) {
            case 2: return static_cast<int16_t>(le16(p)) / 32768.0f;
            case 3: {
                // Shifting into the top of 32 bits extends the sign.
                const int32_t v = static_cast<int32_t>((p[0] << 8) | (p[1] << 16) |
                                                       (static_cast<uint32_t>(p[2]) << 24));
                return static_cast<float>(v / 2147483648.0);
            }
            default: return static_cast<float>(static_cast<int32_t>(le32(p)) / 2147483648.0);
        }
    }

    InputFile input;
    AudioFormat audioFormat;
    uint16_t tag = 0;
    uint32_t bytesPerSample = 0;
    bool toEnd = false;
    uint64_t remaining = 0;
    std::vector<uint8_t> raw;
};

}  // namespace

std::unique_ptr<VideoSource> openRawVideo(const std::string& path, VideoFormat format) {
    return std::make_unique<RawVideoSource>(path, format);
}

std::unique_ptr<AudioSource> openWavAudio(const std::string& path) {
    return std::make_unique<WavAudioSource>(path);
}

}  // namespace orvtool
