// Raw peers on 127.0.0.1 for what the emulator cannot play: a listener at a kernel-chosen
// (or given) port that serves one connection at a time on a thread of its own, the
// peer's side of its connections, a TLS front for such a peer, a throwaway TLS server
// identity, and a port where nothing listens. A connection is an int on every system
// (Windows keeps socket handles within 32 bits).
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

struct ssl_ctx_st;  // OpenSSL's SSL_CTX

namespace vesk::test {

class LoopbackListener {
public:
    // serve gets each accepted socket and closes it; it should return soon once
    // Stopping() is true.
    explicit LoopbackListener(std::function<void(int fd)> serve, int port = 0);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    // 0 when the listener could not be set up.
    int Port() const { return m_port; }
    bool Stopping() const { return m_stop; }
    // Waits until fd has something to read (or was closed); false once stopping.
    bool WaitReadable(int fd) const;

private:
    std::function<void(int)> m_serve;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// The peer's side of a connection: bytes in (0 or less: ended or failed), bytes out, and
// its end, as a close or as a reset.
long PeerReceive(int fd, void* into, std::size_t size);
bool PeerSend(int fd, const void* bytes, std::size_t size);
void PeerClose(int fd, bool reset = false);

// A TLS listener on 127.0.0.1 (port 0: a free one) with a self-signed certificate of its
// own in front of a plain peer at `to`: for each client whose handshake succeeded it
// connects to the peer and passes the bytes both ways; the peer's end ends TLS with
// close_notify. In this process on Linux, the emulator service's (tls-front) elsewhere.
class LoopbackTlsFront {
public:
    explicit LoopbackTlsFront(int to, int port = 0);
    // 0 when the front could not be set up.
    int Port() const { return m_port; }

private:
    int m_port = 0;
    std::shared_ptr<void> m_front;  // the front, or the service connection it lives on
};

// Linux: a TLS server context with a fresh self-signed certificate, for SSL_CTX_free;
// null when OpenSSL fails.
ssl_ctx_st* SelfSignedServerContext();

// A port on 127.0.0.1 where nothing listens.
int ClosedLoopbackPort();

}  // namespace vesk::test
