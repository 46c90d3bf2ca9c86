#include "buffer_pool.hpp"

#include <atomic>
#include <cassert>
#include <cstdlib>
#include <new>

#include "brindle.hpp"

namespace {

// Only ever set by tests, before the allocations they want to fail.
std::atomic<long> allocationsBeforeFailure{-1};

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
    if (!injectedFailure())
        data = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    if (data == nullptr)
        throw brindle::OrvException("failed to allocate memory", ORV_ERR_UNKNOWN);
}

OrvBuffer_st::~OrvBuffer_st() {
    std::free(data);
    data = nullptr;
}

namespace brindle {

SharedBuffer adoptBuffer(OrvBuffer_st* buffer) { return SharedBuffer(buffer, orvBufferFree); }

SharedBuffer allocSharedBuffer(size_t size) {
    // The record is built first so that its constructor's own message is what
    // the caller sees when the data cannot be had.
    return SharedBuffer(new OrvBuffer_st(size), orvBufferFree);
}

void failBufferAllocationAfter(long count) {
    allocationsBeforeFailure.store(count, std::memory_order_relaxed);
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

void* orvBufferData(const OrvBuffer_st* buf) {
    assert(buf != nullptr);
    return buf->data;
}

size_t orvBufferSize(const OrvBuffer_st* buf) {
    assert(buf != nullptr);
    return buf->size;
}

}  // extern "C"
