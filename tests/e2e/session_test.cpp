// Session set-up and logins end to end: device query, class choice, Connect on the
// query's connection, the unit it names; the device's login refusal codes and details, the
// session kept after a refusal, the name bounded by its length, the inquiry values a login
// reply brings, and the customized login data cut to the caller's buffer. What the item
// asks per version, its session rebuilt after a drop, which login form it takes, the
// restrictions it keeps and the customized login itself: tests/device (connect_test,
// login_test); the client's own rebuild: fault_test.cpp; inquiries the device cannot
// answer: tests/tcpcore/client_test.cpp; the restriction record on the wire:
// tests/tcpcore/wire_test.cpp.
#include <thread>
#include <tuple>

#include "support/sim_fixture.h"
#include "tools/mfpsim/lib/model.h"

namespace vesk::test {
namespace {

using Session = E2E;
using Login = E2E;

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

TEST_P(Login, RefusalsCarryTheDeviceCodesAndKeepTheSession) {
    ASSERT_TRUE(Connect());
    // A call refused with the device's code and detail.
    auto refused = [&](int result, int code, int detail = 0) {
        EXPECT_EQ(std::tuple(result, ErrorOf(Core()).code, ErrorOf(Core()).detail),
                  std::tuple(0, code, detail));
    };
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    std::vector<tagUTIL_BOXINFO> boxes;
    refused(Core().UserLogin2("alice", 5, "wrong", perm), QTCP_DEV_LOGIN_REFUSED);
    refused(Core().UserLogin2("nobody", 6, "x", perm), QTCP_DEV_LOGIN_REFUSED);
    // Without a login the device lists no boxes; the vendor login is for service users.
    refused(Core().GetBoxList(boxes), QTCP_DEV_NO_SESSION);
    refused(Core().VendorLogin("alice", 5, "alice", perm), QTCP_DEV_FORBIDDEN);
    // A device that is busy says so with its detail.
    mfpsim::FaultConfig busy;
    busy.errors.push_back({"UserLogin", QTCP_DEV_BUSY, 7, 0, 1});
    Device().SetFaults(busy);
    refused(Core().UserLogin2("alice", 5, "alice", perm), QTCP_DEV_BUSY, 7);

    // The refusals left the session standing; the next login succeeds and clears the
    // code. Only the first five bytes of the name count.
    EXPECT_EQ(Core().IsConnected(), 1);
    EXPECT_EQ(Core().UserLogin2("alice-and-more", 5, "alice", perm), 1);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_OK);
    tagUTIL_CURRENT_USER_INFO info{};
    ASSERT_EQ(Core().GetUserInfo4CurrentUser2(info), 1);
    EXPECT_STREQ(info.szUserName, "alice");
    EXPECT_STREQ(info.szServerName, "LOCAL");
    EXPECT_EQ(Core().GetBoxList(boxes), 1);

    // The user-dependent inquiry values come with the login reply: the box
    // administrator sees the RX data as its own, and asking costs no exchange.
    const long long afterLogin = Core().GetRoundTripCount();
    int rx = -1;
    ASSERT_EQ(Core().InquireSecuritySettingOfRXData(rx), 1);
    EXPECT_EQ(rx, 1);
    ASSERT_EQ(Core().UserLogin2("boxadmin", 8, "admin", perm), 1);
    ASSERT_EQ(Core().InquireSecuritySettingOfRXData(rx), 1);
    EXPECT_EQ(rx, 2);
    EXPECT_EQ(Core().GetRoundTripCount(), afterLogin + 1);
}

TEST_P(Login, CustomizedLoginDataIsCutToTheCallersBuffer) {
    SimOptions o;
    o.edit = [](mfpsim::DeviceState& s) { s.identity.userAuthType = 3; };
    ASSERT_TRUE(StartDevice(o));
    ASSERT_TRUE(Connect());
    EXPECT_EQ(m_conn.userAuthType, 3);

    const std::string expected = Device().State().identity.customizedLoginInfo;
    char small[6] = {'#', '#', '#', '#', '#', '#'};
    int dataSize = -1;
    int totalSize = -1;
    ASSERT_EQ(Core().GetCustomizedLoginInformation2(0, small, 4, dataSize, totalSize), 1);
    EXPECT_EQ(std::tuple(std::string(small, 5), dataSize, totalSize),
              std::tuple(expected.substr(0, 4) + "#", 4, static_cast<int>(expected.size())));
}

VESK_E2E_MODES(Session);
VESK_E2E_MODES(Login);

}  // namespace
}  // namespace vesk::test
