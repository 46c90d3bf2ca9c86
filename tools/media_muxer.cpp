#include "media_muxer.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
}

#include <climits>

#include "command_line.hpp"

namespace orvtool {

namespace {

// libavformat's names of its muxers.
const char* muxerName(Container container) {
    switch (container) {
        case Container::mov: return "mov";
        case Container::avi: return "avi";
        case Container::mkv: return "matroska";
    }
    return "";
}

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace

std::optional<Container> containerForExtension(const std::string& extension) {
    if (extension == ".mov")
        return Container::mov;
    if (extension == ".avi")
        return Container::avi;
    if (extension == ".mkv")
        return Container::mkv;
    return std::nullopt;
}

const char* containerName(Container container) {
    switch (container) {
        case Container::mov: return "MOV";
        case Container::avi: return "AVI";
        case Container::mkv: return "Matroska";
    }
    return "";
}

void MediaMuxer::ContextDeleter::operator()(AVFormatContext* context) const {
    avio_closep(&context->pb);
    avformat_free_context(context);
}

MediaMuxer::MediaMuxer(const std::string& path, const std::string& name, Container container,
                       const VideoTrack& video, const std::optional<AudioTrack>& audio)
    : name(name), video(video), audio(audio) {
    // Only what fails is worth a line; our own message follows it.
    av_log_set_level(AV_LOG_ERROR);
    AVFormatContext* made = nullptr;
    if (const int code =
            avformat_alloc_output_context2(&made, nullptr, muxerName(container), path.c_str());
        code < 0)
        fail("cannot set up a " + std::string(containerName(container)) + " muxer", code);
    context.reset(made);

    videoStream = avformat_new_stream(made, nullptr);
    if (!videoStream)
        throw std::bad_alloc();
    videoStream->time_base = {video.timeBaseNum, video.timeBaseDen};
    if (video.rateNum != 0)
        videoStream->avg_frame_rate = videoStream->r_frame_rate = {video.rateNum, video.rateDen};
    AVCodecParameters* const picture = videoStream->codecpar;
    picture->codec_type = AVMEDIA_TYPE_VIDEO;
    picture->codec_id = AV_CODEC_ID_HAP;
    picture->codec_tag =
        MKTAG(video.codecTag[0], video.codecTag[1], video.codecTag[2], video.codecTag[3]);
    picture->width = static_cast<int>(video.width);
    picture->height = static_cast<int>(video.height);
    picture->bits_per_coded_sample = video.alpha ? 32 : 24;

    if (audio) {
        audioStream = avformat_new_stream(made, nullptr);
        if (!audioStream)
            throw std::bad_alloc();
        audioStream->time_base = {1, static_cast<int>(audio->sampleRate)};
        AVCodecParameters* const sound = audioStream->codecpar;
        sound->codec_type = AVMEDIA_TYPE_AUDIO;
        sound->codec_id = AV_CODEC_ID_PCM_S16LE;
        sound->sample_rate = static_cast<int>(audio->sampleRate);
        av_channel_layout_default(&sound->ch_layout, static_cast<int>(audio->channels));
        sound->bits_per_coded_sample = 16;
        sound->block_align = static_cast<int>(2 * audio->channels);
        sound->bit_rate = int64_t{16} * audio->sampleRate * audio->channels;
    }

    if (const int code = avio_open(&made->pb, path.c_str(), AVIO_FLAG_WRITE); code < 0)
        fail("cannot open " + name + " for writing", code);
    if (const int code = avformat_write_header(made, nullptr); code < 0)
        fail("cannot write the head of " + name, code);
}

MediaMuxer::~MediaMuxer() = default;

void MediaMuxer::write(std::vector<uint8_t>&& bytes, AVStream* stream, int64_t time,
                       int64_t duration, int numerator, int denominator) {
    if (bytes.size() > INT_MAX)
        throw ToolError("a frame of " + std::to_string(bytes.size()) +
                        " bytes is more than a container's 2 GiB packets hold");
    // The packet shares the bytes: their vector goes with the packet's last
    // reference.
    auto owned = std::make_unique<std::vector<uint8_t>>(std::move(bytes));
    AVPacket* packet = av_packet_alloc();
    if (!packet)
        throw std::bad_alloc();
    packet->buf = av_buffer_create(
        owned->data(), owned->size(),
        [](void* vector, uint8_t*) { delete static_cast<std::vector<uint8_t>*>(vector); },
        owned.get(), 0);
    if (!packet->buf) {
        av_packet_free(&packet);
        throw std::bad_alloc();
    }
    packet->data = owned->data();
    packet->size = static_cast<int>(owned.release()->size());
    packet->stream_index = stream->index;
    packet->pts = packet->dts = time;
    packet->duration = duration;
    packet->flags = AV_PKT_FLAG_KEY;
    av_packet_rescale_ts(packet, {numerator, denominator}, stream->time_base);
    const int code = av_interleaved_write_frame(context.get(), packet);
    av_packet_free(&packet);
    if (code < 0)
        fail("cannot write " + name, code);
}

void MediaMuxer::writeVideo(std::vector<uint8_t>&& frame, int64_t time, int64_t duration) {
    write(std::move(frame), videoStream, time, duration, video.timeBaseNum, video.timeBaseDen);
}

void MediaMuxer::writeAudio(std::vector<uint8_t>&& samples, uint64_t firstSample) {
    const int64_t count = static_cast<int64_t>(samples.size() / (2 * audio->channels));
    write(std::move(samples), audioStream, static_cast<int64_t>(firstSample), count, 1,
          static_cast<int>(audio->sampleRate));
}

void MediaMuxer::finish() {
    if (const int code = av_write_trailer(context.get()); code < 0)
        fail("cannot finish " + name, code);
    if (const int code = avio_closep(&context->pb); code < 0)
        fail("cannot close " + name, code);
}

void MediaMuxer::fail(const std::string& what, int code) const {
    throw ToolError(what + ": " + errorText(code));
}

}  // namespace orvtool
