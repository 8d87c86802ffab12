#include "tools/mfpsim/lib/tls_front.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "tools/mfpsim/lib/server.h"

namespace mfpsim {

namespace {

sockaddr_in Loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

bool SendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        p += sent;
        n -= static_cast<size_t>(sent);
    }
    return true;
}

// Bounds what a silent peer can hold up: a handshake, a record, a write.
void LimitWaits(int fd) {
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

}  // namespace

std::unique_ptr<TlsFront> TlsFront::Open(int port, int to, std::string& error) {
    if (to <= 0) {
        error = "no plain port to pass the bytes to";
        return nullptr;
    }
    std::signal(SIGPIPE, SIG_IGN);  // a client that hangs up must not end the service
    std::unique_ptr<TlsFront> f(new TlsFront);
    f->to_ = to;
    f->ctx_ = SSL_CTX_new(TLS_server_method());
    if (!f->ctx_ || !UseSelfSignedCertificate(f->ctx_)) {
        error = "cannot make the front's TLS certificate";
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(f->ctx_, TLS1_2_VERSION);
    f->listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    socklen_t len = sizeof a;
    const int one = 1;
    if (f->listen_ < 0 ||
        ::setsockopt(f->listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(f->listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(f->listen_, 4) != 0 ||
        ::getsockname(f->listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return nullptr;
    }
    f->port_ = ntohs(a.sin_port);
    TlsFront* raw = f.get();
    f->thread_ = std::thread([raw] {
        while (!raw->stop_) {
            pollfd p{raw->listen_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(raw->listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                raw->Serve(fd);
        }
    });
    return f;
}

TlsFront::~TlsFront() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (listen_ >= 0)
        ::close(listen_);
    SSL_CTX_free(ctx_);
}

void TlsFront::Serve(int fd) {
    LimitWaits(fd);
    SSL* ssl = SSL_new(ctx_);
    int plain = -1;
    // The plain side is opened only for a client that accepted the certificate.
    if (ssl && SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1) {
        plain = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = Loopback(to_);
        if (plain >= 0 && ::connect(plain, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) {
            LimitWaits(plain);
            Pipe(ssl, fd, plain);
            SSL_shutdown(ssl);
        }
    }
    SSL_free(ssl);
    if (plain >= 0)
        ::close(plain);
    ::close(fd);
}

void TlsFront::Pipe(SSL* ssl, int tls, int plain) {
    char buf[16384];
    while (!stop_) {
        pollfd p[2] = {{tls, POLLIN, 0}, {plain, POLLIN, 0}};
        if (SSL_pending(ssl) == 0 && ::poll(p, 2, 50) <= 0)
            continue;
        if (SSL_pending(ssl) > 0 || p[0].revents) {
            const int n = SSL_read(ssl, buf, sizeof buf);
            if (n <= 0 || !SendAll(plain, buf, static_cast<size_t>(n)))
                return;
        }
        if (p[1].revents) {
            const ssize_t n = ::recv(plain, buf, sizeof buf, 0);
            if (n <= 0 || SSL_write(ssl, buf, static_cast<int>(n)) != n)
                return;
        }
    }
}

nlohmann::json OpenTlsFront(const nlohmann::json& request,
                            std::vector<std::shared_ptr<void>>& owned) {
    std::string error;
    std::shared_ptr<TlsFront> front =
        TlsFront::Open(request.value("port", 0), request.value("to", 0), error);
    if (!front)
        return nlohmann::json{{"ok", false}, {"error", error}};
    owned.push_back(front);
    return nlohmann::json{{"ok", true}, {"port", front->Port()}};
}

}  // namespace mfpsim
