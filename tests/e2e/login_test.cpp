// Logins end to end: user, account, vendor and customized logins with the restriction
// records the device keeps for each, refusals with the device's codes, and the
// user-dependent inquiry values a login reply brings.
#include <cstring>

#include "support/sim_fixture.h"

namespace vesk::test {
namespace {

using Login = E2E;

tagUTIL_DOCOPERATIONPERMISSION Permission(const mfpsim::Restrictions& r) {
    tagUTIL_DOCOPERATIONPERMISSION p{};
    static_assert(sizeof p == sizeof r);
    std::memcpy(&p, r.data(), sizeof p);
    return p;
}

bool Same(const tagUTIL_DOCOPERATIONPERMISSION& a, const tagUTIL_DOCOPERATIONPERMISSION& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_P(Login, EachUserGetsTheRestrictionsTheDeviceKeeps) {
    ASSERT_TRUE(Connect());
    const mfpsim::DeviceState state = Device().State();
    // bob may not use colour, carol may not print, the second name (UTF-8) may not scan.
    const std::string users[] = {"alice", "bob", "carol", "\xe5\xb1\xb1\xe7\x94\xb0"};
    for (const std::string& name : users) {
        SCOPED_TRACE(name);
        const mfpsim::User& u = state.users.at(name);
        tagUTIL_DOCOPERATIONPERMISSION perm{};
        std::memset(&perm, 0x55, sizeof perm);
        ASSERT_EQ(Core().UserLogin2(name.c_str(), static_cast<int>(name.size()), u.password.c_str(),
                                    perm),
                  1)
            << ErrorOf(Core()).code;
        EXPECT_TRUE(Same(perm, Permission(u.restrictions)));

        tagUTIL_CURRENT_USER_INFO info{};
        ASSERT_EQ(Core().GetUserInfo4CurrentUser2(info), 1);
        EXPECT_EQ(std::string(info.szUserName), name);
        EXPECT_STREQ(info.szServerName, "LOCAL");
        char account[QTCP_ACCOUNTNAME_SIZE] = "garbage";
        ASSERT_EQ(Core().GetAccountName4CurrentUser(account), 1);
        EXPECT_EQ(std::string(account), u.accountName);
    }
    const tagUTIL_DOCOPERATIONPERMISSION bob = Permission(state.users.at("bob").restrictions);
    EXPECT_EQ(bob.nColourForbidden, 1);
    EXPECT_EQ(bob.nColourPrintForbidden, 1);
    EXPECT_EQ(Permission(state.users.at("carol").restrictions).nPrintForbidden, 1);
}

TEST_P(Login, RefusedLoginReportsTheDeviceCodeAndKeepsTheSession) {
    ASSERT_TRUE(Connect());
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    EXPECT_EQ(Core().UserLogin2("alice", 5, "wrong", perm), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_LOGIN_REFUSED);
    EXPECT_EQ(Core().UserLogin2("nobody", 6, "x", perm), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_LOGIN_REFUSED);
    // Without a login the device lists no boxes.
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(Core().GetBoxList(boxes), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_NO_SESSION);

    // A device that is busy says so with its detail.
    mfpsim::FaultConfig busy;
    busy.errors.push_back({"UserLogin", QTCP_DEV_BUSY, 7, 0, 1});
    Device().SetFaults(busy);
    EXPECT_EQ(Core().UserLogin2("alice", 5, "alice", perm), 0);
    LastError e = ErrorOf(Core());
    EXPECT_EQ(e.code, QTCP_DEV_BUSY);
    EXPECT_EQ(e.detail, 7);

    // The refusals left the session standing; the next login succeeds and clears the code.
    EXPECT_EQ(Core().IsConnected(), 1);
    EXPECT_EQ(Core().UserLogin2("alice", 5, "alice", perm), 1);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_OK);
    EXPECT_EQ(Core().GetBoxList(boxes), 1);
}

TEST_P(Login, NameLengthBoundsWhatIsSent) {
    ASSERT_TRUE(Connect());
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    // Only the first five bytes of the name count.
    EXPECT_EQ(Core().UserLogin2("alice-and-more", 5, "alice", perm), 1) << ErrorOf(Core()).code;
    tagUTIL_CURRENT_USER_INFO info{};
    ASSERT_EQ(Core().GetUserInfo4CurrentUser2(info), 1);
    EXPECT_STREQ(info.szUserName, "alice");
}

TEST_P(Login, LoginReplyCarriesTheUserDependentInquiries) {
    ASSERT_TRUE(Connect());
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    ASSERT_EQ(Core().UserLogin2("alice", 5, "alice", perm), 1);
    const long long afterLogin = Core().GetRoundTripCount();
    int rx = -1;
    ASSERT_EQ(Core().InquireSecuritySettingOfRXData(rx), 1);
    EXPECT_EQ(rx, 1);
    // The box administrator sees the RX data as its own; the value came with the login.
    ASSERT_EQ(Core().UserLogin2("boxadmin", 8, "admin", perm), 1);
    ASSERT_EQ(Core().InquireSecuritySettingOfRXData(rx), 1);
    EXPECT_EQ(rx, 2);
    EXPECT_EQ(Core().GetRoundTripCount(), afterLogin + 1);
}

TEST_P(Login, BelowProtocol30OnlyTheLegacyFormsWork) {
    SimOptions o;
    o.overrides.major = 2;
    o.overrides.minor = 5;
    ASSERT_TRUE(StartDevice(o));
    ASSERT_TRUE(Connect());
    ASSERT_EQ(m_conn.tcpVersion, 25);
    int colour = -1;
    ASSERT_EQ(Core().UserLogin("bob", 3, "bob", colour), 1) << ErrorOf(Core()).code;
    EXPECT_EQ(colour, 1);
    ASSERT_EQ(Core().UserLogin("alice", 5, "alice", colour), 1);
    EXPECT_EQ(colour, 0);
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    EXPECT_EQ(Core().UserLogin2("alice", 5, "alice", perm), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_UNSUPPORTED);
}

TEST_P(Login, AccountLoginAddsTheAccountsRestrictions) {
    SimOptions o;
    o.edit = [](mfpsim::DeviceState& s) { s.identity.accountAuthType = 1; };
    ASSERT_TRUE(StartDevice(o));
    ASSERT_TRUE(Connect());
    EXPECT_EQ(m_conn.accountAuthType, 1);
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    // The account comes after the user.
    EXPECT_EQ(Core().AccountLogin2("eng", 3, "2222", perm), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_NO_SESSION);
    ASSERT_EQ(Core().UserLogin2("alice", 5, "alice", perm), 1);
    EXPECT_EQ(perm.nColourForbidden, 0);
    // Boxes need the account too.
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(Core().GetBoxList(boxes), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_NO_SESSION);

    // The first form hands back the colour restriction alone.
    int colour = -1;
    ASSERT_EQ(Core().AccountLogin("guest", 5, "", colour), 1) << ErrorOf(Core()).code;
    EXPECT_EQ(colour, 0);

    EXPECT_EQ(Core().AccountLogin2("eng", 3, "1111", perm), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_LOGIN_REFUSED);
    ASSERT_EQ(Core().AccountLogin2("eng", 3, "2222", perm), 1) << ErrorOf(Core()).code;
    EXPECT_EQ(perm.nColourForbidden, 1);
    EXPECT_EQ(perm.nPrintForbidden, 0);
    char account[QTCP_ACCOUNTNAME_SIZE] = {};
    ASSERT_EQ(Core().GetAccountName4CurrentUser(account), 1);
    EXPECT_STREQ(account, "eng");
    EXPECT_EQ(Core().GetBoxList(boxes), 1);
}

TEST_P(Login, VendorLoginIsForServiceUsersOnly) {
    ASSERT_TRUE(Connect());
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    EXPECT_EQ(Core().VendorLogin("alice", 5, "alice", perm), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_FORBIDDEN);
    std::memset(&perm, 0x55, sizeof perm);
    ASSERT_EQ(Core().VendorLogin("service", 7, "service", perm), 1) << ErrorOf(Core()).code;
    EXPECT_TRUE(Same(perm, tagUTIL_DOCOPERATIONPERMISSION{}));
    tagUTIL_CURRENT_USER_INFO info{};
    ASSERT_EQ(Core().GetUserInfo4CurrentUser2(info), 1);
    EXPECT_STREQ(info.szUserName, "service");
}

TEST_P(Login, CustomizedLoginUsesTheDevicesOwnData) {
    SimOptions o;
    o.edit = [](mfpsim::DeviceState& s) { s.identity.userAuthType = 3; };
    ASSERT_TRUE(StartDevice(o));
    ASSERT_TRUE(Connect());
    EXPECT_EQ(m_conn.userAuthType, 3);

    // What the login screen needs, whole and cut to a small buffer.
    const std::string expected = Device().State().identity.customizedLoginInfo;
    char info[128] = {};
    int dataSize = -1;
    int totalSize = -1;
    ASSERT_EQ(Core().GetCustomizedLoginInformation(0, info, sizeof info, dataSize, totalSize), 1);
    EXPECT_EQ(std::string(info, static_cast<size_t>(dataSize)), expected);
    EXPECT_EQ(totalSize, static_cast<int>(expected.size()));
    char small[6] = {'#', '#', '#', '#', '#', '#'};
    ASSERT_EQ(Core().GetCustomizedLoginInformation2(0, small, 4, dataSize, totalSize), 1);
    EXPECT_EQ(dataSize, 4);
    EXPECT_EQ(totalSize, static_cast<int>(expected.size()));
    EXPECT_EQ(small[4], '#');

    const char wrong[] = "carol\0nope";
    tagUTIL_DETAIL_LOGIN_RESULT result{};
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    EXPECT_EQ(Core().CustomizedLogin(wrong, sizeof wrong, result, perm), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_LOGIN_REFUSED);
    EXPECT_EQ(result.nResult, 0);

    const char right[] = "carol\0carol";
    ASSERT_EQ(Core().CustomizedLogin(right, sizeof right, result, perm), 1) << ErrorOf(Core()).code;
    EXPECT_EQ(result.nResult, 1);
    EXPECT_STREQ(result.szUserName, "carol");
    EXPECT_STREQ(result.szServerName, "LOCAL");
    EXPECT_EQ(perm.nPrintForbidden, 1);
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(Core().GetBoxList(boxes), 1);
}

VESK_E2E_MODES(Login);

}  // namespace
}  // namespace vesk::test
