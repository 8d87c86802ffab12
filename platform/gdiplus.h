// The flat GDI+ interface this library calls, with the GDI+ names, types and values, so
// that item code reads the same on every platform: images loaded from files (JPEG, TIFF,
// BMP, told apart by content), their size, pixel format, resolution and page frames,
// thumbnails, bitmap handles, and saving through the BMP, JPEG and TIFF encoders.
// Types live in namespace Gdiplus and the functions in Gdiplus::DllExports, as in the
// Windows headers; pixel format values are global, like the Windows macros.
// POSIX implementation in gdiplus_posix.cpp on the codecs of image_codec_posix.h. There an
// image holds its whole file in memory (no handle stays open) and decodes pixels only
// when they are needed; a file without a resolution reports 96 dpi, as GDI+ does.
#pragma once

#include "platform/export.h"
#include "platform/gdi.h"
#include "platform/wintypes.h"

#if defined(_WIN32)
// The build leaves COM out of windows.h; GDI+ needs its interfaces.
#include <windows.h>
// (in this order)
#include <objidl.h>
// (in this order)
#include <gdiplus.h>
// The Windows headers declare the pixel format type inside the namespace, beside the
// flat functions; item code names it as the POSIX branch declares it, globally.
using Gdiplus::PixelFormat;
#else

#ifndef WINGDIPAPI
#define WINGDIPAPI __stdcall
#endif

typedef INT PixelFormat;
inline constexpr PixelFormat PixelFormatUndefined = 0;
inline constexpr PixelFormat PixelFormat1bppIndexed = 0x30101;
inline constexpr PixelFormat PixelFormat4bppIndexed = 0x30402;
inline constexpr PixelFormat PixelFormat8bppIndexed = 0x30803;
inline constexpr PixelFormat PixelFormat16bppGrayScale = 0x101004;
inline constexpr PixelFormat PixelFormat16bppRGB555 = 0x21005;
inline constexpr PixelFormat PixelFormat16bppRGB565 = 0x21006;
inline constexpr PixelFormat PixelFormat24bppRGB = 0x21808;
inline constexpr PixelFormat PixelFormat32bppRGB = 0x22009;
inline constexpr PixelFormat PixelFormat32bppARGB = 0x26200A;
inline constexpr PixelFormat PixelFormat48bppRGB = 0x10300C;
inline constexpr PixelFormat PixelFormat64bppARGB = 0x34400D;
inline constexpr PixelFormat PixelFormat32bppCMYK = 0x200F;
inline constexpr PixelFormat PixelFormatAlpha = 0x40000;

namespace Gdiplus {

typedef float REAL;
typedef DWORD ARGB;

enum Status {
    Ok = 0,
    GenericError = 1,
    InvalidParameter = 2,
    OutOfMemory = 3,
    ObjectBusy = 4,
    InsufficientBuffer = 5,
    NotImplemented = 6,
    Win32Error = 7,
    WrongState = 8,
    Aborted = 9,
    FileNotFound = 10,
    ValueOverflow = 11,
    AccessDenied = 12,
    UnknownImageFormat = 13,
    FontFamilyNotFound = 14,
    FontStyleNotFound = 15,
    NotTrueTypeFont = 16,
    UnsupportedGdiplusVersion = 17,
    GdiplusNotInitialized = 18,
    PropertyNotFound = 19,
    PropertyNotSupported = 20,
};
typedef Status GpStatus;

// Handles only: the objects behind them belong to the implementation.
class GpImage {
protected:
    GpImage() = default;
    ~GpImage() = default;
};
class GpBitmap : public GpImage {
protected:
    GpBitmap() = default;
    ~GpBitmap() = default;
};

// The page dimension of multi-page images, and the JPEG quality parameter.
inline constexpr GUID FrameDimensionPage = {
    0x7462dc86, 0x6180, 0x4c7e, {0x8e, 0x3f, 0xee, 0x73, 0x33, 0xa7, 0xa4, 0x83}};
inline constexpr GUID EncoderQuality = {
    0x1d5be4b5, 0xfa4a, 0x452d, {0x9c, 0xdd, 0x5d, 0xb3, 0x51, 0x05, 0xe7, 0xeb}};

enum ImageCodecFlags {
    ImageCodecFlagsEncoder = 0x00000001,
    ImageCodecFlagsDecoder = 0x00000002,
    ImageCodecFlagsSupportBitmap = 0x00000004,
    ImageCodecFlagsSupportVector = 0x00000008,
    ImageCodecFlagsSeekableEncode = 0x00000010,
    ImageCodecFlagsBlockingDecode = 0x00000020,
    ImageCodecFlagsBuiltin = 0x00010000,
};

// One encoder as GdipGetImageEncoders lists it; the strings sit in the caller's buffer
// after the records. No signatures are given (SigCount 0).
struct ImageCodecInfo {
    CLSID Clsid;
    GUID FormatID;
    const WCHAR* CodecName;
    const WCHAR* DllName;
    const WCHAR* FormatDescription;
    const WCHAR* FilenameExtension;
    const WCHAR* MimeType;
    DWORD Flags;
    DWORD Version;
    DWORD SigCount;
    DWORD SigSize;
    const BYTE* SigPattern;
    const BYTE* SigMask;
};

enum EncoderParameterValueType {
    EncoderParameterValueTypeByte = 1,
    EncoderParameterValueTypeASCII = 2,
    EncoderParameterValueTypeShort = 3,
    EncoderParameterValueTypeLong = 4,  // 32-bit unsigned
    EncoderParameterValueTypeRational = 5,
    EncoderParameterValueTypeLongRange = 6,
    EncoderParameterValueTypeUndefined = 7,
    EncoderParameterValueTypeRationalRange = 8,
};

struct EncoderParameter {
    GUID Guid;
    ULONG NumberOfValues;
    ULONG Type;
    void* Value;
};
struct EncoderParameters {
    UINT Count;
    EncoderParameter Parameter[1];
};

typedef BOOL(CALLBACK* ImageAbort)(void*);
typedef ImageAbort GetThumbnailImageAbort;

typedef void(WINAPI* DebugEventProc)(int level, CHAR* message);
typedef Status(WINAPI* NotificationHookProc)(ULONG_PTR* token);
typedef void(WINAPI* NotificationUnhookProc)(ULONG_PTR token);

struct GdiplusStartupInput {
    UINT32 GdiplusVersion;
    DebugEventProc DebugEventCallback;
    BOOL SuppressBackgroundThread;
    BOOL SuppressExternalCodecs;

    GdiplusStartupInput(DebugEventProc debugEventCallback = nullptr,
                        BOOL suppressBackgroundThread = FALSE, BOOL suppressExternalCodecs = FALSE)
        : GdiplusVersion(1),
          DebugEventCallback(debugEventCallback),
          SuppressBackgroundThread(suppressBackgroundThread),
          SuppressExternalCodecs(suppressExternalCodecs) {}
};
struct GdiplusStartupOutput {
    NotificationHookProc NotificationHook;
    NotificationUnhookProc NotificationUnhook;
};

// A session needs no state here; the calls below work with or without one.
VESK_API Status WINAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input,
                                      GdiplusStartupOutput* output);
VESK_API void WINAPI GdiplusShutdown(ULONG_PTR token);

namespace DllExports {

// Loading: the whole file is read and its kind taken from its first bytes. A missing
// file gives FileNotFound, an unreadable one AccessDenied or Win32Error, content that is
// no JPEG, TIFF or BMP (or whose header is malformed) UnknownImageFormat. The first
// frame is active.
VESK_API GpStatus WINGDIPAPI GdipLoadImageFromFile(const WCHAR* filename, GpImage** image);
VESK_API GpStatus WINGDIPAPI GdipCreateBitmapFromFile(const WCHAR* filename, GpBitmap** bitmap);
VESK_API GpStatus WINGDIPAPI GdipDisposeImage(GpImage* image);

// Of the active frame.
VESK_API GpStatus WINGDIPAPI GdipGetImageWidth(GpImage* image, UINT* width);
VESK_API GpStatus WINGDIPAPI GdipGetImageHeight(GpImage* image, UINT* height);
VESK_API GpStatus WINGDIPAPI GdipGetImagePixelFormat(GpImage* image, PixelFormat* format);
VESK_API GpStatus WINGDIPAPI GdipGetImageHorizontalResolution(GpImage* image, REAL* dpi);
VESK_API GpStatus WINGDIPAPI GdipGetImageVerticalResolution(GpImage* image, REAL* dpi);

// Frames of the page dimension (a JPEG or BMP has one). Selecting a frame past the last
// gives InvalidParameter and keeps the active one.
VESK_API GpStatus WINGDIPAPI GdipImageGetFrameCount(GpImage* image, const GUID* dimensionID,
                                                    UINT* count);
VESK_API GpStatus WINGDIPAPI GdipImageSelectActiveFrame(GpImage* image, const GUID* dimensionID,
                                                        UINT frameIndex);

// A new image of exactly width × height pixels made from the active frame (the caller
// keeps the aspect ratio). A JPEG is decoded at the smallest DCT scale that still covers
// that size, then averaged down. The callback, when given, may abort (Aborted).
VESK_API GpStatus WINGDIPAPI GdipGetImageThumbnail(GpImage* image, UINT width, UINT height,
                                                   GpImage** thumbnail,
                                                   GetThumbnailImageAbort callback,
                                                   void* callbackData);

// A bitmap handle of the active frame, its transparent parts over `background`. The
// caller frees it with DeleteObject.
VESK_API GpStatus WINGDIPAPI GdipCreateHBITMAPFromBitmap(GpBitmap* bitmap, HBITMAP* hbmReturn,
                                                         ARGB background);

// The encoders: image/bmp, image/jpeg, image/tiff, in that order. The caller asks for
// the count and byte size, then passes a buffer of that size.
VESK_API GpStatus WINGDIPAPI GdipGetImageEncodersSize(UINT* numEncoders, UINT* size);
VESK_API GpStatus WINGDIPAPI GdipGetImageEncoders(UINT numEncoders, UINT size,
                                                  ImageCodecInfo* encoders);

// Writes the active frame with the encoder of clsidEncoder; the file is replaced only
// once complete. JPEG takes EncoderQuality (one long value, 0 to 100; 75 without it) and
// writes the resolution; TIFF writes one page, the coded strips of a TIFF frame copied
// unchanged with its compression, pixel format and resolution (other images, and
// compressions that cannot be copied, are written LZW-coded); BMP writes 8-bit grey,
// 24 or 32 bits. Any other parameter gives InvalidParameter.
VESK_API GpStatus WINGDIPAPI GdipSaveImageToFile(GpImage* image, const WCHAR* filename,
                                                 const CLSID* clsidEncoder,
                                                 const EncoderParameters* encoderParams);

}  // namespace DllExports
}  // namespace Gdiplus

#endif  // _WIN32
