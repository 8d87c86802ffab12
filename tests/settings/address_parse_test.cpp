// The address parser of the search sort against the C library's inet_addr, whose
// rules (glibc's) it follows.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>

#include "settings/device_search.h"

namespace {

TEST(AddressSort, AddressParsingAgreesWithTheCLibrary) {
    // Separated by '|'.
    const std::string inputs =
        "1.2.3.4|0.0.0.0|255.255.255.254|255.255.255.255|256.1.1.1|1.2.3.256|1.2.3|1.2.65535|"
        "1.2.65536|1.16777215|1.16777216|4294967294|4294967295|4294967296|99999999999999999999|"
        "0x7f.1|0X7F.0.0.1|0x|0x.1.2.3|0xg|010.0.0.1|08.0.0.1|0.0.0.08|1.2.3.4 |1.2.3.4\tjunk|"
        "1.2.3.4x| 1.2.3.4|+1.2.3.4|-1.2.3.4|1..2.3|1.2.3.|.1.2.3|1.2.3.4.5||0x100.0.0.1|"
        "0xffffffff|0xfffffffe|00000000001.2.3.4|1.2.3.0x|127.0.0.1\n";
    for (size_t from = 0, to = 0; to != std::string::npos; from = to + 1) {
        to = inputs.find('|', from);
        const std::string text = inputs.substr(from, to - from);
        const char* in = text.c_str();
        in_addr_t expected = ::inet_addr(in);
        auto ours = vesk::InetAddr(in);
        if (expected == INADDR_NONE) {
            EXPECT_FALSE(ours) << '"' << in << '"';
        } else {
            ASSERT_TRUE(ours) << '"' << in << '"';
            EXPECT_EQ(*ours, ntohl(expected)) << '"' << in << '"';
        }
    }
    EXPECT_FALSE(vesk::InetAddr(nullptr));
}

}  // namespace
