// CVESKMFPDevice: the box list and box administration (create, delete, new password)
// and the removal of a box's local folders.
#include <memory>
#include <new>
#include <vector>

#include "cache/utility.h"
#include "cache/vesk_cache.h"
#include "core/device_boxes.h"
#include "core/device_owner.h"
#include "core/sync_lock.h"
#include "device/fields.h"
#include "device/mfp_device.h"
#include "device/secret.h"
#include "platform/charset.h"
#include "platform/fs.h"
#include "tcpcore/tcpcore.h"

using vesk::device::WipeOnExit;

namespace {

constexpr int kMemory = -1001;
constexpr int kListFailed = -1007;
constexpr int kNoBoxes = -1010;
constexpr int kNotConnected = -1012;
constexpr int kWrongPassword = -1020;
constexpr int kEmptyBoxName = -1023;
constexpr int kCreateRefused = -1024;
constexpr int kDeleteRefused = -1025;
constexpr int kNoCacheFolder = -1036;
constexpr int kFolderNotRemoved = -1061;
constexpr int kBoxLimit = -1063;

// A folder that cannot be removed is moved aside to the first free "<folder>_<n>";
// past this many names in use the removal gives up.
constexpr int kMaxAsideNames = 10000;

// Box passwords go to the device in the system code page, at most 260 bytes.
using vesk::device::PutLowBytes;
using vesk::device::PutName;

typedef vesk::device::SecretText<QTCP_PASSWORD_SIZE + 1> BoxPassword;

// The box level, through the owner: a device without one has no box items.
vesk::IDeviceBoxes* BoxLevelOf(vesk::IDeviceOwner* pOwner) {
    return pOwner ? &pOwner->GetDeviceBoxes() : nullptr;
}

}  // namespace

// ---- box list --------------------------------------------------------------------

int CVESKMFPDevice::GetChildList(int bRefresh) {
    try {
        CSyncMgrLock lock;
        if (!bRefresh && !m_pChildList->IsEmpty())
            return 1;

        // The boxes listed so far may still be held by the application: they are
        // retired, not destroyed, and the new items take over what they carry.
        std::vector<CVESKItem*> kept;
        kept.reserve(static_cast<std::size_t>(m_pChildList->GetCount()));
        for (POSITION pos = m_pChildList->GetHeadPosition(); pos;)
            kept.push_back(m_pChildList->GetNext(pos));
        while (!m_pChildList->IsEmpty()) {
            m_pRetiredBoxes->AddTail(m_pChildList->GetHead());
            m_pChildList->RemoveHead();
        }

        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!m_nConnected || !pCore)
            return kNotConnected;
        vesk::IDeviceBoxes* pBoxes = BoxLevelOf(m_pRoot);
        if (!pBoxes)
            return kListFailed;

        auto append = [&](std::unique_ptr<CVESKItem> box) {
            pBoxes->TakeOver(*box, kept);
            m_pChildList->AddTail(box.get());
            box.release();
        };

        if (auto rx = pBoxes->MakeRXBox(*this))
            append(std::move(rx));

        int listed = 0;
        auto appendAll = [&](const std::vector<tagUTIL_BOXINFO>& records, bool filing) {
            for (const tagUTIL_BOXINFO& r : records) {
                append(pBoxes->MakeListedBox(*this, r, filing));
                ++listed;
            }
        };

        std::vector<tagUTIL_BOXINFO> records;
        if (pCore->GetBoxList(records) != 1)
            return kListFailed;
        appendAll(records, false);

        if (!m_nConnected)
            return kNotConnected;
        if (m_nHardDiskCount != 0) {
            records.clear();
            if (pCore->GetFilingNumberBoxList(records) == 1)
                appendAll(records, true);
        }
        return listed == 0 ? kNoBoxes : 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

// ---- creation --------------------------------------------------------------------

int CVESKMFPDevice::AddChildItem(ITEMINFO& info) {
    try {
        CSyncMgrLock lock;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!m_nConnected || !pCore)
            return kNotConnected;
        if (info.strBoxName.IsEmpty())
            return kEmptyBoxName;

        tagUTIL_BOXCREATEINFO record{};
        PutName(record.szUserName, info.strBoxUserName);
        record.nBoxType = info.nBoxType;
        record.nBoxValueC = info.nBoxValueC;
        record.nBoxValueD = info.nBoxValueD;
        PutName(record.szBoxName, info.strBoxName);
        record.nSearchChar = info.nSearchChar;
        record.nMain = info.nMain;
        record.nAutoDelTime = info.nAutoDelTime;
        PutLowBytes(record.szBoxTextA, info.strBoxTextA);
        PutLowBytes(record.szBoxTextB, info.strBoxTextB);
        record.nBoxValueA = info.nBoxValueA;
        record.nBoxValueB = info.nBoxValueB;
        record.nAutoDelTimeType = info.nAutoDelTimeType;
        record.nAutoDelTimeMinute = info.nAutoDelTimeMinute;
        const BoxPassword password(info.strBoxPassword);

        vesk::IDeviceBoxes* pBoxes = BoxLevelOf(m_pRoot);
        if (!pBoxes)
            return kCreateRefused;
        // Made before the device is asked: a box the device created is then listed.
        std::unique_ptr<CVESKItem> box = pBoxes->MakeCreatedBox(*this, info, record);
        const int number = pCore->CreateBox(record, password.c_str());
        if (number < 0) {
            int code = 0;
            int detail = 0;
            pCore->GetLastErrorCode(code, detail);
            return code == QTCP_DEV_BOX_CREATE ? kBoxLimit : kCreateRefused;
        }

        // Only a box this user may see joins the list.
        const CString& owner = info.strBoxUserName;
        const bool visible =
            m_nLastUserType == 0 || info.nBoxType == 0 ||
            (info.nBoxType == 2 && owner.CompareNoCase(m_strLastAccountName) == 0) ||
            (info.nBoxType != 2 && owner.CompareNoCase(m_strLastUserName) == 0) ||
            m_strLastUserName.CompareNoCase(L"boxadmin") == 0;
        if (!visible)
            return 1;
        pBoxes->SetBoxNumber(*box, number);
        m_pChildList->AddTail(box.get());
        box.release();
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

// ---- deletion --------------------------------------------------------------------

int CVESKMFPDevice::DeleteChildItem(int nBoxNo, CString strPassword) {
    WipeOnExit wipe(strPassword);
    try {
        CSyncMgrLock lock;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!m_nConnected || !pCore)
            return kNotConnected;

        vesk::IDeviceBoxes* pBoxes = BoxLevelOf(m_pRoot);
        POSITION at = nullptr;
        for (POSITION pos = m_pChildList->GetHeadPosition(); pBoxes && pos;) {
            POSITION here = pos;
            CVESKItem* pBox = m_pChildList->GetNext(pos);
            if (pBoxes->IsBox(pBox) && pBox->GetItemID() == nBoxNo) {
                // The box in use is never removed; the device is not even asked.
                if (pBoxes->IsLoggedIn(*pBox))
                    return kDeleteRefused;
                at = here;
                break;
            }
        }
        const BoxPassword password(strPassword);
        int detail = 0;
        if (pCore->RemoveBox(nBoxNo, password.c_str(), detail) != 1)
            return detail != 0 ? kWrongPassword : kDeleteRefused;
        if (at) {
            // The application may still hold the item: it is retired, not destroyed.
            m_pRetiredBoxes->AddTail(m_pChildList->GetAt(at));
            m_pChildList->RemoveAt(at);
        }

        CVESKCache* pRootCache = m_pRoot ? m_pRoot->GetCache() : nullptr;
        CString cacheDir;
        CString tempDir;
        if (!pRootCache || pRootCache->GetCacheDirectory(cacheDir) != 1 ||
            pRootCache->GetTempFileRootDir(tempDir) != 1)
            return kNoCacheFolder;
        CString device;
        device.Format(L"%ld", m_lItemID);
        CString box;
        box.Format(L"%d", nBoxNo);
        for (const CString& root : {cacheDir, tempDir}) {
            if (root.IsEmpty() || !vesk::fs::CanReadWrite(root.str()))
                continue;
            const CString folder = CUtility::JoinPath(CUtility::JoinPath(root, device), box);
            if (vesk::fs::IsDirectory(folder.str()))
                DeleteWindowFolder(folder);
        }
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::DeleteWindowFolder(const CString& strFolder) {
    try {
        if (strFolder.IsEmpty())
            return kFolderNotRemoved;
        if (vesk::fs::RemoveTree(strFolder.str()))
            return 1;
        for (int n = 1; n <= kMaxAsideNames; ++n) {
            CString aside;
            aside.Format(L"%s_%d", strFolder.GetString(), n);
            if (vesk::fs::Exists(aside.str()))
                continue;
            return vesk::fs::MoveFile(strFolder.str(), aside.str()) ? 1 : kFolderNotRemoved;
        }
        return kFolderNotRemoved;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

// ---- password ----------------------------------------------------------------------

int CVESKMFPDevice::ChangeBoxPassword(CVESKItem* pItem, CString strNewPassword, int& nDetail) {
    WipeOnExit wipe(strNewPassword);
    try {
        CSyncMgrLock lock;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!m_nConnected || !pCore)
            return kNotConnected;
        vesk::IDeviceBoxes* pBoxes = BoxLevelOf(m_pRoot);
        if (!pBoxes || !pBoxes->IsBox(pItem))
            return kNotConnected;
        const int result = pBoxes->ChangePassword(*pItem, strNewPassword, nDetail);
        if (result != 1)
            return result;
        UpdateList(pItem);
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}
