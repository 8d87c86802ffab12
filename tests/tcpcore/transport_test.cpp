// The socket link's own faults, below what the emulator can be made to do: nothing
// listening, a peer that never completes TLS, a peer that resets the connection or
// ends TLS in the middle of a frame, and a peer that answers the first request with
// hostile bytes. Streams, stalls, drops and cancels over real TCP and TLS are the
// end-to-end suite's, against the emulator.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/loopback.h"
#include "support/sim_fixture.h"
#include "tcpcore/link.h"
#include "tcpcore/tcpcore.h"
#include "tcpcore/wire.h"

namespace vesk::tcpcore {
namespace {

using Ms = std::chrono::milliseconds;
using vesk::test::ErrorOf;
using vesk::test::LoopbackListener;
using vesk::test::PeerClose;

auto Since(std::chrono::steady_clock::time_point t) {
    return std::chrono::steady_clock::now() - t;
}

// Reads the first request, answers it with the given bytes (none: stays silent), then
// holds the connection until the client leaves.
struct RawPeer {
    explicit RawPeer(std::vector<std::uint8_t> answer)
        : listener([this, answer](int fd) {
              std::uint8_t buf[512];
              if (!answer.empty() && listener.WaitReadable(fd) &&
                  vesk::test::PeerReceive(fd, buf, sizeof buf) > 0)
                  vesk::test::PeerSend(fd, answer.data(), answer.size());
              while (listener.WaitReadable(fd) &&
                     vesk::test::PeerReceive(fd, buf, sizeof buf) > 0) {
              }
              PeerClose(fd);
          }) {}
    int port() const { return listener.Port(); }
    LoopbackListener listener;
};

std::unique_ptr<DeviceLink> Open(int port, int mode) {
    WaitControl wc;
    wc.deadline = Deadline::In(std::chrono::seconds(5));
    LinkStatus st = LinkStatus::kOk;
    auto link = OpenSocketLink(LinkTarget{"127.0.0.1", port, mode}, wc, st);
    EXPECT_EQ(st, LinkStatus::kOk);
    return link;
}

// Waits for the peer to finish, and a little for its last bytes to arrive.
void AwaitPeer(const std::atomic<int>& done, int count) {
    for (int i = 0; i < 1000 && done < count; ++i)
        std::this_thread::sleep_for(Ms(5));
    std::this_thread::sleep_for(Ms(50));
}

TEST(TransportConnect, UnreachablePortFailsAtOnce) {
    CTcpCoreV31 core;
    core.Initialize(0, nullptr);
    int u, ac, p;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(core.Connect("127.0.0.1", vesk::test::ClosedLoopbackPort(), u, ac, p, nullptr), 0);
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_CONNECT);
    EXPECT_LT(Since(start), Ms(1000));
    EXPECT_EQ(core.Connect("127.0.0.1", 0, u, ac, p, nullptr), 0);
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_CONNECT);
}

TEST(TransportConnect, SilentPeerDuringTlsHandshakeHitsTheConnectTimeout) {
    RawPeer peer({});
    ASSERT_GT(peer.port(), 0);
    CTcpCoreV31 core;
    core.SetTimeouts(300, 5000);
    core.Initialize(1, nullptr);
    int u, ac, p;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(core.Connect("127.0.0.1", peer.port(), u, ac, p, nullptr), 0);
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_TIMEOUT);
    EXPECT_GE(Since(start), Ms(250));
    EXPECT_LT(Since(start), Ms(1500));
}

// A reset connection is a closed one, whether the link meets it reading or sending.
TEST(TransportSocketLink, ResetByThePeerIsClosedForReceiveAndSend) {
    std::atomic<bool> go{false};
    std::atomic<int> resets{0};
    LoopbackListener peer([&](int fd) {
        while (!go && !peer.Stopping())  // not before the client's links are open
            std::this_thread::sleep_for(Ms(5));
        PeerClose(fd, true);
        ++resets;
    });
    auto reader = Open(peer.Port(), 0);
    auto writer = Open(peer.Port(), 0);
    go = true;
    ASSERT_TRUE(reader && writer);
    AwaitPeer(resets, 2);
    WaitControl wc;
    wc.deadline = Deadline::In(std::chrono::seconds(2));
    Frame f;
    EXPECT_EQ(reader->Receive(f, wc), LinkStatus::kClosed);
    EXPECT_EQ(writer->Send(MakeEmptyFrame(FrameKind::kRequest, Op::kHello, 1), wc),
              LinkStatus::kClosed);
    EXPECT_EQ(writer->Send(MakeEmptyFrame(FrameKind::kRequest, Op::kHello, 2), wc),
              LinkStatus::kClosed);
}

// TLS ended after part of a frame: the part arrives with the end in one read, and the
// read that asks for the rest reports the end the first one met.
TEST(TransportSocketLink, TlsEndInsideAFrameIsReportedByTheNextRead) {
    std::vector<std::uint8_t> part = EncodeFrame(
        MakeFrame(FrameKind::kReply, Op::kHello, 1, HelloReply{"1.2.3", "M", "S", 4, 9}));
    part.resize(part.size() - 3);
    std::atomic<int> done{0};
    LoopbackListener peer([&](int fd) {
        vesk::test::PeerSend(fd, part.data(), part.size());
        PeerClose(fd);
        ++done;
    });
    const vesk::test::LoopbackTlsFront tls(peer.Port());
    ASSERT_GT(tls.Port(), 0);
    auto link = Open(tls.Port(), 1);
    ASSERT_TRUE(link);
    AwaitPeer(done, 1);
    WaitControl wc;
    wc.deadline = Deadline::In(std::chrono::seconds(2));
    Frame f;
    EXPECT_EQ(link->Receive(f, wc), LinkStatus::kClosed);
    EXPECT_EQ(done, 1);
}

TEST(TransportHostilePeer, GarbageAbsurdSizesAndMismatchedRepliesAreRefused) {
    // seq 1 is the Hello the client sends first.
    HelloReply hello;
    hello.deviceId = "1.2.3";
    const Frame good = MakeFrame(FrameKind::kReply, Op::kHello, 1, hello);
    std::vector<std::uint8_t> huge = EncodeFrame(good);
    huge[4] = huge[5] = huge[6] = huge[7] = 0xFF;  // 4 GiB payload announced
    huge.resize(kHeaderSize);
    Frame wrongSeq = good;
    wrongSeq.seq = 99;
    Frame wrongOp = good;
    wrongOp.op = Op::kConnect;
    std::vector<std::uint8_t> cut = EncodeFrame(good);
    cut.resize(cut.size() - 3);
    Frame lying = good;  // well framed, but its text claims more than the payload holds
    lying.payload[0] = 0xFF;

    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        int ioMs;
        int code;
    } cases[] = {
        // Refused from the header, without waiting for 4 GiB.
        {"absurd size", huge, 3000, QTCP_ERR_PROTOCOL},
        {"TLS bytes on a plain link", {0x16, 0x03, 0x01, 0x00, 0x10}, 3000, QTCP_ERR_PROTOCOL},
        {"reply to another request", EncodeFrame(wrongSeq), 3000, QTCP_ERR_PROTOCOL},
        {"reply to another operation", EncodeFrame(wrongOp), 3000, QTCP_ERR_PROTOCOL},
        // A reply cut short, then silence: the time-out, not a hang.
        {"cut short", cut, 300, QTCP_ERR_TIMEOUT},
        {"lying text length", EncodeFrame(lying), 3000, QTCP_ERR_PROTOCOL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RawPeer peer(c.bytes);
        ASSERT_GT(peer.port(), 0);
        CTcpCoreV20 probe;
        probe.SetTimeouts(1000, c.ioMs);
        probe.Initialize(0, nullptr);
        tagQTCP_DEVICEINFO info{};
        int major = 0, minor = 0, canceled = 0, opened = 0;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(probe.GetDeviceInfo(&info, major, minor, "127.0.0.1", canceled, opened,
                                      peer.port(), 0, 0, 0, nullptr),
                  0);
        EXPECT_LT(Since(start), Ms(1500));
        EXPECT_EQ(opened, 0);
        EXPECT_EQ(ErrorOf(probe).code, c.code);
    }
}

}  // namespace
}  // namespace vesk::tcpcore
