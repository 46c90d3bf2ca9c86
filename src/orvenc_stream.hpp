// What the session shares with its streams, and the interface every stream
// kind implements.
#pragma once

#include <cstdint>
#include <span>

#include "orv.h"
#include "orvwriter.hpp"
#include "task_pool.hpp"

namespace brindle {

// The session's task pool and container writer, shared by all its streams.
struct OrvEncContext {
    explicit OrvEncContext(const OrvEncoderParams_st& params);

    TaskPool pool;
    OrvWriter writer;
};

// The worker count of a session: numThreads, else the hardware thread count,
// else 8.
unsigned workerCountFor(const OrvEncoderParams_st& params);

class OrvEncStream {
public:
    explicit OrvEncStream(int id) : id(static_cast<uint32_t>(id)) {}
    virtual ~OrvEncStream() = default;

    virtual uint32_t getType() const = 0;  // 0 video, 1 audio
    virtual const int32_t* getPreferredSrcPixFmts() const = 0;
    // Opens the stream's section and writes its header; called once.
    virtual void begin() = 0;
    virtual void encodeFrame(const OrvSrcFrame_st& frame) = 0;
    // A frame already encoded, as a whole frame record; only video streams
    // take them.
    virtual void encodeFrameRecord(std::span<const uint8_t> record, int64_t pts);
    // Completes the stream's data and ends its section; a second call does nothing.
    virtual void close() { finished = true; }

    uint32_t id;
    bool finished = false;
    // Set by the session when it begins the stream: a stream never begun has
    // no section and nothing to close.
    bool begun = false;
};

}  // namespace brindle
