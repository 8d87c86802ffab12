#include "support/sim_local.h"

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "core/current_tcpcore.h"
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

struct ScriptedLinks::Shared {
    std::shared_ptr<mfpsim::Engine> engine;
    Script script;
    std::mutex mutex;
    std::vector<tc::Frame> requests;
    std::atomic<int> sessions{0};
};

namespace {

class ScriptedSession : public tc::DeviceSession {
public:
    explicit ScriptedSession(std::shared_ptr<ScriptedLinks::Shared> shared)
        : m_shared(std::move(shared)), m_inner(m_shared->engine->NewSession()) {}

    bool Handle(const tc::Frame& request, const tc::FrameEmitter& emit) override {
        {
            std::lock_guard<std::mutex> lock(m_shared->mutex);
            m_shared->requests.push_back(request);
        }
        const ScriptedLinks::Script& script = m_shared->script;
        const tc::FrameEmitter rewrite = [&](const tc::Frame& frame) {
            if (!script.onReply)
                return emit(frame);
            tc::Frame changed = frame;
            script.onReply(changed);
            return emit(changed);
        };
        if (script.onRequest && script.onRequest(request, rewrite))
            return true;
        return m_inner->Handle(request, rewrite);
    }
    void OnClose() override { m_inner->OnClose(); }

private:
    std::shared_ptr<ScriptedLinks::Shared> m_shared;
    std::unique_ptr<mfpsim::EngineSession> m_inner;
};

}  // namespace

ScriptedLinks::ScriptedLinks(std::shared_ptr<mfpsim::Engine> engine, Script script)
    : m_shared(std::make_shared<Shared>()) {
    m_shared->engine = std::move(engine);
    m_shared->script = std::move(script);
    std::shared_ptr<Shared> shared = m_shared;
    tc::SetLinkFactory([shared](const tc::LinkTarget&, const tc::WaitControl&,
                                tc::LinkStatus& status) -> std::unique_ptr<tc::DeviceLink> {
        status = tc::LinkStatus::kOk;
        ++shared->sessions;
        return tc::MakeInProcessLink(std::make_unique<ScriptedSession>(shared));
    });
}

ScriptedLinks::~ScriptedLinks() {
    // The objects that used these links go first, so no link outlives its factory.
    delete vesk::SetCurrentTcpCore(nullptr);
    tc::SetLinkFactory({});
}

std::vector<tc::Frame> ScriptedLinks::Requests() {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->requests;
}

int ScriptedLinks::Sessions() {
    return m_shared->sessions;
}

tc::Frame FailureReply(const tc::Frame& request, int status) {
    return tc::MakeEmptyFrame(tc::FrameKind::kReply, request.op, request.seq, status);
}

}  // namespace vesk::test
