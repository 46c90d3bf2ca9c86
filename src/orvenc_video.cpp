#include "orvenc_video.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>
#include <vector>

#include "buffer_pool.hpp"
#include "frame_record.hpp"
#include "log.hpp"
#include "orv_format.hpp"
#include "orvenc_ffmpeg.hpp"
#include "orvenc_hap.hpp"
#include "orvenc_lz4.hpp"
#include "orvenc_none.hpp"
#include "orvenc_snappy.hpp"
#include "texture_formats.hpp"

namespace brindle {

namespace {

// The file stores frame and slice sizes in 16 bits.
constexpr uint32_t maxDimension = 0xFFFF;
// Recycling never keeps more frames' buffers than this, whatever maxParallel.
constexpr uint64_t maxKeptFrames = 256;
constexpr int slicePriority = 1;  // below encode (2) and compress (3)

OrvSliceLayout checkedLayout(const OrvVideoStreamParams_st& params) {
    OrvSliceLayout layout = orvPickSliceLayout(params);  // refuses a zero side first
    if (params.width > maxDimension || params.height > maxDimension)
        throw OrvException("frame dimensions too large", ORV_ERR_INVALID_DIMENSIONS);
    return layout;
}

std::unique_ptr<OrvEncSecondaryCompressor> makeSecondaryCompressor(
    const OrvVideoStreamParams_st& params) {
    switch (params.compression) {
        case ORV_COMPRESSION_NONE: return std::make_unique<OrvNoneCompressor>();
        case ORV_COMPRESSION_SNAPPY: return std::make_unique<OrvSnappyCompressor>(params);
        case ORV_COMPRESSION_LZ4: return std::make_unique<OrvLZ4Compressor>(params);
        default:
            throw OrvException("unknown compression format",
                               ORV_ERR_UNKNOWN_ORV_COMPRESSION_FORMAT);
    }
}

// A double truncated toward zero into an int; values that do not fit (a
// frame rate of 0/0, an absurd pts) give 0 instead of undefined behaviour.
int truncateToInt(double value) {
    if (!(std::fabs(value) < static_cast<double>(std::numeric_limits<int>::max()))) return 0;
    return static_cast<int>(value);
}

// Copies the slice's pixels, then queues one encode task per texture plane.
// The whole chain of the slice (its encode and compress tasks) is built,
// with room reserved on the pool, when the frame is taken in: once queued,
// a slice's work can only end in its completion, failed or not.
class SliceTask : public TaskPool::Task {
public:
    // The slice's textures must be set up. Throws std::bad_alloc.
    SliceTask(std::shared_ptr<OrvEncFrame> frame, OrvEncSlice* slice, const OrvEncSlicer* slicer)
        : Task(slicePriority), frame(std::move(frame)), slice(slice), slicer(slicer) {
        this->frame->context->pool.reserve(*this);
        for (uint32_t i = 0; i < slice->numTextures; ++i)
            encodeTasks[i] = std::make_unique<EncodeTask>(this->frame, slice, &slice->textures[i]);
    }

    void run() override {
        const uint64_t t0 = ustclock_get();
        std::exception_ptr failure;
        try {
            slicer->copy(*frame, src);
        } catch (...) {
            failure = std::current_exception();
        }
        slice->sliceTime = ustclock_get() - t0;
        if (failure) {
            // No texture can be made: each is completed without data so that
            // the frame still completes and the writer thread sees the failure.
            for (std::unique_ptr<EncodeTask>& task : encodeTasks) task.reset();
            recordTaskFailure(slice->textures[0], failure);
            for (uint32_t i = 0; i < slice->numTextures; ++i)
                slice->onCompleted(frame, *slice, slice->textures[i]);
            return;
        }
        for (uint32_t i = 0; i < slice->numTextures; ++i)
            slice->textures[i].encoder->queue(std::move(encodeTasks[i]), src);
    }

    OrvSrcSlice src;  // listed by the slicer once the frame owns its buffer

private:
    std::shared_ptr<OrvEncFrame> frame;
    OrvEncSlice* slice;
    const OrvEncSlicer* slicer;
    std::unique_ptr<EncodeTask> encodeTasks[2];
};

}  // namespace

// Writes one frame record: a directory of slice offsets, then one Hap frame
// per slice straight from the textures' compressed buffers.
class VideoFrameWriter : public OrvFrameWriter {
public:
    explicit VideoFrameWriter(std::shared_ptr<OrvEncFrame> frame) : frame(std::move(frame)) {
        assert(this->frame);
    }

    int64_t pts() const override { return frame->pts; }
    uint32_t frameNumber() const override { return frame->frameNumber; }

    void write(OrvIOSink& sink) const override {
        if (frame->record) {
            sink.write(frame->record->size, frame->record->data);
            return;
        }
        std::vector<uint64_t> sliceSizes;
        sliceSizes.reserve(frame->slices.size());
        for (const OrvEncSlice& slice : frame->slices) sliceSizes.push_back(hap.size(slice));
        // The record keeps the low 16 bits of each size.
        const FrameRecordSizes sizes{static_cast<uint16_t>(frame->width),
                                     static_cast<uint16_t>(frame->height),
                                     static_cast<uint16_t>(frame->sliceWidth),
                                     static_cast<uint16_t>(frame->sliceHeight)};
        const std::vector<uint8_t> header = frameRecordHeader(sizes, sliceSizes);
        sink.write(header.size(), header.data());
        for (const OrvEncSlice& slice : frame->slices) hap.write(slice, sink);
    }

private:
    std::shared_ptr<OrvEncFrame> frame;
    OrvHapWriter hap;
};

// ---- Setup -------------------------------------------------------------------

OrvEncVideoStream::OrvEncVideoStream(int id, const OrvVideoStreamParams_st& params,
                                     OrvEncContext& context)
    : OrvEncStream(id),
      width(params.width),
      height(params.height),
      layout(checkedLayout(params)),
      slicer(layout),
      format(params.format),
      compression(params.compression),
      timebaseNum(params.timebaseNum),
      timebaseDen(params.timebaseDen),
      fpsNum(params.fpsNum),
      fpsDen(params.fpsDen),
      context(context),
      maxParallel(params.maxParallel),
      writer(&context.writer) {
    if (timebaseNum < 1 || timebaseDen < 1)
        throw OrvException("invalid timebase", ORV_ERR_INVALID_TIMEBASE);
    // Written so that a NaN passes, as it always has.
    if (params.aspectRatio < 0.01 || params.aspectRatio > 10.0)
        throw OrvException("invalid aspect ratio", ORV_ERR_INVALID_ASPECT_RATIO);
    if (params.device != 1)
        throw OrvException("unsupported encode device", ORV_ERR_UNSUPPORTED_DEVICE);
    if (format > ORV_PIX_FMT_YCOCG_DXT5_ALPHA)
        throw OrvException("no encoder for format", ORV_ERR_UNKNOWN);
    encoder = std::make_unique<OrvFFMpegCompressor>(params);
    secondaryCompressor = makeSecondaryCompressor(params);
    // Sides fit 16 bits (checkedLayout), as the record stores them.
    recordLayout.sizes = {static_cast<uint16_t>(width), static_cast<uint16_t>(height),
                          static_cast<uint16_t>(layout.sliceWidth),
                          static_cast<uint16_t>(layout.sliceHeight)};
    recordLayout.grid = sliceGridOf(recordLayout.sizes);
    recordLayout.format = static_cast<OrvPixFmt_enum>(format);
    recordLayout.planes = texturePlanesOf(recordLayout.format);
    recordLayout.compression = static_cast<OrvCompression_enum>(compression);
    recordLayout.origin = "the stream";
    // The index keeps each record's size in 32 bits: a stream whose frames
    // might not fit is refused now, not after hours of encoding.
    if (worstCaseRecordSize() > UINT32_MAX)
        throw OrvException("frame record too large for the index", ORV_ERR_INVALID_DIMENSIONS);

    log("stream %u: %ux%u, slices: %ux%u, width: %u, height: %u, max parallel: %u, fps: %.2f, "
        "timebase: %d/%d",
        this->id, width, height, layout.numColumns, layout.numRows, layout.sliceWidth,
        layout.sliceHeight, maxParallel,
        static_cast<double>(fpsNum) / static_cast<double>(fpsDen),
        static_cast<int32_t>(timebaseNum), static_cast<int32_t>(timebaseDen));
}

OrvEncVideoStream::~OrvEncVideoStream() {
    std::unique_lock<std::mutex> guard(lock);
    if (writerThread.joinable()) {
        // Only reachable when close() never ran on a begun stream.
        finished = true;
        frameReady.notify_all();
        guard.unlock();
        writerThread.join();
        guard.lock();
    }
    // Tasks of queued frames still point at this stream and its compressors.
    auto allComplete = [this] {
        for (const std::shared_ptr<OrvEncFrame>& frame : frames)
            if (frame->completedSlices < frame->slices.size()) return false;
        return true;
    };
    frameReady.wait(guard, allComplete);
    frames.clear();  // complete but never written, after a failure
    encoder.reset();
    secondaryCompressor.reset();
    log("CPU time: slice: %.2fs, encode: %.2fs, compress: %.2f",
        static_cast<double>(sliceTime) / 1e9, static_cast<double>(encodeTime) / 1e9,
        static_cast<double>(compressTime) / 1e9);
}

uint64_t OrvEncVideoStream::worstCaseRecordSize() const {
    // A slice whose every texture came out of the second stage at its
    // coder's worst case, sized by the Hap writer itself.
    OrvEncSlice slice;
    const OrvTexturePlanes textures = texturePlanesOf(static_cast<OrvPixFmt_enum>(format));
    slice.numTextures = textures.count;
    for (uint32_t i = 0; i < textures.count; ++i) {
        const uint64_t encodedSize =
            orvTexBufferSize(textures.formats[i], layout.sliceWidth, layout.sliceHeight);
        const uint64_t bound = secondaryCompressor->maxCompressedSize(encodedSize);
        // A section of 4 GiB or more cannot be described at all; below
        // that, the sums that follow cannot overflow.
        if (bound > UINT32_MAX) return UINT64_MAX;
        slice.textures[i].compressedSize = bound;
    }
    const uint64_t numSlices = uint64_t{layout.numColumns} * layout.numRows;
    return frameRecordHeaderSize(numSlices) + numSlices * OrvHapWriter().size(slice);
}

uint64_t OrvEncVideoStream::bufferBytesPerFrame() const {
    // The host's picture and the slices' copies, then each texture's blocks
    // and its second stage's output, which together never exceed twice the
    // worst-case record. Sides fit 16 bits, and a stream whose record could
    // not be described was refused, so nothing here overflows.
    const uint64_t pixels = 4 * uint64_t{width} * height;
    const uint64_t slicePixels = 4 * uint64_t{layout.sliceWidth} * layout.sliceHeight *
                                 layout.numColumns * layout.numRows;
    return pixels + slicePixels + 2 * worstCaseRecordSize();
}

const int32_t* OrvEncVideoStream::getPreferredSrcPixFmts() const {
    return encoder->getPreferredSrcPixFmts();
}

void OrvEncVideoStream::begin() {
    OrvVideoHeader header;
    header.codec = kOrvVideoCodec;
    header.flags = kOrvVideoFlags;
    header.width = static_cast<uint16_t>(width);
    header.height = static_cast<uint16_t>(height);
    header.timebaseNum = static_cast<uint64_t>(timebaseNum);
    header.timebaseDen = static_cast<uint64_t>(timebaseDen);
    header.fpsNum = static_cast<uint64_t>(fpsNum);
    header.fpsDen = static_cast<uint64_t>(fpsDen);
    writer->beginSection(ORV_SECTION_VIDEO);
    sectionOpen = true;
    writer->writeVideoHeader(header);
    try {
        // Buffers in flight at most: those of every frame queued or being
        // written, of the one the host fills meanwhile and of one frame per
        // worker, and a few more for the hand-over. Freed ones are kept for
        // the next frames up to that many bytes, so that the steady state
        // takes no memory from the kernel.
        const uint64_t frames = std::min<uint64_t>(queueBound(), maxKeptFrames) + 2 + 2 +
                                context.pool.numWorkers();
        reservation = std::make_unique<BufferReservation>(frames * bufferBytesPerFrame());
        writerThread = std::thread(&OrvEncVideoStream::writerMain, this);
    } catch (const std::exception& e) {
        // Without its writer no frame could ever reach the file: the stream
        // keeps the failure, refuses every frame with it and reports it at
        // close.
        std::lock_guard<std::mutex> guard(lock);
        storeError(e.what(), ORV_ERR_UNKNOWN);
        throw;
    }
}

// ---- Frame intake ------------------------------------------------------------

void OrvEncVideoStream::waitForRoom(std::unique_lock<std::mutex>& guard) {
    if (finished) {
        log("encodeFrame called on closed stream");
        throw OrvException("end of stream reached", ORV_ERR_UNKNOWN);
    }
    if (errorCode != 0) throw OrvException(errorMessage, errorCode);
    // This bound is the stream's memory bound.
    const uint64_t bound = queueBound();
    while (frames.size() > bound) {
        queueSpace.wait(guard);
        if (errorCode != 0) throw OrvException(errorMessage, errorCode);
    }
}

void OrvEncVideoStream::encodeFrame(const OrvSrcFrame_st& src) {
    std::unique_lock<std::mutex> guard(lock);
    waitForRoom(guard);

    if (src.width != width || src.height != height)
        throw OrvException("frame dimensions do not match stream params",
                           ORV_ERR_INVALID_DIMENSIONS);
    if (src.origin >= 2) throw OrvException("bad origin on frame", ORV_ERR_UNKNOWN);
    if (src.buffer == nullptr)
        throw OrvException("frame has no buffer", ORV_ERR_INVALID_DIMENSIONS);
    const uint32_t bytesPerPixel = srcBytesPerPixel(src.pixFmt);
    if (bytesPerPixel != 0 && src.stride < uint64_t{bytesPerPixel} * src.width)
        throw OrvException("frame stride too small", ORV_ERR_INVALID_DIMENSIONS);
    if (orvBufferSize(src.buffer) < uint64_t{src.stride} * src.height)
        throw OrvException("frame buffer too small", ORV_ERR_INVALID_DIMENSIONS);

    // Everything the frame will need is allocated before the host's buffer
    // is taken: the frame, its slices, every task of their chains with its
    // room on the pool, and the frame's place in the queue. A failure up to
    // the adoption leaves the buffer with the host and the stream as it was;
    // after it nothing can fail, so no frame is ever left half-queued.
    auto frame = std::make_shared<OrvEncFrame>();
    frame->pixFmt = src.pixFmt;
    frame->origin = src.origin;
    frame->stride = src.stride;
    frame->width = src.width;
    frame->height = src.height;
    frame->pts = src.pts;
    frame->sliceWidth = layout.sliceWidth;
    frame->sliceHeight = layout.sliceHeight;
    frame->context = &context;
    frame->encoder = encoder.get();
    frame->secondaryCompressor = secondaryCompressor.get();
    const size_t numSlices = size_t{layout.numColumns} * layout.numRows;
    frame->slices.resize(numSlices);
    std::vector<OrvSrcSlice> sources;
    sources.reserve(numSlices);  // so that listing the slices cannot fail
    std::vector<std::unique_ptr<SliceTask>> sliceTasks;
    sliceTasks.reserve(numSlices);
    for (OrvEncSlice& slice : frame->slices) {
        prepareSlice(slice);
        sliceTasks.push_back(std::make_unique<SliceTask>(frame, &slice, &slicer));
    }
    frames.push_back(frame);
    try {
        frame->srcBuffer = adoptBuffer(src.buffer);
    } catch (...) {
        frames.pop_back();
        throw;
    }

    frame->frameNumber = nextFrameNumber++;
    slicer.pickSlices(*frame, sources);
    assert(sources.size() == numSlices);
    for (size_t i = 0; i < numSlices; ++i) {
        sliceTasks[i]->src = sources[i];
        context.pool.addTask(std::move(sliceTasks[i]));
    }
}

uint64_t OrvEncVideoStream::queueBound() const {
    // maxParallel + 1 frames may be queued, plus the one being written; a
    // value of 2^31 or more reads as negative, widens to a huge count and
    // never blocks.
    return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(maxParallel)));
}

void OrvEncVideoStream::encodeFrameRecord(std::span<const uint8_t> record, int64_t pts) {
    {
        std::unique_lock<std::mutex> guard(lock);
        waitForRoom(guard);
    }
    if (record.size() > UINT32_MAX)
        throw OrvException("frame record too large for the index", ORV_ERR_INVALID_DIMENSIONS);
    // Checked and copied without the lock, so that the writer thread and the
    // workers go on meanwhile: the stream's layout never changes.
    try {
        checkFrameRecord(record, 0, width, height, recordLayout);
    } catch (const OrvException& error) {
        throw OrvException(std::string("invalid frame record: ") + error.what(), error.code);
    }
    auto frame = std::make_shared<OrvEncFrame>();
    frame->record = allocSharedBuffer(record.size());
    std::memcpy(frame->record->data, record.data(), record.size());
    frame->width = width;
    frame->height = height;
    frame->pts = pts;

    std::unique_lock<std::mutex> guard(lock);
    // Only the host queues frames, so the room found above is still there;
    // the writer thread may have failed meanwhile.
    waitForRoom(guard);
    frames.push_back(frame);
    frame->frameNumber = nextFrameNumber++;
    frameReady.notify_all();  // complete from the start: the writer may take it
}

void OrvEncVideoStream::prepareSlice(OrvEncSlice& slice) {
    slice.completedTextures = 0;
    slice.onCompleted = [this](const std::shared_ptr<OrvEncFrame>& f, OrvEncSlice& s,
                               OrvEncTexture& t) { onTextureCompleted(f, s, t); };
    // The format was checked when the stream was set up.
    const OrvTexturePlanes textures = texturePlanesOf(static_cast<OrvPixFmt_enum>(format));
    slice.numTextures = textures.count;
    for (uint32_t i = 0; i < textures.count; ++i) {
        OrvEncTexture& texture = slice.textures[i];
        texture.format = textures.formats[i];
        texture.encoder = encoder.get();
        texture.secondaryCompressor = secondaryCompressor.get();
        texture.compression = compression;
        // Read only by the status line: measured while the log is on.
        texture.measureError = logEnabled();
    }
}

void OrvEncVideoStream::onTextureCompleted(const std::shared_ptr<OrvEncFrame>& frame,
                                           OrvEncSlice& slice, OrvEncTexture& texture) {
    std::lock_guard<std::mutex> guard(lock);
    assert(slice.completedTextures < slice.numTextures);
    ++slice.completedTextures;
    if (texture.errorCode != 0) {
        frame->failed = true;
        storeError(texture.errorMessage.c_str(), texture.errorCode);
        queueSpace.notify_all();  // a host waiting for space hears of it at once
    }
    if (slice.completedTextures < slice.numTextures) return;
    assert(frame->completedSlices < frame->slices.size());
    if (++frame->completedSlices < frame->slices.size()) return;
    // Only the textures are written: the host's pixels go now rather than
    // after the frame has waited its turn, and their buffer can serve one of
    // the host's next frames.
    frame->srcBuffer.reset();
    frameReady.notify_all();
}

void OrvEncVideoStream::storeError(const char* message, uint32_t code) noexcept {
    // The first failure is the one the host hears of; later ones follow from it.
    if (errorCode != 0) return;
    errorCode = code;
    try {
        errorMessage = message;
    } catch (...) {
        errorMessage.clear();  // the code alone still fails every later call
    }
}

// ---- Writer thread -----------------------------------------------------------

std::shared_ptr<OrvFrameWriter> OrvEncVideoStream::getFrame() {
    std::shared_ptr<OrvEncFrame> frame;
    {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            if (frames.empty() && finished) break;
            // Only the first frame counts: later frames wait for it.
            if (!frames.empty() && frames.front()->completedSlices == frames.front()->slices.size()) {
                frame = frames.front();
                break;
            }
            frameReady.wait(guard);
        }
        if (frame) {
            // A failed frame stays queued and nothing after it is written; the
            // stream's stored error says why.
            if (frame->failed) throw OrvException(errorMessage, errorCode);
            frames.pop_front();
            queueSpace.notify_all();
        }
    }
    if (!frame) {
        logStopRolling();
        return nullptr;
    }
    addStatistics(*frame);
    return std::make_shared<VideoFrameWriter>(std::move(frame));
}

void OrvEncVideoStream::addStatistics(const OrvEncFrame& frame) {
    double squaredError = 0.0;
    uint64_t compressedBytes = 0;
    uint64_t encodedBytes = 0;
    for (const OrvEncSlice& slice : frame.slices) {
        sliceTime += slice.sliceTime;
        for (uint32_t i = 0; i < slice.numTextures; ++i) {
            const OrvEncTexture& texture = slice.textures[i];
            encodeTime += texture.encodeTime;
            compressTime += texture.compressTime;
            squaredError += texture.squaredError;
            compressedBytes += texture.compressedSize;
            encodedBytes += texture.encodedSize;
        }
    }
    const double mse = squaredError / static_cast<double>(uint32_t{width * height * 4});
    const double rmse = std::sqrt(mse);
    const double psnr = mse > 0 ? 20.0 * std::log10(255.0 / rmse) : 99.0;
    // A frame handed in already encoded has no textures of this stream.
    if (encodedBytes > 0) {
        const double saving =
            1.0 - static_cast<double>(compressedBytes) / static_cast<double>(encodedBytes);
        compressionAverage =
            compressionAverage >= 0 ? 0.999 * compressionAverage + 0.001 * saving : saving;
    }

    double t = static_cast<double>(frame.pts) *
               (static_cast<double>(timebaseNum) / static_cast<double>(timebaseDen));
    const double fps = static_cast<double>(fpsNum) / static_cast<double>(fpsDen);
    const int h = truncateToInt(t / 3600);
    t -= h * 3600.0;
    const int m = truncateToInt(t / 60);
    t -= m * 60.0;
    const int s = truncateToInt(t);
    const int f = truncateToInt((t - s) * fps);
    char timeText[64];
    std::snprintf(timeText, sizeof timeText, "%02d:%02d:%02d.%02d", h, m, s, f);
    logRolling("time: %s, frame: %4lu, compression: %5.2f%%, psnr: %6.2fdB, rmse: %6.2f",
               timeText, static_cast<unsigned long>(frame.frameNumber),
               compressionAverage * 100, psnr, rmse);
}

void OrvEncVideoStream::writerMain() {
    nameCurrentThread("orv-writer");
    try {
        while (std::shared_ptr<OrvFrameWriter> frame = getFrame()) {
            writer->writeFrame(*frame);
        }
    } catch (const OrvException& e) {
        std::lock_guard<std::mutex> guard(lock);
        storeError(e.what(), e.code);
        queueSpace.notify_all();
    } catch (...) {
        std::lock_guard<std::mutex> guard(lock);
        storeError("unknown error", ORV_ERR_UNKNOWN);
        queueSpace.notify_all();
    }
}

void OrvEncVideoStream::close() {
    {
        std::lock_guard<std::mutex> guard(lock);
        log("close called with %u frames still queued", static_cast<unsigned>(frames.size()));
        if (finished) return;
        finished = true;
        frameReady.notify_all();
        log("waiting for writer thread to join");
    }
    // The writer thread writes every queued frame, each once it is complete,
    // before it ends: the whole stream is in the file when the join returns.
    if (writerThread.joinable()) writerThread.join();
    reservation.reset();  // the stream's buffers are freed by now
    std::exception_ptr sectionFailure;
    try {
        // A begin() refused before its section opened leaves none to end
        // (and the section in progress, if any, is not this stream's).
        if (sectionOpen) writer->endSection();
    } catch (...) {
        sectionFailure = std::current_exception();
    }
    // Frames lost to a failed task or write must not pass for success. The
    // first failure is reported: a full disk that broke a frame also breaks
    // the end of the section.
    std::lock_guard<std::mutex> guard(lock);
    if (errorCode != 0) throw OrvException(errorMessage, errorCode);
    if (sectionFailure) std::rethrow_exception(sectionFailure);
}

}  // namespace brindle
