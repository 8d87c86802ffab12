// Owners for what the GDI+ flat interface and GDI hand out, so that every caller releases
// images and bitmap handles on every path the same way; and the one way this library
// turns an image file into a bitmap handle.
#pragma once

#include <memory>
#include <utility>

#include "platform/gdi.h"
#include "platform/gdiplus.h"

namespace vesk {

struct GdipImageDeleter {
    void operator()(Gdiplus::GpImage* image) const { Gdiplus::DllExports::GdipDisposeImage(image); }
};
using GdipImagePtr = std::unique_ptr<Gdiplus::GpImage, GdipImageDeleter>;
using GdipBitmapPtr = std::unique_ptr<Gdiplus::GpBitmap, GdipImageDeleter>;

// A bitmap handle, deleted unless released to a caller.
class BitmapHandle {
public:
    BitmapHandle() = default;
    ~BitmapHandle() {
        if (m_handle)
            DeleteObject(m_handle);
    }
    BitmapHandle(const BitmapHandle&) = delete;
    BitmapHandle& operator=(const BitmapHandle&) = delete;
    HBITMAP Get() const { return m_handle; }
    HBITMAP* Out() { return &m_handle; }
    HBITMAP Release() { return std::exchange(m_handle, nullptr); }

private:
    HBITMAP m_handle = nullptr;
};

// A GDI+ session for the life of this object (Windows GDI+ refuses calls outside one; it
// counts its users, so a library that started one too is not disturbed).
class GdiplusSession {
public:
    GdiplusSession() {
        const Gdiplus::GdiplusStartupInput input;
        m_ok = Gdiplus::GdiplusStartup(&m_token, &input, nullptr) == Gdiplus::Ok;
    }
    ~GdiplusSession() {
        if (m_ok)
            Gdiplus::GdiplusShutdown(m_token);
    }
    GdiplusSession(const GdiplusSession&) = delete;
    GdiplusSession& operator=(const GdiplusSession&) = delete;
    bool Ok() const { return m_ok; }

private:
    ULONG_PTR m_token = 0;
    bool m_ok = false;
};

// The parameters of a JPEG save at one quality; they point into this object, which
// therefore neither copies nor moves.
class JpegQualityParameters {
public:
    explicit JpegQualityParameters(ULONG quality) : m_quality(quality) {}
    JpegQualityParameters(const JpegQualityParameters&) = delete;
    JpegQualityParameters& operator=(const JpegQualityParameters&) = delete;
    const Gdiplus::EncoderParameters* Get() const { return &m_params; }

private:
    ULONG m_quality;
    Gdiplus::EncoderParameters m_params{
        1, {{Gdiplus::EncoderQuality, 1, Gdiplus::EncoderParameterValueTypeLong, &m_quality}}};
};

// Handles show transparent parts over opaque black.
inline constexpr Gdiplus::ARGB kBitmapBackground = 0xFF000000;

// The bitmap of an image file and its handle; with bitmap, the loaded image is kept for
// the caller (its size, format and resolution). OutOfMemory only when memory ran out.
inline Gdiplus::Status LoadBitmapHandle(const WCHAR* path, BitmapHandle& handle,
                                        GdipBitmapPtr* bitmap = nullptr) {
    using namespace Gdiplus::DllExports;
    Gdiplus::GpBitmap* raw = nullptr;
    if (const Gdiplus::Status loaded = GdipCreateBitmapFromFile(path, &raw);
        loaded != Gdiplus::Ok) {
#if defined(_WIN32)
        // Windows GDI+ also reports content it cannot decode as OutOfMemory; callers
        // keep a file only when memory ran out, so there it counts as unreadable.
        if (loaded == Gdiplus::OutOfMemory)
            return Gdiplus::UnknownImageFormat;
#endif
        return loaded;
    }
    GdipBitmapPtr image(raw);
    const Gdiplus::Status made = GdipCreateHBITMAPFromBitmap(raw, handle.Out(), kBitmapBackground);
    if (bitmap)
        *bitmap = std::move(image);
    return made == Gdiplus::Ok && !handle.Get() ? Gdiplus::GenericError : made;
}

}  // namespace vesk
