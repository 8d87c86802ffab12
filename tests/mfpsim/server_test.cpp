// The emulator where the end-to-end tests do not reach it: a prompt stop (also inside an
// injected delay) and a restart, synthetic documents streamed short of their size, the
// unframed benchmark listener, and the fault configuration file. (Reads past 4 GiB: the
// end-to-end five-gibibyte download; the injected delay and bandwidth cap: the stop
// below, the device trust test and the command-line get test, which rely on them.)
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "e2e/synthetic_document.h"
#include "fixture.h"
#include "tcpcore/tcpcore.h"
#include "tools/mfpsim/lib/faults.h"
#include "tools/mfpsim/lib/server.h"

namespace mfpsim::test {
namespace {

using Clock = std::chrono::steady_clock;
using vesk::test::ErrorOf;
using vesk::test::SecondsSince;

// A client with a session and alice logged in, or null (with a test failure).
std::unique_ptr<CTcpCore> AliceClient(vesk::test::SimDevice& sim, int mode) {
    auto c = std::make_unique<CTcpCoreV31>(49);
    EXPECT_EQ(c->Initialize(mode, nullptr), 1);
    int ua = 0, aa = 0, ps = 0;
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    if (c->Connect("127.0.0.1", sim.Port(mode), ua, aa, ps, nullptr) != 1 ||
        c->UserLogin2("alice", 5, "alice", perm) != 1) {
        ADD_FAILURE() << "no session: " << ErrorOf(*c).code;
        return nullptr;
    }
    return c;
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_sim.Start(true, true)); }
    std::unique_ptr<CTcpCore> Client(int mode) { return AliceClient(m_sim, mode); }

    vesk::test::SimDevice m_sim;
};

TEST_F(ServerTest, StopClosesConnectionsPromptlyEvenInsideAnInjectedDelay) {
    auto idle = Client(0);
    auto delayed = Client(1);
    ASSERT_TRUE(idle && delayed);
    EXPECT_EQ(m_sim.ActiveConnections(), 2);
    FaultConfig f;
    f.latencyMs = 60000;
    m_sim.SetFaults(f);
    std::thread waiter([&] {
        std::vector<tagUTIL_BOXINFO> boxes;
        EXPECT_EQ(delayed->GetBoxList(boxes), 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto t = Clock::now();
    ServerOf(m_sim).Stop();
    EXPECT_LT(SecondsSince(t), 3.0);
    waiter.join();
    EXPECT_EQ(m_sim.ActiveConnections(), 0);
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(idle->GetBoxList(boxes), 0);
    // A new client is refused once stopped; a restart serves the same folder again.
    CTcpCoreV31 late(49);
    late.Initialize(0, nullptr);
    int ua = 0, aa = 0, ps = 0;
    EXPECT_EQ(late.Connect("127.0.0.1", m_sim.Port(), ua, aa, ps, nullptr), 0);
    m_sim.ClearFaults();
    ASSERT_TRUE(ServerOf(m_sim).Start()) << ServerOf(m_sim).Error();
    EXPECT_TRUE(Client(1));
}

using vesk::test::WithSyntheticDocument;

bool IsSynthetic(const std::vector<unsigned char>& got) {
    std::vector<unsigned char> want(got.size());
    SyntheticContent(0, want.data(), want.size());
    return got == want;
}

// A device that ends the stream cleanly but short of the size it announced has not
// delivered the document: the client reports a failed read, not a clean end, and the
// session goes on. (Whole streams: the end-to-end document tests.)
class SyntheticStream : public ::testing::TestWithParam<int> {
protected:
    static constexpr int64_t kSize = (3 << 20) + 12345;
    int m_id = 0;
    vesk::test::SimDevice m_sim{WithSyntheticDocument(kSize, m_id)};
};

TEST_P(SyntheticStream, ShortOfItsSizeIsReportedAndTheSessionGoesOn) {
    ASSERT_TRUE(m_sim.Start(true, true));
    auto c = AliceClient(m_sim, GetParam());
    ASSERT_TRUE(c);
    int flag = 0;
    ASSERT_EQ(c->BoxLogin(kSharedBox, "", flag), 1);
    FaultConfig f;
    f.streamShortBy = 1000;
    m_sim.SetFaults(f);
    ASSERT_EQ(c->OpenDocument(m_id, tagUTIL_OPENDOCPARAM{}), 1);
    std::vector<unsigned char> got;
    std::string why;
    EXPECT_FALSE(vesk::test::ReadWhole(*c, got, why));
    EXPECT_EQ(static_cast<int64_t>(got.size()), kSize - 1000);
    EXPECT_TRUE(IsSynthetic(got));
    unsigned char byte = 0;
    EXPECT_EQ(c->ReadDocument(&byte, 1), -2);
    EXPECT_EQ(ErrorOf(*c).code, QTCP_ERR_PROTOCOL);
    EXPECT_NE(c->GetLastStackError(), -1);
    EXPECT_EQ(c->CloseDocument(0), 0);
    EXPECT_EQ(c->IsConnected(), 1);
    std::vector<tagUTIL_DOCINFO> docs;
    EXPECT_EQ(c->GetDocumentList(docs, 1), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, SyntheticStream, ::testing::Values(0, 1),
                         [](const auto& i) { return i.param ? "Tls" : "Plain"; });

// The benchmark listener sends the asked number of bytes unframed, then closes.
TEST(RawListener, SendsTheAskedBytesUnframed) {
    vesk::test::SimDevice sim;
    ServerOptions o;
    o.engine = EngineOf(sim);
    o.port = o.tlsPort = -1;
    o.rawPort = 0;
    Server server(o);
    ASSERT_TRUE(server.Start()) << server.Error();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(server.RawPort()));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const int64_t size = (2 << 20) + 3;  // little-endian on the wire, as on this machine
    ASSERT_EQ(::send(fd, &size, sizeof size, 0), static_cast<ssize_t>(sizeof size));
    std::vector<unsigned char> got;
    unsigned char buf[65536];
    ssize_t r = 0;
    while ((r = ::recv(fd, buf, sizeof buf, 0)) > 0)
        got.insert(got.end(), buf, buf + r);
    ::close(fd);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(static_cast<int64_t>(got.size()), size);
    EXPECT_TRUE(IsSynthetic(got));
}

// faults.ini: every key is read into the configuration and written back alike.
TEST(FaultsFile, EveryKeyIsReadAndWrittenBackAlike) {
    const std::string text =
        "drop.after_bytes = 40000\ndrop.on = DocList\n"
        "error.BoxLogin = 8167\nerror.BoxLogin.detail = 9\nerror.BoxLogin.skip = 2\n"
        "error.BoxLogin.times = 1\nkeepalive.interval_ms = 50\nkeepalive.on = Connect\n"
        "link.bandwidth = 1000\nlink.latency_ms = 150\nmalformed.kind = truncated\n"
        "malformed.on = BoxList\nstall.after_requests = 3\nstall.on = Hello\n"
        "stream.short_by = 100\nthumbnail = oversize\nthumbnail.bytes = 500\n";
    const FaultConfig c = FaultConfig::FromKeyValues(KeyValues::Parse(text));
    EXPECT_EQ(c.ToKeyValues().Serialize(), text);
    EXPECT_EQ(c.thumbnail, Session::ThumbnailFault::kOversize);
    EXPECT_EQ(c.malformed, MalformedKind::kTruncated);
    EXPECT_TRUE(FaultConfig::FromKeyValues(KeyValues::Parse("# nothing\n")).Empty());
    for (const char* kind : {"truncate", "absurd"}) {
        const std::string t = std::string("thumbnail = ") + kind + "\n";
        EXPECT_EQ(FaultConfig::FromKeyValues(KeyValues::Parse(t)).ToKeyValues().Serialize(), t);
    }
    EXPECT_EQ(FaultConfig::FromKeyValues(KeyValues::Parse("malformed.on = *\nmalformed.kind = "
                                                          "length\n"))
                  .malformed,
              MalformedKind::kLength);
}

// The file is read again when it changes; skip and times count calls per operation;
// the in-process configuration wins while it is set.
TEST(FaultsFile, ChangesApplyAtOnceAndCallsAreCounted) {
    TempFolder dir;
    const auto file = dir.Path() / "faults.ini";
    Faults faults(file);
    auto write = [&](const std::string& text) {
        ASSERT_TRUE(WriteFileAtomic(file, text.data(), text.size()));
    };
    auto codes = [&](const std::string& op, int calls) {
        std::vector<int> out;
        for (int i = 0; i < calls; ++i) {
            const auto e = faults.ErrorFor(op);
            out.push_back(e ? e->code * 10 + e->detail : 0);
        }
        return out;
    };
    EXPECT_EQ(codes("CreateBox", 1), std::vector<int>{0});
    write(
        "error.CreateBox = 8175\nerror.CreateBox.detail = 9\nerror.CreateBox.skip = 1\n"
        "error.CreateBox.times = 2\n");
    EXPECT_EQ(codes("CreateBox", 5), (std::vector<int>{0, 81759, 81759, 0, 0}));
    EXPECT_EQ(codes("BoxLogin", 1), std::vector<int>{0});
    write("error.* = 8040\n");
    EXPECT_EQ(codes("BoxLogin", 2), (std::vector<int>{80400, 80400}));
    FaultConfig api;
    api.latencyMs = 5;
    faults.Set(api);
    EXPECT_EQ(codes("BoxLogin", 1), std::vector<int>{0});
    EXPECT_EQ(faults.Current().latencyMs, 5);
    faults.Set(std::nullopt);
    std::filesystem::remove(file);
    EXPECT_EQ(codes("BoxLogin", 1), std::vector<int>{0});
    EXPECT_TRUE(faults.Current().Empty());
}

}  // namespace
}  // namespace mfpsim::test
