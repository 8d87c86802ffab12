// The scoped lock on the module's cross-process lock: it excludes other processes and
// releases exactly what it acquired. Re-entry, abandonment and threads are the named
// lock's own behaviour, tested in tests/platform.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>

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
//   probe: reports "waiting", takes the lock, reports "acquired", lets it go, exits.
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
