// `orv remux` and its parts: standard chunked Hap frames byte for byte, the
// timing a container gets, the ordered parallel packing, and the tool run
// as a user runs it, its MOV, AVI and Matroska files checked by ffprobe and
// decoded by ffmpeg against the library reader's own decode of the source.
#include <algorithm>

#include "command_line.hpp"
#include "frame_source.hpp"
#include "hap_frame_packer.hpp"
#include "progress.hpp"
#include "remux_timing.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace orvtest;

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
        const Bytes packed = compressed(snappyCoded, raw);
        const bool snappy = packed.size() < raw.size();
        stages.push_back(snappy ? 0x0B : 0x0A);
        putLE(sizes, snappy ? packed.size() : raw.size(), 4);
        append(data, snappy ? packed : raw);
    }
    EXPECT_EQ(at, texture.size()) << "the chunks given cover the texture";
    if (chunkBlocks.size() == 1) return hapSection(uint8_t(stages[0] << 4 | nibble), data);
    Bytes tables = hapSection(0x02, stages);
    append(tables, hapSection(0x03, sizes));
    Bytes section = hapSection(0x01, tables);
    append(section, data);
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
        {ORV_TEXTURE_BC4, 5, 8, {1, 1, 1, 1, 1}},  // never more chunks than blocks
        {ORV_TEXTURE_BC3_YCOCG, 9, 1, {9}},
        {ORV_TEXTURE_BC3, 98304, 0, {49152, 49152}},  // 1.5 MiB: two
    };
    const uint8_t nibbles[] = {0x0B, 0x0E, 0x0F, 0x01};
    const size_t blockBytes[] = {8, 16, 16, 8};
    for (const auto& c : cases) {
        const Bytes texture = quarterFlat(c.blocks * blockBytes[c.format], c.format + 1);
        const orvtool::HapTexture one{c.format, texture};
        const std::vector<uint8_t> packed = orvtool::packHapFrame({&one, 1}, c.requested);
        EXPECT_TRUE(packed == expectedSection(nibbles[c.format], texture, c.chunkBlocks,
                                              blockBytes[c.format])) << c.blocks << " blocks";
    }
    // Exactly 16 MiB of noise (snappy's 64 KiB blocks see no repeats), stored:
    // one byte more than the short header holds.
    Bytes noise = quarterFlat(size_t{1} << 24, 9);
    std::copy_n(noise.end() - (1 << 22), 1 << 22, noise.begin());
    const orvtool::HapTexture big{ORV_TEXTURE_BC1, noise};
    EXPECT_TRUE(orvtool::packHapFrame({&big, 1}, 1) == expectedSection(0x0B, noise, {size_t{1} << 21}, 8));
}

TEST(HapFramePacker, ChunksAboutOneMebibyteOfTextureEachUpToSixteen) {
    // Texture format, bytes, chunks asked, chunks made.
    for (const auto& [format, bytes, requested, expected] :
         {std::tuple<uint32_t, uint64_t, uint32_t, uint32_t>{ORV_TEXTURE_BC3, 7680 * 4320, 0, 16},  // capped
          {ORV_TEXTURE_BC1, (3 << 20) / 2 - 8, 0, 1}})  // just under 1.5 MiB
        EXPECT_EQ(orvtool::hapChunkCount(format, bytes, requested), expected)
            << bytes << " bytes, " << requested << " asked";
}

// ---- Timing ------------------------------------------------------------------------

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
        {{1, 25, UINT64_MAX, 1}, {10, 11, 12}, {}, 1, 25, 25, 1, {0, 1, 2, 3}},
        {{1, 25ull << 32, 0, 0}, {0, 1ll << 32}, {}, 1, 25, 25, 1, {0, 1, 2}},
        // One frame: the step to the next frame in the file, else the rate.
        {{1, 25, 0, 0}, {4}, 6, 2, 25, 25, 2, {0, 1}},
        // Unequal steps: times in the stored time base. The last frame lasts
        // until the next in the file, else a period of the rate in whole
        // ticks, else as long as the frame before it.
        {{1, 25, 25, 1}, {5, 6, 8}, 15, 1, 25, 0, 0, {0, 1, 3, 10}},
        {{2, 50, 0, 0}, {0, 1, 3}, {}, 1, 25, 0, 0, {0, 1, 3, 5}},
        {{1, 90000, 30000, 1001}, {0, 3003, 9009}, {}, 1, 90000, 0, 0, {0, 3003, 9009, 12012}},
        // A next frame that comes before the last is no step; a rate of
        // exactly the largest a container holds.
        {{1, 25, 25, 1}, {4}, 2, 1, 25, 25, 1, {0, 1}},
        {{1, INT32_MAX, 0, 0}, {0, 1}, {}, 1, INT32_MAX, INT32_MAX, 1, {0, 1, 2}},
    };
    for (const auto& c : cases) {
        const orvtool::VideoTiming t = orvtool::planVideoTiming(c.stored, c.pts, c.next, 0);
        EXPECT_EQ(std::tuple(t.timeBaseNum, t.timeBaseDen, t.rateNum, t.rateDen, t.times),
                  std::tuple(c.timeBaseNum, c.timeBaseDen, c.rateNum, c.rateDen, c.times))
            << c.pts.size() << " frames from pts " << c.pts.front();
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
        {{1, 25, 0, 0}, {0}, "the frame rate 0/0 (the length of the only frame)" + holds},
        {{1, 25, 25, 0}, {0}, "the frame rate 25/0 (the length of the only frame)" + holds},
        {{1, 1ull << 40, 25, 1}, {0, 1, 3}, "the time base 1/1099511627776 of frames at "
                                            "irregular times" + holds},
        {{1, 1ull << 40, 25, 1}, {0, 1, 2}, "the frame rate of frames 1 tick of 1/1099511627776 "
                                            "s apart" + holds},
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
    // Ticks of num/den seconds at a sample rate: the sample there, rounded down.
    for (const auto& [ticks, num, den, rate, expected] : {
             std::tuple<uint64_t, uint64_t, uint64_t, uint32_t, uint64_t>{3, 1, 25, 48000, 5760},
             {1, 1001, 30000, 48000, 1601},  // 1601.6
             {UINT64_MAX, UINT64_MAX, UINT64_MAX, 48000, UINT64_MAX},
             {1ull << 40, 1ull << 40, 1ull << 60, 48000, 48000ull << 20},  // 2^80 on the way
             {1ull << 63, 1ull << 63, 1, 48000, UINT64_MAX}})  // beyond 64 bits
        EXPECT_EQ(orvtool::sampleAtTicks(ticks, num, den, rate), expected)
            << ticks << " x " << num << "/" << den << " s at " << rate;
}

// ---- Plumbing the subcommands share ------------------------------------------------

TEST(ToolText, RatesBelowOneSizesPastTheLastUnitAndAnEtaOverAnHour) {
    uint32_t num = 0, den = 0;
    orvtool::parseRate("1/2", "--fps", num, den);
    EXPECT_EQ(std::pair(num, den), std::pair(1u, 2u));
    EXPECT_EQ(orvtool::humanBytes(UINT64_MAX), "18446744.1 TB");
    EXPECT_EQ(orvtool::progressText(10, 37240, 1.0, 1500),
              "frame 10 of 37240    0%  10.0 fps  ETA 1:02:03  1.5 kB");
}

// ---- The tool ------------------------------------------------------------------------

// What ffprobe tells of the streams, or the packets, of one kind ("v", "a") in a file.
std::string probe(const std::string& file, const char* kind, const std::string& entries) {
    const Result result = run({"ffprobe", "-v", "error", "-select_streams", kind, "-show_entries",
                               entries, "-of", "csv=p=0", file});
    EXPECT_EQ(result.status, 0) << describe(result);
    return result.out;
}

class RemuxTool : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ffmpegInstalled()) GTEST_SKIP() << "ffmpeg is not installed (apt-get install ffmpeg)";
    }
    std::string path(const std::string& name) const { return dir.path(name); }
    Result remux(const std::string& input, const std::string& output, const Args& extra = {}) {
        Args args = {"remux", input, "-o", output, "--quiet", "-y"};
        args.insert(args.end(), extra.begin(), extra.end());
        return orv(args);
    }
    // ffmpeg's decode of `file` against the reader's of `source`: its
    // pictures within the block decoders' rounding (two for scaled YCoCg,
    // whose Co and Cg both go into each channel) from frame `first` on, and
    // its sound the stored PCM from sample `firstSample` (of each channel) on.
    void expectDecodesAsTheReader(const std::string& file, const std::string& source,
                                   uint32_t first, uint32_t count, size_t firstSample, size_t endSample) {
        const Bytes pcm = ffmpeg({"-i", file, "-map", "0:v", "-f", "rawvideo", "-pix_fmt", "rgba",
                                  path("ffmpeg.rgba"), "-map", "0:a", "-f", "s16le", "-c:a",
                                  "pcm_s16le"}, path("ffmpeg.pcm"));
        const Bytes pictures = readFile(path("ffmpeg.rgba"));
        const Reader reader(source);
        const size_t frameBytes = reader.pixels(0, 0).size();
        EXPECT_EQ(pictures.size(), count * frameBytes);
        for (uint32_t k = 0; k < count && pictures.size() == count * frameBytes; ++k)
            for (int channel = 0; channel < 4; ++channel) {
                const auto [most, mean] = difference(reader.pixels(0, first + k), Bytes(
                    pictures.begin() + k * frameBytes, pictures.begin() + (k + 1) * frameBytes), channel);
                EXPECT_LE(most, channel == 3 ? 0 : 2) << "frame " << k << " channel " << channel;
                EXPECT_LT(mean, 0.5) << "rounding, not a shift";
            }
        Bytes stored;
        const std::vector<int16_t> samples = reader.samples(1);
        for (size_t i = 2 * firstSample; i < 2 * endSample; ++i) putLE(stored, uint16_t(samples.at(i)), 2);
        EXPECT_TRUE(pcm == stored) << "the stored PCM, byte for byte";
    }

    TempDir dir;
};

// Every format and second stage, odd sides, two slices side by side,
// chunked and whole, into MOV and AVI.
TEST_F(RemuxTool, FfmpegDecodesEveryFrameAsTheReaderDoesWithTheAudioIntact) {
    // Size, format, second stage, container and its fourcc, --chunks (the
    // chunked sections' bytes are the packer's, tested above).
    const std::tuple<std::string, const char*, const char*, std::string, const char*, Args> cases[] = {
        {"642x362", "dxt1", "none", "mov", "Hap1", {}},
        {"642x362", "dxt5", "snappy", "avi", "Hap5", {}},
        {"642x362", "ycocg", "lz4", "mov", "HapY", {}},
        {"642x362", "ycocg-alpha", "snappy", "mov", "HapM", {"--chunks", "1"}},
        {"642x362", "ycocg-alpha", "lz4", "avi", "HapM", {"--chunks", "13"}},
        {"3840x64", "ycocg-alpha", "none", "mov", "HapM", {}},
    };
    const std::string source = path("source.orv");
    for (const auto& [size, format, compression, container, tag, chunks] : cases) {
        SCOPED_TRACE(size + " " + format + " " + compression + " " + container);
        ASSERT_EQ(orv({"encode", "--demo", "--duration", "0.08", "--size", size, "--format", format,
                       "--compression", compression, "-y", "-o", source}).status, 0);
        const std::string output = path("out." + container);
        const Result remuxed = remux(source, output, chunks);
        ASSERT_EQ(remuxed.status, 0) << describe(remuxed);
        EXPECT_EQ(probe(output, "v", "stream=codec_tag_string,width,height,r_frame_rate,nb_frames") +
                      probe(output, "a", "stream=codec_name,sample_rate,channels"),
                  tag + ("," + size).replace(size.find('x') + 1, 1, ",") + ",25/1,2\npcm_s16le,48000,2\n");
        expectDecodesAsTheReader(output, source, 0, 2, 0, 3840);
    }
    const std::string told = path("told.avi");
    const Result result = orv({"remux", source, "-o", told, "--chunks", "3"});
    EXPECT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.err, "orv remux: wrote " + told + ": 2 frames of 3840x64 as HapM in AVI, "
                          "3+3 chunks a frame, 25/1 fps, with PCM audio, " +
                          orvtool::humanBytes(fs::file_size(told)) + "\n");
}

// Frames A to B, and the audio of the same stretch of time: 1920 samples a
// frame at 25 fps and 48 kHz; the audio goes on a little past the last
// frame. Frames at irregular times keep them.
TEST_F(RemuxTool, FramesTrimTheVideoAndCutTheAudioToTheSameTimes) {
    std::vector<int16_t> samples(2 * (6 * 1920 + 100));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = int16_t(i * 7919);
    const Bytes wav = audioSection(2, 48000, samples);
    writeFile(path("in.wav"), Bytes(wav.begin() + 1, wav.end()));
    std::string frames(6 * 64 * 48 * 4, 0);
    for (size_t i = 0; i < frames.size(); ++i) frames[i] = char(i * i >> 9);
    const std::string source = path("source.orv");
    ASSERT_EQ(orv({"encode", "-", "--size", "64x48", "--audio", path("in.wav"), "-o", source}, frames).status,
              0);
    for (const auto& [range, first, count, firstSample, endSample] :
         {std::tuple<const char*, uint32_t, uint32_t, size_t, size_t>{"2:5", 2, 3, 3840, 9600},
          {"4:", 4, 2, 7680, 6 * 1920 + 100}, {"0:1", 0, 1, 0, 1920}, {"3:99", 3, 3, 5760, 6 * 1920 + 100}}) {
        SCOPED_TRACE(range);
        const Result remuxed = remux(source, path("cut.mov"), {"--frames", range});
        ASSERT_EQ(remuxed.status, 0) << describe(remuxed);
        expectDecodesAsTheReader(path("cut.mov"), source, first, count, firstSample, endSample);
        EXPECT_EQ(probe(path("cut.mov"), "v", "packet=pts_time").substr(0, 9), "0.000000\n");
    }
    // Matroska keeps the times but no durations; the last frame lasts a period of the rate.
    writeFile(source, assemble({{2, videoSection(std::vector<Bytes>(4, frameRecord(8, 8, 8, 8,
        {textureSection(bc1, none, Bytes(32, 0x5A))})), {0, 3600, 10800, 25200}, 8, 8)}}));
    for (const auto& [container, times] :
         {std::pair{"mov", "0.000000,0.040000\n0.040000,0.080000\n0.120000,0.160000\n0.280000,0.033367\n"},
          {"mkv", "0.000000,N/A\n0.040000,N/A\n0.120000,N/A\n0.280000,N/A\n"}}) {
        ASSERT_EQ(remux(source, path(std::string("out.") + container)).status, 0);
        EXPECT_EQ(probe(path(std::string("out.") + container), "v", "packet=pts_time,duration_time"), times);
    }
}

}  // namespace
