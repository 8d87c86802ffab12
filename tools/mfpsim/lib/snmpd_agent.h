// Real SNMP agents for tests and benchmarks: Debian's snmpd, one process per agent, on a
// loopback address and a free high port, with its own generated configuration and
// state folder, killed when the object goes (or when the thread that started it dies).
// Run in process by Linux tests and benchmarks, and by the control service for test
// programs that cannot start it themselves (service_snmpd.cpp).
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace mfpsim {

struct AgentConfig {
    std::string address;      // 127.0.0.X
    std::string sysObjectID;  // dotted, without a leading dot
    std::string sysDescr;
    std::string community = "quorle";
    bool hideDescr = false;  // the agent answers sysObjectID but not sysDescr
};

// The snmpd program, or empty when it is not installed.
std::string FindSnmpd();

class SnmpdAgent {
public:
    // Starts the agent in parentFolder/agent<index> without waiting for it; call
    // WaitReady (or use StartAgents). Throws std::runtime_error with the reason.
    SnmpdAgent(AgentConfig config, const std::string& parentFolder, int index);
    ~SnmpdAgent() { Stop(); }
    SnmpdAgent(const SnmpdAgent&) = delete;
    SnmpdAgent& operator=(const SnmpdAgent&) = delete;

    // Waits until the agent listens; on a port clash it tries another port.
    void WaitReady(std::chrono::milliseconds limit = std::chrono::milliseconds(8000));
    // Killed outright: the agent keeps nothing a test needs.
    void Stop();

    const std::string& address() const { return config_.address; }
    int port() const { return port_; }
    std::string target() const { return config_.address + ":" + std::to_string(port_); }
    std::string Log() const;

private:
    void WriteConfig();
    void Spawn();

    AgentConfig config_;
    std::string snmpd_;
    std::string folder_;
    int port_ = 0;
    int pid_ = -1;
};

// Starts every agent at once and waits until all listen.
std::vector<std::unique_ptr<SnmpdAgent>> StartAgents(const std::vector<AgentConfig>& configs,
                                                     const std::string& folder);

}  // namespace mfpsim
