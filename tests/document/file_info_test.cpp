// A downloaded page image's size and resolutions, read from the file's header, and a
// file's creation time as the text the cache compares with entry dates.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "document/vesk_document.h"
#include "platform/charset.h"
#include "platform/fs.h"
#include "support/temp_folder.h"
#include "support/tiff_writer.h"

namespace {

using vesk::test::TempFolder;
using vesk::test::WriteFile;

// A 200 x 100 bilevel page.
void WriteTiff(const std::string& path, const vesk::test::TiffPage& t) {
    WriteFile(path, vesk::test::TiffFile({t}));
}

struct Values {  // width, height, horizontal and vertical resolution
    int w, h, x, y;
    bool operator==(const Values&) const = default;
};

// A document of fileType listed with `listed`, after it loaded the file at path.
Values Load(const std::string& path, int fileType, Values listed) {
    CVESKDocument doc;
    doc.SetFileType(fileType);
    doc.SetWidth(listed.w), doc.SetHeight(listed.h);
    doc.SetXResolution(listed.x), doc.SetYResolution(listed.y);
    doc.SetTransFilePath(vesk::Utf8ToWide(path));
    EXPECT_EQ(doc.LoadFileInfo(), 1);
    return {doc.GetWidth(), doc.GetHeight(), doc.GetXResolution(), doc.GetYResolution()};
}

TEST(FileInfo, TiffResolutionsCorrectOnlyAListingThatDisagrees) {
    const struct {
        int x, y;
        vesk::test::TiffPage file;
        int expectedX, expectedY;
    } rows[] = {
        {600, 600, {200, 100}, 600, 600},  // agreeing listing kept
        {0, 0, {200, 100}, 200, 100},      // unknown: the file's
        {300, 600, {200, 100}, 200, 100},  // horizontal, then vertical
        {300, 600, {600, 100}, 600, 600},  // the new horizontal agrees: vertical kept
        {0, 600, {200, 100}, 200, 100},
        {300, 600, {78.74, 39.37, 3}, 200, 100},  // per centimetre
        {300, 600, {}, 300, 600},                 // a file without resolutions says nothing
        {300, 600, {2e6, 2e6}, 300, 600},         // nor does one beyond reason
    };
    TempFolder dir;
    for (const auto& r : rows) {
        WriteTiff(dir.Sub("page.tif"), r.file);
        EXPECT_EQ(Load(dir.Sub("page.tif"), 1, {640, 480, r.x, r.y}),
                  (Values{200, 100, r.expectedX, r.expectedY}))
            << r.x << "x" << r.y << " file " << r.file.xRes;
    }
}

TEST(FileInfo, JpegGivesItsSizeAndAnythingElseChangesNothing) {
    TempFolder dir;
    const std::string jpeg = vesk::test::ReadFile(VESK_TEST_DATA_DIR "/imaging/page-jpeg");
    WriteFile(dir.Sub("a.jpg"), jpeg);
    WriteFile(dir.Sub("cut.jpg"), std::string(jpeg.begin(), jpeg.begin() + 40));
    WriteFile(dir.Sub("junk"), std::string("\xFF\xD8\xFFgarbage") + std::string(500, '\x7F'));
    WriteFile(dir.Sub("tiffish"), std::string("II*\0\x08\0\0\0", 8) + std::string(64, '\xFF'));
    WriteTiff(dir.Sub("b.tif"), {200, 200});
    const Values listed{640, 480, 300, 300};
    EXPECT_EQ(Load(dir.Sub("a.jpg"), 0, listed), (Values{24, 16, 300, 300}));
    const struct {
        std::string file;
        int fileType;
    } rows[] = {
        {"b.tif", 0},   {"a.jpg", 1}, {"a.jpg", 2}, {"cut.jpg", 0}, {"junk", 0},
        {"tiffish", 1}, {"none", 0},  {"*.jpg", 0},  // a pattern is a name, not a search
    };
    for (const auto& r : rows)
        EXPECT_EQ(Load(dir.Sub(r.file), r.fileType, listed), listed)
            << r.file << " as " << r.fileType;
}

TEST(FileInfo, CreationTimeIsLocalTimeWithTwoDigitFields) {
    TempFolder dir;
    const std::wstring path = vesk::Utf8ToWide(dir.Sub("f.pdf"));
    WriteFile(dir.Sub("f.pdf"), "x");
    std::tm tm{};  // 2024-03-04 09:05:03
    tm.tm_year = 124, tm.tm_mon = 2, tm.tm_mday = 4, tm.tm_hour = 9, tm.tm_min = 5, tm.tm_sec = 3;
    tm.tm_isdst = -1;
    ASSERT_TRUE(vesk::fs::SetCreationTime(path, std::mktime(&tm)));

    // The text of each call: none for no path (left as it was), none for a pattern.
    CString text = L"old";
    const std::wstring pattern = vesk::Utf8ToWide(dir.Sub("f.*"));
    std::vector<std::pair<int, std::wstring>> got;
    for (const wchar_t* p : {static_cast<const wchar_t*>(nullptr), path.c_str(), pattern.c_str()})
        got.emplace_back(CVESKDocument::GetFileCreationTime(p, text), text.str());
    EXPECT_EQ(got, (std::vector<std::pair<int, std::wstring>>{
                       {0, L"old"}, {1, L"2024/03/04 09:05:03"}, {0, L""}}));
}

}  // namespace
