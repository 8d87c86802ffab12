#include "support/snmpd_agent.h"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "support/sim_device.h"

namespace vesk::test {

using nlohmann::json;

SnmpdAgent::SnmpdAgent(AgentConfig config, const std::string& parentFolder, int index)
    : m_config(std::move(config)),
      m_backend(MakeDefaultAgentBackend(m_config, parentFolder, index)) {}

namespace {

// An agent of the control service on a connection of its own: the start request goes
// out at once, its reply (sent once the agent listens) is read when waited for.
class ServiceAgent : public SnmpdAgent::Backend {
public:
    ServiceAgent(const AgentConfig& c, const std::string& service) : m_service(service) {
        std::string error;
        if (!m_channel.Connect(service, error))
            throw std::runtime_error(error);
        m_pending = m_channel.Send(json{{"op", "snmpd"},
                                        {"address", c.address},
                                        {"sysObjectID", c.sysObjectID},
                                        {"sysDescr", c.sysDescr},
                                        {"community", c.community},
                                        {"hideDescr", c.hideDescr}}
                                       .dump() +
                                   "\n");
    }
    void WaitReady() override {
        if (m_id == 0)
            m_port = Reply("snmpd").value("port", 0);
    }
    void Stop() override {
        if (m_id != 0)
            Call("snmpd-stop");
    }
    int Port() const override { return m_port; }
    std::string Log() const override {
        return m_id != 0 ? Call("snmpd-log").value("log", "") : std::string();
    }

private:
    json Reply(const std::string& op) const {
        std::string line;
        if (!m_pending || !m_channel.ReadLine(line))
            throw std::runtime_error("the control service at " + m_service + " did not answer");
        json reply = json::parse(line, nullptr, false);
        if (!reply.is_object() || !reply.value("ok", false))
            throw std::runtime_error("the control service refused " + op + ": " +
                                     (reply.is_object() ? reply.value("error", "") : line));
        if (m_id == 0)
            m_id = reply.value("agent", 0);
        return reply;
    }
    json Call(const std::string& op) const {
        m_pending = m_channel.Send(json{{"op", op}, {"agent", m_id}}.dump() + "\n");
        return Reply(op);
    }

    std::string m_service;
    mutable SimChannel m_channel;
    mutable bool m_pending = false;
    mutable int m_id = 0;
    int m_port = 0;
};

}  // namespace

std::unique_ptr<SnmpdAgent::Backend> MakeServiceAgentBackend(const AgentConfig& config,
                                                             const std::string& service) {
    return std::make_unique<ServiceAgent>(config, service);
}

void AgentSet::Start(const std::vector<AgentConfig>& configs, const std::string& prefix) {
    try {
        m_folder = std::make_unique<TempFolder>(prefix);
        for (size_t i = 0; i < configs.size(); ++i)
            m_agents.push_back(
                std::make_unique<SnmpdAgent>(configs[i], m_folder->path(), static_cast<int>(i)));
        for (auto& a : m_agents)
            a->WaitReady();
    } catch (const std::exception& e) {
        m_error = e.what();
    }
}

void AgentSet::Stop() {
    m_agents.clear();
    m_folder.reset();
}

std::string AgentSet::Logs() const {
    std::string out;
    for (const auto& a : m_agents)
        out += "--- snmpd " + a->target() + "\n" + a->Log();
    return out;
}

}  // namespace vesk::test
