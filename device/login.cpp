// CVESKMFPDevice: user, account and customized logins, the restrictions they bring,
// and the inquiries about the current user, servers and security settings.
#include <new>
#include <string>
#include <vector>

#include "core/sync_lock.h"
#include "device/mfp_device.h"
#include "device/secret.h"
#include "platform/charset.h"
#include "platform/trace.h"
#include "tcpcore/tcpcore.h"

using vesk::device::SecretText;
using vesk::device::WipeOnExit;

namespace {

constexpr int kMemory = -1001;
constexpr int kNoConnection = -1012;
constexpr int kEmptyName = -1033;

// Protocol numbers from which the logins take another form.
constexpr int kFirstRecordLogin = 30;  // the whole restriction record comes back
constexpr int kFirstPublicAccount = 32;
constexpr int kFirstVendorLogin = 40;

constexpr int kVendorUserType = 7;

// Names go to the device as UTF-8 in a field of QTCP_USERNAME_SIZE bytes.
typedef SecretText<QTCP_USERNAME_SIZE> NameText;
// Passwords: at most QTCP_PASSWORD_SIZE bytes with the terminating zero.
typedef SecretText<QTCP_PASSWORD_SIZE> PasswordText;

bool IsCustomizedUserType(int userType) {
    return userType == 3 || userType == 8 || userType == 9;
}

// Text of a zero-terminated UTF-8 field of the device, read within its size.
CString FieldText(const char* field, std::size_t size) {
    std::size_t n = 0;
    while (n < size && field[n])
        ++n;
    return CString(vesk::Utf8ToWide(std::string(field, n)));
}

}  // namespace

int CVESKMFPDevice::UserLogin(CString strUserName, CString strPassword,
                              PFN_VESK_COMMSTATE pfnCommState, int& nResult) {
    WipeOnExit wipe(strPassword);
    try {
        CSyncMgrLock lock;
        if (strUserName.IsEmpty())
            return kEmptyName;
        if (m_nConnected)
            return 0;
        const bool boxAdmin = strUserName.CompareNoCase(L"boxadmin") == 0;
        if (m_nUserType == 0 && !boxAdmin)
            return 0;

        nResult = 0;
        const NameText name(strUserName);
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore || !pCore->IsConnected())
            return kNoConnection;
        const PasswordText password(strPassword);

        // The library writes into a copy: a refused login leaves the kept
        // restrictions as they were.
        tagUTIL_DOCOPERATIONPERMISSION permission = m_docOperationPermission;
        int ok = 0;
        if (m_nTCPVersion < kFirstRecordLogin) {
            ok = pCore->UserLogin(name.c_str(), name.length(), password.c_str(),
                                  permission.nColourForbidden, pfnCommState);
        } else if (m_nTCPVersion >= kFirstVendorLogin && m_nUserType == kVendorUserType) {
            ok = pCore->VendorLogin(name.c_str(), name.length(), password.c_str(), permission,
                                    pfnCommState);
        } else {
            ok = pCore->UserLogin2(name.c_str(), name.length(), password.c_str(), permission,
                                   pfnCommState);
        }
        if (ok != 1) {
            m_nConnected = 0;
            return nResult;
        }
        m_docOperationPermission = permission;

        if (boxAdmin) {
            m_nConnected = 1;
        } else {
            const int account = m_nConnectAccountType;
            m_nConnected = account == 0 || account == 4 || account == 6 ? 1 : 0;
        }
        // A public user needs no account on these devices.
        if (strUserName.CompareNoCase(L"public") == 0 && m_nTCPVersion >= kFirstPublicAccount &&
            m_nConnectAccountType == 1) {
            m_nConnected = 1;
        }
        m_nBoxLogin = 0;
        m_strLastUserName = strUserName;
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::AccountLogin(CString strAccountName, CString strPassword,
                                 PFN_VESK_COMMSTATE pfnCommState, int& nResult) {
    WipeOnExit wipe(strPassword);
    try {
        CSyncMgrLock lock;
        nResult = 0;
        if (m_nConnected && m_nAccountType != 6)
            return 0;
        if (m_nAccountType == 0 || m_nAccountType == 4)
            return 0;
        if (strAccountName.IsEmpty() && m_nAccountType != 2)
            return kEmptyName;

        const NameText name(strAccountName);
        const PasswordText password(strPassword);
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore || !pCore->IsConnected())
            return kNoConnection;

        if (m_nTCPVersion < kFirstRecordLogin) {
            int colourForbidden = 0;
            if (pCore->AccountLogin(name.c_str(), name.length(), password.c_str(), colourForbidden,
                                    pfnCommState) != 1) {
                return nResult;
            }
            if (m_docOperationPermission.nColourForbidden != 1)
                m_docOperationPermission.nColourForbidden = colourForbidden;
        } else {
            tagUTIL_DOCOPERATIONPERMISSION permission{};
            if (pCore->AccountLogin2(name.c_str(), name.length(), password.c_str(), permission,
                                     pfnCommState) != 1) {
                return nResult;
            }
            SetDocOperationPermission(permission);
        }
        m_nConnected = 1;
        m_nBoxLogin = 0;
        m_strLastAccountName = strAccountName;
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

// A restriction the user login brought stays when the account allows the operation.
void CVESKMFPDevice::SetDocOperationPermission(const tagUTIL_DOCOPERATIONPERMISSION& permission) {
    auto merge = [](int& kept, int given) { kept = kept == 1 ? 1 : given; };
    tagUTIL_DOCOPERATIONPERMISSION& p = m_docOperationPermission;
    merge(p.nCopyForbidden, permission.nCopyForbidden);
    merge(p.nPrintForbidden, permission.nPrintForbidden);
    merge(p.nScanDocForbidden, permission.nScanDocForbidden);
    merge(p.nStoreForbidden, permission.nStoreForbidden);
    merge(p.nFaxTXForbidden, permission.nFaxTXForbidden);
    merge(p.nSendPrintForbidden, permission.nSendPrintForbidden);
    merge(p.nColourForbidden, permission.nColourForbidden);
    merge(p.nColourPrintForbidden, permission.nColourPrintForbidden);
    merge(p.nBlackPrintForbidden, permission.nBlackPrintForbidden);
}

int CVESKMFPDevice::CustomizedLogin(void* pData, int nDataSize, tagUTIL_DETAIL_LOGIN_RESULT& result,
                                    PFN_VESK_COMMSTATE pfnCommState) {
    try {
        if (m_nConnected)
            return 0;
        if (!IsCustomizedUserType(m_nUserType))
            return 0;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return kNoConnection;
        tagUTIL_DOCOPERATIONPERMISSION permission = m_docOperationPermission;
        if (pCore->CustomizedLogin(pData, nDataSize, result, permission, pfnCommState) != 1)
            return 0;
        m_docOperationPermission = permission;
        m_nConnected = 1;
        m_nBoxLogin = 0;
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::GetCustomizedLoginInformation(int nInfoType, void* pBuffer, int nBufferSize,
                                                  int& nDataSize, int& nTotalSize) {
    try {
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return 0;
        return pCore->GetCustomizedLoginInformation(nInfoType, pBuffer, nBufferSize, nDataSize,
                                                    nTotalSize) == 1
                   ? 1
                   : 0;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::GetCustomizedLoginInformation2(int nInfoType, void* pBuffer, int nBufferSize,
                                                   int& nDataSize, int& nTotalSize) {
    try {
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return 0;
        return pCore->GetCustomizedLoginInformation2(nInfoType, pBuffer, nBufferSize, nDataSize,
                                                     nTotalSize) == 1
                   ? 1
                   : 0;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::SetCurrentUserInfo() {
    try {
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return 0;
        char userName[QTCP_USERNAME_SIZE] = {};
        char serverName[QTCP_SERVERNAME_SIZE] = {};
        if (pCore->GetUserInfo4CurrentUser(userName, serverName) == 0)
            return 0;
        CString user = FieldText(userName, sizeof userName);
        CString server = FieldText(serverName, sizeof serverName);
        m_strLastUserName = std::move(user);
        m_strAuthServer = std::move(server);
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::GetAccountName4CurrentUser(CString& strAccountName) {
    try {
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return 0;
        char name[QTCP_ACCOUNTNAME_SIZE] = {};
        if (pCore->GetAccountName4CurrentUser(name, sizeof name) != 1)
            return 0;
        strAccountName = FieldText(name, sizeof name);
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::GetAccSyncType() {
    try {
        CTcpCore* pCore = GetCurTcpCoreObject();
        tagUTIL_CURRENT_USER_INFO info{};
        if (pCore)
            pCore->GetUserInfo4CurrentUser2(info);
        return info.nAccountSyncType;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::GetServerList(
    CArray<tagUTIL_AUTHSERVERINFO, tagUTIL_AUTHSERVERINFO&>& servers) {
    try {
        CSyncMgrLock lock;
        if (m_nUserType == 0 || m_nUserType == 1)
            return 0;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore || !pCore->IsConnected())
            return kNoConnection;
        std::vector<tagUTIL_AUTHSERVERINFO> list;
        // A list the device did not give is not an empty list.
        if (pCore->GetAuthServerList(list) != 1)
            return 0;
        servers.RemoveAll();
        for (tagUTIL_AUTHSERVERINFO& server : list)
            servers.Add(server);
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::SetServerInfo(int nIndex, const wchar_t* pszName, const wchar_t* pszSecond) {
    try {
        CSyncMgrLock lock;
        if (m_nUserType == 0 || m_nUserType == 1)
            return 0;
        if (!pszName)
            return 0;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return 0;
        const SecretText<QTCP_PASSWORD_SIZE> name{CString(pszName)};
        const SecretText<QTCP_PASSWORD_SIZE> second(CString(pszSecond ? pszSecond : L""));
        // A change the device refused is not reported as made.
        return pCore->SetAuthServerInfo(nIndex, name.c_str(), second.c_str()) == 1 ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::GetSimpleAuthEnable(int& nEnable) {
    try {
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return 0;
        return pCore->InquireSimpleAuthenticationEnable(nEnable) != 0 ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::SetSimpleAuthEnable(int nEnable) {
    try {
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return 0;
        return pCore->SetSimpleAuthentication(nEnable) != 0 ? 1 : 0;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::GetRXDataSecured() {
    OutputDebugStringA("TL:inside BOOL CVESKMFPDevice::GetRXDataSecured()");
    CTcpCore* pCore = GetCurTcpCoreObject();
    int value = -1;
    if (!pCore || pCore->InquireSecuritySettingOfRXData(value) == 0) {
        OutputDebugStringA("Error return from InquireSecuritySettingOfRXData Function");
        return -1;
    }
    switch (value) {
        case 1:
            OutputDebugStringA("Returning Value 1, RXData Secured");
            break;
        case 0:
            OutputDebugStringA("Returning Value 0, RXData Secured");
            break;
        case 2:
            OutputDebugStringA("Returning Value 2, Box Admin User");
            break;
        default:
            break;
    }
    return value;
}

int CVESKMFPDevice::IsTrimUserNameInCaseOfLDAPServer(int& nTrim) {
    CTcpCore* pCore = GetCurTcpCoreObject();
    return pCore ? pCore->IsTrimUserNameInCaseOfLDAPServer(nTrim) : 0;
}

int CVESKMFPDevice::GetBoxAdminSupport(int& nSupported) {
    CTcpCore* pCore = GetCurTcpCoreObject();
    return pCore ? pCore->GetBoxAdminSupport(nSupported) : 0;
}

int CVESKMFPDevice::IsIOption(int& nIOption) {
    CTcpCore* pCore = GetCurTcpCoreObject();
    return pCore ? pCore->IsIOption(nIOption) : 0;
}
