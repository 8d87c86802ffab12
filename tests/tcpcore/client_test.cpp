// The client without a device (the factory's classes, every call before a session),
// then its operations against the emulator, behind scripted links that answer or
// rewrite the frames whose exact form matters: the connect sequence and its round trips,
// inquiries, stream accounting, thumbnails.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <tuple>

#include "e2e/synthetic_document.h"
#include "support/data_table.h"
#include "support/loopback.h"
#include "support/scripted_links.h"
#include "support/sim_fixture.h"
#include "tcpcore/link.h"
#include "tcpcore/tcpcore.h"
#include "tools/mfpsim/lib/render.h"

namespace vesk::tcpcore {
namespace {

using test::ErrorOf;

TEST(TcpCoreFactory, MapsReportedVersionsToClassesAndNumbers) {
    for (const auto& c : test::DataInts("tcpcore/versions.tsv", "class")) {
        SCOPED_TRACE(testing::Message() << c[0] << "." << c[1]);
        CTcpCore factory;
        std::unique_ptr<CTcpCore> obj(factory.GetTcpCoreObject(c[0], c[1]));
        ASSERT_TRUE(obj);
        EXPECT_EQ(std::tuple(factory.GetTcpVersion(), obj->GetTcpVersion(),
                             dynamic_cast<CTcpCoreV31*>(obj.get()) != nullptr,
                             dynamic_cast<CTcpCoreV20*>(obj.get()) != nullptr),
                  std::tuple(c[2], c[2], c[3] == 1, c[3] == 0));
    }
    for (const auto& c : test::DataInts("tcpcore/versions.tsv", "none")) {
        CTcpCore factory;
        EXPECT_EQ(factory.GetTcpCoreObject(c[0], c[1]), nullptr) << c[0] << "." << c[1];
        EXPECT_EQ(factory.GetTcpVersion(), 0);
    }
    EXPECT_EQ(CTcpCoreV31DMiOP().GetTcpVersion(), 31);
}

TEST(TcpCoreClient, EverythingFailsCleanlyWithoutASession) {
    CTcpCoreV31 core;
    int v = 0, flag = 0;
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(core.GetBoxList(boxes), 0);
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_NOT_CONNECTED);
    EXPECT_EQ(core.GetHDDCount(v), 0);
    EXPECT_EQ(core.BoxLogin(1, "", flag), 0);
    EXPECT_EQ(core.CreateBox(tagUTIL_BOXCREATEINFO{}, ""), -1);
    char buf[16];
    EXPECT_EQ(core.ReadDocument(buf, sizeof buf), -1);
    EXPECT_EQ(core.CloseDocument(1), 1);
    EXPECT_EQ(core.CloseDocument(0), 0);
    long ids[] = {1, 2, 3};
    EXPECT_EQ(core.OpenDocumentWithBind(ids, 0, 2), 0);
    EXPECT_EQ(core.OpenDocumentWithBind(nullptr, 3, 2), 0);
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_ARGUMENT);
    EXPECT_EQ(core.Disconnect(1), 0);
    EXPECT_EQ(core.IsConnected(), 0);
    int user, account, pub;
    const int closed = test::ClosedLoopbackPort();
    EXPECT_EQ(core.Connect("127.0.0.1", closed, user, account, pub, nullptr), 0);
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_NOT_INITIALIZED);
    EXPECT_EQ(core.Initialize(2, nullptr), 0);
    ASSERT_EQ(core.Initialize(0, nullptr), 1);
    EXPECT_EQ(core.Connect("127.0.0.1", closed, user, account, pub, nullptr), 0);
    EXPECT_EQ(ErrorOf(core).code, QTCP_ERR_CONNECT);
    int status = 0, colour = 0;
    EXPECT_EQ(core.ReconnectInfinite(status, colour), 0);
}

class InProcessDevice : public ::testing::Test {
protected:
    // Owned with the links, so a device handler still busy after the test keeps them.
    struct Hooks {
        std::function<bool(const Frame&, const FrameEmitter&)> request;
        std::function<void(Frame&)> reply;
    };

    void TearDown() override {
        links.reset();
        DropParkedLink();
    }

    // A device with these options behind the links, and the item tree's connect road to it.
    std::unique_ptr<CTcpCore> Connect(const test::SimOptions& options = {}) {
        links.reset();
        device = std::make_unique<test::SimDevice>(options);
        links = std::make_unique<test::ScriptedLinks>(
            *device,
            test::ScriptedLinks::Script{[h = hooks](const Frame& f, const FrameEmitter& e) {
                                            return h->request && h->request(f, e);
                                        },
                                        [h = hooks](Frame& f) {
                                            if (h->reply)
                                                h->reply(f);
                                        }});
        std::string why;
        test::SimConnection c = test::ConnectRoad(0, 9100, why);
        EXPECT_TRUE(c.core) << why;
        probeRoundTrips = c.probeRoundTrips;
        return std::move(c.core);
    }
    // Connects as alice with the shared box open.
    std::unique_ptr<CTcpCore> ConnectToSharedBox(const test::SimOptions& options) {
        auto core = Connect(options);
        tagUTIL_DOCOPERATIONPERMISSION perm{};
        int flag = 0;
        if (core && (core->UserLogin2("alice", 5, "alice", perm) != 1 ||
                     core->BoxLogin(test::kSharedBox, "", flag) != 1)) {
            ADD_FAILURE() << "login refused with " << ErrorOf(*core).code;
            return nullptr;
        }
        return core;
    }
    std::vector<Op> Ops() {
        std::vector<Op> ops;
        for (const Frame& f : links->Requests())
            ops.push_back(f.op);
        return ops;
    }
    long Count(Op op) {
        const std::vector<Op> ops = Ops();
        return std::count(ops.begin(), ops.end(), op);
    }
    std::shared_ptr<Hooks> hooks = std::make_shared<Hooks>();
    std::unique_ptr<test::SimDevice> device;
    std::unique_ptr<test::ScriptedLinks> links;  // after the device: goes first
    long long probeRoundTrips = 0;
};

// Each record the client gives back is the one the connect reply carried, byte for byte.
template <class R>
bool SameRecord(const Inquiries& sent, Inquiry tag, const R& got) {
    R want{};
    return sent.GetRecord(tag, want) && std::memcmp(&want, &got, sizeof(R)) == 0;
}

TEST_F(InProcessDevice, ConnectTakesTwoExchangesAndAnswersEveryInquiryLocally) {
    ConnectReply sent;
    hooks->reply = [&sent](Frame& f) {
        if (f.op == Op::kConnect) {
            ASSERT_TRUE(ParsePayload(f, sent));
        }
    };
    test::SimOptions options;
    options.edit = [](mfpsim::DeviceState& s) {
        mfpsim::Identity& i = s.identity;
        std::tie(i.boxCreate, i.boxEdit, i.boxDelete) = std::tuple{1, 1, 0};
        i.supportedFileFormat = 0x80000005u;
    };
    auto core = Connect(options);
    ASSERT_TRUE(core);
    EXPECT_EQ(probeRoundTrips, 1);
    EXPECT_EQ(core->GetRoundTripCount(), 1);
    EXPECT_EQ(links->Sessions(), 1);  // the query's connection was kept and reused
    EXPECT_EQ(core->IsConnected(), 1);

    const Inquiries& q = sent.inquiries;
    tagUTIL_BOXCONTROLPERMISSION control{};
    tagUTIL_AUTODELTIMEPERMISSION autoDel{};
    tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO ext{};
    tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2 ext2{};
    long functions = 0;
    EXPECT_EQ(
        std::tuple(core->GetBoxControlPermission(control), core->GetAutoDelTimePermission(autoDel),
                   core->GetExtendedFormatSupportInfo(ext),
                   core->GetExtendedFormatSupportInfo2(ext2), core->GetOptionalFunction(functions)),
        std::tuple(1, 1, 1, 1, 1));
    EXPECT_TRUE(SameRecord(q, Inquiry::kBoxControlPermission, control) &&
                SameRecord(q, Inquiry::kAutoDelTimePermission, autoDel) &&
                SameRecord(q, Inquiry::kExtendedFormat, ext) &&
                SameRecord(q, Inquiry::kExtendedFormat2, ext2));
    EXPECT_EQ(std::tuple(control.nCreate, control.nEdit, control.nDelete), std::tuple(1, 1, 0));
    EXPECT_EQ(functions, 0x80000005L);        // a bit set, not a negative number
    EXPECT_EQ(core->GetRoundTripCount(), 1);  // all of it without traffic
    EXPECT_EQ(Ops(), (std::vector<Op>{Op::kHello, Op::kConnect}));
}

TEST_F(InProcessDevice, DeviceInfoQueryHonoursACancelFlagSetBeforeIt) {
    device = std::make_unique<test::SimDevice>();
    links = std::make_unique<test::ScriptedLinks>(*device, test::ScriptedLinks::Script{});
    CTcpCoreV20 probe;
    ASSERT_EQ(probe.Initialize(0, nullptr), 1);
    tagQTCP_DEVICEINFO info{};
    int major = 0, minor = 0, canceled = 1, opened = 0;
    EXPECT_EQ(probe.GetDeviceInfo(&info, major, minor, "127.0.0.1", canceled, opened, 9100, 5, 12,
                                  12, nullptr),
              0);
    EXPECT_EQ(canceled, 1);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(ErrorOf(probe).code, QTCP_ERR_CANCELLED);
    EXPECT_TRUE(links->Requests().empty());
    // The flag lowered, the same object asks (the answer's fields: tests/e2e/session_test.cpp).
    canceled = 0;
    EXPECT_EQ(probe.GetDeviceInfo(&info, major, minor, "127.0.0.1", canceled, opened, 9100, 5, 12,
                                  12, nullptr),
              1);
    EXPECT_EQ(std::tuple(major, minor), std::tuple(4, 11));
}

TEST_F(InProcessDevice, InquiriesTheDeviceLeftOutCostOneExchangeOrFail) {
    hooks->reply = [](Frame& f) {
        ConnectReply r;
        if (f.op != Op::kConnect || !ParsePayload(f, r))
            return;
        for (Inquiry left :
             {Inquiry::kBoxAdminSupport, Inquiry::kSettingUserName, Inquiry::kSearchablePdf})
            r.inquiries.items.erase(static_cast<std::uint16_t>(left));
        // A record of the wrong size is not taken as the answer.
        r.inquiries.items[static_cast<std::uint16_t>(Inquiry::kBoxControlPermission)].resize(1);
        f = MakeFrame(f.kind, f.op, f.seq, r);
    };
    hooks->request = [](const Frame& f, const FrameEmitter& emit) {
        InquireRequest q;
        if (f.op != Op::kInquire || !ParsePayload(f, q) ||
            (q.tag != static_cast<std::uint16_t>(Inquiry::kSettingUserName) &&
             q.tag != static_cast<std::uint16_t>(Inquiry::kSearchablePdf)))
            return false;
        emit(test::FailureReply(f, QTCP_DEV_UNSUPPORTED));
        return true;
    };
    auto core = Connect();
    ASSERT_TRUE(core);
    int v = 0;
    EXPECT_EQ(core->GetBoxAdminSupport(v), 1);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(core->GetBoxAdminSupport(v), 1);  // now known
    v = -1;
    EXPECT_EQ(core->InquireSupportOfSettingUserName(v), 0);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(ErrorOf(*core).code, QTCP_DEV_UNSUPPORTED);
    tagUTIL_SPDF_SUPPORT_INFO pdf{};
    EXPECT_EQ(core->GetSearchablePDFSupportInfo(pdf), 0);  // a record alike
    EXPECT_EQ(ErrorOf(*core).code, QTCP_DEV_UNSUPPORTED);
    tagUTIL_BOXCONTROLPERMISSION control{};
    EXPECT_EQ(core->GetBoxControlPermission(control), 1);
    EXPECT_EQ(Count(Op::kInquire), 4);
    EXPECT_EQ(core->IsConnected(), 1);  // a refused inquiry leaves the session
}

std::vector<tagQTCP_RECVDATA> g_progress;
long __stdcall RecordProgress(tagQTCP_RECVDATA* d) {
    g_progress.push_back(*d);
    return 0;
}

TEST_F(InProcessDevice, DocumentStreamsFillEachMegabyteReadAndReportProgress) {
    const long long kSize = (5 << 19) + 123;  // 2.5 MiB and a bit
    int id = 0;
    auto core = ConnectToSharedBox(test::WithSyntheticDocument(kSize, id));
    ASSERT_TRUE(core);
    ASSERT_EQ(core->OpenDocument(id, tagUTIL_OPENDOCPARAM{}), 1) << ErrorOf(*core).code;
    g_progress.clear();
    QTCP_RECVDATA_CALLBACK before = core->ResetCallbackRecvData(RecordProgress);
    EXPECT_EQ(before, nullptr);
    std::vector<std::uint8_t> buf(1 << 20), got;
    std::vector<int> sizes;
    int last = 0;
    while ((last = core->ReadDocument(buf.data(), 1 << 20)) > 0) {
        sizes.push_back(last);
        got.insert(got.end(), buf.begin(), buf.begin() + last);
    }
    EXPECT_EQ(core->ResetCallbackRecvData(before), RecordProgress);
    EXPECT_EQ(last, 0);
    std::vector<std::uint8_t> want(static_cast<std::size_t>(kSize));
    mfpsim::SyntheticContent(0, want.data(), want.size());
    EXPECT_TRUE(got == want);
    EXPECT_EQ(sizes, (std::vector<int>{1 << 20, 1 << 20, (1 << 19) + 123}));
    EXPECT_EQ(core->GetLastStackError(), -1);
    EXPECT_EQ(core->CloseDocument(0), 1);
    core->StackErrorClear();
    EXPECT_EQ(core->GetLastStackError(), 0);

    ASSERT_FALSE(g_progress.empty());
    EXPECT_EQ(g_progress.back().llReceived, kSize);
    for (std::size_t i = 0; i < g_progress.size(); ++i) {
        EXPECT_EQ(g_progress[i].llTotal, kSize);
        if (i) {
            EXPECT_GT(g_progress[i].llReceived, g_progress[i - 1].llReceived);
        }
    }
}

TEST_F(InProcessDevice, EndCountOfAStreamWithoutAnnouncedSizeMustMatchTheData) {
    // The device announces no size and its end frame counts 5 bytes.
    hooks->reply = [](Frame& f) {
        if (f.op == Op::kOpenDoc && f.kind == FrameKind::kReply)
            f = MakeFrame(f.kind, f.op, f.seq, OpenReply{-1});
        if (f.kind == FrameKind::kEnd)
            f = MakeFrame(f.kind, f.op, f.seq, StreamEnd{5});
    };
    int id = 0;
    auto core = ConnectToSharedBox(test::WithSyntheticDocument(300000, id));
    ASSERT_TRUE(core);
    ASSERT_EQ(core->OpenDocument(id, tagUTIL_OPENDOCPARAM{}), 1);
    std::vector<unsigned char> data;
    std::string why;
    EXPECT_FALSE(test::ReadWhole(*core, data, why));
    EXPECT_EQ(data.size(), 300000u);  // the data that came is delivered
    EXPECT_EQ(core->ReadDocument(data.data(), 10), -2);
    EXPECT_EQ(core->GetLastStackError(), QTCP_ERR_PROTOCOL);
    EXPECT_EQ(core->CloseDocument(0), 0);
    EXPECT_EQ(core->IsConnected(), 1);  // the stream ended in step
}

TEST_F(InProcessDevice, ANewRequestStopsAnOpenStreamFirstAndKeepsTheSession) {
    std::atomic<int> aborted{0};
    hooks->reply = [&aborted](Frame& f) {
        aborted += f.kind == FrameKind::kEnd && f.status == QTCP_DEV_ABORTED;
    };
    int id = 0;
    auto core = ConnectToSharedBox(test::WithSyntheticDocument(40 << 20, id));
    ASSERT_TRUE(core);
    ASSERT_EQ(core->OpenDocument(id, tagUTIL_OPENDOCPARAM{}), 1);
    std::vector<std::uint8_t> buf(1 << 20);
    ASSERT_EQ(core->ReadDocument(buf.data(), 1 << 20), 1 << 20);
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(core->GetBoxList(boxes), 1);
    EXPECT_EQ(aborted, 1);
    EXPECT_EQ(core->IsConnected(), 1);
    EXPECT_EQ(core->ReadDocument(buf.data(), 1 << 20), -1);  // that stream is over
    EXPECT_EQ(core->CloseDocument(1), 1);
}

TEST_F(InProcessDevice, ThumbnailReadsAreBoundedByBufferAnnouncementAndData) {
    ThumbnailReply thumb;
    hooks->request = [&thumb](const Frame& f, const FrameEmitter& emit) {
        if (f.op != Op::kThumbnail)
            return false;
        emit(MakeFrame(FrameKind::kReply, f.op, f.seq, thumb));
        return true;
    };
    auto core = Connect();
    ASSERT_TRUE(core);
    auto pattern = [](std::size_t n) {
        std::vector<std::uint8_t> v(n);
        mfpsim::SyntheticContent(0, v.data(), n);
        return v;
    };
    // The device sends more than it announced: only the announced size is copied.
    thumb = {10400, pattern(20000)};
    int size = -1, length = -1;
    ASSERT_EQ(core->OpenThumbnail(3, 1, 1, size), 1);
    EXPECT_EQ(size, 10400);
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(size));
    ASSERT_EQ(core->ReadThumbnail(buf.data(), size, length), 1);
    EXPECT_EQ(length, 10400);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), thumb.data.begin()));
    EXPECT_EQ(core->CloseThumbnail(), 1);
    EXPECT_EQ(core->ReadThumbnail(buf.data(), size, length), 0);  // closed

    // Less than announced: the length says what really came.
    thumb = {10400, pattern(5000)};
    ASSERT_EQ(core->OpenThumbnail(3, 1, 1, size), 1);
    ASSERT_EQ(core->ReadThumbnail(buf.data(), size, length), 1);
    EXPECT_EQ(length, 5000);
    core->CloseThumbnail();

    // A negative or absurd announcement fails the open.
    for (int bad : {-1, static_cast<int>(kMaxPayload) + 1}) {
        thumb.announcedSize = bad;
        size = 0;
        EXPECT_EQ(core->OpenThumbnail(3, 1, 1, size), 0);
        EXPECT_EQ(ErrorOf(*core).code, QTCP_ERR_PROTOCOL);
        EXPECT_EQ(core->ReadThumbnail(buf.data(), 100, length), 0);
    }
}

TEST_F(InProcessDevice, DisconnectEndsTheSessionAlsoAfterADrop) {
    auto core = Connect();
    ASSERT_TRUE(core);
    EXPECT_EQ(core->Disconnect(1), 1);
    EXPECT_EQ(core->IsConnected(), 0);
    EXPECT_EQ(Count(Op::kDisconnect), 1);
    EXPECT_EQ(core->Disconnect(1), 0);

    // A device stuck in its handler longer than the link waits for it at closing.
    auto stuck = std::make_shared<std::atomic<bool>>(false);
    hooks->request = [stuck](const Frame& f, const FrameEmitter&) {
        if (f.op != Op::kBoxList)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        *stuck = true;
        return true;
    };
    core = Connect();
    ASSERT_TRUE(core);
    core->SetTimeouts(0, 200);
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(core->GetBoxList(boxes), 0);
    EXPECT_EQ(core->IsConnected(), 0);
    EXPECT_EQ(core->Disconnect(1), 1);  // the session existed; it is gone now
    while (!*stuck)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace
}  // namespace vesk::tcpcore
