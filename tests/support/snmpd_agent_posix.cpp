// On Linux the agents run in the test process itself.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include "support/snmpd_agent.h"

namespace vesk::test {

namespace {

class LocalAgent : public SnmpdAgent::Backend {
public:
    LocalAgent(const AgentConfig& config, const std::string& parentFolder, int index)
        : m_agent(config, parentFolder, index) {}
    void WaitReady() override { m_agent.WaitReady(); }
    void Stop() override { m_agent.Stop(); }
    int Port() const override { return m_agent.port(); }
    std::string Log() const override { return m_agent.Log(); }

private:
    mfpsim::SnmpdAgent m_agent;
};

}  // namespace

std::unique_ptr<SnmpdAgent::Backend> MakeDefaultAgentBackend(const AgentConfig& config,
                                                             const std::string& parentFolder,
                                                             int index) {
    return std::make_unique<LocalAgent>(config, parentFolder, index);
}

std::vector<uint8_t> AskAgent(const SnmpdAgent& agent, const std::vector<uint8_t>& request) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(agent.port()));
    ::inet_pton(AF_INET, agent.address().c_str(), &to.sin_addr);
    std::vector<uint8_t> reply(65536);
    ssize_t got = -1;
    for (int attempt = 0; attempt < 3 && got < 0; ++attempt) {
        ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) == 1)
            got = ::recv(fd, reply.data(), reply.size(), 0);
    }
    ::close(fd);
    reply.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return reply;
}

}  // namespace vesk::test
