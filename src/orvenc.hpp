// The encoder session behind the C handle: owns the streams, the shared
// context (task pool and container writer) and the last error message, and
// enforces the order of calls.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "orv.h"
#include "orvenc_stream.hpp"

// Called from the host's thread only, one call at a time; it has no lock.
struct OrvEnc {
    OrvEnc(const std::string& path, const OrvEncoderParams_st& params);
    // Finishes if needed, deletes the streams, closes the file, stops the
    // pool. Never throws; a failure is logged.
    ~OrvEnc();
    OrvEnc(const OrvEnc&) = delete;
    OrvEnc& operator=(const OrvEnc&) = delete;

    int addVideoStream(const OrvVideoStreamParams_st& params);
    int addAudioStream(const OrvAudioStreamParams_st& params);
    brindle::OrvEncStream* getStream(int id);
    void beginStream(int id);
    void endStream();
    void encodeFrame(const OrvSrcFrame_st& frame);
    void encodeFrameRecord(std::span<const uint8_t> record, int64_t pts);
    void finish();
    void addThumbnail(const OrvThumbnail_st& thumbnail);

    void setError(const char* message);
    void setError(const std::string& message);
    const char* getError() const { return errorMessage.c_str(); }

    // Adds a stream built elsewhere (tests use it for stream kinds of their own).
    // Its id must be nextStreamId(); the same limits as for the add functions apply.
    int addStream(std::unique_ptr<brindle::OrvEncStream> stream);
    // The id the next added stream receives.
    int nextStreamId() const { return static_cast<int>(streams.size()); }
    brindle::OrvEncContext& getContext() { return context; }

private:
    // Throws unless a stream of this kind (getType()) may still be added.
    void requireRoomFor(uint32_t type) const;

    std::vector<std::unique_ptr<brindle::OrvEncStream>> streams;
    brindle::OrvEncStream* activeStream = nullptr;
    brindle::OrvEncContext context;
    bool finished = false;
    std::string errorMessage;
};
