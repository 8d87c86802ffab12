// The client's operations against an in-process device behind the link seam: version
// to class, the connect sequence and its round trips, error codes as the item tree
// reads them, document streams and thumbnails.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "tcpcore/link.h"
#include "tcpcore/tcpcore.h"
#include "test_device.h"

namespace vesk::tcpcore {
namespace {

using test::DeviceScript;
using test::MakeBox;
using test::MakeScriptedSession;
using test::Pattern;

class InProcessDevice : public ::testing::Test {
protected:
    void SetUp() override {
        script = std::make_shared<DeviceScript>();
        auto s = script;
        previous = SetLinkFactory([s](const LinkTarget& t, const WaitControl&, LinkStatus& st) {
            if (t.port != 9100) {  // nothing else listens
                st = LinkStatus::kConnectFailed;
                return std::unique_ptr<DeviceLink>();
            }
            st = LinkStatus::kOk;
            return MakeInProcessLink(MakeScriptedSession(s));
        });
    }
    void TearDown() override {
        script->release = true;
        SetLinkFactory(previous);
    }

    // The item tree's connect: query with a V20 object, pick the class, connect.
    std::unique_ptr<CTcpCore> ConnectLikeTheDevice(int mode = 0) {
        CTcpCoreV20 probe;
        EXPECT_EQ(probe.Initialize(mode, nullptr), 1);
        tagQTCP_DEVICEINFO info{};
        int major = 0, minor = 0, canceled = 0, opened = 0;
        EXPECT_EQ(probe.GetDeviceInfo(&info, major, minor, "127.0.0.1", canceled, opened, 9100, 5,
                                      12, 12, nullptr),
                  1);
        EXPECT_EQ(opened, 1);
        infoRoundTrips = probe.GetRoundTripCount();
        EXPECT_EQ(probe.Uninitialize(), 1);
        CTcpCore factory;
        std::unique_ptr<CTcpCore> core(factory.GetTcpCoreObject(major, minor));
        EXPECT_TRUE(core);
        if (!core)
            return nullptr;
        EXPECT_EQ(core->Initialize(mode, "1.3.6.1"), 1);
        int user = -1, account = -1, pub = -1;
        EXPECT_EQ(core->Connect("127.0.0.1", 9100, user, account, pub, nullptr), 1);
        EXPECT_EQ(user, script->userAuth);
        EXPECT_EQ(account, script->accountAuth);
        EXPECT_EQ(pub, script->publicSupport);
        return core;
    }

    static std::pair<int, int> LastError(CTcpCore& c) {
        int code = -1, detail = -1;
        c.GetLastErrorCode(code, detail);
        return {code, detail};
    }

    std::shared_ptr<DeviceScript> script;
    LinkFactory previous;
    long long infoRoundTrips = 0;
};

TEST(TcpCoreFactory, MapsReportedVersionsToClassesAndNumbers) {
    struct Case {
        int major, minor, number;
        bool v31;
    } cases[] = {{1, 2, 12, false}, {2, 0, 20, false}, {3, 0, 30, false}, {3, 1, 31, true},
                 {3, 2, 32, true},  {3, 9, 39, true},  {3, 10, 39, true}, {4, 0, 40, true},
                 {4, 9, 49, true},  {4, 11, 49, true}, {9, 9, 99, true}};
    for (const Case& c : cases) {
        CTcpCore factory;
        std::unique_ptr<CTcpCore> obj(factory.GetTcpCoreObject(c.major, c.minor));
        ASSERT_TRUE(obj) << c.major << "." << c.minor;
        EXPECT_EQ(factory.GetTcpVersion(), c.number) << c.major << "." << c.minor;
        EXPECT_EQ(obj->GetTcpVersion(), c.number);
        EXPECT_EQ(dynamic_cast<CTcpCoreV31*>(obj.get()) != nullptr, c.v31);
        EXPECT_EQ(dynamic_cast<CTcpCoreV20*>(obj.get()) != nullptr, !c.v31);
    }
    for (auto [major, minor] : {std::pair{0, 5}, {10, 0}, {-1, 0}, {3, -1}}) {
        CTcpCore factory;
        EXPECT_EQ(factory.GetTcpCoreObject(major, minor), nullptr) << major << "." << minor;
        EXPECT_EQ(factory.GetTcpVersion(), 0);
    }
    EXPECT_EQ(CTcpCoreV31DMiOP().GetTcpVersion(), 31);
}

template <class R>
bool SameBytes(const R& a, const R& b) {
    return std::memcmp(&a, &b, sizeof(R)) == 0;
}

TEST_F(InProcessDevice, ConnectTakesTwoExchangesAndAnswersEveryInquiryLocally) {
    const tagUTIL_BOXCONTROLPERMISSION control{1, 1, 0};
    const tagUTIL_AUTODELTIMEPERMISSION autoDel{1, 0};
    tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO ext{};
    ext.nSearchablePDF = 1;
    ext.nLangNum = 2;
    ext.nLang[1] = 7;
    tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2 ext2{};
    ext2.nPDFA = 1;
    Inquiries& q = script->inquiries;
    q.SetRecord(Inquiry::kBoxControlPermission, control);
    q.SetRecord(Inquiry::kAutoDelTimePermission, autoDel);
    q.SetRecord(Inquiry::kExtendedFormat, ext);
    q.SetRecord(Inquiry::kExtendedFormat2, ext2);
    q.SetInt(Inquiry::kOptionalFunction, static_cast<std::int32_t>(0x80000005u));
    // Each integer inquiry with a value of its own, so a mix-up shows.
    struct IntInquiry {
        Inquiry tag;
        int (CTcpCore::*call)(int&);
    } ints[] = {{Inquiry::kHddCount, &CTcpCore::GetHDDCount},
                {Inquiry::kRxDataSecurity, &CTcpCore::InquireSecuritySettingOfRXData},
                {Inquiry::kMono2ColorPolicy, &CTcpCore::GetMono2ColorDocPolicy},
                {Inquiry::kIOption, &CTcpCore::IsIOption},
                {Inquiry::kEnhancedSecurity, &CTcpCore::InquireEnhancedSecurityMode}};
    for (const IntInquiry& i : ints)
        q.SetInt(i.tag, 100 + static_cast<int>(i.tag));

    auto core = ConnectLikeTheDevice();
    ASSERT_TRUE(core);
    EXPECT_EQ(infoRoundTrips, 1);
    EXPECT_EQ(core->GetRoundTripCount(), 1);
    EXPECT_EQ(script->sessions, 1);  // the query's connection was kept and reused
    EXPECT_EQ(core->IsConnected(), 1);

    for (const IntInquiry& i : ints) {
        int v = -1;
        EXPECT_EQ(((*core).*i.call)(v), 1);
        EXPECT_EQ(v, 100 + static_cast<int>(i.tag));
    }
    tagUTIL_BOXCONTROLPERMISSION gotControl{};
    EXPECT_EQ(core->GetBoxControlPermission(gotControl), 1);
    EXPECT_TRUE(SameBytes(gotControl, control));
    tagUTIL_AUTODELTIMEPERMISSION gotAutoDel{};
    EXPECT_EQ(core->GetAutoDelTimePermission(gotAutoDel), 1);
    EXPECT_TRUE(SameBytes(gotAutoDel, autoDel));
    tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO gotExt{};
    EXPECT_EQ(core->GetExtendedFormatSupportInfo(gotExt), 1);
    EXPECT_TRUE(SameBytes(gotExt, ext));
    tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2 gotExt2{};
    EXPECT_EQ(core->GetExtendedFormatSupportInfo2(gotExt2), 1);
    EXPECT_TRUE(SameBytes(gotExt2, ext2));
    long functions = 0;
    EXPECT_EQ(core->GetOptionalFunction(functions), 1);
    EXPECT_EQ(functions, 0x80000005L);        // a bit set, not a negative number
    EXPECT_EQ(core->GetRoundTripCount(), 1);  // all of it without traffic
    EXPECT_EQ(script->Seen(), (std::vector<Op>{Op::kHello, Op::kConnect}));
}

TEST_F(InProcessDevice, DeviceInfoQueryHonoursACancelFlagSetBeforeIt) {
    CTcpCoreV20 probe;
    ASSERT_EQ(probe.Initialize(0, nullptr), 1);
    tagQTCP_DEVICEINFO info{};
    int major = 0, minor = 0, canceled = 1, opened = 0;
    EXPECT_EQ(probe.GetDeviceInfo(&info, major, minor, "127.0.0.1", canceled, opened, 9100, 5, 12,
                                  12, nullptr),
              0);
    EXPECT_EQ(canceled, 1);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(LastError(probe).first, QTCP_ERR_CANCELLED);
    EXPECT_TRUE(script->Seen().empty());
    canceled = 0;
    EXPECT_EQ(probe.GetDeviceInfo(&info, major, minor, "127.0.0.1", canceled, opened, 9100, 5, 12,
                                  12, nullptr),
              1);
    EXPECT_EQ(major, 4);
    EXPECT_EQ(minor, 9);
    EXPECT_EQ(info.nMajorVersion, 4);
    EXPECT_STREQ(info.szDeviceID, script->deviceId.c_str());
    EXPECT_STREQ(info.szModelName, "Test MFP");
}

TEST_F(InProcessDevice, InquiriesTheDeviceLeftOutCostOneExchangeOrFail) {
    script->extraInquiries.SetInt(Inquiry::kBoxAdminSupport, 1);
    auto core = ConnectLikeTheDevice();
    ASSERT_TRUE(core);
    int v = 0;
    EXPECT_EQ(core->GetBoxAdminSupport(v), 1);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(core->GetBoxAdminSupport(v), 1);  // now known
    EXPECT_EQ(script->Count(Op::kInquire), 1);
    v = -1;
    EXPECT_EQ(core->InquireSupportOfSettingUserName(v), 0);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(LastError(*core).first, QTCP_DEV_UNSUPPORTED);
}

TEST_F(InProcessDevice, DeviceErrorCodesReachTheCaller) {
    script->boxPasswords[5] = "right";
    script->refuse[Op::kCreateBox] = {QTCP_DEV_BOX_CREATE, 0};
    script->refuse[Op::kRenameBox] = {QTCP_DEV_BOX_NAME_IN_USE, 1};
    script->refuse[Op::kChangeBox] = {QTCP_DEV_BOX_SETTING, 0};
    script->refuse[Op::kRemoveBox] = {QTCP_DEV_BOX_PASSWORD, 4};
    auto core = ConnectLikeTheDevice();
    ASSERT_TRUE(core);

    int flag = 0;
    EXPECT_EQ(core->BoxLogin(5, "wrong", flag), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(LastError(*core).first, QTCP_DEV_BOX_PASSWORD);
    EXPECT_EQ(core->BoxLogin(5, "right", flag), 1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(LastError(*core), (std::pair<int, int>{0, 0}));  // a success clears the error

    tagUTIL_BOXCREATEINFO create{};
    EXPECT_EQ(core->CreateBox(create, ""), -1);
    EXPECT_EQ(LastError(*core), (std::pair<int, int>{QTCP_DEV_BOX_CREATE, 7}));
    EXPECT_EQ(core->RenameBox(5, "n", 1, "right", flag), 0);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(LastError(*core).first, QTCP_DEV_BOX_NAME_IN_USE);
    tagUTIL_BOXPROPINFO prop{};
    EXPECT_EQ(core->ChangeBoxSetting(5, prop, "a", "b", flag), 0);
    EXPECT_EQ(LastError(*core).first, QTCP_DEV_BOX_SETTING);
    int detail = 0;
    EXPECT_EQ(core->RemoveBox(5, "x", detail), 0);
    EXPECT_EQ(detail, 4);
    EXPECT_TRUE(core->IsConnected());  // refusals leave the session standing
}

TEST_F(InProcessDevice, EverythingFailsCleanlyWithoutASession) {
    CTcpCoreV31 core;
    int v = 0, flag = 0;
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(core.GetBoxList(boxes), 0);
    EXPECT_EQ(LastError(core).first, QTCP_ERR_NOT_CONNECTED);
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
    EXPECT_EQ(LastError(core).first, QTCP_ERR_ARGUMENT);
    EXPECT_EQ(core.Disconnect(1), 0);
    EXPECT_EQ(core.IsConnected(), 0);
    int code = 0, detail = 0;
    int user, account, pub;
    EXPECT_EQ(core.Connect("127.0.0.1", 9100, user, account, pub, nullptr), 0);
    core.GetLastErrorCode(code, detail);
    EXPECT_EQ(code, QTCP_ERR_NOT_INITIALIZED);
    EXPECT_EQ(core.Initialize(2, nullptr), 0);
    ASSERT_EQ(core.Initialize(0, nullptr), 1);
    EXPECT_EQ(core.Connect("127.0.0.1", 9101, user, account, pub, nullptr), 0);
    EXPECT_EQ(LastError(core).first, QTCP_ERR_CONNECT);
    int status = 0, colour = 0;
    EXPECT_EQ(core.ReconnectInfinite(status, colour), 0);
}

// Reads the whole stream the way the item tree does: 1 MiB at a time.
std::vector<std::uint8_t> ReadAll(CTcpCore& core, int& last, std::vector<int>* sizes = nullptr) {
    std::vector<std::uint8_t> buf(1 << 20), all;
    for (;;) {
        last = core.ReadDocument(buf.data(), static_cast<int>(buf.size()));
        if (last <= 0)
            return all;
        if (sizes)
            sizes->push_back(last);
        all.insert(all.end(), buf.begin(), buf.begin() + last);
    }
}

std::vector<tagQTCP_RECVDATA> g_progress;
long __stdcall RecordProgress(tagQTCP_RECVDATA* d) {
    g_progress.push_back(*d);
    return 0;
}

TEST_F(InProcessDevice, DocumentStreamsInMegabyteReadsWithoutPerChunkRequests) {
    script->document = Pattern((5u << 19) + 123);  // 2.5 MiB and a bit
    script->chunk = 64u << 10;
    auto core = ConnectLikeTheDevice();
    ASSERT_TRUE(core);
    tagUTIL_OPENDOCPARAM p{};
    p.nPage = 1;
    ASSERT_EQ(core->OpenDocument(7, p), 1);
    g_progress.clear();
    QTCP_RECVDATA_CALLBACK before = core->ResetCallbackRecvData(RecordProgress);
    EXPECT_EQ(before, nullptr);
    int last = 0;
    std::vector<int> sizes;
    const std::vector<std::uint8_t> got = ReadAll(*core, last, &sizes);
    EXPECT_EQ(core->ResetCallbackRecvData(before), RecordProgress);
    EXPECT_EQ(last, 0);
    EXPECT_EQ(got, script->document);
    EXPECT_EQ(sizes, (std::vector<int>{1 << 20, 1 << 20, (1 << 19) + 123}));
    EXPECT_EQ(core->GetLastStackError(), -1);
    EXPECT_EQ(core->CloseDocument(0), 1);
    core->StackErrorClear();
    EXPECT_EQ(core->GetLastStackError(), 0);

    ASSERT_FALSE(g_progress.empty());
    EXPECT_EQ(g_progress.back().llReceived, static_cast<long long>(script->document.size()));
    for (std::size_t i = 0; i < g_progress.size(); ++i) {
        EXPECT_EQ(g_progress[i].llTotal, static_cast<long long>(script->document.size()));
        if (i) {
            EXPECT_GT(g_progress[i].llReceived, g_progress[i - 1].llReceived);
        }
    }
    // One open, and nothing else asked for the data.
    EXPECT_EQ(script->Seen(), (std::vector<Op>{Op::kHello, Op::kConnect, Op::kOpenDoc}));
    EXPECT_EQ(core->GetRoundTripCount(), 2);
}

TEST_F(InProcessDevice, StreamEndingInErrorOrWithWrongSizesIsNotAComplete) {
    script->document = Pattern(300000);
    script->endStatus = QTCP_DEV_CONVERSION;
    auto core = ConnectLikeTheDevice();
    ASSERT_TRUE(core);
    ASSERT_EQ(core->OpenDocument(1, 1, 0x81), 1);
    int last = 0;
    EXPECT_EQ(ReadAll(*core, last).size(), 300000u);  // the data that came is delivered
    EXPECT_EQ(last, -2);
    EXPECT_EQ(core->GetLastStackError(), QTCP_DEV_CONVERSION);
    EXPECT_EQ(LastError(*core), (std::pair<int, int>{QTCP_DEV_CONVERSION, 5}));
    EXPECT_EQ(core->CloseDocument(0), 0);
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(core->GetBoxList(boxes), 1);  // the session is fine

    // Fewer bytes than announced, with an end frame that claims success.
    script->endStatus = 0;
    script->announced = 300001;
    ASSERT_EQ(core->OpenDocument(1, 1, 0x81), 1);
    ReadAll(*core, last);
    EXPECT_EQ(last, -2);
    EXPECT_EQ(core->GetLastStackError(), QTCP_ERR_PROTOCOL);
    EXPECT_EQ(core->CloseDocument(0), 0);

    // An end count that disagrees with what arrived.
    script->announced = -1;
    script->endCount = 5;
    ASSERT_EQ(core->OpenDocument(1, 1, 0x81), 1);
    ReadAll(*core, last);
    EXPECT_EQ(last, -2);
    EXPECT_EQ(core->CloseDocument(0), 0);

    // More bytes than announced: the device cannot be trusted, the link goes.
    script->endCount = -1;
    script->announced = 1000;
    ASSERT_EQ(core->OpenDocument(1, 1, 0x81), 1);
    ReadAll(*core, last);
    EXPECT_EQ(last, -1);
    EXPECT_EQ(LastError(*core).first, QTCP_ERR_PROTOCOL);
    EXPECT_EQ(core->CloseDocument(1), 1);
    EXPECT_EQ(core->IsConnected(), 0);
}

TEST_F(InProcessDevice, ANewRequestStopsAnOpenStreamFirstAndKeepsTheSession) {
    script->document = Pattern(40u << 20);
    script->chunk = 256u << 10;
    auto core = ConnectLikeTheDevice();
    ASSERT_TRUE(core);
    ASSERT_EQ(core->OpenDocument(1, 1, 0x81), 1);
    std::vector<std::uint8_t> buf(1 << 20);
    ASSERT_EQ(core->ReadDocument(buf.data(), 1 << 20), 1 << 20);
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(core->GetBoxList(boxes), 1);
    EXPECT_EQ(script->aborts, 1);
    EXPECT_EQ(core->IsConnected(), 1);
    EXPECT_EQ(core->ReadDocument(buf.data(), 1 << 20), -1);  // that stream is over
    EXPECT_EQ(core->CloseDocument(1), 1);
}

TEST_F(InProcessDevice, ThumbnailReadsAreBoundedByBufferAnnouncementAndData) {
    auto core = ConnectLikeTheDevice();
    ASSERT_TRUE(core);
    // The device sends more than it announced: only the announced size is copied.
    script->thumbAnnounced = 10400;
    script->thumbData = Pattern(20000);
    int size = -1, length = -1;
    ASSERT_EQ(core->OpenThumbnail(3, 1, 1, size), 1);
    EXPECT_EQ(size, 10400);
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(size));
    ASSERT_EQ(core->ReadThumbnail(buf.data(), size, length), 1);
    EXPECT_EQ(length, 10400);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), script->thumbData.begin()));
    EXPECT_EQ(core->CloseThumbnail(), 1);
    EXPECT_EQ(core->ReadThumbnail(buf.data(), size, length), 0);  // closed

    // Less than announced: the length says what really came.
    script->thumbAnnounced = 10400;
    script->thumbData = Pattern(5000);
    ASSERT_EQ(core->OpenThumbnail(3, 1, 1, size), 1);
    ASSERT_EQ(core->ReadThumbnail(buf.data(), size, length), 1);
    EXPECT_EQ(length, 5000);
    core->CloseThumbnail();

    // A negative or absurd announcement fails the open.
    for (int bad : {-1, static_cast<int>(kMaxPayload) + 1}) {
        script->thumbAnnounced = bad;
        size = 0;
        EXPECT_EQ(core->OpenThumbnail(3, 1, 1, size), 0);
        EXPECT_EQ(LastError(*core).first, QTCP_ERR_PROTOCOL);
        EXPECT_EQ(core->ReadThumbnail(buf.data(), 100, length), 0);
    }
}

TEST_F(InProcessDevice, DisconnectEndsTheSessionAlsoAfterADrop) {
    auto core = ConnectLikeTheDevice();
    ASSERT_TRUE(core);
    EXPECT_EQ(core->Disconnect(1), 1);
    EXPECT_EQ(core->IsConnected(), 0);
    EXPECT_EQ(script->Count(Op::kDisconnect), 1);
    EXPECT_EQ(core->Disconnect(1), 0);

    script->stallOn = Op::kBoxList;
    core = ConnectLikeTheDevice();
    ASSERT_TRUE(core);
    core->SetTimeouts(0, 200);
    std::vector<tagUTIL_BOXINFO> boxes;
    EXPECT_EQ(core->GetBoxList(boxes), 0);
    EXPECT_EQ(core->IsConnected(), 0);
    EXPECT_EQ(core->Disconnect(1), 1);  // the session existed; it is gone now
}

}  // namespace
}  // namespace vesk::tcpcore
