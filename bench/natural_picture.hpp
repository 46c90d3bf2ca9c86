// The benchmarks' picture: four photographs from Debian's mate-backgrounds
// (a sky, a blurred flower, wood grain, wet grass: smooth gradients, soft
// detail, fine texture and hard edges), one per quarter, decoded and scaled
// by ffmpeg; photographs have no alpha, so the alpha channel is the
// procedural picture's, with its soft and hard transitions. Without the
// photographs or ffmpeg the whole procedural picture stands in, and
// pictureSource says so in the benchmark's context.
#pragma once

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "photo_like_image.hpp"

namespace orvbench {

// What the last naturalPictureRGBA call used.
inline std::string pictureSource;

// The mosaic of photographs at width x height (both even), RGBA, or an empty
// vector when it cannot be made.
inline std::vector<uint8_t> photographMosaicRGBA(unsigned width, unsigned height) {
    static const char* const photographs[] = {"Storm.jpg", "TwoWings.jpg", "Wood.jpg",
                                              "RainDrops.jpg"};
    const std::string quarter = std::to_string(width / 2) + ":" + std::to_string(height / 2);
    std::string command = "ffmpeg -v error -nostdin";
    for (const char* name : photographs)
        command.append(" -i /usr/share/backgrounds/mate/nature/").append(name);
    command.append(" -filter_complex \"");
    for (int i = 0; i < 4; ++i) {
        const std::string index = std::to_string(i);
        command.append("[").append(index).append("]scale=").append(quarter);
        command.append(":force_original_aspect_ratio=increase,crop=").append(quarter);
        command.append("[q").append(index).append("];");
    }
    command.append("[q0][q1][q2][q3]xstack=inputs=4:layout=0_0|w0_0|0_h0|w0_h0\"");
    command.append(" -frames:v 1 -pix_fmt rgba -f rawvideo - 2>/dev/null");
    std::vector<uint8_t> pixels(size_t{4} * width * height);
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    const size_t got = std::fread(pixels.data(), 1, pixels.size(), pipe);
    const int status = pclose(pipe);
    if (got != pixels.size() || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    return pixels;
}

inline std::vector<uint8_t> naturalPictureRGBA(unsigned width, unsigned height) {
    std::vector<uint8_t> picture = photoLikeRGBA(width, height);
    const std::vector<uint8_t> mosaic = photographMosaicRGBA(width, height);
    if (mosaic.empty()) {
        pictureSource =
            "procedural: install mate-backgrounds and ffmpeg for the photographs";
        return picture;
    }
    for (size_t i = 0; i < picture.size(); i += 4)
        for (size_t c = 0; c < 3; ++c) picture[i + c] = mosaic[i + c];
    pictureSource = "photographs from mate-backgrounds, procedural alpha";
    return picture;
}

}  // namespace orvbench
