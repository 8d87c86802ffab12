// A TLS front for test programs that cannot serve TLS themselves (the tampering peer of
// the Windows tests): a TLS listener on 127.0.0.1 with a self-signed certificate of its
// own that, once a client's handshake is done, opens a plain connection to
// 127.0.0.1:`to` and passes the bytes both ways, one connection at a time. The end of
// either side ends the other (TLS with close_notify).
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

struct ssl_ctx_st;  // OpenSSL's SSL_CTX
struct ssl_st;      // OpenSSL's SSL

namespace mfpsim {

class TlsFront {
public:
    // port 0 picks a free port; null with error when it cannot listen.
    static std::unique_ptr<TlsFront> Open(int port, int to, std::string& error);
    ~TlsFront();
    TlsFront(const TlsFront&) = delete;
    TlsFront& operator=(const TlsFront&) = delete;
    int Port() const { return port_; }

private:
    TlsFront() = default;
    void Serve(int fd);
    void Pipe(ssl_st* ssl, int tls, int plain);

    ssl_ctx_st* ctx_ = nullptr;
    int listen_ = -1;
    int port_ = 0;
    int to_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The control service's request {"op":"tls-front","port","to"}: the front goes into
// `owned` (what the connection keeps until it closes); the reply carries its `port`.
nlohmann::json OpenTlsFront(const nlohmann::json& request,
                            std::vector<std::shared_ptr<void>>& owned);

}  // namespace mfpsim
