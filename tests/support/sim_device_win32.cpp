// On Windows the emulator cannot run in the test program: every device is one of the
// control service named by VESK_SIM_SERVICE, reached over Winsock.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdlib>

#include "support/loopback.h"
#include "support/sim_device.h"

namespace vesk::test {

namespace {

bool WinsockReady() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

// Stands in for a device when no service was named, so that every use fails with why.
class MissingService : public SimDevice::Backend {
public:
    bool Create(const SimOptions&, std::string& error) override {
        error =
            "VESK_SIM_SERVICE is not set: run the program through the build's wine-run, "
            "which starts the emulator service of the Linux build";
        return false;
    }
    bool Start(bool, bool, std::string&) override { return false; }
    void Stop() override {}
    int Port(int) const override { return -1; }
    std::string CertificateSha256() const override { return ""; }
    bool State(mfpsim::DeviceState&, std::string&) override { return false; }
    bool SetFaults(const mfpsim::FaultConfig&, std::string&) override { return false; }
    bool Journal(std::vector<vesk::tcpcore::Frame>&, int64_t&, std::string&) override {
        return false;
    }
    bool ClearJournal(std::string&) override { return false; }
    bool Connections(int&, int64_t&, std::string&) override { return false; }
    const std::filesystem::path& Root() const override { return m_none; }

private:
    std::filesystem::path m_none;
};

}  // namespace

std::unique_ptr<SimDevice::Backend> MakeDefaultSimBackend() {
    const char* address = std::getenv("VESK_SIM_SERVICE");
    if (!address || !*address)
        return std::make_unique<MissingService>();
    return MakeServiceSimBackend(address);
}

std::filesystem::path FromServicePath(const std::string& path) {
    // Wine maps the Linux root as drive Z:.
    if (path.empty() || path[0] != '/')
        return path;
    std::string dos = "Z:" + path;
    std::replace(dos.begin(), dos.end(), '/', '\\');
    return dos;
}

SimChannel::~SimChannel() {
    if (m_socket != -1)
        closesocket(static_cast<SOCKET>(m_socket));
}

bool SimChannel::Connect(const std::string& address, std::string& error) {
    const size_t colon = address.rfind(':');
    sockaddr_in a{};
    a.sin_family = AF_INET;
    SOCKET s = INVALID_SOCKET;
    if (colon != std::string::npos && WinsockReady()) {
        a.sin_port = htons(static_cast<u_short>(std::atoi(address.c_str() + colon + 1)));
        s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    }
    if (s == INVALID_SOCKET ||
        inet_pton(AF_INET, address.substr(0, colon).c_str(), &a.sin_addr) != 1 ||
        connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        error = "cannot reach the emulator service at " + address + " (Winsock error " +
                std::to_string(WSAGetLastError()) + ")";
        if (s != INVALID_SOCKET)
            closesocket(s);
        return false;
    }
    m_socket = static_cast<std::intptr_t>(s);
    return true;
}

bool SimChannel::Send(const std::string& text) {
    size_t sent = 0;
    while (m_socket != -1 && sent < text.size()) {
        const int n = send(static_cast<SOCKET>(m_socket), text.data() + sent,
                           static_cast<int>(text.size() - sent), 0);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return sent == text.size();
}

long SimChannel::Receive(char* into, size_t size) {
    return m_socket != -1 ? recv(static_cast<SOCKET>(m_socket), into, static_cast<int>(size), 0)
                          : -1;
}

int ClosedLoopbackPort() {
    // Bound and closed again: nothing listens there.
    if (!WinsockReady())
        return -1;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    int port = -1;
    if (s != INVALID_SOCKET && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s != INVALID_SOCKET)
        closesocket(s);
    return port;
}

}  // namespace vesk::test
