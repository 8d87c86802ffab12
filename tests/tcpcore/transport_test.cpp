// The real link over loopback TCP and TLS against an in-test device server: the
// connect handshake, streams, time-outs of a stalled peer, dropped connections,
// cancel, and a peer that sends garbage.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "frame_server.h"
#include "tcpcore/link.h"
#include "tcpcore/tcpcore.h"
#include "test_device.h"

namespace vesk::tcpcore {
namespace {

using test::DeviceScript;
using test::FrameServer;
using test::MakeBox;
using test::MakeScriptedSession;
using test::Pattern;
using Ms = std::chrono::milliseconds;

auto Since(std::chrono::steady_clock::time_point t) {
    return std::chrono::steady_clock::now() - t;
}

int LastCode(CTcpCore& c) {
    int code = 0, detail = 0;
    c.GetLastErrorCode(code, detail);
    return code;
}

class Transport : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        DropParkedLink();
        script = std::make_shared<DeviceScript>();
        script->boxes = {MakeBox(1, "one", "me")};
        auto s = script;
        server = FrameServer::Start([s] { return MakeScriptedSession(s); }, tls());
        ASSERT_TRUE(server);
    }
    void TearDown() override {
        script->release = true;
        server.reset();
        DropParkedLink();
    }
    int mode() const { return GetParam(); }
    bool tls() const { return GetParam() == 1; }

    // Query, pick the class, connect: as the device item does it.
    std::unique_ptr<CTcpCore> Connect(int ioMs = 5000) {
        CTcpCoreV20 probe;
        probe.SetTimeouts(2000, ioMs);
        EXPECT_EQ(probe.Initialize(mode(), nullptr), 1);
        tagQTCP_DEVICEINFO info{};
        int major = 0, minor = 0, canceled = 0, opened = 0;
        if (probe.GetDeviceInfo(&info, major, minor, "127.0.0.1", canceled, opened, server->port(),
                                5, 12, 12, nullptr) != 1) {
            ADD_FAILURE() << "device info: " << LastCode(probe);
            return nullptr;
        }
        EXPECT_STREQ(info.szDeviceID, script->deviceId.c_str());
        probe.Uninitialize();
        CTcpCore factory;
        std::unique_ptr<CTcpCore> core(factory.GetTcpCoreObject(major, minor));
        core->SetTimeouts(2000, ioMs);
        EXPECT_EQ(core->Initialize(mode(), nullptr), 1);
        int user = 0, account = 0, pub = 0;
        if (core->Connect("127.0.0.1", server->port(), user, account, pub, nullptr) != 1) {
            ADD_FAILURE() << "connect: " << LastCode(*core);
            return nullptr;
        }
        return core;
    }

    std::shared_ptr<DeviceScript> script;
    std::unique_ptr<FrameServer> server;
};

INSTANTIATE_TEST_SUITE_P(PlainAndTls, Transport, ::testing::Values(0, 1),
                         [](const auto& p) { return p.param ? "Tls" : "Plain"; });

TEST_P(Transport, ConnectReusesTheQueryConnectionAndRecordsTheCipher) {
    script->inquiries.SetInt(Inquiry::kHddCount, 1);
    auto core = Connect();
    ASSERT_TRUE(core);
    EXPECT_EQ(server->accepted(), 1);
    EXPECT_EQ(core->GetRoundTripCount(), 1);
    int hdd = 0;
    EXPECT_EQ(core->GetHDDCount(hdd), 1);
    EXPECT_EQ(hdd, 1);
    if (tls()) {
        EXPECT_FALSE(core->GetNegotiatedCipher().empty());
        EXPECT_EQ(core->GetNegotiatedTlsVersion(), "TLSv1.3");
        EXPECT_EQ(core->GetPeerCertificateSha256().size(), 64u);
    } else {
        EXPECT_EQ(core->GetNegotiatedCipher(), "");
    }
    std::vector<tagUTIL_BOXINFO> boxes;
    ASSERT_EQ(core->GetBoxList(boxes), 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_STREQ(boxes[0].szBoxName, "one");
    EXPECT_EQ(core->Disconnect(1), 1);
}

TEST_P(Transport, DocumentArrivesWhole) {
    script->document = Pattern((3u << 20) + 17, 9);
    script->chunk = 256u << 10;
    auto core = Connect();
    ASSERT_TRUE(core);
    ASSERT_EQ(core->OpenDocument(4, tagUTIL_OPENDOCPARAM{}), 1);
    std::vector<std::uint8_t> buf(1 << 20), all;
    int n;
    while ((n = core->ReadDocument(buf.data(), 1 << 20)) > 0)
        all.insert(all.end(), buf.begin(), buf.begin() + n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(all, script->document);
    EXPECT_EQ(core->CloseDocument(0), 1);
    EXPECT_EQ(core->GetLastStackError(), -1);
}

TEST_P(Transport, StalledPeerNeverHoldsTheClientPastItsTimeout) {
    script->stallOn = Op::kHello;
    CTcpCoreV20 probe;
    probe.SetTimeouts(2000, 300);
    ASSERT_EQ(probe.Initialize(mode(), nullptr), 1);
    tagQTCP_DEVICEINFO info{};
    int major = 0, minor = 0, canceled = 0, opened = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(probe.GetDeviceInfo(&info, major, minor, "127.0.0.1", canceled, opened,
                                  server->port(), 0, 0, 0, nullptr),
              0);
    EXPECT_LT(Since(start), Ms(1500));
    EXPECT_EQ(LastCode(probe), QTCP_ERR_TIMEOUT);
    EXPECT_EQ(opened, 0);
}

TEST_P(Transport, StallInTheMiddleOfADocumentTimesOut) {
    script->document = Pattern(1 << 20);
    script->stallAfter = 100000;
    auto core = Connect(300);
    ASSERT_TRUE(core);
    ASSERT_EQ(core->OpenDocument(4, 1, 0x81), 1);
    std::vector<std::uint8_t> buf(1 << 20);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(core->ReadDocument(buf.data(), 1 << 20), 100000);
    EXPECT_EQ(core->ReadDocument(buf.data(), 1 << 20), -1);
    EXPECT_LT(Since(start), Ms(1500));
    EXPECT_EQ(LastCode(*core), QTCP_ERR_TIMEOUT);
    EXPECT_EQ(core->CloseDocument(1), 1);
    EXPECT_EQ(core->IsConnected(), 0);
}

TEST_P(Transport, DroppedConnectionMidDocumentFailsTheReadAndClosesCleanly) {
    script->document = Pattern(2 << 20);
    script->dropAfter = 300000;
    auto core = Connect();
    ASSERT_TRUE(core);
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    ASSERT_EQ(core->UserLogin2("alice", 5, "secret", perm), 1);
    ASSERT_EQ(core->OpenDocument(4, 1, 0x81), 1);
    std::vector<std::uint8_t> buf(1 << 20);
    std::size_t got = 0;
    int n;
    while ((n = core->ReadDocument(buf.data(), 1 << 20)) > 0)
        got += static_cast<std::size_t>(n);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(got, 300000u);
    EXPECT_EQ(LastCode(*core), QTCP_ERR_CLOSED);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(core->CloseDocument(1), 1);
    EXPECT_LT(Since(start), Ms(200));
    EXPECT_EQ(core->IsConnected(), 0);
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(core->GetBoxList(boxes), 0);

    // The device is back: the session and the login come back with it.
    script->dropAfter = -1;
    int status = -1, colour = -1;
    ASSERT_EQ(core->ReconnectInfinite(status, colour), 1);
    EXPECT_EQ(core->GetBoxList(boxes), 1);
    std::lock_guard lock(script->m);
    EXPECT_EQ(script->logins, (std::vector<std::string>{"user:alice", "user:alice"}));
}

long long g_cancelAt = 0;
long __stdcall CancelAfterBytes(tagQTCP_COMMSTATE* st) {
    return st->nState == QTCP_STATE_RECEIVING && st->llDone >= g_cancelAt ? 1 : 0;
}

TEST_P(Transport, CallbackCancelsBetweenChunksAndTheSessionSurvives) {
    script->document = Pattern(16u << 20);
    script->chunk = 128u << 10;
    auto core = Connect();
    ASSERT_TRUE(core);
    ASSERT_EQ(core->OpenDocument(4, 1, 0x81), 1);
    g_cancelAt = 512 << 10;
    core->SetCallbackCommunicate(CancelAfterBytes);
    std::vector<std::uint8_t> buf(1 << 20);
    int n;
    std::size_t got = 0;
    while ((n = core->ReadDocument(buf.data(), 1 << 20)) > 0)
        got += static_cast<std::size_t>(n);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(LastCode(*core), QTCP_ERR_CANCELLED);
    EXPECT_LT(got, 4u << 20);
    core->SetCallbackCommunicate(nullptr);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(core->CloseDocument(1), 1);
    EXPECT_LT(Since(start), Ms(3000));
    EXPECT_EQ(script->aborts, 1);
    EXPECT_EQ(core->IsConnected(), 1);
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(core->GetBoxList(boxes), 1);
    EXPECT_EQ(server->accepted(), 1);  // same connection throughout
}

TEST(TransportConnect, UnreachablePortFailsAtOnce) {
    // Take a free port and let it go, so nothing listens there.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    CTcpCoreV31 core;
    core.Initialize(0, nullptr);
    int u, ac, p;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(core.Connect("127.0.0.1", ntohs(a.sin_port), u, ac, p, nullptr), 0);
    EXPECT_EQ(LastCode(core), QTCP_ERR_CONNECT);
    EXPECT_LT(Since(start), Ms(1000));
    EXPECT_EQ(core.Connect("127.0.0.1", 0, u, ac, p, nullptr), 0);
    EXPECT_EQ(LastCode(core), QTCP_ERR_CONNECT);
}

TEST(TransportConnect, SilentPeerDuringTlsHandshakeHitsTheConnectTimeout) {
    auto server = FrameServer::StartRaw([](int, const std::atomic<bool>& stop) {
        while (!stop)
            std::this_thread::sleep_for(Ms(10));
    });
    ASSERT_TRUE(server);
    CTcpCoreV31 core;
    core.SetTimeouts(300, 5000);
    core.Initialize(1, nullptr);
    int u, ac, p;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(core.Connect("127.0.0.1", server->port(), u, ac, p, nullptr), 0);
    EXPECT_EQ(LastCode(core), QTCP_ERR_TIMEOUT);
    EXPECT_GE(Since(start), Ms(250));
    EXPECT_LT(Since(start), Ms(1500));
}

// A peer that answers Hello with the given bytes, then waits.
std::unique_ptr<FrameServer> Answering(std::vector<std::uint8_t> bytes) {
    return FrameServer::StartRaw([bytes](int fd, const std::atomic<bool>& stop) {
        std::uint8_t req[256];
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, 2000) <= 0 || ::recv(fd, req, sizeof req, 0) <= 0)
            return;
        (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        while (!stop) {
            pf = {fd, POLLIN, 0};
            if (poll(&pf, 1, 20) > 0) {
                char c;
                if (::recv(fd, &c, 1, 0) <= 0)
                    return;
            }
        }
    });
}

int AskHello(int port, int ioMs) {
    CTcpCoreV20 probe;
    probe.SetTimeouts(1000, ioMs);
    probe.Initialize(0, nullptr);
    tagQTCP_DEVICEINFO info{};
    int major = 0, minor = 0, canceled = 0, opened = 0;
    EXPECT_EQ(probe.GetDeviceInfo(&info, major, minor, "127.0.0.1", canceled, opened, port, 0, 0, 0,
                                  nullptr),
              0);
    EXPECT_EQ(opened, 0);
    return LastCode(probe);
}

TEST(TransportHostilePeer, GarbageAbsurdSizesAndMismatchedRepliesAreRefused) {
    // seq 1 is the Hello the client sends first.
    HelloReply hello;
    hello.deviceId = "1.2.3";
    Frame good = MakeFrame(FrameKind::kReply, Op::kHello, 1, hello);

    std::vector<std::uint8_t> huge = EncodeFrame(good);
    huge[4] = huge[5] = huge[6] = huge[7] = 0xFF;  // 4 GiB payload announced
    huge.resize(kHeaderSize);
    auto start = std::chrono::steady_clock::now();
    auto s1 = Answering(huge);
    EXPECT_EQ(AskHello(s1->port(), 3000), QTCP_ERR_PROTOCOL);
    EXPECT_LT(Since(start), Ms(1500));  // refused from the header, no waiting for 4 GiB

    auto s2 = Answering({0x16, 0x03, 0x01, 0x00, 0x10});  // TLS bytes on a plain link
    EXPECT_EQ(AskHello(s2->port(), 3000), QTCP_ERR_PROTOCOL);

    Frame wrongSeq = good;
    wrongSeq.seq = 99;
    auto s3 = Answering(EncodeFrame(wrongSeq));
    EXPECT_EQ(AskHello(s3->port(), 3000), QTCP_ERR_PROTOCOL);

    // A reply cut short, then silence: the time-out, not a hang.
    std::vector<std::uint8_t> cut = EncodeFrame(good);
    cut.resize(cut.size() - 3);
    auto s4 = Answering(cut);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(AskHello(s4->port(), 300), QTCP_ERR_TIMEOUT);
    EXPECT_LT(Since(start), Ms(1500));

    // A well-framed reply whose text claims more bytes than the payload holds.
    Frame lying = good;
    lying.payload[0] = 0xFF;
    auto s5 = Answering(EncodeFrame(lying));
    EXPECT_EQ(AskHello(s5->port(), 3000), QTCP_ERR_PROTOCOL);
}

}  // namespace
}  // namespace vesk::tcpcore
