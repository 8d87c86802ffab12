// The allocation-failure harness itself: it must fail exactly the chosen allocation,
// only on the armed thread, and its counts must expose a leak.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <thread>

#include "platform/collections.h"
#include "platform/cstring.h"
#include "support/alloc_failure.h"

namespace {

using vesk::test::AllocationFailureRun;
using vesk::test::AllocationFailures;
using vesk::test::ForEachAllocationFailure;

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
        AllocationFailures armed(3);
        Block a, b;
        EXPECT_FALSE(armed.Happened());
        EXPECT_THROW(Block c, std::bad_alloc);
        EXPECT_TRUE(armed.Happened());
        Block d;  // one failure only
        EXPECT_EQ(vesk::test::AllocationsSinceArmed(), 4);
    }
    Block after;  // disarmed again
    EXPECT_NE(after.p, nullptr);
}

TEST(AllocationFailure, NothrowFormsReturnNull) {
    AllocationFailures armed(2);
    void* first = ::operator new(16, std::nothrow);
    void* second = ::operator new[](16, std::nothrow);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(armed.Happened());
    ::operator delete(first);
}

TEST(AllocationFailure, OnlyTheArmedThreadFails) {
    std::atomic<int> stage{0};
    bool otherThrew = false;
    std::thread other([&] {
        vesk::test::FailAllocationAt(1);
        stage = 1;
        while (stage != 2)
            std::this_thread::yield();
        try {
            Block b;
        } catch (const std::bad_alloc&) {
            otherThrew = true;
        }
        vesk::test::FailAllocationAt(0);
    });
    while (stage != 1)
        std::this_thread::yield();
    Block mine;  // this thread is not armed
    stage = 2;
    other.join();
    EXPECT_TRUE(otherThrew);
    EXPECT_NE(mine.p, nullptr);
}

// An operation written the way the library writes them: memory exceptions caught,
// what was built so far released, -1001 returned.
int BuildNamedList(CObList& out) {
    struct Named : CObject {
        CString name;
    };
    CObList built;
    try {
        for (int i = 0; i < 3; ++i) {
            auto item = std::make_unique<Named>();
            item->name.Format(L"entry number %d with a long name", i);
            built.AddTail(item.get());
            item.release();
        }
        out.AddTail(&built);
    } catch (const std::bad_alloc&) {
        while (!built.IsEmpty())
            delete built.RemoveHead();
        return -1001;
    }
    return 1;
}

TEST(AllocationFailure, LoopVisitsEveryAllocationOfAnOperation) {
    CObList out;
    long failures = 0;
    const int runs = ForEachAllocationFailure(
        [&] { return BuildNamedList(out); },
        [&](const AllocationFailureRun& run) {
            if (run.failed) {
                ++failures;
                EXPECT_EQ(run.result, -1001) << "failing allocation " << run.failAt;
                EXPECT_EQ(run.leaked, 0) << "failing allocation " << run.failAt;
                EXPECT_TRUE(out.IsEmpty());
            } else {
                EXPECT_EQ(run.result, 1);
                EXPECT_EQ(out.GetCount(), 3);
            }
        });
    // Three items, each with its object, its name and its node, then three nodes in out.
    EXPECT_GE(failures, 12);
    EXPECT_EQ(runs, failures + 1);
    while (!out.IsEmpty())
        delete out.RemoveHead();
}

TEST(AllocationFailure, ExposesALeak) {
    // Forgets the item when adding it to the list fails.
    CObList list;
    CObject* lost = nullptr;
    struct Item : CObject {};
    bool sawLeak = false;
    ForEachAllocationFailure(
        [&] {
            try {
                lost = new Item;
                list.AddTail(lost);
                lost = nullptr;
            } catch (const std::bad_alloc&) {
                return -1001;
            }
            return 1;
        },
        [&](const AllocationFailureRun& run) {
            if (run.failed && run.failAt == 2) {
                EXPECT_EQ(run.leaked, 1);
                sawLeak = true;
            }
            delete lost;
            lost = nullptr;
        });
    EXPECT_TRUE(sawLeak);
    while (!list.IsEmpty())
        delete list.RemoveHead();
}

}  // namespace
