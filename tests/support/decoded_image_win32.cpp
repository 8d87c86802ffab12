// Images read with GDI+, the decoder a Windows client has.
#include "support/decoded_image.h"

#include <shlwapi.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/gdiplus_owners.h"

namespace vesk::test {

namespace {

// GDI+ works only inside a session, kept for the whole program.
bool GdiplusReady() {
    static const vesk::GdiplusSession session;
    return session.Ok();
}

std::unique_ptr<Gdiplus::Bitmap> Load(const std::vector<unsigned char>& data) {
    if (!GdiplusReady() || data.empty())
        return nullptr;
    IStream* stream = SHCreateMemStream(data.data(), static_cast<UINT>(data.size()));
    if (!stream)
        return nullptr;
    std::unique_ptr<Gdiplus::Bitmap> image(Gdiplus::Bitmap::FromStream(stream));
    stream->Release();  // the image holds its own reference
    if (image && image->GetLastStatus() != Gdiplus::Ok)
        image.reset();
    return image;
}

// The pixels as 32-bit ARGB words (blue in the low byte), top row first.
bool Pixels(Gdiplus::Bitmap& image, std::vector<uint32_t>& out) {
    const UINT w = image.GetWidth(), h = image.GetHeight();
    Gdiplus::Rect all(0, 0, static_cast<INT>(w), static_cast<INT>(h));
    Gdiplus::BitmapData bits{};
    if (image.LockBits(&all, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &bits) !=
        Gdiplus::Ok)
        return false;
    out.resize(static_cast<size_t>(w) * h);
    for (UINT y = 0; y < h; ++y) {
        const auto* row =
            static_cast<const unsigned char*>(bits.Scan0) + static_cast<ptrdiff_t>(y) * bits.Stride;
        std::memcpy(out.data() + static_cast<size_t>(y) * w, row, w * 4);
    }
    image.UnlockBits(&bits);
    return true;
}

uint16_t Compression(Gdiplus::Bitmap& image) {
    const UINT size = image.GetPropertyItemSize(PropertyTagCompression);
    if (size == 0)
        return 1;
    std::vector<unsigned char> buffer(size);
    auto* item = reinterpret_cast<Gdiplus::PropertyItem*>(buffer.data());
    if (image.GetPropertyItem(PropertyTagCompression, size, item) != Gdiplus::Ok ||
        item->length < 2)
        return 1;
    return *static_cast<const uint16_t*>(item->value);
}

}  // namespace

bool DecodeJpeg(const std::vector<unsigned char>& data, JpegInfo& info, std::string& why) {
    auto image = Load(data);
    GUID format{};
    if (!image || image->GetRawFormat(&format) != Gdiplus::Ok ||
        format != Gdiplus::ImageFormatJPEG) {
        why = "GDI+ read no JPEG";
        return false;
    }
    const Gdiplus::PixelFormat pf = image->GetPixelFormat();
    info.width = static_cast<int>(image->GetWidth());
    info.height = static_cast<int>(image->GetHeight());
    info.components = pf == PixelFormat8bppIndexed ? 1 : 3;
    info.density = static_cast<int>(image->GetHorizontalResolution() + 0.5f);
    std::vector<uint32_t> argb;
    if (!Pixels(*image, argb)) {
        why = "GDI+ could not read the pixels";
        return false;
    }
    // As libjpeg gives them: grey levels, or red, green and blue, row after row.
    const int n = info.components == 1 ? 1 : 3;
    info.pixels.clear();
    info.pixels.reserve(argb.size() * n);
    for (uint32_t p : argb) {
        info.pixels.push_back(static_cast<unsigned char>(p >> 16));
        if (n == 3) {
            info.pixels.push_back(static_cast<unsigned char>(p >> 8));
            info.pixels.push_back(static_cast<unsigned char>(p));
        }
    }
    return true;
}

bool DecodeTiff(const std::vector<unsigned char>& data, std::vector<TiffPage>& pages) {
    auto image = Load(data);
    GUID format{};
    if (!image || image->GetRawFormat(&format) != Gdiplus::Ok || format != Gdiplus::ImageFormatTIFF)
        return false;
    const UINT count = image->GetFrameCount(&Gdiplus::FrameDimensionPage);
    for (UINT i = 0; i < count; ++i) {
        if (image->SelectActiveFrame(&Gdiplus::FrameDimensionPage, i) != Gdiplus::Ok)
            return false;
        TiffPage p;
        p.width = image->GetWidth();
        p.height = image->GetHeight();
        const UINT size = Gdiplus::GetPixelFormatSize(image->GetPixelFormat());
        p.bits = static_cast<uint16_t>(size >= 24 ? 8 : size);  // per sample, as TIFF counts
        p.compression = Compression(*image);
        p.xres = image->GetHorizontalResolution();
        std::vector<uint32_t> argb;
        if (p.width == 0 || !Pixels(*image, argb))
            return false;
        // libtiff's order: red in the low byte, alpha in the high one.
        p.rgba.reserve(argb.size());
        for (uint32_t v : argb)
            p.rgba.push_back((v & 0xff00ff00u) | ((v >> 16) & 0xffu) | ((v & 0xffu) << 16));
        pages.push_back(std::move(p));
    }
    return count > 0;
}

bool DecodeTiffFile(const std::string& path, std::vector<TiffPage>& pages) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec)
        return false;
    std::vector<unsigned char> data(size);
    FILE* f = _wfopen(std::filesystem::path(path).c_str(), L"rb");
    if (!f)
        return false;
    const bool read = std::fread(data.data(), 1, data.size(), f) == data.size();
    std::fclose(f);
    return read && DecodeTiff(data, pages);
}

int TiffPageCount(const std::vector<unsigned char>& data) {
    std::vector<TiffPage> pages;
    return DecodeTiff(data, pages) ? static_cast<int>(pages.size()) : -1;
}

}  // namespace vesk::test
