// What the document layer relies on from GDI+ and the image header readers, run alike on
// our POSIX engine and on the system's own imaging under Windows: files told apart by
// content, page frames, a selection past the end, the bitmap handle, a one-page TIFF.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/bitmap_rows.h"
#include "platform/charset.h"
#include "platform/gdi.h"
#include "platform/gdiplus.h"
#include "platform/gdiplus_owners.h"
#include "platform/image_info.h"
#include "support/temp_folder.h"

namespace {

using namespace Gdiplus::DllExports;
using vesk::image::ImageInfo;

// Named without extensions: only their content says what they are.
std::string Data(const std::string& name) {
    return std::string(VESK_TEST_DATA_DIR) + "/imaging/" + name;
}

class Imaging : public testing::Test {
protected:
    // A session, as every document holds one: Windows GDI+ refuses calls without.
    Imaging() { EXPECT_TRUE(m_session.Ok()); }

    static vesk::GdipImagePtr Load(const std::string& path) {
        Gdiplus::GpImage* image = nullptr;
        EXPECT_EQ(GdipLoadImageFromFile(vesk::Utf8ToWide(path).c_str(), &image), Gdiplus::Ok)
            << path;
        return vesk::GdipImagePtr(image);
    }
    // Width, height and page frames of the active frame.
    static std::tuple<UINT, UINT, UINT> Shape(Gdiplus::GpImage* image) {
        UINT w = 0, h = 0, frames = 0;
        GdipGetImageWidth(image, &w);
        GdipGetImageHeight(image, &h);
        GdipImageGetFrameCount(image, &Gdiplus::FrameDimensionPage, &frames);
        return {w, h, frames};
    }
    static CLSID TiffEncoder() {
        UINT count = 0, size = 0;
        GdipGetImageEncodersSize(&count, &size);
        std::vector<unsigned char> buffer(size);
        auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
        GdipGetImageEncoders(count, size, codecs);
        for (UINT i = 0; i < count; ++i)
            if (std::wstring(codecs[i].MimeType) == L"image/tiff")
                return codecs[i].Clsid;
        return {};
    }

private:
    vesk::GdiplusSession m_session;
};

TEST_F(Imaging, FilesLoadByContentWithTheirFramesAndBecomeBitmapHandles) {
    const struct {
        const char* file;
        std::tuple<UINT, UINT, UINT> shape;
    } rows[] = {{"page-jpeg", {24, 16, 1}}, {"pages-tiff", {40, 30, 3}}, {"page-bmp", {5, 3, 1}}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.file);
        EXPECT_EQ(Shape(Load(Data(r.file)).get()), r.shape);
        vesk::BitmapHandle handle;
        ASSERT_EQ(vesk::LoadBitmapHandle(vesk::Utf8ToWide(Data(r.file)).c_str(), handle),
                  Gdiplus::Ok);
        BITMAP bm{};
        ASSERT_EQ(GetObjectW(handle.Get(), sizeof bm, &bm), int(sizeof bm));
        EXPECT_EQ(std::tuple(UINT(bm.bmWidth), UINT(bm.bmHeight < 0 ? -bm.bmHeight : bm.bmHeight),
                             bm.bmBitsPixel),
                  std::tuple(std::get<0>(r.shape), std::get<1>(r.shape), WORD(32)));
    }
    // Read back in one order everywhere: the file's bottom row (green 0) comes last.
    vesk::BitmapHandle bmp;
    int w = 0, h = 0;
    std::vector<uint8_t> px;
    ASSERT_TRUE(vesk::LoadBitmapHandle(vesk::Utf8ToWide(Data("page-bmp")).c_str(), bmp) ==
                    Gdiplus::Ok &&
                vesk::gdi::ReadBitmapRows(bmp.Get(), w, h, px));
    EXPECT_EQ(
        std::tuple(w, h, px.size(), px[4 * 1 + 0], px[1], px[2], px[4 * 10 + 1], px[4 * 10 + 2]),
        std::tuple(5, 3, size_t(60), uint8_t(50), uint8_t(160), uint8_t(200), uint8_t(0),
                   uint8_t(200)));
    EXPECT_FALSE(vesk::gdi::ReadBitmapRows(nullptr, w, h, px));

    // What cannot be shown is never reported as a lack of memory: callers keep a file
    // only then.
    vesk::test::TempFolder dir;
    vesk::test::WriteFile(dir.Sub("garbage"), "BM not a picture");
    for (const std::string& path : {dir.Sub("garbage"), dir.Sub("missing")}) {
        vesk::BitmapHandle handle;
        const Gdiplus::Status got = vesk::LoadBitmapHandle(vesk::Utf8ToWide(path).c_str(), handle);
        EXPECT_TRUE(got != Gdiplus::Ok && got != Gdiplus::OutOfMemory && !handle.Get()) << got;
    }
}

TEST_F(Imaging, AFramePastTheEndFailsAndTheActiveFrameSavesAsOnePage) {
    const vesk::GdipImagePtr tiff = Load(Data("pages-tiff"));
    ASSERT_EQ(GdipImageSelectActiveFrame(tiff.get(), &Gdiplus::FrameDimensionPage, 1), Gdiplus::Ok);
    EXPECT_NE(GdipImageSelectActiveFrame(tiff.get(), &Gdiplus::FrameDimensionPage, 3), Gdiplus::Ok);
    EXPECT_EQ(Shape(tiff.get()), std::tuple(56u, 20u, 3u));

    vesk::test::TempFolder dir;
    const CLSID encoder = TiffEncoder();
    const std::wstring page = vesk::Utf8ToWide(dir.Sub("page.tif"));
    ASSERT_EQ(GdipSaveImageToFile(tiff.get(), page.c_str(), &encoder, nullptr), Gdiplus::Ok);
    const vesk::GdipImagePtr saved = Load(dir.Sub("page.tif"));
    PixelFormat format = 0;
    Gdiplus::REAL x = 0, y = 0;
    GdipGetImagePixelFormat(saved.get(), &format);
    GdipGetImageHorizontalResolution(saved.get(), &x);
    GdipGetImageVerticalResolution(saved.get(), &y);
    EXPECT_EQ(std::tuple(Shape(saved.get()), format, x, y),
              std::tuple(std::tuple(56u, 20u, 1u), PixelFormat1bppIndexed, 200.0f, 100.0f));
}

// The header readers over a file and over memory: the same values, and neither writes
// the record when it refuses (another kind, a cut file).
TEST(ImageInfo, FileAndMemoryReadTheSameAndRefusalsLeaveTheRecord) {
    const ImageInfo untouched{7, 7, 7, 7};
    const struct {
        const char* file;
        ImageInfo jpeg, tiff;
    } rows[] = {{"page-jpeg", {24, 16, 0, 0}, untouched},
                {"pages-tiff", untouched, {40, 30, 200, 100}},
                {"page-bmp", untouched, untouched}};
    for (const auto& r : rows) {
        const std::string bytes = vesk::test::ReadFile(Data(r.file));
        const std::wstring path = vesk::Utf8ToWide(Data(r.file));
        ImageInfo got[6] = {untouched, untouched, untouched, untouched, untouched, untouched};
        vesk::image::MemorySource memory(bytes.data(), bytes.size());
        vesk::image::MemorySource cut(bytes.data(), bytes.size() / 4);
        vesk::image::ReadJpegInfo(memory, got[0]);
        vesk::image::ReadJpegInfo(path, got[1]);
        vesk::image::ReadTiffInfo(memory, got[2]);
        vesk::image::ReadTiffInfo(path, got[3]);
        EXPECT_FALSE(vesk::image::ReadJpegInfo(cut, got[4]) ||
                     vesk::image::ReadTiffInfo(cut, got[5]))
            << r.file;
        EXPECT_EQ(std::vector<ImageInfo>(got, got + 6),
                  (std::vector<ImageInfo>{r.jpeg, r.jpeg, r.tiff, r.tiff, untouched, untouched}))
            << r.file;
    }
    // A strip table running past the end once crashed the system's directory reader.
    ImageInfo info;
    EXPECT_TRUE(
        vesk::image::ReadTiffInfo(
            vesk::Utf8ToWide(Data("../../fuzz/seeds/fileinfo/strip-counts-past-end.tif")), info) &&
        info.width == 8 && info.height == 4);
}

}  // namespace
