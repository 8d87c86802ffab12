// Replacement of the device registry file that survives failing system calls and a
// killed writer (POSIX: the faults go through the call table, the writers are forked).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

#include "platform/atomic_file.h"
#include "platform/charset.h"
#include "platform/error.h"
#include "platform/syscalls.h"
#include "registry/device_registry_file.h"
#include "support/child_process.h"
#include "support/registry_fixture.h"

namespace {

using vesk::DeviceRegistryEntry;
using vesk::DeviceRegistryFile;
using vesk::test::EntriesIn;
using vesk::test::ReadBytes;
using vesk::test::WriteBytes;

using RegistryFileFaults = vesk::test::RegistryFilesFixture;

// Whichever step of a replacement fails (a full disk, a failing flush, a failing close,
// a refused rename), the old file stays whole and no temporary file is left behind.
TEST_F(RegistryFileFaults, FailedReplaceKeepsTheOldFile) {
    CString path = PathOf("f.xml");
    WriteBytes(path, "old contents");
    struct Fault {
        const char* call;
        void (*inject)(vesk::SysCalls&);
    };
    const Fault faults[] = {
        {"write",
         [](vesk::SysCalls& s) {
             s.write = [](int, const void*, size_t) -> ssize_t { return errno = ENOSPC, -1; };
         }},
        {"fsync", [](vesk::SysCalls& s) { s.fsync = [](int) { return errno = EIO, -1; }; }},
        {"close",
         [](vesk::SysCalls& s) {
             s.close = [](int fd) { return vesk::RealSysCalls().close(fd), errno = EIO, -1; };
         }},
        {"rename",
         [](vesk::SysCalls& s) {
             s.rename = [](const char*, const char*, unsigned) { return errno = EXDEV, -1; };
         }},
    };
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.call);
        {
            vesk::ScopedSysCalls restore;
            f.inject(vesk::Sys());
            EXPECT_FALSE(vesk::fs::ReplaceFileAtomically(path.str(), "new contents"));
            EXPECT_EQ(vesk::LastOsError().call, f.call);
        }
        EXPECT_EQ(ReadBytes(path), "old contents");
        EXPECT_EQ(EntriesIn(Dir()), 1);  // f.xml alone
    }
    // Replaced at last, the file keeps its permission bits.
    ASSERT_EQ(::chmod(vesk::WideToUtf8(path.str()).c_str(), 0640), 0);
    EXPECT_TRUE(vesk::fs::ReplaceFileAtomically(path.str(), "new contents"));
    EXPECT_EQ(ReadBytes(path), "new contents");
    EXPECT_EQ(EntriesIn(Dir()), 1);
    struct stat st {};
    ASSERT_EQ(::stat(vesk::WideToUtf8(path.str()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

// A writer killed at any moment leaves either the old or the new file, never a
// half-written one. The child rewrites a large file in a loop; the parent kills it at
// random moments and parses what is there.
TEST_F(RegistryFileFaults, KilledWriterNeverLeavesATornFile) {
    CString path = PathOf("k.xml");
    std::mt19937 rng(12345);
    for (int round = 0; round < 25; ++round) {
        vesk::test::ForkedChild writer([&] {
            DeviceRegistryFile file;
            file.StartNew();
            for (long n = 1;; ++n) {
                // Each version has n * 50 entries, so versions differ in size.
                for (int k = 0; k < 50; ++k) {
                    DeviceRegistryEntry e;
                    e.id = n;
                    e.name = L"device name that makes the file long enough to tear";
                    e.address = L"192.168.100.200";
                    file.Append(e);
                }
                file.Save(path);
            }
            return 0;
        });
        std::this_thread::sleep_for(std::chrono::microseconds(2000 + rng() % 30000));
        writer.Kill(SIGKILL);
        ASSERT_EQ(writer.Wait(), 128 + SIGKILL);

        if (!std::filesystem::exists(Dir() / "k.xml"))
            continue;  // killed before the first save
        DeviceRegistryFile file;
        ASSERT_EQ(file.Load(path), DeviceRegistryFile::LoadResult::Loaded) << "round " << round;
        auto entries = file.ReadEntries();
        ASSERT_FALSE(entries.empty());
        ASSERT_EQ(entries.size() % 50, 0u);
        EXPECT_EQ(entries.back().id, static_cast<long>(entries.size() / 50));
    }

    // Killed writers may have left their temporary files. The next save removes those
    // of processes that are gone, and keeps that of a writer still at work.
    vesk::test::ForkedChild live([] {
        ::pause();
        return 0;
    });
    vesk::test::ForkedChild dead([] { return 0; });
    ASSERT_EQ(dead.Wait(), 0);
    auto temporary = [&](pid_t pid) {
        std::ostringstream name;
        name << "k.xml.vesk-new-" << std::hex << pid << "-7";
        return Dir() / name.str();
    };
    WriteBytes(temporary(dead.pid()), "half");
    WriteBytes(temporary(live.pid()), "half");
    DeviceRegistryFile file;
    file.StartNew();
    ASSERT_TRUE(file.Save(path));
    live.Kill(SIGKILL);
    live.Wait();
    EXPECT_TRUE(std::filesystem::exists(temporary(live.pid())));
    EXPECT_EQ(EntriesIn(Dir()), 2);  // k.xml and the live writer's file
}

}  // namespace
