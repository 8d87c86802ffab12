// Boxes end to end: both lists, the box administration calls with the device's
// refusal codes and out flags, box login and logout, and changes that persist in the
// device folder.
#include <cstring>
#include <filesystem>
#include <tuple>

#include "support/sim_fixture.h"

namespace vesk::test {
namespace {

using Boxes = E2E;

tagUTIL_BOXCREATEINFO NewBox(const char* name, int type = 0) {
    tagUTIL_BOXCREATEINFO info{};
    std::strncpy(info.szBoxName, name, sizeof info.szBoxName - 1);
    info.nBoxType = type;
    info.nSearchChar = static_cast<unsigned char>(name[0]);
    info.nAutoDelTime = 255;
    info.nAutoDelTimeType = 1;
    return info;
}

tagUTIL_BOXPROPINFO Change(unsigned short mask) {
    tagUTIL_BOXPROPINFO prop{};
    prop.wMask = mask;
    return prop;
}

TEST_P(Boxes, ListsShowUserBoxesAndFilingNumberBoxesApart) {
    ASSERT_TRUE(ConnectAs("alice", "alice"));
    const mfpsim::DeviceState state = Device().State();
    const std::vector<tagUTIL_BOXINFO> boxes = BoxList();
    std::vector<long> numbers;
    for (const tagUTIL_BOXINFO& b : boxes)
        numbers.push_back(b.lBoxNo);
    EXPECT_EQ(numbers, (std::vector<long>{kSharedBox, kAliceBox, kSecureBox, kSalesBox, kBobBox}));
    for (const tagUTIL_BOXINFO& b : boxes) {
        SCOPED_TRACE(b.lBoxNo);
        const mfpsim::Box& want = state.boxes.at(b.lBoxNo);
        EXPECT_EQ(
            std::tuple(std::string(b.szBoxName), std::string(b.szUserName), b.nPasswordProtected,
                       b.nBoxType, std::string(b.szEntryDate), b.nAutoDelTime),
            std::tuple(want.name, want.owner, want.password.empty() ? 0 : 1, want.type,
                       want.entryDate, want.autoDelTime));
    }

    std::vector<tagUTIL_BOXINFO> filing;
    ASSERT_EQ(Core().GetFilingNumberBoxList(filing), 1) << ErrorOf(Core()).code;
    ASSERT_EQ(filing.size(), 1u);
    EXPECT_EQ(filing[0].lBoxNo, kFilingBox);
    EXPECT_EQ(std::string(filing[0].szBoxName), state.boxes.at(kFilingBox).name);
}

TEST_P(Boxes, CreateRenameChangeRemovePersistOnTheDevice) {
    ASSERT_TRUE(ConnectAs("alice", "alice"));
    const int number = Core().CreateBox(NewBox("Project X"), "pw");
    ASSERT_GT(number, 0) << ErrorOf(Core()).code;
    const std::filesystem::path boxFile =
        Device().Root() / "boxes" / std::to_string(number) / "box.ini";
    EXPECT_TRUE(std::filesystem::exists(boxFile));
    std::vector<tagUTIL_BOXINFO> boxes = BoxList();
    const tagUTIL_BOXINFO* b = FindBox(boxes, number);
    ASSERT_TRUE(b);
    EXPECT_STREQ(b->szBoxName, "Project X");
    EXPECT_EQ(b->nPasswordProtected, 1);

    int flag = -1;
    ASSERT_EQ(Core().RenameBox(number, "Project Y", 9, "pw", flag), 1) << ErrorOf(Core()).code;
    EXPECT_EQ(flag, 0);
    boxes = BoxList();
    b = FindBox(boxes, number);
    ASSERT_TRUE(b);
    EXPECT_STREQ(b->szBoxName, "Project Y");

    tagUTIL_BOXPROPINFO prop = Change(QTCP_BOXPROP_NAME | QTCP_BOXPROP_PASSWORD);
    std::strcpy(prop.szBoxName, "Project Z");
    ASSERT_EQ(Core().ChangeBoxSetting(number, prop, "pw", "pw2", flag), 1) << ErrorOf(Core()).code;
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(Device().State().boxes.at(number).name, "Project Z");
    EXPECT_EQ(Core().BoxLogin(number, "pw", flag), 0);
    EXPECT_EQ(Core().BoxLogin(number, "pw2", flag), 1);
    EXPECT_EQ(Core().BoxLogout(), 1);

    int detail = -1;
    ASSERT_EQ(Core().RemoveBox(number, "pw2", detail), 1) << ErrorOf(Core()).code;
    EXPECT_EQ(detail, 0);
    boxes = BoxList();
    EXPECT_FALSE(FindBox(boxes, number));
    EXPECT_FALSE(std::filesystem::exists(boxFile));
    EXPECT_EQ(Device().State().boxes.count(number), 0u);
}

TEST_P(Boxes, RefusalsCarryTheDeviceCodesAndFlags) {
    ASSERT_TRUE(ConnectAs("alice", "alice"));
    const mfpsim::DeviceState before = Device().State();

    // Creating: a name in use, no name.
    EXPECT_EQ(Core().CreateBox(NewBox("Alice"), ""), -1);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_CREATE);
    EXPECT_EQ(Core().CreateBox(NewBox(""), ""), -1);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_CREATE);

    // Renaming the password box: wrong password, none, a name in use.
    int flag = -1;
    EXPECT_EQ(Core().RenameBox(kSecureBox, "Other", 5, "9999", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_PASSWORD);
    EXPECT_EQ(flag, 1);
    flag = -1;
    EXPECT_EQ(Core().RenameBox(kSecureBox, "Other", 5, "", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_PASSWORD_NEEDED);
    EXPECT_EQ(flag, 1);
    flag = -1;
    EXPECT_EQ(Core().RenameBox(kSecureBox, "Alice", 5, "1234", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_NAME_IN_USE);
    EXPECT_EQ(flag, 0);

    // Removing with a wrong password.
    int detail = -1;
    EXPECT_EQ(Core().RemoveBox(kSecureBox, "bad", detail), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_PASSWORD);
    EXPECT_NE(detail, 0);

    // Changing: a name in use, an owner the device does not know, a wrong password.
    tagUTIL_BOXPROPINFO prop = Change(QTCP_BOXPROP_NAME);
    std::strcpy(prop.szBoxName, "Alice");
    EXPECT_EQ(Core().ChangeBoxSetting(kSecureBox, prop, "1234", "", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_SETTING);
    EXPECT_EQ(flag, 0);
    prop = Change(QTCP_BOXPROP_OWNER);
    prop.nBoxValueB = 1;
    std::strcpy(prop.szUserName, "nobody");
    EXPECT_EQ(Core().ChangeBoxSetting(kSecureBox, prop, "1234", "", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_OWNER);
    prop = Change(QTCP_BOXPROP_NAME);
    std::strcpy(prop.szBoxName, "Fine");
    EXPECT_EQ(Core().ChangeBoxSetting(kSecureBox, prop, "4321", "", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_PASSWORD);
    EXPECT_EQ(flag, 1);

    // Someone else's box.
    EXPECT_EQ(Core().RenameBox(kBobBox, "Mine", 4, "bob", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_FORBIDDEN);
    EXPECT_EQ(ErrorOf(Core()).detail, 1);

    // Nothing changed on the device.
    const mfpsim::DeviceState after = Device().State();
    ASSERT_EQ(after.boxes.size(), before.boxes.size());
    for (const auto& [n, b] : before.boxes) {
        EXPECT_EQ(after.boxes.at(n).name, b.name);
        EXPECT_EQ(after.boxes.at(n).owner, b.owner);
        EXPECT_EQ(after.boxes.at(n).password, b.password);
    }
}

TEST_P(Boxes, BoxLoginChecksThePasswordAndLogoutEndsAccess) {
    ASSERT_TRUE(ConnectAs("alice", "alice"));
    int flag = -1;
    EXPECT_EQ(Core().BoxLogin(kSecureBox, "0000", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_PASSWORD);
    EXPECT_EQ(flag, 1);
    flag = -1;
    EXPECT_EQ(Core().BoxLogin(kSecureBox, "", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_PASSWORD_NEEDED);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(Core().BoxLogin(99, "", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_NO_BOX);
    EXPECT_EQ(Core().BoxLogin(kBobBox, "bob", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_FORBIDDEN);
    // No box open: no documents.
    std::vector<tagUTIL_DOCINFO> docs;
    EXPECT_EQ(Core().GetDocumentList(docs, 0), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_NOT_LOGGED_IN);

    flag = -1;
    ASSERT_EQ(Core().BoxLogin(kSecureBox, "1234", flag), 1) << ErrorOf(Core()).code;
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(DocList().size(), 3u);
    ASSERT_EQ(Core().BoxLogout(), 1);
    EXPECT_EQ(Core().GetDocumentList(docs, 0), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_NOT_LOGGED_IN);
    EXPECT_EQ(Core().BoxLogout(), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_NOT_LOGGED_IN);

    // The box administrator needs no password.
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    ASSERT_EQ(Core().UserLogin2("boxadmin", 8, "admin", perm), 1);
    EXPECT_EQ(Core().BoxLogin(kBobBox, "", flag), 1) << ErrorOf(Core()).code;
}

VESK_E2E_MODES(Boxes);

}  // namespace
}  // namespace vesk::test
