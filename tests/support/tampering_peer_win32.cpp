// The tampering peer on Windows, where the emulator runs in the control service: a relay
// between the client and the device's plain port that passes what the device sends
// through tamper and the split, and keeps what the client sent. For TLS the service's
// front (tls-front) holds the certificate and passes the decrypted bytes to the relay.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "support/tampering_peer.h"

namespace vesk::test {

namespace tc = vesk::tcpcore;

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<u_short>(port));
    return a;
}

bool SendAll(SOCKET s, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const int sent = send(s, reinterpret_cast<const char*>(p), static_cast<int>(n), 0);
        if (sent <= 0)
            return false;
        p += sent;
        n -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Waits up to 20 ms for one of the sockets to be readable: which, -1 none, -2 failed.
int Readable(std::initializer_list<SOCKET> sockets) {
    fd_set set;
    FD_ZERO(&set);
    for (SOCKET s : sockets)
        FD_SET(s, &set);
    timeval wait{0, 20000};
    const int ready = select(0, &set, nullptr, nullptr, &wait);
    if (ready <= 0)
        return ready == 0 ? -1 : -2;
    int i = 0;
    for (SOCKET s : sockets) {
        if (FD_ISSET(s, &set))
            return i;
        ++i;
    }
    return -1;
}

// Moves the whole frames at the front of bytes into frames; false when they are not frames.
bool TakeFrames(std::vector<std::uint8_t>& bytes, std::vector<tc::Frame>& frames) {
    std::size_t used = 0;
    for (;;) {
        tc::Frame f;
        std::size_t n = 0;
        const tc::DecodeStatus st = tc::DecodeFrame(bytes.data() + used, bytes.size() - used, f, n);
        if (st == tc::DecodeStatus::kNeedMore)
            break;
        if (st != tc::DecodeStatus::kOk)
            return false;
        frames.push_back(std::move(f));
        used += n;
    }
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(used));
    return true;
}

}  // namespace

struct TamperingPeer::Impl {
    void Serve(SOCKET client);
    bool ToClient(SOCKET client, const tc::Frame& frame);

    Tamper tamper;
    Split split;
    int target = -1;  // the device's plain port
    int port = 0;
    SOCKET listener = INVALID_SOCKET;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<tc::Frame> received;
    SimChannel front;  // TLS: the service's front lives as long as this connection
    std::thread thread;
};

TamperingPeer::TamperingPeer(SimDevice& device, int mode, Tamper tamper, int port, Split split)
    : m_impl(std::make_unique<Impl>()) {
    Impl& p = *m_impl;
    p.tamper = std::move(tamper);
    p.split = std::move(split);
    if (mode == 1)
        p.split.pick = nullptr;  // plain only, as in this process on Linux
    // The relay needs the device on a port: one that was stopped is served plainly again.
    // (Winsock is up: the device's channel to the service started it.)
    if (device.Port(0) <= 0 && !device.Start(true, false))
        return;
    p.target = device.Port(0);
    p.listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = Loopback(mode == 1 ? 0 : port);
    int len = sizeof a;
    if (p.listener == INVALID_SOCKET ||
        bind(p.listener, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(p.listener, 4) != 0 ||
        getsockname(p.listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ADD_FAILURE() << "the tampering peer cannot listen (Winsock error " << WSAGetLastError()
                      << ")";
        return;
    }
    const int relay = ntohs(a.sin_port);
    p.thread = std::thread([&p] {
        // One connection at a time, as the client opens them.
        for (int ready = 0; !p.stop && ready != -2;) {
            ready = Readable({p.listener});
            const SOCKET client =
                ready == 0 ? accept(p.listener, nullptr, nullptr) : INVALID_SOCKET;
            if (client != INVALID_SOCKET)
                p.Serve(client);
        }
    });
    if (mode != 1) {
        p.port = relay;
        return;
    }
    const char* service = std::getenv("VESK_SIM_SERVICE");
    std::string error = "VESK_SIM_SERVICE is not set";
    std::string line;
    const nlohmann::json request{{"op", "tls-front"}, {"port", port}, {"to", relay}};
    if (!service || !p.front.Connect(service, error) || !p.front.Send(request.dump() + "\n") ||
        !p.front.ReadLine(line)) {
        ADD_FAILURE() << "no TLS front from the emulator service: " << error;
        return;
    }
    const nlohmann::json reply = nlohmann::json::parse(line, nullptr, false);
    if (reply.is_object() && reply.value("ok", false))
        p.port = reply.value("port", 0);
    else
        ADD_FAILURE() << "the emulator service refused a TLS front: " << line;
}

TamperingPeer::~TamperingPeer() {
    m_impl->stop = true;
    if (m_impl->thread.joinable())
        m_impl->thread.join();
    if (m_impl->listener != INVALID_SOCKET)
        closesocket(m_impl->listener);
}

int TamperingPeer::Port() const {
    return m_impl->port;
}

std::vector<tc::Frame> TamperingPeer::Received() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->received;
}

bool TamperingPeer::Impl::ToClient(SOCKET client, const tc::Frame& frame) {
    const std::vector<std::uint8_t> bytes = tc::EncodeFrame(frame);
    if (!split.pick || !split.pick(frame))
        return SendAll(client, bytes.data(), bytes.size());
    const std::size_t cut = split.at > 0 ? std::min(split.at, bytes.size()) : bytes.size() / 2;
    if (!SendAll(client, bytes.data(), cut))
        return false;
    if (split.paused)
        split.paused();
    std::this_thread::sleep_for(std::chrono::milliseconds(split.pauseMs));
    return SendAll(client, bytes.data() + cut, bytes.size() - cut);
}

void TamperingPeer::Impl::Serve(SOCKET client) {
    // Each connection is a session of its own on the device, as in this process.
    SOCKET device = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const sockaddr_in a = Loopback(target);
    bool open = device != INVALID_SOCKET &&
                connect(device, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    std::vector<std::uint8_t> pending[2];  // from the client, from the device
    std::vector<char> chunk(1 << 16);
    while (open && !stop) {
        const int side = Readable({client, device});
        if (side == -1)
            continue;
        const int n = side < 0 ? -1 : recv(side == 0 ? client : device, chunk.data(), 1 << 16, 0);
        std::vector<tc::Frame> frames;
        open = n > 0;
        if (open) {
            pending[side].insert(pending[side].end(), chunk.begin(), chunk.begin() + n);
            open = TakeFrames(pending[side], frames);
        }
        for (tc::Frame& f : frames) {
            if (side == 0) {
                const std::vector<std::uint8_t> bytes = tc::EncodeFrame(f);
                open = open && SendAll(device, bytes.data(), bytes.size());
                std::lock_guard<std::mutex> lock(mutex);
                received.push_back(std::move(f));
            } else if (tamper(f)) {
                open = open && ToClient(client, f);
            }
        }
    }
    if (device != INVALID_SOCKET)
        closesocket(device);
    closesocket(client);
}

}  // namespace vesk::test
