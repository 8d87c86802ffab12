// The scoped lock on the module's cross-process lock: exclusive across threads and
// processes, re-entrant on one thread, and never left held because its previous
// holder died.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "core/app.h"
#include "core/sync_lock.h"
#include "platform/named_lock.h"
#include "support/child_process.h"
#include "support/isolated_env.h"

namespace {

using namespace std::chrono_literals;
using vesk::test::ChildProcess;

constexpr auto kStartLimit = 20s;  // generous: a sanitizer build starts slowly
constexpr auto kBlockedFor = 300ms;

// What a child started by SpawnSelf does; returns only in the parent.
//   probe:  reports "waiting", takes the lock, reports "acquired", lets it go, exits.
//   holder: takes the lock, reports "held" and keeps it until it is killed.
void PlayChildRole() {
    const std::string role = vesk::test::ChildRole();
    if (role.empty())
        return;
    if (role == "probe") {
        vesk::test::ReportToParent("waiting");
        {
            CSyncMgrLock lock;
            vesk::test::ReportToParent(lock.IsAcquired() ? "acquired" : "not acquired");
        }
        vesk::test::ExitChild(0);
    }
    if (role == "holder") {
        CSyncMgrLock lock;
        vesk::test::ReportToParent(lock.IsAcquired() ? "held" : "not acquired");
        for (;;)
            pause();
    }
    vesk::test::ExitChild(2);
}

// Starts a probe and checks it is still waiting for the lock a little later.
ChildProcess StartBlockedProbe() {
    ChildProcess probe = ChildProcess::SpawnSelf("probe");
    EXPECT_EQ(probe.ReadLine(kStartLimit), "waiting");
    EXPECT_EQ(probe.ReadLine(kBlockedFor), std::nullopt) << "the probe got a lock that is held";
    return probe;
}

void ExpectProbeAcquires(ChildProcess& probe) {
    EXPECT_EQ(probe.ReadLine(kStartLimit), "acquired");
    EXPECT_EQ(probe.Wait(), 0);
}

class SyncMgrLockTest : public vesk::test::IsolatedEnv {};

TEST_F(SyncMgrLockTest, SecondProcessWaitsUntilReleased) {
    PlayChildRole();
    std::optional<CSyncMgrLock> held;
    held.emplace();
    ASSERT_TRUE(held->IsAcquired());
    ChildProcess probe = StartBlockedProbe();
    held.reset();
    ExpectProbeAcquires(probe);
}

TEST_F(SyncMgrLockTest, NestedLocksOnOneThreadReleaseOnceEach) {
    PlayChildRole();
    std::optional<CSyncMgrLock> outer;
    outer.emplace();
    ASSERT_TRUE(outer->IsAcquired());
    {
        vesk::test::Watchdog watchdog(10s, "a nested lock on the holding thread");
        CSyncMgrLock inner;
        EXPECT_TRUE(inner.IsAcquired());
        {
            CSyncMgrLock innermost;
            EXPECT_TRUE(innermost.IsAcquired());
        }
    }
    // The inner locks released only their own hold: others still wait.
    std::atomic<bool> threadGotIt{false};
    std::thread other([&] {
        CSyncMgrLock lock;
        threadGotIt = lock.IsAcquired();
    });
    ChildProcess probe = StartBlockedProbe();
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(threadGotIt);

    outer.reset();
    other.join();
    EXPECT_TRUE(threadGotIt);
    ExpectProbeAcquires(probe);
}

TEST_F(SyncMgrLockTest, HolderKilledWhileHoldingDoesNotBlockOthers) {
    PlayChildRole();
    ChildProcess holder = ChildProcess::SpawnSelf("holder");
    ASSERT_EQ(holder.ReadLine(kStartLimit), "held");
    holder.Kill(SIGKILL);
    EXPECT_EQ(holder.Wait(), 128 + SIGKILL);

    {
        vesk::test::Watchdog watchdog(kStartLimit, "taking a lock whose holder died");
        CSyncMgrLock lock;
        EXPECT_TRUE(lock.IsAcquired()) << "an abandoned lock must count as acquired";
    }
    // That lock was released on scope exit, so the next one does not wait.
    ChildProcess probe = ChildProcess::SpawnSelf("probe");
    EXPECT_EQ(probe.ReadLine(kStartLimit), "waiting");
    ExpectProbeAcquires(probe);
    vesk::test::Watchdog watchdog(kStartLimit, "locking again in this process");
    CSyncMgrLock again;
    EXPECT_TRUE(again.IsAcquired());
}

// A scripted lock, for the exact mapping of each wait result.
class ScriptedLock : public vesk::NamedLock {
public:
    explicit ScriptedLock(WaitResult result) : m_result(result) {}
    WaitResult Wait() override {
        ++waits;
        return m_result;
    }
    void Release() override { ++releases; }
    int waits = 0;
    int releases = 0;

private:
    WaitResult m_result;
};

TEST(SyncMgrLock, ReleasesExactlyWhatItAcquired) {
    using R = vesk::NamedLock::WaitResult;
    struct Case {
        R result;
        bool acquired;
    };
    for (const Case& c :
         {Case{R::Acquired, true}, Case{R::Abandoned, true}, Case{R::Failed, false}}) {
        ScriptedLock named(c.result);
        {
            CSyncMgrLock lock(&named);
            EXPECT_EQ(lock.IsAcquired() != FALSE, c.acquired);
            EXPECT_EQ(named.releases, 0);
        }
        EXPECT_EQ(named.waits, 1);
        EXPECT_EQ(named.releases, c.acquired ? 1 : 0);
    }
    // Without a lock (it could not be created) the scoped lock does nothing.
    CSyncMgrLock none(nullptr);
    EXPECT_FALSE(none.IsAcquired());
}

}  // namespace
