// Raw peers on 127.0.0.1 for what the emulator cannot play: a listener at a kernel-chosen
// (or given) port that serves one connection at a time on a thread of its own, a
// throwaway TLS server identity, and a port where nothing listens.
#pragma once

#include <atomic>
#include <functional>
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

// A TLS server context with a fresh self-signed certificate, for SSL_CTX_free; null when
// OpenSSL fails.
ssl_ctx_st* SelfSignedServerContext();

// A port on 127.0.0.1 where nothing listens.
int ClosedLoopbackPort();

}  // namespace vesk::test
