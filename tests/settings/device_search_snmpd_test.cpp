// The whole search against real snmpd agents on loopback addresses: registry, filter
// file, discovery, descriptions, registered marks, sort and stop. The filter's rules
// and the exact codes are checked without agents (device_search_filter_test,
// device_search_codes_test).
#include <gtest/gtest.h>

#include <filesystem>

#include "device_search_support.h"
#include "mib/qdevmib.h"
#include "platform/registry.h"
#include "root/vesk_root.h"
#include "support/snmpd_agent.h"

namespace {

using vesk::reg::Hive;
using vesk::test::Addresses;
using vesk::test::Records;
using vesk::test::RegisteredDevices;

const std::string kFamily1 = "1.3.6.1.4.1.59731.1.1.1.2.1.";
const std::string kFamily2 = "1.3.6.1.4.1.59731.1.2.1.2.1.";

class SearchAgainstAgents : public ::testing::Test {
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
        ASSERT_TRUE(agents_.Error().empty()) << agents_.Error();
        // Discovery goes to the agents (and one silent address) in this order, never
        // to a broadcast.
        std::string targets;
        for (auto& a : agents_.All())
            targets += a->target() + ",";
        targets += "127.0.0.6:" + std::to_string(agents_[0].port());
        vesk::mib::Overrides o;
        o.targets = targets;
        o.timeoutMs = 300;
        o.retries = 1;
        o.loopbackOnly = true;
        vesk::mib::SetOverrides(o);

        vesk::reg::SetHivePath(Hive::LocalMachine, vesk::Utf8ToWide(dir_.path() + "/hklm.db"));
        app_ = dir_.path() + "/app/";
        std::filesystem::create_directories(app_);
        auto key = vesk::reg::Key::CreateOrOpen(Hive::LocalMachine,
                                                L"SOFTWARE\\ORVANE\\HALD3.1\\Application");
        ASSERT_TRUE(key);
        ASSERT_TRUE(key->SetString(L"ApplicationPath", vesk::Utf8ToWide(app_)));
    }
    void TearDown() override {
        vesk::reg::SetHivePath(Hive::LocalMachine, L"");
        vesk::mib::Overrides safe;
        safe.loopbackOnly = true;
        vesk::mib::SetOverrides(safe);
        if (HasFailure())
            std::cerr << agents_.Logs();
    }

    void UseShippedFilter() {
        std::filesystem::copy_file(std::string(VESK_SOURCE_DIR) + "/settings/SrchMIB.conf",
                                   app_ + "SrchMIB.conf");
    }

    vesk::test::TempFolder dir_{"vesk-search-app"};
    std::string app_;
    RegisteredDevices registered_;
    CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&> results_;

    static inline vesk::test::AgentSet agents_;
};

TEST_F(SearchAgainstAgents, ShippedFilterFindsOurDevicesSortedByAddress) {
    UseShippedFilter();
    registered_.devices = {{L"127.0.0.3", L"Second floor"}};
    CDeviceSearch search(&registered_);
    ASSERT_EQ(search.SearchDevice(results_), 1);
    // The other host is no target; the hidden one gives no description. Targets in
    // discovery order: .10, .3, .2, .5.
    EXPECT_EQ(Records(results_),
              (std::vector<std::wstring>{
                  L"127.0.0.2 #2 1.3.6.1.4.1.59731.1.2.1.2.1.12 'Alpha unit' -",
                  L"127.0.0.3 #1 1.3.6.1.4.1.59731.1.1.1.2.1.40.1 'Bravo unit' Second floor",
                  L"127.0.0.10 #0 1.3.6.1.4.1.59731.1.2.1.2.1.14 'Echo unit' -"}));
    EXPECT_EQ(search.m_nMibHandle.load(), -1);
}

// Through the root: the devices it has registered are the ones marked, by exact
// address, under the names it lists.
TEST_F(SearchAgainstAgents, RootMarksItsRegisteredDevices) {
    UseShippedFilter();
    CVESKRoot root;
    root.SetDeviceInfoPath(vesk::Utf8ToWide(dir_.path() + "/devices.xml"));
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
}

TEST_F(SearchAgainstAgents, StopReturnsTheRecordsGatheredSoFarUnsorted) {
    UseShippedFilter();
    CDeviceSearch search(&registered_);
    int handleSeen = -1;
    // The user cancels while the second device is being marked.
    registered_.onQuery = [&](const std::wstring&) {
        handleSeen = search.m_nMibHandle.load();
        if (registered_.asked.size() == 2)
            search.CancelSearch();
    };
    ASSERT_EQ(search.SearchDevice(results_), 1);
    EXPECT_EQ(Addresses(results_), (std::vector<std::wstring>{L"127.0.0.10", L"127.0.0.3"}));
    EXPECT_EQ(search.m_nMibHandle.load(), -1);
    ASSERT_NE(handleSeen, -1);
    EXPECT_EQ(_Mib_IsEnabled(handleSeen), 0) << "the search's handle was deleted";

    // The next search starts afresh.
    registered_.onQuery = nullptr;
    ASSERT_EQ(search.SearchDevice(results_), 1);
    EXPECT_EQ(results_.GetSize(), 3);
}

}  // namespace
