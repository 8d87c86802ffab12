// The document's image helpers that need no device: the temporary document folder, the
// raw-thumbnail BMP framing, the encoder lookup, the thumbnail geometry and the locally
// made thumbnail.
#include "document/images.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "box/mfp_box.h"
#include "cache/utility.h"
#include "cache/vesk_cache.h"
#include "device/mfp_device.h"
#include "document/folders.h"
#include "document/vesk_document.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/gdiplus_owners.h"

namespace {

constexpr int kNoTempTree = -1036;
constexpr int kNoFolder = -1045;
constexpr int kNotSaved = -1046;

}  // namespace

int CVESKDocument::CreateTempDocumentFolder(CString& strFolder) {
    CVESKMFPDevice* pDevice = m_pBox ? m_pBox->GetDevice() : nullptr;
    CString folder;
    if (!pDevice || !m_pCache || m_pCache->GetTempFileRootDir(folder) != 1 || folder.IsEmpty())
        return kNoTempTree;
    if (!vesk::EnsureFolderChain(folder, {pDevice->GetItemID(), m_pBox->GetItemID()}))
        return kNoFolder;
    strFolder = folder;
    return 1;
}

void CVESKDocument::AddBMPHeaderInfo(CFile& file, int nSize) {
    const auto size = static_cast<DWORD>(nSize);
    BITMAPFILEHEADER fileHeader{};
    fileHeader.bfType = 0x4D42;  // "BM"
    fileHeader.bfSize = size + vesk::kRawThumbnailHeaderSize;
    fileHeader.bfOffBits = vesk::kRawThumbnailHeaderSize;
    BITMAPINFOHEADER info{};
    info.biSize = sizeof(BITMAPINFOHEADER);
    info.biWidth = vesk::kRawThumbnailWidth;
    info.biHeight = static_cast<LONG>(size / vesk::kRawThumbnailWidth);
    info.biPlanes = 1;
    info.biBitCount = 8;
    info.biCompression = BI_RGB;
    RGBQUAD palette[256];
    for (int i = 0; i < 256; ++i) {
        const auto v = static_cast<BYTE>(i);
        palette[i] = RGBQUAD{v, v, v, 0};
    }
    file.Write(&fileHeader, sizeof fileHeader);
    file.Write(&info, sizeof info);
    file.Write(palette, sizeof palette);
}

void CVESKDocument::FlipBMPRawData(int nRows, unsigned char*& pData) {
    if (!pData || nRows <= 1)
        return;
    constexpr size_t kRow = vesk::kRawThumbnailWidth;
    const auto rows = static_cast<size_t>(nRows);
    for (size_t k = 0; k < rows / 2; ++k)
        std::swap_ranges(pData + k * kRow, pData + (k + 1) * kRow, pData + (rows - 1 - k) * kRow);
}

int CVESKDocument::GetEncoderClsid(const wchar_t* pszMimeType, CLSID* pClsid) {
    using namespace Gdiplus::DllExports;
    if (!pszMimeType)
        return -1;
    UINT count = 0;
    UINT size = 0;
    if (GdipGetImageEncodersSize(&count, &size) != Gdiplus::Ok || size == 0)
        return -1;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size]);
    if (!buffer)
        return -1;
    auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.get());
    if (GdipGetImageEncoders(count, size, codecs) != Gdiplus::Ok)
        return -1;
    for (UINT i = 0; i < count; ++i) {
        if (codecs[i].MimeType && std::wcscmp(codecs[i].MimeType, pszMimeType) == 0) {
            if (pClsid)
                *pClsid = codecs[i].Clsid;
            return static_cast<int>(i);
        }
    }
    return -1;
}

namespace vesk {

ThumbnailGeometry ThumbnailSize(UINT width, UINT height, bool doubleHeight) {
    const uint64_t w = width;
    const uint64_t h = doubleHeight ? uint64_t{height} * 2 : height;
    if (w == 0 || h == 0)
        return {};
    const auto shorter = [](uint64_t small, uint64_t large) {
        const auto side = static_cast<UINT>(double(kThumbnailSide) * double(small) / double(large));
        return std::max<UINT>(side, 1);
    };
    if (w >= h)
        return {kThumbnailSide, shorter(h, w)};
    return {shorter(w, h), kThumbnailSide};
}

int MakeLocalThumbnail(const wchar_t* pszSource, const wchar_t* pszTarget, bool doubleHeight) {
    using namespace Gdiplus::DllExports;
    if (!pszSource || !pszTarget)
        return 0;
    Gdiplus::GpImage* raw = nullptr;
    if (GdipLoadImageFromFile(pszSource, &raw) != Gdiplus::Ok)
        return 0;
    GdipImagePtr source(raw);
    CLSID jpeg{};
    if (CVESKDocument::GetEncoderClsid(L"image/jpeg", &jpeg) < 0)
        return 0;
    UINT width = 0;
    UINT height = 0;
    if (GdipGetImageWidth(source.get(), &width) != Gdiplus::Ok ||
        GdipGetImageHeight(source.get(), &height) != Gdiplus::Ok)
        return 0;
    const ThumbnailGeometry size = ThumbnailSize(width, height, doubleHeight);
    if (size.width == 0)
        return 0;
    raw = nullptr;
    if (GdipGetImageThumbnail(source.get(), size.width, size.height, &raw, nullptr, nullptr) !=
        Gdiplus::Ok)
        return 0;
    GdipImagePtr thumbnail(raw);
    const JpegQualityParameters quality(100);
    if (GdipSaveImageToFile(thumbnail.get(), pszTarget, &jpeg, quality.Get()) != Gdiplus::Ok)
        return kNotSaved;
    return 1;
}

void FillBitmapInfoHeader(PixelFormat format, UINT width, UINT height, double xDpi, double yDpi,
                          BITMAPINFOHEADER& header) {
    header = {};
    header.biSize = sizeof(BITMAPINFOHEADER);
    header.biWidth = static_cast<LONG>(width);
    header.biHeight = static_cast<LONG>(height);
    header.biPlanes = 1;
    switch (format) {
        case PixelFormat1bppIndexed:
            header.biBitCount = 1;
            break;
        case PixelFormat4bppIndexed:
            header.biBitCount = 4;
            break;
        case PixelFormat8bppIndexed:
            header.biBitCount = 8;
            break;
        case PixelFormat16bppGrayScale:
            header.biBitCount = 16;
            break;
        case PixelFormat32bppARGB:
            header.biBitCount = 32;
            break;
        default:
            header.biBitCount = 0;
            break;
    }
    header.biCompression = BI_RGB;
    // Rows are padded to 4 bytes; a page at print resolution can pass 4 GiB.
    const uint64_t stride = (uint64_t{header.biBitCount} * width + 31) / 8 / 4 * 4;
    const uint64_t image = stride * height;
    header.biSizeImage = image <= UINT32_MAX ? static_cast<DWORD>(image) : 0;
    const auto perMetre = [](double dpi) {
        const double v = dpi / 0.0254;
        return v > 0 && v < 2147483647.0 ? static_cast<LONG>(v) : 0;
    };
    header.biXPelsPerMeter = perMetre(xDpi);
    header.biYPelsPerMeter = perMetre(yDpi);
}

}  // namespace vesk
