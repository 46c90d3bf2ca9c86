/*
 * liborv: encodes video (as sliced Hap frames of DXT/BC textures) and PCM
 * audio into an ORV container file.
 *
 * This header is the whole contract a host sees. Every function returns a
 * plain code; no exception ever leaves the library. A session is driven from
 * one thread at a time.
 *
 * Codes: each function below says what it returns and when. Every function
 * that returns an OrvError_enum also refuses a null pointer argument with
 * ORV_ERR_UNKNOWN and the message "invalid argument: <name> is null", and
 * reports a failed allocation or thread start with ORV_ERR_UNKNOWN. A session
 * keeps the message of its last failure (orvGetErrorMessage).
 */
#ifndef ORV_H
#define ORV_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define ORV_API
#else
#define ORV_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Opaque handles ---------------------------------------------------- */

/* An encoder session, from orvEncoderOpen to orvEncoderClose. */
typedef struct OrvEnc OrvEnc;
/* A byte buffer owned by whoever holds it (see orvBufferAlloc). */
typedef struct OrvBuffer_st OrvBuffer_st;
/* A decoder handle. No decoder exists: every decoder function is a stub. */
typedef struct OrvDec OrvDec;

/* ---- Enumerations ------------------------------------------------------ */

typedef enum OrvError_enum {
    ORV_ERR_NONE = 0,
    ORV_ERR_OUT_OF_MEMORY = 1,
    ORV_ERR_OPEN_FILE = 2,
    ORV_ERR_TOO_MANY_STREAMS = 3,
    ORV_ERR_IO = 4,
    ORV_ERR_UNKNOWN_STREAM = 5,
    ORV_ERR_UNKNOWN_PIXEL_FORMAT = 6,
    ORV_ERR_UNKNOWN_ORV_PIXEL_FORMAT = 7,
    ORV_ERR_UNKNOWN_ORV_COMPRESSION_FORMAT = 8,
    ORV_ERR_INVALID_DIMENSIONS = 9,
    ORV_ERR_INVALID_TIMEBASE = 10,
    ORV_ERR_INVALID_ASPECT_RATIO = 11,
    ORV_ERR_UNSUPPORTED_DEVICE = 12,
    ORV_ERR_UNKNOWN = 13
} OrvError_enum;

/* Output texture layout of a video stream. */
typedef enum OrvPixFmt_enum {
    ORV_PIX_FMT_DXT1 = 0,             /* one BC1 texture per slice */
    ORV_PIX_FMT_YCOCG_DXT5 = 1,       /* one scaled-YCoCg BC3 texture */
    ORV_PIX_FMT_DXT5 = 2,             /* one BC3 RGBA texture */
    ORV_PIX_FMT_YCOCG_DXT5_ALPHA = 3  /* scaled-YCoCg BC3, then a BC4 alpha plane */
} OrvPixFmt_enum;

/* Second-stage lossless compression of every texture. */
typedef enum OrvCompression_enum {
    ORV_COMPRESSION_NONE = 0,
    ORV_COMPRESSION_SNAPPY = 1,
    ORV_COMPRESSION_LZ4 = 2
} OrvCompression_enum;

typedef enum OrvChannelLayout_enum {
    ORV_CHANNEL_LAYOUT_ANY = 0,
    ORV_CHANNEL_LAYOUT_MONO = 1,
    ORV_CHANNEL_LAYOUT_STEREO = 2,
    ORV_CHANNEL_LAYOUT_SIX_CHANNELS = 3
} OrvChannelLayout_enum;

/* Layout of the pixels a host hands in. Only RGBA32 and BGRA32 are encoded. */
typedef enum OrvSrcPixFmt_enum {
    ORV_SRC_PIX_FMT_RGB24 = 0,   /* 3 bytes per pixel */
    ORV_SRC_PIX_FMT_RGBA32 = 1,  /* R, G, B, A */
    ORV_SRC_PIX_FMT_BGR24 = 2,   /* 3 bytes per pixel */
    ORV_SRC_PIX_FMT_BGRA32 = 3,  /* B, G, R, A */
    ORV_SRC_PIX_FMT_RGB96 = 4,   /* three 32-bit float channels */
    ORV_SRC_PIX_FMT_RGBA128 = 5  /* four 32-bit float channels */
} OrvSrcPixFmt_enum;

/* ---- Records ------------------------------------------------------------ */

typedef struct OrvEncoderParams_st {
    /* Worker threads of the session; 0: the hardware thread count (8 if unknown). */
    uint32_t numThreads;
} OrvEncoderParams_st;

/* Initialise with orvInitVideoStreamParams, then set at least width, height,
 * timebaseNum and timebaseDen. */
typedef struct OrvVideoStreamParams_st {
    uint32_t width;
    uint32_t height;
    double aspectRatio;       /* checked (0.01 to 10.0), stored nowhere */
    int64_t timebaseNum;      /* frame pts count in timebaseNum/timebaseDen seconds */
    int64_t timebaseDen;
    uint32_t format;          /* OrvPixFmt_enum */
    int64_t fpsNum;
    int64_t fpsDen;
    uint32_t compression;     /* OrvCompression_enum */
    uint32_t reserved;
    uint32_t compressionHint; /* LZ4: 0 fast, 1 default, 2 max */
    uint32_t maxParallel;     /* frames in flight before orvEncodeFrame waits */
    uint32_t device;          /* must be 1 */
} OrvVideoStreamParams_st;

typedef struct OrvAudioStreamParams_st {
    uint32_t sampleRate;
    uint32_t numChannels;     /* 1 to 32767 */
    uint32_t channelLayout;   /* OrvChannelLayout_enum */
    int64_t timebaseNum;      /* logged only */
    int64_t timebaseDen;
} OrvAudioStreamParams_st;

/* One frame for orvEncodeFrame. Video reads width to origin, pts and buffer;
 * audio reads numSamples and buffer (planar 32-bit float, channel 0 first). */
typedef struct OrvSrcFrame_st {
    uint32_t width;
    uint32_t height;
    uint32_t stride;          /* bytes between pixel rows of buffer */
    uint32_t pixFmt;          /* OrvSrcPixFmt_enum */
    uint32_t origin;          /* 0: first row is the top; 1: it is the bottom */
    uint32_t numSamples;      /* samples per channel */
    int64_t pts;              /* in the stream's time base */
    OrvBuffer_st* buffer;
} OrvSrcFrame_st;

/* A thumbnail picture. Nothing in the library reads it. */
typedef struct OrvThumbnail_st {
    uint32_t width;
    uint32_t height;
    uint32_t stride;
    uint32_t pixFmt;          /* OrvSrcPixFmt_enum */
    OrvBuffer_st* buffer;
} OrvThumbnail_st;

/* ---- Session-free functions --------------------------------------------- */

/* The fixed text of a code; "unknown error" for any value above 13. */
ORV_API const char* orvErrorStr(OrvError_enum code);
/* "1.0.0". */
ORV_API const char* orvLinkedVersion(void);
/* Each returns 1. */
ORV_API int orvGetAvailableEncodeDevices(void);
ORV_API int orvGetNumSupportedVideoStreams(void);
ORV_API int orvGetNumSupportedAudioStreams(void);
/* Sets the defaults: LZ4, hint 1, maxParallel 16, device 1, aspect 1.0; all
 * else 0. Does nothing for NULL. */
ORV_API void orvInitVideoStreamParams(OrvVideoStreamParams_st* params);
/* Sets every field to 0. Does nothing for NULL. */
ORV_API void orvInitAudioStreamParams(OrvAudioStreamParams_st* params);
/* Accepted and ignored: thumbnails are not stored. Returns 0. */
ORV_API OrvError_enum orvAddThumbnail(OrvEnc* encoder, const OrvThumbnail_st* thumbnail);

/* ---- Client buffers ----------------------------------------------------- */

/* A new buffer of size bytes (uncleared), or NULL when memory runs out.
 * The caller owns it until it hands it to an accepted video frame. Large
 * buffers (64 KiB and up) the library or the host has freed are reused for
 * the next ones of their size, so that a stream's steady state costs no
 * page faults; with no stream open at most 32 MiB of them stay kept. */
ORV_API OrvBuffer_st* orvBufferAlloc(size_t size);
/* Frees the record and releases the data (kept for reuse when large); does
 * nothing for NULL. */
ORV_API void orvBufferFree(OrvBuffer_st* buffer);
/* The data (never NULL for a buffer, even of size 0); NULL for NULL. */
ORV_API void* orvBufferData(const OrvBuffer_st* buffer);
/* The size asked for; 0 for NULL. */
ORV_API size_t orvBufferSize(const OrvBuffer_st* buffer);

/* ---- Encoder session ----------------------------------------------------- */

/* Creates the file and writes the container header. ORV_ERR_OPEN_FILE when
 * the file cannot be created, ORV_ERR_IO or ORV_ERR_UNKNOWN when the header
 * cannot be written. Null arguments are refused before anything is created.
 * On failure *encoder is left untouched and no message is kept (there is no
 * session). */
ORV_API OrvError_enum orvEncoderOpen(const char* path, const OrvEncoderParams_st* params,
                                     OrvEnc** encoder);
/* Ends the active stream and closes every stream: the file is then complete.
 * Fails as orvEndStream does; a later call retries what is left. */
ORV_API OrvError_enum orvEncoderFinish(OrvEnc* encoder);
/* Finishes if needed and destroys the session. NULL is allowed. Returns 0. */
ORV_API OrvError_enum orvEncoderClose(OrvEnc* encoder);
/* ORV_ERR_TOO_MANY_STREAMS with two video streams already;
 * ORV_ERR_INVALID_DIMENSIONS for a side above 65535 or frames whose record
 * the file's 32-bit index could not describe; ORV_ERR_INVALID_TIMEBASE,
 * ORV_ERR_INVALID_ASPECT_RATIO, ORV_ERR_UNSUPPORTED_DEVICE and
 * ORV_ERR_UNKNOWN_ORV_COMPRESSION_FORMAT for those fields; ORV_ERR_UNKNOWN
 * for a side of 0, a format above 3, or a finished session. */
ORV_API OrvError_enum orvAddVideoStream(OrvEnc* encoder, const OrvVideoStreamParams_st* params,
                                        int* streamId);
/* ORV_ERR_TOO_MANY_STREAMS with two audio streams already; ORV_ERR_UNKNOWN
 * for 0 or more than 32767 channels, a layout that is unknown or does not
 * match the count, a sample rate of 0 or one whose byte rate (rate x
 * channels x 2) reaches 2^32, or a finished session. */
ORV_API OrvError_enum orvAddAudioStream(OrvEnc* encoder, const OrvAudioStreamParams_st* params,
                                        int* streamId);
/* A list ended by -1 ({RGBA32, BGRA32, -1} for video), or NULL for a NULL
 * encoder, an unknown id or an audio stream. */
ORV_API const int32_t* orvGetPreferredSrcPixFmts(OrvEnc* encoder, int streamId);
/* ORV_ERR_UNKNOWN while another stream is active, for an unknown id or a
 * stream already finished; the section header's write failure (ORV_ERR_IO).
 * A stream whose begin failed stays active until orvEndStream. */
ORV_API OrvError_enum orvBeginStream(OrvEnc* encoder, int streamId);
/* Video: when this returns 0 the frame's buffer belongs to the library, which
 * frees it; on any other result it stays the caller's. Audio: the samples are
 * consumed during the call and the buffer always stays the caller's.
 * ORV_ERR_UNKNOWN without an active stream, after the stream's end, for an
 * origin other than 0 or 1, and for audio without a buffer, with fewer
 * samples in the buffer than numSamples, or beyond the WAV's 4 GiB;
 * ORV_ERR_INVALID_DIMENSIONS for a video frame of another size, without a
 * buffer, or whose stride or buffer is too small. A video stream whose
 * frame failed earlier (a pixel format it cannot encode, a failed write or
 * allocation) answers every later frame with that failure's code. */
ORV_API OrvError_enum orvEncodeFrame(OrvEnc* encoder, const OrvSrcFrame_st* frame);
/* Hands the active video stream one frame already encoded: a whole frame
 * record of `size` bytes as orvReaderReadFrameRecord gives it, written with
 * `pts` in its turn among the stream's frames, without re-encoding. The
 * record must be one the stream could have written itself: its picture
 * size, slice grid, format and compression the stream's, every texture
 * sound. It is checked and copied during the call; the buffer always stays
 * the caller's. The call obeys the rules of orvEncodeFrame: it waits while
 * maxParallel frames are queued, and a stream whose frame failed earlier
 * answers with that failure's code. ORV_ERR_UNKNOWN without an active
 * stream, for an audio stream, after the stream's end, and for a record
 * that differs from the stream's or is damaged (the message says where);
 * ORV_ERR_INVALID_DIMENSIONS for a record of 4 GiB or more, which the
 * file's index cannot describe. */
ORV_API OrvError_enum orvEncodeFrameRecord(OrvEnc* encoder, const void* record, size_t size,
                                           int64_t pts);
/* ORV_ERR_UNKNOWN without an active stream; otherwise the stream's first
 * failure, if any of its frames or writes failed (ORV_ERR_IO for a write). */
ORV_API OrvError_enum orvEndStream(OrvEnc* encoder);
/* The last failure's message ("" before any, and for NULL); valid until the
 * next failing call. */
ORV_API const char* orvGetErrorMessage(OrvEnc* encoder);

/* ---- Decoder (stubs) ------------------------------------------------------
 * The decoding interface keeps its place but holds no decoder: orvDecoderOpen
 * returns ORV_ERR_OPEN_FILE, orvDecoderClose 0, the rest ORV_ERR_UNKNOWN. No
 * argument is read or written. */

ORV_API OrvError_enum orvDecoderOpen(const char* path, OrvDec** decoder);
ORV_API OrvError_enum orvDecoderClose(OrvDec* decoder);
ORV_API OrvError_enum orvNumSections(OrvDec* decoder, int* numSections);
ORV_API OrvError_enum orvGetSectionType(OrvDec* decoder, int section, int* sectionType);
ORV_API OrvError_enum orvGetThumbnailInfo(OrvDec* decoder, OrvThumbnail_st* info);
ORV_API OrvError_enum orvReadThumbnail(OrvDec* decoder, OrvThumbnail_st* thumbnail);
ORV_API OrvError_enum orvGetMetaSize(OrvDec* decoder, size_t* size);
ORV_API OrvError_enum orvReadMeta(OrvDec* decoder, void* data, size_t size);
ORV_API OrvError_enum orvGetVideoStreamInfo(OrvDec* decoder, int section,
                                            OrvVideoStreamParams_st* info);
ORV_API OrvError_enum orvGetAudioStreamInfo(OrvDec* decoder, int section,
                                            OrvAudioStreamParams_st* info);
ORV_API OrvError_enum orvOpenStream(OrvDec* decoder, int section);
ORV_API OrvError_enum orvCloseStream(OrvDec* decoder);
ORV_API OrvError_enum orvSeek(OrvDec* decoder, int64_t pts);
ORV_API OrvError_enum orvStep(OrvDec* decoder, int numFrames);
ORV_API OrvError_enum orvReadFrame(OrvDec* decoder, OrvSrcFrame_st* frame);
ORV_API OrvError_enum orvDecodeFrame(OrvDec* decoder, OrvSrcFrame_st* frame);
ORV_API void orvFreeFrame(OrvSrcFrame_st* frame);

#ifdef __cplusplus
}
#endif

#endif /* ORV_H */
