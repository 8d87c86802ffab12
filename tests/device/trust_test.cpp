// The device's TLS certificate: recorded on first use, refused when another one is
// presented (before any login data leaves the client), and the rule that a device
// known by its certificate is never reached in the clear unless the user allowed it.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "device/item_fixture.h"
#include "support/tampering_peer.h"
#include "tcpcore/tcpcore.h"

namespace {

using vesk::test::SimDevice;
using vesk::test::TamperingPeer;

constexpr int kCertificateChanged = -1090;
constexpr int kUserLoginNeeded = -1051;

bool PassThrough(vesk::tcpcore::Frame&) {
    return true;
}

using Trust = vesk::test::ItemFixture;

TEST_F(Trust, FirstUseRecordsTheCertificateAndAnotherOneNeverSeesTheLogin) {
    SimDevice& emu = Emulator({4, 11, 1}, {}, false, true);
    const int tlsPort = emu.TlsPort();
    CVESKMFPDevice* d = Connect(emu, kUserLoginNeeded);
    EXPECT_EQ(d->GetTrustState(), CVESKMFPDevice::kTrustNew);
    const std::string genuine = d->GetPresentedFingerprint();
    ASSERT_EQ(genuine.size(), 64u);
    EXPECT_EQ(d->GetRecordedFingerprint(), genuine);
    EXPECT_EQ(d->Disconnect(), 1);

    ASSERT_EQ(d->Connect(nullptr, L""), kUserLoginNeeded);
    EXPECT_EQ(d->GetTrustState(), CVESKMFPDevice::kTrustTrusted);
    ASSERT_EQ(UserLogin(d, L"alice", L"alice"), 1);
    EXPECT_EQ(d->Disconnect(), 1);

    // Someone else answers on the device's address and TLS port, with its own
    // certificate, passing everything on to the real device.
    emu.Stop();
    TamperingPeer middle(emu, 1, PassThrough, tlsPort);
    ASSERT_EQ(middle.Port(), tlsPort);
    EXPECT_EQ(d->Connect(nullptr, L""), kCertificateChanged);
    EXPECT_EQ(
        std::tuple(d->GetTrustState(), d->GetConnectFailureCode(), d->GetRecordedFingerprint(),
                   d->GetPresentedFingerprint().size(), d->GetConnected()),
        std::tuple(CVESKMFPDevice::kTrustChanged, QTCP_ERR_CERT_CHANGED, genuine, 64u, 0));
    EXPECT_NE(d->GetPresentedFingerprint(), genuine);
    EXPECT_NE(UserLogin(d, L"alice", L"alice"), 1);
    // Not a frame reached the middle, so neither did the name or the password.
    EXPECT_TRUE(middle.Received().empty());

    // Accepted explicitly, the new certificate is the trusted one.
    ASSERT_EQ(d->TrustCertificate(""), 1);
    EXPECT_EQ(d->Connect(nullptr, L""), kUserLoginNeeded);
    EXPECT_EQ(d->GetTrustState(), CVESKMFPDevice::kTrustTrusted);
    EXPECT_EQ(d->Disconnect(), 1);
}

TEST_F(Trust, PinnedDeviceIsNotReachedInTheClearUnlessAllowed) {
    SimDevice& emu = Emulator({4, 11, 1});
    // The plain port is watched: a peer that passes everything on and keeps it.
    TamperingPeer plain(emu, 0, PassThrough);
    ASSERT_GT(plain.Port(), 0);
    CVESKMFPDevice* d = AddDevice(plain.Port(), ClosedPort());
    // Pinned ahead of time; the TLS port is blocked.
    EXPECT_EQ(d->TrustCertificate("xyz"), 0);
    ASSERT_EQ(d->TrustCertificate(std::string(64, 'a')), 1);
    EXPECT_NE(d->Connect(nullptr, L""), kUserLoginNeeded);
    EXPECT_EQ(d->GetConnected(), 0);
    EXPECT_TRUE(plain.Received().empty());

    ASSERT_EQ(d->SetAllowPlain(1), 1);
    EXPECT_EQ(d->Connect(nullptr, L""), kUserLoginNeeded);
    EXPECT_EQ(d->GetLastTCPComm(), 0);
    EXPECT_EQ(d->GetTrustState(), CVESKMFPDevice::kTrustNone);
    EXPECT_FALSE(plain.Received().empty());
    EXPECT_EQ(d->Disconnect(), 1);

    // TLS only, asked for once or kept as the device's setting, pinned or not.
    CVESKMFPDevice* fresh = AddDevice(plain.Port(), ClosedPort());
    const size_t before = plain.Received().size();
    fresh->RequireTlsOnce();
    EXPECT_NE(fresh->Connect(nullptr, L""), kUserLoginNeeded);
    ASSERT_EQ(fresh->SetTlsOnly(1), 1);
    EXPECT_NE(fresh->Connect(nullptr, L""), kUserLoginNeeded);
    EXPECT_EQ(plain.Received().size(), before);
    ASSERT_EQ(fresh->SetTlsOnly(0), 1);
    EXPECT_EQ(fresh->Connect(nullptr, L""), kUserLoginNeeded);
    EXPECT_EQ(fresh->Disconnect(), 1);
}

// Another thread's Connect replaces the process's communication object only once the
// login under way on it has finished.
std::atomic<bool> g_loginWaiting{false};

long __stdcall NoteWaiting(tagQTCP_COMMSTATE* state) {
    if (state->nState == QTCP_STATE_WAITING)
        g_loginWaiting = true;
    return 0;
}

TEST_F(Trust, ConnectOnAnotherThreadWaitsForTheLoginUnderWay) {
    SimDevice& slow = Emulator({4, 11, 1});
    CVESKMFPDevice* a = Connect(slow, kUserLoginNeeded);
    CVESKMFPDevice* b = AddDevice(Emulator({}).Port(), ClosedPort());
    mfpsim::FaultConfig lag;
    lag.latencyMs = 400;
    slow.SetFaults(lag);

    g_loginWaiting = false;
    int login = 0;
    std::thread t([&] {
        int result = 0;
        login = a->UserLogin(L"alice", L"alice", NoteWaiting, result);
    });
    for (int i = 0; i < 500 && !g_loginWaiting; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(g_loginWaiting);
    EXPECT_EQ(b->Connect(nullptr, L""), 1);
    t.join();
    EXPECT_EQ(login, 1);
    EXPECT_EQ(a->GetConnected(), 0);  // ended by b's connect, after its login
    EXPECT_EQ(b->GetConnected(), 1);
    EXPECT_EQ(b->Disconnect(), 1);
}

}  // namespace
