// The scoped lock on the module's cross-process lock releases exactly what it acquired.
// Exclusion between processes, re-entry, abandonment and threads are the named lock's
// own behaviour, tested in tests/platform; the scoped lock on the module object's lock
// excluding another thread is in app_test.
#include <gtest/gtest.h>

#include <utility>

#include "core/sync_lock.h"
#include "platform/named_lock.h"

namespace {

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
    for (auto [result, acquired] : {std::pair{R::Acquired, true}, std::pair{R::Abandoned, true},
                                    std::pair{R::Failed, false}}) {
        ScriptedLock named(result);
        {
            CSyncMgrLock lock(&named);
            EXPECT_EQ(lock.IsAcquired() != FALSE, acquired);
            EXPECT_EQ(named.releases, 0);
        }
        EXPECT_EQ(named.waits, 1);
        EXPECT_EQ(named.releases, acquired ? 1 : 0);
    }
    // Without a lock (it could not be created) the scoped lock does nothing.
    CSyncMgrLock none(nullptr);
    EXPECT_FALSE(none.IsAcquired());
}

}  // namespace
