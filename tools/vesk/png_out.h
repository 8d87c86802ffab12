// PNG files of 32-bit pixel buffers (a bitmap handle's pixels), through libpng.
#pragma once

#include <cstdint>
#include <string>

namespace vesk::cli {

// An 8-bit RGB PNG of width × height pixels given as rows of blue, green, red, alpha
// (top row first, `stride` bytes apart). The alpha byte is dropped: a bitmap handle's
// pixels are opaque. False when libpng refuses or memory runs out.
bool EncodePng(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
               std::string& out);

}  // namespace vesk::cli
