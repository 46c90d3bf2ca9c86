// Buffers: the recycling of large buffers by size class within the
// kept-bytes bounds. Failures are swept in test_fault_injection.

#include "test_support.hpp"

TEST(RecycledBuffers, AFreedLargeBufferServesTheNextOfItsSizeClassOnly) {
    EXPECT_EQ(orvBufferAlloc(SIZE_MAX - 4096), nullptr);  // impossible, not fatal
    OrvBuffer_st* first = orvBufferAlloc(100000);
    void* const data = orvBufferData(first);
    orvBufferFree(first);
    const brindle::BufferCounters before = brindle::bufferCounters();
    // Whole pages make a class: 100000 and 100001 bytes share one.
    OrvBuffer_st* second = orvBufferAlloc(100001);
    EXPECT_EQ(orvBufferData(second), data);
    EXPECT_EQ(orvBufferSize(second), 100001u);
    const brindle::BufferCounters taken = brindle::bufferCounters();
    EXPECT_EQ(taken.reusedAllocations, before.reusedAllocations + 1);
    EXPECT_EQ(taken.liveBytes, before.liveBytes + 100001) << "a reused buffer is alive again";
    EXPECT_EQ(taken.keptBytes, before.keptBytes - 102400);
    orvBufferFree(second);
    // Another class, or a small buffer, is never served by it; an injected
    // failure fails an allocation that a kept buffer could have served.
    for (const size_t size : {size_t{110000}, size_t{1000}}) {
        OrvBuffer_st* other = orvBufferAlloc(size);
        EXPECT_NE(orvBufferData(other), data) << size;
        orvBufferFree(other);
    }
    {
        const orvtest::AllocationFailureGuard failNext(0);
        EXPECT_EQ(orvBufferAlloc(100000), nullptr);
    }
    OrvBuffer_st* third = orvBufferAlloc(100000);
    EXPECT_EQ(orvBufferData(third), data);
    orvBufferFree(third);
}
