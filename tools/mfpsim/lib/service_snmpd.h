// The control service's snmpd requests: real SNMP agents on loopback for test programs
// that cannot start them (the Windows tests under Wine). They belong to the connection
// that started them, like its emulators.
#pragma once

#include <filesystem>
#include <map>
#include <memory>

#include <nlohmann/json.hpp>

#include "tools/mfpsim/lib/snmpd_agent.h"

namespace mfpsim {

class ServedAgents {
public:
    ServedAgents() = default;
    ~ServedAgents() { Clear(); }
    ServedAgents(const ServedAgents&) = delete;
    ServedAgents& operator=(const ServedAgents&) = delete;

    // A request whose op starts with "snmpd"; agent folders go below work.
    nlohmann::json Handle(const nlohmann::json& request, const std::filesystem::path& work);
    // Stops every agent and removes its folder.
    void Clear();

private:
    struct Served {
        std::unique_ptr<SnmpdAgent> agent;
        std::filesystem::path folder;
        ~Served();
    };
    std::map<int, Served> agents_;
};

}  // namespace mfpsim
