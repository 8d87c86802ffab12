// The machine's IPv4 interface addresses, for the device search's broadcast.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/export.h"

namespace vesk::net {

// One IPv4 address of an interface (an interface with two addresses gives two).
struct Ipv4Interface {
    std::string name;
    uint32_t address = 0;  // host byte order, as the other addresses
    uint32_t netmask = 0;
    uint32_t broadcast = 0;     // meaningful only when canBroadcast
    bool up = false;            // administratively up and running
    bool canBroadcast = false;  // the link broadcasts and the address has a broadcast address
    bool loopback = false;
};

// Every IPv4 interface address in the system's order; empty with *error set when the
// list cannot be read.
VESK_API std::vector<Ipv4Interface> ListIpv4Interfaces(std::string* error = nullptr);

}  // namespace vesk::net
