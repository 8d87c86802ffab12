// Extracting one page of a multi-page TIFF file, as GetBitmap does: our GDI+ layer
// (GdipLoadImageFromFile, GdipImageSelectActiveFrame, GdipSaveImageToFile with the TIFF
// encoder) against the least a program must do, a raw-strip copy of that page written
// directly with libtiff (TIFFReadRawStrip, TIFFWriteRawStrip and the tags that describe
// the strips). Both run in one process, alternately, on the same files: page 3 of a
// 10-page A4 300-dpi document, once G4-compressed bilevel (one strip a page, as
// scanners write it) and once JPEG-compressed colour (strips of 16 rows). The two
// extracted pages are checked to hold the same coded strips.
//
// Printed per file: the median wall time and the median CPU time (this thread's, which
// other load on a shared machine disturbs less) of each side over R runs with their
// spread (min and max), and the ratios of the medians (goal: at most 1.5). Figures, not
// a test.
//
//   bench_tiff_page [--repeat R] [--dir DIR]
// DIR (default $TMPDIR or /tmp) holds the generated files; on a tmpfs such as /dev/shm
// the disk stays out of the figures.
#include <tiffio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/charset.h"
#include "platform/gdiplus.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kWidth = 2480;  // A4 at 300 dpi
constexpr uint32_t kHeight = 3508;
constexpr int kPages = 10;
constexpr int kPage = 2;  // the third page, counted from 0

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "bench_tiff_page: %s\n", what.c_str());
    std::exit(1);
}

// A page that codes like a scanned letter: lines of word-like runs on white, with
// noise from a fixed seed so that no two pages are alike.
void WriteDocument(const fs::path& path, bool colour) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (!t)
        Die("cannot write " + path.string());
    uint32_t seed = colour ? 7 : 3;
    const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
    std::vector<uint8_t> row(colour ? kWidth * 3 : kWidth / 8);
    for (int page = 0; page < kPages; ++page) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kWidth);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, kHeight);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, colour ? 8 : 1);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, colour ? 3 : 1);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 300.0f);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 300.0f);
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(t, TIFFTAG_PAGENUMBER, page, kPages);
        if (colour) {
            TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
            TIFFSetField(t, TIFFTAG_JPEGQUALITY, 80);
            TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
        } else {
            TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kHeight);
        }
        for (uint32_t y = 0; y < kHeight; ++y) {
            const bool text = y > 200 && y < kHeight - 200 && y % 50 < 30;
            uint32_t x = 200, runEnd = 0;
            bool ink = false;
            for (uint32_t i = 0; i < kWidth; ++i) {
                if (text && i >= x && i >= runEnd && i < kWidth - 200) {
                    ink = !ink;
                    runEnd = i + 2 + next() % (ink ? 9 : 14);
                }
                const bool dark = text && ink && i >= x && i < kWidth - 200 && next() % 16 != 0;
                if (colour) {
                    const uint8_t v = dark ? 40 : 245;
                    row[i * 3] = dark ? uint8_t(40 + page * 20) : v;
                    row[i * 3 + 1] = v;
                    row[i * 3 + 2] = static_cast<uint8_t>(dark ? v : 235 + (y / 64 + i / 64) % 16);
                } else {
                    uint8_t& byte = row[i / 8];
                    byte =
                        static_cast<uint8_t>(dark ? byte | 0x80 >> i % 8 : byte & ~(0x80 >> i % 8));
                }
            }
            if (TIFFWriteScanline(t, row.data(), y, 0) != 1)
                Die("cannot write a row of " + path.string());
        }
        if (!TIFFWriteDirectory(t))
            Die("cannot write a page of " + path.string());
    }
    TIFFClose(t);
}

// ---- ours: what GetBitmap does --------------------------------------------------

CLSID TiffEncoder() {
    using namespace Gdiplus::DllExports;
    UINT count = 0, size = 0;
    GdipGetImageEncodersSize(&count, &size);
    std::vector<unsigned char> buffer(size);
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    if (GdipGetImageEncoders(count, size, codecs) == Gdiplus::Ok)
        for (UINT i = 0; i < count; ++i)
            if (std::wstring(codecs[i].MimeType) == L"image/tiff")
                return codecs[i].Clsid;
    Die("no TIFF encoder");
}

void Ours(const std::wstring& in, const std::wstring& out, const CLSID& tiff) {
    using namespace Gdiplus::DllExports;
    Gdiplus::GpImage* image = nullptr;
    if (GdipLoadImageFromFile(in.c_str(), &image) != Gdiplus::Ok ||
        GdipImageSelectActiveFrame(image, &Gdiplus::FrameDimensionPage, kPage) != Gdiplus::Ok ||
        GdipSaveImageToFile(image, out.c_str(), &tiff, nullptr) != Gdiplus::Ok)
        Die("our layer failed");
    GdipDisposeImage(image);
}

// ---- the peer: a raw-strip copy with libtiff --------------------------------------

template <class T>
void Copy(TIFF* in, TIFF* out, ttag_t tag) {
    T v{};
    if (TIFFGetField(in, tag, &v) == 1)
        TIFFSetField(out, tag, v);
}

void Peer(const std::string& in, const std::string& out) {
    TIFF* src = TIFFOpen(in.c_str(), "r");
    if (!src || !TIFFSetDirectory(src, kPage))
        Die("libtiff cannot read " + in);
    TIFF* dst = TIFFOpen(out.c_str(), "w");
    if (!dst)
        Die("libtiff cannot write " + out);
    for (ttag_t tag : {TIFFTAG_IMAGEWIDTH, TIFFTAG_IMAGELENGTH, TIFFTAG_ROWSPERSTRIP})
        Copy<uint32_t>(src, dst, tag);
    for (ttag_t tag : {TIFFTAG_BITSPERSAMPLE, TIFFTAG_SAMPLESPERPIXEL, TIFFTAG_COMPRESSION,
                       TIFFTAG_PHOTOMETRIC, TIFFTAG_PLANARCONFIG, TIFFTAG_RESOLUTIONUNIT})
        Copy<uint16_t>(src, dst, tag);
    for (ttag_t tag : {TIFFTAG_XRESOLUTION, TIFFTAG_YRESOLUTION})
        Copy<float>(src, dst, tag);
    uint32_t tablesSize = 0;
    void* tables = nullptr;
    if (TIFFGetField(src, TIFFTAG_JPEGTABLES, &tablesSize, &tables) == 1)
        TIFFSetField(dst, TIFFTAG_JPEGTABLES, tablesSize, tables);
    uint16_t h = 0, v = 0;
    if (TIFFGetField(src, TIFFTAG_YCBCRSUBSAMPLING, &h, &v) == 1)
        TIFFSetField(dst, TIFFTAG_YCBCRSUBSAMPLING, h, v);
    std::vector<uint8_t> buffer;
    for (uint32_t s = 0; s < TIFFNumberOfStrips(src); ++s) {
        const auto n = static_cast<tmsize_t>(TIFFGetStrileByteCount(src, s));
        buffer.resize(static_cast<size_t>(n));
        if (TIFFReadRawStrip(src, s, buffer.data(), n) != n ||
            TIFFWriteRawStrip(dst, s, buffer.data(), n) != n)
            Die("raw strip copy failed");
    }
    if (!TIFFWriteDirectory(dst))
        Die("cannot finish " + out);
    TIFFClose(dst);
    TIFFClose(src);
}

// The coded strips of a one-page file, one after the other.
std::vector<uint8_t> Strips(const std::string& path) {
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (!t)
        Die("cannot read back " + path);
    std::vector<uint8_t> all;
    for (uint32_t s = 0; s < TIFFNumberOfStrips(t); ++s) {
        std::vector<uint8_t> strip(TIFFGetStrileByteCount(t, s));
        TIFFReadRawStrip(t, s, strip.data(), static_cast<tmsize_t>(strip.size()));
        all.insert(all.end(), strip.begin(), strip.end());
    }
    TIFFClose(t);
    return all;
}

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

double ThreadCpu() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Wall and CPU seconds of one call.
template <class F>
void Time(F&& f, std::vector<double>& wall, std::vector<double>& cpu) {
    const double c0 = ThreadCpu();
    const Clock::time_point t0 = Clock::now();
    f();
    wall.push_back(Seconds(t0, Clock::now()));
    cpu.push_back(ThreadCpu() - c0);
}

struct Spread {
    double median, min, max;
};
Spread Of(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return {n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.front(), v.back()};
}

}  // namespace

int main(int argc, char** argv) {
    int repeat = 15;
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : "/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--dir" && i + 1 < argc) {
            base = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--repeat R] [--dir DIR]\n", argv[0]);
            return 2;
        }
    }
    std::string tmpl = base + "/vesk-bench-tiff-XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        Die("cannot make a folder in " + base);
    const fs::path dir = tmpl;
    TIFFSetWarningHandler(nullptr);
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput startup;
    Gdiplus::GdiplusStartup(&token, &startup, nullptr);
    const CLSID tiff = TiffEncoder();

    std::printf("page %d of a %d-page A4 300-dpi TIFF (%u x %u), %d runs each, alternating\n",
                kPage + 1, kPages, kWidth, kHeight, repeat);
    for (const bool colour : {false, true}) {
        const fs::path doc = dir / (colour ? "colour-jpeg.tif" : "bilevel-g4.tif");
        WriteDocument(doc, colour);
        const fs::path ours = dir / "ours.tif", peer = dir / "peer.tif";
        const std::wstring docW = vesk::Utf8ToWide(doc.string()),
                           oursW = vesk::Utf8ToWide(ours.string());
        Ours(docW, oursW, tiff);  // once each to warm the page cache and the libraries
        Peer(doc.string(), peer.string());
        if (Strips(ours.string()) != Strips(peer.string()))
            Die("the two copies of " + doc.string() + " differ in their coded strips");
        std::vector<double> o, p, oc, pc;
        for (int r = 0; r < repeat; ++r) {
            Time([&] { Ours(docW, oursW, tiff); }, o, oc);
            Time([&] { Peer(doc.string(), peer.string()); }, p, pc);
        }
        std::printf("%s: file %.1f MiB, page %.1f KiB\n", colour ? "JPEG colour" : "G4 bilevel",
                    static_cast<double>(fs::file_size(doc)) / (1 << 20),
                    static_cast<double>(fs::file_size(peer)) / 1024);
        const auto line = [](const char* who, const std::vector<double>& wall,
                             const std::vector<double>& cpu) {
            const Spread w = Of(wall), c = Of(cpu);
            std::printf(
                "  %-22s wall median %7.3f ms (min %.3f, max %.3f)   CPU median %7.3f ms "
                "(min %.3f, max %.3f)\n",
                who, w.median * 1e3, w.min * 1e3, w.max * 1e3, c.median * 1e3, c.min * 1e3,
                c.max * 1e3);
        };
        line("ours (GDI+ layer)", o, oc);
        line("peer (raw-strip copy)", p, pc);
        std::printf("  ratio ours / peer      wall %.2f, CPU %.2f (goal: at most 1.5)\n",
                    Of(o).median / Of(p).median, Of(oc).median / Of(pc).median);
    }
    Gdiplus::GdiplusShutdown(token);
    fs::remove_all(dir);
    return 0;
}
