// The plumbing every `orv` subcommand shares: the two kinds of failure that
// decide the exit status, and a small option parser.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace orvtool {

// Something went wrong while doing the work: exit status 1. The text is a
// whole sentence fragment ready to follow "orv SUBCOMMAND: ".
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The command line itself is wrong: exit status 2, with a hint to --help.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

struct KnownOption {
    std::string_view name;  // "--format" or "-o", as typed
    bool takesValue;
};

// Options in any order ("--name value" or "--name=value"; the last of a
// repeated option wins), positional arguments between them, "-" as a
// positional (standard input), "--" ends the options. "--help" and "-h" are
// always known. Unknown options and missing values throw UsageError.
class Arguments {
public:
    Arguments(std::span<char* const> args, std::initializer_list<KnownOption> known);

    bool helpRequested() const { return help; }
    bool has(std::string_view name) const { return values.count(std::string(name)) != 0; }
    std::optional<std::string> value(std::string_view name) const;
    const std::vector<std::string>& positional() const { return positionals; }

private:
    bool help = false;
    std::map<std::string, std::string> values;  // flags map to ""
    std::vector<std::string> positionals;
};

// Strict number parsing for option values; each throws UsageError naming the
// option and what it expected.
uint64_t parseUnsigned(std::string_view text, std::string_view option, uint64_t min, uint64_t max);
double parsePositiveSeconds(std::string_view text, std::string_view option);
// "WxH", each side 1 to 65535 (the container stores sides in 16 bits).
void parseSize(std::string_view text, std::string_view option, uint32_t& width, uint32_t& height);
// "N/D" or "N", both positive.
void parseRate(std::string_view text, std::string_view option, uint32_t& num, uint32_t& den);

// The lower-case extension of a path with its dot (".png"), or "".
std::string extensionOf(const std::string& path);

// "12.3 MB": a byte count in decimal units for people.
std::string humanBytes(uint64_t bytes);

// "1 frame", "2 frames": a count with its noun, plural when it is not one.
std::string counted(uint64_t count, std::string_view noun);

// Text as it may be shown on a terminal: control characters (a name may
// hold any byte but '/' and NUL) become \xHH, so that no name can move the
// cursor, change colours or fake a line of output.
std::string printable(std::string_view text);

}  // namespace orvtool
