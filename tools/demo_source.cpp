#include "demo_source.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace orvtool {

namespace {

constexpr double twoPi = 2 * std::numbers::pi;

uint8_t clampByte(int v) {
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

// A fixed pseudo-random value per pixel: fine texture that block
// compressors and LZ4 cannot flatten away.
int grain(uint32_t x, uint32_t y) {
    uint32_t h = x * 374761393u + y * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return static_cast<int>((h >> 24) % 41) - 20;
}

double secondsOf(const DemoSettings& settings, uint32_t k) {
    return static_cast<double>(k) * settings.fpsDen / settings.fpsNum;
}

// Gradients that drift, grain that scrolls, fine diagonal lines in the
// lower third, and an alpha made of two crossing waves.
void paintBackground(const DemoSettings& settings, double s, uint32_t k, uint8_t* rgba) {
    const uint32_t w = settings.width, h = settings.height;
    std::vector<uint8_t> blue(w);
    std::vector<int> alphaColumn(w);
    for (uint32_t x = 0; x < w; ++x) {
        const double u = static_cast<double>(x) / w;
        blue[x] = clampByte(static_cast<int>(128 + 100 * std::sin(twoPi * (u + s / 4))));
        alphaColumn[x] = static_cast<int>(256 * std::sin(twoPi * (1.5 * u - s / 2)));
    }
    const uint32_t scroll = static_cast<uint32_t>(s * 40);
    for (uint32_t y = 0; y < h; ++y) {
        const double v = static_cast<double>(y) / h;
        const int green = static_cast<int>(255 * v);
        const int alphaRow = static_cast<int>(95 * std::cos(twoPi * (v - s / 3)));
        const bool lines = y >= h * 2 / 3;
        uint8_t* p = rgba + static_cast<size_t>(y) * w * 4;
        for (uint32_t x = 0; x < w; ++x, p += 4) {
            const int g = grain(x + scroll, y);
            int red = static_cast<int>(x * 255 / w);
            int grn = green;
            int blu = blue[x];
            if (lines && (x + y + 3 * k) % 6 == 0) {
                red = 255 - red;
                grn = 255 - grn;
                blu = 255 - blu;
            }
            p[0] = clampByte(red + g);
            p[1] = clampByte(grn + g);
            p[2] = clampByte(blu + g);
            p[3] = clampByte(160 + ((alphaColumn[x] * alphaRow) >> 8));
        }
    }
}

// An opaque orange disc on a Lissajous path, its edge smoothed over a pixel.
void paintDisc(const DemoSettings& settings, double s, uint8_t* rgba) {
    const double w = settings.width, h = settings.height;
    const double radius = 0.12 * std::min(w, h);
    const double cx = w / 2 + 0.35 * w * std::cos(twoPi * s / 3);
    const double cy = h / 2 + 0.3 * h * std::sin(twoPi * s * 2 / 3);
    const int y0 = std::max(0, static_cast<int>(cy - radius - 1));
    const int y1 = std::min(static_cast<int>(h) - 1, static_cast<int>(cy + radius + 1));
    const int x0 = std::max(0, static_cast<int>(cx - radius - 1));
    const int x1 = std::min(static_cast<int>(w) - 1, static_cast<int>(cx + radius + 1));
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const double d = std::hypot(x + 0.5 - cx, y + 0.5 - cy);
            const double cover = std::clamp(radius - d + 0.5, 0.0, 1.0);
            if (cover <= 0)
                continue;
            uint8_t* p = rgba + (static_cast<size_t>(y) * settings.width + x) * 4;
            const int ring = static_cast<int>(d) % 12 < 2 ? 40 : 0;
            const int colour[4] = {255 - ring, 140 - ring, 20, 255};
            for (int c = 0; c < 4; ++c)
                p[c] = clampByte(static_cast<int>(p[c] + cover * (colour[c] - p[c]) + 0.5));
        }
}

// A turning square filled with a blue and white checkerboard.
void paintSquare(const DemoSettings& settings, double s, uint8_t* rgba) {
    const double w = settings.width, h = settings.height;
    const double half = 0.15 * std::min(w, h);
    const double cx = w * (0.3 + 0.4 * (0.5 + 0.5 * std::sin(twoPi * s / 5)));
    const double cy = h * 0.4;
    const double angle = twoPi * s / 4;
    const double cosA = std::cos(angle), sinA = std::sin(angle);
    const double cell = std::max(2.0, half / 5);
    const double reach = half * std::numbers::sqrt2 + 1;
    const int y0 = std::max(0, static_cast<int>(cy - reach));
    const int y1 = std::min(static_cast<int>(h) - 1, static_cast<int>(cy + reach));
    const int x0 = std::max(0, static_cast<int>(cx - reach));
    const int x1 = std::min(static_cast<int>(w) - 1, static_cast<int>(cx + reach));
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
            const double u = dx * cosA + dy * sinA;
            const double v = -dx * sinA + dy * cosA;
            if (std::abs(u) >= half || std::abs(v) >= half)
                continue;
            const bool dark = (static_cast<int>(std::floor((u + half) / cell)) +
                               static_cast<int>(std::floor((v + half) / cell))) %
                                  2 ==
                              0;
            uint8_t* p = rgba + (static_cast<size_t>(y) * settings.width + x) * 4;
            p[0] = dark ? 30 : 235;
            p[1] = dark ? 60 : 240;
            p[2] = dark ? 200 : 250;
            p[3] = 200;
        }
}

}  // namespace

uint64_t DemoSettings::sampleCount() const {
    // Wide enough for any rate the options accept; exact for ordinary ones.
    return static_cast<uint64_t>(static_cast<long double>(frameCount) * sampleRate * fpsDen /
                                 fpsNum);
}

void renderDemoFrame(const DemoSettings& settings, uint32_t k, uint8_t* rgba) {
    const double s = secondsOf(settings, k);
    paintBackground(settings, s, k, rgba);
    paintSquare(settings, s, rgba);
    paintDisc(settings, s, rgba);
}

void renderDemoAudio(const DemoSettings& settings, uint64_t first, size_t count,
                     float* interleaved) {
    // A fifth (A4 and E5) that fades in and out over 20 ms, so that it
    // starts and stops without a click.
    const double rate = settings.sampleRate;
    const double total = static_cast<double>(settings.sampleCount());
    const double fade = 0.02 * rate;
    for (size_t i = 0; i < count; ++i) {
        const double n = static_cast<double>(first + i);
        const double envelope = std::clamp(std::min(n / fade, (total - n) / fade), 0.0, 1.0);
        const double t = n / rate;
        interleaved[2 * i] = static_cast<float>(0.25 * envelope * std::sin(twoPi * 440 * t));
        interleaved[2 * i + 1] = static_cast<float>(0.25 * envelope * std::sin(twoPi * 660 * t));
    }
}

DemoVideoSource::DemoVideoSource(const DemoSettings& settings) : settings(settings) {
    videoFormat.width = settings.width;
    videoFormat.height = settings.height;
    videoFormat.fpsNum = settings.fpsNum;
    videoFormat.fpsDen = settings.fpsDen;
    videoFormat.expectedFrames = settings.frameCount;
}

bool DemoVideoSource::readFrame(uint8_t* pixels) {
    if (next >= settings.frameCount)
        return false;
    renderDemoFrame(settings, next++, pixels);
    return true;
}

DemoAudioSource::DemoAudioSource(const DemoSettings& settings) : settings(settings) {
    audioFormat.sampleRate = settings.sampleRate;
    audioFormat.channels = DemoSettings::channels;
}

size_t DemoAudioSource::read(float* interleaved, size_t maxFrames) {
    const uint64_t left = settings.sampleCount() - next;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(left, maxFrames));
    renderDemoAudio(settings, next, count, interleaved);
    next += count;
    return count;
}

}  // namespace orvtool
