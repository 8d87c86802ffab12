// The emulator where the end-to-end tests do not reach it: a prompt stop (also inside an
// injected delay) and a restart, the injected latency and bandwidth cap, and the fault
// configuration file.
#include <chrono>
#include <cstring>
#include <thread>

#include "fixture.h"
#include "tcpcore/tcpcore.h"
#include "tools/mfpsim/lib/faults.h"

namespace mfpsim::test {
namespace {

using Clock = std::chrono::steady_clock;
using vesk::test::ErrorOf;
using vesk::test::SecondsSince;

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_sim.Start(true, true)); }

    // A client with a session and alice logged in, or null (with a test failure).
    std::unique_ptr<CTcpCore> Client(int mode) {
        auto c = std::make_unique<CTcpCoreV31>(49);
        EXPECT_EQ(c->Initialize(mode, nullptr), 1);
        int ua = 0, aa = 0, ps = 0;
        tagUTIL_DOCOPERATIONPERMISSION perm{};
        if (c->Connect("127.0.0.1", m_sim.Port(mode), ua, aa, ps, nullptr) != 1 ||
            c->UserLogin2("alice", 5, "alice", perm) != 1) {
            ADD_FAILURE() << "no session: " << ErrorOf(*c).code;
            return nullptr;
        }
        return c;
    }

    vesk::test::SimDevice m_sim;
};

TEST_F(ServerTest, StopClosesConnectionsPromptlyEvenInsideAnInjectedDelay) {
    auto idle = Client(0);
    auto delayed = Client(1);
    ASSERT_TRUE(idle && delayed);
    EXPECT_EQ(m_sim.Server().ActiveConnections(), 2);
    FaultConfig f;
    f.latencyMs = 60000;
    m_sim.SetFaults(f);
    std::thread waiter([&] {
        std::vector<tagUTIL_BOXINFO> boxes;
        EXPECT_EQ(delayed->GetBoxList(boxes), 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto t = Clock::now();
    m_sim.Server().Stop();
    EXPECT_LT(SecondsSince(t), 3.0);
    waiter.join();
    EXPECT_EQ(m_sim.Server().ActiveConnections(), 0);
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(idle->GetBoxList(boxes), 0);
    // A new client is refused once stopped; a restart serves the same folder again.
    CTcpCoreV31 late(49);
    late.Initialize(0, nullptr);
    int ua = 0, aa = 0, ps = 0;
    EXPECT_EQ(late.Connect("127.0.0.1", m_sim.Port(), ua, aa, ps, nullptr), 0);
    m_sim.ClearFaults();
    ASSERT_TRUE(m_sim.Server().Start()) << m_sim.Server().Error();
    EXPECT_TRUE(Client(1));
}

TEST_F(ServerTest, SlowLinkAddsLatencyAndCapsBandwidth) {
    auto c = Client(0);
    ASSERT_TRUE(c);
    int flag = 0;
    ASSERT_EQ(c->BoxLogin(kSharedBox, "", flag), 1);
    std::vector<tagUTIL_DOCINFO> docs;
    ASSERT_EQ(c->GetDocumentList(docs, 1), 1);
    const tagUTIL_DOCINFO* scan = vesk::test::FindDoc(docs, "Long scan");
    ASSERT_TRUE(scan);
    auto download = [&] {
        tagUTIL_OPENDOCPARAM p{};
        p.nOutputType = kOutPdf;
        EXPECT_EQ(c->OpenDocument(scan->lDocID, p), 1);
        std::vector<unsigned char> out;
        std::string why;
        EXPECT_TRUE(vesk::test::ReadWhole(*c, out, why)) << why;
        EXPECT_EQ(c->CloseDocument(0), 1);
        return out.size();
    };
    auto t = Clock::now();
    const size_t size = download();
    const double fast = SecondsSince(t);

    FaultConfig f;
    f.latencyMs = 150;
    f.bandwidth = static_cast<int64_t>(size) * 2;  // half a second for the document
    m_sim.SetFaults(f);
    t = Clock::now();
    std::vector<tagUTIL_BOXINFO> boxes;
    ASSERT_EQ(c->GetBoxList(boxes), 1);
    EXPECT_GE(SecondsSince(t), 0.15);
    t = Clock::now();
    EXPECT_EQ(download(), size);
    EXPECT_GE(SecondsSince(t), 0.15 + 0.4);
    EXPECT_GT(SecondsSince(t), fast);
}

// faults.ini: every key is read into the configuration and written back alike.
TEST(FaultsFile, EveryKeyIsReadAndWrittenBackAlike) {
    const std::string text =
        "drop.after_bytes = 40000\ndrop.on = DocList\n"
        "error.BoxLogin = 8167\nerror.BoxLogin.detail = 9\nerror.BoxLogin.skip = 2\n"
        "error.BoxLogin.times = 1\nkeepalive.interval_ms = 50\nkeepalive.on = Connect\n"
        "link.bandwidth = 1000\nlink.latency_ms = 150\nmalformed.kind = truncated\n"
        "malformed.on = BoxList\nstall.after_requests = 3\nstall.on = Hello\n"
        "thumbnail = oversize\nthumbnail.bytes = 500\n";
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
