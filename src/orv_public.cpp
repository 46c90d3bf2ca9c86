// The session-free part of the C interface: error texts, version,
// capabilities, initialisers, thumbnails and the decoder stubs.
#include <cstring>

#include "brindle.hpp"
#include "orv.h"

namespace brindle {

// Out of line so that the class's type information lives in the library.
OrvException::~OrvException() = default;

}  // namespace brindle

extern "C" {

const char* orvErrorStr(OrvError_enum code) {
    switch (static_cast<uint32_t>(code)) {
        case ORV_ERR_NONE: return "no error";
        case ORV_ERR_OUT_OF_MEMORY: return "out of memory";
        case ORV_ERR_OPEN_FILE: return "failed to open file";
        case ORV_ERR_TOO_MANY_STREAMS: return "too many streams";
        case ORV_ERR_IO: return "IO error";
        case ORV_ERR_UNKNOWN_STREAM: return "unknown stream";
        case ORV_ERR_UNKNOWN_PIXEL_FORMAT: return "unknown pixel format";
        case ORV_ERR_UNKNOWN_ORV_PIXEL_FORMAT: return "unknown ORV pixel format";
        case ORV_ERR_UNKNOWN_ORV_COMPRESSION_FORMAT: return "unknown ORV compression format";
        case ORV_ERR_INVALID_DIMENSIONS: return "invalid dimensions";
        case ORV_ERR_INVALID_TIMEBASE: return "invalid timebase";
        case ORV_ERR_INVALID_ASPECT_RATIO: return "invalid aspect ratio";
        case ORV_ERR_UNSUPPORTED_DEVICE: return "unsupported device";
        default: return "unknown error";
    }
}

const char* orvLinkedVersion(void) { return "1.0.0"; }

int orvGetAvailableEncodeDevices(void) { return 1; }
int orvGetNumSupportedVideoStreams(void) { return 1; }
int orvGetNumSupportedAudioStreams(void) { return 1; }

void orvInitVideoStreamParams(OrvVideoStreamParams_st* params) {
    if (params == nullptr) return;  // nothing to initialise, and no result to refuse with
    // Padding included, so that a record compares equal byte for byte.
    std::memset(params, 0, sizeof *params);
    params->aspectRatio = 1.0;
    params->compression = ORV_COMPRESSION_LZ4;
    params->reserved = 1;
    params->compressionHint = 1;
    params->maxParallel = 16;
    params->device = 1;
}

void orvInitAudioStreamParams(OrvAudioStreamParams_st* params) {
    if (params == nullptr) return;
    std::memset(params, 0, sizeof *params);
}

OrvError_enum orvAddThumbnail(OrvEnc*, const OrvThumbnail_st*) { return ORV_ERR_NONE; }

OrvError_enum orvDecoderOpen(const char*, OrvDec**) { return ORV_ERR_OPEN_FILE; }
OrvError_enum orvDecoderClose(OrvDec*) { return ORV_ERR_NONE; }
OrvError_enum orvNumSections(OrvDec*, int*) { return ORV_ERR_UNKNOWN; }
OrvError_enum orvGetSectionType(OrvDec*, int, int*) { return ORV_ERR_UNKNOWN; }
OrvError_enum orvGetThumbnailInfo(OrvDec*, OrvThumbnail_st*) { return ORV_ERR_UNKNOWN; }
OrvError_enum orvReadThumbnail(OrvDec*, OrvThumbnail_st*) { return ORV_ERR_UNKNOWN; }
OrvError_enum orvGetMetaSize(OrvDec*, size_t*) { return ORV_ERR_UNKNOWN; }
OrvError_enum orvReadMeta(OrvDec*, void*, size_t) { return ORV_ERR_UNKNOWN; }
OrvError_enum orvGetVideoStreamInfo(OrvDec*, int, OrvVideoStreamParams_st*) {
    return ORV_ERR_UNKNOWN;
}
OrvError_enum orvGetAudioStreamInfo(OrvDec*, int, OrvAudioStreamParams_st*) {
    return ORV_ERR_UNKNOWN;
}
OrvError_enum orvOpenStream(OrvDec*, int) { return ORV_ERR_UNKNOWN; }
OrvError_enum orvCloseStream(OrvDec*) { return ORV_ERR_UNKNOWN; }
OrvError_enum orvSeek(OrvDec*, int64_t) { return ORV_ERR_UNKNOWN; }
OrvError_enum orvStep(OrvDec*, int) { return ORV_ERR_UNKNOWN; }
OrvError_enum orvReadFrame(OrvDec*, OrvSrcFrame_st*) { return ORV_ERR_UNKNOWN; }
OrvError_enum orvDecodeFrame(OrvDec*, OrvSrcFrame_st*) { return ORV_ERR_UNKNOWN; }
void orvFreeFrame(OrvSrcFrame_st*) {}

}  // extern "C"
