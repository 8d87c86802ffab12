// Session set-up end to end: device query, class choice, Connect on the query's
// connection, the unit it names. What the item asks per version, and its session rebuilt
// after a drop: tests/device/connect_test.cpp; the client's own rebuild: fault_test.cpp;
// inquiries the device cannot answer: tests/tcpcore/client_test.cpp.
#include <thread>
#include <tuple>

#include "support/sim_fixture.h"
#include "tools/mfpsim/lib/model.h"

namespace vesk::test {
namespace {

using Session = E2E;

TEST_P(Session, DeviceQueryAndConnectShareOneConnection) {
    ASSERT_TRUE(Connect());
    const mfpsim::Identity id = Device().State().identity;
    const tagQTCP_DEVICEINFO& info = m_conn.info;
    // 4.11 counts as 4.9.
    EXPECT_EQ(
        std::tuple(std::string(info.szDeviceID), std::string(info.szModelName),
                   std::string(info.szSerialNo), m_conn.major, m_conn.minor, info.nMajorVersion,
                   info.nMinorVersion, m_conn.tcpVersion, Core().GetTcpVersion(),
                   m_conn.userAuthType, m_conn.accountAuthType, m_conn.publicSupport),
        std::tuple(id.identifier, id.modelName, id.serial, 4, 11, 4, 11, 49, 49, id.userAuthType,
                   id.accountAuthType, id.publicSupport));
    EXPECT_NE(dynamic_cast<CTcpCoreV31*>(&Core()), nullptr);

    // Hello and Connect on one connection (their exchanges: tests/tcpcore/client_test.cpp).
    EXPECT_EQ(Device().AcceptedConnections(), 1);

    if (Mode() == 1) {
        EXPECT_FALSE(Core().GetNegotiatedCipher().empty());
        EXPECT_TRUE(Core().GetNegotiatedTlsVersion() == "TLSv1.3" ||
                    Core().GetNegotiatedTlsVersion() == "TLSv1.2")
            << Core().GetNegotiatedTlsVersion();
        EXPECT_EQ(Core().GetPeerCertificateSha256(), Device().CertificateSha256());
    } else {
        EXPECT_EQ(Core().GetNegotiatedCipher(), "");
        EXPECT_EQ(Core().GetPeerCertificateSha256(), "");
    }

    // The device sees the session end.
    EXPECT_EQ(Core().Disconnect(1), 1);
    const auto start = std::chrono::steady_clock::now();
    while (Device().ActiveConnections() > 0 && SecondsSince(start) < 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Device().ActiveConnections(), 0);
}

TEST_P(Session, ConnectNamingAnotherUnitIsRefused) {
    ASSERT_TRUE(StartDevice());
    const std::string identifier = Device().State().identity.identifier;
    const std::string unit = mfpsim::DeviceUnit(identifier);
    ASSERT_FALSE(unit.empty());

    std::string why;
    SimConnection other = ConnectRoad(Mode(), Device().Port(Mode()), why,
                                      (unit.substr(0, unit.size() - 1) + "9").c_str());
    EXPECT_FALSE(other.core);
    EXPECT_NE(why.find("Connect failed with 8004"), std::string::npos) << why;

    SimConnection same = ConnectRoad(Mode(), Device().Port(Mode()), why, unit.c_str());
    ASSERT_TRUE(same.core) << why;
    EXPECT_EQ(same.core->IsConnected(), 1);
}

VESK_E2E_MODES(Session);

}  // namespace
}  // namespace vesk::test
