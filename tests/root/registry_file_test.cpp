// The device registry file on its own: reading hand-made layouts, the writing rules,
// in-place changes and backups. Replacement under faults: registry_file_faults_test.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <utility>
#include <vector>

#include "platform/charset.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "registry/device_registry_file.h"
#include "registry_entry_print.h"
#include "support/registry_fixture.h"

namespace {

using vesk::DeviceRegistryEntry;
using vesk::DeviceRegistryFile;
using vesk::test::ReadBytes;
using vesk::test::WriteBytes;

using vesk::test::EntriesIn;

class RegistryFile : public vesk::test::RegistryFilesFixture {
protected:
    std::vector<DeviceRegistryEntry> ReadFrom(const std::string& xml) {
        CString path = PathOf("hand.xml");
        WriteBytes(path, xml);
        DeviceRegistryFile file;
        EXPECT_EQ(file.Load(path), DeviceRegistryFile::LoadResult::Loaded);
        return file.ReadEntries();
    }
};

TEST(WideToInt, FollowsWtoi) {
    const std::pair<const wchar_t*, int> cases[] = {
        {L"80abc", 80},
        {L"abc", 0},
        {L"", 0},
        {nullptr, 0},
        {L"  \t-17x", -17},
        {L"+5", 5},
        {L"- 5", 0},
        {L"99999999999999999999", INT_MAX},
        {L"-99999999999999999999", INT_MIN},
        {L"-2147483648", INT_MIN},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(vesk::WideToInt(text), value) << (text ? vesk::WideToUtf8(text) : "null");
}

TEST_F(RegistryFile, HandMadeLayoutsReadByElementName) {
    DeviceRegistryFile file;
    ASSERT_EQ(
        file.Load(CString(
            (std::filesystem::path(VESK_TEST_DATA_DIR) / "registry/hand_made.xml").wstring())),
        DeviceRegistryFile::LoadResult::Loaded);
    EXPECT_EQ(file.ReadEntries(), (std::vector<DeviceRegistryEntry>{
                                      {7, L"Hall", L"10.0.0.9", 80, 443, -1, L"ann", 2, 4, L"acc"},
                                      {9, L"", L"", 0, 0, 0, L"", 0, 0, L""},
                                      {7, L"R&D <2> \u20ac", L"h&", 0, 0, 0, L"", 0, 0, L""}}));
}

TEST_F(RegistryFile, ListingStartsAtFirstMfpAndTakesEverySibling) {
    // Elements before the first MFP are skipped; a foreign element after it is read as
    // an entry of its own (with no fields), as the listing walks siblings by position.
    auto ids = [this](const std::string& xml) {
        std::vector<long> out;
        for (const auto& e : ReadFrom(xml))
            out.push_back(e.id);
        return out;
    };
    EXPECT_EQ(ids("<MFPList><Note/><MFP><ID>1</ID></MFP><!-- gone --><Other><ID>4</ID></Other>"
                  "<MFP><ID>2</ID></MFP></MFPList>"),
              (std::vector<long>{1, 4, 2}));
    EXPECT_TRUE(ids("<Devices><MFP><ID>1</ID></MFP></Devices>").empty());
    EXPECT_TRUE(ids("<MFPList/>").empty());
}

TEST_F(RegistryFile, LoadTellsMissingFromUnreadable) {
    DeviceRegistryFile file;
    EXPECT_EQ(file.Load(PathOf("none.xml")), DeviceRegistryFile::LoadResult::Missing);
    EXPECT_FALSE(file.HasList());

    for (const char* bad : {"", "<MFPList><MFP>", "not xml at all", "<a></b>"}) {
        WriteBytes(PathOf("bad.xml"), bad);
        EXPECT_EQ(file.Load(PathOf("bad.xml")), DeviceRegistryFile::LoadResult::Unreadable) << bad;
        EXPECT_TRUE(file.ReadEntries().empty());
    }
    // A folder where the file should be.
    std::filesystem::create_directory(Dir() / "dir.xml");
    EXPECT_EQ(file.Load(PathOf("dir.xml")), DeviceRegistryFile::LoadResult::Unreadable);
}

// A file this format cannot produce is unreadable, however well it parses, so that no
// writer rewrites it (a 50,000-deep file once came back as 2.5 GB of indentation).
TEST_F(RegistryFile, FilesBeyondTheFormatsLimitsAreUnreadable) {
    auto repeat = [](const std::string& piece, size_t n) {
        std::string out;
        out.reserve(piece.size() * n);
        for (size_t i = 0; i < n; ++i)
            out += piece;
        return out;
    };
    auto entries = [&](size_t n) { return "<MFPList>" + repeat("<MFP/>", n) + "</MFPList>"; };
    const struct {
        const char* what;
        std::string xml;
        const char* reason;
    } cases[] = {
        {"deep",
         "<MFPList><MFP>" + repeat("<a>", 50000) + repeat("</a>", 50000) + "</MFP></MFPList>",
         "nested deeper"},
        {"element inside a field", "<MFPList><MFP><Name><b>x</b></Name></MFP></MFPList>",
         "nested deeper"},
        {"too many entries", entries(DeviceRegistryFile::kMaxEntries + 1), "entries"},
        {"too large",
         "<MFPList>" + std::string(DeviceRegistryFile::kMaxFileBytes, ' ') + "</MFPList>",
         "larger than"},
        {"malformed", "<MFPList><MFP>", "not well-formed"},
    };
    CString path = PathOf("limits.xml");
    DeviceRegistryFile file;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteBytes(path, c.xml);
        EXPECT_EQ(file.Load(path), DeviceRegistryFile::LoadResult::Unreadable);
        EXPECT_NE(file.Problem().find(c.reason), std::string::npos) << file.Problem();
        EXPECT_TRUE(file.ReadEntries().empty());
    }
    // At the limits the file still reads, and a good load clears the reason.
    WriteBytes(path, entries(DeviceRegistryFile::kMaxEntries));
    ASSERT_EQ(file.Load(path), DeviceRegistryFile::LoadResult::Loaded);
    EXPECT_EQ(file.ReadEntries().size(), DeviceRegistryFile::kMaxEntries);
    EXPECT_TRUE(file.Problem().empty());
}

TEST_F(RegistryFile, WritesTabsLfNoBomAndOneDeclaration) {
    DeviceRegistryFile file;
    file.StartNew();
    // Every field set, text that needs escaping, negative numbers: the layout the root
    // writes for its first registration.
    const DeviceRegistryEntry e{
        1, L"Floor 2 & Co <colour>", L"192.168.1.20", 80, 443, -1, L"ann", 2, 4, L"Sal\u00e9s"};
    file.Append(e);
    const std::string expected =
        ReadBytes(std::filesystem::path(VESK_TEST_DATA_DIR) / "registry/one_device.xml");
    EXPECT_EQ(file.Serialize(), expected);

    // Saved and loaded again, the text reads back unchanged and the declaration is
    // still written exactly once.
    CString path = PathOf("w.xml");
    ASSERT_TRUE(file.Save(path));
    DeviceRegistryFile again;
    ASSERT_EQ(again.Load(path), DeviceRegistryFile::LoadResult::Loaded);
    EXPECT_EQ(again.ReadEntries(), std::vector<DeviceRegistryEntry>{e});
    EXPECT_EQ(again.Serialize(), expected);
    EXPECT_EQ(ReadBytes(path), expected);

    // A file loaded without a declaration is written without one.
    WriteBytes(path, "<MFPList><MFP><ID>1</ID></MFP></MFPList>");
    ASSERT_EQ(again.Load(path), DeviceRegistryFile::LoadResult::Loaded);
    EXPECT_EQ(again.Serialize(), "<MFPList>\n\t<MFP>\n\t\t<ID>1</ID>\n\t</MFP>\n</MFPList>\n");
}

TEST_F(RegistryFile, UpdateChangesTheFirstEntryWithThatIdInPlace) {
    CString path = PathOf("u.xml");
    WriteBytes(path,
               "<MFPList><MFP><ID>05</ID><Name>a</Name><IP>x</IP><Port/></MFP>"
               "<MFP><ID>5</ID><Name>b</Name></MFP><Spare/></MFPList>");
    DeviceRegistryFile file;
    ASSERT_EQ(file.Load(path), DeviceRegistryFile::LoadResult::Loaded);
    EXPECT_FALSE(file.UpdateEntry(6, {{"Name", L"z"}}));
    // "05" converts to 5, so the first entry is the one changed; a missing element is
    // added at the end of the entry, present ones keep their place.
    ASSERT_TRUE(file.UpdateEntry(5, {{"Name", L"n&"}, {"LastUserName", L"u"}, {"Port", L"99"}}));
    EXPECT_EQ(file.Serialize(),
              "<MFPList>\n\t<MFP>\n\t\t<ID>05</ID>\n\t\t<Name>n&amp;</Name>\n\t\t<IP>x</IP>\n"
              "\t\t<Port>99</Port>\n\t\t<LastUserName>u</LastUserName>\n\t</MFP>\n\t<MFP>\n"
              "\t\t<ID>5</ID>\n\t\t<Name>b</Name>\n\t</MFP>\n\t<Spare></Spare>\n</MFPList>\n");
    // Whether anything differs from what the entry held.
    bool changed = true;
    ASSERT_TRUE(file.UpdateEntry(5, {{"Name", L"n&"}, {"Port", L"99"}}, &changed));
    EXPECT_FALSE(changed);
    ASSERT_TRUE(file.UpdateEntry(5, {{"Name", L"n&"}, {"Port", L"98"}}, &changed));
    EXPECT_TRUE(changed);
}

TEST_F(RegistryFile, DefaultPathFollowsProfileAndUserName) {
    // The library's part of the path has the platform's separators.
    auto under = [](const std::wstring& profile, const std::wstring& name) {
        std::wstring tail = L"/ORVANE/HALD/3.1/" + name;
        std::replace(tail.begin(), tail.end(), L'/', vesk::fs::kPathSeparator);
        return CString(profile + tail);
    };
    vesk::env::Set(L"USERNAME", L"alice");
    const std::wstring profile = AllUsersProfile().wstring();
    EXPECT_EQ(DeviceRegistryFile::PathFor(L""), under(profile, L"alice.xml"));
    EXPECT_EQ(DeviceRegistryFile::PathFor(L"/x/y.xml"), L"/x/y.xml");

    // A value that does not fit the Windows build's buffers counts as empty.
    vesk::env::Set(L"USERNAME", std::wstring(254, L'u'));
    EXPECT_EQ(DeviceRegistryFile::PathFor(L""), under(profile, std::wstring(254, L'u') + L".xml"));
    vesk::env::Set(L"USERNAME", std::wstring(255, L'u'));
    EXPECT_EQ(DeviceRegistryFile::PathFor(L""), under(profile, L".xml"));
    vesk::env::Set(L"USERNAME", L"bob");
    const std::wstring longProfile = L"/" + std::wstring(259, L'p');
    vesk::env::Set(L"ALLUSERSPROFILE", longProfile.substr(0, 259));
    EXPECT_EQ(DeviceRegistryFile::PathFor(L""), under(longProfile.substr(0, 259), L"bob.xml"));
    vesk::env::Set(L"ALLUSERSPROFILE", longProfile);
    EXPECT_EQ(DeviceRegistryFile::PathFor(L""), under(L"", L"bob.xml"));
}

TEST(SafeFolderName, RejectsWhatCouldLeaveTheParent) {
    for (const wchar_t* ok : {L"10.0.0.1", L"printer.local", L"fe80::1", L"a..b", L"...x"})
        EXPECT_TRUE(vesk::IsSafeFolderName(ok)) << ok;
    for (const wchar_t* bad : {L"", L".", L"..", L"../x", L"a/b", L"a\\b", L"/", L"\\\\srv"})
        EXPECT_FALSE(vesk::IsSafeFolderName(bad)) << bad;
    EXPECT_FALSE(vesk::IsSafeFolderName(CString(std::wstring(L"a\0b", 3))));
}

}  // namespace
