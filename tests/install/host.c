/* A host written against the installed library only: the README's example. */
#include <orv.h>
#include <stdio.h>
#include <string.h>

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

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    if (strcmp(orvLinkedVersion(), "1.0.0") != 0) return 3;
    return encode(argv[1], 64, 32, 3);
}
