#include "support/sim_local.h"

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "tcpcore/wire.h"

namespace vesk::test {

namespace fs = std::filesystem;

TamperingPeer::TamperingPeer(mfpsim::Engine& engine, int mode, Tamper tamper, int port, Split split)
    : m_split(std::move(split)), m_engine(engine), m_tamper(std::move(tamper)) {
    if (mode == 1 && !(m_ctx = SelfSignedServerContext()))
        return;
    m_listener = std::make_unique<LoopbackListener>([this](int fd) { Serve(fd); }, port);
}

TamperingPeer::~TamperingPeer() {
    m_stop = true;
    m_listener.reset();
    SSL_CTX_free(static_cast<SSL_CTX*>(m_ctx));
}

std::vector<vesk::tcpcore::Frame> TamperingPeer::Received() {
    std::lock_guard<std::mutex> lock(m_receivedMutex);
    return m_received;
}

bool TamperingPeer::SendSplit(int fd, const vesk::tcpcore::Frame& frame) {
    const std::vector<std::uint8_t> bytes = vesk::tcpcore::EncodeFrame(frame);
    auto write = [&](std::size_t from, std::size_t to) {
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
    };
    const std::size_t cut = m_split.at > 0 ? std::min(m_split.at, bytes.size()) : bytes.size() / 2;
    if (!write(0, cut))
        return false;
    if (m_split.paused)
        m_split.paused();
    std::this_thread::sleep_for(std::chrono::milliseconds(m_split.pauseMs));
    return write(cut, bytes.size());
}

void TamperingPeer::Serve(int fd) {
    namespace tc = vesk::tcpcore;
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
    std::unique_ptr<mfpsim::EngineSession> session = m_engine.NewSession();
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
