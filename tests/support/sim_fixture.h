// The tests' side of the device peer (support/sim_device.h): the connect road the device
// item takes through the raw client, and the fixtures of the end-to-end and device-item
// tests. What needs the emulator in this process is in support/sim_local.h.
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
#include "support/registry_fixture.h"
#include "support/sim_device.h"
#include "support/temp_folder.h"
#include "tcpcore/link.h"
#include "tcpcore/tcpcore.h"

namespace vesk::test {

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

namespace tc = vesk::tcpcore;

// Wall time since start, for bounding calls that must not hang.
inline double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The identifier of a model of the first (or second) family, with a unit component.
std::string ModelId(int model, bool secondFamily = false);

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
