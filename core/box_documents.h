// IBoxDocuments: what a box asks of its documents. The document level implements it and
// the root, which sees every level, hands it out (IDeviceOwner), so that the box level
// lists and handles document items without depending on the document level above it.
#pragma once

#include <memory>

#include "core/item.h"
#include "core/recv_data_callback.h"
#include "platform/cstring.h"

class CVESKMFPBox;
struct tagUTIL_DOCINFO;

namespace vesk {

class IBoxDocuments {
public:
    virtual ~IBoxDocuments() = default;

    // A new document item of box as the device listed it, with a copy of the box's
    // cache settings; null for a file type the application cannot show (it is not
    // listed). extended: the listing carries the PDF/A and Office records. Throws
    // std::bad_alloc.
    virtual std::unique_ptr<CVESKItem> MakeListedDocument(CVESKMFPBox& box, tagUTIL_DOCINFO& record,
                                                          bool extended) = 0;
    // Whether item is one of this level's document items (the type alone does not say so).
    virtual bool IsDocument(CVESKItem* item) = 0;
    // The work of CVESKMFPBox::CopyMoveDocumentToFolder once the box found document
    // listed and logged in: the same arguments and results. Throws std::exception.
    virtual int CopyToFolder(CVESKMFPBox& box, CVESKItem& document, int bCopy, CString& strPath,
                             int bOverwrite, int nFileType, int nPage,
                             QTCP_RECVDATA_CALLBACK pfnCallback) = 0;
};

}  // namespace vesk
