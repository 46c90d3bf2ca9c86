// The `orv` command-line tool, run as a separate process the way a user runs
// it: encoding the demo, raw frames and media files; verify, info and
// extract; exit statuses and messages; what it does to the files it is
// pointed at when it fails or is interrupted. Pictures are checked against
// the source they came from. Remux has tests of its own.
#include <fcntl.h>
#include <png.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>

#include "demo_source.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using orvtest::Bytes;
using orvtest::putLE;
using orvtest::putTag;
using orvtest::readFile;
using orvtest::Args;
using orvtest::Child;
using orvtest::Result;
using orvtest::describe;
using orvtest::difference;
using orvtest::expectHas;
using orvtest::ffmpeg;
using orvtest::ffmpegInstalled;
using orvtest::orv;
using orvtest::run;
using orvtest::writeFile;

// Peak signal-to-noise ratio over the channels in `channels` (0 R to 3 A).
double psnr(const Bytes& a, const Bytes& b, std::initializer_list<int> channels) {
    double sum = 0;
    size_t count = 0;
    for (size_t i = 0; i + 3 < a.size() && i + 3 < b.size(); i += 4)
        for (int c : channels) {
            const double d = double(a[i + c]) - b[i + c];
            sum += d * d;
            ++count;
        }
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * count / sum);
}

Bytes demoFrame(uint32_t width, uint32_t height, uint32_t k) {
    Bytes rgba(size_t{width} * height * 4);
    orvtool::renderDemoFrame({.width = width, .height = height}, k, rgba.data());
    return rgba;
}

Bytes readPng(const std::string& path, uint32_t& width, uint32_t& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str())) {
        image.format = PNG_FORMAT_RGBA;
        Bytes pixels(PNG_IMAGE_SIZE(image));
        if (png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
            width = image.width;
            height = image.height;
            return pixels;
        }
    }
    ADD_FAILURE() << "libpng cannot read " << path << ": " << image.message;
    return {};
}

// A WAV file of `bits`-bit integer (format 1) or float (format 3) samples,
// with a LIST chunk before the format chunk that a reader must skip; an
// extensible one names the format in its sub-format GUID instead.
Bytes wavFile(uint16_t format, uint16_t bits, uint16_t channels, uint32_t rate,
              const Bytes& samples, bool extensible = false) {
    const uint32_t formatSize = extensible ? 40 : 16;
    Bytes out;
    putTag(out, "RIFF");
    putLE(out, 4 + 8 + 5 + 1 + 8 + formatSize + 8 + samples.size(), 4);
    putTag(out, "WAVE");
    putTag(out, "LIST");
    putLE(out, 5, 4);
    out.insert(out.end(), {'I', 'N', 'F', 'O', '!', 0});  // odd size, one pad byte
    putTag(out, "fmt ");
    for (const auto& [value, width] :
         {std::pair<uint32_t, int>{formatSize, 4}, {extensible ? 0xFFFEu : format, 2},
          {channels, 2}, {rate, 4}, {rate * channels * bits / 8, 4}, {channels * bits / 8, 2},
          {bits, 2}})
        putLE(out, value, width);
    if (extensible) {
        // Extra size, valid bits, channel mask, then the GUID, which begins with the format.
        for (const auto& [value, width] :
             {std::pair<uint32_t, int>{22, 2}, {bits, 2}, {3, 4}, {format, 2}})
            putLE(out, value, width);
        out.insert(out.end(), {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71});
    }
    putTag(out, "data");
    putLE(out, samples.size(), 4);
    orvtest::append(out, samples);
    return out;
}

std::vector<int16_t> wavSamples16(const Bytes& wav) {
    std::vector<int16_t> samples;
    for (size_t i = 44; i + 1 < wav.size(); i += 2)
        samples.push_back(int16_t(wav[i] | (wav[i + 1] << 8)));
    return samples;
}

// Whether `s` holds exactly one JSON value surrounded by white space.
class JsonChecker {
public:
    explicit JsonChecker(const std::string& text) : s(text) {}
    bool valid() { return value() && peek() == '\0' && i == s.size(); }

private:
    char peek() {  // the next character after white space, NUL at the end
        while (i < s.size() && std::strchr(" \t\r\n", s[i])) ++i;
        return i < s.size() ? s[i] : '\0';
    }
    bool eat(char c) { return peek() == c && (++i, true); }
    bool string() {
        if (!eat('"')) return false;
        while (i < s.size()) {
            const unsigned char c = s[i++];
            if (c == '"') return true;
            if (c < 0x20) return false;
            if (c != '\\') continue;
            if (i >= s.size()) return false;
            if (s[i] != 'u') {
                if (!std::strchr("\"\\/bfnrt", s[i++])) return false;
                continue;
            }
            for (int k = 0; k < 4; ++k)
                if (++i >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i])))
                    return false;
            ++i;
        }
        return false;
    }
    bool value() {
        const char c = peek();
        if (c == '"') return string();
        if (c == '{' || c == '[') {
            const char close = c == '{' ? '}' : ']';
            ++i;
            if (eat(close)) return true;
            do {
                if ((c == '{' && !(string() && eat(':'))) || !value()) return false;
            } while (eat(','));
            return eat(close);
        }
        for (const std::string word : {"true", "false", "null"})
            if (s.compare(i, word.size(), word) == 0) return i += word.size(), true;
        const size_t start = i;
        while (i < s.size() &&
               (std::isdigit(static_cast<unsigned char>(s[i])) || std::strchr("-.eE+", s[i])))
            ++i;
        return i > start;
    }
    const std::string& s;
    size_t i = 0;
};

class OrvTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
    void SetUp() override {
        // A space and a quote in every path: nothing may go through a shell.
        char pattern[] = "/tmp/orv tool 'test' XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr) << std::strerror(errno);
        dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    // A small, fast demo file: 320x180 unless said otherwise, 5 frames.
    std::string encodeDemo(const std::string& name, const Args& extra = {}) {
        Args args = {"encode", "--demo", "--size", "320x180", "--duration", "0.2",
                     "-o", path(name)};
        args.insert(args.end(), extra.begin(), extra.end());
        const Result result = orv(args);
        EXPECT_EQ(result.status, 0) << describe(result);
        return path(name);
    }

    // What `orv extract` writes to `name`: frame k, or for k < 0 the audio as WAV.
    Bytes extract(const std::string& file, int k, const std::string& name) {
        const Result result = orv(
            k < 0 ? Args{"extract", file, "--wav", path(name), "-y"}
                  : Args{"extract", file, "--frame", std::to_string(k), "-o", path(name), "-y"});
        EXPECT_EQ(result.status, 0) << describe(result);
        return readFile(path(name));
    }

    std::string dir;
};

TEST_F(OrvTool, DemoFramesDecodeCloseToTheSourceInEveryFormat) {
    const struct {
        const char* name;
        bool alpha;  // the format keeps the alpha channel
        double minColourPsnr;
    } cases[] = {
        {"dxt1", false, 28}, {"dxt5", true, 28}, {"ycocg", false, 34}, {"ycocg-alpha", true, 34}};
    for (const auto& format : cases) {
        SCOPED_TRACE(format.name);
        const std::string file =
            encodeDemo(std::string(format.name) + ".orv", {"--format", format.name, "--no-audio"});
        const Result verified = orv({"verify", file});
        EXPECT_EQ(verified.status, 0) << describe(verified);
        EXPECT_EQ(verified.out, file + ": ok\n");

        const Bytes decoded = extract(file, 3, "f.rgba"), source = demoFrame(320, 180, 3);
        ASSERT_EQ(decoded.size(), source.size());
        const double colour = psnr(decoded, source, {0, 1, 2});
        EXPECT_GT(colour, format.minColourPsnr);
        // Frame 3 against frame 2 shows that the bound tells frames apart.
        EXPECT_LT(psnr(decoded, demoFrame(320, 180, 2), {0, 1, 2}), colour - 3);
        if (format.alpha) EXPECT_GT(psnr(decoded, source, {3}), 40);
        else EXPECT_EQ(difference(decoded, Bytes(decoded.size(), 255), 3).first, 0);

        // The PNG holds the same pixels as the raw extract.
        extract(file, 3, "f.png");
        uint32_t width = 0, height = 0;
        EXPECT_EQ(readPng(path("f.png"), width, height), decoded);
        EXPECT_EQ(std::pair(width, height), std::pair(320u, 180u));
    }
}

TEST_F(OrvTool, DemoCarriesItsStereoToneAndInfoDescribesIt) {
    const std::string file = encodeDemo("demo.orv", {"--format", "ycocg-alpha"});
    const Result info = orv({"info", file});
    ASSERT_EQ(info.status, 0) << describe(info);
    expectHas(info.out,
              {"320x180", "slices:      1x1 of 320x180", "ycocg-alpha", "HapM",
               "compression: snappy",
               "frames:      5", "25/1", "duration:    0.200 s", "rate:        48000 Hz",
               "channels:    2", "samples:     9600 of 16-bit PCM"});

    // The WAV file is the image stored after the audio section's codec byte.
    const Bytes stored = readFile(file), wav = extract(file, -1, "tone.wav");
    const orvtest::Slot audio = orvtest::slotAt(stored, 1);
    ASSERT_EQ(audio.offset + audio.size, stored.size());
    EXPECT_EQ(wav, Bytes(stored.begin() + static_cast<ptrdiff_t>(audio.offset) + 1, stored.end()));
    const std::vector<int16_t> samples = wavSamples16(wav);
    ASSERT_EQ(samples.size(), 9600u * 2);
    // Left and right carry different tones: count zero crossings of each.
    int crossings[2] = {0, 0};
    for (size_t i = 2; i < samples.size(); ++i)
        crossings[i % 2] += (samples[i - 2] < 0) != (samples[i] < 0);
    EXPECT_NEAR(crossings[0], 2 * 440 * 0.2, 4);
    EXPECT_NEAR(crossings[1], 2 * 660 * 0.2, 4);
}

TEST_F(OrvTool, InfoJsonIsWellFormedEvenForAnOddFileName) {
    const std::string file = encodeDemo("we\"ird\\name\t.orv", {"--format", "ycocg"});
    const Result info = orv({"info", file, "--json"});
    ASSERT_EQ(info.status, 0) << describe(info);
    EXPECT_TRUE(JsonChecker(info.out).valid()) << info.out;
    expectHas(info.out, {"\"format\": \"ycocg\"", "\"compression\": \"snappy\"", "\"frames\": 5",
                         "\"sample_rate\": 48000", "we\\\"ird\\\\name\\t.orv"});
}

TEST_F(OrvTool, RawBgraBottomUpFramesFromAPipeKeepTheirPictures) {
    // Sides that are not whole blocks: the padding must be cropped away.
    const uint32_t width = 62, height = 46;
    std::string input;
    std::vector<Bytes> pictures;
    for (uint32_t k = 0; k < 3; ++k) {
        pictures.push_back(demoFrame(width, height, k * 10));
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x) {
                const uint8_t* p = &pictures.back()[(size_t{height - 1 - y} * width + x) * 4];
                input += {char(p[2]), char(p[1]), char(p[0]), char(p[3])};
            }
    }
    const std::string file = path("raw.orv");
    const Result encoded = orv({"encode", "-", "--size", "62x46", "--pixfmt", "bgra", "--bottom-up",
                                "--fps", "30/1", "--format", "dxt5", "-o", file},
                               input);
    ASSERT_EQ(encoded.status, 0) << describe(encoded);
    expectHas(orv({"info", file}).out, {"frames:      3", "30/1"});
    for (uint32_t k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const Bytes decoded = extract(file, k, "k.rgba");
        ASSERT_EQ(decoded.size(), pictures[k].size());
        // Rows upside down or red and blue swapped: what a mistake would give.
        Bytes flipped(decoded.size()), swapped = pictures[k];
        for (uint32_t y = 0; y < height; ++y)
            std::memcpy(&flipped[size_t{y} * width * 4],
                        &pictures[k][size_t{height - 1 - y} * width * 4], size_t{width} * 4);
        for (size_t i = 0; i < swapped.size(); i += 4) std::swap(swapped[i], swapped[i + 2]);
        const double right = psnr(decoded, pictures[k], {0, 1, 2, 3});
        EXPECT_GT(right, 24);
        EXPECT_GT(right, psnr(decoded, flipped, {0, 1, 2, 3}) + 6);
        EXPECT_GT(right, psnr(decoded, swapped, {0, 1, 2, 3}) + 6);
    }
}

TEST_F(OrvTool, WavAudioOfEveryKindBesideRawFramesIsStoredAsPcm) {
    const std::vector<double> values = {0.0, 0.5, -0.5, 0.25, -1.0, 0.999, 0.1234, -0.75};
    const struct {
        uint16_t format, bits;
        bool extensible;
        uint32_t rate;
    } kinds[] = {{1, 16, false, 22050}, {1, 24, false, 22050}, {3, 32, false, 22050},
                 {1, 24, true, 22050}, {1, 16, false, 96000}};
    for (const auto& [format, bits, extensible, rate] : kinds) {
        SCOPED_TRACE(std::to_string(bits) + (extensible ? " bits, extensible, " : " bits, ") +
                     std::to_string(rate) + " Hz");
        Bytes data;
        for (double v : values) {
            const auto scaled = uint64_t(int64_t(std::floor(v * (1 << (bits - 1)))));
            putLE(data, format == 3 ? std::bit_cast<uint32_t>(float(v)) : scaled, bits / 8);
        }
        writeFile(path("in.wav"), wavFile(format, bits, 2, rate, data, extensible));
        const Result encoded = orv({"encode", "-", "--size", "16x16", "--audio", path("in.wav"),
                                    "-y", "-o", path("a.orv")},
                                   std::string(16 * 16 * 4, '\x80'));
        ASSERT_EQ(encoded.status, 0) << describe(encoded);
        const Bytes wav = extract(path("a.orv"), -1, "out.wav");
        ASSERT_GE(wav.size(), 44u);
        EXPECT_EQ(wav[22], 2);                       // channels
        EXPECT_EQ(orvtest::readLE(wav, 24, 4), rate);
        const std::vector<int16_t> samples = wavSamples16(wav);
        ASSERT_EQ(samples.size(), values.size());
        for (size_t i = 0; i < values.size(); ++i)
            EXPECT_NEAR(samples[i], std::clamp(values[i] * 32768, -32768.0, 32767.0), 1.0)
                << "sample " << i;
    }
}

TEST_F(OrvTool, UsageErrorsExitTwoWithAOneLineHintToHelp) {
    const std::string file = encodeDemo("ok.orv"), x = path("x.orv"), raw = path("in.rgba");
    writeFile(raw, Bytes(16 * 16 * 4, 1));
    writeFile(path("in.wav"), wavFile(1, 16, 1, 8000, Bytes(4, 0)));
    fs::create_directory(path("sub"));
    fs::create_symlink(file, path("link.orv"));
    const Args rawIn = {"encode", raw, "--size", "16x16"};
    const auto with = [](Args args, const Args& more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const std::vector<Args> cases = {
        {}, {"frobnicate"}, {"encode"}, {"encode", "--demo"},
        {"encode", "--demo", "-o", x, "--format", "dxt9"},
        {"encode", "--demo", "-o", x, "--threads", "many"},
        {"encode", "--demo", "-o", x, "--size", "0x10"},
        {"encode", "--demo", "-o", x, "--bogus"},
        {"encode", "--demo", "-o", x, "--level", "max"},  // snappy has no levels
        {"encode", "--demo", "-o", x, "--compression", "none", "--level", "fast"},
        {"encode", "--demo", "-o", x, "--frames", "5:5"},
        {"encode", "--demo", "-o", x, "--frames", "7"},
        with(rawIn, {"-o", x, "--frames", "1:", "--duration", "1"}),
        {"encode", "--demo", "-o", "-"},
        {"encode", "-", "-o", x},
        {"encode", "in.mov", "--pixfmt", "bgra", "-o", x},
        {"encode", "in.mov", "--size", "8x8", "--square-pixels", "-o", x},
        {"encode", path("a/clip.mov"), path("b/clip.mp4"), "-o", path("sub/")},
        // The same file twice, by name, through a link, or not created yet.
        {"encode", file, "-o", file},
        with(rawIn, {"-o", raw, "-y"}),
        with(rawIn, {"-o", x, "--log", raw}),
        with(rawIn, {"-o", x, "--log", path("sub/../x.orv")}),
        with(rawIn, {"--audio", path("in.wav"), "-o", path("in.wav"), "-y"}),
        {"extract", file, "--wav", file},
        {"extract", file, "--frame", "0", "-o", path("f.png"), "--wav", path("f.png")},
        {"decode", file, "-o", file, "-y"},
        {"concat", file, "-o", path("link.orv"), "-y"},
        {"info"}, {"verify"}, {"concat", "-o", x}, {"concat", file}, {"decode", file},
        {"decode", file, "-o", x, "--pixfmt", "argb"},
        {"decode", file, "-o", x, "--frames", "3:2"},
        {"decode", file, "-o", x, "--threads", "0"},
        {"extract", file, "--frame", "1", "-o", path("x.jpg")},
        {"extract", file, "--frame", "-1", "-o", path("x.png")},
    };
    const Bytes before = readFile(file);
    for (const Args& args : cases) {
        std::string line = "orv";
        for (const std::string& arg : args) line += " " + arg;
        SCOPED_TRACE(line);
        const Result result = orv(args);
        EXPECT_EQ(result.status, 2) << describe(result);
        EXPECT_NE(result.err.find("--help"), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_FALSE(fs::exists(x));
    }
    EXPECT_EQ(readFile(file), before) << "a refused command left its input alone";
    EXPECT_EQ(readFile(raw), Bytes(16 * 16 * 4, 1));
}

TEST_F(OrvTool, HelpAndVersionExitZero) {
    const Result help = orv({"--help"}), encodeHelp = orv({"encode", "--help"}),
                 version = orv({"--version"});
    EXPECT_EQ(help.status, 0);
    expectHas(help.out, {"encode", "info", "verify", "extract", "decode", "concat", "remux"});
    EXPECT_EQ(encodeHelp.status, 0);
    expectHas(encodeHelp.out, {"ycocg-alpha"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("orv ") + orvLinkedVersion() + "\n");
}

TEST_F(OrvTool, FailuresExitOneWithTheReasonAndLeaveNoOutput) {
    const std::string missing = path("no such dir/in.mov"), out = path("out.orv");
    // Two and a half frames: the input ends inside frame 2.
    writeFile(path("short.raw"), Bytes(16 * 16 * 4 * 5 / 2, 0x40));
    writeFile(path("in.mov"), Bytes(100, 0));
    writeFile(path("not media.mp4"), Bytes(1000, 'x'));
    writeFile(path("taken.orv"), Bytes(10, 't'));
    const std::string wide =
        encodeDemo("wide.orv", {"--size", "3072x8", "--duration", "0.04", "--compression", "none"});
    Args noFfmpeg;  // our environment with a PATH where no ffmpeg is found
    for (char** entry = environ; *entry; ++entry)
        if (std::strncmp(*entry, "PATH=", 5) != 0) noFfmpeg.push_back(*entry);
    noFfmpeg.push_back("PATH=" + path("empty"));
    const Args encodeShort = {"encode", path("short.raw"), "--size", "16x16", "-o", out};
    const Args tinyDemo = {"encode", "--demo", "--size", "16x16", "--duration", "0.04"};
    const auto with = [](Args args, const Args& more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    struct Case {
        Args args;
        std::vector<std::string> expected;  // in the error output
        const Args* environment = nullptr;
        bool terminal = false;  // standard input is a terminal
    };
    std::vector<Case> cases = {
        {{"encode", missing, "-o", out}, {missing, "No such file"}},
        {{"info", missing}, {missing}},
        {{"verify", missing}, {missing}},
        {{"extract", missing, "--frame", "0", "-o", path("x.png")}, {missing}},
        {{"remux", missing, "-o", path("x.avi")}, {missing}},
        {{"decode", missing, "-o", path("x.png")}, {missing}},
        {{"concat", wide, missing, "-o", out}, {missing}},
        {{"decode", wide, "--frames", "1:", "-o", path("x.png")},
         {"--frames 1:: frame 1 is out of range: video stream 0 has 1 frame"}},
        {{"decode", wide, "--frames", "0:2", "-o", path("x.png")},
         {"--frames 0:2 reaches past the end: video stream 0 has 1 frame"}},
        {encodeShort, {"ends inside frame 2"}},
        {with(tinyDemo, {"-o", path("no dir/out.orv")}), {"cannot create", "No such file"}},
        {with(tinyDemo, {"-o", path("taken.orv")}), {"taken.orv exists; use -y to overwrite"}},
        {with(tinyDemo, {"-o", out, "--log", path("taken.orv")}), {"exists; use -y"}},
        {with(tinyDemo, {"-o", dir}), {"is a directory"}},
        {{"extract", wide, "--wav", path("taken.orv")}, {"exists; use -y"}},
        {{"encode", path("in.mov"), "-o", out}, {"apt-get install ffmpeg"}, &noFfmpeg},
        {{"encode", "-", "--size", "16x16", "-o", out}, {"standard input is a terminal"}, nullptr,
         true},
    };
    if (ffmpegInstalled())
        cases.push_back(
            {{"encode", path("not media.mp4"), "-o", out}, {"ffprobe failed", "Invalid data"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args.back());
        Child child(with({ORV_TOOL_PATH}, c.args), c.environment, c.terminal);
        const Result result = child.wait();
        EXPECT_EQ(result.status, 1) << describe(result);
        expectHas(result.err, c.expected);
        for (const char* name : {"out.orv", "x.png", "x.avi"})
            EXPECT_FALSE(fs::exists(path(name))) << name;
        EXPECT_EQ(readFile(path("taken.orv")), Bytes(10, 't'));
    }
    const Result kept = orv(with(encodeShort, {"--keep-partial"}));
    EXPECT_EQ(kept.status, 1) << describe(kept);
    expectHas(kept.err, {"ends inside frame 2", "kept as " + out + ".partial"});
    EXPECT_TRUE(fs::exists(out + ".partial"));
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(OrvTool, TheLibraryLogGoesToTheLogFileAndNeverToTheTerminal) {
    const Result quiet = orv({"encode", "--demo", "--size", "32x32", "--duration", "0.08",
                              "--quiet", "-o", path("q.orv")}),
                 logged = orv({"encode", "--demo", "--size", "32x32", "--duration", "0.08",
                               "--log", path("encode.log"), "-o", path("l.orv")});
    EXPECT_EQ(quiet.status, 0) << describe(quiet);
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(logged.status, 0) << describe(logged);
    EXPECT_EQ(logged.err.find("***"), std::string::npos) << logged.err;
    EXPECT_EQ(logged.err.find('\r'), std::string::npos) << "a progress line off a terminal";
    expectHas(logged.err, {"wrote"});
    const Bytes log = readFile(path("encode.log"));
    // The library writes into the output's temporary, beside it.
    expectHas(std::string(log.begin(), log.end()), {"*** opened " + path("l.orv.")});
}

// ---- What the tool does to the files it is pointed at --------------------

// Every entry of a directory as it is: its type and mode, and the bytes of
// a file or the target of a link.
std::map<std::string, std::pair<mode_t, std::string>> entriesOf(const std::string& directory) {
    std::map<std::string, std::pair<mode_t, std::string>> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        const std::string where = entry.path();
        struct stat info {};
        EXPECT_EQ(lstat(where.c_str(), &info), 0) << where;
        std::string content;
        if (S_ISLNK(info.st_mode)) content = fs::read_symlink(where);
        if (S_ISREG(info.st_mode)) {
            const Bytes bytes = readFile(where);
            content.assign(bytes.begin(), bytes.end());
        }
        entries[entry.path().filename()] = {info.st_mode, content};
    }
    return entries;
}

struct TargetObject {
    const char* name;
    bool (*make)(const std::string& path);  // false: not permitted here
    const char* refusal;                    // why the tool will not write it without -y
    bool regular;                           // a file that -y may replace
};

bool makeFile(const std::string& p, mode_t mode) {
    writeFile(p, Bytes(100, 'f'));
    return chmod(p.c_str(), mode) == 0;
}

using Path = const std::string&;
const TargetObject targetObjects[] = {
    {"DeviceNode", [](Path p) { return mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; },
     "is a character device", false},
    {"Fifo", [](Path p) { return mkfifo(p.c_str(), 0644) == 0; }, "is a FIFO", false},
    {"EmptyDirectory", [](Path p) { return mkdir(p.c_str(), 0755) == 0; }, "is a directory", false},
    {"ReadOnlyFile", [](Path p) { return makeFile(p, 0444); }, "exists; use -y", true},
    {"ExistingFile", [](Path p) { return makeFile(p, 0644); }, "exists; use -y", true},
    {"SymbolicLink",
     [](Path p) { return makeFile(p + ".real", 0644) && symlink("target.real", p.c_str()) == 0; },
     "exists; use -y", true},
};

class OrvToolTargets : public OrvTool, public ::testing::WithParamInterface<TargetObject> {};

// Each command is refused, fails on a broken input, or is interrupted in
// the middle of its work: it is blocked reading the rest of an input the
// test holds back, having taken more than a pipe holds.
TEST_P(OrvToolTargets, StayAsTheyWereAfterRefusedFailedAndInterruptedRuns) {
    const TargetObject& object = GetParam();
    const Bytes orvFile = readFile(encodeDemo("good.orv"));
    const std::string halfOrv(orvFile.begin(), orvFile.begin() + orvFile.size() / 2);
    const size_t frame = 256 * 256 * 4;
    const std::string frames(2 * frame, '\x55');
    ASSERT_GT(halfOrv.size(), 2 * 65536u);
    // Commands that read an ORV file read a file, not a pipe: they cannot be
    // held up in the middle, so only their refusals and failures are tried.
    const std::string half = path("half.orv");
    writeFile(half, Bytes(halfOrv.begin(), halfOrv.end()));
    const struct {
        Args args;  // the target follows
        std::string broken, partial;  // standard input; no partial: not interruptible
    } commands[] = {
        {{"encode", "-", "--size", "256x256", "-o"}, frames.substr(0, frame * 3 / 2), frames},
        {{"extract", half, "--wav"}, "", ""},
        {{"decode", half, "-o"}, "", ""},
        {{"concat", half, "-o"}, "", ""},
    };
    const struct {
        int signal;  // 0: the input is broken instead
        bool overwrite;
    } modes[] = {{0, false}, {0, true}, {SIGINT, true}, {SIGTERM, true}, {SIGHUP, true}};
    int cellNumber = 0;
    for (const auto& command : commands)
        for (const auto& mode : modes) {
            if (mode.signal && command.partial.empty()) continue;
            const std::string cell = path("cell " + std::to_string(cellNumber++));
            const std::string target = cell + "/target";
            fs::create_directory(cell);
            if (!object.make(target))
                GTEST_SKIP() << "cannot make a " << object.name << ": " << std::strerror(errno);
            const bool accepted =
                mode.overwrite && object.regular && access(target.c_str(), W_OK) == 0;
            Args args = command.args;
            args.insert(args.begin(), ORV_TOOL_PATH);
            args.push_back(target);
            if (mode.overwrite) args.push_back("-y");
            SCOPED_TRACE(command.args[0] + " with signal " + std::to_string(mode.signal) +
                         (mode.overwrite ? " and -y" : ""));
            const auto before = entriesOf(cell);
            Child child(args);
            Result result;
            if (mode.signal && accepted) {
                EXPECT_TRUE(child.feed(command.partial));
                result = child.interrupt(mode.signal);
            } else {
                child.feed(mode.signal ? command.partial : command.broken);
                result = child.wait();
            }
            if (mode.signal && accepted) EXPECT_EQ(result.signal, mode.signal) << describe(result);
            else EXPECT_EQ(result.status, 1) << describe(result);
            if (!mode.overwrite || !object.regular) expectHas(result.err, {object.refusal});
            EXPECT_EQ(entriesOf(cell), before) << "the object changed or a temporary was left";
        }
}

INSTANTIATE_TEST_SUITE_P(EveryKind, OrvToolTargets, ::testing::ValuesIn(targetObjects),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OrvTool, YesReplacesAFileOnlyOnceTheNewOneIsCompleteKeepingLinksAndModes) {
    writeFile(path("old.orv"), Bytes(10, 'o'));
    chmod(path("old.orv").c_str(), 0640);
    writeFile(path("real.orv"), Bytes(10, 'r'));
    chmod(path("real.orv").c_str(), 0604);
    fs::create_symlink("real.orv", path("link.orv"));
    const mode_t umaskBefore = umask(027);
    const struct {
        std::string target;
        const char* overwrite;  // how the user says it
        std::string written;    // the file that then holds the encode
        mode_t mode;
    } cases[] = {
        {path("new.orv"), nullptr, path("new.orv"), 0640},  // 0666 less the umask
        {path("old.orv"), "-y", path("old.orv"), 0640},
        {path("link.orv"), "--overwrite", path("real.orv"), 0604},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        Args args = {"encode", "--demo", "--size", "16x16", "--duration", "0.04", "-o", c.target};
        if (c.overwrite) args.push_back(c.overwrite);
        const Result result = orv(args);
        EXPECT_EQ(result.status, 0) << describe(result);
        EXPECT_EQ(orv({"verify", c.written}).status, 0);
        struct stat info {};
        ASSERT_EQ(stat(c.written.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, c.mode);
    }
    umask(umaskBefore);
    EXPECT_TRUE(fs::is_symlink(path("link.orv")));
    EXPECT_EQ(fs::read_symlink(path("link.orv")), "real.orv");
    EXPECT_EQ(entriesOf(dir).size(), 4u) << "no temporary is left";
    // /dev/null discards without -y and stays what it is, as often as it is named.
    const Result discarded = orv({"encode", "--demo", "--size", "16x16", "--duration", "0.04",
                                  "-o", "/dev/null", "--log", "/dev/null"});
    EXPECT_EQ(discarded.status, 0) << describe(discarded);
    expectHas(discarded.err, {"wrote /dev/null: 1 frame of 16x16", "discarded"});
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(OrvTool, HostileWavHeadersAreRefusedEarlyInLittleMemory) {
    // A WAV file of eight bytes of samples whose format chunk claims
    // `fmtSize` bytes.
    const auto wav = [](uint32_t fmtSize, uint16_t channels) {
        Bytes out = wavFile(1, 16, channels, 8000, Bytes(8, 0));
        const size_t sizeAt = 12 + 8 + 6 + 4;  // after RIFF, the LIST chunk and "fmt "
        for (int i = 0; i < 4; ++i) out[sizeAt + i] = uint8_t(fmtSize >> (8 * i));
        return out;
    };
    const struct {
        Bytes file;
        const char* expected;
    } cases[] = {
        {wav(0xFFFFFFFF, 2), "ends inside its format chunk"},
        {wav(0xFFFFFFF0, 2), "ends inside its format chunk"},
        {wav(16, 65534), "declares 65534 channels; an ORV file holds at most 32767"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        writeFile(path("hostile.wav"), c.file);
        const Result result = orv({"encode", "-", "--size", "16x16", "--audio",
                                   path("hostile.wav"), "-o", path("out.orv")},
                                  std::string(16 * 16 * 4, '\0'));
        EXPECT_EQ(result.status, 1) << describe(result);
        expectHas(result.err, {c.expected});
        // Honouring the header would take 1 to 4 GiB.
        EXPECT_LT(result.peakKilobytes, 256 * 1024);
        EXPECT_FALSE(fs::exists(path("out.orv")));
    }
}

TEST_F(OrvTool, SeveralInputsGoEachToItsOwnFileAndOneFailureStopsNoOther) {
    const size_t frame = 16 * 16 * 4;
    writeFile(path("a.rgba"), Bytes(2 * frame, 10));
    writeFile(path("bad.rgba"), Bytes(frame * 3 / 2, 20));  // ends inside frame 1
    writeFile(path("c.raw"), Bytes(3 * frame, 30));
    fs::create_directory(path("out"));
    const Result result = orv({"encode", path("a.rgba"), path("bad.rgba"), path("c.raw"),
                               "--size", "16x16", "-o", path("out/")});
    EXPECT_EQ(result.status, 1) << describe(result);
    expectHas(result.err, {"wrote " + path("out/a.orv") + ": 2 frames of 16x16",
                           path("bad.rgba") + ": " + path("bad.rgba") + " ends inside frame 1",
                           "wrote " + path("out/c.orv") + ": 3 frames of 16x16",
                           "3 inputs: 2 encoded, 1 failed"});
    std::vector<std::string> written;
    for (const auto& [name, entry] : entriesOf(path("out"))) written.push_back(name);
    EXPECT_EQ(written, (std::vector<std::string>{"a.orv", "c.orv"}));
    for (const std::string& name : written)
        EXPECT_EQ(orv({"verify", path("out/" + name)}).status, 0);
}

TEST_F(OrvTool, RangesEncodedApartAndJoinedGiveTheWholeEncodeByteForByte) {
    // Frame records, index (pts and offsets) and the audio's WAV bytes: the
    // whole file, since the samples go through float and back exactly.
    std::vector<std::pair<std::string, Args>> inputs = {
        {"demo", {"--demo", "--size", "64x48", "--duration", "0.4"}}};
    if (ffmpegInstalled()) {
        const std::string media = path("media.mkv");
        ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-f", "lavfi", "-i",
                "sine=frequency=300:sample_rate=8000", "-t", "0.4", "-c:v", "ffv1", "-c:a",
                "pcm_s16le"},
               media);
        inputs.push_back({"media", {media}});
    }
    for (const auto& [name, input] : inputs) {
        SCOPED_TRACE(name);
        const auto encode = [&](const std::string& file, const Args& more) {
            Args args = {"encode", "-y", "-o", path(file)};
            args.insert(args.end(), input.begin(), input.end());
            args.insert(args.end(), more.begin(), more.end());
            const Result result = orv(args);
            EXPECT_EQ(result.status, 0) << describe(result);
            return path(file);
        };
        const Bytes whole = readFile(encode("whole.orv", {}));
        Args concat = {"concat", "-y", "-o", path("joined.orv")};
        for (const char* range : {"0:4", "4:7", "7:"})
            concat.push_back(encode(std::string("part ") + range + ".orv", {"--frames", range}));
        const Result joined = orv(concat);
        ASSERT_EQ(joined.status, 0) << describe(joined);
        expectHas(joined.err, {"orv concat: wrote " + path("joined.orv") +
                               ": 3 files, 10 frames of 64x48, "});
        EXPECT_EQ(orvtest::Reader(path("joined.orv")).video(0).frameCount, 10u);
        EXPECT_EQ(readFile(path("joined.orv")), whole);
    }
}

TEST_F(OrvTool, ConcatRefusesPartsThatDoNotJoinNamingTheFirstDifference) {
    const Args base = {"--size", "32x16", "--duration", "0.08", "--format", "ycocg-alpha", "-y"};
    const auto demo = [&](const std::string& name, const Args& more) {
        Args args = base;
        args.insert(args.end(), more.begin(), more.end());
        return encodeDemo(name, args);
    };
    const std::string a = demo("a.orv", {}), b = demo("b.orv", {});
    const struct {
        Args options;  // of the part that differs
        std::string difference;
    } cases[] = {
        {{"--size", "32x20"}, "size 32x20 differs from " + a + "'s 32x16"},
        {{"--format", "dxt1"}, "format dxt1 differs from " + a + "'s ycocg-alpha"},
        {{"--compression", "lz4"}, "compression lz4 differs from " + a + "'s snappy"},
        {{"--fps", "30/1"}, "time base 1/30 differs from " + a + "'s 1/25"},
        {{"--no-audio"}, "audio none differs from " + a + "'s 2 channels at 48000 Hz"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.difference);
        const std::string odd = demo("odd.orv", c.options);
        const Result result = orv({"concat", a, b, odd, "-o", path("out.orv")});
        EXPECT_EQ(result.status, 1) << describe(result);
        EXPECT_EQ(result.err, "orv concat: " + odd + ": " + c.difference + "\n");
        EXPECT_FALSE(fs::exists(path("out.orv")));
    }
    // Parts out of order join all the same, with a warning.
    const Result swapped = orv({"concat", b, a, "-o", path("out.orv")});
    EXPECT_EQ(swapped.status, 0) << describe(swapped);
    expectHas(swapped.err, {"orv concat: warning: " + a + " begins at pts 0, not after the frames "
                            "before it (up to 1); are the files in order?"});
}

TEST_F(OrvTool, DecodeWritesTheFramesAsTheLibraryDecodesThemToAFileOrAPipe) {
    // Sides that are not whole blocks, alpha, and several threads.
    const std::string file =
        encodeDemo("d.orv", {"--size", "62x46", "--duration", "0.28", "--format", "ycocg-alpha"});
    const orvtest::Reader reader(file);
    const auto expected = [&](uint32_t first, uint32_t end, uint32_t pixFmt) {
        Bytes all;
        for (uint32_t k = first; k < end; ++k) orvtest::append(all, reader.pixels(0, k, pixFmt));
        return all;
    };
    const struct {
        Args options;
        uint32_t first, end, pixFmt;
    } cases[] = {
        {{}, 0, 7, ORV_SRC_PIX_FMT_RGBA32},
        {{"--threads", "1"}, 0, 7, ORV_SRC_PIX_FMT_RGBA32},
        {{"--frames", "2:5", "--pixfmt", "bgra", "--threads", "3"}, 2, 5, ORV_SRC_PIX_FMT_BGRA32},
        {{"--frames", "6:"}, 6, 7, ORV_SRC_PIX_FMT_RGBA32},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.options));
        const Bytes pixels = expected(c.first, c.end, c.pixFmt);
        for (const std::string& target : {std::string("-"), path("out.raw")}) {
            Args args = {"decode", file, "-o", target, "-y"};
            args.insert(args.end(), c.options.begin(), c.options.end());
            const Result result = orv(args);
            ASSERT_EQ(result.status, 0) << describe(result);
            const Bytes written =
                target == "-" ? Bytes(result.out.begin(), result.out.end()) : readFile(target);
            EXPECT_EQ(written, pixels);
            const char* pixfmt = c.pixFmt == ORV_SRC_PIX_FMT_RGBA32 ? "rgba" : "bgra";
            expectHas(result.err, {"orv decode: wrote " + (target == "-" ? "standard output" : target) +
                                   ": " + std::to_string(c.end - c.first) + (c.end - c.first == 1 ? " frame" : " frames") + " of 62x46 " +
                                   pixfmt + " at 25/1 fps, ",
                                   std::string("(as input: -f rawvideo -pix_fmt ") + pixfmt +
                                       " -s 62x46 -r 25/1)\n"});
        }
    }
}

TEST_F(OrvTool, WhatAMediaInputLosesIsSaidOutLoud) {
    if (!ffmpegInstalled()) GTEST_SKIP() << "ffmpeg is not installed (apt-get install ffmpeg)";
    const Args source = {"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25"};
    const auto make = [&](const std::string& name, const Args& more) {
        Args args = source;
        args.insert(args.end(), more.begin(), more.end());
        ffmpeg(args, path(name));
        return path(name);
    };
    // Alpha that varies across the picture, in QuickTime RLE (argb).
    const std::string alpha =
        make("alpha.mov", {"-t", "0.2", "-vf", "format=rgba,geq=r='r(X,Y)':g='g(X,Y)':"
                                               "b='b(X,Y)':a='4*X'", "-c:v", "qtrle"});
    const std::string plain = make("plain.mkv", {"-t", "0.2", "-c:v", "ffv1"});
    const std::string wide = make("wide.mkv", {"-t", "0.2", "-vf", "setsar=2/1", "-c:v", "ffv1"});
    const Bytes full = readFile(make("full.mkv", {"-t", "2", "-c:v", "ffv1"}));
    const std::string cut = path("cut.mkv");
    writeFile(cut, Bytes(full.begin(), full.begin() + full.size() * 2 / 5));
    make("seq%03d.png", {"-frames:v", "3"});
    const struct {
        std::string input;
        Args options;
        int status;
        std::vector<std::string> said;  // on standard error
        bool warns;
        std::string info;  // what `orv info` then tells
    } cases[] = {
        {alpha, {}, 0, {"ycocg-alpha (the input's argb pixels have an alpha channel)"}, false,
         "ycocg-alpha"},
        {plain, {}, 0, {"ycocg (the input's yuv420p pixels have no alpha channel), snappy"},
         false, "format:      ycocg ("},
        {wide, {}, 0, {"warning: " + wide + " has non-square pixels (sample aspect ratio 2:1): "
                       "its 64x48 pictures are shown as 128x48; --square-pixels scales them"},
         true, "size:        64x48"},
        {wide, {"--square-pixels"}, 0, {"of 128x48"}, false, "size:        128x48"},
        {plain, {"--size", "32x24"}, 0, {"of 32x24"}, false, "size:        32x24"},
        {cut, {}, 0, {"warning: " + cut + ": got ", " of the 50 frames the input announced; "
                      "ffmpeg reported "}, true, "frames:      "},
        {cut, {"--strict"}, 1, {"the input announced", "(--strict)"}, false, ""},
        {path("seq%03d.png"), {}, 0, {"3 frames of 64x48"}, false, "frames:      3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input + (c.options.empty() ? "" : " " + c.options[0]));
        Args args = {"encode", c.input, "-y", "-o", path("out.orv")};
        args.insert(args.end(), c.options.begin(), c.options.end());
        std::error_code ignored;
        fs::remove(path("out.orv"), ignored);
        const Result result = orv(args);
        EXPECT_EQ(result.status, c.status) << describe(result);
        expectHas(result.err, c.said);
        EXPECT_EQ(result.err.find("warning") != std::string::npos, c.warns) << result.err;
        EXPECT_EQ(fs::exists(path("out.orv")), c.status == 0);
        if (c.status == 0) expectHas(orv({"info", path("out.orv")}).out, {c.info});
    }
    // The alpha made it: frame 0 against ffmpeg's own decode of it.
    EXPECT_EQ(orv({"encode", alpha, "-y", "-o", path("out.orv")}).status, 0);
    const Bytes theirs = ffmpeg({"-i", alpha, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt",
                                 "rgba"},
                                path("alpha.rgba"));
    EXPECT_GT(psnr(extract(path("out.orv"), 0, "ours.rgba"), theirs, {3}), 40);
}

TEST_F(OrvTool, ControlCharactersInNamesAreEscapedAndOneFrameIsSingular) {
    const std::string odd = path("red\x1b[31m\nline.orv");
    const std::string shown = path("red\\x1B[31m\\x0Aline.orv");
    const Result encoded = orv(
        {"encode", "--demo", "--size", "16x16", "--duration", "0.04", "--no-audio", "-o", odd});
    EXPECT_EQ(encoded.status, 0) << describe(encoded);
    EXPECT_EQ(encoded.err.rfind("orv encode: wrote " + shown +
                                    ": 1 frame of 16x16, ycocg-alpha (the input's rgba pixels "
                                    "have an alpha channel), snappy, ",
                                0),
              0u)
        << encoded.err;
    const Result verified = orv({"verify", odd}), info = orv({"info", odd}),
                 missing = orv({"info", odd + "\t"});
    EXPECT_EQ(verified.out, shown + ": ok\n");
    expectHas(info.out, {shown + ": ORV version 1, ", ", 1 section\n", "frames:      1\n"});
    expectHas(missing.err, {shown + "\\x09: No such file"});
    for (const Result* result : {&encoded, &verified, &info, &missing})
        EXPECT_EQ((result->out + result->err).find_first_of("\x1b\t"), std::string::npos);
}

TEST_F(OrvTool, VerifyNamesEachKindOfDamagePrecisely) {
    const Bytes good = readFile(encodeDemo("good.orv", {"--size", "64x48", "--duration", "0.08",
                                                        "--format", "ycocg", "--compression",
                                                        "lz4"}));
    // The first record follows the video section's 52-byte header at 284:
    // its head (10 bytes) and one slice offset, then the Hap section header
    // whose fourth byte is the type, then the LZ4 size prefix.
    const uint64_t hap = 284 + 52 + 14;
    const std::pair<std::function<void(Bytes&)>, const char*> damages[] = {
        {[](Bytes& b) { b.clear(); }, "shorter than the 12-byte file header"},
        {[](Bytes& b) { b.resize(b.size() / 2); }, "reaches beyond the end of the file"},
        {[](Bytes& b) { b[0] = 'X'; }, "magic: expected \"ORVC\""},
        {[&](Bytes& b) { b[hap + 3] = 0x00; }, "Hap section type 0x00"},
        {[&](Bytes& b) { b[hap + 4] ^= 1; }, "LZ4 size prefix"},
    };
    for (const auto& [damage, expected] : damages) {
        SCOPED_TRACE(expected);
        Bytes bad = good;
        damage(bad);
        writeFile(path("bad.orv"), bad);
        const Result result = orv({"verify", path("bad.orv")});
        EXPECT_EQ(result.status, 1) << describe(result);
        expectHas(result.out, {path("bad.orv") + ": ", expected});
        // info refuses unreadable files too, and never crashes.
        const Result info = orv({"info", path("bad.orv")});
        EXPECT_EQ(info.signal, 0) << describe(info);
    }
}

TEST_F(OrvTool, VerifyListsTheFirstHundredProblemsOfAFileAndCountsTheRest) {
    // 200 kB: one record, and 10000 index entries that all point at it.
    using namespace orvtest;
    const Bytes record = frameRecord(8, 4, 8, 4, {textureSection(bc1, none, Bytes(16, 7))});
    Bytes section = videoHeaderBytes(8, 4, record.size(), 10000);
    append(section, record);
    for (int k = 0; k < 10000; ++k) putLE(section, record.size(), 4);
    for (int k = 0; k < 10000; ++k) putLE(section, 284 + 52, 8);
    for (int k = 0; k < 10000; ++k) putLE(section, k, 8);
    writeFile(path("many.orv"), assemble({{2, section}}));
    const Result result = orv({"verify", path("many.orv"), path("many.orv")});
    EXPECT_EQ(result.status, 1) << describe(result);
    const std::string report =
        path("many.orv") + ": 10000 problems\n" +
        "  video section in slot 0: offset " + std::to_string(284 + 52 + record.size() + 40008) +
        ": frame 1 offset: expected " + std::to_string(284 + 52 + record.size()) + ", found 336\n";
    EXPECT_EQ(result.out.rfind(report, 0), 0u) << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 2 * 102);
    expectHas(result.out, {"\n  \u2026 and 9900 more problems\n" + path("many.orv") + ": "});
}

TEST_F(OrvTool, ExtremeStoredValuesAndNonFilesGetClearAnswers) {
    // A frame rate of 2^64 - 1 over 0 or over 1, and a time base of 0/0.
    using namespace orvtest;
    const Bytes sound = oneFrameFile(8, 4, 8, 4, {textureSection(bc1, none, Bytes(16, 7))});
    const auto withRate = [&](uint64_t fpsNum, uint64_t fpsDen, bool damagedRecord = false) {
        Bytes bytes = sound;
        poke(bytes, 284 + 8, 0, 8), poke(bytes, 284 + 16, 0, 8);
        poke(bytes, 284 + 24, fpsDen, 8), poke(bytes, 284 + 32, fpsNum, 8);
        if (damagedRecord) poke(bytes, 284 + 52, 0x0301, 2);  // the record's marker
        const std::string name = path(std::to_string(fpsNum) + " over " + std::to_string(fpsDen) +
                                      (damagedRecord ? " damaged" : ""));
        writeFile(name, bytes);
        return name;
    };
    const struct {
        Args args;
        int status;
        std::vector<std::string> out, err;
    } cases[] = {
        {{"info", withRate(UINT64_MAX, 0)},
         0,
         {"  time base:   0/0\n  frame rate:  18446744073709551615/0 (not a rate)\n  data:"},
         {}},
        {{"info", withRate(UINT64_MAX, 1)},
         0,
         {"  frame rate:  18446744073709551615/1 (18446744073709551616.000 fps)\n"
          "  duration:    0.000 s\n"},
         {}},
        {{"info", withRate(UINT64_MAX, 1), "--json"},
         0,
         {"\"timebase_num\": 0, \"timebase_den\": 0, \"fps_num\": 18446744073709551615, "
          "\"fps_den\": 1, \"fps\": 1.84467e+19"},
         {}},
        {{"verify", withRate(25, 1)},
         1,
         {": 1 problem\n  video section in slot 0: offset 292: time base 0/0: expected a numerator "
          "and a denominator from 1 to 9223372036854775807\n"},
         {}},
        {{"decode", withRate(UINT64_MAX, 0), "-o", "-"},
         0,
         {},
         {"1 frame of 8x4 rgba, 128 B in ", "(as input: -f rawvideo -pix_fmt rgba -s 8x4)\n"}},
        {{"info", withRate(25, 1, true)},
         1,
         {"  first frame: unreadable: video section in slot 0: the layout of its frames is "
          "unknown: frame 0: offset 336: frame record marker: expected 0x0300, found 0x0301\n"},
         {}},
        {{"info", "/dev/zero"}, 1, {}, {"orv info: /dev/zero is not a regular file\n"}},
        {{"verify", "/dev/zero"}, 1, {}, {"orv verify: /dev/zero is not a regular file\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const Result result = orv(c.args);
        EXPECT_EQ(result.status, c.status) << describe(result);
        expectHas(result.out, c.out);
        expectHas(result.err, c.err);
        if (c.args.back() == "--json") {
            EXPECT_TRUE(JsonChecker(result.out).valid()) << result.out;
        }
    }
}

TEST_F(OrvTool, ReadCommandsStayUnderTwoHundredMegabytesOnAFiveGigabyteFile) {
    // A small encode whose last frame record is moved past 5 GiB, behind a
    // hole that takes no disk: its index and frame data size say so, so
    // verify finds two problems and reads every record.
    using orvtest::readLE;
    const Bytes small = readFile(encodeDemo("small.orv", {"--size", "320x180", "--duration",
                                                          "0.12", "--no-audio"}));
    const uint64_t dataSize = readLE(small, 284 + 40, 8), n = readLE(small, 284 + 48, 4);
    const uint64_t index = 284 + 52 + dataSize, offsetAt = index + 4 * n + 8 * (n - 1);
    const uint64_t lastAt = readLE(small, offsetAt, 8), lastSize = readLE(small, index + 4 * (n - 1), 4);
    const uint64_t far = uint64_t{5} << 30;
    Bytes head(small.begin(), small.begin() + static_cast<ptrdiff_t>(lastAt)),
        last(small.begin() + static_cast<ptrdiff_t>(lastAt),
             small.begin() + static_cast<ptrdiff_t>(lastAt + lastSize)),
        tail(small.begin() + static_cast<ptrdiff_t>(index), small.end());
    const uint64_t farData = far + lastSize - (284 + 52);
    orvtest::poke(head, 284 + 40, farData, 8);
    orvtest::poke(head, 21, 52 + farData + 20 * n, 8);  // slot 0's size
    orvtest::poke(tail, offsetAt - index, far, 8);
    const std::string big = path("big.orv");
    const int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const bool written =
        pwrite(fd, head.data(), head.size(), 0) == ssize_t(head.size()) &&
        pwrite(fd, last.data(), last.size(), off_t(far)) == ssize_t(last.size()) &&
        pwrite(fd, tail.data(), tail.size(), off_t(far + lastSize)) == ssize_t(tail.size());
    struct stat info {};
    fstat(fd, &info);
    close(fd);
    if (!written || info.st_blocks * 512 > (64 << 20))
        GTEST_SKIP() << "the file system holds no sparse file of 5 GiB here";

    const std::string lastFrame = std::to_string(n - 1);
    const struct {
        Args args;
        int status;
    } commands[] = {
        {{"info", big}, 0},
        {{"verify", big}, 1},
        {{"extract", big, "--frame", lastFrame, "-o", path("last.rgba")}, 0},
        {{"decode", big, "--frames", lastFrame + ":", "-o", "-"}, 0},
    };
    const Bytes picture = orvtest::Reader(path("small.orv")).pixels(0, static_cast<uint32_t>(n - 1));
    for (const auto& c : commands) {
        SCOPED_TRACE(c.args[0]);
        const Result result = orv(c.args);
        EXPECT_EQ(result.status, c.status) << describe(result);
        EXPECT_LT(result.peakKilobytes, 200 * 1024);
        RecordProperty(c.args[0] + "_peak_kB", std::to_string(result.peakKilobytes));
        if (c.args[0] == "decode") {
            EXPECT_EQ(Bytes(result.out.begin(), result.out.end()), picture);
        }
    }
    EXPECT_EQ(readFile(path("last.rgba")), picture);
}

TEST_F(OrvTool, GarbageNeverCrashesAnyReadingCommand) {
    const Bytes good = readFile(encodeDemo("good.orv", {"--size", "32x32", "--duration", "0.08"}));
    const std::string junk = path("junk.orv");
    std::mt19937 random(7);
    for (int round = 0; round < 6; ++round) {
        Bytes bytes = good;
        if (round < 2) {
            bytes.resize(random() % 600);
            for (uint8_t& b : bytes) b = uint8_t(random());
            if (round == 1 && bytes.size() >= 4) std::memcpy(bytes.data(), "ORVC", 4);
        } else {
            for (int flips = 0; flips < 8; ++flips)
                bytes[random() % bytes.size()] ^= uint8_t(random() | 1);
        }
        writeFile(junk, bytes);
        SCOPED_TRACE(round);
        for (const Args& args : {Args{"verify", junk}, Args{"info", junk, "--json"},
                                 Args{"extract", junk, "--frame", "1", "-o", path("j.png")},
                                 Args{"decode", junk, "-o", path("j.rgba"), "-y"},
                                 Args{"concat", junk, junk, "-o", path("j2.orv"), "-y"},
                                 Args{"remux", junk, "-o", path("j.avi")}}) {
            const Result result = orv(args);
            EXPECT_EQ(result.signal, 0) << args[0] << ": " << describe(result);
            EXPECT_TRUE(result.status == 0 || result.status == 1)
                << args[0] << ": " << describe(result);
        }
    }
}

TEST_F(OrvTool, MediaFileWithAudioIsEncodedThroughFfmpeg) {
    if (!ffmpegInstalled()) GTEST_SKIP() << "ffmpeg is not installed (apt-get install ffmpeg)";
    const std::string media = path("in put's [1].mkv"), file = path("media.orv");
    ASSERT_FALSE(ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25", "-f", "lavfi", "-i",
                         "sine=frequency=440:sample_rate=44100", "-t", "1", "-c:v", "ffv1", "-c:a",
                         "pcm_s16le"},
                        media)
                     .empty());
    const Result encoded = orv({"encode", media, "-o", file});
    ASSERT_EQ(encoded.status, 0) << describe(encoded);
    EXPECT_EQ(orv({"verify", file}).status, 0);
    expectHas(orv({"info", file}).out, {"320x240", "frames:      25", "25/1",
                                        "rate:        44100 Hz", "channels:    1",
                                        "samples:     44100 of"});

    // Frame 10 against ffmpeg's own decode of the source.
    const Bytes source = ffmpeg({"-i", media, "-vf", "select=eq(n\\,10)", "-frames:v", "1", "-f",
                                 "rawvideo", "-pix_fmt", "rgba"},
                                path("source10.rgba")),
                ours = extract(file, 10, "ours10.rgba");
    ASSERT_EQ(source.size(), 320u * 240 * 4);
    ASSERT_EQ(ours.size(), source.size());
    EXPECT_GT(psnr(ours, source, {0, 1, 2}), 30);

    // 16-bit samples pass through float and back unchanged.
    const Bytes sourcePcm =
        ffmpeg({"-i", media, "-f", "s16le", "-acodec", "pcm_s16le"}, path("source.pcm"));
    const Bytes ourWav = extract(file, -1, "ours.wav");
    ASSERT_GE(ourWav.size(), 44u);
    EXPECT_EQ(Bytes(ourWav.begin() + 44, ourWav.end()), sourcePcm);
}

}  // namespace
