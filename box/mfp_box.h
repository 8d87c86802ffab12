// CVESKMFPBox: the tree item for one user box of a device. It logs into the box, turns
// the device's document list into CVESKDocument children and carries the box's cache
// settings, which its documents copy.
#pragma once

#include <vector>

#include "core/item.h"
#include "platform/cstring.h"
#include "platform/export.h"
#include "tcpcore/records.h"

class CVESKCache;
class CVESKMFPDevice;
namespace vesk {
class IBoxDocuments;
}

class VESK_API CVESKMFPBox : public CVESKItem {
    DECLARE_DYNCREATE(CVESKMFPBox)

public:
    typedef CVESKItemList ItemList;

    CVESKMFPBox();
    // The documents, listed and retired, go with the box; the box does not log out.
    ~CVESKMFPBox() override;
    CVESKMFPBox(const CVESKMFPBox&) = delete;
    // Copies the device's listing and login fields (not the cache, the password-known
    // flag, the filing box type, the parent or the documents).
    CVESKMFPBox& operator=(const CVESKMFPBox* pOther);

    // ---- item interface ----------------------------------------------------
    int GetItemObjectType() override { return 2; }
    long GetItemID() override { return m_lItemID; }
    CString GetItemName() override { return m_strItemName; }
    // Documents are never added through the item interface: 1.
    int AddChildItem(ITEMINFO&) override { return 1; }
    // Box login with the password (the callback is not used). Logs out the device's
    // other box first. 1, 0 no communication object, -1019 bad box number, -1020
    // password refused, -1002 other failure, -1001 exception.
    int Connect(PFN_VESK_COMMSTATE pfnCommState, CString strPassword) override;
    // Builds the document children. 1 (also when the kept list is returned), 0 not
    // logged in, the device call failed or no device with an owner, -1011 no documents,
    // -1001 exception.
    int GetChildList(int bRefresh) override;
    // Box logout: 1, 0 no communication object, -1019 bad box number, -1037 not logged
    // in, -1042 the logout failed, -1001 exception.
    int Disconnect() override;
    // Replaces the document with the same id by pNewItem, at the same place. The
    // replaced document stays alive with the box (the application may still hold it).
    int UpdateList(CVESKItem* pNewItem) override;
    // (box/changes.cpp) Deletes the listed document nDocID on the device; strPassword
    // is the memory-RX removal password where the device asks for one. 1, -1037 not
    // logged in, -1039 not listed, -1038 refused, -1001 exception.
    int DeleteChildItem(int nDocID, CString strPassword) override;
    // Changes the box's properties; strParam is the current box password. A logged-in
    // box is logged in again afterwards. 1, 0 the current user's information could not
    // be read, -1030 bad owner kind or refused, -1063 and -1065 refused settings, -1020
    // password refused, -1001 exception.
    int ModifyItem(ITEMINFO& info, CString strParam) override;
    // Renames the box; strParam is the box password for the new login. 1, -1033 empty
    // name, -1020 password refused, -1065 name in use, -1056 refused, -1001 exception.
    int RenameItem(const wchar_t* pszNewName, CString strParam) override;

    // ---- copy and move (box/changes.cpp) -------------------------------------
    // Copies (bCopy non-zero) or moves the listed documents into box lDestBoxID of the
    // same device. 1, -1037 not logged in, -1027 no ids, -1028 a copy or -1029 a move
    // failed (earlier ones stay done), -1040 an id was not listed (the others were
    // handled), -1001 exception.
    int CopyMoveDocumentToBox(int bCopy, long lDestBoxID, std::vector<long> ids);
    // Downloads document nDocID into the folder (ending in a separator) or file strPath
    // and, for a move, deletes it on the device once the file is in place. strPath gets
    // the path written. 1, -1037 not logged in, -1027 bad id, -1035 the target exists,
    // -1036 the download cannot be read, -1028 not put in place, -1029 a move whose
    // device deletion failed (the local file stays), 0 bad type or the download failed,
    // -1040 not listed, -1001 exception.
    int CopyMoveDocumentToFolder(int bCopy, CString& strPath, int nDocID, int bOverwrite,
                                 int nFileType, int nPage, QTCP_RECVDATA_CALLBACK pfnCallback);
    // Downloads nCount documents bound into one file of type nFileType; strPath gets its
    // path. 1, 0 on any failure (no file is left), -1001 exception.
    int GetDocumentAfterBind(CString& strPath, long* pIDs, int nCount, int nFileType,
                             QTCP_RECVDATA_CALLBACK pfnCallback);

    // ---- box operations ----------------------------------------------------
    // Turns this object into the device's memory-RX box. 1, or -1001.
    int initializeRXBox();
    // 0 for every box while the device's last login user is the box administrator,
    // else the listed flag.
    int GetPasswordProtected();
    // The flag as listed or set, whoever is logged in (a refresh carries it over).
    int GetPasswordProtectedFlag() const { return m_nPasswordProtected; }
    // 1 when the device takes a user name for public logins, else 0.
    int IsPublicUserNameNeeded();
    // Hands the device the user name for the public login (at most 193 UTF-8 bytes).
    int SetUserNameForPublicUser(CString strName);
    // Name plus the extension of the file type; "" for a type without one.
    static CString GetDocNameWithExt(CString strName, int nFileType);

    // Copies pCache's contents into the box's own cache object (never shares it).
    void SetCacheObj(CVESKCache* pCache);
    CVESKCache* GetCacheObj() const { return m_pCache; }
    void SetDevice(CVESKMFPDevice* pDevice) { m_pDevice = pDevice; }
    CVESKMFPDevice* GetDevice() const { return m_pDevice; }
    ItemList* GetItemList() const { return m_docObjList; }

    // ---- accessors ---------------------------------------------------------
    void SetItemName(CString s) { m_strItemName = s; }
    CString GetUserNameW() { return m_strUserName; }
    void SetUserName(CString s) { m_strUserName = s; }
    CString GetEntryDate() { return m_strEntryDate; }
    void SetEntryDate(CString s) { m_strEntryDate = s; }
    CString GetPassword() { return m_strPassword; }
    void SetPassword(CString s) { m_strPassword = s; }
    void SetPasswordProtected(int n) { m_nPasswordProtected = n; }
    int GetMain() { return m_nMain; }
    void SetMain(int n) { m_nMain = n; }
    int GetBoxLogin() { return m_nBoxLogin; }
    void SetBoxLogin(int n) { m_nBoxLogin = n; }
    int GetPasswordKnown() { return m_nPasswordKnown; }
    void SetPasswordKnown(int n) { m_nPasswordKnown = n; }
    int GetBoxType() { return m_nBoxType; }
    void SetBoxType(int n) { m_nBoxType = n; }
    int GetSearchChar() { return m_nSearchChar; }
    void SetSearchChar(int n) { m_nSearchChar = n; }
    int GetAutoDelTime() { return m_nAutoDelTime; }
    void SetAutoDelTime(int n) { m_nAutoDelTime = n; }
    void SetItemID(long l) { m_lItemID = l; }
    int GetFilingBoxType() { return m_nFilingBoxType; }
    void SetFilingBoxType(int n) { m_nFilingBoxType = n; }
    int GetAutoDelTimeType() { return m_nAutoDelTimeType; }
    void SetAutoDelTimeType(int n) { m_nAutoDelTimeType = n; }
    int GetAutoDelTimeMinute() { return m_nAutoDelTimeMinute; }
    void SetAutoDelTimeMinute(int n) { m_nAutoDelTimeMinute = n; }
    CString GetPublicUserName() { return m_strPublicUserName; }
    void SetPublicUserName(CString s) { m_strPublicUserName = s; }
    int GetSavePublicUserName() { return m_nSavePublicUserName; }
    void SetSavePublicUserName(int n) { m_nSavePublicUserName = n; }

private:
    // The document level, through the parent device's owner; null without them (the
    // box then has no documents).
    vesk::IBoxDocuments* Documents() const;
    // Logs out every logged-in box of the parent device (this one included).
    void LogoutDeviceBoxes();
    // Moves the listed documents to the retired list (they may still be held).
    void RetireDocuments();

    CString m_strItemName;
    CString m_strUserName;
    CString m_strEntryDate;
    CString m_strPassword;
    int m_nPasswordProtected = 0;
    int m_nMain = 0;
    int m_nBoxLogin = 0;
    int m_nPasswordKnown = 0;
    int m_nBoxType = 0;
    int m_nSearchChar = 0;
    int m_nAutoDelTime = 0;
    long m_lItemID = 0;
    CVESKCache* m_pCache = nullptr;
    int m_nFilingBoxType = 0;
    int m_nAutoDelTimeType = 1;
    int m_nAutoDelTimeMinute = 0;
    CString m_strPublicUserName;
    int m_nSavePublicUserName = 0;
    CVESKMFPDevice* m_pDevice = nullptr;  // the parent; not owned
    ItemList* m_docObjList = nullptr;
    // Documents dropped by a refresh or replaced by UpdateList: the application may
    // still point at them, so they live until the box goes.
    ItemList* m_pRetiredDocs = nullptr;
};
