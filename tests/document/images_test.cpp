// The document's image helpers that need no device: the thumbnail geometry, the BMP file
// made from raw grey rows (read back by Python's struct module, not by our own reader),
// the header handed out with a page, and the encoder lookup.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "document/images.h"
#include "document/vesk_document.h"
#include "platform/charset.h"
#include "platform/file.h"
#include "platform/image_info.h"
#include "support/data_table.h"
#include "support/temp_folder.h"

namespace {

using vesk::ThumbnailGeometry;

TEST(ThumbnailSize, LongerSideBecomes240AndTheShorterFollowsTruncated) {
    for (const auto& r : vesk::test::DataInts("document/item.tsv", "thumbnail")) {
        const ThumbnailGeometry got = vesk::ThumbnailSize(r[0], r[1], r[2] == 1);
        EXPECT_EQ(got, (ThumbnailGeometry{UINT(r[3]), UINT(r[4])}))
            << r[0] << "x" << r[1] << " " << r[2] << " gave " << got.width << "x" << got.height;
    }
}

// Reads a BMP file with struct and prints what a viewer relies on: the header fields,
// whether entry i of the palette is (i, i, i, 0), and the first byte of the first and
// the last stored row.
constexpr const char* kReader = R"(
import struct, sys
for name in sys.argv[1:]:
  b = open(name, 'rb').read()
  magic, size, r1, r2, off = struct.unpack_from('<2sIHHI', b, 0)
  hs, w, h, planes, bits, comp, isz, xr, yr, used, imp = struct.unpack_from('<IiiHHIIiiII', b, 14)
  pal = all(struct.unpack_from('<4B', b, 54 + 4 * i) == (i, i, i, 0) for i in range(256))
  print(magic.decode(), size, len(b), r1, r2, off, hs, w, h, planes, bits, comp, isz, xr, yr,
        used, imp, pal, b[off], b[off + (h - 1) * w])
)";

std::string Output(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(command.c_str(), "r"), pclose);
    for (char buf[256]; p && fgets(buf, sizeof buf, p.get());)
        out += buf;
    return out;
}

TEST(RawThumbnailBmp, HeaderPaletteAndBottomUpRowsAsAnotherReaderSeesThem) {
    vesk::test::TempFolder dir;
    vesk::test::WriteFile(dir.Sub("reader.py"), kReader);
    const struct {
        int size;
        std::string want;
    } rows[] = {
        // Raw row r holds the value r: the file's first row is raw row 99, its last row 0.
        {10400, "BM 11478 11478 0 0 1078 40 104 100 1 8 0 0 0 0 0 0 True 99 0\n"},
        // A partial row past the last whole one counts in the size, not in the height.
        {10450, "BM 11528 11528 0 0 1078 40 104 100 1 8 0 0 0 0 0 0 True 99 0\n"},
    };
    std::string paths, want;
    for (const auto& r : rows) {
        std::vector<unsigned char> raw(static_cast<size_t>(r.size));
        for (size_t i = 0; i < raw.size(); ++i)
            raw[i] = static_cast<unsigned char>(i / vesk::kRawThumbnailWidth);
        const std::string path = dir.Sub(std::to_string(r.size) + ".bmp");
        CFile file(vesk::Utf8ToWide(path).c_str(), CFile::modeCreate | CFile::modeWrite);
        CVESKDocument::AddBMPHeaderInfo(file, r.size);
        unsigned char* data = raw.data();
        CVESKDocument::FlipBMPRawData(r.size / vesk::kRawThumbnailWidth, data);
        file.Write(raw.data(), static_cast<unsigned>(raw.size()));
        paths += " " + path;
        want += r.want;
    }
    // One interpreter for all files, the system's when there is one: wrappers start slowly.
    const std::string python =
        access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    EXPECT_EQ(Output(python + " " + dir.Sub("reader.py") + paths), want);
}

// The header GetBitmap hands out with a page: bits per pixel by pixel format, the padded
// image size in 64 bits, and resolutions in pixels per metre.
TEST(BitmapHeader, FollowsThePixelFormatSizeAndResolution) {
    struct Row {
        PixelFormat format;
        UINT width, height;
        double xDpi, yDpi;
        WORD bits;
        DWORD size;
        LONG xPerMetre, yPerMetre;
    };
    const Row rows[] = {
        {PixelFormat1bppIndexed, 101, 10, 254, 200, 1, 160, 10000, 7874},
        {PixelFormat4bppIndexed, 101, 10, 300, 300, 4, 520, 11811, 11811},
        {PixelFormat8bppIndexed, 101, 10, 96, 96, 8, 1040, 3779, 3779},
        {PixelFormat16bppGrayScale, 3, 2, 0, 0, 16, 16, 0, 0},
        {PixelFormat24bppRGB, 101, 10, 200, 200, 0, 0, 7874, 7874},
        {PixelFormat32bppARGB, 101, 10, 72, 72, 32, 4040, 2834, 2834},
        // An A0 page at 1200 dpi: its 1-bit rows fit 32 bits, its 32-bit pixels (8.9 GB)
        // do not, and give no size rather than a wrapped one.
        {PixelFormat1bppIndexed, 39732, 56173, 1200, 1200, 1, 279067464, 47244, 47244},
        {PixelFormat32bppARGB, 39732, 56173, 1200, 1200, 32, 0, 47244, 47244},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << r.format << std::dec << " " << r.width);
        BITMAPINFOHEADER h;
        std::memset(&h, 0xAB, sizeof h);
        vesk::FillBitmapInfoHeader(r.format, r.width, r.height, r.xDpi, r.yDpi, h);
        EXPECT_EQ(std::tuple(h.biSize, h.biWidth, h.biHeight, h.biPlanes, h.biBitCount,
                             h.biCompression, h.biSizeImage, h.biXPelsPerMeter, h.biYPelsPerMeter,
                             h.biClrUsed, h.biClrImportant),
                  std::tuple(40u, LONG(r.width), LONG(r.height), WORD(1), r.bits, DWORD(BI_RGB),
                             r.size, r.xPerMetre, r.yPerMetre, 0u, 0u));
    }
}

// A thumbnail made locally from each kind of page: a JPEG file, whatever the source, in
// the thumbnail geometry (small pages grow to it).
TEST(LocalThumbnail, EachKindOfPageBecomesAJpegOfTheThumbnailSize) {
    CVESKDocument session;  // Windows GDI+ works only within a session
    vesk::test::TempFolder dir;
    const struct {
        const char* file;
        bool doubleHeight;
        vesk::image::ImageInfo want;
    } rows[] = {{"page-jpeg", false, {240, 160}},
                {"pages-tiff", false, {240, 180}},
                {"page-bmp", true, {200, 240}}};
    for (const auto& r : rows) {
        const std::wstring source =
            vesk::Utf8ToWide(VESK_TEST_DATA_DIR "/imaging/" + std::string(r.file));
        const std::wstring target = vesk::Utf8ToWide(dir.Sub(r.file));
        vesk::image::ImageInfo got;
        EXPECT_EQ(vesk::MakeLocalThumbnail(source.c_str(), target.c_str(), r.doubleHeight), 1);
        EXPECT_TRUE(vesk::image::ReadJpegInfo(target, got) && got == r.want) << r.file;
    }
}

TEST(EncoderClsid, TheThreeEncodersAreFoundByTheirExactMimeType) {
    CVESKDocument session;  // Windows GDI+ lists encoders only within a session
    std::vector<int> got;
    for (const wchar_t* mime :
         {L"image/bmp", L"image/jpeg", L"image/tiff", L"image/JPEG", L"image/jpg", L"image/tif"})
        got.push_back(CVESKDocument::GetEncoderClsid(mime, nullptr) >= 0);
    EXPECT_EQ(got, (std::vector<int>{1, 1, 1, 0, 0, 0}));
}

}  // namespace
