// The whole search against real snmpd agents on loopback addresses: registry, filter
// file, discovery, descriptions, registered marks, sort and stop. The filter's rules
// and the exact codes are checked without agents (device_search_filter_test,
// device_search_codes_test).
#include <gtest/gtest.h>

#include <filesystem>

#include "device_search_support.h"
#include "mib/qdevmib.h"
#include "root/vesk_root.h"
#include "support/snmpd_agent.h"

namespace {

using vesk::test::Addresses;
using vesk::test::Records;
using vesk::test::RegisteredDevices;

const std::string kFamily1 = "1.3.6.1.4.1.59731.1.1.1.2.1.";
const std::string kFamily2 = "1.3.6.1.4.1.59731.1.2.1.2.1.";

// Real agents; discovery goes to them (and one silent address) in this order, never to
// a broadcast. The application folder holds the shipped filter.
class SearchAgainstAgents : public vesk::test::IsolatedEnv {
protected:
    static void SetUpTestSuite() {
        agents_.Start({{"127.0.0.10", kFamily2 + "14", "Echo unit"},
                       {"127.0.0.4", "1.3.6.1.4.1.8072.3.2.10", "Some other host"},
                       {"127.0.0.3", kFamily1 + "40.1", "Bravo unit"},
                       {"127.0.0.2", kFamily2 + "12", "Alpha unit"},
                       {"127.0.0.5", kFamily2 + "13", "hidden", "quorle", true}},
                      "vesk-search");
    }
    static void TearDownTestSuite() { agents_.Stop(); }

    void SetUp() override {
        IsolatedEnv::SetUp();
        ASSERT_TRUE(agents_.Error().empty()) << agents_.Error();
        std::string targets;
        for (auto& a : agents_.All())
            targets += a->target() + ",";
        vesk::mib::Overrides o;
        o.targets = targets + "127.0.0.6:" + std::to_string(agents_[0].port());
        o.timeoutMs = 300;
        o.retries = 1;
        o.loopbackOnly = true;
        vesk::mib::SetOverrides(o);
        std::filesystem::copy_file(
            std::string(VESK_SOURCE_DIR) + "/settings/SrchMIB.conf",
            vesk::test::UseApplicationFolder(Root() / "app") + "SrchMIB.conf");
    }
    void TearDown() override {
        vesk::mib::Overrides safe;
        safe.loopbackOnly = true;
        vesk::mib::SetOverrides(safe);
        if (HasFailure())
            std::cerr << agents_.Logs();
        IsolatedEnv::TearDown();
    }

    static inline vesk::test::AgentSet agents_;
    CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&> results_;
};

// Through the root: the other host is no target, the hidden one gives no description,
// the rest come sorted by address with their index in discovery order (.10, .3, .2,
// .5); the devices the root has registered are the ones marked, by exact address,
// under the names it lists.
TEST_F(SearchAgainstAgents, RootMarksItsRegisteredDevices) {
    CVESKRoot root;
    root.SetDeviceInfoPath(vesk::Utf8ToWide(Root().string() + "/devices.xml"));
    ITEMINFO info;
    info.strName = L"Echo at the desk";
    info.strIP = L"127.0.0.10";
    info.nPort = 30091;
    ASSERT_EQ(root.AddChildItem(info), 1);
    ASSERT_EQ(root.SearchDevice(results_), 1);
    EXPECT_EQ(Records(results_),
              (std::vector<std::wstring>{
                  L"127.0.0.2 #2 1.3.6.1.4.1.59731.1.2.1.2.1.12 'Alpha unit' -",
                  L"127.0.0.3 #1 1.3.6.1.4.1.59731.1.1.1.2.1.40.1 'Bravo unit' -",
                  L"127.0.0.10 #0 1.3.6.1.4.1.59731.1.2.1.2.1.14 'Echo unit' Echo at the desk"}));
    EXPECT_GT(root.GetDeviceSearch()->m_arrOIDInclude.GetSize(), 0);
    EXPECT_EQ(root.GetDeviceSearch()->m_nMibHandle.load(), -1);
}

TEST_F(SearchAgainstAgents, StopReturnsTheRecordsGatheredSoFarUnsorted) {
    RegisteredDevices registered;
    CDeviceSearch search(&registered);
    int handleSeen = -1;
    // The user cancels while the second device is being marked.
    registered.onQuery = [&](const std::wstring&) {
        handleSeen = search.m_nMibHandle.load();
        if (registered.asked.size() == 2)
            search.CancelSearch();
    };
    ASSERT_EQ(search.SearchDevice(results_), 1);
    EXPECT_EQ(Addresses(results_), (std::vector<std::wstring>{L"127.0.0.10", L"127.0.0.3"}));
    EXPECT_EQ(search.m_nMibHandle.load(), -1);
    ASSERT_NE(handleSeen, -1);
    EXPECT_EQ(_Mib_IsEnabled(handleSeen), 0) << "the search's handle was deleted";

    // The next search starts afresh.
    registered.onQuery = nullptr;
    ASSERT_EQ(search.SearchDevice(results_), 1);
    EXPECT_EQ(results_.GetSize(), 3);
}

}  // namespace
