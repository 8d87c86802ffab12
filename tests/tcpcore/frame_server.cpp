#include "frame_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>

namespace vesk::tcpcore::test {

void* TestServerTlsContext() {
    static SSL_CTX* ctx = [] {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("test-device"), -1, -1,
                                   0);
        X509_set_issuer_name(cert, name);
        X509_sign(cert, key, EVP_sha256());
        SSL_CTX* c = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(c, cert);
        SSL_CTX_use_PrivateKey(c, key);
        X509_free(cert);
        EVP_PKEY_free(key);
        return c;
    }();
    return ctx;
}

std::unique_ptr<FrameServer> FrameServer::Start(SessionMaker maker, bool tls) {
    std::unique_ptr<FrameServer> s(new FrameServer);
    s->maker_ = std::move(maker);
    s->tls_ = tls;
    if (tls)
        TestServerTlsContext();
    if (!s->Listen())
        return nullptr;
    return s;
}

std::unique_ptr<FrameServer> FrameServer::StartRaw(RawHandler handler) {
    std::unique_ptr<FrameServer> s(new FrameServer);
    s->raw_ = std::move(handler);
    if (!s->Listen())
        return nullptr;
    return s;
}

bool FrameServer::Listen() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd_, 16) != 0)
        return false;
    socklen_t len = sizeof a;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
    return true;
}

FrameServer::~FrameServer() {
    stop_ = true;
    if (acceptThread_.joinable())
        acceptThread_.join();
    std::vector<std::thread> conns;
    {
        std::lock_guard lock(m_);
        conns.swap(conns_);
    }
    for (auto& t : conns)
        t.join();
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

void FrameServer::AcceptLoop() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
            continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        ++accepted_;
        std::lock_guard lock(m_);
        conns_.emplace_back([this, fd] { Serve(fd); });
    }
}

void FrameServer::Serve(int fd) {
    if (raw_) {
        raw_(fd, stop_);
        ::close(fd);
        return;
    }
    WaitControl hs;
    hs.deadline = Deadline::In(std::chrono::seconds(5));
    hs.cancelled = [this] { return stop_.load(); };
    LinkStatus st = LinkStatus::kOk;
    std::unique_ptr<DeviceLink> link =
        AcceptSocketLink(fd, tls_ ? TestServerTlsContext() : nullptr, hs, st);
    if (!link)
        return;
    std::unique_ptr<DeviceSession> session = maker_();
    std::deque<Frame> queued;
    // Between stream frames, take in what the client sent: an abort stops the stream.
    const FrameEmitter emit = [&](const Frame& f) {
        if (f.kind == FrameKind::kData || f.kind == FrameKind::kKeepAlive) {
            Frame in;
            WaitControl now;
            now.deadline = Deadline(Clock::now());
            while (link->Receive(in, now) == LinkStatus::kOk)
                queued.push_back(in);
            for (const Frame& q : queued)
                if (q.op == Op::kCloseDoc)
                    return false;
        }
        WaitControl w;
        w.deadline = Deadline::In(std::chrono::seconds(10));
        w.cancelled = [this] { return stop_.load(); };
        return link->Send(f, w) == LinkStatus::kOk;
    };
    while (!stop_) {
        Frame req;
        if (!queued.empty()) {
            req = std::move(queued.front());
            queued.pop_front();
        } else {
            WaitControl w;
            w.deadline = Deadline::In(std::chrono::milliseconds(100));
            const LinkStatus rs = link->Receive(req, w);
            if (rs == LinkStatus::kTimeout)
                continue;
            if (rs != LinkStatus::kOk)
                break;
        }
        if (!session->Handle(req, emit))
            break;
    }
    session->OnClose();
    link->Close();
}

}  // namespace vesk::tcpcore::test
