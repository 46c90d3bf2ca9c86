// An audio stream stored as one 16-bit PCM WAV image inside its section.
#pragma once

#include <cstdint>
#include <vector>

#include "orv.h"
#include "orvenc_stream.hpp"

namespace brindle {

// Runs on the host's thread only, inside the session's calls.
class OrvEncAudioWavStream : public OrvEncStream {
public:
    // Throws "bad channel count", "unknown channel layout",
    // "incorrect number of channels for layout", "bad sample rate", "sample
    // rate too high for the channel count" (13): the WAV header could not
    // hold such a stream.
    OrvEncAudioWavStream(int id, const OrvAudioStreamParams_st& params, OrvEncContext& context);

    uint32_t getType() const override { return 1; }
    const int32_t* getPreferredSrcPixFmts() const override { return nullptr; }
    void begin() override;
    // Planar 32-bit float samples in, interleaved 16-bit samples out.
    void encodeFrame(const OrvSrcFrame_st& frame) override;
    void close() override;
    void writeHeader();

private:
    OrvEncContext& context;
    OrvWriter& writer;
    uint32_t numChannels = 0;
    uint32_t sampleRate = 0;
    uint32_t bitsPerSample = 16;
    uint64_t riffChunkSizeOffset = UINT64_MAX;
    uint64_t dataChunkSizeOffset = UINT64_MAX;
    std::vector<int16_t> pcmScratch;
    std::vector<const float*> channelPlanes;
    // Sample bytes written after the data chunk header so far: what the data
    // size field receives at close. Kept within the 32-bit WAV sizes.
    uint64_t dataBytesWritten = 0;
};

}  // namespace brindle
