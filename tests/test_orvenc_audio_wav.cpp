#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orvenc_audio_wav.hpp"

using brindle::OrvEncAudioWavStream;
using brindle::OrvException;

namespace {

// ---- Helpers ----------------------------------------------------------------

using Bytes = std::vector<uint8_t>;

// The whole test program logs into one file, so that a test can read the
// lines it caused from where the file ended when it started.
std::string logPath() {
    static const std::string path = ::testing::TempDir() + "orv_audio_test_" +
                                    std::to_string(getpid()) + ".log";
    return path;
}

class LogEnvironment : public ::testing::Environment {
public:
    void SetUp() override { brindle::logOpen(logPath().c_str()); }
    void TearDown() override {
        brindle::logClose();
        std::remove(logPath().c_str());
    }
};
::testing::Environment* const logEnvironment =
    ::testing::AddGlobalTestEnvironment(new LogEnvironment);

class LogCapture {
public:
    LogCapture() : start(std::filesystem::file_size(logPath())) {}
    std::string text() const {
        std::ifstream in(logPath(), std::ios::binary);
        in.seekg(static_cast<std::streamoff>(start));
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    uintmax_t start;
};

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

uint64_t readLE(const Bytes& bytes, size_t offset, size_t width) {
    EXPECT_LE(offset + width, bytes.size());
    if (offset + width > bytes.size()) return 0;
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= uint64_t{bytes[offset + i]} << (8 * i);
    return value;
}

void appendLE(Bytes& bytes, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void appendTag(Bytes& bytes, const char* tag) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(tag[i]));
}

// The WAV header as a reader of the format expects it.
Bytes wavHeader(uint32_t channels, uint32_t rate, uint32_t riffSize, uint32_t dataSize) {
    Bytes bytes;
    appendTag(bytes, "RIFF");
    appendLE(bytes, riffSize, 4);
    appendTag(bytes, "WAVE");
    appendTag(bytes, "fmt ");
    appendLE(bytes, 16, 4);
    appendLE(bytes, 1, 2);
    appendLE(bytes, channels, 2);
    appendLE(bytes, rate, 4);
    appendLE(bytes, rate * channels * 2, 4);
    appendLE(bytes, channels * 2, 2);
    appendLE(bytes, 16, 2);
    appendTag(bytes, "data");
    appendLE(bytes, dataSize, 4);
    return bytes;
}

// A client buffer of planar float samples, channel 0 first.
using BufferPtr = std::unique_ptr<OrvBuffer_st, decltype(&orvBufferFree)>;
BufferPtr planarBuffer(const std::vector<std::vector<float>>& channels) {
    size_t total = 0;
    for (const auto& plane : channels) total += plane.size();
    BufferPtr buffer(orvBufferAlloc(total * sizeof(float)), orvBufferFree);
    uint8_t* out = static_cast<uint8_t*>(orvBufferData(buffer.get()));
    for (const auto& plane : channels) {
        if (plane.empty()) continue;
        std::memcpy(out, plane.data(), plane.size() * sizeof(float));
        out += plane.size() * sizeof(float);
    }
    return buffer;
}

OrvSrcFrame_st audioFrame(OrvBuffer_st* buffer, uint32_t numSamples) {
    OrvSrcFrame_st frame{};
    frame.numSamples = numSamples;
    frame.buffer = buffer;
    return frame;
}

OrvAudioStreamParams_st audioParams(uint32_t channels, uint32_t layout, uint32_t rate = 48000) {
    OrvAudioStreamParams_st params;
    orvInitAudioStreamParams(&params);
    params.sampleRate = rate;
    params.numChannels = channels;
    params.channelLayout = layout;
    params.timebaseNum = 1;
    params.timebaseDen = rate;
    return params;
}

// The conversion a reader would expect, written independently of the stream:
// scale by 32768, limit, truncate toward zero, NaN to silence.
int16_t expectedPcm(float sample) {
    if (sample != sample) return 0;
    const double scaled = static_cast<double>(sample) * 32768.0;
    if (scaled >= 32767.0) return 32767;
    if (scaled <= -32768.0) return -32768;
    return static_cast<int16_t>(std::trunc(scaled));
}

Bytes interleavedPcm(const std::vector<std::vector<float>>& channels) {
    Bytes bytes;
    for (size_t s = 0; s < channels[0].size(); ++s)
        for (const auto& plane : channels)
            appendLE(bytes, static_cast<uint16_t>(expectedPcm(plane[s])), 2);
    return bytes;
}

std::vector<float> ramp(size_t n, float start, float step) {
    std::vector<float> samples(n);
    // Sweeps -1.1 to 1.1, so that both limits are crossed.
    for (size_t i = 0; i < n; ++i)
        samples[i] = std::fmod(start + step * static_cast<float>(i), 2.2f) - 1.1f;
    return samples;
}

template <typename Call>
void expectRefusal(Call&& call, const std::string& message, uint32_t code = ORV_ERR_UNKNOWN) {
    try {
        call();
        ADD_FAILURE() << "no exception; expected \"" << message << "\"";
    } catch (const OrvException& error) {
        EXPECT_EQ(std::string(error.what()), message);
        EXPECT_EQ(error.code, code) << message;
    }
}

// A session's context with its writer open on a fresh container; the audio
// section therefore starts at 284 and its WAV image at 285.
class AudioStreamTest : public ::testing::Test {
protected:
    static constexpr size_t kWavStart = 284 + 1;

    AudioStreamTest() : context(OrvEncoderParams_st{1}) {
        std::string pattern = ::testing::TempDir() + "orv_audio_XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir = pattern;
        path = dir + "/out.orv";
        context.writer.open(path, 16);
    }
    ~AudioStreamTest() override {
        context.writer.close();
        std::filesystem::remove_all(dir);
    }

    std::unique_ptr<OrvEncAudioWavStream> makeStream(uint32_t channels, uint32_t layout,
                                                     uint32_t rate = 48000) {
        return std::make_unique<OrvEncAudioWavStream>(0, audioParams(channels, layout, rate),
                                                       context);
    }
    Bytes fileNow() {
        context.writer.flush();
        return readFile(path);
    }
    Bytes wavImage() {
        const Bytes file = fileNow();
        return Bytes(file.begin() + kWavStart, file.end());
    }

    brindle::OrvEncContext context;
    std::string dir;
    std::string path;
};

}  // namespace

// ---- Parameters ------------------------------------------------------------------

TEST_F(AudioStreamTest, ConstructionLogsTheParametersEvenWhenRefused) {
    LogCapture log;
    OrvAudioStreamParams_st params = audioParams(2, ORV_CHANNEL_LAYOUT_STEREO);
    OrvEncAudioWavStream stream(3, params, context);
    params.numChannels = 0;
    // Only the low 32 bits of the time base are shown, as signed values.
    params.timebaseNum = 0x1FFFFFFFFll;
    params.timebaseDen = 0x100000007ll;
    expectRefusal([&] { OrvEncAudioWavStream refused(4, params, context); },
                  "bad channel count");
    EXPECT_EQ(log.text(),
              "*** stream 3: samplerate: 48000, channels: 2, timebase: 1/48000\n"
              "*** stream 4: samplerate: 48000, channels: 0, timebase: -1/7\n");
}

TEST_F(AudioStreamTest, ChannelCountMustBeOneTo65534) {
    expectRefusal([&] { makeStream(0, ORV_CHANNEL_LAYOUT_ANY); }, "bad channel count");
    expectRefusal([&] { makeStream(65535, ORV_CHANNEL_LAYOUT_ANY); }, "bad channel count");
    expectRefusal([&] { makeStream(UINT32_MAX, ORV_CHANNEL_LAYOUT_ANY); }, "bad channel count");
    // The count is checked before the layout.
    expectRefusal([&] { makeStream(0, 9); }, "bad channel count");
    EXPECT_NO_THROW(makeStream(1, ORV_CHANNEL_LAYOUT_ANY));
    EXPECT_NO_THROW(makeStream(65534, ORV_CHANNEL_LAYOUT_ANY));
}

TEST_F(AudioStreamTest, LayoutFixesTheChannelCount) {
    expectRefusal([&] { makeStream(2, 4); }, "unknown channel layout");
    expectRefusal([&] { makeStream(1, ORV_CHANNEL_LAYOUT_STEREO); },
                  "incorrect number of channels for layout");
    expectRefusal([&] { makeStream(2, ORV_CHANNEL_LAYOUT_SIX_CHANNELS); },
                  "incorrect number of channels for layout");
    expectRefusal([&] { makeStream(2, ORV_CHANNEL_LAYOUT_MONO); },
                  "incorrect number of channels for layout");
    expectRefusal([&] { makeStream(65534, ORV_CHANNEL_LAYOUT_MONO); },
                  "incorrect number of channels for layout");
    EXPECT_NO_THROW(makeStream(1, ORV_CHANNEL_LAYOUT_MONO));
    EXPECT_NO_THROW(makeStream(2, ORV_CHANNEL_LAYOUT_STEREO));
    EXPECT_NO_THROW(makeStream(6, ORV_CHANNEL_LAYOUT_SIX_CHANNELS));
    EXPECT_NO_THROW(makeStream(7, ORV_CHANNEL_LAYOUT_ANY));
}

TEST_F(AudioStreamTest, IsAnAudioStreamWithoutPixelFormats) {
    auto stream = makeStream(2, ORV_CHANNEL_LAYOUT_STEREO);
    EXPECT_EQ(stream->getType(), 1u);
    EXPECT_EQ(stream->getPreferredSrcPixFmts(), nullptr);
}

// ---- Header and sizes ---------------------------------------------------------------

TEST_F(AudioStreamTest, BeginWritesTheAudioHeaderAndAWavHeaderWithZeroSizes) {
    auto stream = makeStream(2, ORV_CHANNEL_LAYOUT_STEREO);
    stream->begin();
    const Bytes file = fileNow();
    ASSERT_EQ(file.size(), 284u + 1 + 44);
    EXPECT_EQ(file[284], 0u);  // audio codec: WAV
    const Bytes header(file.begin() + kWavStart, file.end());
    EXPECT_EQ(header, wavHeader(2, 48000, 0, 0));
    // The fields a player reads first, spelled out.
    EXPECT_EQ(readLE(header, 28, 4), 192000u);  // bytes per second
    EXPECT_EQ(readLE(header, 32, 2), 4u);       // block alignment
}

TEST_F(AudioStreamTest, CloseFillsInTheSizesAndEndsTheSection) {
    auto stream = makeStream(2, ORV_CHANNEL_LAYOUT_STEREO);
    stream->begin();
    const std::vector<std::vector<float>> planes = {ramp(1000, 0.0f, 0.001f),
                                                    ramp(1000, 0.5f, 0.003f)};
    BufferPtr buffer = planarBuffer(planes);
    stream->encodeFrame(audioFrame(buffer.get(), 1000));
    stream->close();
    EXPECT_TRUE(stream->finished);
    EXPECT_EQ(context.writer.sectionCount(), 1u);

    const Bytes file = fileNow();
    Bytes expected = wavHeader(2, 48000, 4036, 4000);
    const Bytes samples = interleavedPcm(planes);
    expected.insert(expected.end(), samples.begin(), samples.end());
    EXPECT_EQ(Bytes(file.begin() + kWavStart, file.end()), expected);
    EXPECT_EQ(readLE(file, 12, 1), 3u);         // slot 0: audio
    EXPECT_EQ(readLE(file, 13, 8), 284u);
    EXPECT_EQ(readLE(file, 21, 8), 1u + 44 + 4000);
}

TEST_F(AudioStreamTest, StreamWithoutFramesIsAnEmptyValidWav) {
    auto stream = makeStream(1, ORV_CHANNEL_LAYOUT_MONO, 44100);
    stream->begin();
    stream->close();
    EXPECT_EQ(wavImage(), wavHeader(1, 44100, 36, 0));
}

TEST_F(AudioStreamTest, SecondClosePatchesNothing) {
    auto stream = makeStream(1, ORV_CHANNEL_LAYOUT_MONO);
    stream->begin();
    stream->close();
    // Spoil the RIFF size; a second patch would restore it.
    brindle::OrvWriter& writer = context.writer;
    const uint64_t end = writer.currentOffset();
    writer.seek(kWavStart + 4);
    writer.writeU32(0xDEADBEEF);
    writer.seek(end);
    stream->close();
    EXPECT_EQ(writer.currentOffset(), end);
    EXPECT_EQ(writer.sectionCount(), 1u);
    EXPECT_EQ(readLE(wavImage(), 4, 4), 0xDEADBEEFu);
}

TEST_F(AudioStreamTest, SixtyFiveThousandChannelsWrapTheSixteenBitFields) {
    auto stream = makeStream(65534, ORV_CHANNEL_LAYOUT_ANY, 8000);
    stream->begin();
    std::vector<std::vector<float>> planes(65534, std::vector<float>{0.25f, -0.25f});
    BufferPtr buffer = planarBuffer(planes);
    stream->encodeFrame(audioFrame(buffer.get(), 2));
    stream->close();
    const Bytes image = wavImage();
    EXPECT_EQ(readLE(image, 22, 2), 65534u);
    EXPECT_EQ(readLE(image, 28, 4), static_cast<uint32_t>(8000u * 65534u * 2u));
    EXPECT_EQ(readLE(image, 32, 2), (65534u * 2u) & 0xFFFFu);
    EXPECT_EQ(readLE(image, 40, 4), 2u * 65534u * 2u);
    EXPECT_EQ(readLE(image, 44, 2), 8192u);
    EXPECT_EQ(readLE(image, 44 + 2 * 65534, 2), static_cast<uint16_t>(-8192));
}

// ---- Samples -------------------------------------------------------------------------

TEST_F(AudioStreamTest, SamplesAreScaledLimitedAndTruncated) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> in = {1.0f, -1.0f, 0.5f, 2.0f, -3.0f, nan, -0.00001f, 0.00001f,
                                   -0.5f, 0.99999f, -0.99999f, 1e30f, -inf, inf, 0.0f, -0.0f};
    const std::vector<int16_t> out = {32767, -32768, 16384, 32767, -32768, 0,      0, 0,
                                      -16384, 32767, -32767, 32767, -32768, 32767, 0, 0};
    auto stream = makeStream(1, ORV_CHANNEL_LAYOUT_MONO);
    stream->begin();
    BufferPtr buffer = planarBuffer({in});
    stream->encodeFrame(audioFrame(buffer.get(), static_cast<uint32_t>(in.size())));
    const Bytes image = wavImage();
    ASSERT_EQ(image.size(), 44 + 2 * out.size());
    for (size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(static_cast<int16_t>(readLE(image, 44 + 2 * i, 2)), out[i]) << "sample " << i;
}

TEST_F(AudioStreamTest, ChannelsAreInterleavedChannelZeroFirst) {
    auto stream = makeStream(3, ORV_CHANNEL_LAYOUT_ANY);
    stream->begin();
    BufferPtr buffer = planarBuffer({{0.5f, -0.5f}, {0.25f, -0.25f}, {1.0f, -1.0f}});
    stream->encodeFrame(audioFrame(buffer.get(), 2));
    const Bytes image = wavImage();
    Bytes expected;
    for (int16_t value : {16384, 8192, 32767, -16384, -8192, -32768})
        appendLE(expected, static_cast<uint16_t>(value), 2);
    EXPECT_EQ(Bytes(image.begin() + 44, image.end()), expected);
}

TEST_F(AudioStreamTest, LongFramesAreChunkedWithoutChangingTheBytes) {
    const std::vector<std::vector<float>> planes = {ramp(10000, 0.1f, 0.0007f),
                                                    ramp(10000, 0.9f, 0.0011f)};
    auto stream = makeStream(2, ORV_CHANNEL_LAYOUT_STEREO);
    stream->begin();
    BufferPtr buffer = planarBuffer(planes);
    stream->encodeFrame(audioFrame(buffer.get(), 10000));
    const Bytes image = wavImage();
    EXPECT_EQ(Bytes(image.begin() + 44, image.end()), interleavedPcm(planes));
}

TEST_F(AudioStreamTest, FrameBoundariesDoNotShowInTheData) {
    const std::vector<std::vector<float>> planes = {ramp(12289, 0.3f, 0.0013f),
                                                    ramp(12289, -0.4f, 0.0005f)};
    auto stream = makeStream(2, ORV_CHANNEL_LAYOUT_STEREO);
    stream->begin();
    size_t first = 0;
    for (size_t length : {1, 4095, 4097, 4096, 0, 0}) {
        std::vector<std::vector<float>> part(2);
        for (int c = 0; c < 2; ++c)
            part[c].assign(planes[c].begin() + first, planes[c].begin() + first + length);
        BufferPtr buffer = planarBuffer(part);
        stream->encodeFrame(audioFrame(buffer.get(), static_cast<uint32_t>(length)));
        first += length;
    }
    ASSERT_EQ(first, 12289u);
    stream->close();
    const Bytes image = wavImage();
    EXPECT_EQ(readLE(image, 40, 4), 12289u * 4);
    EXPECT_EQ(Bytes(image.begin() + 44, image.end()), interleavedPcm(planes));
}

// ---- Refused frames ------------------------------------------------------------------

TEST_F(AudioStreamTest, FrameMustFitItsBuffer) {
    auto stream = makeStream(2, ORV_CHANNEL_LAYOUT_STEREO);
    stream->begin();
    BufferPtr buffer(orvBufferAlloc(400), orvBufferFree);
    std::memset(orvBufferData(buffer.get()), 0, 400);
    const size_t before = fileNow().size();
    expectRefusal([&] { stream->encodeFrame(audioFrame(buffer.get(), 51)); },
                  "samples outside of buffer range");
    EXPECT_EQ(fileNow().size(), before);
    stream->encodeFrame(audioFrame(buffer.get(), 50));
    EXPECT_EQ(fileNow().size(), before + 200);
}

TEST_F(AudioStreamTest, BufferCheckDoesNotWrapAtThirtyTwoBits) {
    // 4 × 2^30 × 65534 wraps to a small number in 32 bits.
    auto stream = makeStream(65534, ORV_CHANNEL_LAYOUT_ANY);
    stream->begin();
    BufferPtr buffer(orvBufferAlloc(64), orvBufferFree);
    const size_t before = fileNow().size();
    expectRefusal([&] { stream->encodeFrame(audioFrame(buffer.get(), 1u << 30)); },
                  "samples outside of buffer range");
    EXPECT_EQ(fileNow().size(), before);
}

TEST_F(AudioStreamTest, FrameWithoutBufferIsRefused) {
    auto stream = makeStream(1, ORV_CHANNEL_LAYOUT_MONO);
    stream->begin();
    const size_t before = fileNow().size();
    expectRefusal([&] { stream->encodeFrame(audioFrame(nullptr, 10)); }, "frame has no buffer");
    expectRefusal([&] { stream->encodeFrame(audioFrame(nullptr, 0)); }, "frame has no buffer");
    EXPECT_EQ(fileNow().size(), before);
}

TEST_F(AudioStreamTest, FrameThatWouldOverflowTheWavSizesIsRefusedWhole) {
    auto stream = makeStream(1, ORV_CHANNEL_LAYOUT_MONO);
    stream->begin();
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
    expectRefusal([&] { stream->encodeFrame(audioFrame(liar.get(), justTooMany)); },
                  "audio stream too long");
    liar->size = realSize;
    EXPECT_EQ(fileNow().size(), before);

    stream->close();
    EXPECT_EQ(readLE(wavImage(), 40, 4), 10u);
    EXPECT_EQ(readLE(wavImage(), 4, 4), 46u);
}

// ---- Streams that were not begun ----------------------------------------------------

TEST_F(AudioStreamTest, StreamWhoseHeaderFailedCannotBeCompletedButCanBeLeft) {
    // Another section left open makes begin() fail before any WAV byte.
    context.writer.beginSection(brindle::ORV_SECTION_VIDEO);
    auto stream = makeStream(2, ORV_CHANNEL_LAYOUT_STEREO);
    expectRefusal([&] { stream->begin(); }, "missing call to endSection");
    expectRefusal([&] { stream->close(); }, "audio header was not written");
    EXPECT_TRUE(stream->finished);
    EXPECT_NO_THROW(stream->close());
    EXPECT_EQ(fileNow().size(), 284u);
}
