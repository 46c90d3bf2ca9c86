// How the tool names output formats and second-stage compressions, in
// options and in what it prints.
#pragma once

#include <cstdint>
#include <string>

namespace orvtool {

// An OrvPixFmt_enum value by its `--format` name: dxt1, dxt5, ycocg,
// ycocg-alpha. Throws UsageError naming the option for any other.
uint32_t formatByName(const std::string& name);
// The `--format` name of an OrvPixFmt_enum value; "unknown" for others.
const char* formatName(uint32_t format);
// "scaled YCoCg DXT5 + BC4 alpha": what the format's textures are.
const char* formatDescription(uint32_t format);

// An OrvCompression_enum value by its `--compression` name: none, snappy,
// lz4. Throws UsageError for any other.
uint32_t compressionByName(const std::string& name);
// The `--compression` name of an OrvCompression_enum value; "unknown" for others.
const char* compressionName(uint32_t compression);

}  // namespace orvtool
