// GDI+ images over the codecs of image_codec_posix.h. A JPEG or BMP image keeps its file's
// bytes; a TIFF image keeps its file's path and identity and reads what each call needs
// from the file, opened for that call alone (a multi-page document is large, and a page
// needs a tenth of it). Either way no file stays open while an image lives. An image
// keeps the active frame's description; pixels are decoded on first need and dropped
// when another frame is selected.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/charset.h"
#include "platform/file.h"
#include "platform/gdiplus.h"
#include "platform/image_buffer_posix.h"
#include "platform/image_codec_posix.h"

namespace Gdiplus {

namespace {

namespace img = vesk::imaging;

// What tells a file from the one loaded: a file replaced, rewritten, cut or grown since
// differs in one of these (short of a rewrite to the same size within the file system's
// timestamp granularity).
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    time_t seconds = 0;
    long nanoseconds = 0;

    explicit FileIdentity(const struct stat& st)
        : device(st.st_dev),
          inode(st.st_ino),
          size(st.st_size),
          seconds(st.st_mtim.tv_sec),
          nanoseconds(st.st_mtim.tv_nsec) {}
    FileIdentity() = default;
    bool operator==(const FileIdentity&) const = default;
};

struct ImageObject final : GpBitmap {
    img::Kind kind = img::Kind::kUnknown;  // kUnknown: made in memory, pixels only
    img::ImageBuffer file;                 // the whole file, unless it is read from `path`
    std::wstring path;                     // a TIFF read call by call; else empty
    FileIdentity identity;                 // of the file at `path` when loaded
    uint32_t frames = 1;
    uint32_t frame = 0;
    img::FrameInfo info;
    img::Pixels pixels;  // of the active frame, once decoded

    img::Bytes Data() const { return {file.data(), file.size()}; }
};

ImageObject* Object(GpImage* image) {
    return static_cast<ImageObject*>(static_cast<GpBitmap*>(image));
}

// The status of a file that cannot be opened for reading.
Status OpenFailure(const CFileException& error) {
    switch (error.m_cause) {
        case CFileException::fileNotFound:
        case CFileException::badPath:
            return FileNotFound;
        case CFileException::accessDenied:
            return AccessDenied;
        default:
            return Win32Error;
    }
}

Status OpenForReading(const WCHAR* filename, CFile& file, struct stat& st) {
    CFileException error;
    if (!file.Open(filename, CFile::modeRead | CFile::shareDenyNone | CFile::typeBinary, &error))
        return OpenFailure(error);
    return ::fstat(file.m_hFile, &st) == 0 ? Ok : Win32Error;
}

// Runs read(source) on the image's bytes: those in memory, or the file at its path,
// opened for this call and checked to be the file loaded. The file is closed before
// this returns. Status of the open or check, or GenericError when read fails.
template <class Read>
Status WithSource(const ImageObject& image, Read&& read) {
    if (image.path.empty())
        return read(img::TiffSource(image.Data())) ? Ok : GenericError;
    CFile file;
    struct stat st {};
    if (const Status status = OpenForReading(image.path.c_str(), file, st); status != Ok)
        return status;
    if (FileIdentity(st) != image.identity)
        return Win32Error;  // replaced or changed since it was loaded
    return read(img::TiffSource(file.m_hFile, static_cast<uint64_t>(st.st_size))) ? Ok
                                                                                  : GenericError;
}

Status ReadInfo(const ImageObject& image, uint32_t frame, img::FrameInfo& info) {
    switch (image.kind) {
        case img::Kind::kJpeg:
            return frame == 0 && img::JpegInfo(image.Data(), info) ? Ok : GenericError;
        case img::Kind::kTiff:
            return WithSource(image, [&](const img::TiffSource& source) {
                return img::TiffInfo(source, frame, info);
            });
        case img::Kind::kBmp:
            return frame == 0 && img::BmpInfo(image.Data(), info) ? Ok : GenericError;
        default:
            return GenericError;
    }
}

Status Decode(ImageObject& image) {
    if (image.pixels.bgra)
        return Ok;
    switch (image.kind) {
        case img::Kind::kJpeg:
            return img::DecodeJpeg(image.Data(), 0, 0, image.pixels) ? Ok : GenericError;
        case img::Kind::kTiff:
            return WithSource(image, [&](const img::TiffSource& source) {
                return img::DecodeTiff(source, image.frame, image.pixels);
            });
        case img::Kind::kBmp:
            return img::DecodeBmp(image.Data(), image.pixels) ? Ok : GenericError;
        default:
            return GenericError;
    }
}

// The rest of an open file, from its current position, into `out`.
Status ReadRest(CFile& file, uint64_t length, img::ImageBuffer& out) {
    try {
        if (length > SIZE_MAX / 2 || !out.Allocate(static_cast<size_t>(length)))
            return OutOfMemory;
        size_t done = 0;
        while (done < out.size()) {
            const unsigned got =
                file.Read(out.data() + done,
                          static_cast<unsigned>(std::min<size_t>(out.size() - done, 1u << 30)));
            if (got == 0)
                break;
            done += got;
        }
        out.Shrink(done);  // a file that shrank while being read
    } catch (const CFileException&) {
        return Win32Error;
    } catch (const std::bad_alloc&) {
        return OutOfMemory;
    }
    return Ok;
}

// A TIFF keeps its path and identity and is read call by call; anything else is read
// whole. The kind comes from the first bytes.
Status ReadFile(const WCHAR* filename, ImageObject& image) {
    CFile file;
    struct stat st {};
    if (const Status status = OpenForReading(filename, file, st); status != Ok)
        return status;
    uint8_t head[4] = {};
    const auto got = ::pread(file.m_hFile, head, sizeof head, 0);
    if (got < 0)
        return Win32Error;
    if (img::Sniff({head, static_cast<size_t>(got)}) != img::Kind::kTiff)
        return ReadRest(file, static_cast<uint64_t>(st.st_size), image.file);
    image.kind = img::Kind::kTiff;
    image.path = filename;
    if (image.path.front() != L'/') {  // the file loaded, even if the process changes folder
        std::string folder(4096, '\0');
        if (!::getcwd(folder.data(), folder.size()))
            return Win32Error;
        image.path = vesk::Utf8ToWide(folder.c_str()) + L'/' + image.path;
    }
    image.identity = FileIdentity(st);
    const img::TiffSource source(file.m_hFile, static_cast<uint64_t>(st.st_size));
    image.frames = img::TiffFrameCount(source, &image.info);
    return image.frames > 0 ? Ok : UnknownImageFormat;
}

Status Load(const WCHAR* filename, ImageObject** result) {
    if (!filename || !result)
        return InvalidParameter;
    *result = nullptr;
    auto* image = new (std::nothrow) ImageObject;
    if (!image)
        return OutOfMemory;
    Status status;
    try {  // the flat interface reports a failure, it never throws one
        status = ReadFile(filename, *image);
    } catch (const std::bad_alloc&) {
        status = OutOfMemory;
    }
    if (status == Ok && image->kind != img::Kind::kTiff) {
        image->kind = img::Sniff(image->Data());
        if (ReadInfo(*image, 0, image->info) != Ok)
            status = UnknownImageFormat;
    }
    if (status != Ok) {
        delete image;
        return status;
    }
    *result = image;
    return Ok;
}

// The encoders: class id, format id, names, MIME type.
struct Encoder {
    CLSID clsid;
    GUID format;
    const WCHAR* name;
    const WCHAR* description;
    const WCHAR* extensions;
    const WCHAR* mimeType;
};

constexpr Encoder kEncoders[] = {
    {{0x557cf400, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
     {0xb96b3cab, 0x0728, 0x11d3, {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
     L"Built-in BMP Codec",
     L"BMP",
     L"*.BMP;*.DIB;*.RLE",
     L"image/bmp"},
    {{0x557cf401, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
     {0xb96b3cae, 0x0728, 0x11d3, {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
     L"Built-in JPEG Codec",
     L"JPEG",
     L"*.JPG;*.JPEG;*.JPE;*.JFIF",
     L"image/jpeg"},
    {{0x557cf405, 0x1a04, 0x11d3, {0x9a, 0x73, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
     {0xb96b3cb1, 0x0728, 0x11d3, {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}},
     L"Built-in TIFF Codec",
     L"TIFF",
     L"*.TIF;*.TIFF",
     L"image/tiff"},
};
constexpr UINT kEncoderCount = sizeof kEncoders / sizeof kEncoders[0];

size_t Chars(const WCHAR* s) {
    return std::wcslen(s) + 1;
}

UINT EncodersSize() {
    size_t size = sizeof(ImageCodecInfo) * kEncoderCount;
    for (const Encoder& e : kEncoders)
        size += (Chars(e.name) + Chars(e.description) + Chars(e.extensions) + Chars(e.mimeType)) *
                sizeof(WCHAR);
    return static_cast<UINT>(size);
}

// The JPEG quality asked for, or 75 (also for other encoders, which take none).
Status ReadParameters(size_t encoder, const EncoderParameters* params, int& quality) {
    quality = 75;
    if (!params)
        return Ok;
    for (UINT i = 0; i < params->Count; ++i) {
        const EncoderParameter& p = params->Parameter[i];
        if (encoder != 1 || p.Guid != EncoderQuality || p.Type != EncoderParameterValueTypeLong ||
            p.NumberOfValues != 1 || !p.Value)
            return InvalidParameter;
        ULONG value = 0;
        std::memcpy(&value, p.Value, sizeof value);
        if (value > 100)
            return InvalidParameter;
        quality = static_cast<int>(value);
    }
    return Ok;
}

std::atomic<ULONG_PTR> g_sessions{0};

}  // namespace

Status WINAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input,
                             GdiplusStartupOutput* output) {
    if (!token || !input || (input->SuppressBackgroundThread && !output))
        return InvalidParameter;
    if (input->GdiplusVersion < 1 || input->GdiplusVersion > 3)
        return UnsupportedGdiplusVersion;
    if (output) {
        // No background thread to hand over: the hooks have nothing to do.
        output->NotificationHook = [](ULONG_PTR* t) -> Status {
            if (t)
                *t = 0;
            return Ok;
        };
        output->NotificationUnhook = [](ULONG_PTR) {};
    }
    *token = ++g_sessions;
    return Ok;
}

void WINAPI GdiplusShutdown(ULONG_PTR) {}

namespace DllExports {

GpStatus WINGDIPAPI GdipLoadImageFromFile(const WCHAR* filename, GpImage** image) {
    ImageObject* object = nullptr;
    const Status status = Load(filename, &object);
    if (image)
        *image = object;
    return status;
}

GpStatus WINGDIPAPI GdipCreateBitmapFromFile(const WCHAR* filename, GpBitmap** bitmap) {
    ImageObject* object = nullptr;
    const Status status = Load(filename, &object);
    if (bitmap)
        *bitmap = object;
    return status;
}

GpStatus WINGDIPAPI GdipDisposeImage(GpImage* image) {
    if (!image)
        return InvalidParameter;
    delete Object(image);
    return Ok;
}

GpStatus WINGDIPAPI GdipGetImageWidth(GpImage* image, UINT* width) {
    if (!image || !width)
        return InvalidParameter;
    *width = Object(image)->info.width;
    return Ok;
}

GpStatus WINGDIPAPI GdipGetImageHeight(GpImage* image, UINT* height) {
    if (!image || !height)
        return InvalidParameter;
    *height = Object(image)->info.height;
    return Ok;
}

GpStatus WINGDIPAPI GdipGetImagePixelFormat(GpImage* image, PixelFormat* format) {
    if (!image || !format)
        return InvalidParameter;
    *format = Object(image)->info.pixelFormat;
    return Ok;
}

GpStatus WINGDIPAPI GdipGetImageHorizontalResolution(GpImage* image, REAL* dpi) {
    if (!image || !dpi)
        return InvalidParameter;
    *dpi = static_cast<REAL>(Object(image)->info.xDpi);
    return Ok;
}

GpStatus WINGDIPAPI GdipGetImageVerticalResolution(GpImage* image, REAL* dpi) {
    if (!image || !dpi)
        return InvalidParameter;
    *dpi = static_cast<REAL>(Object(image)->info.yDpi);
    return Ok;
}

GpStatus WINGDIPAPI GdipImageGetFrameCount(GpImage* image, const GUID* dimensionID, UINT* count) {
    if (!image || !dimensionID || !count || *dimensionID != FrameDimensionPage)
        return InvalidParameter;
    *count = Object(image)->frames;
    return Ok;
}

GpStatus WINGDIPAPI GdipImageSelectActiveFrame(GpImage* image, const GUID* dimensionID,
                                               UINT frameIndex) {
    if (!image || !dimensionID || *dimensionID != FrameDimensionPage)
        return InvalidParameter;
    ImageObject& object = *Object(image);
    if (frameIndex >= object.frames)
        return InvalidParameter;
    if (frameIndex == object.frame)
        return Ok;
    img::FrameInfo info;
    if (const Status status = ReadInfo(object, frameIndex, info); status != Ok)
        return status;
    object.frame = frameIndex;
    object.info = info;
    object.pixels = img::Pixels{};
    return Ok;
}

GpStatus WINGDIPAPI GdipGetImageThumbnail(GpImage* image, UINT width, UINT height,
                                          GpImage** thumbnail, GetThumbnailImageAbort callback,
                                          void* callbackData) {
    if (!image || !thumbnail || width == 0 || height == 0)
        return InvalidParameter;
    *thumbnail = nullptr;
    if (callback && callback(callbackData))
        return Aborted;
    ImageObject& source = *Object(image);
    // A JPEG not decoded yet is decoded at the DCT scale nearest the size and resampled
    // row by row as it comes.
    const bool scaledJpeg = !source.pixels.bgra && source.kind == img::Kind::kJpeg;
    if (!scaledJpeg)
        if (const Status status = Decode(source); status != Ok)
            return status;
    auto* result = new (std::nothrow) ImageObject;
    if (!result)
        return OutOfMemory;
    if (scaledJpeg ? !img::DecodeJpegResized(source.Data(), width, height, result->pixels)
                   : !img::Resize(source.pixels, width, height, result->pixels)) {
        delete result;
        return scaledJpeg ? GenericError : OutOfMemory;
    }
    result->info =
        img::FrameInfo{width, height, PixelFormat32bppARGB, img::kDefaultDpi, img::kDefaultDpi};
    *thumbnail = result;
    return Ok;
}

GpStatus WINGDIPAPI GdipCreateHBITMAPFromBitmap(GpBitmap* bitmap, HBITMAP* hbmReturn,
                                                ARGB background) {
    if (!bitmap || !hbmReturn)
        return InvalidParameter;
    *hbmReturn = nullptr;
    ImageObject& object = *Object(bitmap);
    if (const Status status = Decode(object); status != Ok)
        return status;
    const img::Pixels& px = object.pixels;
    if (px.width > INT32_MAX / 4 || px.height > INT32_MAX)
        return ValueOverflow;
    BYTE* bits = nullptr;
    HBITMAP handle =
        vesk::gdi::CreateBitmap32(static_cast<int>(px.width), static_cast<int>(px.height), &bits);
    if (!handle)
        return OutOfMemory;
    const size_t bytes = px.Stride() * px.height;
    if (!(object.info.pixelFormat & PixelFormatAlpha)) {
        std::memcpy(bits, px.bgra.get(), bytes);
    } else {
        const unsigned bg[4] = {background & 0xFF, background >> 8 & 0xFF, background >> 16 & 0xFF,
                                background >> 24 & 0xFF};
        const uint8_t* src = px.bgra.get();
        for (size_t i = 0; i < bytes; i += 4) {
            const unsigned a = src[i + 3];
            for (int c = 0; c < 3; ++c)
                bits[i + c] = static_cast<BYTE>((src[i + c] * a + bg[c] * (255 - a) + 127) / 255);
            bits[i + 3] = static_cast<BYTE>(a + (bg[3] * (255 - a) + 127) / 255);
        }
    }
    *hbmReturn = handle;
    return Ok;
}

GpStatus WINGDIPAPI GdipGetImageEncodersSize(UINT* numEncoders, UINT* size) {
    if (!numEncoders || !size)
        return InvalidParameter;
    *numEncoders = kEncoderCount;
    *size = EncodersSize();
    return Ok;
}

GpStatus WINGDIPAPI GdipGetImageEncoders(UINT numEncoders, UINT size, ImageCodecInfo* encoders) {
    if (!encoders || numEncoders != kEncoderCount || size != EncodersSize())
        return GenericError;
    auto* text = reinterpret_cast<WCHAR*>(encoders + kEncoderCount);
    const auto place = [&text](const WCHAR* s) {
        const WCHAR* at = text;
        const size_t n = Chars(s);
        std::memcpy(text, s, n * sizeof(WCHAR));
        text += n;
        return at;
    };
    for (UINT i = 0; i < kEncoderCount; ++i) {
        const Encoder& e = kEncoders[i];
        ImageCodecInfo info{};
        info.Clsid = e.clsid;
        info.FormatID = e.format;
        info.CodecName = place(e.name);
        info.FormatDescription = place(e.description);
        info.FilenameExtension = place(e.extensions);
        info.MimeType = place(e.mimeType);
        info.Flags = ImageCodecFlagsEncoder | ImageCodecFlagsDecoder |
                     ImageCodecFlagsSupportBitmap | ImageCodecFlagsBuiltin;
        info.Version = 1;
        std::memcpy(&encoders[i], &info, sizeof info);
    }
    return Ok;
}

GpStatus WINGDIPAPI GdipSaveImageToFile(GpImage* image, const WCHAR* filename,
                                        const CLSID* clsidEncoder,
                                        const EncoderParameters* encoderParams) {
    if (!image || !filename || !clsidEncoder)
        return InvalidParameter;
    size_t encoder = 0;
    while (encoder < kEncoderCount && kEncoders[encoder].clsid != *clsidEncoder)
        ++encoder;
    if (encoder == kEncoderCount)
        return InvalidParameter;
    int quality = 0;
    if (const Status status = ReadParameters(encoder, encoderParams, quality); status != Ok)
        return status;
    ImageObject& object = *Object(image);
    const bool alpha = (object.info.pixelFormat & PixelFormatAlpha) != 0;
    std::string bytes;
    Status copied = GenericError;
    if (encoder == 2 && object.kind == img::Kind::kTiff) {
        copied = WithSource(object, [&](const img::TiffSource& source) {
            return img::CopyTiffFrame(source, object.frame, bytes);
        });
        // A file changed or gone fails here; a page that cannot be copied is re-encoded.
        if (copied != Ok && copied != GenericError)
            return copied;
    }
    if (copied != Ok) {
        if (const Status status = Decode(object); status != Ok)
            return status;
        const img::FrameInfo& i = object.info;
        const bool encoded =
            encoder == 0   ? img::EncodeBmp(object.pixels, alpha, i.xDpi, i.yDpi, bytes)
            : encoder == 1 ? img::EncodeJpeg(object.pixels, quality, i.xDpi, i.yDpi, bytes)
                           : img::EncodeTiff(object.pixels, alpha, i.xDpi, i.yDpi, bytes);
        if (!encoded)
            return GenericError;
    }
    return vesk::fs::ReplaceFileWhole(filename, bytes) ? Ok : Win32Error;
}

}  // namespace DllExports
}  // namespace Gdiplus
