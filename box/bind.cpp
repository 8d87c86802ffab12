// CVESKMFPBox::GetDocumentAfterBind: several documents of the box downloaded bound into
// one file of the transfer tree.
#include <new>
#include <utility>
#include <vector>

#include "box/mfp_box.h"
#include "cache/vesk_cache.h"
#include "core/sync_lock.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "tcpcore/tcpcore.h"

namespace {

constexpr int kMemory = -1001;
// One read moves at most this much from the device into the file.
constexpr int kReadSize = 1 << 20;

// The device's bind format for a file type, or -1 for the types it cannot bind
// (JPEG pages and the raw type). Office types come as PDF.
int BindFormat(int fileType) {
    static const int kFormats[] = {-1, 1, 0, -1, 2, 3, 4, 0, 0, 0};
    return fileType >= 0 && fileType <= 9 ? kFormats[fileType] : -1;
}

// One bound download: the reserved file, the device document and the receive-data
// callback. Whatever way the download ends, the previous callback is back in place, an
// open device document is aborted, and a file that was not kept is removed together
// with the unique folder reserved for it, so a failure leaves nothing behind.
class BoundTransfer {
public:
    BoundTransfer(CTcpCore& core, CString path) : m_core(core), m_path(std::move(path)) {}
    ~BoundTransfer() {
        RestoreCallback();
        m_file.Abort();
        if (m_deviceOpen)
            m_core.CloseDocument(1);
        if (!m_kept)
            RemoveFile();
    }
    BoundTransfer(const BoundTransfer&) = delete;
    BoundTransfer& operator=(const BoundTransfer&) = delete;

    CFile& File() { return m_file; }
    const CString& Path() const { return m_path; }
    void DeviceOpened() { m_deviceOpen = true; }
    void DeviceClosed() { m_deviceOpen = false; }
    void InstallCallback(QTCP_RECVDATA_CALLBACK cb) {
        m_previous = m_core.ResetCallbackRecvData(cb);
        m_installed = true;
    }
    void RestoreCallback() {
        if (m_installed)
            m_core.ResetCallbackRecvData(m_previous);
        m_installed = false;
    }
    void Keep() { m_kept = true; }

private:
    void RemoveFile() {
        const std::wstring& path = m_path.str();
        vesk::fs::RemoveFile(path);
        const std::size_t slash = path.rfind(vesk::fs::kPathSeparator);
        if (slash != std::wstring::npos && slash > 0)
            vesk::fs::RemoveDirectory(path.substr(0, slash));  // only when empty
    }

    CTcpCore& m_core;
    CString m_path;
    CFile m_file;
    bool m_deviceOpen = false;
    bool m_installed = false;
    QTCP_RECVDATA_CALLBACK m_previous = nullptr;
    bool m_kept = false;
};

}  // namespace

int CVESKMFPBox::GetDocumentAfterBind(CString& strPath, long* pIDs, int nCount, int nFileType,
                                      QTCP_RECVDATA_CALLBACK pfnCallback) {
    try {
        CSyncMgrLock lock;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore || nFileType < 0 || nFileType > 9 || !m_nBoxLogin)
            return 0;
        // Everything that can be refused is refused before a file is reserved.
        const int format = BindFormat(nFileType);
        if (format < 0 || !pIDs || nCount <= 0)
            return 0;
        std::vector<char> buffer(kReadSize);

        CString reserved;
        if (m_pCache->GetTransFilePath(reserved, CString(), CString(), 1, nFileType, 0) != 1)
            return 0;
        BoundTransfer transfer(*pCore, reserved);
        pCore->StackErrorClear();
        if (!transfer.File().Open(transfer.Path().GetString(),
                                  CFile::modeCreate | CFile::modeWrite | CFile::typeBinary))
            return 0;
        transfer.DeviceOpened();
        if (pCore->OpenDocumentWithBind(pIDs, nCount, format) != 1)
            return 0;

        transfer.InstallCallback(pfnCallback);
        int n = 0;
        while ((n = pCore->ReadDocument(buffer.data(), kReadSize)) > 0)
            transfer.File().Write(buffer.data(), static_cast<unsigned>(n));
        if (n == -1)
            return 0;
        // The device ended the data: complete only when every announced byte came.
        const int ended = pCore->GetLastStackError();
        transfer.RestoreCallback();
        transfer.DeviceClosed();
        if (pCore->CloseDocument(0) != 1)
            return 0;
        transfer.File().Close();
        if (ended != -1)
            return 0;
        strPath = transfer.Path();
        transfer.Keep();
        return 1;
    } catch (const CFileException&) {
        return 0;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}
