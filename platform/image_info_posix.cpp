// Header readers on libjpeg-turbo and libtiff. Both libraries read through our own
// source (a file opened at exactly its path, or memory) and report errors to us
// instead of stderr or exit().
#include "platform/image_info.h"

#include <jpeglib.h>
#include <tiffio.h>

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace vesk::image {

namespace {

// No header we read needs more; a hostile file must not make libtiff allocate more.
constexpr tmsize_t kMaxTiffAllocation = 16 << 20;

bool FitsInt(uint64_t v) {
    return v > 0 && v <= static_cast<uint64_t>(INT_MAX);
}

// ---- JPEG ---------------------------------------------------------------------

struct JpegSource {
    jpeg_source_mgr pub;
    ISource* source;
    JOCTET buffer[4096];
};

struct JpegError {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void JpegErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}
void JpegQuiet(j_common_ptr) {}
void JpegQuietLevel(j_common_ptr, int) {}
void JpegInit(j_decompress_ptr) {}
void JpegTerm(j_decompress_ptr) {}

boolean JpegFill(j_decompress_ptr cinfo) {
    auto* s = reinterpret_cast<JpegSource*>(cinfo->src);
    size_t n = s->source->Read(s->buffer, sizeof s->buffer);
    if (n == 0) {
        // The end of the data: an end-of-image marker makes libjpeg stop with an error
        // of its own instead of waiting for more.
        s->buffer[0] = 0xFF;
        s->buffer[1] = JPEG_EOI;
        n = 2;
    }
    s->pub.next_input_byte = s->buffer;
    s->pub.bytes_in_buffer = n;
    return TRUE;
}

void JpegSkip(j_decompress_ptr cinfo, long count) {
    auto* s = reinterpret_cast<JpegSource*>(cinfo->src);
    if (count <= 0)
        return;
    const auto n = static_cast<size_t>(count);
    if (n <= s->pub.bytes_in_buffer) {
        s->pub.next_input_byte += n;
        s->pub.bytes_in_buffer -= n;
        return;
    }
    const uint64_t target = s->source->Tell() + (n - s->pub.bytes_in_buffer);
    s->pub.bytes_in_buffer = 0;
    // Past the end: the next fill finds nothing and ends the image.
    if (!s->source->Seek(std::min(target, s->source->Size())))
        s->source->Seek(s->source->Size());
}

// ---- TIFF ---------------------------------------------------------------------

ISource& SourceOf(thandle_t h) {
    return *static_cast<ISource*>(h);
}

tmsize_t TiffRead(thandle_t h, void* buf, tmsize_t n) {
    return n <= 0 ? 0 : static_cast<tmsize_t>(SourceOf(h).Read(buf, static_cast<size_t>(n)));
}
tmsize_t TiffWrite(thandle_t, void*, tmsize_t) {
    return -1;
}
toff_t TiffSeek(thandle_t h, toff_t offset, int whence) {
    ISource& s = SourceOf(h);
    const uint64_t base = whence == SEEK_CUR ? s.Tell() : whence == SEEK_END ? s.Size() : 0;
    // A relative offset travels as the two's complement of a negative number.
    const auto delta = static_cast<int64_t>(offset);
    uint64_t target = 0;
    if (whence == SEEK_SET || delta >= 0) {
        target = base + (whence == SEEK_SET ? offset : static_cast<uint64_t>(delta));
        if (target < base)
            return static_cast<toff_t>(-1);
    } else {
        const uint64_t back = 0 - static_cast<uint64_t>(delta);
        if (back > base)
            return static_cast<toff_t>(-1);
        target = base - back;
    }
    return s.Seek(target) ? target : static_cast<toff_t>(-1);
}
int TiffClose(thandle_t) {
    return 0;
}
toff_t TiffSize(thandle_t h) {
    return SourceOf(h).Size();
}
int TiffMap(thandle_t, void**, toff_t*) {
    return 0;
}
void TiffUnmap(thandle_t, void*, toff_t) {}
int TiffQuiet(TIFF*, void*, const char*, const char*, va_list) {
    return 1;  // handled: nothing reaches the process-wide handlers or stderr
}

}  // namespace

// Only plain data lives in this frame: libjpeg leaves it by longjmp on an error.
bool ReadJpegInfo(ISource& source, ImageInfo& info) {
    if (!LooksLikeJpeg(source))
        return false;
    jpeg_decompress_struct cinfo{};
    JpegError err{};
    JpegSource src{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = JpegErrorExit;
    err.pub.output_message = JpegQuiet;
    err.pub.emit_message = JpegQuietLevel;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    src.source = &source;
    src.pub.init_source = JpegInit;
    src.pub.fill_input_buffer = JpegFill;
    src.pub.skip_input_data = JpegSkip;
    src.pub.resync_to_restart = jpeg_resync_to_restart;
    src.pub.term_source = JpegTerm;
    cinfo.src = &src.pub;
    const bool ok = jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK &&
                    FitsInt(cinfo.image_width) && FitsInt(cinfo.image_height);
    const int width = static_cast<int>(cinfo.image_width);
    const int height = static_cast<int>(cinfo.image_height);
    jpeg_destroy_decompress(&cinfo);
    if (!ok)
        return false;
    info = ImageInfo{width, height, 0, 0};
    return true;
}

bool ReadTiffInfo(ISource& source, ImageInfo& info) {
    if (!LooksLikeTiff(source))
        return false;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
        return false;
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxTiffAllocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options, TiffQuiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, TiffQuiet, nullptr);
    // "D": strip and tile tables are read only when asked for, which we never do.
    TIFF* tif = TIFFClientOpenExt("image", "rD", &source, TiffRead, TiffWrite, TiffSeek, TiffClose,
                                  TiffSize, TiffMap, TiffUnmap, options);
    TIFFOpenOptionsFree(options);
    if (!tif)
        return false;
    uint32_t width = 0;
    uint32_t height = 0;
    float xRes = 0;
    float yRes = 0;
    uint16_t unit = RESUNIT_INCH;
    const bool ok = TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) == 1 &&
                    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) == 1 && FitsInt(width) &&
                    FitsInt(height);
    if (ok) {
        if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xRes) != 1)
            xRes = 0;
        if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yRes) != 1)
            yRes = 0;
        TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    }
    TIFFClose(tif);
    if (!ok)
        return false;
    info = ImageInfo{static_cast<int>(width), static_cast<int>(height),
                     ResolutionDpi(xRes, unit == RESUNIT_CENTIMETER),
                     ResolutionDpi(yRes, unit == RESUNIT_CENTIMETER)};
    return true;
}

}  // namespace vesk::image
