// The encoder session behind the C handle, the context it shares with its
// streams, and the C entry points that work on a session.
#include "orvenc.hpp"

#include <cassert>
#include <exception>
#include <string>
#include <thread>
#include <utility>

#include "brindle.hpp"
#include "orv_format.hpp"
#include "orvenc_audio_wav.hpp"
#include "orvenc_video.hpp"

namespace {

// Values of OrvEncStream::getType().
constexpr uint32_t kVideoStream = 0;
constexpr uint32_t kAudioStream = 1;
// A session holds at most this many streams of each kind.
constexpr size_t kMaxStreamsPerKind = 2;

const char* tooManyStreamsMessage(uint32_t type) {
    switch (type) {
        case kVideoStream: return "too many video streams";
        case kAudioStream: return "too many audio streams";
        default: return "too many streams";
    }
}

}  // namespace

// ---- Shared context -------------------------------------------------------------

namespace brindle {

unsigned workerCountFor(const OrvEncoderParams_st& params) {
    if (params.numThreads != 0) return params.numThreads;
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware != 0 ? hardware : 8;
}

OrvEncContext::OrvEncContext(const OrvEncoderParams_st& params) : pool(workerCountFor(params)) {}

void OrvEncStream::encodeFrameRecord(std::span<const uint8_t>, int64_t) {
    throw OrvException("frame records go to a video stream", ORV_ERR_UNKNOWN);
}

}  // namespace brindle

// ---- Session ----------------------------------------------------------------------

OrvEnc::OrvEnc(const std::string& path, const OrvEncoderParams_st& params) : context(params) {
    // The writer leaves itself closed when this throws; the members built so
    // far (the pool with its workers) are then released by the unwinding.
    context.writer.open(path, brindle::kOrvSlotCount);  // more slots than a session has streams
    brindle::log("using %u threads", static_cast<unsigned>(context.pool.numWorkers()));
}

OrvEnc::~OrvEnc() {
    // No exception may leave: the host's orvEncoderClose reports nothing.
    try {
        finish();
    } catch (const std::exception& error) {
        brindle::log("OrvEnc::~OrvEnc(): %s", error.what());
    } catch (...) {
        brindle::log("OrvEnc::~OrvEnc(): unknown failure");
    }
    activeStream = nullptr;
    for (std::unique_ptr<brindle::OrvEncStream>& stream : streams) stream.reset();
    streams.clear();
    context.writer.close();
}

void OrvEnc::requireRoomFor(uint32_t type) const {
    // Nothing added now would ever be closed, so its section could not end.
    if (finished) throw brindle::OrvException("encoder already finished", ORV_ERR_UNKNOWN);
    size_t sameKind = 0;
    for (const std::unique_ptr<brindle::OrvEncStream>& stream : streams)
        if (stream->getType() == type) ++sameKind;
    if (sameKind >= kMaxStreamsPerKind)
        throw brindle::OrvException(tooManyStreamsMessage(type), ORV_ERR_TOO_MANY_STREAMS);
}

int OrvEnc::addVideoStream(const OrvVideoStreamParams_st& params) {
    // Checked before construction, so that a refused stream is never built.
    requireRoomFor(kVideoStream);
    return addStream(std::make_unique<brindle::OrvEncVideoStream>(nextStreamId(), params, context));
}

int OrvEnc::addAudioStream(const OrvAudioStreamParams_st& params) {
    requireRoomFor(kAudioStream);
    return addStream(
        std::make_unique<brindle::OrvEncAudioWavStream>(nextStreamId(), params, context));
}

int OrvEnc::addStream(std::unique_ptr<brindle::OrvEncStream> stream) {
    requireRoomFor(stream->getType());
    // A stream's id is its index in the list.
    assert(stream->id == streams.size());
    const int id = nextStreamId();
    streams.push_back(std::move(stream));
    return id;
}

brindle::OrvEncStream* OrvEnc::getStream(int id) {
    if (id < 0 || static_cast<size_t>(id) >= streams.size()) return nullptr;
    return streams[static_cast<size_t>(id)].get();
}

void OrvEnc::beginStream(int id) {
    if (activeStream != nullptr)
        throw brindle::OrvException("missing call to endStream()", ORV_ERR_UNKNOWN);
    brindle::OrvEncStream* stream = getStream(id);
    if (stream == nullptr) throw brindle::OrvException("unknown stream id", ORV_ERR_UNKNOWN);
    if (stream->finished)
        throw brindle::OrvException("stream is already finished", ORV_ERR_UNKNOWN);
    // Active and begun before begin() runs: a stream whose begin() fails
    // part-way may hold a section or a thread that only close() releases.
    activeStream = stream;
    stream->begun = true;
    stream->begin();
}

void OrvEnc::endStream() {
    if (activeStream == nullptr) {
        brindle::log("OrvEnc::endStream() no active stream");
        throw brindle::OrvException("no active stream", ORV_ERR_UNKNOWN);
    }
    try {
        activeStream->close();
    } catch (...) {
        // A stream that marked itself finished will not close again; keeping
        // it active would only repeat this failure on every later call.
        if (activeStream->finished) activeStream = nullptr;
        throw;
    }
    activeStream = nullptr;
}

void OrvEnc::encodeFrame(const OrvSrcFrame_st& frame) {
    if (activeStream == nullptr)
        throw brindle::OrvException("missing call to beginStream()", ORV_ERR_UNKNOWN);
    activeStream->encodeFrame(frame);
}

void OrvEnc::encodeFrameRecord(std::span<const uint8_t> record, int64_t pts) {
    if (activeStream == nullptr)
        throw brindle::OrvException("missing call to beginStream()", ORV_ERR_UNKNOWN);
    activeStream->encodeFrameRecord(record, pts);
}

void OrvEnc::finish() {
    brindle::log("OrvEnc::finish()");
    if (activeStream != nullptr) endStream();
    if (finished) return;
    for (std::unique_ptr<brindle::OrvEncStream>& stream : streams) {
        if (stream->begun) {
            stream->close();
        } else {
            // Never begun: it has no section and no thread, so there is
            // nothing to close, and it may not start one in a finished file.
            stream->finished = true;
        }
    }
    finished = true;
}

void OrvEnc::addThumbnail(const OrvThumbnail_st&) {
    throw brindle::OrvException("unimplemented", ORV_ERR_UNKNOWN);
}

void OrvEnc::setError(const char* message) {
    brindle::log("OrvEnc::setError(): %s", message);
    // Called from the C layer's handlers, where nothing may throw.
    try {
        errorMessage = message;
    } catch (...) {
        errorMessage.clear();
    }
}

void OrvEnc::setError(const std::string& message) { setError(message.c_str()); }

// ---- C entry points -------------------------------------------------------------

namespace {

// The C boundary's one check of a pointer argument, named as in orv.h.
void requireArgument(const void* argument, const char* name) {
    if (argument == nullptr)
        throw brindle::OrvException(std::string("invalid argument: ") + name + " is null",
                                    ORV_ERR_UNKNOWN);
}

// Runs `call` and turns whatever it throws into the caller's code. With a
// session, the failure's text is also logged and kept as its message; a
// throw of something that is no std::exception leaves the message alone.
template <typename Call>
OrvError_enum runGuarded(OrvEnc* session, Call&& call) noexcept {
    try {
        call();
        return ORV_ERR_NONE;
    } catch (const brindle::OrvException& error) {
        if (session != nullptr) session->setError(error.what());
        return static_cast<OrvError_enum>(error.code);
    } catch (const std::exception& error) {
        if (session != nullptr) session->setError(error.what());
        return ORV_ERR_UNKNOWN;
    } catch (...) {
        return ORV_ERR_UNKNOWN;
    }
}

// runGuarded for the entry points that work on a session: the handle is
// checked first; a null one has no session to keep the message in.
template <typename Call>
OrvError_enum runOnSession(OrvEnc* encoder, Call&& call) noexcept {
    return runGuarded(encoder, [&] {
        requireArgument(encoder, "encoder");
        call();
    });
}

}  // namespace

extern "C" {

OrvError_enum orvEncoderOpen(const char* path, const OrvEncoderParams_st* params,
                             OrvEnc** encoder) {
    // No session exists on failure, so nothing keeps a message. The arguments
    // are checked before the pool starts or the file is created.
    return runGuarded(nullptr, [&] {
        requireArgument(path, "path");
        requireArgument(params, "params");
        requireArgument(encoder, "encoder");
        std::unique_ptr<OrvEnc> session = std::make_unique<OrvEnc>(path, *params);
        *encoder = session.release();
    });
}

OrvError_enum orvEncoderFinish(OrvEnc* encoder) {
    return runOnSession(encoder, [&] { encoder->finish(); });
}

OrvError_enum orvEncoderClose(OrvEnc* encoder) {
    // The handle is the host's until here; the session's destructor reports nothing.
    std::unique_ptr<OrvEnc> session(encoder);
    return ORV_ERR_NONE;
}

OrvError_enum orvAddVideoStream(OrvEnc* encoder, const OrvVideoStreamParams_st* params,
                                int* streamId) {
    return runOnSession(encoder, [&] {
        requireArgument(params, "params");
        requireArgument(streamId, "streamId");
        *streamId = encoder->addVideoStream(*params);
    });
}

OrvError_enum orvAddAudioStream(OrvEnc* encoder, const OrvAudioStreamParams_st* params,
                                int* streamId) {
    return runOnSession(encoder, [&] {
        requireArgument(params, "params");
        requireArgument(streamId, "streamId");
        *streamId = encoder->addAudioStream(*params);
    });
}

const int32_t* orvGetPreferredSrcPixFmts(OrvEnc* encoder, int streamId) {
    const brindle::OrvEncStream* stream = encoder ? encoder->getStream(streamId) : nullptr;
    if (stream == nullptr || stream->getType() == kAudioStream) return nullptr;
    return stream->getPreferredSrcPixFmts();
}

OrvError_enum orvBeginStream(OrvEnc* encoder, int streamId) {
    return runOnSession(encoder, [&] { encoder->beginStream(streamId); });
}

OrvError_enum orvEncodeFrame(OrvEnc* encoder, const OrvSrcFrame_st* frame) {
    return runOnSession(encoder, [&] {
        requireArgument(frame, "frame");
        encoder->encodeFrame(*frame);
    });
}

OrvError_enum orvEncodeFrameRecord(OrvEnc* encoder, const void* record, size_t size,
                                   int64_t pts) {
    return runOnSession(encoder, [&] {
        requireArgument(record, "record");
        encoder->encodeFrameRecord({static_cast<const uint8_t*>(record), size}, pts);
    });
}

OrvError_enum orvEndStream(OrvEnc* encoder) {
    return runOnSession(encoder, [&] { encoder->endStream(); });
}

const char* orvGetErrorMessage(OrvEnc* encoder) { return encoder ? encoder->getError() : ""; }

}  // extern "C"
