// ORV files written through the library's C interface only: an encoder
// session whose refusals become ToolError with the library's message, the
// audio of a source into a stream of it, and one whole file from a video
// source and an optional audio source.
#pragma once

#include <cstdint>
#include <string>

#include "frame_source.hpp"
#include "orv.h"
#include "progress.hpp"

namespace orvtool {

// An open encoder session, closed (finished if need be) when it goes.
class Encoder {
public:
    // Opens a session writing to `path`, which the caller has created, with
    // `threads` workers (0: one per core).
    Encoder(const std::string& path, uint32_t threads);
    ~Encoder();
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    OrvEnc* get() const { return session; }
    // Throws ToolError "what: <the library's message>" unless result is 0.
    void check(OrvError_enum result, const std::string& what) const;
    // Each returns the new stream's id.
    int addVideo(const OrvVideoStreamParams_st& params);
    int addAudio(const AudioFormat& format);
    void finish();

private:
    OrvEnc* session = nullptr;
};

// Begins the audio stream, encodes everything the source delivers into it
// and ends it; returns the sample frames. `loss` as AudioSource::finish.
uint64_t encodeAudio(Encoder& encoder, int stream, AudioSource& source, std::string& loss);

struct SessionSettings {
    uint32_t format = 0;       // OrvPixFmt_enum
    uint32_t compression = 0;  // OrvCompression_enum
    uint32_t level = 1;        // the LZ4 compression hint
    uint32_t threads = 0;      // 0: one per core
    uint32_t maxParallel = 0;  // 0: the library's default
    int64_t firstPts = 0;      // the pts of the first frame; one more for each after it
};

struct SessionResult {
    uint64_t frames = 0;
    uint64_t samples = 0;
    // What the sources lost on the way without failing; "" when nothing.
    std::string videoLoss;
    std::string audioLoss;
};

// Encodes everything the sources deliver into the file at `path`, which
// the caller has created. Throws ToolError with the library's message.
SessionResult encodeSession(const std::string& path, const SessionSettings& settings,
                            VideoSource& video, AudioSource* audio, ProgressLine& progress);

}  // namespace orvtool
