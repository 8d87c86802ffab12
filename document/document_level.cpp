// vesk::DocumentLevel: document items as a box lists them.
#include "document/document_level.h"

#include "box/mfp_box.h"
#include "document/vesk_document.h"
#include "platform/charset.h"

namespace {

// Wide strings made from device fields hold at most this many characters.
constexpr int kWideChars = 260;

// A device text field as a wide string: read within the field even when the device
// filled it without a terminating zero, then bounded as the application's strings are.
template <std::size_t N>
CString FieldText(const char (&field)[N]) {
    char bytes[N + 1];
    std::size_t n = 0;
    for (; n < N && field[n]; ++n)
        bytes[n] = field[n];
    bytes[n] = '\0';
    wchar_t wide[kWideChars];
    _QChar_Utf8ToUnicode(bytes, wide, kWideChars);
    return CString(wide);
}

}  // namespace

namespace vesk {

std::unique_ptr<CVESKItem> DocumentLevel::MakeListedDocument(CVESKMFPBox& box, tagUTIL_DOCINFO& r,
                                                             bool extended) {
    auto doc = std::make_unique<CVESKDocument>();
    const CString name = FieldText(r.szDocName);
    doc->SetItemID(r.lDocID);
    doc->SetItemName(name);
    doc->SetUserName(FieldText(r.szUserName));
    doc->SetMode(r.nMode);
    doc->SetPageNo(r.nPageNo);
    doc->SetMaxEntryDate(FieldText(r.szEntryDate));
    doc->SetXResolution(r.nXResolution);
    doc->SetYResolution(r.nYResolution);
    doc->SetBitsPerPixel(r.nBitsPerPixel);
    doc->SetPaperSizeCode(r.nPaperSizeCode);
    doc->SetWidth(r.nWidth);
    doc->SetHeight(r.nHeight);
    doc->SetFileType(r.nFileType);
    doc->SetEncrypted(r.nEncrypted);
    doc->SetColorType(r.nColorType);
    doc->SetCacheObj(box.GetCacheObj());
    // The count bounds the copy of the block: the document keeps it in range.
    doc->SetAttributeNum(r.nAttributeNum);
    doc->SetAttributeInfo(r.attributeInfo);
    doc->SetBox(&box);
    doc->SetOutLinePDFInfo(r.outlinePDFInfo, 1);
    if (extended) {
        doc->SetPDFA_LinearizedInfo(r.extendedPDFInfo, 1);
        doc->SetOfficeXMLInfo(r.officeXMLInfo, 1);
    }
    const CString display = CVESKMFPBox::GetDocNameWithExt(name, r.nFileType);
    if (display.IsEmpty())
        return nullptr;
    doc->SetDispDocname(display);
    return doc;
}

bool DocumentLevel::IsDocument(CVESKItem* item) {
    return item && item->GetItemObjectType() == VESK_ITEM_DOCUMENT &&
           dynamic_cast<CVESKDocument*>(item) != nullptr;
}

}  // namespace vesk
