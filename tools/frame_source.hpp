// What `orv encode` reads from: a video source of fixed-size 8-bit frames
// and, optionally, an audio source of float samples. A media file, raw
// frames and the built-in demo each provide them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orvtool {

struct VideoFormat {
    uint32_t width = 0;
    uint32_t height = 0;
    bool bgra = false;      // else RGBA
    bool bottomUp = false;  // the first row in memory is the bottom of the picture
    uint32_t fpsNum = 25;
    uint32_t fpsDen = 1;
    uint64_t expectedFrames = 0;  // 0 when not known in advance (a pipe)
    // The count comes from a duration, so the last frame may round either way.
    bool expectedIsEstimate = false;
    // The input's own pixel format as ffmpeg names it ("yuva420p"), and
    // whether it carries an alpha channel.
    std::string pixelFormat = "rgba";
    bool hasAlpha = true;
};

class VideoSource {
public:
    virtual ~VideoSource() = default;
    virtual const VideoFormat& format() const = 0;
    // Fills width x height x 4 tightly packed bytes with the next frame;
    // false once the frames have ended. Throws ToolError when the input
    // fails or ends inside a frame.
    virtual bool readFrame(uint8_t* pixels) = 0;
    // Called once every frame has been read: reports a failure of the input
    // that only shows at its end (a child's exit status) as ToolError, and
    // returns what was lost on the way without failing (ffmpeg's decoding
    // errors), or "" when nothing was.
    virtual std::string finish() { return ""; }
};

struct AudioFormat {
    // A WAV block of 16-bit samples holds at most 65535 bytes.
    static constexpr uint32_t maxChannels = 32767;

    uint32_t sampleRate = 0;
    uint32_t channels = 0;
};

class AudioSource {
public:
    virtual ~AudioSource() = default;
    virtual const AudioFormat& format() const = 0;
    // Up to maxFrames sample frames, interleaved (channels floats each, full
    // scale 1.0); returns the frames delivered, 0 at the end. Throws
    // ToolError.
    virtual size_t read(float* interleaved, size_t maxFrames) = 0;
    // As VideoSource::finish.
    virtual std::string finish() { return ""; }
};

// Frames `first` up to, not including, `end` of an input, counted from 0.
struct FrameRange {
    static constexpr uint64_t toTheEnd = UINT64_MAX;

    uint64_t first = 0;
    uint64_t end = toTheEnd;

    bool whole() const { return first == 0 && end == toTheEnd; }
};

// How many of `known` frames (0: unknown) a range keeps; for an unknown
// count, the range's own length when it has an end.
uint64_t framesKept(uint64_t known, FrameRange frames);

// The first sample frame that belongs to video frame k or later:
// floor(k x sampleRate / fps), exact for any sizes the formats allow, so
// that ranges that meet in frames meet in samples too.
uint64_t sampleAtFrame(uint64_t k, uint32_t sampleRate, uint32_t fpsNum, uint32_t fpsDen);
// The sample frame that plays `ticks` ticks of num/den seconds after sample
// 0: floor(ticks x num x sampleRate / den), exact for any values, UINT64_MAX
// when beyond it or when den is 0.
uint64_t sampleAtTicks(uint64_t ticks, uint64_t num, uint64_t den, uint32_t sampleRate);

// "A:B" with A < B, or "A:" to the end, as the value of `option`. Throws
// UsageError.
FrameRange parseFrameRange(const std::string& text, const std::string& option);

// A source narrowed to a range, for inputs that cannot skip by themselves:
// what comes before is read and dropped, what comes after is not read.
std::unique_ptr<VideoSource> videoRange(std::unique_ptr<VideoSource> source, FrameRange frames);
std::unique_ptr<AudioSource> audioRange(std::unique_ptr<AudioSource> source, uint64_t firstSample,
                                        uint64_t endSample);

}  // namespace orvtool
