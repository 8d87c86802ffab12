// A downloaded page image's size and resolutions, read from the file's header, and a
// file's creation time as the text the cache compares with entry dates.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <ctime>
#include <string>
#include <vector>

#include "document/vesk_document.h"
#include "platform/charset.h"
#include "platform/fs.h"
#include "support/temp_folder.h"
#include "tools/mfpsim/lib/imaging.h"

namespace {

using vesk::test::TempFolder;
using vesk::test::WriteFile;

struct Tiff {
    float xRes = 0;  // 0: no resolution tags
    float yRes = 0;
    uint16_t unit = RESUNIT_INCH;
};

// A 200 x 100 bilevel page.
void WriteTiff(const std::string& path, const Tiff& t) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_TRUE(tif);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 200);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 100);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 100);
    if (t.xRes > 0) {
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, t.xRes);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, t.yRes);
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, t.unit);
    }
    std::vector<unsigned char> strip(25 * 100, 0);
    TIFFWriteEncodedStrip(tif, 0, strip.data(), static_cast<tmsize_t>(strip.size()));
    TIFFClose(tif);
}

std::string JpegBytes(int width, int height) {
    mfpsim::img::Image image{width, height, 1, 300, std::vector<uint8_t>(width * height, 128)};
    const std::vector<uint8_t> data = mfpsim::img::EncodeJpeg(image);
    return {data.begin(), data.end()};
}

struct Listed {
    int x, y;
    bool operator==(const Listed&) const = default;
};

// Loads path into a document of fileType listed at 640 x 480 and resolution r.
Listed LoadInto(const std::string& path, int fileType, Listed r, Listed* size = nullptr) {
    CVESKDocument doc;
    doc.SetFileType(fileType);
    doc.SetWidth(640);
    doc.SetHeight(480);
    doc.SetXResolution(r.x);
    doc.SetYResolution(r.y);
    doc.SetTransFilePath(vesk::Utf8ToWide(path));
    EXPECT_EQ(doc.LoadFileInfo(), 1);
    if (size)
        *size = {doc.GetWidth(), doc.GetHeight()};
    return {doc.GetXResolution(), doc.GetYResolution()};
}

TEST(FileInfo, TiffResolutionsCorrectOnlyAListingThatDisagrees) {
    const struct {
        Listed listed;
        Tiff file;
        Listed expected;
    } rows[] = {
        {{600, 600}, {200, 100}, {600, 600}},  // agreeing listing kept
        {{0, 0}, {200, 100}, {200, 100}},      // unknown: the file's
        {{300, 600}, {200, 100}, {200, 100}},  // horizontal, then vertical
        {{300, 600}, {600, 100}, {600, 600}},  // the new horizontal agrees: vertical kept
        {{0, 600}, {200, 100}, {200, 100}},
        {{300, 600}, {78.74f, 39.37f, RESUNIT_CENTIMETER}, {200, 100}},
        {{300, 600}, {}, {300, 600}},  // a file without resolutions says nothing
    };
    TempFolder dir;
    for (const auto& row : rows) {
        WriteTiff(dir.Sub("page.tif"), row.file);
        Listed size{};
        EXPECT_EQ(LoadInto(dir.Sub("page.tif"), 1, row.listed, &size), row.expected)
            << row.listed.x << "x" << row.listed.y << " file " << row.file.xRes;
        EXPECT_EQ(size, (Listed{200, 100}));
    }
}

TEST(FileInfo, JpegGivesItsSizeAndAnythingElseChangesNothing) {
    TempFolder dir;
    WriteFile(dir.Sub("a.jpg"), JpegBytes(33, 17));
    WriteTiff(dir.Sub("b.tif"), {200, 200});
    Listed size{};
    EXPECT_EQ(LoadInto(dir.Sub("a.jpg"), 0, {300, 300}, &size), (Listed{300, 300}));
    EXPECT_EQ(size, (Listed{33, 17}));

    const std::string jpeg = JpegBytes(33, 17);
    WriteFile(dir.Sub("cut.jpg"), jpeg.substr(0, 40));
    WriteFile(dir.Sub("junk"), std::string("\xFF\xD8\xFFgarbage") + std::string(500, '\x7F'));
    WriteFile(dir.Sub("tiffish"), std::string("II*\0\x08\0\0\0", 8) + std::string(64, '\xFF'));
    const struct {
        std::string file;
        int fileType;
    } rows[] = {
        {"b.tif", 0},   {"a.jpg", 1}, {"a.jpg", 2}, {"cut.jpg", 0}, {"junk", 0},
        {"tiffish", 1}, {"none", 0},  {"*.jpg", 0},  // a pattern is a name, not a search
    };
    for (const auto& row : rows) {
        Listed got{};
        EXPECT_EQ(LoadInto(dir.Sub(row.file), row.fileType, {300, 300}, &got), (Listed{300, 300}));
        EXPECT_EQ(got, (Listed{640, 480})) << row.file << " as type " << row.fileType;
    }
}

TEST(FileInfo, CreationTimeIsLocalTimeWithTwoDigitFields) {
    TempFolder dir;
    const std::wstring path = vesk::Utf8ToWide(dir.Sub("f.pdf"));
    WriteFile(dir.Sub("f.pdf"), "x");
    std::tm tm{};
    tm.tm_year = 124;
    tm.tm_mon = 2;
    tm.tm_mday = 4;
    tm.tm_hour = 9;
    tm.tm_min = 5;
    tm.tm_sec = 3;
    tm.tm_isdst = -1;
    ASSERT_TRUE(vesk::fs::SetCreationTime(path, std::mktime(&tm)));

    CString text = L"old";
    EXPECT_EQ(CVESKDocument::GetFileCreationTime(nullptr, text), 0);
    EXPECT_EQ(text, L"old");
    EXPECT_EQ(CVESKDocument::GetFileCreationTime(path.c_str(), text), 1);
    EXPECT_EQ(text, L"2024/03/04 09:05:03");
    const std::wstring pattern = vesk::Utf8ToWide(dir.Sub("f.*"));
    EXPECT_EQ(CVESKDocument::GetFileCreationTime(pattern.c_str(), text), 0);
    EXPECT_EQ(text, L"");
}

}  // namespace
