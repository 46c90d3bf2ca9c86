/* A host written against the installed library only: the README's example,
 * then the file read back through the reader. */
#include <orv.h>
#include <orv_reader.h>
#include <stddef.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>

/* The public records' layout is the library's binary interface: a field
 * moved, widened or inserted breaks every host built against soname 1, so
 * the build of this host fails on any such change. C99 has no static
 * assertion: a false condition gives an array of negative size. The
 * figures are those of the LP64 ABIs (pointers and 64-bit integers 8 bytes,
 * aligned to 8). */
#define PIN_CAT(a, b) a##b
#define PIN_NAME(line) PIN_CAT(abi_pin_, line)
#define PIN(condition) typedef char PIN_NAME(__LINE__)[(condition) ? 1 : -1]
#define PIN_FIELD(type, field, offset) PIN(offsetof(type, field) == (offset))

#if defined(__LP64__)
PIN(sizeof(OrvEncoderParams_st) == 4);

PIN(sizeof(OrvVideoStreamParams_st) == 80);
PIN_FIELD(OrvVideoStreamParams_st, width, 0);
PIN_FIELD(OrvVideoStreamParams_st, height, 4);
PIN_FIELD(OrvVideoStreamParams_st, aspectRatio, 8);
PIN_FIELD(OrvVideoStreamParams_st, timebaseNum, 16);
PIN_FIELD(OrvVideoStreamParams_st, timebaseDen, 24);
PIN_FIELD(OrvVideoStreamParams_st, format, 32);
PIN_FIELD(OrvVideoStreamParams_st, fpsNum, 40);
PIN_FIELD(OrvVideoStreamParams_st, fpsDen, 48);
PIN_FIELD(OrvVideoStreamParams_st, compression, 56);
PIN_FIELD(OrvVideoStreamParams_st, reserved, 60);
PIN_FIELD(OrvVideoStreamParams_st, compressionHint, 64);
PIN_FIELD(OrvVideoStreamParams_st, maxParallel, 68);
PIN_FIELD(OrvVideoStreamParams_st, device, 72);

PIN(sizeof(OrvAudioStreamParams_st) == 32);
PIN_FIELD(OrvAudioStreamParams_st, sampleRate, 0);
PIN_FIELD(OrvAudioStreamParams_st, numChannels, 4);
PIN_FIELD(OrvAudioStreamParams_st, channelLayout, 8);
PIN_FIELD(OrvAudioStreamParams_st, timebaseNum, 16);
PIN_FIELD(OrvAudioStreamParams_st, timebaseDen, 24);

PIN(sizeof(OrvSrcFrame_st) == 40);
PIN_FIELD(OrvSrcFrame_st, width, 0);
PIN_FIELD(OrvSrcFrame_st, height, 4);
PIN_FIELD(OrvSrcFrame_st, stride, 8);
PIN_FIELD(OrvSrcFrame_st, pixFmt, 12);
PIN_FIELD(OrvSrcFrame_st, origin, 16);
PIN_FIELD(OrvSrcFrame_st, numSamples, 20);
PIN_FIELD(OrvSrcFrame_st, pts, 24);
PIN_FIELD(OrvSrcFrame_st, buffer, 32);

PIN(sizeof(OrvThumbnail_st) == 24);
PIN_FIELD(OrvThumbnail_st, width, 0);
PIN_FIELD(OrvThumbnail_st, height, 4);
PIN_FIELD(OrvThumbnail_st, stride, 8);
PIN_FIELD(OrvThumbnail_st, pixFmt, 12);
PIN_FIELD(OrvThumbnail_st, buffer, 16);

PIN(sizeof(OrvReaderSection_st) == 32);
PIN_FIELD(OrvReaderSection_st, slot, 0);
PIN_FIELD(OrvReaderSection_st, kind, 4);
PIN_FIELD(OrvReaderSection_st, storedType, 8);
PIN_FIELD(OrvReaderSection_st, offset, 16);
PIN_FIELD(OrvReaderSection_st, size, 24);

PIN(sizeof(OrvReaderVideoInfo_st) == 72);
PIN_FIELD(OrvReaderVideoInfo_st, width, 0);
PIN_FIELD(OrvReaderVideoInfo_st, height, 4);
PIN_FIELD(OrvReaderVideoInfo_st, sliceWidth, 8);
PIN_FIELD(OrvReaderVideoInfo_st, sliceHeight, 12);
PIN_FIELD(OrvReaderVideoInfo_st, numColumns, 16);
PIN_FIELD(OrvReaderVideoInfo_st, numRows, 20);
PIN_FIELD(OrvReaderVideoInfo_st, format, 24);
PIN_FIELD(OrvReaderVideoInfo_st, compression, 28);
PIN_FIELD(OrvReaderVideoInfo_st, frameCount, 32);
PIN_FIELD(OrvReaderVideoInfo_st, timebaseNum, 40);
PIN_FIELD(OrvReaderVideoInfo_st, timebaseDen, 48);
PIN_FIELD(OrvReaderVideoInfo_st, fpsNum, 56);
PIN_FIELD(OrvReaderVideoInfo_st, fpsDen, 64);

PIN(sizeof(OrvReaderAudioInfo_st) == 24);
PIN_FIELD(OrvReaderAudioInfo_st, sampleRate, 0);
PIN_FIELD(OrvReaderAudioInfo_st, numChannels, 4);
PIN_FIELD(OrvReaderAudioInfo_st, bitsPerSample, 8);
PIN_FIELD(OrvReaderAudioInfo_st, numSamples, 16);

PIN(sizeof(OrvReaderTexture_st) == 48);
PIN_FIELD(OrvReaderTexture_st, format, 0);
PIN_FIELD(OrvReaderTexture_st, slice, 4);
PIN_FIELD(OrvReaderTexture_st, plane, 8);
PIN_FIELD(OrvReaderTexture_st, x, 12);
PIN_FIELD(OrvReaderTexture_st, y, 16);
PIN_FIELD(OrvReaderTexture_st, blocksWide, 20);
PIN_FIELD(OrvReaderTexture_st, blocksHigh, 24);
PIN_FIELD(OrvReaderTexture_st, offset, 32);
PIN_FIELD(OrvReaderTexture_st, size, 40);
#endif

static int encode(const char* path, int width, int height, int frames) {
    OrvEncoderParams_st encoderParams = {0};
    OrvEnc* enc = NULL;
    if (orvEncoderOpen(path, &encoderParams, &enc) != ORV_ERR_NONE) return 1;

    OrvVideoStreamParams_st params;
    orvInitVideoStreamParams(&params);
    params.width = width;
    params.height = height;
    params.timebaseNum = 1;
    params.timebaseDen = 25;
    params.fpsNum = 25;
    params.fpsDen = 1;
    params.format = ORV_PIX_FMT_YCOCG_DXT5;

    int stream = -1;
    OrvError_enum err = orvAddVideoStream(enc, &params, &stream);
    if (!err) err = orvBeginStream(enc, stream);
    for (int i = 0; !err && i < frames; ++i) {
        OrvBuffer_st* pixels = orvBufferAlloc((size_t)width * height * 4);
        if (!pixels) { err = ORV_ERR_UNKNOWN; break; }
        memset(orvBufferData(pixels), 128, (size_t)width * height * 4);
        OrvSrcFrame_st frame = {0};
        frame.width = width;
        frame.height = height;
        frame.stride = width * 4;
        frame.pixFmt = ORV_SRC_PIX_FMT_RGBA32;
        frame.pts = i;
        frame.buffer = pixels;
        err = orvEncodeFrame(enc, &frame);
        if (err) orvBufferFree(pixels);
    }
    if (!err) err = orvEndStream(enc);
    if (!err) err = orvEncoderFinish(enc);
    if (err) fprintf(stderr, "orv: %s\n", orvGetErrorMessage(enc));
    orvEncoderClose(enc);
    return err != ORV_ERR_NONE;
}

/* The last frame of the file's video as RGBA: grey 128 encoded as YCoCg
 * comes back within a step or two, fully opaque. */
static int readBack(const char* path) {
    char message[256];
    OrvReader* reader = NULL;
    if (orvReaderOpen(path, &reader, message, sizeof message) != ORV_ERR_NONE) {
        fprintf(stderr, "orv: %s\n", message);
        return 1;
    }
    OrvReaderVideoInfo_st info;
    uint64_t problems = 1;
    int bad = orvReaderGetVideoInfo(reader, 0, &info) != ORV_ERR_NONE || info.frameCount != 3 ||
              info.format != ORV_PIX_FMT_YCOCG_DXT5 ||
              orvReaderVerify(reader, NULL, NULL, &problems) != ORV_ERR_NONE || problems != 0;
    unsigned char* pixels = malloc((size_t)info.width * info.height * 4);
    if (!bad && pixels) {
        bad = orvReaderDecodeFrame(reader, 0, info.frameCount - 1, ORV_SRC_PIX_FMT_RGBA32, 0,
                                   pixels, (size_t)info.width * 4,
                                   (size_t)info.width * info.height * 4) != ORV_ERR_NONE;
        for (size_t i = 0; !bad && i < (size_t)info.width * info.height * 4; ++i)
            bad = i % 4 == 3 ? pixels[i] != 255 : abs(pixels[i] - 128) > 2;
    }
    if (bad) fprintf(stderr, "orv: %s\n", orvReaderGetErrorMessage(reader));
    free(pixels);
    orvReaderClose(reader);
    return bad;
}

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    if (strcmp(orvLinkedVersion(), "1.0.0") != 0) return 3;
    if (encode(argv[1], 64, 32, 3) != 0) return 1;
    return readBack(argv[1]);
}
