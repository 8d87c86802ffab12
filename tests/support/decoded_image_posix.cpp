#include "support/decoded_image.h"

#include <jpeglib.h>
#include <tiffio.h>

#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/temp_folder.h"

namespace vesk::test {

namespace fs = std::filesystem;

namespace {
struct JpegError {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnJpegError(j_common_ptr cinfo) {
    auto* e = reinterpret_cast<JpegError*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, e->message);
    std::longjmp(e->jump, 1);
}
}  // namespace

bool DecodeJpeg(const std::vector<unsigned char>& data, JpegInfo& info, std::string& why) {
    jpeg_decompress_struct cinfo{};
    JpegError err{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = OnJpegError;
    // Only info (no local of this function) changes between setjmp and a longjmp.
    if (setjmp(err.jump)) {
        why = err.message;
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        why = "no JPEG header";
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_start_decompress(&cinfo);
    const size_t stride = static_cast<size_t>(cinfo.output_width) * cinfo.output_components;
    info.pixels.assign(stride * cinfo.output_height, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW p = info.pixels.data() + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &p, 1);
    }
    info.width = static_cast<int>(cinfo.output_width);
    info.height = static_cast<int>(cinfo.output_height);
    info.components = cinfo.output_components;
    info.density = cinfo.density_unit == 1 ? cinfo.X_density : 0;
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

namespace {
void QuietTiff(const char*, const char*, va_list) {}
}  // namespace

bool DecodeTiffFile(const std::string& path, std::vector<TiffPage>& pages) {
    TIFFSetErrorHandler(QuietTiff);
    TIFFSetWarningHandler(QuietTiff);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t)
        return false;
    bool ok = true;
    do {
        TiffPage p;
        TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &p.width);
        TIFFGetField(t, TIFFTAG_IMAGELENGTH, &p.height);
        TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &p.bits);
        TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &p.compression);
        TIFFGetField(t, TIFFTAG_XRESOLUTION, &p.xres);
        p.rgba.resize(static_cast<size_t>(p.width) * p.height);
        ok = p.width != 0 &&
             TIFFReadRGBAImageOriented(t, p.width, p.height, p.rgba.data(), ORIENTATION_TOPLEFT, 0);
        if (ok)
            pages.push_back(std::move(p));
    } while (ok && TIFFReadDirectory(t));
    TIFFClose(t);
    return ok;
}

bool DecodeTiff(const std::vector<unsigned char>& data, std::vector<TiffPage>& pages) {
    TempFolder dir;
    const fs::path file = dir.Path() / "pages.tif";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
    return DecodeTiffFile(file.string(), pages);
}

int TiffPageCount(const std::vector<unsigned char>& data) {
    std::vector<TiffPage> pages;
    return DecodeTiff(data, pages) ? static_cast<int>(pages.size()) : -1;
}

}  // namespace vesk::test
