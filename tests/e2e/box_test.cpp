// Boxes through the client: the device's refusal codes, details and out flags of the box
// administration calls and of the box login, and what a box login opens. What succeeds
// and what the item makes of each refusal: tests/box (device_boxes_test, changes_test).
#include <cstring>
#include <tuple>

#include "support/sim_fixture.h"

namespace vesk::test {
namespace {

using Boxes = E2E;

tagUTIL_BOXCREATEINFO NewBox(const char* name) {
    tagUTIL_BOXCREATEINFO info{};
    std::strncpy(info.szBoxName, name, sizeof info.szBoxName - 1);
    info.nAutoDelTime = 255;
    return info;
}

tagUTIL_BOXPROPINFO Change(unsigned short mask, const char* name, const char* owner = "") {
    tagUTIL_BOXPROPINFO prop{};
    prop.wMask = mask;
    prop.nBoxValueB = *owner ? 1 : 0;
    std::strcpy(prop.szBoxName, name);
    std::strcpy(prop.szUserName, owner);
    return prop;
}

TEST_P(Boxes, RefusalsCarryTheDeviceCodesDetailsAndFlags) {
    ASSERT_TRUE(ConnectAs("alice", "alice"));
    const mfpsim::DeviceState before = Device().State();
    CTcpCore& c = Core();
    // The result of a call, the code it left, and its out flag (RemoveBox: the detail;
    // -1: the call does not set it), which is then made -1 again.
    int flag = -1;
    auto expect = [&](int line, int result, int wantResult, int code, int wantFlag) {
        EXPECT_EQ(std::tuple(result, ErrorOf(c).code, flag), std::tuple(wantResult, code, wantFlag))
            << "line " << line;
        flag = -1;
    };
    std::vector<tagUTIL_DOCINFO> docs;
    expect(__LINE__, c.CreateBox(NewBox("Alice"), ""), -1, QTCP_DEV_BOX_CREATE, -1);
    expect(__LINE__, c.CreateBox(NewBox(""), ""), -1, QTCP_DEV_BOX_CREATE, -1);
    expect(__LINE__, c.RenameBox(kSecureBox, "Other", 5, "9999", flag), 0, QTCP_DEV_BOX_PASSWORD,
           1);
    expect(__LINE__, c.RenameBox(kSecureBox, "Other", 5, "", flag), 0, QTCP_DEV_BOX_PASSWORD_NEEDED,
           1);
    expect(__LINE__, c.RenameBox(kSecureBox, "Alice", 5, "1234", flag), 0, QTCP_DEV_BOX_NAME_IN_USE,
           0);
    expect(__LINE__, c.RemoveBox(kSecureBox, "bad", flag), 0, QTCP_DEV_BOX_PASSWORD, 1);
    expect(__LINE__,
           c.ChangeBoxSetting(kSecureBox, Change(QTCP_BOXPROP_NAME, "Alice"), "1234", "", flag), 0,
           QTCP_DEV_BOX_SETTING, 0);
    expect(
        __LINE__,
        c.ChangeBoxSetting(kSecureBox, Change(QTCP_BOXPROP_OWNER, "", "nobody"), "1234", "", flag),
        0, QTCP_DEV_BOX_OWNER, 0);
    expect(__LINE__,
           c.ChangeBoxSetting(kSecureBox, Change(QTCP_BOXPROP_NAME, "Fine"), "4321", "", flag), 0,
           QTCP_DEV_BOX_PASSWORD, 1);
    expect(__LINE__, c.BoxLogin(kSecureBox, "0000", flag), 0, QTCP_DEV_BOX_PASSWORD, 1);
    expect(__LINE__, c.BoxLogin(kSecureBox, "", flag), 0, QTCP_DEV_BOX_PASSWORD_NEEDED, 1);
    expect(__LINE__, c.BoxLogin(99, "", flag), 0, QTCP_DEV_NO_BOX, 0);
    expect(__LINE__, c.BoxLogin(kBobBox, "bob", flag), 0, QTCP_DEV_FORBIDDEN, 0);
    // No box open: no documents, nothing to leave.
    expect(__LINE__, c.GetDocumentList(docs, 0), 0, QTCP_DEV_BOX_NOT_LOGGED_IN, -1);
    expect(__LINE__, c.BoxLogout(), 0, QTCP_DEV_BOX_NOT_LOGGED_IN, -1);

    // Someone else's box, with the device's detail.
    EXPECT_EQ(Core().RenameBox(kBobBox, "Mine", 4, "bob", flag), 0);
    EXPECT_EQ(std::tuple(ErrorOf(Core()).code, ErrorOf(Core()).detail),
              std::tuple(QTCP_DEV_FORBIDDEN, 1));

    // Nothing changed on the device.
    const mfpsim::DeviceState after = Device().State();
    ASSERT_EQ(after.boxes.size(), before.boxes.size());
    for (const auto& [n, b] : before.boxes) {
        const mfpsim::Box& a = after.boxes.at(n);
        EXPECT_EQ(std::tie(a.name, a.owner, a.password), std::tie(b.name, b.owner, b.password));
    }

    // The right password opens the box and clears the flag; the logout closes it again.
    ASSERT_EQ(Core().BoxLogin(kSecureBox, "1234", flag), 1) << ErrorOf(Core()).code;
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(DocList().size(), 3u);
    ASSERT_EQ(Core().BoxLogout(), 1);
    EXPECT_EQ(Core().GetDocumentList(docs, 0), 0);
    // The box administrator needs no password.
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    ASSERT_EQ(Core().UserLogin2("boxadmin", 8, "admin", perm), 1);
    EXPECT_EQ(Core().BoxLogin(kBobBox, "", flag), 1) << ErrorOf(Core()).code;
}

VESK_E2E_MODES(Boxes);

}  // namespace
}  // namespace vesk::test
