#include "buffer_pool.hpp"

#include <atomic>
#include <cstdlib>
#include <new>
#include <utility>

#include "brindle.hpp"

namespace {

// Only ever set by tests, before the allocations they want to fail.
std::atomic<long> allocationsBeforeFailure{-1};

// Read only by tests; relaxed, since each is a count of its own and tests
// read them after the threads that allocate have been joined.
std::atomic<uint64_t> liveBytes{0};
std::atomic<uint64_t> peakBytes{0};
std::atomic<uint64_t> allocations{0};
std::atomic<uint64_t> failedAllocations{0};

void countAllocated(uint64_t bytes) {
    const uint64_t live = liveBytes.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    uint64_t peak = peakBytes.load(std::memory_order_relaxed);
    while (peak < live && !peakBytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
    }
}

bool injectedFailure() {
    long remaining = allocationsBeforeFailure.load(std::memory_order_relaxed);
    while (remaining >= 0) {
        if (allocationsBeforeFailure.compare_exchange_weak(remaining, remaining - 1))
            return remaining == 0;
    }
    return false;
}

}  // namespace

OrvBuffer_st::OrvBuffer_st(size_t size) : size(size), data(nullptr) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (!injectedFailure())
        data = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (data == nullptr) {
        failedAllocations.fetch_add(1, std::memory_order_relaxed);
        throw brindle::OrvException("failed to allocate memory", ORV_ERR_UNKNOWN);
    }
    countAllocated(size);
}

OrvBuffer_st::~OrvBuffer_st() {
    std::free(data);
    data = nullptr;
    liveBytes.fetch_sub(size, std::memory_order_relaxed);
}

namespace brindle {

SharedBuffer adoptBuffer(OrvBuffer_st* buffer) {
    // Through a unique_ptr: when the shared owner's bookkeeping cannot be
    // allocated, the buffer is handed back untouched instead of being freed,
    // so a host told "failed" still owns what it passed in.
    std::unique_ptr<OrvBuffer_st, void (*)(OrvBuffer_st*)> owner(buffer, orvBufferFree);
    try {
        return SharedBuffer(std::move(owner));
    } catch (...) {
        owner.release();
        throw;
    }
}

SharedBuffer allocSharedBuffer(size_t size) {
    // The record is built first so that its constructor's own message is what
    // the caller sees when the data cannot be had.
    return SharedBuffer(new OrvBuffer_st(size), orvBufferFree);
}

void failBufferAllocationAfter(long count) {
    allocationsBeforeFailure.store(count, std::memory_order_relaxed);
}

BufferCounters bufferCounters() {
    BufferCounters counters;
    counters.liveBytes = liveBytes.load(std::memory_order_relaxed);
    counters.peakBytes = peakBytes.load(std::memory_order_relaxed);
    counters.allocations = allocations.load(std::memory_order_relaxed);
    counters.failedAllocations = failedAllocations.load(std::memory_order_relaxed);
    return counters;
}

void resetBufferPeak() {
    peakBytes.store(liveBytes.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

}  // namespace brindle

extern "C" {

OrvBuffer_st* orvBufferAlloc(size_t size) {
    try {
        return new OrvBuffer_st(size);
    } catch (...) {
        // `new` released the record's memory when the constructor threw.
        return nullptr;
    }
}

void orvBufferFree(OrvBuffer_st* buffer) { delete buffer; }

// Neither has an error result: a null buffer has no data and no bytes.
void* orvBufferData(const OrvBuffer_st* buffer) { return buffer ? buffer->data : nullptr; }

size_t orvBufferSize(const OrvBuffer_st* buffer) { return buffer ? buffer->size : 0; }

}  // extern "C"
