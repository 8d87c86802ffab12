// CVESKMFPDevice: changes to the device's own entry in the device registry file.
#include <new>

#include "core/device_owner.h"
#include "device/mfp_device.h"
#include "registry/device_registry_file.h"

using vesk::DeviceRegistryFile;

namespace {

CString Decimal(int value) {
    CString text;
    text.Format(L"%d", value);
    return text;
}

// The registry file cannot be loaded, locked or saved.
constexpr int kRegistryFileFailed = -1018;

CString RegistryPathOf(vesk::IDeviceOwner* pRoot) {
    return DeviceRegistryFile::PathFor(pRoot ? pRoot->GetDeviceInfoPath() : CString());
}

}  // namespace

int CVESKMFPDevice::ModifyItem(ITEMINFO& info, CString) {
    try {
        if (m_nConnected)
            return -1059;
        // A new address becomes a folder name for the device's settings.
        if (!info.strIP.IsEmpty() && !vesk::IsSafeFolderName(info.strIP))
            return 0;

        const CString path = RegistryPathOf(m_pRoot);
        // The only writer from load to save: a registration or deletion by another
        // process in between would otherwise be undone by this save.
        const auto lock = DeviceRegistryFile::LockForWriting(path);
        if (!lock)
            return kRegistryFileFailed;
        DeviceRegistryFile file;
        if (file.Load(path) != DeviceRegistryFile::LoadResult::Loaded)
            return kRegistryFileFailed;

        const CString name = info.strName.IsEmpty() ? m_strItemName : info.strName;
        const CString address = info.strIP.IsEmpty() ? m_strDevAddress : info.strIP;
        const int port = info.nPort > 0 ? info.nPort : m_nPortNo;
        const int sslPort = info.nPortSSL > 0 ? info.nPortSSL : m_nSSLPortNo;
        bool changed = false;
        const bool updated = file.UpdateEntry(m_lItemID,
                                              {{"Name", name},
                                               {"IP", address},
                                               {"Port", Decimal(port)},
                                               {"PortSSL", Decimal(sslPort)},
                                               {"LastTCPComm", Decimal(m_nLastTCPComm)},
                                               {"LastUserName", m_strLastUserName},
                                               {"LastUserType", Decimal(m_nUserType)},
                                               {"LastAccountType", Decimal(m_nAccountType)},
                                               {"LastAccountName", m_strLastAccountName}},
                                              &changed);
        if (!updated)
            return 1;
        // The item changes only once the file has. A file that already holds every value
        // is not written again: every session's end records its login here, and a
        // flushed rewrite after a large download waits for the download's write-back.
        if (changed && !file.Save(path))
            return kRegistryFileFailed;

        const CString oldAddress = m_strDevAddress;
        m_strItemName = name;
        m_strDevAddress = address;
        m_nPortNo = port;
        m_nSSLPortNo = sslPort;
        m_nLastUserType = m_nUserType;
        m_nLastAccountType = m_nAccountType;
        // The settings kept under the old address belong to nothing once it changed.
        if (address != oldAddress && m_pRoot) {
            m_pRoot->DeleteViewSettingOnDeviceIPChangeOrDeviceDeleteOrBoxDelete(oldAddress, -1);
        }
        return 1;
    } catch (const std::bad_alloc&) {
        return -1001;
    }
}

int CVESKMFPDevice::RenameItem(const wchar_t* pszNewName, CString) {
    try {
        if (m_nConnected)
            return -1058;
        // A registered device always has a name.
        if (!pszNewName || !*pszNewName)
            return -1033;

        const CString path = RegistryPathOf(m_pRoot);
        const auto lock = DeviceRegistryFile::LockForWriting(path);
        if (!lock)
            return kRegistryFileFailed;
        DeviceRegistryFile file;
        if (file.Load(path) != DeviceRegistryFile::LoadResult::Loaded)
            return kRegistryFileFailed;

        if (m_pRoot) {
            ItemList* pList = m_pRoot->GetItemList();
            for (POSITION pos = pList ? pList->GetHeadPosition() : nullptr; pos;) {
                if (pList->GetNext(pos)->GetItemName().CompareNoCase(pszNewName) == 0) {
                    return -1057;
                }
            }
        }
        const CString name(pszNewName);
        if (file.UpdateEntry(m_lItemID, {{"Name", name}}) && !file.Save(path))
            return kRegistryFileFailed;
        m_strItemName = name;
        return 1;
    } catch (const std::bad_alloc&) {
        return -1001;
    }
}
