// brindle: the C++ helpers that liborv exports beside its C interface.
//
// They exist for liborv's own tools and tests (the diagnostic log, size
// rules, the slice-grid rule, the block encoders and decoders, the error
// metric). They are not a stable host API: hosts use orv.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "orv.h"

#define BRINDLE_API __attribute__((visibility("default")))

namespace brindle {

// ---- Errors -----------------------------------------------------------------

// Every refusal inside the library; the C layer turns it into `code` and
// stores what() as the session's message.
class BRINDLE_API OrvException : public std::runtime_error {
public:
    OrvException(const std::string& message, uint32_t code)
        : std::runtime_error(message), code(code) {}
    ~OrvException() override;

    uint32_t code;
};

// ---- Diagnostic log and clock --------------------------------------------------

// One process-wide log, standard error by default. Ordinary lines are
// "*** text\n"; the rolling status line "--- text" is overwritten in place.
BRINDLE_API void log(const char* format, ...) __attribute__((format(printf, 1, 2)));
BRINDLE_API void logRolling(const char* format, ...) __attribute__((format(printf, 1, 2)));
BRINDLE_API void logStopRolling();
// Sends the log to a new file; on failure the log stays where it was.
BRINDLE_API void logOpen(const char* path);
// Closes a log file and turns logging off (standard error included) until
// the next logOpen. Call it when no other thread logs.
BRINDLE_API void logClose();
// True while a rolling line is printed without its line end.
BRINDLE_API extern bool rolling;

// Nanoseconds on the monotonic clock since the whole second of the first call.
BRINDLE_API uint64_t ustclock_get();

// ---- Texture and source formats -------------------------------------------

enum OrvTexFmt : uint32_t {
    ORV_TEX_FMT_BC1_RGB = 0,
    ORV_TEX_FMT_BC3_RGBA = 1,
    ORV_TEX_FMT_BC3_YCOGR = 2,
    ORV_TEX_FMT_BC4_ALPHA = 3,
};

// Bytes of a texture of whole 4x4 blocks (partial edge blocks not counted),
// 32-bit wrapping arithmetic. Throws "unknown texture format" for fmt >= 4.
BRINDLE_API uint32_t orvTexBufferSize(OrvTexFmt fmt, unsigned width, unsigned height);
// Bytes of a tightly packed source image, 32-bit wrapping arithmetic.
// Throws "unknown source pixel format" for fmt >= 6.
BRINDLE_API uint32_t orvSrcBufferSize(OrvSrcPixFmt_enum fmt, unsigned width, unsigned height);

// ---- Slice grid ------------------------------------------------------------

struct BRINDLE_API OrvSliceLayout {
    OrvSliceLayout() = default;
    OrvSliceLayout(uint32_t sliceWidth, uint32_t sliceHeight, uint32_t numColumns,
                   uint32_t numRows)
        : sliceWidth(sliceWidth), sliceHeight(sliceHeight), numColumns(numColumns),
          numRows(numRows) {}

    uint32_t sliceWidth = 0;   // multiple of 4
    uint32_t sliceHeight = 0;  // multiple of 4
    uint32_t numColumns = 0;
    uint32_t numRows = 0;
};

// The grid of a stream: each side of 3072 pixels or more is divided into
// parts of about 2048. Throws "bad frame dimensions" for a zero side.
BRINDLE_API OrvSliceLayout orvPickSliceLayout(const OrvVideoStreamParams_st& params);

// ---- Block decoding and error metric ------------------------------------------

struct color {
    uint32_t r, g, b, a;
};

BRINDLE_API color operator+(int s, const color& c);
BRINDLE_API color operator+(const color& p, const color& q);
BRINDLE_API color operator*(int s, const color& c);
BRINDLE_API color operator/(const color& c, int s);

// Each decodes one block into 16 RGBA pixels (64 bytes, row-major).
BRINDLE_API void decodeBC1RGB(const uint8_t* block, uint8_t* out);
BRINDLE_API void decodeBC3RGBA(const uint8_t* block, uint8_t* out);
// Decodes the block and inverts scaled YCoCg: with Co, Cg the red and green
// less 128 and scale = (blue >> 3) + 1, R = Y + (Co - Cg) / scale,
// G = Y + Cg / scale, B = Y - (Co + Cg) / scale, each quotient rounded to
// nearest (halves up) and each channel clamped to 0..255; alpha 255.
BRINDLE_API void decodeBC3YCOGR(const uint8_t* block, uint8_t* out);
// The decoded alpha in all four bytes of each pixel.
BRINDLE_API void decodeBC4RGBA(const uint8_t* block, uint8_t* out);

namespace metrics {
// Sum of squared byte differences over n bytes (a multiple of 4), summed in
// 32 bits with wrap-around.
BRINDLE_API double squareErrorRGBA(const uint8_t* a, const uint8_t* b, unsigned n);
}  // namespace metrics

}  // namespace brindle

// ---- Block encoders ---------------------------------------------------------

extern "C" {

// Each writes one block of the 4x4 pixels at `block` (rows `stride` bytes
// apart, 4 bytes per pixel) to `dst` and returns the bytes written.
typedef int (*OrvBlockEncodeFn)(uint8_t* dst, ptrdiff_t stride, const uint8_t* block);

struct TextureDspEnc {
    OrvBlockEncodeFn dxt1_block;    // 8-byte BC1 of R, G, B
    OrvBlockEncodeFn dxt5_block;    // 16-byte BC3: alpha block, then colour block
    OrvBlockEncodeFn dxt5ys_block;  // 16-byte BC3 of the pixels in scaled YCoCg
};

BRINDLE_API void ff_texturedspenc_init(TextureDspEnc* dsp);

}  // extern "C"
