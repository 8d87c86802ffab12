// Values a device reports that the client acts on are checked: an authentication type
// outside its set, a print job with negative copies, a refusal flag on a success reply.
// Each is a failure with a clear code, never a success.
#include <atomic>
#include <tuple>

#include "support/sim_fixture.h"
#include "support/tampering_peer.h"
#include "tcpcore/wire.h"

namespace vesk::test {
namespace {

namespace tc = vesk::tcpcore;
using DeviceValues = E2E;

bool IsSuccessReply(const tc::Frame& f, tc::Op op) {
    return f.kind == tc::FrameKind::kReply && f.op == op && f.status == 0;
}

TEST_P(DeviceValues, AccountTypeOutsideItsSetOpensNoSession) {
    ASSERT_TRUE(StartDevice());
    TamperingPeer peer(Device(), Mode(), [](tc::Frame& f) {
        tc::ConnectReply r;
        if (IsSuccessReply(f, tc::Op::kConnect) && tc::ParsePayload(f, r)) {
            r.accountAuthType = 7;
            f = tc::MakeFrame(f.kind, f.op, f.seq, r);
        }
        return true;
    });
    std::string why;
    const SimConnection c = ConnectRoad(Mode(), peer.Port(), why);
    EXPECT_FALSE(c.core);
    EXPECT_NE(why.find("Connect failed with 9007"), std::string::npos) << why;
}

TEST_P(DeviceValues, NegativeCopiesAndRefusalFlagsAreNotSuccess) {
    ASSERT_TRUE(StartDevice());
    std::atomic<bool> refuseBoxLogin{false};
    TamperingPeer peer(Device(), Mode(), [&](tc::Frame& f) {
        tc::PrintSettingMessage m;
        if (IsSuccessReply(f, tc::Op::kPrint) && tc::ParsePayload(f, m)) {
            m.settings.nCopies = -3;
            f = tc::MakeFrame(f.kind, f.op, f.seq, m);
        }
        if (IsSuccessReply(f, tc::Op::kBoxLogin) && refuseBoxLogin)
            f = tc::MakeFrame(f.kind, f.op, f.seq, tc::IntMessage{1});
        return true;
    });
    std::string why;
    m_conn = ConnectRoad(Mode(), peer.Port(), why);
    ASSERT_TRUE(m_conn.core) << why;
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    int flag = -1;
    ASSERT_EQ(Core().UserLogin2("alice", 5, "alice", perm), 1);
    ASSERT_EQ(Core().BoxLogin(kSharedBox, "", flag), 1);
    const long id = DocId("Invoice 2024-001");
    ASSERT_EQ(Core().SetDocument(id), 1);
    PrintSetting job{};
    job.nCopies = 2;
    EXPECT_EQ(Core().PrintDocument(job), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_ERR_PROTOCOL);
    refuseBoxLogin = true;
    EXPECT_EQ(Core().BoxLogin(kSharedBox, "", flag), 0);
    EXPECT_EQ(std::tuple(flag, ErrorOf(Core()).code), std::tuple(1, QTCP_DEV_BOX_PASSWORD));
}

VESK_E2E_MODES(DeviceValues);

}  // namespace
}  // namespace vesk::test
