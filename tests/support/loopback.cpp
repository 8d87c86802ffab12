#include "support/loopback.h"

#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tools/mfpsim/lib/tls_front.h"

namespace vesk::test {

namespace {
// Binds a TCP socket to 127.0.0.1:port; its port, or -1 (fd closed) on failure.
int BindLoopback(int fd, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof a;
    const int one = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return ntohs(a.sin_port);
}
}  // namespace

LoopbackListener::LoopbackListener(std::function<void(int)> serve, int port)
    : m_serve(std::move(serve)), m_listen(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int bound = BindLoopback(m_listen, port);
    if (bound < 0 || ::listen(m_listen, 4) != 0) {
        if (bound >= 0)
            ::close(m_listen);
        m_listen = -1;
        return;
    }
    m_port = bound;
    m_thread = std::thread([this] {
        while (WaitReadable(m_listen)) {
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                m_serve(fd);
        }
    });
}

LoopbackListener::~LoopbackListener() {
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_listen >= 0)
        ::close(m_listen);
}

bool LoopbackListener::WaitReadable(int fd) const {
    pollfd p{fd, POLLIN, 0};
    while (!m_stop)
        if (::poll(&p, 1, 20) > 0)
            return true;
    return false;
}

long PeerReceive(int fd, void* into, std::size_t size) {
    return ::recv(fd, into, size, 0);
}

bool PeerSend(int fd, const void* bytes, std::size_t size) {
    const auto* p = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
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
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    ::close(fd);
}

LoopbackTlsFront::LoopbackTlsFront(int to, int port) {
    std::string error;
    std::shared_ptr<mfpsim::TlsFront> front = mfpsim::TlsFront::Open(port, to, error);
    EXPECT_TRUE(front) << error;
    m_port = front ? front->Port() : 0;
    m_front = std::move(front);
}

ssl_ctx_st* SelfSignedServerContext() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x = X509_new();
    bool ok = ctx && key && x;
    if (ok) {
        ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
        X509_gmtime_adj(X509_getm_notBefore(x), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x), 3600L * 24);
        X509_set_pubkey(x, key);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
        X509_set_issuer_name(x, name);
        ok = X509_sign(x, key, EVP_sha256()) > 0 && SSL_CTX_use_certificate(ctx, x) == 1 &&
             SSL_CTX_use_PrivateKey(ctx, key) == 1;
    }
    X509_free(x);
    EVP_PKEY_free(key);
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

int ClosedLoopbackPort() {
    // Bound and closed again: nothing listens there.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int port = BindLoopback(fd, 0);
    if (port >= 0)
        ::close(fd);
    return port;
}

}  // namespace vesk::test
