#include "tools/mfpsim/lib/imaging.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <jpeglib.h>
#include <tiffio.h>

namespace mfpsim::img {

namespace {

// Deterministic pseudo-random numbers (xorshift32); never zero.
struct Rng {
    uint32_t s;
    explicit Rng(uint32_t seed) : s(seed ? seed : 0x9e3779b9u) {}
    uint32_t Next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
    int Range(int lo, int hi) {
        return lo + static_cast<int>(Next() % static_cast<uint32_t>(hi - lo + 1));
    }
};

void FillRect(Image& img, int x0, int y0, int w, int h, const uint8_t* colour) {
    int x1 = std::min(img.width, x0 + w);
    int y1 = std::min(img.height, y0 + h);
    x0 = std::max(0, x0);
    y0 = std::max(0, y0);
    for (int y = y0; y < y1; ++y) {
        uint8_t* row = img.Row(y);
        for (int x = x0; x < x1; ++x) {
            std::memcpy(row + static_cast<size_t>(x) * img.channels, colour, img.channels);
        }
    }
}

// --- libjpeg error handling: jump back instead of exiting the process.
struct JpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

[[noreturn]] void JpegErrorExit(j_common_ptr c) {
    auto* e = reinterpret_cast<JpegError*>(c->err);
    std::longjmp(e->jump, 1);
}

void JpegSilence(j_common_ptr, int) {}

// --- libtiff over a byte vector.
struct MemFile {
    std::vector<uint8_t>* data;
    const std::vector<uint8_t>* rdata;
    toff_t pos = 0;
};

tmsize_t MemRead(thandle_t h, void* buf, tmsize_t n) {
    auto* m = static_cast<MemFile*>(h);
    const std::vector<uint8_t>& d = m->data ? *m->data : *m->rdata;
    if (m->pos >= d.size() || n <= 0) {
        return 0;
    }
    size_t k = std::min(static_cast<size_t>(n), static_cast<size_t>(d.size() - m->pos));
    std::memcpy(buf, d.data() + m->pos, k);
    m->pos += k;
    return static_cast<tmsize_t>(k);
}

tmsize_t MemWrite(thandle_t h, void* buf, tmsize_t n) {
    auto* m = static_cast<MemFile*>(h);
    if (!m->data || n < 0) {
        return -1;
    }
    size_t end = static_cast<size_t>(m->pos) + static_cast<size_t>(n);
    if (end > m->data->size()) {
        m->data->resize(end);
    }
    std::memcpy(m->data->data() + m->pos, buf, static_cast<size_t>(n));
    m->pos = end;
    return n;
}

toff_t MemSeek(thandle_t h, toff_t off, int whence) {
    auto* m = static_cast<MemFile*>(h);
    size_t size = m->data ? m->data->size() : m->rdata->size();
    int64_t base = whence == SEEK_SET   ? 0
                   : whence == SEEK_CUR ? static_cast<int64_t>(m->pos)
                                        : static_cast<int64_t>(size);
    int64_t target = base + static_cast<int64_t>(off);
    if (target < 0) {
        return static_cast<toff_t>(-1);
    }
    m->pos = static_cast<toff_t>(target);
    return m->pos;
}

int MemClose(thandle_t) {
    return 0;
}

toff_t MemSize(thandle_t h) {
    auto* m = static_cast<MemFile*>(h);
    return m->data ? m->data->size() : m->rdata->size();
}

int MemMap(thandle_t, void**, toff_t*) {
    return 0;
}
void MemUnmap(thandle_t, void*, toff_t) {}

// Handled per file, so the process-wide libtiff handlers that others install stay
// untouched; the emulator reports failures by result.
int TiffQuiet(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

TIFF* OpenMem(MemFile& m, const char* mode) {
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    if (!opts) {
        return nullptr;
    }
    TIFFOpenOptionsSetErrorHandlerExtR(opts, TiffQuiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, TiffQuiet, nullptr);
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts, 256 << 20);
    TIFF* tif = TIFFClientOpenExt("mem", mode, &m, MemRead, MemWrite, MemSeek, MemClose, MemSize,
                                  MemMap, MemUnmap, opts);
    TIFFOpenOptionsFree(opts);
    return tif;
}

bool WriteTiffPage(TIFF* tif, const Image& page, TiffCoding coding, int pageIndex, int pageCount) {
    bool g4 = coding == TiffCoding::kG4 || (coding == TiffCoding::kAuto && IsBilevel(page));
    Image src = g4 ? Threshold(ToGrey(page)) : page;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(src.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(src.height));
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(pageIndex),
                 static_cast<uint16_t>(pageCount));
    if (src.dpi > 0) {
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(src.dpi));
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(src.dpi));
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    }
    if (g4) {
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(src.height));
        std::vector<uint8_t> line((src.width + 7) / 8);
        for (int y = 0; y < src.height; ++y) {
            std::fill(line.begin(), line.end(), 0);
            const uint8_t* row = src.Row(y);
            for (int x = 0; x < src.width; ++x) {
                if (row[x] < 128) {  // black is 1 with min-is-white
                    line[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
                }
            }
            if (TIFFWriteScanline(tif, line.data(), static_cast<uint32_t>(y), 0) < 0) {
                return false;
            }
        }
    } else {
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, src.channels);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                     src.channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
        std::vector<uint8_t> line(static_cast<size_t>(src.width) * src.channels);
        for (int y = 0; y < src.height; ++y) {
            std::memcpy(line.data(), src.Row(y), line.size());
            if (TIFFWriteScanline(tif, line.data(), static_cast<uint32_t>(y), 0) < 0) {
                return false;
            }
        }
    }
    return TIFFWriteDirectory(tif) != 0;
}

}  // namespace

Image SyntheticPage(uint32_t seed, int pageNumber, int width, int height, PageStyle style,
                    int dpi) {
    Image img;
    img.width = width;
    img.height = height;
    img.channels = style == PageStyle::kColour ? 3 : 1;
    img.dpi = dpi;
    // Paper is not perfectly white: a faint scanner tone, bilevel pages stay pure.
    uint8_t paper = style == PageStyle::kBilevel ? 255 : 246;
    img.pixels.assign(static_cast<size_t>(width) * height * img.channels, paper);
    Rng rng(seed * 2654435761u + static_cast<uint32_t>(pageNumber) * 40503u + 1);
    const uint8_t ink[3] = {24, 24, 32};
    const uint8_t* inkc = ink;
    int margin = std::max(4, width / 12);
    int unit = std::max(2, height / 110);  // text line height

    // Header bar.
    FillRect(img, margin, margin, width - 2 * margin, unit * 2, inkc);
    // Page number marks, top right.
    for (int i = 0; i < pageNumber && i < 40; ++i) {
        FillRect(img, width - margin - (i + 1) * unit, margin + unit * 3, std::max(1, unit / 2),
                 unit * 2, inkc);
    }
    // Picture block on colour pages, in a seed-chosen colour.
    int y = margin + unit * 7;
    if (style == PageStyle::kColour) {
        uint8_t c[3] = {static_cast<uint8_t>(rng.Range(40, 220)),
                        static_cast<uint8_t>(rng.Range(40, 220)),
                        static_cast<uint8_t>(rng.Range(40, 220))};
        int bw = (width - 2 * margin) / 2;
        int bh = height / 5;
        FillRect(img, margin, y, bw, bh, c);
        y += bh + unit * 2;
    } else if (style == PageStyle::kGrey) {
        uint8_t g[3] = {150, 150, 150};
        FillRect(img, margin, y, (width - 2 * margin) / 3, height / 8, g);
        y += height / 8 + unit * 2;
    }
    // Lines of "words".
    while (y + unit < height - margin) {
        int x = margin + (rng.Range(0, 5) == 0 ? unit * 3 : 0);
        int lineEnd = width - margin - (rng.Range(0, 6) == 0 ? rng.Range(0, width / 3) : 0);
        while (x < lineEnd) {
            int w = unit * rng.Range(2, 9);
            if (x + w > lineEnd) {
                break;
            }
            FillRect(img, x, y, w, unit, inkc);
            x += w + unit;
        }
        y += unit * (rng.Range(0, 8) == 0 ? 4 : 2);
    }
    return img;
}

std::vector<uint8_t> EncodeJpeg(const Image& image, int quality) {
    if (image.Empty() || (image.channels != 1 && image.channels != 3)) {
        return {};
    }
    jpeg_compress_struct cinfo;
    JpegError err;
    // Held on the heap: the library writes these after setjmp, and a longjmp back must
    // still see them.
    struct MemDest {
        unsigned char* buf = nullptr;
        unsigned long size = 0;
    };
    auto mem = std::make_unique<MemDest>();
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = JpegErrorExit;
    err.mgr.emit_message = JpegSilence;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(mem->buf);
        return {};
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &mem->buf, &mem->size);
    cinfo.image_width = static_cast<JDIMENSION>(image.width);
    cinfo.image_height = static_cast<JDIMENSION>(image.height);
    cinfo.input_components = image.channels;
    cinfo.in_color_space = image.channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (image.dpi > 0) {
        cinfo.density_unit = 1;  // dots per inch
        cinfo.X_density = static_cast<UINT16>(image.dpi);
        cinfo.Y_density = static_cast<UINT16>(image.dpi);
    }
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.Row(static_cast<int>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> out(mem->buf, mem->buf + mem->size);
    std::free(mem->buf);
    return out;
}

bool DecodeJpeg(const std::vector<uint8_t>& data, Image& out) {
    if (data.empty()) {
        return false;
    }
    jpeg_decompress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = JpegErrorExit;
    err.mgr.emit_message = JpegSilence;
    // The image is decoded into a plain buffer first: nothing with a destructor may be
    // created between setjmp and a possible longjmp.
    unsigned char* volatile buf = nullptr;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        std::free(buf);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    cinfo.out_color_space = cinfo.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&cinfo);
    size_t stride = static_cast<size_t>(cinfo.output_width) * cinfo.output_components;
    buf = static_cast<unsigned char*>(std::malloc(stride * cinfo.output_height));
    if (!buf) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = buf + stride * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    int dpi = 0;
    if (cinfo.density_unit == 1) {
        dpi = cinfo.X_density;
    } else if (cinfo.density_unit == 2) {
        dpi = static_cast<int>(cinfo.X_density * 2.54 + 0.5);
    }
    out.width = static_cast<int>(cinfo.output_width);
    out.height = static_cast<int>(cinfo.output_height);
    out.channels = cinfo.output_components;
    out.dpi = dpi;
    jpeg_destroy_decompress(&cinfo);
    out.pixels.assign(buf, buf + stride * static_cast<size_t>(out.height));
    std::free(buf);
    return true;
}

bool JpegInfo(const std::vector<uint8_t>& data, int& width, int& height, int& channels, int& dpi) {
    if (data.empty()) {
        return false;
    }
    jpeg_decompress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = JpegErrorExit;
    err.mgr.emit_message = JpegSilence;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data.data(), static_cast<unsigned long>(data.size()));
    bool ok = jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK;
    if (ok) {
        width = static_cast<int>(cinfo.image_width);
        height = static_cast<int>(cinfo.image_height);
        channels = cinfo.num_components;
        dpi = cinfo.density_unit == 1   ? cinfo.X_density
              : cinfo.density_unit == 2 ? static_cast<int>(cinfo.X_density * 2.54 + 0.5)
                                        : 0;
    }
    jpeg_destroy_decompress(&cinfo);
    return ok;
}

bool PageFromJpeg(std::vector<uint8_t> jpeg, EncodedPage& out) {
    EncodedPage p;
    if (!JpegInfo(jpeg, p.width, p.height, p.channels, p.dpi) ||
        (p.channels != 1 && p.channels != 3)) {
        return false;
    }
    p.data = std::move(jpeg);
    out = std::move(p);
    return true;
}

EncodedPage PageFromImage(const Image& image) {
    EncodedPage p;
    p.width = image.width;
    p.height = image.height;
    p.dpi = image.dpi;
    if (IsBilevel(image)) {
        p.g4 = true;
        p.channels = 1;
        p.data = EncodeG4Raw(image);
    } else {
        p.channels = image.channels;
        p.data = EncodeJpeg(image, 85);
    }
    return p;
}

std::vector<uint8_t> EncodeTiff(const std::vector<Image>& pages, TiffCoding coding) {
    std::vector<uint8_t> out;
    MemFile m{&out, nullptr};
    TIFF* tif = OpenMem(m, "w");
    if (!tif) {
        return {};
    }
    int index = 0;
    for (const Image& page : pages) {
        if (page.Empty() ||
            !WriteTiffPage(tif, page, coding, index++, static_cast<int>(pages.size()))) {
            TIFFClose(tif);
            return {};
        }
    }
    TIFFClose(tif);
    return out;
}

bool DecodeTiff(const std::vector<uint8_t>& data, std::vector<Image>& out) {
    out.clear();
    MemFile m{nullptr, &data};
    TIFF* tif = OpenMem(m, "r");
    if (!tif) {
        return false;
    }
    bool ok = true;
    do {
        uint32_t w = 0;
        uint32_t h = 0;
        uint16_t spp = 1;
        float xres = 0;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
        if (w == 0 || h == 0 || w > 20000 || h > 20000) {
            ok = false;
            break;
        }
        std::vector<uint32_t> raster(static_cast<size_t>(w) * h);
        if (!TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 0)) {
            ok = false;
            break;
        }
        Image img;
        img.width = static_cast<int>(w);
        img.height = static_cast<int>(h);
        img.channels = spp >= 3 ? 3 : 1;
        if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres) && xres > 0) {
            img.dpi = static_cast<int>(xres + 0.5f);
        }
        img.pixels.resize(static_cast<size_t>(w) * h * img.channels);
        for (size_t i = 0; i < raster.size(); ++i) {
            uint32_t p = raster[i];
            if (img.channels == 3) {
                img.pixels[i * 3] = static_cast<uint8_t>(TIFFGetR(p));
                img.pixels[i * 3 + 1] = static_cast<uint8_t>(TIFFGetG(p));
                img.pixels[i * 3 + 2] = static_cast<uint8_t>(TIFFGetB(p));
            } else {
                img.pixels[i] = static_cast<uint8_t>(TIFFGetR(p));
            }
        }
        out.push_back(std::move(img));
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return ok && !out.empty();
}

int CountTiffPages(const std::vector<uint8_t>& data) {
    MemFile m{nullptr, &data};
    TIFF* tif = OpenMem(m, "r");
    if (!tif) {
        return -1;
    }
    int n = TIFFNumberOfDirectories(tif);
    TIFFClose(tif);
    return n;
}

std::vector<uint8_t> EncodeG4Raw(const Image& bilevel) {
    std::vector<uint8_t> tiff = EncodeTiff({bilevel}, TiffCoding::kG4);
    if (tiff.empty()) {
        return {};
    }
    MemFile m{nullptr, &tiff};
    TIFF* tif = OpenMem(m, "r");
    if (!tif) {
        return {};
    }
    std::vector<uint8_t> out;
    tmsize_t size = TIFFRawStripSize(tif, 0);
    if (TIFFNumberOfStrips(tif) == 1 && size > 0) {
        out.resize(static_cast<size_t>(size));
        if (TIFFReadRawStrip(tif, 0, out.data(), size) != size) {
            out.clear();
        }
    }
    TIFFClose(tif);
    return out;
}

bool IsBilevel(const Image& image) {
    if (image.channels != 1) {
        return false;
    }
    return std::all_of(image.pixels.begin(), image.pixels.end(),
                       [](uint8_t v) { return v == 0 || v == 255; });
}

Image ToGrey(const Image& image) {
    if (image.channels == 1) {
        return image;
    }
    Image g;
    g.width = image.width;
    g.height = image.height;
    g.channels = 1;
    g.dpi = image.dpi;
    size_t n = static_cast<size_t>(image.width) * image.height;
    g.pixels.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = &image.pixels[i * 3];
        g.pixels[i] = static_cast<uint8_t>((p[0] * 77 + p[1] * 150 + p[2] * 29) >> 8);
    }
    return g;
}

Image Threshold(const Image& image, uint8_t level) {
    Image g = ToGrey(image);
    for (uint8_t& v : g.pixels) {
        v = v < level ? 0 : 255;
    }
    return g;
}

Image Scale(const Image& image, int width, int height) {
    Image out;
    out.width = std::max(1, width);
    out.height = std::max(1, height);
    out.channels = image.channels;
    out.dpi = 0;
    out.pixels.resize(static_cast<size_t>(out.width) * out.height * out.channels);
    const int c = image.channels;
    for (int y = 0; y < out.height; ++y) {
        int sy0 = static_cast<int>(static_cast<int64_t>(y) * image.height / out.height);
        int sy1 = std::max(
            sy0 + 1, static_cast<int>(static_cast<int64_t>(y + 1) * image.height / out.height));
        for (int x = 0; x < out.width; ++x) {
            int sx0 = static_cast<int>(static_cast<int64_t>(x) * image.width / out.width);
            int sx1 = std::max(
                sx0 + 1, static_cast<int>(static_cast<int64_t>(x + 1) * image.width / out.width));
            for (int k = 0; k < c; ++k) {
                uint64_t sum = 0;
                for (int sy = sy0; sy < sy1; ++sy) {
                    const uint8_t* row = image.Row(sy);
                    for (int sx = sx0; sx < sx1; ++sx) {
                        sum += row[static_cast<size_t>(sx) * c + k];
                    }
                }
                uint64_t cnt = static_cast<uint64_t>(sy1 - sy0) * (sx1 - sx0);
                out.Row(y)[static_cast<size_t>(x) * c + k] = static_cast<uint8_t>(sum / cnt);
            }
        }
    }
    return out;
}

std::vector<uint8_t> RawThumbnail(const Image& page) {
    if (page.Empty()) {
        return {};
    }
    int h = std::max(1, static_cast<int>((static_cast<int64_t>(page.height) * kRawThumbnailWidth +
                                          page.width / 2) /
                                         page.width));
    Image t = Scale(ToGrey(page), kRawThumbnailWidth, h);
    return t.pixels;
}

std::vector<uint8_t> JpegThumbnail(const Image& page, int side) {
    if (page.Empty()) {
        return {};
    }
    int w = side;
    int h = side;
    if (page.width >= page.height) {
        h = std::max(1, static_cast<int>(static_cast<int64_t>(side) * page.height / page.width));
    } else {
        w = std::max(1, static_cast<int>(static_cast<int64_t>(side) * page.width / page.height));
    }
    return EncodeJpeg(Scale(page, w, h), 80);
}

}  // namespace mfpsim::img
