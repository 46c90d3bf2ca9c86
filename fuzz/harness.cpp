#include "harness.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>

#include <sys/mman.h>
#include <unistd.h>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orv.h"
#include "orv_reader.h"

namespace orvfuzz {

namespace {

// ---- Reading files with the library's reader ----------------------------------------

// Bytes in an anonymous memory file, opened by path like any other file.
class MemoryFile {
public:
    explicit MemoryFile(std::span<const uint8_t> bytes) : fd(memfd_create("orv-fuzz", MFD_CLOEXEC)) {
        for (size_t done = 0; fd >= 0 && done < bytes.size();) {
            const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    }
    ~MemoryFile() { if (fd >= 0) close(fd); }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd); }

private:
    int fd;
};

// An open reader, closed when it goes.
struct OpenReader {
    explicit OpenReader(const std::string& path) {
        char text[512] = "";
        code = orvReaderOpen(path.c_str(), &handle, text, sizeof text);
        message = text;
    }
    ~OpenReader() { orvReaderClose(handle); }
    std::string failure() const { return orvReaderGetErrorMessage(handle); }
    OrvReader* handle = nullptr;
    OrvError_enum code;
    std::string message;
};

// The first problem verification finds, and their count.
std::pair<std::string, uint64_t> firstProblem(const OpenReader& reader) {
    std::string first;
    uint64_t count = 0;
    const OrvError_enum code = orvReaderVerify(
        reader.handle,
        [](void* user, const char* problem) {
            auto* text = static_cast<std::string*>(user);
            if (text->empty()) *text = problem;
        },
        &first, &count);
    if (code != ORV_ERR_NONE) return {"verification failed: " + reader.failure(), 1};
    return {first, count};
}

// ---- Reading a program ------------------------------------------------------------

// Bytes past the end read as zero, so every input is a whole program.
class Input {
public:
    explicit Input(std::span<const uint8_t> bytes) : bytes(bytes) {}

    bool done() const { return at >= bytes.size(); }
    uint8_t u8() { return at < bytes.size() ? bytes[at++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | u8() << 8); }
    uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
    uint64_t u64() { return u32() | static_cast<uint64_t>(u32()) << 32; }

private:
    std::span<const uint8_t> bytes;
    size_t at = 0;
};

// Keeps each input quick: a few dozen calls, buffers of at most 256 KiB.
constexpr int kMaxOperations = 48;
constexpr uint64_t kMaxBuffer = 256 * 1024;

// Mostly small sides, sometimes anything.
uint32_t dimension(Input& in) {
    const uint8_t kind = in.u8();
    switch (kind % 8) {
        case 6: return in.u16();
        case 7: return in.u32();
        default: return 1 + in.u8() % 64;
    }
}

// Mostly small and valid, sometimes anything.
int64_t smallOrAny(Input& in) {
    const uint8_t kind = in.u8();
    if (kind & 0x80) return static_cast<int64_t>(in.u64());
    return kind % 3;
}

uint32_t maxParallelChoice(uint8_t choice, Input& in) {
    constexpr uint32_t choices[] = {0, 1, 2, 3, 16, 0x7FFFFFFFu, 0x80000000u};
    if (choice % 8 == 7) return in.u32();
    return choices[choice % 8];
}

uint32_t pixFmtChoice(uint8_t choice) {
    if (choice % 4 == 0) return (choice / 4) % 8;  // any value, valid or not
    return choice % 2 ? ORV_SRC_PIX_FMT_RGBA32 : ORV_SRC_PIX_FMT_BGRA32;
}

// A byte count near `wanted`: a few bytes short or over, capped.
uint64_t nearSize(uint64_t wanted, Input& in) {
    const int delta = static_cast<int8_t>(in.u8()) % 9;
    const int64_t size = static_cast<int64_t>(std::min(wanted, kMaxBuffer)) + delta;
    return static_cast<uint64_t>(std::max<int64_t>(size, 0));
}

void fillPattern(OrvBuffer_st* buffer, uint8_t seed) {
    auto* data = static_cast<uint8_t*>(orvBufferData(buffer));
    uint32_t state = 0x9E3779B9u * (seed + 1u);
    for (size_t i = 0; i < orvBufferSize(buffer); ++i) {
        state = state * 1664525u + 1013904223u;
        data[i] = static_cast<uint8_t>(state >> 24);
    }
}

// The bytes of the largest frame record a stream can write, from the file
// format: a 10-byte header and a 4-byte offset per slice, then per slice its
// Hap section: each texture at its coder's worst case (LZ4 with its 4-byte
// size prefix) behind a 4-byte header, or 8 bytes past 2^24 - 1, the two
// textures of format 3 inside one more section.
uint64_t worstRecordSize(uint32_t width, uint32_t height, uint32_t format, uint32_t compression) {
    OrvVideoStreamParams_st params{};
    params.width = width;
    params.height = height;
    const brindle::OrvSliceLayout layout = brindle::orvPickSliceLayout(params);
    const uint64_t blocks = uint64_t{layout.sliceWidth / 4} * (layout.sliceHeight / 4);
    auto coded = [&](uint64_t bytes) {
        switch (compression) {
            case ORV_COMPRESSION_SNAPPY: return 32 + bytes + bytes / 6;
            case ORV_COMPRESSION_LZ4: return bytes + bytes / 255 + 16 + 4;
            default: return bytes;
        }
    };
    auto section = [](uint64_t bytes) { return bytes + (bytes < (1u << 24) ? 4 : 8); };
    const uint64_t slice = format == ORV_PIX_FMT_YCOCG_DXT5_ALPHA
                               ? section(section(coded(16 * blocks)) + section(coded(8 * blocks)))
                               : section(coded((format == ORV_PIX_FMT_DXT1 ? 8 : 16) * blocks));
    const uint64_t slices = uint64_t{layout.numColumns} * layout.numRows;
    return 10 + 4 * slices + slices * slice;
}

// The library's conversion of one float sample, as its documentation states it.
int16_t expectedPcm(float sample) {
    if (std::isnan(sample)) return 0;
    return static_cast<int16_t>(std::clamp(sample * 32768.0f, -32768.0f, 32767.0f));
}

// ---- The model of a session ---------------------------------------------------------

struct StreamModel {
    bool video = false;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t channels = 0;
    bool begun = false;
    bool finished = false;
    // Video: the pts of every accepted frame, and how many came before the
    // first one that cannot be encoded (a pixel format the encoder lacks).
    std::vector<uint64_t> acceptedPts;
    size_t goodPrefix = 0;
    bool badFrameAccepted = false;
    // A buffer allocation failed while the stream was active: some frame
    // may be lost, which frames is not modelled.
    bool allocationFailed = false;
    // Audio: the samples the section must hold.
    std::vector<int16_t> samples;
    // The answer of the call that ended the stream, when a call did.
    bool endAnswered = false;
    OrvError_enum endCode = ORV_ERR_NONE;

    bool mayHaveFailed() const { return badFrameAccepted || allocationFailed; }
};

class EncoderRun {
public:
    EncoderRun(std::span<const uint8_t> program, const std::string& path)
        : in(program), path(path) {}

    std::string run();

private:
    void check(bool condition, const std::string& what) {
        if (!condition && problem.empty()) problem = what;
    }
    void expectCall(const char* call, OrvError_enum code, OrvError_enum expected,
                    const char* message) {
        std::ostringstream text;
        text << call << " answered " << code << " \"" << orvGetErrorMessage(encoder)
             << "\", expected " << expected << " \"" << message << "\"";
        check(code == expected, text.str());
        if (code != ORV_ERR_NONE) check(std::strcmp(orvGetErrorMessage(encoder), message) == 0, text.str());
    }
    uint64_t failedAllocations() const { return brindle::bufferCounters().failedAllocations; }
    // Streams of one kind that the session holds.
    size_t kindCount(bool video) const {
        return static_cast<size_t>(std::count_if(
            streams.begin(), streams.end(), [&](const StreamModel& s) { return s.video == video; }));
    }

    void addVideo();
    void addAudio();
    void begin();
    void videoFrame();
    void audioFrame();
    void endActive(const char* call, OrvError_enum code);
    void end();
    void finish();
    void query();
    void checkFile();

    Input in;
    std::string path;
    std::string problem;
    OrvEnc* encoder = nullptr;
    std::vector<StreamModel> streams;
    int active = -1;
    bool sessionFinished = false;
    uint64_t failedAtBegin = 0;  // failed allocations when the active stream began
    std::vector<size_t> beginOrder;
};

std::string EncoderRun::run() {
    const OrvEncoderParams_st params{1 + in.u8() % 4u};
    if (orvEncoderOpen(path.c_str(), &params, &encoder) != ORV_ERR_NONE)
        return "cannot open " + path;
    for (int op = 0; op < kMaxOperations && !in.done() && problem.empty(); ++op) {
        switch (in.u8() % opCount) {
            case opAddVideo: addVideo(); break;
            case opAddAudio: addAudio(); break;
            case opBegin: begin(); break;
            case opVideoFrame: videoFrame(); break;
            case opAudioFrame: audioFrame(); break;
            case opEnd: end(); break;
            case opFinish: finish(); break;
            case opQuery: query(); break;
            case opFailAllocation: brindle::failBufferAllocationAfter(in.u8() % 24); break;
        }
    }
    // The host stops here, finished or not; closing ends whatever is open,
    // and the active stream's frames are encoded meanwhile.
    orvEncoderClose(encoder);
    if (active >= 0 && failedAllocations() != failedAtBegin)
        streams[static_cast<size_t>(active)].allocationFailed = true;
    brindle::failBufferAllocationAfter(-1);
    if (problem.empty()) checkFile();
    return problem;
}

void EncoderRun::addVideo() {
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    params.width = dimension(in);
    params.height = dimension(in);
    constexpr double aspects[] = {1.0, 0.01, 10.0, std::numeric_limits<double>::quiet_NaN(), 0.001,
                                  16.0 / 9.0, 11.0, 1.0};
    params.aspectRatio = aspects[in.u8() % 8];
    params.timebaseNum = smallOrAny(in);
    params.timebaseDen = smallOrAny(in);
    params.fpsNum = in.u16();
    params.fpsDen = in.u16();
    params.format = in.u8() % 6;
    params.compression = in.u8() % 4;
    params.compressionHint = in.u8() % 4;
    params.maxParallel = maxParallelChoice(in.u8(), in);
    const uint8_t device = in.u8();
    params.device = device % 8 == 7 ? in.u8() : 1;
    int id = -7;
    const OrvError_enum code = orvAddVideoStream(encoder, &params, &id);
    // The refusals in their order: the session's, then the stream's.
    struct Refusal {
        bool applies;
        OrvError_enum code;
        const char* message;
    };
    const Refusal refusals[] = {
        {sessionFinished, ORV_ERR_UNKNOWN, "encoder already finished"},
        {kindCount(true) >= 2, ORV_ERR_TOO_MANY_STREAMS, "too many video streams"},
        {params.width == 0 || params.height == 0, ORV_ERR_UNKNOWN, "bad frame dimensions"},
        {params.width > 0xFFFF || params.height > 0xFFFF, ORV_ERR_INVALID_DIMENSIONS,
         "frame dimensions too large"},
        {params.timebaseNum < 1 || params.timebaseDen < 1, ORV_ERR_INVALID_TIMEBASE,
         "invalid timebase"},
        {params.aspectRatio < 0.01 || params.aspectRatio > 10.0, ORV_ERR_INVALID_ASPECT_RATIO,
         "invalid aspect ratio"},
        {params.device != 1, ORV_ERR_UNSUPPORTED_DEVICE, "unsupported encode device"},
        {params.format > 3, ORV_ERR_UNKNOWN, "no encoder for format"},
        {params.compression > 2, ORV_ERR_UNKNOWN_ORV_COMPRESSION_FORMAT,
         "unknown compression format"},
    };
    const Refusal* refusal = std::find_if(std::begin(refusals), std::end(refusals),
                                          [](const Refusal& r) { return r.applies; });
    if (refusal != std::end(refusals))
        expectCall("orvAddVideoStream", code, refusal->code, refusal->message);
    else if (worstRecordSize(params.width, params.height, params.format, params.compression) >
             UINT32_MAX)
        expectCall("orvAddVideoStream", code, ORV_ERR_INVALID_DIMENSIONS,
                   "frame record too large for the index");
    else
        expectCall("orvAddVideoStream", code, ORV_ERR_NONE, "");
    if (code != ORV_ERR_NONE) {
        check(id == -7, "a refused stream wrote its id");
        return;
    }
    check(id == static_cast<int>(streams.size()), "stream ids are not consecutive");
    StreamModel stream;
    stream.video = true;
    stream.width = params.width;
    stream.height = params.height;
    streams.push_back(stream);
}

void EncoderRun::addAudio() {
    OrvAudioStreamParams_st params;
    orvInitAudioStreamParams(&params);
    params.sampleRate = in.u32();
    const uint8_t kind = in.u8();
    switch (kind % 4) {
        case 0: params.numChannels = 1; break;
        case 1: params.numChannels = 2; break;
        case 2: params.numChannels = in.u8() % 8; break;
        default: params.numChannels = in.u16(); break;
    }
    params.channelLayout = in.u8() % 6;
    params.timebaseNum = smallOrAny(in);
    params.timebaseDen = smallOrAny(in);
    int id = -7;
    const OrvError_enum code = orvAddAudioStream(encoder, &params, &id);
    // The WAV header keeps the block alignment (channels x 2) in 16 bits and
    // the byte rate in 32.
    constexpr uint32_t layoutChannels[] = {0, 1, 2, 6};
    const char* refusal = nullptr;
    OrvError_enum refusalCode = ORV_ERR_UNKNOWN;
    if (sessionFinished) {
        refusal = "encoder already finished";
    } else if (kindCount(false) >= 2) {
        refusal = "too many audio streams";
        refusalCode = ORV_ERR_TOO_MANY_STREAMS;
    } else if (params.numChannels == 0 || params.numChannels > 32767) {
        refusal = "bad channel count";
    } else if (params.channelLayout > 3) {
        refusal = "unknown channel layout";
    } else if (params.channelLayout != 0 &&
               layoutChannels[params.channelLayout] != params.numChannels) {
        refusal = "incorrect number of channels for layout";
    } else if (params.sampleRate == 0) {
        refusal = "bad sample rate";
    } else if (uint64_t{params.sampleRate} * params.numChannels * 2 > UINT32_MAX) {
        refusal = "sample rate too high for the channel count";
    }
    if (refusal == nullptr) expectCall("orvAddAudioStream", code, ORV_ERR_NONE, "");
    else expectCall("orvAddAudioStream", code, refusalCode, refusal);
    if (code != ORV_ERR_NONE) {
        check(id == -7, "a refused stream wrote its id");
        return;
    }
    check(id == static_cast<int>(streams.size()), "stream ids are not consecutive");
    StreamModel stream;
    stream.channels = params.numChannels;
    streams.push_back(stream);
}

void EncoderRun::begin() {
    const int id = static_cast<int>(in.u8() % 7) - 1;
    const OrvError_enum code = orvBeginStream(encoder, id);
    if (active >= 0)
        return expectCall("orvBeginStream", code, ORV_ERR_UNKNOWN, "missing call to endStream()");
    if (id < 0 || static_cast<size_t>(id) >= streams.size())
        return expectCall("orvBeginStream", code, ORV_ERR_UNKNOWN, "unknown stream id");
    StreamModel& stream = streams[static_cast<size_t>(id)];
    if (stream.finished)
        return expectCall("orvBeginStream", code, ORV_ERR_UNKNOWN, "stream is already finished");
    expectCall("orvBeginStream", code, ORV_ERR_NONE, "");
    active = id;
    stream.begun = true;
    failedAtBegin = failedAllocations();
    beginOrder.push_back(static_cast<size_t>(id));
}

void EncoderRun::videoFrame() {
    StreamModel* stream = active >= 0 ? &streams[static_cast<size_t>(active)] : nullptr;
    const bool toVideo = stream != nullptr && stream->video;
    OrvSrcFrame_st frame{};
    const uint8_t shape = in.u8();
    frame.width = toVideo && shape % 8 != 0 ? stream->width : dimension(in);
    frame.height = toVideo && shape % 16 != 1 ? stream->height : dimension(in);
    frame.pixFmt = pixFmtChoice(in.u8());
    const uint8_t origin = in.u8();
    frame.origin = origin % 8 == 0 ? origin / 8 % 4 : origin % 2;
    // Mostly whole rows; sometimes 15 to 24 bytes of padding, sometimes a
    // byte short.
    const int rowSlack = static_cast<int8_t>(in.u8()) % 9;
    int64_t stride = int64_t{frame.width} * 4;
    if (rowSlack > 4) stride += 3 * rowSlack;
    if (rowSlack < -4) stride -= 1;
    frame.stride = static_cast<uint32_t>(std::max<int64_t>(stride, 0));
    frame.pts = static_cast<int64_t>(in.u64());
    frame.numSamples = in.u8();
    const uint8_t bufferKind = in.u8();
    const uint64_t wanted = uint64_t{frame.stride} * frame.height;
    OrvBuffer_st* buffer = nullptr;
    if (bufferKind % 16 != 0) {
        buffer = orvBufferAlloc(nearSize(wanted, in));  // null when an injected failure hits it
        if (buffer != nullptr) fillPattern(buffer, bufferKind);
    }
    frame.buffer = buffer;
    // Read before the call: an accepted buffer may be gone when it returns.
    const uint64_t bufferSize = buffer != nullptr ? orvBufferSize(buffer) : 0;
    const OrvError_enum code = orvEncodeFrame(encoder, &frame);

    if (stream == nullptr) {
        expectCall("orvEncodeFrame", code, ORV_ERR_UNKNOWN, "missing call to beginStream()");
    } else if (!toVideo) {
        // An audio stream reads numSamples and the buffer only.
        const uint64_t need = uint64_t{4} * frame.numSamples * stream->channels;
        if (buffer == nullptr)
            expectCall("orvEncodeFrame", code, ORV_ERR_UNKNOWN, "frame has no buffer");
        else if (bufferSize < need)
            expectCall("orvEncodeFrame", code, ORV_ERR_UNKNOWN, "samples outside of buffer range");
        else
            expectCall("orvEncodeFrame", code, ORV_ERR_NONE, "");
        if (code == ORV_ERR_NONE && buffer != nullptr) {
            const auto* planes = static_cast<const float*>(orvBufferData(buffer));
            for (uint32_t s = 0; s < frame.numSamples; ++s)
                for (uint32_t c = 0; c < stream->channels; ++c) {
                    float sample;
                    std::memcpy(&sample, &planes[size_t{c} * frame.numSamples + s], sizeof sample);
                    stream->samples.push_back(expectedPcm(sample));
                }
        }
    } else {
        // The refusals in their order; a stored failure of the stream may
        // come first.
        const char* refusal = nullptr;
        OrvError_enum refusalCode = ORV_ERR_INVALID_DIMENSIONS;
        const uint32_t bytesPerPixel = frame.pixFmt == 0 || frame.pixFmt == 2 ? 3
                                       : frame.pixFmt == 1 || frame.pixFmt == 3 ? 4
                                       : frame.pixFmt == 4                      ? 12
                                       : frame.pixFmt == 5                      ? 16
                                                                                : 0;
        if (frame.width != stream->width || frame.height != stream->height) {
            refusal = "frame dimensions do not match stream params";
        } else if (frame.origin >= 2) {
            refusal = "bad origin on frame";
            refusalCode = ORV_ERR_UNKNOWN;
        } else if (buffer == nullptr) {
            refusal = "frame has no buffer";
        } else if (bytesPerPixel != 0 && frame.stride < uint64_t{bytesPerPixel} * frame.width) {
            refusal = "frame stride too small";
        } else if (bufferSize < wanted) {
            refusal = "frame buffer too small";
        }
        if (!stream->mayHaveFailed() && failedAllocations() == failedAtBegin) {
            if (refusal != nullptr)
                expectCall("orvEncodeFrame", code, refusalCode, refusal);
            else
                expectCall("orvEncodeFrame", code, ORV_ERR_NONE, "");
        } else if (refusal != nullptr) {
            check(code != ORV_ERR_NONE, "a frame that must be refused was accepted");
        }
        if (code == ORV_ERR_NONE) {
            buffer = nullptr;  // the library's now
            stream->acceptedPts.push_back(static_cast<uint64_t>(frame.pts));
            const bool encodable =
                frame.pixFmt == ORV_SRC_PIX_FMT_RGBA32 || frame.pixFmt == ORV_SRC_PIX_FMT_BGRA32;
            if (!encodable) stream->badFrameAccepted = true;
            if (!stream->badFrameAccepted) stream->goodPrefix = stream->acceptedPts.size();
        }
    }
    orvBufferFree(buffer);
}

void EncoderRun::audioFrame() {
    StreamModel* stream = active >= 0 ? &streams[static_cast<size_t>(active)] : nullptr;
    OrvSrcFrame_st frame{};
    const uint8_t kind = in.u8();
    frame.numSamples = kind % 8 == 0 ? in.u32() : in.u16() % 3000;
    const uint32_t channels = stream != nullptr && !stream->video ? stream->channels : 1;
    OrvBuffer_st* buffer = nullptr;
    const uint8_t bufferKind = in.u8();
    if (bufferKind % 16 != 0) {
        buffer = orvBufferAlloc(nearSize(uint64_t{4} * frame.numSamples * channels, in));
        if (buffer != nullptr) fillPattern(buffer, bufferKind);
    }
    frame.buffer = buffer;
    const OrvError_enum code = orvEncodeFrame(encoder, &frame);
    if (stream == nullptr) {
        expectCall("orvEncodeFrame", code, ORV_ERR_UNKNOWN, "missing call to beginStream()");
    } else if (stream->video) {
        // A record with no picture: its size cannot match (a zero side is
        // never a stream's), unless a stored failure answers first.
        check(code != ORV_ERR_NONE, "a video stream accepted a frame of size 0x0");
    } else if (buffer == nullptr) {
        expectCall("orvEncodeFrame", code, ORV_ERR_UNKNOWN, "frame has no buffer");
    } else if (orvBufferSize(buffer) < uint64_t{4} * frame.numSamples * channels) {
        expectCall("orvEncodeFrame", code, ORV_ERR_UNKNOWN, "samples outside of buffer range");
    } else {
        expectCall("orvEncodeFrame", code, ORV_ERR_NONE, "");
        if (code == ORV_ERR_NONE) {
            const auto* planes = static_cast<const float*>(orvBufferData(buffer));
            for (uint32_t s = 0; s < frame.numSamples; ++s)
                for (uint32_t c = 0; c < channels; ++c)
                    stream->samples.push_back(expectedPcm(planes[size_t{c} * frame.numSamples + s]));
        }
    }
    orvBufferFree(buffer);  // audio buffers always stay the host's
}

// The active stream was ended by `call`, which answered `code`.
void EncoderRun::endActive(const char* call, OrvError_enum code) {
    StreamModel& stream = streams[static_cast<size_t>(active)];
    if (failedAllocations() != failedAtBegin) stream.allocationFailed = true;
    if (!stream.mayHaveFailed()) expectCall(call, code, ORV_ERR_NONE, "");
    else if (stream.badFrameAccepted && !stream.allocationFailed)
        check(code == ORV_ERR_UNKNOWN, std::string(call) + " hid a frame that failed");
    stream.finished = true;
    stream.endAnswered = true;
    stream.endCode = code;
    active = -1;
}

void EncoderRun::end() {
    const OrvError_enum code = orvEndStream(encoder);
    if (active < 0) return expectCall("orvEndStream", code, ORV_ERR_UNKNOWN, "no active stream");
    endActive("orvEndStream", code);
}

void EncoderRun::finish() {
    const OrvError_enum code = orvEncoderFinish(encoder);
    if (active >= 0) {
        const bool failing = streams[static_cast<size_t>(active)].mayHaveFailed() ||
                             failedAllocations() != failedAtBegin;
        endActive("orvEncoderFinish", code);
        // A failing end stops the finish before the other streams close.
        if (failing && code != ORV_ERR_NONE) return;
    } else {
        expectCall("orvEncoderFinish", code, ORV_ERR_NONE, "");
    }
    for (StreamModel& stream : streams) stream.finished = true;
    sessionFinished = true;
}

void EncoderRun::query() {
    // Null arguments are refused by name and change nothing.
    int untouched = -7;
    expectCall("orvEncodeFrame", orvEncodeFrame(encoder, nullptr), ORV_ERR_UNKNOWN,
               "invalid argument: frame is null");
    expectCall("orvAddAudioStream", orvAddAudioStream(encoder, nullptr, &untouched),
               ORV_ERR_UNKNOWN, "invalid argument: params is null");
    check(untouched == -7, "a refused stream wrote its id");
    check(orvEndStream(nullptr) == ORV_ERR_UNKNOWN, "a null session was not refused");
    check(std::strcmp(orvGetErrorMessage(nullptr), "") == 0, "a null session has a message");
    check(orvBufferData(nullptr) == nullptr && orvBufferSize(nullptr) == 0, "a null buffer has data");
    const int id = static_cast<int>(in.u8() % 7) - 1;
    const int32_t* formats = orvGetPreferredSrcPixFmts(encoder, id);
    const bool video = id >= 0 && static_cast<size_t>(id) < streams.size() &&
                       streams[static_cast<size_t>(id)].video;
    if (!video) return check(formats == nullptr, "formats for a stream that has none");
    check(formats != nullptr && formats[0] == 1 && formats[1] == 3 && formats[2] == -1,
          "video formats are not {1, 3, -1}");
    check(orvGetErrorMessage(encoder) != nullptr, "no error message");
}

void EncoderRun::checkFile() {
    const OpenReader reader(path);
    if (reader.code != ORV_ERR_NONE) return check(false, "the file cannot be opened: " + reader.message);
    const auto [problem, count] = firstProblem(reader);
    if (count != 0) return check(false, "the file is damaged: " + problem);
    uint32_t sections = 0;
    orvReaderGetNumSections(reader.handle, &sections);
    // Every begun stream ended exactly one section, in the order begun.
    if (sections != beginOrder.size())
        return check(false, "sections: " + std::to_string(sections) + ", begun: " +
                                std::to_string(beginOrder.size()));
    for (uint32_t slot = 0; slot < sections; ++slot) {
        const StreamModel& stream = streams[beginOrder[slot]];
        const std::string which = "section " + std::to_string(slot) + ": ";
        if (!stream.video) {
            OrvReaderAudioInfo_st audio{};
            if (orvReaderGetAudioInfo(reader.handle, slot, &audio) != ORV_ERR_NONE)
                return check(false, which + "not audio: " + reader.failure());
            std::vector<int16_t> samples(audio.numSamples * audio.numChannels);
            check(orvReaderReadAudio(reader.handle, slot, 0, audio.numSamples, samples.data()) == ORV_ERR_NONE &&
                      samples == stream.samples,
                  which + "samples differ");
            continue;
        }
        OrvReaderVideoInfo_st video{};
        if (orvReaderGetVideoInfo(reader.handle, slot, &video) != ORV_ERR_NONE)
            return check(false, which + "not video: " + reader.failure());
        std::vector<uint64_t> pts(video.frameCount);
        for (uint32_t k = 0; k < video.frameCount; ++k) {
            int64_t value = 0;
            orvReaderGetFramePts(reader.handle, slot, k, &value);
            pts[k] = static_cast<uint64_t>(value);
        }
        const bool prefix =
            pts.size() <= stream.acceptedPts.size() &&
            std::equal(pts.begin(), pts.end(), stream.acceptedPts.begin());
        check(prefix, which + "frames are not the accepted ones in order");
        if (!stream.mayHaveFailed())
            check(pts.size() == stream.acceptedPts.size(), which + "accepted frames are missing");
        else if (!stream.allocationFailed)
            check(pts.size() == stream.goodPrefix, which + "wrong frames around a failed one");
        if (stream.endAnswered && pts.size() < stream.acceptedPts.size())
            check(stream.endCode != ORV_ERR_NONE, which + "frames were lost and the end said 0");
        // A stream may be as large as the format allows and hold no frame:
        // the picture is made only for frames the program could have given.
        if (video.frameCount == 0) continue;
        std::vector<uint8_t> picture(size_t{video.width} * video.height * 4);
        for (uint32_t k = 0; k < video.frameCount; ++k)
            if (orvReaderDecodeFrame(reader.handle, slot, k, ORV_SRC_PIX_FMT_RGBA32, 0, picture.data(),
                                     size_t{video.width} * 4, picture.size()) != ORV_ERR_NONE)
                return check(false, which + "frame " + std::to_string(k) + ": " + reader.failure());
    }
}

}  // namespace

std::string runEncoderProgram(std::span<const uint8_t> program, const std::string& path) {
    return EncoderRun(program, path).run();
}

// ---- The reader ---------------------------------------------------------------------

namespace {

// Keeps each input quick and its memory small: larger frames and audio are
// read only as far as this many bytes of output.
constexpr uint64_t kMaxReadBytes = 16 << 20;

// Reads everything of a section that its size allows; returns the first
// failure.
std::string readVideo(const OpenReader& reader, uint32_t section) {
    OrvReaderVideoInfo_st video{};
    if (orvReaderGetVideoInfo(reader.handle, section, &video) != ORV_ERR_NONE) return reader.failure();
    for (uint32_t k = 0; k < video.frameCount && k < 8; ++k) {
        for (const uint32_t layout : {ORV_TEXTURES_PER_SLICE, ORV_TEXTURES_WHOLE_FRAME}) {
            uint32_t count = 0;
            uint64_t size = 0;
            if (orvReaderGetTextureLayout(reader.handle, section, layout, nullptr, 0, &count, &size) != ORV_ERR_NONE)
                return reader.failure();
            if (size > kMaxReadBytes) continue;
            std::vector<uint8_t> blocks(size);
            if (orvReaderReadTextures(reader.handle, section, k, layout, blocks.data(), size) != ORV_ERR_NONE)
                return "frame " + std::to_string(k) + ": " + reader.failure();
        }
        const uint64_t pictureBytes = uint64_t{video.width} * video.height * 4;
        if (pictureBytes > kMaxReadBytes) continue;
        std::vector<uint8_t> picture(pictureBytes);
        for (const uint32_t origin : {0u, 1u})
            if (orvReaderDecodeFrame(reader.handle, section, k, ORV_SRC_PIX_FMT_BGRA32, origin, picture.data(),
                                     size_t{video.width} * 4, picture.size()) != ORV_ERR_NONE)
                return "frame " + std::to_string(k) + ": " + reader.failure();
    }
    return "";
}

std::string readAudio(const OpenReader& reader, uint32_t section) {
    OrvReaderAudioInfo_st audio{};
    if (orvReaderGetAudioInfo(reader.handle, section, &audio) != ORV_ERR_NONE) return reader.failure();
    const uint64_t frames = std::min<uint64_t>(audio.numSamples, kMaxReadBytes / 4 / audio.numChannels);
    std::vector<int16_t> samples(frames * audio.numChannels);
    std::vector<float> planar(samples.size());
    if (orvReaderReadAudio(reader.handle, section, 0, frames, samples.data()) != ORV_ERR_NONE ||
        orvReaderReadAudioFloat(reader.handle, section, 0, frames, planar.data()) != ORV_ERR_NONE)
        return reader.failure();
    return "";
}

}  // namespace

std::string readMutatedFile(std::span<const uint8_t> bytes) {
    const MemoryFile file(bytes);
    const OpenReader reader(file.path());
    if (reader.code != ORV_ERR_NONE) return "";  // refused, with a reason
    const auto [problem, count] = firstProblem(reader);
    uint32_t sections = 0;
    orvReaderGetNumSections(reader.handle, &sections);
    for (uint32_t i = 0; i < sections; ++i) {
        OrvReaderSection_st section{};
        orvReaderGetSection(reader.handle, i, &section);
        const std::string failure = section.kind == ORV_SECTION_KIND_VIDEO   ? readVideo(reader, i)
                                    : section.kind == ORV_SECTION_KIND_AUDIO ? readAudio(reader, i)
                                                                             : "";
        if (!failure.empty() && count == 0)
            return "verification passed a file whose section " + std::to_string(i) + " cannot be read: " + failure;
    }
    return "";
}

// ---- Seed programs --------------------------------------------------------------------

ProgramWriter& ProgramWriter::addVideo(uint8_t width, uint8_t height, uint8_t format,
                                       uint8_t compression, uint8_t maxParallel) {
    u8(opAddVideo);
    u8(0).u8(width - 1);   // a side of 1 to 64
    u8(0).u8(height - 1);
    u8(0);                 // aspect ratio 1.0
    u8(1).u8(1);           // time base 1/1
    u16(25).u16(1);        // 25 fps
    u8(format).u8(compression).u8(0).u8(maxParallel);
    return u8(0);          // device 1
}

ProgramWriter& ProgramWriter::addAudio(uint8_t channels, uint8_t layout) {
    u8(opAddAudio).u32(48000);
    u8(2).u8(channels);
    u8(layout);
    return u8(1).u8(2);    // time base 1/2, logged only
}

ProgramWriter& ProgramWriter::videoFrame(uint8_t pixFmtChoice, uint8_t origin, uint64_t pts) {
    u8(opVideoFrame);
    u8(2);                 // the stream's size
    u8(pixFmtChoice).u8(origin).u8(0);
    u64(pts);
    u8(0);
    return u8(1).u8(0);    // a buffer of exactly stride x height bytes
}

ProgramWriter& ProgramWriter::audioFrame(uint16_t samples) {
    return u8(opAudioFrame).u8(1).u16(samples).u8(1).u8(0);
}

}  // namespace orvfuzz
