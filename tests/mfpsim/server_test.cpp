// The emulator as a network peer: the real client over plain TCP and TLS on loopback,
// several clients at once, a clean stop, fault injection, and the in-process link.
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

TEST_F(ServerTest, ListensOnEphemeralLoopbackPortsAndAnswersDeviceInformation) {
    EXPECT_GT(server_->Port(), 0);
    EXPECT_GT(server_->TlsPort(), 0);
    EXPECT_NE(server_->Port(), server_->TlsPort());
    for (int mode : {0, 1}) {
        CTcpCoreV20 probe;
        ASSERT_EQ(probe.Initialize(mode, nullptr), 1);
        tagQTCP_DEVICEINFO info{};
        int major = 0, minor = 0, canceled = 0, opened = 0;
        ASSERT_EQ(probe.GetDeviceInfo(&info, major, minor, "127.0.0.1", canceled, opened,
                                      PortFor(mode), 5, 12, 12, nullptr),
                  1);
        EXPECT_STREQ(info.szDeviceID,
                     server_->GetEngine().GetDevice().GetIdentity().identifier.c_str());
        EXPECT_EQ(major, 4);
        EXPECT_EQ(minor, 11);
        EXPECT_EQ(opened, 1);
        probe.Uninitialize();
    }
}

TEST_F(ServerTest, PlainAndTlsSessionsServeBoxesDocumentsAndThumbnails) {
    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        auto c = Client(mode);
        ASSERT_TRUE(c);
        if (mode == 1) {
            EXPECT_FALSE(c->GetNegotiatedTlsVersion().empty());
            EXPECT_EQ(c->GetPeerCertificateSha256(), server_->CertificateSha256());
        }
        int hdd = 0;
        EXPECT_EQ(c->GetHDDCount(hdd), 1);  // from the connect reply
        EXPECT_EQ(hdd, 1);
        std::vector<tagUTIL_BOXINFO> boxes;
        ASSERT_EQ(c->GetBoxList(boxes), 1);
        ASSERT_EQ(boxes.size(), 5u);
        EXPECT_STREQ(boxes[2].szBoxName, "Secure");
        EXPECT_EQ(boxes[2].nPasswordProtected, 1);

        int flag = 0;
        EXPECT_EQ(c->BoxLogin(kSecureBox, "wrong", flag), 0);
        EXPECT_EQ(flag, 1);
        EXPECT_EQ(LastCode(*c), 8166);
        ASSERT_EQ(c->BoxLogin(kSharedBox, "", flag), 1);

        int invoice = DocId(*c, "Invoice 2024-001");
        std::vector<uint8_t> page2 = Download(*c, invoice, kOutJpeg, 2);
        Document stored = server_->GetEngine().GetDevice().Snapshot().documents.at(invoice);
        EXPECT_EQ(page2, *server_->GetEngine().GetDevice().GetStore().ReadContent(stored,
                                                                                  "page-0002.jpg"));
        std::vector<uint8_t> pdf = Download(*c, DocId(*c, "Long scan"), kOutPdf, 0);
        EXPECT_EQ(PdfPageCount(pdf), 12);

        int size = 0;
        ASSERT_EQ(c->OpenThumbnail(invoice, 1, 1, size), 1);
        std::vector<uint8_t> thumb(static_cast<size_t>(size));
        int length = 0;
        ASSERT_EQ(c->ReadThumbnail(thumb.data(), size, length), 1);
        EXPECT_EQ(length, size);
        EXPECT_EQ(size % 104, 0);
        c->CloseThumbnail();

        // Copy into the password box and see it there.
        EXPECT_EQ(c->CopyDocument(invoice, kSecureBox), 1);
        ASSERT_EQ(c->BoxLogin(kSecureBox, "1234", flag), 1);
        std::vector<tagUTIL_DOCINFO> docs;
        ASSERT_EQ(c->GetDocumentList(docs, 1), 1);
        EXPECT_EQ(std::count_if(docs.begin(), docs.end(),
                                [](const tagUTIL_DOCINFO& d) {
                                    return std::strcmp(d.szDocName, "Invoice 2024-001") == 0;
                                }),
                  mode + 1);
        EXPECT_EQ(c->Disconnect(1), 1);
    }
}

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

TEST_F(ServerTest, DroppedConnectionAfterSomeBytes) {
    auto c = Client(0);
    ASSERT_TRUE(c);
    int flag = 0;
    ASSERT_EQ(c->BoxLogin(kSharedBox, "", flag), 1);
    int id = DocId(*c, "Long scan");
    FaultConfig f;
    f.dropAfterBytes = 40000;
    server_->GetEngine().GetFaults().Set(f);
    tagUTIL_OPENDOCPARAM p{};
    p.nOutputType = kOutPdf;
    ASSERT_EQ(c->OpenDocument(id, p), 1);
    int last = 0;
    std::vector<uint8_t> got = ReadAllOf(*c, last);
    EXPECT_EQ(last, -1);
    EXPECT_EQ(LastCode(*c), QTCP_ERR_CLOSED);
    EXPECT_LT(got.size(), 40000u);
    EXPECT_EQ(c->IsConnected(), 0);
    server_->GetEngine().GetFaults().Set(std::nullopt);
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

TEST_F(ServerTest, StalledPeerMakesTheClientTimeOut) {
    CTcpCore::SetDefaultTimeouts(2000, 400);
    auto c = Client(0);
    ASSERT_TRUE(c);
    FaultConfig f;
    f.stallOn = "BoxList";
    server_->GetEngine().GetFaults().Set(f);
    std::vector<tagUTIL_BOXINFO> boxes;
    auto t = Clock::now();
    EXPECT_EQ(c->GetBoxList(boxes), 0);
    EXPECT_EQ(LastCode(*c), QTCP_ERR_TIMEOUT);
    EXPECT_GE(MsSince(t), 350);
    // The connection stays open on the device side but the session is gone for the client.
    EXPECT_EQ(c->IsConnected(), 0);
    server_->GetEngine().GetFaults().Set(std::nullopt);
    EXPECT_TRUE(Client(0));  // other connections are served
}

TEST_F(ServerTest, BrokenThumbnailsAndMalformedFrames) {
    auto c = Client(0);
    ASSERT_TRUE(c);
    int flag = 0;
    ASSERT_EQ(c->BoxLogin(kSharedBox, "", flag), 1);
    int id = DocId(*c, "Photo");
    int full = 0;
    ASSERT_EQ(c->OpenThumbnail(id, 1, 1, full), 1);
    c->CloseThumbnail();

    FaultConfig f;
    f.thumbnail = Session::ThumbnailFault::kTruncate;
    f.thumbnailBytes = 100;
    server_->GetEngine().GetFaults().Set(f);
    int size = 0;
    ASSERT_EQ(c->OpenThumbnail(id, 1, 1, size), 1);
    EXPECT_EQ(size, full);
    std::vector<uint8_t> buf(static_cast<size_t>(size) + 1000);
    int length = 0;
    c->ReadThumbnail(buf.data(), size, length);
    EXPECT_EQ(length, 100);  // never more than arrived
    c->CloseThumbnail();

    f.thumbnail = Session::ThumbnailFault::kOversize;
    f.thumbnailBytes = 700;
    server_->GetEngine().GetFaults().Set(f);
    ASSERT_EQ(c->OpenThumbnail(id, 1, 1, size), 1);
    c->ReadThumbnail(buf.data(), size, length);
    EXPECT_EQ(length, size);  // never more than the buffer
    c->CloseThumbnail();

    f.thumbnail = Session::ThumbnailFault::kAbsurdSize;
    f.thumbnailBytes = int64_t{1} << 30;
    server_->GetEngine().GetFaults().Set(f);
    EXPECT_EQ(c->OpenThumbnail(id, 1, 1, size), 0);

    for (MalformedKind kind :
         {MalformedKind::kGarbage, MalformedKind::kLength, MalformedKind::kTruncated}) {
        auto m = Client(0);
        ASSERT_TRUE(m);
        FaultConfig mf;
        mf.malformedOn = "BoxList";
        mf.malformed = kind;
        server_->GetEngine().GetFaults().Set(mf);
        std::vector<tagUTIL_BOXINFO> boxes;
        EXPECT_EQ(m->GetBoxList(boxes), 0);
        int code = LastCode(*m);
        EXPECT_TRUE(code == QTCP_ERR_PROTOCOL || code == QTCP_ERR_CLOSED) << code;
        EXPECT_EQ(m->IsConnected(), 0);
        server_->GetEngine().GetFaults().Set(std::nullopt);
    }
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
        // Abort a stream part-way; the session goes on.
        ASSERT_EQ(c.BoxLogin(kSharedBox, "", flag), 1);
        ASSERT_EQ(c.GetDocumentList(docs, 1), 1);
        int longScan = -1;
        for (const auto& d : docs) {
            if (std::strcmp(d.szDocName, "Long scan") == 0) {
                longScan = d.lDocID;
            }
        }
        tagUTIL_OPENDOCPARAM p{};
        p.nOutputType = kOutTiff;
        ASSERT_EQ(c.OpenDocument(longScan, p), 1);
        std::vector<uint8_t> buf(4096);
        EXPECT_GT(c.ReadDocument(buf.data(), 4096), 0);
        EXPECT_EQ(c.CloseDocument(1), 1);
        std::vector<tagUTIL_BOXINFO> boxes;
        EXPECT_EQ(c.GetBoxList(boxes), 1);
        EXPECT_EQ(boxes.size(), 5u);
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
