// Target lists of the SNMP discovery: parsing and expansion. Internal to QDevMIB.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net_interfaces.h"

namespace vesk::mib::detail {

inline constexpr uint32_t kBroadcastAddress = 0xFFFFFFFFu;

// An inclusive range of IPv4 addresses (host byte order), with its own port if given.
struct TargetRange {
    uint32_t first = 0;
    uint32_t last = 0;
    std::optional<uint16_t> port;
};

struct Endpoint {
    uint32_t address = 0;  // host byte order
    uint16_t port = 0;
    // A broadcast request stays open for its whole time-out and takes every answer.
    bool broadcast = false;
    // The local address to send from (0: the system chooses); a limited broadcast leaves
    // through the interface holding it.
    uint32_t source = 0;
    bool IsBroadcast() const { return broadcast || address == kBroadcastAddress; }
};

// One interface address a discovery broadcasts from.
struct BroadcastTarget {
    std::string interfaceName;
    uint32_t address = 0;
    uint32_t netmask = 0;
    uint32_t broadcast = 0;  // the link's own broadcast address
};

// Strict dotted-quad parse ("1.2.3.4", each part 0-255 in decimal).
std::optional<uint32_t> ParseDottedQuad(std::string_view text);
std::string FormatDottedQuad(uint32_t address);
inline bool IsLoopback(uint32_t address) {
    return (address >> 24) == 127;
}

// Parses a target list; nullopt (with a reason) when malformed or longer than maxTotal
// addresses. An empty or blank text gives an empty list.
std::optional<std::vector<TargetRange>> ParseTargets(std::string_view text, int maxTotal,
                                                     std::string* error = nullptr);

// Every address of the ranges in order, each with its port (or defaultPort). An address
// in `broadcasts` (a local link's broadcast address) is asked as a broadcast.
std::vector<Endpoint> ExpandTargets(const std::vector<TargetRange>& ranges, uint16_t defaultPort,
                                    const std::vector<uint32_t>& broadcasts = {});

// Interface names separated by commas or blanks; nullopt (with a reason) for a name
// longer than an interface name can be.
std::optional<std::vector<std::string>> ParseInterfaceNames(std::string_view text,
                                                            std::string* error = nullptr);

// Where a discovery without targets broadcasts: every up, broadcast-capable, non-loopback
// interface address, once per link and subnet, in the system's order; with `names`, of
// those interfaces only, and a named interface that is missing, down or cannot broadcast
// makes the result nullopt (with a reason).
std::optional<std::vector<BroadcastTarget>> SelectBroadcastTargets(
    const std::vector<net::Ipv4Interface>& interfaces, const std::vector<std::string>& names,
    std::string* error = nullptr);

}  // namespace vesk::mib::detail
