#include "tools/vesk/png_out.h"

#include <png.h>

#include <cstring>
#include <new>
#include <vector>

namespace vesk::cli {

bool EncodePng(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
               std::string& out) {
    if (!bgra || width == 0 || height == 0 || width > PNG_UINT_31_MAX / 3 ||
        height > PNG_UINT_31_MAX)
        return false;
    try {
        std::vector<uint8_t> rgb(size_t{width} * 3 * height);
        uint8_t* d = rgb.data();
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* s = bgra + y * stride;
            for (uint32_t x = 0; x < width; ++x, s += 4, d += 3) {
                d[0] = s[2];
                d[1] = s[1];
                d[2] = s[0];
            }
        }
        png_image image;
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
        image.width = width;
        image.height = height;
        image.format = PNG_FORMAT_RGB;
        // The first call measures, the second writes.
        png_alloc_size_t size = 0;
        if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgb.data(), 0, nullptr))
            return false;
        out.resize(size);
        const bool ok =
            png_image_write_to_memory(&image, out.data(), &size, 0, rgb.data(), 0, nullptr) != 0;
        png_image_free(&image);
        out.resize(ok ? size : 0);
        return ok;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace vesk::cli
