// Buffers: the recycling of large buffers by size class within the
// kept-bytes bounds. Failures are swept in test_fault_injection.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orv.h"
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

TEST(RecycledBuffers, WhatIsKeptStaysWithinTheReservationsOrTheIdleBound) {
    constexpr size_t size = 4 << 20;
    auto allocateAndFree = [](int count) {
        std::vector<OrvBuffer_st*> buffers;
        for (int i = 0; i < count; ++i) buffers.push_back(orvBufferAlloc(size));
        for (OrvBuffer_st* buffer : buffers) orvBufferFree(buffer);
    };
    // Without a reservation the newest 32 MiB stay, whatever came before.
    allocateAndFree(10);
    EXPECT_EQ(brindle::bufferCounters().keptBytes, 8 * size);
    {
        // Reservations add up, in bytes over every class, beyond the idle bound.
        const brindle::BufferReservation stream(3 * size), other(2 * size);
        const uint64_t reusedBefore = brindle::bufferCounters().reusedAllocations;
        allocateAndFree(12);
        EXPECT_EQ(brindle::bufferCounters().reusedAllocations, reusedBefore + 8);
        EXPECT_EQ(brindle::bufferCounters().keptBytes, 12 * size);
        // Buffers of ever new classes push out the oldest: the bound holds.
        for (size_t extra = 1; extra <= 20; ++extra) orvBufferFree(orvBufferAlloc(size + 4096 * extra));
        EXPECT_LE(brindle::bufferCounters().keptBytes, 13 * size);
    }
    // Ending the reservations left the idle bound.
    EXPECT_LE(brindle::bufferCounters().keptBytes, 8 * size);
    allocateAndFree(9);
    EXPECT_EQ(brindle::bufferCounters().keptBytes, 8 * size);
}
