// The byte buffer record behind OrvBuffer_st, and shared ownership of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "orv.h"

// Owns `data`: size bytes from the C heap (one byte when size is 0, so data
// is never null in a constructed buffer), not cleared. Large buffers (64 KiB
// and up) are recycled: freed, their data is kept for the next buffer of the
// same size class (whole 4 KiB pages), within the bounds that streams
// reserve (BufferReservation), so that a stream in its steady state neither
// returns memory to the kernel nor has it faulted in again.
struct OrvBuffer_st {
    explicit OrvBuffer_st(size_t size);  // throws "failed to allocate memory" (13)
    ~OrvBuffer_st();
    OrvBuffer_st(const OrvBuffer_st&) = delete;
    OrvBuffer_st& operator=(const OrvBuffer_st&) = delete;

    size_t size;
    uint8_t* data;
};

namespace brindle {

// Inside the library buffers are shared; the last holder frees the record and
// its data exactly as orvBufferFree does.
using SharedBuffer = std::shared_ptr<OrvBuffer_st>;

// Takes over a buffer made by orvBufferAlloc (a host's frame buffer). If this
// throws, the buffer is still the caller's.
SharedBuffer adoptBuffer(OrvBuffer_st* buffer);
// A new shared buffer; throws "failed to allocate memory" (13) when the heap
// cannot provide it.
SharedBuffer allocSharedBuffer(size_t size);

// While it lives, up to `bytes` more of freed large buffers are kept for
// reuse (reservations add up). A video stream holds one for the buffers it
// can have in flight. Beyond the reservations, at most 32 MiB stay kept.
class BufferReservation {
public:
    explicit BufferReservation(uint64_t bytes);
    ~BufferReservation();
    BufferReservation(const BufferReservation&) = delete;
    BufferReservation& operator=(const BufferReservation&) = delete;

private:
    uint64_t bytes;
};

// Test hook: the next `count` data allocations succeed and the one after
// fails; a negative count (the default) never fails. Allocations served by a
// kept buffer count, and fail, like any other.
void failBufferAllocationAfter(long count);

// Test instrumentation over every buffer of the process, host buffers
// included: the bytes asked for by buffers alive now, the most that were
// alive at once since the last resetBufferPeak(), the data allocations tried
// and refused (injected or real) so far and those served by a kept buffer,
// and the bytes kept for reuse now (which are not alive). Memory bounds are
// asserted on these counts rather than on the process's resident size, which
// the allocator and the sanitizers blur.
struct BufferCounters {
    uint64_t liveBytes = 0;
    uint64_t peakBytes = 0;
    uint64_t allocations = 0;
    uint64_t failedAllocations = 0;
    uint64_t reusedAllocations = 0;
    uint64_t keptBytes = 0;
};
BufferCounters bufferCounters();
// Restarts the peak from the bytes alive now.
void resetBufferPeak();

}  // namespace brindle
