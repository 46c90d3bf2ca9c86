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
#include <cstring>
#include <string>
#include <vector>

#include "orv.h"
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

// Encodes into `path` a clip of `frames` frames of width x height that pans
// across `picture` (RGBA, width + 8 x frames wide, height high) by 8 pixels
// a frame, at 30 fps (time base 1/30) on two threads; LZ4, where asked
// for, at its fast level. False when the library refuses a call.
inline bool encodePanningClip(const std::string& path, const std::vector<uint8_t>& picture,
                              unsigned width, unsigned height, unsigned frames, uint32_t format,
                              uint32_t compression) {
    const size_t sourceStride = size_t{width + 8 * frames} * 4;
    OrvEncoderParams_st encoderParams{2};
    OrvEnc* encoder = nullptr;
    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    params.width = width;
    params.height = height;
    params.timebaseNum = params.fpsDen = 1;
    params.timebaseDen = params.fpsNum = 30;
    params.format = format;
    params.compression = compression;
    params.compressionHint = 0;
    int stream = -1;
    bool ok = orvEncoderOpen(path.c_str(), &encoderParams, &encoder) == ORV_ERR_NONE &&
              orvAddVideoStream(encoder, &params, &stream) == ORV_ERR_NONE &&
              orvBeginStream(encoder, stream) == ORV_ERR_NONE;
    for (unsigned k = 0; ok && k < frames; ++k) {
        OrvBuffer_st* buffer = orvBufferAlloc(size_t{width} * height * 4);
        for (unsigned y = 0; y < height; ++y)
            std::memcpy(static_cast<uint8_t*>(orvBufferData(buffer)) + size_t{y} * width * 4,
                        &picture[y * sourceStride + size_t{8} * k * 4], size_t{width} * 4);
        OrvSrcFrame_st frame{width, height, width * 4, ORV_SRC_PIX_FMT_RGBA32, 0, 0, k, buffer};
        ok = orvEncodeFrame(encoder, &frame) == ORV_ERR_NONE;
        if (!ok) orvBufferFree(buffer);
    }
    ok = ok && orvEndStream(encoder) == ORV_ERR_NONE && orvEncoderFinish(encoder) == ORV_ERR_NONE;
    orvEncoderClose(encoder);
    return ok;
}

}  // namespace orvbench
