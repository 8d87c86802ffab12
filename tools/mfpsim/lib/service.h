// The emulator as a service for test programs that run in another process, or under
// another system on the same machine: a control listener on loopback that speaks JSON
// lines (one request, one reply; tools/mfpsim/README.md lists them) to start emulators
// on private copies of the sample device, read their state and the requests they
// received, inject faults and stop them. What a connection started ends with it.
#pragma once

#include <atomic>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "tools/mfpsim/lib/server.h"

namespace mfpsim {

// An emulator on a device folder of its own: served when started, else (for what is
// held and received) an engine in this process, as the server's would be.
class Instance {
public:
    // Copies the device folder `from` into `root` (hard links where the file system
    // allows: the emulator replaces files, never changes them in place), then writes
    // `state` over the copy when one is given.
    static bool Prepare(const std::filesystem::path& from, const std::filesystem::path& root,
                        const DeviceState* state, std::string& error);

    Instance(std::filesystem::path root, IdentityOverrides overrides)
        : root_(std::move(root)), overrides_(std::move(overrides)) {}
    // Serves on ephemeral ports of 127.0.0.1; a listener that is off has port -1.
    bool Start(bool plain, bool tls, std::string& error);
    void Stop();
    Server* GetServer() { return server_.get(); }
    // The server's engine, or one opened here while there is no server.
    std::shared_ptr<Engine> GetEngine(std::string& error);
    const std::filesystem::path& Root() const { return root_; }

private:
    std::filesystem::path root_;
    IdentityOverrides overrides_;
    std::unique_ptr<Server> server_;
    std::shared_ptr<Engine> engine_;
};

struct ServiceOptions {
    std::string host = "127.0.0.1";
    int port = 0;                // 0 picks a free port
    std::filesystem::path work;  // instance folders and the sample device
    int dpi = 40;                // sample page resolution: low keeps generation quick
};

class Service {
public:
    explicit Service(ServiceOptions options);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Writes the sample device and listens; false: Error().
    bool Start();
    void Stop();
    int Port() const { return port_; }
    const std::string& Error() const { return error_; }

private:
    struct Connection;
    void AcceptLoop();
    void Serve(Connection* c);
    nlohmann::json Handle(const nlohmann::json& request, Connection& c);

    ServiceOptions options_;
    std::filesystem::path sample_;
    nlohmann::json sampleJson_;
    int listenFd_ = -1;
    int port_ = -1;
    std::string error_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> nextInstance_{1};
    std::thread acceptThread_;
    std::mutex mu_;
    std::list<std::unique_ptr<Connection>> connections_;
};

}  // namespace mfpsim
