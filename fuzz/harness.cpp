#include "harness.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "buffer_pool.hpp"
#include "orv.h"
#include "orv_reader.h"

namespace orvfuzz {

namespace {

// An open reader, closed when it goes.
struct OpenReader {
    explicit OpenReader(const std::string& path) : code(orvReaderOpen(path.c_str(), &handle, nullptr, 0)) {}
    ~OpenReader() { orvReaderClose(handle); }
    std::string failure() const { return orvReaderGetErrorMessage(handle); }
    // How many problems verification finds; a failing verification is one.
    uint64_t problems() const {
        uint64_t n = 0;
        return orvReaderVerify(handle, nullptr, nullptr, &n) == ORV_ERR_NONE ? n : 1;
    }
    OrvReader* handle = nullptr;
    OrvError_enum code;
};

// ---- The reader on any file ---------------------------------------------------------

// Keeps each input quick and its memory small: larger frames and audio are
// read only as far as this many bytes of output.
constexpr uint64_t kMaxReadBytes = 16 << 20;

// Reads everything of a section that its size allows; returns the first
// failure.
std::string readSection(const OpenReader& reader, uint32_t section) {
    OrvReaderVideoInfo_st video{};
    if (OrvReaderAudioInfo_st audio{};
        orvReaderGetAudioInfo(reader.handle, section, &audio) == ORV_ERR_NONE) {
        const uint64_t frames = std::min<uint64_t>(audio.numSamples, kMaxReadBytes / 4 / audio.numChannels);
        std::vector<int16_t> samples(frames * audio.numChannels);
        std::vector<float> planar(samples.size());
        return orvReaderReadAudio(reader.handle, section, 0, frames, samples.data()) == ORV_ERR_NONE &&
                       orvReaderReadAudioFloat(reader.handle, section, 0, frames, planar.data()) ==
                           ORV_ERR_NONE
                   ? ""
                   : reader.failure();
    }
    if (orvReaderGetVideoInfo(reader.handle, section, &video) != ORV_ERR_NONE) return reader.failure();
    for (uint32_t k = 0; k < video.frameCount && k < 8; ++k) {
        for (const uint32_t layout : {ORV_TEXTURES_PER_SLICE, ORV_TEXTURES_WHOLE_FRAME}) {
            uint32_t count = 0;
            uint64_t size = 0;
            if (orvReaderGetTextureLayout(reader.handle, section, layout, nullptr, 0, &count, &size) !=
                ORV_ERR_NONE)
                return reader.failure();
            std::vector<uint8_t> blocks(std::min(size, kMaxReadBytes));
            if (size <= kMaxReadBytes &&
                orvReaderReadTextures(reader.handle, section, k, layout, blocks.data(), size) != ORV_ERR_NONE)
                return reader.failure();
        }
        if (uint64_t{video.width} * video.height * 4 > kMaxReadBytes) continue;
        std::vector<uint8_t> picture(size_t{video.width} * video.height * 4);
        for (const uint32_t origin : {1u, 0u})
            if (orvReaderDecodeFrame(reader.handle, section, k, ORV_SRC_PIX_FMT_BGRA32, origin,
                                     picture.data(), size_t{video.width} * 4, picture.size()) != ORV_ERR_NONE)
                return reader.failure();
    }
    return "";
}

// ---- Reading a program ------------------------------------------------------------

enum Op : uint8_t {
    opAddVideo, opAddAudio, opBegin, opVideoFrame, opAudioFrame, opEnd, opFinish, opQuery, opFailAllocation,
    opCount
};

// Bytes past the end read as zero, so every input is a whole program.
struct Input {
    std::span<const uint8_t> bytes;
    size_t at = 0;
    uint8_t u8() { return at < bytes.size() ? bytes[at++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    uint64_t u64() { return u32() | static_cast<uint64_t>(u32()) << 32; }
    // Mostly small sides, sometimes anything.
    uint32_t dimension() {
        const uint8_t kind = u8() % 8;
        return kind == 6 ? u16() : kind == 7 ? u32() : 1 + u8() % 64;
    }
    // Mostly small and valid, sometimes anything.
    int64_t smallOrAny() {
        const uint8_t kind = u8();
        return kind & 0x80 ? static_cast<int64_t>(u64()) : kind % 3;
    }
    // A buffer of about `wanted` bytes (capped at 256 KiB, a few bytes short
    // or over) of noise, or none (also when an injected failure hits it).
    OrvBuffer_st* buffer(uint64_t wanted) {
        const uint8_t kind = u8();
        const int64_t size =
            static_cast<int64_t>(std::min<uint64_t>(wanted, 256 * 1024)) + static_cast<int8_t>(u8()) % 9;
        OrvBuffer_st* buffer =
            kind % 16 == 0 ? nullptr : orvBufferAlloc(static_cast<uint64_t>(std::max<int64_t>(size, 0)));
        uint32_t state = 0x9E3779B9u * (kind + 1u);
        for (size_t i = 0; i < orvBufferSize(buffer); ++i, state = state * 1664525u + 1013904223u)
            static_cast<uint8_t*>(orvBufferData(buffer))[i] =
                static_cast<uint8_t>((state * 1664525u + 1013904223u) >> 24);
        return buffer;
    }
};

// ---- The model of a session ---------------------------------------------------------

struct StreamModel {
    bool video = false;
    uint32_t width = 0, height = 0, channels = 0;
    bool finished = false, endSaidNone = false;
    // A frame in a pixel format the block encoders lack fails the stream;
    // which frames a failed allocation loses is not modelled.
    bool badFrameAccepted = false, allocationFailed = false;
    uint32_t acceptedFrames = 0;
};

class EncoderRun {
public:
    EncoderRun(std::span<const uint8_t> program, const std::string& path) : in{program}, path(path) {}

    std::string run() {
        const OrvEncoderParams_st params{1 + in.u8() % 4u};
        if (orvEncoderOpen(path.c_str(), &params, &encoder) != ORV_ERR_NONE) return "cannot open " + path;
        for (int op = 0; op < 48 && in.at < in.bytes.size() && problem.empty(); ++op) {
            OrvSrcFrame_st f{};
            const StreamModel* stream = activeStream();
            const bool toVideo = stream != nullptr && stream->video;
            int id = -7;
            switch (in.u8() % opCount) {
                case opAddVideo: {
                    OrvVideoStreamParams_st v;
                    orvInitVideoStreamParams(&v);
                    v.width = in.dimension(), v.height = in.dimension();
                    constexpr double aspects[] = {
                        1.0,   0.01,       10.0, std::numeric_limits<double>::quiet_NaN(),
                        0.001, 16.0 / 9.0, 11.0, 1.0};
                    v.aspectRatio = aspects[in.u8() % 8];
                    v.timebaseNum = in.smallOrAny(), v.timebaseDen = in.smallOrAny();
                    v.fpsNum = in.u16(), v.fpsDen = in.u16();
                    v.format = in.u8() % 6, v.compression = in.u8() % 4, v.compressionHint = in.u8() % 4;
                    constexpr uint32_t parallel[] = {0, 1, 2, 3, 16, 0x7FFFFFFFu, 0x80000000u};
                    const uint8_t choice = in.u8();
                    v.maxParallel = choice % 8 == 7 ? in.u32() : parallel[choice % 8];
                    v.device = in.u8() % 8 == 7 ? in.u8() : 1;
                    const OrvError_enum code = orvAddVideoStream(encoder, &v, &id);
                    addStream(code, id, true, v.width, v.height, 0);
                    break;
                }
                case opAddAudio: {
                    OrvAudioStreamParams_st a;
                    orvInitAudioStreamParams(&a);
                    a.sampleRate = in.u32();
                    const uint8_t kind = in.u8() % 4;
                    a.numChannels = kind < 2 ? kind + 1 : kind == 2 ? in.u8() % 8 : in.u16();
                    a.channelLayout = in.u8() % 6;
                    a.timebaseNum = in.smallOrAny(), a.timebaseDen = in.smallOrAny();
                    const OrvError_enum code = orvAddAudioStream(encoder, &a, &id);
                    addStream(code, id, false, 0, 0, a.numChannels);
                    break;
                }
                case opBegin:
                    id = static_cast<int>(in.u8() % 7) - 1;
                    if (!accepted("orvBeginStream", orvBeginStream(encoder, id))) break;
                    if (active >= 0 || id < 0 || static_cast<size_t>(id) >= streams.size() ||
                        streams[id].finished) {
                        check(false, "a wrong orvBeginStream succeeded");
                        break;
                    }
                    active = id;
                    failedAtBegin = brindle::bufferCounters().failedAllocations;
                    beginOrder.push_back(static_cast<size_t>(id));
                    break;
                case opVideoFrame: {
                    const uint8_t shape = in.u8();
                    f.width = toVideo && shape % 8 != 0 ? stream->width : in.dimension();
                    f.height = toVideo && shape % 16 != 1 ? stream->height : in.dimension();
                    const uint8_t pixFmt = in.u8(), origin = in.u8();
                    f.pixFmt = pixFmt % 4 == 0 ? pixFmt / 4 % 8
                               : pixFmt % 2    ? ORV_SRC_PIX_FMT_RGBA32
                                               : ORV_SRC_PIX_FMT_BGRA32;
                    f.origin = origin % 8 == 0 ? origin / 8 % 4 : origin % 2;
                    // Mostly whole rows; sometimes padding, sometimes a byte short.
                    const int slack = static_cast<int8_t>(in.u8()) % 9;
                    f.stride =
                        static_cast<uint32_t>(std::max<int64_t>(int64_t{f.width} * 4 + (slack > 4 ? 3 * slack
                                                                                        : slack < -4 ? -1
                                                                                                     : 0),
                                                                0));
                    f.pts = static_cast<int64_t>(in.u64());
                    f.numSamples = in.u8();
                    frame(f, in.buffer(uint64_t{f.stride} * f.height));
                    break;
                }
                case opAudioFrame:
                    f.numSamples = in.u8() % 8 == 0 ? in.u32() : in.u16() % 3000;
                    frame(f, in.buffer(uint64_t{4} * f.numSamples *
                                       (stream && !toVideo ? stream->channels : 1)));
                    break;
                case opEnd: end(false, orvEndStream(encoder)); break;
                case opFinish: end(true, orvEncoderFinish(encoder)); break;
                case opQuery: orvGetPreferredSrcPixFmts(encoder, static_cast<int>(in.u8() % 7) - 1); break;
                case opFailAllocation: brindle::failBufferAllocationAfter(in.u8() % 24); break;
            }
        }
        // The host stops here, finished or not; closing ends whatever is
        // open, and the active stream's frames are encoded meanwhile.
        orvEncoderClose(encoder);
        activeStream();
        brindle::failBufferAllocationAfter(-1);
        if (problem.empty()) checkFile();
        return problem;
    }

private:
    void check(bool condition, const std::string& what) { if (!condition && problem.empty()) problem = what; }
    // Whether the call accepted; a refusal must say why.
    bool accepted(const char* call, OrvError_enum code) {
        check(code == ORV_ERR_NONE || *orvGetErrorMessage(encoder) != '\0',
              std::string(call) + " refused silently");
        return code == ORV_ERR_NONE;
    }
    StreamModel* activeStream() {
        if (active < 0) return nullptr;
        StreamModel& stream = streams[static_cast<size_t>(active)];
        stream.allocationFailed |= brindle::bufferCounters().failedAllocations != failedAtBegin;
        return &stream;
    }
    void addStream(OrvError_enum code, int id, bool video, uint32_t width, uint32_t height,
                   uint32_t channels) {
        if (!accepted("adding a stream", code)) return check(id == -7, "a refused stream wrote its id");
        check(!sessionFinished && id == static_cast<int>(streams.size()),
              "a stream after the finish, or ids not consecutive");
        streams.push_back({video, width, height, channels});
    }

    // A frame to the active stream; a video stream's accepted buffer is the
    // library's, audio buffers stay the host's.
    void frame(OrvSrcFrame_st frame, OrvBuffer_st* buffer) {
        frame.buffer = buffer;
        const bool ok = accepted("orvEncodeFrame", orvEncodeFrame(encoder, &frame));
        StreamModel* stream = activeStream();
        check(!ok || stream != nullptr, "orvEncodeFrame accepted a frame without a stream");
        if (!ok || stream == nullptr || !stream->video) return orvBufferFree(buffer);
        ++stream->acceptedFrames;
        stream->badFrameAccepted |=
            frame.pixFmt != ORV_SRC_PIX_FMT_RGBA32 && frame.pixFmt != ORV_SRC_PIX_FMT_BGRA32;
    }

    // orvEndStream or orvEncoderFinish answered `code`: a stream that has not
    // failed ends with 0, one with a frame that could not be encoded with an
    // error; a finish with no active stream succeeds, an end fails.
    void end(bool finish, OrvError_enum code) {
        StreamModel* stream = activeStream();
        const bool ok = accepted(finish ? "orvEncoderFinish" : "orvEndStream", code);
        if (stream == nullptr) return check(ok == finish, "an end without a stream answered wrongly");
        check(ok != stream->badFrameAccepted || stream->allocationFailed,
              "the end hid or invented a failure");
        stream->endSaidNone = ok;
        stream->finished = true;
        active = -1;
        for (StreamModel& s : streams) s.finished |= finish && ok;
        sessionFinished |= finish && ok;
    }

    // The file verifies, holds a section per begun stream in the order
    // begun, with the accepted frames, and reads whole.
    void checkFile() {
        const OpenReader reader(path);
        if (reader.code != ORV_ERR_NONE || reader.problems() != 0) return check(false, "the file is damaged");
        uint32_t sections = 0;
        orvReaderGetNumSections(reader.handle, &sections);
        if (sections != beginOrder.size()) return check(false, "sections: " + std::to_string(sections));
        for (uint32_t slot = 0; slot < sections; ++slot) {
            const StreamModel& stream = streams[beginOrder[slot]];
            const std::string which = "section " + std::to_string(slot) + ": ";
            check(readSection(reader, slot).empty(), which + "unread: " + reader.failure());
            OrvReaderVideoInfo_st video{};
            if (orvReaderGetVideoInfo(reader.handle, slot, &video) != ORV_ERR_NONE) {
                check(!stream.video, which + "not video");
                continue;
            }
            const bool whole = stream.endSaidNone || !(stream.badFrameAccepted || stream.allocationFailed);
            check(stream.video && (video.frameCount == stream.acceptedFrames ||
                                   (!whole && video.frameCount < stream.acceptedFrames)),
                  which + "not audio, or accepted frames are missing, or more were written");
        }
    }

    Input in;
    std::string path, problem;
    OrvEnc* encoder = nullptr;
    std::vector<StreamModel> streams;
    std::vector<size_t> beginOrder;
    int active = -1;
    bool sessionFinished = false;
    uint64_t failedAtBegin = 0;  // failed allocations when the active stream began
};

}  // namespace

std::string runEncoderProgram(std::span<const uint8_t> program, const std::string& path) {
    return EncoderRun(program, path).run();
}

std::string readMutatedFile(std::span<const uint8_t> bytes) {
    // The bytes in an anonymous memory file, opened by path like any other.
    const int fd = memfd_create("orv-fuzz", MFD_CLOEXEC);
    for (ssize_t n = 1, done = 0; fd >= 0 && n > 0 && static_cast<size_t>(done) < bytes.size(); done += n)
        n = write(fd, bytes.data() + done, bytes.size() - static_cast<size_t>(done));
    std::string unread;
    if (const OpenReader reader("/proc/self/fd/" + std::to_string(fd)); reader.code == ORV_ERR_NONE) {
        const uint64_t problems = reader.problems();
        uint32_t sections = 0;
        orvReaderGetNumSections(reader.handle, &sections);
        for (uint32_t i = 0; i < sections && unread.empty(); ++i) {
            const std::string failure = readSection(reader, i);
            if (!failure.empty() && problems == 0)
                unread = "verification passed a file whose section " + std::to_string(i) +
                         " cannot be read: " + failure;
        }
    }  // else refused, with a reason
    if (fd >= 0) close(fd);
    return unread;
}

}  // namespace orvfuzz
