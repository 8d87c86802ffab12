// The encoders of png_out.h through GDI+'s own (PNG, JPEG, BMP), written into a memory
// stream.
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "document/vesk_document.h"
#include "platform/gdiplus_owners.h"
#include "tools/vesk/png_out.h"

namespace vesk::cli {

namespace {

using namespace Gdiplus::DllExports;

struct StreamRelease {
    void operator()(IStream* s) const { s->Release(); }
};

bool ReadStream(IStream* stream, std::string& out) {
    ULARGE_INTEGER end{};
    if (FAILED(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_END, &end)) ||
        FAILED(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr)))
        return false;
    out.resize(static_cast<size_t>(end.QuadPart));
    ULONG got = 0;
    return SUCCEEDED(stream->Read(out.data(), static_cast<ULONG>(out.size()), &got)) &&
           got == out.size();
}

// The caller's pixels (only read: GDI+ wraps the rows without copying them), encoded by
// the encoder of `mime`, optionally after conversion to 24-bit RGB.
bool Encode(std::wstring_view mime, const uint8_t* bgra, uint32_t width, uint32_t height,
            size_t stride, double xDpi, double yDpi, bool rgb24,
            const Gdiplus::EncoderParameters* params, std::string& out) {
    out.clear();
    if (!bgra || width == 0 || height == 0 || width > 0x7fffffff / 4 || height > 0x7fffffff ||
        stride > 0x7fffffff)
        return false;
    try {
        GdiplusSession gdiplus;
        CLSID encoder{};
        if (!gdiplus.Ok() ||
            CVESKDocument::GetEncoderClsid(std::wstring(mime).c_str(), &encoder) < 0)
            return false;
        Gdiplus::GpBitmap* raw = nullptr;
        if (GdipCreateBitmapFromScan0(static_cast<INT>(width), static_cast<INT>(height),
                                      static_cast<INT>(stride), PixelFormat32bppRGB,
                                      const_cast<BYTE*>(bgra), &raw) != Gdiplus::Ok)
            return false;
        GdipBitmapPtr bitmap(raw);
        if (rgb24) {
            raw = nullptr;
            if (GdipCloneBitmapAreaI(0, 0, static_cast<INT>(width), static_cast<INT>(height),
                                     PixelFormat24bppRGB, bitmap.get(), &raw) != Gdiplus::Ok)
                return false;
            bitmap.reset(raw);
        }
        if (xDpi > 0 && yDpi > 0)
            GdipBitmapSetResolution(bitmap.get(), static_cast<Gdiplus::REAL>(xDpi),
                                    static_cast<Gdiplus::REAL>(yDpi));
        IStream* rawStream = nullptr;
        if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &rawStream)))
            return false;
        std::unique_ptr<IStream, StreamRelease> stream(rawStream);
        if (GdipSaveImageToStream(bitmap.get(), stream.get(), &encoder, params) != Gdiplus::Ok ||
            !ReadStream(stream.get(), out)) {
            out.clear();
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
}

constexpr double kDefaultDpi = 96;

}  // namespace

bool EncodePng(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
               std::string& out, int32_t xPixelsPerMetre, int32_t yPixelsPerMetre) {
    const bool dpi = xPixelsPerMetre > 0 && yPixelsPerMetre > 0;
    return Encode(L"image/png", bgra, width, height, stride, dpi ? xPixelsPerMetre * 0.0254 : 0,
                  dpi ? yPixelsPerMetre * 0.0254 : 0, false, nullptr, out);
}

bool EncodeJpeg100(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
                   std::string& out) {
    const JpegQualityParameters quality(100);
    return Encode(L"image/jpeg", bgra, width, height, stride, kDefaultDpi, kDefaultDpi, true,
                  quality.Get(), out);
}

bool EncodeBmp(const uint8_t* bgra, uint32_t width, uint32_t height, size_t stride,
               std::string& out) {
    return Encode(L"image/bmp", bgra, width, height, stride, kDefaultDpi, kDefaultDpi, true,
                  nullptr, out);
}

}  // namespace vesk::cli
