// On Windows the agents are the control service's (VESK_SIM_SERVICE), beside Wine.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <stdexcept>

#include "support/snmpd_agent.h"

namespace vesk::test {

std::unique_ptr<SnmpdAgent::Backend> MakeDefaultAgentBackend(const AgentConfig& config,
                                                             const std::string&, int) {
    const char* service = std::getenv("VESK_SIM_SERVICE");
    if (!service || !*service)
        throw std::runtime_error(
            "VESK_SIM_SERVICE is not set: run the program through the build's wine-run --sim, "
            "which starts the control service that runs snmpd");
    return MakeServiceAgentBackend(config, service);
}

std::vector<uint8_t> AskAgent(const SnmpdAgent& agent, const std::vector<uint8_t>& request) {
    WSADATA data;
    std::vector<uint8_t> reply(65536);
    int got = -1;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return {};
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<u_short>(agent.port()));
    inet_pton(AF_INET, agent.address().c_str(), &to.sin_addr);
    for (int attempt = 0; s != INVALID_SOCKET && attempt < 3 && got < 0; ++attempt) {
        sendto(s, reinterpret_cast<const char*>(request.data()), static_cast<int>(request.size()),
               0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval wait{2, 0};
        if (select(0, &readable, nullptr, nullptr, &wait) == 1)
            got = recv(s, reinterpret_cast<char*>(reply.data()), static_cast<int>(reply.size()), 0);
    }
    if (s != INVALID_SOCKET)
        closesocket(s);
    WSACleanup();
    reply.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return reply;
}

}  // namespace vesk::test
