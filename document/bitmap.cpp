// CVESKDocument::GetBitmap: one page of the document as a bitmap handle, fetched into the
// temporary document folder through the parent box.
#include "document/bitmap.h"

#include <exception>
#include <memory>
#include <new>

#include "box/mfp_box.h"
#include "cache/utility.h"
#include "core/sync_lock.h"
#include "device/mfp_device.h"
#include "document/images.h"
#include "document/vesk_document.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/gdi.h"
#include "platform/gdiplus.h"
#include "platform/gdiplus_owners.h"

namespace {

constexpr int kMemory = -1001;
constexpr int kFileJpeg = 0;
constexpr int kFileTiff = 1;

// Saves frame nFrame of the TIFF document at source as a one-page TIFF at target. A frame
// past the end or a save that fails is a failure: showing another page instead would
// be a plainly wrong picture.
bool SaveTiffFrame(const CString& source, const CString& target, int nFrame) {
    using namespace Gdiplus::DllExports;
    Gdiplus::GpImage* raw = nullptr;
    if (GdipLoadImageFromFile(source.GetString(), &raw) != Gdiplus::Ok)
        return false;
    vesk::GdipImagePtr image(raw);
    CLSID tiff{};
    return nFrame >= 0 && CVESKDocument::GetEncoderClsid(L"image/tiff", &tiff) >= 0 &&
           GdipImageSelectActiveFrame(image.get(), &Gdiplus::FrameDimensionPage,
                                      static_cast<UINT>(nFrame)) == Gdiplus::Ok &&
           GdipSaveImageToFile(image.get(), target.GetString(), &tiff, nullptr) == Gdiplus::Ok;
}

// Loads the file as a bitmap, makes the handle into phBitmap and fills the header.
bool Show(const CString& path, HBITMAP* phBitmap, BITMAPINFO* pInfo) {
    using namespace Gdiplus::DllExports;
    vesk::BitmapHandle handle;
    vesk::GdipBitmapPtr bitmap;
    if (vesk::LoadBitmapHandle(path.GetString(), handle, &bitmap) != Gdiplus::Ok)
        return false;
    if (pInfo) {
        UINT width = 0, height = 0;
        PixelFormat format = 0;
        Gdiplus::REAL xDpi = 0, yDpi = 0;
        Gdiplus::GpBitmap* raw = bitmap.get();
        if (GdipGetImageWidth(raw, &width) != Gdiplus::Ok ||
            GdipGetImageHeight(raw, &height) != Gdiplus::Ok ||
            GdipGetImagePixelFormat(raw, &format) != Gdiplus::Ok ||
            GdipGetImageHorizontalResolution(raw, &xDpi) != Gdiplus::Ok ||
            GdipGetImageVerticalResolution(raw, &yDpi) != Gdiplus::Ok)
            return false;
        vesk::FillBitmapInfoHeader(format, width, height, xDpi, yDpi, pInfo->bmiHeader);
    }
    *phBitmap = handle.Release();
    return true;
}

}  // namespace

namespace vesk {

bool PageShownFromTiff(CVESKDocument& doc) {
    CVESKMFPBox* box = doc.GetBox();
    CVESKMFPDevice* device = box ? box->GetDevice() : nullptr;
    if (device && device->GetThumbnailDataFormat() == 1)
        return true;
    switch (doc.GetMode()) {
        case 5:
        case 10:
        case 11:
        case 13:
        case 14:
        case 15:
        case 16:
            return true;
        default:
            return false;
    }
}

}  // namespace vesk

int CVESKDocument::GetBitmap(int nPage, HBITMAP* phBitmap, BITMAPINFO* pInfo) {
    if (!phBitmap)
        return 0;
    *phBitmap = nullptr;
    if (nPage < 0)
        return 0;
    try {
        CString folder;
        // Without the folder the page would land wherever the process happens to be.
        if (!m_pBox || CreateTempDocumentFolder(folder) != 1)
            return 0;
        CString id;
        id.Format(L"%ld", m_lItemID);
        const auto path = [&](const wchar_t* tail) {
            return CUtility::JoinPath(folder, id + tail);
        };
        CString show;
        if (vesk::PageShownFromTiff(*this)) {
            const CString document = path(L".tif");
            if (!vesk::fs::Exists(document.str())) {
                CString target = document;
                if (m_pBox->CopyMoveDocumentToFolder(1, target, static_cast<int>(m_lItemID), 1,
                                                     kFileTiff, 0, nullptr) != 1)
                    return 0;
            }
            CString page;
            page.Format(L"_%d.tif", nPage);
            show = path(page.GetString());
            if (!SaveTiffFrame(document, show, nPage))
                return 0;
        } else {
            // Exactly this page, in exactly this file, whatever the user chose for
            // downloads: the all-pages choice would leave one file per page under other
            // names, and the target page would replace the page asked for.
            show = path(L".jpg");
            CSyncMgrLock lock;
            struct Restore {
                CVESKDocument& doc;
                int all, target;
                ~Restore() {
                    doc.SetDownlaodAll(all);
                    doc.SetTargetPageNo(target);
                }
            } restore{*this, m_nDownloadAll, m_nTargetPageNo};
            m_nDownloadAll = 0;
            m_nTargetPageNo = nPage;
            CString target = show;
            if (m_pBox->CopyMoveDocumentToFolder(1, target, static_cast<int>(m_lItemID), 1,
                                                 kFileJpeg, nPage, nullptr) != 1)
                return 0;
        }
        return Show(show, phBitmap, pInfo) ? 1 : 0;
    } catch (const CFileException&) {
        return 0;
    } catch (const std::exception&) {
        return kMemory;
    }
}
