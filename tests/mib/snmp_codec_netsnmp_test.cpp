// Requests of the SNMP message codec byte for byte against net-snmp's own encoder.
#include <gtest/gtest.h>

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <cstdlib>
#include <string>
#include <vector>

#include "mib/snmp_codec.h"

namespace {

using namespace vesk::mib::snmp;
using Bytes = std::vector<uint8_t>;

const Oid kSysDescr = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const Oid kSysObjectId = {1, 3, 6, 1, 2, 1, 1, 2, 0};

// The request as net-snmp builds it for sending.
Bytes NetSnmpRequest(std::string community, long requestId, const std::vector<Oid>& names) {
    netsnmp_session session;
    snmp_sess_init(&session);
    session.version = SNMP_VERSION_2c;
    session.community = reinterpret_cast<u_char*>(community.data());
    session.community_len = community.size();
    netsnmp_pdu* pdu = snmp_pdu_create(SNMP_MSG_GET);
    pdu->version = SNMP_VERSION_2c;  // sending would take it from the session
    pdu->reqid = requestId;
    for (const Oid& name : names) {
        std::vector<oid> parts(name.begin(), name.end());
        snmp_add_null_var(pdu, parts.data(), parts.size());
    }
    size_t size = 4096, offset = 0;
    auto* buffer = static_cast<u_char*>(std::malloc(size));
    Bytes out;
    if (snmp_build(&buffer, &size, &offset, &session, pdu) == 0)
        out.assign(buffer + size - offset, buffer + size);  // built from the end backwards
    std::free(buffer);
    snmp_free_pdu(pdu);
    return out;
}

Oid Longest() {
    Oid name(kMaxOidParts, 7);
    name[0] = 1;
    return name;
}

TEST(SnmpCodec, RequestIsWhatNetSnmpSends) {
    struct Case {
        std::string community;
        int32_t requestId;
        std::vector<Oid> names;
    };
    const Case cases[] = {
        {"quorle", 1, {kSysObjectId, kSysDescr}},
        {"public", 127, {kSysDescr}},
        {"q", 128, {kSysObjectId}},  // the first request id needing a sign octet
        {"quorle", 0x7FFF, {kSysObjectId, kSysDescr}},
        {"quorle", 0x800000, {kSysObjectId}},
        {"quorle", 0x7FFFFFFF, {kSysObjectId, kSysDescr}},
        {std::string(255, 'c'), 99, {kSysObjectId, kSysDescr}},  // long-form lengths
        {"x", 5, {{1, 3, 6, 1, 4, 1, 59731, 127, 128, 16383, 16384, 4294967295u}, {2, 999, 3}}},
        {"x", 6, {Longest(), {0, 0}}},
        {"", 7, {}},
    };
    for (const Case& c : cases) {
        auto ours = EncodeGetRequest(c.community, c.requestId, c.names);
        ASSERT_TRUE(ours) << c.requestId;
        Bytes theirs = NetSnmpRequest(c.community, c.requestId, c.names);
        ASSERT_FALSE(theirs.empty()) << c.requestId;
        EXPECT_EQ(*ours, theirs) << "request id " << c.requestId;
    }
    // What cannot be said in a request is refused rather than sent garbled.
    EXPECT_FALSE(EncodeGetRequest("q", 0, {kSysDescr}));
    EXPECT_FALSE(EncodeGetRequest("q", 1, {{1}}));
    EXPECT_FALSE(EncodeGetRequest("q", 1, {{1, 40, 1}}));
    EXPECT_FALSE(EncodeGetRequest("q", 1, {{3, 1}}));
    EXPECT_FALSE(EncodeGetRequest("q", 1, {Oid(129, 1)}));
}

}  // namespace
