// Network device search over SNMP and the MIB filter file "SrchMIB.conf".
//
// CDeviceSearch holds what the root item keeps for a search (the MIB handle and the
// OID include and exclude lists) and carries out the root's search operations; the
// root owns one and forwards to it. What only the root knows, whether an address is
// registered and under which name, comes in through IRegisteredDevices.
//
// Filter file syntax, one entry per line, each line trimmed of white space:
//     # comment                       (also any empty line; ignored)
//     OIDInclude = 1.3.6.1.4.1.59731.1.2.1.2.1.*
//     OIDExclude = 1.3.6.1.4.1.59731.1.2.1.2.1.12
// A pattern is a dotted identifier in which a component may be "*", standing for one
// whole component. Patterns that fail IsCorrectMIB are dropped; other lines are ignored.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>

#include "mib/qdevmib.h"
#include "platform/collections.h"
#include "platform/cstring.h"
#include "platform/export.h"

// One discovered device before its description is asked.
struct DEVICE_SEARCH_RESULT {
    wchar_t szIPAddress[33];  // at most 32 characters, zero-terminated
    wchar_t szObjectID[40];   // at most 40 characters; zero-terminated only when shorter
};

// One search result handed to the user interface.
struct DEVICE_SEARCH_INFOEX {
    wchar_t szIPAddress[33];
    wchar_t szObjectID[40];
    wchar_t szSysDescr[81];  // at most 80 characters
    int nIndex;              // place in the filtered target list, before sorting
    int bRegistered;         // 1 when a registered device has exactly this address
    wchar_t szRegisteredName[256];
};

namespace vesk {

// The root's answers about its registered devices (exact, case-sensitive addresses).
class IRegisteredDevices {
public:
    virtual ~IRegisteredDevices() = default;
    virtual int IsRegisteredDevice(wchar_t* pszAddress) = 0;
    // Writes the display name (cut to nSize - 1 characters) or an empty string.
    virtual int GetRegisteredName(wchar_t* pszName, int nSize, const wchar_t* pszAddress) = 0;
};

// The SNMP library calls a search makes. DefaultMibLibrary() forwards to QDevMIB;
// tests put a scripted one in its place to reach every failure path.
class IMibLibrary {
public:
    virtual ~IMibLibrary() = default;
    virtual int Initialize() = 0;
    virtual int Create() = 0;
    virtual int SetTimeout(int handle, int first, int second) = 0;
    virtual int Bind(int handle, const char* community, int port) = 0;
    virtual int IsEnabled(int handle) = 0;
    virtual int GetsysObjectIDList(int handle, mib::HGLOBAL* memory, int* count, int* stop) = 0;
    virtual int GetsysDescr(int handle, char* buffer, int size, const char* address, int* stop) = 0;
    virtual int Cancel(int handle) = 0;
    virtual void Delete(int handle) = 0;
    virtual void* Lock(mib::HGLOBAL memory) = 0;
    virtual void Unlock(mib::HGLOBAL memory) = 0;
    virtual void Free(mib::HGLOBAL memory) = 0;
    virtual std::size_t Size(mib::HGLOBAL memory) = 0;
};

VESK_API IMibLibrary& DefaultMibLibrary();

// inet_addr as the C library has it (decimal, octal and hex parts; 1 to 4 parts), in
// host byte order; nullopt when it does not parse, which includes 255.255.255.255.
VESK_API std::optional<unsigned long> InetAddr(const char* text);

}  // namespace vesk

class VESK_API CDeviceSearch {
public:
    // Neither pointer is owned. Without `registered` no result is marked registered.
    explicit CDeviceSearch(vesk::IRegisteredDevices* registered = nullptr,
                           vesk::IMibLibrary* mib = nullptr);
    CDeviceSearch(const CDeviceSearch&) = delete;
    CDeviceSearch& operator=(const CDeviceSearch&) = delete;

    // Discovers, filters, describes, marks and sorts. 1 found (sorted) or stopped; 0 nothing
    // found or a step failed; -1049 SNMP unusable; -1050 discovery failed; -1001 memory.
    int SearchDevice(CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&>& results);
    // Appends the patterns of the filter file to the lists. 1 read, 0 missing or unreadable.
    int LoadParameterFromFile();
    int IsCorrectMIB(const wchar_t* pszPattern);
    int IsMatchDeviceID(CString strObjectID, CString strPattern);
    int IsTargetDevice(const wchar_t* pszObjectID);
    int GetTargetDevIDList(CArray<DEVICE_SEARCH_RESULT, DEVICE_SEARCH_RESULT&>& targets,
                           CArray<DEVICE_SEARCH_RESULT, DEVICE_SEARCH_RESULT&>& found);
    int SortIPAddressAsend(CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&>& results);

    // Asks a running search (from another thread, or from the registered-device
    // callbacks) to stop; it returns what it has gathered.
    void CancelSearch();

    // The filter file's full path instead of the application folder from the registry;
    // empty restores the registry.
    void SetFilterFilePath(const CString& path) { m_strFilterFilePath = path; }
    CString GetFilterFilePath() const { return m_strFilterFilePath; }

    std::atomic<int> m_nMibHandle{-1};
    CStringArray m_arrOIDInclude;
    CStringArray m_arrOIDExclude;

private:
    void ParseFilterLine(CString line);

    vesk::IRegisteredDevices* m_pRegistered;
    vesk::IMibLibrary* m_pMib;
    CString m_strFilterFilePath;
};
