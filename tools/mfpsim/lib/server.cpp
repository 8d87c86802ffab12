#include "tools/mfpsim/lib/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>

namespace mfpsim {

namespace {

using tc::Frame;
using tc::FrameKind;

constexpr int kSliceMs = 100;  // waits wake up this often to notice a stop
constexpr int kHandshakeMs = 10000;
constexpr int kWriteStallMs = 60000;  // a client that reads nothing for this long is dropped

// One accepted connection: non-blocking socket, TLS on top when asked, byte-exact
// writes (so faults can cut inside a frame) and frame reads with a bounded buffer.
class Conn {
public:
    Conn(int fd, SSL_CTX* ctx, const std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL, 0) | O_NONBLOCK);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (ctx) {
            ssl_ = SSL_new(ctx);
            if (ssl_) {
                SSL_set_fd(ssl_, fd_);
            }
        }
    }
    ~Conn() {
        if (ssl_) {
            if (!broken_) {
                SSL_shutdown(ssl_);  // best effort close_notify; non-blocking
            }
            SSL_free(ssl_);
        }
        ::close(fd_);
    }
    Conn(const Conn&) = delete;
    Conn& operator=(const Conn&) = delete;

    bool Handshake(bool wantTls) {
        if (!wantTls) {
            return true;
        }
        if (!ssl_) {
            return false;
        }
        int waited = 0;
        for (;;) {
            ERR_clear_error();
            int r = SSL_accept(ssl_);
            if (r == 1) {
                return true;
            }
            int e = SSL_get_error(ssl_, r);
            short ev = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
            if (ev == 0 || waited >= kHandshakeMs || stopping_) {
                broken_ = true;
                return false;
            }
            WaitFor(ev, kSliceMs);
            waited += kSliceMs;
        }
    }

    enum class ReadResult { kFrame, kClosed, kBad, kTimeout };

    ReadResult ReadFrame(Frame& f, int timeoutMs) {
        int waited = 0;
        for (;;) {
            bool bad = false;
            if (Decode(f, bad)) {
                return ReadResult::kFrame;
            }
            if (bad) {
                return ReadResult::kBad;
            }
            int n = Fill(kSliceMs);
            if (n < 0) {
                return ReadResult::kClosed;
            }
            if (n == 0) {
                waited += kSliceMs;
                if (stopping_) {
                    return ReadResult::kClosed;
                }
                if (waited >= timeoutMs) {
                    return ReadResult::kTimeout;
                }
            }
        }
    }

    // Takes in whatever has arrived without waiting; false when the client is gone or
    // sent something invalid.
    bool Poll(std::deque<Frame>& out) {
        for (;;) {
            int n = Fill(0);
            if (n < 0) {
                return false;
            }
            Frame f;
            bool bad = false;
            bool any = false;
            while (Decode(f, bad)) {
                out.push_back(std::move(f));
                f = Frame{};
                any = true;
            }
            if (bad) {
                return false;
            }
            if (n == 0 && !any) {
                return true;
            }
            if (n == 0) {
                return true;
            }
        }
    }

    bool Write(const uint8_t* p, size_t n) {
        int stalled = 0;
        while (n > 0) {
            if (stopping_ || broken_) {
                return false;
            }
            size_t done = 0;
            short wait = 0;
            if (ssl_) {
                ERR_clear_error();
                int r = SSL_write_ex(ssl_, p, n, &done);
                if (r <= 0) {
                    int e = SSL_get_error(ssl_, r);
                    if (e == SSL_ERROR_WANT_WRITE) {
                        wait = POLLOUT;
                    } else if (e == SSL_ERROR_WANT_READ) {
                        wait = POLLIN;
                    } else {
                        broken_ = true;
                        return false;
                    }
                }
            } else {
                ssize_t w = ::send(fd_, p, n, MSG_NOSIGNAL);
                if (w < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    if (errno != EAGAIN && errno != EWOULDBLOCK) {
                        broken_ = true;
                        return false;
                    }
                    wait = POLLOUT;
                } else {
                    done = static_cast<size_t>(w);
                }
            }
            if (wait) {
                WaitFor(wait, kSliceMs);
                stalled += kSliceMs;
                if (stalled >= kWriteStallMs) {
                    broken_ = true;
                    return false;
                }
                continue;
            }
            stalled = 0;
            p += done;
            n -= done;
        }
        return true;
    }

    // Two pieces as one write on a plain socket (a frame header and its payload leave
    // in the same segments); TLS writes them in turn.
    bool Write(const uint8_t* a, size_t an, const uint8_t* b, size_t bn) {
        if (ssl_ || an == 0) {
            return Write(a, an) && Write(b, bn);
        }
        iovec iov[2] = {{const_cast<uint8_t*>(a), an}, {const_cast<uint8_t*>(b), bn}};
        int first = 0;
        int stalled = 0;
        while (first < 2) {
            if (stopping_ || broken_) {
                return false;
            }
            msghdr m{};
            m.msg_iov = iov + first;
            m.msg_iovlen = static_cast<size_t>(2 - first);
            ssize_t w = ::sendmsg(fd_, &m, MSG_NOSIGNAL);
            if (w < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    broken_ = true;
                    return false;
                }
                WaitFor(POLLOUT, kSliceMs);
                stalled += kSliceMs;
                if (stalled >= kWriteStallMs) {
                    broken_ = true;
                    return false;
                }
                continue;
            }
            stalled = 0;
            auto done = static_cast<size_t>(w);
            while (first < 2 && done >= iov[first].iov_len) {
                done -= iov[first].iov_len;
                ++first;
            }
            if (first < 2) {
                iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + done;
                iov[first].iov_len -= done;
            }
        }
        return true;
    }

    // Exactly n bytes from the client, or false (closed, bad, or nothing within ms).
    bool ReadExact(uint8_t* out, size_t n, int timeoutMs) {
        int waited = 0;
        while (buf_.size() < n) {
            int got = Fill(kSliceMs);
            if (got < 0 || stopping_) {
                return false;
            }
            if (got == 0 && (waited += kSliceMs) >= timeoutMs) {
                return false;
            }
        }
        std::memcpy(out, buf_.data(), n);
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n));
        return true;
    }

    void MarkBroken() { broken_ = true; }

private:
    void WaitFor(short events, int ms) {
        pollfd pfd{fd_, events, 0};
        ::poll(&pfd, 1, ms);
    }

    bool Decode(Frame& f, bool& bad) {
        std::size_t used = 0;
        tc::DecodeStatus st = tc::DecodeFrame(buf_.data(), buf_.size(), f, used);
        if (st == tc::DecodeStatus::kOk) {
            buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(used));
            return true;
        }
        bad = st != tc::DecodeStatus::kNeedMore;
        return false;
    }

    // Reads what is available, waiting up to ms for something; bytes read, 0 when
    // nothing came, -1 when the connection is closed or failed.
    int Fill(int ms) {
        uint8_t tmp[64 * 1024];
        for (int attempt = 0; attempt < 2; ++attempt) {
            size_t got = 0;
            if (ssl_) {
                ERR_clear_error();
                int r = SSL_read_ex(ssl_, tmp, sizeof tmp, &got);
                if (r > 0) {
                    buf_.insert(buf_.end(), tmp, tmp + got);
                    return static_cast<int>(got);
                }
                int e = SSL_get_error(ssl_, r);
                if (e == SSL_ERROR_ZERO_RETURN) {
                    return -1;
                }
                if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
                    broken_ = true;
                    return -1;
                }
                if (attempt == 1 || ms == 0) {
                    return 0;
                }
                WaitFor(e == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, ms);
            } else {
                ssize_t r = ::recv(fd_, tmp, sizeof tmp, 0);
                if (r > 0) {
                    buf_.insert(buf_.end(), tmp, tmp + r);
                    return static_cast<int>(r);
                }
                if (r == 0) {
                    return -1;
                }
                if (errno == EINTR) {
                    continue;
                }
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    return -1;
                }
                if (attempt == 1 || ms == 0) {
                    return 0;
                }
                WaitFor(POLLIN, ms);
            }
        }
        return 0;
    }

    int fd_;
    SSL* ssl_ = nullptr;
    const std::atomic<bool>& stopping_;
    std::vector<uint8_t> buf_;
    bool broken_ = false;
};

// Sends document bytes (after a frame header, or none) once a look at what the client
// sent shows no abort. The framed stream and the unframed benchmark stream both go out
// through here, so a benchmark's raw peer is this same sender.
bool SendData(Conn& conn, std::deque<Frame>& pending, bool& clientBad, const uint8_t* header,
              size_t headerLen, const uint8_t* payload, size_t n) {
    if (!conn.Poll(pending)) {
        clientBad = true;
        return false;
    }
    for (const Frame& p : pending) {
        if (p.op == tc::Op::kCloseDoc) {
            return false;
        }
    }
    return conn.Write(header, headerLen, payload, n);
}

// The benchmark peer: the client sends a byte count (i64, little-endian) and receives
// that many bytes of the synthetic content, unframed, written as a document stream is.
void ServeRaw(Conn& conn) {
    uint8_t count[8];
    if (!conn.ReadExact(count, sizeof count, kHandshakeMs)) {
        return;
    }
    int64_t size = 0;
    for (int i = 7; i >= 0; --i) {
        size = (size << 8) | count[i];
    }
    std::deque<Frame> pending;
    bool clientBad = false;
    for (int64_t off = 0; off < size;) {
        const size_t n = static_cast<size_t>(
            std::min<int64_t>(static_cast<int64_t>(tc::kPreferredChunk), size - off));
        if (!SendData(conn, pending, clientBad, nullptr, 0, SyntheticSlice(off, n), n)) {
            return;
        }
        off += static_cast<int64_t>(n);
    }
}

std::string Hex(const unsigned char* p, unsigned n) {
    static const char* kHex = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < n; ++i) {
        s += kHex[p[i] >> 4];
        s += kHex[p[i] & 15];
    }
    return s;
}

std::string SslError() {
    unsigned long e = ERR_get_error();
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

}  // namespace

Server::Server(ServerOptions options) : options_(std::move(options)) {}

Server::~Server() {
    Stop();
    if (sslCtx_) {
        SSL_CTX_free(static_cast<SSL_CTX*>(sslCtx_));
    }
}

bool UseSelfSignedCertificate(ssl_ctx_st* ctx) {
    EVP_PKEY* pkey = EVP_EC_gen("P-256");
    X509* x = X509_new();
    bool ok = pkey && x;
    if (ok) {
        unsigned char serial[8];
        RAND_bytes(serial, sizeof serial);
        serial[0] &= 0x7f;
        BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
        ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x)) != nullptr;
        BN_free(bn);
        X509_set_version(x, 2);
        X509_gmtime_adj(X509_getm_notBefore(x), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x), 10L * 365 * 24 * 3600);
        X509_set_pubkey(x, pkey);
        X509_NAME* name = X509_get_subject_name(x);
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("mfpsim"), -1, -1, 0);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
        X509_set_issuer_name(x, name);
        ok = ok && X509_sign(x, pkey, EVP_sha256()) > 0 && SSL_CTX_use_certificate(ctx, x) == 1 &&
             SSL_CTX_use_PrivateKey(ctx, pkey) == 1;
    }
    EVP_PKEY_free(pkey);
    X509_free(x);  // the context holds its own reference
    return ok;
}

bool Server::SetUpTls() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        error_ = "TLS context: " + SslError();
        return false;
    }
    sslCtx_ = ctx;
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    X509* cert = nullptr;
    if (!options_.certFile.empty()) {
        std::string key =
            options_.keyFile.empty() ? options_.certFile.string() : options_.keyFile.string();
        if (SSL_CTX_use_certificate_chain_file(ctx, options_.certFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(ctx) != 1) {
            error_ = "TLS certificate " + options_.certFile.string() + ": " + SslError();
            return false;
        }
        cert = SSL_CTX_get0_certificate(ctx);
    } else {
        if (!UseSelfSignedCertificate(ctx)) {
            error_ = "self-signed certificate: " + SslError();
            return false;
        }
        cert = SSL_CTX_get0_certificate(ctx);
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (cert && X509_digest(cert, EVP_sha256(), md, &len) == 1) {
        certSha256_ = Hex(md, len);
    }
    return true;
}

bool Server::Listen(int port, bool tls, bool raw, int& boundPort) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    int rc = getaddrinfo(options_.host.empty() ? nullptr : options_.host.c_str(), service.c_str(),
                         &hints, &list);
    if (rc != 0 || !list) {
        error_ = "cannot resolve " + options_.host + ": " + gai_strerror(rc);
        return false;
    }
    int fd = ::socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
    if (fd < 0) {
        freeaddrinfo(list);
        error_ = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, list->ai_addr, list->ai_addrlen) != 0 || ::listen(fd, 64) != 0) {
        error_ = "cannot listen on " + options_.host + ":" + service + ": " + std::strerror(errno);
        freeaddrinfo(list);
        ::close(fd);
        return false;
    }
    freeaddrinfo(list);
    sockaddr_storage ss{};
    socklen_t sl = sizeof ss;
    getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &sl);
    boundPort = ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                         : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    auto l = std::make_unique<Listener>();
    l->fd = fd;
    l->tls = tls;
    l->raw = raw;
    listeners_.push_back(std::move(l));
    return true;
}

bool Server::Start() {
    if (running_) {
        return true;
    }
    error_.clear();
    stopping_ = false;
    // Writes to a client that has gone must fail, not end the process (TLS writes go
    // through plain write()).
    std::signal(SIGPIPE, SIG_IGN);
    engine_ = options_.engine;
    if (!engine_) {
        engine_ = Engine::Open(options_.root, options_.identity, error_);
        if (!engine_) {
            return false;
        }
    }
    if ((options_.tlsPort >= 0 || options_.rawTlsPort >= 0) && !sslCtx_ && !SetUpTls()) {
        return false;
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    wakeRead_ = fds[0];
    wakeWrite_ = fds[1];
    bool ok = true;
    if (options_.port >= 0) {
        ok = Listen(options_.port, false, false, port_);
    }
    if (ok && options_.tlsPort >= 0) {
        ok = Listen(options_.tlsPort, true, false, tlsPort_);
    }
    if (ok && options_.rawPort >= 0) {
        ok = Listen(options_.rawPort, false, true, rawPort_);
    }
    if (ok && options_.rawTlsPort >= 0) {
        ok = Listen(options_.rawTlsPort, true, true, rawTlsPort_);
    }
    if (!ok) {
        for (auto& l : listeners_) {
            ::close(l->fd);
        }
        listeners_.clear();
        ::close(wakeRead_);
        ::close(wakeWrite_);
        wakeRead_ = wakeWrite_ = -1;
        port_ = tlsPort_ = rawPort_ = rawTlsPort_ = -1;
        return false;
    }
    running_ = true;
    for (auto& l : listeners_) {
        Listener* raw = l.get();
        l->thread = std::thread([this, raw] { AcceptLoop(raw); });
    }
    return true;
}

void Server::Stop() {
    if (!running_) {
        return;
    }
    stopping_ = true;
    char c = 1;
    [[maybe_unused]] ssize_t w = ::write(wakeWrite_, &c, 1);
    for (auto& l : listeners_) {
        if (l->thread.joinable()) {
            l->thread.join();
        }
        ::close(l->fd);
    }
    listeners_.clear();
    {
        std::lock_guard lk(connMu_);
        for (int fd : connFds_) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    std::vector<Worker> workers;
    {
        std::lock_guard lk(connMu_);
        workers.swap(workers_);
    }
    for (Worker& w2 : workers) {
        if (w2.thread.joinable()) {
            w2.thread.join();
        }
    }
    ::close(wakeRead_);
    ::close(wakeWrite_);
    wakeRead_ = wakeWrite_ = -1;
    running_ = false;
}

void Server::ReapLocked(bool all) {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (all || it->done->load()) {
            if (it->thread.joinable()) {
                it->thread.join();
            }
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::AcceptLoop(Listener* l) {
    for (;;) {
        pollfd pfds[2] = {{l->fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        int r = ::poll(pfds, 2, 1000);
        if (stopping_) {
            return;
        }
        if (r <= 0 || !(pfds[0].revents & POLLIN)) {
            continue;
        }
        int fd = ::accept4(l->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        std::lock_guard lk(connMu_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        ReapLocked(false);
        connFds_.insert(fd);
        ++accepted_;
        ++active_;
        auto done = std::make_shared<std::atomic<bool>>(false);
        bool tls = l->tls;
        bool raw = l->raw;
        workers_.push_back({std::thread([this, fd, tls, raw, done] {
                                Serve(fd, tls, raw);
                                done->store(true);
                            }),
                            done});
    }
}

void Server::Serve(int fd, bool tls, bool raw) {
    auto conn =
        std::make_unique<Conn>(fd, tls ? static_cast<SSL_CTX*>(sslCtx_) : nullptr, stopping_);
    const bool ready = conn->Handshake(tls);
    if (ready && raw) {
        ServeRaw(*conn);
    } else if (ready) {
        std::deque<Frame> pending;
        bool clientBad = false;
        std::unique_ptr<EngineSession> session = engine_->NewSession(
            [&](const std::vector<uint8_t>& bytes) {
                bool ok = conn->Write(bytes.data(), bytes.size());
                conn->MarkBroken();  // raw bytes end the connection
                return ok;
            },
            [&](const uint8_t* header, const uint8_t* payload, size_t n) {
                return SendData(*conn, pending, clientBad, header, tc::kHeaderSize, payload, n);
            });
        session->SetStopFlag(&stopping_);
        tc::FrameEmitter emit = [&](const Frame& f) {
            std::vector<uint8_t> bytes = tc::EncodeFrame(f);
            if (f.kind == FrameKind::kData || f.kind == FrameKind::kKeepAlive) {
                // Between stream frames, look for an abort from the client.
                return SendData(*conn, pending, clientBad, bytes.data(), bytes.size(), nullptr, 0);
            }
            return conn->Write(bytes.data(), bytes.size());
        };
        for (;;) {
            Frame req;
            if (!pending.empty()) {
                req = std::move(pending.front());
                pending.pop_front();
            } else if (clientBad ||
                       conn->ReadFrame(req, options_.idleTimeoutMs) != Conn::ReadResult::kFrame) {
                break;
            }
            if (!session->Handle(req, emit)) {
                break;
            }
        }
        session->OnClose();
    }
    {
        std::lock_guard lk(connMu_);
        connFds_.erase(fd);
    }
    conn.reset();  // closes fd only after Stop can no longer shut it down
    --active_;
}

}  // namespace mfpsim
