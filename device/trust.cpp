// CVESKMFPDevice: trust on first use of the device's TLS certificate, and the rule
// that a device with a recorded certificate is not reached over plain TCP unless the
// user allowed it.
#include "core/current_tcpcore.h"
#include "device/mfp_device.h"
#include "device/tls_trust.h"
#include "platform/charset.h"
#include "tcpcore/tcpcore.h"

using vesk::device::NormalizeFingerprint;
using vesk::device::ReadTlsTrust;
using vesk::device::TlsTrust;
using vesk::device::WriteTlsTrust;

std::string CVESKMFPDevice::GetRecordedFingerprint() const {
    return ReadTlsTrust(m_strDevAddress.str(), m_nSSLPortNo).fingerprint;
}

int CVESKMFPDevice::TrustCertificate(const std::string& fingerprint) {
    const std::string fp =
        NormalizeFingerprint(fingerprint.empty() ? m_strPresentedFingerprint : fingerprint);
    if (fp.empty() || m_strDevAddress.IsEmpty())
        return 0;
    TlsTrust t = ReadTlsTrust(m_strDevAddress.str(), m_nSSLPortNo);
    t.fingerprint = fp;
    if (!WriteTlsTrust(m_strDevAddress.str(), m_nSSLPortNo, t))
        return 0;
    m_strRecordedFingerprint = fp;
    return 1;
}

int CVESKMFPDevice::GetAllowPlain() const {
    return ReadTlsTrust(m_strDevAddress.str(), m_nSSLPortNo).allowPlain ? 1 : 0;
}

int CVESKMFPDevice::SetAllowPlain(int allow) {
    TlsTrust t = ReadTlsTrust(m_strDevAddress.str(), m_nSSLPortNo);
    t.allowPlain = allow != 0;
    return WriteTlsTrust(m_strDevAddress.str(), m_nSSLPortNo, t) ? 1 : 0;
}

int CVESKMFPDevice::GetTlsOnly() const {
    return ReadTlsTrust(m_strDevAddress.str(), m_nSSLPortNo).tlsOnly ? 1 : 0;
}

int CVESKMFPDevice::SetTlsOnly(int tlsOnly) {
    TlsTrust t = ReadTlsTrust(m_strDevAddress.str(), m_nSSLPortNo);
    t.tlsOnly = tlsOnly != 0;
    return WriteTlsTrust(m_strDevAddress.str(), m_nSSLPortNo, t) ? 1 : 0;
}

void CVESKMFPDevice::ExpectRecordedCertificate() {
    if (CTcpCore* pCore = vesk::GetCurrentTcpCore())
        pCore->SetExpectedCertificateSha256(m_strRecordedFingerprint);
}

bool CVESKMFPDevice::NoteAttemptFailure() {
    CTcpCore* pCore = vesk::GetCurrentTcpCore();
    if (!pCore)
        return false;
    int code = 0;
    int detail = 0;
    pCore->GetLastErrorCode(code, detail);
    if (m_nTCPMode == 1)
        m_strPresentedFingerprint = pCore->GetPresentedCertificateSha256();
    // Nothing listening is no cause worth naming over a later one.
    if (m_nConnectFailureCode == 0 && code != QTCP_OK && code != QTCP_ERR_CONNECT)
        m_nConnectFailureCode = code;
    if (code != QTCP_ERR_CERT_CHANGED)
        return false;
    m_nTrustState = kTrustChanged;
    m_nConnectFailureCode = code;
    return true;
}

void CVESKMFPDevice::NoteTlsSession() {
    CTcpCore* pCore = vesk::GetCurrentTcpCore();
    m_strPresentedFingerprint =
        pCore ? NormalizeFingerprint(pCore->GetPeerCertificateSha256()) : "";
    if (m_strPresentedFingerprint.empty())
        return;
    if (!m_strRecordedFingerprint.empty()) {
        m_nTrustState = kTrustTrusted;  // the library refused any other certificate
        return;
    }
    m_nTrustState = kTrustNew;
    TlsTrust t = ReadTlsTrust(m_strDevAddress.str(), m_nSSLPortNo);
    t.fingerprint = m_strPresentedFingerprint;
    if (WriteTlsTrust(m_strDevAddress.str(), m_nSSLPortNo, t))
        m_strRecordedFingerprint = m_strPresentedFingerprint;
}
