#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/charset.h"
#include "platform/error.h"
#include "platform/file.h"
#include "platform/syscalls.h"
#include "support/child_process.h"
#include "support/temp_folder.h"

// Paths in the library's wide form.
static std::wstring W(const std::string& utf8) {
    return vesk::Utf8ToWide(utf8);
}

using vesk::test::ReadFile;
using vesk::test::TempFolder;
using vesk::test::WriteFile;

namespace {

int OpenDescriptors() {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1)
            ++n;
    return n;
}

int OpenDenied(const char*, int, mode_t) {
    errno = EACCES;
    return -1;
}

TEST(CFileOpen, ReportsWhyItFailed) {
    TempFolder t;
    struct Case {
        std::string path;
        unsigned mode;
        bool denyOpen;  // the system refuses every open
        int cause, osError;
    };
    // A folder cannot be opened as a file, read-only either.
    const Case cases[] = {
        {t.Sub("missing"), CFile::modeRead, false, CFileException::fileNotFound, ENOENT},
        {t.Sub("no/dir/f"), CFile::modeCreate | CFile::modeWrite, false,
         CFileException::fileNotFound, ENOENT},
        {t.path(), CFile::modeRead, false, CFileException::accessDenied, EISDIR},
        {t.Sub("f"), CFile::modeCreate | CFile::modeWrite, true, CFileException::accessDenied,
         EACCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        vesk::ScopedSysCalls restore;
        if (c.denyOpen)
            vesk::Sys().open = OpenDenied;
        CFile f;
        CFileException e;
        EXPECT_FALSE(f.Open(W(c.path).c_str(), c.mode, &e));
        EXPECT_EQ(e.m_cause, c.cause);
        EXPECT_EQ(e.m_lOsError, c.osError);
        EXPECT_EQ(e.m_strFileName, W(c.path).c_str());
        EXPECT_FALSE(f.IsOpen());
        // The constructor throws what Open reports.
        try {
            CFile thrown(W(c.path).c_str(), c.mode);
            ADD_FAILURE() << "no exception";
        } catch (const CFileException& x) {
            EXPECT_EQ(x.m_cause, c.cause);
            EXPECT_NE(std::string(x.what()).find(c.path.substr(c.path.rfind('/') + 1)),
                      std::string::npos);
        }
    }
    EXPECT_EQ(vesk::LastOsError().call, "open");
    CFile f;
    EXPECT_FALSE(f.Open(L"", CFile::modeRead));
}

TEST(CFileIo, WriteSeekReadAndLength) {
    TempFolder t;
    const std::wstring path = W(t.Sub("data.bin"));
    {
        CFile f(path.c_str(), CFile::modeCreate | CFile::modeReadWrite | CFile::typeBinary);
        f.Write("hello world", 11);
        EXPECT_EQ(f.GetLength(), 11u);
        EXPECT_EQ(f.GetPosition(), 11u);
        EXPECT_EQ(f.Seek(-5, CFile::end), 6u);
        char buf[16] = {};
        EXPECT_EQ(f.Read(buf, sizeof buf), 5u);
        EXPECT_STREQ(buf, "world");
        EXPECT_EQ(f.Read(buf, sizeof buf), 0u);  // end of file
        f.SeekToBegin();
        f.Write("J", 1);
        f.SetLength(5);
        f.Flush();
        EXPECT_EQ(f.GetFileName(), L"data.bin");
        f.Close();
        EXPECT_FALSE(f.IsOpen());
        f.Close();  // a second close does nothing
    }
    EXPECT_EQ(ReadFile(t.Sub("data.bin")), "Jello");

    // modeNoTruncate keeps the content; modeCreate alone empties the file.
    {
        CFile f(path.c_str(), CFile::modeCreate | CFile::modeNoTruncate | CFile::modeWrite);
        EXPECT_EQ(f.GetLength(), 5u);
        f.SeekToEnd();
        f.Write("!", 1);
    }
    EXPECT_EQ(ReadFile(t.Sub("data.bin")), "Jello!");
    { CFile f(path.c_str(), CFile::modeCreate | CFile::modeWrite); }
    EXPECT_EQ(ReadFile(t.Sub("data.bin")), "");
}

TEST(CFileIo, MisuseThrowsInsteadOfFailingSilently) {
    TempFolder t;
    WriteFile(t.Sub("f"), "abc");
    CFile reader(W(t.Sub("f")).c_str(), CFile::modeRead | CFile::shareDenyNone);
    try {
        reader.Write("x", 1);
        FAIL() << "write on a read-only file";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, CFileException::accessDenied);
    }
    try {
        reader.Seek(-10, CFile::begin);
        FAIL() << "seek before the start";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, CFileException::badSeek);
    }
    CFile closed;
    char c;
    EXPECT_THROW(closed.Read(&c, 1), CFileException);
    EXPECT_EQ(ReadFile(t.Sub("f")), "abc");
}

TEST(CFileSharing, ExclusiveOpenKeepsOthersOut) {
    TempFolder t;
    const std::wstring path = W(t.Sub("shared"));
    WriteFile(t.Sub("shared"), "x");
    CFileException e;
    {
        CFile a(path.c_str(), CFile::modeRead | CFile::shareDenyNone);
        CFile b;
        EXPECT_TRUE(b.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone));
        CFile c;
        EXPECT_FALSE(c.Open(path.c_str(), CFile::modeWrite | CFile::shareExclusive, &e));
        EXPECT_EQ(e.m_cause, CFileException::sharingViolation);
    }
    {
        // shareCompat, the default, is exclusive as in MFC.
        CFile a(path.c_str(), CFile::modeWrite);
        CFile b;
        EXPECT_FALSE(b.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone, &e));
        EXPECT_EQ(e.m_cause, CFileException::sharingViolation);
    }
    // The destructor closed the exclusive one, so the file is free again.
    CFile again;
    EXPECT_TRUE(again.Open(path.c_str(), CFile::modeRead | CFile::shareExclusive));
}

TEST(CFileLifetime, DestructorClosesEvenAfterFailures) {
    TempFolder t;
    const int before = OpenDescriptors();
    for (int i = 0; i < 20; ++i) {
        CFile f(W(t.Sub("f")).c_str(), CFile::modeCreate | CFile::modeReadWrite);
        f.Write("abc", 3);
        try {
            f.Seek(-1, CFile::begin);
        } catch (const CFileException&) {
        }
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

// ---- failures injected through the system-call table ------------------------

size_t g_budget = 0;
int g_calls = 0;

ssize_t WriteUntilFull(int fd, const void* buf, size_t n) {
    if (g_budget == 0) {
        errno = ENOSPC;
        return -1;
    }
    n = std::min(n, g_budget);
    g_budget -= n;
    return vesk::RealSysCalls().write(fd, buf, n);
}

TEST(CFileFaults, FullDiskThrowsDiskFull) {
    TempFolder t;
    vesk::ScopedSysCalls restore;
    vesk::Sys().write = WriteUntilFull;
    g_budget = 10;
    CFile f(W(t.Sub("f")).c_str(), CFile::modeCreate | CFile::modeWrite);
    try {
        f.Write("0123456789ABCDEF", 16);
        FAIL() << "no exception";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, CFileException::diskFull);
        EXPECT_EQ(e.m_lOsError, ENOSPC);
        EXPECT_EQ(e.m_strFileName, W(t.Sub("f")).c_str());
    }
    EXPECT_EQ(vesk::LastOsError().code, ENOSPC);
}

ssize_t InterruptedRead(int fd, void* buf, size_t n) {
    if (++g_calls % 2) {
        errno = EINTR;
        return -1;
    }
    return vesk::RealSysCalls().read(fd, buf, std::min<size_t>(n, 3));
}

ssize_t InterruptedWrite(int fd, const void* buf, size_t n) {
    if (++g_calls % 2) {
        errno = EINTR;
        return -1;
    }
    return vesk::RealSysCalls().write(fd, buf, std::min<size_t>(n, 3));
}

int InterruptedOpen(const char* p, int flags, mode_t mode) {
    if (++g_calls % 2) {
        errno = EINTR;
        return -1;
    }
    return vesk::RealSysCalls().open(p, flags, mode);
}

TEST(CFileFaults, InterruptedCallsAreRepeated) {
    TempFolder t;
    vesk::ScopedSysCalls restore;
    vesk::Sys().open = InterruptedOpen;
    vesk::Sys().read = InterruptedRead;
    vesk::Sys().write = InterruptedWrite;
    g_calls = 0;
    {
        CFile f(W(t.Sub("f")).c_str(), CFile::modeCreate | CFile::modeWrite);
        f.Write("interrupted but whole", 21);
    }
    EXPECT_EQ(ReadFile(t.Sub("f")), "interrupted but whole");
    CFile f(W(t.Sub("f")).c_str(), CFile::modeRead);
    std::string got;
    char buf[8];
    while (unsigned n = f.Read(buf, sizeof buf))
        got.append(buf, n);
    EXPECT_EQ(got, "interrupted but whole");
}

}  // namespace
