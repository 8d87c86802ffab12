// Logins through the client, for what the client itself does with them: the device's
// refusal codes and details, the session kept after a refusal, the name bounded by its
// length, the inquiry values a login reply brings, and the customized login data cut to
// the caller's buffer. The restriction record on the wire: tests/tcpcore/wire_test.cpp.
// Which login form an item takes, the restrictions it keeps from the user and the
// account, and the customized login itself are tested with the item
// (tests/device/login_test.cpp).
#include <tuple>

#include "support/sim_fixture.h"

namespace vesk::test {
namespace {

using Login = E2E;

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

VESK_E2E_MODES(Login);

}  // namespace
}  // namespace vesk::test
