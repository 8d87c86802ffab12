// SearchDevice's result codes and record handling, with a scripted SNMP library.
#include <gtest/gtest.h>

#include <functional>
#include <new>

#include "device_search_support.h"
#include "support/alloc_failure.h"
#include "support/temp_folder.h"

namespace {

using vesk::test::Addresses;
using vesk::test::RegisteredDevices;
using vesk::test::ScriptedMib;

constexpr const char* kFamily = "1.3.6.1.4.1.59731.1.2.1.2.1.";

class SearchCodes : public ::testing::Test {
protected:
    void SetUp() override {
        filter_ = dir_.path() + "/SrchMIB.conf";
        vesk::test::WriteFile(filter_, "OIDInclude = 1.3.6.1.4.1.59731.1.2.1.2.1.*\n");
        mib_.entries = {{"10.0.0.20", std::string(kFamily) + "20"},
                        {"10.0.0.3", std::string(kFamily) + "3"},
                        {"9.1.1.1", std::string(kFamily) + "9"}};
        mib_.descriptions = {{"10.0.0.20", "twenty"}, {"10.0.0.3", "three"}, {"9.1.1.1", "nine"}};
        // Something from an earlier search that must not survive.
        DEVICE_SEARCH_INFOEX stale{};
        stale.szIPAddress[0] = L'x';
        results_.Add(stale);
    }

    int Search() {
        CDeviceSearch search(&registered_, &mib_);
        search.SetFilterFilePath(vesk::Utf8ToWide(filter_));
        int rc = search.SearchDevice(results_);
        handleAfter_ = search.m_nMibHandle.load();
        return rc;
    }

    void ExpectDeletedOnce() {
        EXPECT_EQ(mib_.deletedCount, 1);
        EXPECT_EQ(mib_.lastDeleted, 7);
    }

    vesk::test::TempFolder dir_{"vesk-codes"};
    std::string filter_;
    ScriptedMib mib_;
    RegisteredDevices registered_;
    CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&> results_;
    int handleAfter_ = 0;
};

TEST_F(SearchCodes, FoundDevicesComeBackSortedWithTheirTargetIndex) {
    registered_.devices = {{L"10.0.0.3", L"Front desk"}};
    EXPECT_EQ(Search(), 1);
    EXPECT_EQ(mib_.timeouts, (std::vector<std::pair<int, int>>{{0, 8}, {3, 15}}));
    EXPECT_EQ(mib_.community, "quorle");
    EXPECT_EQ(mib_.port, 161);
    EXPECT_EQ(
        vesk::test::Records(results_),
        (std::vector<std::wstring>{L"9.1.1.1 #2 1.3.6.1.4.1.59731.1.2.1.2.1.9 'nine' -",
                                   L"10.0.0.3 #1 1.3.6.1.4.1.59731.1.2.1.2.1.3 'three' Front desk",
                                   L"10.0.0.20 #0 1.3.6.1.4.1.59731.1.2.1.2.1.20 'twenty' -"}));
    ExpectDeletedOnce();
    EXPECT_EQ(mib_.freed, 1);
    EXPECT_EQ(handleAfter_, -1);
}

// One change to the scripted library or the filter per row: the code, the records
// (sorted unless the search stopped), how often the handle was deleted and the memory
// freed.
TEST_F(SearchCodes, EachOutcomeHasItsCode) {
    using Setup = std::function<void(ScriptedMib&, const std::string& filter)>;
    struct Case {
        const char* what;
        Setup setup;
        int rc;
        std::vector<std::wstring> addresses;
        int deleted, freed;
    };
    using W = std::vector<std::wstring>;
    const W all{L"9.1.1.1", L"10.0.0.3", L"10.0.0.20"};
    const Case cases[] = {
        {"no library", [](auto& m, auto&) { m.initialize = 0; }, -1049, {}, 0, 0},
        {"no handle", [](auto& m, auto&) { m.handle = -1; }, -1049, {}, 0, 0},
        {"bind refused", [](auto& m, auto&) { m.bind = 0; }, -1049, {}, 1, 0},
        {"not enabled", [](auto& m, auto&) { m.enabled = 0; }, -1049, {}, 1, 0},
        {"discovery failed", [](auto& m, auto&) { m.listResult = 0; }, -1050, {}, 1, 0},
        // The memory is freed even when it cannot be locked.
        {"lock failed", [](auto& m, auto&) { m.failLock = true; }, 0, {}, 1, 1},
        {"count beyond the memory", [](auto& m, auto&) { m.reportedCount = 50; }, 1, all, 1, 1},
        {"no filter file", [](auto&, auto& f) { std::filesystem::remove(f); }, 0, {}, 1, 1},
        {"a description missing", [](auto& m, auto&) { m.descriptions.erase("10.0.0.3"); }, 1,
         W{L"9.1.1.1", L"10.0.0.20"}, 1, 1},
        {"no descriptions", [](auto& m, auto&) { m.descriptions.clear(); }, 0, {}, 1, 1},
        {"stopped", [](auto& m, auto&) { m.stopAt = "9.1.1.1"; }, 1, W{L"10.0.0.20", L"10.0.0.3"},
         1, 1},
        {"stopped at once", [](auto& m, auto&) { m.stopAt = "10.0.0.20"; }, 1, {}, 1, 1},
    };
    const ScriptedMib fresh = mib_;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        mib_ = fresh;
        vesk::test::WriteFile(filter_, "OIDInclude = 1.3.6.1.4.1.59731.1.2.1.2.1.*\n");
        c.setup(mib_, filter_);
        EXPECT_EQ(Search(), c.rc);
        EXPECT_EQ(Addresses(results_), c.addresses);
        EXPECT_EQ(mib_.deletedCount, c.deleted);
        EXPECT_EQ(mib_.freed, c.freed);
        if (c.deleted) {
            EXPECT_EQ(mib_.lastDeleted, 7);
        }
        EXPECT_EQ(handleAfter_, -1);
    }
    // Skipped targets still count for the index.
    mib_ = fresh;
    mib_.descriptions.erase("10.0.0.3");
    ASSERT_EQ(Search(), 1);
    EXPECT_EQ(results_[0].nIndex, 2);
}

TEST_F(SearchCodes, OverlongAddressesAndIdentifiersAreSkipped) {
    const std::string address32(32, 'h');
    const std::string id40 = std::string(kFamily) + "12.1.1.1.1.1";
    ASSERT_EQ(id40.size(), 40u);
    mib_.entries = {{address32, std::string(kFamily) + "1"},
                    {address32 + "9", std::string(kFamily) + "2"},  // 33 characters
                    {"10.0.0.1", id40},
                    {"10.0.0.2", id40 + "3"},                             // 41, unterminated field
                    {std::string(70, '7'), std::string(kFamily) + "5"}};  // fills the field
    vesk::test::WriteFile(filter_, "OIDInclude = 1.3.6.1.4.1.59731.1.2.1.2.1.*\nOIDInclude = " +
                                       id40 + "\nOIDInclude = " + id40 + "3\n");
    mib_.descriptions = {
        {address32, "a"}, {address32 + "9", "b"}, {"10.0.0.1", "c"}, {"10.0.0.2", "d"}};
    EXPECT_EQ(Search(), 1);
    // Neither parses as an address, so the order stays that of the targets.
    EXPECT_EQ(Addresses(results_),
              (std::vector<std::wstring>{vesk::Utf8ToWide(address32), L"10.0.0.1"}));
    EXPECT_EQ(std::wstring(results_[1].szObjectID, 40), vesk::Utf8ToWide(id40));
    EXPECT_EQ(mib_.described, (std::vector<std::string>{address32, "10.0.0.1"}));
}

TEST_F(SearchCodes, DescriptionIsCutToEightyCharacters) {
    mib_.descriptions["9.1.1.1"] = std::string(100, 'a');
    // 79 ASCII then three 2-byte characters: the cut counts characters, not bytes.
    mib_.descriptions["10.0.0.3"] = std::string(79, 'b') + "\xC3\xA9\xC3\xA9\xC3\xA9";
    EXPECT_EQ(Search(), 1);
    EXPECT_EQ(std::wstring(results_[0].szSysDescr), std::wstring(80, L'a'));
    EXPECT_EQ(std::wstring(results_[1].szSysDescr), std::wstring(79, L'b') + L"\u00e9");

    // A library that fills the whole buffer without a terminator.
    mib_.fillWholeBuffer = true;
    EXPECT_EQ(Search(), 1);
    EXPECT_EQ(std::wstring(results_[0].szSysDescr), std::wstring(80, L'z'));
}

TEST_F(SearchCodes, MemoryExceptionGivesMinus1001AndKeepsTheRecordsSoFar) {
    registered_.onQuery = [](const std::wstring& address) {
        if (address == L"10.0.0.3")
            throw std::bad_alloc();
    };
    EXPECT_EQ(Search(), -1001);
    EXPECT_EQ(Addresses(results_), std::vector<std::wstring>{L"10.0.0.20"});
    ExpectDeletedOnce();
    EXPECT_EQ(handleAfter_, -1);
}

TEST_F(SearchCodes, EveryAllocationFailureIsReportedWithoutLeaks) {
    registered_.devices = {{L"10.0.0.3", L"Front desk"}};
    CDeviceSearch search(&registered_, &mib_);
    search.SetFilterFilePath(vesk::Utf8ToWide(filter_));
    ASSERT_EQ(search.SearchDevice(results_), 1);  // first-use allocations out of the way

    // What one run saw, kept in plain values: the run must leave no allocation behind.
    int found = 0, deleted = 0;
    bool created = false;
    auto forget = [&] {
        // Moving an empty vector in gives the old one's memory back.
        mib_.described = std::vector<std::string>();
        mib_.timeouts = std::vector<std::pair<int, int>>();
        registered_.asked = std::vector<std::wstring>();
        results_.RemoveAll();
        results_.FreeExtra();
        for (CStringArray* list : {&search.m_arrOIDInclude, &search.m_arrOIDExclude}) {
            list->RemoveAll();
            list->FreeExtra();
        }
        mib_.deletedCount = mib_.creates = 0;
    };
    forget();
    int runs = vesk::test::ForEachAllocationFailure(
        [&] {
            int rc = search.SearchDevice(results_);
            found = static_cast<int>(results_.GetSize());
            deleted = mib_.deletedCount;
            created = mib_.creates > 0;
            forget();
            return rc;
        },
        [&](const vesk::test::AllocationFailureRun& run) {
            if (!run.failed) {
                EXPECT_EQ(run.result, 1);
                EXPECT_EQ(found, 3);
            } else {
                // Inside the target filter a memory failure reads as "filtering failed".
                EXPECT_TRUE(run.result == -1001 || run.result == 0)
                    << "allocation " << run.failAt << " gave " << run.result;
            }
            EXPECT_EQ(run.leaked, 0) << "allocation " << run.failAt;
            // Every way out after the handle was made deletes it.
            EXPECT_EQ(deleted, created ? 1 : 0) << "allocation " << run.failAt;
            EXPECT_EQ(search.m_nMibHandle.load(), -1);
        });
    EXPECT_GT(runs, 10);
}

TEST_F(SearchCodes, RegisteredNamesAreExactAndBounded) {
    registered_.devices = {
        {L"10.0.0.20 ", L"space"}, {L"010.0.0.3", L"octal"}, {L"9.1.1.1", std::wstring(300, L'n')}};
    EXPECT_EQ(Search(), 1);
    EXPECT_EQ(results_[0].bRegistered, 1);
    EXPECT_EQ(std::wstring(results_[0].szRegisteredName), std::wstring(255, L'n'));
    EXPECT_EQ(results_[1].bRegistered, 0);
    EXPECT_EQ(results_[2].bRegistered, 0);
    EXPECT_EQ(registered_.asked,
              (std::vector<std::wstring>{L"10.0.0.20", L"10.0.0.3", L"9.1.1.1"}));

    // A root without a list answers 0 and writes no name: the record says unregistered.
    registered_.noList = true;
    EXPECT_EQ(Search(), 1);
    for (INT_PTR i = 0; i < results_.GetSize(); ++i) {
        EXPECT_EQ(results_[i].bRegistered, 0);
        EXPECT_STREQ(results_[i].szRegisteredName, L"");
    }

    CDeviceSearch alone(nullptr, &mib_);
    alone.SetFilterFilePath(vesk::Utf8ToWide(filter_));
    EXPECT_EQ(alone.SearchDevice(results_), 1);
    EXPECT_EQ(results_[0].bRegistered, 0);
}

}  // namespace
