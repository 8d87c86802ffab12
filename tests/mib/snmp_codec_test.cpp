// The SNMP message codec: requests byte for byte against net-snmp's own encoder, replies
// of real snmpd agents, and a table of damaged replies.
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

#include <cstdlib>
#include <string>
#include <vector>

#include "mib/snmp_codec.h"
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

VarBind Value(const Oid& name, ValueKind kind, uint8_t tag, Oid objectId = {},
              std::string text = {}) {
    return VarBind{name, kind, tag, std::move(objectId), std::move(text)};
}

TEST(SnmpCodec, ReadsTheAnswersOfSnmpd) {
    vesk::test::AgentSet agents;
    agents.Start({{"127.0.0.2", "1.3.6.1.4.1.59731.1.2.1.2.1.12", "Unit two \xC3\xA9"},
                  {"127.0.0.3", "1.3.6.1.4.1.59731.1.2.1.2.1.13", "hidden", "quorle", true}},
                 "vesk-codec");
    ASSERT_TRUE(agents.Error().empty()) << agents.Error();
    const Oid id = {1, 3, 6, 1, 4, 1, 59731, 1, 2, 1, 2, 1, 12};

    Bytes reply = AskAgent(agents[0], *EncodeGetRequest("quorle", 4711, {kSysObjectId, kSysDescr}));
    std::string why;
    auto r = DecodeResponse(reply, &why);
    ASSERT_TRUE(r) << why << agents.Logs();
    EXPECT_EQ(
        *r, (Response{"quorle",
                      4711,
                      0,
                      0,
                      {Value(kSysObjectId, ValueKind::kObjectId, 0x06, id),
                       Value(kSysDescr, ValueKind::kOctetString, 0x04, {}, "Unit two \xC3\xA9")}}));
    EXPECT_EQ(FormatOid(r->varbinds[0].objectId), "1.3.6.1.4.1.59731.1.2.1.2.1.12");

    // A view without the description, an instance that does not exist, and a value of
    // another type (sysUpTime.0, TimeTicks) in one answer.
    const Oid descrOne = {1, 3, 6, 1, 2, 1, 1, 1, 1};
    const Oid upTime = {1, 3, 6, 1, 2, 1, 1, 3, 0};
    reply = AskAgent(agents[1], *EncodeGetRequest("quorle", 0x7FFFFFFF, {kSysDescr, descrOne}));
    r = DecodeResponse(reply, &why);
    ASSERT_TRUE(r) << why;
    EXPECT_EQ(r->requestId, 0x7FFFFFFF);
    EXPECT_EQ(r->varbinds, (std::vector<VarBind>{Value(kSysDescr, ValueKind::kNoSuchObject, 0x80),
                                                 Value(descrOne, ValueKind::kNoSuchObject, 0x80)}));
    reply = AskAgent(agents[0], *EncodeGetRequest("quorle", 2, {descrOne, upTime}));
    r = DecodeResponse(reply, &why);
    ASSERT_TRUE(r) << why;
    ASSERT_EQ(r->varbinds.size(), 2u);
    EXPECT_EQ(r->varbinds[0], Value(descrOne, ValueKind::kNoSuchInstance, 0x81));
    EXPECT_EQ(r->varbinds[1].kind, ValueKind::kOther);
    EXPECT_EQ(r->varbinds[1].tag, 0x43);
}

// ---- damaged replies, built from elements so each case changes one thing ----

Bytes Tlv(uint8_t tag, const Bytes& content) {
    Bytes out{tag};
    if (content.size() < 0x80) {
        out.push_back(static_cast<uint8_t>(content.size()));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<uint8_t>(content.size() >> 8));
        out.push_back(static_cast<uint8_t>(content.size()));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes kName = Tlv(0x06, {0x2B, 6, 1, 2, 1, 1, 1, 0});  // sysDescr.0
const Bytes kQuorle = Tlv(0x04, {'q', 'u', 'o', 'r', 'l', 'e'});
const Bytes kZero = Tlv(0x02, {0});

Bytes Reply(const Bytes& value, const Bytes& version = Tlv(0x02, {1}), uint8_t pdu = 0xA2) {
    Bytes varbinds = Tlv(0x30, Tlv(0x30, Cat({kName, value})));
    return Tlv(0x30, Cat({version, kQuorle,
                          Tlv(pdu, Cat({Tlv(0x02, {0x12, 0x34}), kZero, kZero, varbinds}))}));
}

TEST(SnmpCodec, DamagedRepliesAreRefusedWithTheirReason) {
    const Bytes good = Reply(Tlv(0x04, {'o', 'k'}));
    ASSERT_TRUE(DecodeResponse(good));
    Bytes longLength = good;
    longLength[1] = 0x85;
    Bytes indefinite = good;
    indefinite[1] = 0x80;
    Bytes truncatedLength = {0x30, 0x82, 0x00};
    Bytes trailing = good;
    trailing.push_back(0);
    Bytes cut(good.begin(), good.end() - 1);
    Bytes bigOid = {0x2B};
    for (int i = 0; i < 127; ++i)
        bigOid.push_back(1);

    struct Case {
        const char* name;
        Bytes message;
        const char* reason;
    };
    const Case cases[] = {
        {"empty", {}, "truncated element"},
        {"indefinite length", indefinite, "indefinite length"},
        {"five length octets", longLength, "length of more than four octets"},
        {"length octets cut", truncatedLength, "truncated length"},
        {"last byte missing", cut, "length beyond the message"},
        {"byte after the message", trailing, "bytes after the message"},
        {"outer element not a sequence", Tlv(0x31, {}), "unexpected tag"},
        {"version 1", Reply(Tlv(0x04, {}), kZero), "not version 2c"},
        {"version of five octets", Reply(Tlv(0x04, {}), Tlv(0x02, {0, 0, 0, 0, 1})),
         "integer over 32 bits"},
        {"empty version", Reply(Tlv(0x04, {}), Tlv(0x02, {})), "empty integer"},
        {"a request", Reply(Tlv(0x04, {}), Tlv(0x02, {1}), 0xA0), "not a response"},
        {"a report", Reply(Tlv(0x04, {}), Tlv(0x02, {1}), 0xA8), "not a response"},
        {"multi-octet tag", Reply(Bytes{0x5F, 0x01, 0x00}), "multi-octet tag"},
        {"value longer than its binding", Reply(Bytes{0x04, 0x05, 'a'}),
         "length beyond the message"},
        {"second value", Reply(Cat({Tlv(0x05, {}), Tlv(0x05, {})})),
         "extra bytes in a variable binding"},
        {"exception with content", Reply(Tlv(0x80, {0})), "content in an empty value"},
        {"null with content", Reply(Tlv(0x05, {0})), "content in an empty value"},
        {"empty identifier", Reply(Tlv(0x06, {})), "empty object identifier"},
        {"padded sub-identifier", Reply(Tlv(0x06, {0x2B, 0x80, 0x01})), "padded sub-identifier"},
        {"sub-identifier over 32 bits", Reply(Tlv(0x06, {0x2B, 0x90, 0x80, 0x80, 0x80, 0x00})),
         "sub-identifier over 32 bits"},
        {"identifier cut inside a part", Reply(Tlv(0x06, {0x2B, 0x81})),
         "truncated sub-identifier"},
        {"129 parts", Reply(Tlv(0x06, bigOid)), "object identifier too long"},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_FALSE(DecodeResponse(c.message, &why)) << c.name;
        EXPECT_EQ(why, c.reason) << c.name;
    }

    // Allowed by BER and taken: lengths longer than needed, and values of other types.
    Bytes padded = {0x30, 0x84, 0, 0, 0, static_cast<uint8_t>(good.size() - 2)};
    padded.insert(padded.end(), good.begin() + 2, good.end());
    auto r = DecodeResponse(padded);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->varbinds[0].text, "ok");
    EXPECT_EQ(r->requestId, 0x1234);
    for (uint8_t tag : {0x02, 0x40, 0x41, 0x44, 0x46, 0x24}) {
        r = DecodeResponse(Reply(Tlv(tag, {1, 2, 3, 4})));
        ASSERT_TRUE(r) << int(tag);
        EXPECT_EQ(r->varbinds[0].kind, ValueKind::kOther) << int(tag);
    }
    bigOid.resize(bigOid.size() - 2);  // 127 parts and a largest one: 128 is the limit
    bigOid.insert(bigOid.end(), {0x8F, 0xFF, 0xFF, 0xFF, 0x7F});
    r = DecodeResponse(Reply(Tlv(0x06, bigOid)));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->varbinds[0].objectId.size(), kMaxOidParts);
    EXPECT_EQ(r->varbinds[0].objectId.back(), 4294967295u);
    r = DecodeResponse(Reply(Tlv(0x06, {0x88, 0x37, 3})));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->varbinds[0].objectId, (Oid{2, 999, 3}));
}

}  // namespace
