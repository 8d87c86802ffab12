// A document frame that arrives in two pieces with a pause between them, from a
// scripted device on a plain loopback socket. Document data goes from the socket
// straight into the caller's buffer, so a cancel or a time-out in the middle of a
// frame must still leave the link in step (cancel) or close it cleanly (time-out).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "e2e/e2e_fixture.h"
#include "tcpcore/wire.h"

namespace vesk::test {
namespace {

namespace tc = vesk::tcpcore;

constexpr std::size_t kChunk = 256 << 10;
constexpr int kPauseMs = 600;

// When the device began its pause inside the second frame (steady clock, ns; 0: not yet).
std::atomic<long long> g_pauseStart{0};

long long Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

unsigned char ByteAt(std::size_t i) {
    return static_cast<unsigned char>(i * 7 + 3);
}

// Answers Hello, Connect, OpenDoc (two data frames, the second split by a pause),
// CloseDoc and DocList, on one connection at a time.
class SplittingDevice {
public:
    SplittingDevice() {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
            ::listen(m_listen, 4) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        m_port = ntohs(a.sin_port);
        m_thread = std::thread([this] {
            while (!m_stop) {
                pollfd p{m_listen, POLLIN, 0};
                if (::poll(&p, 1, 20) > 0) {
                    const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0) {
                        Serve(fd);
                        ::close(fd);
                    }
                }
            }
        });
    }
    ~SplittingDevice() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_listen >= 0)
            ::close(m_listen);
    }
    int Port() const { return m_port; }
    int CloseRequests() const { return m_closes; }

private:
    bool Write(int fd, const std::vector<std::uint8_t>& b, std::size_t from, std::size_t to) {
        while (from < to) {
            const ssize_t n = ::send(fd, b.data() + from, to - from, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            from += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool Send(int fd, const tc::Frame& f) {
        const std::vector<std::uint8_t> b = tc::EncodeFrame(f);
        return Write(fd, b, 0, b.size());
    }

    void Serve(int fd) {
        std::vector<std::uint8_t> in;
        std::uint8_t buf[4096];
        while (!m_stop) {
            tc::Frame req;
            std::size_t used = 0;
            const tc::DecodeStatus ds = tc::DecodeFrame(in.data(), in.size(), req, used);
            if (ds == tc::DecodeStatus::kNeedMore) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0)
                    continue;
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    return;
                in.insert(in.end(), buf, buf + n);
                continue;
            }
            if (ds != tc::DecodeStatus::kOk)
                return;
            in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(used));
            if (!Answer(fd, req))
                return;
        }
    }

    bool Answer(int fd, const tc::Frame& req) {
        using tc::FrameKind;
        switch (req.op) {
            case tc::Op::kHello: {
                tc::HelloReply r;
                r.deviceId = "1.3.6.1.4.1.59731.1.1.1.2.1.140.1";
                r.major = 4;
                r.minor = 11;
                return Send(fd, tc::MakeFrame(FrameKind::kReply, req.op, req.seq, r));
            }
            case tc::Op::kConnect:
                return Send(fd,
                            tc::MakeFrame(FrameKind::kReply, req.op, req.seq, tc::ConnectReply{}));
            case tc::Op::kOpenDoc: {
                if (!Send(fd, tc::MakeFrame(FrameKind::kReply, req.op, req.seq,
                                            tc::OpenReply{static_cast<std::int64_t>(2 * kChunk)})))
                    return false;
                for (std::size_t part = 0; part < 2; ++part) {
                    tc::Frame d;
                    d.kind = FrameKind::kData;
                    d.op = req.op;
                    d.seq = req.seq;
                    for (std::size_t i = 0; i < kChunk; ++i)
                        d.payload.push_back(ByteAt(part * kChunk + i));
                    const std::vector<std::uint8_t> b = tc::EncodeFrame(d);
                    const std::size_t cut = part == 0 ? b.size() : b.size() / 2;
                    if (!Write(fd, b, 0, cut))
                        return false;
                    if (cut < b.size()) {
                        g_pauseStart = Now();
                        std::this_thread::sleep_for(std::chrono::milliseconds(kPauseMs));
                        if (!Write(fd, b, cut, b.size()))
                            return false;
                    }
                }
                return Send(fd,
                            tc::MakeFrame(FrameKind::kEnd, req.op, req.seq,
                                          tc::StreamEnd{static_cast<std::int64_t>(2 * kChunk)}));
            }
            case tc::Op::kCloseDoc:
                ++m_closes;
                return Send(fd, tc::MakeEmptyFrame(FrameKind::kReply, req.op, req.seq));
            case tc::Op::kDocList:
                return Send(fd,
                            tc::MakeFrame(FrameKind::kReply, req.op, req.seq, tc::DocListReply{}));
            default:
                return Send(fd, tc::MakeEmptyFrame(FrameKind::kReply, req.op, req.seq,
                                                   QTCP_DEV_UNSUPPORTED));
        }
    }

    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_closes{0};
    std::thread m_thread;
};

// Cancels once the client has waited a while inside the split frame.
long __stdcall CancelWhileReceiving(tagQTCP_COMMSTATE* s) {
    const long long paused = g_pauseStart.load();
    return s->nState == QTCP_STATE_RECEIVING && paused != 0 && Now() - paused > 150'000'000 ? 1 : 0;
}

class SplitFrame : public ::testing::Test {
protected:
    void SetUp() override {
        g_pauseStart = 0;
        ASSERT_GT(m_device.Port(), 0);
        std::string why;
        m_conn = ConnectRoad(0, m_device.Port(), why);
        ASSERT_TRUE(m_conn.core) << why;
        ASSERT_EQ(m_conn.core->OpenDocument(1, tagUTIL_OPENDOCPARAM{}), 1);
    }
    void TearDown() override { vesk::tcpcore::DropParkedLink(); }

    SplittingDevice m_device;
    SimConnection m_conn;
};

TEST_F(SplitFrame, CancelInsideAFrameKeepsTheLinkInStep) {
    CTcpCore& core = *m_conn.core;
    core.SetCallbackCommunicate(CancelWhileReceiving);
    std::vector<unsigned char> buffer(1 << 20, 0);
    // The whole first frame, then the cancel while the second is half there.
    const int n = core.ReadDocument(buffer.data(), static_cast<int>(buffer.size()));
    ASSERT_EQ(n, static_cast<int>(kChunk));
    for (std::size_t i = 0; i < kChunk; ++i)
        ASSERT_EQ(buffer[i], ByteAt(i)) << i;
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_CANCELLED);
    EXPECT_EQ(core.ReadDocument(buffer.data(), static_cast<int>(buffer.size())), -1);
    core.SetCallbackCommunicate(nullptr);

    // The abort reads past the rest of the split frame and the end frame.
    EXPECT_EQ(core.CloseDocument(1), 1);
    EXPECT_EQ(core.IsConnected(), 1);
    EXPECT_EQ(m_device.CloseRequests(), 1);
    std::vector<tagUTIL_DOCINFO> docs;
    EXPECT_EQ(core.GetDocumentList(docs, 0), 1) << ErrorOf(core).code;
}

TEST_F(SplitFrame, TimeoutInsideAFrameDeliversWhatCameAndCloses) {
    CTcpCore& core = *m_conn.core;
    core.SetTimeouts(1000, 250);
    std::vector<unsigned char> buffer(1 << 20, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(core.ReadDocument(buffer.data(), static_cast<int>(buffer.size())),
              static_cast<int>(kChunk));
    EXPECT_EQ(core.ReadDocument(buffer.data(), static_cast<int>(buffer.size())), -1);
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_TIMEOUT);
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_EQ(core.CloseDocument(0), 0);
    EXPECT_EQ(core.CloseDocument(1), 1);
    EXPECT_EQ(core.IsConnected(), 0);
}

TEST_F(SplitFrame, PatientReaderGetsBothFramesWhole) {
    CTcpCore& core = *m_conn.core;
    std::vector<unsigned char> data;
    std::string why;
    ASSERT_TRUE(ReadWhole(core, data, why)) << why;
    ASSERT_EQ(data.size(), 2 * kChunk);
    for (std::size_t i = 0; i < data.size(); ++i)
        ASSERT_EQ(data[i], ByteAt(i)) << i;
    EXPECT_EQ(core.CloseDocument(0), 1);
}

}  // namespace
}  // namespace vesk::test
