// The real link: a non-blocking TCP socket, with OpenSSL on top for TLS. Every wait is
// a poll() of at most 50 ms, so deadlines and the cancel check are always honoured.
// The framing above the transport is FramedLink's.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "tcpcore/framed_link.h"

namespace vesk::tcpcore {

namespace {

constexpr int kSliceMs = 50;

// OpenSSL writes with write(), which raises SIGPIPE on a connection the peer has
// reset. A library must not change the process's signal handling, so the signal is
// blocked on this thread around TLS I/O and a SIGPIPE it raised is consumed.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
    }
    ~SigpipeGuard() {
        if (!wasPending_) {
            sigset_t pending;
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                sigset_t pipe;
                sigemptyset(&pipe);
                sigaddset(&pipe, SIGPIPE);
                const timespec zero{0, 0};
                while (sigtimedwait(&pipe, nullptr, &zero) == -1 && errno == EINTR) {
                }
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t old_{};
    bool wasPending_ = false;
};

// The process's client TLS context: devices have self-signed certificates, so the
// chain is not verified (the certificate's fingerprint is recorded instead).
SSL_CTX* ClientContext() {
    static SSL_CTX* ctx = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        if (c) {
            SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
            SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
            SSL_CTX_set_mode(c, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
            // Records are taken from the socket several at a time rather than with two
            // reads each (header, then body): half the system calls on a download.
            SSL_CTX_set_read_ahead(c, 1);
            SSL_CTX_set_default_read_buffer_len(c, 64 << 10);
        }
        return c;
    }();
    return ctx;
}

// A peer that closes the TCP connection without ending TLS first (a device that
// drops, resets or dies) shows as this protocol error; for the caller it is a dropped
// connection like any other, not a failure of TLS.
bool PeerHungUp(int sslError) {
    return sslError == SSL_ERROR_SSL &&
           ERR_GET_REASON(ERR_peek_last_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING;
}

// Waits until fd is ready for events, in slices; kOk when ready.
LinkStatus WaitFd(int fd, short events, const WaitControl& wc) {
    for (;;) {
        if (wc.IsCancelled())
            return LinkStatus::kCancelled;
        const int left = wc.deadline.RemainingMs(kSliceMs);
        if (left <= 0)
            return LinkStatus::kTimeout;
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, left);
        if (r > 0)
            return LinkStatus::kOk;  // errors and hang-ups show up in the I/O call
        if (r < 0 && errno != EINTR)
            return LinkStatus::kIo;
    }
}

class SocketLink final : public FramedLink {
public:
    SocketLink(int fd, std::string peer) : fd_(fd) { info_.peer = std::move(peer); }
    ~SocketLink() override { Close(); }

    LinkStatus StartTls(const WaitControl& wc, SSL_CTX* serverCtx = nullptr) {
        SSL_CTX* ctx = serverCtx ? serverCtx : ClientContext();
        if (!ctx)
            return LinkStatus::kTls;
        ssl_ = SSL_new(ctx);
        if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1)
            return LinkStatus::kTls;
        SigpipeGuard guard;
        for (;;) {
            ERR_clear_error();
            const int r = serverCtx ? SSL_accept(ssl_) : SSL_connect(ssl_);
            if (r == 1)
                break;
            const int e = SSL_get_error(ssl_, r);
            LinkStatus st;
            if (e == SSL_ERROR_WANT_READ)
                st = WaitFd(fd_, POLLIN, wc);
            else if (e == SSL_ERROR_WANT_WRITE)
                st = WaitFd(fd_, POLLOUT, wc);
            else
                return LinkStatus::kTls;
            if (st != LinkStatus::kOk)
                return st;
        }
        info_.cipher = SSL_get_cipher_name(ssl_) ? SSL_get_cipher_name(ssl_) : "";
        info_.tlsVersion = SSL_get_version(ssl_) ? SSL_get_version(ssl_) : "";
        if (X509* cert = SSL_get1_peer_certificate(ssl_)) {
            unsigned char md[EVP_MAX_MD_SIZE];
            unsigned int n = 0;
            if (X509_digest(cert, EVP_sha256(), md, &n) == 1) {
                static const char* hex = "0123456789abcdef";
                for (unsigned int i = 0; i < n; ++i) {
                    info_.peerCertSha256 += hex[md[i] >> 4];
                    info_.peerCertSha256 += hex[md[i] & 15];
                }
            }
            X509_free(cert);
        }
        return LinkStatus::kOk;
    }

    bool IsOpen() override {
        if (fd_ < 0)
            return false;
        // Read-ahead may hold whole records OpenSSL has not decrypted yet.
        if (HasInput() || (ssl_ && SSL_has_pending(ssl_)))
            return true;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            return true;
        if (p.revents & (POLLERR | POLLNVAL)) {
            Close();
            return false;
        }
        char c;
        const ssize_t r = recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            Close();
            return false;
        }
        return true;
    }

    void Close() override {
        if (ssl_) {
            SigpipeGuard guard;
            if (fd_ >= 0 && SSL_is_init_finished(ssl_))
                SSL_shutdown(ssl_);  // non-blocking socket: one try, no waiting
            SSL_free(ssl_);
            ssl_ = nullptr;
        }
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        DropInput();
    }

    LinkInfo Info() const override { return info_; }

private:
    bool Connected() const override { return fd_ >= 0; }

    LinkStatus Write(const std::uint8_t* p, std::size_t n, const WaitControl& wc) override {
        for (std::size_t done = 0; done < n;) {
            if (wc.deadline.Expired())
                return LinkStatus::kTimeout;
            if (ssl_) {
                SigpipeGuard guard;
                ERR_clear_error();
                const int want = static_cast<int>(std::min<std::size_t>(n - done, 1u << 20));
                const int r = SSL_write(ssl_, p + done, want);
                if (r > 0) {
                    done += static_cast<std::size_t>(r);
                    continue;
                }
                const int e = SSL_get_error(ssl_, r);
                LinkStatus st;
                if (e == SSL_ERROR_WANT_WRITE)
                    st = WaitFd(fd_, POLLOUT, wc);
                else if (e == SSL_ERROR_WANT_READ)
                    st = WaitFd(fd_, POLLIN, wc);
                else
                    return e == SSL_ERROR_SYSCALL || e == SSL_ERROR_ZERO_RETURN
                               ? LinkStatus::kClosed
                               : LinkStatus::kTls;
                if (st != LinkStatus::kOk)
                    return st;
            } else {
                const ssize_t r = ::send(fd_, p + done, n - done, MSG_NOSIGNAL);
                if (r > 0) {
                    done += static_cast<std::size_t>(r);
                    continue;
                }
                if (r < 0 && errno == EINTR)
                    continue;
                if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    const LinkStatus st = WaitFd(fd_, POLLOUT, wc);
                    if (st != LinkStatus::kOk)
                        return st;
                    continue;
                }
                return errno == EPIPE || errno == ECONNRESET ? LinkStatus::kClosed
                                                             : LinkStatus::kIo;
            }
        }
        return LinkStatus::kOk;
    }

    LinkStatus ReadSomeBytes(std::uint8_t* dst, std::size_t max, std::size_t& got,
                             const WaitControl& wc) override {
        // One guard for the whole call, and every record already there taken in it:
        // TLS delivers a record (16 KiB at most) per read, and the guard's system calls
        // per record would cost as much as the decryption.
        std::optional<SigpipeGuard> guard;
        if (ssl_)
            guard.emplace();
        for (;;) {
            if (ssl_) {
                ERR_clear_error();
                std::size_t n = 0;
                if (SSL_read_ex(ssl_, dst + got, max - got, &n) == 1) {
                    got += n;
                    if (got == max)
                        return LinkStatus::kOk;
                    continue;
                }
                const int e = SSL_get_error(ssl_, 0);
                const bool wait = e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE;
                if (!wait) {
                    const LinkStatus failure =
                        e == SSL_ERROR_ZERO_RETURN || e == SSL_ERROR_SYSCALL || PeerHungUp(e)
                            ? LinkStatus::kClosed
                            : LinkStatus::kTls;
                    return DeliverThenFail(got, failure);
                }
                if (got > 0)
                    return LinkStatus::kOk;  // nothing more yet: deliver what came
                LinkStatus st;
                if (e == SSL_ERROR_WANT_READ)
                    st = WaitFd(fd_, POLLIN, wc);
                else
                    st = WaitFd(fd_, POLLOUT, wc);
                if (st != LinkStatus::kOk)
                    return st;
            } else {
                const ssize_t r = ::recv(fd_, dst, max, 0);
                if (r > 0) {
                    got = static_cast<std::size_t>(r);
                    return LinkStatus::kOk;
                }
                if (r == 0)
                    return LinkStatus::kClosed;
                if (errno == EINTR)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    const LinkStatus st = WaitFd(fd_, POLLIN, wc);
                    if (st != LinkStatus::kOk)
                        return st;
                    continue;
                }
                return errno == ECONNRESET ? LinkStatus::kClosed : LinkStatus::kIo;
            }
        }
    }

    bool Batched() const override { return ssl_ == nullptr; }

    LinkStatus ReceiveSpans(const IoSpan* spans, std::size_t count,
                            std::size_t& received) override {
        received = 0;
        iovec iov[kMaxSpans];
        count = std::min(count, kMaxSpans);
        for (std::size_t i = 0; i < count; ++i)
            iov[i] = {spans[i].p, spans[i].n};
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = count;
        for (;;) {
            const ssize_t r = ::recvmsg(fd_, &msg, MSG_DONTWAIT);
            if (r >= 0) {
                received = static_cast<std::size_t>(r);
                return LinkStatus::kOk;
            }
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return LinkStatus::kTimeout;
            return errno == ECONNRESET ? LinkStatus::kClosed : LinkStatus::kIo;
        }
    }

    LinkStatus WaitReadable(const WaitControl& wc) override { return WaitFd(fd_, POLLIN, wc); }

    int fd_ = -1;
    SSL* ssl_ = nullptr;
    LinkInfo info_;
};

// One connect attempt to one address; the socket on success, -1 otherwise.
int ConnectOne(const addrinfo* ai, const WaitControl& wc, LinkStatus& status) {
    const int fd =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
        status = LinkStatus::kIo;
        return -1;
    }
    int r;
    do {
        r = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && errno != EINPROGRESS) {
        status = LinkStatus::kConnectFailed;
        ::close(fd);
        return -1;
    }
    if (r < 0) {
        status = WaitFd(fd, POLLOUT, wc);
        if (status != LinkStatus::kOk) {
            ::close(fd);
            return -1;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            status = LinkStatus::kConnectFailed;
            ::close(fd);
            return -1;
        }
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    status = LinkStatus::kOk;
    return fd;
}

// getaddrinfo cannot be interrupted, so a slow name server would hold the caller past
// its connect time-out: the look-up runs on a thread of its own, and a caller that
// stops waiting leaves the answer to that thread, which frees it.
struct Lookup {
    std::mutex mu;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    addrinfo* list = nullptr;
};

addrinfo* ResolveOnce(const std::string& host, const std::string& port, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &list) != 0)
        return nullptr;
    return list;
}

addrinfo* Resolve(const std::string& host, const std::string& port) {
    // AI_ADDRCONFIG hides loopback-only hosts on machines without a configured
    // address; try once more without it.
    addrinfo* list = ResolveOnce(host, port, AI_NUMERICSERV | AI_ADDRCONFIG);
    return list ? list : ResolveOnce(host, port, AI_NUMERICSERV);
}

addrinfo* ResolveBounded(const std::string& host, const std::string& port, const WaitControl& wc,
                         LinkStatus& status) {
    status = LinkStatus::kResolveFailed;
    // A numeric address needs no name server.
    if (addrinfo* numeric = ResolveOnce(host, port, AI_NUMERICSERV | AI_NUMERICHOST))
        return numeric;
    auto lookup = std::make_shared<Lookup>();
    try {
        std::thread([lookup, host, port] {
            addrinfo* list = Resolve(host, port);
            std::lock_guard<std::mutex> lock(lookup->mu);
            if (lookup->abandoned) {
                if (list)
                    freeaddrinfo(list);
                return;
            }
            lookup->list = list;
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return Resolve(host, port);  // no thread to spare: wait as before
    }
    std::unique_lock<std::mutex> lock(lookup->mu);
    for (;;) {
        if (lookup->finished)
            return lookup->list;
        if (wc.IsCancelled() || wc.deadline.Expired()) {
            status = wc.deadline.Expired() ? LinkStatus::kTimeout : LinkStatus::kCancelled;
            lookup->abandoned = true;
            return nullptr;
        }
        lookup->done.wait_for(
            lock, std::chrono::milliseconds(std::max(1, wc.deadline.RemainingMs(kSliceMs))));
    }
}

}  // namespace

std::unique_ptr<DeviceLink> AcceptSocketLink(int fd, void* sslServerCtx, const WaitControl& wc,
                                             LinkStatus& status) {
    if (fd < 0) {
        status = LinkStatus::kIo;
        return nullptr;
    }
    const int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto link = std::make_unique<SocketLink>(fd, "client");
    if (sslServerCtx) {
        status = link->StartTls(wc, static_cast<SSL_CTX*>(sslServerCtx));
        if (status != LinkStatus::kOk)
            return nullptr;
    }
    status = LinkStatus::kOk;
    return link;
}

std::unique_ptr<DeviceLink> OpenSocketLink(const LinkTarget& target, const WaitControl& wc,
                                           LinkStatus& status) {
    status = LinkStatus::kResolveFailed;
    if (target.host.empty() || target.port <= 0 || target.port > 65535 ||
        (target.mode != 0 && target.mode != 1))
        return nullptr;
    const std::string port = std::to_string(target.port);
    addrinfo* list = ResolveBounded(target.host, port, wc, status);
    if (!list)
        return nullptr;
    int fd = -1;
    status = LinkStatus::kConnectFailed;
    for (const addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next) {
        fd = ConnectOne(ai, wc, status);
        if (status == LinkStatus::kTimeout || status == LinkStatus::kCancelled)
            break;
    }
    freeaddrinfo(list);
    if (fd < 0)
        return nullptr;
    auto link = std::make_unique<SocketLink>(fd, target.host + ":" + port);
    if (target.mode == 1) {
        status = link->StartTls(wc);
        if (status != LinkStatus::kOk) {
            link->Close();
            return nullptr;
        }
    }
    status = LinkStatus::kOk;
    return link;
}

}  // namespace vesk::tcpcore
