// End-to-end set-up: the device emulator serving a private copy of the sample device on
// 127.0.0.1 (plain and TLS ports), and the connect road the device item takes through
// the real client: device query on a probe object, the factory's class for the
// reported version, Connect, then the inquiries the item asks at that version.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tcpcore/link.h"
#include "tcpcore/tcpcore.h"
#include "tools/mfpsim/lib/faults.h"
#include "tools/mfpsim/lib/model.h"
#include "tools/mfpsim/lib/server.h"

namespace vesk::test {

// A temporary folder removed with the object.
class SimTempDir {
public:
    SimTempDir();
    ~SimTempDir();
    SimTempDir(const SimTempDir&) = delete;
    SimTempDir& operator=(const SimTempDir&) = delete;
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

struct SimOptions {
    mfpsim::IdentityOverrides overrides;             // reported version, identifier
    std::function<void(mfpsim::DeviceState&)> edit;  // changes to the sample before start
};

// The emulator on loopback with its own device folder: the sample device (generated
// once per process at a low resolution, then copied) with the options' changes.
class SimDevice {
public:
    explicit SimDevice(const SimOptions& options = {});
    ~SimDevice();
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;

    bool Started() const { return m_server && m_server->Running(); }
    const std::string& Error() const { return m_error; }
    // The port of mode 0 (plain) or 1 (TLS).
    int Port(int mode) const;
    mfpsim::Server& Server() { return *m_server; }
    const std::filesystem::path& Root() const { return m_root; }
    // The device's state as it is now.
    mfpsim::DeviceState State();
    // Faults for every later request; Clear returns to none.
    void SetFaults(const mfpsim::FaultConfig& faults);
    void ClearFaults();

private:
    SimTempDir m_dir;
    std::filesystem::path m_root;
    std::unique_ptr<mfpsim::Server> m_server;
    std::string m_error;
};

// A hostile device: the emulator's engine behind a listener of its own (plain or TLS on
// 127.0.0.1), with every frame the device emits passed through tamper first, which may
// change it or drop it (return false). For the faults the emulator cannot make itself,
// and as a man in the middle: its TLS certificate is its own, and it keeps every frame
// it received. port 0 picks a free port.
class TamperingPeer {
public:
    using Tamper = std::function<bool(vesk::tcpcore::Frame&)>;
    TamperingPeer(mfpsim::Engine& engine, int mode, Tamper tamper, int port = 0);
    ~TamperingPeer();
    TamperingPeer(const TamperingPeer&) = delete;
    TamperingPeer& operator=(const TamperingPeer&) = delete;
    int Port() const { return m_port; }
    // The frames the client sent so far.
    std::vector<vesk::tcpcore::Frame> Received();

private:
    void Serve(int fd);
    std::mutex m_receivedMutex;
    std::vector<vesk::tcpcore::Frame> m_received;

    mfpsim::Engine& m_engine;
    Tamper m_tamper;
    void* m_ctx = nullptr;  // SSL_CTX* for TLS
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
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

// The inquiries the device item makes after Connect, in its order, for that protocol
// number: each name with the call's result. Ones the item does not ask are left out.
struct InquiryResult {
    std::string name;
    int result = 0;
};
std::vector<InquiryResult> ItemInquiries(CTcpCore& core, int tcpVersion);

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

struct JpegInfo {
    int width = 0;
    int height = 0;
    int components = 0;
};
// Decodes a whole JPEG with libjpeg; false (and why) when it is not a valid one.
bool DecodeJpeg(const std::vector<unsigned char>& data, JpegInfo& info, std::string& why);

// The number of pages of a TIFF file's bytes, read with libtiff; -1 when it is not one.
int TiffPageCount(const std::vector<unsigned char>& data);

// Wall time since start, for bounding calls that must not hang.
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace vesk::test
