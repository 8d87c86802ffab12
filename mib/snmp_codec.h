// SNMPv2c messages of the discovery, without an SNMP library: a GetRequest for a few
// object names, and the GetResponse to it. Portable (no system calls), so the same
// bytes are built and read on every platform.
//
// The reader takes BER as an agent sends it: definite lengths in short or long form (up
// to four length octets, a longer form than needed included), primitive encodings only.
// Every length is checked against what is left of its enclosing element, so no read
// goes past the input; an indefinite length, a multi-octet tag, an integer over 32 bits,
// an object identifier sub-identifier over 32 bits or with more than kMaxOidParts parts,
// and bytes left over after any element make the whole message unreadable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::mib::snmp {

using Oid = std::vector<uint32_t>;

// The most sub-identifiers an object identifier may have in SNMP.
inline constexpr size_t kMaxOidParts = 128;
// The largest datagram an agent may send over UDP/IPv4.
inline constexpr size_t kMaxMessageBytes = 65507;

// Value types of a variable binding that the discovery tells apart; any other value
// type of SNMP (integers, counters, addresses, Opaque) is read past as kOther.
enum class ValueKind : uint8_t {
    kNull,
    kObjectId,
    kOctetString,
    kNoSuchObject,
    kNoSuchInstance,
    kEndOfMibView,
    kOther,
};

struct VarBind {
    Oid name;
    ValueKind kind = ValueKind::kNull;
    uint8_t tag = 0x05;  // the value's BER tag as received
    Oid objectId;        // kObjectId
    std::string text;    // kOctetString (bytes as sent)
    bool operator==(const VarBind&) const = default;
};

struct Response {
    std::string community;
    int32_t requestId = 0;
    int32_t errorStatus = 0;
    int32_t errorIndex = 0;
    std::vector<VarBind> varbinds;
    bool operator==(const Response&) const = default;
};

// A GetRequest of version 2c asking for `names` (each with a NULL value). Request ids
// are positive; names need at least two parts, the first 0-2 (the second below 40
// unless the first is 2). nullopt when a name or the community cannot be encoded.
std::optional<std::vector<uint8_t>> EncodeGetRequest(std::string_view community, int32_t requestId,
                                                     const std::vector<Oid>& names);

// Reads one datagram as a version 2c GetResponse. nullopt (with a reason) for anything
// else: another version or PDU type, or a malformed message.
std::optional<Response> DecodeResponse(std::span<const uint8_t> message,
                                       std::string* error = nullptr);

// "1.3.6.1": decimal sub-identifiers separated by dots.
std::string FormatOid(const Oid& oid);

}  // namespace vesk::mib::snmp
