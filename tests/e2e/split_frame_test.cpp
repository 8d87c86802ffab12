// A document frame that arrives in two pieces with a pause between them, as a slow
// network cuts it: inside its payload, or inside its header. Document data goes from
// the socket straight into the caller's buffer, several frames in one receive, so a
// cancel or a time-out in the middle of a frame must still leave the link in step
// (cancel) or close it cleanly (time-out).
#include <algorithm>
#include <atomic>
#include <chrono>

#include "e2e/synthetic_document.h"
#include "support/tampering_peer.h"
#include "tcpcore/wire.h"
#include "tools/mfpsim/lib/render.h"

namespace vesk::test {
namespace {

namespace tc = vesk::tcpcore;

constexpr std::size_t kChunk = tc::kPreferredChunk;

// When the device began its pause inside the second frame (steady clock, ns; 0: not yet).
std::atomic<long long> g_pauseStart{0};

long long Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<unsigned char> Expected(std::size_t from, std::size_t size) {
    std::vector<unsigned char> bytes(size);
    mfpsim::SyntheticContent(static_cast<std::int64_t>(from), bytes.data(), size);
    return bytes;
}

// Cancels once the client has waited a while inside the split frame.
long __stdcall CancelWhileReceiving(tagQTCP_COMMSTATE* s) {
    const long long paused = g_pauseStart.load();
    return s->nState == QTCP_STATE_RECEIVING && paused != 0 && Now() - paused > 150'000'000 ? 1 : 0;
}

// A two-frame document from the emulator, the second data frame split by the peer after
// GetParam() bytes (0: half-way).
class SplitFrame : public E2E {
protected:
    void SetUp() override {
        E2E::SetUp();
        g_pauseStart = 0;
        ASSERT_TRUE(StartDevice(WithSyntheticDocument(2 * kChunk, m_id)));
        TamperingPeer::Split split;
        split.pick = [data = 0](const tc::Frame& f) mutable {
            return f.kind == tc::FrameKind::kData && ++data == 2;
        };
        split.pauseMs = 600;
        split.at = static_cast<std::size_t>(GetParam());
        split.paused = [] { g_pauseStart = Now(); };
        m_peer = std::make_unique<TamperingPeer>(
            Device(), 0, [](tc::Frame&) { return true; }, 0, split);
        std::string why;
        m_conn = ConnectRoad(0, m_peer->Port(), why);  // the split needs the raw socket
        ASSERT_TRUE(m_conn.core) << why;
        tagUTIL_DOCOPERATIONPERMISSION perm{};
        int flag = 0;
        ASSERT_EQ(Core().UserLogin2("alice", 5, "alice", perm), 1);
        ASSERT_EQ(Core().BoxLogin(kSharedBox, "", flag), 1);
        tagUTIL_OPENDOCPARAM p{};
        p.nOutputType = mfpsim::kOutPdf;
        ASSERT_EQ(Core().OpenDocument(m_id, p), 1) << ErrorOf(Core()).code;
    }
    void TearDown() override {
        m_conn.core.reset();
        m_peer.reset();
        E2E::TearDown();
    }
    int CloseRequests() {
        int n = 0;
        for (const tc::Frame& f : m_peer->Received())
            n += f.op == tc::Op::kCloseDoc;
        return n;
    }

    int m_id = 0;
    std::unique_ptr<TamperingPeer> m_peer;
};

TEST_P(SplitFrame, CancelInsideAFrameKeepsTheLinkInStep) {
    Core().SetCallbackCommunicate(CancelWhileReceiving);
    std::vector<unsigned char> buffer(1 << 20, 0);
    // The whole first frame, then the cancel while the second is half there.
    const int n = Core().ReadDocument(buffer.data(), static_cast<int>(buffer.size()));
    ASSERT_EQ(n, static_cast<int>(kChunk));
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + n, Expected(0, kChunk).begin()));
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_ERR_CANCELLED);
    EXPECT_EQ(Core().ReadDocument(buffer.data(), static_cast<int>(buffer.size())), -1);
    Core().SetCallbackCommunicate(nullptr);

    // The abort reads past the rest of the split frame and the end frame.
    EXPECT_EQ(Core().CloseDocument(1), 1);
    EXPECT_NE(Core().GetLastStackError(), -1);  // not a clean end
    EXPECT_EQ(Core().IsConnected(), 1);
    EXPECT_EQ(CloseRequests(), 1);
    std::vector<tagUTIL_DOCINFO> docs;
    EXPECT_EQ(Core().GetDocumentList(docs, 0), 1) << ErrorOf(Core()).code;
}

TEST_P(SplitFrame, TimeoutInsideAFrameDeliversWhatCameAndCloses) {
    Core().SetTimeouts(1000, 250);
    std::vector<unsigned char> buffer(1 << 20, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Core().ReadDocument(buffer.data(), static_cast<int>(buffer.size())),
              static_cast<int>(kChunk));
    EXPECT_EQ(Core().ReadDocument(buffer.data(), static_cast<int>(buffer.size())), -1);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_ERR_TIMEOUT);
    EXPECT_LT(SecondsSince(start), 2.0);
    EXPECT_EQ(Core().CloseDocument(0), 0);
    EXPECT_EQ(Core().CloseDocument(1), 1);
    EXPECT_EQ(Core().IsConnected(), 0);
}

TEST_P(SplitFrame, PatientReaderGetsBothFramesWhole) {
    std::vector<unsigned char> data;
    std::string why;
    ASSERT_TRUE(ReadWhole(Core(), data, why)) << why;
    EXPECT_TRUE(data == Expected(0, 2 * kChunk));
    EXPECT_EQ(Core().CloseDocument(0), 1);
}

std::string CutName(const ::testing::TestParamInfo<int>& cut) {
    return cut.param ? "InsideTheHeader" : "InsideThePayload";
}

// Plain TCP only, so the parameter is where the cut falls rather than the mode.
INSTANTIATE_TEST_SUITE_P(Loopback, SplitFrame, ::testing::Values(0, 10), CutName);

// The hostile device behind its own listener, lying about a stream in one way or
// another: each is refused, nothing is written past the buffer, and the stream closes.
using TamperedStream = E2E;

TEST_P(TamperedStream, StreamsThatBreakTheirOwnAccountAreRefused) {
    struct Case {
        const char* what;
        TamperingPeer::Tamper tamper;
        int read;  // what the last read gives
    };
    const Case cases[] = {
        {"more data than announced",
         [](tc::Frame& f) {
             // The open reply announces half of what the device then sends.
             if (f.kind == tc::FrameKind::kReply && f.op == tc::Op::kOpenDoc && f.status == 0)
                 f = tc::MakeFrame(f.kind, f.op, f.seq, tc::OpenReply{512 << 10});
             return true;
         },
         -1},
        {"an end frame counting other bytes",
         [](tc::Frame& f) {
             if (f.kind == tc::FrameKind::kEnd)
                 f = tc::MakeFrame(f.kind, f.op, f.seq, tc::StreamEnd{(1 << 20) + 1});
             return true;
         },
         -2},
        {"a missing piece",
         // The second data frame never comes; the end frame still claims everything.
         [data = 0](tc::Frame& f) mutable {
             return !(f.kind == tc::FrameKind::kData && ++data == 2);
         },
         -2},
        {"data of another request",
         [](tc::Frame& f) {
             if (f.kind == tc::FrameKind::kData)
                 f.seq += 1;
             return true;
         },
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int id = 0;
        ASSERT_TRUE(StartDevice(WithSyntheticDocument(1 << 20, id)));
        TamperingPeer peer(Device(), Mode(), c.tamper);
        ASSERT_GT(peer.Port(), 0);
        std::string why;
        m_conn = ConnectRoad(Mode(), peer.Port(), why);
        ASSERT_TRUE(m_conn.core) << why;
        tagUTIL_DOCOPERATIONPERMISSION perm{};
        int flag = 0;
        ASSERT_EQ(Core().UserLogin2("alice", 5, "alice", perm), 1);
        ASSERT_EQ(Core().BoxLogin(kSharedBox, "", flag), 1);
        tagUTIL_OPENDOCPARAM pdf{};
        pdf.nOutputType = mfpsim::kOutPdf;
        ASSERT_EQ(Core().OpenDocument(id, pdf), 1) << ErrorOf(Core()).code;
        std::vector<unsigned char> buffer((1 << 20) + 64, 0xee);
        long long total = 0;
        int n = 0;
        const auto start = std::chrono::steady_clock::now();
        while ((n = Core().ReadDocument(buffer.data(), 1 << 20)) > 0)
            total += n;
        EXPECT_EQ(n, c.read);
        EXPECT_EQ(ErrorOf(Core()).code, QTCP_ERR_PROTOCOL);
        EXPECT_LE(total, 1 << 20);
        EXPECT_TRUE(std::all_of(buffer.begin() + (1 << 20), buffer.end(),
                                [](unsigned char x) { return x == 0xee; }));
        EXPECT_NE(Core().GetLastStackError(), -1);
        EXPECT_EQ(Core().CloseDocument(0), 0);
        EXPECT_EQ(Core().CloseDocument(1), 1);
        EXPECT_LT(SecondsSince(start), 5.0);
        m_conn.core.reset();
    }
}

VESK_E2E_MODES(TamperedStream);

}  // namespace
}  // namespace vesk::test
