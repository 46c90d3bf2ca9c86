#include "texture_formats.hpp"

#include "brindle.hpp"
#include "orv_format.hpp"

namespace brindle {

uint32_t srcBytesPerPixel(uint32_t pixFmt) {
    switch (pixFmt) {
        case ORV_SRC_PIX_FMT_RGB24: return 3;
        case ORV_SRC_PIX_FMT_RGBA32: return 4;
        case ORV_SRC_PIX_FMT_BGR24: return 3;
        case ORV_SRC_PIX_FMT_BGRA32: return 4;
        case ORV_SRC_PIX_FMT_RGB96: return 12;
        case ORV_SRC_PIX_FMT_RGBA128: return 16;
        default: return 0;
    }
}

uint32_t orvTexBufferSize(OrvTexFmt fmt, unsigned width, unsigned height) {
    if (static_cast<uint32_t>(fmt) >= 4)
        throw OrvException("unknown texture format", ORV_ERR_UNKNOWN);
    return (height >> 2) * ((width >> 2) * texBlockBytes(fmt));
}

uint32_t orvSrcBufferSize(OrvSrcPixFmt_enum fmt, unsigned width, unsigned height) {
    const uint32_t bpp = srcBytesPerPixel(static_cast<uint32_t>(fmt));
    if (bpp == 0)
        throw OrvException("unknown source pixel format", ORV_ERR_UNKNOWN);
    return bpp * width * height;
}

}  // namespace brindle
