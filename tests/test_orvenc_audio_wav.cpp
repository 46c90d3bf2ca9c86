// The WAV audio stream: its parameters and log line, the header and its
// patched sizes, the sample conversion and chunking, refused frames.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

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

// A client buffer of planar float samples, channel 0 first.
BufferPtr planarBuffer(const Planes& channels) {
    size_t total = 0;
    for (const auto& plane : channels) total += plane.size();
    BufferPtr buffer(orvBufferAlloc(total * sizeof(float)), orvBufferFree);
    auto* out = static_cast<float*>(orvBufferData(buffer.get()));
    for (const auto& plane : channels) out = std::copy(plane.begin(), plane.end(), out);
    return buffer;
}

OrvSrcFrame_st audioFrame(OrvBuffer_st* buffer, uint32_t numSamples) {
    OrvSrcFrame_st frame{};
    frame.numSamples = numSamples;
    frame.buffer = buffer;
    return frame;
}

// The conversion a reader would expect, written independently of the stream:
// scale by 32768, limit, truncate toward zero, NaN to silence.
Bytes interleavedPcm(const Planes& channels) {
    Bytes bytes;
    for (size_t s = 0; s < channels[0].size(); ++s)
        for (const auto& plane : channels) {
            const double scaled = static_cast<double>(plane[s]) * 32768.0;
            const int16_t pcm = plane[s] != plane[s] ? 0
                                : scaled >= 32767.0  ? 32767
                                : scaled <= -32768.0 ? -32768
                                                     : static_cast<int16_t>(std::trunc(scaled));
            orvtest::putLE(bytes, static_cast<uint16_t>(pcm), 2);
        }
    return bytes;
}

// Sweeps -1.1 to 1.1, so that both limits are crossed.
std::vector<float> ramp(size_t n, float start, float step) {
    std::vector<float> samples(n);
    for (size_t i = 0; i < n; ++i)
        samples[i] = std::fmod(start + step * static_cast<float>(i), 2.2f) - 1.1f;
    return samples;
}

// A session's context with its writer open on a fresh container; the audio
// section therefore starts at 284 and its WAV image at 285.
class AudioStreamTest : public ::testing::Test {
protected:
    static constexpr size_t wavStart = 284 + 1;

    AudioStreamTest() : context(OrvEncoderParams_st{1}) { context.writer.open(path, 16); }
    ~AudioStreamTest() override { context.writer.close(); }

    // A stream whose begin() has run unless `begin` is false.
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

// ---- Parameters ------------------------------------------------------------------

TEST_F(AudioStreamTest, ConstructionLogsTheParametersEvenWhenRefused) {
    orvtest::LogCapture log;
    OrvAudioStreamParams_st params{48000, 2, ORV_CHANNEL_LAYOUT_STEREO, 1, 48000};
    OrvEncAudioWavStream stream(3, params, context);
    EXPECT_EQ(stream.getType(), 1u);
    EXPECT_EQ(stream.getPreferredSrcPixFmts(), nullptr);
    // Only the low 32 bits of the time base are shown, as signed values.
    params.numChannels = 0;
    params.timebaseNum = 0x1FFFFFFFFll;
    params.timebaseDen = 0x100000007ll;
    expectOrvError([&] { OrvEncAudioWavStream refused(4, params, context); }, 13,
                   "bad channel count");
    EXPECT_EQ(log.text(),
              "*** stream 3: samplerate: 48000, channels: 2, timebase: 1/48000\n"
              "*** stream 4: samplerate: 48000, channels: 0, timebase: -1/7\n");
}

// What the WAV header cannot store is refused: the block alignment
// (channels x 2) must fit 16 bits and the byte rate (rate x alignment) 32.
TEST_F(AudioStreamTest, ChannelsLayoutAndRateAreCheckedInThatOrder) {
    const char *const count = "bad channel count", *const layout = "unknown channel layout",
                      *const mismatch = "incorrect number of channels for layout",
                      *const rate = "bad sample rate",
                      *const byteRate = "sample rate too high for the channel count", *const ok = "";
    const struct {
        uint32_t channels, layout, rate;
        const char* message;
    } cases[] = {
        {0, ORV_CHANNEL_LAYOUT_ANY, 48000, count}, {32768, ORV_CHANNEL_LAYOUT_ANY, 48000, count},
        {65534, ORV_CHANNEL_LAYOUT_ANY, 48000, count}, {UINT32_MAX, ORV_CHANNEL_LAYOUT_ANY, 0, count},
        {0, 9, 48000, count}, {2, 4, 0, layout},
        {1, ORV_CHANNEL_LAYOUT_STEREO, 0, mismatch}, {2, ORV_CHANNEL_LAYOUT_SIX_CHANNELS, 48000, mismatch},
        {2, ORV_CHANNEL_LAYOUT_MONO, 48000, mismatch}, {32767, ORV_CHANNEL_LAYOUT_MONO, 48000, mismatch},
        {2, ORV_CHANNEL_LAYOUT_STEREO, 0, rate},
        // 65539 x 65534 is 2^32 + 65530; 65538 x 65534 is 2^32 - 4.
        {32767, ORV_CHANNEL_LAYOUT_ANY, 65539, byteRate}, {1, ORV_CHANNEL_LAYOUT_MONO, UINT32_MAX, byteRate},
        {1, ORV_CHANNEL_LAYOUT_MONO, 0x80000000u, byteRate},
        {32767, ORV_CHANNEL_LAYOUT_ANY, 65538, ok}, {1, ORV_CHANNEL_LAYOUT_MONO, 0x7FFFFFFFu, ok},
        {1, ORV_CHANNEL_LAYOUT_ANY, 1, ok}, {7, ORV_CHANNEL_LAYOUT_ANY, 48000, ok},
        {2, ORV_CHANNEL_LAYOUT_STEREO, 48000, ok}, {6, ORV_CHANNEL_LAYOUT_SIX_CHANNELS, 48000, ok},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, layout " << c.layout << ", "
                                        << c.rate << " Hz");
        if (*c.message)
            expectOrvError([&] { makeStream(c.channels, c.layout, c.rate, false); }, 13, c.message);
        else
            EXPECT_NO_THROW(makeStream(c.channels, c.layout, c.rate, false));
    }
}

// ---- Header, sizes and samples -------------------------------------------------------

TEST_F(AudioStreamTest, BeginWritesZeroSizesThatCloseFillsIn) {
    auto stream = makeStream(2, ORV_CHANNEL_LAYOUT_STEREO);
    const Bytes begun = fileNow();
    ASSERT_EQ(begun.size(), 284u + 1 + 44);
    EXPECT_EQ(begun[284], 0u);  // audio codec: WAV
    EXPECT_EQ(Bytes(begun.begin() + wavStart, begun.end()), wavHeader(2, 48000, 0, 0));
    // The fields a player reads first, spelled out.
    EXPECT_EQ(readLE(begun, wavStart + 28, 4), 192000u);  // bytes per second
    EXPECT_EQ(readLE(begun, wavStart + 32, 2), 4u);       // block alignment

    const Planes planes = {ramp(1000, 0.0f, 0.001f), ramp(1000, 0.5f, 0.003f)};
    BufferPtr buffer = planarBuffer(planes);
    stream->encodeFrame(audioFrame(buffer.get(), 1000));
    stream->close();
    EXPECT_TRUE(stream->finished);
    EXPECT_EQ(context.writer.sectionCount(), 1u);
    const Bytes file = fileNow();
    Bytes expected = wavHeader(2, 48000, 4036, 4000);
    orvtest::append(expected, interleavedPcm(planes));
    EXPECT_EQ(Bytes(file.begin() + wavStart, file.end()), expected);
    EXPECT_EQ(orvtest::slotAt(file, 0), (orvtest::Slot{3, 284, 1 + 44 + 4000}));

    // A second close patches nothing: spoil the RIFF size, which a second
    // patch would restore.
    brindle::OrvWriter& writer = context.writer;
    const uint64_t end = writer.currentOffset();
    writer.seek(wavStart + 4);
    writer.writeU32(0xDEADBEEF);
    writer.seek(end);
    stream->close();
    EXPECT_EQ(writer.currentOffset(), end);
    EXPECT_EQ(writer.sectionCount(), 1u);
    EXPECT_EQ(readLE(wavImage(), 4, 4), 0xDEADBEEFu);
}

TEST_F(AudioStreamTest, StreamWithoutFramesIsAnEmptyValidWav) {
    makeStream(1, ORV_CHANNEL_LAYOUT_MONO, 44100)->close();
    EXPECT_EQ(wavImage(), wavHeader(1, 44100, 36, 0));
}

TEST_F(AudioStreamTest, TheLargestChannelCountAndRateFillTheFieldsExactly) {
    auto stream = makeStream(32767, ORV_CHANNEL_LAYOUT_ANY, 65538);
    BufferPtr buffer = planarBuffer(Planes(32767, {0.25f, -0.25f}));
    stream->encodeFrame(audioFrame(buffer.get(), 2));
    stream->close();
    Bytes expected = wavHeader(32767, 65538, 36 + 4 * 32767, 4 * 32767);
    for (const uint16_t sample : {8192, 0xE000})
        for (uint32_t c = 0; c < 32767; ++c) orvtest::putLE(expected, sample, 2);
    EXPECT_EQ(wavImage(), expected);
    EXPECT_EQ(readLE(expected, 28, 4), 0xFFFFFFFCu);  // the byte rate, 2^32 - 4
    EXPECT_EQ(readLE(expected, 32, 2), 65534u);       // the block alignment
}

TEST_F(AudioStreamTest, SamplesAreScaledLimitedAndTruncated) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> in = {1.0f, -1.0f, 0.5f, 2.0f, -3.0f, nan, -0.00001f, 0.00001f,
                                   -0.5f, 0.99999f, -0.99999f, 1e30f, -inf, inf, 0.0f, -0.0f};
    const std::vector<int16_t> out = {32767, -32768, 16384, 32767, -32768, 0,      0, 0,
                                      -16384, 32767, -32767, 32767, -32768, 32767, 0, 0};
    auto stream = makeStream(1, ORV_CHANNEL_LAYOUT_MONO);
    BufferPtr buffer = planarBuffer({in});
    stream->encodeFrame(audioFrame(buffer.get(), static_cast<uint32_t>(in.size())));
    const Bytes image = wavImage();
    ASSERT_EQ(image.size(), 44 + 2 * out.size());
    for (size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(static_cast<int16_t>(readLE(image, 44 + 2 * i, 2)), out[i]) << "sample " << i;
}

TEST_F(AudioStreamTest, NeitherChunksNorFrameBoundariesShowInTheData) {
    // Three channels, channel 0 first: one frame of 10,000 samples goes out
    // in chunks of 4,096, 4,096 and 1,808; then frames of every awkward size.
    const size_t total = 10000 + 12289;
    const Planes planes = {ramp(total, 0.1f, 0.0007f), ramp(total, 0.9f, 0.0011f),
                           ramp(total, -0.4f, 0.0005f)};
    auto stream = makeStream(3, ORV_CHANNEL_LAYOUT_ANY);
    size_t first = 0;
    for (size_t length : {10000, 1, 4095, 4097, 4096, 0, 0}) {
        Planes part;
        for (const auto& plane : planes)
            part.emplace_back(plane.begin() + first, plane.begin() + first + length);
        BufferPtr buffer = planarBuffer(part);
        stream->encodeFrame(audioFrame(buffer.get(), static_cast<uint32_t>(length)));
        first += length;
    }
    ASSERT_EQ(first, total);
    stream->close();
    const Bytes image = wavImage();
    EXPECT_EQ(readLE(image, 40, 4), total * 6);
    EXPECT_EQ(Bytes(image.begin() + 44, image.end()), interleavedPcm(planes));
}

// ---- Refused frames ------------------------------------------------------------------

TEST_F(AudioStreamTest, RefusedFramesWriteNothing) {
    BufferPtr bytes400(orvBufferAlloc(400), orvBufferFree), bytes64(orvBufferAlloc(64), orvBufferFree);
    std::memset(orvBufferData(bytes400.get()), 0, 400);
    const struct {
        uint32_t channels;
        OrvBuffer_st* buffer;
        uint32_t samples;
        const char* message;
    } cases[] = {
        {2, bytes400.get(), 51, "samples outside of buffer range"},
        // 4 x 2^30 x 32767 wraps to 0 in 32 bits.
        {32767, bytes64.get(), 1u << 30, "samples outside of buffer range"},
        {1, nullptr, 10, "frame has no buffer"},
        {1, nullptr, 0, "frame has no buffer"},
    };
    for (const auto& c : cases) {
        auto stream = makeStream(c.channels, ORV_CHANNEL_LAYOUT_ANY);
        const size_t before = fileNow().size();
        expectOrvError([&] { stream->encodeFrame(audioFrame(c.buffer, c.samples)); }, 13, c.message);
        EXPECT_EQ(fileNow().size(), before) << c.message;
        // The stream stays open: 400 bytes hold 50 stereo samples.
        if (c.channels == 2) {
            stream->encodeFrame(audioFrame(c.buffer, 50));
            EXPECT_EQ(fileNow().size(), before + 200);
        }
        stream->close();
    }
}

TEST_F(AudioStreamTest, FrameThatWouldOverflowTheWavSizesIsRefusedWhole) {
    auto stream = makeStream(1, ORV_CHANNEL_LAYOUT_MONO);
    BufferPtr first = planarBuffer({{0.5f, 0.5f, 0.5f, 0.5f, 0.5f}});
    stream->encodeFrame(audioFrame(first.get(), 5));
    const size_t before = fileNow().size();
    // A buffer that claims to be huge: the frame must be refused before any
    // of its (absent) samples is read. The RIFF size D + 36 must fit 32 bits,
    // so D may reach 0xFFFFFFDB; 10 bytes are in already.
    BufferPtr liar(orvBufferAlloc(4), orvBufferFree);
    const size_t realSize = liar->size;
    liar->size = SIZE_MAX;
    const uint32_t justTooMany = (0xFFFFFFDBu - 10u) / 2u + 1u;
    expectOrvError([&] { stream->encodeFrame(audioFrame(liar.get(), justTooMany)); }, 13,
                   "audio stream too long");
    liar->size = realSize;
    EXPECT_EQ(fileNow().size(), before);
    stream->close();
    EXPECT_EQ(readLE(wavImage(), 40, 4), 10u);
    EXPECT_EQ(readLE(wavImage(), 4, 4), 46u);
}

TEST_F(AudioStreamTest, StreamWhoseHeaderFailedCannotBeCompletedButCanBeLeft) {
    // Another section left open makes begin() fail before any WAV byte.
    context.writer.beginSection(brindle::ORV_SECTION_VIDEO);
    auto stream = makeStream(2, ORV_CHANNEL_LAYOUT_STEREO, 48000, false);
    expectOrvError([&] { stream->begin(); }, 13, "missing call to endSection");
    expectOrvError([&] { stream->close(); }, 13, "audio header was not written");
    EXPECT_TRUE(stream->finished);
    EXPECT_NO_THROW(stream->close());
    EXPECT_EQ(fileNow().size(), 284u);
}
