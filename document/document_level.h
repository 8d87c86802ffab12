// vesk::DocumentLevel: the document level's answer to what a box asks of its documents:
// document items made from the box's listing, and a document's copy into a local folder.
#pragma once

#include "core/box_documents.h"

namespace vesk {

class DocumentLevel final : public IBoxDocuments {
public:
    std::unique_ptr<CVESKItem> MakeListedDocument(CVESKMFPBox& box, tagUTIL_DOCINFO& record,
                                                  bool extended) override;
    bool IsDocument(CVESKItem* item) override;
    // (document/to_folder.cpp)
    int CopyToFolder(CVESKMFPBox& box, CVESKItem& document, int bCopy, CString& strPath,
                     int bOverwrite, int nFileType, int nPage,
                     QTCP_RECVDATA_CALLBACK pfnCallback) override;
};

}  // namespace vesk
