// CVESKMFPDevice: the tree item for one registered multifunction device. It keeps the
// device's registry entry, the session state that the connection and the logins fill
// in, and the device's boxes as children.
#pragma once

#include <string>

#include "core/item.h"
#include "platform/collections.h"
#include "platform/cstring.h"
#include "platform/export.h"
#include "tcpcore/records.h"

class CVESKCache;
namespace vesk {
class IDeviceOwner;
}

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

    // ---- session (device/connection.cpp) ---------------------------------------
    // Ends every other session of the root, opens one to this device with the protocol
    // class that fits it and reads what the device reports. 1 when no login is needed;
    // -1051 user login, -1052 account login, -1064 customized login needed; other
    // negative codes for failures (-1012 also for an unsupported device).
    int Connect(PFN_VESK_COMMSTATE pfnCommState, CString strUnused) override;
    // Ends the session, writes the last-login fields to the registry file and
    // destroys the boxes. 0 when no communication object was ever made.
    int Disconnect() override;
    // 1 when the session stands or could be reopened, else 0.
    int Reconnect();

    // ---- TLS trust (device/trust.cpp) ------------------------------------------
    // The first TLS session with a device records its certificate's SHA-256 (per
    // address and TLS port, in the user's registry store); later ones must present the
    // same certificate before any login data goes out, else Connect returns -1090 and
    // no session stays open. Once a certificate is recorded, plain TCP is not tried
    // unless allowed for the device.
    enum TrustState { kTrustNone = 0, kTrustNew = 1, kTrustTrusted = 2, kTrustChanged = 3 };
    // Of the last Connect: none (plain TCP, or no TLS handshake), new (recorded now),
    // trusted (matched), changed (refused).
    int GetTrustState() const { return m_nTrustState; }
    // Hex SHA-256 recorded for the device ("" none) and presented by the last TLS
    // handshake of Connect ("" none).
    std::string GetRecordedFingerprint() const;
    std::string GetPresentedFingerprint() const { return m_strPresentedFingerprint; }
    // Records fingerprint (64 hex digits, colons allowed) as the device's certificate:
    // 1, 0 when it is not a SHA-256 or the store fails. With "" the certificate the
    // last Connect saw is recorded.
    int TrustCertificate(const std::string& fingerprint);
    // Plain TCP although a certificate is recorded (1) or not (0); TLS only (1) even
    // before a certificate is recorded. Stored with the fingerprint; 1 on success.
    int GetAllowPlain() const;
    int SetAllowPlain(int allow);
    int GetTlsOnly() const;
    int SetTlsOnly(int tlsOnly);
    // TLS only for the next Connect, whatever is stored.
    void RequireTlsOnce() { m_bRequireTlsOnce = true; }
    // When Connect failed in both modes: the library code of the first real cause
    // (malformed reply, refused certificate, time-out...), 0 when each mode only
    // found nothing listening.
    int GetConnectFailureCode() const { return m_nConnectFailureCode; }

    // ---- boxes (device/boxes.cpp) -------------------------------------------------
    // Lists the device's boxes: the memory-RX box first, then the user boxes, then the
    // filing-number boxes. With bRefresh 0 a list already made is kept. Boxes of the
    // previous list stay alive with the device (the application may still hold them);
    // a box listed again keeps its remembered password and its login. 1, -1012 not
    // connected, -1007 the list failed (or the device has no owner, which makes the box
    // items), -1010 no user or filing box.
    int GetChildList(int bRefresh) override;
    // Creates a box from the box fields of info. 1 (also when the new box is not one
    // this user may see, and is not listed), -1012, -1023 empty name, -1063 refused as
    // the device's limit, -1024 other refusal.
    int AddChildItem(ITEMINFO& info) override;
    // Removes box nBoxNo from the device and its local folders. 1, -1012, -1025 the box
    // is logged in (nothing is sent) or the device refused, -1020 wrong password,
    // -1036 the cache folders are unknown.
    int DeleteChildItem(int nBoxNo, CString strPassword) override;
    // Gives pBox a new password (empty: no password). 1, -1012, -1030 refused. nDetail
    // is the device's detail code of a refusal.
    int ChangeBoxPassword(CVESKItem* pBox, CString strNewPassword, int& nDetail);
    // Removes a folder tree; when it cannot be removed, moves it aside to
    // "<folder>_<n>". 1, or -1061 when neither worked.
    static int DeleteWindowFolder(const CString& strFolder);

    // ---- conversions -----------------------------------------------------------
    // Clears pszOut[0] and converts the whole string to UTF-8 into at most 1024 bytes
    // of pszOut. nUnused is not used. Returns the bytes written.
    static int CStringToUTF8(CString str, int nUnused, char* pszOut);
    // The NUL-terminated UTF-8 text as a wide string of at most 259 characters.
    static CString UTF8toCString(const char* pszUtf8);

    // -1012 while not connected, else the mode of the connection (0 plain, 1 SSL).
    int IsConnectedViaSSL() { return m_nConnected ? m_nLastTCPComm : -1012; }

    // ---- tree ------------------------------------------------------------------
    vesk::IDeviceOwner* GetRoot() const { return m_pRoot; }
    void SetRoot(vesk::IDeviceOwner* pRoot) { m_pRoot = pRoot; }
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

    // ---- login, accounts and permissions (device/login.cpp) --------------------
    // Passwords are taken by value and wiped before these return; they never reach
    // the trace or a file. nResult is what a refused login returns (0 unless changed).
    int UserLogin(CString strUserName, CString strPassword, PFN_VESK_COMMSTATE pfnCommState,
                  int& nResult);
    int AccountLogin(CString strAccountName, CString strPassword, PFN_VESK_COMMSTATE pfnCommState,
                     int& nResult);
    // For user types 3, 8 and 9: pData is the login data the device asked for.
    int CustomizedLogin(void* pData, int nDataSize, tagUTIL_DETAIL_LOGIN_RESULT& result,
                        PFN_VESK_COMMSTATE pfnCommState);
    int GetCustomizedLoginInformation(int nInfoType, void* pBuffer, int nBufferSize, int& nDataSize,
                                      int& nTotalSize);
    int GetCustomizedLoginInformation2(int nInfoType, void* pBuffer, int nBufferSize,
                                       int& nDataSize, int& nTotalSize);
    // Takes the current user's name and authentication server from the device.
    int SetCurrentUserInfo();
    int GetAccountName4CurrentUser(CString& strAccountName);
    // The account-synchronisation value of the current user (0 when unknown).
    int GetAccSyncType();
    int GetServerList(CArray<tagUTIL_AUTHSERVERINFO, tagUTIL_AUTHSERVERINFO&>& servers);
    int SetServerInfo(int nIndex, const wchar_t* pszName, const wchar_t* pszSecond);
    int GetSimpleAuthEnable(int& nEnable);
    int SetSimpleAuthEnable(int nEnable);
    int IsEnhancedSecurityModeEnabled() { return m_nEnhancedSecurityMode; }
    // Asks the device: 1 RX data secured, 0 not, 2 the user is the box administrator,
    // -1 when the inquiry failed.
    int GetRXDataSecured();
    // What GetRXDataSecured answered at connect (protocol 43 and later).
    int GetStoredRXDataSecured() { return m_nRXDataSecured; }
    // The device's answers, passed through (0 without a communication object).
    int IsTrimUserNameInCaseOfLDAPServer(int& nTrim);
    int GetBoxAdminSupport(int& nSupported);
    int IsIOption(int& nIOption);

    // Operation restrictions of the logged-in user and account: 1 forbidden.
    int GetCopyForbidden() { return m_docOperationPermission.nCopyForbidden; }
    int GetPrintForbidden() { return m_docOperationPermission.nPrintForbidden; }
    int GetScanDocForbidden() { return m_docOperationPermission.nScanDocForbidden; }
    int GetSendPrintForbidden() { return m_docOperationPermission.nSendPrintForbidden; }
    int GetPrintScanFaxTXForbidden() { return m_docOperationPermission.nSendPrintForbidden; }
    int GetColourForbidden() { return m_docOperationPermission.nColourForbidden; }
    int GetColorSendForbidden() { return m_docOperationPermission.nColourForbidden; }
    void SetColourForbidden(int n) { m_docOperationPermission.nColourForbidden = n; }
    int GetColourPrintForbidden() { return m_docOperationPermission.nColourPrintForbidden; }
    int GetBlackPrintForbidden() { return m_docOperationPermission.nBlackPrintForbidden; }
    int GetColorCopyForbidden() { return m_docOperationPermission.nColorCopyForbidden; }
    int GetColorPrinterForbidden() { return m_docOperationPermission.nColorPrinterForbidden; }
    int GetColorSendPrintForbidden() { return m_docOperationPermission.nColorSendPrintForbidden; }
    int GetColorPrintScanFaxTXForbidden() {
        return m_docOperationPermission.nColorSendPrintForbidden;
    }
    // Box permissions read at connect (protocol 32 and later).
    int GetBoxCreatePermission() { return m_boxControlPermission.nCreate; }
    int GetBoxEditPermission() { return m_boxControlPermission.nEdit; }
    int GetBoxDeletePermission() { return m_boxControlPermission.nDelete; }
    int GetBoxAutoDeletTimePermission() { return m_autoDelTimePermission.nPermission; }

    // ---- model families (device/model_flags.cpp) --------------------------------
    // Each flag is 1 when the identifier names a model of that family. A connect to a
    // device reporting a version older than the family's keeps the previous value.
    int GetDovaMioptionFlg() { return m_nDovaMioptionFlg; }
    int GetRookMioptionFlg() { return m_nRookMioptionFlg; }
    int GetFennFlg() { return m_nFennFlg; }
    int GetMarlBKFlg() { return m_nMarlBKFlg; }
    int GetHalcyBKFlg() { return m_nHalcyBKFlg; }
    int GetVantaBKFlg() { return m_nVantaBKFlg; }
    int GetUlmoSFlg() { return m_nUlmoSFlg; }
    int GetVantaSBK2ndFlg() { return m_nVantaSBK2ndFlg; }
    int GetBrioBKZPlusFlg() { return m_nBrioBKZPlusFlg; }
    int GetBrioBKZX012Flg() { return m_nBrioBKZX012Flg; }
    int GetTesselBK01MFPFlg() { return m_nTesselBK01MFPFlg; }
    int GetPykeMLKFlg() { return m_nPykeMLKFlg; }
    // 1 for the models whose thumbnails come as raw grey rows, else 0.
    void SetThumbnailDataFormat();

    // ---- print and format support (device/print_services.cpp) -------------------
    // Passed to the communication object; its result comes back unchanged.
    int SetDocumentForPrint(long lDocumentNo);
    int GetDevicePrintSettings(PrintSetting& settings);
    int GetCurrentDocumentPrintSettings(PrintSetting& settings);
    int PrintDocument(PrintSetting& settings);

    int GetSearchPdfSupport();
    int GetOpenOfcSupport() { return m_extendedFormatSupportInfo.nOfficeOpenXML; }
    int GetLangNumSupport();
    // Language entry nIndex (0 to 30); 0 for any other index.
    int GetLangSupport(int nIndex);
    int GetPDFASupport();
    int GetLinearizedPDFSupport();
    long GetSupportedFileFormat() { return m_lSupportedFileFormat; }
    int GetMono2DocOutputPolicy() { return m_nMono2DocOutputPolicy; }

private:
    // Asks the device for its identifier and version, checks that it is supported and
    // makes the communication object that fits it.
    int CreateDevice(PFN_VESK_COMMSTATE pfnCommState);
    // Opens the session and reads what the device reports at connect.
    int ConnectMFP(PFN_VESK_COMMSTATE pfnCommState);
    // The identifier cut before its thirteenth dot; nResult 1, or -1015 (null) and
    // -1016 (fewer dots) with the empty string.
    CString GetDeviceUnit(const wchar_t* pszDeviceId, int& nResult);
    // Ends the sessions of the root's connected devices (this one included).
    void DisconnectConnectedDevices();
    // Ends a session opened by this connect that the connect then refused.
    void AbandonSession();
    // Merges members 1 to 9 of a login's restrictions into the kept ones.
    void SetDocOperationPermission(const tagUTIL_DOCOPERATIONPERMISSION& permission);
    // Reads the model-family flags that the reported version knows of.
    void ReadModelFlags(int nMajor, int nMinor);

    int ISDovaMioption();
    int ISRookDevice();
    int ISFennDevice();
    int IsMarlBKDevice();
    int IsHalcyBKDevice();
    int IsVantaBKDevice();
    int IsUlmoSDevice();
    int IsVantaSBK2ndDevice();
    int IsBrioBKZPlusDevice();
    int IsBrioBKZX012Device();
    int IsTesselBK01MFPDevice();
    int IsPykeMLKDevice();

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
    vesk::IDeviceOwner* m_pRoot = nullptr;  // the root; not owned
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

    // TLS trust of the connect under way (device/trust.cpp).
    int m_nTrustState = kTrustNone;
    std::string m_strRecordedFingerprint;   // as read when Connect started
    std::string m_strPresentedFingerprint;  // of the last TLS handshake
    bool m_bRequireTlsOnce = false;
    int m_nConnectFailureCode = 0;
    // Puts the recorded fingerprint on the current object before it reaches the device.
    void ExpectRecordedCertificate();
    // After a failed attempt: notes a refused certificate (true then) and the cause.
    bool NoteAttemptFailure();
    // After the session opened over TLS: records a first certificate.
    void NoteTlsSession();
};
