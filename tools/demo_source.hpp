// The built-in demo of `orv encode --demo`: a moving, detailed scene with a
// varying alpha channel and a stereo tone, the same bytes on every run so
// that a test can render any frame again and compare.
#pragma once

#include <cstdint>

#include "frame_source.hpp"

namespace orvtool {

struct DemoSettings {
    uint32_t width = 1920;
    uint32_t height = 1080;
    uint32_t fpsNum = 25;
    uint32_t fpsDen = 1;
    uint32_t frameCount = 75;  // 3 s at 25 fps
    uint32_t sampleRate = 48000;
    static constexpr uint32_t channels = 2;

    uint64_t sampleCount() const;  // audio as long as the video
};

// Frame k as width x height x 4 RGBA bytes, top row first, tightly packed.
void renderDemoFrame(const DemoSettings& settings, uint32_t k, uint8_t* rgba);
// `count` sample frames from `first` on, interleaved left and right.
void renderDemoAudio(const DemoSettings& settings, uint64_t first, size_t count,
                     float* interleaved);

class DemoVideoSource : public VideoSource {
public:
    explicit DemoVideoSource(const DemoSettings& settings);
    const VideoFormat& format() const override { return videoFormat; }
    bool readFrame(uint8_t* pixels) override;

private:
    DemoSettings settings;
    VideoFormat videoFormat;
    uint32_t next = 0;
};

class DemoAudioSource : public AudioSource {
public:
    explicit DemoAudioSource(const DemoSettings& settings);
    const AudioFormat& format() const override { return audioFormat; }
    size_t read(float* interleaved, size_t maxFrames) override;

private:
    DemoSettings settings;
    AudioFormat audioFormat;
    uint64_t next = 0;
};

}  // namespace orvtool
