// The device peer of the tests as the tests see it: an emulator serving a private copy of
// the sample device on 127.0.0.1, plain and TLS, whose state, received requests and
// faults a test reads and sets. On Linux it runs in this process; a program that cannot
// run the emulator (the Windows build, under Wine) reaches one through the emulator's
// control service (mfpsim --service) named by VESK_SIM_SERVICE. Linux-only access to
// the engine itself is in sim_local.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tcpcore/wire.h"
#include "tools/mfpsim/lib/device.h"
#include "tools/mfpsim/lib/faults.h"
#include "tools/mfpsim/lib/model.h"

namespace vesk::test {

using SimEdit = std::function<void(mfpsim::DeviceState&)>;

struct SimOptions {
    mfpsim::IdentityOverrides overrides;  // reported version, identifier
    SimEdit edit;                         // changes to the sample before start
    // A control service ("127.0.0.1:PORT") to run the emulator in; empty: this build's
    // own way (in process on Linux, VESK_SIM_SERVICE elsewhere).
    std::string service;
};

// The emulator with its own device folder: the sample device (generated at a low
// resolution, then copied) with the options' changes. Served on 127.0.0.1 once started.
// A failing call records a test failure with the reason.
class SimDevice {
public:
    explicit SimDevice(const SimOptions& options = {});
    explicit SimDevice(SimEdit edit) : SimDevice(SimOptions{{}, std::move(edit), {}}) {}
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // Serves on ephemeral ports; a listener that is off has port -1.
    bool Start(bool plain = true, bool tls = false);
    void Stop();
    int Port() const { return Port(0); }
    int TlsPort() const { return Port(1); }
    // The port of mode 0 (plain) or 1 (TLS).
    int Port(int mode) const { return m_ready ? m_backend->Port(mode) : -1; }
    // SHA-256 of the certificate on the TLS port, as hex.
    std::string CertificateSha256() const { return m_ready ? m_backend->CertificateSha256() : ""; }

    // The device's state as it is now.
    mfpsim::DeviceState State();
    // Faults for every later request; Clear returns to none.
    void SetFaults(const mfpsim::FaultConfig& faults);
    void ClearFaults() { SetFaults(mfpsim::FaultConfig{}); }

    // The journal: the requests the device received, oldest first, and their count.
    std::vector<vesk::tcpcore::Frame> Journal();
    void ClearJournal();
    int64_t RequestCount();
    // The journal's requests of one operation, decoded.
    template <class Req>
    std::vector<Req> Requests(vesk::tcpcore::Op op) {
        std::vector<Req> out;
        for (const vesk::tcpcore::Frame& f : Journal()) {
            Req r{};
            if (f.op == op && vesk::tcpcore::ParsePayload(f, r))
                out.push_back(r);
        }
        return out;
    }
    // Connections being served now, and all accepted so far.
    int ActiveConnections();
    int64_t AcceptedConnections();

    // Where the emulator runs: in this process or behind the control service.
    struct Backend {
        virtual ~Backend() = default;
        virtual bool Create(const SimOptions& options, std::string& error) = 0;
        virtual bool Start(bool plain, bool tls, std::string& error) = 0;
        virtual void Stop() = 0;
        virtual int Port(int mode) const = 0;
        virtual std::string CertificateSha256() const = 0;
        virtual bool State(mfpsim::DeviceState& state, std::string& error) = 0;
        virtual bool SetFaults(const mfpsim::FaultConfig& faults, std::string& error) = 0;
        virtual bool Journal(std::vector<vesk::tcpcore::Frame>& frames, int64_t& count,
                             std::string& error) = 0;
        virtual bool ClearJournal(std::string& error) = 0;
        virtual bool Connections(int& active, int64_t& accepted, std::string& error) = 0;
        // The device folder; empty when there is none.
        virtual const std::filesystem::path& Root() const = 0;
    };
    Backend& GetBackend() { return *m_backend; }
    const Backend& GetBackend() const { return *m_backend; }

private:
    std::unique_ptr<Backend> m_backend;
    bool m_ready = false;
};

// The device folder of the emulator, as this program reaches it. The emulator reads page,
// thumbnail and content files from it whenever it serves them; its other objects only when
// it opens the folder.
const std::filesystem::path& RootOf(const SimDevice& device);

// The backends: this build's own, and the one behind a control service.
std::unique_ptr<SimDevice::Backend> MakeDefaultSimBackend();
std::unique_ptr<SimDevice::Backend> MakeServiceSimBackend(const std::string& address);

// A folder the control service names (a path of the system it runs on, Linux) as this
// program reaches it: under Wine, through the drive that maps the Linux root.
std::filesystem::path FromServicePath(const std::string& path);

// A line-oriented connection to the control service (one per device: what it started
// ends when it closes). Implemented for each system.
class SimChannel {
public:
    SimChannel() = default;
    ~SimChannel();
    SimChannel(const SimChannel&) = delete;
    SimChannel& operator=(const SimChannel&) = delete;
    // address: "HOST:PORT".
    bool Connect(const std::string& address, std::string& error);
    bool Send(const std::string& text);
    // The next line without its end; false when the connection ended first.
    bool ReadLine(std::string& line);

private:
    // Up to size bytes into `into`; 0 or less when the connection ended or failed.
    long Receive(char* into, size_t size);

    std::intptr_t m_socket = -1;
    std::string m_buffer;
};

}  // namespace vesk::test
