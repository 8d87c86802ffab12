// The tampering peer on Windows, where the emulator runs in the control service: a relay
// between the client and the device's plain port that passes what the device sends
// through tamper and the split, and keeps what the client sent. For TLS the service's
// front holds the certificate and passes the decrypted bytes to the relay.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

#include "support/loopback.h"
#include "support/tampering_peer.h"

namespace vesk::test {

namespace tc = vesk::tcpcore;

namespace {

// Waits up to 20 ms for one of two sockets to be readable: which, -1 none, -2 failed.
int Readable(int a, int b) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(a), &set);
    FD_SET(static_cast<SOCKET>(b), &set);
    timeval wait{0, 20000};
    const int ready = select(0, &set, nullptr, nullptr, &wait);
    if (ready <= 0)
        return ready == 0 ? -1 : -2;
    return FD_ISSET(static_cast<SOCKET>(a), &set) ? 0 : 1;
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
    void Serve(int client);
    bool ToClient(int client, const tc::Frame& frame);

    Tamper tamper;
    Split split;
    int target = -1;  // the device's plain port
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<tc::Frame> received;
    std::unique_ptr<LoopbackTlsFront> front;
    std::unique_ptr<LoopbackListener> listener;  // last: its thread uses the rest
};

TamperingPeer::TamperingPeer(SimDevice& device, int mode, Tamper tamper, int port, Split split)
    : m_impl(std::make_unique<Impl>()) {
    Impl& p = *m_impl;
    p.tamper = std::move(tamper);
    p.split = std::move(split);
    if (mode == 1)
        p.split.pick = nullptr;  // plain only, as in this process on Linux
    // The relay needs the device on a port: one that was stopped is served plainly again.
    if (device.Port(0) <= 0 && !device.Start(true, false))
        return;
    p.target = device.Port(0);
    p.listener =
        std::make_unique<LoopbackListener>([&p](int fd) { p.Serve(fd); }, mode == 1 ? 0 : port);
    if (mode == 1 && p.listener->Port() > 0)
        p.front = std::make_unique<LoopbackTlsFront>(p.listener->Port(), port);
}

TamperingPeer::~TamperingPeer() {
    m_impl->stop = true;
}

int TamperingPeer::Port() const {
    if (m_impl->front)
        return m_impl->front->Port();
    return m_impl->listener ? m_impl->listener->Port() : 0;
}

std::vector<tc::Frame> TamperingPeer::Received() {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->received;
}

bool TamperingPeer::Impl::ToClient(int client, const tc::Frame& frame) {
    const std::vector<std::uint8_t> bytes = tc::EncodeFrame(frame);
    if (!split.pick || !split.pick(frame))
        return PeerSend(client, bytes.data(), bytes.size());
    return split.SendInTwo(bytes, [&](std::size_t from, std::size_t count) {
        return PeerSend(client, bytes.data() + from, count);
    });
}

void TamperingPeer::Impl::Serve(int client) {
    // Each connection is a session of its own on the device, as in this process.
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<u_short>(target));
    const int device = s == INVALID_SOCKET ? -1 : static_cast<int>(s);
    bool open = device >= 0 && connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    std::vector<std::uint8_t> pending[2];  // from the client, from the device
    std::vector<char> chunk(1 << 16);
    while (open && !stop) {
        const int side = Readable(client, device);
        if (side == -1)
            continue;
        const long n =
            side < 0 ? -1 : PeerReceive(side == 0 ? client : device, chunk.data(), chunk.size());
        std::vector<tc::Frame> frames;
        open = n > 0;
        if (open) {
            pending[side].insert(pending[side].end(), chunk.begin(), chunk.begin() + n);
            open = TakeFrames(pending[side], frames);
        }
        for (tc::Frame& f : frames) {
            if (side == 0) {
                const std::vector<std::uint8_t> bytes = tc::EncodeFrame(f);
                open = open && PeerSend(device, bytes.data(), bytes.size());
                std::lock_guard<std::mutex> lock(mutex);
                received.push_back(std::move(f));
            } else if (tamper(f)) {
                open = open && ToClient(client, f);
            }
        }
    }
    if (device >= 0)
        PeerClose(device);
    PeerClose(client);
}

}  // namespace vesk::test
