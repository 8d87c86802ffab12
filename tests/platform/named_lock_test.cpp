#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/charset.h"
#include "platform/named_lock.h"
#include "support/child_process.h"
#include "support/isolated_env.h"
#include "support/temp_folder.h"

using vesk::NamedLock;
using vesk::test::ForkedChild;
using vesk::test::Pipe;
using Result = NamedLock::WaitResult;

namespace {

// Long enough for a child that is not blocked to answer, short enough to keep the
// suite fast; a wrong "blocked" verdict would only hide a fault, never invent one.
constexpr int kBlockedMs = 300;
constexpr int kAnswerMs = 10000;

std::wstring UniqueName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return vesk::Utf8ToWide(std::string("test.") + info->name());
}

// Every test gets a lock folder of its own, which its children inherit.
class NamedLockTest : public ::testing::Test {
protected:
    void SetUp() override { m_env.Set("VESK_LOCK_DIR", m_dir.path()); }
    vesk::test::TempFolder m_dir;
    vesk::test::ScopedEnvironment m_env;
};

char Code(Result r) {
    return r == Result::Acquired ? 'A' : r == Result::Abandoned ? 'B' : 'F';
}

// A child process that opens the lock and waits for it: it has said it is waiting
// once constructed; Blocked() checks it still waits, Outcome() gives what its wait
// returned (A acquired, B abandoned, F failed) once it has released again.
class Waiter {
public:
    explicit Waiter(const std::wstring& name)
        : m_child([this, name] {
              auto lock = NamedLock::CreateOrOpen(name);
              if (!lock)
                  return 10;
              m_pipe.Send('w');
              Result r = lock->Wait();
              m_pipe.Send(Code(r));
              if (r != Result::Failed)
                  lock->Release();
              return 0;
          }) {
        EXPECT_EQ(m_pipe.Receive(kAnswerMs), 'w');
    }
    bool Blocked() { return m_pipe.Receive(kBlockedMs) == 0; }
    char Outcome() {
        char c = m_pipe.Receive(kAnswerMs);
        EXPECT_EQ(m_child.Wait(), 0);
        return c;
    }

private:
    Pipe m_pipe;
    ForkedChild m_child;
};

// A child process that takes the lock and keeps it until killed; with a helper, it
// first forks a process that outlives it (until the Waiter it was given ends).
std::unique_ptr<ForkedChild> StartHolder(const std::wstring& name, Pipe* helperQuit = nullptr) {
    Pipe p;
    auto holder = std::make_unique<ForkedChild>([&] {
        auto lock = NamedLock::CreateOrOpen(name);
        if (!lock || lock->Wait() != Result::Acquired)
            return 10;
        if (helperQuit && fork() == 0) {
            p.Send('h');
            helperQuit->Receive(kAnswerMs * 2);
            _exit(0);
        }
        if (!helperQuit)
            p.Send('h');
        for (;;)
            pause();
    });
    EXPECT_EQ(p.Receive(kAnswerMs), 'h');
    return holder;
}

// Another process waits until the owning thread has released each acquisition, by
// any object of the same name; a release from another thread or one too many is
// ignored.
TEST_F(NamedLockTest, AnotherProcessWaitsForTheLastReleaseOfTheOwner) {
    const auto name = UniqueName();
    auto lock = NamedLock::CreateOrOpen(name);
    auto second = NamedLock::CreateOrOpen(name);
    ASSERT_TRUE(lock && second);
    ASSERT_EQ(lock->Wait(), Result::Acquired);
    ASSERT_EQ(second->Wait(), Result::Acquired);
    ASSERT_EQ(lock->Wait(), Result::Acquired);

    Waiter child(name);
    std::thread([&] { lock->Release(); }).join();
    lock->Release();
    second->Release();
    EXPECT_TRUE(child.Blocked()) << "released before the owner's last release";
    lock->Release();
    EXPECT_EQ(child.Outcome(), 'A');
    lock->Release();
    // Free again once the child has released it.
    EXPECT_EQ(lock->Wait(), Result::Acquired);
    lock->Release();
}

TEST_F(NamedLockTest, ObjectCarriedThroughForkStillExcludes) {
    auto lock = NamedLock::CreateOrOpen(UniqueName());
    ASSERT_TRUE(lock);
    ASSERT_EQ(lock->Wait(), Result::Acquired);
    Pipe p;
    // The child uses the object it inherited, made and held by the parent.
    ForkedChild child([&] {
        p.Send('w');
        Result r = lock->Wait();
        p.Send(Code(r));
        lock->Release();
        return 0;
    });
    ASSERT_EQ(p.Receive(kAnswerMs), 'w');
    EXPECT_EQ(p.Receive(kBlockedMs), 0) << "the child shared the parent's ownership";
    lock->Release();
    EXPECT_EQ(p.Receive(kAnswerMs), 'A');
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(NamedLockTest, HolderKilledWhileHoldingIsReportedAbandoned) {
    const auto name = UniqueName();
    auto holder = StartHolder(name);
    auto lock = NamedLock::CreateOrOpen(name);
    ASSERT_TRUE(lock);
    // Wait while the holder still lives; it is killed during the wait.
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        holder->Kill(SIGKILL);
    });
    Result r = lock->Wait();
    killer.join();
    EXPECT_EQ(holder->Wait(), 128 + SIGKILL);
    EXPECT_EQ(r, Result::Abandoned);
    lock->Release();
    // A proper release clears the mark: the next holder is told nothing happened.
    EXPECT_EQ(Waiter(name).Outcome(), 'A');
}

// Killed before the next arrives, also when a process it forked while holding lives on.
TEST_F(NamedLockTest, HolderKilledBeforeTheNextArrivesIsAbandoned) {
    for (bool helper : {false, true}) {
        SCOPED_TRACE(helper ? "with a helper" : "alone");
        const auto name = UniqueName() + (helper ? L"h" : L"");
        Pipe quit;
        auto holder = StartHolder(name, helper ? &quit : nullptr);
        holder->Kill(SIGKILL);
        holder->Wait();
        EXPECT_EQ(Waiter(name).Outcome(), 'B') << "the lock outlived its dead holder";
        quit.Send('q');
    }
}

TEST_F(NamedLockTest, ThreadsOfOneProcessAreSerialised) {
    const auto name = UniqueName();
    constexpr int kThreads = 4, kRounds = 2000;
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0}, failures{0};
    long counter = 0;  // deliberately unsynchronised but for the lock
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            auto lock = NamedLock::CreateOrOpen(name);
            if (!lock) {
                ++failures;
                return;
            }
            for (int i = 0; i < kRounds; ++i) {
                if (lock->Wait() != Result::Acquired)
                    ++failures;
                if (inside.exchange(true))
                    ++overlaps;
                long seen = counter;
                if (i % 100 == 0)
                    std::this_thread::yield();
                counter = seen + 1;
                inside = false;
                lock->Release();
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(counter, kThreads * kRounds);
}

TEST_F(NamedLockTest, AnyNameMapsToOneFileInsideTheLockFolder) {
    const std::string dir = vesk::WideToUtf8(vesk::LockDirectory());
    ASSERT_EQ(dir, m_dir.path());
    const std::wstring names[] = {
        L"OV_VESK_SYNCMGR",
        L"../../escape",
        L"Global\\x/y",
        L".hidden",
        L"a b",
        L"\u00fc\u2603",
        std::wstring(300, L'n'),
        std::wstring(300, L'n') + L"2",
    };
    std::vector<std::unique_ptr<NamedLock>> locks;
    for (const auto& n : names) {
        bool created = false;
        locks.push_back(NamedLock::CreateOrOpen(n, &created));
        ASSERT_TRUE(locks.back()) << vesk::WideToUtf8(n);
        EXPECT_TRUE(created) << vesk::WideToUtf8(n);
        ASSERT_TRUE(NamedLock::CreateOrOpen(n, &created));
        EXPECT_FALSE(created) << vesk::WideToUtf8(n);
    }
    // Each name has its own file, all directly inside the folder; nothing escaped.
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        EXPECT_TRUE(e.is_regular_file()) << e.path();
        ++files;
    }
    EXPECT_EQ(files, std::size(names));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(dir).parent_path() / "escape"));
    EXPECT_FALSE(NamedLock::CreateOrOpen(L""));

    // Different names do not block each other, even the two long ones.
    ASSERT_EQ(locks[6]->Wait(), Result::Acquired);
    EXPECT_EQ(Waiter(names[7]).Outcome(), 'A');
    locks[6]->Release();
}

}  // namespace
