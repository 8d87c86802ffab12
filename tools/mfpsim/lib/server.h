// The emulator as a network device: plain TCP and TLS listeners (loopback by default,
// port 0 for an ephemeral port), one thread and one engine session per connection,
// and a clean stop that closes every connection.
//
//   mfpsim::ServerOptions o;
//   o.root = "/tmp/device";
//   mfpsim::Server server(o);
//   if (!server.Start()) { ... server.Error() ... }
//   connect to 127.0.0.1:server.Port() (plain) or :server.TlsPort() (TLS)
//   server.Stop();
#pragma once

#include <atomic>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/mfpsim/lib/engine.h"

struct ssl_ctx_st;  // OpenSSL's SSL_CTX

namespace mfpsim {

// Gives a TLS server context a fresh self-signed certificate and its key, as devices
// carry; false when OpenSSL fails.
bool UseSelfSignedCertificate(ssl_ctx_st* ctx);

struct ServerOptions {
    std::filesystem::path root;  // device folder; ignored when `engine` is given
    std::shared_ptr<Engine> engine;
    IdentityOverrides identity;
    std::string host = "127.0.0.1";
    int port = 0;     // plain TCP; 0 picks a free port, -1 disables
    int tlsPort = 0;  // TLS; 0 picks a free port, -1 disables
    // PEM files; a self-signed certificate is made at start when they are not given.
    std::filesystem::path certFile;
    std::filesystem::path keyFile;
    int idleTimeoutMs = 10 * 60 * 1000;  // a silent client is disconnected after this
    // Benchmarks only, off (-1) by default: listeners that speak no protocol. A client
    // sends a byte count (i64, little-endian) and receives that many bytes of the
    // synthetic content unframed, written by the same code as a document stream, so
    // that a raw copy and a client download are served alike. 0 picks a free port.
    int rawPort = -1;
    int rawTlsPort = -1;
};

class Server {
public:
    explicit Server(ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    bool Start();
    void Stop();
    bool Running() const { return running_; }

    int Port() const { return port_; }
    int TlsPort() const { return tlsPort_; }
    int RawPort() const { return rawPort_; }
    int RawTlsPort() const { return rawTlsPort_; }
    const std::string& Error() const { return error_; }
    Engine& GetEngine() { return *engine_; }
    std::shared_ptr<Engine> SharedEngine() { return engine_; }
    // SHA-256 of the certificate served on the TLS port, as hex.
    const std::string& CertificateSha256() const { return certSha256_; }
    // Connections being served now, and all accepted so far.
    int ActiveConnections() const { return active_; }
    int64_t AcceptedConnections() const { return accepted_; }

private:
    struct Listener {
        int fd = -1;
        bool tls = false;
        bool raw = false;
        std::thread thread;
    };
    bool Listen(int port, bool tls, bool raw, int& boundPort);
    bool SetUpTls();
    void AcceptLoop(Listener* l);
    void Serve(int fd, bool tls, bool raw);
    void Track(int fd, bool add);

    ServerOptions options_;
    std::shared_ptr<Engine> engine_;
    void* sslCtx_ = nullptr;  // SSL_CTX*
    std::string certSha256_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};
    int port_ = -1;
    int tlsPort_ = -1;
    int rawPort_ = -1;
    int rawTlsPort_ = -1;
    std::string error_;

    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void ReapLocked(bool all);

    std::mutex connMu_;
    std::set<int> connFds_;
    std::vector<Worker> workers_;
    std::atomic<int> active_{0};
    std::atomic<int64_t> accepted_{0};
};

}  // namespace mfpsim
