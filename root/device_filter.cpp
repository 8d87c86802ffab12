// CVESKRoot: the MIB filter check that the connection of an older device goes through.
#include "root/vesk_root.h"
#include "settings/device_search.h"

// The filter file is read afresh for every check, into lists of its own: a changed
// file counts at the next connect, the root's lists do not grow with every connect,
// and a search running meanwhile keeps its own lists. The file is the one the
// root's search reads. A memory exception reaches the caller, which reports it.
int CVESKRoot::IsAcceptedDeviceId(const CString& strDeviceId) {
    CDeviceSearch filter;
    if (CDeviceSearch* pSearch = GetDeviceSearch())
        filter.SetFilterFilePath(pSearch->GetFilterFilePath());
    filter.LoadParameterFromFile();
    return filter.IsTargetDevice(strDeviceId.GetString()) == 1 ? 1 : 0;
}
