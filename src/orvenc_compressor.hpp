// The two compressor interfaces of the video pipeline: the primary one turns
// a slice into a block-compressed texture, the secondary one squeezes that
// texture once more. The tasks that run them, and `queue` of both, are the
// pipeline's and live with them.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>

#include "brindle.hpp"
#include "orvenc_frame.hpp"
#include "task_pool.hpp"

namespace brindle {

class CompressTask;
class EncodeTask;

class OrvEncCompressor {
public:
    virtual ~OrvEncCompressor() = default;
    // A list of OrvSrcPixFmt_enum values ended by -1.
    virtual const int32_t* getPreferredSrcPixFmts() const = 0;
    // Submits the encode task of one texture, built ahead, to the frame's
    // task pool once the slice's pixels are `src`. Cannot fail.
    virtual void queue(std::unique_ptr<EncodeTask> task, const OrvSrcSlice& src);
    // Fills texture.encoded, already sized by orvTexBufferSize, with the
    // blocks of the slice in format fmt. Throws OrvException.
    virtual void compress(const OrvSrcSlice& src, OrvTexFmt fmt, OrvEncTexture& texture) = 0;
};

class OrvEncSecondaryCompressor {
public:
    virtual ~OrvEncSecondaryCompressor() = default;
    // Submits the compress task of one texture, built ahead with its encode
    // task, to the frame's task pool. Cannot fail.
    virtual void queue(std::unique_ptr<CompressTask> task);
    // Fills texture.compressed and compressedSize from texture.encoded and
    // returns compressedSize. Throws OrvException.
    virtual uint64_t compress(OrvEncTexture& texture) = 0;
    // The most bytes compress() can give for `encodedSize` bytes of blocks:
    // what it allocates, and what a stream's record size check counts on.
    // UINT64_MAX when the coder cannot take that many bytes at all.
    virtual uint64_t maxCompressedSize(uint64_t encodedSize) const = 0;
};

// Runs the secondary compressor over a texture, then reports it done.
class CompressTask : public TaskPool::Task {
public:
    // Reserves its room on the frame's pool; throws std::bad_alloc.
    CompressTask(std::shared_ptr<OrvEncFrame> frame, OrvEncSlice* slice, OrvEncTexture* texture);
    void run() override;
    TaskPool& pool() const;

private:
    std::shared_ptr<OrvEncFrame> frame;
    OrvEncSlice* slice;
    OrvEncTexture* texture;
};

// Block-compresses a texture, then queues its compress task (or, failing,
// reports the texture done with its error).
class EncodeTask : public TaskPool::Task {
public:
    // Builds its compress task too, reserving room for both on the frame's
    // pool: once built, the texture's work is queued without allocating
    // and always ends by reporting the texture done. Throws std::bad_alloc.
    EncodeTask(std::shared_ptr<OrvEncFrame> frame, OrvEncSlice* slice, OrvEncTexture* texture);
    void run() override;
    TaskPool& pool() const;

    OrvSrcSlice src;  // the slice's pixels, set when the task is queued

private:
    std::shared_ptr<OrvEncFrame> frame;
    OrvEncSlice* slice;
    OrvEncTexture* texture;
    std::unique_ptr<CompressTask> next;
};

// Leaves a task's failure on the texture it was working on (message and
// code); the stream's completion count turns it into the stream's error.
// Never throws: a message that cannot be copied is left empty.
void recordTaskFailure(OrvEncTexture& texture, std::exception_ptr failure) noexcept;

}  // namespace brindle
