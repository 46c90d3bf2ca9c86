// What `orv encode` reads from: a video source of fixed-size 8-bit frames
// and, optionally, an audio source of float samples. A media file, raw
// frames and the built-in demo each provide them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvtool {

struct VideoFormat {
    uint32_t width = 0;
    uint32_t height = 0;
    bool bgra = false;      // else RGBA
    bool bottomUp = false;  // the first row in memory is the bottom of the picture
    uint32_t fpsNum = 25;
    uint32_t fpsDen = 1;
    uint64_t expectedFrames = 0;  // 0 when not known in advance (a pipe)
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
    // that only shows at its end (a child's exit status). Throws ToolError.
    virtual void finish() {}
};

struct AudioFormat {
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
    virtual void finish() {}
};

}  // namespace orvtool
