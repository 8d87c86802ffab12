// The MIB filter: pattern check, matching, the filter file (through the registry), the
// target list and the address sort.
#include <gtest/gtest.h>

#include <cwchar>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

#include "device_search_support.h"
#include "platform/charset.h"
#include "platform/registry.h"
#include "platform/syscalls.h"
#include "support/data_table.h"

namespace {

using vesk::reg::Hive;

std::vector<std::wstring> Patterns(const CStringArray& list) {
    std::vector<std::wstring> out;
    for (INT_PTR i = 0; i < list.GetSize(); ++i)
        out.push_back(list.GetAt(i).str());
    return out;
}

std::vector<std::vector<std::wstring>> Rows(const char* kind) {
    return vesk::test::DataRows("settings/search.tsv", kind);
}

TEST(MibPattern, CheckAcceptsDigitsDotsAndPlacedWildcards) {
    CDeviceSearch s;
    for (const auto& [kind, result] : {std::pair{"good", 1}, {"bad", 0}})
        for (const auto& r : Rows(kind))
            EXPECT_EQ(s.IsCorrectMIB(r[0].c_str()), result) << kind << " " << r[0];
    EXPECT_EQ(s.IsCorrectMIB(nullptr), 0);
}

TEST(MibPattern, WildcardStandsForExactlyOneWholeComponent) {
    CDeviceSearch s;
    for (const auto& r : Rows("match"))
        EXPECT_EQ(s.IsMatchDeviceID(r[0].c_str(), r[1].c_str()), std::stoi(r[2]))
            << r[0] << " " << r[1];
}

TEST(MibPattern, TargetNeedsAnIncludeAndNoExclude) {
    CDeviceSearch s;
    EXPECT_EQ(s.IsTargetDevice(L"1.3.6.1.4.1.59731.1.2.1.2.1.12"), 0) << "empty include list";
    s.m_arrOIDInclude.Add(CString(L"1.3.6.1.4.1.59731.1.1.1.2.1.*"));
    s.m_arrOIDInclude.Add(CString(L"1.3.6.1.4.1.59731.1.2.1.2.1.*"));
    EXPECT_EQ(s.IsTargetDevice(L"1.3.6.1.4.1.59731.1.2.1.2.1.12"), 1);
    EXPECT_EQ(s.IsTargetDevice(L"1.3.6.1.4.1.59731.1.1.1.2.1.40"), 1);
    EXPECT_EQ(s.IsTargetDevice(L"1.3.6.1.4.1.8072.3.2.10"), 0);
    s.m_arrOIDExclude.Add(CString(L"1.3.6.1.4.1.59731.1.2.1.2.1.12"));
    EXPECT_EQ(s.IsTargetDevice(L"1.3.6.1.4.1.59731.1.2.1.2.1.12"), 0);
    EXPECT_EQ(s.IsTargetDevice(L"1.3.6.1.4.1.59731.1.2.1.2.1.13"), 1);
    EXPECT_EQ(s.IsTargetDevice(nullptr), 0);
}

// A filter file in a temporary application folder named by a temporary HKLM hive.
class FilterFile : public vesk::test::IsolatedEnv {
protected:
    void SetUp() override {
        IsolatedEnv::SetUp();
        app_ = vesk::test::UseApplicationFolder(Root() / "app");
    }
    void Write(const std::string& text) {
        std::ofstream(app_ + "SrchMIB.conf", std::ios::binary | std::ios::trunc) << text;
    }

    std::string app_;
};

TEST_F(FilterFile, LinesAreReadAsTheSyntaxSays) {
    std::ifstream syntax(std::string(VESK_TEST_DATA_DIR) + "/settings/filter_syntax.conf",
                         std::ios::binary);
    Write(std::string(std::istreambuf_iterator<char>(syntax), {}));
    CDeviceSearch s;
    EXPECT_EQ(s.LoadParameterFromFile(), 1);
    EXPECT_EQ(Patterns(s.m_arrOIDInclude),
              (std::vector<std::wstring>{L"1.3.6.1.4.1.59731.1.2.1.2.1.*",
                                         L"1.3.6.1.4.1.59731.1.1.1.2.1.*",
                                         L"1.3.6.1.4.1.59731.1.2.1.2.1.*"}));
    EXPECT_EQ(Patterns(s.m_arrOIDExclude),
              (std::vector<std::wstring>{L"1.3.6.1.4.1.59731.1.2.1.2.1.12",
                                         L"1.3.6.1.4.1.59731.1.2.1.2.1.13"}));
    // Loading again appends: the lists are emptied only by the target filter.
    EXPECT_EQ(s.LoadParameterFromFile(), 1);
    EXPECT_EQ(s.m_arrOIDInclude.GetSize(), 6);
    EXPECT_EQ(s.m_arrOIDExclude.GetSize(), 4);
}

TEST_F(FilterFile, ByteOrderMarkDoesNotHideTheFirstLine) {
    Write("\xEF\xBB\xBFOIDInclude = 1.3.6.1.4.1.59731.1.2.1.2.1.*\n");
    CDeviceSearch s;
    EXPECT_EQ(s.LoadParameterFromFile(), 1);
    EXPECT_EQ(s.m_arrOIDInclude.GetSize(), 1);
}

TEST_F(FilterFile, MissingPiecesGiveZeroAndNoPatterns) {
    CDeviceSearch s;
    EXPECT_EQ(s.LoadParameterFromFile(), 0) << "no file yet";

    // The value is the folder with its separator; without it the name runs on.
    Write("OIDInclude = 1.3.6.*\n");
    vesk::test::SetApplicationPath(vesk::Utf8ToWide(Root().string() + "/app"));
    EXPECT_EQ(s.LoadParameterFromFile(), 0);
    std::ofstream(Root().string() + "/appSrchMIB.conf") << "OIDInclude = 1.3.7.*\n";
    EXPECT_EQ(s.LoadParameterFromFile(), 1);
    EXPECT_EQ(Patterns(s.m_arrOIDInclude), std::vector<std::wstring>{L"1.3.7.*"});

    // A value longer than the 260-byte buffer cannot be read.
    std::string deep = Root().string() + "/" + std::string(140, 'd') + "/";
    std::filesystem::create_directories(deep);
    std::ofstream(deep + "SrchMIB.conf") << "OIDInclude = 1.3.8.*\n";
    vesk::test::SetApplicationPath(vesk::Utf8ToWide(deep));
    EXPECT_EQ(s.LoadParameterFromFile(), 0);

    auto key = vesk::reg::Key::Open(Hive::LocalMachine, L"SOFTWARE\\ORVANE\\HALD3.1\\Application");
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->DeleteValue(L"ApplicationPath"));
    EXPECT_EQ(s.LoadParameterFromFile(), 0) << "no value";
    ASSERT_TRUE(key->SetDword(L"ApplicationPath", 7));
    EXPECT_EQ(s.LoadParameterFromFile(), 0) << "value of another type";
    ASSERT_TRUE(vesk::reg::Key::Delete(Hive::LocalMachine, L"SOFTWARE\\ORVANE\\HALD3.1"));
    EXPECT_EQ(s.LoadParameterFromFile(), 0) << "no key";
    EXPECT_EQ(Patterns(s.m_arrOIDInclude), std::vector<std::wstring>{L"1.3.7.*"});
}

int g_readsLeft = 0;
ssize_t FailingRead(int fd, void* buf, size_t count) {
    if (g_readsLeft-- <= 0)
        return errno = EIO, -1;
    return vesk::RealSysCalls().read(fd, buf, count);
}

TEST_F(FilterFile, ReadErrorKeepsWhatWasReadAndGivesZero) {
    // Patterns at the start, then enough text that a second read is needed.
    std::string text =
        "OIDInclude = 1.3.6.1.4.1.59731.1.2.1.2.1.*\nOIDExclude = 1.3.6.1.4.1.59731.1.2.1.2.1.12\n";
    text += "# " + std::string(10000, '-') + "\nOIDInclude = 1.3.6.1.4.1.59731.1.1.1.2.1.*\n";
    Write(text);
    {
        vesk::ScopedSysCalls restore;
        vesk::Sys().read = FailingRead;
        g_readsLeft = 1;
        CDeviceSearch s;
        EXPECT_EQ(s.LoadParameterFromFile(), 0);
        EXPECT_EQ(Patterns(s.m_arrOIDInclude),
                  std::vector<std::wstring>{L"1.3.6.1.4.1.59731.1.2.1.2.1.*"});
        EXPECT_EQ(s.m_arrOIDExclude.GetSize(), 1);
    }
    CDeviceSearch whole;
    EXPECT_EQ(whole.LoadParameterFromFile(), 1);
    EXPECT_EQ(whole.m_arrOIDInclude.GetSize(), 2);

    // A folder where the file should be cannot be opened as one.
    std::filesystem::remove(app_ + "SrchMIB.conf");
    std::filesystem::create_directories(app_ + "SrchMIB.conf");
    CDeviceSearch folder;
    EXPECT_EQ(folder.LoadParameterFromFile(), 0);
    EXPECT_EQ(folder.m_arrOIDInclude.GetSize(), 0);
}

TEST_F(FilterFile, ShippedFileAcceptsBothDeviceFamiliesOnly) {
    std::filesystem::copy_file(std::string(VESK_SOURCE_DIR) + "/settings/SrchMIB.conf",
                               app_ + "SrchMIB.conf");
    CDeviceSearch s;
    ASSERT_EQ(s.LoadParameterFromFile(), 1);
    EXPECT_EQ(s.m_arrOIDInclude.GetSize(), 8) << "every shipped pattern passes the check";
    for (const auto& r : Rows("shipped"))
        EXPECT_EQ(s.IsTargetDevice(r[0].c_str()), std::stoi(r[1])) << r[0];
}

DEVICE_SEARCH_RESULT Result(const wchar_t* address, const wchar_t* objectId) {
    DEVICE_SEARCH_RESULT r{};
    std::wcsncpy(r.szIPAddress, address, 32);
    std::wmemcpy(r.szObjectID, objectId, std::min<size_t>(std::wcslen(objectId), 40));
    return r;
}

TEST_F(FilterFile, TargetListKeepsOrderAndReadsAtMostFortyCharacters) {
    // Exactly 40 characters: the field holds no terminator.
    const wchar_t* full = L"1.3.6.1.4.1.59731.1.2.1.2.1.12.1.1.1.1.1";
    ASSERT_EQ(std::wcslen(full), 40u);
    Write(
        "OIDInclude = 1.3.6.1.4.1.59731.1.2.1.2.1.*\nOIDInclude = "
        "1.3.6.1.4.1.59731.1.2.1.2.1.12.1.1.1.1.1\n");
    CArray<DEVICE_SEARCH_RESULT, DEVICE_SEARCH_RESULT&> found, targets;
    DEVICE_SEARCH_RESULT records[] = {Result(L"127.0.0.9", L"1.3.6.1.4.1.59731.1.2.1.2.1.9"),
                                      Result(L"127.0.0.8", L"1.3.6.1.4.1.8072.3.2.10"),
                                      Result(L"127.0.0.7", full),
                                      Result(L"127.0.0.6", L"1.3.6.1.4.1.59731.1.2.1.2.1.6")};
    for (auto& r : records)
        found.Add(r);
    // Stale content that must go.
    targets.Add(records[1]);
    CDeviceSearch s;
    s.m_arrOIDExclude.Add(CString(L"1.3.6.1.4.1.59731.1.2.1.2.1.9"));

    EXPECT_EQ(s.GetTargetDevIDList(targets, found), 1);
    ASSERT_EQ(targets.GetSize(), 3);
    EXPECT_STREQ(targets[0].szIPAddress, L"127.0.0.9") << "exclude list was not emptied first";
    EXPECT_STREQ(targets[1].szIPAddress, L"127.0.0.7");
    EXPECT_STREQ(targets[2].szIPAddress, L"127.0.0.6");
    EXPECT_EQ(std::wmemcmp(targets[1].szObjectID, full, 40), 0);

    // Without a filter file nothing is a target, and the old patterns are gone.
    std::filesystem::remove(app_ + "SrchMIB.conf");
    EXPECT_EQ(s.GetTargetDevIDList(targets, found), 1);
    EXPECT_EQ(targets.GetSize(), 0);
    EXPECT_EQ(s.m_arrOIDInclude.GetSize(), 0);
}

// Sorts the space-separated addresses as search records; gives them back the same way.
std::wstring Sorted(const std::wstring& addresses) {
    CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&> list;
    std::wistringstream in(addresses);
    for (std::wstring address; in >> address;) {
        DEVICE_SEARCH_INFOEX r{};
        std::wcsncpy(r.szIPAddress, address.c_str(), 32);
        list.Add(r);
    }
    CDeviceSearch s;
    EXPECT_EQ(s.SortIPAddressAsend(list), 1);
    std::wstring out;
    for (INT_PTR i = 0; i < list.GetSize(); ++i)
        out += (i ? L" " : L"") + std::wstring(list[i].szIPAddress);
    return out;
}

// That records move whole is in device_search_codes_test.
TEST(AddressSort, NumericOrderWhereUnparsableAddressesNeverMove) {
    for (const auto& r : Rows("sort"))
        EXPECT_EQ(Sorted(r[0]), r[1]) << r[0];
}

}  // namespace
