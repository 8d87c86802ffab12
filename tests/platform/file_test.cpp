#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/error.h"
#include "platform/file.h"
#include "platform/syscalls.h"
#include "support/temp_folder.h"
#include "sys_faults.h"

using vesk::test::OpenDescriptors;
using vesk::test::ReadFile;
using vesk::test::TempFolder;
using vesk::test::W;
using vesk::test::WriteFile;

namespace {

// The cause of the CFileException f throws, -1 when it throws none.
template <class F>
int CauseOf(F f) {
    try {
        f();
    } catch (const CFileException& e) {
        return e.m_cause;
    }
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
            vesk::Sys().open = [](const char*, int, mode_t) { return errno = EACCES, -1; };
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
    EXPECT_EQ(CauseOf([&] { reader.Write("x", 1); }), CFileException::accessDenied);
    EXPECT_EQ(CauseOf([&] { reader.Seek(-10, CFile::begin); }), CFileException::badSeek);
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
        EXPECT_EQ(CauseOf([&] { f.Seek(-1, CFile::begin); }), CFileException::badSeek);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

// ---- failures injected through the system-call table ------------------------

TEST(CFileFaults, FullDiskThrowsDiskFull) {
    TempFolder t;
    vesk::ScopedSysCalls restore;
    vesk::Sys().write = vesk::test::WriteUntilFull;
    vesk::test::g_writeBudget = 10;
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

TEST(CFileFaults, InterruptedCallsAreRepeated) {
    TempFolder t;
    vesk::test::InterruptedCalls interrupted;
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
