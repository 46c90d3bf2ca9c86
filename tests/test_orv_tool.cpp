// The `orv` command-line tool, run as a separate process the way a user runs
// it: encoding the demo, raw frames and media files; verify, info, extract,
// decode and concat; exit statuses and messages; what it does to the files
// it is pointed at when it fails or is interrupted. Pictures are checked
// against the source they came from. Remux has tests of its own.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <map>

#include "demo_source.hpp"
#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;
using namespace orvtest;

Args with(Args args, const Args& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Peak signal-to-noise ratio over the channels in `channels` (0 R to 3 A).
double psnr(const Bytes& a, const Bytes& b, std::initializer_list<int> channels) {
    double sum = 0, count = 0;
    for (size_t i = 0; i + 3 < a.size() && i + 3 < b.size(); i += 4)
        for (int c : channels) sum += (double(a[i + c]) - b[i + c]) * (double(a[i + c]) - b[i + c]), ++count;
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * count / sum);
}

Bytes demoFrame(uint32_t width, uint32_t height, uint32_t k) {
    Bytes rgba(size_t{width} * height * 4);
    orvtool::renderDemoFrame({.width = width, .height = height}, k, rgba.data());
    return rgba;
}

// A WAV file of `bits`-bit integer (format 1) or float (format 3) samples,
// with a LIST chunk before the format chunk that a reader must skip; an
// extensible one names the format in its sub-format GUID instead.
Bytes wavFile(uint16_t format, uint16_t bits, uint16_t channels, uint32_t rate,
              const Bytes& samples, bool extensible = false) {
    const uint32_t formatSize = extensible ? 40 : 16;
    Bytes out;
    putTag(out, "RIFF"), putLE(out, 4 + 8 + 5 + 1 + 8 + formatSize + 8 + samples.size(), 4);
    putTag(out, "WAVE"), putTag(out, "LIST"), putLE(out, 5, 4);
    out.insert(out.end(), {'I', 'N', 'F', 'O', '!', 0});  // odd size, one pad byte
    putTag(out, "fmt ");
    for (const auto& [value, width] :
         {std::pair<uint32_t, int>{formatSize, 4}, {extensible ? 0xFFFEu : format, 2},
          {channels, 2}, {rate, 4}, {rate * channels * bits / 8, 4}, {channels * bits / 8, 2},
          {bits, 2}})
        putLE(out, value, width);
    if (extensible) {
        // Extra size, valid bits, channel mask, then the GUID, which begins with the format.
        for (const auto& [value, width] : {std::pair<uint32_t, int>{22, 2}, {bits, 2}, {3, 4}, {format, 2}})
            putLE(out, value, width);
        out.insert(out.end(), {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71});
    }
    putTag(out, "data"), putLE(out, samples.size(), 4), append(out, samples);
    return out;
}

std::vector<int16_t> wavSamples16(const Bytes& wav) {
    std::vector<int16_t> samples;
    for (size_t i = 44; i + 1 < wav.size(); i += 2)
        samples.push_back(int16_t(wav[i] | (wav[i + 1] << 8)));
    return samples;
}

// Every entry of a directory as it is: its type and mode, and the bytes of
// a file or the target of a link.
std::map<std::string, std::pair<mode_t, std::string>> entriesOf(const std::string& directory) {
    std::map<std::string, std::pair<mode_t, std::string>> entries;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        struct stat info {};
        EXPECT_EQ(lstat(entry.path().c_str(), &info), 0) << entry.path();
        const Bytes bytes = S_ISREG(info.st_mode) ? readFile(entry.path()) : Bytes();
        entries[entry.path().filename()] = {info.st_mode, S_ISLNK(info.st_mode)
            ? fs::read_symlink(entry.path()).string() : std::string(bytes.begin(), bytes.end())};
    }
    return entries;
}

class OrvTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
    void SetUp() override {
        // A space and a quote in every path: nothing may go through a shell.
        char pattern[] = "/tmp/orv tool 'test' XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr) << std::strerror(errno);
        dir = pattern;
    }
    void TearDown() override { std::error_code ignored; fs::remove_all(dir, ignored); }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    // A small, fast demo file: 320x180 unless said otherwise, 5 frames.
    std::string encodeDemo(const std::string& name, const Args& extra = {}) {
        const Result result = orv(with({"encode", "--demo", "--size", "320x180", "--duration",
                                        "0.2", "-o", path(name)}, extra));
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

TEST_F(OrvTool, DemoDecodesCloseToItsSourceInEveryFormatWithItsStereoTone) {
    // Format, whether it keeps the alpha channel, the least PSNR of the colours.
    for (const auto& [format, alpha, minColourPsnr] : {std::tuple{"dxt1", false, 28}, {"dxt5", true, 28},
                                                        {"ycocg", false, 34}, {"ycocg-alpha", true, 34}}) {
        SCOPED_TRACE(format);
        const std::string file =
            encodeDemo(std::string(format) + ".orv", {"--format", format, "--compression", "lz4"});
        const Bytes decoded = extract(file, 3, "f.rgba"), source = demoFrame(320, 180, 3);
        ASSERT_EQ(decoded.size(), source.size());
        const double colour = psnr(decoded, source, {0, 1, 2});
        EXPECT_GT(colour, minColourPsnr);
        // Frame 3 against frame 2 shows that the bound tells frames apart.
        EXPECT_LT(psnr(decoded, demoFrame(320, 180, 2), {0, 1, 2}), colour - 3);
        EXPECT_GT(psnr(decoded, alpha ? source : Bytes(decoded.size(), 255), {3}), alpha ? 40 : 98);
        extract(file, 3, "f.png");
        if (ffmpegInstalled()) {
            EXPECT_EQ(ffmpeg({"-i", path("f.png"), "-f", "rawvideo", "-pix_fmt", "rgba"},
                             path("png.rgba")), decoded) << "the PNG holds the raw extract's pixels";
        }
    }
    // Every figure info shows, as text and as JSON (with the name escaped).
    const std::string file = path("ycocg-alpha.orv"), odd = path("we\"ird\\name\t.orv");
    fs::rename(file, odd);
    const std::string shown = path("we\\\"ird\\\\name\\t.orv");
    const Result info = orv({"info", odd}), json = orv({"info", odd, "--json"});
    EXPECT_EQ(orv({"verify", odd}).out, path("we\"ird\\name\\x09.orv: ok\n"));
    EXPECT_EQ(info.out, path("we\"ird\\name\\x09.orv") + ": ORV version 1, 388.6 kB, 2 sections\n"
              "  slot 0: video, offset 284, 349878 bytes\n"
              "  slot 1: audio, offset 350162, 38445 bytes\n"
              "video stream 0 (slot 0)\n"
              "  size:        320x180\n"
              "  slices:      1x1 of 320x180\n"
              "  format:      ycocg-alpha (scaled YCoCg DXT5 + BC4 alpha, Hap fourcc HapM)\n"
              "  compression: lz4\n"
              "  frames:      5\n"
              "  time base:   1/25\n"
              "  frame rate:  25/1 (25.000 fps)\n"
              "  duration:    0.200 s\n"
              "  data:        349.9 kB (3.29:1 to raw RGBA)\n"
              "audio stream 0 (slot 1)\n"
              "  rate:        48000 Hz\n"
              "  channels:    2\n"
              "  samples:     9600 of 16-bit PCM\n"
              "  duration:    0.200 s\n");
    // The second section's object is laid out by the same code as the first.
    EXPECT_TRUE(json.out.starts_with(
        "{\n  \"file\": \"" + shown + "\",\n  \"bytes\": 388607,\n  \"version\": 1,\n  \"sections\": [\n"
        "    {\"slot\": 0, \"type\": \"video\", \"offset\": 284, \"size\": 349878},\n    {\"slot\": 1, "))
        << json.out;
    expectHas(json.out, {"  ],\n  \"video\": [\n    {\"slot\": 0, \"width\": 320, \"height\": 180, "
                         "\"slice_columns\": 1, \"slice_rows\": 1, \"slice_width\": 320, "
                         "\"slice_height\": 180, "
                         "\"format\": \"ycocg-alpha\", \"fourcc\": \"HapM\", \"compression\": \"lz4\", "
                         "\"frames\": 5, \"timebase_num\": 1, \"timebase_den\": 25, \"fps_num\": 25, "
                         "\"fps_den\": 1, \"fps\": 25, \"duration\": 0.2, \"data_bytes\": 349878, "
                         "\"ratio\": 3.29258}\n  ],\n  \"audio\": [\n    {\"slot\": 1, "
                         "\"sample_rate\": 48000, "
                         "\"channels\": 2, \"bits_per_sample\": 16, \"samples\": 9600, \"duration\": 0.2}\n"
                         "  ]\n}\n"});
    // The WAV file is the image stored after the audio section's codec byte.
    const Bytes stored = readFile(odd), wav = extract(odd, -1, "tone.wav");
    const Slot audio = slotAt(stored, 1);
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
    // decode: the frames as the library decodes them, to a pipe or to a file, with several threads.
    const Reader reader(odd);
    for (const auto& [options, first, pixfmt, target] :
         {std::tuple<Args, uint32_t, std::string, std::string>{{}, 0, "rgba", "-"},
          {{"--frames", "4:", "--pixfmt", "bgra", "--threads", "3"}, 4, "bgra", path("out.raw")}}) {
        Bytes pixels;
        for (uint32_t k = first; k < 5; ++k)
            append(pixels,
                   reader.pixels(0, k, pixfmt == "rgba" ? ORV_SRC_PIX_FMT_RGBA32 : ORV_SRC_PIX_FMT_BGRA32));
        const Result result = orv(with({"decode", odd, "-o", target, "-y"}, options));
        ASSERT_EQ(result.status, 0) << describe(result);
        EXPECT_EQ(target == "-" ? Bytes(result.out.begin(), result.out.end()) : readFile(target), pixels);
        expectHas(result.err,
                  {"orv decode: wrote " + (target == "-" ? "standard output" : target) +
                       (first ? ": 1 frame" : ": 5 frames") + " of 320x180 " + pixfmt + " at 25/1 fps, ",
                   "(as input: -f rawvideo -pix_fmt " + pixfmt + " -s 320x180 -r 25/1)\n"});
    }
}

// Sides that are not whole blocks: the padding must be cropped away. The
// same pictures as BGRA from the bottom row up make the very same file.
TEST_F(OrvTool, RawRgbaAndBgraBottomUpFramesFromAPipeKeepTheirPictures) {
    const uint32_t width = 62, height = 46;
    const Bytes rgba = demoFrame(width, height, 10);
    std::string bgra;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const uint8_t* p = &rgba[(size_t{height - 1 - y} * width + x) * 4];
            bgra += {char(p[2]), char(p[1]), char(p[0]), char(p[3])};
        }
    const Args encode = {"encode", "-", "--size", "62x46", "--format", "dxt5", "-o"};
    const Result top = orv(with(encode, {path("rgba.orv")}), std::string(rgba.begin(), rgba.end())),
                 bottom = orv(with(encode, {path("bgra.orv"), "--pixfmt", "bgra", "--bottom-up"}), bgra);
    ASSERT_EQ(top.status + bottom.status, 0) << describe(top) << describe(bottom);
    EXPECT_EQ(readFile(path("rgba.orv")), readFile(path("bgra.orv")));
    EXPECT_GT(psnr(extract(path("rgba.orv"), 0, "k.rgba"), rgba, {0, 1, 2, 3}), 24);
}

TEST_F(OrvTool, WavAudioOfEveryKindBesideRawFramesIsStoredAsPcm) {
    const std::vector<double> values = {0.0, 0.5, -0.5, 0.25, -1.0, 0.999, 0.1234, -0.75};
    // WAV format (1 integer, 3 float), bits, extensible or not. The rate is
    // above 65,535 Hz, so that every byte of its field counts.
    const uint32_t rate = 96000;
    using Kind = std::tuple<uint16_t, uint16_t, bool>;
    for (const auto& [format, bits, extensible] :
         {Kind{1, 16, false}, {1, 24, false}, {3, 32, false}, {1, 24, true}}) {
        SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(extensible));
        Bytes data;
        for (double v : values) {
            const auto scaled = uint64_t(int64_t(std::floor(v * (1 << (bits - 1)))));
            putLE(data, format == 3 ? std::bit_cast<uint32_t>(float(v)) : scaled, bits / 8);
        }
        writeFile(path("in.wav"), wavFile(format, bits, 2, rate, data, extensible));
        // "--size=16x16": an option's value may follow an equals sign.
        const Args encode = {"encode", "-", "--size=16x16", "--audio", path("in.wav"),
                             "-y", "-o", path("a.orv")};
        ASSERT_EQ(orv(encode, std::string(16 * 16 * 4, '\x80')).status, 0);
        const Bytes wav = extract(path("a.orv"), -1, "out.wav");
        ASSERT_GE(wav.size(), 44u);
        EXPECT_EQ(wav[22], 2);  // channels
        EXPECT_EQ(readLE(wav, 24, 4), rate);
        const std::vector<int16_t> samples = wavSamples16(wav);
        ASSERT_EQ(samples.size(), values.size());
        for (size_t i = 0; i < values.size(); ++i)
            EXPECT_NEAR(samples[i], std::clamp(values[i] * 32768, -32768.0, 32767.0), 1.0) << i;
    }
}

// Usage errors exit 2 with a one-line hint to help; failures exit 1 with
// the reason, in little memory. Neither leaves output or changes a file.
TEST_F(OrvTool, RefusedAndFailedCommandsSayWhyAndLeaveEveryFileAlone) {
    const std::string file = encodeDemo("ok.orv"), x = path("x.orv"), raw = path("in.rgba");
    const std::string missing = path("no such dir/in.mov");
    writeFile(raw, Bytes(16 * 16 * 4 * 5 / 2, 1));  // ends inside frame 2
    writeFile(path("in.wav"), wavFile(1, 16, 1, 8000, Bytes(4, 0)));
    writeFile(path("in.mov"), Bytes(100, 0));
    writeFile(path("not media.mp4"), Bytes(1000, 'x'));
    // WAV files whose format chunk claims 4 GiB, or too many channels.
    const auto hostileWav = [&](const std::string& name, uint32_t fmtSize, uint16_t channels) {
        Bytes bytes = wavFile(1, 16, channels, 8000, Bytes(8, 0));
        poke(bytes, 12 + 8 + 6 + 4, fmtSize, 4);  // after RIFF, the LIST chunk and "fmt "
        writeFile(path(name), bytes);
        return path(name);
    };
    // For remux: frames at times AVI cannot hold, audio at 0 Hz, and frame
    // 1's payload claiming a length one off (after its 14-byte record head
    // and the section's 4-byte header), found with frame 0 written.
    const auto handBuilt = [&](const std::string& name, const std::vector<int64_t>& pts, bool audio) {
        std::vector<std::pair<uint8_t, Bytes>> sections = {{2, videoSection(std::vector<Bytes>(
            pts.size(), frameRecord(8, 8, 8, 8, {textureSection(bc1, none, Bytes(32, 0))})), pts, 8, 8)}};
        if (audio) sections.push_back({3, audioSection(2, 0, {1, 2})});
        writeFile(path(name), assemble(sections));
        return path(name);
    };
    Bytes corrupt = readFile(file);
    const uint64_t index = 284 + 52 + readLE(corrupt, 284 + 40, 8);
    corrupt.at(readLE(corrupt, index + 4 * readLE(corrupt, 284 + 48, 4) + 8, 8) + 18) ^= 0x01;
    writeFile(path("corrupt.orv"), corrupt);
    corrupt.at(284 + 52 + 1) = 0x02;  // frame 0's record marker: the frames' layout is unknown
    writeFile(path("unreadable.orv"), corrupt);
    fs::create_directory(path("sub"));
    fs::create_symlink(file, path("link.orv"));
    fs::create_symlink(file, path("link.mov"));
    Args noFfmpeg;  // our environment with a PATH where no ffmpeg is found
    for (char** entry = environ; *entry; ++entry)
        if (std::strncmp(*entry, "PATH=", 5) != 0) noFfmpeg.push_back(*entry);
    noFfmpeg.push_back("PATH=" + path("empty"));
    const Args rawIn = {"encode", raw, "--size", "16x16"}, demo = {"encode", "--demo", "-o", x};
    const Args remux = {"remux", file, "-o", path("out.mov")}, tiny = {"encode", "-", "--size", "16x16"};
    struct Case {
        Args args;
        std::vector<std::string> failure = {};  // in the error output; none: a usage error
        const Args* environment = nullptr;
        bool terminal = false;  // standard input is a terminal
    };
    // Each usage check once: a check turned round would refuse the runs the other tests make.
    std::vector<Case> cases = {
        {{}}, {{"frobnicate"}}, {{"encode"}}, {{"encode", "--demo"}}, {{"info"}}, {{"concat", file}},
        {with(demo, {"--format", "dxt9"})}, {with(demo, {"--threads", "many"})}, {with(demo, {"--bogus"})},
        {with(demo, {"--size", "0x10"})}, {with(demo, {"--level", "max"})},  // snappy has no levels
        {with(demo, {"--compression", "none", "--level", "fast"})}, {with(demo, {"--frames", "5:5"})},
        {with(rawIn, {"-o", x, "--frames", "1:", "--duration", "1"})}, {{"encode", "--demo", "-o", "-"}},
        {{"encode", "-", "-o", x}}, {{"encode", "in.mov", "--size", "8x8", "--square-pixels", "-o", x}},
        {{"encode", path("a/clip.mov"), path("b/clip.mp4"), "-o", path("sub/")}},
        // The same file twice, by name, through a link, or not created yet.
        {{"encode", file, "-o", file}},
        {with(rawIn, {"-o", x, "--log", path("sub/../x.orv")})},
        {with(rawIn, {"--audio", path("in.wav"), "-o", path("in.wav"), "-y"})},
        {{"extract", file, "--frame", "0", "-o", path("f.png"), "--wav", path("f.png")}},
        {{"concat", file, "-o", path("link.orv"), "-y"}},
        {{"remux", file, "-o", path("link.mov"), "-y"}},
        {{"decode", file, "-o", x, "--pixfmt", "argb"}},
        {{"decode", file, "-o", x, "--threads", "0"}},
        {{"extract", file, "--frame", "1", "-o", path("x.jpg")}},
        {{"remux", file}},
        {{"remux", file, "-o", path("out.mp4")}},
        {with(remux, {"--chunks", "0"})},
        {with(remux, {"--chunks", "65"})},
        {{"encode", missing, "-o", x}, {missing + ": No such file"}},
        {{"info", missing}, {missing}},
        {{"remux", handBuilt("irregular.orv", {0, 1, 3}, false), "-o", path("x.avi")}, {"irregular times"}},
        {{"remux", handBuilt("0 Hz.orv", {0}, true), "-o", path("x.mov")},
         {"audio: a sample rate of 0 Hz cannot be written"}},
        {{"remux", path("corrupt.orv"), "-o", path("in.mov"), "-y"}, {path("corrupt.orv") + ": frame 1: "}},
        {{"decode", file, "--frames", "5:", "-o", path("x.png")},
         {"--frames 5:: frame 5 is out of range: video stream 0 has 5 frames"}},
        {{"decode", file, "--frames", "0:6", "-o", path("x.png")},
         {"--frames 0:6 reaches past the end: video stream 0 has 5 frames"}},
        {with(rawIn, {"-o", x}), {raw + " ends inside frame 2"}},
        {{"encode", "--demo", "-o", path("no dir/out.orv")}, {"cannot create", "No such file"}},
        {{"info", "/dev/zero"}, {"orv info: /dev/zero is not a regular file\n"}},
        {{"encode", path("in.mov"), "-o", x}, {"apt-get install ffmpeg"}, &noFfmpeg},
        {with(tiny, {"-o", x}), {"standard input is a terminal"}, nullptr, true},
        // Honouring these headers would take 1 to 4 GiB.
        {with(tiny, {"-o", x, "--audio", hostileWav("a.wav", 0xFFFFFFFF, 2)}),
         {"ends inside its format chunk"}},
        {with(tiny, {"-o", x, "--audio", hostileWav("c.wav", 16, 65534)}),
         {"declares 65534 channels; an ORV file holds at most 32767"}},
    };
    if (ffmpegInstalled())
        cases.push_back({{"encode", path("not media.mp4"), "-o", x}, {"ffprobe failed", "Invalid data"}});
    const auto before = entriesOf(dir);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Child child(with({ORV_TOOL_PATH}, c.args), c.environment, c.terminal);
        if (!c.terminal) child.feed(std::string(16 * 16 * 4, '\0'));
        const Result result = child.wait();
        EXPECT_EQ(result.status, c.failure.empty() ? 2 : 1) << describe(result);
        if (c.failure.empty()) {
            expectHas(result.err, {!c.args.empty() && c.args[0] == "remux" ? "orv remux --help" : "--help"});
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        }
        expectHas(result.err, c.failure);
        EXPECT_LT(result.peakKilobytes, 256 * 1024);
    }
    EXPECT_EQ(entriesOf(dir), before) << "a refused or failed command left something";
    // Info describes a file it finds damaged, and says so in its status.
    const Result unreadable = orv({"info", path("unreadable.orv")});
    EXPECT_EQ(unreadable.status, 1) << describe(unreadable);
    expectHas(unreadable.out,
              {"first frame: unreadable: ", "frame record marker: expected 0x0300, found 0x0200"});
    // Several inputs go each to its own file, and one failure stops no other.
    writeFile(path("a.rgba"), Bytes(2 * 1024, 10)), writeFile(path("c.raw"), Bytes(3 * 1024, 30));
    fs::create_directory(path("out"));
    const Result kept = orv({"encode", path("a.rgba"), raw, path("c.raw"), "--size", "16x16", "-o",
                             path("out/"), "--keep-partial"});
    EXPECT_EQ(kept.status, 1) << describe(kept);
    expectHas(kept.err,
              {"wrote " + path("out/a.orv") + ": 2 frames of 16x16",
               raw + ": " + raw + " ends inside frame 2",
               "kept as " + path("out/in.orv.partial"), "wrote " + path("out/c.orv") + ": 3 frames of 16x16",
               "3 inputs: 2 encoded, 1 failed"});
    EXPECT_EQ(entriesOf(path("out")).size(), 3u);

    const Result help = orv({"--help"}), version = orv({"--version"});
    EXPECT_EQ(help.status + version.status, 0);
    expectHas(help.out, {"encode", "info", "verify", "extract", "decode", "concat", "remux"});
    EXPECT_EQ(version.out, std::string("orv ") + orvLinkedVersion() + "\n");
}

// Each kind of object as the target of each writing command, which is
// refused, fails on a broken input, or is interrupted in the middle of its
// work (blocked reading the rest of an input the test holds back, having
// taken more than a pipe holds): the object stays as it was.
TEST_F(OrvTool, TargetsStayAsTheyWereAfterRefusedFailedAndInterruptedRuns) {
    // How to make each object (false: not permitted here), why the tool will
    // not write it without -y, and whether -y may replace it.
    const std::tuple<std::function<bool(const std::string&)>, const char*, bool> objects[] = {
        {[](auto& p) { return mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; },
         "is a character device", false},
        {[](auto& p) { return mkfifo(p.c_str(), 0644) == 0; }, "is a FIFO", false},
        {[](auto& p) { return mkdir(p.c_str(), 0755) == 0; }, "is a directory", false},
        {[](auto& p) { return bool(std::ofstream(p) << "a regular file"); }, "exists; use -y to overwrite",
         true},
    };
    const Bytes orvFile = readFile(encodeDemo("good.orv"));
    const std::string half = path("half.orv");
    writeFile(half, Bytes(orvFile.begin(), orvFile.begin() + orvFile.size() / 2));
    const size_t frame = 256 * 256 * 4;
    const std::string frames(2 * frame, '\x55'), broken = frames.substr(0, frame * 3 / 2);
    // Commands that read an ORV file read a file, not a pipe: they cannot be
    // held up in the middle, so only their refusals and failures are tried
    // (extract and concat open their targets as decode does).
    const Args commands[] = {
        {"encode", "-", "--size", "256x256", "-o"}, {"decode", half, "-o"}, {"remux", half, "-o"}};
    int cellNumber = 0;
    for (const auto& [make, refusal, regular] : objects)
        for (const Args& command : commands)
            for (const int signal : {-1, 0, SIGINT, SIGTERM, SIGHUP}) {  // -1: no -y
                if (signal > 0 && command[1] != "-") continue;
                const std::string cell = path("cell " + std::to_string(cellNumber++));
                const std::string target = cell + (command[0] == "remux" ? "/target.mov" : "/target");
                fs::create_directory(cell);
                if (!make(target)) continue;  // not permitted here: that object is left out
                const bool accepted = signal >= 0 && regular && access(target.c_str(), W_OK) == 0;
                SCOPED_TRACE(target + ", " + command[0] + " with signal " + std::to_string(signal));
                const auto before = entriesOf(cell);
                Child child(
                    with(with({ORV_TOOL_PATH}, command), signal < 0 ? Args{target} : Args{target, "-y"}));
                Result result;
                if (signal > 0 && accepted) {
                    EXPECT_TRUE(child.feed(frames));
                    result = child.interrupt(signal);
                    EXPECT_EQ(result.signal, signal) << describe(result);
                } else {
                    child.feed(signal > 0 ? frames : broken);
                    result = child.wait();
                    EXPECT_EQ(result.status, 1) << describe(result);
                }
                if (signal < 0 || !regular) expectHas(result.err, {target + " " + refusal});
                EXPECT_EQ(entriesOf(cell), before) << "the object changed or a temporary was left";
            }
}

TEST_F(OrvTool, YesReplacesAFileOnlyOnceTheNewOneIsCompleteKeepingLinksAndModes) {
    writeFile(path("old.orv"), Bytes(10, 'o'));
    writeFile(path("real.orv"), Bytes(10, 'r'));
    chmod(path("old.orv").c_str(), 0640), chmod(path("real.orv").c_str(), 0604);
    fs::create_symlink("real.orv", path("link.orv"));
    const mode_t umaskBefore = umask(027);
    const Args tinyDemo = {"encode", "--demo", "--size", "16x16", "--duration", "0.04", "-o"};
    // The target, how the user says to overwrite, the file that then holds the encode, its mode.
    // The library's log goes to the log file (written into the output's
    // temporary, beside it), never to the terminal, nor does progress off one.
    for (const auto& [target, overwrite, written, mode] :
         {std::tuple<std::string, Args, std::string, mode_t>{
              "new.orv", {"--log", path("encode.log")}, "new.orv", 0640},
          {"old.orv", {"-y", "--quiet"}, "old.orv", 0640},
          {"link.orv", {"--overwrite"}, "real.orv", 0604}}) {
        const Result result = orv(with(with(tinyDemo, {path(target)}), overwrite));
        EXPECT_EQ(result.status, 0) << describe(result);
        EXPECT_EQ(result.err.find_first_of("*\r"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.rfind("orv encode: wrote " + path(target) + ": 1 frame", 0),
                  target == "old.orv" ? std::string::npos : 0);
        EXPECT_EQ(result.err.empty(), target == "old.orv");
        EXPECT_EQ(orv({"verify", path(written)}).status, 0);
        struct stat info {};
        ASSERT_EQ(stat(path(written).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, mode) << target;  // new: 0666 less the umask
    }
    umask(umaskBefore);
    EXPECT_EQ(fs::read_symlink(path("link.orv")), "real.orv");
    EXPECT_EQ(entriesOf(dir).size(), 5u) << "no temporary is left";
    const Bytes log = readFile(path("encode.log"));
    expectHas(std::string(log.begin(), log.end()), {"*** opened " + path("new.orv.")});
    // /dev/null discards without -y and stays what it is, as often as it is named.
    const Result discarded = orv(with(tinyDemo, {"/dev/null", "--log", "/dev/null"}));
    EXPECT_EQ(discarded.status, 0) << describe(discarded);
    expectHas(discarded.err, {"wrote /dev/null: 1 frame of 16x16", "discarded"});
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// The whole file, frame records, index and the audio's WAV bytes, since the
// samples go through float and back exactly.
TEST_F(OrvTool, RangesEncodedApartJoinByteForByteAndPartsThatDoNotJoinAreNamed) {
    const Args demo = {"encode", "--demo", "--duration", "0.4", "-y", "-o"};
    const Bytes whole = readFile(encodeDemo("whole.orv", {"--size", "64x48", "--duration", "0.4"}));
    Args concat = {"concat", "-y", "-o", path("joined.orv")};
    for (const char* range : {"0:4", "4:7", "7:"}) {
        concat.push_back(path(std::string("part ") + range + ".orv"));
        EXPECT_EQ(orv(with(demo, {concat.back(), "--size", "64x48", "--frames", range})).status, 0);
    }
    const Result joined = orv(concat);
    ASSERT_EQ(joined.status, 0) << describe(joined);
    expectHas(joined.err, {"orv concat: wrote " + path("joined.orv") + ": 3 files, 10 frames of 64x48, "});
    EXPECT_EQ(readFile(path("joined.orv")), whole);
    // A last part that differs, and the first difference named.
    const std::string a = concat[4], b = concat[5], odd = path("odd.orv");
    for (const auto& [options, difference] :
         {std::pair<Args, std::string>{{"--size", "64x40"}, "size 64x40 differs from " + a + "'s 64x48"},
          {{"--size", "64x48", "--format", "dxt1"}, "format dxt1 differs from " + a + "'s ycocg-alpha"},
          {{"--size", "64x48", "--fps", "30/1"}, "time base 1/30 differs from " + a + "'s 1/25"},
          {{"--size", "64x48", "--no-audio"},
           "audio none differs from " + a + "'s 2 channels at 48000 Hz"}}) {
        EXPECT_EQ(orv(with(with(demo, {odd, "--frames", "7:"}), options)).status, 0);
        const Result result = orv({"concat", a, b, odd, "-o", path("out.orv")});
        EXPECT_EQ(result.status, 1) << describe(result);
        EXPECT_EQ(result.err, "orv concat: " + odd + ": " + difference + "\n");
        EXPECT_FALSE(fs::exists(path("out.orv")));
    }
    // Parts out of order join all the same, with a warning.
    const Result swapped = orv({"concat", b, a, "-o", path("out.orv")});
    EXPECT_EQ(swapped.status, 0) << describe(swapped);
    expectHas(swapped.err, {"orv concat: warning: " + a + " begins at pts 0, not after the frames "
                            "before it (up to 6); are the files in order?"});
}

// Media files through ffmpeg: pictures and sound against ffmpeg's own
// decode of them, frame ranges, and what an input loses said out loud.
TEST_F(OrvTool, MediaInputsMatchFfmpegsDecodeAndWhatTheyLoseIsSaidOutLoud) {
    if (!ffmpegInstalled()) GTEST_SKIP() << "ffmpeg is not installed (apt-get install ffmpeg)";
    const auto make = [&](const std::string& name, const Args& more) {
        ffmpeg(with({"-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25"}, more), path(name));
        return path(name);
    };
    // Alpha that varies across the picture, in QuickTime RLE (argb).
    const std::string alpha = make("alpha.mov", {"-t", "0.2", "-vf", "format=rgba,geq=r='r(X,Y)':"
                                                 "g='g(X,Y)':b='b(X,Y)':a='4*X'", "-c:v", "qtrle"});
    const std::string plain = make("in put's [1].mkv", {"-f", "lavfi", "-i", "sine=frequency=300:"
                                   "sample_rate=8000", "-t", "0.4", "-c:v", "ffv1", "-c:a", "pcm_s16le"});
    const std::string wide = make("wide.mkv", {"-t", "0.2", "-vf", "setsar=2/1", "-c:v", "ffv1"});
    const Bytes full = readFile(make("full.mkv", {"-t", "2", "-c:v", "ffv1"}));
    const std::string cut = path("cut.mkv"), out = path("out.orv");
    writeFile(cut, Bytes(full.begin(), full.begin() + full.size() * 2 / 5));
    // The input, options, exit status, what is said (a warning or not), what `orv info` then tells.
    const std::tuple<std::string, Args, int, std::vector<std::string>, bool, std::string> cases[] = {
        {alpha, {}, 0, {"ycocg-alpha (the input's argb pixels have an alpha channel)"}, false, "HapM"},
        {plain, {}, 0, {"ycocg (the input's yuv420p pixels have no alpha channel), snappy"}, false,
         "samples:     3200 of"},
        {wide, {}, 0, {"warning: " + wide + " has non-square pixels (sample aspect ratio 2:1): "
                       "its 64x48 pictures are shown as 128x48; --square-pixels scales them"},
         true, "size:        64x48"},
        {wide, {"--square-pixels"}, 0, {"of 128x48"}, false, "size:        128x48"},
        {plain, {"--size", "32x24"}, 0, {"of 32x24"}, false, "size:        32x24"},
        {cut, {}, 0, {"warning: " + cut + ": got ", " of the 50 frames the input announced; "
                      "ffmpeg reported "}, true, "frames:      "},
        {cut, {"--strict"}, 1, {"the input announced", "(--strict)"}, false, ""},
        {plain, {"--frames", "6:"}, 0, {"4 frames from frame 6 of 64x48"}, false, "samples:     1280 of"},
    };
    // Frame 6 and the sound of `plain`, the 16-bit samples through float and back unchanged.
    const Bytes source6 = ffmpeg({"-i", plain, "-vf", "select=eq(n\\,6)", "-frames:v", "1", "-f", "rawvideo",
                                  "-pix_fmt", "rgba"}, path("source6.rgba")),
                sound = ffmpeg({"-i", plain, "-f", "s16le", "-acodec", "pcm_s16le"}, path("source.pcm"));
    for (const auto& [input, options, status, said, warns, info] : cases) {
        SCOPED_TRACE(input + (options.empty() ? "" : " " + options[0]));
        const Result result = orv(with({"encode", input, "-y", "-o", out}, options));
        EXPECT_EQ(result.status, status) << describe(result);
        expectHas(result.err, said);
        EXPECT_EQ(result.err.find("warning") != std::string::npos, warns) << result.err;
        if (status == 0) expectHas(orv({"info", out}).out, {info});
        if (status == 0 && input == alpha) {  // frame 0's alpha
            EXPECT_GT(psnr(extract(out, 0, "ours.rgba"), ffmpeg({"-i", alpha, "-frames:v", "1", "-f",
                           "rawvideo", "-pix_fmt", "rgba"}, path("alpha.rgba")), {3}), 40);
        } else if (input == plain && options.empty()) {
            EXPECT_GT(psnr(extract(out, 6, "ours6.rgba"), source6, {0, 1, 2}), 26);
            const Bytes wav = extract(out, -1, "ours.wav");
            EXPECT_EQ(Bytes(wav.begin() + std::min<size_t>(44, wav.size()), wav.end()), sound);
        }
        EXPECT_EQ(fs::exists(out), status == 0);
        fs::remove(out);
    }
}

}  // namespace
