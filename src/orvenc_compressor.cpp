// The encode and compress tasks of the frame pipeline: each texture is first
// block-compressed, then squeezed by the second stage, then reported done.
#include "orvenc_compressor.hpp"

#include <exception>
#include <memory>
#include <utility>

#include "buffer_pool.hpp"
#include "orvenc_stream.hpp"
#include "task_pool.hpp"

namespace brindle {

namespace {

// Compress tasks run before encode tasks, encode tasks before slice tasks, so
// that started textures finish before new slices begin.
constexpr int encodePriority = 2;
constexpr int compressPriority = 3;

void reportCompleted(const std::shared_ptr<OrvEncFrame>& frame, OrvEncSlice& slice,
                     OrvEncTexture& texture) {
    if (slice.onCompleted) slice.onCompleted(frame, slice, texture);
}

class EncodeTask : public TaskPool::Task {
public:
    EncodeTask(std::shared_ptr<OrvEncFrame> frame, const OrvSrcSlice& src, OrvEncSlice* slice,
               OrvEncTexture* texture)
        : Task(encodePriority), frame(std::move(frame)), src(src), slice(slice),
          texture(texture) {}

    void run() override {
        const uint64_t t0 = ustclock_get();
        try {
            const uint32_t size =
                orvTexBufferSize(static_cast<OrvTexFmt>(texture->format), src.width, src.height);
            texture->encoded = allocSharedBuffer(size);
            texture->encodedSize = size;
            texture->encoder->compress(src, static_cast<OrvTexFmt>(texture->format), *texture);
        } catch (...) {
            recordTaskFailure(*texture, std::current_exception());
        }
        texture->encodeTime = ustclock_get() - t0;
        // A copied slice's pixels are freed once every texture of it is encoded.
        src.buffer.reset();
        if (texture->errorCode != 0) {
            texture->encoded.reset();
            reportCompleted(frame, *slice, *texture);
            return;
        }
        texture->secondaryCompressor->queue(frame, *slice, *texture);
    }

private:
    std::shared_ptr<OrvEncFrame> frame;
    OrvSrcSlice src;
    OrvEncSlice* slice;
    OrvEncTexture* texture;
};

class CompressTask : public TaskPool::Task {
public:
    CompressTask(std::shared_ptr<OrvEncFrame> frame, OrvEncSlice* slice, OrvEncTexture* texture)
        : Task(compressPriority), frame(std::move(frame)), slice(slice), texture(texture) {}

    void run() override {
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

private:
    std::shared_ptr<OrvEncFrame> frame;
    OrvEncSlice* slice;
    OrvEncTexture* texture;
};

}  // namespace

void recordTaskFailure(OrvEncTexture& texture, std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const OrvException& e) {
        texture.errorCode = e.code;
        texture.errorMessage = e.what();
    } catch (const std::exception& e) {
        texture.errorCode = ORV_ERR_UNKNOWN;
        texture.errorMessage = e.what();
    } catch (...) {
        texture.errorCode = ORV_ERR_UNKNOWN;
        texture.errorMessage = "unknown error";
    }
}

void OrvEncCompressor::queue(std::shared_ptr<OrvEncFrame> frame, const OrvSrcSlice& src,
                             OrvEncSlice& slice, OrvEncTexture& texture) {
    TaskPool& pool = frame->context->pool;
    pool.addTask(std::make_unique<EncodeTask>(std::move(frame), src, &slice, &texture));
}

void OrvEncSecondaryCompressor::queue(std::shared_ptr<OrvEncFrame> frame, OrvEncSlice& slice,
                                      OrvEncTexture& texture) {
    TaskPool& pool = frame->context->pool;
    pool.addTask(std::make_unique<CompressTask>(std::move(frame), &slice, &texture));
}

}  // namespace brindle
