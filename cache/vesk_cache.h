// CVESKCache: where the cache, temporary and transfer trees lie, how large the cache
// may grow and how it is cleaned; the registry settings; the names of folders and files
// inside the trees; size accounting and eviction. Every item carries its own copy.
//
// Operations return 1 for success and 0 for failure; an operation that runs out of
// memory returns -1001, so test results against 1.
#pragma once

#include "platform/cstring.h"
#include "platform/export.h"
#include "platform/object.h"

class VESK_API CVESKCache : public CObject {
public:
    CVESKCache();
    CVESKCache(const CVESKCache& other);
    CVESKCache& operator=(const CVESKCache& other);
    ~CVESKCache() override;

    // ---- settings ----
    int GetCacheMode() const { return m_nCacheMode; }
    int GetDeleteType() const { return m_nDeleteType; }
    int GetMaxAvailDiskSize() const { return m_nMaxAvailDiskSize; }
    int GetCacheFileRootDir(CString& dir) const;
    int SetCacheMode(int mode);       // 0..2
    int SetDeleteType(int type);      // 0..2
    int SetMaxAvailDiskSize(int mb);  // within GetAvailCacheSize of the cache base folder
    // Allowed range of the size limit, in megabytes, for a folder's volume. Always 1.
    int GetAvailCacheSize(const wchar_t* dir, int& minSize, int& maxSize);
    // Chooses the cache base folder: empty means the default; otherwise an existing
    // folder on a local volume, with the size limit clamped to that volume's range.
    int SetCacheFileRootDir(const wchar_t* dir);
    int LoadParameterFromRegistry();
    int SaveParameterToRegistry();
    // Applies a cache mode and base folder chosen by the user (not saved).
    int UpdateCacheData(int mode, CString rootDir);

    // ---- box data, filled by the device connection and the box login ----
    void SetMfpName(const CString& name) { m_strMfpName = name; }
    CString GetMfpName() const { return m_strMfpName; }
    void SetBoxUserName(const CString& name) { m_strUserName = name; }
    CString GetBoxUserName() const { return m_strUserName; }
    void SetBoxID(const CString& id) { m_strBoxID = id; }
    CString GetBoxID() const { return m_strBoxID; }
    void SetBoxLogin(int login) { m_nBoxLogin = login; }
    int GetBoxLogin() const { return m_nBoxLogin; }

    // ---- folders and names ----
    // The default base folder $ALLUSERSPROFILE/ORVANE/HALD/3.1/, made where missing.
    int GetUserProfileDir(CString& dir);
    int GetCacheDirectory(CString& dir);
    int GetTempFileRootDir(CString& dir);
    int GetTransFileRootDir(CString& dir);
    // The per-box transfer folder: hex MFP name / hex user name / hex box number.
    int GetTransFileDir(CString& dir, int create);
    // A new, empty file in the transfer tree (see the source for the steps).
    int GetTransFilePath(CString& path, CString dir, CString name, int newFolder, int fileType,
                         int kind);
    // Low 8 bits of each UTF-16 unit in lower-case hex without leading zeros.
    int ConvertNameToHex(CString& hex, const wchar_t* name);
    // The first 32 characters of a hex name.
    int ConvertHexNameToHexCacheMfpName(CString& out, const wchar_t* hex);
    int ConvertHexNameToHexCacheMfpUserName(CString& out, const wchar_t* hex);

    // ---- size accounting and eviction ----
    // Megabytes taken below dir, rounded down per folder; 0 for a missing folder.
    int GetTotalUsedCacheSize(const wchar_t* dir);
    // Deletes files, oldest age class first, until the cache tree is below 70 % of
    // the limit; nothing when the tree is below the limit.
    int DeleteCacheExtraSize();
    // Empties a tree; removeRoot 1 removes its top folder as well.
    int DeleteAllCacheFiles(int removeRoot);
    int DeleteAllTempFiles(int removeRoot);
    int DeleteAllTransFiles(int removeRoot);

private:
    int EmptyTree(const CString& dir, int removeRoot);

    CString m_strMfpName;
    CString m_strUserName;
    CString m_strBoxID;
    int m_nBoxLogin = 0;
    CString m_strTransRootDir;
    CString m_strTempRootDir;
    CString m_strCacheRootDir;
    int m_nCacheMode = 2;
    int m_nMaxAvailDiskSize = 300;
    int m_nDeleteType = 0;
};
