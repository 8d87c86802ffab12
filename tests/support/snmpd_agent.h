// Real SNMP agents for tests (tools/mfpsim/lib/snmpd_agent.h: Debian's snmpd on a
// loopback address and a free port). A Linux test program runs them itself; a Windows
// one under Wine has the emulator's control service (VESK_SIM_SERVICE, set by wine-run
// --sim) run them beside Wine, each until it is stopped or the program ends.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "temp_folder.h"
#include "tools/mfpsim/lib/snmpd_agent.h"

namespace vesk::test {

using mfpsim::AgentConfig;

class SnmpdAgent {
public:
    // Starts the agent (in parentFolder/agent<index> when run here) without waiting for
    // it; WaitReady waits until it listens. Both throw std::runtime_error with the reason.
    SnmpdAgent(AgentConfig config, const std::string& parentFolder, int index);
    SnmpdAgent(const SnmpdAgent&) = delete;
    SnmpdAgent& operator=(const SnmpdAgent&) = delete;
    void WaitReady() { m_backend->WaitReady(); }
    // Killed outright: once it returns, the agent answers no more.
    void Stop() { m_backend->Stop(); }

    const std::string& address() const { return m_config.address; }
    int port() const { return m_backend->Port(); }
    std::string target() const { return address() + ":" + std::to_string(port()); }
    std::string Log() const { return m_backend->Log(); }

    // Where the agent runs: in this process or behind the control service.
    struct Backend {
        virtual ~Backend() = default;
        virtual void WaitReady() = 0;
        virtual void Stop() = 0;
        virtual int Port() const = 0;
        virtual std::string Log() const = 0;
    };

private:
    AgentConfig m_config;
    std::unique_ptr<Backend> m_backend;
};

// The backends: this build's own, and the one behind a control service ("HOST:PORT").
std::unique_ptr<SnmpdAgent::Backend> MakeDefaultAgentBackend(const AgentConfig& config,
                                                             const std::string& parentFolder,
                                                             int index);
std::unique_ptr<SnmpdAgent::Backend> MakeServiceAgentBackend(const AgentConfig& config,
                                                             const std::string& service);

// One datagram to the agent and the one that comes back (three tries of 2 s; empty
// when none came).
std::vector<uint8_t> AskAgent(const SnmpdAgent& agent, const std::vector<uint8_t>& request);

// Agents shared by the tests of one suite: Start in SetUpTestSuite, Stop in
// TearDownTestSuite. A failure to start is kept for each test to report, since the
// search has no other real peer. All start at once, then are waited for.
class AgentSet {
public:
    void Start(const std::vector<AgentConfig>& configs, const std::string& prefix);
    void Stop();
    const std::string& Error() const { return m_error; }
    const SnmpdAgent& operator[](size_t i) const { return *m_agents.at(i); }
    const std::vector<std::unique_ptr<SnmpdAgent>>& All() const { return m_agents; }
    // Every agent's log, for a failed test.
    std::string Logs() const;

private:
    std::unique_ptr<TempFolder> m_folder;
    std::vector<std::unique_ptr<SnmpdAgent>> m_agents;
    std::string m_error;
};

}  // namespace vesk::test
