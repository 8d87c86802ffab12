// Device search over SNMP against real snmpd agents on loopback addresses: sixteen
// answering agents plus sixteen silent addresses, against one agent alone and against
// one agent with one silent address, in the same run. Queries go out in parallel, so a
// silent address costs one time-out for the whole search, not one each.
//
// Prints the ratios at the end. Time-outs 0.3 s with one retry (one silent window: 0.6 s);
// any search with a silent address waits that window once, so the fair peer of the
// mixed run is one agent with one silent address.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mib/qdevmib.h"
#include "platform/charset.h"
#include "settings/device_search.h"
#include "tests/support/temp_folder.h"
#include "tools/mfpsim/lib/snmpd_agent.h"

namespace {

constexpr int kAgents = 16;
constexpr int kSilent = 16;

std::vector<std::unique_ptr<mfpsim::SnmpdAgent>> g_agents;
std::string g_filter;

std::string Silent(int count) {
    std::string list;
    for (int i = 0; i < count; ++i)
        list += ",127.0.0." + std::to_string(40 + i) + ":" + std::to_string(g_agents[0]->port());
    return list;
}

void Search(benchmark::State& state, const std::string& targets, int expected) {
    vesk::mib::Overrides o;
    o.targets = targets;
    o.timeoutMs = 300;
    o.retries = 1;
    o.loopbackOnly = true;
    vesk::mib::SetOverrides(o);
    CDeviceSearch search;
    search.SetFilterFilePath(vesk::Utf8ToWide(g_filter));
    CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&> results;
    for (auto _ : state) {
        int rc = search.SearchDevice(results);
        if (rc != 1 || results.GetSize() != expected) {
            state.SkipWithError("the search did not find every agent");
            break;
        }
    }
    state.counters["devices"] = static_cast<double>(results.GetSize());
}

void BM_OneAgent(benchmark::State& state) {
    Search(state, g_agents[0]->target(), 1);
}

void BM_OneAgentOneSilent(benchmark::State& state) {
    Search(state, g_agents[0]->target() + Silent(1), 1);
}

std::string AllAgents() {
    std::string targets;
    for (auto& a : g_agents) {
        if (!targets.empty())
            targets += ',';
        targets += a->target();
    }
    return targets;
}

void BM_SixteenAgents(benchmark::State& state) {
    Search(state, AllAgents(), kAgents);
}

void BM_SixteenAgentsSixteenSilent(benchmark::State& state) {
    Search(state, AllAgents() + Silent(kSilent), kAgents);
}

BENCHMARK(BM_OneAgent)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OneAgentOneSilent)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SixteenAgents)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SixteenAgentsSixteenSilent)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Keeps each benchmark's mean real time for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (!r.error_occurred)
                times[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    vesk::test::TempFolder folder("vesk-bench-search");
    g_filter = folder.path() + "/SrchMIB.conf";
    std::FILE* f = std::fopen(g_filter.c_str(), "w");
    if (!f)
        return 1;
    std::fputs("OIDInclude = 1.3.6.1.4.1.59731.1.2.1.2.1.*\n", f);
    std::fclose(f);
    try {
        std::vector<mfpsim::AgentConfig> configs;
        for (int i = 0; i < kAgents; ++i)
            configs.push_back({"127.0.0." + std::to_string(2 + i),
                               "1.3.6.1.4.1.59731.1.2.1.2.1." + std::to_string(100 + i),
                               "Bench unit " + std::to_string(i)});
        g_agents = mfpsim::StartAgents(configs, folder.path());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot start the agents: %s\n", e.what());
        return 1;
    }

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    g_agents.clear();

    auto& t = reporter.times;
    const char* one = "BM_OneAgent/iterations:5/real_time";
    const char* oneSilent = "BM_OneAgentOneSilent/iterations:5/real_time";
    const char* sixteen = "BM_SixteenAgents/iterations:5/real_time";
    const char* all = "BM_SixteenAgentsSixteenSilent/iterations:5/real_time";
    if (t.count(one) && t.count(all))
        std::printf("ratio 16 agents + 16 silent / 1 agent alone:          %.2f\n",
                    t[all] / t[one]);
    if (t.count(one) && t.count(sixteen))
        std::printf("ratio 16 agents / 1 agent alone:                      %.2f\n",
                    t[sixteen] / t[one]);
    if (t.count(oneSilent) && t.count(all))
        std::printf("ratio 16 agents + 16 silent / 1 agent + 1 silent:     %.2f (goal <= 1.5)\n",
                    t[all] / t[oneSilent]);
    return 0;
}
