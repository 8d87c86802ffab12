// The root's device-search members: the search object it owns keeps the MIB handle
// and the OID lists, and asks the root which addresses are registered.
#include "root/vesk_root.h"

int CVESKRoot::SearchDevice(CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&>& results) {
    return m_pSearch->SearchDevice(results);
}

int CVESKRoot::GetTargetDevIDList(CArray<DEVICE_SEARCH_RESULT, DEVICE_SEARCH_RESULT&>& targets,
                                  CArray<DEVICE_SEARCH_RESULT, DEVICE_SEARCH_RESULT&>& found) {
    return m_pSearch->GetTargetDevIDList(targets, found);
}

int CVESKRoot::SortIPAddressAsend(CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&>& results) {
    return m_pSearch->SortIPAddressAsend(results);
}

int CVESKRoot::LoadParameterFromFile() {
    return m_pSearch->LoadParameterFromFile();
}

int CVESKRoot::IsCorrectMIB(const wchar_t* pszPattern) {
    return m_pSearch->IsCorrectMIB(pszPattern);
}

int CVESKRoot::IsMatchDeviceID(CString strObjectID, CString strPattern) {
    return m_pSearch->IsMatchDeviceID(std::move(strObjectID), std::move(strPattern));
}

int CVESKRoot::IsTargetDevice(const wchar_t* pszObjectID) {
    return m_pSearch->IsTargetDevice(pszObjectID);
}
