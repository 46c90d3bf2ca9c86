#include "encode_session.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "command_line.hpp"
#include "orv.h"

namespace orvtool {

namespace {

struct EncoderCloser {
    void operator()(OrvEnc* encoder) const { orvEncoderClose(encoder); }
};
using Encoder = std::unique_ptr<OrvEnc, EncoderCloser>;

struct BufferFreer {
    void operator()(OrvBuffer_st* buffer) const { orvBufferFree(buffer); }
};
using Buffer = std::unique_ptr<OrvBuffer_st, BufferFreer>;

// Turns a refused call into the library's own message.
void check(OrvError_enum result, OrvEnc* encoder, const std::string& what) {
    if (result == ORV_ERR_NONE)
        return;
    const char* message = orvGetErrorMessage(encoder);
    throw ToolError(what + ": " + (message && *message ? message : orvErrorStr(result)));
}

Buffer allocate(size_t size) {
    Buffer buffer(orvBufferAlloc(size));
    if (!buffer)
        throw ToolError("out of memory for a buffer of " + std::to_string(size) + " bytes");
    return buffer;
}

uint32_t channelLayoutFor(uint32_t channels) {
    switch (channels) {
        case 1: return ORV_CHANNEL_LAYOUT_MONO;
        case 2: return ORV_CHANNEL_LAYOUT_STEREO;
        case 6: return ORV_CHANNEL_LAYOUT_SIX_CHANNELS;
        default: return ORV_CHANNEL_LAYOUT_ANY;
    }
}

uint64_t encodeVideo(OrvEnc* encoder, int stream, VideoSource& source, int64_t firstPts,
                     ProgressLine& progress, std::string& loss) {
    const VideoFormat& format = source.format();
    const size_t frameBytes = size_t{format.width} * format.height * 4;
    check(orvBeginStream(encoder, stream), encoder, "cannot begin the video stream");
    uint64_t frames = 0;
    for (;;) {
        Buffer pixels = allocate(frameBytes);
        if (!source.readFrame(static_cast<uint8_t*>(orvBufferData(pixels.get()))))
            break;
        OrvSrcFrame_st frame{};
        frame.width = format.width;
        frame.height = format.height;
        frame.stride = format.width * 4;
        frame.pixFmt = format.bgra ? ORV_SRC_PIX_FMT_BGRA32 : ORV_SRC_PIX_FMT_RGBA32;
        frame.origin = format.bottomUp ? 1 : 0;
        frame.pts = firstPts + static_cast<int64_t>(frames);
        frame.buffer = pixels.get();
        check(orvEncodeFrame(encoder, &frame), encoder,
              "cannot encode frame " + std::to_string(frame.pts));
        pixels.release();  // accepted: the library frees it
        progress.update(++frames);
    }
    loss = source.finish();
    if (frames == 0)
        throw ToolError("the input holds no video frames");
    check(orvEndStream(encoder), encoder, "cannot finish the video stream");
    return frames;
}

uint64_t encodeAudio(OrvEnc* encoder, int stream, AudioSource& source, std::string& loss) {
    const uint32_t channels = source.format().channels;
    // Chunks of about 64 Ki samples, and at most 4096 sample frames: with
    // many channels the memory stays small.
    const size_t chunkFrames = std::clamp<size_t>((size_t{1} << 16) / channels, 1, 4096);
    std::vector<float> interleaved(chunkFrames * channels);
    // Audio samples are consumed during the call, so one buffer serves all.
    Buffer planar = allocate(chunkFrames * channels * sizeof(float));
    auto* planes = static_cast<float*>(orvBufferData(planar.get()));
    check(orvBeginStream(encoder, stream), encoder, "cannot begin the audio stream");
    uint64_t samples = 0;
    size_t got;
    while ((got = source.read(interleaved.data(), chunkFrames)) > 0) {
        for (uint32_t c = 0; c < channels; ++c)
            for (size_t i = 0; i < got; ++i)
                planes[c * got + i] = interleaved[i * channels + c];
        OrvSrcFrame_st frame{};
        frame.numSamples = static_cast<uint32_t>(got);
        frame.pts = static_cast<int64_t>(samples);
        frame.buffer = planar.get();
        check(orvEncodeFrame(encoder, &frame), encoder,
              "cannot encode audio at sample " + std::to_string(samples));
        samples += got;
    }
    loss = source.finish();
    check(orvEndStream(encoder), encoder, "cannot finish the audio stream");
    return samples;
}

}  // namespace

SessionResult encodeSession(const std::string& path, const SessionSettings& settings,
                            VideoSource& videoSource, AudioSource* audioSource,
                            ProgressLine& progress) {
    OrvEncoderParams_st encoderParams{};
    encoderParams.numThreads = settings.threads;
    OrvEnc* opened = nullptr;
    const OrvError_enum openResult = orvEncoderOpen(path.c_str(), &encoderParams, &opened);
    if (openResult != ORV_ERR_NONE) {
        // No session keeps a message; the system's reason is still in errno.
        const int reason = errno;
        throw ToolError(std::string("cannot open the output: ") + orvErrorStr(openResult) +
                        (reason ? std::string(" (") + std::strerror(reason) + ")" : ""));
    }
    Encoder encoder(opened);

    const VideoFormat& format = videoSource.format();
    OrvVideoStreamParams_st video;
    orvInitVideoStreamParams(&video);
    video.width = format.width;
    video.height = format.height;
    video.timebaseNum = format.fpsDen;  // pts count frames
    video.timebaseDen = format.fpsNum;
    video.fpsNum = format.fpsNum;
    video.fpsDen = format.fpsDen;
    video.format = settings.format;
    video.compression = settings.compression;
    video.compressionHint = settings.level;
    if (settings.maxParallel)
        video.maxParallel = settings.maxParallel;
    int videoStream = -1;
    check(orvAddVideoStream(encoder.get(), &video, &videoStream), encoder.get(),
          "cannot add the video stream");

    int audioStream = -1;
    if (audioSource) {
        const AudioFormat& audioFormat = audioSource->format();
        OrvAudioStreamParams_st audio;
        orvInitAudioStreamParams(&audio);
        audio.sampleRate = audioFormat.sampleRate;
        audio.numChannels = audioFormat.channels;
        audio.channelLayout = channelLayoutFor(audioFormat.channels);
        audio.timebaseNum = 1;
        audio.timebaseDen = audioFormat.sampleRate;
        check(orvAddAudioStream(encoder.get(), &audio, &audioStream), encoder.get(),
              "cannot add the audio stream");
    }

    SessionResult result;
    result.frames = encodeVideo(encoder.get(), videoStream, videoSource, settings.firstPts,
                                progress, result.videoLoss);
    progress.done(result.frames);
    if (audioSource)
        result.samples =
            encodeAudio(encoder.get(), audioStream, *audioSource, result.audioLoss);
    check(orvEncoderFinish(encoder.get()), encoder.get(), "cannot finish the file");
    return result;
}

}  // namespace orvtool
