#include "harness.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "buffer_pool.hpp"
#include "dxt_encoder_simd.hpp"
#include "orv.h"
#include "orv_reader.h"
#include "texture_formats.hpp"

namespace orvfuzz {

namespace {

// An open reader, closed when it goes.
struct OpenReader {
    explicit OpenReader(const std::string& path) { code = orvReaderOpen(path.c_str(), &handle, nullptr, 0); }
    ~OpenReader() { orvReaderClose(handle); }
    std::string failure() const { return orvReaderGetErrorMessage(handle); }
    // The problems verification finds; the first in `first`.
    uint64_t problems(std::string& first) const {
        uint64_t count = 0;
        const auto keepFirst = [](void* text, const char* problem) {
            if (static_cast<std::string*>(text)->empty()) *static_cast<std::string*>(text) = problem;
        };
        if (orvReaderVerify(handle, keepFirst, &first, &count) != ORV_ERR_NONE) first = failure(), count = 1;
        return count;
    }
    OrvReader* handle = nullptr;
    OrvError_enum code;
};

// ---- Reading a program ------------------------------------------------------------

enum Op : uint8_t { opAddVideo, opAddAudio, opBegin, opVideoFrame, opAudioFrame, opEnd, opFinish, opQuery,
                    opFailAllocation, opCount };

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
        if (kind % 16 == 0) return nullptr;
        const int64_t size = static_cast<int64_t>(std::min<uint64_t>(wanted, 256 * 1024)) + static_cast<int8_t>(u8()) % 9;
        OrvBuffer_st* buffer = orvBufferAlloc(static_cast<uint64_t>(std::max<int64_t>(size, 0)));
        uint32_t state = 0x9E3779B9u * (kind + 1u);
        for (size_t i = 0; i < orvBufferSize(buffer); ++i, state = state * 1664525u + 1013904223u)
            static_cast<uint8_t*>(orvBufferData(buffer))[i] = static_cast<uint8_t>((state * 1664525u + 1013904223u) >> 24);
        return buffer;
    }
};

// ---- The model of a session ---------------------------------------------------------

struct StreamModel {
    bool video = false;
    uint32_t width = 0, height = 0, channels = 0;
    bool finished = false;
    std::vector<uint64_t> acceptedPts;  // video
    std::vector<int16_t> samples;       // audio, as the section must hold them
    // A frame in a pixel format the block encoders lack fails, and so does
    // every later one; which frames an allocation failure loses is not modelled.
    size_t goodPrefix = 0;
    bool badFrameAccepted = false, allocationFailed = false, endSaidNone = false;
    bool clean() const { return !badFrameAccepted && !allocationFailed; }
};

class EncoderRun {
public:
    EncoderRun(std::span<const uint8_t> program, const std::string& path) : in{program}, path(path) {}
    std::string run();

private:
    void check(bool condition, const std::string& what) {
        if (!condition && problem.empty()) problem = what;
    }
    // Whether the call accepted; a refusal must say why.
    bool accepted(const char* call, OrvError_enum code) {
        check(code == ORV_ERR_NONE || *orvGetErrorMessage(encoder) != '\0', std::string(call) + " refused silently");
        return code == ORV_ERR_NONE;
    }
    StreamModel* activeStream() {
        if (active < 0) return nullptr;
        StreamModel& stream = streams[static_cast<size_t>(active)];
        if (brindle::bufferCounters().failedAllocations != failedAtBegin) stream.allocationFailed = true;
        return &stream;
    }
    void addStream(OrvError_enum code, int id, bool video, uint32_t width, uint32_t height, uint32_t channels);
    void addVideo();
    void addAudio();
    void begin();
    void frame(OrvSrcFrame_st frame, OrvBuffer_st* buffer);
    void end(bool finish, OrvError_enum code);
    void checkFile();

    Input in;
    std::string path, problem;
    OrvEnc* encoder = nullptr;
    std::vector<StreamModel> streams;
    std::vector<size_t> beginOrder;
    int active = -1;
    bool sessionFinished = false;
    uint64_t failedAtBegin = 0;  // failed allocations when the active stream began
};

std::string EncoderRun::run() {
    const OrvEncoderParams_st params{1 + in.u8() % 4u};
    if (orvEncoderOpen(path.c_str(), &params, &encoder) != ORV_ERR_NONE) return "cannot open " + path;
    for (int op = 0; op < 48 && in.at < in.bytes.size() && problem.empty(); ++op) {
        OrvSrcFrame_st f{};
        const StreamModel* stream = activeStream();
        switch (in.u8() % opCount) {
            case opAddVideo: addVideo(); break;
            case opAddAudio: addAudio(); break;
            case opBegin: begin(); break;
            case opVideoFrame: {
                const bool toVideo = stream != nullptr && stream->video;
                const uint8_t shape = in.u8();
                f.width = toVideo && shape % 8 != 0 ? stream->width : in.dimension();
                f.height = toVideo && shape % 16 != 1 ? stream->height : in.dimension();
                const uint8_t pixFmt = in.u8(), origin = in.u8();
                f.pixFmt = pixFmt % 4 == 0 ? pixFmt / 4 % 8 : pixFmt % 2 ? ORV_SRC_PIX_FMT_RGBA32 : ORV_SRC_PIX_FMT_BGRA32;
                f.origin = origin % 8 == 0 ? origin / 8 % 4 : origin % 2;
                // Mostly whole rows; sometimes padding, sometimes a byte short.
                const int slack = static_cast<int8_t>(in.u8()) % 9;
                f.stride = static_cast<uint32_t>(
                    std::max<int64_t>(int64_t{f.width} * 4 + (slack > 4 ? 3 * slack : slack < -4 ? -1 : 0), 0));
                f.pts = static_cast<int64_t>(in.u64());
                f.numSamples = in.u8();
                frame(f, in.buffer(uint64_t{f.stride} * f.height));
                break;
            }
            case opAudioFrame: {
                const uint8_t kind = in.u8();
                f.numSamples = kind % 8 == 0 ? in.u32() : in.u16() % 3000;
                frame(f, in.buffer(uint64_t{4} * f.numSamples * (stream && !stream->video ? stream->channels : 1)));
                break;
            }
            case opEnd: end(false, orvEndStream(encoder)); break;
            case opFinish: end(true, orvEncoderFinish(encoder)); break;
            case opQuery: orvGetPreferredSrcPixFmts(encoder, static_cast<int>(in.u8() % 7) - 1); break;
            case opFailAllocation: brindle::failBufferAllocationAfter(in.u8() % 24); break;
        }
    }
    // The host stops here, finished or not; closing ends whatever is open,
    // and the active stream's frames are encoded meanwhile.
    orvEncoderClose(encoder);
    activeStream();
    brindle::failBufferAllocationAfter(-1);
    if (problem.empty()) checkFile();
    return problem;
}

void EncoderRun::addStream(OrvError_enum code, int id, bool video, uint32_t width, uint32_t height,
                           uint32_t channels) {
    if (!accepted("adding a stream", code)) return check(id == -7, "a refused stream wrote its id");
    check(!sessionFinished && id == static_cast<int>(streams.size()) &&
              std::count_if(streams.begin(), streams.end(), [&](auto& s) { return s.video == video; }) < 2,
          "a stream after the finish, a third of a kind, or ids not consecutive");
    streams.emplace_back().video = video;
    streams.back().width = width, streams.back().height = height, streams.back().channels = channels;
}

void EncoderRun::addVideo() {
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    params.width = in.dimension();
    params.height = in.dimension();
    constexpr double aspects[] = {1.0, 0.01, 10.0, std::numeric_limits<double>::quiet_NaN(), 0.001, 16.0 / 9.0, 11.0, 1.0};
    params.aspectRatio = aspects[in.u8() % 8];
    params.timebaseNum = in.smallOrAny();
    params.timebaseDen = in.smallOrAny();
    params.fpsNum = in.u16();
    params.fpsDen = in.u16();
    params.format = in.u8() % 6;
    params.compression = in.u8() % 4;
    params.compressionHint = in.u8() % 4;
    constexpr uint32_t parallel[] = {0, 1, 2, 3, 16, 0x7FFFFFFFu, 0x80000000u};
    const uint8_t choice = in.u8();
    params.maxParallel = choice % 8 == 7 ? in.u32() : parallel[choice % 8];
    params.device = in.u8() % 8 == 7 ? in.u8() : 1;
    int id = -7;
    const OrvError_enum code = orvAddVideoStream(encoder, &params, &id);
    addStream(code, id, true, params.width, params.height, 0);
}

void EncoderRun::addAudio() {
    OrvAudioStreamParams_st params;
    orvInitAudioStreamParams(&params);
    params.sampleRate = in.u32();
    const uint8_t kind = in.u8() % 4;
    params.numChannels = kind < 2 ? kind + 1 : kind == 2 ? in.u8() % 8 : in.u16();
    params.channelLayout = in.u8() % 6;
    params.timebaseNum = in.smallOrAny();
    params.timebaseDen = in.smallOrAny();
    int id = -7;
    const OrvError_enum code = orvAddAudioStream(encoder, &params, &id);
    addStream(code, id, false, 0, 0, params.numChannels);
}

void EncoderRun::begin() {
    const int id = static_cast<int>(in.u8() % 7) - 1;
    const bool allowed =
        active < 0 && id >= 0 && static_cast<size_t>(id) < streams.size() && !streams[static_cast<size_t>(id)].finished;
    if (accepted("orvBeginStream", orvBeginStream(encoder, id)) != allowed)
        return check(false, "orvBeginStream of stream " + std::to_string(id) + " answered wrongly");
    if (!allowed) return;
    active = id;
    failedAtBegin = brindle::bufferCounters().failedAllocations;
    beginOrder.push_back(static_cast<size_t>(id));
}

// A frame to the active stream: what is accepted must be valid, and a valid
// frame to a stream that has not failed must be accepted.
void EncoderRun::frame(OrvSrcFrame_st frame, OrvBuffer_st* buffer) {
    frame.buffer = buffer;
    // Read before the call: an accepted buffer may be gone when it returns.
    const uint64_t bufferSize = orvBufferSize(buffer);
    const bool ok = accepted("orvEncodeFrame", orvEncodeFrame(encoder, &frame));
    StreamModel* stream = activeStream();
    bool valid = stream != nullptr && buffer != nullptr;
    if (valid && stream->video)
        valid = frame.width == stream->width && frame.height == stream->height && frame.origin < 2 &&
                frame.stride >= uint64_t{brindle::srcBytesPerPixel(frame.pixFmt)} * frame.width &&
                bufferSize >= uint64_t{frame.stride} * frame.height;
    else if (valid)
        valid = bufferSize >= uint64_t{4} * frame.numSamples * stream->channels;
    check(!ok || valid, "orvEncodeFrame accepted an invalid frame");
    check(ok || !valid || !stream->clean(), std::string("orvEncodeFrame refused: ") + orvGetErrorMessage(encoder));
    if (ok && stream->video) {
        buffer = nullptr;  // the library's now
        stream->acceptedPts.push_back(static_cast<uint64_t>(frame.pts));
        stream->badFrameAccepted |= frame.pixFmt != ORV_SRC_PIX_FMT_RGBA32 && frame.pixFmt != ORV_SRC_PIX_FMT_BGRA32;
        if (!stream->badFrameAccepted) stream->goodPrefix = stream->acceptedPts.size();
    } else if (ok) {
        // Planar floats in, interleaved 16-bit PCM out; NaN is silence.
        for (uint32_t s = 0; s < frame.numSamples; ++s)
            for (uint32_t c = 0; c < stream->channels; ++c) {
                float sample;
                std::memcpy(&sample, static_cast<const uint8_t*>(orvBufferData(buffer)) + 4 * (c * frame.numSamples + s), 4);
                stream->samples.push_back(
                    std::isnan(sample) ? 0 : static_cast<int16_t>(std::clamp(sample * 32768.0f, -32768.0f, 32767.0f)));
            }
    }
    orvBufferFree(buffer);  // audio buffers and refused ones stay the host's
}

// orvEndStream or orvEncoderFinish answered `code`: a stream that has not
// failed ends with 0, one with a frame that could not be encoded with an
// error; a finish with no active stream succeeds, an end fails.
void EncoderRun::end(bool finish, OrvError_enum code) {
    StreamModel* stream = activeStream();
    const bool ok = accepted(finish ? "orvEncoderFinish" : "orvEndStream", code);
    check(stream != nullptr ? ok || !stream->clean() : ok == finish, "a sound end failed, or a wrong one succeeded");
    if (stream != nullptr) {
        check(!ok || !stream->badFrameAccepted || stream->allocationFailed, "the end hid a frame that failed");
        stream->endSaidNone = ok;
        stream->finished = true;
        active = -1;
    }
    for (StreamModel& s : streams) s.finished |= finish && ok;
    sessionFinished |= finish && ok;
}

void EncoderRun::checkFile() {
    const OpenReader reader(path);
    if (reader.code != ORV_ERR_NONE) return check(false, "the file cannot be opened: " + reader.failure());
    std::string damage;
    if (reader.problems(damage) != 0) return check(false, "the file is damaged: " + damage);
    uint32_t sections = 0;
    orvReaderGetNumSections(reader.handle, &sections);
    // Every begun stream ended exactly one section, in the order begun.
    if (sections != beginOrder.size()) return check(false, "sections: " + std::to_string(sections));
    for (uint32_t slot = 0; slot < sections; ++slot) {
        const StreamModel& stream = streams[beginOrder[slot]];
        const std::string which = "section " + std::to_string(slot) + ": ";
        OrvReaderVideoInfo_st video{};
        OrvReaderAudioInfo_st audio{};
        if (!stream.video) {
            check(orvReaderGetAudioInfo(reader.handle, slot, &audio) == ORV_ERR_NONE, which + "not audio");
            std::vector<int16_t> samples(audio.numSamples * audio.numChannels);
            check(orvReaderReadAudio(reader.handle, slot, 0, audio.numSamples, samples.data()) == ORV_ERR_NONE &&
                      samples == stream.samples,
                  which + "samples differ");
            continue;
        }
        if (orvReaderGetVideoInfo(reader.handle, slot, &video) != ORV_ERR_NONE) return check(false, which + "not video");
        std::vector<uint64_t> pts(video.frameCount);
        for (uint32_t k = 0; k < video.frameCount; ++k)
            orvReaderGetFramePts(reader.handle, slot, k, reinterpret_cast<int64_t*>(&pts[k]));
        check(pts.size() <= stream.acceptedPts.size() && std::equal(pts.begin(), pts.end(), stream.acceptedPts.begin()),
              which + "frames are not the accepted ones in order");
        if (stream.clean() || stream.endSaidNone)
            check(pts.size() == stream.acceptedPts.size(), which + "accepted frames are missing");
        else if (!stream.allocationFailed)
            check(pts.size() == stream.goodPrefix, which + "wrong frames around a failed one");
        // A stream may be as large as the format allows and hold no frame.
        std::vector<uint8_t> picture(video.frameCount != 0 ? size_t{video.width} * video.height * 4 : 0);
        for (uint32_t k = 0; k < video.frameCount; ++k)
            if (orvReaderDecodeFrame(reader.handle, slot, k, ORV_SRC_PIX_FMT_RGBA32, 0, picture.data(),
                                     size_t{video.width} * 4, picture.size()) != ORV_ERR_NONE)
                return check(false, which + "frame " + std::to_string(k) + ": " + reader.failure());
    }
}

// ---- The reader on any file ---------------------------------------------------------

// Keeps each input quick and its memory small: larger frames and audio are
// read only as far as this many bytes of output.
constexpr uint64_t kMaxReadBytes = 16 << 20;

// Whether a BGRA picture, top row first, is what the scalar block decoders
// make of the frame's whole-frame textures.
bool scalarDecodeAgrees(const OrvReaderVideoInfo_st& v, const std::vector<uint8_t>& textures,
                        const std::vector<uint8_t>& picture) {
    constexpr brindle::DxtDecodeKind kinds[] = {brindle::dxtDecodeBC1, brindle::dxtDecodeYCoCg, brindle::dxtDecodeBC3,
                                                brindle::dxtDecodeYCoCgAlpha};
    const uint64_t wide = (v.width + 3) / 4, blocks = wide * ((v.height + 3) / 4);
    const uint64_t colour = v.format == ORV_PIX_FMT_DXT1 ? 8 : 16, alpha = v.format == 3 ? 8 : 0;
    if (v.format < 0 || v.format > 3 || textures.size() != blocks * (colour + alpha)) return false;
    uint8_t pixels[64];
    for (uint64_t b = 0; b < blocks; ++b) {
        brindle::dxtDecodeBlock(kinds[v.format], true, &textures[colour * b],
                                alpha != 0 ? &textures[colour * blocks + 8 * b] : nullptr, pixels, 16);
        for (uint32_t k = 0; k < 16; ++k) {
            const uint64_t x = b % wide * 4 + k % 4, y = b / wide * 4 + k / 4;
            if (x < v.width && y < v.height && std::memcmp(&picture[(y * v.width + x) * 4], pixels + 4 * k, 4) != 0)
                return false;
        }
    }
    return true;
}

// Reads everything of a section that its size allows. Returns the first
// failure; `wrong` gets what was read wrongly, which no damage excuses.
std::string readSection(const OpenReader& reader, uint32_t section, std::string& wrong) {
    OrvReaderVideoInfo_st video{};
    OrvReaderAudioInfo_st audio{};
    if (orvReaderGetAudioInfo(reader.handle, section, &audio) == ORV_ERR_NONE) {
        const uint64_t frames = std::min<uint64_t>(audio.numSamples, kMaxReadBytes / 4 / audio.numChannels);
        std::vector<int16_t> samples(frames * audio.numChannels);
        std::vector<float> planar(samples.size());
        const bool read = orvReaderReadAudio(reader.handle, section, 0, frames, samples.data()) == ORV_ERR_NONE &&
                          orvReaderReadAudioFloat(reader.handle, section, 0, frames, planar.data()) == ORV_ERR_NONE;
        return read ? "" : reader.failure();
    }
    if (orvReaderGetVideoInfo(reader.handle, section, &video) != ORV_ERR_NONE) return reader.failure();
    for (uint32_t k = 0; k < video.frameCount && k < 8; ++k) {
        std::vector<uint8_t> whole;
        for (const uint32_t layout : {ORV_TEXTURES_PER_SLICE, ORV_TEXTURES_WHOLE_FRAME}) {
            uint32_t count = 0;
            uint64_t size = 0;
            if (orvReaderGetTextureLayout(reader.handle, section, layout, nullptr, 0, &count, &size) != ORV_ERR_NONE)
                return reader.failure();
            whole.assign(std::min(size, kMaxReadBytes), 0);
            if (size <= kMaxReadBytes &&
                orvReaderReadTextures(reader.handle, section, k, layout, whole.data(), size) != ORV_ERR_NONE)
                return reader.failure();
        }
        std::vector<uint8_t> picture(uint64_t{video.width} * video.height * 4);
        if (picture.size() > kMaxReadBytes) continue;
        for (const uint32_t origin : {1u, 0u})
            if (orvReaderDecodeFrame(reader.handle, section, k, ORV_SRC_PIX_FMT_BGRA32, origin, picture.data(),
                                     size_t{video.width} * 4, picture.size()) != ORV_ERR_NONE)
                return reader.failure();
        if (!scalarDecodeAgrees(video, whole, picture) && wrong.empty())
            wrong = "frame " + std::to_string(k) + " is not the scalar decode of its textures";
    }
    return "";
}

}  // namespace

std::string runEncoderProgram(std::span<const uint8_t> program, const std::string& path) {
    return EncoderRun(program, path).run();
}

std::string readMutatedFile(std::span<const uint8_t> bytes) {
    // The bytes in an anonymous memory file, opened by path like any other.
    const int fd = memfd_create("orv-fuzz", MFD_CLOEXEC);
    for (ssize_t n = 1, done = 0; fd >= 0 && n > 0 && static_cast<size_t>(done) < bytes.size(); done += n)
        n = write(fd, bytes.data() + done, bytes.size() - static_cast<size_t>(done));
    std::string wrong, unread, first;
    if (const OpenReader reader("/proc/self/fd/" + std::to_string(fd)); reader.code == ORV_ERR_NONE) {
        const uint64_t problems = reader.problems(first);
        uint32_t sections = 0;
        orvReaderGetNumSections(reader.handle, &sections);
        for (uint32_t i = 0; i < sections && unread.empty(); ++i) {
            const std::string failure = readSection(reader, i, wrong);
            if (!failure.empty() && problems == 0)
                unread = "verification passed a file whose section " + std::to_string(i) + " cannot be read: " + failure;
        }
    }  // else refused, with a reason
    if (fd >= 0) close(fd);
    return !wrong.empty() ? wrong : unread;
}

}  // namespace orvfuzz
