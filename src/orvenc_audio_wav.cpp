#include "orvenc_audio_wav.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "brindle.hpp"
#include "orv_format.hpp"

namespace brindle {

namespace {

// The samples are written from pcmScratch as they lie in memory, and the
// float planes are read the same way: both must be little-endian.
static_assert(std::endian::native == std::endian::little,
              "WAV samples are written straight from memory in host byte order");

// Both size fields are 32-bit; the RIFF size is the larger one.
constexpr uint64_t kMaxDataBytes = UINT32_MAX - kWavRiffSizeBeyondData;

// Sample frames converted per write.
constexpr uint64_t kChunkFrames = 4096;
constexpr uint32_t kBytesPerSample = 2;  // 16-bit PCM
// The format chunk keeps the block alignment (channels x 2 bytes) in 16
// bits and the byte rate (rate x alignment) in 32.
constexpr uint32_t kMaxChannels = UINT16_MAX / kBytesPerSample;
constexpr uint64_t kMaxByteRate = UINT32_MAX;
constexpr uint64_t kBytesPerFloatSample = 4;

// Channel count that a layout demands; 0 when it takes any count, -1 when the
// layout is unknown.
int64_t channelsOfLayout(uint32_t layout) {
    switch (layout) {
        case ORV_CHANNEL_LAYOUT_ANY: return 0;
        case ORV_CHANNEL_LAYOUT_MONO: return 1;
        case ORV_CHANNEL_LAYOUT_STEREO: return 2;
        case ORV_CHANNEL_LAYOUT_SIX_CHANNELS: return 6;
        default: return -1;
    }
}

// Full scale 1.0 maps to 32768, limited to the 16-bit range, truncated
// toward zero; a NaN is silence.
int16_t toPcm16(float sample) {
    if (std::isnan(sample)) return 0;
    const float scaled = std::clamp(sample * 32768.0f, -32768.0f, 32767.0f);
    return static_cast<int16_t>(scaled);
}

}  // namespace

OrvEncAudioWavStream::OrvEncAudioWavStream(int id, const OrvAudioStreamParams_st& params,
                                           OrvEncContext& context)
    : OrvEncStream(id), context(context), writer(context.writer) {
    // Logged before the checks, so that refused parameters show too.
    log("stream %u: samplerate: %u, channels: %u, timebase: %d/%d", this->id, params.sampleRate,
        params.numChannels, static_cast<int32_t>(static_cast<uint32_t>(params.timebaseNum)),
        static_cast<int32_t>(static_cast<uint32_t>(params.timebaseDen)));
    if (params.numChannels == 0 || params.numChannels > kMaxChannels)
        throw OrvException("bad channel count", ORV_ERR_UNKNOWN);
    const int64_t layoutChannels = channelsOfLayout(params.channelLayout);
    if (layoutChannels < 0) throw OrvException("unknown channel layout", ORV_ERR_UNKNOWN);
    if (layoutChannels != 0 && layoutChannels != params.numChannels)
        throw OrvException("incorrect number of channels for layout", ORV_ERR_UNKNOWN);
    if (params.sampleRate == 0) throw OrvException("bad sample rate", ORV_ERR_UNKNOWN);
    if (uint64_t{params.sampleRate} * params.numChannels * kBytesPerSample > kMaxByteRate)
        throw OrvException("sample rate too high for the channel count", ORV_ERR_UNKNOWN);
    numChannels = params.numChannels;
    sampleRate = params.sampleRate;
    bitsPerSample = kWavBitsPerSample;
}

void OrvEncAudioWavStream::begin() {
    writer.beginSection(ORV_SECTION_AUDIO);
    writer.writeAudioHeader(OrvAudioHeader{kOrvAudioCodecWav});
    writeHeader();
}

void OrvEncAudioWavStream::writeHeader() {
    const uint32_t bytesPerFrame = numChannels * (bitsPerSample / 8);
    const uint64_t riffOffset = writer.currentOffset();
    writer.writeData(sizeof kWavRiffTag, kWavRiffTag);
    writer.writeU32(0);  // patched at close
    writer.writeData(sizeof kWavWaveTag, kWavWaveTag);
    writer.writeData(sizeof kWavFmtTag, kWavFmtTag);
    writer.writeU32(kWavFmtChunkBodySize);
    writer.writeU16(kWavFormatPcm);
    writer.writeU16(static_cast<uint16_t>(numChannels));
    writer.writeU32(sampleRate);
    writer.writeU32(sampleRate * bytesPerFrame);  // bytes per second; fits, as checked
    writer.writeU16(static_cast<uint16_t>(bytesPerFrame));
    writer.writeU16(static_cast<uint16_t>(bitsPerSample));
    const uint64_t dataOffset = writer.currentOffset();
    writer.writeData(sizeof kWavDataTag, kWavDataTag);
    writer.writeU32(0);  // patched at close
    // Recorded only once the whole header is out: close() relies on both
    // offsets naming fields that are really in the file.
    riffChunkSizeOffset = riffOffset;
    dataChunkSizeOffset = dataOffset;
}

void OrvEncAudioWavStream::encodeFrame(const OrvSrcFrame_st& frame) {
    if (frame.buffer == nullptr) throw OrvException("frame has no buffer", ORV_ERR_UNKNOWN);
    const uint64_t numSamples = frame.numSamples;
    // 64-bit products: n × channels × 4 does not fit 32 bits for long frames.
    if (orvBufferSize(frame.buffer) < kBytesPerFloatSample * numSamples * numChannels)
        throw OrvException("samples outside of buffer range", ORV_ERR_UNKNOWN);
    const uint64_t bytesPerFrame = numChannels * (bitsPerSample / 8);
    // dataBytesWritten never exceeds kMaxDataBytes, so the difference is exact.
    if (bytesPerFrame * numSamples > kMaxDataBytes - dataBytesWritten)
        throw OrvException("audio stream too long", ORV_ERR_UNKNOWN);
    if (numSamples == 0) return;

    // The scratch holds one chunk: at most numChannels × 4096 values. It grows
    // only when a frame needs more than any frame before.
    const uint64_t chunkCapacity = std::min(numSamples, kChunkFrames);
    const uint64_t scratchValues = numChannels * chunkCapacity;
    if (pcmScratch.size() < scratchValues) pcmScratch.resize(scratchValues);
    const uint8_t* data = static_cast<const uint8_t*>(orvBufferData(frame.buffer));
    channelPlanes.resize(numChannels);
    for (uint32_t channel = 0; channel < numChannels; ++channel)
        channelPlanes[channel] =
            reinterpret_cast<const float*>(data + kBytesPerFloatSample * channel * numSamples);

    for (uint64_t first = 0; first < numSamples; first += kChunkFrames) {
        const uint64_t count = std::min(kChunkFrames, numSamples - first);
        int16_t* out = pcmScratch.data();
        for (uint64_t sample = first; sample < first + count; ++sample)
            for (uint32_t channel = 0; channel < numChannels; ++channel)
                *out++ = toPcm16(channelPlanes[channel][sample]);
        const uint64_t bytes = bytesPerFrame * count;
        writer.writeData(bytes, pcmScratch.data());
        dataBytesWritten += bytes;
    }
}

void OrvEncAudioWavStream::close() {
    if (finished) return;
    if (riffChunkSizeOffset == UINT64_MAX || dataChunkSizeOffset == UINT64_MAX) {
        // begin() failed before the header was complete: there is nothing to
        // patch, and the stream can never become a valid WAV image. It is
        // finished so that the session does not keep it active forever.
        finished = true;
        throw OrvException("audio header was not written", ORV_ERR_UNKNOWN);
    }
    const uint64_t end = writer.currentOffset();
    // Only whole chunks are counted, and never more than the 32-bit fields hold.
    const uint32_t dataSize = static_cast<uint32_t>(dataBytesWritten);
    writer.seek(riffChunkSizeOffset + kWavSizeFieldAfterTag);
    writer.writeU32(dataSize + kWavRiffSizeBeyondData);
    writer.seek(dataChunkSizeOffset + kWavSizeFieldAfterTag);
    writer.writeU32(dataSize);
    writer.seek(end);
    finished = true;
    writer.endSection();
}

}  // namespace brindle
