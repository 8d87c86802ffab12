// Our handles are already 32-bit rows top to bottom: a copy of them.
#include <cstring>

#include "platform/bitmap_rows.h"

namespace vesk::gdi {

bool ReadBitmapRows(HBITMAP bitmap, int& width, int& height, std::vector<uint8_t>& pixels) {
    BITMAP bm{};
    if (!bitmap || GetObjectW(bitmap, sizeof bm, &bm) != sizeof bm || !bm.bmBits ||
        bm.bmBitsPixel != 32 || bm.bmWidth <= 0 || bm.bmHeight <= 0)
        return false;
    const auto* bits = static_cast<const uint8_t*>(bm.bmBits);
    pixels.assign(bits, bits + static_cast<size_t>(bm.bmWidth) * 4 * bm.bmHeight);
    width = bm.bmWidth;
    height = bm.bmHeight;
    return true;
}

}  // namespace vesk::gdi
