// The two compressor interfaces of the video pipeline: the primary one turns
// a slice into a block-compressed texture, the secondary one squeezes that
// texture once more. `queue` of both is the pipeline's and lives with it.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>

#include "brindle.hpp"
#include "orvenc_frame.hpp"

namespace brindle {

class OrvEncCompressor {
public:
    virtual ~OrvEncCompressor() = default;
    // A list of OrvSrcPixFmt_enum values ended by -1.
    virtual const int32_t* getPreferredSrcPixFmts() const = 0;
    // Submits the encode task of one texture to the frame's task pool.
    virtual void queue(std::shared_ptr<OrvEncFrame> frame, const OrvSrcSlice& src,
                       OrvEncSlice& slice, OrvEncTexture& texture);
    // Fills texture.encoded, already sized by orvTexBufferSize, with the
    // blocks of the slice in format fmt. Throws OrvException.
    virtual void compress(const OrvSrcSlice& src, OrvTexFmt fmt, OrvEncTexture& texture) = 0;
};

class OrvEncSecondaryCompressor {
public:
    virtual ~OrvEncSecondaryCompressor() = default;
    // Submits the compress task of one texture to the frame's task pool.
    virtual void queue(std::shared_ptr<OrvEncFrame> frame, OrvEncSlice& slice,
                       OrvEncTexture& texture);
    // Fills texture.compressed and compressedSize from texture.encoded and
    // returns compressedSize. Throws OrvException.
    virtual uint64_t compress(OrvEncTexture& texture) = 0;
    // The most bytes compress() can give for `encodedSize` bytes of blocks:
    // what it allocates, and what a stream's record size check counts on.
    // UINT64_MAX when the coder cannot take that many bytes at all.
    virtual uint64_t maxCompressedSize(uint64_t encodedSize) const = 0;
};

// Leaves a task's failure on the texture it was working on (message and
// code); the stream's completion count turns it into the stream's error.
void recordTaskFailure(OrvEncTexture& texture, std::exception_ptr failure);

}  // namespace brindle
