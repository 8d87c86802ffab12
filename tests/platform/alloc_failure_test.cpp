// The allocation-failure harness itself: it must fail exactly the chosen allocation,
// the nothrow forms too, and its counts must expose a leak. The loop over every
// allocation of an operation is checked by the collection and object tests, which
// expect exact run counts and exact leaks. (A harness that failed allocations of other
// threads too would make tests fail noisily, never pass wrongly.)
#include <gtest/gtest.h>

#include <new>

#include "support/alloc_failure.h"

namespace {

// Direct calls of operator new: unlike new-expressions, the compiler may not leave
// them out, so each one is an allocation the harness sees.
struct Block {
    Block() : p(::operator new(16)) {}
    ~Block() { ::operator delete(p); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    void* p;
};

TEST(AllocationFailure, FailsExactlyTheChosenAllocationOnce) {
    {
        vesk::test::AllocationFailures armed(3);
        Block a, b;
        EXPECT_FALSE(armed.Happened());
        EXPECT_THROW(Block c, std::bad_alloc);
        EXPECT_TRUE(armed.Happened());
        Block d;  // one failure only
        EXPECT_EQ(vesk::test::AllocationsSinceArmed(), 4);
    }
    {
        // The nothrow forms give null instead.
        vesk::test::AllocationFailures armed(2);
        void* first = ::operator new(16, std::nothrow);
        EXPECT_NE(first, nullptr);
        EXPECT_EQ(::operator new[](16, std::nothrow), nullptr);
        EXPECT_TRUE(armed.Happened());
        // A block not given back shows in the live count.
        const auto live = vesk::test::LiveAllocations();
        ::operator delete(first);
        EXPECT_EQ(vesk::test::LiveAllocations(), live - 1);
    }
    Block after;  // disarmed again
    EXPECT_NE(after.p, nullptr);
}

}  // namespace
