// vesk page: one page of a document as the library shows it (GetBitmap's handle),
// written as a PNG file so a person can look at it.
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "box/mfp_box.h"
#include "device/mfp_device.h"
#include "document/bitmap.h"
#include "document/vesk_document.h"
#include "platform/atomic_file.h"
#include "platform/bitmap_rows.h"
#include "platform/charset.h"
#include "platform/fs.h"
#include "platform/gdi.h"
#include "platform/gdiplus_owners.h"
#include "tools/vesk/box_access.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/png_out.h"
#include "tools/vesk/session.h"

namespace vesk::cli {

namespace {

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
    BitmapHandle handle;
    BITMAPINFO info{};
    const int rc =
        doc.GetBitmap(vesk::PageShownFromTiff(doc) ? page - 1 : page, handle.Out(), &info);
    if (rc != 1)
        ThrowResult("cannot show " + what + " in " + BoxLabel(box), rc);
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rows;  // top to bottom, whichever way the handle keeps them
    std::string png;
    if (!vesk::gdi::ReadBitmapRows(handle.Get(), width, height, rows) || width <= 0 ||
        height <= 0 ||
        !EncodePng(rows.data(), static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                   size_t{static_cast<uint32_t>(width)} * 4, png, info.bmiHeader.biXPelsPerMeter,
                   info.bmiHeader.biYPelsPerMeter))
        throw Failure("cannot encode " + what + " as PNG");
    if (!vesk::fs::ReplaceFileWhole(path, png))
        throw Failure("cannot write " + Printable(*target));
    Out("%s (%d x %d) written to %s", what.c_str(), width, height, Printable(*target).c_str());
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
