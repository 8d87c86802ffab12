// CVESKMFPBox: what changes on the device through the box item: deleting a document,
// renaming the box, changing its properties, and copying or moving documents into
// another box of the same device or (through the document level) into a local folder.
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "box/mfp_box.h"
#include "core/box_documents.h"
#include "core/item_list.h"
#include "core/sync_lock.h"
#include "device/fields.h"
#include "device/mfp_device.h"
#include "device/secret.h"
#include "platform/charset.h"
#include "platform/trace.h"
#include "tcpcore/tcpcore.h"

using vesk::device::FieldText;
using vesk::device::PutLowBytes;
using vesk::device::PutName;
using vesk::device::WipeOnExit;

namespace {

constexpr int kMemory = -1001;
constexpr int kNoIds = -1027;
constexpr int kBadId = -1027;
constexpr int kCopyFailed = -1028;
constexpr int kMoveFailed = -1029;
constexpr int kChangeRefused = -1030;
constexpr int kWrongPassword = -1020;
constexpr int kEmptyName = -1033;
constexpr int kNotLoggedIn = -1037;
constexpr int kDeleteRefused = -1038;
constexpr int kNotListed = -1039;
constexpr int kSomeNotListed = -1040;
constexpr int kRenameRefused = -1056;
constexpr int kSettingRefused = -1063;
constexpr int kNameOrOwnerRefused = -1065;

// From this protocol number on, received documents of a secured memory-RX box go only
// with the removal password.
constexpr int kFirstRxRemovalPassword = 43;
// From this protocol number on (and on the 3.1 models with the memory option) the
// automatic deletion time is sent only when the device lets this login set it.
constexpr int kFirstAutoDelPermission = 32;
constexpr int kMemoryOptionProtocol = 31;
// The device's user type for which the owner comes from the device's own record of the
// login, and for which the box administrator does not rename users' boxes.
constexpr int kServerUserType = 3;
constexpr int kServerBlockSize = 33;

typedef vesk::device::SecretText<QTCP_PASSWORD_SIZE + 1> BoxPassword;

void Trace(const char* operation, const char* text) {
    std::string line = "VESKMFPBox::";
    line += operation;
    line += ": ";
    line += text;
    OutputDebugStringA(line.c_str());
}

bool IsBoxAdmin(CVESKMFPDevice* pDevice) {
    return pDevice && pDevice->GetLastUserName().CompareNoCase(L"boxadmin") == 0;
}

}  // namespace

// ---- documents -------------------------------------------------------------------

int CVESKMFPBox::DeleteChildItem(int nDocID, CString strPassword) {
    WipeOnExit wipe(strPassword);
    try {
        CSyncMgrLock lock;
        Trace("DeleteChildItem", "start");
        if (!m_nBoxLogin)
            return kNotLoggedIn;
        vesk::IBoxDocuments* pDocuments = Documents();
        POSITION at = nullptr;
        for (POSITION pos = m_docObjList->GetHeadPosition(); pDocuments && pos;) {
            POSITION here = pos;
            CVESKItem* pItem = m_docObjList->GetNext(pos);
            if (pDocuments->IsDocument(pItem) && pItem->GetItemID() == nDocID) {
                at = here;
                break;
            }
        }
        if (!at)
            return kNotListed;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return kDeleteRefused;

        bool rxCase = false;
        if (m_pDevice && m_pDevice->GetTCPVersion() >= kFirstRxRemovalPassword && m_lItemID == 0) {
            Trace("DeleteChildItem", "This is a Vanta3rd Machine & Box is RX Box");
            rxCase = m_pDevice->GetRXDataSecured() == 1;
            Trace("DeleteChildItem", rxCase ? "RXSecured is TRUE" : "RXSecured is FALSE");
        }
        int result = 0;
        if (rxCase) {
            const BoxPassword password(strPassword);
            int refused = 0;
            result = pCore->RemoveDocument2(nDocID, password.c_str(), refused);
        } else {
            result = pCore->RemoveDocument(nDocID);
        }
        if (result != 1)
            return kDeleteRefused;
        // The application may still point at the item: it is retired with the box,
        // not destroyed.
        m_pRetiredDocs->AddTail(m_docObjList->GetAt(at));
        m_docObjList->RemoveAt(at);
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPBox::CopyMoveDocumentToBox(int bCopy, long lDestBoxID, std::vector<long> ids) {
    try {
        CSyncMgrLock lock;
        if (!m_nBoxLogin)
            return kNotLoggedIn;
        if (ids.empty())
            return kNoIds;
        const int failed = bCopy ? kCopyFailed : kMoveFailed;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return failed;
        bool missing = false;
        for (const long id : ids) {
            bool listed = false;
            for (POSITION pos = m_docObjList->GetHeadPosition(); pos && !listed;)
                listed = m_docObjList->GetNext(pos)->GetItemID() == id;
            if (!listed) {
                missing = true;
                continue;
            }
            // The earlier ones stay done: the device has no way to take them back.
            const int r =
                bCopy ? pCore->CopyDocument(id, lDestBoxID) : pCore->MoveDocument(id, lDestBoxID);
            if (r != 1)
                return failed;
        }
        // A moved document stays listed until the list is built again.
        return missing ? kSomeNotListed : 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPBox::CopyMoveDocumentToFolder(int bCopy, CString& strPath, int nDocID, int bOverwrite,
                                          int nFileType, int nPage,
                                          QTCP_RECVDATA_CALLBACK pfnCallback) {
    try {
        if (m_nBoxLogin == 0)
            return kNotLoggedIn;
        if (nDocID <= 0)
            return kBadId;
        CVESKItem* pDoc = nullptr;
        for (POSITION pos = m_docObjList->GetHeadPosition(); pos && !pDoc;) {
            CVESKItem* pItem = m_docObjList->GetNext(pos);
            if (pItem && pItem->GetItemID() == nDocID)
                pDoc = pItem;
        }
        vesk::IBoxDocuments* pDocuments = Documents();
        if (!pDoc || !pDocuments || !pDocuments->IsDocument(pDoc))
            return kSomeNotListed;  // the code of an id not listed, as for a copy into a box
        return pDocuments->CopyToFolder(*this, *pDoc, bCopy, strPath, bOverwrite, nFileType, nPage,
                                        pfnCallback);
    } catch (const std::exception&) {
        return kMemory;
    }
}

// ---- the box itself --------------------------------------------------------------

int CVESKMFPBox::RenameItem(const wchar_t* pszNewName, CString strParam) {
    WipeOnExit wipe(strParam);
    try {
        CSyncMgrLock lock;
        // Refused without asking: the device would not do it for this login.
        if (m_pDevice && m_pDevice->GetUserType() == kServerUserType && IsBoxAdmin(m_pDevice) &&
            m_nBoxType == 1)
            return kRenameRefused;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return kRenameRefused;
        // The device renames only a box nobody is logged into.
        const bool wasLoggedIn = m_nBoxLogin != 0;
        if (wasLoggedIn && Disconnect() != 1)
            return kRenameRefused;
        if (!pszNewName || pszNewName[0] == L'\0')
            return kEmptyName;

        char name[QTCP_BOXNAME_SIZE] = {};
        const int length = _QChar_UnicodeToUtf8(pszNewName, name, QTCP_BOXNAME_SIZE - 1);
        const BoxPassword password(strParam);
        // Made before the device is asked, so that a rename it did is always recorded:
        // the name as the device now keeps it.
        CString sent = FieldText(name);
        int refused = 0;
        const int result = pCore->RenameBox(m_lItemID, name, length, password.c_str(), refused);
        int code = 0;
        int detail = 0;
        if (result != 1)
            pCore->GetLastErrorCode(code, detail);
        // Whatever the device answered, the box is open again as it was.
        if (wasLoggedIn)
            Connect(nullptr, strParam);
        if (result == 1) {
            m_strItemName = std::move(sent);
            return 1;
        }
        if (refused == 1)
            return kWrongPassword;
        return code == QTCP_DEV_BOX_NAME_IN_USE ? kNameOrOwnerRefused : kRenameRefused;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPBox::ModifyItem(ITEMINFO& info, CString strParam) {
    WipeOnExit wipe(strParam);
    try {
        CSyncMgrLock lock;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore || !m_pDevice)
            return kChangeRefused;

        tagUTIL_BOXPROPINFO prop{};
        unsigned short mask = QTCP_BOXPROP_NAME;
        PutName(prop.szBoxName, info.strBoxName);
        // The box administrator leaves a password alone by giving none.
        if (!(IsBoxAdmin(m_pDevice) && info.strBoxPassword.IsEmpty()))
            mask |= QTCP_BOXPROP_PASSWORD;
        const BoxPassword current(strParam);
        const BoxPassword next(info.strBoxPassword);

        mask |= QTCP_BOXPROP_TYPE;
        prop.nBoxType = info.nBoxType;
        prop.nBoxValueB = info.nBoxValueB;
        switch (info.nBoxValueB) {
            case 1:  // a user's box
                mask |= QTCP_BOXPROP_OWNER;
                prop.nBoxValueA = info.nBoxValueA;
                if (info.nBoxValueA == 1) {
                    PutLowBytes(prop.szBoxTextA, info.strBoxTextA);
                    mask |= QTCP_BOXPROP_TEXTA;
                } else if (info.nBoxValueA == 2) {
                    PutLowBytes(prop.szBoxTextB, info.strBoxTextB);
                }
                if (m_pDevice->GetUserType() == kServerUserType) {
                    // The device names a server user by its own record of the login.
                    char user[QTCP_USERNAME_SIZE] = {};
                    char server[kServerBlockSize] = {};
                    if (pCore->GetUserInfo4CurrentUser(user, server) == 0)
                        return 0;
                    user[QTCP_USERNAME_SIZE - 1] = '\0';
                    std::memcpy(prop.szUserName, user, sizeof(prop.szUserName));
                    std::memcpy(prop.szBoxTextA, server, sizeof(prop.szBoxTextA));
                } else {
                    PutName(prop.szUserName, info.strBoxUserName);
                }
                break;
            case 2:  // an account's box
                mask |= QTCP_BOXPROP_OWNER;
                PutName(prop.szUserName, info.strBoxUserName);
                break;
            case 0:
                break;
            default:
                return kChangeRefused;
        }

        mask |= QTCP_BOXPROP_INDEX;
        prop.nSearchChar = info.nSearchChar;
        prop.nMain = info.nMain;
        prop.nAutoDelTimeType = info.nAutoDelTimeType;
        prop.nAutoDelTimeMinute = info.nAutoDelTimeMinute;
        const int protocol = m_pDevice->GetTCPVersion();
        const bool askPermission =
            protocol >= kFirstAutoDelPermission ||
            (protocol == kMemoryOptionProtocol &&
             (m_pDevice->GetDovaMioptionFlg() != 0 || m_pDevice->GetRookMioptionFlg() != 0));
        if (!askPermission || m_pDevice->GetBoxAutoDeletTimePermission() != 0) {
            mask |= QTCP_BOXPROP_AUTODEL;
            prop.nAutoDelTime = info.nAutoDelTime;
        }

        // The device changes only a box nobody is logged into.
        const bool wasLoggedIn = m_nBoxLogin != 0;
        if (wasLoggedIn && Disconnect() != 1)
            return kChangeRefused;

        // Protocol 1.2 devices take the name and the password only, and only changes.
        if (m_pDevice->GetMajorVersion() == 1 && m_pDevice->GetMinorVersion() == 2) {
            mask = 0;
            if (info.strBoxName.str() != m_strItemName.str())
                mask |= QTCP_BOXPROP_NAME;
            if (info.strBoxPassword.str() != m_strPassword.str())
                mask |= QTCP_BOXPROP_PASSWORD;
        }
        prop.wMask = mask;

        // What the item takes on success is made before the device is asked, so that a
        // change the device made is always recorded; the item keeps only what was sent.
        CString name = FieldText(prop.szBoxName);
        CString owner = FieldText(prop.szUserName);
        CString newPassword = info.strBoxPassword;
        CString relogin = (mask & QTCP_BOXPROP_PASSWORD) ? newPassword : strParam;
        WipeOnExit wipeNew(newPassword);
        WipeOnExit wipeRelogin(relogin);

        int refused = 0;
        const int result =
            pCore->ChangeBoxSetting(m_lItemID, prop, current.c_str(), next.c_str(), refused);
        if (result == 1) {
            if (mask & QTCP_BOXPROP_NAME)
                m_strItemName = std::move(name);
            if (mask & QTCP_BOXPROP_TYPE)
                m_nBoxType = info.nBoxType;
            if (mask & QTCP_BOXPROP_OWNER)
                m_strUserName = std::move(owner);
            if (mask & QTCP_BOXPROP_INDEX) {
                m_nSearchChar = info.nSearchChar;
                m_nMain = info.nMain;
                m_nAutoDelTimeType = info.nAutoDelTimeType;
                m_nAutoDelTimeMinute = info.nAutoDelTimeMinute;
            }
            if (mask & QTCP_BOXPROP_AUTODEL)
                m_nAutoDelTime = info.nAutoDelTime;
            if (mask & QTCP_BOXPROP_PASSWORD) {
                m_nPasswordProtected = newPassword.IsEmpty() ? 0 : 1;
                std::swap(m_strPassword, newPassword);
            }
            // With the password the box has now.
            if (wasLoggedIn)
                Connect(nullptr, relogin);
            return 1;
        }
        int code = 0;
        int detail = 0;
        pCore->GetLastErrorCode(code, detail);
        if (wasLoggedIn)
            Connect(nullptr, strParam);
        if (code == QTCP_DEV_BOX_SETTING)
            return kSettingRefused;
        if (code == QTCP_DEV_BOX_OWNER)
            return kNameOrOwnerRefused;
        return refused == 1 ? kWrongPassword : kChangeRefused;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}
