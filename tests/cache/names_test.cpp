// Names inside the trees: hex levels, escaping, unique names, valid names, transfer files,
// and the path helpers they rest on.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "cache/unique_names.h"
#include "cache/utility.h"
#include "cache/vesk_cache.h"
#include "cache_env.h"
#include "platform/charset.h"
#include "platform/fs.h"
#include "support/data_table.h"
#include "support/temp_folder.h"
#include "tree_builder.h"

namespace {

using vesk::cache::GetUniqueState;
using vesk::cache::SetUniqueState;
using vesk::cache::UniqueSeries;
using vesk::cachetest::CacheEnv;
using vesk::cachetest::Native;

class CacheNames : public CacheEnv {
protected:
    std::wstring W(const std::string& s) { return vesk::Utf8ToWide(s); }
    std::wstring Folder(const std::string& name) {
        vesk::cachetest::MakeFolder(Tmp() + "/" + name);
        return W(Tmp() + "/" + name);
    }
};

std::vector<std::vector<std::wstring>> Rows(const std::string& kind) {
    return vesk::test::DataRows("cache/names.tsv", kind);
}

TEST(CacheHexNames, LowByteOfEachUtf16Unit) {
    CVESKCache cache;
    CString hex = L"kept";
    EXPECT_EQ(cache.ConvertNameToHex(hex, nullptr), 0);
    EXPECT_EQ(cache.ConvertNameToHex(hex, L""), 0);
    EXPECT_EQ(hex, L"kept");

    struct Case {
        const wchar_t* name;
        const wchar_t* hex;
    } cases[] = {
        {L"Ab", L"4162"},
        {L"A\u3042", L"4142"},          // only the low 8 bits count
        {L"\u0005\u0100", L"50"},       // no leading zeros
        {L"\U0001F600", L"3d0"},        // D83D DE00: two units
        {L"x\U00020000y", L"7840079"},  // D840 DC00
    };
    for (const auto& c : cases) {
        ASSERT_EQ(cache.ConvertNameToHex(hex, c.name), 1);
        EXPECT_EQ(hex, c.hex) << vesk::WideToUtf8(c.name);
    }

    CString cut;
    EXPECT_EQ(cache.ConvertHexNameToHexCacheMfpName(cut, nullptr), 0);
    ASSERT_EQ(
        cache.ConvertHexNameToHexCacheMfpName(cut, L"0123456789abcdef0123456789abcdef01234567"), 1);
    EXPECT_EQ(cut, L"0123456789abcdef0123456789abcdef");
    ASSERT_EQ(cache.ConvertHexNameToHexCacheMfpUserName(cut, L"41"), 1);
    EXPECT_EQ(cut, L"41");
}

TEST_F(CacheNames, TransferFolderPerBox) {
    CVESKCache cache;
    CString root;
    cache.GetTransFileRootDir(root);
    CString dir;

    // Without an MFP name there is no folder to make.
    EXPECT_EQ(cache.GetTransFileDir(dir, 1), 0);

    cache.SetMfpName(L"MFP\u00e9");
    cache.SetBoxUserName(L"Bob");
    cache.SetBoxID(L"12");
    ASSERT_EQ(cache.GetTransFileDir(dir, 0), 1);
    EXPECT_EQ(dir, root + Native(L"/4d4650e9/426f62/3132"));
    EXPECT_FALSE(vesk::fs::Exists(dir.str()));
    ASSERT_EQ(cache.GetTransFileDir(dir, 1), 1);
    EXPECT_TRUE(vesk::fs::IsDirectory(dir.str()));

    // Long names are cut to 32 hex characters; the box level is not cut.
    cache.SetMfpName(L"A very long device display name");
    cache.SetBoxID(L"1234567890123456789");
    ASSERT_EQ(cache.GetTransFileDir(dir, 0), 1);
    EXPECT_EQ(dir, root + Native(L"/412076657279206c6f6e672064657669/426f62/"
                                 L"31323334353637383930313233343536373839"));

    // An empty user name leaves the device level's text in the working string.
    cache.SetMfpName(L"M");
    cache.SetBoxUserName(L"");
    cache.SetBoxID(L"3");
    ASSERT_EQ(cache.GetTransFileDir(dir, 0), 1);
    EXPECT_EQ(dir, root + Native(L"/4d/4d/33"));
}

TEST(CacheEscaping, ReservedCharactersSpacesAndDots) {
    for (const auto& r : Rows("escape"))
        EXPECT_EQ(CUtility::EscapeFileName(r[0].c_str()), r[1].c_str()) << vesk::WideToUtf8(r[0]);
    for (const auto& r : Rows("keepext"))
        EXPECT_EQ(CUtility::EscapeFileNameKeepExt(r[0].c_str()), r[1].c_str())
            << vesk::WideToUtf8(r[0]);
}

// Re-runs this test alone in a new process, where the series have never been used.
TEST(CacheUniqueNamesDeathTest, FreshProcessStartsAtA000001) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const auto f = GetUniqueState(UniqueSeries::Folder);
            const auto g = GetUniqueState(UniqueSeries::File);
            bool ok = false;
            {
                const vesk::test::TempFolder tmp("vesk-unique");
                const std::wstring dir = vesk::Utf8ToWide(tmp.path());
                CString out;
                ok = f.letter == L'A' && f.counter == 1 && g.letter == L'A' && g.counter == 1 &&
                     CUtility::GetUniqueFolder(out, dir.c_str(), 0) &&
                     out == dir + Native(L"/_A000001");
            }
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(CacheNames, UniqueFoldersStepAndWrap) {
    const std::wstring parent = Folder("p");
    const std::wstring other = Folder("q");
    CString out;

    SetUniqueState(UniqueSeries::Folder, {L'A', 1});
    ASSERT_EQ(CUtility::GetUniqueFolder(out, parent.c_str(), 1), 1);
    EXPECT_EQ(out, parent + Native(L"/_A000001"));
    EXPECT_TRUE(vesk::fs::IsDirectory(out.str()));
    // The counter stays; the next request steps over the folder now there.
    ASSERT_EQ(CUtility::GetUniqueFolder(out, parent.c_str(), 1), 1);
    EXPECT_EQ(out, parent + Native(L"/_A000002"));
    // The series is process-wide, not per parent.
    ASSERT_EQ(CUtility::GetUniqueFolder(out, other.c_str(), 0), 1);
    EXPECT_EQ(out, other + Native(L"/_A000002"));
    EXPECT_FALSE(vesk::fs::Exists(out.str()));
    // A file of that name blocks it too.
    vesk::cachetest::MakeSparseFile(vesk::WideToUtf8(other) + "/_A000002", 0, 0);
    ASSERT_EQ(CUtility::GetUniqueFolder(out, other.c_str(), 1), 1);
    EXPECT_EQ(out, other + Native(L"/_A000003"));

    SetUniqueState(UniqueSeries::Folder, {L'A', 1000000});
    ASSERT_EQ(CUtility::GetUniqueFolder(out, parent.c_str(), 1), 1);
    EXPECT_EQ(out, parent + Native(L"/_A1000000"));
    ASSERT_EQ(CUtility::GetUniqueFolder(out, parent.c_str(), 1), 1);
    EXPECT_EQ(out, parent + Native(L"/_B000001"));

    SetUniqueState(UniqueSeries::Folder, {L'Z', 1000000});
    ASSERT_EQ(CUtility::GetUniqueFolder(out, parent.c_str(), 1), 1);
    EXPECT_EQ(out, parent + Native(L"/_Z1000000"));
    ASSERT_EQ(CUtility::GetUniqueFolder(out, parent.c_str(), 1), 1);
    EXPECT_EQ(out, parent + Native(L"/_A000003"));  // _A000001 and _A000002 exist

    EXPECT_EQ(CUtility::GetUniqueFolder(out, L"", 1), 0);
}

TEST_F(CacheNames, UniqueFilesReserveAnEmptyFile) {
    const std::wstring dir = Folder("files");
    SetUniqueState(UniqueSeries::File, {L'A', 1});
    SetUniqueState(UniqueSeries::Folder, {L'Q', 77});
    CString out;
    // The whole name must be free, not the number: the series steps only on a clash.
    const struct {
        int type;
        int mode;
        const wchar_t* name;
    } steps[] = {{1, 0, L"_A000001.tif"}, {4, 0, L"_A000001.pdf"}, {2, 0, L"_A000002.pdf"},
                 {3, 0, L"_A000002.tmp"}, {9, 1, L"_A000002.dig"}, {0, 2, L"_A000003.tmp"}};
    for (const auto& step : steps) {
        ASSERT_EQ(CUtility::GetUniqueFile(out, dir.c_str(), step.type, step.mode), 1);
        EXPECT_EQ(out, dir + Native(L"/") + step.name);
        EXPECT_EQ(vesk::fs::FileSize(out.str()), 0u);
    }
    // Own series: the folder series was not moved.
    EXPECT_EQ(GetUniqueState(UniqueSeries::Folder), (vesk::cache::UniqueState{L'Q', 77}));

    // A folder of a candidate's name is stepped over as well, and the series wraps.
    SetUniqueState(UniqueSeries::File, {L'Z', 1000000});
    vesk::cachetest::MakeFolder(vesk::WideToUtf8(dir) + "/_Z1000000.jpg");
    ASSERT_EQ(CUtility::GetUniqueFile(out, dir.c_str(), 0, 0), 1);
    EXPECT_EQ(out, dir + Native(L"/_A000001.jpg"));

    CString untouched = L"x";
    EXPECT_EQ(CUtility::GetUniqueFile(untouched, dir.c_str(), 10, 1), 0);
    EXPECT_EQ(CUtility::GetUniqueFile(untouched, dir.c_str(), -1, 2), 0);
    EXPECT_EQ(CUtility::GetUniqueFile(untouched, dir.c_str(), 0, 3), 0);
    EXPECT_EQ(untouched, L"x");

    // A folder that takes no files fails at once instead of trying millions of names.
    SetUniqueState(UniqueSeries::File, {L'A', 1});
    const std::time_t start = std::time(nullptr);
    EXPECT_EQ(CUtility::GetUniqueFile(out, (dir + L"/missing").c_str(), 0, 0), 0);
    EXPECT_LT(std::time(nullptr) - start, 5);
}

TEST_F(CacheNames, TransferFilesGetSafeValidNames) {
    const std::wstring dir = Folder("t");
    CVESKCache cache;
    CString path;

    // Windows reserves device names, POSIX does not.
    ASSERT_EQ(cache.GetTransFilePath(path, dir, L"CON.jpg", 0, 0, 1), 1);
    EXPECT_EQ(path, dir + Native(vesk::cachetest::WindowsNames() ? L"/CON_01.jpg" : L"/CON.jpg"));
    EXPECT_EQ(vesk::fs::FileSize(path.str()), 0u);
    // The same name again: the file exists, so no new one can be made.
    EXPECT_EQ(cache.GetTransFilePath(path, dir, L"CON.jpg", 0, 0, 1), 0);

    for (const auto& r : Rows("transfer")) {
        ASSERT_EQ(cache.GetTransFilePath(path, dir, r[0].c_str(), 0, std::stoi(r[1]), 1), 1);
        EXPECT_EQ(path, dir + Native(L"/") + r[2]);
    }

    // A name longer than the file system takes is shortened, keeping whole
    // characters and the extension.
    std::wstring longName;
    for (int i = 0; i < 120; ++i)
        longName += L"\u6587";  // 3 bytes each
    ASSERT_EQ(cache.GetTransFilePath(path, dir, (longName + L".x").c_str(), 0, 2, 1), 1);
    const CString name = CUtility::GetFileNameWithExt(path);
    EXPECT_EQ(CUtility::GetFileExt(name, 1), L".pdf");
    EXPECT_LE(vesk::WideToUtf8(name.str()).size(), 255u);
    EXPECT_GT(vesk::WideToUtf8(name.str()).size(), 250u);
    EXPECT_TRUE(vesk::fs::IsFile(path.str()));

    // In a new unique folder, and without a name a unique file.
    SetUniqueState(UniqueSeries::Folder, {L'A', 1});
    SetUniqueState(UniqueSeries::File, {L'A', 1});
    ASSERT_EQ(cache.GetTransFilePath(path, dir, L"", 1, 0, 0), 1);
    EXPECT_EQ(path, dir + Native(L"/_A000001/_A000001.jpg"));
    ASSERT_EQ(cache.GetTransFilePath(path, dir, L"doc.pdf", 1, 2, 1), 1);
    EXPECT_EQ(path, dir + Native(L"/_A000002/doc.pdf"));
    EXPECT_EQ(cache.GetTransFilePath(path, dir, L"", 0, 0, 7), 0);

    // With no folder given, the per-box transfer folder is made and used.
    cache.SetMfpName(L"M");
    cache.SetBoxUserName(L"u");
    cache.SetBoxID(L"1");
    ASSERT_EQ(cache.GetTransFilePath(path, L"", L"d.jpg", 0, 0, 1), 1);
    CString root;
    cache.GetTransFileRootDir(root);
    EXPECT_EQ(path, root + Native(L"/4d/75/31/d.jpg"));
    CVESKCache nameless;
    EXPECT_EQ(nameless.GetTransFilePath(path, L"", L"d.jpg", 0, 0, 1), 0);
}

TEST_F(CacheNames, InvalidNamesTakeSuffixesOrFail) {
    const std::string dir = Tmp() + "/v";
    vesk::cachetest::MakeFolder(dir);
    const std::wstring wdir = W(dir);

    const std::pair<std::wstring, int> valid[] = {{L"CON", vesk::cachetest::WindowsNames() ? 0 : 1},
                                                  {L"..", 0},
                                                  {L"a/b", 0},
                                                  {std::wstring(255, L'n'), 1},
                                                  {std::wstring(256, L'n'), 0}};
    for (const auto& [name, result] : valid)
        EXPECT_EQ(CUtility::IsValidFileName(name.c_str(), wdir.c_str()), result) << name.size();

    // "." and ".." become names with a suffix between stem and extension.
    CString path = wdir + Native(L"/.");
    ASSERT_EQ(CUtility::CreateValidNewFile(path, 10), 1);
    EXPECT_EQ(path, wdir + Native(L"/_01."));
    path = wdir + Native(L"/..");
    ASSERT_EQ(CUtility::CreateValidNewFile(path, 10), 1);
    EXPECT_EQ(path, wdir + Native(L"/._01."));

    // An embedded NUL would cut the name short: no suffix makes it valid.
    path = CString(std::wstring(wdir + L"/ab") + L'\0' + L"cd.jpg");
    EXPECT_EQ(CUtility::CreateValidNewFile(path, 10), 0);
    EXPECT_FALSE(vesk::fs::Exists(wdir + L"/ab"));

    // Without a folder part an invalid name cannot be mended.
    path = L"..";
    EXPECT_EQ(CUtility::CreateValidNewFile(path, 10), 0);

    // An existing valid name fails rather than overwriting.
    vesk::cachetest::MakeSparseFile(dir + "/taken.jpg", 5, 0);
    path = wdir + Native(L"/taken.jpg");
    EXPECT_EQ(CUtility::CreateValidNewFile(path, 10), 0);
    EXPECT_EQ(vesk::fs::FileSize(wdir + L"/taken.jpg"), 5u);
}

TEST(CachePathHelpers, JoiningSplittingAndAddresses) {
    // The joined path keeps a trailing separator only when the second part had one.
    EXPECT_EQ(CUtility::JoinPath(Native(L"/a"), L"b"), Native(L"/a/b"));
    EXPECT_EQ(CUtility::JoinPath(Native(L"/a/"), Native(L"/b/")), Native(L"/a/b/"));
    EXPECT_EQ(CUtility::JoinPath(Native(L"/a"), Native(L"//b")), Native(L"/a//b"));
    EXPECT_EQ(CUtility::JoinPath(L"", L"b"), L"");
    EXPECT_EQ(CUtility::JoinPath(L"/a", nullptr), L"");
    // Dots in folder names never make an extension.
    EXPECT_EQ(CUtility::GetFileTitle(Native(L"/x.d/noext")), L"noext");
    EXPECT_EQ(CUtility::GetFileExt(Native(L"/x.d/noext"), 1), L"");
    EXPECT_EQ(CUtility::GetFileExt(Native(L"/x/z.tar.gz"), 1), L".gz");

    for (const auto& r : Rows("address"))
        EXPECT_EQ(CUtility::CompareIPAddress(r[0].c_str(), r[1].c_str()), std::stoi(r[2]))
            << vesk::WideToUtf8(r[0]);
}

std::time_t LocalTime(int year, int month, int day, int hour, int min, int sec) {
    std::tm tm{};
    tm.tm_year = year - 1900, tm.tm_mon = month - 1, tm.tm_mday = day;
    tm.tm_hour = hour, tm.tm_min = min, tm.tm_sec = sec, tm.tm_isdst = -1;
    return std::mktime(&tm);
}

TEST_F(CacheNames, DrivesAndFileTimes) {
    // A folder still to be made lies on the volume of its nearest existing parent.
    const std::wstring tmp = W(Tmp());
    EXPECT_EQ(CUtility::GetDriveRoot((tmp + L"/not/yet").c_str()),
              CString(vesk::fs::VolumeRoot(tmp)));
    EXPECT_EQ(CUtility::GetDriveRoot(L"relative/path"), L"");

    const std::string file = Tmp() + "/dated.jpg";
    vesk::cachetest::MakeSparseFile(file, 10, 0);
    const std::wstring wfile = W(file);
    ASSERT_EQ(CUtility::SetFileTimeFromText(wfile.c_str(), L"2021/03/04 05:06:07", 1), 1);
    EXPECT_EQ(vesk::fs::ModificationTime(wfile), LocalTime(2021, 3, 4, 5, 6, 7));

    // Bad dates fail quietly instead of throwing into a download that worked.
    for (const auto& r : Rows("baddate"))
        EXPECT_EQ(CUtility::SetFileTimeFromText(wfile.c_str(), r[0].c_str(), 1), 0)
            << vesk::WideToUtf8(r[0]);
    EXPECT_EQ(CUtility::SetFileTimeFromText(wfile.c_str(), L"2020/01/01 00:00:00", 2), 0);
    EXPECT_EQ(CUtility::SetFileTimeFromText(W(Tmp() + "/none").c_str(), L"2020/01/01 00:00:00", 1),
              0);
}

TEST_F(CacheNames, CreationTimeFromText) {
    const std::wstring file = W(Tmp() + "/created.jpg");
    vesk::cachetest::MakeSparseFile(vesk::WideToUtf8(file), 10, 0);
    ASSERT_EQ(CUtility::SetFileTimeFromText(file.c_str(), L" 2020 / 1 / 2  10 : 0 : 0 ", 0), 1);
    EXPECT_EQ(vesk::fs::CreationTime(file), LocalTime(2020, 1, 2, 10, 0, 0));
}

}  // namespace
