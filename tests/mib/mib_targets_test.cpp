#include <gtest/gtest.h>

#include "mib/mib_targets.h"

namespace {

using vesk::mib::detail::ExpandTargets;
using vesk::mib::detail::FormatDottedQuad;
using vesk::mib::detail::ParseDottedQuad;
using vesk::mib::detail::ParseTargets;
using vesk::mib::detail::SelectBroadcastTargets;

std::vector<std::string> Expand(const char* text, uint16_t port = 161) {
    std::vector<std::string> out;
    auto ranges = ParseTargets(text, 4096);
    if (!ranges)
        return {"<error>"};
    for (auto& e : ExpandTargets(*ranges, port))
        out.push_back(FormatDottedQuad(e.address) + ":" + std::to_string(e.port));
    return out;
}

TEST(MibTargets, ListsRangesAndPortsExpandInOrder) {
    EXPECT_EQ(Expand("127.0.0.5, 127.0.0.3:16161;127.0.0.9-11"),
              (std::vector<std::string>{"127.0.0.5:161", "127.0.0.3:16161", "127.0.0.9:161",
                                        "127.0.0.10:161", "127.0.0.11:161"}));
    EXPECT_EQ(Expand("127.0.0.254-127.0.1.1:2000", 7),
              (std::vector<std::string>{"127.0.0.254:2000", "127.0.0.255:2000", "127.0.1.0:2000",
                                        "127.0.1.1:2000"}));
    EXPECT_EQ(Expand("  \t "), std::vector<std::string>{});
    EXPECT_EQ(Expand("127.0.0.7-7"), std::vector<std::string>{"127.0.0.7:161"});
}

TEST(MibTargets, MalformedEntriesAreRejectedWithAReason) {
    for (const char* bad :
         {"127.0.0", "127.0.0.1.5", "127.0.0.256", "127.0.0.1:0", "127.0.0.1:65536",
          "127.0.0.1:", "127.0.0.9-3", "127.0.0.1-", "127.0.0.1-300", "host.example", "127.0.0.-1",
          "1.2.3.4 x", "0x7f.0.0.1", "127.0.0.1:16161:1", "127.0.0.1-2-3", "127.0.0.01234"}) {
        std::string why;
        EXPECT_FALSE(ParseTargets(bad, 4096, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

TEST(MibTargets, TotalIsCapped) {
    EXPECT_TRUE(ParseTargets("10.0.0.0-10.0.15.255", 4096));
    EXPECT_FALSE(ParseTargets("10.0.0.0-10.0.16.0", 4096));
    EXPECT_FALSE(ParseTargets("0.0.0.0-255.255.255.255", 4096));
    EXPECT_FALSE(ParseTargets("127.0.0.1-3,127.0.0.1-3", 5));
    EXPECT_TRUE(ParseTargets("127.0.0.1-3,127.0.0.1-2", 5));
}

TEST(MibTargets, DottedQuadIsStrict) {
    EXPECT_EQ(ParseDottedQuad("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(ParseDottedQuad("127.0.0.1"), 0x7F000001u);
    for (const char* bad : {"127.1", " 127.0.0.1", "127.0.0.1 ", ""})
        EXPECT_FALSE(ParseDottedQuad(bad)) << bad;
}

// Which local links a search broadcasts on, and why a named one is refused.
TEST(MibTargets, BroadcastGoesToEveryUpBroadcastLinkOrTheNamedOnes) {
    auto q = [](const char* text) { return *ParseDottedQuad(text); };
    auto link = [&](const char* name, const char* address, const char* broadcast, bool up,
                    bool loopback = false) {
        vesk::net::Ipv4Interface i;
        i.name = name;
        i.address = q(address);
        i.broadcast = broadcast ? q(broadcast) : 0;
        i.canBroadcast = broadcast != nullptr;
        i.up = up;
        i.loopback = loopback;
        return i;
    };
    const std::vector<vesk::net::Ipv4Interface> links = {
        link("lo", "127.0.0.1", nullptr, true, true),
        link("eth0", "192.168.1.5", "192.168.1.255", true),
        link("tun0", "10.8.0.2", nullptr, true),                    // point to point
        link("eth1", "10.1.0.5", "10.1.255.255", false),            // down
        link("eth0", "192.168.1.6", "192.168.1.255", true),         // a second address, same link
        link("eth0", "172.16.4.1", "172.16.4.255", true),           // another subnet on it
        link("weird", "127.0.0.2", "127.255.255.255", true, true),  // loopback never
        link("eth2", "192.168.1.9", "192.168.1.255", true),         // a second link, same subnet
    };
    struct Case {
        std::vector<std::string> names;
        std::string want;  // "name source address;..." or "!reason"
    } cases[] = {
        {{}, "eth0 192.168.1.5;eth0 172.16.4.1;eth2 192.168.1.9;"},
        {{"eth0"}, "eth0 192.168.1.5;eth0 172.16.4.1;"},
        {{"missing"}, "!interface missing has no IPv4 address"},
        {{"eth0", "eth1"}, "!interface eth1 is down or cannot broadcast"},
        {{"tun0"}, "!interface tun0 is down or cannot broadcast"},
        {{"lo"}, "!interface lo is down or cannot broadcast"},
    };
    for (const Case& c : cases) {
        std::string why, got;
        if (auto targets = SelectBroadcastTargets(links, c.names, &why)) {
            for (const auto& t : *targets)
                got += t.interfaceName + " " + FormatDottedQuad(t.address) + ";";
        } else {
            got = "!" + why;
        }
        EXPECT_EQ(got, c.want) << testing::PrintToString(c.names);
    }
    EXPECT_EQ(SelectBroadcastTargets({links[0], links[2]}, {})->size(), 0u);

    // A target that is a local broadcast address is asked as a broadcast.
    auto endpoints = ExpandTargets(*ParseTargets("192.168.1.254-255,255.255.255.255", 8), 161,
                                   {q("192.168.1.255")});
    ASSERT_EQ(endpoints.size(), 3u);
    EXPECT_FALSE(endpoints[0].IsBroadcast());
    EXPECT_TRUE(endpoints[1].IsBroadcast());
    EXPECT_TRUE(endpoints[2].IsBroadcast());
}

}  // namespace
