// IPv4 interface addresses on POSIX, from getifaddrs.
#include "platform/net_interfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

namespace vesk::net {

namespace {

uint32_t Ipv4Of(const sockaddr* sa) {
    return ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr);
}

}  // namespace

std::vector<Ipv4Interface> ListIpv4Interfaces(std::string* error) {
    std::vector<Ipv4Interface> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        if (error)
            *error = std::string("cannot list the network interfaces: ") + std::strerror(errno);
        return out;
    }
    try {
        for (const ifaddrs* i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_name)
                continue;
            Ipv4Interface entry;
            entry.name = i->ifa_name;
            entry.address = Ipv4Of(i->ifa_addr);
            if (i->ifa_netmask)
                entry.netmask = Ipv4Of(i->ifa_netmask);
            entry.up = (i->ifa_flags & IFF_UP) && (i->ifa_flags & IFF_RUNNING);
            entry.loopback = (i->ifa_flags & IFF_LOOPBACK) != 0;
            // ifa_broadaddr shares its slot with the point-to-point peer: only a
            // broadcast link's entry is a broadcast address.
            if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr &&
                i->ifa_broadaddr->sa_family == AF_INET) {
                entry.broadcast = Ipv4Of(i->ifa_broadaddr);
                entry.canBroadcast = entry.broadcast != 0;
            }
            out.push_back(std::move(entry));
        }
    } catch (...) {
        ::freeifaddrs(list);
        throw;
    }
    ::freeifaddrs(list);
    return out;
}

}  // namespace vesk::net
