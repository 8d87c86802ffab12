// The whole search against real snmpd agents on loopback addresses: registry, filter
// file, discovery, descriptions, registered marks, sort and stop.
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
using vesk::test::AgentConfig;
using vesk::test::RegisteredDevices;
using vesk::test::SnmpdAgent;

const std::string kFamily1 = "1.3.6.1.4.1.59731.1.1.1.2.1.";
const std::string kFamily2 = "1.3.6.1.4.1.59731.1.2.1.2.1.";

class SearchAgainstAgents : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        try {
            folder_ = new vesk::test::TempFolder("vesk-search");
            agents_ = new std::vector<std::unique_ptr<SnmpdAgent>>(vesk::test::StartAgents(
                {
                    {"127.0.0.10", kFamily2 + "14", "Echo unit"},
                    {"127.0.0.4", "1.3.6.1.4.1.8072.3.2.10", "Some other host"},
                    {"127.0.0.3", kFamily1 + "40.1", "Bravo unit"},
                    {"127.0.0.2", kFamily2 + "12", "Alpha unit"},
                    {"127.0.0.5", kFamily2 + "13", "hidden", "quorle", true},
                },
                folder_->path()));
        } catch (const std::exception& e) {
            startError_ = e.what();
        }
    }
    static void TearDownTestSuite() {
        delete agents_;
        delete folder_;
        agents_ = nullptr;
        folder_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(startError_.empty()) << startError_;
        // Discovery goes to the agents (and one silent address) in this order, never
        // to a broadcast.
        std::string targets;
        for (auto& a : *agents_)
            targets += a->target() + ",";
        targets += "127.0.0.6:" + std::to_string((*agents_)[0]->port());
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
        if (HasFailure() && agents_)
            for (auto& a : *agents_)
                std::cerr << "--- snmpd " << a->target() << "\n" << a->Log();
    }

    void UseShippedFilter() {
        std::filesystem::copy_file(std::string(VESK_SOURCE_DIR) + "/settings/SrchMIB.conf",
                                   app_ + "SrchMIB.conf");
    }

    vesk::test::TempFolder dir_{"vesk-search-app"};
    std::string app_;
    RegisteredDevices registered_;
    CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&> results_;

    static inline vesk::test::TempFolder* folder_ = nullptr;
    static inline std::vector<std::unique_ptr<SnmpdAgent>>* agents_ = nullptr;
    static inline std::string startError_;
};

TEST_F(SearchAgainstAgents, ShippedFilterFindsOurDevicesSortedByAddress) {
    UseShippedFilter();
    registered_.devices = {{L"127.0.0.3", L"Second floor"}};
    CDeviceSearch search(&registered_);
    ASSERT_EQ(search.SearchDevice(results_), 1);
    // The other host is no target; the hidden one gives no description.
    ASSERT_EQ(Addresses(results_),
              (std::vector<std::wstring>{L"127.0.0.2", L"127.0.0.3", L"127.0.0.10"}));
    // Targets in discovery order: .10, .3, .2, .5.
    EXPECT_EQ(results_[0].nIndex, 2);
    EXPECT_EQ(results_[1].nIndex, 1);
    EXPECT_EQ(results_[2].nIndex, 0);
    EXPECT_EQ(vesk::WideToUtf8(results_[0].szObjectID), kFamily2 + "12");
    EXPECT_EQ(vesk::WideToUtf8(results_[1].szObjectID), kFamily1 + "40.1");
    EXPECT_STREQ(results_[0].szSysDescr, L"Alpha unit");
    EXPECT_STREQ(results_[2].szSysDescr, L"Echo unit");
    EXPECT_EQ(results_[1].bRegistered, 1);
    EXPECT_STREQ(results_[1].szRegisteredName, L"Second floor");
    EXPECT_EQ(results_[0].bRegistered, 0);
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
    ASSERT_EQ(Addresses(results_),
              (std::vector<std::wstring>{L"127.0.0.2", L"127.0.0.3", L"127.0.0.10"}));
    EXPECT_EQ(results_[2].bRegistered, 1);
    EXPECT_STREQ(results_[2].szRegisteredName, L"Echo at the desk");
    EXPECT_EQ(results_[0].bRegistered + results_[1].bRegistered, 0);
    EXPECT_GT(root.GetDeviceSearch()->m_arrOIDInclude.GetSize(), 0);
}

TEST_F(SearchAgainstAgents, IncludeAndExcludePatterns) {
    vesk::test::WriteText(app_ + "SrchMIB.conf", "OIDInclude = 1.3.6.1.4.1.59731.1.2.1.2.1.*\n");
    CDeviceSearch search(&registered_);
    ASSERT_EQ(search.SearchDevice(results_), 1);
    EXPECT_EQ(Addresses(results_), (std::vector<std::wstring>{L"127.0.0.2", L"127.0.0.10"}));

    vesk::test::WriteText(app_ + "SrchMIB.conf",
                          "OIDInclude = 1.3.6.1.4.1.59731.1.2.1.2.1.*\n"
                          "OIDExclude = 1.3.6.1.4.1.59731.1.2.1.2.1.12\n"
                          "# OIDInclude = 1.3.6.1.4.1.8072.3.2.10\n"
                          "OIDInclude = 1.3.6.1.4.1.8072.3.2.1O\n");  // letter O: dropped
    ASSERT_EQ(search.SearchDevice(results_), 1);
    EXPECT_EQ(Addresses(results_), std::vector<std::wstring>{L"127.0.0.10"});

    vesk::test::WriteText(app_ + "SrchMIB.conf", "OIDInclude = 1.3.6.1.4.1.8072.3.2.*\n");
    ASSERT_EQ(search.SearchDevice(results_), 1);
    EXPECT_EQ(Addresses(results_), std::vector<std::wstring>{L"127.0.0.4"});
    EXPECT_STREQ(results_[0].szSysDescr, L"Some other host");
}

TEST_F(SearchAgainstAgents, WithoutAFilterFileNothingIsFound) {
    CDeviceSearch search(&registered_);
    EXPECT_EQ(search.SearchDevice(results_), 0);
    EXPECT_EQ(results_.GetSize(), 0);
    EXPECT_TRUE(registered_.asked.empty());

    UseShippedFilter();
    auto key = vesk::reg::Key::Open(Hive::LocalMachine, L"SOFTWARE\\ORVANE\\HALD3.1\\Application");
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->DeleteValue(L"ApplicationPath"));
    EXPECT_EQ(search.SearchDevice(results_), 0) << "no application path";
    EXPECT_EQ(results_.GetSize(), 0);
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
