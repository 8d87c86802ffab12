// The tampering peer in this process: the emulator's engine behind a listener of its own.
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "support/loopback.h"
#include "support/sim_local.h"
#include "support/tampering_peer.h"

namespace vesk::test {

namespace tc = vesk::tcpcore;

struct TamperingPeer::Impl {
    Impl(std::shared_ptr<mfpsim::Engine> engine, Tamper tamper, Split split)
        : m_split(std::move(split)), m_engine(std::move(engine)), m_tamper(std::move(tamper)) {}
    ~Impl() {
        m_stop = true;
        m_listener.reset();
        SSL_CTX_free(static_cast<SSL_CTX*>(m_ctx));
    }
    void Serve(int fd);
    bool SendSplit(int fd, const tc::Frame& frame);

    Split m_split;
    std::mutex m_receivedMutex;
    std::vector<tc::Frame> m_received;
    std::shared_ptr<mfpsim::Engine> m_engine;
    Tamper m_tamper;
    void* m_ctx = nullptr;  // SSL_CTX* for TLS
    std::atomic<bool> m_stop{false};
    std::unique_ptr<LoopbackListener> m_listener;  // last: its thread uses the rest
};

TamperingPeer::TamperingPeer(SimDevice& device, int mode, Tamper tamper, int port, Split split)
    : m_impl(std::make_unique<Impl>(EngineOf(device), std::move(tamper), std::move(split))) {
    Impl& p = *m_impl;
    if (!p.m_engine || (mode == 1 && !(p.m_ctx = SelfSignedServerContext())))
        return;
    p.m_listener = std::make_unique<LoopbackListener>([&p](int fd) { p.Serve(fd); }, port);
}

TamperingPeer::~TamperingPeer() = default;

int TamperingPeer::Port() const {
    return m_impl->m_listener ? m_impl->m_listener->Port() : 0;
}

std::vector<tc::Frame> TamperingPeer::Received() {
    std::lock_guard<std::mutex> lock(m_impl->m_receivedMutex);
    return m_impl->m_received;
}

bool TamperingPeer::Impl::SendSplit(int fd, const tc::Frame& frame) {
    const std::vector<std::uint8_t> bytes = tc::EncodeFrame(frame);
    return m_split.SendInTwo(bytes, [&](std::size_t from, std::size_t count) {
        const std::size_t to = from + count;
        while (from < to && !m_stop) {
            const ssize_t n = ::send(fd, bytes.data() + from, to - from, MSG_NOSIGNAL);
            if (n > 0) {
                from += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd p{fd, POLLOUT, 0};
                ::poll(&p, 1, 50);
            } else {
                return false;
            }
        }
        return from == to;
    });
}

void TamperingPeer::Impl::Serve(int fd) {
    // The plain link writes whole frames at once; a split frame goes out through a
    // second handle on the same socket, between two of the link's writes.
    const int raw = m_split.pick && !m_ctx ? ::dup(fd) : -1;
    tc::WaitControl wc;
    wc.deadline = tc::Deadline::In(std::chrono::seconds(5));
    tc::LinkStatus st = tc::LinkStatus::kOk;
    std::unique_ptr<tc::DeviceLink> link = tc::AcceptSocketLink(fd, m_ctx, wc, st);
    if (!link) {
        if (raw >= 0)
            ::close(raw);
        return;
    }
    std::unique_ptr<mfpsim::EngineSession> session = m_engine->NewSession();
    tc::WaitControl io;
    io.cancelled = [this] { return m_stop.load(); };
    const tc::FrameEmitter emit = [&](const tc::Frame& f) {
        tc::Frame out = f;
        if (!m_tamper(out))
            return true;
        if (raw >= 0 && m_split.pick(out))
            return SendSplit(raw, out);
        return link->Send(out, io) == tc::LinkStatus::kOk;
    };
    while (!m_stop) {
        tc::Frame req;
        if (link->Receive(req, io) != tc::LinkStatus::kOk)
            break;
        {
            std::lock_guard<std::mutex> lock(m_receivedMutex);
            m_received.push_back(req);
        }
        if (!session->Handle(req, emit))
            break;
    }
    session->OnClose();
    link->Close();
    if (raw >= 0)
        ::close(raw);
}

}  // namespace vesk::test
