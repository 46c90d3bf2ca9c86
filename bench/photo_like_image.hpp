// A procedural picture with the statistics of a photograph, shared by the
// benchmarks: smooth shading, texture at every scale down to single pixels,
// hard edges and an alpha channel with soft and hard transitions, so that
// almost no 4x4 block is flat and the encoders' general path is what runs.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace orvbench {

inline uint32_t hash2(int x, int y, uint32_t seed) {
    uint32_t h = static_cast<uint32_t>(x) * 0x8da6b343u ^ static_cast<uint32_t>(y) * 0xd8163841u ^
                 seed * 0xcb1ab31fu;
    h ^= h >> 15;
    h *= 0x2c1b3c6du;
    h ^= h >> 12;
    h *= 0x297a2d39u;
    h ^= h >> 15;
    return h;
}

// Smoothly interpolated lattice noise in [0, 1).
inline double valueNoise(double x, double y, uint32_t seed) {
    const int x0 = static_cast<int>(std::floor(x));
    const int y0 = static_cast<int>(std::floor(y));
    const double fx = x - x0;
    const double fy = y - y0;
    const double sx = fx * fx * (3 - 2 * fx);
    const double sy = fy * fy * (3 - 2 * fy);
    auto at = [seed](int ix, int iy) { return (hash2(ix, iy, seed) >> 8) / 16777216.0; };
    const double top = at(x0, y0) + (at(x0 + 1, y0) - at(x0, y0)) * sx;
    const double bottom = at(x0, y0 + 1) + (at(x0 + 1, y0 + 1) - at(x0, y0 + 1)) * sx;
    return top + (bottom - top) * sy;
}

// Five octaves, from shapes a few hundred pixels wide down to a few pixels.
inline double fractalNoise(double x, double y, uint32_t seed) {
    double sum = 0;
    double amplitude = 0.5;
    double frequency = 1.0 / 256;
    for (int octave = 0; octave < 5; ++octave) {
        sum += amplitude * valueNoise(x * frequency, y * frequency, seed + octave);
        amplitude *= 0.5;
        frequency *= 2.0;
    }
    return sum / 0.96875;
}

inline uint8_t toByte(double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0)); }

// Sky-like gradient, landscape-like noise, a few hard-edged objects, fine
// grain, and an alpha channel with soft and hard transitions.
inline std::vector<uint8_t> photoLikeRGBA(unsigned width, unsigned height) {
    std::vector<uint8_t> pixels(4u * width * height);
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            const double u = static_cast<double>(x) / width;
            const double v = static_cast<double>(y) / height;
            const double land = fractalNoise(x, y, 1);
            const double tint = fractalNoise(x + 5000.0, y, 7);
            double r = 70 + 120 * v + 90 * land - 30 * tint;
            double g = 110 + 60 * (1 - v) + 80 * land;
            double b = 200 - 110 * v + 40 * tint;

            // Hard edges: a disc, a rotated bar and a horizon line.
            const double dx = x - 0.3 * width, dy = y - 0.4 * height;
            if (dx * dx + dy * dy < 0.03 * width * width) {
                r = 230 - 50 * land;
                g = 180 - 40 * land;
                b = 60;
            }
            const double bar = 0.8 * x - 0.6 * y - 0.25 * width;
            if (bar > 0 && bar < 40) {
                r *= 0.35;
                g *= 0.35;
                b *= 0.45;
            }
            if (v > 0.7 + 0.05 * std::sin(u * 12)) {
                r = 50 + 80 * land;
                g = 90 + 100 * land;
                b = 40 + 30 * tint;
            }

            const double grain = static_cast<int>(hash2(x, y, 99) % 13) - 6;
            uint8_t* p = &pixels[4u * (y * width + x)];
            p[0] = toByte(r + grain);
            p[1] = toByte(g + grain);
            p[2] = toByte(b + grain);
            const double alpha = 255 * (1.2 - 0.8 * std::hypot(u - 0.5, v - 0.5)) - 60 * tint;
            p[3] = toByte(bar > 0 && bar < 40 ? alpha * 0.5 : alpha);
        }
    }
    return pixels;
}

}  // namespace orvbench
