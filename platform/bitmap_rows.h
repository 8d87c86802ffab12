// The pixels of a bitmap handle in one known order, for callers that read them (a PNG
// of a page, a check of a thumbnail): our POSIX handles keep rows top to bottom, while
// Windows GDI+ hands out a bottom-up DIB section (and need not hand out a DIB at all).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/export.h"
#include "platform/gdi.h"
#include "platform/wintypes.h"

namespace vesk::gdi {

// Rows top to bottom, 4 bytes a pixel (blue, green, red, alpha), no padding. False for
// anything that is not a live bitmap handle; pixels and size are then left as they were.
VESK_API bool ReadBitmapRows(HBITMAP bitmap, int& width, int& height, std::vector<uint8_t>& pixels);

}  // namespace vesk::gdi
