// CVESKMFPBox: construction and copying, box login and logout, the document listing
// and the box's inquiries.
#include "box/mfp_box.h"

#include <iterator>
#include <memory>
#include <new>
#include <vector>

#include "cache/vesk_cache.h"
#include "core/box_documents.h"
#include "core/device_owner.h"
#include "core/item_list.h"
#include "core/sync_lock.h"
#include "device/mfp_device.h"
#include "device/secret.h"
#include "platform/charset.h"
#include "tcpcore/tcpcore.h"

IMPLEMENT_DYNCREATE(CVESKMFPBox, CObject)

namespace {

constexpr int kListBlockSize = 10;
constexpr int kMemory = -1001;
constexpr int kRefused = -1002;
constexpr int kNoDocuments = -1011;
constexpr int kBadBoxNumber = -1019;
constexpr int kWrongPassword = -1020;
constexpr int kNotLoggedIn = -1037;
constexpr int kLogoutFailed = -1042;

// From this protocol number on the listing carries the PDF/A and Office records.
constexpr int kFirstExtendedFormats = 40;

// Box passwords go to the device in the system code page, at most 260 bytes.
typedef vesk::device::SecretText<QTCP_PASSWORD_SIZE + 1> BoxPassword;

CVESKMFPBox* AsBox(CVESKItem* pItem) {
    return pItem && pItem->GetItemObjectType() == VESK_ITEM_BOX ? dynamic_cast<CVESKMFPBox*>(pItem)
                                                                : nullptr;
}

// Moves every item of pFrom to the tail of pTo. An item is always in exactly one of
// the two lists, also when an allocation fails half-way (then it throws).
void MoveItems(CVESKItemList* pFrom, CVESKItemList* pTo) {
    while (!pFrom->IsEmpty()) {
        pTo->AddTail(pFrom->GetHead());
        pFrom->RemoveHead();
    }
}

// Destroys the documents of a list that the box owns, and the list.
void DestroyDocuments(CVESKItemList* pList) {
    if (!pList)
        return;
    for (POSITION pos = pList->GetHeadPosition(); pos;)
        delete pList->GetNext(pos);
    delete pList;
}

}  // namespace

CVESKMFPBox::CVESKMFPBox() {
    auto cache = std::make_unique<CVESKCache>();
    auto list = std::make_unique<ItemList>(kListBlockSize);
    auto retired = std::make_unique<ItemList>(kListBlockSize);
    m_pCache = cache.release();
    m_docObjList = list.release();
    m_pRetiredDocs = retired.release();
}

CVESKMFPBox::~CVESKMFPBox() {
    DestroyDocuments(m_docObjList);
    DestroyDocuments(m_pRetiredDocs);
    delete m_pCache;
}

CVESKMFPBox& CVESKMFPBox::operator=(const CVESKMFPBox* pOther) {
    if (!pOther || pOther == this)
        return *this;
    // Strings first: a failed copy then leaves this box unchanged.
    CString name = pOther->m_strItemName;
    CString user = pOther->m_strUserName;
    CString date = pOther->m_strEntryDate;
    CString password = pOther->m_strPassword;
    CString publicUser = pOther->m_strPublicUserName;

    m_strItemName = std::move(name);
    m_strUserName = std::move(user);
    m_strEntryDate = std::move(date);
    m_strPassword = std::move(password);
    m_nPasswordProtected = pOther->m_nPasswordProtected;
    m_nMain = pOther->m_nMain;
    m_nBoxLogin = pOther->m_nBoxLogin;
    m_nBoxType = pOther->m_nBoxType;
    m_nSearchChar = pOther->m_nSearchChar;
    m_nAutoDelTime = pOther->m_nAutoDelTime;
    m_lItemID = pOther->m_lItemID;
    m_nAutoDelTimeType = pOther->m_nAutoDelTimeType;
    m_nAutoDelTimeMinute = pOther->m_nAutoDelTimeMinute;
    m_strPublicUserName = std::move(publicUser);
    m_nSavePublicUserName = pOther->m_nSavePublicUserName;
    return *this;
}

void CVESKMFPBox::SetCacheObj(CVESKCache* pCache) {
    if (pCache && pCache != m_pCache)
        *m_pCache = *pCache;
}

// ---- login ---------------------------------------------------------------------

void CVESKMFPBox::LogoutDeviceBoxes() {
    bool listed = false;
    if (m_pDevice && m_pDevice->GetItemList()) {
        ItemList* pList = m_pDevice->GetItemList();
        for (POSITION pos = pList->GetHeadPosition(); pos;) {
            CVESKMFPBox* pBox = AsBox(pList->GetNext(pos));
            if (pBox == this)
                listed = true;
            if (pBox && pBox->GetBoxLogin())
                pBox->Disconnect();
        }
    }
    // A box the device no longer lists still ends the session it holds.
    if (!listed && m_nBoxLogin)
        Disconnect();
}

int CVESKMFPBox::Connect(PFN_VESK_COMMSTATE, CString strPassword) {
    vesk::device::WipeOnExit wipe(strPassword);
    try {
        CSyncMgrLock lock;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return 0;
        if (m_lItemID < 0)
            return kBadBoxNumber;

        LogoutDeviceBoxes();

        // Everything a successful login stores is made before the device is asked, so
        // that a login the device granted is always recorded.
        const BoxPassword password(strPassword);
        CString kept = strPassword;
        CString number;
        number.Format(L"%d", static_cast<int>(m_lItemID));
        CString owner = m_strUserName;
        vesk::IDeviceOwner* pRoot = m_pDevice ? m_pDevice->GetRoot() : nullptr;
        const bool remember = pRoot && pRoot->GetSaveBoxPassword() != 0;

        int refused = 0;
        if (pCore->BoxLogin(m_lItemID, password.c_str(), refused) == 1) {
            m_nBoxLogin = 1;
            m_strPassword = std::move(kept);
            if (remember)
                m_nPasswordKnown = 1;
            m_pCache->SetBoxID(number);
            m_pCache->SetBoxLogin(m_nBoxLogin);
            m_pCache->SetBoxUserName(owner);
            return 1;
        }
        vesk::device::WipeOnExit wipeKept(kept);
        int code = 0;
        int detail = 0;
        pCore->GetLastErrorCode(code, detail);
        if (code == QTCP_DEV_BOX_PASSWORD || code == QTCP_DEV_BOX_PASSWORD_NEEDED || refused != 0)
            return kWrongPassword;
        return kRefused;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPBox::Disconnect() {
    try {
        CSyncMgrLock lock;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return 0;
        if (m_lItemID < 0)
            return kBadBoxNumber;
        if (!m_nBoxLogin)
            return kNotLoggedIn;
        if (pCore->BoxLogout() != 1)
            return kLogoutFailed;
        m_nBoxLogin = 0;
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

// ---- documents -----------------------------------------------------------------

void CVESKMFPBox::RetireDocuments() {
    MoveItems(m_docObjList, m_pRetiredDocs);
}

int CVESKMFPBox::GetChildList(int bRefresh) {
    try {
        CSyncMgrLock lock;
        if (!bRefresh && !m_docObjList->IsEmpty())
            return 1;
        // The application may still show the documents of the previous listing.
        RetireDocuments();
        if (!m_nBoxLogin)
            return 0;
        m_pCache->SetBoxLogin(m_nBoxLogin);
        CTcpCore* pCore = GetCurTcpCoreObject();
        vesk::IBoxDocuments* pDocuments = Documents();
        if (!pCore || !pDocuments)
            return 0;
        std::vector<tagUTIL_DOCINFO> records;
        if (pCore->GetDocumentList(records, 1) != 1)
            return 0;
        if (records.empty())
            return kNoDocuments;

        const bool extended = m_pDevice && m_pDevice->GetTCPVersion() >= kFirstExtendedFormats;
        for (tagUTIL_DOCINFO& r : records) {
            // A type the application cannot show is not listed.
            if (auto doc = pDocuments->MakeListedDocument(*this, r, extended)) {
                m_docObjList->AddTail(doc.get());
                doc.release();
            }
        }
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

vesk::IBoxDocuments* CVESKMFPBox::Documents() const {
    vesk::IDeviceOwner* pRoot = m_pDevice ? m_pDevice->GetRoot() : nullptr;
    return pRoot ? &pRoot->GetBoxDocuments() : nullptr;
}

int CVESKMFPBox::UpdateList(CVESKItem* pNewItem) {
    vesk::IBoxDocuments* pDocuments = Documents();
    if (!pDocuments || !pDocuments->IsDocument(pNewItem))
        return 1;
    return vesk::ReplaceRetiringOld(*m_docObjList, *m_pRetiredDocs, pNewItem);
}

// ---- box operations ------------------------------------------------------------

int CVESKMFPBox::initializeRXBox() {
    try {
        CString name = L"Memory RX User Box";
        CString user = L"Public";
        m_strItemName = std::move(name);
        m_strUserName = std::move(user);
        m_strEntryDate.Empty();
        m_strPassword.Empty();
        m_nPasswordProtected = 1;
        m_nMain = 0;
        m_nBoxLogin = 0;
        m_nBoxType = 0;
        m_nSearchChar = 255;
        m_nAutoDelTime = 255;
        m_lItemID = 0;
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPBox::GetPasswordProtected() {
    if (m_pDevice && m_pDevice->GetLastUserName().CompareNoCase(L"boxadmin") == 0)
        return 0;
    return m_nPasswordProtected;
}

int CVESKMFPBox::IsPublicUserNameNeeded() {
    CTcpCore* pCore = GetCurTcpCoreObject();
    if (!pCore)
        return 0;
    int supported = -1;
    pCore->InquireSupportOfSettingUserName(supported);
    return supported == 1 ? 1 : 0;
}

int CVESKMFPBox::SetUserNameForPublicUser(CString strName) {
    CTcpCore* pCore = GetCurTcpCoreObject();
    if (!pCore)
        return 0;
    // Whole characters only, and the device's field keeps its terminating zero.
    char name[QTCP_USERNAME_SIZE] = {};
    const int length = _QChar_UnicodeToUtf8(strName.GetString(), name, QTCP_USERNAME_SIZE - 1);
    return pCore->SetUserNameDuringPublicLogin(name, length);
}

CString CVESKMFPBox::GetDocNameWithExt(CString strName, int nFileType) {
    static const wchar_t* const kExtensions[] = {L".jpg", L".tif", L".pdf",  nullptr,  L".pdf",
                                                 L".xps", L".xps", L".pptx", L".docx", L".xlsx"};
    if (nFileType < 0 || nFileType >= static_cast<int>(std::size(kExtensions)) ||
        !kExtensions[nFileType])
        return CString();
    return strName + kExtensions[nFileType];
}
