// QDevMIB: SNMP discovery of devices (sysObjectID and sysDescr).
//
// A caller creates a handle, binds it to a read community and port, asks for the list
// of devices that answer, then asks for each device's description. Discovery sends one
// SNMPv2c GET for sysObjectID.0 and sysDescr.0 to every target at once; the answers'
// descriptions are kept in the handle, so the later description calls need no traffic.
//
// Targets. By default the request goes to the limited broadcast address 255.255.255.255
// once from every up, broadcast-capable IPv4 interface address (loopback excepted), so
// that it leaves through every such interface, or only from the interfaces an override
// names; a machine without such an interface sends it once, where the system routes it. A list of
// targets replaces the broadcast, per handle (_Mib_SetTargets) or process-wide
// (vesk::mib::SetOverrides, or the environment, see below). A target that is a local interface's
// broadcast address, or 255.255.255.255, is asked as a broadcast (every answer counts). Syntax:
// entries separated by commas, semicolons or blanks, each one of
//     A.B.C.D            one address
//     A.B.C.D-E          the addresses A.B.C.D to A.B.C.E
//     A.B.C.D-W.X.Y.Z    an address range
// optionally followed by ":PORT" (otherwise the bound port applies). At most
// kMaxTargets addresses in all. "255.255.255.255" stands for a broadcast.
//
// Process-wide overrides win over what a handle's caller sets; they are captured when a
// handle is created. Without SetOverrides they come from these environment variables:
//     VESK_SNMP_TARGETS        target list (syntax above)
//     VESK_SNMP_INTERFACES     interfaces to broadcast on, by name, separated by commas
//     VESK_SNMP_PORT           port, 1-65535
//     VESK_SNMP_COMMUNITY      read community
//     VESK_SNMP_TIMEOUT_MS     time-out of one try, milliseconds (1-60000)
//     VESK_SNMP_RETRIES        retries after the first try (0-10)
//     VESK_SNMP_LOOPBACK_ONLY  "1": refuse every target outside 127.0.0.0/8
// A malformed value disables the handle (_Mib_IsEnabled gives 0) rather than falling
// back to a broadcast.
//
// Stop: every wait checks the caller's stop flag and the handle's cancel request
// (_Mib_Cancel, from any thread). When either is set the call returns what it has and
// sets the stop flag to 1.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/callconv.h"
#include "platform/export.h"

namespace vesk::mib {

// Movable memory block standing in for the Windows global-memory handle that the
// device list is returned in. The caller locks, reads, unlocks and frees it.
struct GlobalBlock;
using HGLOBAL = GlobalBlock*;

VESK_API HGLOBAL GlobalAlloc(std::size_t bytes);  // zero-filled; null on failure
VESK_API void* GlobalLock(HGLOBAL block);         // null for a null handle
VESK_API bool GlobalUnlock(HGLOBAL block);        // true while still locked
VESK_API HGLOBAL GlobalFree(HGLOBAL block);       // null on success, as on Windows
VESK_API std::size_t GlobalSize(HGLOBAL block);

// One entry of the device list: the address, then the sysObjectID in dotted form, each
// a zero-terminated single-byte string in its fixed field.
inline constexpr std::size_t kAddressBytes = 65;
inline constexpr std::size_t kObjectIdBytes = 41;
inline constexpr std::size_t kEntryBytes = kAddressBytes + kObjectIdBytes;

inline constexpr int kMaxTargets = 4096;

struct Overrides {
    std::optional<std::string> targets;
    std::optional<std::string> interfaces;  // names; only for the broadcast
    std::optional<int> port;
    std::optional<std::string> community;
    std::optional<int> timeoutMs;
    std::optional<int> retries;
    bool loopbackOnly = false;
};

// Installs process-wide overrides for handles created from now on; nullopt returns to
// the environment variables.
VESK_API void SetOverrides(std::optional<Overrides> overrides);
// What the environment variables say (unset variables stay unset).
VESK_API Overrides OverridesFromEnvironment();

// An interface address a discovery without targets broadcasts from.
struct BroadcastInterface {
    std::string name;
    std::string address;  // dotted, with the prefix length: "192.168.1.5/24"
};
// Where such a discovery would broadcast now, on the named interfaces (names as in
// VESK_SNMP_INTERFACES) or on all. Empty: no interface qualifies, and the limited
// broadcast address is used. nullopt (with a reason) when a named interface cannot be
// used or the interfaces cannot be listed.
VESK_API std::optional<std::vector<BroadcastInterface>> BroadcastInterfaces(
    const std::optional<std::string>& names, std::string* error = nullptr);

// Why the handle's last call failed, for logs and test messages.
VESK_API std::string GetLastErrorText(int handle);

}  // namespace vesk::mib

extern "C" {

// Prepares the SNMP library; non-zero when ready. Safe to call repeatedly.
VESK_API int __stdcall _Mib_Initialize();
// A new handle, or -1.
VESK_API int __stdcall _Mib_Create();
// Retries after the first try and the time-out of one try in tenths of a second; each
// call replaces both (defaults 1 and 10). 1 when accepted, 0 for an unknown handle or
// values out of range (retries 0-10, tenths 1-600).
VESK_API int __stdcall _Mib_SetTimeout(int handle, int retries, int timeoutTenths);
// Read community (1-255 bytes) and default port. Non-zero on success.
VESK_API int __stdcall _Mib_Bind(int handle, const char* community, int port);
// Replaces the handle's targets (syntax in the file comment); null or empty restores the
// broadcast. Non-zero on success; a malformed list changes nothing.
VESK_API int __stdcall _Mib_SetTargets(int handle, const char* targets);
// Non-zero when the handle is bound and its targets are usable.
VESK_API int __stdcall _Mib_IsEnabled(int handle);
// Discovery. On 1, *memory holds *count entries of kEntryBytes (see above), in the
// order of the target list (broadcast answers in arrival order); the caller frees it.
// `reserved` arguments must be 0.
VESK_API int __stdcall _Mib_GetsysObjectIDList(int handle, vesk::mib::HGLOBAL* memory, int* count,
                                               int reserved, int* stop, int reserved2);
// The description of a device, zero-terminated in buffer (cut on a character boundary to
// size - 1 bytes). Answered from the last discovery when the device took part in it,
// otherwise asked. 1 on success, also when stopped (then with an empty text and *stop 1).
VESK_API int __stdcall _Mib_GetsysDescr(int handle, char* buffer, int size, const char* address,
                                        int reserved, int* stop, int reserved2);
// Asks a running or later call on the handle to stop. Non-zero for a known handle.
VESK_API int __stdcall _Mib_Cancel(int handle);
VESK_API void __stdcall _Mib_Delete(int handle);

}  // extern "C"
