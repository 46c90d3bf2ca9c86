// The records that carry one video frame through the encoder: the source
// pixels of a slice, the frame in flight, and each slice's encoded textures.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "buffer_pool.hpp"

namespace brindle {

class OrvEncCompressor;
class OrvEncSecondaryCompressor;
struct OrvEncContext;
struct OrvEncFrame;
struct OrvEncSlice;
struct OrvEncTexture;

// A rectangle of source pixels. A value: every task holds its own copy and
// shares the buffer.
struct OrvSrcSlice {
    uint32_t x = 0;       // left edge in the frame, pixels
    uint32_t y = 0;       // top edge, counted from the top of the picture
    uint32_t width = 0;   // always the layout's sliceWidth
    uint32_t height = 0;  // always the layout's sliceHeight
    uint32_t stride = 0;  // bytes between rows of buffer
    uint32_t pixFmt = 0;  // OrvSrcPixFmt_enum
    SharedBuffer buffer;  // the frame's own buffer (zero-copy) or a copy
    size_t offset = 0;    // bytes from buffer's data to the slice's top-left pixel
};

// One texture plane of a slice. Written by one task at a time: the encode
// task, then the compress task, then read by the writer thread.
struct OrvEncTexture {
    uint32_t format = 0;  // OrvTexFmt
    OrvEncCompressor* encoder = nullptr;
    OrvEncSecondaryCompressor* secondaryCompressor = nullptr;
    uint32_t compression = 0;  // OrvCompression_enum of the stream
    uint64_t encodedSize = 0;
    SharedBuffer encoded;  // block data; dropped after secondary compression
    uint64_t compressedSize = 0;
    SharedBuffer compressed;  // the bytes that are written
    uint64_t encodeTime = 0;     // ns
    uint64_t compressTime = 0;   // ns
    // Asks the encode task for squaredError, the sum of squared differences
    // between the slice's pixels and the decoded texture; it feeds only the
    // status line, so it stays 0 while nobody reads the log.
    bool measureError = false;
    double squaredError = 0.0;
    // A task that failed on this texture leaves its reason here and the
    // texture without data; the stream turns it into its stored error.
    uint32_t errorCode = 0;
    std::string errorMessage;
};

using SliceCompletion =
    std::function<void(const std::shared_ptr<OrvEncFrame>&, OrvEncSlice&, OrvEncTexture&)>;

struct OrvEncSlice {
    SliceCompletion onCompleted;
    uint32_t numTextures = 0;        // 1 or 2
    uint32_t completedTextures = 0;  // guarded by the stream lock
    OrvEncTexture textures[2];
    uint64_t sliceTime = 0;  // ns spent copying the slice

    bool isCompleted() const { return completedTextures == numTextures; }
};

// A frame in flight, shared by the stream's queue, its tasks and the writer
// thread; the last holder frees its slices. `slices` is sized once before
// the first task is queued, so tasks may keep plain pointers into it. A frame
// handed in already encoded carries its whole record instead, and no slices:
// it is complete from the start.
struct OrvEncFrame {
    OrvEncCompressor* encoder = nullptr;
    OrvEncSecondaryCompressor* secondaryCompressor = nullptr;
    OrvEncContext* context = nullptr;
    // The host's pixels, until the frame is complete (guarded by the stream
    // lock from then on); slices that share them hold their own share.
    SharedBuffer srcBuffer;
    uint32_t pixFmt = 0;
    uint32_t origin = 0;  // 0 top-down, 1 bottom-up
    uint32_t stride = 0;
    uint32_t completedSlices = 0;  // guarded by the stream lock
    std::vector<OrvEncSlice> slices;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t sliceWidth = 0;
    uint32_t sliceHeight = 0;
    int64_t pts = 0;
    uint32_t frameNumber = 0;
    bool failed = false;  // a texture failed; guarded by the stream lock
    SharedBuffer record;  // the finished record, written as it is
};

}  // namespace brindle
