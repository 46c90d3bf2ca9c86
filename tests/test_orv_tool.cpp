// The `orv` command-line tool, run as a separate process the way a user runs
// it: encoding the demo, raw frames and media files; verify, info, extract
// and remux; exit statuses and messages. Pictures are checked against the
// source they came from, and remuxed AVIs against what ffmpeg decodes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "demo_source.hpp"
#include "orv.h"
#include "orv_reader.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// ---- Running programs --------------------------------------------------------

struct Result {
    bool started = false;  // false: the program is not installed
    int status = -1;       // exit status; -1 when killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

std::string readAllFrom(FILE* file) {
    std::string text;
    std::rewind(file);
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    return text;
}

// Runs argv[0] from PATH with `input` on a pipe to its standard input, its
// output and errors collected in files (so neither side can block the
// other), and `environment` in place of ours when given.
Result run(const std::vector<std::string>& argv, const std::string& input = "",
           const std::vector<std::string>* environment = nullptr) {
    Result result;
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    int pipeFds[2];
    if (!out || !err || pipe2(pipeFds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "cannot set up a child process: " << std::strerror(errno);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fileno(out), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fileno(err), STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    if (environment) {
        for (const std::string& entry : *environment)
            env.push_back(const_cast<char*>(entry.c_str()));
        env.push_back(nullptr);
    }
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(),
                                     environment ? env.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[0]);
    if (spawned == 0) {
        result.started = true;
        size_t done = 0;
        while (done < input.size()) {
            const ssize_t wrote = write(pipeFds[1], input.data() + done, input.size() - done);
            if (wrote < 0 && errno == EINTR)
                continue;
            if (wrote <= 0)
                break;  // the child stopped reading; its status tells why
            done += static_cast<size_t>(wrote);
        }
    }
    close(pipeFds[1]);
    if (spawned == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) {
            result.status = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result.signal = WTERMSIG(status);
        }
        result.out = readAllFrom(out);
        result.err = readAllFrom(err);
    }
    std::fclose(out);
    std::fclose(err);
    return result;
}

Result orv(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), ORV_TOOL_PATH);
    return run(args, input);
}

bool ffmpegInstalled() {
    static const bool installed =
        run({"ffmpeg", "-version"}).started && run({"ffprobe", "-version"}).started;
    return installed;
}

std::string describe(const Result& result) {
    return "status " + std::to_string(result.status) + ", signal " + std::to_string(result.signal) +
           "\nstdout: " + result.out + "\nstderr: " + result.err;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// ---- Pictures ---------------------------------------------------------------------

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
    if (sum == 0)
        return 99;
    return 10 * std::log10(255.0 * 255.0 * count / sum);
}

int maxDifference(const Bytes& a, const Bytes& b, int channel) {
    int most = 0;
    for (size_t i = channel; i < a.size() && i < b.size(); i += 4)
        most = std::max(most, std::abs(int(a[i]) - int(b[i])));
    return most;
}

double meanDifference(const Bytes& a, const Bytes& b, int channel) {
    double sum = 0;
    for (size_t i = channel; i < a.size() && i < b.size(); i += 4)
        sum += std::abs(int(a[i]) - int(b[i]));
    return sum / (a.size() / 4);
}

Bytes demoFrame(uint32_t width, uint32_t height, uint32_t k) {
    orvtool::DemoSettings settings;
    settings.width = width;
    settings.height = height;
    Bytes rgba(size_t{width} * height * 4);
    orvtool::renderDemoFrame(settings, k, rgba.data());
    return rgba;
}

Bytes readPng(const std::string& path, uint32_t& width, uint32_t& height) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        ADD_FAILURE() << "libpng cannot read " << path << ": " << image.message;
        return {};
    }
    image.format = PNG_FORMAT_RGBA;
    Bytes pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        ADD_FAILURE() << "libpng cannot decode " << path << ": " << image.message;
        return {};
    }
    width = image.width;
    height = image.height;
    return pixels;
}

// ---- WAV files ---------------------------------------------------------------------

void put16(Bytes& out, uint32_t v) {
    out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8)});
}
void put32(Bytes& out, uint32_t v) {
    out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}
void putTag(Bytes& out, const char* tag) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(tag[i]));
}

// A WAV file of `bits`-bit integer (format 1) or float (format 3) samples,
// with a LIST chunk before the format chunk that a reader must skip.
Bytes wavFile(uint16_t format, uint16_t bits, uint16_t channels, uint32_t rate,
              const Bytes& samples) {
    Bytes out;
    putTag(out, "RIFF");
    put32(out, uint32_t(4 + 8 + 5 + 1 + 8 + 16 + 8 + samples.size()));
    putTag(out, "WAVE");
    putTag(out, "LIST");
    put32(out, 5);
    out.insert(out.end(), {'I', 'N', 'F', 'O', '!', 0});  // odd size, one pad byte
    putTag(out, "fmt ");
    put32(out, 16);
    put16(out, format);
    put16(out, channels);
    put32(out, rate);
    put32(out, rate * channels * bits / 8);
    put16(out, channels * bits / 8);
    put16(out, bits);
    putTag(out, "data");
    put32(out, uint32_t(samples.size()));
    out.insert(out.end(), samples.begin(), samples.end());
    return out;
}

std::vector<int16_t> wavSamples16(const Bytes& wav) {
    std::vector<int16_t> samples;
    for (size_t i = 44; i + 1 < wav.size(); i += 2)
        samples.push_back(int16_t(wav[i] | (wav[i + 1] << 8)));
    return samples;
}

// ---- A minimal JSON checker ---------------------------------------------------

// Accepts exactly one JSON value surrounded by white space.
class JsonChecker {
public:
    explicit JsonChecker(const std::string& text) : s(text) {}
    bool valid() {
        skip();
        if (!value())
            return false;
        skip();
        return i == s.size();
    }

private:
    void skip() {
        while (i < s.size() && std::strchr(" \t\r\n", s[i]))
            ++i;
    }
    bool literal(const char* word) {
        const size_t n = std::strlen(word);
        if (s.compare(i, n, word) != 0)
            return false;
        i += n;
        return true;
    }
    bool string() {
        if (s[i] != '"')
            return false;
        for (++i; i < s.size(); ++i) {
            const unsigned char c = s[i];
            if (c == '"')
                return ++i, true;
            if (c < 0x20)
                return false;
            if (c == '\\') {
                if (++i >= s.size())
                    return false;
                if (s[i] == 'u') {
                    for (int k = 0; k < 4; ++k)
                        if (++i >= s.size() || !std::isxdigit(static_cast<unsigned char>(s[i])))
                            return false;
                } else if (!std::strchr("\"\\/bfnrt", s[i])) {
                    return false;
                }
            }
        }
        return false;
    }
    bool number() {
        const size_t start = i;
        if (s[i] == '-')
            ++i;
        while (i < s.size() &&
               (std::isdigit(static_cast<unsigned char>(s[i])) || std::strchr(".eE+-", s[i])))
            ++i;
        return i > start;
    }
    bool sequence(char close, bool object) {
        ++i;
        skip();
        if (i < s.size() && s[i] == close)
            return ++i, true;
        for (;;) {
            skip();
            if (object) {
                if (i >= s.size() || !string())
                    return false;
                skip();
                if (i >= s.size() || s[i] != ':')
                    return false;
                ++i;
                skip();
            }
            if (!value())
                return false;
            skip();
            if (i >= s.size())
                return false;
            if (s[i] == close)
                return ++i, true;
            if (s[i] != ',')
                return false;
            ++i;
        }
    }
    bool value() {
        if (i >= s.size())
            return false;
        switch (s[i]) {
            case '{': return sequence('}', true);
            case '[': return sequence(']', false);
            case '"': return string();
            case 't': return literal("true");
            case 'f': return literal("false");
            case 'n': return literal("null");
            default: return number();
        }
    }
    const std::string& s;
    size_t i = 0;
};

// ---- Fixture ---------------------------------------------------------------------

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
    std::string encodeDemo(const std::string& name, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"encode", "--demo",  "--size", "320x180", "--duration",
                                         "0.2",    "--level", "fast",   "-o",      path(name)};
        args.insert(args.end(), extra.begin(), extra.end());
        const Result result = orv(args);
        EXPECT_EQ(result.status, 0) << describe(result);
        return path(name);
    }

    std::string dir;
};

// ---- Encoding the demo --------------------------------------------------------

struct FormatCase {
    const char* name;
    bool alpha;  // the format keeps the alpha channel
    double minColourPsnr;
};

TEST_F(OrvTool, DemoFramesDecodeCloseToTheSourceInEveryFormat) {
    const FormatCase cases[] = {
        {"dxt1", false, 28}, {"dxt5", true, 28}, {"ycocg", false, 34}, {"ycocg-alpha", true, 34}};
    for (const FormatCase& format : cases) {
        SCOPED_TRACE(format.name);
        const std::string file =
            encodeDemo(std::string(format.name) + ".orv", {"--format", format.name, "--no-audio"});
        const Result verified = orv({"verify", file});
        EXPECT_EQ(verified.status, 0) << describe(verified);
        EXPECT_EQ(verified.out, file + ": ok\n");

        const Result extracted = orv({"extract", file, "--frame", "3", "-o", path("f.rgba")});
        ASSERT_EQ(extracted.status, 0) << describe(extracted);
        const Bytes decoded = readFile(path("f.rgba"));
        const Bytes source = demoFrame(320, 180, 3);
        ASSERT_EQ(decoded.size(), source.size());
        const double colour = psnr(decoded, source, {0, 1, 2});
        EXPECT_GT(colour, format.minColourPsnr);
        // Frame 3 against frame 2 shows that the bound tells frames apart.
        EXPECT_LT(psnr(decoded, demoFrame(320, 180, 2), {0, 1, 2}), colour - 3);
        if (format.alpha)
            EXPECT_GT(psnr(decoded, source, {3}), 40);
        else
            EXPECT_EQ(maxDifference(decoded, Bytes(decoded.size(), 255), 3), 0);

        // The PNG holds the same pixels as the raw extract.
        ASSERT_EQ(orv({"extract", file, "--frame", "3", "-o", path("f.png")}).status, 0);
        uint32_t width = 0, height = 0;
        EXPECT_EQ(readPng(path("f.png"), width, height), decoded);
        EXPECT_EQ(width, 320u);
        EXPECT_EQ(height, 180u);
    }
}

TEST_F(OrvTool, DemoCarriesItsStereoToneAndInfoDescribesIt) {
    const std::string file = encodeDemo("demo.orv", {"--format", "ycocg-alpha"});
    const Result info = orv({"info", file});
    ASSERT_EQ(info.status, 0) << describe(info);
    for (const char* expected :
         {"320x180", "slices:      1x1 of 320x180", "ycocg-alpha", "HapM", "compression: lz4",
          "frames:      5", "25/1", "duration:    0.200 s", "rate:        48000 Hz",
          "channels:    2", "samples:     9600 of 16-bit PCM"})
        EXPECT_NE(info.out.find(expected), std::string::npos) << expected << "\n" << info.out;

    ASSERT_EQ(orv({"extract", file, "--wav", path("tone.wav")}).status, 0);
    const std::vector<int16_t> samples = wavSamples16(readFile(path("tone.wav")));
    ASSERT_EQ(samples.size(), 9600u * 2);
    // Left and right carry different tones: count zero crossings of each.
    int crossings[2] = {0, 0};
    for (size_t i = 2; i < samples.size(); ++i)
        if ((samples[i - 2] < 0) != (samples[i] < 0))
            ++crossings[i % 2];
    EXPECT_NEAR(crossings[0], 2 * 440 * 0.2, 4);
    EXPECT_NEAR(crossings[1], 2 * 660 * 0.2, 4);
}

TEST_F(OrvTool, InfoJsonIsWellFormedEvenForAnOddFileName) {
    const std::string file = encodeDemo("we\"ird\\name\t.orv", {"--compression", "snappy"});
    const Result info = orv({"info", file, "--json"});
    ASSERT_EQ(info.status, 0) << describe(info);
    EXPECT_TRUE(JsonChecker(info.out).valid()) << info.out;
    for (const char* expected :
         {"\"format\": \"ycocg\"", "\"compression\": \"snappy\"", "\"frames\": 5",
          "\"sample_rate\": 48000", "we\\\"ird\\\\name\\t.orv"})
        EXPECT_NE(info.out.find(expected), std::string::npos) << expected << "\n" << info.out;
}

// ---- Raw frames ---------------------------------------------------------------------

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
                                "--fps", "30/1", "--format", "dxt5", "--level", "fast", "-o", file},
                               input);
    ASSERT_EQ(encoded.status, 0) << describe(encoded);

    const Result info = orv({"info", file});
    EXPECT_NE(info.out.find("frames:      3"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("30/1"), std::string::npos) << info.out;
    for (uint32_t k = 0; k < 3; ++k) {
        ASSERT_EQ(orv({"extract", file, "--frame", std::to_string(k), "-o", path("k.rgba")}).status,
                  0);
        const Bytes decoded = readFile(path("k.rgba"));
        ASSERT_EQ(decoded.size(), pictures[k].size());
        // Rows upside down or red and blue swapped: what a mistake would give.
        Bytes flipped(decoded.size()), swapped = pictures[k];
        for (uint32_t y = 0; y < height; ++y)
            std::memcpy(&flipped[size_t{y} * width * 4],
                        &pictures[k][size_t{height - 1 - y} * width * 4], size_t{width} * 4);
        for (size_t i = 0; i < swapped.size(); i += 4)
            std::swap(swapped[i], swapped[i + 2]);
        const double right = psnr(decoded, pictures[k], {0, 1, 2, 3});
        EXPECT_GT(right, 24) << "frame " << k;
        EXPECT_GT(right, psnr(decoded, flipped, {0, 1, 2, 3}) + 6) << "frame " << k;
        EXPECT_GT(right, psnr(decoded, swapped, {0, 1, 2, 3}) + 6) << "frame " << k;
    }
}

TEST_F(OrvTool, WavAudioOfEveryKindBesideRawFramesIsStoredAsPcm) {
    const std::string frame(16 * 16 * 4, '\x80');
    const std::vector<double> values = {0.0, 0.5, -0.5, 0.25, -1.0, 0.999, 0.1234, -0.75};
    struct Kind {
        uint16_t format, bits;
    };
    for (const Kind kind : {Kind{1, 16}, Kind{1, 24}, Kind{3, 32}}) {
        SCOPED_TRACE(kind.bits);
        Bytes data;
        for (double v : values) {
            if (kind.format == 3) {
                const float f = float(v);
                uint32_t bits;
                std::memcpy(&bits, &f, 4);
                put32(data, bits);
            } else {
                const auto scaled = int64_t(std::floor(v * (1 << (kind.bits - 1))));
                for (int b = 0; b < kind.bits / 8; ++b)
                    data.push_back(uint8_t(scaled >> (8 * b)));
            }
        }
        writeFile(path("in.wav"), wavFile(kind.format, kind.bits, 2, 22050, data));
        const Result encoded = orv({"encode", "-", "--size", "16x16", "--audio", path("in.wav"),
                                    "--level", "fast", "-o", path("a.orv")},
                                   frame);
        ASSERT_EQ(encoded.status, 0) << describe(encoded);
        ASSERT_EQ(orv({"extract", path("a.orv"), "--wav", path("out.wav")}).status, 0);
        const Bytes wav = readFile(path("out.wav"));
        ASSERT_GE(wav.size(), 44u);
        EXPECT_EQ(wav[22], 2);                       // channels
        EXPECT_EQ(wav[24] | (wav[25] << 8), 22050);  // rate
        const std::vector<int16_t> samples = wavSamples16(wav);
        ASSERT_EQ(samples.size(), values.size());
        for (size_t i = 0; i < values.size(); ++i)
            EXPECT_NEAR(samples[i], std::clamp(values[i] * 32768, -32768.0, 32767.0), 1.0)
                << "sample " << i;
    }
}

// ---- Failures and usage ------------------------------------------------------------

TEST_F(OrvTool, UsageErrorsExitTwoWithAOneLineHintToHelp) {
    const std::string file = encodeDemo("ok.orv");
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"encode"},
        {"encode", "--demo"},
        {"encode", "--demo", "-o", path("x.orv"), "--format", "dxt9"},
        {"encode", "--demo", "-o", path("x.orv"), "--threads", "many"},
        {"encode", "--demo", "-o", path("x.orv"), "--size", "0x10"},
        {"encode", "--demo", "-o", path("x.orv"), "--bogus"},
        {"encode", "-", "-o", path("x.orv")},
        {"encode", "in.mov", "--pixfmt", "bgra", "-o", path("x.orv")},
        {"encode", file, "-o", file},
        {"info"},
        {"verify"},
        {"extract", file, "--frame", "1", "-o", path("x.jpg")},
        {"extract", file, "--frame", "-1", "-o", path("x.png")},
        {"remux", file},
    };
    for (const auto& args : cases) {
        std::string line = "orv";
        for (const std::string& arg : args)
            line += " " + arg;
        SCOPED_TRACE(line);
        const Result result = orv(args);
        EXPECT_EQ(result.status, 2) << describe(result);
        EXPECT_NE(result.err.find("--help"), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_FALSE(fs::exists(path("x.orv")));
    }
    EXPECT_EQ(orv({"verify", file}).status, 0) << "the refused encode left its input alone";
}

TEST_F(OrvTool, HelpAndVersionExitZero) {
    const Result help = orv({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* subcommand : {"encode", "info", "verify", "extract", "remux"})
        EXPECT_NE(help.out.find(subcommand), std::string::npos);
    const Result encodeHelp = orv({"encode", "--help"});
    EXPECT_EQ(encodeHelp.status, 0);
    EXPECT_NE(encodeHelp.out.find("ycocg-alpha"), std::string::npos);
    const Result version = orv({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("orv ") + orvLinkedVersion() + "\n");
}

TEST_F(OrvTool, MissingInputFailsWithItsNameAndLeavesNoOutput) {
    const std::string missing = path("no such dir/in.mov");
    const Result result = orv({"encode", missing, "-o", path("out.orv")});
    EXPECT_EQ(result.status, 1) << describe(result);
    EXPECT_NE(result.err.find(missing), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("No such file"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(path("out.orv")));

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", missing},
          {"verify", missing},
          {"extract", missing, "--frame", "0", "-o", path("x.png")},
          {"remux", missing, "-o", path("x.avi")}}) {
        const Result other = orv(args);
        const std::string& subcommand = args[0];
        EXPECT_EQ(other.status, 1) << subcommand << ": " << describe(other);
        EXPECT_NE(other.err.find(missing), std::string::npos) << other.err;
    }
}

TEST_F(OrvTool, FailedEncodeRemovesThePartialOutputUnlessKept) {
    // Two and a half frames: the input ends inside frame 2.
    const std::string input(16 * 16 * 4 * 5 / 2, '\x40');
    writeFile(path("short.raw"), Bytes(input.begin(), input.end()));
    for (const bool keep : {false, true}) {
        std::vector<std::string> args = {"encode", path("short.raw"), "--size", "16x16",
                                         "-o",     path("out.orv")};
        if (keep)
            args.push_back("--keep-partial");
        const Result result = orv(args);
        EXPECT_EQ(result.status, 1) << describe(result);
        EXPECT_NE(result.err.find("ends inside frame 2"), std::string::npos) << result.err;
        EXPECT_EQ(fs::exists(path("out.orv")), keep);
    }
}

TEST_F(OrvTool, LibraryRefusalsReachTheUserWithTheLibrarysMessage) {
    // The encoder opens the file first, so a missing directory is its refusal.
    const Result result = orv({"encode", "--demo", "--size", "16x16", "--duration", "0.04", "-o",
                               path("no dir/out.orv")});
    EXPECT_EQ(result.status, 1) << describe(result);
    EXPECT_NE(result.err.find("cannot create"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("failed to open file"), std::string::npos) << result.err;
}

TEST_F(OrvTool, TheLibraryLogGoesToTheLogFileAndNeverToTheTerminal) {
    const Result quiet = orv({"encode", "--demo", "--size", "32x32", "--duration", "0.08",
                              "--quiet", "-o", path("q.orv")});
    EXPECT_EQ(quiet.status, 0) << describe(quiet);
    EXPECT_EQ(quiet.err, "");

    const Result logged = orv({"encode", "--demo", "--size", "32x32", "--duration", "0.08", "--log",
                               path("encode.log"), "-o", path("l.orv")});
    EXPECT_EQ(logged.status, 0) << describe(logged);
    EXPECT_EQ(logged.err.find("***"), std::string::npos) << logged.err;
    EXPECT_EQ(logged.err.find('\r'), std::string::npos) << "a progress line off a terminal";
    EXPECT_NE(logged.err.find("wrote"), std::string::npos) << logged.err;
    const Bytes log = readFile(path("encode.log"));
    const std::string text(log.begin(), log.end());
    EXPECT_NE(text.find("*** opened " + path("l.orv") + " for writing"), std::string::npos) << text;
}

// ---- verify --------------------------------------------------------------------------

TEST_F(OrvTool, VerifyNamesEachKindOfDamagePrecisely) {
    const std::string file = encodeDemo("good.orv", {"--size", "64x48", "--duration", "0.08"});
    const Bytes good = readFile(file);
    const orvread::OrvFile parsed(good);
    const uint64_t frame0 = parsed.video(0).frameOffsets.at(0);
    // Record header (10 bytes) and one slice offset, then the Hap section
    // header whose fourth byte is the type, then the LZ4 size prefix.
    const uint64_t hapType = frame0 + 14 + 3;
    const uint64_t lz4Prefix = frame0 + 14 + 4;

    struct Damage {
        const char* what;
        std::function<Bytes(Bytes)> apply;
        const char* expected;
    };
    const Damage damages[] = {
        {"empty", [](Bytes) { return Bytes(); }, "shorter than the 12-byte file header"},
        {"truncated", [](Bytes b) { return Bytes(b.begin(), b.begin() + b.size() / 2); },
         "reaches beyond the end of the file"},
        {"magic",
         [](Bytes b) {
             b[0] = 'X';
             return b;
         },
         "magic: expected \"ORVC\""},
        {"hap type",
         [&](Bytes b) {
             b[hapType] = 0x00;
             return b;
         },
         "Hap section type 0x00"},
        {"lz4 prefix",
         [&](Bytes b) {
             b[lz4Prefix] ^= 1;
             return b;
         },
         "LZ4 size prefix"},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        writeFile(path("bad.orv"), damage.apply(good));
        const Result result = orv({"verify", path("bad.orv")});
        EXPECT_EQ(result.status, 1) << describe(result);
        EXPECT_NE(result.out.find(path("bad.orv") + ": "), std::string::npos) << result.out;
        EXPECT_NE(result.out.find(damage.expected), std::string::npos) << result.out;
        // info refuses unreadable files too, and never crashes.
        const Result info = orv({"info", path("bad.orv")});
        EXPECT_EQ(info.signal, 0) << describe(info);
    }
}

TEST_F(OrvTool, GarbageNeverCrashesVerifyInfoExtractOrRemux) {
    const Bytes good = readFile(encodeDemo("good.orv", {"--size", "32x32", "--duration", "0.08"}));
    std::mt19937 random(7);
    for (int round = 0; round < 6; ++round) {
        Bytes bytes = good;
        if (round < 2) {
            bytes.resize(random() % 600);
            for (uint8_t& b : bytes)
                b = uint8_t(random());
            if (round == 1 && bytes.size() >= 4)
                std::memcpy(bytes.data(), "ORVC", 4);
        } else {
            for (int flips = 0; flips < 8; ++flips)
                bytes[random() % bytes.size()] ^= uint8_t(random() | 1);
        }
        writeFile(path("junk.orv"), bytes);
        SCOPED_TRACE(round);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"verify", path("junk.orv")},
              {"info", path("junk.orv"), "--json"},
              {"extract", path("junk.orv"), "--frame", "1", "-o", path("j.png")},
              {"remux", path("junk.orv"), "-o", path("j.avi")}}) {
            const Result result = orv(args);
            EXPECT_EQ(result.signal, 0) << args[0] << ": " << describe(result);
            EXPECT_TRUE(result.status == 0 || result.status == 1)
                << args[0] << ": " << describe(result);
        }
    }
}

// ---- Media files through ffmpeg -------------------------------------------------------

TEST_F(OrvTool, MediaFileWithAudioIsEncodedThroughFfmpeg) {
    if (!ffmpegInstalled())
        GTEST_SKIP() << "ffmpeg is not installed (apt-get install ffmpeg)";
    const std::string media = path("in put's [1].mkv");
    const Result made =
        run({"ffmpeg", "-y", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25",
             "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100", "-t", "1", "-c:v", "ffv1",
             "-c:a", "pcm_s16le", media});
    ASSERT_EQ(made.status, 0) << describe(made);

    const std::string file = path("media.orv");
    const Result encoded = orv({"encode", media, "--level", "fast", "-o", file});
    ASSERT_EQ(encoded.status, 0) << describe(encoded);
    EXPECT_EQ(orv({"verify", file}).status, 0);
    const Result info = orv({"info", file});
    for (const char* expected : {"320x240", "frames:      25", "25/1", "rate:        44100 Hz",
                                 "channels:    1", "samples:     44100 of"})
        EXPECT_NE(info.out.find(expected), std::string::npos) << expected << "\n" << info.out;

    // Frame 10 against ffmpeg's own decode of the source.
    ASSERT_EQ(run({"ffmpeg", "-y", "-v", "error", "-i", media, "-vf", "select=eq(n\\,10)",
                   "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgba", path("source10.rgba")})
                  .status,
              0);
    ASSERT_EQ(orv({"extract", file, "--frame", "10", "-o", path("ours10.rgba")}).status, 0);
    const Bytes source = readFile(path("source10.rgba"));
    const Bytes ours = readFile(path("ours10.rgba"));
    ASSERT_EQ(source.size(), 320u * 240 * 4);
    ASSERT_EQ(ours.size(), source.size());
    EXPECT_GT(psnr(ours, source, {0, 1, 2}), 30);

    // 16-bit samples pass through float and back unchanged.
    ASSERT_EQ(run({"ffmpeg", "-y", "-v", "error", "-i", media, "-f", "s16le", "-acodec",
                   "pcm_s16le", path("source.pcm")})
                  .status,
              0);
    ASSERT_EQ(orv({"extract", file, "--wav", path("ours.wav")}).status, 0);
    const Bytes sourcePcm = readFile(path("source.pcm"));
    const Bytes ourWav = readFile(path("ours.wav"));
    ASSERT_GE(ourWav.size(), 44u);
    EXPECT_EQ(Bytes(ourWav.begin() + 44, ourWav.end()), sourcePcm);
}

TEST_F(OrvTool, ChildFailuresAreReportedWithTheChildsMessage) {
    if (!ffmpegInstalled())
        GTEST_SKIP() << "ffmpeg is not installed (apt-get install ffmpeg)";
    writeFile(path("not media.mp4"), Bytes(1000, 'x'));
    const Result result = orv({"encode", path("not media.mp4"), "-o", path("out.orv")});
    EXPECT_EQ(result.status, 1) << describe(result);
    EXPECT_NE(result.err.find("ffprobe failed"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Invalid data"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(path("out.orv")));
}

TEST_F(OrvTool, MediaInputWithoutFfmpegNamesThePackageToInstall) {
    writeFile(path("in.mov"), Bytes(100, 0));
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry)
        if (std::strncmp(*entry, "PATH=", 5) != 0)
            environment.push_back(*entry);
    environment.push_back("PATH=" + path("empty"));
    const Result result =
        run({ORV_TOOL_PATH, "encode", path("in.mov"), "-o", path("out.orv")}, "", &environment);
    EXPECT_EQ(result.status, 1) << describe(result);
    EXPECT_NE(result.err.find("apt-get install ffmpeg"), std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(path("out.orv")));
}

// ---- remux ----------------------------------------------------------------------------

struct RemuxCase {
    const char* format;
    const char* compression;
    const char* fourcc;
    int colourTolerance;  // see below
    bool alpha;
};

TEST_F(OrvTool, RemuxedAviDecodesInFfmpegAsInOurDecoder) {
    if (!ffmpegInstalled())
        GTEST_SKIP() << "ffmpeg is not installed (apt-get install ffmpeg)";
    // Block decoders may round the two interpolated colours differently by
    // one; scaled YCoCg adds Co and Cg into each channel, so two there.
    const RemuxCase cases[] = {{"dxt1", "none", "Hap1", 1, false},
                               {"dxt5", "snappy", "Hap5", 1, true},
                               {"ycocg", "lz4", "HapY", 2, false},
                               {"ycocg-alpha", "lz4", "HapM", 2, true}};
    const uint32_t width = 318, height = 178;  // not whole blocks: both must crop alike
    for (const RemuxCase& c : cases) {
        SCOPED_TRACE(c.fourcc);
        const std::string file = encodeDemo(std::string(c.format) + ".orv",
                                            {"--size", "318x178", "--duration", "0.12", "--format",
                                             c.format, "--compression", c.compression});
        const std::string avi = path(std::string(c.format) + ".avi");
        const Result remuxed = orv({"remux", file, "-o", avi});
        ASSERT_EQ(remuxed.status, 0) << describe(remuxed);

        const Result probe = run({"ffprobe", "-v", "error", "-show_entries",
                                  "stream=codec_name,codec_tag_string,width,height,nb_frames",
                                  "-of", "compact", avi});
        ASSERT_EQ(probe.status, 0) << describe(probe);
        EXPECT_NE(probe.out.find(std::string("codec_name=hap|codec_tag_string=") + c.fourcc +
                                 "|width=318|height=178|nb_frames=3"),
                  std::string::npos)
            << probe.out;

        const Result decoded = run({"ffmpeg", "-y", "-v", "error", "-i", avi, "-map", "0:v", "-f",
                                    "rawvideo", "-pix_fmt", "rgba", path("ffmpeg.rgba")});
        ASSERT_EQ(decoded.status, 0) << describe(decoded);
        const Bytes theirs = readFile(path("ffmpeg.rgba"));
        const size_t frameBytes = size_t{width} * height * 4;
        ASSERT_EQ(theirs.size(), 3 * frameBytes);

        const orvread::OrvFile parsed = orvread::OrvFile::open(file);
        for (uint32_t k = 0; k < 3; ++k) {
            const Bytes ours = parsed.decodeFrame(parsed.video(0), k);
            const Bytes frame(theirs.begin() + k * frameBytes,
                              theirs.begin() + (k + 1) * frameBytes);
            for (int channel = 0; channel < 3; ++channel) {
                EXPECT_LE(maxDifference(ours, frame, channel), c.colourTolerance)
                    << "frame " << k << " channel " << channel;
                // Rounding, not a shift: most pixels agree exactly.
                EXPECT_LT(meanDifference(ours, frame, channel), 0.5);
            }
            EXPECT_EQ(maxDifference(ours, frame, 3), 0) << "frame " << k << " alpha";
        }

        // The audio is the stored PCM, byte for byte.
        ASSERT_EQ(run({"ffmpeg", "-y", "-v", "error", "-i", avi, "-map", "0:a", "-f", "s16le",
                       "-acodec", "pcm_s16le", path("ffmpeg.pcm")})
                      .status,
                  0);
        const std::vector<int16_t> stored = parsed.readSamples(parsed.audio(0));
        const Bytes pcm = readFile(path("ffmpeg.pcm"));
        ASSERT_EQ(pcm.size(), stored.size() * 2);
        EXPECT_EQ(std::memcmp(pcm.data(), stored.data(), pcm.size()), 0);
    }
}

TEST_F(OrvTool, RemuxRefusesSlicedStreamsAndLeavesNoOutput) {
    const std::string file =
        encodeDemo("wide.orv", {"--size", "3072x8", "--duration", "0.04", "--compression", "none"});
    const Result result = orv({"remux", file, "-o", path("wide.avi")});
    EXPECT_EQ(result.status, 1) << describe(result);
    EXPECT_NE(result.err.find("2x1 slices; standard Hap has no slices"), std::string::npos)
        << result.err;
    EXPECT_FALSE(fs::exists(path("wide.avi")));
}

}  // namespace
