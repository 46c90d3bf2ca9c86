// `orv`: encode footage into ORV files; inspect, verify, extract from,
// decode, join and remux them. One binary with git-style subcommands.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <span>
#include <string>

#include "command_line.hpp"
#include "orv.h"
#include "output_file.hpp"
#include "subcommands.hpp"

namespace {

const char* const mainHelp =
    R"(usage: orv SUBCOMMAND [arguments]

  encode INPUT -o OUT.orv      encode a media file, raw frames or --demo
                               (INPUT... -o DIR/: one file for each)
  info FILE [--json]           what a file holds: streams, sizes, formats
  verify FILE                  check a file against everything the format promises
  extract FILE --frame K -o PICTURE.png|.rgba
                               one decoded picture (--wav OUT.wav: the audio)
  decode FILE -o OUT.rgba|-    decoded frames as raw pixels, to a file or a pipe
  concat FILE... -o OUT.orv    files encoded in parts, joined without re-encoding
  remux FILE -o OUT.mov        standard Hap for players and ffmpeg (.avi, .mkv too)

  orv SUBCOMMAND --help        the options of a subcommand
  orv --version                the version of liborv
)";

struct Subcommand {
    const char* name;
    int (*run)(std::span<char* const>);
};

constexpr Subcommand subcommands[] = {
    {"encode", orvtool::runEncode},   {"info", orvtool::runInfo},   {"verify", orvtool::runVerify},
    {"extract", orvtool::runExtract}, {"decode", orvtool::runDecode},
    {"concat", orvtool::runConcat},   {"remux", orvtool::runRemux},
};

// Messages carry names, which may hold any byte: each is shown on one line
// that nothing in it can disturb.
int usageError(const std::string& prefix, const std::string& message, const std::string& help) {
    std::fprintf(stderr, "%s: %s (see '%s')\n", prefix.c_str(),
                 orvtool::printable(message).c_str(), help.c_str());
    return orvtool::exitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    const orvtool::OutputCleanup cleanup;
    if (argc < 2)
        return usageError("orv", "missing subcommand", "orv --help");
    const std::string first = argv[1];
    if (first == "--help" || first == "-h" || first == "help") {
        std::fputs(mainHelp, stdout);
        return orvtool::exitSuccess;
    }
    if (first == "--version") {
        std::printf("orv %s\n", orvLinkedVersion());
        return orvtool::exitSuccess;
    }
    for (const Subcommand& subcommand : subcommands) {
        if (first != subcommand.name)
            continue;
        const std::string prefix = std::string("orv ") + subcommand.name;
        try {
            return subcommand.run(std::span<char* const>(argv + 2, argc - 2));
        } catch (const orvtool::UsageError& error) {
            return usageError(prefix, error.what(), prefix + " --help");
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "%s: out of memory\n", prefix.c_str());
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s: %s\n", prefix.c_str(),
                         orvtool::printable(error.what()).c_str());
        }
        return orvtool::exitFailure;
    }
    return usageError("orv", "unknown subcommand '" + first + "'", "orv --help");
}
