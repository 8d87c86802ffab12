// CVESKMFPDevice's logins against the emulator: when the session counts as connected,
// the restrictions kept from the user and the account, refused logins, the inquiries about
// the current user and servers, and that passwords go nowhere but to the device. Behind
// scripted links in this process: login_scripted_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "core/current_tcpcore.h"
#include "device/item_fixture.h"
#include "platform/charset.h"
#include "support/alloc_failure.h"
#include "tcpcore/tcpcore.h"
#include "tcpcore/wire.h"

namespace {

namespace tc = vesk::tcpcore;
using vesk::test::SimDevice;
using Login = vesk::test::ItemFixture;

TEST_F(Login, BoxAdministratorLogsInWhereUsersDoNot) {
    CVESKMFPDevice* d = Connect({4, 11, 0, 2}, -1052);
    EXPECT_EQ(UserLogin(d, L"alice", L"alice"), 0);
    EXPECT_EQ(d->GetConnected(), 0);
    ASSERT_EQ(UserLogin(d, L"BoxAdmin", L"admin"), 1);
    EXPECT_EQ(d->GetConnected(), 1);
    EXPECT_EQ(d->GetLastUserName(), L"BoxAdmin");
    EXPECT_EQ(d->GetBoxLogin(), 0);
    // The device sees the box administrator.
    EXPECT_EQ(d->GetRXDataSecured(), 2);
    // Once connected, another login is refused without asking the device.
    EXPECT_EQ(UserLogin(d, L"BoxAdmin", L"admin"), 0);
}

TEST_F(Login, AccountTrackingKeepsTheSessionWaitingForTheAccount) {
    CVESKMFPDevice* d = Connect({4, 11, 1, 3}, -1051);
    int result = 0;
    EXPECT_EQ(d->UserLogin(L"alice", L"wrong", nullptr, result), 0);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(UserLogin(d, L"alice", L"alice"), 1);
    EXPECT_EQ(d->GetConnected(), 0);
    EXPECT_EQ(d->GetLastUserName(), L"alice");

    EXPECT_EQ(AccountLogin(d, L"", L""), -1033);
    EXPECT_EQ(AccountLogin(d, L"sales", L"9999"), 0);
    EXPECT_EQ(d->GetConnected(), 0);
    ASSERT_EQ(AccountLogin(d, L"sales", L"1111"), 1);
    EXPECT_EQ(d->GetConnected(), 1);
    EXPECT_EQ(d->GetLastAccountName(), L"sales");
    // Connected, and the account type does not allow a second account login.
    EXPECT_EQ(AccountLogin(d, L"eng", L"2222"), 0);
    EXPECT_EQ(d->GetLastAccountName(), L"sales");
}

// Whether a user login completes the session, and what an account login does after
// it, by protocol and account type.
TEST_F(Login, UserAndAccountTypesDecideWhenTheSessionIsComplete) {
    struct Case {
        int major, minor, accountAuth;
        const wchar_t *user, *password;
        int connected;
        const wchar_t* account = nullptr;  // null: no account login
        const wchar_t* accountPassword = L"";
        int accountResult = 0;
    };
    const Case cases[] = {
        // Public needs no account from protocol 32.
        {3, 2, 1, L"PUBLIC", L"", 1},
        {3, 2, 1, L"alice", L"alice", 0},
        {3, 1, 1, L"Public", L"", 0},
        // Accounts not tracked: nothing to log into.
        {4, 11, 4, L"alice", L"alice", 1, L"sales", L"1111", 0},
        // Type 2 takes an empty account name.
        {4, 11, 2, L"alice", L"alice", 0, L"", L"", 1},
        // Type 6: the account is optional, and may still be given once connected.
        {4, 11, 6, L"alice", L"alice", 1, L"eng", L"2222", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor << " account type "
                                        << c.accountAuth << " " << vesk::WideToUtf8(c.user));
        CVESKMFPDevice* d = Connect({c.major, c.minor, 1, c.accountAuth}, -1051);
        ASSERT_EQ(UserLogin(d, c.user, c.password), 1);
        EXPECT_EQ(d->GetConnected(), c.connected);
        if (!c.account)
            continue;
        EXPECT_EQ(AccountLogin(d, c.account, c.accountPassword), c.accountResult);
        EXPECT_EQ(d->GetConnected(), 1);
        if (c.accountResult == 1) {
            EXPECT_EQ(d->GetLastAccountName(), c.account);
        }
    }
}

TEST_F(Login, ColourRestrictionOfTheUserSurvivesAnAccountThatAllowsColour) {
    CVESKMFPDevice* d = Connect({4, 11, 1, 3}, -1051);
    ASSERT_EQ(UserLogin(d, L"bob", L"bob"), 1);
    // Colour, colour send, colour print, copy, print.
    auto restrictions = [d] {
        return std::vector<int>{d->GetColourForbidden(), d->GetColorSendForbidden(),
                                d->GetColourPrintForbidden(), d->GetCopyForbidden(),
                                d->GetPrintForbidden()};
    };
    EXPECT_EQ(restrictions(), (std::vector<int>{1, 1, 1, 0, 0}));
    ASSERT_EQ(AccountLogin(d, L"sales", L"1111"), 1);
    EXPECT_EQ(restrictions(), (std::vector<int>{1, 1, 1, 0, 0}));
}

TEST_F(Login, EmptyNamesAndMissingSessionsAreRefused) {
    CVESKMFPDevice* unconnected = AddDevice(1, 2);
    unconnected->SetUserType(1);
    unconnected->SetAccountType(3);
    EXPECT_EQ(UserLogin(unconnected, L"", L"x"), -1033);
    // No communication object has ever been made.
    EXPECT_EQ(UserLogin(unconnected, L"alice", L"alice"), -1012);
    EXPECT_EQ(AccountLogin(unconnected, L"sales", L"1111"), -1012);

    SimDevice& emu = Emulator({4, 11, 1, 3});
    CVESKMFPDevice* d = Connect(emu, -1051);
    EXPECT_EQ(UserLogin(d, L"", L"alice"), -1033);

    // The device goes away: the session is gone.
    emu.Stop();
    CTcpCore* core = d->GetCurTcpCoreObject();
    for (int i = 0; i < 200 && core->IsConnected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(UserLogin(d, L"alice", L"alice"), -1012);
    EXPECT_EQ(AccountLogin(d, L"sales", L"1111"), -1012);
    EXPECT_EQ(d->GetConnected(), 0);
}

TEST_F(Login, CurrentUserAndServerInquiries) {
    CVESKMFPDevice* d = Connect({4, 11, 2}, -1051, [](mfpsim::DeviceState& st) {
        st.users["alice"].accountSync = 2;
        st.users["alice"].authServer = "LDAP-A";
        st.identity.authServers = {"LOCAL", "LDAP-A"};
        st.identity.trimLdapUserName = 1;
        st.identity.boxAdminSupport = 0;
        st.identity.ioption = 3;
        st.identity.enhancedSecurity = 1;
        st.identity.simpleAuth = 1;
    });
    ASSERT_EQ(UserLogin(d, L"alice", L"alice"), 1);

    EXPECT_EQ(d->SetCurrentUserInfo(), 1);
    EXPECT_EQ(d->GetLastUserName(), L"alice");
    EXPECT_EQ(d->GetAuthServer(), L"LDAP-A");
    CString account;
    EXPECT_EQ(d->GetAccountName4CurrentUser(account), 1);
    EXPECT_EQ(account, L"sales");
    EXPECT_EQ(d->GetAccSyncType(), 2);

    CArray<tagUTIL_AUTHSERVERINFO, tagUTIL_AUTHSERVERINFO&> servers;
    ASSERT_EQ(d->GetServerList(servers), 1);
    ASSERT_EQ(servers.GetSize(), 2);
    EXPECT_STREQ(servers[1].szServerName, "LDAP-A");
    EXPECT_EQ(d->SetServerInfo(2, L"LDAP-B", L"backup"), 1);
    EXPECT_EQ(d->SetServerInfo(2, nullptr, L""), 0);
    // A name the device refuses is not reported as set.
    EXPECT_EQ(d->SetServerInfo(9, L"LDAP-C", L""), 0);
    ASSERT_EQ(d->GetServerList(servers), 1);
    ASSERT_EQ(servers.GetSize(), 3);
    EXPECT_STREQ(servers[2].szServerName, "LDAP-B");

    int value = -1;
    EXPECT_EQ(d->GetSimpleAuthEnable(value), 1);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(d->SetSimpleAuthEnable(0), 1);
    EXPECT_EQ(d->SetSimpleAuthEnable(7), 0);
    EXPECT_EQ(d->IsTrimUserNameInCaseOfLDAPServer(value), 1);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(d->GetBoxAdminSupport(value), 1);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(d->IsIOption(value), 1);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(d->GetIOption(), 3);
    EXPECT_EQ(d->IsEnhancedSecurityModeEnabled(), 1);

    // Without a server login there is no server list to read or change.
    CVESKMFPDevice* plain = Connect({4, 11, 1}, -1051);
    CArray<tagUTIL_AUTHSERVERINFO, tagUTIL_AUTHSERVERINFO&> none;
    EXPECT_EQ(plain->GetServerList(none), 0);
    EXPECT_EQ(plain->SetServerInfo(0, L"LDAP-B", L""), 0);
    EXPECT_EQ(none.GetSize(), 0);
}

// Whether text holds the secret in UTF-8, UTF-16 or UTF-32 (little-endian).
bool Contains(const std::string& text, const std::wstring& secret) {
    std::string utf16;
    std::string utf32;
    for (wchar_t c : secret) {
        const auto u = static_cast<std::uint32_t>(c);
        for (int i = 0; i < 4; ++i)
            utf32 += static_cast<char>((u >> (8 * i)) & 0xff);
        utf16 += utf32.substr(utf32.size() - 4, 2);
    }
    return text.find(vesk::WideToUtf8(secret)) != std::string::npos ||
           text.find(utf16) != std::string::npos || text.find(utf32) != std::string::npos;
}

TEST_F(Login, PasswordsNeverReachDiskOrTrace) {
    const std::wstring userPassword = L"Us3r-Pa55-7731";
    const std::wstring accountPassword = L"Acc0unt-Pa55-4412";
    const std::wstring wrongPassword = L"Wr0ng-Pa55-9090";
    SimDevice& emu = Emulator(
        {4, 11, 1, 3},
        [&](mfpsim::DeviceState& st) {
            st.users["alice"].password = vesk::WideToUtf8(userPassword);
            st.accounts["sales"].password = vesk::WideToUtf8(accountPassword);
        },
        true, true);
    TreeRoot().SetSaveUserName(1);
    TreeRoot().SetSaveAccountName(1);
    CVESKMFPDevice* d = Connect(emu, -1051, 1);
    EXPECT_EQ(UserLogin(d, L"alice", wrongPassword.c_str()), 0);
    ASSERT_EQ(UserLogin(d, L"alice", userPassword.c_str()), 1);
    EXPECT_EQ(AccountLogin(d, L"sales", wrongPassword.c_str()), 0);
    ASSERT_EQ(AccountLogin(d, L"sales", accountPassword.c_str()), 1);
    ASSERT_EQ(d->GetConnected(), 1);
    EXPECT_EQ(d->Reconnect(), 1);
    EXPECT_EQ(d->Disconnect(), 1);

    // Every byte the library wrote below the test's profile, registry included.
    std::string disk;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(Root())) {
        if (entry.is_regular_file())
            disk += vesk::test::ReadBytes(entry.path());
    }
    ASSERT_NE(disk.find("alice"), std::string::npos) << "the registry file was not written";
    std::string trace;
    for (const std::string& line : TraceLines())
        trace += line + "\n";
    for (const std::wstring& secret : {userPassword, accountPassword, wrongPassword}) {
        EXPECT_FALSE(Contains(disk, secret));
        EXPECT_FALSE(Contains(trace, secret));
    }
}

}  // namespace
