// The fixture of the end-to-end tests: each test gets its own emulator on loopback and
// runs, parameterised on the transport (0 plain TCP, 1 TLS), through the real client.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/sim_fixture.h"

namespace vesk::test {

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
        EXPECT_TRUE(m_device->Started()) << m_device->Error();
        return m_device->Started();
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
