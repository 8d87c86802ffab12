// CVESKDocument: construction, the records a download sends, the predicates the user
// interface asks before it offers an action, and the rename.
#include "document/vesk_document.h"

#include <algorithm>
#include <new>
#include <string>

#include "box/mfp_box.h"
#include "cache/utility.h"
#include "cache/vesk_cache.h"
#include "core/sync_lock.h"
#include "device/mfp_device.h"
#include "platform/charset.h"
#include "platform/gdiplus.h"
#include "platform/trace.h"
#include "tcpcore/tcpcore.h"

IMPLEMENT_DYNCREATE(CVESKDocument, CObject)

namespace {

constexpr int kNotConnected = -1012;
constexpr int kNeutralColor = 5;  // full colour: what a download uses when nothing forbids it
constexpr int kTypeWithoutExtension = 3;

bool IsOneOf(int value, std::initializer_list<int> set) {
    return std::find(set.begin(), set.end(), value) != set.end();
}

}  // namespace

CVESKDocument::CVESKDocument() : m_pCache(new CVESKCache) {
    m_openDocParam.nColor = kNeutralColor;  // full colour until the user chooses
    // Windows GDI+ refuses every call outside a session. A failed start leaves the token
    // 0 and the image calls report the failure themselves.
    const Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&m_gdiplusToken, &input, nullptr) != Gdiplus::Ok)
        m_gdiplusToken = 0;
}

CVESKDocument::~CVESKDocument() {
    delete m_pCache;
    if (m_gdiplusToken)
        Gdiplus::GdiplusShutdown(m_gdiplusToken);
}

CString CVESKDocument::GetPassword() {
    OutputDebugStringA("Inside CVESKDocument::GetPassword()");
    return m_strPassword;
}

void CVESKDocument::SetPassword(CString s) {
    OutputDebugStringA("Inside CVESKDocument::SetPassword()");
    m_strPassword = s;
}

void CVESKDocument::SetAttributeNum(int n) {
    // The device's count later bounds a copy into a fixed array: it never leaves it.
    m_nAttributeNum = std::clamp(n, 0, static_cast<int>(QTCP_MAX_ATTRIBUTES));
}

void CVESKDocument::SetAttributeInfo(const tagUTIL_ATTRIBUTEINFO* pInfo) {
    if (!pInfo)
        return;
    std::copy_n(pInfo, m_nAttributeNum, m_attributeInfo);
}

int CVESKDocument::GetDefOutlinePDFinfo(tagUTIL_SPDF_OUTLINEPDF_INFO& info) {
    info = m_defOutlinePDFInfo;
    return 1;
}

void CVESKDocument::SetOutLinePDFInfo(tagUTIL_SPDF_OUTLINEPDF_INFO& info, int bSetDefault) {
    m_openDocParam.outlinePDFInfo = info;
    if (bSetDefault)
        m_defOutlinePDFInfo = info;
}

int CVESKDocument::GetOfficeXMLinfo(tagUTIL_OFFICE_OPEN_XML_INFO& info) {
    info = m_defOfficeXMLInfo;
    return 1;
}

void CVESKDocument::SetOfficeXMLInfo(tagUTIL_OFFICE_OPEN_XML_INFO& info, int bSetDefault) {
    m_openDocParam.officeXMLInfo = info;
    if (bSetDefault)
        m_defOfficeXMLInfo = info;
}

int CVESKDocument::GetLinearizedPDFinfo(tagUTIL_EXTENDED_PDF_INFO& info) {
    info = m_defExtendedPDFInfo;
    return 1;
}

void CVESKDocument::SetPDFA_LinearizedInfo(tagUTIL_EXTENDED_PDF_INFO& info, int bSetDefault) {
    m_openDocParam.extendedPDFInfo = info;
    if (bSetDefault)
        m_defExtendedPDFInfo = info;
}

void CVESKDocument::SetCacheObj(CVESKCache* pCache) {
    if (pCache && m_pCache && pCache != m_pCache)
        *m_pCache = *pCache;
}

// ---- predicates -------------------------------------------------------------

CVESKMFPDevice* CVESKDocument::ConnectedDevice() {
    CVESKMFPDevice* pDevice = m_pBox ? m_pBox->GetDevice() : nullptr;
    return pDevice && pDevice->GetConnected() == 1 ? pDevice : nullptr;
}

int CVESKDocument::CanDisplayDocThumbNail() {
    if (!ConnectedDevice())
        return kNotConnected;
    return m_nEncrypted == 1 ? -1055 : 1;
}

int CVESKDocument::CanDocScan() {
    CVESKMFPDevice* pDevice = ConnectedDevice();
    if (!pDevice)
        return kNotConnected;
    // Older protocols carry no scan restriction.
    if (pDevice->GetTCPVersion() < 31)
        return 1;
    return pDevice->GetScanDocForbidden() ? -1078 : 1;
}

int CVESKDocument::CanTransferDoc() {
    CVESKMFPDevice* pDevice = ConnectedDevice();
    if (!pDevice)
        return kNotConnected;
    // From protocol 32 on the device converts a colour document itself.
    if (pDevice->GetTCPVersion() >= 32)
        return 1;
    if (IsOneOf(m_nColorType, {2, 3}) && pDevice->GetColourForbidden() == 1)
        return -1054;
    return 1;
}

int CVESKDocument::GetDefaultDownloadColor() {
    // Asked while building a dialog: without a box or device there is nothing that
    // forbids colour.
    CVESKMFPDevice* pDevice = m_pBox ? m_pBox->GetDevice() : nullptr;
    if (!pDevice)
        return kNeutralColor;
    const int forbidden = pDevice->GetColourForbidden();
    switch (pDevice->GetMono2DocOutputPolicy()) {
        case 0:
            return forbidden && m_nColorType == 2 ? 1 : kNeutralColor;
        case 1:
            return forbidden && IsOneOf(m_nColorType, {2, 6, 7}) ? 1 : kNeutralColor;
        default:
            return kNeutralColor;
    }
}

int CVESKDocument::IsDocCompatible(int nFormat) {
    if (nFormat < 0 || nFormat > 9)
        return 0;
    switch (m_nFileType) {
        case 0:
            return nFormat == 1 ? 0 : 1;
        case 1:
            return nFormat == 0 ? 0 : 1;
        case 2:
            if (nFormat == 0 && m_nColorType == 0)
                return 0;
            if (nFormat == 1 && m_nColorType != 0)
                return 0;
            return 1;
        case 4:
            return nFormat == 4 ? 1 : 0;
        default:
            return 1;
    }
}

// ---- rename -----------------------------------------------------------------

int CVESKDocument::RenameItem(const wchar_t* pszNewName, CString) {
    try {
        CSyncMgrLock lock;
        if (!m_pBox)
            return kNotConnected;
        if (m_pBox->GetBoxLogin() == 0)
            return -1009;
        const long lID = GetItemID();
        if (!pszNewName || pszNewName[0] == L'\0')
            return -1033;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return kNotConnected;

        // The device's field holds QTCP_DOCNAME_SIZE bytes with its terminating zero;
        // the conversion writes only whole characters, so the cut never splits one.
        char buffer[QTCP_DOCNAME_SIZE] = {};
        const int nLength = _QChar_UnicodeToUtf8(pszNewName, buffer, QTCP_DOCNAME_SIZE - 1);
        if (pCore->RenameDocument(lID, buffer, nLength) != 1)
            return -1031;

        // The item shows what the device now holds, which is the name as sent.
        const CString strSent(vesk::Utf8ToWide(std::string_view(buffer, nLength)));
        m_strItemName = strSent;
        const wchar_t* pszExt = CUtility::FileTypeExtension(m_nFileType);
        if (pszExt && m_nFileType != kTypeWithoutExtension)
            m_strDispDocname = strSent + pszExt;
        return 1;
    } catch (const std::bad_alloc&) {
        return -1001;
    }
}
