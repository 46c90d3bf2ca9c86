// The WAV audio stream: its parameter checks and log line, the header whose
// sizes close fills in once, 16-bit samples scaled, limited and truncated,
// interleaved whatever the frame and chunk boundaries, and refused frames
// that write nothing.

#include <limits>

#include "orvenc_audio_wav.hpp"
#include "test_support.hpp"

using brindle::OrvEncAudioWavStream;
using orvtest::Bytes;
using orvtest::expectOrvError;
using orvtest::readLE;
using orvtest::wavHeader;

namespace {

const auto* const logFile = ::testing::AddGlobalTestEnvironment(new orvtest::LogFile);

using Planes = std::vector<std::vector<float>>;
using BufferPtr = std::unique_ptr<OrvBuffer_st, decltype(&orvBufferFree)>;

// Channel after channel, as hosts hand samples over.
BufferPtr planarBuffer(const Planes& channels) {
    size_t total = 0;
    for (const auto& plane : channels) total += plane.size();
    BufferPtr buffer(orvBufferAlloc(total * sizeof(float)), orvBufferFree);
    auto* out = static_cast<float*>(orvBufferData(buffer.get()));
    for (const auto& plane : channels) out = std::copy(plane.begin(), plane.end(), out);
    return buffer;
}

OrvSrcFrame_st audioFrame(OrvBuffer_st* buffer, uint32_t numSamples) {
    return {0, 0, 0, 0, 0, numSamples, 0, buffer};
}

class AudioStreamTest : public ::testing::Test {
protected:
    static constexpr size_t wavStart = 284 + 1;  // after the file header and the codec byte
    AudioStreamTest() : context(OrvEncoderParams_st{1}) { context.writer.open(path, 16); }
    ~AudioStreamTest() override { context.writer.close(); }
    std::unique_ptr<OrvEncAudioWavStream> makeStream(uint32_t channels, uint32_t layout,
                                                     uint32_t rate = 48000, bool begin = true) {
        const OrvAudioStreamParams_st params{rate, channels, layout, 1, rate};
        auto stream = std::make_unique<OrvEncAudioWavStream>(0, params, context);
        if (begin) stream->begin();
        return stream;
    }
    Bytes fileNow() {
        context.writer.flush();
        return orvtest::readFile(path);
    }
    Bytes wavImage() {
        const Bytes file = fileNow();
        return Bytes(file.begin() + wavStart, file.end());
    }

    orvtest::TempDir dir;
    std::string path = dir.path("out.orv");
    brindle::OrvEncContext context;
};

}  // namespace

TEST_F(AudioStreamTest, ChannelsLayoutAndRateAreCheckedInThatOrderAfterTheLogLine) {
    const char *const count = "bad channel count", *const layout = "unknown channel layout",
                      *const mismatch = "incorrect number of channels for layout",
                      *const rate = "bad sample rate",
                      *const byteRate = "sample rate too high for the channel count", *const ok = "";
    const struct { uint32_t channels, layout, rate; const char* message; } cases[] = {
        {32768, ORV_CHANNEL_LAYOUT_ANY, 48000, count}, {UINT32_MAX, ORV_CHANNEL_LAYOUT_ANY, 0, count},
        {0, 9, 48000, count}, {2, 4, 0, layout}, {1, ORV_CHANNEL_LAYOUT_STEREO, 0, mismatch},
        {2, ORV_CHANNEL_LAYOUT_MONO, 48000, mismatch}, {2, ORV_CHANNEL_LAYOUT_STEREO, 0, rate},
        {32767, ORV_CHANNEL_LAYOUT_ANY, 65539, byteRate}, {1, ORV_CHANNEL_LAYOUT_MONO, 0x80000000u, byteRate},
        {32767, ORV_CHANNEL_LAYOUT_ANY, 65538, ok}, {1, ORV_CHANNEL_LAYOUT_MONO, 0x7FFFFFFFu, ok},
        {1, ORV_CHANNEL_LAYOUT_ANY, 1, ok}, {6, ORV_CHANNEL_LAYOUT_SIX_CHANNELS, 48000, ok},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.channels << " channels, layout " << c.layout << ", " << c.rate << " Hz");
        if (*c.message)
            expectOrvError([&] { makeStream(c.channels, c.layout, c.rate, false); }, 13, c.message);
        else
            EXPECT_NO_THROW(makeStream(c.channels, c.layout, c.rate, false));
    }
    orvtest::LogCapture log;
    OrvAudioStreamParams_st params{48000, 2, ORV_CHANNEL_LAYOUT_STEREO, 1, 48000};
    OrvEncAudioWavStream stream(3, params, context);
    params.numChannels = 0;
    params.timebaseNum = 0x1FFFFFFFFll;
    params.timebaseDen = 0x100000007ll;
    expectOrvError([&] { OrvEncAudioWavStream refused(4, params, context); }, 13, "bad channel count");
    EXPECT_EQ(log.text(), "*** stream 3: samplerate: 48000, channels: 2, timebase: 1/48000\n"
                          "*** stream 4: samplerate: 48000, channels: 0, timebase: -1/7\n");
}

TEST_F(AudioStreamTest,
       SamplesAreScaledLimitedAndInterleavedWhateverTheBoundariesAndRefusedFramesWriteNothing) {
    // Three channels: one frame of 10,000 samples goes out in chunks of
    // 4,096, 4,096 and 1,808; then frames of every awkward size, the last
    // one of values out of range, not finite, or too small for a step.
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<float> odd = {1.0f, -1.0f, 0.5f, 2.0f, -3.0f, nan, -0.00001f, 0.00001f,
                                    -0.5f, 0.99999f, -0.99999f, 1e30f, -inf, inf, 0.0f, -0.0f};
    const std::vector<int16_t> oddOut = {32767, -32768, 16384, 32767, -32768, 0, 0, 0,
                                         -16384, 32767, -32767, 32767, -32768, 32767, 0, 0};
    const size_t plain = 10000 + 12289, total = plain + 16;
    Planes planes(3, std::vector<float>(total));
    Bytes pcm;
    for (size_t i = 0; i < total; ++i)
        for (size_t c = 0; c < 3; ++c) {
            const int value =
                i < plain ? static_cast<int>((i * 37 + c * 9001) % 65536) - 32768 : oddOut[(i + c) % 16];
            planes[c][i] = i < plain ? static_cast<float>(value) / 32768.0f
                                     : odd[(i + c) % 16];  // exact: no rounding to model
            orvtest::putLE(pcm, static_cast<uint16_t>(value), 2);
        }
    auto stream = makeStream(3, ORV_CHANNEL_LAYOUT_ANY);
    EXPECT_EQ(fileNow()[284], 0u);  // audio codec: WAV
    EXPECT_EQ(wavImage(), wavHeader(3, 48000, 0, 0));
    size_t first = 0;
    for (size_t length : {10000, 1, 4095, 4097, 4096, 0, 16}) {
        Planes part;
        for (const auto& plane : planes)
            part.emplace_back(plane.begin() + first, plane.begin() + first + length);
        BufferPtr buffer = planarBuffer(part);
        stream->encodeFrame(audioFrame(buffer.get(), static_cast<uint32_t>(length)));
        first += length;
    }
    const size_t before = fileNow().size();
    // A buffer that claims to be huge: nothing of it may be read. The RIFF
    // size D + 36 must fit 32 bits: D may reach 0xFFFFFFDB.
    BufferPtr small(orvBufferAlloc(64), orvBufferFree), liar(orvBufferAlloc(4), orvBufferFree);
    const size_t realSize = liar->size;
    liar->size = SIZE_MAX;
    const struct { OrvBuffer_st* buffer; uint32_t samples; const char* message; } cases[] = {
        {small.get(), 6, "samples outside of buffer range"},  // 72 bytes
        {nullptr, 0, "frame has no buffer"},
        {liar.get(), static_cast<uint32_t>((0xFFFFFFDBu - total * 6) / 6 + 1), "audio stream too long"},
    };
    for (const auto& c : cases)
        expectOrvError([&] { stream->encodeFrame(audioFrame(c.buffer, c.samples)); }, 13, c.message);
    liar->size = realSize;
    EXPECT_EQ(fileNow().size(), before);
    stream->close();
    Bytes expected =
        wavHeader(3, 48000, static_cast<uint32_t>(36 + total * 6), static_cast<uint32_t>(total * 6));
    orvtest::append(expected, pcm);
    EXPECT_TRUE(wavImage() == expected);
    EXPECT_EQ(orvtest::slotAt(fileNow(), 0), (orvtest::Slot{3, 284, 1 + 44 + total * 6}));
    stream->close();  // a second close ends no second section
    EXPECT_EQ(context.writer.sectionCount(), 1u);
    // 4 x 2^30 x 32767 bytes wraps to 0 in 32 bits.
    expectOrvError(
        [&] { makeStream(32767, ORV_CHANNEL_LAYOUT_ANY)->encodeFrame(audioFrame(small.get(), 1u << 30)); },
        13, "samples outside of buffer range");
}
