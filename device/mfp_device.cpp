// CVESKMFPDevice: construction, copying, conversions and the box-list bookkeeping
// that needs no device session.
#include "device/mfp_device.h"

#include <memory>

#include "cache/vesk_cache.h"
#include "core/item_list.h"
#include "platform/charset.h"

IMPLEMENT_DYNCREATE(CVESKMFPDevice, CObject)

namespace {

constexpr int kListBlockSize = 10;
constexpr int kUtf8Bytes = 1024;  // CStringToUTF8 output bound
constexpr int kWideChars = 260;   // UTF8toCString bound, terminator included

}  // namespace

void CVESKMFPDevice::CreateOwnedParts() {
    auto list = std::make_unique<ItemList>(kListBlockSize);
    auto retired = std::make_unique<ItemList>(kListBlockSize);
    m_pCache = new CVESKCache;
    m_pChildList = list.release();
    m_pRetiredBoxes = retired.release();
}

CVESKMFPDevice::CVESKMFPDevice() {
    CreateOwnedParts();
}

CVESKMFPDevice::CVESKMFPDevice(long lItemID, int nPortNo, CString strDevAddress,
                               CString strItemName, int nMFPType, int nUserType, int nAccountType,
                               int nPublicSupport, int nTCPMode, CString strMFPModel, int nCanceled,
                               int nDevOpened, int nLastAccountType, int nLastUserType,
                               int nLastTCPComm, CString, CString, int nSSLPortNo, int nIOption,
                               int nHardDiskCount)
    : m_lItemID(lItemID),
      m_nMFPType(nMFPType),
      m_nUserType(nUserType),
      m_nAccountType(nAccountType),
      m_nLastUserType(nLastUserType),
      m_nLastAccountType(nLastAccountType),
      m_nPublicSupport(nPublicSupport),
      m_nTCPMode(nTCPMode),
      m_nPortNo(nPortNo),
      m_nSSLPortNo(nSSLPortNo),
      m_nLastTCPComm(nLastTCPComm),
      m_strMFPModel(strMFPModel),
      m_strDevAddress(strDevAddress),
      m_strItemName(strItemName),
      m_strLastUserName(L"Public"),
      m_nCanceled(nCanceled),
      m_nDevOpened(nDevOpened),
      m_nIOption(nIOption),
      m_nHardDiskCount(nHardDiskCount) {
    CreateOwnedParts();
}

// The device owns its boxes as well as its cache: they go with it.
CVESKMFPDevice::~CVESKMFPDevice() {
    for (ItemList* pList : {m_pChildList, m_pRetiredBoxes}) {
        if (!pList)
            continue;
        for (POSITION pos = pList->GetHeadPosition(); pos;)
            delete pList->GetNext(pos);
        delete pList;
    }
    delete m_pCache;
}

CVESKMFPDevice& CVESKMFPDevice::operator=(CVESKMFPDevice* pOther) {
    if (!pOther || pOther == this)
        return *this;
    // Strings first: they are the only copies that can fail, and a failure then leaves
    // this object unchanged.
    CString model = pOther->m_strMFPModel;
    CString unit = pOther->m_strDevUnit;
    CString address = pOther->m_strDevAddress;
    CString name = pOther->m_strItemName;
    CString accountName = pOther->m_strLastAccountName;
    CString userName = pOther->m_strLastUserName;

    m_nUserType = pOther->m_nUserType;
    m_nAccountType = pOther->m_nLastAccountType;
    m_nLastUserType = pOther->m_nLastUserType;
    m_nLastAccountType = pOther->m_nLastAccountType;
    m_nPublicSupport = pOther->m_nPublicSupport;
    m_nTCPMode = pOther->m_nTCPMode;
    m_nPortNo = pOther->m_nPortNo;
    m_nSSLPortNo = pOther->m_nSSLPortNo;
    m_strMFPModel = std::move(model);
    m_strDevUnit = std::move(unit);
    m_strDevAddress = std::move(address);
    m_strItemName = std::move(name);
    m_strLastAccountName = std::move(accountName);
    m_strLastUserName = std::move(userName);
    m_nCanceled = pOther->m_nCanceled;
    m_nDevOpened = pOther->m_nDevOpened;
    m_nConnected = pOther->m_nConnected;
    m_nBoxLogin = pOther->m_nBoxLogin;
    m_docOperationPermission = pOther->m_docOperationPermission;
    m_nLastTCPComm = pOther->m_nLastTCPComm;
    m_nIOption = pOther->m_nIOption;
    m_nHardDiskCount = pOther->m_nHardDiskCount;
    return *this;
}

int CVESKMFPDevice::CStringToUTF8(CString str, int, char* pszOut) {
    if (!pszOut)
        return 0;
    pszOut[0] = '\0';
    return _QChar_UnicodeToUtf8(str.GetString(), pszOut, kUtf8Bytes);
}

CString CVESKMFPDevice::UTF8toCString(const char* pszUtf8) {
    if (!pszUtf8)
        return CString();
    wchar_t buffer[kWideChars];
    _QChar_Utf8ToUnicode(pszUtf8, buffer, kWideChars);
    return CString(buffer);
}

int CVESKMFPDevice::UpdateList(CVESKItem* pNewItem) {
    if (!pNewItem || pNewItem->GetItemObjectType() != 2)
        return 1;
    return vesk::ReplaceRetiringOld(*m_pChildList, *m_pRetiredBoxes, pNewItem);
}
