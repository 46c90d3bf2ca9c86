#include "command_line.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace orvtool {

Arguments::Arguments(std::span<char* const> args, std::initializer_list<KnownOption> known) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string arg = args[i];
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            help = true;
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const auto option = std::find_if(known.begin(), known.end(),
                                         [&](const KnownOption& k) { return k.name == name; });
        if (option == known.end())
            throw UsageError("unknown option " + name);
        if (!option->takesValue) {
            if (equals != std::string::npos)
                throw UsageError(name + " takes no value");
            values[name] = "";
        } else if (equals != std::string::npos) {
            values[name] = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            values[name] = args[++i];
        } else {
            throw UsageError(name + " needs a value");
        }
    }
}

std::optional<std::string> Arguments::value(std::string_view name) const {
    const auto it = values.find(std::string(name));
    if (it == values.end())
        return std::nullopt;
    return it->second;
}

uint64_t parseUnsigned(std::string_view text, std::string_view option, uint64_t min, uint64_t max) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < min ||
        value > max)
        throw UsageError(std::string(option) + ": expected a whole number from " +
                         std::to_string(min) + " to " + std::to_string(max) + ", found '" +
                         std::string(text) + "'");
    return value;
}

double parsePositiveSeconds(std::string_view text, std::string_view option) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    // A day is far beyond any sensible encode and keeps frame counts in 32 bits.
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !(value > 0) ||
        value > 86400)
        throw UsageError(std::string(option) + ": expected a number of seconds above 0, found '" +
                         std::string(text) + "'");
    return value;
}

void parseSize(std::string_view text, std::string_view option, uint32_t& width, uint32_t& height) {
    const size_t x = text.find('x');
    if (x == std::string_view::npos)
        throw UsageError(std::string(option) + ": expected WIDTHxHEIGHT, found '" +
                         std::string(text) + "'");
    width = static_cast<uint32_t>(parseUnsigned(text.substr(0, x), option, 1, 65535));
    height = static_cast<uint32_t>(parseUnsigned(text.substr(x + 1), option, 1, 65535));
}

void parseRate(std::string_view text, std::string_view option, uint32_t& num, uint32_t& den) {
    const size_t slash = text.find('/');
    num = static_cast<uint32_t>(parseUnsigned(text.substr(0, slash), option, 1, UINT32_MAX));
    den = slash == std::string_view::npos
              ? 1
              : static_cast<uint32_t>(parseUnsigned(text.substr(slash + 1), option, 1, UINT32_MAX));
}

std::string extensionOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return "";
    std::string extension = path.substr(dot);
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

std::string humanBytes(uint64_t bytes) {
    const char* units[] = {"B", "kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1000 && unit < 4) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

std::string counted(uint64_t count, std::string_view noun) {
    return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

std::string printable(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
        out += escaped;
    }
    return out;
}

}  // namespace orvtool
