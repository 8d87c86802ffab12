#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/app.h"
#include "core/sync_lock.h"
#include "platform/env.h"
#include "platform/named_lock.h"
#include "support/isolated_env.h"

namespace {

using namespace std::chrono_literals;

class ModuleAppTest : public vesk::test::IsolatedEnv {};

TEST_F(ModuleAppTest, StartsOnceWhicheverThreadComesFirst) {
    std::vector<COVVESKMiddleLayerApp*> seen(8, nullptr);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&, i] {
            while (!go)
                std::this_thread::yield();
            seen[i] = &COVVESKMiddleLayerApp::Get();
        });
    }
    go = true;
    for (auto& t : threads)
        t.join();
    for (auto* app : seen)
        EXPECT_EQ(app, seen[0]);
    ASSERT_NE(seen[0]->GetSyncMutex(), nullptr);

    // The lock exists under the shared name (in the test's own lock space), so opening
    // it again finds it.
    bool created = true;
    EXPECT_TRUE(vesk::NamedLock::CreateOrOpen(L"OV_VESK_SYNCMGR", &created));
    EXPECT_FALSE(created);
}

TEST_F(ModuleAppTest, AnotherModuleObjectOpensTheSameLock) {
    COVVESKMiddleLayerApp second;
    ASSERT_EQ(second.InitInstance(), TRUE);
    vesk::NamedLock* const opened = second.GetSyncMutex();
    ASSERT_NE(opened, nullptr);
    second.InitInstance();
    EXPECT_EQ(second.GetSyncMutex(), opened) << "a second start-up must keep its lock";

    std::atomic<bool> otherGotIt{false};
    std::thread other;
    {
        CSyncMgrLock held;  // through the module object
        ASSERT_TRUE(held.IsAcquired());
        other = std::thread([&] {
            CSyncMgrLock lock(opened);
            otherGotIt = lock.IsAcquired();
        });
        std::this_thread::sleep_for(200ms);
        EXPECT_FALSE(otherGotIt);
    }
    other.join();
    EXPECT_TRUE(otherGotIt);
}

TEST_F(ModuleAppTest, StartsWithoutALockItCannotCreate) {
    // A lock folder below a regular file cannot exist, whoever runs the test.
    const auto blocker = Root() / "not-a-folder";
    std::ofstream(blocker) << "x";
    const std::wstring saved = vesk::env::Get(L"VESK_LOCK_DIR");
    vesk::env::Set(L"VESK_LOCK_DIR", (blocker / "locks").wstring());
    COVVESKMiddleLayerApp app;
    const BOOL started = app.InitInstance();
    vesk::env::Set(L"VESK_LOCK_DIR", saved);

    EXPECT_EQ(started, TRUE);
    EXPECT_EQ(app.GetSyncMutex(), nullptr);
    CSyncMgrLock lock(app.GetSyncMutex());
    EXPECT_FALSE(lock.IsAcquired());
}

}  // namespace
