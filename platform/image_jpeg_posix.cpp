// JPEG on libjpeg-turbo, from and to memory. libjpeg leaves a failing call by longjmp, so
// the functions that call it keep only plain data in their frames.
#include <cstddef>
#include <cstdio>
// jpeglib.h needs size_t and FILE first.
#include <jerror.h>
#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <new>

#include "platform/image_codec_posix.h"

namespace vesk::imaging {

namespace {

struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    bool decoding = false;  // coded data that ends early is fatal while rows are read
};

[[noreturn]] void Fail(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

void Message(j_common_ptr cinfo, int level) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    if (level != -1 || !err->decoding || cinfo->is_decompressor == FALSE)
        return;
    auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    // A marker inside the coded data means rows are missing. The end of the data is
    // only fatal before the last row of blocks: there the decoder may merely read ahead
    // of a file that lacks its end marker.
    if (err->pub.msg_code == JWRN_HIT_MARKER ||
        (err->pub.msg_code == JWRN_JPEG_EOF && d->input_iMCU_row + 1 < d->total_iMCU_rows))
        Fail(cinfo);
}

void Quiet(j_common_ptr) {}

void InitErrors(ErrorManager& err) {
    jpeg_std_error(&err.pub);
    err.pub.error_exit = Fail;
    err.pub.emit_message = Message;
    err.pub.output_message = Quiet;
}

bool Fits(const jpeg_decompress_struct& cinfo) {
    return cinfo.image_width > 0 && cinfo.image_height > 0 &&
           uint64_t{cinfo.image_width} * cinfo.image_height <= kMaxPixels;
}

double Dpi(const jpeg_decompress_struct& cinfo, UINT16 density) {
    if (density == 0 || !cinfo.saw_JFIF_marker)
        return kDefaultDpi;
    if (cinfo.density_unit == 1)
        return density;
    if (cinfo.density_unit == 2)
        return density * 2.54;
    return kDefaultDpi;
}

// Adobe's CMYK files store inverted samples.
void CmykToBgra(uint8_t* row, uint32_t width, bool inverted) {
    for (uint32_t x = 0; x < width; ++x, row += 4) {
        unsigned c = row[0], m = row[1], y = row[2], k = row[3];
        if (!inverted)
            c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
        row[0] = static_cast<uint8_t>(y * k / 255);
        row[1] = static_cast<uint8_t>(m * k / 255);
        row[2] = static_cast<uint8_t>(c * k / 255);
        row[3] = 255;
    }
}

// The smallest DCT scale n/8 whose output covers minWidth × minHeight; 8/8 when either
// is 0 or none does.
void ChooseScale(jpeg_decompress_struct& cinfo, uint32_t minWidth, uint32_t minHeight) {
    cinfo.scale_denom = 8;
    cinfo.scale_num = 8;
    if (minWidth && minHeight) {
        for (unsigned num = 1; num <= 8; ++num) {
            cinfo.scale_num = num;
            jpeg_calc_output_dimensions(&cinfo);
            if (cinfo.output_width >= minWidth && cinfo.output_height >= minHeight)
                break;
        }
    }
}

// Decodes into the scaler row by row. The scaler lives in the caller's frame: a libjpeg
// error leaves this function by longjmp.
bool DecodeInto(Bytes data, uint32_t width, uint32_t height, RowScaler& scaler, Pixels& out) {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    InitErrors(err);
    cinfo.err = &err.pub;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), data.size());
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK || !Fits(cinfo)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    const bool cmyk = cinfo.num_components == 4;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    ChooseScale(cinfo, width, height);
    err.decoding = true;
    jpeg_start_decompress(&cinfo);
    if (!scaler.Start(cinfo.output_width, cinfo.output_height, width, height,
                      cinfo.jpeg_color_space == JCS_GRAYSCALE, out)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    JSAMPROW row = scaler.InputRow();
    while (cinfo.output_scanline < cinfo.output_height) {
        if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) {  // only a suspending source stops
            jpeg_destroy_decompress(&cinfo);
            return false;
        }
        if (cmyk)
            CmykToBgra(row, cinfo.output_width, cinfo.saw_Adobe_marker);
        scaler.Push(row);
    }
    err.decoding = false;
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

}  // namespace

bool JpegInfo(Bytes data, FrameInfo& info) {
    if (Sniff(data) != Kind::kJpeg)
        return false;
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    InitErrors(err);
    cinfo.err = &err.pub;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), data.size());
    const bool ok = jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK && Fits(cinfo);
    if (ok) {
        info.width = cinfo.image_width;
        info.height = cinfo.image_height;
        info.pixelFormat = cinfo.num_components == 1   ? kFormat8bppIndexed
                           : cinfo.num_components == 4 ? kFormat32bppCMYK
                                                       : kFormat24bppRGB;
        info.xDpi = Dpi(cinfo, cinfo.X_density);
        info.yDpi = Dpi(cinfo, cinfo.Y_density);
    }
    jpeg_destroy_decompress(&cinfo);
    return ok;
}

bool DecodeJpeg(Bytes data, uint32_t minWidth, uint32_t minHeight, Pixels& out) {
    if (Sniff(data) != Kind::kJpeg)
        return false;
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    InitErrors(err);
    cinfo.err = &err.pub;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        out.bgra.reset();
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), data.size());
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK || !Fits(cinfo)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    const bool cmyk = cinfo.num_components == 4;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
    ChooseScale(cinfo, minWidth, minHeight);
    err.decoding = true;
    jpeg_start_decompress(&cinfo);
    if (!out.Allocate(cinfo.output_width, cinfo.output_height)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    out.grey = cinfo.jpeg_color_space == JCS_GRAYSCALE;
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW rows[4];
        const JDIMENSION first = cinfo.output_scanline;
        const auto count = std::min<JDIMENSION>(4, cinfo.output_height - first);
        for (JDIMENSION i = 0; i < count; ++i)
            rows[i] = out.Row(first + i);
        const JDIMENSION got = jpeg_read_scanlines(&cinfo, rows, count);
        if (cmyk)
            for (JDIMENSION i = 0; i < got; ++i)
                CmykToBgra(rows[i], out.width, cinfo.saw_Adobe_marker);
    }
    err.decoding = false;
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

bool DecodeJpegResized(Bytes data, uint32_t width, uint32_t height, Pixels& out) {
    if (Sniff(data) != Kind::kJpeg || width == 0 || height == 0)
        return false;
    RowScaler scaler;
    if (DecodeInto(data, width, height, scaler, out))
        return true;
    out = Pixels{};
    return false;
}

namespace {

struct Encoded {
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    uint8_t* grey = nullptr;
};

bool Compress(const Pixels& image, int quality, double xDpi, double yDpi, Encoded& enc) {
    jpeg_compress_struct cinfo{};
    ErrorManager err{};
    InitErrors(err);
    cinfo.err = &err.pub;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &enc.buffer, &enc.size);
    cinfo.image_width = image.width;
    cinfo.image_height = image.height;
    cinfo.input_components = image.grey ? 1 : 4;
    cinfo.in_color_space = image.grey ? JCS_GRAYSCALE : JCS_EXT_BGRA;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, std::clamp(quality, 0, 100), TRUE);
    const auto density = [](double dpi) {
        return static_cast<UINT16>(std::clamp(std::lround(dpi), 1L, 65535L));
    };
    if (xDpi > 0 && yDpi > 0) {
        cinfo.write_JFIF_header = TRUE;
        cinfo.density_unit = 1;
        cinfo.X_density = density(xDpi);
        cinfo.Y_density = density(yDpi);
    }
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        const uint8_t* src = image.Row(cinfo.next_scanline);
        JSAMPROW row = const_cast<JSAMPROW>(src);
        if (image.grey) {
            for (uint32_t x = 0; x < image.width; ++x)
                enc.grey[x] = src[x * 4 + 1];
            row = enc.grey;
        }
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

}  // namespace

bool EncodeJpeg(const Pixels& image, int quality, double xDpi, double yDpi, std::string& out) {
    if (!image.bgra || image.width == 0 || image.height == 0 || image.width > JPEG_MAX_DIMENSION ||
        image.height > JPEG_MAX_DIMENSION)
        return false;
    Encoded enc;
    if (image.grey && !(enc.grey = static_cast<uint8_t*>(std::malloc(image.width))))
        return false;
    bool ok = Compress(image, quality, xDpi, yDpi, enc);
    std::free(enc.grey);
    try {
        if (ok)
            out.assign(reinterpret_cast<const char*>(enc.buffer), enc.size);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    std::free(enc.buffer);
    return ok;
}

}  // namespace vesk::imaging
