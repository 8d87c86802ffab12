// The SNMP message codec: replies of real snmpd agents and a table of damaged and unusual
// replies (tests/data/mib). Requests are compared with net-snmp's encoder in
// snmp_codec_netsnmp_test.cpp.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mib/snmp_codec.h"
#include "support/data_table.h"
#include "support/snmpd_agent.h"

namespace {

using namespace vesk::mib::snmp;
using Bytes = std::vector<uint8_t>;
using vesk::test::AskAgent;

const Oid kSysDescr = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const Oid kSysObjectId = {1, 3, 6, 1, 2, 1, 1, 2, 0};

// A response as one line: community, request id, error status and index, then each
// binding's name, kind and value.
std::string Summary(const Response& r) {
    static const char* const kinds[] = {"null",           "oid",          "text", "noSuchObject",
                                        "noSuchInstance", "endOfMibView", "other"};
    std::string out = r.community + " " + std::to_string(r.requestId) + " " +
                      std::to_string(r.errorStatus) + " " + std::to_string(r.errorIndex);
    for (const VarBind& v : r.varbinds) {
        out.append(" | ")
            .append(FormatOid(v.name))
            .append(" ")
            .append(kinds[static_cast<int>(v.kind)]);
        if (v.kind == ValueKind::kObjectId)
            out.append(" ").append(FormatOid(v.objectId));
        else if (v.kind == ValueKind::kOctetString)
            out.append(" ").append(v.text);
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
