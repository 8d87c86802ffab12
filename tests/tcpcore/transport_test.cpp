// The socket link's own faults, below what the emulator can be made to do: nothing
// listening, a peer that never completes TLS, and a peer that answers the first
// request with hostile bytes. Streams, stalls, drops and cancels over real TCP and
// TLS are the end-to-end suite's, against the emulator.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "tcpcore/tcpcore.h"
#include "tcpcore/wire.h"

namespace vesk::tcpcore {
namespace {

using Ms = std::chrono::milliseconds;

auto Since(std::chrono::steady_clock::time_point t) {
    return std::chrono::steady_clock::now() - t;
}

int LastCode(CTcpCore& c) {
    int code = 0, detail = 0;
    c.GetLastErrorCode(code, detail);
    return code;
}

// One loopback connection at a time: reads the first request, answers it with the
// given bytes (none: stays silent), then holds the connection until the client leaves.
class RawPeer {
public:
    explicit RawPeer(std::vector<std::uint8_t> answer) : answer_(std::move(answer)) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (listen_ < 0 || ::bind(listen_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::listen(listen_, 4) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~RawPeer() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (listen_ >= 0)
            ::close(listen_);
    }
    int port() const { return port_; }

private:
    bool Wait(int fd) {
        pollfd p{fd, POLLIN, 0};
        while (!stop_)
            if (::poll(&p, 1, 20) > 0)
                return true;
        return false;
    }
    void Run() {
        if (!Wait(listen_))
            return;
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        std::uint8_t buf[512];
        if (!answer_.empty() && Wait(fd) && ::recv(fd, buf, sizeof buf, 0) > 0)
            (void)!::send(fd, answer_.data(), answer_.size(), MSG_NOSIGNAL);
        while (Wait(fd) && ::recv(fd, buf, sizeof buf, 0) > 0) {
        }
        ::close(fd);
    }
    std::vector<std::uint8_t> answer_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

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
    RawPeer peer({});
    ASSERT_GT(peer.port(), 0);
    CTcpCoreV31 core;
    core.SetTimeouts(300, 5000);
    core.Initialize(1, nullptr);
    int u, ac, p;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(core.Connect("127.0.0.1", peer.port(), u, ac, p, nullptr), 0);
    EXPECT_EQ(LastCode(core), QTCP_ERR_TIMEOUT);
    EXPECT_GE(Since(start), Ms(250));
    EXPECT_LT(Since(start), Ms(1500));
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
        EXPECT_EQ(LastCode(probe), c.code);
    }
}

}  // namespace
}  // namespace vesk::tcpcore
