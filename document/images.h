// Image helpers of the document level that do not need an item: the thumbnail
// geometry, a thumbnail made locally from an image file, the bitmap header of a page,
// and the raw grey thumbnail format some devices send. Exported for the command line and
// the benchmarks, which make thumbnails exactly as the items do.
#pragma once

#include <cstdint>

#include "platform/export.h"
#include "platform/gdiplus.h"
#include "platform/wintypes.h"

namespace vesk {

// Raw device thumbnails: 8-bit grey rows of 104 pixels, no padding, top row first.
inline constexpr int kRawThumbnailWidth = 104;
// What a BMP file of such rows puts before them: file and information headers and a
// 256-entry grey palette.
inline constexpr int kRawThumbnailHeaderSize = 14 + 40 + 256 * 4;
inline constexpr UINT kThumbnailSide = 240;

struct ThumbnailGeometry {
    UINT width = 0;
    UINT height = 0;
    bool operator==(const ThumbnailGeometry&) const = default;
};
// The size of the thumbnail of a width × height image: the longer side 240, the shorter
// ⌊240 × shorter / longer⌋ but at least 1; equal sides give 240 × 240. doubleHeight (a
// protocol-12 device) doubles the height first. {0, 0} for an empty image.
VESK_API ThumbnailGeometry ThumbnailSize(UINT width, UINT height, bool doubleHeight);

// Makes the thumbnail of the image file pszSource (JPEG, TIFF or BMP, told by content)
// and saves it as a quality-100 JPEG at pszTarget (our POSIX engine replaces the file
// only once written; Windows GDI+ writes in place, so a failed save may leave part of
// one). 1 done; 0 the source cannot be loaded or scaled, or there is no JPEG encoder;
// -1046 the thumbnail could not be saved. Windows GDI+ works only within a session: the
// caller holds one (every document does).
VESK_API int MakeLocalThumbnail(const wchar_t* pszSource, const wchar_t* pszTarget,
                                bool doubleHeight);

// The header GetBitmap hands out for an image: biBitCount from the pixel format (1, 4,
// 8, 16, 32; 0 for any other), biSizeImage computed in 64 bits (0 when it does not fit
// 32), resolutions in pixels per metre (dpi / 0.0254, truncated).
VESK_API void FillBitmapInfoHeader(PixelFormat format, UINT width, UINT height, double xDpi,
                                   double yDpi, BITMAPINFOHEADER& header);

}  // namespace vesk
