// Set-up for the device item's tests against the emulator: a device folder built from
// the sample state with the test's changes, served over loopback (plain and TLS) or
// in-process behind a scriptable session; an isolated profile with a root, its
// registry file and the MIB filter file; a trace sink that keeps what was traced.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/mfp_device.h"
#include "root/vesk_root.h"
#include "support/registry_fixture.h"
#include "support/temp_folder.h"
#include "tcpcore/link.h"
#include "tools/mfpsim/lib/engine.h"
#include "tools/mfpsim/lib/model.h"
#include "tools/mfpsim/lib/server.h"

namespace vesk::test {

namespace tc = vesk::tcpcore;

// The identifier of a model of the first (or second) family, with a unit component.
std::string ModelId(int model, bool secondFamily = false);

// One emulated device: its folder is the sample device as edited by the test.
class EmulatedDevice {
public:
    using Edit = std::function<void(mfpsim::DeviceState&)>;
    explicit EmulatedDevice(const Edit& edit = {});
    ~EmulatedDevice();
    EmulatedDevice(const EmulatedDevice&) = delete;
    EmulatedDevice& operator=(const EmulatedDevice&) = delete;

    // Serves on 127.0.0.1 and ephemeral ports; a listener that is off gets port -1.
    bool Start(bool plain = true, bool tls = false);
    void Stop();
    int Port() const { return m_server ? m_server->Port() : -1; }
    int TlsPort() const { return m_server ? m_server->TlsPort() : -1; }
    mfpsim::Server& Server() { return *m_server; }
    // The engine of the server, or without one a new in-process engine.
    std::shared_ptr<mfpsim::Engine> Engine();

private:
    TempFolder m_dir{"vesk-device-emu"};
    std::unique_ptr<mfpsim::Server> m_server;
    std::shared_ptr<mfpsim::Engine> m_engine;
};

// Every connection the client opens reaches a new session of the engine, in this
// process, through a session that lets the test see and change the traffic.
class ScriptedLinks {
public:
    struct Script {
        // Runs first for every request; true means the script answered it itself.
        std::function<bool(const tc::Frame& request, const tc::FrameEmitter& emit)> onRequest;
        // May change every frame the device sends back.
        std::function<void(tc::Frame& frame)> onReply;
    };
    ScriptedLinks(std::shared_ptr<mfpsim::Engine> engine, Script script);
    ~ScriptedLinks();
    ScriptedLinks(const ScriptedLinks&) = delete;
    ScriptedLinks& operator=(const ScriptedLinks&) = delete;

    // The requests that reached the device so far, in order.
    std::vector<tc::Frame> Requests();

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
};

// A reply to request with the given status and no payload.
tc::Frame FailureReply(const tc::Frame& request, int status);

// Profile, root, filter file and trace for one test; clears the process-wide
// communication object afterwards.
class DeviceFixture : public RegistryFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // The root item (Root() is the profile folder).
    CVESKRoot& TreeRoot() { return *m_root; }
    // Registers a device at 127.0.0.1 with these ports and takes it from the root's
    // list; lastTCPComm is the mode remembered from an earlier connection.
    CVESKMFPDevice* AddDevice(int port, int sslPort, int lastTCPComm = -1);
    // Replaces the filter file (empty text: no filter file at all).
    void WriteFilter(const std::string& text);
    std::vector<std::string> TraceLines();
    // A port on 127.0.0.1 where nothing listens.
    static int ClosedPort();

private:
    std::unique_ptr<CVESKRoot> m_root;
    std::string m_appFolder;
    std::mutex m_traceMutex;
    std::vector<std::string> m_trace;
    int m_registered = 0;
};

// The filter file the library installs: both device families.
std::string DefaultFilterText();

}  // namespace vesk::test
