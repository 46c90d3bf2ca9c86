// The encode and compress tasks of the frame pipeline: each texture is first
// block-compressed, then squeezed by the second stage, then reported done.
#include "orvenc_compressor.hpp"

#include <exception>
#include <memory>
#include <utility>

#include "buffer_pool.hpp"
#include "orvenc_stream.hpp"
#include "task_pool.hpp"
#include "texture_quality.hpp"

namespace brindle {

namespace {

// Compress tasks run before encode tasks, encode tasks before slice tasks, so
// that started textures finish before new slices begin.
constexpr int encodePriority = 2;
constexpr int compressPriority = 3;
constexpr uint32_t errorSampleRowStep = 8;

void reportCompleted(const std::shared_ptr<OrvEncFrame>& frame, OrvEncSlice& slice,
                     OrvEncTexture& texture) {
    if (slice.onCompleted) slice.onCompleted(frame, slice, texture);
}

}  // namespace

EncodeTask::EncodeTask(std::shared_ptr<OrvEncFrame> frame, OrvEncSlice* slice,
                       OrvEncTexture* texture)
    : Task(encodePriority), frame(std::move(frame)), slice(slice), texture(texture) {
    // A throw below releases what was reserved: the base and `next` are
    // destroyed with the unfinished task.
    pool().reserve(*this);
    next = std::make_unique<CompressTask>(this->frame, slice, texture);
}

TaskPool& EncodeTask::pool() const { return frame->context->pool; }

void EncodeTask::run() {
    const uint64_t t0 = ustclock_get();
    try {
        const uint32_t size =
            orvTexBufferSize(static_cast<OrvTexFmt>(texture->format), src.width, src.height);
        texture->encoded = allocSharedBuffer(size);
        texture->encodedSize = size;
        const OrvTexFmt format = static_cast<OrvTexFmt>(texture->format);
        texture->encoder->compress(src, format, *texture);
        // Measured while the slice's pixels are still held, on every
        // eighth row of blocks: the status line's PSNR is an estimate,
        // and a full measurement would cost a fifth of the encode itself.
        texture->squaredError =
            textureSquaredError(src, format, texture->encoded->data, errorSampleRowStep);
    } catch (...) {
        recordTaskFailure(*texture, std::current_exception());
    }
    texture->encodeTime = ustclock_get() - t0;
    // A copied slice's pixels are freed once every texture of it is encoded.
    src.buffer.reset();
    if (texture->errorCode != 0) {
        texture->encoded.reset();
        next.reset();
        reportCompleted(frame, *slice, *texture);
        return;
    }
    texture->secondaryCompressor->queue(std::move(next));
}

CompressTask::CompressTask(std::shared_ptr<OrvEncFrame> frame, OrvEncSlice* slice,
                           OrvEncTexture* texture)
    : Task(compressPriority), frame(std::move(frame)), slice(slice), texture(texture) {
    pool().reserve(*this);
}

TaskPool& CompressTask::pool() const { return frame->context->pool; }

void CompressTask::run() {
    const uint64_t t0 = ustclock_get();
    try {
        texture->secondaryCompressor->compress(*texture);
    } catch (...) {
        recordTaskFailure(*texture, std::current_exception());
        texture->compressed.reset();
        texture->compressedSize = 0;
    }
    texture->compressTime = ustclock_get() - t0;
    texture->encoded.reset();
    reportCompleted(frame, *slice, *texture);
}

void recordTaskFailure(OrvEncTexture& texture, std::exception_ptr failure) noexcept {
    // The exception, kept alive by `failure`, owns the text.
    const char* message = "unknown error";
    uint32_t code = ORV_ERR_UNKNOWN;
    try {
        std::rethrow_exception(failure);
    } catch (const OrvException& e) {
        message = e.what();
        code = e.code;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
    }
    texture.errorCode = code;
    try {
        texture.errorMessage = message;
    } catch (...) {
        texture.errorMessage.clear();  // the code alone still fails the frame
    }
}

void OrvEncCompressor::queue(std::unique_ptr<EncodeTask> task, const OrvSrcSlice& src) {
    task->src = src;
    TaskPool& pool = task->pool();
    pool.addTask(std::move(task));
}

void OrvEncSecondaryCompressor::queue(std::unique_ptr<CompressTask> task) {
    TaskPool& pool = task->pool();
    pool.addTask(std::move(task));
}

}  // namespace brindle
