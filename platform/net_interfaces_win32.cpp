// IPv4 interface addresses on Windows, from GetAdaptersAddresses. Broadcast addresses
// are derived from address and prefix: the system broadcasts on every multi-access link
// (Ethernet, Wi-Fi), and loopback and tunnels do not.
#include <winsock2.h>
// (before the other network headers)
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <vector>

#include "platform/charset.h"
#include "platform/net_interfaces.h"

namespace vesk::net {

std::vector<Ipv4Interface> ListIpv4Interfaces(std::string* error) {
    std::vector<Ipv4Interface> out;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    std::vector<unsigned char> buf(16 * 1024);
    ULONG size = static_cast<ULONG>(buf.size());
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buf.resize(size);
        rc = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
    }
    if (rc == ERROR_NO_DATA)
        return out;
    if (rc != NO_ERROR) {
        if (error)
            *error = "cannot list the network interfaces: GetAdaptersAddresses error " +
                     std::to_string(rc);
        return out;
    }
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); a; a = a->Next) {
        for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
            const sockaddr* sa = u->Address.lpSockaddr;
            if (!sa || sa->sa_family != AF_INET)
                continue;
            Ipv4Interface entry;
            entry.name = a->FriendlyName ? WideToUtf8(a->FriendlyName) : a->AdapterName;
            entry.address = ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr);
            const unsigned prefix = u->OnLinkPrefixLength <= 32 ? u->OnLinkPrefixLength : 32;
            entry.netmask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
            entry.up = a->OperStatus == IfOperStatusUp;
            entry.loopback = a->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
            const bool multiAccess =
                a->IfType == IF_TYPE_ETHERNET_CSMACD || a->IfType == IF_TYPE_IEEE80211;
            if (multiAccess && prefix < 31) {
                entry.broadcast = entry.address | ~entry.netmask;
                entry.canBroadcast = true;
            }
            out.push_back(std::move(entry));
        }
    }
    return out;
}

}  // namespace vesk::net
