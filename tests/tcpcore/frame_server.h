// A loopback device server for the transport tests: a listening socket on
// 127.0.0.1 and an ephemeral port, one thread per connection. Either puts a
// DeviceSession behind the real socket link (plain or TLS with a self-signed
// certificate made at start), or hands the raw socket to a test function that
// writes whatever hostile bytes it likes.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tcpcore/link.h"

namespace vesk::tcpcore::test {

class FrameServer {
public:
    using SessionMaker = std::function<std::unique_ptr<DeviceSession>()>;
    using RawHandler = std::function<void(int fd, const std::atomic<bool>& stop)>;

    static std::unique_ptr<FrameServer> Start(SessionMaker maker, bool tls);
    static std::unique_ptr<FrameServer> StartRaw(RawHandler handler);
    ~FrameServer();

    int port() const { return port_; }
    int accepted() const { return accepted_; }

private:
    FrameServer() = default;
    bool Listen();
    void AcceptLoop();
    void Serve(int fd);

    SessionMaker maker_;
    RawHandler raw_;
    bool tls_ = false;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<int> accepted_{0};
    std::atomic<bool> stop_{false};
    std::thread acceptThread_;
    std::mutex m_;
    std::vector<std::thread> conns_;
};

// The process's test TLS server context (SSL_CTX*), with a fresh self-signed
// certificate made with the OpenSSL API.
void* TestServerTlsContext();

}  // namespace vesk::tcpcore::test
