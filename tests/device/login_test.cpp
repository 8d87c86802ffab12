// CVESKMFPDevice's logins against the emulator: which login a device takes, when the
// session counts as connected, the restrictions kept from the user and the account,
// the customized login, the inquiries about the current user and servers, and that
// passwords go nowhere but to the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#include "core/current_tcpcore.h"
#include "platform/charset.h"
#include "support/alloc_failure.h"
#include "support/sim_fixture.h"
#include "tcpcore/tcpcore.h"
#include "tcpcore/wire.h"

namespace {

namespace tc = vesk::tcpcore;
using vesk::test::ModelId;
using vesk::test::ScriptedLinks;
using vesk::test::SimDevice;

void Configure(mfpsim::DeviceState& st, int major, int minor, int userAuth, int accountAuth) {
    st.identity.identifier = ModelId(140);
    st.identity.major = major;
    st.identity.minor = minor;
    st.identity.userAuthType = userAuth;
    st.identity.accountAuthType = accountAuth;
}

vesk::test::SimEdit Device(int major, int minor, int userAuth, int accountAuth) {
    return [=](mfpsim::DeviceState& st) { Configure(st, major, minor, userAuth, accountAuth); };
}

// Replaces the restrictions that the device returns for a login of kind op.
void RewriteLoginReply(tc::Frame& frame, tc::Op op, const tagUTIL_DOCOPERATIONPERMISSION& perm) {
    if (frame.kind != tc::FrameKind::kReply || frame.op != op || frame.status != 0)
        return;
    tc::LoginReply reply;
    ASSERT_TRUE(tc::ParsePayload(frame, reply));
    reply.permission = perm;
    frame.payload.clear();
    tc::Writer w(frame.payload);
    reply.Put(w);
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

using Login = vesk::test::DeviceFixture;

TEST_F(Login, BoxAdministratorLogsInWhereUsersDoNot) {
    SimDevice emu(Device(4, 11, 0, 2));
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    ASSERT_EQ(d->Connect(nullptr, L""), -1052);

    int result = 0;
    EXPECT_EQ(d->UserLogin(L"alice", L"alice", nullptr, result), 0);
    EXPECT_EQ(d->GetConnected(), 0);
    ASSERT_EQ(d->UserLogin(L"BoxAdmin", L"admin", nullptr, result), 1);
    EXPECT_EQ(d->GetConnected(), 1);
    EXPECT_EQ(d->GetLastUserName(), L"BoxAdmin");
    EXPECT_EQ(d->GetBoxLogin(), 0);
    // The device sees the box administrator.
    EXPECT_EQ(d->GetRXDataSecured(), 2);
    // Once connected, another login is refused without asking the device.
    EXPECT_EQ(d->UserLogin(L"BoxAdmin", L"admin", nullptr, result), 0);
}

TEST_F(Login, AccountTrackingKeepsTheSessionWaitingForTheAccount) {
    SimDevice emu(Device(4, 11, 1, 3));
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);

    int result = 0;
    EXPECT_EQ(d->UserLogin(L"alice", L"wrong", nullptr, result), 0);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(d->UserLogin(L"alice", L"alice", nullptr, result), 1);
    EXPECT_EQ(d->GetConnected(), 0);
    EXPECT_EQ(d->GetLastUserName(), L"alice");

    EXPECT_EQ(d->AccountLogin(L"", L"", nullptr, result), -1033);
    EXPECT_EQ(d->AccountLogin(L"sales", L"9999", nullptr, result), 0);
    EXPECT_EQ(d->GetConnected(), 0);
    ASSERT_EQ(d->AccountLogin(L"sales", L"1111", nullptr, result), 1);
    EXPECT_EQ(d->GetConnected(), 1);
    EXPECT_EQ(d->GetLastAccountName(), L"sales");
    // Connected, and the account type does not allow a second account login.
    EXPECT_EQ(d->AccountLogin(L"eng", L"2222", nullptr, result), 0);
    EXPECT_EQ(d->GetLastAccountName(), L"sales");
}

TEST_F(Login, AccountLoginFollowsTheAccountType) {
    int result = 0;
    {
        // Accounts not tracked: nothing to log into.
        SimDevice emu(Device(4, 11, 1, 4));
        ASSERT_TRUE(emu.Start());
        CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
        ASSERT_EQ(d->Connect(nullptr, L""), -1051);
        ASSERT_EQ(d->UserLogin(L"alice", L"alice", nullptr, result), 1);
        EXPECT_EQ(d->GetConnected(), 1);
        EXPECT_EQ(d->AccountLogin(L"sales", L"1111", nullptr, result), 0);
    }
    {
        // Type 2 takes an empty account name.
        SimDevice emu(Device(4, 11, 1, 2));
        ASSERT_TRUE(emu.Start());
        CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
        ASSERT_EQ(d->Connect(nullptr, L""), -1051);
        ASSERT_EQ(d->UserLogin(L"alice", L"alice", nullptr, result), 1);
        EXPECT_EQ(d->GetConnected(), 0);
        EXPECT_EQ(d->AccountLogin(L"", L"", nullptr, result), 1);
        EXPECT_EQ(d->GetConnected(), 1);
    }
    {
        // Type 6: the account is optional, and may still be given once connected.
        SimDevice emu(Device(4, 11, 1, 6));
        ASSERT_TRUE(emu.Start());
        CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
        ASSERT_EQ(d->Connect(nullptr, L""), -1051);
        ASSERT_EQ(d->UserLogin(L"alice", L"alice", nullptr, result), 1);
        EXPECT_EQ(d->GetConnected(), 1);
        EXPECT_EQ(d->AccountLogin(L"eng", L"2222", nullptr, result), 1);
        EXPECT_EQ(d->GetLastAccountName(), L"eng");
    }
}

TEST_F(Login, ColourRestrictionOfTheUserSurvivesAnAccountThatAllowsColour) {
    SimDevice emu(Device(4, 11, 1, 3));
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    int result = 0;
    ASSERT_EQ(d->UserLogin(L"bob", L"bob", nullptr, result), 1);
    EXPECT_EQ(d->GetColourForbidden(), 1);
    EXPECT_EQ(d->GetColorSendForbidden(), 1);
    EXPECT_EQ(d->GetColourPrintForbidden(), 1);
    EXPECT_EQ(d->GetCopyForbidden(), 0);
    ASSERT_EQ(d->AccountLogin(L"sales", L"1111", nullptr, result), 1);
    EXPECT_EQ(d->GetColourForbidden(), 1);
    EXPECT_EQ(d->GetColourPrintForbidden(), 1);
    EXPECT_EQ(d->GetPrintForbidden(), 0);
}

// A device that reports only the account's own restrictions: the first nine kinds
// merge with the user's, the others stay as the user login left them.
TEST_F(Login, AccountRestrictionsMergeIntoTheFirstNineKinds) {
    SimDevice emu(Device(4, 11, 1, 3));
    tagUTIL_DOCOPERATIONPERMISSION user{};
    user.nColourForbidden = 1;
    user.nColorCopyForbidden = 1;
    tagUTIL_DOCOPERATIONPERMISSION account{};
    account.nCopyForbidden = 1;
    account.nBlackPrintForbidden = 1;
    account.nColorPrinterForbidden = 1;
    account.nColorSendPrintForbidden = 1;
    ScriptedLinks links(emu.Engine(), {nullptr, [&](tc::Frame& f) {
                                           RewriteLoginReply(f, tc::Op::kUserLogin, user);
                                           RewriteLoginReply(f, tc::Op::kAccountLogin, account);
                                       }});
    CVESKMFPDevice* d = AddDevice(1, 2);
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    int result = 0;
    ASSERT_EQ(d->UserLogin(L"alice", L"alice", nullptr, result), 1);
    ASSERT_EQ(d->AccountLogin(L"sales", L"1111", nullptr, result), 1);
    EXPECT_EQ(d->GetColourForbidden(), 1);
    EXPECT_EQ(d->GetCopyForbidden(), 1);
    EXPECT_EQ(d->GetBlackPrintForbidden(), 1);
    EXPECT_EQ(d->GetColorCopyForbidden(), 1);
    EXPECT_EQ(d->GetColorPrinterForbidden(), 0);
    EXPECT_EQ(d->GetColorSendPrintForbidden(), 0);
    EXPECT_EQ(d->GetColorPrintScanFaxTXForbidden(), 0);
    EXPECT_EQ(d->GetPrintForbidden(), 0);
}

TEST_F(Login, OldProtocolsKeepOnlyTheColourRestriction) {
    SimDevice emu(Device(2, 5, 1, 3));
    tagUTIL_DOCOPERATIONPERMISSION none{};
    bool allowColour = false;
    ScriptedLinks links(emu.Engine(), {nullptr, [&](tc::Frame& f) {
                                           if (allowColour)
                                               RewriteLoginReply(f, tc::Op::kAccountLogin, none);
                                       }});
    CVESKMFPDevice* d = AddDevice(1, 2);
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    ASSERT_EQ(d->GetTCPVersion(), 25);
    int result = 0;
    // Bob may neither print in colour nor send colour; only the second comes back.
    ASSERT_EQ(d->UserLogin(L"bob", L"bob", nullptr, result), 1);
    EXPECT_EQ(d->GetColourForbidden(), 1);
    EXPECT_EQ(d->GetColourPrintForbidden(), 0);
    allowColour = true;
    ASSERT_EQ(d->AccountLogin(L"sales", L"1111", nullptr, result), 1);
    EXPECT_EQ(d->GetColourForbidden(), 1);
    EXPECT_EQ(LoginForms(links), std::vector<tc::LoginForm>{tc::LoginForm::kLegacy});
}

TEST_F(Login, PublicNeedsNoAccountFromProtocol32) {
    struct Case {
        int minor;
        const wchar_t* user;
        const wchar_t* password;
        int connected;
    };
    const Case cases[] = {
        {2, L"PUBLIC", L"", 1},
        {2, L"alice", L"alice", 0},
        {1, L"Public", L"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "3." << c.minor);
        SimDevice emu(Device(3, c.minor, 1, 1));
        ASSERT_TRUE(emu.Start());
        CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
        ASSERT_EQ(d->Connect(nullptr, L""), -1051);
        int result = 0;
        ASSERT_EQ(d->UserLogin(c.user, c.password, nullptr, result), 1);
        EXPECT_EQ(d->GetConnected(), c.connected);
    }
}

TEST_F(Login, EmptyNamesAndMissingSessionsAreRefused) {
    int result = 0;
    CVESKMFPDevice* unconnected = AddDevice(1, 2);
    unconnected->SetUserType(1);
    unconnected->SetAccountType(3);
    EXPECT_EQ(unconnected->UserLogin(L"", L"x", nullptr, result), -1033);
    // No communication object has ever been made.
    EXPECT_EQ(unconnected->UserLogin(L"alice", L"alice", nullptr, result), -1012);
    EXPECT_EQ(unconnected->AccountLogin(L"sales", L"1111", nullptr, result), -1012);

    SimDevice emu(Device(4, 11, 1, 3));
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    EXPECT_EQ(d->UserLogin(L"", L"alice", nullptr, result), -1033);

    // The device goes away: the session is gone.
    emu.Stop();
    CTcpCore* core = d->GetCurTcpCoreObject();
    for (int i = 0; i < 200 && core->IsConnected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(d->UserLogin(L"alice", L"alice", nullptr, result), -1012);
    EXPECT_EQ(d->AccountLogin(L"sales", L"1111", nullptr, result), -1012);
    EXPECT_EQ(d->GetConnected(), 0);
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
        SimDevice emu(Device(c.major, c.minor, c.userAuth, 0));
        ScriptedLinks links(emu.Engine(), {});
        CVESKMFPDevice* d = AddDevice(1, 2);
        ASSERT_EQ(d->Connect(nullptr, L""), -1051);
        int result = 0;
        ASSERT_EQ(d->UserLogin(L"service", L"service", nullptr, result), 1);
        EXPECT_EQ(d->GetConnected(), 1);
        EXPECT_EQ(LoginForms(links), std::vector<tc::LoginForm>{c.form});
    }
}

TEST_F(Login, CustomizedLoginOnlyForItsUserTypes) {
    static const char kData[] = "alice\0alice";
    static const char kWrong[] = "alice\0nope";
    for (int userAuth : {3, 8, 9, 1, 7, 0}) {
        SCOPED_TRACE(userAuth);
        SimDevice emu(Device(4, 11, userAuth, 2));
        ScriptedLinks links(emu.Engine(), {});
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

TEST_F(Login, CurrentUserAndServerInquiries) {
    SimDevice emu([](mfpsim::DeviceState& st) {
        Configure(st, 4, 11, 2, 0);
        st.users["alice"].accountSync = 2;
        st.users["alice"].authServer = "LDAP-A";
        st.identity.authServers = {"LOCAL", "LDAP-A"};
        st.identity.trimLdapUserName = 1;
        st.identity.boxAdminSupport = 0;
        st.identity.ioption = 3;
        st.identity.enhancedSecurity = 1;
        st.identity.simpleAuth = 1;
    });
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    int result = 0;
    ASSERT_EQ(d->UserLogin(L"alice", L"alice", nullptr, result), 1);

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
}

TEST_F(Login, ServerListNeedsAServerLogin) {
    SimDevice emu(Device(4, 11, 1, 0));
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    CArray<tagUTIL_AUTHSERVERINFO, tagUTIL_AUTHSERVERINFO&> servers;
    EXPECT_EQ(d->GetServerList(servers), 0);
    EXPECT_EQ(d->SetServerInfo(0, L"LDAP-B", L""), 0);
    EXPECT_EQ(servers.GetSize(), 0);
}

TEST_F(Login, RxDataSecurityAnswersAndTheirTrace) {
    const std::string inside = "TL:inside BOOL CVESKMFPDevice::GetRXDataSecured()";
    for (int secured : {1, 0}) {
        SimDevice emu([&](mfpsim::DeviceState& st) {
            Configure(st, 4, 11, 0, 0);
            st.identity.rxSecured = secured;
        });
        ASSERT_TRUE(emu.Start());
        CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
        ASSERT_EQ(d->Connect(nullptr, L""), 1);
        EXPECT_EQ(d->GetStoredRXDataSecured(), secured);
        const size_t before = TraceLines().size();
        EXPECT_EQ(d->GetRXDataSecured(), secured);
        std::vector<std::string> lines = TraceLines();
        lines.erase(lines.begin(), lines.begin() + static_cast<long>(before));
        EXPECT_EQ(lines, (std::vector<std::string>{inside, secured == 1
                                                               ? "Returning Value 1, RXData Secured"
                                                               : "Returning Value 0, RXData "
                                                                 "Secured"}));
    }

    // A device that cannot tell: -1, at connect as well.
    SimDevice emu(Device(4, 11, 0, 0));
    ScriptedLinks links(
        emu.Engine(),
        {[](const tc::Frame& request, const tc::FrameEmitter& emit) {
             tc::InquireRequest in;
             if (request.op != tc::Op::kInquire || !tc::ParsePayload(request, in) ||
                 in.tag != static_cast<std::uint16_t>(tc::Inquiry::kRxDataSecurity)) {
                 return false;
             }
             emit(vesk::test::FailureReply(request, QTCP_DEV_UNSUPPORTED));
             return true;
         },
         [](tc::Frame& f) {
             tc::ConnectReply reply;
             if (f.op != tc::Op::kConnect || f.kind != tc::FrameKind::kReply ||
                 !tc::ParsePayload(f, reply)) {
                 return;
             }
             reply.inquiries.items.erase(static_cast<std::uint16_t>(tc::Inquiry::kRxDataSecurity));
             f.payload.clear();
             tc::Writer w(f.payload);
             reply.Put(w);
         }});
    CVESKMFPDevice* d = AddDevice(1, 2);
    ASSERT_EQ(d->Connect(nullptr, L""), 1);
    EXPECT_EQ(d->GetStoredRXDataSecured(), -1);
    EXPECT_EQ(d->GetRXDataSecured(), -1);
    std::vector<std::string> lines = TraceLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], inside);
    EXPECT_EQ(lines.back(), "Error return from InquireSecuritySettingOfRXData Function");
}

// Every byte the library wrote below the test's profile, registry included.
std::string EverythingOnDisk(const std::filesystem::path& root) {
    std::string all;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            all += vesk::test::ReadBytes(entry.path());
    }
    return all;
}

bool Contains(const std::string& haystack, const std::wstring& secret) {
    const std::string utf8 = vesk::WideToUtf8(secret);
    std::string utf32;
    std::string utf16;
    for (wchar_t c : secret) {
        const auto u = static_cast<std::uint32_t>(c);
        for (int i = 0; i < 4; ++i)
            utf32 += static_cast<char>((u >> (8 * i)) & 0xff);
        utf16 += static_cast<char>(u & 0xff);
        utf16 += static_cast<char>((u >> 8) & 0xff);
    }
    return haystack.find(utf8) != std::string::npos || haystack.find(utf32) != std::string::npos ||
           haystack.find(utf16) != std::string::npos;
}

TEST_F(Login, PasswordsNeverReachDiskOrTrace) {
    const std::wstring userPassword = L"Us3r-Pa55-7731";
    const std::wstring accountPassword = L"Acc0unt-Pa55-4412";
    const std::wstring wrongPassword = L"Wr0ng-Pa55-9090";
    SimDevice emu([&](mfpsim::DeviceState& st) {
        Configure(st, 4, 11, 1, 3);
        st.users["alice"].password = vesk::WideToUtf8(userPassword);
        st.accounts["sales"].password = vesk::WideToUtf8(accountPassword);
    });
    ASSERT_TRUE(emu.Start(true, true));
    TreeRoot().SetSaveUserName(1);
    TreeRoot().SetSaveAccountName(1);
    CVESKMFPDevice* d = AddDevice(emu.Port(), emu.TlsPort(), 1);
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    int result = 0;
    EXPECT_EQ(d->UserLogin(L"alice", wrongPassword.c_str(), nullptr, result), 0);
    ASSERT_EQ(d->UserLogin(L"alice", userPassword.c_str(), nullptr, result), 1);
    EXPECT_EQ(d->AccountLogin(L"sales", wrongPassword.c_str(), nullptr, result), 0);
    ASSERT_EQ(d->AccountLogin(L"sales", accountPassword.c_str(), nullptr, result), 1);
    ASSERT_EQ(d->GetConnected(), 1);
    EXPECT_EQ(d->Reconnect(), 1);
    EXPECT_EQ(d->Disconnect(), 1);

    const std::string disk = EverythingOnDisk(Root());
    ASSERT_NE(disk.find("alice"), std::string::npos) << "the registry file was not written";
    std::string trace;
    for (const std::string& line : TraceLines())
        trace += line + "\n";
    for (const std::wstring& secret : {userPassword, accountPassword, wrongPassword}) {
        EXPECT_FALSE(Contains(disk, secret));
        EXPECT_FALSE(Contains(trace, secret));
    }
}

// A memory exception inside a connect, a login or a disconnect gives -1001 and leaves
// the item able to connect and log in afterwards.
TEST_F(Login, MemoryExceptionsGive1001) {
    SimDevice emu(Device(4, 11, 1, 3));
    ScriptedLinks links(emu.Engine(), {});
    CVESKMFPDevice* d = AddDevice(1, 2);

    // Runs op with its nth allocation failing for n = 1, 2, ... until it completes;
    // prepare runs unarmed before each run. Returns how many runs gave -1001.
    auto eachFailure = [&](const std::function<void()>& prepare, const std::function<int()>& op,
                           const std::vector<int>& allowed, int complete) {
        int memory = 0;
        for (long n = 1;; ++n) {
            if (n > 20000) {
                ADD_FAILURE() << "no end";
                return memory;
            }
            prepare();
            vesk::test::FailAllocationAt(n);
            const int result = op();
            const bool failed = vesk::test::AllocationFailureHappened();
            vesk::test::FailAllocationAt(0);
            if (!failed) {
                EXPECT_EQ(result, complete);
                return memory;
            }
            EXPECT_NE(std::find(allowed.begin(), allowed.end(), result), allowed.end())
                << "allocation " << n << " gave " << result;
            memory += result == -1001;
        }
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
    auto arguments = [&](const wchar_t* n, const wchar_t* p) {
        name = n;
        password = p;
    };
    // The logins allocate little of their own: most runs fail inside the library, and
    // what counts is that every run ends in a known result.
    eachFailure(
        [&] {
            ASSERT_EQ(d->Connect(nullptr, L""), -1051);
            arguments(L"alice", L"alice");
        },
        [&] { return d->UserLogin(std::move(name), std::move(password), nullptr, result); },
        {-1001, 0, 1}, 1);
    EXPECT_EQ(d->GetConnected(), 0);

    eachFailure(
        [&] {
            ASSERT_EQ(d->Connect(nullptr, L""), -1051);
            ASSERT_EQ(d->UserLogin(L"alice", L"alice", nullptr, result), 1);
            arguments(L"sales", L"1111");
        },
        [&] { return d->AccountLogin(std::move(name), std::move(password), nullptr, result); },
        {-1001, 0, 1}, 1);
    EXPECT_EQ(d->GetConnected(), 1);

    const int disconnects = eachFailure(
        [&] {
            if (!d->GetConnected()) {
                ASSERT_EQ(d->Connect(nullptr, L""), -1051);
                ASSERT_EQ(d->UserLogin(L"alice", L"alice", nullptr, result), 1);
                ASSERT_EQ(d->AccountLogin(L"sales", L"1111", nullptr, result), 1);
            }
        },
        [&] { return d->Disconnect(); }, {-1001, -1021, 1}, 1);
    EXPECT_GT(disconnects, 0);
    EXPECT_EQ(d->GetConnected(), 0);
}

}  // namespace
