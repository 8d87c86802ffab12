// CVESKRoot: the MIB filter check that the connection of an older device goes through.
#include "root/vesk_root.h"
#include "settings/device_search.h"

// The filter file is read again for every check, so a changed file counts at the
// next connect; a fresh filter object gives the same answer as lists that keep
// growing with each read. A memory exception reaches the caller, which reports it.
int CVESKRoot::IsAcceptedDeviceId(const CString& strDeviceId) {
    CDeviceSearch filter;
    filter.LoadParameterFromFile();
    return filter.IsTargetDevice(strDeviceId.GetString()) == 1 ? 1 : 0;
}
