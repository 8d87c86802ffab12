// CVESKMFPDevice without a session: construction, copying, conversions, the box-list
// bookkeeping and the operations that change the device's registry entry.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "device/mfp_device.h"
#include "root/registry_entry_print.h"
#include "root/vesk_root.h"
#include "support/fake_item.h"
#include "support/registry_fixture.h"

namespace {

namespace fs = std::filesystem;
using vesk::test::EntryOf;
using vesk::test::ReadBytes;
using vesk::test::WriteBytes;

TEST(DeviceConstruction, DefaultStartsEmptyWithUnknownModeAndDisks) {
    std::unique_ptr<CObject> object(RUNTIME_CLASS(CVESKMFPDevice)->CreateObject());
    auto* d = dynamic_cast<CVESKMFPDevice*>(object.get());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->GetItemObjectType(), 1);
    EXPECT_EQ(d->GetLastTCPComm(), -1);
    EXPECT_EQ(d->GetHardDiskCount(), -1);
    EXPECT_EQ(d->GetPortNo(), 0);
    EXPECT_TRUE(d->GetLastUserName().IsEmpty());
    ASSERT_NE(d->GetItemList(), nullptr);
    EXPECT_NE(d->GetCache(), nullptr);
}

// The registry and session fields of a device item as one line, so that a constructor
// or an assignment is checked whole.
std::wstring Fields(CVESKMFPDevice& d) {
    CString s;
    s.Format(
        L"id=%d port=%d ssl=%d addr=%s name=%s type=%d user=%d account=%d public=%d "
        L"mode=%d model=%s canceled=%d opened=%d lastAccount=%d lastUser=%d comm=%d "
        L"ioption=%d disks=%d lastUserName=%s lastAccountName=%s connected=%d box=%d",
        d.GetItemID(), d.GetPortNo(), d.GetSSLPortNo(), d.GetDevAddress().GetString(),
        d.GetItemName().GetString(), d.GetMFPType(), d.GetUserType(), d.GetAccountType(),
        d.GetPublicSupport(), d.GetTCPMode(), d.GetMFPModel().GetString(), d.GetCanceled(),
        d.GetDevOpened(), d.GetLastAccountType(), d.GetLastUserType(), d.GetLastTCPComm(),
        d.GetIOption(), d.GetHardDiskCount(), d.GetLastUserName().GetString(),
        d.GetLastAccountName().GetString(), d.GetConnected(), d.GetBoxLogin());
    return s.GetString();
}

TEST(DeviceConstruction, FullConstructorAndAssignmentPlaceEachField) {
    CVESKMFPDevice source(11, 8080, L"10.1.2.3", L"Copier", 2, 3, 4, 5, 1, L"Model X", 6, 7, 8, 9,
                          1, L"unused", L"unused too", 8443, 12, 2);
    EXPECT_EQ(Fields(source),
              L"id=11 port=8080 ssl=8443 addr=10.1.2.3 name=Copier type=2 user=3 account=4 "
              L"public=5 mode=1 model=Model X canceled=6 opened=7 lastAccount=8 lastUser=9 "
              L"comm=1 ioption=12 disks=2 lastUserName=Public lastAccountName= connected=0 box=0");
    EXPECT_EQ(source.GetThumbnailDataFormat(), 0);
    EXPECT_TRUE(source.GetItemList()->IsEmpty());

    source.SetLastUserName(L"ann");
    source.SetLastAccountName(L"sales");
    source.SetConnected(1);
    source.SetBoxLogin(1);
    CVESKMFPDevice target;
    target.SetItemID(99);
    target = &source;
    // The id stays the target's, the type is not taken over, the account type comes
    // from the source's last one.
    EXPECT_EQ(Fields(target),
              L"id=99 port=8080 ssl=8443 addr=10.1.2.3 name=Copier type=0 user=3 account=8 "
              L"public=5 mode=1 model=Model X canceled=6 opened=7 lastAccount=8 lastUser=9 "
              L"comm=1 ioption=12 disks=2 lastUserName=ann lastAccountName=sales connected=1 "
              L"box=1");
    EXPECT_NE(target.GetCache(), source.GetCache());
    target = nullptr;  // nothing to copy from
    EXPECT_EQ(target.GetItemName(), L"Copier");
}

TEST(DeviceConversions, Utf8OutputIsBoundedTo1024Bytes) {
    char out[1100];
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(CVESKMFPDevice::CStringToUTF8(L"Caf\u00e9 \u20ac", 0, out), 9);
    EXPECT_STREQ(out, "Caf\xc3\xa9 \xe2\x82\xac");

    // 600 two-byte characters: only whole characters up to 1024 bytes, nothing beyond.
    std::memset(out, 'z', sizeof out);
    EXPECT_EQ(CVESKMFPDevice::CStringToUTF8(CString(L'\u00e9', 600), 0, out), 1024);
    EXPECT_EQ(out[1024], 'z');
    EXPECT_EQ(std::string(out, 2), "\xc3\xa9");

    out[0] = 'q';
    EXPECT_EQ(CVESKMFPDevice::CStringToUTF8(L"", 0, out), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(CVESKMFPDevice::CStringToUTF8(L"x", 0, nullptr), 0);
}

TEST(DeviceConversions, WideOutputIsBoundedTo259Characters) {
    EXPECT_EQ(CVESKMFPDevice::UTF8toCString("Caf\xc3\xa9"), L"Caf\u00e9");
    EXPECT_EQ(CVESKMFPDevice::UTF8toCString(std::string(300, 'a').c_str()).GetLength(), 259);
    EXPECT_EQ(CVESKMFPDevice::UTF8toCString(std::string(259, 'a').c_str()).GetLength(), 259);
    EXPECT_TRUE(CVESKMFPDevice::UTF8toCString(nullptr).IsEmpty());
    EXPECT_EQ(CVESKMFPDevice::UTF8toCString("a\xff"), L"a\ufffd");
}

TEST(DeviceBoxes, UpdateListReplacesTheBoxWithTheSameNumber) {
    CVESKMFPDevice d;
    auto* box1 = new vesk::test::FakeItem(VESK_ITEM_BOX, 1, L"one");
    auto* box2 = new vesk::test::FakeItem(VESK_ITEM_BOX, 2, L"two");
    d.GetItemList()->AddTail(box1);
    d.GetItemList()->AddTail(box2);

    auto* newer = new vesk::test::FakeItem(VESK_ITEM_BOX, 1, L"one again");
    EXPECT_EQ(d.UpdateList(newer), 1);
    EXPECT_EQ(d.GetItemList()->GetHead(), newer);
    EXPECT_EQ(d.GetItemList()->GetCount(), 2);
    EXPECT_EQ(box1->GetItemName(), L"one");  // replaced, still alive

    EXPECT_EQ(d.UpdateList(newer), 1);  // already there
    vesk::test::FakeItem document(VESK_ITEM_DOCUMENT, 2, L"doc");
    EXPECT_EQ(d.UpdateList(&document), 1);
    EXPECT_EQ(d.GetItemList()->GetTail(), box2);
    // The device destroys its boxes, replaced ones included (ASan checks once each).
}

// ModifyItem and RenameItem against the registry file of an isolated profile.
class DeviceEntry : public vesk::test::RegistryFixture {
protected:
    void SetUp() override {
        RegistryFixture::SetUp();
        WriteRegistry(ReadBytes(fs::path(VESK_TEST_DATA_DIR) / "registry/two_devices.xml"));
        root = std::make_unique<CVESKRoot>();
        ASSERT_EQ(root->GetChildList(0), 1);
        auto* list = root->GetItemList();
        hall = DYNAMIC_DOWNCAST(CVESKMFPDevice, list->GetHead());
        basement = DYNAMIC_DOWNCAST(CVESKMFPDevice, list->GetTail());
        ASSERT_NE(hall, nullptr);
        ASSERT_NE(basement, nullptr);
    }
    void TearDown() override {
        root.reset();
        RegistryFixture::TearDown();
    }
    // The device as a fresh listing reads it from the file.
    std::unique_ptr<CVESKRoot> Reread() {
        auto reader = std::make_unique<CVESKRoot>();
        reader->GetChildList(0);
        return reader;
    }
    CVESKMFPDevice* Nth(CVESKRoot& r, int index) {
        auto* list = r.GetItemList();
        return DYNAMIC_DOWNCAST(CVESKMFPDevice, list->GetAt(list->FindIndex(index)));
    }

    std::unique_ptr<CVESKRoot> root;
    CVESKMFPDevice* hall = nullptr;
    CVESKMFPDevice* basement = nullptr;
};

TEST_F(DeviceEntry, EmptyRecordRewritesOnlyTheLastLoginFields) {
    hall->SetUserType(5);
    hall->SetAccountType(6);
    hall->SetLastUserName(L"bob & co");
    hall->SetLastTCPComm(1);
    ITEMINFO empty;
    EXPECT_EQ(hall->ModifyItem(empty, L""), 1);

    auto reader = Reread();
    EXPECT_EQ(EntryOf(Nth(*reader, 0)), (vesk::DeviceRegistryEntry{1, L"Hall", L"10.0.0.1", 80, 443,
                                                                   1, L"bob & co", 5, 6, L""}));
    EXPECT_EQ(hall->GetLastUserType(), 5);
    EXPECT_EQ(hall->GetLastAccountType(), 6);
    // The other entry is untouched.
    EXPECT_EQ(Nth(*reader, 1)->GetItemName(), L"Basement");
    EXPECT_NE(RegistryBytes().find("\n\t<MFP>\n\t\t<ID>1</ID>\n\t\t<Name>Hall</Name>"),
              std::string::npos);
    // The same record again leaves the file alone: neither replaced nor rewritten, either
    // of which would date it now.
    const auto before = fs::last_write_time(RegistryFile()) - std::chrono::hours(1);
    fs::last_write_time(RegistryFile(), before);
    EXPECT_EQ(hall->ModifyItem(empty, L""), 1);
    EXPECT_EQ(fs::last_write_time(RegistryFile()), before);
}

TEST_F(DeviceEntry, ChangedAddressMovesTheDeviceAndDropsTheOldSettings) {
    WriteBytes(HaldFolder() / "10.0.0.1" / "0.xml", "view");
    ITEMINFO info;
    info.strName = L"Hall 2";
    info.strIP = L"10.0.0.9";
    info.nPort = 8080;
    info.nPortSSL = -1;  // not above 0: kept
    EXPECT_EQ(hall->ModifyItem(info, L""), 1);
    // The user type of this session (none yet) becomes the last one.
    const vesk::DeviceRegistryEntry moved{1,  L"Hall 2", L"10.0.0.9", 8080, 443,
                                          -1, L"ann",    0,           0,    L""};
    EXPECT_EQ(EntryOf(hall), moved);
    EXPECT_FALSE(fs::exists(HaldFolder() / "10.0.0.1"));
    EXPECT_EQ(EntryOf(Nth(*Reread(), 0)), moved);

    // Moving to an address another device also has keeps that device's settings.
    WriteBytes(HaldFolder() / "10.0.0.2" / "0.xml", "view");
    info.strIP = L"10.0.0.2";
    EXPECT_EQ(hall->ModifyItem(info, L""), 1);
    EXPECT_TRUE(fs::exists(HaldFolder() / "10.0.0.2"));
    // An address that could not be a folder name is refused and nothing changes.
    const std::string before = RegistryBytes();
    info.strIP = L"../x";
    EXPECT_EQ(hall->ModifyItem(info, L""), 0);
    EXPECT_EQ(RegistryBytes(), before);
    EXPECT_EQ(hall->GetDevAddress(), L"10.0.0.2");
}

TEST_F(DeviceEntry, ModifyRefusesWhileConnectedOrWithoutAFile) {
    ITEMINFO info;
    info.strName = L"x";
    hall->SetConnected(1);
    EXPECT_EQ(hall->ModifyItem(info, L""), -1059);
    EXPECT_EQ(hall->RenameItem(L"x", L""), -1058);
    hall->SetConnected(0);

    // Another writer's lock that cannot be taken: refused before the file is read.
    const std::string before = RegistryBytes();
    fs::create_directory(RegistryFile().string() + ".lock");
    EXPECT_EQ(hall->ModifyItem(info, L""), -1018);
    EXPECT_EQ(hall->RenameItem(L"x", L""), -1018);
    EXPECT_EQ(RegistryBytes(), before);
    fs::remove(RegistryFile().string() + ".lock");

    fs::remove(RegistryFile());
    EXPECT_EQ(hall->ModifyItem(info, L""), -1018);
    EXPECT_EQ(hall->RenameItem(L"x", L""), -1018);
    EXPECT_EQ(hall->GetItemName(), L"Hall");
    EXPECT_FALSE(fs::exists(RegistryFile()));
}

TEST_F(DeviceEntry, ModifyOfAnIdNotInTheFileChangesNothing) {
    const std::string before = RegistryBytes();
    CVESKMFPDevice loose(5, 80, L"10.0.0.5", L"Loose", 0, 0, 0, 0, 0, L"", 0, 0, 0, 0, 0, L"", L"",
                         443, 0, -1);
    loose.SetRoot(root.get());
    ITEMINFO info;
    info.strName = L"Other";
    EXPECT_EQ(loose.ModifyItem(info, L""), 1);
    EXPECT_EQ(RegistryBytes(), before);
    EXPECT_EQ(loose.GetItemName(), L"Loose");
}

TEST_F(DeviceEntry, RenameNeedsANameNoOtherDeviceHas) {
    EXPECT_EQ(hall->RenameItem(L"HALL", L""), -1057);  // its own name, any case
    EXPECT_EQ(hall->RenameItem(L"basement", L""), -1057);
    EXPECT_EQ(hall->RenameItem(L"", L""), -1033);
    EXPECT_EQ(hall->RenameItem(nullptr, L""), -1033);
    EXPECT_EQ(hall->GetItemName(), L"Hall");

    EXPECT_EQ(hall->RenameItem(L"R&D <1>", L""), 1);
    EXPECT_EQ(hall->GetItemName(), L"R&D <1>");
    EXPECT_NE(RegistryBytes().find("<Name>R&amp;D &lt;1&gt;</Name>"), std::string::npos);
    EXPECT_EQ(EntryOf(Nth(*Reread(), 0)), (vesk::DeviceRegistryEntry{1, L"R&D <1>", L"10.0.0.1", 80,
                                                                     443, -1, L"ann", 2, 0, L""}));
}

TEST_F(DeviceEntry, OverridePathOfTheRootIsFollowed) {
    const fs::path own = Root() / "own.xml";
    WriteBytes(own, "<MFPList><MFP><ID>1</ID><Name>Own</Name></MFP></MFPList>");
    root->SetDeviceInfoPath(own.wstring());
    const std::string before = RegistryBytes();
    EXPECT_EQ(hall->RenameItem(L"Renamed", L""), 1);
    EXPECT_EQ(RegistryBytes(), before);
    EXPECT_NE(ReadBytes(own).find("<Name>Renamed</Name>"), std::string::npos);
}

}  // namespace
