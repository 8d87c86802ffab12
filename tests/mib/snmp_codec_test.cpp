// The SNMP message codec: requests byte for byte against net-snmp's own encoder, replies
// of real snmpd agents, and a table of damaged and unusual replies (tests/data/mib).
#include <gtest/gtest.h>

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mib/snmp_codec.h"
#include "support/data_table.h"
#include "support/snmpd_agent.h"

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

// Sends a request to an agent over plain UDP and returns the datagram that comes back.
Bytes AskAgent(const vesk::test::SnmpdAgent& agent, const Bytes& request) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(agent.port()));
    ::inet_pton(AF_INET, agent.address().c_str(), &to.sin_addr);
    Bytes reply(kMaxMessageBytes);
    ssize_t got = -1;
    for (int attempt = 0; attempt < 3 && got < 0; ++attempt) {
        ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) == 1)
            got = ::recv(fd, reply.data(), reply.size(), 0);
    }
    ::close(fd);
    reply.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return reply;
}

// A response as one line: community, request id, error status and index, then each
// binding's name, kind and value.
std::string Summary(const Response& r) {
    static const char* const kinds[] = {"null",           "oid",          "text", "noSuchObject",
                                        "noSuchInstance", "endOfMibView", "other"};
    std::string out = r.community + " " + std::to_string(r.requestId) + " " +
                      std::to_string(r.errorStatus) + " " + std::to_string(r.errorIndex);
    for (const VarBind& v : r.varbinds) {
        out += " | " + FormatOid(v.name) + " " + kinds[static_cast<int>(v.kind)];
        if (v.kind == ValueKind::kObjectId)
            out += " " + FormatOid(v.objectId);
        else if (v.kind == ValueKind::kOctetString)
            out += " " + v.text;
        char tag[8];
        std::snprintf(tag, sizeof tag, " %#04x", v.tag);
        if (v.kind == ValueKind::kOther)
            out += tag;
    }
    return out;
}

std::string Read(const Bytes& message) {
    std::string why;
    auto r = DecodeResponse(message, &why);
    return r ? Summary(*r) : "refused: " + why;
}

TEST(SnmpCodec, ReadsTheAnswersOfSnmpd) {
    vesk::test::AgentSet agents;
    agents.Start({{"127.0.0.2", "1.3.6.1.4.1.59731.1.2.1.2.1.12", "Unit two \xC3\xA9"},
                  {"127.0.0.3", "1.3.6.1.4.1.59731.1.2.1.2.1.13", "hidden", "quorle", true}},
                 "vesk-codec");
    ASSERT_TRUE(agents.Error().empty()) << agents.Error();
    const Oid descrOne = {1, 3, 6, 1, 2, 1, 1, 1, 1};
    const Oid upTime = {1, 3, 6, 1, 2, 1, 1, 3, 0};  // TimeTicks
    EXPECT_EQ(
        Read(AskAgent(agents[0], *EncodeGetRequest("quorle", 4711, {kSysObjectId, kSysDescr}))),
        "quorle 4711 0 0 | 1.3.6.1.2.1.1.2.0 oid 1.3.6.1.4.1.59731.1.2.1.2.1.12 | "
        "1.3.6.1.2.1.1.1.0 text Unit two \xC3\xA9")
        << agents.Logs();
    EXPECT_EQ(Read(AskAgent(agents[0], *EncodeGetRequest("quorle", 2, {descrOne, upTime}))),
              "quorle 2 0 0 | 1.3.6.1.2.1.1.1.1 noSuchInstance | 1.3.6.1.2.1.1.3.0 other 0x43");
    // The description is outside the agent's view.
    EXPECT_EQ(Read(AskAgent(agents[1], *EncodeGetRequest("quorle", 0x7FFFFFFF, {kSysDescr}))),
              "quorle 2147483647 0 0 | 1.3.6.1.2.1.1.1.0 noSuchObject");
}

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(SnmpCodec, DamagedAndUnusualResponses) {
    using vesk::WideToUtf8;
    for (const auto& row : vesk::test::DataRows("mib/snmp_responses.txt", "bad"))
        EXPECT_EQ(Read(FromHex(WideToUtf8(row.at(1)))), "refused: " + WideToUtf8(row.at(2)))
            << WideToUtf8(row[0]);
    for (const auto& row : vesk::test::DataRows("mib/snmp_responses.txt", "good"))
        EXPECT_EQ(Read(FromHex(WideToUtf8(row.at(1)))), WideToUtf8(row.at(2)))
            << WideToUtf8(row[0]);
}

}  // namespace
