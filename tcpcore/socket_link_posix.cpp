// The real link: a non-blocking TCP socket, with OpenSSL on top for TLS. Every wait is
// a poll() of at most 50 ms, so deadlines and the cancel check are always honoured.
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

#include "tcpcore/link.h"

namespace vesk::tcpcore {

namespace {

constexpr int kSliceMs = 50;
constexpr std::size_t kReadChunk = 256u << 10;

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

class SocketLink final : public DeviceLink {
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

    LinkStatus Send(const Frame& f, const WaitControl& wc) override {
        if (fd_ < 0)
            return LinkStatus::kClosed;
        if (f.payload.size() > kMaxPayload)
            return LinkStatus::kProtocol;
        std::vector<std::uint8_t> bytes = EncodeFrame(f);
        std::size_t done = 0;
        // A frame cut in half leaves the stream unusable: any failure closes.
        const LinkStatus st = WriteAll(bytes.data(), bytes.size(), done, wc);
        // A request may carry a password: its bytes do not outlive the write.
        volatile std::uint8_t* wipe = bytes.data();
        for (std::size_t i = 0; i < bytes.size(); ++i)
            wipe[i] = 0;
        if (st != LinkStatus::kOk)
            Close();
        return st;
    }

    LinkStatus Receive(Frame& f, const WaitControl& wc) override {
        for (;;) {
            if (fd_ < 0)
                return LinkStatus::kClosed;
            const std::size_t avail = tail_ - head_;
            if (avail > 0) {
                std::size_t used = 0;
                const DecodeStatus ds = DecodeFrame(in_.data() + head_, avail, f, used);
                if (ds == DecodeStatus::kOk) {
                    Consume(used);
                    return LinkStatus::kOk;
                }
                if (ds != DecodeStatus::kNeedMore) {
                    Close();
                    return LinkStatus::kProtocol;
                }
            }
            // A partly received frame stays buffered, so a time-out or cancel here
            // leaves the link in step.
            const LinkStatus st = ReadSome(kReadChunk, wc);
            if (st != LinkStatus::kOk) {
                if (st != LinkStatus::kTimeout && st != LinkStatus::kCancelled)
                    Close();
                return st;
            }
        }
    }

    // A data frame that fits the caller's buffer is read straight into it: only its
    // header passes through the input buffer, so a document crosses memory once, from
    // the socket (or the TLS record) to the caller.
    LinkStatus ReceiveInto(Frame& f, std::uint8_t* dst, std::size_t capacity, std::size_t& direct,
                           const WaitControl& wc) override {
        direct = 0;
        for (;;) {
            if (fd_ < 0)
                return LinkStatus::kClosed;
            const std::size_t avail = tail_ - head_;
            if (avail > 0) {
                FrameHeader h;
                const DecodeStatus ds = DecodeHeader(in_.data() + head_, avail, h);
                if (ds == DecodeStatus::kOk) {
                    if (h.kind != FrameKind::kData || h.length > capacity || h.length == 0)
                        return Receive(f, wc);
                    return ReadPayloadInto(h, f, dst, capacity, direct, wc);
                }
                if (ds != DecodeStatus::kNeedMore) {
                    Close();
                    return LinkStatus::kProtocol;
                }
            }
            // Only as much as completes the header: the payload should not land here.
            const LinkStatus st = ReadSome(kHeaderSize - avail, wc);
            if (st != LinkStatus::kOk) {
                if (st != LinkStatus::kTimeout && st != LinkStatus::kCancelled)
                    Close();
                return st;
            }
        }
    }

    bool IsOpen() override {
        if (fd_ < 0)
            return false;
        // Read-ahead may hold whole records OpenSSL has not decrypted yet.
        if (head_ < tail_ || (ssl_ && SSL_has_pending(ssl_)))
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
        std::vector<std::uint8_t>().swap(in_);
        head_ = tail_ = 0;
    }

    LinkInfo Info() const override { return info_; }

private:
    LinkStatus WriteAll(const std::uint8_t* p, std::size_t n, std::size_t& done,
                        const WaitControl& wc) {
        while (done < n) {
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

    // Drops n bytes from the front of the input buffer.
    void Consume(std::size_t n) {
        head_ += n;
        if (head_ == tail_)
            head_ = tail_ = 0;
    }

    // The payload of the data frame whose header h heads the input buffer, into dst.
    // On a time-out or cancel the header and what arrived go back into the input
    // buffer, so the link stays in step as with Receive.
    LinkStatus ReadPayloadInto(const FrameHeader& h, Frame& f, std::uint8_t* dst,
                               std::size_t capacity, std::size_t& direct, const WaitControl& wc) {
        std::uint8_t header[kHeaderSize];
        std::memcpy(header, in_.data() + head_, kHeaderSize);
        Consume(kHeaderSize);
        std::size_t got = std::min<std::size_t>(tail_ - head_, h.length);
        if (got > 0) {
            std::memcpy(dst, in_.data() + head_, got);
            Consume(got);
        }
        if (!ssl_ && got < h.length)
            return ReadFrames(h, header, f, dst, capacity, got, direct, wc);
        while (got < h.length) {
            std::size_t n = 0;
            const LinkStatus st = ReadInto(dst + got, h.length - got, n, wc);
            if (st == LinkStatus::kTimeout || st == LinkStatus::kCancelled) {
                Unread(header, dst, got);
                return st;
            }
            if (st != LinkStatus::kOk) {
                Close();
                return st;
            }
            got += n;
        }
        f.kind = h.kind;
        f.op = h.op;
        f.seq = h.seq;
        f.status = h.status;
        f.detail = h.detail;
        f.payload.clear();
        direct = got;
        return LinkStatus::kOk;
    }

    // Plain links: the rest of the data frame whose header h (bytes header0) was taken,
    // and the data frames of the same length, operation and sequence that follow it and
    // still fit the caller's buffer, all in as few receives as the socket allows: each
    // payload lands right after the previous one, each header in a side buffer. The
    // kernel's cost per byte falls with the size of a receive, so a stream of 256 KiB
    // frames read into a 1 MiB buffer costs about what one unframed copy does. Bytes
    // that turn out not to belong (another kind of frame, another length, a header that
    // stops short when nothing more is waiting) go into the input buffer for the next
    // call, so the link stays in step; so does a frame cut off by a time-out or cancel.
    // direct gets the payload bytes of every frame taken.
    LinkStatus ReadFrames(const FrameHeader& h, const std::uint8_t* header0, Frame& f,
                          std::uint8_t* dst, std::size_t capacity, std::size_t got,
                          std::size_t& direct, const WaitControl& wc) {
        constexpr std::size_t kMaxBatch = 16;
        const std::size_t length = h.length;
        const std::size_t maxFrames = std::min(capacity / length, kMaxBatch);
        std::uint8_t headers[kMaxBatch][kHeaderSize];
        std::memcpy(headers[0], header0, kHeaderSize);
        std::size_t frames = 1;     // frames whose header belongs to the batch
        std::size_t filled = got;   // payload bytes at dst, frame after frame
        std::size_t headerGot = 0;  // bytes of headers[frames] received so far
        const auto fits = [&](const std::uint8_t* p) {
            FrameHeader next;
            return DecodeHeader(p, kHeaderSize, next) == DecodeStatus::kOk &&
                   next.kind == FrameKind::kData && next.length == h.length && next.op == h.op &&
                   next.seq == h.seq && next.status == h.status && next.detail == h.detail;
        };
        const auto finish = [&](std::vector<std::uint8_t> rest) {
            if (!rest.empty()) {
                if (in_.size() < rest.size())
                    in_.resize(std::max(rest.size(), kReadChunk));
                std::memcpy(in_.data(), rest.data(), rest.size());
            }
            head_ = 0;
            tail_ = rest.size();
            f.kind = h.kind;
            f.op = h.op;
            f.seq = h.seq;
            f.status = h.status;
            f.detail = h.detail;
            f.payload.clear();
            direct = frames * length;
            return LinkStatus::kOk;
        };
        struct Segment {
            std::uint8_t* p;
            std::size_t n;
            enum { kPayload, kHeader, kAhead } what;
        };
        if (in_.size() < kHeaderSize)
            in_.resize(kReadChunk);
        for (;;) {
            const bool inFrame = filled < frames * length;
            if (!inFrame && frames == maxFrames)
                return finish({});
            // The plan, in stream order: the rest of the current frame, then header and
            // payload of each frame that would still fit, then the header after them.
            Segment plan[2 * kMaxBatch + 2];
            iovec iov[2 * kMaxBatch + 2];
            std::size_t count = 0;
            if (inFrame)
                plan[count++] = {dst + filled, frames * length - filled, Segment::kPayload};
            for (std::size_t k = frames; k < maxFrames; ++k) {
                const std::size_t have = k == frames ? headerGot : 0;
                plan[count++] = {headers[k] + have, kHeaderSize - have, Segment::kHeader};
                plan[count++] = {dst + k * length, length, Segment::kPayload};
            }
            plan[count++] = {in_.data(), kHeaderSize, Segment::kAhead};
            for (std::size_t i = 0; i < count; ++i)
                iov[i] = {plan[i].p, plan[i].n};
            msghdr msg{};
            msg.msg_iov = iov;
            msg.msg_iovlen = count;
            // Between frames nothing is owed: deliver what is complete rather than wait.
            const ssize_t r = ::recvmsg(fd_, &msg, inFrame ? 0 : MSG_DONTWAIT);
            if (r <= 0) {
                const int e = errno;
                if (r < 0 && e == EINTR)
                    continue;
                const bool empty = r < 0 && (e == EAGAIN || e == EWOULDBLOCK);
                if (!inFrame && (empty || r == 0)) {
                    // A partial header waits in the input buffer; a close is met next time.
                    const std::uint8_t* part = headers[frames];
                    return finish(std::vector<std::uint8_t>(part, part + headerGot));
                }
                LinkStatus st = LinkStatus::kOk;
                if (empty)
                    st = WaitFd(fd_, POLLIN, wc);
                else
                    st = r == 0 || e == ECONNRESET ? LinkStatus::kClosed : LinkStatus::kIo;
                if (st == LinkStatus::kOk)
                    continue;
                if (st != LinkStatus::kTimeout && st != LinkStatus::kCancelled) {
                    Close();
                    return st;
                }
                // The frame being read goes back whole; the complete ones before it go out.
                const std::size_t done = (frames - 1) * length;
                if (frames == 1) {
                    Unread(header0, dst, filled);
                    return st;
                }
                std::vector<std::uint8_t> rest(headers[frames - 1],
                                               headers[frames - 1] + kHeaderSize);
                rest.insert(rest.end(), dst + done, dst + filled);
                --frames;
                return finish(std::move(rest));
            }
            // Walk the plan over what arrived.
            std::size_t left = static_cast<std::size_t>(r);
            std::size_t aheadGot = 0;
            for (std::size_t i = 0; i < count && left > 0; ++i) {
                const std::size_t take = std::min(left, plan[i].n);
                left -= take;
                if (plan[i].what == Segment::kPayload) {
                    filled += take;
                    continue;
                }
                if (plan[i].what == Segment::kAhead) {
                    aheadGot = take;
                    continue;
                }
                headerGot += take;
                if (headerGot < kHeaderSize)
                    continue;
                if (fits(headers[frames])) {
                    ++frames;
                    headerGot = 0;
                    continue;
                }
                // Not part of the batch: it and all that came after it go to the input
                // buffer, in order.
                std::vector<std::uint8_t> rest(headers[frames], headers[frames] + kHeaderSize);
                for (std::size_t j = i + 1; j < count && left > 0; ++j) {
                    const std::size_t t = std::min(left, plan[j].n);
                    rest.insert(rest.end(), plan[j].p, plan[j].p + t);
                    left -= t;
                }
                return finish(std::move(rest));
            }
            if (aheadGot > 0) {
                // The header after the batch came along: nothing more fits.
                std::vector<std::uint8_t> rest(in_.data(), in_.data() + aheadGot);
                return finish(std::move(rest));
            }
        }
    }

    // Puts a partly read frame back in front of whatever is buffered.
    void Unread(const std::uint8_t* header, const std::uint8_t* part, std::size_t n) {
        std::vector<std::uint8_t> rest(in_.begin() + static_cast<std::ptrdiff_t>(head_),
                                       in_.begin() + static_cast<std::ptrdiff_t>(tail_));
        const std::size_t total = kHeaderSize + n + rest.size();
        if (in_.size() < total)
            in_.resize(total);
        std::memcpy(in_.data(), header, kHeaderSize);
        if (n > 0)
            std::memcpy(in_.data() + kHeaderSize, part, n);
        if (!rest.empty())
            std::memcpy(in_.data() + kHeaderSize + n, rest.data(), rest.size());
        head_ = 0;
        tail_ = total;
    }

    // Appends what arrives next, at most max bytes (waiting for it), to the input buffer.
    // The buffer only grows, so it is never cleared byte by byte.
    LinkStatus ReadSome(std::size_t max, const WaitControl& wc) {
        if (head_ > 0 && (head_ >= in_.size() / 2 || in_.size() - tail_ < max)) {
            std::memmove(in_.data(), in_.data() + head_, tail_ - head_);
            tail_ -= head_;
            head_ = 0;
        }
        if (in_.size() - tail_ < max)
            in_.resize(tail_ + std::max(max, kReadChunk));
        std::size_t n = 0;
        const LinkStatus st = ReadInto(in_.data() + tail_, max, n, wc);
        if (st == LinkStatus::kOk)
            tail_ += n;
        return st;
    }

    // One read of at most max bytes into dst, waiting until something arrives.
    LinkStatus ReadInto(std::uint8_t* dst, std::size_t max, std::size_t& got,
                        const WaitControl& wc) {
        got = 0;
        if (readFailure_ != LinkStatus::kOk)
            return readFailure_;
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
                    if (got == 0)
                        return failure;
                    // What came before the failure is delivered first; the next read
                    // reports it (OpenSSL would not say the same again).
                    readFailure_ = failure;
                    return LinkStatus::kOk;
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

    int fd_ = -1;
    SSL* ssl_ = nullptr;
    std::vector<std::uint8_t> in_;  // bytes [head_, tail_) are received and not yet taken
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    LinkStatus readFailure_ = LinkStatus::kOk;  // a TLS failure met after data was delivered
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
