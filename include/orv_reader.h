/*
 * liborv's reader of ORV container files: the sections of a file, the frames
 * of its video sections as compressed GPU textures or as RGBA/BGRA pixels,
 * and the samples of its audio sections.
 *
 * The reader reads what a call needs with positioned reads and never the
 * whole file: opening costs memory in proportion to the frame index, reading
 * a frame in proportion to that frame. Damaged or hostile files are refused
 * with a message, never read outside their bytes.
 *
 * Conventions (those of orv.h): every function returns an OrvError_enum;
 * ORV_ERR_OPEN_FILE for a file that cannot be opened as an ORV file,
 * ORV_ERR_IO for a failed read, ORV_ERR_OUT_OF_MEMORY when memory runs out,
 * ORV_ERR_UNKNOWN_STREAM for a section number that names no section of the
 * kind asked for, ORV_ERR_UNKNOWN_PIXEL_FORMAT for an output layout other
 * than RGBA32 or BGRA32, ORV_ERR_INVALID_DIMENSIONS for a caller buffer too
 * small, ORV_ERR_UNKNOWN for anything else (damaged data, a frame or sample
 * out of range, a NULL argument). A refused call writes nothing to its
 * outputs, except that a frame or sample read that fails part-way may have
 * written part of the caller's buffer.
 *
 * Threads: after orvReaderOpen, every function but orvReaderClose may be
 * called on one handle from any number of threads at once; the handle's only
 * mutable state is the failure text, kept per calling thread. Nothing the
 * caller passes in is kept after a call returns. The reader starts no threads
 * of its own: a host spreads its work over cores by reading different frames
 * (a player prefetching ahead) on different threads.
 */
#ifndef ORV_READER_H
#define ORV_READER_H

#include "orv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* An open file, from orvReaderOpen to orvReaderClose. */
typedef struct OrvReader OrvReader;

/* ---- Enumerations -------------------------------------------------------- */

typedef enum OrvSectionKind_enum {
    ORV_SECTION_KIND_VIDEO = 0,
    ORV_SECTION_KIND_AUDIO = 1,
    ORV_SECTION_KIND_OTHER = 2 /* a section type this reader does not know */
} OrvSectionKind_enum;

/* GPU block-compressed texture formats, 4x4 pixel blocks. */
typedef enum OrvTextureFormat_enum {
    ORV_TEXTURE_BC1 = 0,       /* DXT1, 8 bytes per block */
    ORV_TEXTURE_BC3 = 1,       /* DXT5 RGBA, 16 bytes per block */
    ORV_TEXTURE_BC3_YCOCG = 2, /* DXT5 holding scaled YCoCg, 16 bytes per block */
    ORV_TEXTURE_BC4 = 3        /* one channel (alpha), 8 bytes per block */
} OrvTextureFormat_enum;

/* How orvReaderReadTextures lays a frame's textures out. */
typedef enum OrvTextureLayout_enum {
    /* Each slice's planes as stored, slice by slice (row by row from the
     * top), colour plane before alpha plane; a slice of the last column or
     * row covers padding beyond the picture. */
    ORV_TEXTURES_PER_SLICE = 0,
    /* One texture per plane covering the picture: ceil(width / 4) x
     * ceil(height / 4) blocks, the slices' blocks in their places. */
    ORV_TEXTURES_WHOLE_FRAME = 1
} OrvTextureLayout_enum;

/* ---- Records -------------------------------------------------------------- */

/* A used slot of the section table. */
typedef struct OrvReaderSection_st {
    uint32_t slot;       /* 0 to 15 */
    uint32_t kind;       /* OrvSectionKind_enum */
    uint32_t storedType; /* the type code in the table */
    uint64_t offset;     /* of the section's first byte in the file */
    uint64_t size;       /* bytes */
} OrvReaderSection_st;

typedef struct OrvReaderVideoInfo_st {
    uint32_t width;  /* pixels */
    uint32_t height;
    /* The slice grid, the output format and the coder are those of the
     * section's first frame (its first index entry), which every frame must
     * share. With no frame, or when the first frame cannot be read, they are
     * unknown: the grid fields are 0 and format and compression -1. */
    uint32_t sliceWidth; /* pixels, a multiple of 4 */
    uint32_t sliceHeight;
    uint32_t numColumns; /* ceil(width / sliceWidth) */
    uint32_t numRows;
    int32_t format;      /* OrvPixFmt_enum, or -1 */
    int32_t compression; /* OrvCompression_enum, or -1 */
    uint32_t frameCount;
    /* As stored, unchecked: a pts counts timebaseNum / timebaseDen seconds.
     * The encoder writes values from 1 to 2^63 - 1; others are possible in a
     * damaged file and orvReaderVerify reports them. */
    uint64_t timebaseNum;
    uint64_t timebaseDen;
    uint64_t fpsNum;
    uint64_t fpsDen;
} OrvReaderVideoInfo_st;

typedef struct OrvReaderAudioInfo_st {
    uint32_t sampleRate;
    uint32_t numChannels;
    uint32_t bitsPerSample; /* always 16 */
    uint64_t numSamples;    /* sample frames: samples per channel */
} OrvReaderAudioInfo_st;

/* Where one texture lies in the buffer of orvReaderReadTextures. */
typedef struct OrvReaderTexture_st {
    uint32_t format;     /* OrvTextureFormat_enum */
    uint32_t slice;      /* row by row from the top; 0 for a whole frame */
    uint32_t plane;      /* 0 colour, 1 alpha (BC4) */
    uint32_t x;          /* picture position of its top-left pixel */
    uint32_t y;
    uint32_t blocksWide;
    uint32_t blocksHigh;
    uint64_t offset;     /* of its first block in the buffer */
    uint64_t size;       /* blocksWide * blocksHigh * bytes per block */
} OrvReaderTexture_st;

/* Called by orvReaderVerify once per problem with one line of text, valid
 * during the call only. */
typedef void (*OrvReaderProblemFn)(void* user, const char* problem);

/* ---- Opening and closing ---------------------------------------------------- */

/* Opens the ORV file at path and reads its header, section table, section
 * headers and frame indexes. On success *reader is a new handle that the
 * caller owns until orvReaderClose. On failure *reader is left untouched and,
 * when message is not NULL and messageSize > 0, the reason is copied there
 * (cut to fit, always ended by a NUL). Files whose sections overlap are
 * refused. Safe from any thread. */
ORV_API OrvError_enum orvReaderOpen(const char* path, OrvReader** reader, char* message,
                                    size_t messageSize);
/* Closes the file and frees the handle; NULL is allowed. No other call on the
 * handle may run at the same time or follow. Returns 0. */
ORV_API OrvError_enum orvReaderClose(OrvReader* reader);
/* The text of the calling thread's last failed call on this handle ("" if
 * none), owned by the handle and valid until that thread's next failing call
 * on it or orvReaderClose. Failures of other threads never show here. */
ORV_API const char* orvReaderGetErrorMessage(OrvReader* reader);

/* ---- Sections ----------------------------------------------------------------- */

/* The number of used slots; sections are numbered 0 to count - 1 in slot
 * order, and every other function takes such a number. */
ORV_API OrvError_enum orvReaderGetNumSections(OrvReader* reader, uint32_t* count);
ORV_API OrvError_enum orvReaderGetSection(OrvReader* reader, uint32_t section,
                                          OrvReaderSection_st* info);
/* A video or audio section whose header is damaged is listed, but these
 * refuse it with the reason. */
ORV_API OrvError_enum orvReaderGetVideoInfo(OrvReader* reader, uint32_t section,
                                            OrvReaderVideoInfo_st* info);
ORV_API OrvError_enum orvReaderGetAudioInfo(OrvReader* reader, uint32_t section,
                                            OrvReaderAudioInfo_st* info);

/* ---- Time ------------------------------------------------------------------------ */

/* The pts of frame `frame` (index order), in the section's time base. */
ORV_API OrvError_enum orvReaderGetFramePts(OrvReader* reader, uint32_t section, uint32_t frame,
                                           int64_t* pts);
/* The frame to show at `time` (in the time base): the last frame, in pts
 * order, whose pts is at most time. The index need not be sorted; among
 * frames of equal pts the later index entry counts as later. A time before
 * every frame is refused. O(log n). */
ORV_API OrvError_enum orvReaderFindFrame(OrvReader* reader, uint32_t section, int64_t time,
                                         uint32_t* frame);

/* ---- Frames --------------------------------------------------------------------- */

/* The textures of every frame of a video section in `layout`: *numTextures
 * is set to their count, the first min(capacity, count) are written to
 * textures (which may be NULL when capacity is 0), and *bufferSize to the
 * bytes that orvReaderReadTextures needs. The same for every frame. */
ORV_API OrvError_enum orvReaderGetTextureLayout(OrvReader* reader, uint32_t section,
                                                uint32_t layout, OrvReaderTexture_st* textures,
                                                uint32_t capacity, uint32_t* numTextures,
                                                uint64_t* bufferSize);
/* Frame `frame`'s textures with the second stage undone, ready for a GPU
 * upload, into buffer (bufferSize bytes, at least what the layout says) as
 * orvReaderGetTextureLayout describes them. The buffer stays the caller's. */
ORV_API OrvError_enum orvReaderReadTextures(OrvReader* reader, uint32_t section, uint32_t frame,
                                            uint32_t layout, void* buffer, uint64_t bufferSize);
/* Frame `frame` decoded to width x height pixels of 4 bytes, pixFmt
 * ORV_SRC_PIX_FMT_RGBA32 or ORV_SRC_PIX_FMT_BGRA32, rows `stride` bytes
 * apart (at least 4 * width) from the top row (origin 0) or from the bottom
 * row (origin 1), in buffer of bufferSize bytes (at least stride * (height -
 * 1) + 4 * width). Formats without alpha give alpha 255. Bytes between rows
 * are not written. The buffer stays the caller's. */
ORV_API OrvError_enum orvReaderDecodeFrame(OrvReader* reader, uint32_t section, uint32_t frame,
                                           uint32_t pixFmt, uint32_t origin, void* buffer,
                                           size_t stride, size_t bufferSize);

/* Frame `frame`'s record as stored (its head with the slice directory, then
 * each slice's Hap frame with the second stage not undone), the form
 * orvEncodeFrameRecord takes to write the frame again without re-encoding.
 * *recordSize is set to its size. With buffer NULL that is all (a size
 * query, which checks the record's place and head); otherwise the record is
 * read into buffer (bufferSize bytes, at least its size) and checked as
 * orvReaderReadTextures checks a frame. The buffer stays the caller's. */
ORV_API OrvError_enum orvReaderReadFrameRecord(OrvReader* reader, uint32_t section, uint32_t frame,
                                               void* buffer, uint64_t bufferSize,
                                               uint64_t* recordSize);

/* ---- Audio ---------------------------------------------------------------------- */

/* Sample frames [first, first + count) of an audio section as stored:
 * interleaved signed 16-bit, count * numChannels values (samples may be NULL
 * when count is 0). */
ORV_API OrvError_enum orvReaderReadAudio(OrvReader* reader, uint32_t section, uint64_t first,
                                         uint64_t count, int16_t* samples);
/* The same samples as planar 32-bit floats, the encoder's input form: plane
 * c (count values) at samples + c * count, each value the stored one / 32768. */
ORV_API OrvError_enum orvReaderReadAudioFloat(OrvReader* reader, uint32_t section,
                                              uint64_t first, uint64_t count, float* samples);

/* ---- Checking a file ------------------------------------------------------------- */

/* Checks the whole file against everything the format promises, as written
 * by liborv: header, table and layout, every section header, every index
 * entry, every frame record with every texture undone (each distinct record
 * once), and the WAV image. Calls report (unless NULL) with each problem (the
 * header's and table's first, then section by section, frames in file
 * order) and sets *numProblems to their count; 0 for a sound file. A
 * failed read of the file stops the check with its error. Memory stays in
 * proportion to the index and the largest frame. */
ORV_API OrvError_enum orvReaderVerify(OrvReader* reader, OrvReaderProblemFn report, void* user,
                                      uint64_t* numProblems);

#ifdef __cplusplus
}
#endif

#endif /* ORV_READER_H */
