#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orv.h"
#include "test_support.hpp"

TEST(ClientBuffers, HoldTheSizeAskedForAndEvenZeroHasValidData) {
    for (const size_t size : {size_t{1000}, size_t{0}}) {
        OrvBuffer_st* buffer = orvBufferAlloc(size);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(orvBufferSize(buffer), size);
        ASSERT_NE(orvBufferData(buffer), nullptr);
        std::memset(orvBufferData(buffer), 0x5A, size == 0 ? 1 : size);  // all of it is writable
        orvBufferFree(buffer);
    }
    orvBufferFree(nullptr);  // does nothing
}

TEST(ClientBuffers, AnImpossibleAllocationReturnsNull) {
    // Under AddressSanitizer this needs allocator_may_return_null=1.
    EXPECT_EQ(orvBufferAlloc(SIZE_MAX - 4096), nullptr);
}

TEST(ClientBuffers, InjectedFailureReturnsNullAndLeaksNothing) {
    OrvBuffer_st *first, *second, *third;
    {
        const orvtest::AllocationFailureGuard failSecond(1);
        first = orvBufferAlloc(16);
        second = orvBufferAlloc(16);
        third = orvBufferAlloc(16);
    }
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr) << "only the one allocation fails";
    orvBufferFree(first);
    orvBufferFree(third);
}

TEST(SharedBuffers, FailureIsReportedAsAnException) {
    const orvtest::AllocationFailureGuard failNext(0);
    orvtest::expectOrvError([] { brindle::allocSharedBuffer(64); }, 13,
                            "failed to allocate memory");
}

TEST(SharedBuffers, AdoptedHostBufferIsFreedByTheLastHolder) {
    OrvBuffer_st* host = orvBufferAlloc(32);
    ASSERT_NE(host, nullptr);
    brindle::SharedBuffer first = brindle::adoptBuffer(host);
    brindle::SharedBuffer second = first;
    first.reset();
    EXPECT_EQ(second->size, 32u);
    second.reset();  // frees record and data: AddressSanitizer reports a leak otherwise
}
