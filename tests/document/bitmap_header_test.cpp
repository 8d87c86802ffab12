// The header GetBitmap hands out with a page: bits per pixel by pixel format, the padded
// image size in 64 bits, and resolutions in pixels per metre.
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "document/images.h"

namespace {

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

}  // namespace
