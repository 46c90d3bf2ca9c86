// A video stream: validates its parameters, slices every frame, encodes the
// slices on the session's task pool and writes finished frames in acceptance
// order from its own writer thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "brindle.hpp"
#include "frame_record.hpp"
#include "orv.h"
#include "orvenc_compressor.hpp"
#include "orvenc_frame.hpp"
#include "orvenc_slicer.hpp"
#include "orvenc_stream.hpp"
#include "orvwriter.hpp"

namespace brindle {

class OrvEncVideoStream : public OrvEncStream {
public:
    // Throws OrvException on bad parameters; nothing is written.
    OrvEncVideoStream(int id, const OrvVideoStreamParams_st& params, OrvEncContext& context);
    // Waits for the tasks of frames still queued, then releases them unwritten.
    ~OrvEncVideoStream() override;

    uint32_t getType() const override { return 0; }
    const int32_t* getPreferredSrcPixFmts() const override;
    // Writes the video section header and starts the writer thread.
    void begin() override;
    // Takes the frame (and, once accepted, its buffer) and queues its slices.
    // Blocks while more than maxParallel frames are queued.
    void encodeFrame(const OrvSrcFrame_st& frame) override;
    // Checks the record against the stream's own layout as a reader would,
    // copies it and queues it behind the frames before it, with the same
    // back-pressure as encodeFrame.
    void encodeFrameRecord(std::span<const uint8_t> record, int64_t pts) override;
    // Drains and joins the writer thread and ends the section; then reports
    // a failure of the writer thread or of a task, if there was one.
    void close() override;

    const OrvSliceLayout& getLayout() const { return layout; }

private:
    friend class VideoFrameWriter;

    // Sets up a new slice's textures and completion for the stream's format.
    void prepareSlice(OrvEncSlice& slice);
    void onTextureCompleted(const std::shared_ptr<OrvEncFrame>& frame, OrvEncSlice& slice,
                            OrvEncTexture& texture);
    void writerMain();
    std::shared_ptr<OrvFrameWriter> getFrame();
    void addStatistics(const OrvEncFrame& frame);
    void storeError(const char* message, uint32_t code) noexcept;  // caller holds lock
    uint64_t queueBound() const;  // frames queued beyond which encodeFrame waits
    // Refuses a frame to a closed or failed stream, then waits while the
    // queue is full; the caller holds the lock through `guard`.
    void waitForRoom(std::unique_lock<std::mutex>& guard);
    // Bytes of the largest frame record the stream can write.
    uint64_t worstCaseRecordSize() const;
    // Bytes of the library's and the host's buffers one frame can hold.
    uint64_t bufferBytesPerFrame() const;

    uint32_t width;
    uint32_t height;
    OrvSliceLayout layout;
    StreamLayout recordLayout;  // what every record of the stream holds
    OrvEncSlicer slicer;
    uint32_t format;
    uint32_t compression;
    int64_t timebaseNum;
    int64_t timebaseDen;
    int64_t fpsNum;
    int64_t fpsDen;
    OrvEncContext& context;
    std::unique_ptr<OrvEncCompressor> encoder;
    std::unique_ptr<OrvEncSecondaryCompressor> secondaryCompressor;

    // Guards finished, frames, nextFrameNumber, errorMessage, errorCode and
    // the completion counts of every queued frame. Taken before the pool's
    // lock and the log's lock, never after.
    std::mutex lock;
    std::string errorMessage;
    uint32_t errorCode = 0;  // first failure of a task or of the writer thread
    std::condition_variable frameReady;  // a frame completed, or the stream closed
    std::condition_variable queueSpace;  // the writer took a frame, or failed
    uint32_t nextFrameNumber = 0;
    std::deque<std::shared_ptr<OrvEncFrame>> frames;
    uint32_t maxParallel;  // compared as a signed 32-bit value

    // Written only by the writer thread; read after it has been joined.
    uint64_t sliceTime = 0;
    uint64_t encodeTime = 0;
    uint64_t compressTime = 0;
    double compressionAverage = -1.0;

    OrvWriter* writer;
    bool sectionOpen = false;  // begin() opened the stream's section
    // From begin() until the writer thread has been joined: keeps the buffers
    // of written frames for the next ones.
    std::unique_ptr<BufferReservation> reservation;
    std::thread writerThread;
};

}  // namespace brindle
