// CVESKMFPDevice: printing a box document, and what the device reported at connect
// about the file formats it can produce.
#include "device/mfp_device.h"
#include "tcpcore/tcpcore.h"

namespace {

constexpr int kNoConnection = -1012;
// From this protocol number on the extended format records replace the
// searchable-PDF record.
constexpr int kFirstExtendedFormats = 40;

}  // namespace

int CVESKMFPDevice::SetDocumentForPrint(long lDocumentNo) {
    CTcpCore* pCore = GetCurTcpCoreObject();
    return pCore ? pCore->SetDocument(lDocumentNo) : kNoConnection;
}

int CVESKMFPDevice::GetDevicePrintSettings(PrintSetting& settings) {
    CTcpCore* pCore = GetCurTcpCoreObject();
    return pCore ? pCore->GetEffectivePrintSettings(settings) : kNoConnection;
}

int CVESKMFPDevice::GetCurrentDocumentPrintSettings(PrintSetting& settings) {
    CTcpCore* pCore = GetCurTcpCoreObject();
    return pCore ? pCore->GetCurrentSetDocumentPrintSettings(settings) : kNoConnection;
}

int CVESKMFPDevice::PrintDocument(PrintSetting& settings) {
    CTcpCore* pCore = GetCurTcpCoreObject();
    return pCore ? pCore->PrintDocument(settings) : kNoConnection;
}

int CVESKMFPDevice::GetSearchPdfSupport() {
    return m_nTCPVersion >= kFirstExtendedFormats ? m_extendedFormatSupportInfo.nSearchablePDF
                                                  : m_spdfSupportInfo.nSearchablePDF;
}

int CVESKMFPDevice::GetLangNumSupport() {
    return m_nTCPVersion >= kFirstExtendedFormats ? m_extendedFormatSupportInfo.nLangNum
                                                  : m_spdfSupportInfo.nLangNum;
}

int CVESKMFPDevice::GetLangSupport(int nIndex) {
    if (nIndex < 0 || nIndex >= QTCP_MAX_LANGUAGES)
        return 0;
    return m_nTCPVersion >= kFirstExtendedFormats ? m_extendedFormatSupportInfo.nLang[nIndex]
                                                  : m_spdfSupportInfo.nLang[nIndex];
}

int CVESKMFPDevice::GetPDFASupport() {
    return m_nTCPVersion >= kFirstExtendedFormats ? m_extendedFormatSupportInfo2.nPDFA : 0;
}

int CVESKMFPDevice::GetLinearizedPDFSupport() {
    return m_nTCPVersion >= kFirstExtendedFormats ? m_extendedFormatSupportInfo2.nLinearizedPDF : 0;
}
