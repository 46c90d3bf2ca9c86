// The subcommands of `orv`. Each takes the arguments after its name, prints
// its help for --help, and returns the exit status; failures leave as
// ToolError (status 1) or UsageError (status 2) for main to report.
#pragma once

#include <span>

namespace orvtool {

int runEncode(std::span<char* const> args);
int runInfo(std::span<char* const> args);
int runVerify(std::span<char* const> args);
int runExtract(std::span<char* const> args);
int runRemux(std::span<char* const> args);
int runDecode(std::span<char* const> args);
int runConcat(std::span<char* const> args);

}  // namespace orvtool
