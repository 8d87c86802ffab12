// PNG files of 32-bit pixel buffers (a bitmap handle's pixels), through libpng on POSIX
// and GDI+'s own PNG encoder on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk::cli {

// An 8-bit PNG of width × height pixels given as rows of blue, green, red, alpha (top
// row first, `stride` bytes apart): with libpng grey when every pixel is grey, else RGB;
// GDI+ picks its own colour type. The alpha byte is dropped: a bitmap handle's pixels are
// opaque. The pixels per metre are written when both are positive. False when the
// encoder refuses or memory runs out.
bool EncodePng(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
               std::string& out, int32_t xPixelsPerMetre = 0, int32_t yPixelsPerMetre = 0);

// The same pixels as a JPEG at quality 100 (as the library saves the thumbnails it
// makes) or a 24-bit BMP, both at 96 dpi. False when the encoder refuses.
bool EncodeJpeg100(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
                   std::string& out);
bool EncodeBmp(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
               std::string& out);

}  // namespace vesk::cli
