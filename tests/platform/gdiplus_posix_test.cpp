// The GDI+ layer against files made by libjpeg and libtiff directly (through the
// emulator's page maker) and checked the same way, or by Python for BMP files.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/charset.h"
#include "platform/gdiplus.h"
#include "platform/image_codec_posix.h"
#include "support/temp_folder.h"
#include "sys_faults.h"
#include "tools/mfpsim/lib/imaging.h"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;
namespace sim = mfpsim::img;

namespace {

using vesk::test::OpenDescriptors;
using vesk::test::TempFolder;
using vesk::test::W;

// Samples as RGB rows without padding, from any of the readers.
struct Rgb {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgb;
    bool operator==(const Rgb&) const = default;
};

// The largest and the mean difference of two images' samples; 256 when the sizes differ.
std::pair<int, double> Difference(const Rgb& a, const Rgb& b) {
    if (a.width != b.width || a.height != b.height || a.rgb.empty())
        return {256, 256};
    int worst = 0;
    double total = 0;
    for (size_t i = 0; i < a.rgb.size(); ++i) {
        worst = std::max(worst, std::abs(a.rgb[i] - b.rgb[i]));
        total += std::abs(a.rgb[i] - b.rgb[i]);
    }
    return {worst, total / a.rgb.size()};
}

Rgb FromSim(const sim::Image& image) {
    Rgb out{static_cast<uint32_t>(image.width), static_cast<uint32_t>(image.height), {}};
    for (int i = 0; i < image.width * image.height; ++i)
        for (int c = 0; c < 3; ++c)
            out.rgb.push_back(image.pixels[i * image.channels + (image.channels == 3 ? c : 0)]);
    return out;
}

// A JPEG file's pixels as the emulator's libjpeg decodes them.
Rgb Decoded(const std::vector<uint8_t>& jpeg) {
    sim::Image image;
    EXPECT_TRUE(sim::DecodeJpeg(jpeg, image));
    return FromSim(image);
}

Rgb FromHbitmap(HBITMAP hbm) {
    BITMAP bm{};
    if (GetObjectW(hbm, sizeof bm, &bm) != sizeof bm || bm.bmBitsPixel != 32)
        return {};
    Rgb out{static_cast<uint32_t>(bm.bmWidth), static_cast<uint32_t>(bm.bmHeight), {}};
    const auto* p = static_cast<const uint8_t*>(bm.bmBits);
    for (LONG i = 0; i < bm.bmWidth * bm.bmHeight; ++i, p += 4)
        out.rgb.insert(out.rgb.end(), {p[2], p[1], p[0]});
    return out;
}

// What libtiff itself says about one page of a file.
struct TiffFacts {
    tdir_t pages = 0;
    uint16_t compression = 0, bits = 0, samples = 0, photometric = 0, unit = 0;
    float xRes = 0, yRes = 0;
    std::vector<uint8_t> strip0;  // coded, as stored
    Rgb pixels;
    bool operator==(const TiffFacts&) const = default;
};

TiffFacts ReadTiff(const std::string& path, tdir_t page) {
    TiffFacts f;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        return f;
    f.pages = TIFFNumberOfDirectories(tif);
    TIFFSetDirectory(tif, page);
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &f.compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &f.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &f.samples);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &f.photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &f.unit);
    TIFFGetField(tif, TIFFTAG_XRESOLUTION, &f.xRes);
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &f.yRes);
    f.strip0.resize(TIFFGetStrileByteCount(tif, 0));
    TIFFReadRawStrip(tif, 0, f.strip0.data(), static_cast<tmsize_t>(f.strip0.size()));
    uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    std::vector<uint32_t> raster(size_t{w} * h);
    if (TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 1)) {
        f.pixels = {w, h, {}};
        for (uint32_t v : raster)
            f.pixels.rgb.insert(f.pixels.rgb.end(), {static_cast<uint8_t>(TIFFGetR(v)),
                                                     static_cast<uint8_t>(TIFFGetG(v)),
                                                     static_cast<uint8_t>(TIFFGetB(v))});
    }
    TIFFClose(tif);
    return f;
}

// Pages in the codings the emulator does not make: JPEG-coded colour, grey with the
// resolution per centimetre, colour with a partly transparent alpha channel.
enum class Coding { kJpegYCbCr, kGreyLzwCm, kRgba };

void WriteTiff(const std::string& path, const std::vector<sim::Image>& pages, Coding coding) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_TRUE(tif);
    const uint16_t kAlpha = EXTRASAMPLE_UNASSALPHA;
    for (const sim::Image& page : pages) {
        const uint16_t samples = coding == Coding::kGreyLzwCm ? 1 : coding == Coding::kRgba ? 4 : 3;
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, page.width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, page.height);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        const bool cm = coding == Coding::kGreyLzwCm;
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, cm ? RESUNIT_CENTIMETER : RESUNIT_INCH);
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, cm ? 118.11f : 200.0f);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, cm ? 118.11f : 100.0f);
        const bool jpeg = coding == Coding::kJpegYCbCr;
        TIFFSetField(tif, TIFFTAG_COMPRESSION, jpeg ? COMPRESSION_JPEG : COMPRESSION_LZW);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                     jpeg           ? PHOTOMETRIC_YCBCR
                     : samples == 1 ? PHOTOMETRIC_MINISBLACK
                                    : PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, jpeg ? 16 : 8);
        if (jpeg)
            TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        if (coding == Coding::kRgba)
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &kAlpha);
        std::vector<uint8_t> row(size_t{static_cast<size_t>(page.width)} * samples);
        for (int y = 0; y < page.height; ++y) {
            for (int x = 0; x < page.width; ++x)
                for (int c = 0; c < samples; ++c)
                    row[x * samples + c] =
                        c == 3 ? (x < page.width / 2 ? 255 : 0)
                               : page.Row(y)[x * page.channels + (page.channels == 3 ? c : 0)];
            TIFFWriteScanline(tif, row.data(), y, 0);
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    vesk::test::WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

// An image that is disposed of at the end of the scope (null is refused harmlessly).
struct Image {
    GpImage* p = nullptr;
    ~Image() { GdipDisposeImage(p); }
    GpBitmap* Bitmap() { return static_cast<GpBitmap*>(p); }
};

Status Load(const std::string& path, Image& image) {
    GpBitmap* bitmap = nullptr;
    const Status s = GdipCreateBitmapFromFile(W(path).c_str(), &bitmap);
    image.p = bitmap;
    return s;
}

// Width, height, pages, pixel format and resolution (hundredths of dpi) of the active
// frame; all zero when any query fails.
using Facts = std::tuple<UINT, UINT, UINT, PixelFormat, long, long>;
Facts FactsOf(GpImage* p) {
    UINT w = 0, h = 0, n = 0;
    PixelFormat f = 0;
    REAL x = 0, y = 0;
    if (GdipGetImageWidth(p, &w) != Ok || GdipGetImageHeight(p, &h) != Ok ||
        GdipImageGetFrameCount(p, &FrameDimensionPage, &n) != Ok ||
        GdipGetImagePixelFormat(p, &f) != Ok || GdipGetImageHorizontalResolution(p, &x) != Ok ||
        GdipGetImageVerticalResolution(p, &y) != Ok)
        return {};
    return {w, h, n, f, std::lround(x * 100), std::lround(y * 100)};
}

Rgb Pixels(Image& image) {
    HBITMAP hbm = nullptr;
    if (GdipCreateHBITMAPFromBitmap(image.Bitmap(), &hbm, 0xFF000000) != Ok)
        return {};
    Rgb out = FromHbitmap(hbm);
    EXPECT_TRUE(DeleteObject(hbm));
    EXPECT_FALSE(DeleteObject(hbm));  // a freed handle is refused, not freed again
    return out;
}

// The encoder for a MIME type. Every call checks the whole list: exactly BMP, JPEG and
// TIFF, its text inside the caller's buffer, and a buffer of another size refused.
CLSID Encoder(const wchar_t* mimeType) {
    UINT count = 0, size = 0;
    EXPECT_EQ(GdipGetImageEncodersSize(&count, &size), Ok);
    std::vector<uint8_t> buffer(size);
    auto* codecs = reinterpret_cast<ImageCodecInfo*>(buffer.data());
    EXPECT_EQ(GdipGetImageEncoders(count, size - 1, codecs), GenericError);
    EXPECT_EQ(GdipGetImageEncoders(count, size, codecs), Ok);
    std::vector<std::wstring> types;
    CLSID found{};
    for (UINT i = 0; i < count; ++i) {
        types.emplace_back(codecs[i].MimeType);
        const auto* text = reinterpret_cast<const uint8_t*>(codecs[i].MimeType);
        EXPECT_TRUE(text >= buffer.data() && text < buffer.data() + size);
        found = types.back() == mimeType ? codecs[i].Clsid : found;
    }
    EXPECT_EQ(types, (std::vector<std::wstring>{L"image/bmp", L"image/jpeg", L"image/tiff"}));
    return found;
}

class GdiplusTest : public ::testing::Test {
protected:
    TempFolder m_dir{"vesk-gdiplus"};
    std::string Path(const std::string& name) const { return m_dir.Sub(name); }
    static sim::Image Page(int n, int w, int h, sim::PageStyle style, int dpi = 0) {
        return sim::SyntheticPage(7, n, w, h, style, dpi);
    }
};

// Kind by content (the names lie), size, format, resolution, frames and pixels.
TEST_F(GdiplusTest, DecodesEachKindByContent) {
    const sim::Image grey = Page(1, 120, 90, sim::PageStyle::kGrey, 300);
    const sim::Image colour = Page(1, 161, 77, sim::PageStyle::kColour, 0);
    const sim::Image bilevel = sim::Threshold(Page(1, 203, 64, sim::PageStyle::kBilevel, 200));
    const std::vector<uint8_t> greyJpeg = sim::EncodeJpeg(grey),
                               colourJpeg = sim::EncodeJpeg(colour);
    WriteBytes(Path("grey.tif"), greyJpeg);
    WriteBytes(Path("colour.bmp"), colourJpeg);
    WriteBytes(Path("g4.jpg"), sim::EncodeTiff({bilevel, bilevel}, sim::TiffCoding::kG4));
    WriteTiff(Path("cm.jpg"), {grey}, Coding::kGreyLzwCm);
    WriteTiff(Path("ycc.bmp"), {colour, grey, colour}, Coding::kJpegYCbCr);

    struct Case {
        const char* file;
        UINT width, height, frames;
        PixelFormat format;
        long xDpi, yDpi;  // hundredths
        Rgb expected;
        int tolerance;  // the same libjpeg may round colour conversion differently
    } cases[] = {
        {"grey.tif", 120, 90, 1, PixelFormat8bppIndexed, 30000, 30000, Decoded(greyJpeg), 0},
        {"colour.bmp", 161, 77, 1, PixelFormat24bppRGB, 9600, 9600, Decoded(colourJpeg), 2},
        {"g4.jpg", 203, 64, 2, PixelFormat1bppIndexed, 20000, 20000, FromSim(bilevel), 0},
        {"cm.jpg", 120, 90, 1, PixelFormat8bppIndexed, 30000, 30000, FromSim(grey), 0},
        {"ycc.bmp", 161, 77, 3, PixelFormat24bppRGB, 20000, 10000,
         ReadTiff(Path("ycc.bmp"), 0).pixels, 0},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.file);
        Image image;
        ASSERT_EQ(Load(Path(c.file), image), Ok);
        EXPECT_EQ(FactsOf(image.p), Facts(c.width, c.height, c.frames, c.format, c.xDpi, c.yDpi));
        EXPECT_LE(Difference(Pixels(image), c.expected).first, c.tolerance);
    }
}

TEST_F(GdiplusTest, RefusesWhatItCannotRead) {
    const std::vector<uint8_t> jpeg = sim::EncodeJpeg(Page(1, 64, 64, sim::PageStyle::kColour));
    WriteBytes(Path("cut.jpg"), {jpeg.begin(), jpeg.begin() + jpeg.size() / 2});
    vesk::test::WriteFile(Path("text.jpg"), "not a picture at all");
    vesk::test::WriteFile(Path("short.bmp"), std::string("BM") + std::string(60, '\x01'));
    Image image;
    EXPECT_EQ(Load(Path("missing.jpg"), image), FileNotFound);
    EXPECT_EQ(image.p, nullptr);
    EXPECT_EQ(Load(Path("text.jpg"), image), UnknownImageFormat);
    EXPECT_EQ(Load(Path("short.bmp"), image), UnknownImageFormat);
    // The header of a cut file reads; its pixels do not, and no handle is made.
    ASSERT_EQ(Load(Path("cut.jpg"), image), Ok);
    HBITMAP hbm = reinterpret_cast<HBITMAP>(1);
    EXPECT_EQ(GdipCreateHBITMAPFromBitmap(image.Bitmap(), &hbm, 0), GenericError);
    EXPECT_EQ(hbm, nullptr);
}

// No call leaves a file open. A JPEG is read whole, so changing its file later changes
// nothing; a TIFF is read call by call from the file loaded, so once that file is
// replaced, cut or gone, calls that need its data fail cleanly: the active page and
// what is known of it stay, and a save target is left as it was.
TEST_F(GdiplusTest, ReadsATiffOnlyFromTheFileLoaded) {
    const std::vector<sim::Image> pages = {Page(1, 40, 30, sim::PageStyle::kGrey),
                                           Page(2, 50, 20, sim::PageStyle::kGrey)};
    const std::vector<uint8_t> tiff = sim::EncodeTiff(pages, sim::TiffCoding::kLzw);
    const CLSID tiffEncoder = Encoder(L"image/tiff"), bmpEncoder = Encoder(L"image/bmp");
    const std::wstring target = W(Path("target"));
    const int before = OpenDescriptors();
    {
        WriteBytes(Path("a.tif"), tiff);
        WriteBytes(Path("a.jpg"), sim::EncodeJpeg(pages[0]));
        Image image, jpeg;
        // A name relative to the folder of the load, which the process leaves afterwards.
        const std::filesystem::path folder = std::filesystem::current_path();
        std::filesystem::current_path(m_dir.Sub(""));
        EXPECT_EQ(Load("a.tif", image), Ok);
        std::filesystem::current_path(folder);
        ASSERT_EQ(Load(Path("a.jpg"), jpeg), Ok);
        EXPECT_EQ(OpenDescriptors(), before);
        EXPECT_EQ(GdipImageSelectActiveFrame(image.p, &FrameDimensionPage, 1), Ok);
        EXPECT_EQ(OpenDescriptors(), before);
        EXPECT_EQ(GdipSaveImageToFile(image.p, target.c_str(), &tiffEncoder, nullptr), Ok);
        EXPECT_TRUE(Pixels(image) == FromSim(pages[1]));
        EXPECT_EQ(OpenDescriptors(), before);
        vesk::test::WriteFile(Path("a.jpg"), "overwritten");
        EXPECT_TRUE(Pixels(jpeg) == Decoded(sim::EncodeJpeg(pages[0])));
    }
    const auto replace = [&](const std::string& path) {
        WriteBytes(path + ".new", tiff);  // the same bytes, another file
        std::filesystem::rename(path + ".new", path);
    };
    const auto cut = [](const std::string& path) {
        std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2);
    };
    const auto remove = [](const std::string& path) { std::filesystem::remove(path); };
    const struct {
        const char* change;
        std::function<void(const std::string&)> apply;
        Status status;
    } cases[] = {{"replaced", replace, Win32Error},
                 {"cut short", cut, Win32Error},
                 {"deleted", remove, FileNotFound}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        WriteBytes(Path("a.tif"), tiff);
        vesk::test::WriteFile(Path("target"), "as it was");
        Image image;
        ASSERT_EQ(Load(Path("a.tif"), image), Ok);
        const Facts known = FactsOf(image.p);
        ASSERT_EQ(std::tuple(std::get<0>(known), std::get<2>(known)), std::tuple(40u, 2u));
        c.apply(Path("a.tif"));
        EXPECT_EQ(GdipImageSelectActiveFrame(image.p, &FrameDimensionPage, 1), c.status);
        EXPECT_EQ(FactsOf(image.p), known);
        for (const CLSID* encoder : {&tiffEncoder, &bmpEncoder})
            EXPECT_EQ(GdipSaveImageToFile(image.p, target.c_str(), encoder, nullptr), c.status);
        EXPECT_EQ(vesk::test::ReadFile(Path("target")), "as it was");
        GpImage* thumb = nullptr;
        EXPECT_EQ(GdipGetImageThumbnail(image.p, 4, 3, &thumb, nullptr, nullptr), c.status);
        EXPECT_EQ(thumb, nullptr);
        EXPECT_EQ(OpenDescriptors(), before);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.Sub("")),
                            std::filesystem::directory_iterator()),
              2);  // a.jpg and the target: nothing half written
}

// A page past the end is refused and the active page stays; other dimensions too.
TEST_F(GdiplusTest, SelectsPageFrames) {
    std::vector<sim::Image> pages;
    for (int i = 0; i < 3; ++i)
        pages.push_back(sim::Threshold(Page(i + 1, 100 + 10 * i, 50, sim::PageStyle::kBilevel)));
    WriteBytes(Path("three.tif"), sim::EncodeTiff(pages, sim::TiffCoding::kG4));
    WriteBytes(Path("one.jpg"), sim::EncodeJpeg(pages[0]));
    Image tiff, jpeg;
    ASSERT_EQ(Load(Path("three.tif"), tiff), Ok);
    ASSERT_EQ(Load(Path("one.jpg"), jpeg), Ok);
    EXPECT_EQ(GdipImageSelectActiveFrame(tiff.p, &FrameDimensionPage, 2), Ok);
    EXPECT_EQ(GdipImageSelectActiveFrame(tiff.p, &FrameDimensionPage, 3), InvalidParameter);
    // Any GUID but the page dimension (here an encoder parameter's) is refused.
    EXPECT_EQ(GdipImageSelectActiveFrame(tiff.p, &EncoderQuality, 1), InvalidParameter);
    EXPECT_EQ(GdipImageSelectActiveFrame(jpeg.p, &FrameDimensionPage, 1), InvalidParameter);
    EXPECT_EQ(std::get<0>(FactsOf(tiff.p)), 120u);
    EXPECT_TRUE(Pixels(tiff) == FromSim(pages[2]));
    EXPECT_EQ(GdipImageSelectActiveFrame(tiff.p, &FrameDimensionPage, 0), Ok);
    EXPECT_TRUE(Pixels(tiff) == FromSim(pages[0]));
}

// One page saved as TIFF: its coded strips, compression, format and resolution as they
// were, and nothing of the other pages.
TEST_F(GdiplusTest, SavesOneTiffPageAsCoded) {
    std::vector<sim::Image> colour, bilevel;
    for (int i = 0; i < 3; ++i) {
        colour.push_back(Page(i + 1, 64 + 16 * i, 48, sim::PageStyle::kColour));
        bilevel.push_back(sim::Threshold(Page(i + 1, 90, 40 + i, sim::PageStyle::kBilevel, 300)));
    }
    WriteTiff(Path("jpeg.tif"), colour, Coding::kJpegYCbCr);
    WriteTiff(Path("cm.tif"), {colour[0], colour[1]}, Coding::kGreyLzwCm);
    WriteBytes(Path("g4.tif"), sim::EncodeTiff(bilevel, sim::TiffCoding::kG4));
    const CLSID tiff = Encoder(L"image/tiff");
    for (const char* name : {"jpeg.tif", "cm.tif", "g4.tif"}) {
        SCOPED_TRACE(name);
        Image image;
        ASSERT_EQ(Load(Path(name), image), Ok);
        ASSERT_EQ(GdipImageSelectActiveFrame(image.p, &FrameDimensionPage, 1), Ok);
        ASSERT_EQ(GdipSaveImageToFile(image.p, W(Path("page.tif")).c_str(), &tiff, nullptr), Ok);
        TiffFacts page = ReadTiff(Path(name), 1);
        page.pages = 1;  // the saved file holds that page alone
        EXPECT_TRUE(ReadTiff(Path("page.tif"), 0) == page);
    }
}

// A JPEG written at quality 100 has all-one quantisation tables and keeps the dpi.
TEST_F(GdiplusTest, SavesJpegAtTheQualityAsked) {
    WriteBytes(Path("page.jpg"),
               sim::EncodeJpeg(Page(1, 80, 60, sim::PageStyle::kColour, 150), 50));
    Image image;
    ASSERT_EQ(Load(Path("page.jpg"), image), Ok);
    ULONG quality = 100;
    EncoderParameters params{1, {{EncoderQuality, 1, EncoderParameterValueTypeLong, &quality}}};
    const CLSID jpeg = Encoder(L"image/jpeg");
    ASSERT_EQ(GdipSaveImageToFile(image.p, W(Path("q100.jpg")).c_str(), &jpeg, &params), Ok);
    const std::string bytes = vesk::test::ReadFile(Path("q100.jpg"));
    vesk::imaging::FrameInfo info;
    ASSERT_TRUE(vesk::imaging::JpegInfo(
        {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, info));
    EXPECT_EQ(info.xDpi, 150);
    // The luminance table follows the SOF-less DQT marker: 64 ones at quality 100.
    const size_t dqt = bytes.find("\xFF\xDB");
    ASSERT_NE(dqt, std::string::npos);
    EXPECT_EQ(bytes.substr(dqt + 5, 64), std::string(64, '\x01'));

    quality = 101;
    EXPECT_EQ(GdipSaveImageToFile(image.p, W(Path("bad.jpg")).c_str(), &jpeg, &params),
              InvalidParameter);
    const CLSID tiff = Encoder(L"image/tiff");
    quality = 100;
    EXPECT_EQ(GdipSaveImageToFile(image.p, W(Path("bad.tif")).c_str(), &tiff, &params),
              InvalidParameter);
    EXPECT_TRUE(vesk::test::ReadFile(Path("bad.jpg")).empty());
}

// BMP files as a reader of its own (Python's struct) sees them: headers, grey palette,
// bottom-up rows; and read back by the layer.
TEST_F(GdiplusTest, WritesBmpFilesOthersRead) {
    const sim::Image grey = Page(1, 61, 17, sim::PageStyle::kGrey, 300);
    const sim::Image colour = Page(1, 33, 9, sim::PageStyle::kColour, 200);
    WriteTiff(Path("grey.tif"), {grey}, Coding::kGreyLzwCm);
    WriteBytes(Path("colour.tif"), sim::EncodeTiff({colour}, sim::TiffCoding::kLzw));
    WriteTiff(Path("alpha.tif"), {colour}, Coding::kRgba);
    // The top-left pixel as Python prints it: its stored bytes last to first.
    const auto hex = [](const sim::Image& i) {
        char s[8];
        std::snprintf(s, sizeof s, "%02x%02x%02x", i.pixels[0], i.pixels[1], i.pixels[2]);
        return std::string(s, i.channels == 1 ? 2 : 6);
    };
    struct Case {
        const char* source;
        // Python's line: type, size right, offset, w, h, bits, ppm x/y, grey palette, top-left.
        std::string python;
        PixelFormat readBack;
    } cases[] = {
        {"grey.tif", "BM 1 1078 61 17 8 11811 11811 1 " + hex(grey), PixelFormat8bppIndexed},
        {"colour.tif", "BM 1 54 33 9 24 7874 7874 0 " + hex(colour), PixelFormat24bppRGB},
        // The right half is transparent: black over the black background, and black
        // with alpha 0 in the file.
        {"alpha.tif", "BM 1 54 33 9 32 7874 3937 0 ff" + hex(colour), PixelFormat32bppRGB},
    };
    const std::string script =
        "import struct,sys\n"
        "for f in sys.argv[1:]:\n"
        " d=open(f,'rb').read()\n"
        " t,size,_,off=struct.unpack_from('<2sIII',d,0)\n"
        " hs,w,h,pl,bits,comp,isz,xp,yp,used,imp=struct.unpack_from('<IiiHHIIiiII',d,14)\n"
        " grey=int(bits==8 and all(d[54+4*i:58+4*i]==bytes([i,i,i,0]) for i in range(256)))\n"
        " stride=(bits*w+31)//32*4\n"
        " top=d[off+(h-1)*stride:off+(h-1)*stride+bits//8]\n"
        " print(t.decode(),int(size==len(d)),off,w,h,bits,xp,yp,grey,top[::-1].hex())\n";
    vesk::test::WriteFile(Path("check.py"), script);
    const CLSID bmp = Encoder(L"image/bmp");
    std::string command = "python3 " + Path("check.py");
    for (const Case& c : cases) {
        Image image;
        ASSERT_EQ(Load(Path(c.source), image), Ok);
        const std::string out = Path(std::string(c.source) + ".bmp");
        ASSERT_EQ(GdipSaveImageToFile(image.p, W(out).c_str(), &bmp, nullptr), Ok);
        command += " " + out;
        Image back;
        ASSERT_EQ(Load(out, back), Ok);
        EXPECT_EQ(std::get<3>(FactsOf(back.p)), c.readBack);
        EXPECT_TRUE(Pixels(back) == Pixels(image)) << c.source;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    for (const Case& c : cases) {
        char line[256] = {};
        ASSERT_TRUE(std::fgets(line, sizeof line, pipe.get())) << "python3 failed";
        EXPECT_EQ(std::string(line), c.python + "\n") << c.source;
    }
}

// The exact area average of an image, in double precision.
Rgb AreaAverage(const Rgb& src, uint32_t width, uint32_t height) {
    Rgb out{width, height, {}};
    const double sx = double(src.width) / width, sy = double(src.height) / height;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                double sum = 0;
                for (auto j = uint32_t(y * sy); j < std::ceil((y + 1) * sy); ++j)
                    for (auto i = uint32_t(x * sx); i < std::ceil((x + 1) * sx); ++i)
                        sum += (std::min((x + 1) * sx, i + 1.0) - std::max(x * sx, double(i))) *
                               (std::min((y + 1) * sy, j + 1.0) - std::max(y * sy, double(j))) *
                               src.rgb[(size_t{j} * src.width + i) * 3 + c];
                out.rgb.push_back(static_cast<uint8_t>(std::lround(sum / (sx * sy))));
            }
    return out;
}

// The thumbnail has exactly the size asked and is the page averaged down; a JPEG is
// decoded at the smallest DCT scale that covers that size.
TEST_F(GdiplusTest, MakesThumbnailsOfTheSizeAsked) {
    sim::Image wide{1000, 500, 3, 300, std::vector<uint8_t>(1000 * 500 * 3)};
    for (int y = 0; y < wide.height; ++y)
        for (int x = 0; x < wide.width; ++x)
            for (int c = 0; c < 3; ++c)
                wide.Row(y)[x * 3 + c] = static_cast<uint8_t>(c == 0 ? x / 4 : c == 1 ? y / 2 : 90);
    const sim::Image tall = sim::Threshold(Page(1, 333, 1000, sim::PageStyle::kBilevel, 300));
    const std::vector<uint8_t> jpeg = sim::EncodeJpeg(wide, 95);
    WriteBytes(Path("wide.jpg"), jpeg);
    WriteBytes(Path("tall.tif"), sim::EncodeTiff({tall}, sim::TiffCoding::kG4));
    struct Case {
        const char* file;
        UINT width, height;
        Rgb page;
        double tolerance;  // mean difference; a DCT-scaled decode is smooth, not a box
    } cases[] = {{"wide.jpg", 240, 120, Decoded(jpeg), 1.5},
                 {"tall.tif", 79, 240, FromSim(tall), 0.5},
                 {"wide.jpg", 7, 1, Decoded(jpeg), 1.5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        Image image, thumb;
        ASSERT_EQ(Load(Path(c.file), image), Ok);
        ASSERT_EQ(GdipGetImageThumbnail(image.p, c.width, c.height, &thumb.p, nullptr, nullptr),
                  Ok);
        const Facts f = FactsOf(thumb.p);
        EXPECT_EQ(std::tie(std::get<0>(f), std::get<1>(f)), std::tie(c.width, c.height));
        EXPECT_LT(Difference(Pixels(thumb), AreaAverage(c.page, c.width, c.height)).second,
                  c.tolerance);
    }
    struct Scale {
        uint32_t minWidth, minHeight, width, height;
    } scales[] = {{240, 120, 250, 125}, {126, 63, 250, 125},   {125, 62, 125, 63},
                  {600, 300, 625, 313}, {2000, 10, 1000, 500}, {0, 0, 1000, 500}};
    for (const Scale& s : scales) {
        vesk::imaging::Pixels px;
        ASSERT_TRUE(vesk::imaging::DecodeJpeg(jpeg, s.minWidth, s.minHeight, px));
        EXPECT_EQ(std::tie(px.width, px.height), std::tie(s.width, s.height)) << s.minWidth;
        // Resampled while decoding: byte for byte the decoded image resampled after (the
        // whole image is upscaled when no size is asked).
        vesk::imaging::Pixels after, during;
        const uint32_t w = s.minWidth ? s.minWidth : 1300, h = s.minHeight ? s.minHeight : 700;
        ASSERT_TRUE(vesk::imaging::Resize(px, w, h, after));
        ASSERT_TRUE(vesk::imaging::DecodeJpegResized(jpeg, w, h, during));
        EXPECT_EQ(std::vector<uint8_t>(during.bgra.get(), during.bgra.get() + w * h * 4),
                  std::vector<uint8_t>(after.bgra.get(), after.bgra.get() + w * h * 4))
            << w << "x" << h;
    }
    Image image, thumb;
    ASSERT_EQ(Load(Path("wide.jpg"), image), Ok);
    EXPECT_EQ(GdipGetImageThumbnail(image.p, 0, 10, &thumb.p, nullptr, nullptr), InvalidParameter);
    EXPECT_EQ(GdipGetImageThumbnail(
                  image.p, 10, 10, &thumb.p, [](void*) -> BOOL { return TRUE; }, nullptr),
              Aborted);
}

}  // namespace
