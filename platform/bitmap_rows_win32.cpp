// GDI converts any bitmap handle (DIB section of either orientation, or a device bitmap)
// into the rows asked for: a negative height asks for them top to bottom.
#include <windows.h>

#include <utility>

#include "platform/bitmap_rows.h"

namespace vesk::gdi {

bool ReadBitmapRows(HBITMAP bitmap, int& width, int& height, std::vector<uint8_t>& pixels) {
    BITMAP bm{};
    if (!bitmap || GetObjectW(bitmap, sizeof bm, &bm) != sizeof bm || bm.bmWidth <= 0 ||
        bm.bmHeight == 0)
        return false;
    const LONG rows = bm.bmHeight < 0 ? -bm.bmHeight : bm.bmHeight;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = bm.bmWidth;
    info.bmiHeader.biHeight = -rows;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<uint8_t> out(static_cast<size_t>(bm.bmWidth) * 4 * static_cast<size_t>(rows));
    HDC screen = GetDC(nullptr);
    if (!screen)
        return false;
    const int copied =
        GetDIBits(screen, bitmap, 0, static_cast<UINT>(rows), out.data(), &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    if (copied != rows)
        return false;
    pixels = std::move(out);
    width = bm.bmWidth;
    height = static_cast<int>(rows);
    return true;
}

}  // namespace vesk::gdi
