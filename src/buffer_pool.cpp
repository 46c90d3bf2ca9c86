#include "buffer_pool.hpp"

#include <atomic>
#include <cassert>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "brindle.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define ORV_POISON_KEPT_BUFFERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORV_POISON_KEPT_BUFFERS 1
#endif
#endif
#ifdef ORV_POISON_KEPT_BUFFERS
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Only ever set by tests, before the allocations they want to fail.
std::atomic<long> allocationsBeforeFailure{-1};

// Read only by tests; relaxed, since each is a count of its own and tests
// read them after the threads that allocate have been joined.
std::atomic<uint64_t> liveBytes{0};
std::atomic<uint64_t> peakBytes{0};
std::atomic<uint64_t> allocations{0};
std::atomic<uint64_t> failedAllocations{0};
std::atomic<uint64_t> reusedAllocations{0};

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

// ---- Recycling ---------------------------------------------------------------

// Below this the C heap serves and takes back buffers cheaply from memory it
// keeps mapped; above it, a freed buffer would go back to the kernel and the
// next one of its size be faulted in and zeroed again, page by page.
constexpr size_t recycledFrom = 64 * 1024;
// Size classes are whole pages: buffers of a class serve every size in it.
constexpr size_t classGranule = 4096;
// What stays kept while no stream reserves anything: about one 4K frame.
constexpr uint64_t idleKeptBytes = 32ull << 20;

// The class of a buffer of `size` bytes: the bytes its data really spans,
// or 0 when such buffers are plain heap allocations.
size_t capacityOf(size_t size) {
    if (size < recycledFrom || size > SIZE_MAX - classGranule) return 0;
    return (size + classGranule - 1) & ~(classGranule - 1);
}

// Freed buffers of the large classes, kept for the next allocation of their
// class instead of being returned to the kernel. What is kept is bounded in
// bytes, not per class, so that buffers of ever new sizes (records handed in
// whole, hosts' pictures of many sizes) cannot multiply the bound: at most
// the bytes the open streams reserve (their buffers in flight) plus
// idleKeptBytes; beyond that the oldest kept buffers are freed. Because an
// allocation takes a kept buffer before it asks the heap, a class never has
// more buffers, live and kept, than it had live at its peak.
class Recycler {
public:
    uint8_t* take(size_t capacity) {
        std::lock_guard<std::mutex> guard(lock);
        // The most recently kept buffer of the class: its pages are the likeliest in cache.
        for (size_t i = kept.size(); i-- > 0;) {
            if (kept[i].capacity != capacity) continue;
            uint8_t* data = kept[i].data;
            kept.erase(kept.begin() + static_cast<ptrdiff_t>(i));
            keptBytes -= capacity;
            unpoison(data, capacity);
            return data;
        }
        return nullptr;
    }

    void keep(uint8_t* data, size_t capacity) noexcept {
        std::lock_guard<std::mutex> guard(lock);
        try {
            kept.push_back({capacity, data});
        } catch (const std::bad_alloc&) {
            std::free(data);  // no room to note it
            return;
        }
        keptBytes += capacity;
        poison(data, capacity);
        trim();
    }

    void reserve(uint64_t bytes) {
        std::lock_guard<std::mutex> guard(lock);
        reservedBytes += bytes;
    }

    void unreserve(uint64_t bytes) noexcept {
        std::lock_guard<std::mutex> guard(lock);
        assert(reservedBytes >= bytes);
        reservedBytes -= bytes;
        trim();
    }

    uint64_t bytesKept() {
        std::lock_guard<std::mutex> guard(lock);
        return keptBytes;
    }

private:
    struct Kept {
        size_t capacity;
        uint8_t* data;
    };

    // Frees the oldest kept buffers while more is kept than the bound
    // (caller holds lock).
    void trim() noexcept {
        size_t dropped = 0;
        for (; dropped < kept.size() && keptBytes > reservedBytes + idleKeptBytes; ++dropped) {
            keptBytes -= kept[dropped].capacity;
            unpoison(kept[dropped].data, kept[dropped].capacity);
            std::free(kept[dropped].data);
        }
        kept.erase(kept.begin(), kept.begin() + static_cast<ptrdiff_t>(dropped));
    }

    // A kept buffer belongs to nobody: under AddressSanitizer, touching it is
    // reported like touching freed memory.
    static void poison(uint8_t* data, size_t capacity) {
#ifdef ORV_POISON_KEPT_BUFFERS
        ASAN_POISON_MEMORY_REGION(data, capacity);
#else
        (void)data, (void)capacity;
#endif
    }
    static void unpoison(uint8_t* data, size_t capacity) {
#ifdef ORV_POISON_KEPT_BUFFERS
        ASAN_UNPOISON_MEMORY_REGION(data, capacity);
#else
        (void)data, (void)capacity;
#endif
    }

    std::mutex lock;  // guards every field below
    std::vector<Kept> kept;  // oldest first
    uint64_t keptBytes = 0;
    uint64_t reservedBytes = 0;
};

// Never destroyed: buffers may be freed by static destructors that run after
// this file's would have.
Recycler& recycler() {
    static Recycler* const instance = new Recycler;
    return *instance;
}

}  // namespace

OrvBuffer_st::OrvBuffer_st(size_t size) : size(size), data(nullptr) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (!injectedFailure()) {
        const size_t capacity = capacityOf(size);
        if (capacity != 0) data = recycler().take(capacity);
        if (data != nullptr)
            reusedAllocations.fetch_add(1, std::memory_order_relaxed);
        else
            data = static_cast<uint8_t*>(
                std::malloc(capacity != 0 ? capacity : size == 0 ? 1 : size));
    }
    if (data == nullptr) {
        failedAllocations.fetch_add(1, std::memory_order_relaxed);
        throw brindle::OrvException("failed to allocate memory", ORV_ERR_UNKNOWN);
    }
    countAllocated(size);
}

OrvBuffer_st::~OrvBuffer_st() {
    const size_t capacity = capacityOf(size);
    if (capacity != 0)
        recycler().keep(data, capacity);
    else
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

BufferReservation::BufferReservation(uint64_t bytes) : bytes(bytes) { recycler().reserve(bytes); }

BufferReservation::~BufferReservation() { recycler().unreserve(bytes); }

void failBufferAllocationAfter(long count) {
    allocationsBeforeFailure.store(count, std::memory_order_relaxed);
}

BufferCounters bufferCounters() {
    BufferCounters counters;
    counters.liveBytes = liveBytes.load(std::memory_order_relaxed);
    counters.peakBytes = peakBytes.load(std::memory_order_relaxed);
    counters.allocations = allocations.load(std::memory_order_relaxed);
    counters.failedAllocations = failedAllocations.load(std::memory_order_relaxed);
    counters.reusedAllocations = reusedAllocations.load(std::memory_order_relaxed);
    counters.keptBytes = recycler().bytesKept();
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
