// vesk page: one page of a document as the library shows it (GetBitmap's handle),
// written as a PNG file so a person can look at it.
#include <png.h>

#include <climits>
#include <csetjmp>
#include <memory>
#include <string>
#include <vector>

#include "box/mfp_box.h"
#include "device/mfp_device.h"
#include "document/bitmap.h"
#include "document/vesk_document.h"
#include "platform/atomic_file.h"
#include "platform/charset.h"
#include "platform/fs.h"
#include "platform/gdi.h"
#include "tools/vesk/box_access.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/session.h"

namespace vesk::cli {

namespace {

struct HandleCloser {
    void operator()(HBITMAP h) const { DeleteObject(h); }
};
using Handle = std::unique_ptr<std::remove_pointer_t<HBITMAP>, HandleCloser>;

void Append(png_structp png, png_bytep data, png_size_t length) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), length);
}

bool IsGrey(const BITMAP& bm) {
    const auto* bits = static_cast<const unsigned char*>(bm.bmBits);
    const size_t end = size_t(bm.bmWidth) * size_t(bm.bmHeight) * 4;
    for (size_t i = 0; i < end; i += 4)
        if (bits[i] != bits[i + 1] || bits[i + 1] != bits[i + 2])
            return false;
    return true;
}

// The handle's pixels (blue, green, red, alpha; top row first) as an 8-bit PNG, grey or
// RGB. Pixels per metre from the page's header when it gives them. False when libpng
// fails.
bool EncodePng(const BITMAP& bm, const BITMAPINFOHEADER& info, const bool grey, std::string& out) {
    const auto width = static_cast<size_t>(bm.bmWidth);
    const auto height = static_cast<size_t>(bm.bmHeight);
    const auto* bits = static_cast<const unsigned char*>(bm.bmBits);
    const size_t channels = grey ? 1 : 3;
    std::vector<unsigned char> row(width * channels);

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop pngInfo = png ? png_create_info_struct(png) : nullptr;
    if (!pngInfo) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    // libpng reports its errors by jumping here; nothing below owns a resource of its own.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &pngInfo);
        return false;
    }
    png_set_write_fn(png, &out, Append, nullptr);
    png_set_IHDR(png, pngInfo, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (info.biXPelsPerMeter > 0 && info.biYPelsPerMeter > 0)
        png_set_pHYs(png, pngInfo, static_cast<png_uint_32>(info.biXPelsPerMeter),
                     static_cast<png_uint_32>(info.biYPelsPerMeter), PNG_RESOLUTION_METER);
    png_write_info(png, pngInfo);
    for (size_t y = 0; y < height; ++y) {
        const unsigned char* src = bits + y * static_cast<size_t>(bm.bmWidthBytes);
        for (size_t x = 0; x < width; ++x, src += 4) {
            unsigned char* dst = row.data() + x * channels;
            dst[0] = src[2];
            if (!grey)
                dst[1] = src[1], dst[2] = src[0];
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &pngInfo);
    return true;
}

int Page(Context& ctx, const ParsedArgs& a) {
    LoginFromArgs(a);
    const int page = a.GetInt("--page", 1, 1, INT_MAX);
    const std::optional<std::string> target = a.Get("-o");
    if (!target || target->empty())
        throw UsageError("give the PNG file to write with -o FILE.png");
    const std::wstring path = Utf8ToWide(*target);
    if (vesk::fs::Exists(path) && !a.Has("--overwrite"))
        throw Failure(Printable(*target) + " exists (--overwrite replaces it)", kExitExists);

    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    DeviceSession session(ctx, d);
    session.OpenLoggedIn(a);
    CVESKMFPBox& box = FindBox(d, a.Positional()[1]);
    OpenBox open(d, box, a.Get(BoxPasswordFileOption().name));
    CVESKDocument& doc = FindDocument(open.Documents(), a.Positional()[2]);
    const std::string what =
        "page " + std::to_string(page) + " of document " + std::to_string(doc.GetItemID());
    if (doc.GetPageNo() > 0 && page > doc.GetPageNo())
        throw Failure("cannot show " + what + ": it has " + std::to_string(doc.GetPageNo()) +
                      " page" + (doc.GetPageNo() == 1 ? "" : "s"));

    // The library counts a TIFF document's frames from 0 and the device's pages from 1.
    HBITMAP raw = nullptr;
    BITMAPINFO info{};
    const int rc = doc.GetBitmap(vesk::PageShownFromTiff(doc) ? page - 1 : page, &raw, &info);
    Handle handle(raw);
    if (rc != 1)
        ThrowResult("cannot show " + what + " in " + BoxLabel(box), rc);
    BITMAP bm{};
    std::string png;
    if (GetObjectW(raw, sizeof bm, &bm) != sizeof bm || !bm.bmBits ||
        !EncodePng(bm, info.bmiHeader, IsGrey(bm), png))
        throw Failure("cannot encode " + what + " as PNG");
    if (!vesk::fs::ReplaceFileWhole(path, png))
        throw Failure("cannot write " + Printable(*target));
    Out("%s (%ld x %ld) written to %s", what.c_str(), static_cast<long>(bm.bmWidth),
        static_cast<long>(bm.bmHeight), Printable(*target).c_str());
    return kExitOk;
}

}  // namespace

void AddPageCommand(std::vector<Command>& table) {
    table.push_back(
        {"page", "DEVICE BOX DOC", "write one page of a document as a PNG file",
         "DOC is a document id or name. Fetches the page as the library shows it (a\n"
         "frame of the TIFF document, or the page alone as JPEG) and writes it to the\n"
         "file -o names, grey when the page is grey. Pages count from 1. An existing file\n"
         "is kept unless --overwrite, and then replaced only once the new one is written.",
         SessionOptionsWith({BoxPasswordFileOption(),
                             {"--page", "N", "the page to show, from 1 (default 1)"},
                             {"-o", "FILE.png", "the PNG file to write"},
                             {"--overwrite", "", "replace an existing file"}}),
         3, 3, Page});
}

}  // namespace vesk::cli
