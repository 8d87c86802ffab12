// What the box item changes on the device, against the emulator: deleting documents,
// copying and moving them into another box, renaming and re-configuring the box with
// its re-login, and bound downloads. The emulator's journal shows what was sent.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cache/vesk_cache.h"
#include "core/current_tcpcore.h"
#include "core/iteminfo.h"
#include "document/vesk_document.h"
#include "platform/charset.h"
#include "support/box_fixture.h"

namespace vesk::test {
namespace {

using BoxChanges = BoxFixture;
namespace fsys = std::filesystem;

mfpsim::FaultConfig Fail(const std::string& op, int code, int skip = 0) {
    mfpsim::FaultConfig f;
    mfpsim::ErrorFault e;
    e.operation = op;
    e.code = code;
    e.skip = skip;
    f.errors.push_back(e);
    return f;
}

SimEdit Version(int major, int minor, int rxSecured = 1, int autoDelPermission = 1) {
    return [=](mfpsim::DeviceState& st) {
        st.identity.major = major;
        st.identity.minor = minor;
        st.identity.rxSecured = rxSecured;
        st.identity.autoDelTimePermission = autoDelPermission;
    };
}

// The ids of a box's documents on the device now.
std::vector<long> DeviceIds(SimDevice& sim, int box) {
    std::vector<long> ids;
    for (const auto& [id, d] : sim.State().documents)
        if (d.box == box)
            ids.push_back(id);
    return ids;
}

// The journal's box session operations (logout, change, login), in order.
std::vector<tc::Op> SessionOps(SimDevice& sim) {
    std::vector<tc::Op> ops;
    for (const tc::Frame& f : sim.Engine()->Journal())
        if (f.op == tc::Op::kBoxLogout || f.op == tc::Op::kBoxLogin || f.op == tc::Op::kRenameBox ||
            f.op == tc::Op::kChangeBox)
            ops.push_back(f.op);
    return ops;
}

// A change to a box that was logged in: out first, in again afterwards.
std::vector<tc::Op> Around(tc::Op change) {
    return {tc::Op::kBoxLogout, change, tc::Op::kBoxLogin};
}

// Regular files below a folder.
int FilesBelow(const CString& dir) {
    int n = 0;
    std::error_code ec;
    for (auto it = fsys::recursive_directory_iterator(dir.str(), ec);
         !ec && it != fsys::recursive_directory_iterator(); it.increment(ec))
        n += it->is_regular_file() ? 1 : 0;
    return n;
}

TEST_P(BoxChanges, DeletionTakesTheRxPasswordOnlyWhereTheDeviceAsksForIt) {
    struct Case {
        int major, minor, rxSecured;
        long box;
        const wchar_t* boxPassword;
        int withPassword;
    };
    const Case cases[] = {
        {4, 11, 1, kRxBox, L"0000", 1},  // protocol 49, secured: the password form
        {4, 3, 1, kRxBox, L"0000", 1},   // 43: the first with it
        {4, 2, 1, kRxBox, L"0000", 0},   // 42: before it
        {4, 11, 0, kRxBox, L"0000", 0},  // not secured
        {4, 11, 1, kSharedBox, L"", 0},  // another box
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.major * 10 + c.minor) + " box " + std::to_string(c.box));
        CVESKMFPBox* box = OpenBox(c.box, c.boxPassword, Version(c.major, c.minor, c.rxSecured));
        ASSERT_TRUE(box);
        ASSERT_EQ(box->GetChildList(1), 1);
        const std::vector<long> ids = Ids(box->GetItemList());
        CVESKItem* held = box->GetItemList()->GetHead();
        Sim().Engine()->ClearJournal();
        const int64_t before = Requests();
        EXPECT_EQ(box->DeleteChildItem(987654, L"0000"), -1039);
        EXPECT_EQ(Requests(), before);  // nothing asked of the device
        if (c.withPassword) {
            EXPECT_EQ(box->DeleteChildItem(ids[0], L"9999"), -1038);
            EXPECT_EQ(Ids(box->GetItemList()), ids);
        }
        EXPECT_EQ(box->DeleteChildItem(ids[0], L"0000"), 1);
        EXPECT_EQ(Ids(box->GetItemList()), std::vector<long>(ids.begin() + 1, ids.end()));
        EXPECT_EQ(DeviceIds(Sim(), c.box), Ids(box->GetItemList()));
        EXPECT_EQ(held->GetItemID(), ids[0]);  // the held item is still alive
        const auto sent = Sim().Engine()->Requests<tc::RemoveDocRequest>(tc::Op::kRemoveDoc);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back().withPassword, c.withPassword);
        EXPECT_EQ(sent.back().password, c.withPassword ? "0000" : "");
    }
    CVESKMFPBox* box = OpenBox(kSharedBox);
    ASSERT_TRUE(box);
    ASSERT_EQ(box->GetChildList(1), 1);
    const long id = box->GetItemList()->GetHead()->GetItemID();
    Sim().SetFaults(Fail("RemoveDoc", 8040));
    EXPECT_EQ(box->DeleteChildItem(id, L""), -1038);
    EXPECT_EQ(box->GetItemList()->GetHead()->GetItemID(), id);
    ASSERT_EQ(box->Disconnect(), 1);
    const int64_t before = Requests();
    EXPECT_EQ(box->DeleteChildItem(id, L""), -1037);
    EXPECT_EQ(Requests(), before);
}

TEST_P(BoxChanges, CopyAndMoveToABoxDoTheKnownIdsAndStopAtARefusal) {
    for (const int copy : {1, 0}) {
        SCOPED_TRACE(copy ? "copy" : "move");
        CVESKMFPBox* box = OpenBox(kSharedBox);
        ASSERT_TRUE(box);
        ASSERT_EQ(box->GetChildList(1), 1);
        const std::vector<long> ids = Ids(box->GetItemList());
        const std::vector<long> target = DeviceIds(Sim(), kAliceBox);
        Sim().Engine()->ClearJournal();
        EXPECT_EQ(box->CopyMoveDocumentToBox(copy, kAliceBox, {ids[0], 987654, ids[1]}), -1040);
        const auto sent = Sim().Engine()->Requests<tc::CopyDocRequest>(tc::Op::kCopyDoc);
        ASSERT_EQ(sent.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(sent[i].docId, ids[i]);
            EXPECT_EQ(sent[i].destBoxNo, kAliceBox);
            EXPECT_EQ(sent[i].move, 1 - copy);
        }
        EXPECT_EQ(DeviceIds(Sim(), kAliceBox).size(), target.size() + 2);
        EXPECT_EQ(DeviceIds(Sim(), kSharedBox).size(), ids.size() - (copy ? 0 : 2));
        EXPECT_EQ(Ids(box->GetItemList()), ids);  // listed until the next listing

        // A refusal stops at once; what went before stays done.
        Sim().SetFaults(Fail("CopyDoc", 8060, 1));
        EXPECT_EQ(box->CopyMoveDocumentToBox(copy, kAliceBox, {ids[2], ids[3], ids[4]}),
                  copy ? -1028 : -1029);
        Sim().ClearFaults();
        EXPECT_EQ(DeviceIds(Sim(), kAliceBox).size(), target.size() + 3);
        EXPECT_EQ(box->CopyMoveDocumentToBox(copy, kAliceBox, {}), -1027);
        ASSERT_EQ(box->Disconnect(), 1);
        EXPECT_EQ(box->CopyMoveDocumentToBox(copy, kAliceBox, {ids[5]}), -1037);
    }
}

TEST_P(BoxChanges, RenameLogsOutFirstAndBackInWhateverTheAnswer) {
    struct Case {
        const wchar_t* name;
        const wchar_t* password;
        std::string fault;
        int expected;
        std::string deviceName;
    };
    const Case cases[] = {
        {L"Vault", L"1234", "", 1, "Vault"},
        {L"Alice", L"1234", "", -1065, "Secure"},  // in use
        {L"Vault", L"bad", "", -1020, "Secure"},
        {L"Vault", L"1234", "RenameBox", -1056, "Secure"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        CVESKMFPBox* box = OpenBox(kSecureBox, L"1234");
        ASSERT_TRUE(box);
        if (!c.fault.empty())
            Sim().SetFaults(Fail(c.fault, 8040));
        Sim().Engine()->ClearJournal();
        EXPECT_EQ(box->RenameItem(c.name, c.password), c.expected);
        EXPECT_EQ(SessionOps(Sim()), Around(tc::Op::kRenameBox));
        EXPECT_EQ(Sim().State().boxes.at(kSecureBox).name, c.deviceName);
        EXPECT_EQ(WideToUtf8(box->GetItemName().str()), c.deviceName);
        // Logged in again with the password given; a wrong one leaves the box closed.
        EXPECT_EQ(box->GetBoxLogin(), c.expected == -1020 ? 0 : 1);
    }
    CVESKMFPBox* box = OpenBox(kSecureBox, L"1234");
    ASSERT_TRUE(box);
    EXPECT_EQ(box->RenameItem(L"", L"1234"), -1033);
    EXPECT_EQ(box->GetBoxLogin(), 0);
}

ITEMINFO Settings(const wchar_t* name, const wchar_t* password) {
    ITEMINFO info;
    info.strBoxName = name;
    info.strBoxPassword = password;
    info.nBoxType = 0;
    info.nSearchChar = 7;
    info.nMain = 1;
    info.nAutoDelTime = 30;
    info.nAutoDelTimeType = 1;
    info.nAutoDelTimeMinute = 15;
    return info;
}

// What the item holds of the box's settings, as one text.
std::string Held(CVESKMFPBox* b) {
    return WideToUtf8(b->GetItemName().str()) + "|" + WideToUtf8(b->GetPassword().str()) + "|" +
           std::to_string(b->GetPasswordProtectedFlag()) + "|" + std::to_string(b->GetBoxType()) +
           "|" + WideToUtf8(b->GetUserNameW().str()) + "|" + std::to_string(b->GetSearchChar()) +
           "|" + std::to_string(b->GetAutoDelTime()) + "|" +
           std::to_string(b->GetAutoDelTimeMinute());
}

TEST_P(BoxChanges, ReconfiguringSendsTheMaskTheDeviceTakesAndKeepsWhatWasSent) {
    struct Case {
        const char* what;
        SimEdit edit;
        long box;
        const wchar_t* current;
        ITEMINFO info;
        int mask;
        std::string held;  // after the change
    };
    ITEMINFO owned = Settings(L"Mine", L"");
    owned.nBoxType = 1;
    owned.nBoxValueB = 1;
    owned.nBoxValueA = 1;
    owned.strBoxUserName = L"alice";
    owned.strBoxTextA = L"dept";
    const Case cases[] = {
        {"everything",
         {},
         kSecureBox,
         L"1234",
         Settings(L"Vault", L"5678"),
         0x37,
         "Vault|5678|1|0||7|30|15"},
        {"no deletion time without permission", Version(4, 11, 1, 0), kSecureBox, L"1234",
         Settings(L"Vault", L""), 0x17, "Vault||0|0||7|255|15"},
        {"an owner with text A", {}, kSharedBox, L"", owned, 0x7f, "Mine||0|1|alice|7|30|15"},
        {"1.2, nothing changed", Version(1, 2), kSharedBox, L"", Settings(L"Shared Scans", L""), 0,
         "Shared Scans||0|0||83|255|0"},
        {"1.2, the name only", Version(1, 2), kSharedBox, L"", Settings(L"Scans", L""), 0x01,
         "Scans||0|0||83|255|0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CVESKMFPBox* box = OpenBox(c.box, c.current, c.edit);
        ASSERT_TRUE(box);
        Sim().Engine()->ClearJournal();
        ITEMINFO info = c.info;
        EXPECT_EQ(box->ModifyItem(info, c.current), 1);
        const auto sent = Sim().Engine()->Requests<tc::ChangeBoxRequest>(tc::Op::kChangeBox);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].prop.wMask, c.mask);
        EXPECT_EQ(sent[0].oldPassword, WideToUtf8(c.current));
        EXPECT_EQ(sent[0].newPassword, WideToUtf8(c.info.strBoxPassword.str()));
        if (c.mask & 0x08) {
            EXPECT_STREQ(sent[0].prop.szUserName, "alice");
            EXPECT_STREQ(sent[0].prop.szBoxTextA, "dept");
        }
        EXPECT_EQ(SessionOps(Sim()), Around(tc::Op::kChangeBox));
        EXPECT_EQ(box->GetBoxLogin(), 1);  // with the password the box has now
        EXPECT_EQ(Held(box), c.held);
        EXPECT_EQ(Sim().State().boxes.at(static_cast<int>(c.box)).name,
                  WideToUtf8(box->GetItemName().str()));
    }
}

TEST_P(BoxChanges, ReconfiguringMapsRefusalsAndLogsBackInWithTheCurrentPassword) {
    struct Case {
        std::string fault;
        int code;
        const wchar_t* current;
        int valueB;
        int expected;
    };
    const Case cases[] = {
        {"ChangeBox", 8195, L"1234", 0, -1063},
        {"ChangeBox", 8193, L"1234", 0, -1065},
        {"ChangeBox", 8040, L"1234", 0, -1030},
        {"", 0, L"bad", 0, -1020},
        {"", 0, L"1234", 3, -1030},  // an owner kind the device does not know: nothing sent
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        CVESKMFPBox* box = OpenBox(kSecureBox, L"1234");
        ASSERT_TRUE(box);
        if (!c.fault.empty())
            Sim().SetFaults(Fail(c.fault, c.code));
        const std::string before = Held(box);
        Sim().Engine()->ClearJournal();
        ITEMINFO info = Settings(L"Vault", L"5678");
        info.nBoxValueB = c.valueB;
        EXPECT_EQ(box->ModifyItem(info, c.current), c.expected);
        EXPECT_EQ(Held(box), before);
        EXPECT_EQ(SessionOps(Sim()),
                  c.valueB == 3 ? std::vector<tc::Op>() : Around(tc::Op::kChangeBox));
        EXPECT_EQ(box->GetBoxLogin(), c.current == std::wstring(L"bad") ? 0 : 1);
        EXPECT_EQ(Sim().State().boxes.at(kSecureBox).password, "1234");
    }
}

long sCalls = 0;
long __stdcall Counting(tagQTCP_RECVDATA*) {
    ++sCalls;
    return 0;
}
long __stdcall Previous(tagQTCP_RECVDATA*) {
    return 0;
}

TEST_P(BoxChanges, BoundDownloadsLeaveAFileOnlyWhenComplete) {
    CVESKMFPBox* box = OpenBox(kSharedBox);
    ASSERT_TRUE(box);
    ASSERT_EQ(box->GetChildList(1), 1);
    CString transfer;
    ASSERT_EQ(box->GetCacheObj()->GetTransFileDir(transfer, 1), 1);
    const mfpsim::DeviceState st = Sim().State();
    std::vector<long> ids;
    int pages = 0;
    for (long id : Ids(box->GetItemList())) {
        const mfpsim::Document& d = st.documents.at(static_cast<int>(id));
        if (d.fileType == mfpsim::kFileJpeg && ids.size() < 2) {
            ids.push_back(id);
            pages += d.pages;
        }
    }
    ASSERT_EQ(ids.size(), 2u);
    CTcpCore* core = GetCurrentTcpCore();
    core->ResetCallbackRecvData(Previous);

    struct Case {
        int type, format;
        std::string magic;
    };
    for (const Case& c :
         {Case{1, 1, "II*"}, Case{2, 0, "%PDF"}, Case{4, 2, "%PDF"}, Case{5, 3, "PK"}}) {
        SCOPED_TRACE(c.type);
        Sim().Engine()->ClearJournal();
        sCalls = 0;
        CString path;
        ASSERT_EQ(box->GetDocumentAfterBind(path, ids.data(), 2, c.type, Counting), 1);
        EXPECT_GT(sCalls, 0);
        const auto sent = Sim().Engine()->Requests<tc::OpenBindRequest>(tc::Op::kOpenBind);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].bindFormat, c.format);
        EXPECT_EQ(sent[0].docIds, (std::vector<int32_t>{int32_t(ids[0]), int32_t(ids[1])}));
        std::ifstream in(WideToUtf8(path.str()), std::ios::binary);
        const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), {}};
        ASSERT_GT(bytes.size(), c.magic.size());
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + c.magic.size()), c.magic);
        if (c.type == 1) {
            EXPECT_EQ(TiffPageCount(bytes), pages);
        }
        EXPECT_EQ(core->ResetCallbackRecvData(Previous), Previous);
        fsys::remove_all(fsys::path(WideToUtf8(path.str())).parent_path());
    }

    // Refused before anything is reserved or sent; failures leave nothing behind.
    const int64_t before = Requests();
    CString path;
    for (const int type : {0, 3, 10, -1})
        EXPECT_EQ(box->GetDocumentAfterBind(path, ids.data(), 2, type, Counting), 0);
    EXPECT_EQ(box->GetDocumentAfterBind(path, ids.data(), 0, 2, Counting), 0);
    EXPECT_EQ(Requests(), before);
    for (const char* op : {"OpenBind", "DocStream"}) {
        SCOPED_TRACE(op);
        Sim().SetFaults(Fail(op, 8090));
        EXPECT_EQ(box->GetDocumentAfterBind(path, ids.data(), 2, 2, Counting), 0);
        EXPECT_EQ(core->ResetCallbackRecvData(Previous), Previous);
    }
    Sim().ClearFaults();
    long unknown[] = {ids[0], 987654};
    EXPECT_EQ(box->GetDocumentAfterBind(path, unknown, 2, 2, Counting), 0);
    EXPECT_TRUE(path.IsEmpty());
    EXPECT_EQ(FilesBelow(transfer), 0);
    ASSERT_EQ(box->GetDocumentAfterBind(path, ids.data(), 2, 2, Counting), 1);  // still usable
    EXPECT_EQ(FilesBelow(transfer), 1);
    ASSERT_EQ(box->Disconnect(), 1);
    EXPECT_EQ(box->GetDocumentAfterBind(path, ids.data(), 2, 2, Counting), 0);
}

VESK_E2E_MODES(BoxChanges);

}  // namespace
}  // namespace vesk::test
