// Replacement of every form of the global operator new and delete, for test programs
// only. Memory comes from malloc, so the sanitizers still track it.
#include "alloc_failure.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

// Plain thread_local integers: reading them allocates nothing.
thread_local long t_failAt = 0;  // 0: disarmed
thread_local long t_count = 0;
thread_local bool t_happened = false;
std::atomic<std::int64_t> g_live{0};

// True when this allocation is the one chosen to fail.
bool ShouldFail() {
    ++t_count;
    if (t_failAt == 0 || t_count != t_failAt)
        return false;
    t_happened = true;
    return true;
}

void* Allocate(std::size_t size, std::size_t alignment) {
    if (size == 0)
        size = 1;
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        p = std::malloc(size);
    } else if (void* block = std::malloc(size + alignment + sizeof(void*))) {
        // Over-aligned: the block's own address is kept just before the aligned one,
        // for FreeAligned (the C libraries differ in their aligned allocators).
        auto at = reinterpret_cast<std::uintptr_t>(block) + sizeof(void*);
        at = (at + alignment - 1) & ~(static_cast<std::uintptr_t>(alignment) - 1);
        p = reinterpret_cast<void*>(at);
        static_cast<void**>(p)[-1] = block;
    }
    if (p != nullptr)
        g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

// What the standard operator new does: retry through the new-handler.
void* AllocateWithHandler(std::size_t size, std::size_t alignment) {
    for (;;) {
        if (void* p = Allocate(size, alignment))
            return p;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr)
            throw std::bad_alloc();
        handler();
    }
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment) {
    if (ShouldFail())
        throw std::bad_alloc();
    return AllocateWithHandler(size, alignment);
}

void* AllocateOrNull(std::size_t size, std::size_t alignment) noexcept {
    if (ShouldFail())
        return nullptr;
    try {
        return AllocateWithHandler(size, alignment);
    } catch (...) {
        return nullptr;
    }
}

void Free(void* p) noexcept {
    if (p == nullptr)
        return;
    g_live.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
}

void FreeAligned(void* p) noexcept {
    if (p == nullptr)
        return;
    g_live.fetch_sub(1, std::memory_order_relaxed);
    std::free(static_cast<void**>(p)[-1]);
}

constexpr std::size_t kDefault = alignof(std::max_align_t);
std::size_t Align(std::align_val_t a) {
    return static_cast<std::size_t>(a);
}
void FreeWith(void* p, std::size_t alignment) noexcept {
    if (alignment <= kDefault)
        Free(p);
    else
        FreeAligned(p);
}

}  // namespace

void* operator new(std::size_t n) {
    return AllocateOrThrow(n, kDefault);
}
void* operator new[](std::size_t n) {
    return AllocateOrThrow(n, kDefault);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return AllocateOrNull(n, kDefault);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return AllocateOrNull(n, kDefault);
}
void* operator new(std::size_t n, std::align_val_t a) {
    return AllocateOrThrow(n, Align(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return AllocateOrThrow(n, Align(a));
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return AllocateOrNull(n, Align(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return AllocateOrNull(n, Align(a));
}

void operator delete(void* p) noexcept {
    Free(p);
}
void operator delete[](void* p) noexcept {
    Free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    Free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    Free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Free(p);
}
void operator delete(void* p, std::align_val_t a) noexcept {
    FreeWith(p, Align(a));
}
void operator delete[](void* p, std::align_val_t a) noexcept {
    FreeWith(p, Align(a));
}
void operator delete(void* p, std::size_t, std::align_val_t a) noexcept {
    FreeWith(p, Align(a));
}
void operator delete[](void* p, std::size_t, std::align_val_t a) noexcept {
    FreeWith(p, Align(a));
}
void operator delete(void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
    FreeWith(p, Align(a));
}
void operator delete[](void* p, std::align_val_t a, const std::nothrow_t&) noexcept {
    FreeWith(p, Align(a));
}

namespace vesk::test {

void FailAllocationAt(long n) {
    t_failAt = n < 0 ? 0 : n;
    t_count = 0;
    t_happened = false;
}

bool AllocationFailureHappened() {
    return t_happened;
}
long AllocationsSinceArmed() {
    return t_count;
}
std::int64_t LiveAllocations() {
    return g_live.load(std::memory_order_relaxed);
}

int ForEachAllocationFailure(const std::function<int()>& op,
                             const std::function<void(const AllocationFailureRun&)>& check,
                             long maxRuns, const std::function<void()>& prepare) {
    for (long n = 1; n <= maxRuns; ++n) {
        const std::int64_t before = LiveAllocations();
        if (prepare)
            prepare();
        int result;
        bool failed;
        {
            AllocationFailures armed(n);
            result = op();
            failed = armed.Happened();
        }
        check(AllocationFailureRun{n, failed, result, LiveAllocations() - before});
        if (!failed)
            return static_cast<int>(n);
    }
    return -1;
}

}  // namespace vesk::test
