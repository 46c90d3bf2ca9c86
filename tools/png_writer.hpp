// Pictures out as PNG files, through Debian's libpng.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace orvtool {

// Writes width x height RGBA pixels (top row first, tightly packed) as an
// 8-bit RGBA PNG. Throws ToolError with libpng's reason on failure.
void writePng(const std::string& path, uint32_t width, uint32_t height,
              std::span<const uint8_t> rgba);

}  // namespace orvtool
