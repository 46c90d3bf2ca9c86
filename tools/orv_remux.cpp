// `orv remux`: an ORV file's video stream, with its audio as PCM, in a
// QuickTime MOV, AVI or Matroska file that players and ffmpeg open. The
// texture blocks are kept bit for bit; their second stage is redone as
// standard chunked Hap.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "command_line.hpp"
#include "hap_frame_packer.hpp"
#include "output_file.hpp"
#include "remux.hpp"
#include "subcommands.hpp"

namespace orvtool {

namespace {

const char* const remuxHelp =
    R"(usage: orv remux FILE -o OUT.mov|OUT.avi|OUT.mkv [options]

Writes a video stream of an ORV file as standard Hap (codec tag Hap1, Hap5,
HapY or HapM by texture format), with the file's first audio stream as
16-bit PCM, in the container that OUT's extension names: QuickTime MOV,
AVI (OpenDML past 1 GiB) or Matroska. Any picture size; the texture blocks
are unchanged, every one checked on the way. Frames at irregular times keep
them in MOV and Matroska; AVI, with one frame rate, refuses them.

  -o, --output OUT      the file to write; /dev/null checks that FILE remuxes
  -y, --overwrite       replace an existing OUT (only once the new one is complete)
  --stream N            the Nth video stream, from 0 (default 0)
  --frames A:B          frames A up to, not including, B (A: to the end), in the
                        file's order; the audio is cut to the same times
  --chunks N            cut each texture into N chunks (1 to 64) that players
                        decompress in parallel (default: one per MiB of texture,
                        at most 16; small frames stay whole)
  --no-audio            leave the audio out
  --threads N           worker threads (default: one per core)
  --quiet               no progress line and no summary

Exit status: 0 done, 1 failed (nothing is left behind), 2 wrong usage.
)";

std::string chunksText(const std::vector<uint32_t>& chunks) {
    std::string text;
    bool chunked = false;
    for (const uint32_t count : chunks) {
        text += (text.empty() ? "" : "+") + std::to_string(count);
        chunked = chunked || count > 1;
    }
    return chunked ? text + " chunks a frame" : "unchunked";
}

}  // namespace

int runRemux(std::span<char* const> args) {
    const Arguments arguments(args, {{"-o", true},
                                     {"--output", true},
                                     {"-y", false},
                                     {"--overwrite", false},
                                     {"--stream", true},
                                     {"--frames", true},
                                     {"--chunks", true},
                                     {"--no-audio", false},
                                     {"--threads", true},
                                     {"--quiet", false}});
    if (arguments.helpRequested()) {
        std::fputs(remuxHelp, stdout);
        return exitSuccess;
    }
    if (arguments.positional().size() != 1)
        throw UsageError("expected one FILE");
    RemuxJob job;
    job.input = arguments.positional()[0];
    const auto output = arguments.has("-o") ? arguments.value("-o") : arguments.value("--output");
    if (!output || output->empty())
        throw UsageError("missing -o OUT.mov, OUT.avi or OUT.mkv");
    // /dev/null discards whatever it gets; MOV is the container of a real run.
    const auto container =
        *output == "/dev/null" ? Container::mov : containerForExtension(extensionOf(*output));
    if (!container)
        throw UsageError(*output + ": expected a name ending in .mov, .avi or .mkv");
    job.container = *container;
    if (const auto stream = arguments.value("--stream"))
        job.videoStream = static_cast<uint32_t>(parseUnsigned(*stream, "--stream", 0, 15));
    if (const auto frames = arguments.value("--frames"))
        job.frames = parseFrameRange(*frames, "--frames");
    if (const auto chunks = arguments.value("--chunks"))
        job.chunks = static_cast<uint32_t>(parseUnsigned(*chunks, "--chunks", 1, maxHapChunks));
    if (const auto threads = arguments.value("--threads"))
        job.threads = static_cast<unsigned>(parseUnsigned(*threads, "--threads", 1, 256));
    job.withAudio = !arguments.has("--no-audio");
    const bool quiet = arguments.has("--quiet");
    job.progress = !quiet && isatty(STDERR_FILENO);
    const bool overwrite = arguments.has("-y") || arguments.has("--overwrite");
    checkOutputs({{"the input", job.input}}, {{"-o", *output}}, overwrite);

    OutputFile file(*output, overwrite);
    job.outputPath = file.path();
    job.outputName = *output;
    const RemuxSummary summary = remux(job);
    file.commit();
    if (quiet)
        return exitSuccess;

    struct stat info {};
    const std::string size = !file.discards() && stat(output->c_str(), &info) == 0
                                 ? humanBytes(static_cast<uint64_t>(info.st_size))
                                 : "discarded";
    const std::string timing = summary.rateNum != 0 ? std::to_string(summary.rateNum) + "/" +
                                                          std::to_string(summary.rateDen) + " fps"
                                                    : "frames at their own times";
    std::fprintf(stderr, "orv remux: wrote %s: %s of %ux%u as %s in %s, %s, %s%s, %s\n",
                 printable(*output).c_str(), counted(summary.frames, "frame").c_str(),
                 summary.width, summary.height, summary.codecTag, containerName(job.container),
                 chunksText(summary.chunks).c_str(), timing.c_str(),
                 summary.audioSamples ? ", with PCM audio" : "", size.c_str());
    return exitSuccess;
}

}  // namespace orvtool
