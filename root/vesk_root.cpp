// CVESKRoot: device listing, registration, unregistration and lookups.
#include "root/vesk_root.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <new>

#include "box/box_level.h"
#include "cache/vesk_cache.h"
#include "device/mfp_device.h"
#include "document/document_level.h"
#include "platform/charset.h"
#include "platform/fs.h"
#include "registry/device_registry_file.h"
#include "settings/device_search.h"

IMPLEMENT_DYNCREATE(CVESKRoot, CObject)

using vesk::DeviceRegistryEntry;
using vesk::DeviceRegistryFile;

namespace {

constexpr int kListBlockSize = 10;
// The shell's path limit in the Windows build; deletion refuses longer paths.
constexpr size_t kMaxDeletePath = 260;
// SSL port a registered device starts with before the caller's value is set.
constexpr int kDefaultSSLPort = 59159;
// The registry file cannot be loaded, locked, kept aside or saved.
constexpr int kRegistryFileFailed = -1018;

CVESKMFPDevice* AsDevice(CVESKItem* pItem) {
    return DYNAMIC_DOWNCAST(CVESKMFPDevice, pItem);
}

// The device search marks the devices this root has registered.
class RegisteredDevices : public vesk::IRegisteredDevices {
public:
    explicit RegisteredDevices(CVESKRoot* pRoot) : m_pRoot(pRoot) {}
    int IsRegisteredDevice(wchar_t* pszAddress) override {
        return m_pRoot->IsRegisteredDevice(pszAddress);
    }
    int GetRegisteredName(wchar_t* pszName, int nSize, const wchar_t* pszAddress) override {
        return m_pRoot->GetRegisteredName(pszName, nSize, pszAddress);
    }

private:
    CVESKRoot* m_pRoot;
};

}  // namespace

CVESKRoot::CVESKRoot() {
    auto list = std::make_unique<ItemList>(kListBlockSize);
    auto cache = std::make_unique<CVESKCache>();
    cache->LoadParameterFromRegistry();
    auto registered = std::make_unique<RegisteredDevices>(this);
    auto search = std::make_unique<CDeviceSearch>(registered.get());
    m_pChildList = list.release();
    m_pCache = cache.release();
    m_pRegistered = std::move(registered);
    m_pSearch = search.release();
}

// The root is the last owner of every device it listed, including those of lists that a
// refresh replaced and those that UpdateList swapped out.
CVESKRoot::~CVESKRoot() {
    auto destroyList = [](ItemList* pList) {
        if (!pList)
            return;
        for (POSITION pos = pList->GetHeadPosition(); pos;)
            delete pList->GetNext(pos);
        delete pList;
    };
    destroyList(m_pChildList);
    for (ItemList* pList : m_retiredLists)
        destroyList(pList);
    for (CVESKItem* pItem : m_retiredItems)
        delete pItem;
    delete m_pSearch;
    delete m_pCache;
}

// The levels keep no state of their own: one of each serves every root.
vesk::IDeviceBoxes& CVESKRoot::GetDeviceBoxes() {
    static vesk::BoxLevel boxes;
    return boxes;
}

vesk::IBoxDocuments& CVESKRoot::GetBoxDocuments() {
    static vesk::DocumentLevel documents;
    return documents;
}

CVESKRoot& CVESKRoot::operator=(CVESKRoot* pOther) {
    if (pOther)
        m_strItemName = pOther->m_strItemName;
    return *this;
}

int CVESKRoot::Connect(PFN_VESK_COMMSTATE, CString) {
    return 1;
}
int CVESKRoot::ModifyItem(ITEMINFO&, CString) {
    return 1;
}
int CVESKRoot::RenameItem(const wchar_t*, CString) {
    return 1;
}

int CVESKRoot::GetChildList(int bRefresh) {
    try {
        if (m_pChildList && !m_pChildList->IsEmpty() && bRefresh == 0)
            return 1;

        auto fresh = std::make_unique<ItemList>(kListBlockSize);
        if (m_pChildList) {
            m_retiredLists.push_back(m_pChildList);
        }
        m_pChildList = fresh.release();

        DeviceRegistryFile file;
        const DeviceRegistryFile::LoadResult loaded =
            file.Load(DeviceRegistryFile::PathFor(m_strDeviceInfoPath));
        m_strRegistryFileProblem = CString(vesk::Utf8ToWide(file.Problem()));
        m_nRegistryFileStatus = loaded == DeviceRegistryFile::LoadResult::Loaded ? 1
                                : loaded == DeviceRegistryFile::LoadResult::Missing
                                    ? 0
                                    : kRegistryFileFailed;
        if (loaded != DeviceRegistryFile::LoadResult::Loaded)
            return 1;
        for (const DeviceRegistryEntry& e : file.ReadEntries()) {
            auto device = std::make_unique<CVESKMFPDevice>();
            device->SetItemID(e.id);
            device->SetItemName(e.name);
            device->SetDevAddress(e.address);
            device->SetPortNo(e.port);
            device->SetSSLPortNo(e.portSSL);
            device->SetLastTCPComm(e.lastTCPComm);
            device->SetLastUserName(e.lastUserName);
            device->SetLastUserType(e.lastUserType);
            device->SetAccountType(e.lastAccountType);
            device->SetLastAccountName(e.lastAccountName);
            device->SetRoot(this);
            m_pChildList->AddTail(device.get());
            device.release();
        }
        return 1;
    } catch (const std::bad_alloc&) {
        return -1001;
    }
}

int CVESKRoot::GenerateItemID() {
    if (!m_pChildList || m_pChildList->IsEmpty())
        return 1;
    const long next = m_pChildList->GetTail()->GetItemID() + 1;
    return next > INT_MAX || next < INT_MIN ? 0 : static_cast<int>(next);
}

int CVESKRoot::NewItemID(const std::vector<long>& idsInFile) {
    // Another process, or a root that has not listed yet, may know less than the file.
    const int fromList = GenerateItemID();
    if (fromList > 0 &&
        std::find(idsInFile.begin(), idsInFile.end(), fromList) == idsInFile.end()) {
        return fromList;
    }
    long largest = 0;
    for (long id : idsInFile)
        largest = std::max(largest, id);
    if (largest < INT_MAX)
        return static_cast<int>(largest + 1);
    // A hand-edited file took the largest id: the smallest free one will do.
    std::vector<long> sorted(idsInFile);
    std::sort(sorted.begin(), sorted.end());
    long next = 1;
    for (long id : sorted) {
        if (id == next)
            ++next;
        else if (id > next)
            break;
    }
    return static_cast<int>(next);
}

int CVESKRoot::AddChildItem(ITEMINFO& info) {
    try {
        if (info.nPort == 0 || info.strIP.IsEmpty() || info.strName.IsEmpty())
            return 0;
        // The address later names the device's settings folder.
        if (!vesk::IsSafeFolderName(info.strIP))
            return 0;

        const CString path = DeviceRegistryFile::PathFor(m_strDeviceInfoPath);
        if (m_strDeviceInfoPath.IsEmpty())
            DeviceRegistryFile::CreateDefaultFolders();

        // Load, change and save as the only writer, so that no other registration
        // or deletion falls between and is lost.
        const auto lock = DeviceRegistryFile::LockForWriting(path);
        if (!lock)
            return kRegistryFileFailed;
        DeviceRegistryFile file;
        DeviceRegistryFile::LoadResult loaded = file.Load(path);
        if (loaded != DeviceRegistryFile::LoadResult::Loaded || !file.HasList()) {
            // A file that exists but cannot be used is replaced by a new one; keep it
            // aside first so the entries in it can still be recovered, and leave it
            // alone when that is not possible.
            if (loaded != DeviceRegistryFile::LoadResult::Missing &&
                !DeviceRegistryFile::KeepBackup(path)) {
                return kRegistryFileFailed;
            }
            file.StartNew();
        }

        DeviceRegistryEntry entry;
        entry.id = NewItemID(file.Ids());
        entry.name = info.strName;
        entry.address = info.strIP;
        entry.port = info.nPort;
        entry.portSSL = info.nPortSSL;
        entry.lastTCPComm = info.nLastTCPComm;
        entry.lastUserName = info.strLastUserName;
        entry.lastUserType = info.nLastUserType;
        entry.lastAccountType = info.nLastAccountType;
        entry.lastAccountName = info.strLastAccountName;
        file.Append(entry);

        // Everything that can run out of memory happens before the file changes, so a
        // -1001 leaves both the file and the list as they were.
        auto device = std::make_unique<CVESKMFPDevice>(
            entry.id, info.nPort, info.strIP, info.strName, 0, 0, 0, 0, 0, CString(), 0, 0, 0, 0, 0,
            CString(), CString(), kDefaultSSLPort, 0, -1);
        device->SetSSLPortNo(info.nPortSSL);
        device->SetRoot(this);
        POSITION pos = m_pChildList->AddTail(device.get());
        bool saved = false;
        try {
            saved = file.Save(path);  // a failed save leaves the file as it was
        } catch (...) {
            m_pChildList->RemoveAt(pos);
            throw;
        }
        if (!saved) {
            m_pChildList->RemoveAt(pos);
            return kRegistryFileFailed;
        }
        device.release();
        return 1;
    } catch (const std::bad_alloc&) {
        return -1001;
    }
}

int CVESKRoot::DeleteChildItem(int nID, CString) {
    try {
        const CString path = DeviceRegistryFile::PathFor(m_strDeviceInfoPath);
        CString key;
        key.Format(L"%d", nID);

        const auto lock = DeviceRegistryFile::LockForWriting(path);
        if (!lock)
            return kRegistryFileFailed;
        DeviceRegistryFile file;
        if (file.Load(path) != DeviceRegistryFile::LoadResult::Loaded)
            return kRegistryFileFailed;

        // Every entry with that id leaves the file in one save; the items follow only
        // once the file has changed.
        int removed = 0;
        while (file.RemoveFirst(key))
            ++removed;
        if (removed == 0)
            return 1;
        if (!file.Save(path))
            return kRegistryFileFailed;

        for (; removed > 0; --removed) {
            for (POSITION pos = m_pChildList->GetHeadPosition(); pos;) {
                POSITION at = pos;
                CVESKItem* pItem = m_pChildList->GetNext(pos);
                if (pItem->GetItemID() != nID)
                    continue;
                m_pChildList->RemoveAt(at);
                std::unique_ptr<CVESKItem> gone(pItem);
                if (CVESKMFPDevice* pDevice = AsDevice(pItem)) {
                    DeleteViewSettingOnDeviceIPChangeOrDeviceDeleteOrBoxDelete(
                        pDevice->GetDevAddress(), -1);
                }
                CString cacheDir;
                const int hasCache = m_pCache ? m_pCache->GetCacheDirectory(cacheDir) : 0;
                if (hasCache == -1001)
                    throw std::bad_alloc();
                if (hasCache == 1 && !cacheDir.IsEmpty()) {
                    CString folder;
                    folder.Format(L"%s%c%d", cacheDir.GetString(), vesk::fs::kPathSeparator, nID);
                    DeleteFolder(folder);
                }
                break;
            }
        }
        return 1;
    } catch (const std::bad_alloc&) {
        return -1001;
    }
}

int CVESKRoot::UpdateList(CVESKItem* pNewItem) {
    CVESKMFPDevice* pDevice = AsDevice(pNewItem);
    if (!pDevice || !m_pChildList)
        return 1;
    // An item already in the list must not enter it twice.
    if (m_pChildList->Find(pNewItem))
        return 1;
    const long id = pDevice->GetItemID();
    for (POSITION pos = m_pChildList->GetHeadPosition(); pos;) {
        POSITION at = pos;
        CVESKItem* pOld = m_pChildList->GetNext(pos);
        if (pOld->GetItemID() != id)
            continue;
        try {
            m_retiredItems.reserve(m_retiredItems.size() + 1);
            m_pChildList->InsertAfter(at, pNewItem);
        } catch (const std::bad_alloc&) {
            return 1;  // the list stays as it was
        }
        Revive(pNewItem);
        m_pChildList->RemoveAt(at);
        m_retiredItems.push_back(pOld);  // cannot throw: reserved above
        pDevice->SetRoot(this);
        break;
    }
    return 1;
}

void CVESKRoot::Revive(CVESKItem* pItem) {
    m_retiredItems.erase(std::remove(m_retiredItems.begin(), m_retiredItems.end(), pItem),
                         m_retiredItems.end());
    for (ItemList* pList : m_retiredLists) {
        while (POSITION pos = pList->Find(pItem))
            pList->RemoveAt(pos);
    }
}

void CVESKRoot::DeleteFolder(CString strPath) {
    // A path is deleted whole or not at all: the Windows shell call this stands for
    // takes at most 260 characters, and a cut path could name a different folder.
    if (strPath.IsEmpty() || vesk::Utf16Length(strPath.str()) > kMaxDeletePath)
        return;
    try {
        vesk::fs::RemoveTree(strPath.str());
    } catch (const std::bad_alloc&) {
        // Deletion is best effort and reports nothing.
    }
}

int CVESKRoot::IsRegisteredDevice(wchar_t* pszAddress) {
    if (!pszAddress || !m_pChildList || m_pChildList->IsEmpty())
        return 0;
    for (POSITION pos = m_pChildList->GetHeadPosition(); pos;) {
        CVESKMFPDevice* pDevice = AsDevice(m_pChildList->GetNext(pos));
        if (pDevice && pDevice->GetDevAddress().Compare(pszAddress) == 0)
            return 1;
    }
    return 0;
}

int CVESKRoot::GetRegisteredName(wchar_t* pszName, int nSize, const wchar_t* pszAddress) {
    if (!m_pChildList)
        return 0;
    if (!pszName || nSize <= 0)
        return 1;  // nothing can be written
    pszName[0] = L'\0';
    if (!pszAddress)
        return 1;
    for (POSITION pos = m_pChildList->GetHeadPosition(); pos;) {
        CVESKMFPDevice* pDevice = AsDevice(m_pChildList->GetNext(pos));
        if (!pDevice || pDevice->GetDevAddress().Compare(pszAddress) != 0)
            continue;
        const CString name = pDevice->GetItemName();
        const size_t n = std::min(name.str().size(), static_cast<size_t>(nSize - 1));
        std::copy_n(name.GetString(), n, pszName);
        pszName[n] = L'\0';
        return 1;
    }
    return 1;
}

void CVESKRoot::DeleteViewSettingOnDeviceIPChangeOrDeviceDeleteOrBoxDelete(CString strAddress,
                                                                           int nBoxNo) {
    try {
        // The address is used as a folder name; one that could reach outside the
        // settings folder ("..", separators, empty) names no settings of ours.
        if (!vesk::IsSafeFolderName(strAddress))
            return;
        const CString folder = vesk::HaldProfileFolder() + strAddress;
        if (nBoxNo == -1) {
            for (POSITION pos = m_pChildList->GetHeadPosition(); pos;) {
                CVESKMFPDevice* pDevice = AsDevice(m_pChildList->GetNext(pos));
                if (pDevice && pDevice->GetDevAddress().CompareNoCase(strAddress) == 0)
                    return;
            }
            DeleteFolder(folder);
        } else {
            CString file;
            file.Format(L"%s%c%d.xml", folder.GetString(), vesk::fs::kPathSeparator, nBoxNo);
            vesk::fs::RemoveFile(file.str());
        }
    } catch (const std::bad_alloc&) {
        // Leftover settings are harmless; the caller has nothing to report.
    }
}
