// vesk thumb: a document's thumbnail as the library hands it to a user interface (from
// the cache, the device, or made locally), or the thumbnail of a local image file made
// exactly as for a device that sends none, written as PNG, JPEG or BMP.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "box/mfp_box.h"
#include "device/mfp_device.h"
#include "document/images.h"
#include "document/vesk_document.h"
#include "platform/atomic_file.h"
#include "platform/bitmap_rows.h"
#include "platform/error.h"
#include "platform/gdi.h"
#include "platform/gdiplus.h"
#include "platform/gdiplus_owners.h"
#include "tools/vesk/box_access.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/png_out.h"
#include "tools/vesk/session.h"
#include "tools/vesk/system.h"

namespace vesk::cli {

namespace {

enum class OutKind { kPng, kJpeg, kBmp };

// The output format, by the file's extension.
OutKind KindOf(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == ".png")
        return OutKind::kPng;
    if (ext == ".jpg" || ext == ".jpeg")
        return OutKind::kJpeg;
    if (ext == ".bmp")
        return OutKind::kBmp;
    throw UsageError("-o FILE must end in .png, .jpg, .jpeg or .bmp");
}

void WriteWhole(const std::string& path, const std::string& bytes) {
    if (!vesk::fs::ReplaceFileWhole(W(path).str(), bytes))
        throw Failure("cannot write " + Printable(path) + ": " + DescribeOsError(LastOsError()));
}

// The handle's pixels as the file the extension asks for; JPEG at quality 100, as the
// library saves the thumbnails it makes.
void WriteBitmap(HBITMAP handle, const std::string& path, OutKind kind) {
    int w = 0;
    int h = 0;
    std::vector<uint8_t> rows;  // top to bottom, whichever way the handle keeps them
    if (!vesk::gdi::ReadBitmapRows(handle, w, h, rows) || w <= 0 || h <= 0)
        throw Failure("the thumbnail's bitmap cannot be read");
    const auto width = static_cast<uint32_t>(w);
    const auto height = static_cast<uint32_t>(h);
    const uint8_t* bits = rows.data();
    const size_t stride = size_t{width} * 4;
    std::string bytes;
    bool ok = false;
    if (kind == OutKind::kPng)
        ok = EncodePng(bits, width, height, stride, bytes);
    else
        ok = kind == OutKind::kJpeg ? EncodeJpeg100(bits, width, height, stride, bytes)
                                    : EncodeBmp(bits, width, height, stride, bytes);
    if (!ok)
        throw Failure("cannot encode the thumbnail for " + Printable(path));
    WriteWhole(path, bytes);
}

// The target named by -o, refused when it exists unless --overwrite.
std::string Target(const ParsedArgs& a) {
    const std::optional<std::string> output = a.Get("-o");
    if (!output || output->empty())
        throw UsageError("-o FILE is required");
    KindOf(*output);
    std::error_code ec;
    if (std::filesystem::exists(*output, ec) && !a.Has("--overwrite"))
        throw Failure(Printable(*output) + " exists; --overwrite replaces it", kExitExists);
    return *output;
}

std::string LocalThumbnailError(int rc, const std::string& source) {
    return rc == -1046 ? "the thumbnail could not be saved (-1046)"
                       : Printable(source) + " is not a JPEG, TIFF or BMP image it can read";
}

// The thumbnail of a local image, made as for a device older than protocol 3.0. JPEG
// output is the very file the library keeps in its cache; other formats go through the
// bitmap handle the library would hand out for that file.
int FromFile(const ParsedArgs& a, const std::string& source, const std::string& target) {
    const OutKind kind = KindOf(target);
    const bool doubleHeight = a.Has("--double-height");
    std::error_code ec;
    if (!std::filesystem::is_regular_file(source, ec))
        throw Failure("no file " + Printable(source));
    if (kind == OutKind::kJpeg) {
        const int rc = MakeLocalThumbnail(W(source), W(target), doubleHeight);
        if (rc != 1)
            throw Failure(LocalThumbnailError(rc, source));
        return kExitOk;
    }
    const std::string temp = sys::MakeUniqueFile(target);
    struct Remove {
        const std::string& path;
        ~Remove() {
            std::error_code ec;
            std::filesystem::remove(path, ec);
        }
    } remove{temp};
    const int rc = MakeLocalThumbnail(W(source), W(temp), doubleHeight);
    if (rc != 1)
        throw Failure(LocalThumbnailError(rc, source));
    BitmapHandle bitmap;
    if (LoadBitmapHandle(W(temp), bitmap) != Gdiplus::Ok)
        throw Failure("the thumbnail made from " + Printable(source) + " cannot be loaded");
    WriteBitmap(bitmap.Get(), target, kind);
    return kExitOk;
}

int Thumb(Context& ctx, const ParsedArgs& a) {
    const std::optional<std::string> file = a.Get("--file");
    const size_t operands = a.Positional().size();
    if (file ? operands != 0 : operands != 3)
        throw UsageError(file ? "--file takes no DEVICE BOX DOC"
                              : "give DEVICE BOX DOC, or --file IMAGE");
    const std::string target = Target(a);
    if (file)
        return FromFile(a, *file, target);

    LoginFromArgs(a);
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    DeviceSession session(ctx, d);
    session.OpenLoggedIn(a);
    CVESKMFPBox& box = FindBox(d, a.Positional()[1]);
    OpenBox open(d, box, a.Get(BoxPasswordFileOption().name));
    CVESKDocument& doc = FindDocument(open.Documents(), a.Positional()[2]);
    BitmapHandle bitmap;
    const int rc = doc.GetThumbnail(bitmap.Out());
    if (rc != 1 || !bitmap.Get())
        ThrowResult(
            "no thumbnail of document " + std::to_string(doc.GetItemID()) + " in " + BoxLabel(box),
            rc);
    WriteBitmap(bitmap.Get(), target, KindOf(target));
    BITMAP bm{};
    GetObjectW(bitmap.Get(), sizeof bm, &bm);
    Out("%s: %ld x %ld thumbnail of document %ld", Printable(target).c_str(),
        static_cast<long>(bm.bmWidth), static_cast<long>(bm.bmHeight), doc.GetItemID());
    return kExitOk;
}

}  // namespace

void AddThumbCommand(std::vector<Command>& table) {
    table.push_back(
        {"thumb", "DEVICE BOX DOC | --file IMAGE", "write a document's thumbnail to a file",
         "Writes the thumbnail the library hands out for document DOC of box BOX: the\n"
         "cached one while it is current, else the device's own (protocol 3.0 on), else\n"
         "one made from the downloaded document and kept in the cache. With --file IMAGE\n"
         "instead of DEVICE BOX DOC, no device and no state is used: the thumbnail of a\n"
         "local JPEG, TIFF or BMP file is made exactly as for an older device (the longer\n"
         "side 240 pixels). -o FILE chooses the format by its extension: .png, .jpg or\n"
         ".jpeg (quality 100; with --file the very file the library would cache) or .bmp.",
         SessionOptionsWith({BoxPasswordFileOption(),
                             {"-o", "FILE", "the file to write (.png, .jpg, .jpeg or .bmp)"},
                             {"--overwrite", "", "replace FILE if it exists"},
                             {"--file", "IMAGE", "make the thumbnail of a local image file"},
                             {"--double-height", "",
                              "with --file: treat the height as doubled, as for a device of "
                              "protocol 1.2"}}),
         0, 3, Thumb});
}

}  // namespace vesk::cli
