// View settings of the device, box and document lists, as files on disk.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "registry/device_registry_file.h"
#include "root/vesk_root.h"
#include "support/registry_fixture.h"

namespace {

namespace fs = std::filesystem;
using vesk::test::ReadBytes;
using vesk::test::WriteBytes;

bool operator==(const VIEW_INFO& a, const VIEW_INFO& b) {
    for (int i = 0; i < 5; ++i) {
        if (a.nColumnWidth[i] != b.nColumnWidth[i] || a.nColumnEnable[i] != b.nColumnEnable[i] ||
            a.nColumnOrder[i] != b.nColumnOrder[i])
            return false;
    }
    return a.nCurViewMode == b.nCurViewMode && a.bSortOrder == b.bSortOrder &&
           a.nSortColumnNumber == b.nSortColumnNumber && a.nViewMode == b.nViewMode;
}

VIEW_INFO Defaults() {
    VIEW_INFO vi;
    CVESKRoot::InitializeViewInfoStructure(vi);
    return vi;
}

class ViewSettings : public vesk::test::RegistryFixture {
protected:
    void SetUp() override {
        RegistryFixture::SetUp();
        vesk::DeviceRegistryFile::CreateDefaultFolders();
    }
    // A document-list file of device 10.0.0.1 box 7 with these element texts.
    void WriteBoxFile(const std::string& body) {
        WriteBytes(HaldFolder() / "10.0.0.1" / "7.xml",
                   "<?xml version=\"1.0\"?><VIEW_SETTIMG>" + body + "</VIEW_SETTIMG>");
    }
    CVESKRoot m_root;
};

TEST_F(ViewSettings, EachListHasItsFileAndOnlyItsColumns) {
    VIEW_INFO vi = Defaults();
    vi.nColumnWidth[0] = 120;
    vi.nColumnWidth[1] = 80;
    vi.nColumnWidth[2] = 99;  // the device list keeps two columns
    ASSERT_EQ(m_root.AddChildItemForDocViewSetting(vi, L"", 5), 1);
    EXPECT_EQ(ReadBytes(HaldFolder() / "HALD.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VIEW_SETTIMG>\n"
              "\t<COLUMN_WIDTH>120_80_</COLUMN_WIDTH>\n\t<COLUMN_ENABLE>-1_-1_</COLUMN_ENABLE>\n"
              "\t<COLUMN_ORDER>-1_-1_</COLUMN_ORDER>\n\t<SORT_ORDER>true</SORT_ORDER>\n"
              "\t<SORT_COLUMN_NUMBER>0</SORT_COLUMN_NUMBER>\n\t<VIEW_MODE>1</VIEW_MODE>\n"
              "</VIEW_SETTIMG>\n");

    // Box and document lists round-trip every stored column, in the device's folder.
    struct Row {
        int box;
        fs::path file;
        int columns;
    } rows[] = {{-1, "10.0.0.1/10.0.0.1.xml", 5}, {3, "10.0.0.1/3.xml", 4}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file.string());
        VIEW_INFO out = Defaults();
        for (int i = 0; i < 5; ++i) {
            out.nColumnWidth[i] = 100 + i;
            out.nColumnEnable[i] = i % 2;
            out.nColumnOrder[i] = 4 - i;
        }
        out.bSortOrder = false;
        out.nSortColumnNumber = 2;
        out.nViewMode = 3;
        ASSERT_EQ(m_root.AddChildItemForDocViewSetting(out, L"10.0.0.1", row.box), 1);
        ASSERT_TRUE(fs::is_regular_file(HaldFolder() / row.file));
        VIEW_INFO in = Defaults();
        ASSERT_EQ(m_root.GetChildListForDocViewSetting(in, L"10.0.0.1", row.box), 1);
        VIEW_INFO want = out;
        want.nCurViewMode = 3;
        for (int i = row.columns; i < 5; ++i) {
            want.nColumnWidth[i] = -1;
            want.nColumnEnable[i] = -1;
            want.nColumnOrder[i] = -1;
        }
        EXPECT_TRUE(in == want);
    }
}

TEST_F(ViewSettings, ReadsNumbersAndWordsAsTheFilesInUseHoldThem) {
    // Widths of the four columns of a document list (the fifth stays -1), sort order,
    // view mode.
    using Read = std::tuple<std::vector<int>, bool, int>;
    const std::pair<const char*, Read> rows[] = {
        {"<COLUMN_WIDTH>1_2_3_</COLUMN_WIDTH><SORT_ORDER>TRUE</SORT_ORDER>",
         {{1, 2, 3, 0, -1}, true, 0}},
        {"<COLUMN_WIDTH>7_8</COLUMN_WIDTH><SORT_ORDER>yes</SORT_ORDER><VIEW_MODE>3</VIEW_MODE>",
         {{7, 0, 0, 0, -1}, false, 3}},
        // _wtoi reads leading digits and saturates.
        {"<COLUMN_WIDTH>x_ 12px_99999999999_-5_</COLUMN_WIDTH><VIEW_MODE>4294967296</VIEW_MODE>",
         {{0, 12, INT_MAX, -5, -1}, false, INT_MAX}},
        {"", {{0, 0, 0, 0, -1}, false, 0}},
    };
    for (const auto& [body, want] : rows) {
        SCOPED_TRACE(body);
        WriteBoxFile(body);
        VIEW_INFO vi = Defaults();
        ASSERT_EQ(m_root.GetChildListForDocViewSetting(vi, L"10.0.0.1", 7), 1);
        EXPECT_EQ(Read(std::vector<int>(vi.nColumnWidth, vi.nColumnWidth + 5), vi.bSortOrder,
                       vi.nViewMode),
                  want);
        EXPECT_EQ(vi.nCurViewMode, std::get<2>(want));
    }
}

TEST_F(ViewSettings, NothingOutsideTheSettingsFolderNorTheRegistryIsTouched) {
    const VIEW_INFO defaults = Defaults();
    VIEW_INFO vi = defaults;
    // Never written, not XML, too large, or a folder in the file's place: 0, vi as it was.
    EXPECT_EQ(m_root.GetChildListForDocViewSetting(vi, L"10.0.0.1", 7), 0);
    WriteBoxFile("<COLUMN_WIDTH>1_");
    EXPECT_EQ(m_root.GetChildListForDocViewSetting(vi, L"10.0.0.1", 7), 0);
    WriteBytes(HaldFolder() / "10.0.0.1" / "7.xml",
               "<VIEW_SETTIMG>" + std::string(70000, ' ') + "</VIEW_SETTIMG>");
    EXPECT_EQ(m_root.GetChildListForDocViewSetting(vi, L"10.0.0.1", 7), 0);
    fs::create_directories(HaldFolder() / "10.0.0.1" / "8.xml");
    EXPECT_EQ(m_root.AddChildItemForDocViewSetting(vi, L"10.0.0.1", 8), 0);
    EXPECT_TRUE(fs::is_directory(HaldFolder() / "10.0.0.1" / "8.xml"));
    EXPECT_TRUE(vi == defaults);

    for (const wchar_t* bad : {L".", L"..", L"../x", L"a/b", L"a\\b"}) {
        SCOPED_TRACE(CString(bad).GetString());
        EXPECT_EQ(m_root.AddChildItemForDocViewSetting(vi, bad, -1), 0);
        EXPECT_EQ(m_root.AddChildItemForDocViewSetting(vi, bad, 1), 0);
        EXPECT_EQ(m_root.GetChildListForDocViewSetting(vi, bad, 1), 0);
    }
    EXPECT_FALSE(fs::exists(HaldFolder().parent_path() / "x"));
    EXPECT_FALSE(fs::exists(HaldFolder() / "a"));

    // A user named like the device-list file keeps the registry.
    vesk::test::ScopedEnvironment user;
    user.Set("USERNAME", "HALD");
    WriteBytes(HaldFolder() / "HALD.xml", "<MFPList/>");
    EXPECT_EQ(m_root.AddChildItemForDocViewSetting(vi, L"", -1), 0);
    EXPECT_EQ(m_root.GetChildListForDocViewSetting(vi, L"", -1), 0);
    EXPECT_EQ(ReadBytes(HaldFolder() / "HALD.xml"), "<MFPList/>");
}

}  // namespace
