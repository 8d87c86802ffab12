// The loopback peers on Windows: Winsock listeners, and TLS from the emulator service's
// front, as the test program has no TLS server of its own.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "support/loopback.h"
#include "support/sim_device.h"

namespace vesk::test {

namespace {

SOCKET S(int fd) {
    return static_cast<SOCKET>(fd);
}

}  // namespace

LoopbackListener::LoopbackListener(std::function<void(int)> serve, int port)
    : m_serve(std::move(serve)) {
    // Winsock is started by the first port asked for where nothing listens.
    const SOCKET s = ClosedLoopbackPort() < 0 ? INVALID_SOCKET : socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<u_short>(port));
    int len = sizeof a;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        listen(s, 4) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (s != INVALID_SOCKET)
            closesocket(s);
        return;
    }
    m_listen = static_cast<int>(s);
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] {
        while (WaitReadable(m_listen)) {
            const SOCKET fd = accept(S(m_listen), nullptr, nullptr);
            if (fd != INVALID_SOCKET)
                m_serve(static_cast<int>(fd));
        }
    });
}

LoopbackListener::~LoopbackListener() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listen >= 0)
        closesocket(S(m_listen));
}

bool LoopbackListener::WaitReadable(int fd) const {
    while (!m_stop) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(S(fd), &set);
        timeval wait{0, 20000};
        if (select(0, &set, nullptr, nullptr, &wait) != 0)
            return true;  // readable, or failed: the read tells which
    }
    return false;
}

long PeerReceive(int fd, void* into, std::size_t size) {
    return recv(S(fd), static_cast<char*>(into), static_cast<int>(size), 0);
}

bool PeerSend(int fd, const void* bytes, std::size_t size) {
    const char* p = static_cast<const char*>(bytes);
    while (size > 0) {
        const int n = send(S(fd), p, static_cast<int>(size), 0);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void PeerClose(int fd, bool reset) {
    if (reset) {
        const linger abort{1, 0};
        setsockopt(S(fd), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                   sizeof abort);
    }
    closesocket(S(fd));
}

LoopbackTlsFront::LoopbackTlsFront(int to, int port) {
    // The front lives as long as the service connection that asked for it.
    auto channel = std::make_shared<SimChannel>();
    const char* service = std::getenv("VESK_SIM_SERVICE");
    std::string error = "VESK_SIM_SERVICE is not set";
    std::string line;
    const nlohmann::json request{{"op", "tls-front"}, {"port", port}, {"to", to}};
    if (!service || !channel->Connect(service, error) || !channel->Send(request.dump() + "\n") ||
        !channel->ReadLine(line)) {
        ADD_FAILURE() << "no TLS front from the emulator service: " << error;
        return;
    }
    const nlohmann::json reply = nlohmann::json::parse(line, nullptr, false);
    if (reply.is_object() && reply.value("ok", false))
        m_port = reply.value("port", 0);
    else
        ADD_FAILURE() << "the emulator service refused a TLS front: " << line;
    m_front = std::move(channel);
}

}  // namespace vesk::test
