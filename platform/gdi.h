// GDI bitmap handles. On POSIX an HBITMAP owns a 32-bit pixel buffer, rows top to bottom,
// each pixel blue, green, red, alpha; GetObjectW reports its size and, as for a DIB
// section, the address of its pixels. The caller frees it with DeleteObject. POSIX
// implementation in gdi_posix.cpp; a Windows build uses the system's GDI.
#pragma once

#include "platform/export.h"
#include "platform/wintypes.h"

#if !defined(_WIN32)

// True when obj was a live bitmap handle, which is then freed.
VESK_API BOOL DeleteObject(HGDIOBJ obj);
// For a bitmap handle and a buffer of at least sizeof(BITMAP): fills a BITMAP and gives
// its size; for a null buffer gives the size needed; otherwise 0.
VESK_API int GetObjectW(HGDIOBJ obj, int size, LPVOID buffer);

namespace vesk::gdi {

// A new bitmap handle of width × height pixels (both positive), as CreateDIBSection
// makes one: *bits gets the address of its pixels (width × 4 bytes a row, top row
// first) for the caller to fill. Null when out of memory.
HBITMAP CreateBitmap32(int width, int height, BYTE** bits);

}  // namespace vesk::gdi

#endif
