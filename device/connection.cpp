// CVESKMFPDevice: the session with the device. Connect picks the mode (plain or TLS)
// and the protocol class from what the device reports, opens the session and keeps
// the device's answers; Disconnect ends it and writes the last-login fields back.
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "cache/vesk_cache.h"
#include "core/current_tcpcore.h"
#include "core/device_owner.h"
#include "core/sync_lock.h"
#include "device/mfp_device.h"
#include "device/tls_trust.h"
#include "platform/charset.h"
#include "platform/trace.h"
#include "tcpcore/tcpcore.h"

namespace {

constexpr int kMemory = -1001;
constexpr int kRefused = -1002;
constexpr int kInitializeFailed = -1003;
constexpr int kNoDeviceInfo = -1004;
constexpr int kUninitializeFailed = -1005;
constexpr int kNotSupported = -1012;  // also: no usable connection
constexpr int kNoAddress = -1013;
constexpr int kNoDeviceUnit = -1014;
constexpr int kNullIdentifier = -1015;
constexpr int kShortIdentifier = -1016;
constexpr int kNoNameOrAddress = -1017;
constexpr int kDisconnectFailed = -1021;
constexpr int kUserLoginNeeded = -1051;
constexpr int kAccountLoginNeeded = -1052;
constexpr int kCustomizedLoginNeeded = -1064;
constexpr int kNoProtocolClass = -1066;
constexpr int kNoOptionalFunctions = -1079;
constexpr int kNoHardDisk = -1082;
constexpr int kCertificateChanged = -1090;

// The device unit is the identifier before this dot.
constexpr int kUnitDots = 13;
// Protocol 3.x devices from this model number on are not supported.
constexpr int kFirstUnsupported3xModel = 169;

// Time-outs in seconds handed to the information query: connect, send, receive.
constexpr int kInfoConnectTimeout = 5;
constexpr int kInfoSendTimeout = 12;
constexpr int kInfoReceiveTimeout = 12;

// Addresses and unit names travel in the system code page (UTF-8 here).
std::string ToCodePage(const CString& str) {
    return vesk::WideToUtf8(str.str());
}

// Makes pNew the current communication object and deletes the one it replaces: the
// device items are the only owners of these objects.
void ReplaceCurrentTcpCore(CTcpCore* pNew) {
    delete vesk::SetCurrentTcpCore(pNew);
}

// Why the library refused, for whoever reads the trace.
void TraceLibraryFailure(const char* step, CTcpCore* pCore) {
    int code = 0;
    int detail = 0;
    if (pCore)
        pCore->GetLastErrorCode(code, detail);
    std::string line = "CVESKMFPDevice: ";
    line += step;
    line += " failed, code " + std::to_string(code) + " detail " + std::to_string(detail);
    OutputDebugStringA(line.c_str());
}

}  // namespace

int CVESKMFPDevice::Connect(PFN_VESK_COMMSTATE pfnCommState, CString) {
    const int plainPort = m_nPortNo;
    try {
        // The SSL port only stands in for the plain one while an attempt runs; the
        // plain port comes back on every way out, so a later registry write never
        // records the SSL port as the plain one.
        struct RestorePort {
            int& port;
            int plain;
            ~RestorePort() { port = plain; }
        } restore{m_nPortNo, plainPort};

        // Another thread may be in the middle of a call on the current object: the
        // object is replaced (and deleted) only under the device-transaction lock that
        // every such call holds.
        CSyncMgrLock lock;
        // The other sessions end on the object they were opened with, before a new
        // object replaces it; ending them on the new one would reach no device.
        DisconnectConnectedDevices();
        ReplaceCurrentTcpCore(new CTcpCoreV20);

        const vesk::device::TlsTrust trust =
            vesk::device::ReadTlsTrust(m_strDevAddress.str(), m_nSSLPortNo);
        m_strRecordedFingerprint = trust.fingerprint;
        m_strPresentedFingerprint.clear();
        m_nTrustState = kTrustNone;
        m_nConnectFailureCode = 0;
        // A device known by its certificate is not reached in the clear unless the
        // user allowed it: a blocked TLS port must not send the password in clear.
        const bool tlsOnly = std::exchange(m_bRequireTlsOnce, false) || trust.tlsOnly ||
                             (!trust.fingerprint.empty() && !trust.allowPlain);

        int modes[2] = {0, 1};
        if (m_nLastTCPComm != -1) {
            modes[0] = m_nLastTCPComm == 1 ? 1 : 0;
            modes[1] = 1 - modes[0];
        }
        if (tlsOnly)
            modes[0] = 1;
        const int modeCount = tlsOnly ? 1 : 2;
        int result = 0;
        int used = -1;
        for (int i = 0; i < modeCount; ++i) {
            const int mode = modes[i];
            m_nPortNo = mode == 1 ? m_nSSLPortNo : plainPort;
            m_nTCPMode = mode;
            result = CreateDevice(pfnCommState);
            // Once the device has answered in this mode, the other mode would reach
            // the same device: the answer decides.
            if (m_nDevOpened == 1 || result == 1) {
                used = mode;
                break;
            }
            // Another certificate on the TLS port: no plain attempt either.
            if (NoteAttemptFailure())
                return kCertificateChanged;
        }
        if (result != 1)
            return result;

        result = ConnectMFP(pfnCommState);
        m_nPortNo = plainPort;
        if (result != 1) {
            if (NoteAttemptFailure())
                return kCertificateChanged;
            return result;
        }
        if (used == 1)
            NoteTlsSession();

        CTcpCore* pCore = GetCurTcpCoreObject();
        if (m_nTCPVersion >= 44) {
            long functions = 0;
            if (!pCore || pCore->GetOptionalFunction(functions) == 0) {
                TraceLibraryFailure("GetOptionalFunction", pCore);
                AbandonSession();
                return kNoOptionalFunctions;
            }
            m_lSupportedFileFormat = functions;
        }

        if (m_pRoot && m_pRoot->GetCache()) {
            CVESKCache* pRootCache = m_pRoot->GetCache();
            pRootCache->DeleteAllTransFiles(0);
            if (pRootCache->GetDeleteType() == 0)
                pRootCache->DeleteAllTempFiles(0);
        }
        m_pCache->SetMfpName(m_strItemName);

        m_nLastTCPComm = used;
        if (m_nConnected)
            return 1;
        if (m_nUserType == 0)
            return kAccountLoginNeeded;
        if (m_nUserType == 3)
            return kCustomizedLoginNeeded;
        return kUserLoginNeeded;
    } catch (const std::bad_alloc&) {
        m_nPortNo = plainPort;
        return kMemory;
    }
}

void CVESKMFPDevice::DisconnectConnectedDevices() {
    ItemList* pDevices = m_pRoot ? m_pRoot->GetItemList() : nullptr;
    bool self = false;
    for (POSITION pos = pDevices ? pDevices->GetHeadPosition() : nullptr; pos;) {
        auto* pDevice = DYNAMIC_DOWNCAST(CVESKMFPDevice, pDevices->GetNext(pos));
        if (!pDevice)
            continue;
        self = self || pDevice == this;
        if (pDevice->GetConnected())
            pDevice->Disconnect();
    }
    if (!self && m_nConnected)
        Disconnect();
}

void CVESKMFPDevice::AbandonSession() {
    if (CTcpCore* pCore = GetCurTcpCoreObject(); pCore && pCore->IsConnected())
        pCore->Disconnect(1);
    m_nConnected = 0;
}

int CVESKMFPDevice::CreateDevice(PFN_VESK_COMMSTATE pfnCommState) {
    try {
        CSyncMgrLock lock;
        if (m_strDevAddress.IsEmpty())
            return kNoAddress;
        m_nCanceled = 0;
        m_nDevOpened = 0;
        m_strDevId.Empty();

        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return kInitializeFailed;
        if (pCore->Initialize(m_nTCPMode, nullptr) == 0) {
            TraceLibraryFailure("Initialize", pCore);
            return kInitializeFailed;
        }

        tagQTCP_DEVICEINFO info{};
        int major = 0;
        int minor = 0;
        const std::string address = ToCodePage(m_strDevAddress);
        ExpectRecordedCertificate();
        if (pCore->GetDeviceInfo(&info, major, minor, address.c_str(), m_nCanceled, m_nDevOpened,
                                 m_nPortNo, kInfoConnectTimeout, kInfoSendTimeout,
                                 kInfoReceiveTimeout, pfnCommState) == 0) {
            TraceLibraryFailure("GetDeviceInfo", pCore);
            pCore->Uninitialize();
            return kNoDeviceInfo;
        }

        // The identifier is plain ASCII; each byte becomes one character.
        std::wstring id;
        for (const char* p = info.szDeviceID; p < info.szDeviceID + sizeof info.szDeviceID && *p;
             ++p) {
            id += static_cast<wchar_t>(static_cast<unsigned char>(*p));
        }
        m_strDevId = CString(std::move(id));
        SetThumbnailDataFormat();
        int unitResult = 0;
        m_strDevUnit = GetDeviceUnit(m_strDevId.GetString(), unitResult);
        if (m_strDevUnit.IsEmpty()) {
            pCore->Uninitialize();
            return kNoDeviceUnit;
        }

        const int lastDot = m_strDevUnit.ReverseFind(L'.');
        const long model = std::wcstol(m_strDevUnit.GetString() + lastDot + 1, nullptr, 10);
        if (major <= 3 && model >= kFirstUnsupported3xModel) {
            pCore->Uninitialize();
            return kNotSupported;
        }
        const bool before411 = major < 4 || (major == 4 && minor <= 10);
        if (before411 && !(m_pRoot && m_pRoot->IsAcceptedDeviceId(m_strDevId) == 1)) {
            pCore->Uninitialize();
            return kNotSupported;
        }

        if (m_nCanceled == 1) {
            pCore->Uninitialize();
            return 1;
        }

        m_nDevOpened = 1;
        if (pCore->Uninitialize() == 0)
            return kUninitializeFailed;
        ReplaceCurrentTcpCore(nullptr);

        ReadModelFlags(major, minor);
        std::unique_ptr<CTcpCore> next;
        if (major == 3 && minor == 1) {
            if (m_nDovaMioptionFlg == 1 || m_nRookMioptionFlg == 1)
                next = std::make_unique<CTcpCoreV31DMiOP>();
            else
                next = std::make_unique<CTcpCoreV31>();
            m_nTCPVersion = 31;
        } else {
            auto factory = std::make_unique<CTcpCore>();
            next.reset(factory->GetTcpCoreObject(major, minor));
            if (!next)
                return kNoProtocolClass;
            m_nTCPVersion = factory->GetTcpVersion();
        }
        ReplaceCurrentTcpCore(next.release());

        m_nMajorVersion = major;
        m_nMinorVersion = minor;
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

CString CVESKMFPDevice::GetDeviceUnit(const wchar_t* pszDeviceId, int& nResult) {
    if (!pszDeviceId) {
        nResult = kNullIdentifier;
        return CString();
    }
    const CString id(pszDeviceId);
    int pos = 0;
    for (int i = 0; i < kUnitDots; ++i) {
        pos = id.Find(L'.', i == 0 ? 1 : pos + 1);
        if (pos < 0) {
            nResult = kShortIdentifier;
            return CString();
        }
    }
    nResult = 1;
    return id.Left(pos);
}

int CVESKMFPDevice::ConnectMFP(PFN_VESK_COMMSTATE pfnCommState) {
    try {
        CSyncMgrLock lock;
        if (m_strItemName.IsEmpty() || m_strDevAddress.IsEmpty())
            return kNoNameOrAddress;
        m_nCanceled = 0;

        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return kNotSupported;
        const std::string unit = ToCodePage(m_strDevUnit);
        if (pCore->Initialize(m_nTCPMode, unit.c_str()) == 0) {
            TraceLibraryFailure("Initialize", pCore);
            return kInitializeFailed;
        }
        pCore->SetCallbackCommunicate(pfnCommState);
        ExpectRecordedCertificate();

        const std::string address = ToCodePage(m_strDevAddress);
        if (pCore->Connect(address.c_str(), m_nPortNo, m_nUserType, m_nAccountType,
                           m_nPublicSupport, pfnCommState) == 0) {
            TraceLibraryFailure("Connect", pCore);
            return kRefused;
        }

        if (m_nTCPVersion >= 43)
            m_nRXDataSecured = GetRXDataSecured();
        if (m_nTCPVersion >= 34) {
            int disks = 0;
            if (pCore->GetHDDCount(disks) == 0)
                disks = 0;
            m_nHardDiskCount = disks;
            if (m_nTCPVersion >= 44 && disks == 0) {
                AbandonSession();
                return kNoHardDisk;
            }
        }

        m_nConnectAccountType = m_nAccountType;
        m_nConnected = m_nUserType == 0 && (m_nAccountType == 0 || m_nAccountType == 4) ? 1 : 0;
        m_nBoxLogin = 0;
        m_docOperationPermission = tagUTIL_DOCOPERATIONPERMISSION{};
        m_nMono2DocOutputPolicy = 0;

        if (m_nTCPVersion >= 32) {
            pCore->GetBoxControlPermission(m_boxControlPermission);
            pCore->GetAutoDelTimePermission(m_autoDelTimePermission);
            pCore->GetMono2ColorDocPolicy(m_nMono2DocOutputPolicy);
        }
        pCore->IsIOption(m_nIOption);
        if (m_nTCPVersion == 31 && (m_nDovaMioptionFlg == 1 || m_nRookMioptionFlg == 1))
            pCore->GetAutoDelTimePermission(m_autoDelTimePermission);
        if (m_nTCPVersion >= 40) {
            m_extendedFormatSupportInfo = tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO{};
            m_extendedFormatSupportInfo2 = tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2{};
            pCore->GetExtendedFormatSupportInfo(m_extendedFormatSupportInfo);
            pCore->GetExtendedFormatSupportInfo2(m_extendedFormatSupportInfo2);
        } else if (m_nTCPVersion >= 33) {
            m_spdfSupportInfo = tagUTIL_SPDF_SUPPORT_INFO{};
            pCore->GetSearchablePDFSupportInfo(m_spdfSupportInfo);
        }
        m_nEnhancedSecurityMode = 0;
        if (m_nTCPVersion >= 49) {
            int mode = 0;
            if (pCore->InquireEnhancedSecurityMode(mode) != 0)
                m_nEnhancedSecurityMode = mode;
        }
        return 1;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::Disconnect() {
    try {
        CSyncMgrLock lock;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return 0;
        int result = 1;
        // A session the library has already lost still ends here: the item must not
        // stay connected on a session that is gone.
        if (m_nConnected && pCore->Disconnect(1) == 0) {
            TraceLibraryFailure("Disconnect", pCore);
            result = kDisconnectFailed;
        }
        m_nConnected = 0;
        if (!m_pRoot || !m_pRoot->GetSaveUserName())
            m_strLastUserName.Empty();
        if (!m_pRoot || !m_pRoot->GetSaveAccountName())
            m_strLastAccountName.Empty();

        ITEMINFO unchanged;
        const int written = ModifyItem(unchanged, CString());

        // The session is over whether or not the registry kept the last login, so the
        // item is reset either way; a failed write-back is still reported.
        for (POSITION pos = m_pChildList->GetHeadPosition(); pos;)
            delete m_pChildList->GetNext(pos);
        m_pChildList->RemoveAll();
        m_nBoxLogin = 0;
        m_nUserType = -1;
        m_nAccountType = -1;
        return written != 1 ? written : result;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}

int CVESKMFPDevice::Reconnect() {
    try {
        CSyncMgrLock lock;
        if (!m_nConnected)
            return 0;
        CTcpCore* pCore = GetCurTcpCoreObject();
        if (!pCore)
            return 0;
        if (pCore->IsConnected())
            return 1;
        int status = 0;
        return pCore->ReconnectInfinite(status, m_docOperationPermission.nColourForbidden) == 1 ? 1
                                                                                                : 0;
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
}
