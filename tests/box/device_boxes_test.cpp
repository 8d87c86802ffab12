// The device item's box list and box administration against the emulator: the order
// of the list, creation with the device's refusals and the visibility rule, deletion of
// a box and its local folders, and new box passwords.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "cache/utility.h"
#include "cache/vesk_cache.h"
#include "platform/charset.h"
#include "platform/syscalls.h"
#include "support/box_fixture.h"

namespace vesk::test {
namespace {

using DeviceBoxes = BoxFixture;

void DropBoxes(mfpsim::DeviceState& st, mfpsim::BoxKind kind) {
    std::erase_if(st.boxes, [&](const auto& b) { return b.second.kind == kind; });
}

TEST_P(DeviceBoxes, TheMemoryRxBoxLeadsAndAListWithoutBoxesFails) {
    using mfpsim::BoxKind;
    struct Case {
        const char* what;
        SimEdit edit;
        int result;
        std::vector<long> numbers;
    };
    const Case cases[] = {
        {"sample", {}, 1, {0, 1, 2, 3, 4, 5, 1001}},
        {"protocol 3.1, without filing-number boxes",
         [](auto& st) {
             st.identity.major = 3;
             st.identity.minor = 1;
         },
         1,
         {0, 1, 2, 3, 4, 5}},
        {"filing boxes only", [](auto& st) { DropBoxes(st, BoxKind::kUser); }, 1, {0, 1001}},
        {"memory RX box only",
         [](auto& st) {
             DropBoxes(st, BoxKind::kUser);
             DropBoxes(st, BoxKind::kFiling);
         },
         -1010,
         {0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Open(c.edit));
        EXPECT_EQ(Device().GetChildList(1), c.result);
        EXPECT_EQ(Ids(Device().GetItemList()), c.numbers);
        EXPECT_EQ(Box(0)->GetItemName(), L"Memory RX User Box");
        EXPECT_EQ(Box(0)->GetUserNameW(), L"Public");
    }
    // The last device again: a kept list is not asked for.
    const int64_t before = Requests();
    EXPECT_EQ(Device().GetChildList(0), 1);
    EXPECT_EQ(Requests(), before);
}

TEST_P(DeviceBoxes, ListedFieldsComeFromTheDevice) {
    ASSERT_TRUE(Open());
    ASSERT_EQ(Device().GetChildList(1), 1);
    const mfpsim::DeviceState st = Sim().State();
    for (long n : {1L, 2L, 3L, 4L, 5L, 1001L}) {
        SCOPED_TRACE(n);
        const mfpsim::Box& want = st.boxes.at(static_cast<int>(n));
        CVESKMFPBox* b = Box(n, n == 1001);
        ASSERT_TRUE(b);
        EXPECT_EQ(WideToUtf8(b->GetItemName().str()), want.name);
        EXPECT_EQ(WideToUtf8(b->GetUserNameW().str()), want.owner);
        EXPECT_EQ(WideToUtf8(b->GetEntryDate().str()), want.entryDate);
        EXPECT_EQ(b->GetPasswordProtected(), want.password.empty() ? 0 : 1);
        EXPECT_EQ(b->GetBoxType(), want.type);
        EXPECT_EQ(b->GetSearchChar(), want.searchChar);
        EXPECT_EQ(b->GetFilingBoxType(), n == 1001 ? 1 : 0);
        EXPECT_EQ(b->GetDevice(), &Device());
    }
}

TEST_P(DeviceBoxes, CreationReportsRefusalsAndListsOnlyWhatTheUserMaySee) {
    const std::wstring fills(20, L'\u65e5');  // 60 bytes of UTF-8: the whole field
    const std::wstring cut(20, L'\u6708');
    const std::wstring longer = cut + L"\u6708";
    const std::wstring owner(64, L'\u7530');  // 192 bytes
    struct Case {
        const char* what;
        std::wstring name, owner;
        int type;
        const wchar_t* password;
        int fault;
        int result;
        bool listed;
        std::wstring shown;  // the name the item and the device keep
    };
    const Case cases[] = {
        {"shared box", L"Team", L"", 0, L"", 0, 1, true, L"Team"},
        {"own box with password", L"Mine", L"alice", 1, L"pw", 0, 1, true, L"Mine"},
        {"another user's box", L"Theirs", L"bob", 1, L"", 0, 1, false, L"Theirs"},
        {"account box of another account", L"Eng", L"eng", 2, L"", 0, 1, false, L"Eng"},
        {"names that fill their fields", fills, owner, 0, L"", 0, 1, true, fills},
        {"a name cut at a character", longer, L"", 0, L"", 0, 1, true, cut},
        {"a name in use", L"Alice", L"", 0, L"", 0, -1063, false, L""},
        {"other refusal", L"Denied", L"", 0, L"", mfpsim::err::kForbidden, -1024, false, L""},
        {"no name", L"", L"", 0, L"", 0, -1023, false, L""},
    };
    ASSERT_TRUE(Open());
    ASSERT_EQ(Device().GetChildList(1), 1);
    Device().SetLastUserType(1);  // as an earlier session with a user login left it
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        mfpsim::FaultConfig faults;
        if (c.fault)
            faults.errors.push_back({"CreateBox", c.fault});
        Sim().SetFaults(faults);
        const auto before = Ids(Device().GetItemList()).size();
        ITEMINFO info;
        info.strBoxName = c.name;
        info.strBoxUserName = c.owner;
        info.nBoxType = c.type;
        info.strBoxPassword = c.password;
        info.strBoxTextA = L"Tx\u0141";  // the low byte of each character goes
        info.nAutoDelTime = 255;
        info.nAutoDelTimeType = 1;
        EXPECT_EQ(Device().AddChildItem(info), c.result);
        ASSERT_EQ(Ids(Device().GetItemList()).size(), before + (c.listed ? 1 : 0));
        const mfpsim::DeviceState st = Sim().State();
        const auto onDevice = std::find_if(st.boxes.begin(), st.boxes.end(), [&](const auto& b) {
            return b.second.name == WideToUtf8(c.shown) && b.second.number > 5;
        });
        ASSERT_EQ(onDevice != st.boxes.end(), c.result == 1);
        if (c.result != 1)
            continue;
        EXPECT_EQ(onDevice->second.textA, "TxA");
        if (!c.owner.empty()) {
            EXPECT_EQ(onDevice->second.owner, WideToUtf8(c.owner));
        }
        if (!c.listed)
            continue;
        auto* added = DYNAMIC_DOWNCAST(CVESKMFPBox, Device().GetItemList()->GetTail());
        ASSERT_TRUE(added);
        EXPECT_EQ(added->GetItemID(), onDevice->first);
        EXPECT_EQ(added->GetItemName().str(), c.shown);
        EXPECT_EQ(added->GetPasswordProtected(), *c.password ? 1 : 0);
    }
    Sim().ClearFaults();
    // A listing reads the same names back.
    ASSERT_EQ(Device().GetChildList(1), 1);
    bool found = false;
    for (POSITION pos = Device().GetItemList()->GetHeadPosition(); pos;) {
        auto* b = DYNAMIC_DOWNCAST(CVESKMFPBox, Device().GetItemList()->GetNext(pos));
        if (b->GetItemName().str() == fills && b->GetUserNameW().str() == owner)
            found = true;
    }
    EXPECT_TRUE(found);
}

TEST_P(DeviceBoxes, DeletionSparesTheBoxInUseAndRemovesLocalFolders) {
    CVESKMFPBox* open = OpenBox(kAliceBox);
    ASSERT_TRUE(open);
    const int64_t before = Requests();
    EXPECT_EQ(Device().DeleteChildItem(kAliceBox, L""), -1025);
    EXPECT_EQ(Requests(), before);  // not even asked
    EXPECT_EQ(Sim().State().boxes.count(kAliceBox), 1u);
    EXPECT_EQ(Box(kAliceBox), open);

    EXPECT_EQ(Device().DeleteChildItem(kSecureBox, L"bad"), -1020);
    EXPECT_EQ(Sim().State().boxes.count(kSecureBox), 1u);

    // The box's folders in the cache and temporary trees go with it.
    CString cacheDir, tempDir;
    ASSERT_EQ(TreeRoot().GetCache()->GetCacheDirectory(cacheDir), 1);
    ASSERT_EQ(TreeRoot().GetCache()->GetTempFileRootDir(tempDir), 1);
    const std::string device = std::to_string(Device().GetItemID());
    std::vector<std::filesystem::path> folders;
    for (const CString& root : {cacheDir, tempDir}) {
        const std::filesystem::path p = std::filesystem::path(WideToUtf8(root.str())) / device;
        std::filesystem::create_directories(p / "3" / "sub");
        std::ofstream(p / "3" / "sub" / "page.bmp") << "x";
        std::filesystem::create_directories(p / "30");
        folders.push_back(p);
    }
    CVESKMFPBox* held = Box(kSecureBox);
    ASSERT_TRUE(held);
    EXPECT_EQ(Device().DeleteChildItem(kSecureBox, L"1234"), 1);
    EXPECT_EQ(Sim().State().boxes.count(kSecureBox), 0u);
    EXPECT_EQ(Box(kSecureBox), nullptr);
    EXPECT_EQ(held->GetItemName(), L"Secure");  // retired, not destroyed
    for (const auto& p : folders) {
        EXPECT_FALSE(std::filesystem::exists(p / "3"));
        EXPECT_TRUE(std::filesystem::exists(p / "30"));
    }
}

// A folder the file system will not remove (a file in use) is moved aside instead.
TEST(DeleteWindowFolder, WhatCannotBeRemovedIsMovedAsideOrReported) {
    namespace fs = std::filesystem;
    TempFolder dir{"vesk-del"};
    const fs::path folder = dir.Path() / "box";
    fs::create_directories(folder / "inner");
    std::ofstream(folder / "inner" / "page.bmp") << "x";
    fs::create_directories(dir.Path() / "box_1");
    const fs::path aside = dir.Path() / "box_2";
    {
        ScopedSysCalls restore;
        Sys().unlink = [](const char*) { return errno = EBUSY, -1; };
        Sys().unlinkat = [](int, const char*, int) { return errno = EBUSY, -1; };
        Sys().rmdir = [](const char*) { return errno = EBUSY, -1; };
        EXPECT_EQ(CVESKMFPDevice::DeleteWindowFolder(Utf8ToWide(folder.string())), 1);
        EXPECT_TRUE(fs::exists(aside / "inner" / "page.bmp"));
        Sys().rename = [](const char*, const char*, unsigned) { return errno = EXDEV, -1; };
        EXPECT_EQ(CVESKMFPDevice::DeleteWindowFolder(Utf8ToWide(aside.string())), -1061);
    }
    EXPECT_EQ(CVESKMFPDevice::DeleteWindowFolder(Utf8ToWide(aside.string())), 1);
    EXPECT_FALSE(fs::exists(aside));
}

TEST_P(DeviceBoxes, ANewPasswordProtectsOnlyWhenItIsNotEmpty) {
    ASSERT_TRUE(Open());
    ASSERT_EQ(Device().GetChildList(1), 1);
    CVESKMFPBox* b = Box(kSharedBox);
    int detail = -1;
    ASSERT_EQ(Device().ChangeBoxPassword(b, L"pw", detail), 1);
    EXPECT_EQ(b->GetPasswordProtected(), 1);
    EXPECT_EQ(b->GetPassword(), L"pw");
    EXPECT_EQ(Sim().State().boxes.at(kSharedBox).password, "pw");
    ASSERT_EQ(Device().ChangeBoxPassword(b, L"", detail), 1);
    EXPECT_EQ(b->GetPasswordProtected(), 0);
    EXPECT_EQ(Sim().State().boxes.at(kSharedBox).password, "");

    CVESKMFPBox* secure = Box(kSecureBox);
    secure->SetPassword(L"wrong");
    EXPECT_EQ(Device().ChangeBoxPassword(secure, L"x", detail), -1030);
    EXPECT_NE(detail, 0);
    EXPECT_EQ(Sim().State().boxes.at(kSecureBox).password, "1234");
}

VESK_E2E_MODES(DeviceBoxes);

}  // namespace
}  // namespace vesk::test
