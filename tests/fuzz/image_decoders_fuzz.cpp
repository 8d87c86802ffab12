// libFuzzer target for the image readers behind the GDI+ layer: any bytes as JPEG, TIFF
// (every page up to four, and the copy of a page) and BMP, and the whole road from a
// file (load, pages, a thumbnail, a bitmap handle). A reader either refuses or agrees
// with its own header reader; what the layer writes, it reads back the same.
#include <cstdint>
#include <cstring>

#include "platform/charset.h"
#include "platform/gdiplus.h"
#include "platform/image_codec_posix.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

namespace img = vesk::imaging;
using namespace Gdiplus;
using namespace Gdiplus::DllExports;

bool SameSize(const img::Pixels& p, const img::FrameInfo& info) {
    return p.width == info.width && p.height == info.height;
}

void Jpeg(img::Bytes data) {
    img::FrameInfo info;
    const bool header = img::JpegInfo(data, info);
    img::Pixels full, scaled;
    if (img::DecodeJpeg(data, 0, 0, full))
        Check(header && SameSize(full, info), "a decoded JPEG has its header's size");
    if (img::DecodeJpeg(data, 64, 48, scaled))
        Check(header && scaled.width <= info.width && scaled.height <= info.height &&
                  ((scaled.width >= 64 && scaled.height >= 48) || SameSize(scaled, info)),
              "a scaled decode covers the size asked or is whole");
    img::Pixels resized;
    if (img::DecodeJpegResized(data, 24, 16, resized))
        Check(header && resized.width == 24 && resized.height == 16,
              "a decode resampled as it goes has exactly the size asked");
}

void Tiff(img::Bytes data) {
    const uint32_t frames = img::TiffFrameCount(data);
    for (uint32_t f = 0; f < frames && f < 4; ++f) {
        img::FrameInfo info, copied;
        const bool header = img::TiffInfo(data, f, info);
        img::Pixels pixels;
        if (img::DecodeTiff(data, f, pixels))
            Check(header && SameSize(pixels, info), "a decoded page has its header's size");
        std::string page;
        if (img::CopyTiffFrame(data, f, page)) {
            const img::Bytes out(reinterpret_cast<const uint8_t*>(page.data()), page.size());
            Check(header && img::TiffFrameCount(out) == 1 && img::TiffInfo(out, 0, copied) &&
                      copied.width == info.width && copied.height == info.height &&
                      copied.pixelFormat == info.pixelFormat,
                  "a copied page reads as the page it came from");
        }
    }
}

void Bmp(img::Bytes data) {
    img::FrameInfo info, again;
    const bool header = img::BmpInfo(data, info);
    img::Pixels pixels, back;
    if (!img::DecodeBmp(data, pixels))
        return;
    Check(header && SameSize(pixels, info), "a decoded BMP has its header's size");
    std::string written;
    Check(img::EncodeBmp(pixels, false, info.xDpi, info.yDpi, written), "a BMP is written");
    const img::Bytes out(reinterpret_cast<const uint8_t*>(written.data()), written.size());
    Check(img::BmpInfo(out, again) && img::DecodeBmp(out, back) && SameSize(back, info),
          "what is written reads back");
    for (uint32_t y = 0; y < back.height; ++y)
        for (uint32_t x = 0; x < back.width; ++x)
            Check(std::memcmp(back.Row(y) + x * 4, pixels.Row(y) + x * 4, 3) == 0,
                  "the colours read back");
}

void Road(const uint8_t* data, size_t size) {
    const std::wstring path = vesk::Utf8ToWide(WriteScratchFile("images", data, size));
    GpBitmap* bitmap = nullptr;
    if (GdipCreateBitmapFromFile(path.c_str(), &bitmap) != Ok)
        return Check(bitmap == nullptr, "a refused file gives no image");
    UINT count = 0, width = 0, height = 0;
    Check(GdipImageGetFrameCount(bitmap, &FrameDimensionPage, &count) == Ok && count > 0,
          "an image has a page");
    Check(GdipImageSelectActiveFrame(bitmap, &FrameDimensionPage, count) == InvalidParameter,
          "no page past the last");
    GdipImageSelectActiveFrame(bitmap, &FrameDimensionPage, count - 1);
    GdipGetImageWidth(bitmap, &width);
    GdipGetImageHeight(bitmap, &height);
    if (uint64_t{width} * height <= (1u << 22)) {
        GpImage* thumb = nullptr;
        if (GdipGetImageThumbnail(bitmap, 24, 16, &thumb, nullptr, nullptr) == Ok)
            GdipDisposeImage(thumb);
        HBITMAP hbm = nullptr;
        if (GdipCreateHBITMAPFromBitmap(bitmap, &hbm, 0xFF000000) == Ok) {
            BITMAP bm{};
            Check(GetObjectW(hbm, sizeof bm, &bm) == sizeof bm &&
                      bm.bmWidth == static_cast<LONG>(width) &&
                      bm.bmHeight == static_cast<LONG>(height),
                  "the handle has the page's size");
            Check(DeleteObject(hbm), "the handle is freed");
        }
    }
    GdipDisposeImage(bitmap);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const img::Bytes bytes(data, size);
    Jpeg(bytes);
    Tiff(bytes);
    Bmp(bytes);
    Road(data, size);
    return 0;
}
