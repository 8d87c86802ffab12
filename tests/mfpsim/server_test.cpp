// The emulator as a network peer, for what the end-to-end suite does not reach: several
// clients at once, a clean stop, the faults file, a slow link, hostile clients and the
// in-process link. Protocol behaviour and stream faults are checked end to end.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "decode.h"
#include "fixture.h"
#include "tcpcore/link.h"
#include "tcpcore/tcpcore.h"
#include "tools/mfpsim/lib/ini.h"
#include "tools/mfpsim/lib/server.h"

namespace mfpsim::test {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ServerOptions o;
        o.root = folder_.path();
        server_ = std::make_unique<Server>(o);
        ASSERT_TRUE(server_->Start()) << server_->Error();
    }
    void TearDown() override {
        server_->Stop();
        CTcpCore::SetDefaultTimeouts(5000, 30000);
    }

    int PortFor(int mode) const { return mode == 1 ? server_->TlsPort() : server_->Port(); }

    // A client with a session and alice logged in, or null (with a test failure).
    std::unique_ptr<CTcpCore> Client(int mode, const char* user = "alice",
                                     const char* pw = "alice") {
        auto c = std::make_unique<CTcpCoreV31>(49);
        EXPECT_EQ(c->Initialize(mode, nullptr), 1);
        int ua = 0, aa = 0, ps = 0;
        if (c->Connect("127.0.0.1", PortFor(mode), ua, aa, ps, nullptr) != 1) {
            int code = 0, detail = 0;
            c->GetLastErrorCode(code, detail);
            ADD_FAILURE() << "connect failed: " << code << "/" << detail;
            return nullptr;
        }
        tagUTIL_DOCOPERATIONPERMISSION perm{};
        if (c->UserLogin2(user, static_cast<int>(std::strlen(user)), pw, perm) != 1) {
            ADD_FAILURE() << "login failed";
            return nullptr;
        }
        return c;
    }

    static int DocId(CTcpCore& c, const char* name) {
        std::vector<tagUTIL_DOCINFO> docs;
        EXPECT_EQ(c.GetDocumentList(docs, 1), 1);
        for (const auto& d : docs) {
            if (std::strcmp(d.szDocName, name) == 0) {
                return d.lDocID;
            }
        }
        ADD_FAILURE() << "no document " << name;
        return -1;
    }

    // Reads a whole stream; the status of the last read goes to `last`.
    static std::vector<uint8_t> ReadAllOf(CTcpCore& c, int& last) {
        std::vector<uint8_t> out;
        std::vector<uint8_t> buf(1 << 20);
        for (;;) {
            last = c.ReadDocument(buf.data(), static_cast<int>(buf.size()));
            if (last <= 0) {
                break;
            }
            out.insert(out.end(), buf.begin(), buf.begin() + last);
        }
        return out;
    }

    static std::vector<uint8_t> Download(CTcpCore& c, int id, int outputType, int page) {
        tagUTIL_OPENDOCPARAM p{};
        p.nPage = page;
        p.nOutputType = outputType;
        p.nColor = 5;
        EXPECT_EQ(c.OpenDocument(id, p), 1);
        int last = 0;
        std::vector<uint8_t> out = ReadAllOf(c, last);
        EXPECT_EQ(last, 0);
        EXPECT_EQ(c.CloseDocument(0), 1);
        return out;
    }

    static int LastCode(CTcpCore& c) {
        int code = 0, detail = 0;
        c.GetLastErrorCode(code, detail);
        return code;
    }

    void WriteFaults(const std::string& text) {
        ASSERT_TRUE(WriteFileAtomic(folder_.path() / "faults.ini", text.data(), text.size()));
    }

    DeviceFolder folder_;
    std::unique_ptr<Server> server_;
};

TEST_F(ServerTest, SeveralClientsAtOnceOverBothTransports) {
    constexpr int kClients = 6;
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    std::vector<size_t> sizes(kClients);
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            auto c = Client(i % 2);
            if (!c) {
                return;
            }
            int flag = 0;
            if (c->BoxLogin(kSharedBox, "", flag) != 1) {
                return;
            }
            int id = DocId(*c, "Brochure");
            for (int round = 0; round < 3; ++round) {
                sizes[static_cast<size_t>(i)] = Download(*c, id, kOutPdf, 0).size();
            }
            if (c->Disconnect(1) == 1) {
                ++ok;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(ok, kClients);
    for (size_t s : sizes) {
        EXPECT_EQ(s, sizes[0]);
        EXPECT_GT(s, 1000u);
    }
    EXPECT_GE(server_->AcceptedConnections(), kClients);
}

TEST_F(ServerTest, StopClosesOpenConnectionsPromptly) {
    auto idle = Client(0);
    auto idleTls = Client(1);
    ASSERT_TRUE(idle && idleTls);
    EXPECT_EQ(server_->ActiveConnections(), 2);
    auto t = Clock::now();
    server_->Stop();
    EXPECT_LT(MsSince(t), 3000);
    EXPECT_EQ(server_->ActiveConnections(), 0);
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(idle->GetBoxList(boxes), 0);
    EXPECT_EQ(idleTls->GetBoxList(boxes), 0);
    // A new client is refused once stopped; a restart serves the same folder again.
    CTcpCoreV31 late(49);
    late.Initialize(0, nullptr);
    int ua = 0, aa = 0, ps = 0;
    EXPECT_EQ(late.Connect("127.0.0.1", server_->Port(), ua, aa, ps, nullptr), 0);
    ASSERT_TRUE(server_->Start()) << server_->Error();
    EXPECT_TRUE(Client(0));
}

TEST_F(ServerTest, StopInterruptsInjectedDelays) {
    auto c = Client(0);
    ASSERT_TRUE(c);
    FaultConfig f;
    f.latencyMs = 60000;
    server_->GetEngine().GetFaults().Set(f);
    std::thread waiter([&] {
        std::vector<tagUTIL_BOXINFO> boxes;
        EXPECT_EQ(c->GetBoxList(boxes), 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto t = Clock::now();
    server_->Stop();
    EXPECT_LT(MsSince(t), 3000);
    waiter.join();
}

TEST_F(ServerTest, InjectedErrorsFromTheFaultsFile) {
    auto c = Client(0);
    ASSERT_TRUE(c);
    WriteFaults("error.CreateBox = 8175\nerror.CreateBox.detail = 9\nerror.CreateBox.times = 1\n");
    tagUTIL_BOXCREATEINFO info{};
    std::strcpy(info.szBoxName, "Injected");
    EXPECT_EQ(c->CreateBox(info, ""), -1);
    int code = 0, detail = 0;
    c->GetLastErrorCode(code, detail);
    EXPECT_EQ(code, 8175);
    EXPECT_EQ(detail, 9);
    EXPECT_EQ(c->CreateBox(info, ""), 6);  // only once
    // Flag replies keep their payload when an error is injected.
    WriteFaults("error.BoxLogin = 8167\n");
    int flag = 7;
    EXPECT_EQ(c->BoxLogin(kSharedBox, "", flag), 0);
    EXPECT_EQ(LastCode(*c), 8167);
    std::remove((folder_.path() / "faults.ini").c_str());
    EXPECT_EQ(c->BoxLogin(kSharedBox, "", flag), 1);

    // A stream that ends with an error after part of the data.
    WriteFaults("error.DocStream = 8040\n");
    tagUTIL_OPENDOCPARAM p{};
    p.nOutputType = kOutPdf;
    ASSERT_EQ(c->OpenDocument(DocId(*c, "Brochure"), p), 1);
    int last = 0;
    std::vector<uint8_t> part = ReadAllOf(*c, last);
    EXPECT_EQ(last, -2);
    EXPECT_EQ(LastCode(*c), 8040);
    EXPECT_FALSE(part.empty());
    c->CloseDocument(1);
}

TEST_F(ServerTest, SlowLinkAddsLatencyAndCapsBandwidth) {
    auto c = Client(0);
    ASSERT_TRUE(c);
    int flag = 0;
    ASSERT_EQ(c->BoxLogin(kSharedBox, "", flag), 1);
    int id = DocId(*c, "Long scan");
    auto t = Clock::now();
    size_t size = Download(*c, id, kOutPdf, 0).size();
    long long fast = MsSince(t);

    FaultConfig f;
    f.latencyMs = 150;
    f.bandwidth = static_cast<int64_t>(size) * 2;  // half a second for the document
    server_->GetEngine().GetFaults().Set(f);
    t = Clock::now();
    std::vector<tagUTIL_BOXINFO> boxes;
    ASSERT_EQ(c->GetBoxList(boxes), 1);
    EXPECT_GE(MsSince(t), 150);
    t = Clock::now();
    EXPECT_EQ(Download(*c, id, kOutPdf, 0).size(), size);
    EXPECT_GE(MsSince(t), 150 + 400);
    EXPECT_GT(MsSince(t), fast);
}

TEST_F(ServerTest, InvalidBytesFromAClientCloseOnlyThatConnection) {
    vesk::tcpcore::LinkTarget target{"127.0.0.1", server_->Port(), 0};
    vesk::tcpcore::WaitControl wc;
    wc.deadline = vesk::tcpcore::Deadline::In(std::chrono::seconds(5));
    vesk::tcpcore::LinkStatus st;
    auto link = vesk::tcpcore::OpenSocketLink(target, wc, st);
    ASSERT_TRUE(link);
    // A frame whose kind is a reply: only requests come from clients.
    vesk::tcpcore::Frame bogus = vesk::tcpcore::MakeEmptyFrame(vesk::tcpcore::FrameKind::kReply,
                                                               vesk::tcpcore::Op::kBoxList, 1);
    ASSERT_EQ(link->Send(bogus, wc), vesk::tcpcore::LinkStatus::kOk);
    vesk::tcpcore::Frame reply;
    EXPECT_EQ(link->Receive(reply, wc), vesk::tcpcore::LinkStatus::kClosed);
    EXPECT_TRUE(Client(0));
}

// The engine behind the client's in-process link: no sockets, same behaviour.
TEST(InProcess, ClientTalksToTheEngineThroughTheLinkFactory) {
    DeviceFolder folder;
    std::string error;
    auto engine = Engine::Open(folder.path(), {}, error);
    ASSERT_TRUE(engine) << error;
    auto previous = vesk::tcpcore::SetLinkFactory(engine->InProcessFactory());
    {
        CTcpCoreV31 c(49);
        c.Initialize(0, nullptr);
        int ua = 0, aa = 0, ps = 0;
        ASSERT_EQ(c.Connect("device.invalid", 1, ua, aa, ps, nullptr), 1);
        tagUTIL_DOCOPERATIONPERMISSION perm{};
        ASSERT_EQ(c.UserLogin2("bob", 3, "bob", perm), 1);
        EXPECT_EQ(perm.nColourForbidden, 1);
        int flag = 0;
        ASSERT_EQ(c.BoxLogin(kBobBox, "bob", flag), 1);
        std::vector<tagUTIL_DOCINFO> docs;
        ASSERT_EQ(c.GetDocumentList(docs, 1), 1);
        ASSERT_EQ(docs.size(), 2u);
        tagUTIL_OPENDOCPARAM p{};
        std::vector<uint8_t> buf(4096);
        // The device converted colour pages to grey for this colour-restricted user.
        p.nOutputType = kOutJpeg;
        p.nPage = 1;
        ASSERT_EQ(c.OpenDocument(docs.front().lDocID, p), 1);
        std::vector<uint8_t> jpeg(1 << 20);
        int n = c.ReadDocument(jpeg.data(), static_cast<int>(jpeg.size()));
        ASSERT_GT(n, 0);
        jpeg.resize(static_cast<size_t>(n));
        EXPECT_EQ(c.ReadDocument(buf.data(), 4096), 0);
        EXPECT_EQ(c.CloseDocument(0), 1);
        Decoded d;
        ASSERT_TRUE(DecodeJpegBytes(jpeg, d));
        EXPECT_EQ(d.components, 1);
    }
    vesk::tcpcore::SetLinkFactory(previous);
}

}  // namespace
}  // namespace mfpsim::test
