#include "format_names.hpp"

#include "command_line.hpp"
#include "orv.h"

namespace orvtool {

namespace {

struct FormatNames {
    uint32_t format;
    const char* name;
    const char* description;
};

constexpr FormatNames formats[] = {
    {ORV_PIX_FMT_DXT1, "dxt1", "RGB DXT1"},
    {ORV_PIX_FMT_DXT5, "dxt5", "RGBA DXT5"},
    {ORV_PIX_FMT_YCOCG_DXT5, "ycocg", "scaled YCoCg DXT5"},
    {ORV_PIX_FMT_YCOCG_DXT5_ALPHA, "ycocg-alpha", "scaled YCoCg DXT5 + BC4 alpha"},
};

constexpr FormatNames unknownFormat = {UINT32_MAX, "unknown", "not a format an ORV file holds"};

const FormatNames& namesOf(uint32_t format) {
    for (const FormatNames& names : formats)
        if (names.format == format)
            return names;
    return unknownFormat;
}

struct CompressionName {
    uint32_t compression;
    const char* name;
};

constexpr CompressionName compressions[] = {
    {ORV_COMPRESSION_NONE, "none"},
    {ORV_COMPRESSION_SNAPPY, "snappy"},
    {ORV_COMPRESSION_LZ4, "lz4"},
};

}  // namespace

uint32_t formatByName(const std::string& name) {
    for (const FormatNames& names : formats)
        if (name == names.name)
            return names.format;
    throw UsageError("--format: expected dxt1, dxt5, ycocg or ycocg-alpha, found '" + name + "'");
}

const char* formatName(uint32_t format) { return namesOf(format).name; }
const char* formatDescription(uint32_t format) { return namesOf(format).description; }

uint32_t compressionByName(const std::string& name) {
    for (const CompressionName& c : compressions)
        if (name == c.name)
            return c.compression;
    throw UsageError("--compression: expected none, snappy or lz4, found '" + name + "'");
}

const char* compressionName(uint32_t compression) {
    for (const CompressionName& c : compressions)
        if (c.compression == compression)
            return c.name;
    return "unknown";
}

}  // namespace orvtool
