// CVESKMFPDevice: the tree item for one registered multifunction device. It keeps the
// device's registry entry, the session state that the connection and the logins fill
// in, and the device's boxes as children.
#pragma once

#include "core/item.h"
#include "platform/collections.h"
#include "platform/cstring.h"
#include "platform/export.h"
#include "tcpcore/records.h"

class CVESKCache;
class CVESKRoot;

class VESK_API CVESKMFPDevice : public CVESKItem {
    DECLARE_DYNCREATE(CVESKMFPDevice)

public:
    typedef CVESKItemList ItemList;

    // Every number 0 and every string empty, except LastTCPComm and HardDiskCount -1.
    CVESKMFPDevice();
    // strUnused1 and strUnused2 are accepted for the callers' sake and not stored.
    CVESKMFPDevice(long lItemID, int nPortNo, CString strDevAddress, CString strItemName,
                   int nMFPType, int nUserType, int nAccountType, int nPublicSupport, int nTCPMode,
                   CString strMFPModel, int nCanceled, int nDevOpened, int nLastAccountType,
                   int nLastUserType, int nLastTCPComm, CString strUnused1, CString strUnused2,
                   int nSSLPortNo, int nIOption, int nHardDiskCount);
    ~CVESKMFPDevice() override;
    CVESKMFPDevice(const CVESKMFPDevice&) = delete;
    // Takes over the registry and session fields of pOther (not its id, version,
    // model flags or children).
    CVESKMFPDevice& operator=(CVESKMFPDevice* pOther);

    // ---- item interface ----------------------------------------------------
    int GetItemObjectType() override { return 1; }
    long GetItemID() override { return m_lItemID; }
    CString GetItemName() override { return m_strItemName; }
    // Replaces the box with the same number by pNewItem, at the same place.
    int UpdateList(CVESKItem* pNewItem) override;
    // The device's entry in the registry file (device/registry_entry.cpp).
    int ModifyItem(ITEMINFO& info, CString strUnused) override;
    int RenameItem(const wchar_t* pszNewName, CString strUnused) override;

    // NOT IMPLEMENTED YET: the session with the device and the box list are built on
    // the device link by the connection work that follows. Until then each of these
    // returns -1012 (no usable connection) and changes nothing.
    int Connect(PFN_VESK_COMMSTATE pfnCommState, CString strUnused) override;
    int Disconnect() override;
    int GetChildList(int bRefresh) override;
    int AddChildItem(ITEMINFO& info) override;
    int DeleteChildItem(int nBoxNo, CString strPassword) override;
    int Reconnect();

    // ---- conversions -----------------------------------------------------------
    // Clears pszOut[0] and converts the whole string to UTF-8 into at most 1024 bytes
    // of pszOut. nUnused is not used. Returns the bytes written.
    static int CStringToUTF8(CString str, int nUnused, char* pszOut);
    // The NUL-terminated UTF-8 text as a wide string of at most 259 characters.
    static CString UTF8toCString(const char* pszUtf8);

    // -1012 while not connected, else the mode of the connection (0 plain, 1 SSL).
    int IsConnectedViaSSL() { return m_nConnected ? m_nLastTCPComm : -1012; }

    // ---- tree ------------------------------------------------------------------
    CVESKRoot* GetRoot() const { return m_pRoot; }
    void SetRoot(CVESKRoot* pRoot) { m_pRoot = pRoot; }
    ItemList* GetItemList() const { return m_pChildList; }
    CVESKCache* GetCache() const { return m_pCache; }

    // ---- accessors -------------------------------------------------------------
    void SetItemID(long lItemID) { m_lItemID = lItemID; }
    void SetItemName(CString strName) { m_strItemName = strName; }
    int GetMFPType() { return m_nMFPType; }
    void SetMFPType(int n) { m_nMFPType = n; }
    int GetUserType() { return m_nUserType; }
    void SetUserType(int n) { m_nUserType = n; }
    int GetAccountType() { return m_nAccountType; }
    void SetAccountType(int n) { m_nAccountType = n; }
    int GetLastUserType() { return m_nLastUserType; }
    void SetLastUserType(int n) { m_nLastUserType = n; }
    int GetLastAccountType() { return m_nLastAccountType; }
    void SetLastAccountType(int n) { m_nLastAccountType = n; }
    int GetPublicSupport() { return m_nPublicSupport; }
    void SetPublicSupport(int n) { m_nPublicSupport = n; }
    int GetTCPMode() { return m_nTCPMode; }
    void SetTCPMode(int n) { m_nTCPMode = n; }
    int GetPortNo() { return m_nPortNo; }
    void SetPortNo(int n) { m_nPortNo = n; }
    int GetSSLPortNo() { return m_nSSLPortNo; }
    void SetSSLPortNo(int n) { m_nSSLPortNo = n; }
    int GetLastTCPComm() { return m_nLastTCPComm; }
    void SetLastTCPComm(int n) { m_nLastTCPComm = n; }
    int GetMajorVersion() { return m_nMajorVersion; }
    int GetMinorVersion() { return m_nMinorVersion; }
    CString GetMFPModel() { return m_strMFPModel; }
    void SetMFPModel(CString s) { m_strMFPModel = s; }
    CString GetDevUnit() { return m_strDevUnit; }
    CString GetDevId() { return m_strDevId; }
    CString GetDevAddress() { return m_strDevAddress; }
    void SetDevAddress(CString s) { m_strDevAddress = s; }
    CString GetLastAccountName() { return m_strLastAccountName; }
    void SetLastAccountName(CString s) { m_strLastAccountName = s; }
    CString GetLastUserName() { return m_strLastUserName; }
    void SetLastUserName(CString s) { m_strLastUserName = s; }
    CString GetAuthServer() { return m_strAuthServer; }
    void SetAuthServer(CString s) { m_strAuthServer = s; }
    int GetCanceled() { return m_nCanceled; }
    void SetCanceled(int n) { m_nCanceled = n; }
    int GetDevOpened() { return m_nDevOpened; }
    int GetConnected() { return m_nConnected; }
    void SetConnected(int n) { m_nConnected = n; }
    int GetBoxLogin() { return m_nBoxLogin; }
    void SetBoxLogin(int n) { m_nBoxLogin = n; }
    int GetThumbnailDataFormat() { return m_nThumbnailDataFormat; }
    int GetTCPVersion() { return m_nTCPVersion; }
    int GetHardDiskCount() { return m_nHardDiskCount; }
    int GetIOption() { return m_nIOption; }
    const tagUTIL_DOCOPERATIONPERMISSION& GetDocOperationPermission() const {
        return m_docOperationPermission;
    }
    int GetSendAttrNum() { return m_nSendAttrNum; }
    tagUTIL_ATTRIBUTEINFO* GetSendAttributeInfo() { return m_sendAttributeInfo; }
    int GetPrintAttrNum() { return m_nPrintAttrNum; }
    tagUTIL_ATTRIBUTEINFO* GetPrintAttributeInfo() { return m_printAttributeInfo; }

private:
    // NOT IMPLEMENTED YET (see Connect): return -1012.
    int CreateDevice(PFN_VESK_COMMSTATE pfnCommState);
    int ConnectMFP(PFN_VESK_COMMSTATE pfnCommState);
    CString GetDeviceUnit(const char* pszDeviceId, int& nResult);

    // Makes the child list and the cache; shared by both constructors.
    void CreateOwnedParts();

    // Fields in the order the connection, login and box work rely on.
    long m_lItemID = 0;
    int m_nMFPType = 0;
    int m_nUserType = 0;
    int m_nAccountType = 0;
    int m_nConnectAccountType = 0;  // AccountType as the session opened; read by the user login
    int m_nLastUserType = 0;
    int m_nLastAccountType = 0;
    int m_nPublicSupport = 0;
    int m_nTCPMode = 0;  // 0 plain, 1 SSL, for the attempt under way
    int m_nPortNo = 0;
    int m_nSSLPortNo = 0;
    int m_nLastTCPComm = -1;  // mode of the last successful connection, -1 unknown
    int m_nMajorVersion = 0;
    int m_nMinorVersion = 0;
    CString m_strMFPModel;
    CString m_strDevUnit;  // the identifier cut before its thirteenth dot
    CString m_strDevId;    // the identifier as the device reported it
    CString m_strDevAddress;
    CString m_strItemName;
    CString m_strLastAccountName;
    CString m_strLastUserName;
    CString m_strAuthServer;
    int m_nCanceled = 0;
    int m_nDevOpened = 0;
    int m_nConnected = 0;
    int m_nBoxLogin = 0;
    int m_nThumbnailDataFormat = 0;
    tagUTIL_DOCOPERATIONPERMISSION m_docOperationPermission{};
    CVESKCache* m_pCache = nullptr;
    tagUTIL_BOXCONTROLPERMISSION m_boxControlPermission{};
    tagUTIL_AUTODELTIMEPERMISSION m_autoDelTimePermission{};
    tagUTIL_SPDF_SUPPORT_INFO m_spdfSupportInfo{};
    tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO m_extendedFormatSupportInfo{};
    tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2 m_extendedFormatSupportInfo2{};
    int m_nMono2DocOutputPolicy = 0;
    int m_nTCPVersion = 0;
    int m_nIOption = 0;
    int m_nSendAttrNum = 0;
    tagUTIL_ATTRIBUTEINFO m_sendAttributeInfo[QTCP_MAX_ATTRIBUTES]{};
    int m_nPrintAttrNum = 0;
    tagUTIL_ATTRIBUTEINFO m_printAttributeInfo[QTCP_MAX_ATTRIBUTES]{};
    int m_nMarlBKFlg = 0;
    int m_nHalcyBKFlg = 0;
    long m_lSupportedFileFormat = 0;
    int m_nEnhancedSecurityMode = 0;
    CVESKRoot* m_pRoot = nullptr;  // not owned
    ItemList* m_pChildList = nullptr;
    int m_nHardDiskCount = -1;
    int m_nRXDataSecured = 0;
    int m_nDovaMioptionFlg = 0;
    int m_nRookMioptionFlg = 0;
    int m_nVantaBKFlg = 0;
    int m_nUlmoSFlg = 0;
    int m_nVantaSBK2ndFlg = 0;
    int m_nBrioBKZPlusFlg = 0;
    int m_nBrioBKZX012Flg = 0;
    int m_nTesselBK01MFPFlg = 0;
    int m_nPykeMLKFlg = 0;
    int m_nFennFlg = 0;

    // Boxes replaced by UpdateList: the user interface may still point at them.
    ItemList* m_pRetiredBoxes = nullptr;
};
