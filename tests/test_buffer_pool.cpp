#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "brindle.hpp"
#include "buffer_pool.hpp"
#include "orv.h"

TEST(ClientBuffers, HoldTheSizeAskedFor) {
    OrvBuffer_st* buffer = orvBufferAlloc(1000);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(orvBufferSize(buffer), 1000u);
    ASSERT_NE(orvBufferData(buffer), nullptr);
    std::memset(orvBufferData(buffer), 0x5A, 1000);  // all of it is writable
    orvBufferFree(buffer);
}

TEST(ClientBuffers, ZeroSizeStillHasValidData) {
    OrvBuffer_st* buffer = orvBufferAlloc(0);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(orvBufferSize(buffer), 0u);
    ASSERT_NE(orvBufferData(buffer), nullptr);
    static_cast<uint8_t*>(orvBufferData(buffer))[0] = 1;
    orvBufferFree(buffer);
}

TEST(ClientBuffers, FreeingNullDoesNothing) { orvBufferFree(nullptr); }

TEST(ClientBuffers, AnImpossibleAllocationReturnsNull) {
    // Under AddressSanitizer this needs allocator_may_return_null=1.
    EXPECT_EQ(orvBufferAlloc(SIZE_MAX - 4096), nullptr);
}

TEST(ClientBuffers, InjectedFailureReturnsNullAndLeaksNothing) {
    brindle::failBufferAllocationAfter(1);
    OrvBuffer_st* first = orvBufferAlloc(16);
    OrvBuffer_st* second = orvBufferAlloc(16);
    OrvBuffer_st* third = orvBufferAlloc(16);
    brindle::failBufferAllocationAfter(-1);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr) << "only the one allocation fails";
    orvBufferFree(first);
    orvBufferFree(third);
}

TEST(SharedBuffers, FailureIsReportedAsAnException) {
    brindle::failBufferAllocationAfter(0);
    try {
        brindle::allocSharedBuffer(64);
        FAIL() << "allocation should have failed";
    } catch (const brindle::OrvException& e) {
        EXPECT_STREQ(e.what(), "failed to allocate memory");
        EXPECT_EQ(e.code, 13u);
    }
    brindle::failBufferAllocationAfter(-1);
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
