#include "tools/vesk/png_out.h"

#include <png.h>

#include <csetjmp>
#include <cstring>
#include <new>
#include <vector>

#include "platform/image_codec_posix.h"

namespace vesk::cli {

namespace {

void Append(png_structp png, png_bytep data, png_size_t length) {
    try {
        static_cast<std::string*>(png_get_io_ptr(png))
            ->append(reinterpret_cast<char*>(data), length);
    } catch (const std::bad_alloc&) {
        png_error(png, "out of memory");  // back to the setjmp below, not through libpng
    }
}

bool IsGrey(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride) {
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* p = bgra + y * stride;
        for (uint32_t x = 0; x < width; ++x, p += 4)
            if (p[0] != p[1] || p[1] != p[2])
                return false;
    }
    return true;
}

// The PNG itself. Apart from libpng's own, nothing here lives across its error jump.
bool WritePng(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride, bool grey,
              int32_t xPixelsPerMetre, int32_t yPixelsPerMetre, uint8_t* row, std::string& out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, Append, nullptr);
    png_set_IHDR(png, info, width, height, 8, grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (xPixelsPerMetre > 0 && yPixelsPerMetre > 0)
        png_set_pHYs(png, info, static_cast<png_uint_32>(xPixelsPerMetre),
                     static_cast<png_uint_32>(yPixelsPerMetre), PNG_RESOLUTION_METER);
    png_write_info(png, info);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* src = bgra + y * stride;
        uint8_t* dst = row;
        for (uint32_t x = 0; x < width; ++x, src += 4) {
            *dst++ = src[2];
            if (!grey) {
                *dst++ = src[1];
                *dst++ = src[0];
            }
        }
        png_write_row(png, row);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

// The pixels in the codecs' own buffer.
bool Copy(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
          imaging::Pixels& px) {
    if (!bgra || width == 0 || height == 0 || !px.Allocate(width, height))
        return false;
    for (uint32_t y = 0; y < height; ++y)
        std::memcpy(px.Row(y), bgra + size_t{y} * stride, px.Stride());
    return true;
}

}  // namespace

bool EncodeJpeg100(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
                   std::string& out) {
    imaging::Pixels px;
    return Copy(bgra, width, height, stride, px) &&
           imaging::EncodeJpeg(px, 100, imaging::kDefaultDpi, imaging::kDefaultDpi, out);
}

bool EncodeBmp(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
               std::string& out) {
    imaging::Pixels px;
    return Copy(bgra, width, height, stride, px) &&
           imaging::EncodeBmp(px, false, imaging::kDefaultDpi, imaging::kDefaultDpi, out);
}

bool EncodePng(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
               std::string& out, int32_t xPixelsPerMetre, int32_t yPixelsPerMetre) {
    if (!bgra || width == 0 || height == 0 || width > PNG_UINT_31_MAX / 3 ||
        height > PNG_UINT_31_MAX)
        return false;
    const bool grey = IsGrey(bgra, width, height, stride);
    std::vector<uint8_t> row;
    try {
        row.resize(size_t{width} * (grey ? 1 : 3));
    } catch (const std::bad_alloc&) {
        return false;
    }
    out.clear();
    if (WritePng(bgra, width, height, stride, grey, xPixelsPerMetre, yPixelsPerMetre, row.data(),
                 out))
        return true;
    out.clear();
    return false;
}

}  // namespace vesk::cli
