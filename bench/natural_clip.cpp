// Writes a raw RGBA clip for whole-process comparisons: the benchmarks'
// photographic picture seen through a window that pans across it, so that
// every frame differs from the one before as a camera's do.
//
//   natural_clip WIDTH HEIGHT FRAMES OUT.rgba
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "natural_picture.hpp"

namespace {

// Position 0..range of a point moving `speed` per frame and turning at both ends.
unsigned bounce(unsigned frame, unsigned speed, unsigned range) {
    if (range == 0) return 0;
    const unsigned travelled = (frame * speed) % (2 * range);
    return travelled <= range ? travelled : 2 * range - travelled;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: natural_clip WIDTH HEIGHT FRAMES OUT.rgba\n");
        return 2;
    }
    const unsigned width = static_cast<unsigned>(std::atoi(argv[1]));
    const unsigned height = static_cast<unsigned>(std::atoi(argv[2]));
    const unsigned frames = static_cast<unsigned>(std::atoi(argv[3]));
    if (width == 0 || height == 0 || width % 2 != 0 || height % 2 != 0) {
        std::fprintf(stderr, "natural_clip: WIDTH and HEIGHT must be even and positive\n");
        return 2;
    }
    // The picture is an eighth larger than the frame each way; the window
    // pans over the margin at about a pixel per frame per 500 pixels of width.
    const unsigned marginX = (width / 8) & ~1u;
    const unsigned marginY = (height / 8) & ~1u;
    const unsigned pictureWidth = width + marginX;
    const std::vector<uint8_t> picture =
        orvbench::naturalPictureRGBA(pictureWidth, height + marginY);
    std::fprintf(stderr, "natural_clip: %s\n", orvbench::pictureSource.c_str());

    FILE* out = std::fopen(argv[4], "wb");
    if (out == nullptr) {
        std::perror(argv[4]);
        return 1;
    }
    const unsigned speed = std::max(1u, width / 480);
    for (unsigned f = 0; f < frames; ++f) {
        const unsigned x = bounce(f, speed, marginX);
        const unsigned y = bounce(f, std::max(1u, speed / 2), marginY);
        for (unsigned row = 0; row < height; ++row) {
            const uint8_t* line = picture.data() + (size_t{y + row} * pictureWidth + x) * 4;
            if (std::fwrite(line, 4, width, out) != width) {
                std::perror(argv[4]);
                return 1;
            }
        }
    }
    if (std::fclose(out) != 0) {
        std::perror(argv[4]);
        return 1;
    }
    return 0;
}
