// A listed document copied or moved into a local folder (CVESKMFPBox's copy to folder,
// and the document's save as). The document downloads itself into the transfer tree; the
// file is then renamed over the target, so a user's earlier file stays whole until the
// new one replaces it, and a folder is never replaced.
#include "box/mfp_box.h"
#include "cache/utility.h"
#include "device/mfp_device.h"
#include "document/document_level.h"
#include "document/page_name.h"
#include "document/vesk_document.h"
#include "platform/fs.h"

namespace {

constexpr int kNotPlaced = -1028;
constexpr int kMoveFailed = -1029;
constexpr int kTargetExists = -1035;
constexpr int kUnreadable = -1036;

// From this protocol on a document can be fetched one JPEG page per file.
constexpr int kPagedProtocol = 32;
constexpr int kTypeJpeg = 0;
constexpr int kTypeNone = 3;

// Splits a file name at its last "." (the extension keeps the dot).
void SplitName(const CString& name, CString& stem, CString& ext) {
    const int dot = name.ReverseFind(L'.');
    stem = dot < 0 ? name : name.Left(dot);
    ext = dot < 0 ? CString() : name.Mid(dot);
}

// Removes the transfer-tree folder that held a downloaded file, with what it holds.
bool RemoveHoldingFolder(const CString& downloaded) {
    CString folder = CUtility::GetDirPart(downloaded);
    CUtility::AddOrRemoveLastBackslash(folder, 0);
    return !folder.IsEmpty() && vesk::fs::RemoveTree(folder.str());
}

}  // namespace

namespace vesk {

int DocumentLevel::CopyToFolder(CVESKMFPBox& box, CVESKItem& document, int bCopy, CString& strPath,
                                int bOverwrite, int nFileType, int nPage,
                                QTCP_RECVDATA_CALLBACK pfnCallback) {
    CVESKDocument* pDoc = dynamic_cast<CVESKDocument*>(&document);
    if (!pDoc)
        return 0;
    // Nothing is fetched, and no file made, for a type that names no file.
    if (nFileType < -1 || nFileType > 9 || nFileType == kTypeNone)
        return 0;

    CString name = CUtility::EscapeFileNameKeepExt(pDoc->GetDispDocname());
    if (nFileType != -1) {
        CString stem, ext;
        SplitName(name, stem, ext);
        name = stem + CUtility::FileTypeExtension(nFileType);
    }
    const CString given = CUtility::GetFileNameWithExt(strPath);
    if (!given.IsEmpty())
        name = given;
    const CString folder = CUtility::GetDirPart(strPath);
    const CString target = folder + name;

    const bool paged = box.GetDevice() && box.GetDevice()->GetTCPVersion() >= kPagedProtocol &&
                       pDoc->GetDownloadAll() == 1 && nFileType == kTypeJpeg;
    const int count = paged ? pDoc->GetPageNo() : 1;
    if (count <= 0)
        return 0;
    CString pagedStem, pagedExt;
    SplitName(CUtility::EscapeFileNameKeepExt(name), pagedStem, pagedExt);
    const auto pagePath = [&](int page) {
        return paged ? folder + pagedStem + vesk::PageSuffix(page, count) + pagedExt : target;
    };
    if (vesk::fs::Exists(target.str())) {
        if (!bOverwrite)
            return kTargetExists;
        // A folder is never replaced: refused before anything is fetched.
        if (!paged && vesk::fs::IsDirectory(target.str()))
            return kNotPlaced;
    }
    // The page files are the user's files too: without overwrite none is replaced.
    for (int page = 1; paged && !bOverwrite && page <= count; ++page) {
        if (vesk::fs::Exists(pagePath(page).str()))
            return kTargetExists;
    }
    strPath = folder;

    for (int page = 1; page <= count; ++page) {
        CString downloaded;
        if (pDoc->GetDocument(downloaded, 0, nullptr, pfnCallback, nullptr, nFileType,
                              paged ? page : nPage) != 1)
            return 0;
        if (!vesk::fs::CanReadWrite(downloaded.str())) {
            RemoveHoldingFolder(downloaded);
            return kUnreadable;
        }
        const CString finalPath = pagePath(page);
        if (!vesk::fs::ReplaceFile(downloaded.str(), finalPath.str())) {
            RemoveHoldingFolder(downloaded);
            return kNotPlaced;
        }
        strPath = target;
        const bool removed = RemoveHoldingFolder(downloaded);
        if (!bCopy && page == count) {
            // The local file stays whatever the device says; a move that could not
            // delete the original is reported as failed.
            if (!removed ||
                box.DeleteChildItem(static_cast<int>(pDoc->GetItemID()), CString()) != 1)
                return kMoveFailed;
        }
    }
    return 1;
}

}  // namespace vesk
