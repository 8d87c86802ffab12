// Independent decoders for the tests: libjpeg and libtiff called directly, so what the
// emulator produces is checked by the libraries a client would use, not by its own code.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <tiffio.h>

namespace mfpsim::test {

struct Decoded {
    int width = 0;
    int height = 0;
    int components = 0;
    int density = 0;  // JPEG: dots per inch when the unit is inches
    std::vector<uint8_t> pixels;
};

namespace detail {
struct JpegErr {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};
[[noreturn]] inline void JpegExit(j_common_ptr c) {
    std::longjmp(reinterpret_cast<JpegErr*>(c->err)->jump, 1);
}
inline void JpegQuiet(j_common_ptr, int) {}
}  // namespace detail

// Decodes a whole JPEG; false on any libjpeg error.
inline bool DecodeJpegBytes(const std::vector<uint8_t>& data, Decoded& out) {
    if (data.empty()) {
        return false;
    }
    jpeg_decompress_struct c;
    detail::JpegErr err;
    c.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = detail::JpegExit;
    err.mgr.emit_message = detail::JpegQuiet;
    static thread_local std::vector<uint8_t> rows;  // outlives a longjmp
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&c);
        return false;
    }
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&c, TRUE);
    jpeg_start_decompress(&c);
    size_t stride = static_cast<size_t>(c.output_width) * c.output_components;
    rows.assign(stride * c.output_height, 0);
    while (c.output_scanline < c.output_height) {
        JSAMPROW row = rows.data() + stride * c.output_scanline;
        jpeg_read_scanlines(&c, &row, 1);
    }
    jpeg_finish_decompress(&c);
    out.width = static_cast<int>(c.output_width);
    out.height = static_cast<int>(c.output_height);
    out.components = c.output_components;
    out.density = c.density_unit == 1 ? c.X_density : 0;
    out.pixels = rows;
    jpeg_destroy_decompress(&c);
    return true;
}

struct TiffPage {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bits = 0;
    uint16_t compression = 0;
    float xres = 0;
    std::vector<uint32_t> rgba;
};

inline void TiffQuietHandler(const char*, const char*, va_list) {}

// Decodes every page of a TIFF file with libtiff; false on any failure.
inline bool DecodeTiffFile(const std::string& path, std::vector<TiffPage>& pages) {
    TIFFSetErrorHandler(TiffQuietHandler);
    TIFFSetWarningHandler(TiffQuietHandler);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t) {
        return false;
    }
    bool ok = true;
    do {
        TiffPage p;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &p.width);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &p.height);
        TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &p.bits);
        TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &p.compression);
        TIFFGetField(t, TIFFTAG_XRESOLUTION, &p.xres);
        p.rgba.resize(static_cast<size_t>(p.width) * p.height);
        if (p.width == 0 || !TIFFReadRGBAImageOriented(t, p.width, p.height, p.rgba.data(),
                                                       ORIENTATION_TOPLEFT, 0)) {
            ok = false;
            break;
        }
        pages.push_back(std::move(p));
    } while (TIFFReadDirectory(t));
    TIFFClose(t);
    return ok;
}

inline bool DecodeTiffBytes(const std::vector<uint8_t>& data, std::vector<TiffPage>& pages,
                            const std::string& scratch) {
    FILE* f = std::fopen(scratch.c_str(), "wb");
    if (!f) {
        return false;
    }
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    return DecodeTiffFile(scratch, pages);
}

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::vector<uint8_t> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        return out;
    }
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.insert(out.end(), buf, buf + n);
    }
    std::fclose(f);
    return out;
}

// Entry names of a zip archive read from its central directory, checking each local
// header and stored entry's CRC; empty when the archive is malformed.
std::vector<std::string> ZipEntries(const std::vector<uint8_t>& zip);

// Checks the structure of a PDF: header, trailer, xref offsets that point at their
// objects; returns the page count of the /Pages node, -1 when malformed.
int PdfPageCount(const std::vector<uint8_t>& pdf);

}  // namespace mfpsim::test
