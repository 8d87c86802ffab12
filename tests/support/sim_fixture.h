// The one device peer of the tests: the emulator serving a private copy of the sample
// device on 127.0.0.1 (plain and TLS) or in-process behind scripted links, a tampering
// peer for what the emulator cannot do itself, the connect road the device item takes
// through the raw client, and the fixtures of the end-to-end and device-item tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/mfp_device.h"
#include "root/vesk_root.h"
#include "support/loopback.h"
#include "support/registry_fixture.h"
#include "support/temp_folder.h"
#include "tcpcore/link.h"
#include "tcpcore/tcpcore.h"
#include "tools/mfpsim/lib/engine.h"
#include "tools/mfpsim/lib/faults.h"
#include "tools/mfpsim/lib/model.h"
#include "tools/mfpsim/lib/server.h"

namespace vesk::test {

using SimEdit = std::function<void(mfpsim::DeviceState&)>;

struct SimOptions {
    mfpsim::IdentityOverrides overrides;  // reported version, identifier
    SimEdit edit;                         // changes to the sample before start
};

// The emulator with its own device folder: the sample device (generated once per
// program build at a low resolution, then copied) with the options' changes. Served on
// 127.0.0.1 once started; without a server Engine() opens one in this process.
class SimDevice {
public:
    explicit SimDevice(const SimOptions& options = {});
    explicit SimDevice(SimEdit edit) : SimDevice(SimOptions{{}, std::move(edit)}) {}
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    // Serves on ephemeral ports; a listener that is off has port -1. Records a test
    // failure with the reason when it cannot start.
    bool Start(bool plain = true, bool tls = false);
    void Stop();
    int Port() const { return m_server ? m_server->Port() : -1; }
    int TlsPort() const { return m_server ? m_server->TlsPort() : -1; }
    // The port of mode 0 (plain) or 1 (TLS).
    int Port(int mode) const { return mode == 1 ? TlsPort() : Port(); }
    mfpsim::Server& Server() { return *m_server; }
    std::shared_ptr<mfpsim::Engine> Engine();
    const std::filesystem::path& Root() const { return m_root; }
    // The device's state as it is now.
    mfpsim::DeviceState State() { return Engine()->GetDevice().Snapshot(); }
    // Faults for every later request; Clear returns to none.
    void SetFaults(const mfpsim::FaultConfig& faults) { Engine()->GetFaults().Set(faults); }
    void ClearFaults() { SetFaults(mfpsim::FaultConfig{}); }

private:
    TempFolder m_dir{"vesk-sim"};
    SimOptions m_options;
    std::filesystem::path m_root;
    std::unique_ptr<mfpsim::Server> m_server;
    std::shared_ptr<mfpsim::Engine> m_engine;
    std::string m_error;
};

// A hostile device: the emulator's engine behind a listener of its own (plain or TLS on
// 127.0.0.1), with every frame the device emits passed through tamper first, which may
// change it or drop it (return false). For the faults the emulator cannot make itself,
// and as a man in the middle: its TLS certificate is its own, and it keeps every frame
// it received. port 0 picks a free port.
// Plain mode only: a frame pick() chooses goes out in two halves with a pause between
// them (paused() runs as the pause begins), as a slow network cuts it: after `at`
// bytes, or half the frame when `at` is 0.
struct PeerSplit {
    std::function<bool(const vesk::tcpcore::Frame&)> pick;
    int pauseMs = 0;
    std::size_t at = 0;
    std::function<void()> paused;
};

class TamperingPeer {
public:
    using Tamper = std::function<bool(vesk::tcpcore::Frame&)>;
    using Split = PeerSplit;
    TamperingPeer(mfpsim::Engine& engine, int mode, Tamper tamper, int port = 0, Split split = {});
    ~TamperingPeer();
    TamperingPeer(const TamperingPeer&) = delete;
    TamperingPeer& operator=(const TamperingPeer&) = delete;
    int Port() const { return m_listener ? m_listener->Port() : 0; }
    // The frames the client sent so far.
    std::vector<vesk::tcpcore::Frame> Received();

private:
    void Serve(int fd);
    bool SendSplit(int fd, const vesk::tcpcore::Frame& frame);
    Split m_split;
    std::mutex m_receivedMutex;
    std::vector<vesk::tcpcore::Frame> m_received;

    mfpsim::Engine& m_engine;
    Tamper m_tamper;
    void* m_ctx = nullptr;  // SSL_CTX* for TLS
    std::atomic<bool> m_stop{false};
    std::unique_ptr<LoopbackListener> m_listener;  // last: its thread uses the rest
};

// Sample device numbers the tests rely on.
inline constexpr int kSharedBox = 1;  // no owner, no password
inline constexpr int kAliceBox = 2;   // owned by alice
inline constexpr int kSecureBox = 3;  // password "1234"
inline constexpr int kSalesBox = 4;   // owned by the account "sales"
inline constexpr int kBobBox = 5;     // owned by bob, password "bob"
inline constexpr int kFilingBox = 1001;
inline constexpr int kRxBox = 0;  // memory RX, password "0000"

// The result of the connect road.
struct SimConnection {
    std::unique_ptr<CTcpCore> core;
    tagQTCP_DEVICEINFO info{};
    int major = 0;
    int minor = 0;
    int tcpVersion = 0;
    int userAuthType = -1;
    int accountAuthType = -1;
    int publicSupport = -1;
    long long probeRoundTrips = 0;
};

// Runs the road up to a connected session (no login). unitName as the item passes it
// (null: any). Returns an empty core and sets why on failure.
SimConnection ConnectRoad(int mode, int port, std::string& why, const char* unitName = nullptr,
                          QTCP_COMMSTATE_CALLBACK cb = nullptr);

// The last error code and detail of a client object.
struct LastError {
    int code = 0;
    int detail = 0;
};
LastError ErrorOf(CTcpCore& core);

// Reads a whole document stream with buffers of the given size; false (and why) when
// a read fails before the clean end.
bool ReadWhole(CTcpCore& core, std::vector<unsigned char>& out, std::string& why,
               int bufferSize = 1 << 20);

// Finds a document by name in a list; null when absent.
const tagUTIL_DOCINFO* FindDoc(const std::vector<tagUTIL_DOCINFO>& docs, const std::string& name);
const tagUTIL_BOXINFO* FindBox(const std::vector<tagUTIL_BOXINFO>& boxes, long number);

// Images read with the libraries a client would use (libjpeg, libtiff), not with the
// emulator's own code.
struct JpegInfo {
    int width = 0;
    int height = 0;
    int components = 0;
    int density = 0;  // dots per inch when the unit is inches
    std::vector<unsigned char> pixels;
};
// Decodes a whole JPEG; false (and why) when it is not a valid one.
bool DecodeJpeg(const std::vector<unsigned char>& data, JpegInfo& info, std::string& why);

struct TiffPage {
    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t bits = 0;
    uint16_t compression = 0;
    float xres = 0;
    std::vector<uint32_t> rgba;
};
// Decodes every page of a TIFF file (or its bytes); false on any failure.
bool DecodeTiffFile(const std::string& path, std::vector<TiffPage>& pages);
bool DecodeTiff(const std::vector<unsigned char>& data, std::vector<TiffPage>& pages);
// The number of pages of a TIFF file's bytes; -1 when it is not one.
int TiffPageCount(const std::vector<unsigned char>& data);

// Wall time since start, for bounding calls that must not hang.
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The identifier of a model of the first (or second) family, with a unit component.
std::string ModelId(int model, bool secondFamily = false);

namespace tc = vesk::tcpcore;

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
    // The links opened so far.
    int Sessions();

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

// End-to-end tests: each test gets its own emulator on loopback and runs,
// parameterised on the transport (0 plain TCP, 1 TLS), through the raw client.
class E2E : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        // Short enough that a broken exchange fails the test instead of stalling it.
        CTcpCore::SetDefaultTimeouts(5000, 10000);
    }
    void TearDown() override {
        m_conn.core.reset();
        m_device.reset();
        CTcpCore::SetDefaultTimeouts(5000, 30000);
    }

    int Mode() const { return GetParam(); }

    // Starts the device; false (with a failure recorded) when it cannot.
    bool StartDevice(const SimOptions& options = {}) {
        m_device = std::make_unique<SimDevice>(options);
        return m_device->Start(true, true);
    }

    // Starts the device if needed and runs the connect road.
    bool Connect(const char* unitName = nullptr) {
        if (!m_device && !StartDevice())
            return false;
        std::string why;
        m_conn = ConnectRoad(Mode(), m_device->Port(Mode()), why, unitName);
        EXPECT_TRUE(m_conn.core) << why;
        return m_conn.core != nullptr;
    }

    // Connects and logs in as a user with the second login form.
    bool ConnectAs(const std::string& user, const std::string& password) {
        if (!Connect())
            return false;
        tagUTIL_DOCOPERATIONPERMISSION perm{};
        const int r =
            Core().UserLogin2(user.c_str(), static_cast<int>(user.size()), password.c_str(), perm);
        EXPECT_EQ(r, 1) << "login of " << user << " refused with " << ErrorOf(Core()).code;
        return r == 1;
    }

    // Connects as alice and opens a box without password.
    bool OpenBox(int box, const char* password = "") {
        if (!ConnectAs("alice", "alice"))
            return false;
        int flag = -1;
        const int r = Core().BoxLogin(box, password, flag);
        EXPECT_EQ(r, 1) << "box login refused with " << ErrorOf(Core()).code;
        return r == 1;
    }

    std::vector<tagUTIL_DOCINFO> DocList() {
        std::vector<tagUTIL_DOCINFO> docs;
        EXPECT_EQ(Core().GetDocumentList(docs, 0), 1) << ErrorOf(Core()).code;
        return docs;
    }

    // The id of a document of the open box, or -1 (with a failure) when absent.
    long DocId(const std::string& name) {
        const std::vector<tagUTIL_DOCINFO> docs = DocList();
        const tagUTIL_DOCINFO* d = FindDoc(docs, name);
        EXPECT_TRUE(d) << "no document " << name;
        return d ? d->lDocID : -1;
    }

    std::vector<tagUTIL_BOXINFO> BoxList() {
        std::vector<tagUTIL_BOXINFO> boxes;
        EXPECT_EQ(Core().GetBoxList(boxes), 1) << ErrorOf(Core()).code;
        return boxes;
    }

    CTcpCore& Core() { return *m_conn.core; }
    SimDevice& Device() { return *m_device; }

    std::unique_ptr<SimDevice> m_device;
    SimConnection m_conn;
};

inline std::string ModeName(const ::testing::TestParamInfo<int>& info) {
    return info.param == 1 ? "Tls" : "Tcp";
}

}  // namespace vesk::test

// Instantiates a parameterised suite for plain TCP and TLS.
#define VESK_E2E_MODES(suite) \
    INSTANTIATE_TEST_SUITE_P(Loopback, suite, ::testing::Values(0, 1), ::vesk::test::ModeName)
