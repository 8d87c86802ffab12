#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <vector>

#include "platform/collections.h"
#include "support/alloc_failure.h"

namespace {

struct Num : CObject {
    explicit Num(int v) : value(v) {}
    int value;
};

// A class whose CObject part does not start at the object's address, so a list
// that casts pointers by reinterpretation hands back wrong pointers.
struct Tagged {
    virtual ~Tagged() = default;
    long tag = 7;
};
struct Mixed : Tagged, CObject {
    explicit Mixed(int v) : value(v) {}
    int value;
};

// Ten numbers 0..9 the lists point at.
class ObListTest : public ::testing::Test {
protected:
    ObListTest() {
        for (int i = 0; i < 10; ++i)
            nums.emplace_back(i);
    }
    CObject* N(int i) { return &nums[static_cast<size_t>(i)]; }
    void Fill(CObList& list, std::initializer_list<int> values) {
        for (int v : values)
            list.AddTail(N(v));
    }

    static std::vector<int> Forward(const CObList& list) {
        std::vector<int> out;
        for (POSITION pos = list.GetHeadPosition(); pos != nullptr;)
            out.push_back(static_cast<Num*>(list.GetNext(pos))->value);
        return out;
    }
    // Walks backwards too, so a broken back link shows.
    static std::vector<int> Checked(const CObList& list) {
        std::vector<int> back;
        for (POSITION pos = list.GetTailPosition(); pos != nullptr;)
            back.insert(back.begin(), static_cast<Num*>(list.GetPrev(pos))->value);
        std::vector<int> fwd = Forward(list);
        EXPECT_EQ(fwd, back) << "forward and backward walks disagree";
        EXPECT_EQ(list.GetCount(), static_cast<INT_PTR>(fwd.size()));
        return fwd;
    }

    std::deque<Num> nums;
};

using V = std::vector<int>;

TEST_F(ObListTest, InsertsBeforeAndAfterAnyPosition) {
    CObList list;
    POSITION p1 = list.AddTail(N(1));
    POSITION p3 = list.AddTail(N(3));
    POSITION p2 = list.InsertAfter(p1, N(2));
    EXPECT_EQ(list.GetAt(p2), N(2));
    POSITION p0 = list.InsertBefore(p1, N(0));  // becomes the head
    POSITION p4 = list.InsertAfter(p3, N(4));   // becomes the tail
    EXPECT_EQ(list.GetHeadPosition(), p0);
    EXPECT_EQ(list.GetTailPosition(), p4);
    EXPECT_EQ(Checked(list), (V{0, 1, 2, 3, 4}));

    // A null position means the head for InsertBefore and the tail for InsertAfter.
    list.InsertBefore(nullptr, N(5));
    list.InsertAfter(nullptr, N(6));
    EXPECT_EQ(Checked(list), (V{5, 0, 1, 2, 3, 4, 6}));
}

TEST_F(ObListTest, RemovingWhileIteratingKeepsTheWalkGoing) {
    CObList list;
    Fill(list, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    // The usual idiom: step on first, then remove the element just passed.
    for (POSITION pos = list.GetHeadPosition(); pos != nullptr;) {
        POSITION current = pos;
        if (static_cast<Num*>(list.GetNext(pos))->value % 2 == 0)
            list.RemoveAt(current);
    }
    EXPECT_EQ(Checked(list), (V{1, 3, 5, 7, 9}));

    // Remove the tail and the head while walking backwards.
    for (POSITION pos = list.GetTailPosition(); pos != nullptr;) {
        POSITION current = pos;
        const int v = static_cast<Num*>(list.GetPrev(pos))->value;
        if (v == 9 || v == 1)
            list.RemoveAt(current);
    }
    EXPECT_EQ(Checked(list), (V{3, 5, 7}));
}

TEST_F(ObListTest, PositionsOfOtherElementsSurviveRemovalsAndInserts) {
    CObList list;
    std::array<POSITION, 6> pos{};
    for (int i = 0; i < 6; ++i)
        pos[static_cast<size_t>(i)] = list.AddTail(N(i));
    list.RemoveAt(pos[1]);
    list.RemoveAt(pos[4]);
    list.InsertAfter(pos[2], N(9));
    list.RemoveHead();
    for (int i : {2, 3, 5})
        EXPECT_EQ(list.GetAt(pos[static_cast<size_t>(i)]), N(i));
    POSITION walk = pos[2];
    list.GetNext(walk);
    EXPECT_EQ(list.GetAt(walk), N(9));
    list.SetAt(pos[3], N(8));
    EXPECT_EQ(Checked(list), (V{2, 9, 8, 5}));
}

TEST_F(ObListTest, FindsByValueAndByIndex) {
    CObList list;
    list.AddTail(N(4));
    POSITION first = list.AddTail(N(5));
    list.AddTail(N(6));
    POSITION second = list.AddTail(N(5));
    EXPECT_EQ(list.Find(N(5)), first);
    EXPECT_EQ(list.Find(N(5), first), second);
    EXPECT_EQ(list.Find(N(5), second), nullptr);
    EXPECT_EQ(list.Find(N(9)), nullptr);

    EXPECT_EQ(list.FindIndex(0), list.GetHeadPosition());
    EXPECT_EQ(list.FindIndex(3), second);
    EXPECT_EQ(list.FindIndex(4), nullptr);
    EXPECT_EQ(list.FindIndex(-1), nullptr);
}

TEST_F(ObListTest, EndsAndMisuse) {
    CObList list;
    Fill(list, {1, 2});
    EXPECT_EQ(list.RemoveTail(), N(2));
    EXPECT_EQ(list.RemoveHead(), N(1));
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.GetHeadPosition(), nullptr);
    EXPECT_EQ(list.GetTailPosition(), nullptr);

    // What MFC only asserts is refused here without touching memory.
    EXPECT_THROW(list.RemoveHead(), std::out_of_range);
    EXPECT_THROW(list.RemoveTail(), std::out_of_range);
    EXPECT_THROW(list.GetHead(), std::out_of_range);
    EXPECT_THROW(static_cast<const CObList&>(list).GetTail(), std::out_of_range);
    POSITION none = nullptr;
    EXPECT_THROW(list.GetNext(none), std::invalid_argument);
    EXPECT_THROW(list.RemoveAt(nullptr), std::invalid_argument);
    EXPECT_THROW(list.SetAt(nullptr, N(1)), std::invalid_argument);
    EXPECT_THROW(list.AddTail(static_cast<CObList*>(nullptr)), std::invalid_argument);

    // The list refills normally afterwards.
    list.AddHead(N(3));
    EXPECT_EQ(Checked(list), (V{3}));
}

TEST_F(ObListTest, AddsWholeListsIncludingItself) {
    CObList list, other;
    Fill(list, {1, 2});
    Fill(other, {8, 9});
    list.AddTail(&list);
    EXPECT_EQ(Checked(list), (V{1, 2, 1, 2}));
    list.AddHead(&other);
    EXPECT_EQ(Checked(list), (V{8, 9, 1, 2, 1, 2}));
    list.AddHead(&list);
    EXPECT_EQ(Checked(list).size(), 12u);
    EXPECT_EQ(Checked(other), (V{8, 9}));
}

TEST_F(ObListTest, FailedAllocationLeavesTheListAsItWas) {
    CObList list, other;
    Fill(list, {1, 2});
    Fill(other, {5, 6, 7, 8});
    // Whatever step fails, what had been added before stays, nothing else.
    const std::vector<V> partial = {{1, 2}, {1, 2, 5, 6, 7, 8}, {1, 0, 2, 5, 6, 7, 8}};
    const int runs = vesk::test::ForEachAllocationFailure(
        [&] {
            try {
                list.AddTail(&other);
                list.InsertAfter(list.GetHeadPosition(), N(0));
                list.AddHead(&other);
            } catch (const std::bad_alloc&) {
                return -1001;
            }
            return 1;
        },
        [&](const vesk::test::AllocationFailureRun& run) {
            const V now = Checked(list);
            if (run.failed) {
                EXPECT_EQ(run.result, -1001);
                EXPECT_NE(std::find(partial.begin(), partial.end(), now), partial.end())
                    << "failing allocation " << run.failAt;
                EXPECT_EQ(run.leaked, static_cast<int64_t>(now.size()) - 2);
            } else {
                EXPECT_EQ(run.result, 1);
                EXPECT_EQ(now, (V{5, 6, 7, 8, 1, 0, 2, 5, 6, 7, 8}));
            }
            // Back to the start for the next run.
            list.RemoveAll();
            Fill(list, {1, 2});
        });
    EXPECT_EQ(runs, 10);  // 4 + 1 + 4 node allocations, then a run that completes
}

TEST(TypedPtrList, HandsBackTheStoredPointers) {
    std::deque<Mixed> items;
    for (int i = 0; i < 4; ++i)
        items.emplace_back(i);
    CTypedPtrList<CObList, Mixed*> list(10);
    for (auto& m : items)
        list.AddTail(&m);

    std::vector<Mixed*> seen;
    for (POSITION pos = list.GetHeadPosition(); pos != nullptr;)
        seen.push_back(list.GetNext(pos));
    EXPECT_EQ(seen, (std::vector<Mixed*>{&items[0], &items[1], &items[2], &items[3]}));
    EXPECT_EQ(seen[3]->tag, 7);
    EXPECT_EQ(list.GetHead(), &items[0]);
    EXPECT_EQ(list.GetTail(), &items[3]);
    POSITION p2 = list.Find(&items[2]);
    ASSERT_NE(p2, nullptr);
    EXPECT_EQ(list.GetAt(p2)->value, 2);
    list.SetAt(p2, &items[0]);
    EXPECT_EQ(list.GetAt(p2), &items[0]);
    EXPECT_EQ(list.RemoveTail(), &items[3]);
    EXPECT_EQ(list.RemoveHead(), &items[0]);
    EXPECT_EQ(list.GetCount(), 2);
}

std::vector<int> Ints(const CArray<int, int>& a) {
    return std::vector<int>(a.GetData(), a.GetData() + a.GetSize());
}

TEST(Array, GrowsInsertsRemovesAndChecksIndexes) {
    CArray<int, int> a;
    EXPECT_EQ(a.GetUpperBound(), -1);
    for (int v : {1, 2, 3})
        a.Add(v);
    a.SetSize(4);  // new elements are zero
    a.InsertAt(1, 9, 2);
    a.InsertAt(8, 5);  // past the end: the gap is zero-filled
    EXPECT_EQ(Ints(a), (V{1, 9, 9, 2, 3, 0, 0, 0, 5}));
    a.RemoveAt(1, 4);
    a.SetAtGrow(6, 6);
    a.ElementAt(1) = 4;
    EXPECT_EQ(Ints(a), (V{1, 4, 0, 0, 5, 0, 6}));
    EXPECT_EQ(a.GetUpperBound(), 6);

    CArray<int, int> b;
    b.Add(7);
    a.InsertAt(0, &b);
    EXPECT_EQ(a.Append(b), 8);
    EXPECT_EQ(Ints(a), (V{7, 1, 4, 0, 0, 5, 0, 6, 7}));
    a.SetSize(2);
    EXPECT_EQ(Ints(a), (V{7, 1}));

    // What MFC only asserts is refused here, and the array stays as it was.
    EXPECT_THROW(a.GetAt(2), std::out_of_range);
    EXPECT_THROW(a[-1], std::out_of_range);
    EXPECT_THROW(a.SetAt(2, 0), std::out_of_range);
    EXPECT_THROW(a.SetSize(-1), std::invalid_argument);
    EXPECT_THROW(a.RemoveAt(1, 2), std::out_of_range);
    EXPECT_THROW(a.RemoveAt(-1), std::out_of_range);
    EXPECT_EQ(Ints(a), (V{7, 1}));
    a.Copy(b);
    EXPECT_EQ(Ints(a), (V{7}));
}

std::vector<std::wstring> Strings(const CStringArray& a) {
    std::vector<std::wstring> out;
    for (INT_PTR i = 0; i < a.GetSize(); ++i)
        out.push_back(a[i].str());
    return out;
}

TEST(StringArray, TakesElementsFromItself) {
    // Long strings, so every copy allocates and a stale reference would be caught.
    const std::wstring a0 = L"first element, long enough to allocate";
    const std::wstring a1 = L"second element, long enough to allocate";
    CStringArray a;
    a.Add(a0.c_str());
    a.Add(CString(a1));
    a.Add(a[0]);  // may reallocate while reading its argument
    a.InsertAt(0, a[2], 3);
    a.SetAtGrow(7, a[4]);
    EXPECT_EQ(Strings(a), (std::vector<std::wstring>{a0, a0, a0, a0, a1, a0, L"", a1}));

    a.RemoveAt(1, 5);
    a.Append(a);
    EXPECT_EQ(Strings(a), (std::vector<std::wstring>{a0, L"", a1, a0, L"", a1}));
    a.InsertAt(1, &a);
    EXPECT_EQ(Strings(a),
              (std::vector<std::wstring>{a0, a0, L"", a1, a0, L"", a1, L"", a1, a0, L"", a1}));
    a.Copy(a);
    EXPECT_EQ(a.GetSize(), 12);
    EXPECT_STREQ(a.GetRuntimeClass()->m_lpszClassName, "CStringArray");
}

TEST(StringArray, FailedAllocationLeavesTheArrayAsItWas) {
    const std::vector<std::wstring> start = {L"alpha alpha alpha alpha", L"beta beta beta beta"};
    const auto reset = [&](CStringArray& x) {
        x.RemoveAll();
        for (const auto& s : start)
            x.Add(s.c_str());
    };
    CStringArray a, more, ref;
    reset(a);
    reset(ref);
    more.Add(L"gamma gamma gamma gamma");
    more.Add(L"delta delta delta delta");
    const std::function<void(CStringArray&)> steps[] = {
        [&](CStringArray& x) { x.InsertAt(1, &more); },
        [](CStringArray& x) { x.InsertAt(0, x[3], 2); }, [](CStringArray& x) { x.Append(x); },
        [](CStringArray& x) { x.SetAtGrow(20, x[1]); }};
    // The state before each step, from a run without failures.
    std::vector<std::vector<std::wstring>> states;
    for (const auto& step : steps) {
        states.push_back(Strings(ref));
        step(ref);
    }
    ASSERT_EQ(states[2].size(), 6u);
    EXPECT_EQ(states[2][0], start[1]);
    ASSERT_EQ(ref.GetSize(), 21);

    int64_t baseline = 0;
    const std::function<int()> op = [&] {
        try {
            for (const auto& step : steps)
                step(a);
        } catch (const std::bad_alloc&) {
            return -1001;
        }
        return 1;
    };
    const std::function<void(const vesk::test::AllocationFailureRun&)> check =
        [&](const vesk::test::AllocationFailureRun& run) {
            {
                const auto now = Strings(a);
                // Each step happened completely or not at all.
                if (run.failed) {
                    EXPECT_EQ(run.result, -1001);
                    EXPECT_NE(std::find(states.begin(), states.end(), now), states.end())
                        << "failing allocation " << run.failAt;
                } else {
                    EXPECT_EQ(run.result, 1);
                    EXPECT_EQ(now, Strings(ref));
                }
            }
            reset(a);
            EXPECT_EQ(vesk::test::LiveAllocations(), baseline)
                << "failing allocation " << run.failAt;
        };
    baseline = vesk::test::LiveAllocations();  // after making op and check
    const int runs = vesk::test::ForEachAllocationFailure(op, check);
    EXPECT_GT(runs, 8);
}

}  // namespace
