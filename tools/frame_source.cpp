#include "frame_source.hpp"

#include <algorithm>

#include "command_line.hpp"

namespace orvtool {

namespace {

class VideoRange : public VideoSource {
public:
    VideoRange(std::unique_ptr<VideoSource> source, FrameRange frames)
        : source(std::move(source)), frames(frames), narrowed(this->source->format()) {
        narrowed.expectedFrames = framesKept(narrowed.expectedFrames, frames);
    }
    const VideoFormat& format() const override { return narrowed; }

    bool readFrame(uint8_t* pixels) override {
        for (; position < frames.first; ++position)
            if (!source->readFrame(pixels))
                return false;
        if (position >= frames.end || !source->readFrame(pixels))
            return false;
        ++position;
        return true;
    }
    std::string finish() override { return source->finish(); }

private:
    std::unique_ptr<VideoSource> source;
    FrameRange frames;
    VideoFormat narrowed;
    uint64_t position = 0;  // frames of the source read so far
};

class AudioRange : public AudioSource {
public:
    AudioRange(std::unique_ptr<AudioSource> source, uint64_t firstSample, uint64_t endSample)
        : source(std::move(source)), first(firstSample), end(endSample) {}
    const AudioFormat& format() const override { return source->format(); }

    size_t read(float* interleaved, size_t maxFrames) override {
        while (position < first) {
            const size_t skipped =
                source->read(interleaved, static_cast<size_t>(std::min<uint64_t>(
                                              maxFrames, first - position)));
            if (skipped == 0)
                return 0;
            position += skipped;
        }
        const auto wanted = static_cast<size_t>(std::min<uint64_t>(maxFrames, end - position));
        const size_t got = wanted > 0 ? source->read(interleaved, wanted) : 0;
        position += got;
        return got;
    }
    std::string finish() override { return source->finish(); }

private:
    std::unique_ptr<AudioSource> source;
    uint64_t first;
    uint64_t end;
    uint64_t position = 0;  // sample frames of the source read so far
};

}  // namespace

uint64_t framesKept(uint64_t known, FrameRange frames) {
    if (known > 0)
        return std::min(known, frames.end) - std::min(known, frames.first);
    return frames.end == FrameRange::toTheEnd ? 0 : frames.end - frames.first;
}

uint64_t sampleAtFrame(uint64_t k, uint32_t sampleRate, uint32_t fpsNum, uint32_t fpsDen) {
    if (k == FrameRange::toTheEnd)
        return UINT64_MAX;
    return sampleAtTicks(k, fpsDen, fpsNum, sampleRate);
}

uint64_t sampleAtTicks(uint64_t ticks, uint64_t num, uint64_t den, uint32_t sampleRate) {
    using Wide = unsigned __int128;
    if (den == 0)
        return UINT64_MAX;
    // ticks x num is exact in 128 bits; the rate joins the whole seconds
    // and the remainder apart, so that nothing wraps.
    const Wide time = Wide{ticks} * num;
    const Wide whole = time / den;
    if (sampleRate != 0 && whole > UINT64_MAX / sampleRate)
        return UINT64_MAX;
    const Wide samples = whole * sampleRate + time % den * sampleRate / den;
    return samples > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(samples);
}

FrameRange parseFrameRange(const std::string& text, const std::string& option) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        throw UsageError(option + ": expected A:B or A:, found '" + text + "'");
    FrameRange range;
    range.first = parseUnsigned(text.substr(0, colon), option, 0, UINT32_MAX - 1);
    if (colon + 1 < text.size())
        range.end = parseUnsigned(text.substr(colon + 1), option, range.first + 1, UINT32_MAX);
    return range;
}

std::unique_ptr<VideoSource> videoRange(std::unique_ptr<VideoSource> source, FrameRange frames) {
    if (frames.whole())
        return source;
    return std::make_unique<VideoRange>(std::move(source), frames);
}

std::unique_ptr<AudioSource> audioRange(std::unique_ptr<AudioSource> source, uint64_t firstSample,
                                        uint64_t endSample) {
    if (firstSample == 0 && endSample == UINT64_MAX)
        return source;
    return std::make_unique<AudioRange>(std::move(source), firstSample, endSample);
}

}  // namespace orvtool
