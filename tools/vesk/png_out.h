// PNG files of 32-bit pixel buffers (a bitmap handle's pixels), through libpng.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk::cli {

// An 8-bit PNG of width × height pixels given as rows of blue, green, red, alpha (top
// row first, `stride` bytes apart): grey when every pixel is grey, else RGB. The alpha
// byte is dropped: a bitmap handle's pixels are opaque. The pixels per metre are written
// when both are positive. False when libpng refuses or memory runs out.
bool EncodePng(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
               std::string& out, int32_t xPixelsPerMetre = 0, int32_t yPixelsPerMetre = 0);

}  // namespace vesk::cli
