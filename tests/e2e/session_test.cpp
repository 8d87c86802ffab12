// Session set-up end to end: device query, class choice, Connect on the query's
// connection, an inquiry the device does not have at its version, and a session
// rebuilt after a drop. What the item asks per version: tests/device/connect_test.cpp.
#include <thread>

#include "support/sim_fixture.h"
#include "tools/mfpsim/lib/model.h"

namespace vesk::test {
namespace {

using Session = E2E;

TEST_P(Session, DeviceQueryAndConnectShareOneConnection) {
    ASSERT_TRUE(Connect());
    const mfpsim::Identity id = Device().State().identity;
    EXPECT_STREQ(m_conn.info.szDeviceID, id.identifier.c_str());
    EXPECT_STREQ(m_conn.info.szModelName, id.modelName.c_str());
    EXPECT_STREQ(m_conn.info.szSerialNo, id.serial.c_str());
    EXPECT_EQ(m_conn.major, 4);
    EXPECT_EQ(m_conn.minor, 11);
    EXPECT_EQ(m_conn.info.nMajorVersion, 4);
    EXPECT_EQ(m_conn.info.nMinorVersion, 11);
    // 4.11 counts as 4.9.
    EXPECT_EQ(m_conn.tcpVersion, 49);
    EXPECT_EQ(Core().GetTcpVersion(), 49);
    EXPECT_NE(dynamic_cast<CTcpCoreV31*>(&Core()), nullptr);
    EXPECT_EQ(m_conn.userAuthType, id.userAuthType);
    EXPECT_EQ(m_conn.accountAuthType, id.accountAuthType);
    EXPECT_EQ(m_conn.publicSupport, id.publicSupport);

    // Hello on the probe, Connect on the kept connection: one exchange each.
    EXPECT_EQ(m_conn.probeRoundTrips, 1);
    EXPECT_EQ(Core().GetRoundTripCount(), 1);
    EXPECT_EQ(Device().Server().AcceptedConnections(), 1);
    EXPECT_EQ(Core().IsConnected(), 1);

    if (Mode() == 1) {
        EXPECT_FALSE(Core().GetNegotiatedCipher().empty());
        EXPECT_TRUE(Core().GetNegotiatedTlsVersion() == "TLSv1.3" ||
                    Core().GetNegotiatedTlsVersion() == "TLSv1.2")
            << Core().GetNegotiatedTlsVersion();
        EXPECT_EQ(Core().GetPeerCertificateSha256(), Device().Server().CertificateSha256());
    } else {
        EXPECT_EQ(Core().GetNegotiatedCipher(), "");
        EXPECT_EQ(Core().GetPeerCertificateSha256(), "");
    }

    EXPECT_EQ(Core().Disconnect(1), 1);
    EXPECT_EQ(Core().IsConnected(), 0);
    EXPECT_EQ(Core().Disconnect(1), 0);
    // The device sees the session end.
    const auto start = std::chrono::steady_clock::now();
    while (Device().Server().ActiveConnections() > 0 && SecondsSince(start) < 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Device().Server().ActiveConnections(), 0);
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

// An inquiry the device does not have at its version costs one exchange and fails
// with the device's "not in this protocol", for integers and records alike.
TEST_P(Session, InquiryOutsideTheVersionFailsAfterOneExchange) {
    struct Version {
        int major, minor;
    };
    for (const Version& v : {Version{3, 3}, Version{4, 4}, Version{4, 11}}) {
        SCOPED_TRACE(std::to_string(v.major) + "." + std::to_string(v.minor));
        SimOptions o;
        o.overrides.major = v.major;
        o.overrides.minor = v.minor;
        SimDevice device(o);
        ASSERT_TRUE(device.Start(true, true));
        std::string why;
        SimConnection c = ConnectRoad(Mode(), device.Port(Mode()), why);
        ASSERT_TRUE(c.core) << why;
        const long long before = c.core->GetRoundTripCount();
        int value = 0;
        tagUTIL_SPDF_SUPPORT_INFO pdf{};
        const int r = c.tcpVersion < 34   ? c.core->GetHDDCount(value)
                      : c.tcpVersion < 49 ? c.core->InquireEnhancedSecurityMode(value)
                                          : c.core->GetSearchablePDFSupportInfo(pdf);
        EXPECT_EQ(r, 0);
        EXPECT_EQ(ErrorOf(*c.core).code, QTCP_DEV_UNSUPPORTED);
        EXPECT_EQ(c.core->GetRoundTripCount(), before + 1);
        EXPECT_EQ(c.core->IsConnected(), 1);
    }
}

TEST_P(Session, ReconnectRebuildsLoginAndBoxAfterADrop) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    const size_t count = DocList().size();
    ASSERT_GT(count, 0u);

    mfpsim::FaultConfig drop;
    drop.dropOn = "DocList";
    Device().SetFaults(drop);
    std::vector<tagUTIL_DOCINFO> docs;
    EXPECT_EQ(Core().GetDocumentList(docs, 0), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_ERR_CLOSED);
    EXPECT_EQ(Core().IsConnected(), 0);
    EXPECT_TRUE(docs.empty());

    Device().ClearFaults();
    int status = -1;
    int colour = -1;
    ASSERT_EQ(Core().ReconnectInfinite(status, colour), 1) << status;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(colour, 0);
    EXPECT_EQ(Core().IsConnected(), 1);
    // The user and the box are logged in again: the box's documents list at once.
    EXPECT_EQ(DocList().size(), count);
    EXPECT_EQ(Device().Server().AcceptedConnections(), 2);
}

VESK_E2E_MODES(Session);

}  // namespace
}  // namespace vesk::test
