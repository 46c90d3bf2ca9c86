// `orv remux` and its parts: standard chunked Hap frames byte for byte, the
// timing a container gets, the ordered parallel packing, and the tool run
// as a user runs it, its MOV, AVI and Matroska files checked by ffprobe and
// decoded by ffmpeg against the library reader's own decode of the source.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <sstream>
#include <stdexcept>

#include "command_line.hpp"
#include "frame_source.hpp"
#include "hap_frame_packer.hpp"
#include "host_session.hpp"
#include "ordered_work.hpp"
#include "remux_timing.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using orvtest::Args;
using orvtest::Bytes;
using orvtest::describe;
using orvtest::expectHas;
using orvtest::hapSection;
using orvtest::orv;
using orvtest::readFile;
using orvtest::Result;
using orvtest::run;

// ---- Chunked Hap frames ------------------------------------------------------------

// A texture whose first quarter is flat, which snappy shrinks, and the rest
// noise, which it cannot: chunks of both kinds.
Bytes quarterFlat(size_t bytes, uint32_t seed) {
    Bytes texture(bytes, 0x11);
    for (size_t i = bytes / 4; i < bytes; ++i) {
        seed = seed * 1664525u + 1013904223u;
        texture[i] = static_cast<uint8_t>(seed >> 24);
    }
    return texture;
}

// The texture section a player expects, built from chunk sizes given by
// hand: each chunk snappy when that is smaller, else stored.
Bytes expectedSection(uint8_t nibble, const Bytes& texture, const std::vector<size_t>& chunkBlocks,
                      size_t blockBytes) {
    Bytes stages, sizes, data;
    size_t at = 0;
    for (const size_t blocks : chunkBlocks) {
        const Bytes raw(texture.begin() + at, texture.begin() + at + blocks * blockBytes);
        at += raw.size();
        const Bytes packed = orvtest::compressed(orvtest::snappyCoded, raw);
        const bool snappy = packed.size() < raw.size();
        stages.push_back(snappy ? 0x0B : 0x0A);
        orvtest::putLE(sizes, snappy ? packed.size() : raw.size(), 4);
        orvtest::append(data, snappy ? packed : raw);
    }
    EXPECT_EQ(at, texture.size()) << "the chunks given cover the texture";
    if (chunkBlocks.size() == 1) return hapSection(uint8_t(stages[0] << 4 | nibble), data);
    Bytes tables = hapSection(0x02, stages);
    orvtest::append(tables, hapSection(0x03, sizes));
    Bytes section = hapSection(0x01, tables);
    orvtest::append(section, data);
    return hapSection(uint8_t(0xC0 | nibble), section);
}

TEST(HapFramePacker, CutsTexturesIntoWholeBlockChunksEachSnappyOnlyWhereThatIsSmaller) {
    const struct {
        uint32_t format;
        size_t blocks;
        uint32_t requested;
        std::vector<size_t> chunkBlocks;
    } cases[] = {
        {ORV_TEXTURE_BC1, 10, 3, {3, 3, 4}},
        {ORV_TEXTURE_BC3, 7, 7, {1, 1, 1, 1, 1, 1, 1}},
        {ORV_TEXTURE_BC4, 5, 8, {1, 1, 1, 1, 1}},  // never more chunks than blocks
        {ORV_TEXTURE_BC3_YCOCG, 9, 1, {9}},
        {ORV_TEXTURE_BC1, 4096, 0, {4096}},  // 32 KiB: one plain section
        {ORV_TEXTURE_BC3, 98304, 0, {49152, 49152}},  // 1.5 MiB: two
        {ORV_TEXTURE_BC3, 65536 * 3 + 5, 64, [] {
             // The five blocks over 64 x 3072 spread evenly over the chunks.
             std::vector<size_t> blocks(64, 3072);
             for (const size_t chunk : {12, 25, 38, 51, 63}) ++blocks[chunk];
             return blocks;
         }()},
        // Past 16 MiB of data even a plain section needs the long header.
        {ORV_TEXTURE_BC1, 2621440, 1, {2621440}},
    };
    const uint8_t nibbles[] = {0x0B, 0x0E, 0x0F, 0x01};
    const size_t blockBytes[] = {8, 16, 16, 8};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.blocks) + " blocks of format " + std::to_string(c.format) +
                     ", " + std::to_string(c.requested) + " chunks asked");
        const Bytes texture = quarterFlat(c.blocks * blockBytes[c.format], c.format + 1);
        const orvtool::HapTexture one{c.format, texture};
        const std::vector<uint8_t> packed = orvtool::packHapFrame({&one, 1}, c.requested);
        EXPECT_TRUE(packed == expectedSection(nibbles[c.format], texture, c.chunkBlocks,
                                              blockBytes[c.format]));
    }

    // Scaled YCoCg and its alpha in one multiple-image section, each chunked.
    const Bytes colour = quarterFlat(6 * 16, 7), alpha = quarterFlat(6 * 8, 8);
    const orvtool::HapTexture both[] = {{ORV_TEXTURE_BC3_YCOCG, colour}, {ORV_TEXTURE_BC4, alpha}};
    Bytes inner = expectedSection(0x0F, colour, {3, 3}, 16);
    orvtest::append(inner, expectedSection(0x01, alpha, {3, 3}, 8));
    EXPECT_TRUE(orvtool::packHapFrame(both, 2) == hapSection(0x0D, inner));
}

TEST(HapFramePacker, ChunksAboutOneMebibyteOfTextureEachUpToSixteen) {
    const struct {
        uint32_t format;
        uint64_t bytes;
        uint32_t requested, expected;
    } cases[] = {
        {ORV_TEXTURE_BC1, 1920 * 1080 / 2, 0, 1},      // 1080p DXT1: 0.99 MiB
        {ORV_TEXTURE_BC3, 1920 * 1080, 0, 2},          // 1080p DXT5: 1.98 MiB
        {ORV_TEXTURE_BC4, 3840 * 2160 / 2, 0, 4},      // 4K alpha: 3.96 MiB
        {ORV_TEXTURE_BC3_YCOCG, 3840 * 2160, 0, 8},    // 4K YCoCg: 7.9 MiB
        {ORV_TEXTURE_BC3, 7680 * 4320, 0, 16},         // 8K: 31.6 MiB, capped
        {ORV_TEXTURE_BC1, (3 << 20) / 2 - 8, 0, 1},    // just under 1.5 MiB
        {ORV_TEXTURE_BC1, (3 << 20) / 2, 0, 2},
        {ORV_TEXTURE_BC3, 3840 * 2160, 64, 64},
        {ORV_TEXTURE_BC3, 3840 * 2160, 1, 1},
        {ORV_TEXTURE_BC1, 8, 5, 1},  // one block
    };
    for (const auto& c : cases)
        EXPECT_EQ(orvtool::hapChunkCount(c.format, c.bytes, c.requested), c.expected)
            << c.bytes << " bytes, " << c.requested << " asked";
}

// ---- Timing ------------------------------------------------------------------------

constexpr uint64_t all64 = UINT64_MAX;

TEST(RemuxTiming, EqualStepsGiveARateAndUnequalOnesTheirOwnTimes) {
    const struct {
        orvtool::StoredTiming stored;
        std::vector<int64_t> pts;
        std::optional<int64_t> next;
        int32_t timeBaseNum, timeBaseDen, rateNum, rateDen;
        std::vector<int64_t> times;
    } cases[] = {
        {{1, 25, 25, 1}, {0, 1, 2}, {}, 1, 25, 25, 1, {0, 1, 2, 3}},
        {{1, 90000, 30000, 1001}, {9000, 12003, 15006}, 18009, 1001, 30000, 30000, 1001, {0, 1, 2, 3}},
        // The steps decide; a stored rate that no container holds is not needed.
        {{1, 25, all64, 1}, {10, 11, 12}, {}, 1, 25, 25, 1, {0, 1, 2, 3}},
        {{1, 25ull << 32, 0, 0}, {0, 1ll << 32}, {}, 1, 25, 25, 1, {0, 1, 2}},
        // One frame: the step to the next frame in the file, else the rate.
        {{1, 25, 0, 0}, {4}, 6, 2, 25, 25, 2, {0, 1}},
        {{1, 90000, 30000, 1001}, {77}, {}, 1001, 30000, 30000, 1001, {0, 1}},
        // Unequal steps: times in the stored time base. The last frame lasts
        // until the next in the file, else a period of the rate in whole
        // ticks, else as long as the frame before it.
        {{1, 25, 25, 1}, {0, 1, 3, 7}, {}, 1, 25, 0, 0, {0, 1, 3, 7, 8}},
        {{1, 25, 25, 1}, {5, 6, 8}, 15, 1, 25, 0, 0, {0, 1, 3, 10}},
        {{2, 50, 0, 0}, {0, 1, 3}, {}, 1, 25, 0, 0, {0, 1, 3, 5}},
        {{1, 90000, 30000, 1001}, {0, 3003, 9009}, {}, 1, 90000, 0, 0, {0, 3003, 9009, 12012}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("pts " + std::to_string(c.pts.front()) + "... of " +
                     std::to_string(c.pts.size()) + " frames, time base " +
                     std::to_string(c.stored.timebaseNum) + "/" +
                     std::to_string(c.stored.timebaseDen));
        const orvtool::VideoTiming timing = orvtool::planVideoTiming(c.stored, c.pts, c.next, 0);
        EXPECT_EQ(timing.timeBaseNum, c.timeBaseNum);
        EXPECT_EQ(timing.timeBaseDen, c.timeBaseDen);
        EXPECT_EQ(timing.rateNum, c.rateNum);
        EXPECT_EQ(timing.rateDen, c.rateDen);
        EXPECT_EQ(timing.times, c.times);
    }
}

TEST(RemuxTiming, RefusesTimesOutOfOrderAndRatesNoContainerHolds) {
    const std::string holds = " cannot be represented: containers hold time bases and frame "
                              "rates as ratios of whole numbers from 1 to 2147483647";
    const struct {
        orvtool::StoredTiming stored;
        std::vector<int64_t> pts;
        std::string message;
    } cases[] = {
        {{1, 25, all64, 1}, {0}, "the frame rate 18446744073709551615/1 (the length of the only "
                                 "frame)" + holds},
        {{1, 25, 0, 0}, {0}, "the frame rate 0/0 (the length of the only frame)" + holds},
        {{1, 1ull << 40, 25, 1}, {0, 1, 3}, "the time base 1/1099511627776 of frames at "
                                            "irregular times" + holds},
        {{0, 25, 25, 1}, {0, 1, 3}, "the time base 0/25 of frames at irregular times" + holds},
        {{1, 1ull << 40, 25, 1}, {0, 1, 2}, "the frame rate of frames 1 tick of 1/1099511627776 "
                                            "s apart" + holds},
        {{1, 25, 25, 1}, {0, 2, 1}, "frame 12 (pts 1) does not come after frame 11 (pts 2): "
                                    "players show frames in time order"},
        {{1, 25, 25, 1}, {3, 3}, "frame 11 (pts 3) does not come after frame 10 (pts 3): "
                                 "players show frames in time order"},
        {{1, 25, 25, 1}, {INT64_MIN, INT64_MAX}, "frames 10 and 11 lie further apart than a "
                                                 "container's timestamps reach"},
    };
    for (const auto& c : cases) {
        try {
            orvtool::planVideoTiming(c.stored, c.pts, std::nullopt, 10);
            ADD_FAILURE() << "accepted; expected: " << c.message;
        } catch (const orvtool::ToolError& error) {
            EXPECT_EQ(error.what(), c.message);
        }
    }
}

TEST(RemuxTiming, AudioSamplesAtATimeAreExactForAnySizes) {
    const struct {
        uint64_t ticks, num, den;
        uint32_t rate;
        uint64_t expected;
    } cases[] = {
        {3, 1, 25, 48000, 5760},
        {1, 1001, 30000, 48000, 1601},  // 1601.6
        {3003, 1, 90000, 44100, 1471},  // 1471.47
        {all64, all64, all64, 48000, all64},
        {1ull << 40, 1ull << 40, 1ull << 60, 48000, 48000ull << 20},  // 2^80 on the way
        {all64, 1, 3, 3, all64},
        {1ull << 63, 1ull << 63, 1, 48000, all64},  // beyond 64 bits
        {5, 1, 0, 48000, all64},
        {0, 7, 9, 48000, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(orvtool::sampleAtTicks(c.ticks, c.num, c.den, c.rate), c.expected)
            << c.ticks << " x " << c.num << "/" << c.den << " s at " << c.rate;
}

// ---- Ordered parallel work -------------------------------------------------------------

// Items made on several threads are used in order, never more than the
// window ahead, and a failure stops the run at its item.
TEST(OrderedWork, UsesEveryItemInOrderWithinTheWindowAndStopsAtTheFirstFailure) {
    for (const auto& [workers, window, failAt, useFailsAt] :
         {std::tuple{1u, 1u, -1, -1}, {4u, 3u, -1, -1}, {3u, 8u, 37, -1}, {4u, 2u, -1, 5},
          {2u, 5u, 0, -1}}) {
        SCOPED_TRACE(std::to_string(workers) + " workers, window " + std::to_string(window));
        std::atomic<int> inFlight{0}, mostInFlight{0};
        std::vector<uint64_t> used;
        const auto maker = [&, failAt = failAt] {
            return std::function<uint64_t(uint64_t)>([&, failAt](uint64_t k) {
                const int now = ++inFlight;
                int most = mostInFlight.load();
                while (now > most && !mostInFlight.compare_exchange_weak(most, now)) {
                }
                if (static_cast<int>(k) == failAt) throw std::runtime_error("make failed");
                return k * k;
            });
        };
        std::string failure;
        try {
            orvtool::runInOrder<uint64_t>(100, workers, window, maker,
                                          [&, useFailsAt = useFailsAt](uint64_t k, uint64_t&& v) {
                                              --inFlight;
                                              EXPECT_EQ(v, k * k);
                                              if (static_cast<int>(k) == useFailsAt)
                                                  throw std::runtime_error("use failed");
                                              used.push_back(k);
                                          });
        } catch (const std::runtime_error& error) {
            failure = error.what();
        }
        const int stop = failAt >= 0 ? failAt : useFailsAt >= 0 ? useFailsAt : 100;
        std::vector<uint64_t> expected(static_cast<size_t>(stop));
        for (size_t k = 0; k < expected.size(); ++k) expected[k] = k;
        EXPECT_EQ(used, expected);
        EXPECT_EQ(failure, failAt >= 0 ? "make failed" : useFailsAt >= 0 ? "use failed" : "");
        EXPECT_LE(mostInFlight.load(), static_cast<int>(window) + 1) << "one more in use";
    }
}

// ---- The tool ------------------------------------------------------------------------

// An ORV file made through the library's C interface.
struct SourcePlan {
    uint32_t width = 64, height = 48;
    uint32_t format = ORV_PIX_FMT_DXT1, compression = ORV_COMPRESSION_SNAPPY;
    std::vector<int64_t> pts = {0, 1};
    int64_t timebaseNum = 1, timebaseDen = 25, fpsNum = 25, fpsDen = 1;
    uint32_t channels = 2, samples = 3840;  // at 48 kHz; 0: no audio
};

void makeSource(const std::string& path, const SourcePlan& plan) {
    OrvEnc* encoder = nullptr;
    const OrvEncoderParams_st threads{2};
    ASSERT_EQ(orvEncoderOpen(path.c_str(), &threads, &encoder), ORV_ERR_NONE);
    OrvVideoStreamParams_st video =
        orvtest::videoParams(plan.width, plan.height, plan.format, plan.compression);
    video.timebaseNum = plan.timebaseNum;
    video.timebaseDen = plan.timebaseDen;
    video.fpsNum = plan.fpsNum;
    video.fpsDen = plan.fpsDen;
    const OrvAudioStreamParams_st audio{48000, plan.channels, 0, 1, 48000};
    int videoId = -1, audioId = -1;
    ASSERT_EQ(orvAddVideoStream(encoder, &video, &videoId), ORV_ERR_NONE)
        << orvGetErrorMessage(encoder);
    if (plan.samples > 0) {
        ASSERT_EQ(orvAddAudioStream(encoder, &audio, &audioId), ORV_ERR_NONE);
    }
    ASSERT_EQ(orvBeginStream(encoder, videoId), ORV_ERR_NONE);
    for (size_t k = 0; k < plan.pts.size(); ++k) {
        const OrvSrcFrame_st frame{
            plan.width,     plan.height, plan.width * 4, ORV_SRC_PIX_FMT_RGBA32, 0, 0, plan.pts[k],
            hostsession::makePicture(plan.height, plan.width * 4, static_cast<int>(k))};
        ASSERT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE) << orvGetErrorMessage(encoder);
    }
    ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    if (plan.samples > 0) {
        ASSERT_EQ(orvBeginStream(encoder, audioId), ORV_ERR_NONE);
        OrvBuffer_st* samples = hostsession::makeSamples(plan.channels, plan.samples, 3);
        const OrvSrcFrame_st frame{0, 0, 0, 0, 0, plan.samples, 0, samples};
        EXPECT_EQ(orvEncodeFrame(encoder, &frame), ORV_ERR_NONE);
        orvBufferFree(samples);
        ASSERT_EQ(orvEndStream(encoder), ORV_ERR_NONE);
    }
    ASSERT_EQ(orvEncoderFinish(encoder), ORV_ERR_NONE);
    orvEncoderClose(encoder);
}

// The library reader's view of a source: its pictures and its samples.
struct Decoded {
    uint32_t width = 0, height = 0;
    std::vector<Bytes> pictures;
    std::vector<int16_t> samples;  // interleaved
};

Decoded readSource(const std::string& path) {
    Decoded out;
    OrvReader* reader = nullptr;
    EXPECT_EQ(orvReaderOpen(path.c_str(), &reader, nullptr, 0), ORV_ERR_NONE);
    if (!reader) return out;
    OrvReaderVideoInfo_st video{};
    EXPECT_EQ(orvReaderGetVideoInfo(reader, 0, &video), ORV_ERR_NONE);
    out.width = video.width;
    out.height = video.height;
    for (uint32_t k = 0; k < video.frameCount; ++k) {
        Bytes& picture = out.pictures.emplace_back(size_t{video.width} * video.height * 4);
        EXPECT_EQ(orvReaderDecodeFrame(reader, 0, k, ORV_SRC_PIX_FMT_RGBA32, 0, picture.data(),
                                       size_t{video.width} * 4, picture.size()),
                  ORV_ERR_NONE);
    }
    OrvReaderAudioInfo_st audio{};
    if (orvReaderGetAudioInfo(reader, 1, &audio) == ORV_ERR_NONE) {
        out.samples.resize(audio.numSamples * audio.numChannels);
        EXPECT_EQ(orvReaderReadAudio(reader, 1, 0, audio.numSamples, out.samples.data()),
                  ORV_ERR_NONE);
    }
    orvReaderClose(reader);
    return out;
}

// Interleaved samples first to end as the little-endian bytes of PCM.
Bytes samplesAsBytes(const std::vector<int16_t>& samples, size_t first, size_t end) {
    Bytes bytes;
    for (size_t i = first; i < end; ++i) orvtest::putLE(bytes, static_cast<uint16_t>(samples[i]), 2);
    return bytes;
}

// ffprobe's fields of the streams of one kind ("v", "a"; "" for all), or
// of their packets.
std::vector<std::map<std::string, std::string>> probe(const std::string& file,
                                                      const std::string& kind,
                                                      const std::string& entries) {
    Args args = {"ffprobe", "-v", "error", "-show_entries", entries, "-of", "compact", file};
    if (!kind.empty()) args.insert(args.begin() + 3, {"-select_streams", kind});
    const Result result = run(args);
    EXPECT_EQ(result.status, 0) << describe(result);
    std::vector<std::map<std::string, std::string>> found;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        auto& fields = found.emplace_back();
        std::istringstream parts(line);
        for (std::string part; std::getline(parts, part, '|');)
            if (const size_t equals = part.find('='); equals != std::string::npos)
                fields[part.substr(0, equals)] = part.substr(equals + 1);
    }
    return found;
}

class RemuxTool : public ::testing::Test {
protected:
    void SetUp() override {
        if (!orvtest::ffmpegInstalled())
            GTEST_SKIP() << "ffmpeg is not installed (apt-get install ffmpeg)";
    }
    std::string path(const std::string& name) const { return dir.path(name); }
    std::string source(const std::string& name, const SourcePlan& plan) {
        makeSource(path(name), plan);
        return path(name);
    }
    Result remux(const std::string& input, const std::string& output, Args extra = {}) {
        Args args = {"remux", input, "-o", output, "--quiet"};
        args.insert(args.end(), extra.begin(), extra.end());
        return orv(args);
    }
    // What ffmpeg decodes of a file: its video as RGBA pictures back to
    // back, and its audio as 16-bit samples.
    std::pair<Bytes, Bytes> ffmpegDecode(const std::string& file) {
        const Bytes pcm = orvtest::ffmpeg({"-i", file, "-map", "0:v", "-f", "rawvideo", "-pix_fmt",
                                           "rgba", path("ffmpeg.rgba"), "-map", "0:a", "-f",
                                           "s16le", "-c:a", "pcm_s16le"},
                                          path("ffmpeg.pcm"));
        return {readFile(path("ffmpeg.rgba")), pcm};
    }
    Bytes ffmpegPictures(const std::string& file) {
        return orvtest::ffmpeg({"-i", file, "-map", "0:v", "-f", "rawvideo", "-pix_fmt", "rgba"},
                               path("ffmpeg.rgba"));
    }
    // The bytes of a file's first video packet as stored.
    Bytes firstPacket(const std::string& file) {
        return orvtest::ffmpeg(
            {"-i", file, "-map", "0:v", "-frames:v", "1", "-c", "copy", "-f", "rawvideo"},
            path("packet.bin"));
    }

    hostsession::QuietLog quiet;
    orvtest::TempDir dir;
};

struct MatrixCase {
    uint32_t width, height, format;
    const char* tag;
};

class RemuxMatrix : public RemuxTool, public ::testing::WithParamInterface<MatrixCase> {};

// Into MOV and AVI: ffprobe names the right streams, and ffmpeg's pictures
// are the reader's within the block decoders' rounding (two for scaled
// YCoCg, whose Co and Cg both go into each channel). Snappy and LZ4 sources
// hold the same blocks, so they must give the very same files.
TEST_P(RemuxMatrix, FfmpegDecodesEveryFrameAsTheReaderDoesWithTheAudioIntact) {
    const MatrixCase& c = GetParam();
    std::map<std::string, Bytes> fromUncompressed;
    for (const uint32_t compression : orvtest::everyCoder) {
        SCOPED_TRACE("compression " + std::to_string(compression));
        SourcePlan plan;
        plan.width = c.width;
        plan.height = c.height;
        plan.format = c.format;
        plan.compression = compression;
        const std::string file = source("source.orv", plan);
        for (const std::string extension : {".mov", ".avi"}) {
            SCOPED_TRACE(extension);
            const std::string output = path("out" + extension);
            const Result remuxed = remux(file, output, {"-y"});
            ASSERT_EQ(remuxed.status, 0) << describe(remuxed);
            if (compression != orvtest::none) {
                EXPECT_TRUE(readFile(output) == fromUncompressed[extension]);
                continue;
            }
            fromUncompressed[extension] = readFile(output);
            const auto streams = probe(output, "", "stream=codec_type,codec_name,codec_tag_string,"
                                                   "width,height,r_frame_rate,nb_frames,"
                                                   "sample_rate,channels");
            ASSERT_EQ(streams.size(), 2u);
            EXPECT_EQ(streams[0].at("codec_tag_string") + " " + streams[0].at("width") + "x" +
                          streams[0].at("height") + " " + streams[0].at("r_frame_rate") + " " +
                          streams[0].at("nb_frames"),
                      std::string(c.tag) + " " + std::to_string(c.width) + "x" +
                          std::to_string(c.height) + " 25/1 2");
            EXPECT_EQ(streams[1].at("codec_name") + " " + streams[1].at("sample_rate") + " " +
                          streams[1].at("channels"),
                      "pcm_s16le 48000 2");

            const Decoded expected = readSource(file);
            const auto [pictures, pcm] = ffmpegDecode(output);
            const size_t frameBytes = size_t{c.width} * c.height * 4;
            ASSERT_EQ(pictures.size(), 2 * frameBytes);
            for (size_t k = 0; k < 2; ++k) {
                const Bytes frame(pictures.begin() + k * frameBytes,
                                  pictures.begin() + (k + 1) * frameBytes);
                for (int channel = 0; channel < 4; ++channel) {
                    const auto [most, mean] =
                        orvtest::difference(expected.pictures[k], frame, channel);
                    EXPECT_LE(most, channel == 3 ? 0 : 2) << "frame " << k << " channel " << channel;
                    EXPECT_LT(mean, 0.5) << "rounding, not a shift";
                }
            }
            EXPECT_TRUE(pcm == samplesAsBytes(expected.samples, 0, expected.samples.size()))
                << "the stored PCM, byte for byte";
        }
    }
}

const MatrixCase matrixCases[] = {
#ifndef ORV_TEST_REDUCED
    {1920, 1080, ORV_PIX_FMT_DXT1, "Hap1"},
    {1920, 1080, ORV_PIX_FMT_DXT5, "Hap5"},
    {1920, 1080, ORV_PIX_FMT_YCOCG_DXT5, "HapY"},
    {1920, 1080, ORV_PIX_FMT_YCOCG_DXT5_ALPHA, "HapM"},
    {3840, 2160, ORV_PIX_FMT_DXT1, "Hap1"},
    {3840, 2160, ORV_PIX_FMT_DXT5, "Hap5"},
    {3840, 2160, ORV_PIX_FMT_YCOCG_DXT5, "HapY"},
    // Two slices side by side, chunked.
    {3840, 2160, ORV_PIX_FMT_YCOCG_DXT5_ALPHA, "HapM"},
#else
    // Two slices side by side, in a picture the sanitizers encode quickly.
    {3840, 64, ORV_PIX_FMT_YCOCG_DXT5_ALPHA, "HapM"},
#endif
    // Not whole blocks either way.
    {642, 362, ORV_PIX_FMT_DXT1, "Hap1"},
    {642, 362, ORV_PIX_FMT_DXT5, "Hap5"},
    {642, 362, ORV_PIX_FMT_YCOCG_DXT5, "HapY"},
    {642, 362, ORV_PIX_FMT_YCOCG_DXT5_ALPHA, "HapM"},
};

INSTANTIATE_TEST_SUITE_P(SizesAndFormats, RemuxMatrix, ::testing::ValuesIn(matrixCases),
                         [](const auto& info) {
                             return std::to_string(info.param.width) + "x" +
                                    std::to_string(info.param.height) + info.param.tag;
                         });

TEST_F(RemuxTool, ChunkedFramesDecodeExactlyAsWholeOnes) {
    SourcePlan plan;
    plan.width = 1920;
    plan.height = 1080;
    plan.format = ORV_PIX_FMT_YCOCG_DXT5_ALPHA;
    const std::string file = source("source.orv", plan);
    // The multiple-image section's first inner section is chunked (0xCF) or
    // not (0xAF stored, 0xBF snappy).
    const struct {
        Args chunks;
        std::vector<uint8_t> innerTypes;
    } cases[] = {{{"--chunks", "1"}, {0xAF, 0xBF}}, {{}, {0xCF}}, {{"--chunks", "13"}, {0xCF}}};
    Bytes whole;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.chunks.empty() ? "automatic" : c.chunks[1]);
        const Result remuxed = remux(file, path("out.mov"), [&] {
            Args args = c.chunks;
            args.push_back("-y");
            return args;
        }());
        ASSERT_EQ(remuxed.status, 0) << describe(remuxed);
        const Bytes packet = firstPacket(path("out.mov"));
        ASSERT_GE(packet.size(), 8u);
        EXPECT_EQ(packet[3], 0x0D);
        EXPECT_NE(std::find(c.innerTypes.begin(), c.innerTypes.end(), packet[7]),
                  c.innerTypes.end())
            << int(packet[7]);
        const Bytes pictures = ffmpegPictures(path("out.mov"));
        if (whole.empty()) whole = pictures;
        EXPECT_TRUE(pictures == whole) << "bit for bit the pictures of unchunked frames";
    }
    // The summary: about 2 MiB of YCoCg texture gives two chunks, 1 MiB of alpha one.
    const Result told = orv({"remux", file, "-o", path("told.mov")});
    EXPECT_EQ(told.status, 0) << describe(told);
    EXPECT_EQ(told.err, "orv remux: wrote " + path("told.mov") +
                            ": 2 frames of 1920x1080 as HapM in MOV, 2+1 chunks a frame, 25/1 fps, "
                            "with PCM audio, " +
                            orvtool::humanBytes(fs::file_size(path("told.mov"))) + "\n");
}

TEST_F(RemuxTool, IrregularFramesKeepTheirTimesWhereTheContainerCanHoldThem) {
    SourcePlan irregular;
    irregular.pts = {0, 1, 3, 7};
    SourcePlan ntsc;
    ntsc.pts = {0, 1, 2};
    ntsc.timebaseNum = ntsc.fpsDen = 1001;
    ntsc.timebaseDen = ntsc.fpsNum = 30000;
    const struct {
        SourcePlan* plan;
        const char* extension;
        std::vector<std::string> times;  // pts_time/duration_time; empty: refused
        const char* rate;
    } cases[] = {
        {&irregular, ".mov", {"0.000000/0.040000", "0.040000/0.080000", "0.120000/0.160000",
                              "0.280000/0.040000"}, nullptr},
        // Matroska keeps the times but no durations.
        {&irregular, ".mkv", {"0.000000/N/A", "0.040000/N/A", "0.120000/N/A", "0.280000/N/A"},
         nullptr},
        {&irregular, ".avi", {}, nullptr},
        {&ntsc, ".mov", {"0.000000/0.033367", "0.033367/0.033367", "0.066733/0.033367"},
         "30000/1001"},
        {&ntsc, ".avi", {"0.000000/0.033367", "0.033367/0.033367", "0.066733/0.033367"},
         "30000/1001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.plan->pts.size()) + " frames into " + c.extension);
        const std::string file = source("source.orv", *c.plan), output = path(c.extension);
        const Result remuxed = remux(file, output);
        if (c.times.empty()) {
            EXPECT_EQ(remuxed.status, 1) << describe(remuxed);
            expectHas(remuxed.err, {"irregular times", "write a .mov or .mkv"});
            EXPECT_FALSE(fs::exists(output));
            continue;
        }
        ASSERT_EQ(remuxed.status, 0) << describe(remuxed);
        std::vector<std::string> times;
        for (auto& packet : probe(output, "v", "packet=pts_time,duration_time"))
            times.push_back(packet["pts_time"] + "/" + packet["duration_time"]);
        EXPECT_EQ(times, c.times);
        if (c.rate) {
            EXPECT_EQ(probe(output, "v", "stream=r_frame_rate")[0]["r_frame_rate"], c.rate);
        }
        fs::remove(output);
    }
}

TEST_F(RemuxTool, RatesNoContainerHoldsAreRefusedBeforeAnythingIsWritten) {
    SourcePlan lone;
    lone.pts = {0};
    lone.fpsNum = -1;  // stored as 2^64 - 1
    SourcePlan fine;
    fine.pts = {0, 2, 3};
    fine.timebaseDen = int64_t{1} << 40;
    for (const auto& [plan, message] :
         {std::pair{&lone, "the frame rate 18446744073709551615/1 (the length of the only frame) "
                           "cannot be represented"},
          std::pair{&fine, "the time base 1/1099511627776 of frames at irregular times cannot be "
                           "represented"}}) {
        const Result remuxed = remux(source("source.orv", *plan), path("out.mov"));
        EXPECT_EQ(remuxed.status, 1) << describe(remuxed);
        expectHas(remuxed.err, {message});
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.root), {}), 1) << "only the source";
    }
    // An audio section at 0 Hz beside one 8x8 frame.
    orvtest::writeFile(
        path("source.orv"),
        orvtest::assemble(
            {{2, orvtest::videoSection({orvtest::frameRecord(8, 8, 8, 8,
                                                             {orvtest::textureSection(
                                                                 orvtest::bc1, orvtest::none,
                                                                 Bytes(32, 0))})},
                                       {0}, 8, 8)},
             {3, orvtest::audioSection(2, 0, {1, 2})}}));
    const Result silent = remux(path("source.orv"), path("out.mov"));
    EXPECT_EQ(silent.status, 1) << describe(silent);
    expectHas(silent.err, {"audio: a sample rate of 0 Hz cannot be written"});
    EXPECT_FALSE(fs::exists(path("out.mov")));
}

// Frames A to B, and the audio of the same stretch of time: 1920 samples a
// frame at 25 fps and 48 kHz.
TEST_F(RemuxTool, FramesTrimTheVideoAndCutTheAudioToTheSameTimes) {
    SourcePlan plan;
    plan.pts = {0, 1, 2, 3, 4, 5};
    plan.samples = 6 * 1920 + 100;  // a little beyond the last frame
    const std::string file = source("source.orv", plan);
    const Decoded expected = readSource(file);
    const struct {
        const char* frames;
        size_t first, count, firstSample, endSample;
    } cases[] = {{"2:5", 2, 3, 3840, 9600}, {"4:", 4, 2, 7680, 6 * 1920 + 100},
                 {"0:1", 0, 1, 0, 1920}, {"3:99", 3, 3, 5760, 6 * 1920 + 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frames);
        const Result remuxed = remux(file, path("cut.mov"), {"--frames", c.frames, "-y"});
        ASSERT_EQ(remuxed.status, 0) << describe(remuxed);
        const Bytes pictures = ffmpegPictures(path("cut.mov"));
        const size_t frameBytes = 64 * 48 * 4;
        ASSERT_EQ(pictures.size(), c.count * frameBytes);
        for (size_t k = 0; k < c.count; ++k)
            EXPECT_LE(orvtest::difference(expected.pictures[c.first + k],
                                          Bytes(pictures.begin() + k * frameBytes,
                                                pictures.begin() + (k + 1) * frameBytes),
                                          0)
                          .first,
                      1)
                << "frame " << c.first + k;
        EXPECT_TRUE(ffmpegDecode(path("cut.mov")).second ==
                    samplesAsBytes(expected.samples, 2 * c.firstSample, 2 * c.endSample));
        EXPECT_EQ(probe(path("cut.mov"), "v", "packet=pts_time")[0]["pts_time"], "0.000000");
    }
}

TEST_F(RemuxTool, ACorruptTextureStopsTheRemuxAtItsFrameAndLeavesTheTargetAlone) {
    SourcePlan plan;
    plan.pts = {0, 1, 2};
    const std::string file = source("source.orv", plan);
    // Frame 1's snappy payload claims a length one off: its record (one
    // slice) has a 14-byte head, then the section's 4-byte header.
    Bytes bytes = readFile(file);
    const uint64_t frames = orvtest::readLE(bytes, 284 + 48, 4);
    const uint64_t index = 284 + 52 + orvtest::readLE(bytes, 284 + 40, 8);
    const uint64_t frame1 = orvtest::readLE(bytes, index + 4 * frames + 8, 8);
    bytes.at(frame1 + 18) ^= 0x01;
    orvtest::writeFile(file, bytes);
    orvtest::writeFile(path("taken.mov"), Bytes(10, 't'));
    for (const Args& extra : {Args{}, Args{"-y"}}) {
        const std::string target = path(extra.empty() ? "new.mov" : "taken.mov");
        const Result remuxed = remux(file, target, extra);
        EXPECT_EQ(remuxed.status, 1) << describe(remuxed);
        expectHas(remuxed.err, {file + ": frame 1: "});
        EXPECT_FALSE(fs::exists(path("new.mov")));
        EXPECT_EQ(readFile(path("taken.mov")), Bytes(10, 't'));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.root), {}), 2) << "no temporary left";
    }
}

TEST_F(RemuxTool, UsageErrorsExitTwoWithAOneLineHint) {
    const std::string file = source("source.orv", {});
    fs::create_symlink(file, path("link.mov"));
    const std::vector<Args> cases = {
        {"remux", file},
        {"remux", file, "-o", path("out.orv")},
        {"remux", file, "-o", path("out")},
        {"remux", file, "-o", path("out.mp4")},
        {"remux", file, "-o", path("link.mov"), "-y"},  // the input itself
        {"remux", file, "-o", path("out.mov"), "--chunks", "0"},
        {"remux", file, "-o", path("out.mov"), "--chunks", "65"},
        {"remux", file, "-o", path("out.mov"), "--frames", "3:2"},
        {"remux", file, "-o", path("out.mov"), "--frames", "7"},
        {"remux", file, "-o", path("out.mov"), "--threads", "0"},
        {"remux", file, path("other.orv"), "-o", path("out.mov")},
    };
    for (const Args& args : cases) {
        SCOPED_TRACE(args.back());
        const Result result = orv(args);
        EXPECT_EQ(result.status, 2) << describe(result);
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        expectHas(result.err, {"orv remux --help"});
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.root), {}), 2) << "nothing written";
}

// ---- Files past the old limits (opt-in: ORV_TEST_LARGE_FILES=1) ---------------------

// A 4K DXT5 frame (a quarter flat, the rest noise: 6.3 MB as Hap) whose
// one record every index entry names: a small source for a remux of any
// size.
Bytes repeatedFrameFile(uint32_t frames) {
    const Bytes blocks = quarterFlat(size_t{1920} * 2160, 9);
    const Bytes record = orvtest::frameRecord(
        3840, 2160, 1920, 2160,
        {orvtest::textureSection(orvtest::bc3, orvtest::none, blocks),
         orvtest::textureSection(orvtest::bc3, orvtest::none, blocks)});
    Bytes section = orvtest::videoHeaderBytes(3840, 2160, record.size(), frames);
    orvtest::append(section, record);
    for (uint32_t k = 0; k < frames; ++k) orvtest::putLE(section, record.size(), 4);
    for (uint32_t k = 0; k < frames; ++k) orvtest::putLE(section, 284 + 52, 8);
    for (uint32_t k = 0; k < frames; ++k) orvtest::putLE(section, uint64_t{k} * 3003, 8);
    return orvtest::assemble({{2, section}});
}

TEST_F(RemuxTool, AnAviPastOneGibAndAMovPastFourGibPlayToTheLastFrame) {
    if (!std::getenv("ORV_TEST_LARGE_FILES"))
        GTEST_SKIP() << "set ORV_TEST_LARGE_FILES=1 to write files of 1 and 4 GiB";
    for (const auto& [extension, frames, least] :
         {std::tuple{".avi", 180u, uint64_t{1} << 30}, {".mov", 700u, uint64_t{1} << 32}}) {
        SCOPED_TRACE(extension);
        orvtest::writeFile(path("big.orv"), repeatedFrameFile(frames));
        const std::string output = path(std::string("big") + extension);
        const Result remuxed = remux(path("big.orv"), output);
        ASSERT_EQ(remuxed.status, 0) << describe(remuxed);
        EXPECT_GT(fs::file_size(output), least);
        const Result read = run({"ffprobe", "-v", "error", "-count_frames", "-select_streams", "v",
                                 "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0",
                                 output});
        EXPECT_EQ(read.err, "");
        EXPECT_EQ(read.out, std::to_string(frames) + "\n");
        fs::remove(output);
    }
}

}  // namespace
