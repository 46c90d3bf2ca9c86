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

struct BufferFreer {
    void operator()(OrvBuffer_st* buffer) const { orvBufferFree(buffer); }
};
using Buffer = std::unique_ptr<OrvBuffer_st, BufferFreer>;

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

uint64_t encodeVideo(Encoder& encoder, int stream, VideoSource& source, int64_t firstPts,
                     ProgressLine& progress, std::string& loss) {
    const VideoFormat& format = source.format();
    const size_t frameBytes = size_t{format.width} * format.height * 4;
    encoder.check(orvBeginStream(encoder.get(), stream), "cannot begin the video stream");
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
        encoder.check(orvEncodeFrame(encoder.get(), &frame),
                      "cannot encode frame " + std::to_string(frame.pts));
        pixels.release();  // accepted: the library frees it
        progress.update(++frames);
    }
    loss = source.finish();
    if (frames == 0)
        throw ToolError("the input holds no video frames");
    encoder.check(orvEndStream(encoder.get()), "cannot finish the video stream");
    return frames;
}

}  // namespace

// ---- Encoder -----------------------------------------------------------------

Encoder::Encoder(const std::string& path, uint32_t threads) {
    OrvEncoderParams_st params{};
    params.numThreads = threads;
    const OrvError_enum result = orvEncoderOpen(path.c_str(), &params, &session);
    if (result != ORV_ERR_NONE) {
        // No session keeps a message; the system's reason is still in errno.
        const int reason = errno;
        throw ToolError(std::string("cannot open the output: ") + orvErrorStr(result) +
                        (reason ? std::string(" (") + std::strerror(reason) + ")" : ""));
    }
}

Encoder::~Encoder() { orvEncoderClose(session); }

void Encoder::check(OrvError_enum result, const std::string& what) const {
    if (result == ORV_ERR_NONE)
        return;
    const char* message = orvGetErrorMessage(session);
    throw ToolError(what + ": " + (message && *message ? message : orvErrorStr(result)));
}

int Encoder::addVideo(const OrvVideoStreamParams_st& params) {
    int stream = -1;
    check(orvAddVideoStream(session, &params, &stream), "cannot add the video stream");
    return stream;
}

int Encoder::addAudio(const AudioFormat& format) {
    OrvAudioStreamParams_st params;
    orvInitAudioStreamParams(&params);
    params.sampleRate = format.sampleRate;
    params.numChannels = format.channels;
    params.channelLayout = channelLayoutFor(format.channels);
    params.timebaseNum = 1;
    params.timebaseDen = format.sampleRate;
    int stream = -1;
    check(orvAddAudioStream(session, &params, &stream), "cannot add the audio stream");
    return stream;
}

void Encoder::finish() { check(orvEncoderFinish(session), "cannot finish the file"); }

uint64_t encodeAudio(Encoder& encoder, int stream, AudioSource& source, std::string& loss) {
    const uint32_t channels = source.format().channels;
    // Chunks of about 64 Ki samples, and at most 4096 sample frames: with
    // many channels the memory stays small.
    const size_t chunkFrames = std::clamp<size_t>((size_t{1} << 16) / channels, 1, 4096);
    std::vector<float> interleaved(chunkFrames * channels);
    // Audio samples are consumed during the call, so one buffer serves all.
    Buffer planar = allocate(chunkFrames * channels * sizeof(float));
    auto* planes = static_cast<float*>(orvBufferData(planar.get()));
    encoder.check(orvBeginStream(encoder.get(), stream), "cannot begin the audio stream");
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
        encoder.check(orvEncodeFrame(encoder.get(), &frame),
                      "cannot encode audio at sample " + std::to_string(samples));
        samples += got;
    }
    loss = source.finish();
    encoder.check(orvEndStream(encoder.get()), "cannot finish the audio stream");
    return samples;
}

// ---- One whole file ------------------------------------------------------------

SessionResult encodeSession(const std::string& path, const SessionSettings& settings,
                            VideoSource& videoSource, AudioSource* audioSource,
                            ProgressLine& progress) {
    Encoder encoder(path, settings.threads);
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
    const int videoStream = encoder.addVideo(video);
    const int audioStream = audioSource ? encoder.addAudio(audioSource->format()) : -1;

    SessionResult result;
    result.frames = encodeVideo(encoder, videoStream, videoSource, settings.firstPts, progress,
                                result.videoLoss);
    progress.done(result.frames);
    if (audioSource)
        result.samples = encodeAudio(encoder, audioStream, *audioSource, result.audioLoss);
    encoder.finish();
    return result;
}

}  // namespace orvtool
