// CVESKMFPDevice's logins against the emulator: when the session counts as connected,
// the restrictions kept from the user and the account, refused logins, the inquiries about
// the current user and servers, and that passwords go nowhere but to the device. Behind
// scripted links that rewrite the restrictions a login returns or show the login forms
// sent: the restrictions merged from the account, the login each protocol takes, the
// security inquiry for received data and its trace, and memory exceptions.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "device/item_fixture.h"
#include "platform/charset.h"
#include "support/alloc_failure.h"
#include "support/scripted_links.h"
#include "tcpcore/tcpcore.h"
#include "tcpcore/wire.h"

namespace {

namespace tc = vesk::tcpcore;
using vesk::test::ScriptedLinks;
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

    // Each inquiry's result with the value it gave (braced: asked in this order).
    auto ask = [d](int (CVESKMFPDevice::*inquiry)(int&)) {
        int value = -1;
        const int result = (d->*inquiry)(value);
        return std::pair(result, value);
    };
    using P = std::vector<std::pair<int, int>>;
    EXPECT_EQ((P{ask(&CVESKMFPDevice::GetSimpleAuthEnable),
                 {d->SetSimpleAuthEnable(0), d->SetSimpleAuthEnable(7)},
                 ask(&CVESKMFPDevice::IsTrimUserNameInCaseOfLDAPServer),
                 ask(&CVESKMFPDevice::GetBoxAdminSupport),
                 ask(&CVESKMFPDevice::IsIOption),
                 {d->GetIOption(), d->IsEnhancedSecurityModeEnabled()}}),
              (P{{1, 1}, {1, 0}, {1, 1}, {1, 0}, {1, 3}, {3, 1}}));

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

// Replaces the restrictions that the device returns for a login of kind op.
void RewriteLoginReply(tc::Frame& frame, tc::Op op, const tagUTIL_DOCOPERATIONPERMISSION& perm) {
    if (frame.kind != tc::FrameKind::kReply || frame.op != op || frame.status != 0)
        return;
    tc::LoginReply reply;
    ASSERT_TRUE(tc::ParsePayload(frame, reply));
    reply.permission = perm;
    frame = tc::MakeFrame(frame.kind, frame.op, frame.seq, reply);
}

// The login forms the client sent, in order.
std::vector<tc::LoginForm> LoginForms(ScriptedLinks& links) {
    std::vector<tc::LoginForm> forms;
    for (const tc::Frame& f : links.Requests()) {
        tc::LoginRequest request;
        if (f.op == tc::Op::kUserLogin && tc::ParsePayload(f, request))
            forms.push_back(request.form);
    }
    return forms;
}

// A device that reports only the account's own restrictions: the first nine kinds
// merge with the user's, the others stay as the user login left them.
TEST_F(Login, AccountRestrictionsMergeIntoTheFirstNineKinds) {
    SimDevice& emu = Emulator({4, 11, 1, 3}, {}, false);
    tagUTIL_DOCOPERATIONPERMISSION user{};
    user.nColourForbidden = 1;
    user.nColorCopyForbidden = 1;
    tagUTIL_DOCOPERATIONPERMISSION account{};
    account.nCopyForbidden = 1;
    account.nBlackPrintForbidden = 1;
    account.nColorPrinterForbidden = 1;
    account.nColorSendPrintForbidden = 1;
    ScriptedLinks links(emu, {nullptr, [&](tc::Frame& f) {
                                  RewriteLoginReply(f, tc::Op::kUserLogin, user);
                                  RewriteLoginReply(f, tc::Op::kAccountLogin, account);
                              }});
    CVESKMFPDevice* d = AddDevice(1, 2);
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    ASSERT_EQ(UserLogin(d, L"alice", L"alice"), 1);
    ASSERT_EQ(AccountLogin(d, L"sales", L"1111"), 1);
    const std::vector<int> got = {d->GetColourForbidden(),
                                  d->GetCopyForbidden(),
                                  d->GetBlackPrintForbidden(),
                                  d->GetColorCopyForbidden(),
                                  d->GetColorPrinterForbidden(),
                                  d->GetColorSendPrintForbidden(),
                                  d->GetColorPrintScanFaxTXForbidden(),
                                  d->GetPrintForbidden()};
    EXPECT_EQ(got, (std::vector<int>{1, 1, 1, 1, 0, 0, 0, 0}));
}

TEST_F(Login, OldProtocolsKeepOnlyTheColourRestriction) {
    SimDevice& emu = Emulator({2, 5, 1, 3}, {}, false);
    tagUTIL_DOCOPERATIONPERMISSION none{};
    bool allowColour = false;
    ScriptedLinks links(emu, {nullptr, [&](tc::Frame& f) {
                                  if (allowColour)
                                      RewriteLoginReply(f, tc::Op::kAccountLogin, none);
                              }});
    CVESKMFPDevice* d = AddDevice(1, 2);
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    ASSERT_EQ(d->GetTCPVersion(), 25);
    // Bob may neither print in colour nor send colour; only the second comes back.
    ASSERT_EQ(UserLogin(d, L"bob", L"bob"), 1);
    EXPECT_EQ(d->GetColourForbidden(), 1);
    EXPECT_EQ(d->GetColourPrintForbidden(), 0);
    allowColour = true;
    ASSERT_EQ(AccountLogin(d, L"sales", L"1111"), 1);
    EXPECT_EQ(d->GetColourForbidden(), 1);
    EXPECT_EQ(LoginForms(links), std::vector<tc::LoginForm>{tc::LoginForm::kLegacy});
}

TEST_F(Login, VendorLoginFromProtocol40ForUserType7) {
    struct Case {
        int major, minor, userAuth;
        tc::LoginForm form;
    };
    const Case cases[] = {
        {4, 0, 7, tc::LoginForm::kVendor}, {4, 11, 7, tc::LoginForm::kVendor},
        {3, 9, 7, tc::LoginForm::kV2},     {4, 0, 1, tc::LoginForm::kV2},
        {2, 5, 7, tc::LoginForm::kLegacy},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor << " type " << c.userAuth);
        ScriptedLinks links(Emulator({c.major, c.minor, c.userAuth}, {}, false), {});
        CVESKMFPDevice* d = AddDevice(1, 2);
        ASSERT_EQ(d->Connect(nullptr, L""), -1051);
        ASSERT_EQ(UserLogin(d, L"service", L"service"), 1);
        EXPECT_EQ(d->GetConnected(), 1);
        EXPECT_EQ(LoginForms(links), std::vector<tc::LoginForm>{c.form});
    }
}

TEST_F(Login, CustomizedLoginOnlyForItsUserTypes) {
    static const char kData[] = "alice\0alice";
    static const char kWrong[] = "alice\0nope";
    for (int userAuth : {3, 8, 9, 1, 7, 0}) {
        SCOPED_TRACE(userAuth);
        ScriptedLinks links(Emulator({4, 11, userAuth, 2}, {}, false), {});
        CVESKMFPDevice* d = AddDevice(1, 2);
        d->Connect(nullptr, L"");
        const bool customized = userAuth == 3 || userAuth == 8 || userAuth == 9;
        tagUTIL_DETAIL_LOGIN_RESULT detail{};
        if (!customized) {
            EXPECT_EQ(d->CustomizedLogin(const_cast<char*>(kData), sizeof kData, detail, nullptr),
                      0);
            for (const tc::Frame& f : links.Requests())
                EXPECT_NE(f.op, tc::Op::kCustomLogin);
            continue;
        }
        char info[64] = {};
        int size = 0;
        int total = 0;
        EXPECT_EQ(d->GetCustomizedLoginInformation(0, info, sizeof info, size, total), 1);
        EXPECT_EQ(std::string(info, static_cast<size_t>(size)), "name;password");
        EXPECT_EQ(d->CustomizedLogin(const_cast<char*>(kWrong), sizeof kWrong, detail, nullptr), 0);
        EXPECT_EQ(d->GetConnected(), 0);
        EXPECT_EQ(d->CustomizedLogin(const_cast<char*>(kData), sizeof kData, detail, nullptr), 1);
        EXPECT_EQ(d->GetConnected(), 1);
        EXPECT_STREQ(detail.szUserName, "alice");
        // Connected: no second login.
        EXPECT_EQ(d->CustomizedLogin(const_cast<char*>(kData), sizeof kData, detail, nullptr), 0);
    }
}

TEST_F(Login, RxDataSecurityAnswersAndTheirTrace) {
    const std::string inside = "TL:inside BOOL CVESKMFPDevice::GetRXDataSecured()";
    // The trace lines since the last call.
    size_t seen = 0;
    auto newLines = [&] {
        std::vector<std::string> lines = TraceLines();
        lines.erase(lines.begin(), lines.begin() + static_cast<long>(seen));
        seen += lines.size();
        return lines;
    };
    for (int secured : {1, 0}) {
        CVESKMFPDevice* d =
            Connect({}, 1, [&](mfpsim::DeviceState& st) { st.identity.rxSecured = secured; });
        EXPECT_EQ(d->GetStoredRXDataSecured(), secured);
        newLines();
        EXPECT_EQ(d->GetRXDataSecured(), secured);
        EXPECT_EQ(newLines(),
                  (std::vector<std::string>{
                      inside, "Returning Value " + std::to_string(secured) + ", RXData Secured"}));
    }

    // A device that cannot tell: -1, at connect as well.
    auto rx = static_cast<std::uint16_t>(tc::Inquiry::kRxDataSecurity);
    ScriptedLinks links(
        Emulator({}, {}, false),
        {[rx](const tc::Frame& request, const tc::FrameEmitter& emit) {
             tc::InquireRequest in;
             if (request.op != tc::Op::kInquire || !tc::ParsePayload(request, in) || in.tag != rx)
                 return false;
             emit(vesk::test::FailureReply(request, QTCP_DEV_UNSUPPORTED));
             return true;
         },
         [rx](tc::Frame& f) {
             tc::ConnectReply reply;
             if (f.op != tc::Op::kConnect || f.kind != tc::FrameKind::kReply ||
                 !tc::ParsePayload(f, reply)) {
                 return;
             }
             reply.inquiries.items.erase(rx);
             f = tc::MakeFrame(f.kind, f.op, f.seq, reply, f.status, f.detail);
         }});
    CVESKMFPDevice* d = AddDevice(1, 2);
    ASSERT_EQ(d->Connect(nullptr, L""), 1);
    EXPECT_EQ(d->GetStoredRXDataSecured(), -1);
    newLines();
    EXPECT_EQ(d->GetRXDataSecured(), -1);
    const std::vector<std::string> lines = newLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], inside);
    EXPECT_EQ(lines.back(), "Error return from InquireSecuritySettingOfRXData Function");
}

// A memory exception inside a connect, a login or a disconnect gives -1001 and leaves
// the item able to connect and log in afterwards.
TEST_F(Login, MemoryExceptionsGive1001) {
    ScriptedLinks links(Emulator({4, 11, 1, 3}, {}, false), {});
    CVESKMFPDevice* d = AddDevice(1, 2);

    // Runs op with its 1st, 2nd, ... allocation failing until it completes (with
    // complete); prepare runs unarmed before each run. Returns the runs that gave -1001.
    auto eachFailure = [](const std::function<void()>& prepare, const std::function<int()>& op,
                          const std::vector<int>& allowed, int complete) {
        int memory = 0;
        prepare();
        const int runs = vesk::test::ForEachAllocationFailure(
            op,
            [&](const vesk::test::AllocationFailureRun& run) {
                if (!run.failed) {
                    EXPECT_EQ(run.result, complete);
                    return;
                }
                EXPECT_NE(std::find(allowed.begin(), allowed.end(), run.result), allowed.end())
                    << "allocation " << run.failAt << " gave " << run.result;
                memory += run.result == -1001;
                prepare();
            },
            20000);
        EXPECT_GT(runs, 0) << "no end";
        return memory;
    };

    // The library reports its own shortage as a failed call.
    const int connects =
        eachFailure([] {}, [&] { return d->Connect(nullptr, L""); },
                    {-1001, -1002, -1003, -1004, -1005, -1051, -1066, -1079, -1082}, -1051);
    EXPECT_GT(connects, 0);

    // The arguments are made before the failures are armed: they are the caller's.
    int result = 0;
    CString name;
    CString password;
    auto connectWith = [&](const wchar_t* n, const wchar_t* p, bool user) {
        ASSERT_EQ(d->Connect(nullptr, L""), -1051);
        if (user) {
            ASSERT_EQ(UserLogin(d, L"alice", L"alice"), 1);
        }
        name = n;
        password = p;
    };
    // The logins allocate little of their own: most runs fail inside the library, and
    // what counts is that every run ends in a known result.
    eachFailure([&] { connectWith(L"alice", L"alice", false); },
                [&] { return d->UserLogin(std::move(name), std::move(password), nullptr, result); },
                {-1001, 0, 1}, 1);
    EXPECT_EQ(d->GetConnected(), 0);

    eachFailure(
        [&] { connectWith(L"sales", L"1111", true); },
        [&] { return d->AccountLogin(std::move(name), std::move(password), nullptr, result); },
        {-1001, 0, 1}, 1);
    EXPECT_EQ(d->GetConnected(), 1);

    const int disconnects = eachFailure(
        [&] {
            if (!d->GetConnected()) {
                connectWith(L"sales", L"1111", true);
                ASSERT_EQ(AccountLogin(d, L"sales", L"1111"), 1);
            }
        },
        [&] { return d->Disconnect(); }, {-1001, -1021, 1}, 1);
    EXPECT_GT(disconnects, 0);
    EXPECT_EQ(d->GetConnected(), 0);
}

}  // namespace
