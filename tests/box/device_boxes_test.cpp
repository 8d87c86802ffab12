// The device item's box list and box administration against the emulator.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <tuple>

#include "cache/vesk_cache.h"
#include "platform/charset.h"
#include "platform/syscalls.h"
#include "support/box_fixture.h"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;
using DeviceBoxes = BoxFixture;

TEST_P(DeviceBoxes, TheMemoryRxBoxLeadsAndAListWithoutBoxesFails) {
    using Kind = mfpsim::BoxKind;
    struct Case {
        int major, minor;
        std::vector<Kind> dropped;
        int result;
        std::vector<long> numbers;
    };
    const Case cases[] = {
        {4, 11, {Kind::kUser, Kind::kFiling}, -1010, {0}},
        {4, 11, {Kind::kUser}, 1, {0, 1001}},
        {3, 1, {}, 1, {0, 1, 2, 3, 4, 5}},  // no filing-number list before protocol 3.4
        {4, 11, {}, 1, {0, 1, 2, 3, 4, 5, 1001}},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(Open([&](mfpsim::DeviceState& st) {
            st.identity.major = c.major;
            st.identity.minor = c.minor;
            std::erase_if(st.boxes, [&](const auto& b) {
                return std::count(c.dropped.begin(), c.dropped.end(), b.second.kind) > 0;
            });
        }));
        EXPECT_EQ(Device().GetChildList(1), c.result);
        EXPECT_EQ(Ids(Device().GetItemList()), c.numbers);
    }
    EXPECT_EQ(Box(0)->GetItemName() + L"|" + Box(0)->GetUserNameW(), L"Memory RX User Box|Public");
    CVESKMFPBox* b = Box(kSecureBox);
    const mfpsim::DeviceState st = Sim().State();
    const mfpsim::Box& w = st.boxes.at(kSecureBox);
    EXPECT_EQ(
        std::make_tuple(WideToUtf8(b->GetItemName().str()), WideToUtf8(b->GetEntryDate().str()),
                        b->GetPasswordProtected(), b->GetSearchChar(), b->GetDevice()),
        std::make_tuple(w.name, w.entryDate, 1, w.searchChar, &Device()));
    EXPECT_EQ(Box(1001, true)->GetFilingBoxType(), 1);
}

TEST_P(DeviceBoxes, CreationReportsRefusalsAndListsOnlyWhatTheUserMaySee) {
    const std::wstring fills(20, L'\u65e5'), owner(64, L'\u7530');  // 60 and 192 bytes
    const std::wstring cut(20, L'\u6708');
    struct Case {
        std::wstring name, owner;
        int type;
        const wchar_t* password;
        int fault, result;
        bool listed;
        std::wstring kept;  // the name as the device and the item keep it
    };
    const Case cases[] = {
        {L"Mine", L"alice", 1, L"pw", 0, 1, true, L"Mine"},
        {L"Theirs", L"bob", 1, L"", 0, 1, false, L"Theirs"},
        {L"Eng", L"eng", 2, L"", 0, 1, false, L"Eng"},
        {fills, owner, 0, L"", 0, 1, true, fills},  // box 9
        {cut + L"\u6708", L"", 0, L"", 0, 1, true, cut},
        {L"Alice", L"", 0, L"", 0, -1063, false, L""},  // in use: the device's 8175
        {L"Denied", L"", 0, L"", mfpsim::err::kForbidden, -1024, false, L""},
        {L"", L"", 0, L"", 0, -1023, false, L""},
    };
    ASSERT_TRUE(Open());
    ASSERT_EQ(Device().GetChildList(1), 1);
    Device().SetLastUserType(1);  // as an earlier session with a user login left it
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.name));
        mfpsim::FaultConfig faults;
        if (c.fault)
            faults.errors.push_back({"CreateBox", c.fault});
        Sim().SetFaults(faults);
        const size_t before = Ids(Device().GetItemList()).size();
        ITEMINFO info;
        info.strBoxName = c.name;
        info.strBoxUserName = c.owner;
        info.nBoxType = c.type;
        info.strBoxPassword = c.password;
        info.strBoxTextA = L"Tx\u0141";  // single-byte text: the low byte of each character
        EXPECT_EQ(Device().AddChildItem(info), c.result);
        const mfpsim::DeviceState st = Sim().State();
        const auto made = std::find_if(st.boxes.begin(), st.boxes.end(), [&](const auto& b) {
            return b.first > 5 && b.second.name == WideToUtf8(c.kept);
        });
        ASSERT_EQ(made != st.boxes.end(), c.result == 1);
        ASSERT_EQ(Ids(Device().GetItemList()).size(), before + c.listed);
        if (!c.listed)
            continue;
        auto* added = DYNAMIC_DOWNCAST(CVESKMFPBox, Device().GetItemList()->GetTail());
        EXPECT_EQ(std::make_tuple(added->GetItemID(), added->GetItemName().str(),
                                  added->GetPasswordProtected(), made->second.textA),
                  std::make_tuple(long{made->first}, c.kept, *c.password ? 1 : 0, "TxA"));
    }
    Sim().ClearFaults();
    ASSERT_EQ(Device().GetChildList(1), 1);  // the listing reads whole fields back
    EXPECT_EQ(Box(9)->GetItemName().str() + Box(9)->GetUserNameW().str(), fills + owner);
}

TEST_P(DeviceBoxes, DeletionSparesTheBoxInUseAndTakesItsLocalFolders) {
    ASSERT_TRUE(OpenBox(kAliceBox));
    const int64_t before = Requests();
    EXPECT_EQ(Device().DeleteChildItem(kAliceBox, L""), -1025);
    EXPECT_EQ(Requests(), before);  // the device is not even asked
    EXPECT_EQ(Device().DeleteChildItem(kSecureBox, L"bad"), -1020);

    CString roots[2];
    ASSERT_EQ(TreeRoot().GetCache()->GetCacheDirectory(roots[0]), 1);
    ASSERT_EQ(TreeRoot().GetCache()->GetTempFileRootDir(roots[1]), 1);
    const std::string device = std::to_string(Device().GetItemID());
    for (const CString& root : roots)
        fs::create_directories(fs::path(WideToUtf8(root.str())) / device / "3" / "sub");
    CVESKMFPBox* held = Box(kSecureBox);
    EXPECT_EQ(Device().DeleteChildItem(kSecureBox, L"1234"), 1);
    EXPECT_EQ(Box(kSecureBox), nullptr);
    EXPECT_EQ(held->GetItemName(), L"Secure");  // retired, not destroyed
    const mfpsim::DeviceState st = Sim().State();
    EXPECT_EQ(st.boxes.count(kAliceBox) + st.boxes.count(kSecureBox), 1u);
    for (const CString& root : roots) {
        EXPECT_FALSE(fs::exists(fs::path(WideToUtf8(root.str())) / device / "3"));
        EXPECT_TRUE(fs::exists(fs::path(WideToUtf8(root.str())) / device));
    }
}

// A folder the file system will not remove (a file in use) is moved aside instead.
TEST(DeleteWindowFolder, WhatCannotBeRemovedIsMovedAsideOrReported) {
    TempFolder dir{"vesk-del"};
    fs::create_directories(dir.Path() / "box" / "inner");
    fs::create_directories(dir.Path() / "box_1");
    const fs::path aside = dir.Path() / "box_2";
    {
        ScopedSysCalls restore;
        Sys().unlinkat = [](int, const char*, int) { return errno = EBUSY, -1; };
        Sys().rmdir = [](const char*) { return errno = EBUSY, -1; };
        EXPECT_EQ(CVESKMFPDevice::DeleteWindowFolder((dir.Path() / "box").wstring()), 1);
        EXPECT_TRUE(fs::exists(aside / "inner"));
        Sys().rename = [](const char*, const char*, unsigned) { return errno = EXDEV, -1; };
        EXPECT_EQ(CVESKMFPDevice::DeleteWindowFolder(aside.wstring()), -1061);
    }
    EXPECT_EQ(CVESKMFPDevice::DeleteWindowFolder(aside.wstring()), 1);
    EXPECT_FALSE(fs::exists(aside));
}

TEST_P(DeviceBoxes, ANewPasswordProtectsOnlyWhenItIsNotEmpty) {
    ASSERT_TRUE(Open());
    ASSERT_EQ(Device().GetChildList(1), 1);
    int detail = -1;
    for (const wchar_t* password : {L"pw", L""}) {
        ASSERT_EQ(Device().ChangeBoxPassword(Box(kSharedBox), password, detail), 1);
        EXPECT_EQ(Box(kSharedBox)->GetPasswordProtected(), *password ? 1 : 0);
        EXPECT_EQ(Sim().State().boxes.at(kSharedBox).password, WideToUtf8(password));
    }
    Box(kSecureBox)->SetPassword(L"wrong");
    EXPECT_EQ(Device().ChangeBoxPassword(Box(kSecureBox), L"x", detail), -1030);
    EXPECT_NE(detail, 0);
}

VESK_E2E_MODES(DeviceBoxes);

}  // namespace
}  // namespace vesk::test
