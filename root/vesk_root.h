// CVESKRoot: the root of the item tree. It lists the registered devices from the
// device registry file, registers and unregisters devices, answers address lookups,
// clears the per-device files left behind, and holds the user's options
// (root/options.cpp).
#pragma once

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "core/device_owner.h"
#include "core/item.h"
#include "platform/collections.h"
#include "platform/cstring.h"
#include "platform/export.h"
#include "registry/view_settings_file.h"
#include "settings/device_search.h"

class CDeviceSearch;
class CVESKCache;
class CVESKMFPDevice;
namespace vesk {
class IRegisteredDevices;
}

class VESK_API CVESKRoot : public CVESKItem, public vesk::IDeviceOwner {
    DECLARE_DYNCREATE(CVESKRoot)

public:
    typedef CVESKItemList ItemList;

    CVESKRoot();
    ~CVESKRoot() override;
    CVESKRoot(const CVESKRoot&) = delete;
    // Copies the item name only.
    CVESKRoot& operator=(CVESKRoot* pOther);

    // ---- item interface ----------------------------------------------------
    int GetItemObjectType() override { return 0; }
    int GetChildList(int bRefresh) override;
    int Connect(PFN_VESK_COMMSTATE pfnCommState, CString strUnused) override;
    int DeleteChildItem(int nID, CString strUnused) override;
    long GetItemID() override { return -1; }
    CString GetItemName() override { return m_strItemName; }
    int AddChildItem(ITEMINFO& info) override;
    int Disconnect() override { return 1; }
    int UpdateList(CVESKItem* pNewItem) override;
    int ModifyItem(ITEMINFO& info, CString strUnused) override;
    int RenameItem(const wchar_t* pszNewName, CString strUnused) override;

    // The registered devices, in display order (null never: the constructor makes it).
    ItemList* GetItemList() const override { return m_pChildList; }
    // The root's cache settings and folders.
    CVESKCache* GetCache() const override { return m_pCache; }
    // The device search with its MIB handle and OID filter lists; it asks this root
    // whether an address is registered.
    CDeviceSearch* GetDeviceSearch() const { return m_pSearch; }

    // ---- registered devices -------------------------------------------------
    // Deletes the folder (or file) at strPath with everything below it.
    void DeleteFolder(CString strPath);
    int IsRegisteredDevice(wchar_t* pszAddress);
    int GetRegisteredName(wchar_t* pszName, int nSize, const wchar_t* pszAddress);
    // nBoxNo -1: the device folder of strAddress, unless another device still has that
    // address; otherwise the view settings file of that box.
    void DeleteViewSettingOnDeviceIPChangeOrDeviceDeleteOrBoxDelete(CString strAddress,
                                                                    int nBoxNo) override;
    // How the last GetChildList found the device registry file: 1 read, 0 missing,
    // -1018 present but unreadable. An unreadable file lists as empty, and the next
    // AddChildItem keeps it aside (DeviceRegistryFile::NextBackupName) before starting
    // a new one; GetRegistryFileProblem says what is wrong with it.
    int GetRegistryFileStatus() const { return m_nRegistryFileStatus; }
    CString GetRegistryFileProblem() const { return m_strRegistryFileProblem; }
    CString GetDeviceInfoPath() override { return m_strDeviceInfoPath; }
    void SetDeviceInfoPath(CString strPath) { m_strDeviceInfoPath = strPath; }
    CString GetRegInfoPath() { return m_strRegInfoPath; }
    void SetRegInfoPath(CString strPath) { m_strRegInfoPath = strPath; }

    // ---- device filter (root/device_filter.cpp) ------------------------------
    // Reads the MIB filter file afresh and tells whether it accepts the device
    // identifier (1) or not (0); a missing filter file accepts nothing. May throw
    // std::bad_alloc.
    int IsAcceptedDeviceId(const CString& strDeviceId) override;

    // ---- device search (root/root_search.cpp) ----------------------------
    // The root's search object does the work; these keep the root's own interface.
    int SearchDevice(CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&>& results);
    int GetTargetDevIDList(CArray<DEVICE_SEARCH_RESULT, DEVICE_SEARCH_RESULT&>& targets,
                           CArray<DEVICE_SEARCH_RESULT, DEVICE_SEARCH_RESULT&>& found);
    int SortIPAddressAsend(CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&>& results);
    int LoadParameterFromFile();
    int IsCorrectMIB(const wchar_t* pszPattern);
    int IsMatchDeviceID(CString strObjectID, CString strPattern);
    int IsTargetDevice(const wchar_t* pszObjectID);

    // ---- view settings of the lists (root/view_settings.cpp) --------------
    // strAddress "" is the device list, with nBoxNo -1 a device's box list, else the
    // document list of box nBoxNo.
    static void InitializeViewInfoStructure(VIEW_INFO& vi);
    // Writes the list's settings (the whole file replaced at once): 1 saved; 0 not
    // saved (also for an address that cannot be a folder name, or a file that would
    // be the device registry file); -1001 out of memory.
    int AddChildItemForDocViewSetting(VIEW_INFO& vi, CString strAddress, int nBoxNo);
    // Reads the list's settings into vi: 1 read; 0 no readable file (vi unchanged).
    int GetChildListForDocViewSetting(VIEW_INFO& vi, CString strAddress, int nBoxNo);

    // ---- options (root/options.cpp) --------------------------------------
    int LoadOptions();
    int SetOptions();
    int GetOSInfo();
    // Asks the desktop to redraw its icons.
    void RefreshDesktop();

    int GetDisplayRXBox() { return m_nDisplayRXBox; }
    void SetDisplayRXBOX(int nValue) { m_nDisplayRXBox = nValue; }
    int GetsaveBoxPassword() { return m_nSaveBoxPassword; }
    int GetSaveBoxPassword() override { return m_nSaveBoxPassword; }
    // The box and document levels of the tree, the same for every root.
    vesk::IDeviceBoxes& GetDeviceBoxes() override;
    vesk::IBoxDocuments& GetBoxDocuments() override;
    void SetSaveBoxPassword(int nValue) { m_nSaveBoxPassword = nValue; }
    int GetOpenBoxAtSingleClick() { return m_nOpenBoxAtSingleClick; }
    void SetOpenBoxAtSingleClick(int nValue) { m_nOpenBoxAtSingleClick = nValue; }
    int GetOpenWithHaldViewer() { return m_nOpenWithHaldViewer; }
    void SetOpenWithHaldViewer(int nValue) { m_nOpenWithHaldViewer = nValue; }
    int GetSelectFileFormat() { return m_nSelectFileFormat; }
    void SetSelectFileFormat(int nValue) { m_nSelectFileFormat = nValue; }
    int GetTimeout() { return m_nTimeout; }
    void SetTimeout(int nValue) { m_nTimeout = nValue; }
    // The time limit in milliseconds; it is kept in minutes. A limit too large for an
    // int of milliseconds gives the largest one rather than a wrapped negative number.
    int GetTime() {
        const long long ms = static_cast<long long>(m_nTimeLimit) * 60000;
        return static_cast<int>(std::clamp<long long>(ms, INT_MIN, INT_MAX));
    }
    void SetTime(int nMinutes) { m_nTimeLimit = nMinutes; }
    int GetSaveUserName() override { return m_nSaveUserName; }
    void SetSaveUserName(int nValue) { m_nSaveUserName = nValue; }
    int GetSaveAccountName() override { return m_nSaveAccountName; }
    void SetSaveAccountName(int nValue) { m_nSaveAccountName = nValue; }
    int GetDisplayConfirmation() { return m_nDisplayConfirmation; }
    void SetDisplayConfirmation(int nValue) { m_nDisplayConfirmation = nValue; }
    int GetDispDeskIcon() { return m_nDispDeskIcon; }
    void SetDesktopIconStatus(int nValue) { m_nDispDeskIcon = nValue; }

private:
    int GenerateItemID();
    // GenerateItemID's id when the file does not hold it yet, else one past the
    // file's largest id, so that no two entries ever share an id.
    int NewItemID(const std::vector<long>& idsInFile);
    // Takes pItem back from the retired lists and items, if it is there.
    void Revive(CVESKItem* pItem);

    // Reads (or writes) one group of options under the options key.
    int OptionGroup(const wchar_t* group, bool write);
    int GetBoxOptions();
    int GetGeneralOptions();
    int GetLoginOptions();
    int SetBoxOptions();
    int SetGeneralOptions();
    int SetLoginOptions();
    int GetDesktopIconOption();
    int SetDesktopIconOption();
    int SetDesktopIconOption_2000();

    int m_nOSKind = 0;
    CString m_strDesktopKey;
    ItemList* m_pChildList = nullptr;
    CVESKCache* m_pCache = nullptr;
    std::unique_ptr<vesk::IRegisteredDevices> m_pRegistered;  // this root, as the search sees it
    CDeviceSearch* m_pSearch = nullptr;
    CString m_strItemName;
    CString m_strDeviceInfoPath;
    CString m_strRegInfoPath;
    int m_nRegistryFileStatus = 0;
    CString m_strRegistryFileProblem;

    // Options start at the values a first LoadOptions writes.
    int m_nDisplayRXBox = 0;
    int m_nSaveBoxPassword = 0;
    int m_nOpenBoxAtSingleClick = 1;
    int m_nOpenWithHaldViewer = 0;
    int m_nSelectFileFormat = 1;
    int m_nTimeout = 1;
    int m_nTimeLimit = 10;
    int m_nSaveUserName = 0;
    int m_nSaveAccountName = 0;
    int m_nDisplayConfirmation = 1;
    int m_nDispDeskIcon = 0;

    // The user interface may still hold pointers into a list replaced by a refresh
    // and to an item replaced by UpdateList, so those stay alive until the root goes.
    std::vector<ItemList*> m_retiredLists;
    std::vector<CVESKItem*> m_retiredItems;
};
