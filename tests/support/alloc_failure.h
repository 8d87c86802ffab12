// Forced allocation failure for tests. The test support library replaces the global
// operator new (test programs only): once armed on a thread, the Nth allocation made
// by that thread fails (std::bad_alloc, or null from the nothrow forms), once. A
// process-wide count of live allocations shows what a failed operation left behind.
#pragma once

#include <cstdint>
#include <functional>

namespace vesk::test {

// Arms the calling thread: its nth allocation from now fails (n >= 1). 0 disarms.
void FailAllocationAt(long n);
// True when the armed failure has happened since the last FailAllocationAt.
bool AllocationFailureHappened();
// Allocations made by the calling thread since the last FailAllocationAt.
long AllocationsSinceArmed();
// Blocks from operator new not yet given back, over the whole process.
std::int64_t LiveAllocations();

// Arms for its lifetime; disarms on destruction.
class AllocationFailures {
public:
    explicit AllocationFailures(long n) { FailAllocationAt(n); }
    ~AllocationFailures() { FailAllocationAt(0); }
    AllocationFailures(const AllocationFailures&) = delete;
    AllocationFailures& operator=(const AllocationFailures&) = delete;
    bool Happened() const { return AllocationFailureHappened(); }
};

struct AllocationFailureRun {
    long failAt;          // which allocation was made to fail
    bool failed;          // whether it happened (false on the last, complete run)
    int result;           // what the operation returned
    std::int64_t leaked;  // live allocations after the run minus before it
};

// Runs op with its 1st, 2nd, 3rd ... allocation failing, until a run makes fewer
// allocations than the one chosen to fail (that run completes normally), and hands
// each run to check. Returns the number of runs. Gives up (returning -1) after
// maxRuns runs. Every run starts alike: op undoes its own effects, or prepare (run
// unarmed before each run) sets the scene again; what prepare allocates counts as the
// run's, so what op does not use up must be given back by the next prepare.
int ForEachAllocationFailure(const std::function<int()>& op,
                             const std::function<void(const AllocationFailureRun&)>& check,
                             long maxRuns = 100000, const std::function<void()>& prepare = {});

}  // namespace vesk::test
