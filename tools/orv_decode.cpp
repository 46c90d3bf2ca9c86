// `orv decode`: the frames of an ORV file as raw pixels, to a file or down a
// pipe, decoded on several threads at once and written in index order.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "command_line.hpp"
#include "frame_source.hpp"
#include "orv_file.hpp"
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

// Pictures in flight, whatever the thread count, stay within this many
// bytes (but one picture is always allowed).
constexpr uint64_t pictureBudget = uint64_t{128} << 20;

using Deliver = std::function<void(std::span<const uint8_t> picture)>;

// Decodes frames [first, end) of a video section on `threads` threads and
// hands each picture to `deliver`, on the calling thread, in index order.
// Frame k is decoded into slot (k - first) mod slots, which it may take
// only once frame k - slots has been delivered: the slots are the memory
// bound, and nothing waits on a frame that no thread can reach.
class OrderedDecoder {
public:
    OrderedDecoder(const OrvFile& file, uint32_t section, uint32_t pixFmt, uint64_t first,
                   uint64_t end, unsigned threads)
        : file(file), section(section), pixFmt(pixFmt), first(first), end(end), next(first),
          delivered(first) {
        const OrvReaderVideoInfo_st video = file.video(section);
        width = video.width;
        height = video.height;
        const uint64_t pictureBytes = uint64_t{width} * height * 4;
        const uint64_t slotCount =
            std::clamp<uint64_t>(pictureBudget / std::max<uint64_t>(pictureBytes, 1), 1,
                                 uint64_t{threads} * 2);
        slots.resize(static_cast<size_t>(std::min(slotCount, end - first)));
        for (Slot& slot : slots)
            slot.pixels.resize(pictureBytes);
        workerCount = static_cast<unsigned>(std::min<uint64_t>(threads, slots.size()));
    }

    void run(const Deliver& deliver) {
        std::vector<std::thread> workers;
        try {
            for (unsigned i = 0; i < workerCount; ++i)
                workers.emplace_back([this] { decodeFrames(); });
            for (uint64_t k = first; k < end; ++k) {
                Slot& slot = slotOf(k);
                {
                    std::unique_lock<std::mutex> guard(lock);
                    changed.wait(guard, [&] { return slot.ready; });
                }
                if (!slot.error.empty())
                    throw ToolError(slot.error);
                deliver(slot.pixels);
                std::lock_guard<std::mutex> guard(lock);
                slot.ready = false;
                delivered = k + 1;
                changed.notify_all();
            }
        } catch (...) {
            {
                std::lock_guard<std::mutex> guard(lock);
                stopping = true;
                changed.notify_all();
            }
            for (std::thread& worker : workers)
                worker.join();
            throw;
        }
        for (std::thread& worker : workers)
            worker.join();
    }

private:
    struct Slot {
        std::vector<uint8_t> pixels;
        bool ready = false;  // the frame it was taken for is decoded, or failed
        std::string error;
    };

    Slot& slotOf(uint64_t k) { return slots[(k - first) % slots.size()]; }

    void decodeFrames() {
        for (;;) {
            std::unique_lock<std::mutex> guard(lock);
            if (stopping || next >= end)
                return;
            const uint64_t k = next++;
            changed.wait(guard, [&] { return stopping || delivered + slots.size() > k; });
            if (stopping)
                return;
            Slot& slot = slotOf(k);
            guard.unlock();
            // The reader's handle serves every thread at once.
            std::string error;
            if (orvReaderDecodeFrame(file.get(), section, static_cast<uint32_t>(k), pixFmt, 0,
                                     slot.pixels.data(), size_t{width} * 4,
                                     slot.pixels.size()) != ORV_ERR_NONE)
                error = "cannot decode frame " + std::to_string(k) + ": " +
                        orvReaderGetErrorMessage(file.get());
            guard.lock();
            slot.error = std::move(error);
            slot.ready = true;
            changed.notify_all();
        }
    }

    const OrvFile& file;
    const uint32_t section;
    const uint32_t pixFmt;
    const uint64_t first, end;
    uint32_t width = 0, height = 0;
    unsigned workerCount = 0;
    std::vector<Slot> slots;  // sized once; a slot's pixels belong to one thread at a time

    // Guards next, delivered, stopping and every slot's ready flag and
    // error; a slot's pixels are handed over through `ready`.
    std::mutex lock;
    std::condition_variable changed;
    uint64_t next;       // the next frame a worker takes
    uint64_t delivered;  // frames before this one have been delivered
    bool stopping = false;
};

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
    uint64_t written = 0;
    OrderedDecoder decoder(file, section,
                           pixfmt == "bgra" ? ORV_SRC_PIX_FMT_BGRA32 : ORV_SRC_PIX_FMT_RGBA32,
                           range.first, end, threads);
    decoder.run([&](std::span<const uint8_t> picture) {
        if (out)
            out->write(picture);
        else
            writeAll(STDOUT_FILENO, picture, shownName);
        written += picture.size();
    });
    if (out)
        out->commit();

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
