#include "remux.hpp"

#include <algorithm>
#include <climits>
#include <memory>
#include <optional>
#include <thread>

#include "command_line.hpp"
#include "hap_frame_packer.hpp"
#include "orv_file.hpp"
#include "orv_reader.h"
#include "ordered_work.hpp"
#include "progress.hpp"
#include "remux_timing.hpp"

namespace orvtool {

namespace {

// Frames read and packed ahead of the writer may hold this much at once,
// besides one texture buffer per worker.
constexpr uint64_t bytesInFlight = uint64_t{512} << 20;

// The audio of the exported frames, read and handed to the muxer in steps
// of at most a second as the video reaches it.
class AudioFeed {
public:
    AudioFeed(const OrvFile& file, uint32_t section, const OrvReaderAudioInfo_st& info,
              uint64_t first, uint64_t end)
        : file(file), section(section), info(info), first(first), end(end) {}

    uint64_t written() const { return done; }

    // Writes the track's samples up to, not including, output sample `until`.
    void writeUntil(uint64_t until, MediaMuxer& muxer) {
        const uint64_t stop = std::min(until, end - first);
        while (done < stop) {
            const uint64_t count = std::min<uint64_t>(stop - done, info.sampleRate);
            std::vector<int16_t> samples(count * info.numChannels);
            file.check(orvReaderReadAudio(file.get(), section, first + done, count, samples.data()),
                       "audio");
            std::vector<uint8_t> bytes(samples.size() * 2);
            for (size_t i = 0; i < samples.size(); ++i) {
                const auto sample = static_cast<uint16_t>(samples[i]);
                bytes[2 * i] = static_cast<uint8_t>(sample);
                bytes[2 * i + 1] = static_cast<uint8_t>(sample >> 8);
            }
            muxer.writeAudio(std::move(bytes), done);
            done += count;
        }
    }

private:
    const OrvFile& file;
    uint32_t section;
    OrvReaderAudioInfo_st info;
    uint64_t first, end;  // sample frames of the section
    uint64_t done = 0;    // written, counted from `first`
};

}  // namespace

RemuxSummary remux(const RemuxJob& job) {
    const OrvFile file(job.input);
    OrvReader* const reader = file.get();

    // ---- What to export, and when each frame is shown: refused before any work.
    const std::vector<uint32_t> videos = file.streams(ORV_SECTION_KIND_VIDEO);
    if (job.videoStream >= videos.size())
        throw ToolError(job.input + " has " + counted(videos.size(), "video stream") +
                        "; video stream " + std::to_string(job.videoStream) + " is not there");
    const uint32_t section = videos[job.videoStream];
    const OrvReaderVideoInfo_st video = file.video(section);
    if (job.frames.first >= video.frameCount)
        throw ToolError("video stream " + std::to_string(job.videoStream) + " has " +
                        counted(video.frameCount, "frame") + "; none from frame " +
                        std::to_string(job.frames.first) + " on");
    const uint64_t first = job.frames.first;
    const uint64_t end = std::min<uint64_t>(job.frames.end, video.frameCount);
    const auto ptsOf = [&](uint64_t k) {
        int64_t pts = 0;
        file.check(orvReaderGetFramePts(reader, section, static_cast<uint32_t>(k), &pts),
                   job.input);
        return pts;
    };
    std::vector<int64_t> pts;
    for (uint64_t k = first; k < end; ++k) pts.push_back(ptsOf(k));
    const std::optional<int64_t> nextPts =
        end < video.frameCount ? std::optional(ptsOf(end)) : std::nullopt;
    const StoredTiming stored{video.timebaseNum, video.timebaseDen, video.fpsNum, video.fpsDen};
    const VideoTiming timing = planVideoTiming(stored, pts, nextPts, first);
    if (job.container == Container::avi && !timing.constantRate())
        throw ToolError("the frames follow one another at irregular times, which an AVI, with "
                        "its one frame rate, cannot show; write a .mov or .mkv");

    uint32_t numTextures = 0;
    uint64_t bufferSize = 0;
    const std::string streamName = "video stream " + std::to_string(job.videoStream);
    file.check(orvReaderGetTextureLayout(reader, section, ORV_TEXTURES_WHOLE_FRAME, nullptr, 0,
                                         &numTextures, &bufferSize),
               streamName);
    std::vector<OrvReaderTexture_st> layout(numTextures);
    file.check(orvReaderGetTextureLayout(reader, section, ORV_TEXTURES_WHOLE_FRAME, layout.data(),
                                         numTextures, &numTextures, &bufferSize),
               streamName);

    RemuxSummary summary;
    summary.frames = end - first;
    summary.width = video.width;
    summary.height = video.height;
    summary.codecTag = hapCodecTag(static_cast<uint32_t>(video.format));
    summary.rateNum = timing.rateNum;
    summary.rateDen = timing.rateDen;
    for (const OrvReaderTexture_st& texture : layout)
        summary.chunks.push_back(hapChunkCount(texture.format, texture.size, job.chunks));

    // Audio sample 0 plays with the file's first frame; the exported range
    // keeps the samples from its first frame's time to the next frame's.
    std::optional<AudioTrack> audioTrack;
    std::optional<AudioFeed> audio;
    const std::vector<uint32_t> audios = file.streams(ORV_SECTION_KIND_AUDIO);
    if (job.withAudio && !audios.empty()) {
        const OrvReaderAudioInfo_st info = file.audio(audios[0]);
        // A track's time base is 1 / rate, a ratio of 32-bit numbers.
        if (info.sampleRate == 0 || info.sampleRate > INT32_MAX)
            throw ToolError("audio: a sample rate of " + std::to_string(info.sampleRate) +
                            " Hz cannot be written (--no-audio leaves the audio out)");
        const int64_t origin = ptsOf(0);
        const auto sampleAt = [&](int64_t time) {
            const __int128 ticks = __int128{time} - origin;
            return ticks <= 0 ? 0
                              : std::min(info.numSamples,
                                         sampleAtTicks(static_cast<uint64_t>(ticks),
                                                       video.timebaseNum, video.timebaseDen,
                                                       info.sampleRate));
        };
        const uint64_t firstSample = first == 0 ? 0 : sampleAt(pts.front());
        const uint64_t endSample = nextPts ? sampleAt(*nextPts) : info.numSamples;
        audioTrack = AudioTrack{info.sampleRate, info.numChannels};
        audio.emplace(file, audios[0], info, firstSample, std::max(firstSample, endSample));
    }

    // ---- The frames: read and packed on every core, written in order.
    VideoTrack track;
    track.width = video.width;
    track.height = video.height;
    track.codecTag = summary.codecTag;
    track.alpha = video.format == ORV_PIX_FMT_DXT5 || video.format == ORV_PIX_FMT_YCOCG_DXT5_ALPHA;
    track.timeBaseNum = timing.timeBaseNum;
    track.timeBaseDen = timing.timeBaseDen;
    track.rateNum = timing.rateNum;
    track.rateDen = timing.rateDen;
    MediaMuxer muxer(job.outputPath, job.outputName, job.container, track, audioTrack);

    const uint64_t budget = std::max<uint64_t>(1, bytesInFlight / std::max<uint64_t>(bufferSize, 1));
    const unsigned cores = job.threads ? job.threads : std::max(1u, std::thread::hardware_concurrency());
    const auto workers = static_cast<unsigned>(std::min<uint64_t>(cores, budget));
    const auto window = static_cast<unsigned>(std::min<uint64_t>(workers + 2, budget));
    ProgressLine progress(job.progress, "", job.outputPath, summary.frames);
    using Frame = std::vector<uint8_t>;
    runInOrder<Frame>(
        summary.frames, workers, window,
        [&]() -> std::function<Frame(uint64_t)> {
            // Each worker reads into a texture buffer of its own.
            auto textures = std::make_shared<std::vector<uint8_t>>(bufferSize);
            return [&, textures](uint64_t k) {
                const uint64_t frame = first + k;
                file.check(orvReaderReadTextures(reader, section, static_cast<uint32_t>(frame),
                                                 ORV_TEXTURES_WHOLE_FRAME, textures->data(),
                                                 textures->size()),
                           job.input + ": frame " + std::to_string(frame));
                std::vector<HapTexture> planes;
                for (const OrvReaderTexture_st& texture : layout)
                    planes.push_back({texture.format, std::span<const uint8_t>(*textures).subspan(
                                                          texture.offset, texture.size)});
                return packHapFrame(planes, job.chunks);
            };
        },
        [&](uint64_t k, Frame&& frame) {
            muxer.writeVideo(std::move(frame), timing.times[k], timing.times[k + 1] - timing.times[k]);
            if (audio)
                audio->writeUntil(sampleAtTicks(static_cast<uint64_t>(timing.times[k + 1]),
                                                static_cast<uint64_t>(timing.timeBaseNum),
                                                static_cast<uint64_t>(timing.timeBaseDen),
                                                audioTrack->sampleRate),
                                  muxer);
            progress.update(k + 1);
        });
    // Audio that lasts beyond the last frame.
    if (audio) {
        audio->writeUntil(UINT64_MAX, muxer);
        summary.audioSamples = audio->written();
    }
    muxer.finish();
    progress.done(summary.frames);
    return summary;
}

}  // namespace orvtool
