// CVESKDocument's download: the document (or one page of it) from the device into the
// transfer tree, and the save into a user's folder through the parent box.
//
// The data goes to a fresh file in a unique folder of the per-box transfer folder and is
// renamed over the final file only once the device has closed the stream cleanly, so the
// final name always holds a complete file (the earlier one until then), and a failed or
// cancelled transfer leaves nothing behind.
#include <memory>
#include <new>
#include <string>

#include "box/mfp_box.h"
#include "cache/utility.h"
#include "cache/vesk_cache.h"
#include "core/sync_lock.h"
#include "device/mfp_device.h"
#include "document/folders.h"
#include "document/page_name.h"
#include "document/vesk_document.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "tcpcore/tcpcore.h"

namespace {

constexpr int kMemory = -1001;
constexpr int kNotPlaced = -1028;
constexpr int kNoTransferTree = -1036;
constexpr int kNoFolder = -1045;

constexpr int kReadSize = 1 << 20;
// From this protocol on the device takes the open-document record.
constexpr int kRecordProtocol = 32;
constexpr int kOutlineProtocol = 33;
constexpr int kExtendedProtocol = 40;

constexpr int kFormatOwn = -1;
constexpr int kFormatJpeg = 0;
constexpr int kFormatNone = 3;

struct FormatRow {
    const wchar_t* ext;
    int outputType;
};
// Indexed by format code; code 4 sends 2 in place of 0 on newer devices.
constexpr FormatRow kFormats[] = {
    {L".jpg", 0x81}, {L".tif", 1}, {L".pdf", 0},  {nullptr, -1}, {L".pdf", 0},
    {L".xps", 3},    {L".xps", 4}, {L".pptx", 5}, {L".docx", 6}, {L".xlsx", 7},
};

bool Downloadable(int format) {
    return format >= 0 && format < static_cast<int>(std::size(kFormats)) && format != kFormatNone;
}

bool IsPdf(int format) {
    return format == 2 || format == 4;
}

bool IsOffice(int format) {
    return format >= 7 && format <= 9;
}

// The transfer file and its unique folder, removed unless the download put the file in
// place.
class TransferFile {
public:
    ~TransferFile() {
        if (m_path.IsEmpty())
            return;
        vesk::fs::RemoveFile(m_path.str());
        RemoveFolder();
    }
    CString& Path() { return m_path; }
    // The file is in place: only its folder is left to remove.
    void Placed() {
        RemoveFolder();
        m_path.Empty();
    }

private:
    void RemoveFolder() {
        CString folder = CUtility::GetDirPart(m_path);
        CUtility::AddOrRemoveLastBackslash(folder, 0);
        if (!folder.IsEmpty())
            vesk::fs::RemoveDirectory(folder.str());
    }
    CString m_path;
};

// Aborts the device's stream on every way out unless it was closed cleanly.
class StreamGuard {
public:
    explicit StreamGuard(CTcpCore* pCore) : m_pCore(pCore) {}
    ~StreamGuard() {
        if (m_pCore)
            m_pCore->CloseDocument(1);
    }
    StreamGuard(const StreamGuard&) = delete;
    StreamGuard& operator=(const StreamGuard&) = delete;
    // Closes after the whole stream was read: true when the device ended it cleanly.
    bool Close() {
        CTcpCore* pCore = m_pCore;
        m_pCore = nullptr;
        return pCore->CloseDocument(0) == 1;
    }

private:
    CTcpCore* m_pCore;
};

// The caller's receive-data callback for the read loop; the previous one comes back on
// every way out.
class RecvDataScope {
public:
    RecvDataScope(CTcpCore* pCore, QTCP_RECVDATA_CALLBACK pfn)
        : m_pCore(pCore), m_previous(pCore->ResetCallbackRecvData(pfn)) {}
    ~RecvDataScope() { Restore(); }
    RecvDataScope(const RecvDataScope&) = delete;
    RecvDataScope& operator=(const RecvDataScope&) = delete;
    void Restore() {
        if (m_pCore)
            m_pCore->ResetCallbackRecvData(m_previous);
        m_pCore = nullptr;
    }

private:
    CTcpCore* m_pCore;
    QTCP_RECVDATA_CALLBACK m_previous;
};

}  // namespace

int CVESKDocument::GetDocument(CString& strOutPath, int bLoadInfo,
                               QTCP_PROGRESS_CALLBACK pfnProgress,
                               QTCP_RECVDATA_CALLBACK pfnRecvData, void*, int nFormat, int nPage) {
    try {
        CSyncMgrLock lock;
        CVESKMFPDevice* pDevice = m_pBox ? m_pBox->GetDevice() : nullptr;
        if (!pDevice)
            return 0;
        const int protocol = pDevice->GetTCPVersion();

        CString folder;
        if (!m_pCache || m_pCache->GetTransFileRootDir(folder) != 1 || folder.IsEmpty())
            return kNoTransferTree;
        if (!vesk::EnsureFolderChain(folder,
                                     {pDevice->GetItemID(), m_pBox->GetItemID(), m_lItemID}))
            return kNoFolder;

        // A format outside the known ones names no file: refused, never the folder itself.
        if (nFormat < kFormatOwn)
            return 0;
        const int format = nFormat == kFormatOwn ? m_nFileType : nFormat;
        if (!Downloadable(format))
            return 0;
        const CString fileName =
            nFormat == kFormatOwn ? m_strDispDocname : m_strItemName + kFormats[format].ext;
        if (fileName.IsEmpty())
            return 0;
        CString finalPath = CUtility::JoinPath(folder, CUtility::EscapeFileNameKeepExt(fileName));

        // Older devices give the same bytes again: a file already downloaded is used.
        if (m_nTargetPageNo == -1 && !IsPdf(format) && protocol < kRecordProtocol &&
            vesk::fs::IsRegularFile(finalPath.str()) && vesk::fs::CanReadWrite(finalPath.str())) {
            strOutPath = finalPath;
            m_strTransFilePath = finalPath;
            if (bLoadInfo)
                LoadFileInfo();
            return 1;
        }

        strOutPath.Empty();
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore || m_pCache->GetBoxLogin() != 1)
            return 0;

        TransferFile transfer;
        if (m_pCache->GetTransFilePath(transfer.Path(), CString(), m_strDispDocname, 1, format,
                                       1) != 1)
            return 0;

        int outputType = kFormats[format].outputType;
        if (format == 4 && (m_nFileType == 4 || protocol >= kRecordProtocol))
            outputType = 2;
        int page = nPage;
        if (format == kFormatJpeg && m_nDownloadAll == 0)
            page = m_nTargetPageNo == -1 ? 1 : m_nTargetPageNo;

        CFile file;
        if (!file.Open(transfer.Path(), CFile::modeCreate | CFile::modeWrite))
            return 0;

        int opened;
        if (protocol < kRecordProtocol) {
            opened = pCore->OpenDocument(m_lItemID, page, outputType, pfnProgress);
        } else {
            if (m_nDownloadAll != 0 && format != kFormatJpeg)
                page = 0;
            // Parts of the record that do not belong to this format are not sent.
            if (protocol >= kOutlineProtocol && !IsPdf(format))
                m_openDocParam.outlinePDFInfo = {};
            if (protocol >= kExtendedProtocol) {
                if (!IsOffice(format)) {
                    m_openDocParam.officeXMLInfo.nEnable = 0;
                    m_openDocParam.officeXMLInfo.nFormat = 0;
                    m_openDocParam.officeXMLInfo.nOption = 0;
                }
                if (!IsPdf(format))
                    m_openDocParam.extendedPDFInfo = {};
            }
            m_openDocParam.nPage = page;
            m_openDocParam.nOutputType = outputType;
            opened = pCore->OpenDocument(m_lItemID, m_openDocParam, pfnProgress);
            // The next download starts from the device's values again.
            if (protocol >= kOutlineProtocol)
                m_openDocParam.outlinePDFInfo = m_defOutlinePDFInfo;
            if (protocol >= kExtendedProtocol) {
                m_openDocParam.extendedPDFInfo = m_defExtendedPDFInfo;
                m_openDocParam.officeXMLInfo = m_defOfficeXMLInfo;
            }
        }
        StreamGuard stream(pCore);
        if (opened != 1)
            return 0;

        {
            std::unique_ptr<char[]> buffer(new (std::nothrow) char[kReadSize]);
            if (!buffer)
                return 0;
            RecvDataScope recvData(pCore, pfnRecvData);
            for (;;) {
                const int n = pCore->ReadDocument(buffer.get(), kReadSize);
                if (n == -1)
                    return 0;
                if (n <= 0)
                    break;
                file.Write(buffer.get(), static_cast<unsigned>(n));
            }
            recvData.Restore();
            if (!stream.Close())
                return 0;
            file.Close();
        }
        CUtility::SetFileTimeFromText(transfer.Path(), m_strMaxEntryDate, 0);

        if (m_nDownloadAll == 1 && format == kFormatJpeg) {
            // One file per page, numbered to the width of the page count.
            const CString paged =
                m_strItemName + vesk::PageSuffix(page, m_nPageNo) + kFormats[format].ext;
            finalPath = CUtility::JoinPath(folder, CUtility::EscapeFileNameKeepExt(paged));
        }
        if (!vesk::fs::ReplaceFile(transfer.Path().str(), finalPath.str()))
            return kNotPlaced;
        transfer.Placed();

        strOutPath = finalPath;
        m_strTransFilePath = finalPath;
        if (bLoadInfo)
            LoadFileInfo();
        return 1;
    } catch (const CFileException&) {
        return 0;
    } catch (const std::exception&) {
        return kMemory;
    }
}

int CVESKDocument::SaveAs(CString strPath, int nFormat, int bOverwrite, int nPage,
                          QTCP_RECVDATA_CALLBACK pfnRecvData) {
    try {
        CVESKMFPDevice* pDevice = m_pBox ? m_pBox->GetDevice() : nullptr;
        if (!pDevice)
            return 0;
        if (pDevice->GetTCPVersion() >= kRecordProtocol) {
            SetColor(GetDefaultDownloadColor());
            SetResolution(0);
        }
        return m_pBox->CopyMoveDocumentToFolder(1, strPath, static_cast<int>(m_lItemID), bOverwrite,
                                                nFormat, nPage, pfnRecvData) == 1
                   ? 1
                   : 0;
    } catch (const std::exception&) {
        return kMemory;
    }
}
