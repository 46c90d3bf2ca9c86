// `orv decode`: the frames of an ORV file as raw pixels, to a file or down a
// pipe, decoded on several threads at once and written in index order.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "command_line.hpp"
#include "frame_source.hpp"
#include "orv_file.hpp"
#include "ordered_work.hpp"
#include "output_file.hpp"
#include "subcommands.hpp"

namespace orvtool {

namespace {

const char* const decodeHelp =
    R"(usage: orv decode FILE -o OUT.rgba|- [--frames A:B] [--pixfmt rgba|bgra] [options]

Writes the decoded frames of an ORV file, in the order of its index, as raw
8-bit pixels: width x height x 4 bytes per frame, top row first, no header
and no padding. -o - writes them to standard output, for a pipe:

  orv decode clip.orv -o - | ffmpeg -f rawvideo -pix_fmt rgba -s WxH -r FPS -i - preview.mp4

The summary line on standard error gives the size and rate to pass.

  --frames A:B          frames A up to, not including, B (A: to the end)
  --pixfmt rgba|bgra    byte order of a pixel (default rgba)
  --stream N            the Nth video stream (default 0)
  --threads N           frames decoded at once (default: one per core, at most 8)
  -y, --overwrite       replace an existing OUT, once the new one is complete
)";

// Pictures decoded ahead of the one being written stay within this many
// bytes, whatever the thread count (but one is always allowed).
constexpr uint64_t pictureBudget = uint64_t{128} << 20;

// Decoded pictures, each allocated once: a written one comes back for a
// later frame, since a fresh picture of megabytes costs its page faults
// every time. It holds no more pictures than were in use at once.
class PicturePool {
public:
    struct GiveBack {
        PicturePool* pool;
        void operator()(uint8_t* picture) const noexcept { pool->giveBack(picture); }
    };
    using Picture = std::unique_ptr<uint8_t[], GiveBack>;

    // Room for `most` spare pictures is made now, so that giving one back
    // never allocates.
    PicturePool(size_t bytes, size_t most) : bytes(bytes) { spare.reserve(most); }

    // Uncleared: the decoder writes every byte.
    Picture take() {
        std::lock_guard<std::mutex> guard(lock);
        if (spare.empty())
            return Picture(std::make_unique_for_overwrite<uint8_t[]>(bytes).release(), {this});
        Picture picture(spare.back().release(), {this});
        spare.pop_back();
        return picture;
    }

private:
    void giveBack(uint8_t* picture) noexcept {
        std::unique_ptr<uint8_t[]> owned(picture);
        std::lock_guard<std::mutex> guard(lock);
        if (spare.size() < spare.capacity())
            spare.push_back(std::move(owned));
    }

    const size_t bytes;
    std::mutex lock;  // guards spare
    std::vector<std::unique_ptr<uint8_t[]>> spare;
};
using Picture = PicturePool::Picture;

void writeAll(int fd, std::span<const uint8_t> bytes, const std::string& name) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            throw ToolError("cannot write " + name + ": " + std::strerror(errno));
        bytes = bytes.subspan(static_cast<size_t>(wrote));
    }
}

}  // namespace

int runDecode(std::span<char* const> args) {
    const Arguments arguments(args, {{"-o", true},
                                     {"--output", true},
                                     {"--frames", true},
                                     {"--pixfmt", true},
                                     {"--stream", true},
                                     {"--threads", true},
                                     {"-y", false},
                                     {"--overwrite", false}});
    if (arguments.helpRequested()) {
        std::fputs(decodeHelp, stdout);
        return exitSuccess;
    }
    if (arguments.positional().size() != 1)
        throw UsageError("expected one FILE");
    const std::string& path = arguments.positional()[0];
    const auto output = arguments.has("-o") ? arguments.value("-o") : arguments.value("--output");
    if (!output || output->empty())
        throw UsageError("missing -o OUT, or -o - for standard output");
    const std::string pixfmt = arguments.value("--pixfmt").value_or("rgba");
    if (pixfmt != "rgba" && pixfmt != "bgra")
        throw UsageError("--pixfmt: expected rgba or bgra, found '" + pixfmt + "'");
    const FrameRange range = arguments.has("--frames")
                                 ? parseFrameRange(*arguments.value("--frames"), "--frames")
                                 : FrameRange{};
    const uint64_t stream = arguments.has("--stream")
                                ? parseUnsigned(*arguments.value("--stream"), "--stream", 0, 15)
                                : 0;
    const unsigned threads =
        arguments.has("--threads")
            ? static_cast<unsigned>(parseUnsigned(*arguments.value("--threads"), "--threads", 1, 64))
            : std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    const bool overwrite = arguments.has("-y") || arguments.has("--overwrite");
    const bool toStandardOutput = *output == "-";
    if (toStandardOutput && isatty(STDOUT_FILENO))
        throw ToolError(
            "standard output is a terminal; pipe the pixels into a program (orv decode FILE -o - "
            "| ffmpeg ...) or give -o FILE");
    if (!toStandardOutput)
        checkOutputs({{"the input", path}}, {{"-o", *output}}, overwrite);

    const auto start = std::chrono::steady_clock::now();
    const OrvFile file(path);
    const uint32_t section = file.stream(ORV_SECTION_KIND_VIDEO, stream);
    const OrvReaderVideoInfo_st video = file.video(section);
    const uint64_t end = range.end == FrameRange::toTheEnd ? video.frameCount : range.end;
    const std::string frames = std::to_string(range.first) + ":" +
                               (range.end == FrameRange::toTheEnd ? "" : std::to_string(range.end));
    if (range.first >= video.frameCount && !range.whole())
        throw ToolError("--frames " + frames + ": frame " + std::to_string(range.first) +
                        " is out of range: video stream " + std::to_string(stream) + " has " +
                        counted(video.frameCount, "frame"));
    if (end > video.frameCount)
        throw ToolError("--frames " + frames + " reaches past the end: video stream " +
                        std::to_string(stream) + " has " + counted(video.frameCount, "frame"));

    std::optional<OutputFile> out;
    if (!toStandardOutput)
        out.emplace(*output, overwrite);
    const std::string shownName = toStandardOutput ? "standard output" : printable(*output);
    // Frames are decoded on several threads at once (the reader's handle
    // serves them all) and written in index order.
    const uint64_t count = end - range.first;
    const size_t pictureBytes = size_t{video.width} * video.height * 4;
    const auto window = static_cast<unsigned>(std::clamp<uint64_t>(
        pictureBudget / std::max<size_t>(pictureBytes, 1), 1, uint64_t{threads} * 2));
    const unsigned workers = static_cast<unsigned>(std::min<uint64_t>(threads, window));
    const uint32_t pixFmt = pixfmt == "bgra" ? ORV_SRC_PIX_FMT_BGRA32 : ORV_SRC_PIX_FMT_RGBA32;
    // Made and waiting, one being written, and one being made per worker.
    PicturePool pictures(pictureBytes, size_t{window} + 1 + workers);
    const auto decodeFrame = [&](uint64_t i) {
        const auto k = static_cast<uint32_t>(range.first + i);
        Picture picture = pictures.take();
        file.check(orvReaderDecodeFrame(file.get(), section, k, pixFmt, 0, picture.get(),
                                        size_t{video.width} * 4, pictureBytes),
                   "cannot decode frame " + std::to_string(k));
        return picture;
    };
    runInOrder<Picture>(
        count, workers, window,
        [&] { return decodeFrame; },
        [&](uint64_t, Picture&& picture) {
            const std::span<const uint8_t> bytes(picture.get(), pictureBytes);
            if (out)
                out->write(bytes);
            else
                writeAll(STDOUT_FILENO, bytes, shownName);
        });
    if (out)
        out->commit();
    const uint64_t written = count * pictureBytes;

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string size = std::to_string(video.width) + "x" + std::to_string(video.height);
    const std::string rate = std::to_string(video.fpsNum) + "/" + std::to_string(video.fpsDen);
    const bool hasRate = video.fpsNum > 0 && video.fpsDen > 0;
    std::fprintf(stderr,
                 "orv decode: wrote %s: %s of %s %s%s, %s in %.1f s (as input: -f rawvideo "
                 "-pix_fmt %s -s %s%s)\n",
                 shownName.c_str(), counted(end - range.first, "frame").c_str(), size.c_str(),
                 pixfmt.c_str(), hasRate ? (" at " + rate + " fps").c_str() : "",
                 humanBytes(written).c_str(), seconds, pixfmt.c_str(), size.c_str(),
                 hasRate ? (" -r " + rate).c_str() : "");
    return exitSuccess;
}

}  // namespace orvtool
