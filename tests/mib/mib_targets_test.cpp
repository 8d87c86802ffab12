#include <gtest/gtest.h>

#include "mib/mib_targets.h"

namespace {

using vesk::mib::detail::ExpandTargets;
using vesk::mib::detail::FormatDottedQuad;
using vesk::mib::detail::ParseDottedQuad;
using vesk::mib::detail::ParseTargets;

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
    EXPECT_FALSE(ParseDottedQuad("127.1"));
    EXPECT_FALSE(ParseDottedQuad(" 127.0.0.1"));
    EXPECT_FALSE(ParseDottedQuad("127.0.0.1 "));
    EXPECT_FALSE(ParseDottedQuad(""));
}

}  // namespace
