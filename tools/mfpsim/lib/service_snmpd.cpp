#include "tools/mfpsim/lib/service_snmpd.h"

#include <atomic>
#include <stdexcept>

namespace mfpsim {

using nlohmann::json;

namespace {

json Failure(const std::string& why) {
    return json{{"ok", false}, {"error", why}};
}

}  // namespace

ServedAgents::Served::~Served() {
    agent.reset();  // stopped before its folder goes
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
}

void ServedAgents::Clear() {
    agents_.clear();
}

json ServedAgents::Handle(const json& request, const std::filesystem::path& work) {
    static std::atomic<int> next{1};  // folders stay apart across connections
    const std::string op = request.value("op", "");
    if (op == "snmpd") {
        AgentConfig config;
        config.address = request.value("address", "");
        config.sysObjectID = request.value("sysObjectID", "");
        config.sysDescr = request.value("sysDescr", "");
        config.community = request.value("community", config.community);
        config.hideDescr = request.value("hideDescr", false);
        const int id = next++;
        Served& served = agents_[id];
        served.folder = work / ("snmpd-" + std::to_string(id));
        try {
            served.agent = std::make_unique<SnmpdAgent>(config, served.folder.string(), 0);
            served.agent->WaitReady();
        } catch (const std::exception& e) {
            agents_.erase(id);
            return Failure(e.what());
        }
        return json{{"ok", true}, {"agent", id}, {"port", served.agent->port()}};
    }
    const auto found = agents_.find(request.value("agent", 0));
    if (found == agents_.end())
        return Failure("no such agent on this connection");
    if (op == "snmpd-stop") {
        found->second.agent->Stop();
        return json{{"ok", true}};
    }
    if (op == "snmpd-log")
        return json{{"ok", true}, {"log", found->second.agent->Log()}};
    return Failure("unknown operation " + op);
}

}  // namespace mfpsim
