// A video stream: validates its parameters, slices every frame, encodes the
// slices on the session's task pool and writes finished frames in order from
// its own writer thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "brindle.hpp"
#include "orv.h"
#include "orvenc_compressor.hpp"
#include "orvenc_frame.hpp"
#include "orvenc_slicer.hpp"
#include "orvenc_stream.hpp"

namespace brindle {

class OrvEncVideoStream : public OrvEncStream {
public:
    OrvEncVideoStream(int id, const OrvVideoStreamParams_st& params, OrvEncContext& context);
    ~OrvEncVideoStream() override;

    uint32_t getType() const override { return 0; }
    const int32_t* getPreferredSrcPixFmts() const override;
    void begin() override;
    void encodeFrame(const OrvSrcFrame_st& frame) override;
    void close() override;
};

}  // namespace brindle
