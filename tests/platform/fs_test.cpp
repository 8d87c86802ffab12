#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <optional>
#include <random>
#include <utility>

#include "platform/charset.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/syscalls.h"
#include "support/alloc_failure.h"
#include "support/temp_folder.h"
#include "sys_faults.h"

namespace fs = vesk::fs;
using vesk::test::PathExists;
using vesk::test::ReadFile;
using vesk::test::TempFolder;
using vesk::test::W;
using vesk::test::WriteFile;

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s)
        c = static_cast<char>(gen());
    return s;
}

std::vector<std::string> Names(const std::string& dir) {
    std::vector<fs::DirEntry> entries;
    std::vector<std::string> out;
    if (!fs::ListDirectory(W(dir), entries))
        return out;
    for (const auto& e : entries)
        out.push_back(vesk::WideToUtf8(e.name));
    std::sort(out.begin(), out.end());
    return out;
}

// Each test works in a fresh folder; P names a path in it in the library's wide form.
class FsTest : public ::testing::Test {
protected:
    std::wstring P(const std::string& rel = {}) const {
        return W(rel.empty() ? t.path() : t.Sub(rel));
    }
    TempFolder t;
};

// The error a failed call left, 0 when the call succeeded.
int Err(bool ok) {
    return ok ? 0 : vesk::LastOsError().code;
}

TEST_F(FsTest, QueriesTellKindsOfPathsApart) {
    WriteFile(t.Sub("file"), "x");
    mkdir(t.Sub("dir").c_str(), 0700);
    ASSERT_EQ(symlink("missing-target", t.Sub("dangling").c_str()), 0);
    ASSERT_EQ(symlink(t.Sub("dir").c_str(), t.Sub("dirlink").c_str()), 0);
    struct Case {
        std::wstring path;
        bool exists, file, folder;
        std::optional<uint64_t> size;
        bool mtime;
    };
    // A dangling link is something (it can be removed) but neither file nor folder.
    const Case cases[] = {
        {P("file"), true, true, false, 1, true},
        {P("dir"), true, false, true, std::nullopt, true},
        {P("dangling"), true, false, false, std::nullopt, false},
        {P("dirlink"), true, false, true, std::nullopt, true},
        {P("nothing"), false, false, false, std::nullopt, false},
        {L"", false, false, false, std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(vesk::WideToUtf8(c.path));
        EXPECT_EQ(fs::Exists(c.path), c.exists);
        EXPECT_EQ(fs::IsFile(c.path), c.file);
        EXPECT_EQ(fs::IsDirectory(c.path), c.folder);
        EXPECT_EQ(fs::FileSize(c.path), c.size);
        EXPECT_EQ(fs::ModificationTime(c.path).has_value(), c.mtime);
        if (!c.exists) {
            EXPECT_FALSE(fs::SetModificationTime(c.path, 1));
        }
    }
}

TEST_F(FsTest, CreateDirectoryAndTree) {
    EXPECT_TRUE(fs::CreateDirectory(P("one")));
    EXPECT_EQ(Err(fs::CreateDirectory(P("one"))), EEXIST);
    EXPECT_EQ(vesk::LastOsError().call, "mkdir");

    EXPECT_TRUE(fs::CreateDirectoryTree(P("a/b/c/")));
    EXPECT_TRUE(fs::IsDirectory(P("a/b/c")));
    EXPECT_TRUE(fs::CreateDirectoryTree(P("a/b/c")));  // already there
    EXPECT_TRUE(fs::CreateDirectoryTree(P("a//b/d")));

    WriteFile(t.Sub("plain"), "");
    EXPECT_EQ(Err(fs::CreateDirectoryTree(P("plain/x/y"))), ENOTDIR);
    EXPECT_FALSE(PathExists(t.Sub("plain/x")));
    EXPECT_FALSE(fs::CreateDirectoryTree(L""));
}

TEST_F(FsTest, CreateNewFileIsExclusiveAndEmpty) {
    EXPECT_TRUE(fs::CreateNewFile(P("n.tmp")));
    EXPECT_EQ(fs::FileSize(P("n.tmp")), 0u);
    WriteFile(t.Sub("n.tmp"), "kept");
    EXPECT_EQ(Err(fs::CreateNewFile(P("n.tmp"))), EEXIST);
    EXPECT_EQ(ReadFile(t.Sub("n.tmp")), "kept");
    EXPECT_EQ(Err(fs::CreateNewFile(P("no/such/dir/f"))), ENOENT);
}

TEST_F(FsTest, ListGivesNamesAndKinds) {
    WriteFile(t.Sub("a.txt"), "1");
    WriteFile(t.Sub("\xc3\xbc"
                    "ber \xe2\x98\x83.jpg"),
              "2");  // "über ☃.jpg"
    mkdir(t.Sub("sub").c_str(), 0700);
    ASSERT_EQ(symlink(t.Sub("sub").c_str(), t.Sub("link").c_str()), 0);

    std::vector<fs::DirEntry> entries{{L"stale", true}};
    ASSERT_TRUE(fs::ListDirectory(P(), entries));
    std::vector<std::pair<std::wstring, bool>> got;
    for (const auto& e : entries)
        got.emplace_back(e.name, e.isDirectory);
    std::sort(got.begin(), got.end());
    // A link to a folder must not be walked into.
    EXPECT_EQ(got, (decltype(got){{L"a.txt", false},
                                  {L"link", false},
                                  {L"sub", true},
                                  {L"\u00fcber \u2603.jpg", false}}));

    EXPECT_FALSE(fs::ListDirectory(P("missing"), entries));
    EXPECT_TRUE(entries.empty());
    EXPECT_EQ(vesk::LastOsError().call, "opendir");
}

// Running out of memory while a listing grows or a tree is removed must not leave a
// directory open.
TEST_F(FsTest, ListOutOfMemoryClosesTheDirectory) {
    ASSERT_TRUE(fs::CreateDirectoryTree(P("tree/sub")));
    for (int i = 0; i < 40; ++i)
        WriteFile(t.Sub("tree/f" + std::to_string(i)), "x");
    std::vector<fs::DirEntry> entries;
    ASSERT_TRUE(fs::ListDirectory(P("tree"), entries));
    ASSERT_EQ(entries.size(), 41u);
    const int before = vesk::test::OpenDescriptors();
    int failures = 0;
    for (auto op : {std::function<bool()>([&] { return fs::ListDirectory(P("tree"), entries); }),
                    std::function<bool()>([&] { return fs::RemoveTree(P("tree")); })}) {
        vesk::test::ForEachAllocationFailure(
            [&] {
                try {
                    return op() ? 1 : 0;
                } catch (const std::bad_alloc&) {
                    return -1001;
                }
            },
            [&](const vesk::test::AllocationFailureRun& run) {
                failures += run.failed;
                EXPECT_EQ(vesk::test::OpenDescriptors(), before) << "allocation " << run.failAt;
            });
    }
    EXPECT_GT(failures, 1);
}

TEST_F(FsTest, RemoveTreeGoesWithEverythingInside) {
    ASSERT_TRUE(fs::CreateDirectoryTree(P("tree/x/y/z")));
    WriteFile(t.Sub("tree/top"), "1");
    WriteFile(t.Sub("tree/x/y/z/deep"), "2");
    chmod(t.Sub("tree/x/y/z/deep").c_str(), 0400);  // read-only files go too

    EXPECT_EQ(Err(fs::RemoveDirectory(P("tree"))), ENOTEMPTY);
    EXPECT_TRUE(fs::RemoveTree(P("tree/")));
    EXPECT_FALSE(PathExists(t.Sub("tree")));
    EXPECT_EQ(Err(fs::RemoveTree(P("tree"))), ENOENT);

    WriteFile(t.Sub("single"), "s");
    EXPECT_TRUE(fs::RemoveTree(P("single")));
    EXPECT_FALSE(PathExists(t.Sub("single")));
}

TEST_F(FsTest, RemoveTreeNeverFollowsLinksOutside) {
    ASSERT_TRUE(fs::CreateDirectoryTree(P("outside/inner")));
    WriteFile(t.Sub("outside/precious"), "keep me");
    WriteFile(t.Sub("outside/inner/also"), "keep me too");
    ASSERT_TRUE(fs::CreateDirectoryTree(P("tree/sub")));
    ASSERT_EQ(symlink(t.Sub("outside").c_str(), t.Sub("tree/dirlink").c_str()), 0);
    ASSERT_EQ(symlink(t.Sub("outside/precious").c_str(), t.Sub("tree/sub/filelink").c_str()), 0);
    ASSERT_EQ(symlink("../../outside", t.Sub("tree/sub/relative").c_str()), 0);

    EXPECT_TRUE(fs::RemoveTree(P("tree")));
    EXPECT_FALSE(PathExists(t.Sub("tree")));
    EXPECT_EQ(ReadFile(t.Sub("outside/precious")), "keep me");
    EXPECT_EQ(ReadFile(t.Sub("outside/inner/also")), "keep me too");

    // Given a link itself, only the link goes.
    ASSERT_EQ(symlink(t.Sub("outside").c_str(), t.Sub("toplink").c_str()), 0);
    EXPECT_TRUE(fs::RemoveTree(P("toplink")));
    EXPECT_FALSE(PathExists(t.Sub("toplink")));
    EXPECT_EQ(ReadFile(t.Sub("outside/inner/also")), "keep me too");
}

TEST_F(FsTest, MoveRefusesAnExistingTargetAndMovesFolders) {
    WriteFile(t.Sub("from"), "new");
    WriteFile(t.Sub("to"), "old");
    EXPECT_EQ(Err(fs::MoveFile(P("from"), P("to"))), EEXIST);
    EXPECT_EQ(ReadFile(t.Sub("from")), "new");
    EXPECT_EQ(ReadFile(t.Sub("to")), "old");

    EXPECT_TRUE(fs::MoveFile(P("from"), P("moved")));
    EXPECT_FALSE(PathExists(t.Sub("from")));
    EXPECT_EQ(ReadFile(t.Sub("moved")), "new");

    ASSERT_TRUE(fs::CreateDirectoryTree(P("d1/inner")));
    WriteFile(t.Sub("d1/inner/f"), "f");
    EXPECT_TRUE(fs::MoveFile(P("d1"), P("d2")));
    EXPECT_EQ(ReadFile(t.Sub("d2/inner/f")), "f");
    EXPECT_EQ(Err(fs::MoveFile(P("missing"), P("x"))), ENOENT);
}

TEST_F(FsTest, CopyKeepsContentModeAndModificationTime) {
    const std::string data = RandomBytes(3 * 1024 * 1024 + 17, 1);
    WriteFile(t.Sub("src"), data);
    chmod(t.Sub("src").c_str(), 0640);
    ASSERT_TRUE(fs::SetModificationTime(P("src"), 1'000'000'000));

    ASSERT_TRUE(fs::CopyFile(P("src"), P("dst"), true));
    EXPECT_EQ(ReadFile(t.Sub("dst")), data);
    struct stat st;
    ASSERT_EQ(stat(t.Sub("dst").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(fs::ModificationTime(P("dst")), 1'000'000'000);
    EXPECT_EQ(Names(t.path()), (std::vector<std::string>{"dst", "src"}));
}

TEST_F(FsTest, CopyFailIfExistsDecidesAboutTheTarget) {
    WriteFile(t.Sub("src"), "fresh");
    WriteFile(t.Sub("dst"), "old");
    EXPECT_EQ(Err(fs::CopyFile(P("src"), P("dst"), true)), EEXIST);
    EXPECT_EQ(ReadFile(t.Sub("dst")), "old");
    EXPECT_TRUE(fs::CopyFile(P("src"), P("dst"), false));
    EXPECT_EQ(ReadFile(t.Sub("dst")), "fresh");

    mkdir(t.Sub("folder").c_str(), 0700);
    EXPECT_EQ(Err(fs::CopyFile(P("folder"), P("copy"), false)), EISDIR);
    EXPECT_FALSE(fs::CopyFile(P("missing"), P("copy"), false));
    EXPECT_FALSE(PathExists(t.Sub("copy")));
    // A folder in the way is not replaced by a file.
    EXPECT_FALSE(fs::CopyFile(P("src"), P("folder"), false));
    EXPECT_TRUE(fs::IsDirectory(P("folder")));
    EXPECT_EQ(Names(t.path()), (std::vector<std::string>{"dst", "folder", "src"}));
}

TEST_F(FsTest, TimesCreationTimeIsKeptApartFromModificationTime) {
    WriteFile(t.Sub("f"), "x");
    // The time a fresh file reports without an attribute is its birth (or change) time.
    auto born = fs::CreationTime(P("f"));
    ASSERT_TRUE(born);
    EXPECT_LE(std::abs(*born - std::time(nullptr)), 60);

    if (setxattr(t.Sub("f").c_str(), "user.probe", "1", 1, 0) != 0 &&
        (errno == ENOTSUP || errno == EPERM))
        GTEST_SKIP() << "the file system under /tmp refuses user extended attributes";
    ASSERT_TRUE(fs::SetCreationTime(P("f"), 946'684'800));  // 2000-01-01
    ASSERT_TRUE(fs::SetModificationTime(P("f"), 1'600'000'000));
    EXPECT_EQ(fs::CreationTime(P("f")), 946'684'800);
    EXPECT_EQ(fs::ModificationTime(P("f")), 1'600'000'000);
    // Before 1970 too (dates come from devices).
    ASSERT_TRUE(fs::SetCreationTime(P("f"), -86'400));
    EXPECT_EQ(fs::CreationTime(P("f")), -86'400);
    // The attribute travels with a rename.
    ASSERT_TRUE(fs::MoveFile(P("f"), P("g")));
    EXPECT_EQ(fs::CreationTime(P("g")), -86'400);

    EXPECT_FALSE(fs::SetCreationTime(P("missing"), 1));
    EXPECT_EQ(vesk::LastOsError().call, "setxattr");
    EXPECT_FALSE(fs::CreationTime(P("missing")));
}

TEST_F(FsTest, VolumeRootSizeAndKind) {
    char real[PATH_MAX];
    ASSERT_TRUE(realpath(t.path().c_str(), real));
    std::wstring root = fs::VolumeRoot(P());
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(root.back(), L'/');
    EXPECT_EQ(W(real).rfind(root, 0), 0u) << "root must prefix the folder";
    // A folder yet to be made belongs to the volume of its existing ancestor.
    EXPECT_EQ(fs::VolumeRoot(P("not/yet/made")), root);

    auto total = fs::VolumeTotalBytes(P());
    ASSERT_TRUE(total);
    EXPECT_GT(*total, 0u);
    EXPECT_FALSE(fs::VolumeTotalBytes(P("missing")));

    EXPECT_TRUE(fs::IsFixedVolume(P()));
    EXPECT_FALSE(fs::IsFixedVolume(L"/proc"));
    EXPECT_FALSE(fs::IsFixedVolume(P("missing")));
    EXPECT_EQ(fs::VolumeRoot(L"/proc/self/fd"), L"/proc/");
    EXPECT_EQ(fs::VolumeRoot(L""), L"");
}

// ---- failures injected through the system-call table ------------------------

// The path (or, for unlinkat, the name) whose call fails.
std::string g_failPath;

// True, with errno set to err, when the call is about g_failPath.
bool Refuse(const char* path, int err) {
    if (g_failPath != path)
        return false;
    errno = err;
    return true;
}

TEST_F(FsTest, FaultsTreeCreationFailsCleanlyAtAMiddleLevel) {
    vesk::ScopedSysCalls restore;
    vesk::Sys().mkdir = [](const char* p, mode_t m) {
        return Refuse(p, EACCES) ? -1 : vesk::RealSysCalls().mkdir(p, m);
    };
    g_failPath = t.Sub("base/a/b");
    ASSERT_TRUE(fs::CreateDirectory(P("base")));

    EXPECT_FALSE(fs::CreateDirectoryTree(P("base/a/b/c/d")));
    const auto& e = vesk::LastOsError();
    EXPECT_EQ(e.call, "mkdir");
    EXPECT_EQ(e.code, EACCES);
    EXPECT_EQ(e.path, P("base/a/b"));
    // The level it made on the way is gone again; what was there stays.
    EXPECT_FALSE(PathExists(t.Sub("base/a")));
    EXPECT_TRUE(fs::IsDirectory(P("base")));
}

TEST_F(FsTest, FaultsCopyOnAFullDiskLeavesNoPartialTarget) {
    WriteFile(t.Sub("src"), RandomBytes(1 << 20, 2));
    WriteFile(t.Sub("old"), "previous");
    vesk::ScopedSysCalls restore;
    vesk::Sys().write = vesk::test::WriteUntilFull;

    vesk::test::g_writeBudget = 100'000;
    EXPECT_FALSE(fs::CopyFile(P("src"), P("new"), true));
    EXPECT_EQ(vesk::LastOsError().call, "write");
    EXPECT_EQ(vesk::LastOsError().code, ENOSPC);
    EXPECT_FALSE(PathExists(t.Sub("new")));

    vesk::test::g_writeBudget = 100'000;
    EXPECT_FALSE(fs::CopyFile(P("src"), P("old"), false));
    EXPECT_EQ(ReadFile(t.Sub("old")), "previous");
    // No temporary file left behind either.
    EXPECT_EQ(Names(t.path()), (std::vector<std::string>{"old", "src"}));
}

TEST_F(FsTest, FaultsInterruptedAndShortCallsAreResumed) {
    const std::string data = RandomBytes(5000, 3);
    WriteFile(t.Sub("src"), data);
    vesk::test::InterruptedCalls interrupted;
    ASSERT_TRUE(fs::CopyFile(P("src"), P("dst"), true));
    EXPECT_EQ(ReadFile(t.Sub("dst")), data);
}

TEST_F(FsTest, FaultsMoveAcrossVolumesCopiesFilesButNotFolders) {
    WriteFile(t.Sub("doc.pdf"), "document body");
    ASSERT_TRUE(fs::SetModificationTime(P("doc.pdf"), 1'500'000'000));
    const bool xattrs = fs::SetCreationTime(P("doc.pdf"), 1'400'000'000);
    mkdir(t.Sub("other").c_str(), 0700);
    mkdir(t.Sub("folder").c_str(), 0700);
    vesk::ScopedSysCalls restore;
    vesk::Sys().rename = [](const char* from, const char* to, unsigned flags) {
        return Refuse(from, EXDEV) ? -1 : vesk::RealSysCalls().rename(from, to, flags);
    };

    g_failPath = t.Sub("doc.pdf");
    ASSERT_TRUE(fs::MoveFile(P("doc.pdf"), P("other/doc.pdf")));
    EXPECT_FALSE(PathExists(t.Sub("doc.pdf")));
    EXPECT_EQ(ReadFile(t.Sub("other/doc.pdf")), "document body");
    EXPECT_EQ(fs::ModificationTime(P("other/doc.pdf")), 1'500'000'000);
    if (xattrs) {
        EXPECT_EQ(fs::CreationTime(P("other/doc.pdf")), 1'400'000'000);
    }

    g_failPath = t.Sub("folder");
    EXPECT_EQ(Err(fs::MoveFile(P("folder"), P("other/folder"))), EXDEV);
    EXPECT_TRUE(fs::IsDirectory(P("folder")));
    EXPECT_FALSE(PathExists(t.Sub("other/folder")));
}

TEST_F(FsTest, FaultsTreeRemovalReportsTheFailureAndRemovesTheRest) {
    ASSERT_TRUE(fs::CreateDirectoryTree(P("tree/a")));
    ASSERT_TRUE(fs::CreateDirectoryTree(P("tree/b")));
    WriteFile(t.Sub("tree/a/locked.txt"), "1");
    WriteFile(t.Sub("tree/a/free.txt"), "2");
    WriteFile(t.Sub("tree/b/free.txt"), "3");
    vesk::ScopedSysCalls restore;
    vesk::Sys().unlinkat = [](int dirfd, const char* name, int flags) {
        return Refuse(name, EACCES) ? -1 : vesk::RealSysCalls().unlinkat(dirfd, name, flags);
    };
    g_failPath = "locked.txt";

    EXPECT_FALSE(fs::RemoveTree(P("tree")));
    EXPECT_EQ(vesk::LastOsError().call, "unlink");
    EXPECT_EQ(vesk::LastOsError().code, EACCES);
    EXPECT_EQ(vesk::LastOsError().path, P("tree/a/locked.txt"));
    EXPECT_TRUE(PathExists(t.Sub("tree/a/locked.txt")));
    EXPECT_FALSE(PathExists(t.Sub("tree/a/free.txt")));
    EXPECT_FALSE(PathExists(t.Sub("tree/b")));
}

}  // namespace
