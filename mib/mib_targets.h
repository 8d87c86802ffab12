// Target lists of the SNMP discovery: parsing and expansion. Internal to QDevMIB.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
    bool IsBroadcast() const { return address == kBroadcastAddress; }
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

// Every address of the ranges in order, each with its port (or defaultPort).
std::vector<Endpoint> ExpandTargets(const std::vector<TargetRange>& ranges, uint16_t defaultPort);

}  // namespace vesk::mib::detail
