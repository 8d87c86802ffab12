// What the box item changes on the device, against the emulator: deleting documents,
// copying and moving them into another box, renaming and re-configuring the box with
// its re-login, and bound downloads. The emulator's journal shows what was sent.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cache/vesk_cache.h"
#include "core/current_tcpcore.h"
#include "core/iteminfo.h"
#include "platform/charset.h"
#include "support/box_fixture.h"
#include "support/decoded_image.h"

namespace vesk::test {
namespace {

using BoxChanges = BoxFixture;

void Fail(SimDevice& sim, const std::string& op, int code, int skip = 0) {
    mfpsim::FaultConfig f;
    f.errors.push_back({op, code, 0, skip, -1});
    sim.SetFaults(f);
}

SimEdit Version(int major, int minor, int rxSecured = 1, int autoDelPermission = 1) {
    return [=](mfpsim::DeviceState& st) {
        st.identity.major = major;
        st.identity.minor = minor;
        st.identity.rxSecured = rxSecured;
        st.identity.autoDelTimePermission = autoDelPermission;
    };
}

// The journal's box session operations and changes, in order.
std::vector<tc::Op> SessionOps(SimDevice& sim) {
    std::vector<tc::Op> ops;
    for (const tc::Frame& f : sim.Journal())
        if (f.op == tc::Op::kBoxLogout || f.op == tc::Op::kBoxLogin || f.op == tc::Op::kRenameBox ||
            f.op == tc::Op::kChangeBox)
            ops.push_back(f.op);
    return ops;
}

// A change to a box that was logged in: out first, in again afterwards.
std::vector<tc::Op> Around(tc::Op change) {
    return {tc::Op::kBoxLogout, change, tc::Op::kBoxLogin};
}

TEST_P(BoxChanges, DeletionTakesTheRxPasswordOnlyWhereTheDeviceAsksForIt) {
    struct Case {
        int major, minor, rxSecured;
        long box;
        int withPassword;
    };
    for (const Case& c :
         {Case{4, 11, 1, kRxBox, 1}, Case{4, 3, 1, kRxBox, 1}, Case{4, 2, 1, kRxBox, 0},
          Case{4, 11, 0, kRxBox, 0}, Case{4, 11, 1, kSharedBox, 0}}) {
        SCOPED_TRACE(std::to_string(c.major * 10 + c.minor) + " box " + std::to_string(c.box));
        CVESKMFPBox* box =
            OpenBox(c.box, c.box == kRxBox ? L"0000" : L"", Version(c.major, c.minor, c.rxSecured));
        ASSERT_TRUE(box && box->GetChildList(1) == 1);
        const std::vector<long> ids = Ids(box->GetItemList());
        CVESKItem* held = box->GetItemList()->GetHead();
        const int64_t before = Requests();
        EXPECT_EQ(box->DeleteChildItem(987654, L"0000"), -1039);
        EXPECT_EQ(Requests(), before);  // nothing asked of the device
        EXPECT_EQ(box->DeleteChildItem(ids[0], L"9999"), c.withPassword ? -1038 : 1);
        EXPECT_EQ(box->DeleteChildItem(ids[1], L"0000"), 1);
        const auto sent = Sim().Requests<tc::RemoveDocRequest>(tc::Op::kRemoveDoc);
        EXPECT_EQ(sent.back().withPassword, c.withPassword);
        EXPECT_EQ(sent.back().password, c.withPassword ? "0000" : "");
        EXPECT_EQ(Ids(box->GetItemList()).size(), ids.size() - 2 + c.withPassword);
        EXPECT_EQ(held->GetItemID(), ids[0]);  // a held item stays alive
    }
}

TEST_P(BoxChanges, CopyAndMoveToABoxDoTheKnownIdsAndStopAtARefusal) {
    for (const int copy : {1, 0}) {
        SCOPED_TRACE(copy ? "copy" : "move");
        CVESKMFPBox* box = OpenBox(kSharedBox);
        ASSERT_TRUE(box && box->GetChildList(1) == 1);
        const std::vector<long> ids = Ids(box->GetItemList());
        Sim().ClearJournal();
        EXPECT_EQ(box->CopyMoveDocumentToBox(copy, kAliceBox, {ids[0], 987654, ids[1]}), -1040);
        Fail(Sim(), "CopyDoc", 8060, 1);  // the second call of the next batch fails
        EXPECT_EQ(box->CopyMoveDocumentToBox(copy, kAliceBox, {ids[2], ids[3], ids[4]}),
                  copy ? -1028 : -1029);
        std::vector<long> sent;
        for (const auto& r : Sim().Requests<tc::CopyDocRequest>(tc::Op::kCopyDoc)) {
            EXPECT_EQ(std::make_pair(r.destBoxNo, r.move), std::make_pair(kAliceBox, 1 - copy));
            sent.push_back(r.docId);
        }
        EXPECT_EQ(sent, (std::vector<long>{ids[0], ids[1], ids[2], ids[3]}));
        EXPECT_EQ(box->CopyMoveDocumentToBox(copy, kAliceBox, {}), -1027);
    }
}

// What the item holds of the box's settings, as one text.
std::string Held(CVESKMFPBox* b) {
    return WideToUtf8(b->GetItemName().str() + L"|" + b->GetPassword().str() + L"|" +
                      std::to_wstring(b->GetPasswordProtectedFlag()) + L"|" +
                      std::to_wstring(b->GetBoxType()) + L"|" + b->GetUserNameW().str() + L"|" +
                      std::to_wstring(b->GetSearchChar()) + L"|" +
                      std::to_wstring(b->GetAutoDelTime()));
}

TEST_P(BoxChanges, RenameAndReconfigureLogOutFirstAndBackInAndKeepOnlyWhatWasSent) {
    struct Case {
        const char* what;
        SimEdit edit;
        long box;
        bool rename;
        const wchar_t *current, *name, *password;
        int valueB;
        std::string fault;
        int code = 0, expected = 0, mask = 0;  // mask -1: nothing sent
        std::string held = {};                 // after a success
    };
    const Case cases[] = {
        {"rename", nullptr, kSecureBox, true, L"1234", L"Vault", L"", 0, "", 0, 1, 0,
         "Vault|1234|1|0||83|255"},
        {"rename to a name in use", nullptr, kSecureBox, true, L"1234", L"Alice", L"", 0, "", 0,
         -1065},
        {"rename, bad password", nullptr, kSecureBox, true, L"bad", L"V", L"", 0, "", 0, -1020},
        {"rename refused", nullptr, kSecureBox, true, L"1234", L"V", L"", 0, "RenameBox", 8040,
         -1056},
        {"all", nullptr, kSecureBox, false, L"1234", L"Vault", L"5678", 0, "", 0, 1, 0x37,
         "Vault|5678|1|0||7|30"},
        {"no deletion time without permission", Version(4, 11, 1, 0), kSecureBox, false, L"1234",
         L"V", L"", 0, "", 0, 1, 0x17, "V||0|0||7|255"},
        {"a user's box, text A", nullptr, kSharedBox, false, L"", L"Mine", L"", 1, "", 0, 1, 0x7f,
         "Mine||0|1|alice|7|30"},
        {"1.2: a changed name alone", Version(1, 2), kSharedBox, false, L"", L"S", L"", 0, "", 0, 1,
         1, "S||0|0||83|255"},
        {"8195", nullptr, kSecureBox, false, L"1234", L"V", L"", 0, "ChangeBox", 8195, -1063, 0x37},
        {"8193", nullptr, kSecureBox, false, L"1234", L"V", L"", 0, "ChangeBox", 8193, -1065, 0x37},
        {"password", nullptr, kSecureBox, false, L"bad", L"V", L"", 0, "", 0, -1020, 0x37},
        {"owner kind", nullptr, kSecureBox, false, L"1234", L"V", L"", 3, "", 0, -1030, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CVESKMFPBox* box = OpenBox(c.box, c.box == kSecureBox ? L"1234" : L"", c.edit);
        ASSERT_TRUE(box);
        if (!c.fault.empty())
            Fail(Sim(), c.fault, c.code);
        const std::string before = Held(box);
        Sim().ClearJournal();
        ITEMINFO info;
        info.strBoxName = c.name;
        info.strBoxPassword = c.password;
        info.nBoxType = c.valueB == 1 ? 1 : 0;
        info.nBoxValueB = info.nBoxValueA = c.valueB;
        info.strBoxUserName = L"alice";
        info.strBoxTextA = L"dept";
        info.nSearchChar = 7;
        info.nAutoDelTime = 30;
        info.nAutoDelTimeType = 1;
        EXPECT_EQ(c.rename ? box->RenameItem(c.name, c.current) : box->ModifyItem(info, c.current),
                  c.expected);
        const auto sent = Sim().Requests<tc::ChangeBoxRequest>(tc::Op::kChangeBox);
        ASSERT_EQ(sent.size(), c.rename || c.mask < 0 ? 0u : 1u);
        if (!sent.empty()) {
            EXPECT_EQ(sent[0].prop.wMask, c.mask);
            EXPECT_EQ(std::string(sent[0].prop.szUserName) + sent[0].prop.szBoxTextA,
                      c.valueB == 1 ? "alicedept" : "");
        }
        EXPECT_EQ(SessionOps(Sim()),
                  c.mask < 0 ? std::vector<tc::Op>()
                             : Around(c.rename ? tc::Op::kRenameBox : tc::Op::kChangeBox));
        // Logged in again with the password the box has now (a bad one fails).
        EXPECT_EQ(box->GetBoxLogin(), c.expected == -1020 ? 0 : 1);
        EXPECT_EQ(Held(box), c.expected == 1 ? c.held : before);
        EXPECT_EQ(Sim().State().boxes.at(static_cast<int>(c.box)).name,
                  WideToUtf8(box->GetItemName().str()));
    }
    CVESKMFPBox* box = OpenBox(kSecureBox, L"1234");
    ASSERT_TRUE(box);
    EXPECT_EQ(box->RenameItem(L"", L"1234"), -1033);
    EXPECT_EQ(box->GetBoxLogin(), 0);
}

long sCalls = 0;
long __stdcall Counting(tagQTCP_RECVDATA*) {
    return ++sCalls, 0;
}
long __stdcall Previous(tagQTCP_RECVDATA*) {
    return 0;
}

TEST_P(BoxChanges, BoundDownloadsLeaveAFileOnlyWhenComplete) {
    CVESKMFPBox* box = OpenBox(kSharedBox);
    ASSERT_TRUE(box && box->GetChildList(1) == 1);
    CString transfer;
    ASSERT_EQ(box->GetCacheObj()->GetTransFileDir(transfer, 1), 1);
    auto files = [&] {
        int n = 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(transfer.str()))
            n += e.is_regular_file();
        return n;
    };
    std::vector<long> ids = {1, 12};  // 2 and 12 pages
    CTcpCore* core = GetCurrentTcpCore();
    core->ResetCallbackRecvData(Previous);
    CString path;
    ASSERT_EQ(box->GetDocumentAfterBind(path, ids.data(), 2, 1, Counting), 1);
    const auto sent = Sim().Requests<tc::OpenBindRequest>(tc::Op::kOpenBind);
    EXPECT_EQ(sent.at(0).bindFormat, 1);
    EXPECT_EQ(sent.at(0).docIds, (std::vector<int32_t>{1, 12}));
    std::ifstream in(WideToUtf8(path.str()), std::ios::binary);
    EXPECT_EQ(TiffPageCount({std::istreambuf_iterator<char>(in), {}}), 14);
    in.close();  // Windows removes no open file
    EXPECT_GT(sCalls, 0);
    std::filesystem::remove_all(std::filesystem::path(path.str()).parent_path());
    path.Empty();

    // Refused before anything is reserved or sent; failures leave nothing behind.
    const int64_t before = Requests();
    for (const int type : {0, 3, 10, -1})
        EXPECT_EQ(box->GetDocumentAfterBind(path, ids.data(), 2, type, Counting), 0);
    EXPECT_EQ(box->GetDocumentAfterBind(path, ids.data(), 0, 2, Counting), 0);
    EXPECT_EQ(Requests(), before);
    for (const char* op : {"OpenBind", "DocStream"}) {
        Fail(Sim(), op, 8090);
        EXPECT_EQ(box->GetDocumentAfterBind(path, ids.data(), 2, 2, Counting), 0) << op;
        EXPECT_EQ(core->ResetCallbackRecvData(Previous), Previous) << op;
    }
    Sim().ClearFaults();
    EXPECT_TRUE(path.IsEmpty());
    EXPECT_EQ(files(), 0);
    ASSERT_EQ(box->GetDocumentAfterBind(path, ids.data(), 2, 2, Counting), 1);  // still usable
    EXPECT_EQ(files(), 1);
    ASSERT_EQ(box->Disconnect(), 1);
    const int64_t idle = Requests();
    EXPECT_EQ(box->GetDocumentAfterBind(path, ids.data(), 2, 2, Counting), 0);
    EXPECT_EQ(box->DeleteChildItem(1, L""), -1037);
    EXPECT_EQ(box->CopyMoveDocumentToBox(1, kAliceBox, {1}), -1037);
    EXPECT_EQ(Requests(), idle);
}

VESK_E2E_MODES(BoxChanges);

}  // namespace
}  // namespace vesk::test
