#include "png_writer.hpp"

#include <png.h>

#include <cstring>

#include "command_line.hpp"

namespace orvtool {

void writePng(const std::string& path, uint32_t width, uint32_t height,
              std::span<const uint8_t> rgba) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGBA;
    const uint64_t expected = uint64_t{width} * height * 4;
    if (rgba.size() != expected)
        throw ToolError("a " + std::to_string(width) + "x" + std::to_string(height) +
                        " picture needs " + std::to_string(expected) + " bytes, found " +
                        std::to_string(rgba.size()));
    if (!png_image_write_to_file(&image, path.c_str(), 0, rgba.data(), 0, nullptr)) {
        const std::string reason = image.message;
        png_image_free(&image);
        throw ToolError("cannot write " + path + ": " + reason);
    }
}

}  // namespace orvtool
