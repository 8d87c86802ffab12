// QDevMIB against real snmpd agents on loopback addresses.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "mib/qdevmib.h"
#include "support/isolated_env.h"
#include "support/snmpd_agent.h"

namespace {

using namespace std::chrono_literals;
using vesk::mib::Overrides;
using vesk::test::SnmpdAgent;

constexpr const char* kFamily = "1.3.6.1.4.1.59731.1.2.1.2.1.";

using Entry = std::pair<std::string, std::string>;  // address, object id

struct Discovery {
    int result = -1;
    int stop = 0;
    std::vector<Entry> entries;
    std::chrono::milliseconds elapsed{};
};

// With a stop flag of the caller's, d.stop is not used.
Discovery Discover(int handle, int initialStop = 0, int* stop = nullptr) {
    Discovery d;
    d.stop = initialStop;
    vesk::mib::HGLOBAL memory = nullptr;
    int count = -1;
    auto start = std::chrono::steady_clock::now();
    d.result = _Mib_GetsysObjectIDList(handle, &memory, &count, 0, stop ? stop : &d.stop, 0);
    d.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    if (d.result != 1) {
        EXPECT_EQ(memory, nullptr);
        return d;
    }
    EXPECT_EQ(vesk::mib::GlobalSize(memory), static_cast<size_t>(count) * vesk::mib::kEntryBytes);
    auto* bytes = static_cast<const char*>(vesk::mib::GlobalLock(memory));
    for (int i = 0; i < count; ++i) {
        const char* e = bytes + i * vesk::mib::kEntryBytes;
        d.entries.push_back(
            {std::string(e, strnlen(e, vesk::mib::kAddressBytes)),
             std::string(e + vesk::mib::kAddressBytes,
                         strnlen(e + vesk::mib::kAddressBytes, vesk::mib::kObjectIdBytes))});
    }
    vesk::mib::GlobalUnlock(memory);
    EXPECT_EQ(vesk::mib::GlobalFree(memory), nullptr);
    return d;
}

// Loopback-only overrides, with these waits when given.
void UseLoopback(std::optional<int> timeoutMs = {}, std::optional<int> retries = {}) {
    Overrides o;
    o.loopbackOnly = true;
    o.timeoutMs = timeoutMs;
    o.retries = retries;
    vesk::mib::SetOverrides(o);
}

std::pair<int, std::string> Describe(int handle, const std::string& address, int size = 162,
                                     int* stop = nullptr) {
    std::vector<char> buffer(static_cast<size_t>(size) + 8, 'x');
    int local = 0;
    int rc =
        _Mib_GetsysDescr(handle, buffer.data(), size, address.c_str(), 0, stop ? stop : &local, 0);
    EXPECT_EQ(std::memchr(buffer.data(), '\0', static_cast<size_t>(size)) != nullptr, true)
        << "not terminated inside the buffer";
    EXPECT_EQ(buffer[static_cast<size_t>(size)], 'x') << "wrote past the buffer";
    return {rc, buffer.data()};
}

class QDevMib : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        agents_.Start(
            {{"127.0.0.2", std::string(kFamily) + "12", "Unit two"},
             {"127.0.0.3", std::string(kFamily) + "40.1", "Unit three \xC3\xA9\xE2\x82\xAC"},
             {"127.0.0.4", std::string(kFamily) + "13", "hidden", "quorle", true},
             {"127.0.0.5", std::string(kFamily) + "14", "other community", "other"}},
            "vesk-mib");
    }
    static void TearDownTestSuite() { agents_.Stop(); }

    void SetUp() override {
        ASSERT_TRUE(agents_.Error().empty()) << agents_.Error();
        ASSERT_EQ(_Mib_Initialize(), 1);
        UseLoopback(300, 1);
    }
    void TearDown() override {
        for (int h : handles_)
            _Mib_Delete(h);
        if (HasFailure())
            std::cerr << agents_.Logs();
        UseLoopback();
    }

    int NewHandle(const std::string& targets) {
        int h = _Mib_Create();
        EXPECT_NE(h, -1);
        handles_.push_back(h);
        EXPECT_EQ(_Mib_Bind(h, "quorle", 161), 1);
        if (!targets.empty()) {
            EXPECT_EQ(_Mib_SetTargets(h, targets.c_str()), 1) << targets;
        }
        return h;
    }

    static const SnmpdAgent& Agent(size_t i) { return agents_[i]; }

    static inline vesk::test::AgentSet agents_;
    std::vector<int> handles_;
};

TEST_F(QDevMib, DiscoveryListsAnsweringAgentsInTargetOrder) {
    // Silent address, wrong community and a hidden description around two plain agents.
    int h = NewHandle(Agent(1).target() + ",127.0.0.6:" + std::to_string(Agent(0).port()) + "," +
                      Agent(0).target() + "," + Agent(3).target() + "," + Agent(2).target());
    ASSERT_EQ(_Mib_IsEnabled(h), 1) << vesk::mib::GetLastErrorText(h);
    Discovery d = Discover(h);
    ASSERT_EQ(d.result, 1) << vesk::mib::GetLastErrorText(h);
    EXPECT_EQ(d.stop, 0);
    EXPECT_EQ(d.entries, (std::vector<Entry>{{"127.0.0.3", std::string(kFamily) + "40.1"},
                                             {"127.0.0.2", std::string(kFamily) + "12"},
                                             {"127.0.0.4", std::string(kFamily) + "13"}}));

    EXPECT_EQ(Describe(h, "127.0.0.2"), std::make_pair(1, std::string("Unit two")));
    EXPECT_EQ(Describe(h, "127.0.0.3"),
              std::make_pair(1, std::string("Unit three \xC3\xA9\xE2\x82\xAC")));
    // The hidden agent answered the discovery without a description.
    EXPECT_EQ(Describe(h, "127.0.0.4").first, 0);
    EXPECT_NE(vesk::mib::GetLastErrorText(h).find("no description"), std::string::npos);

    // A description is cut on a character boundary: "Unit three " is 11 bytes, then a
    // 2-byte and a 3-byte character.
    const std::pair<int, std::string> cuts[] = {{12, "Unit three "},
                                                {13, "Unit three "},
                                                {14, "Unit three \xC3\xA9"},
                                                {16, "Unit three \xC3\xA9"},
                                                {17, "Unit three \xC3\xA9\xE2\x82\xAC"},
                                                {1, ""}};
    for (const auto& [size, text] : cuts)
        EXPECT_EQ(Describe(h, "127.0.0.3", size), std::make_pair(1, text)) << size;
    char untouched = 'x';
    EXPECT_EQ(_Mib_GetsysDescr(h, &untouched, 0, "127.0.0.3", 0, nullptr, 0), 0);
    EXPECT_EQ(untouched, 'x');
}

TEST_F(QDevMib, DescriptionsAreAnsweredFromTheDiscovery) {
    vesk::test::TempFolder own("vesk-mib-own");
    SnmpdAgent agent({"127.0.0.7", std::string(kFamily) + "20", "Gone later"}, own.path(), 0);
    agent.WaitReady();
    int h = NewHandle(agent.target());
    Discovery d = Discover(h);
    ASSERT_EQ(d.result, 1);
    ASSERT_EQ(d.entries.size(), 1u);
    agent.Stop();
    // No agent answers any more: the text can only come from the handle's memory.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Describe(h, "127.0.0.7"), std::make_pair(1, std::string("Gone later")));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);

    // A fresh handle must ask, and nobody answers.
    int fresh = NewHandle(agent.target());
    EXPECT_EQ(Describe(fresh, "127.0.0.7").first, 0);
}

TEST_F(QDevMib, AddressNotInADiscoveryIsAskedOnItsTargetPort) {
    int h = NewHandle(Agent(0).target() + "," + Agent(1).target());
    EXPECT_EQ(Describe(h, "127.0.0.3"),
              std::make_pair(1, std::string("Unit three \xC3\xA9\xE2\x82\xAC")));
    EXPECT_EQ(Describe(h, "127.0.0.2"), std::make_pair(1, std::string("Unit two")));
    EXPECT_EQ(Describe(h, "127.0.0.6").first, 0);  // no agent there
    EXPECT_EQ(Describe(h, "127.0.0.4").first, 0);  // not in the list: bound port 161, silent
    EXPECT_EQ(Describe(h, "127.0.0.2.").first, 0);
    EXPECT_EQ(Describe(h, "").first, 0);
}

TEST_F(QDevMib, SilentTargetsCostOneTimeOutNotOneEach) {
    // Twelve silent addresses at 0.3 s and one retry: 7.2 s one after another.
    int h = NewHandle("127.0.0.40-51:" + std::to_string(Agent(0).port()) + "," + Agent(0).target());
    Discovery d = Discover(h);
    ASSERT_EQ(d.result, 1);
    EXPECT_EQ(d.entries, (std::vector<Entry>{{"127.0.0.2", std::string(kFamily) + "12"}}));
    EXPECT_GE(d.elapsed, 550ms) << "did not wait for the silent addresses";
    EXPECT_LT(d.elapsed, 2500ms);
}

TEST_F(QDevMib, CancelFromAnotherThreadEndsTheWait) {
    UseLoopback(3000, 2);
    int h = NewHandle(Agent(0).target() + ",127.0.0.60-67");
    std::thread canceller([h] {
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(_Mib_Cancel(h), 1);
    });
    Discovery d = Discover(h);
    canceller.join();
    EXPECT_EQ(std::pair(d.result, d.stop), std::pair(1, 1));
    EXPECT_LT(d.elapsed, 2000ms);
    // What answered before the cancel is still returned.
    EXPECT_EQ(d.entries, (std::vector<Entry>{{"127.0.0.2", std::string(kFamily) + "12"}}));
    // Every later call on the handle stops at once.
    int stop = 0;
    EXPECT_EQ(Describe(h, "127.0.0.2", 162, &stop), std::make_pair(1, std::string()));
    EXPECT_EQ(stop, 1);
}

TEST_F(QDevMib, StopFlagIsHonoured) {
    int h = NewHandle(Agent(0).target() + ",127.0.0.70-72");
    Discovery before = Discover(h, 1);
    EXPECT_EQ(std::tuple(before.result, before.stop, before.entries.size()), std::tuple(1, 1, 0u));
    EXPECT_LT(before.elapsed, 100ms);

    // Raised by the caller's side while the discovery waits.
    UseLoopback(3000, 0);
    int stop = 0;
    std::thread raiser([&stop] {
        std::this_thread::sleep_for(200ms);
        std::atomic_ref<int>(stop).store(1);
    });
    Discovery raised = Discover(NewHandle("127.0.0.70-72"), 0, &stop);
    raiser.join();
    EXPECT_EQ(std::pair(raised.result, raised.entries.size()), std::pair(1, size_t{0}));
    EXPECT_LT(raised.elapsed, 1500ms);
}

TEST_F(QDevMib, EntryPointsRefuseBadArgumentsAndUnsafeTargets) {
    // Braced lists are evaluated in order, so each list is a sequence of calls.
    using R = std::vector<int>;
    const int none = 987654;
    EXPECT_EQ((R{_Mib_Bind(none, "quorle", 161), _Mib_IsEnabled(none), _Mib_SetTimeout(none, 1, 5),
                 _Mib_Cancel(none), Discover(none).result}),
              R(5, 0));

    int h = _Mib_Create();
    ASSERT_NE(h, -1);
    handles_.push_back(h);
    EXPECT_EQ(_Mib_IsEnabled(h), 0) << "enabled before bind";
    EXPECT_EQ((R{_Mib_Bind(h, "", 161), _Mib_Bind(h, nullptr, 161), _Mib_Bind(h, "quorle", 0),
                 _Mib_Bind(h, "quorle", 65536), _Mib_Bind(h, std::string(256, 'c').c_str(), 161),
                 _Mib_Bind(h, "quorle", 161)}),
              (R{0, 0, 0, 0, 0, 1}));
    EXPECT_EQ((R{_Mib_SetTimeout(h, 0, 8), _Mib_SetTimeout(h, 3, 15), _Mib_SetTimeout(h, -1, 15),
                 _Mib_SetTimeout(h, 11, 15), _Mib_SetTimeout(h, 1, 0)}),
              (R{1, 1, 0, 0, 0}));

    // Loopback-only refuses the broadcast default and any other outside address.
    EXPECT_EQ(_Mib_IsEnabled(h), 0);
    EXPECT_NE(vesk::mib::GetLastErrorText(h).find("127.0.0.0/8"), std::string::npos);
    EXPECT_EQ(Discover(h).result, 0);
    EXPECT_EQ(_Mib_SetTargets(h, "127.0.0.2,10.0.0.1"), 1);
    EXPECT_EQ(_Mib_IsEnabled(h), 0);
    EXPECT_EQ(Discover(h).result, 0);
    EXPECT_EQ(Describe(h, "10.0.0.1").first, 0);

    EXPECT_EQ(_Mib_SetTargets(h, Agent(0).target().c_str()), 1);
    EXPECT_EQ(_Mib_IsEnabled(h), 1);
    EXPECT_EQ(_Mib_SetTargets(h, "127.0.0.999"), 0);
    EXPECT_EQ(_Mib_SetTargets(h, " , "), 0);
    EXPECT_EQ(_Mib_IsEnabled(h), 1) << "a refused list must leave the old one";

    vesk::mib::HGLOBAL memory = nullptr;
    int stop = 0;
    EXPECT_EQ(_Mib_GetsysObjectIDList(h, &memory, nullptr, 0, &stop, 0), 0);
    int count = 0;
    EXPECT_EQ(_Mib_GetsysObjectIDList(h, nullptr, &count, 0, &stop, 0), 0);

    // A malformed process-wide override disables new handles instead of broadcasting.
    Overrides bad;
    bad.targets = "127.0.0.1-";
    vesk::mib::SetOverrides(bad);
    EXPECT_EQ(_Mib_IsEnabled(NewHandle("")), 0);

    _Mib_Delete(h);
    EXPECT_EQ(_Mib_IsEnabled(h), 0);
    _Mib_Delete(h);  // twice is harmless
    int next = _Mib_Create();
    handles_.push_back(next);
    EXPECT_NE(next, h) << "handle numbers are not reused";
}

TEST_F(QDevMib, EnvironmentConfiguresHandlesWhenNoOverridesAreSet) {
    vesk::mib::SetOverrides(std::nullopt);
    vesk::test::ScopedEnvironment env;
    env.Set("VESK_SNMP_TARGETS", "127.0.0.2," + Agent(1).address());
    env.Set("VESK_SNMP_PORT", std::to_string(Agent(1).port()));
    env.Set("VESK_SNMP_COMMUNITY", "quorle");
    env.Set("VESK_SNMP_TIMEOUT_MS", "300");
    env.Set("VESK_SNMP_RETRIES", "0");
    env.Set("VESK_SNMP_LOOPBACK_ONLY", "1");
    const Overrides seen = vesk::mib::OverridesFromEnvironment();
    EXPECT_EQ(std::pair(seen.port, seen.loopbackOnly),
              std::pair(std::optional(Agent(1).port()), true));

    int h = _Mib_Create();
    handles_.push_back(h);
    ASSERT_EQ(_Mib_Bind(h, "public", 161), 1);
    Discovery d = Discover(h);
    ASSERT_EQ(d.result, 1) << vesk::mib::GetLastErrorText(h);
    // Only the agent on the configured port answers; 127.0.0.2 listens elsewhere.
    EXPECT_EQ(d.entries, (std::vector<Entry>{{"127.0.0.3", std::string(kFamily) + "40.1"}}));

    for (auto [name, value] : {std::pair{"VESK_SNMP_PORT", "16x"},
                               {"VESK_SNMP_RETRIES", "11"},
                               {"VESK_SNMP_LOOPBACK_ONLY", "yes"},
                               {"VESK_SNMP_TARGETS", "nowhere"}}) {
        vesk::test::ScopedEnvironment bad;
        bad.Set(name, value);
        int b = _Mib_Create();
        handles_.push_back(b);
        _Mib_Bind(b, "quorle", 161);
        EXPECT_EQ(_Mib_IsEnabled(b), 0) << name << "=" << value;
    }
}

}  // namespace
