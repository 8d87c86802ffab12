// CVESKDocument's thumbnail: kept in the cache tree while its creation time matches the
// document's entry date, otherwise fetched from the device (protocol 30 on) or made
// locally from the downloaded document for older devices.
//
// A handle goes to the caller only when the whole call succeeds, and a device thumbnail
// that did not arrive whole never stays on disk, so it cannot be taken for current later.
#include <memory>
#include <new>
#include <utility>

#include "box/mfp_box.h"
#include "cache/utility.h"
#include "cache/vesk_cache.h"
#include "core/device_owner.h"
#include "core/sync_lock.h"
#include "device/mfp_device.h"
#include "document/folders.h"
#include "document/images.h"
#include "document/vesk_document.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/gdi.h"
#include "platform/gdiplus.h"
#include "platform/gdiplus_owners.h"
#include "tcpcore/tcpcore.h"

namespace {

constexpr int kMemory = -1001;
constexpr int kNoCacheTree = -1036;
constexpr int kNoFolder = -1045;

// From this protocol on the device makes the thumbnail itself.
constexpr int kDeviceThumbnailProtocol = 30;
// Devices of this protocol report pages at half their height.
constexpr int kHalfHeightProtocol = 12;
// Thumbnail data format of raw grey rows.
constexpr int kRawFormat = 1;

// Ends the device's thumbnail exchange on every way out unless closed.
class ThumbnailExchange {
public:
    explicit ThumbnailExchange(CTcpCore* pCore) : m_pCore(pCore) {}
    ~ThumbnailExchange() {
        if (m_pCore)
            m_pCore->CloseThumbnail();
    }
    ThumbnailExchange(const ThumbnailExchange&) = delete;
    ThumbnailExchange& operator=(const ThumbnailExchange&) = delete;
    bool Close() { return std::exchange(m_pCore, nullptr)->CloseThumbnail() == 1; }

private:
    CTcpCore* m_pCore;
};

// Removes the file at path once armed (by creating it) unless kept. Declared before the
// CFile writing it, so that the file is closed first.
class RemoveUnlessKept {
public:
    explicit RemoveUnlessKept(const CString& path) : m_path(path) {}
    ~RemoveUnlessKept() {
        if (m_armed)
            vesk::fs::RemoveFile(m_path.str());
    }
    RemoveUnlessKept(const RemoveUnlessKept&) = delete;
    RemoveUnlessKept& operator=(const RemoveUnlessKept&) = delete;
    void Arm() { m_armed = true; }
    void Keep() { m_armed = false; }

private:
    const CString& m_path;
    bool m_armed = false;
};

// Steps of GetThumbnail up to a handle in `handle`: 1 or the caller's error code.
int MakeThumbnailHandle(CVESKDocument& doc, CVESKCache& cache, CVESKMFPDevice& device,
                        vesk::BitmapHandle& handle) {
    CString folder;
    const int known = cache.GetCacheDirectory(folder);
    if (known == kMemory)
        return kMemory;
    if (known != 1 || folder.IsEmpty())
        return kNoCacheTree;
    if (cache.GetMaxAvailDiskSize() <= cache.GetTotalUsedCacheSize(folder))
        cache.DeleteCacheExtraSize();
    if (!vesk::EnsureFolderChain(folder, {device.GetItemID(), doc.GetBox()->GetItemID()}))
        return kNoFolder;

    CString tempFolder;
    const int temp = doc.CreateTempDocumentFolder(tempFolder);
    CString name;
    name.Format(L"%ld%ls", doc.GetItemID(), doc.GetColorType() == 0 ? L".tif" : L".jpg");
    const CString cached = CUtility::JoinPath(folder, name);
    const CString entryDate = doc.GetMaxEntryDate();
    const int protocol = device.GetTCPVersion();

    CString created;
    if (vesk::fs::IsRegularFile(cached.str()) &&
        CVESKDocument::GetFileCreationTime(cached, created) == 1 && created != entryDate)
        vesk::fs::RemoveFile(cached.str());

    if (!vesk::fs::IsRegularFile(cached.str())) {
        if (protocol >= kDeviceThumbnailProtocol) {
            // A failed fetch leaves no file: the load below reports it.
            doc.GetThumbnailDocument(cached);
        } else {
            // Without the temporary folder there is no place for the source.
            if (temp != 1)
                return temp;
            const CString source = CUtility::JoinPath(tempFolder, name);
            if (!vesk::fs::IsRegularFile(source.str())) {
                const bool bilevel = doc.GetColorType() == 0;
                CString target = source;
                if (doc.GetBox()->CopyMoveDocumentToFolder(
                        1, target, static_cast<int>(doc.GetItemID()), 1, bilevel ? 1 : 0,
                        bilevel ? 0 : 1, nullptr) != 1)
                    return 0;
            }
            const int made =
                vesk::MakeLocalThumbnail(source, cached, protocol == kHalfHeightProtocol);
            if (made != 1)
                return made;
            // Dated like a device thumbnail, so that it is current on the next call.
            CUtility::SetFileTimeFromText(cached, entryDate, 0);
        }
    }
    const Gdiplus::Status loaded = vesk::LoadBitmapHandle(cached, handle);
    if (loaded == Gdiplus::Ok)
        return 1;
    // A thumbnail that cannot be shown is not kept as current: the next call fetches or
    // makes it again.
    if (loaded != Gdiplus::OutOfMemory)
        vesk::fs::RemoveFile(cached.str());
    return 0;
}

}  // namespace

int CVESKDocument::GetThumbnail(HBITMAP* phBitmap) {
    if (!phBitmap)
        return 0;
    *phBitmap = nullptr;
    try {
        CSyncMgrLock lock;
        CVESKMFPDevice* pDevice = m_pBox ? m_pBox->GetDevice() : nullptr;
        vesk::IDeviceOwner* pRoot = pDevice ? pDevice->GetRoot() : nullptr;
        CVESKCache* pCache = pRoot ? pRoot->GetCache() : nullptr;
        if (!pCache)
            return kNoCacheTree;
        vesk::BitmapHandle handle;
        const int result = MakeThumbnailHandle(*this, *pCache, *pDevice, handle);
        if (result != 1)
            return result;
        if (pCache->GetCacheMode() == 0) {
            const int cacheEmptied = pCache->DeleteAllCacheFiles(1);
            const int tempEmptied = pCache->DeleteAllTempFiles(0);
            if (cacheEmptied != 1 || tempEmptied != 1)
                return 0;
        }
        *phBitmap = handle.Release();
        return 1;
    } catch (const std::exception&) {
        return kMemory;
    }
}

int CVESKDocument::GetThumbnailDocument(CString strPath) {
    try {
        CVESKMFPDevice* pDevice = m_pBox ? m_pBox->GetDevice() : nullptr;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pDevice || !pCore)
            return 0;
        RemoveUnlessKept written(strPath);
        CFile file;
        if (!file.Open(strPath, CFile::modeCreate | CFile::modeWrite))
            return 0;
        written.Arm();
        const int format = pDevice->GetThumbnailDataFormat();
        int size = -1;
        int length = -1;
        ThumbnailExchange exchange(pCore);
        if (pCore->OpenThumbnail(m_lItemID, 1, format, size) != 1 || size < 0)
            return 0;
        // Zeroed: rows the device did not fill are never old memory.
        const std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size]());
        if (!buffer)
            return 0;
        if (pCore->ReadThumbnail(buffer.get(), size, length) != 1)
            return 0;
        // A short delivery would be framed and dated as a whole thumbnail. (Bytes beyond
        // the announced size never reach here: the client drops them.)
        if (length != size)
            return 0;
        if (format == kRawFormat) {
            AddBMPHeaderInfo(file, size);
            unsigned char* rows = buffer.get();
            FlipBMPRawData(size / vesk::kRawThumbnailWidth, rows);
        }
        file.Write(buffer.get(), static_cast<unsigned>(length));
        if (!exchange.Close())
            return 0;
        file.Close();
        CUtility::SetFileTimeFromText(strPath, m_strMaxEntryDate, 0);
        written.Keep();
        return 1;
    } catch (const CFileException&) {
        return 0;
    } catch (const std::exception&) {
        return kMemory;
    }
}
