// Device semantics as callers rely on them, driven through sessions directly: the
// result codes of logins, box administration, box login and document operations, and
// that changes persist in the device folder.
#include "decode.h"
#include "fixture.h"
#include "tools/mfpsim/lib/ini.h"

namespace mfpsim::test {
namespace {

// Changes one key of the folder's device.ini before the device is opened.
void SetDeviceKey(const DeviceFolder& f, const std::string& key, const std::string& value) {
    auto kv = KeyValues::Load(f.path() / "device.ini");
    ASSERT_TRUE(kv);
    kv->Set(key, value);
    ASSERT_TRUE(kv->Save(f.path() / "device.ini"));
}

std::unique_ptr<Session> Login(Device& dev, const std::string& user, const std::string& pw) {
    auto s = std::make_unique<Session>(dev);
    int ua = 0, aa = 0, ps = 0;
    EXPECT_TRUE(s->Connect(0, "", ua, aa, ps).Ok());
    Restrictions r{};
    Status st = s->UserLogin2(user, pw, r);
    EXPECT_TRUE(st.Ok()) << user << " " << st.code;
    return s;
}

int DocIdByName(Device& dev, const std::string& name) {
    for (const auto& [id, d] : dev.Snapshot().documents) {
        if (d.name == name) {
            return id;
        }
    }
    ADD_FAILURE() << "no document " << name;
    return -1;
}

std::vector<std::string> DocNames(Session& s) {
    std::vector<Document> docs;
    EXPECT_TRUE(s.GetDocumentList(docs).Ok());
    std::vector<std::string> names;
    for (const Document& d : docs) {
        names.push_back(d.name);
    }
    return names;
}

bool Has(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(SessionLogin, SessionAndLoginAreRequiredAndChecked) {
    DeviceFolder folder;
    auto dev = folder.Open();
    Session s(*dev);
    std::vector<Box> boxes;
    EXPECT_EQ(s.GetBoxList(boxes).code, err::kNoSession);
    int ua = 0, aa = 0, ps = 0;
    ASSERT_TRUE(s.Connect(0, "", ua, aa, ps).Ok());
    EXPECT_EQ(ua, 1);
    EXPECT_EQ(aa, 0);
    EXPECT_EQ(s.GetBoxList(boxes).code, err::kNoSession);  // user login still missing
    Restrictions r{};
    EXPECT_EQ(s.UserLogin2("alice", "wrong", r).code, err::kLoginRefused);
    EXPECT_EQ(s.UserLogin2("nobody", "", r).code, err::kLoginRefused);
    ASSERT_TRUE(s.UserLogin2("bob", "bob", r).Ok());
    EXPECT_EQ(r[kColourRestriction], 1);
    ASSERT_TRUE(s.GetBoxList(boxes).Ok());
    EXPECT_EQ(boxes.size(), 5u);  // user boxes only: no memory-RX, no filing box
    ASSERT_TRUE(s.GetFilingNumberBoxList(boxes).Ok());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].number, kFilingBox);

    // A unit name that is not this device's is refused.
    Session other(*dev);
    EXPECT_EQ(other.Connect(0, "1.3.6.1.4.1.59731.1.1.1.2.1.99", ua, aa, ps).code, err::kForbidden);
    std::string unit = DeviceUnit(dev->GetIdentity().identifier);
    EXPECT_TRUE(other.Connect(0, unit, ua, aa, ps).Ok());
}

TEST(SessionLogin, AccountLoginMergesRestrictionsKeptByTheUserLogin) {
    DeviceFolder folder;
    SetDeviceKey(folder, "auth.account", "3");
    auto dev = folder.Open();
    auto s = Login(*dev, "bob", "bob");  // colour forbidden for bob
    std::vector<Box> boxes;
    EXPECT_EQ(s->GetBoxList(boxes).code, err::kNoSession);  // account missing
    Restrictions r{};
    EXPECT_EQ(s->AccountLogin2("sales", "bad", r).code, err::kLoginRefused);
    EXPECT_EQ(s->AccountLogin2("", "", r).code, err::kLoginRefused);  // type 3: name needed
    ASSERT_TRUE(s->AccountLogin2("sales", "1111", r).Ok());
    EXPECT_EQ(r[kColourRestriction], 1);  // the account allows colour, the user does not
    EXPECT_TRUE(s->GetBoxList(boxes).Ok());

    auto a = Login(*dev, "alice", "alice");
    ASSERT_TRUE(a->AccountLogin2("eng", "2222", r).Ok());
    EXPECT_EQ(r[kColourRestriction], 1);  // the account forbids colour
    int colour = 0;
    auto legacy = Login(*dev, "alice", "alice");
    ASSERT_TRUE(legacy->AccountLogin("guest", "", colour).Ok());
    EXPECT_EQ(colour, 0);
    EXPECT_EQ(legacy->CurrentRestrictions()[2], 1);  // guest: no scan

    // Account type 2 takes an empty account name.
    DeviceFolder f2;
    SetDeviceKey(f2, "auth.account", "2");
    auto dev2 = f2.Open();
    auto e = Login(*dev2, "alice", "alice");
    EXPECT_TRUE(e->AccountLogin2("", "", r).Ok());
    EXPECT_TRUE(e->GetBoxList(boxes).Ok());
}

TEST(SessionLogin, BoxAdministratorAloneLogsInWithoutUserAuthentication) {
    DeviceFolder folder;
    SetDeviceKey(folder, "auth.user", "0");
    auto dev = folder.Open();
    Session s(*dev);
    int ua = 0, aa = 0, ps = 0;
    ASSERT_TRUE(s.Connect(0, "", ua, aa, ps).Ok());
    EXPECT_EQ(ua, 0);
    std::vector<Box> boxes;
    EXPECT_TRUE(s.GetBoxList(boxes).Ok());  // no login needed at all
    Restrictions r{};
    EXPECT_EQ(s.UserLogin2("alice", "alice", r).code, err::kForbidden);
    EXPECT_TRUE(s.UserLogin2("BoxAdmin", "admin", r).Ok());
    int rx = -1;
    EXPECT_TRUE(s.InquireSecuritySettingOfRXData(rx).Ok());
    EXPECT_EQ(rx, 2);
}

TEST(SessionLogin, OperationsFollowTheProtocolVersion) {
    DeviceFolder folder;
    IdentityOverrides old;
    old.major = 2;
    old.minor = 0;
    auto dev = folder.Open(old);
    Session s(*dev);
    int ua = 0, aa = 0, ps = 0;
    ASSERT_TRUE(s.Connect(0, "", ua, aa, ps).Ok());
    Restrictions r{};
    EXPECT_EQ(s.UserLogin2("alice", "alice", r).code, err::kUnsupported);
    int colour = -1;
    ASSERT_TRUE(s.UserLogin("bob", "bob", colour).Ok());
    EXPECT_EQ(colour, 1);
    int v = 0;
    EXPECT_EQ(s.GetHDDCount(v).code, err::kUnsupported);
    EXPECT_EQ(s.GetBoxControlPermission(v, v, v).code, err::kUnsupported);
    EXPECT_TRUE(s.IsIOption(v).Ok());
    int flag = 0;
    ASSERT_TRUE(s.BoxLogin(kSharedBox, "", flag).Ok());
    int64_t size = 0;
    int id = DocIdByName(*dev, "Photo");
    EXPECT_EQ(s.OpenThumbnail(id, 1, 0, size).code, err::kUnsupported);
    EXPECT_EQ(s.OpenDocument(id, OpenDocumentParams{}, size).code, err::kUnsupported);
    EXPECT_TRUE(s.OpenDocument(id, 1, kOutJpeg, size).Ok());

    // A client speaking an older protocol than the device gets that protocol's answers.
    DeviceFolder f49;
    auto dev49 = f49.Open();
    Session c(*dev49);
    ASSERT_TRUE(c.Connect(33, "", ua, aa, ps).Ok());
    EXPECT_EQ(c.Protocol(), 33);
    EXPECT_EQ(c.GetHDDCount(v).code, err::kUnsupported);
    std::vector<int> langs;
    EXPECT_TRUE(c.GetSearchablePDFSupportInfo(v, langs).Ok());
}

TEST(SessionBoxes, CreateBoxRefusalsAndNumbering) {
    DeviceFolder folder;
    auto dev = folder.Open();
    auto s = Login(*dev, "alice", "alice");
    BoxSettings b;
    int number = 0;
    b.name = "";
    EXPECT_EQ(s->CreateBox(b, "", number).code, err::kBoxCreateRefused);
    EXPECT_EQ(number, -1);
    b.name = "Secure";  // taken
    EXPECT_EQ(s->CreateBox(b, "", number).code, err::kBoxCreateRefused);
    b.name = std::string(61, 'x');  // longer than the field
    EXPECT_EQ(s->CreateBox(b, "", number).code, err::kBoxCreateRefused);
    b.name = "Projects";
    b.type = 1;
    ASSERT_TRUE(s->CreateBox(b, "pw", number).Ok());
    EXPECT_EQ(number, 6);  // the lowest free number
    Box made = dev->Snapshot().boxes.at(6);
    EXPECT_EQ(made.owner, "alice");  // a personal box without owner belongs to its creator
    EXPECT_EQ(made.password, "pw");
    EXPECT_TRUE(ParseEntryDate(made.entryDate));

    DeviceFolder full;
    SetDeviceKey(full, "limits.max_box_number", "5");
    auto devFull = full.Open();
    auto f = Login(*devFull, "alice", "alice");
    b.name = "No room";
    EXPECT_EQ(f->CreateBox(b, "", number).code, err::kBoxCreateRefused);

    DeviceFolder locked;
    SetDeviceKey(locked, "box.create", "0");
    auto devLocked = locked.Open();
    auto l = Login(*devLocked, "alice", "alice");
    Status st = l->CreateBox(b, "", number);
    EXPECT_EQ(st.code, err::kForbidden);
    EXPECT_EQ(st.detail, err::kDetailPermission);
}

TEST(SessionBoxes, BoxLoginOutFlagOwnerAndSingleBoxPerSession) {
    DeviceFolder folder;
    auto dev = folder.Open();
    auto s = Login(*dev, "alice", "alice");
    int flag = 0;
    Status st = s->BoxLogin(kSecureBox, "nope", flag);
    EXPECT_EQ(st.code, err::kBoxPasswordWrong);
    EXPECT_EQ(flag, 1);
    st = s->BoxLogin(kSecureBox, "", flag);
    EXPECT_EQ(st.code, err::kBoxPasswordMissing);
    EXPECT_EQ(flag, 1);
    st = s->BoxLogin(kBobBox, "bob", flag);  // bob's box, right password, wrong user
    EXPECT_EQ(st.code, err::kForbidden);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(s->BoxLogin(99, "", flag).code, err::kBoxNotFound);
    EXPECT_EQ(s->BoxLogout().code, err::kBoxNotLoggedIn);
    ASSERT_TRUE(s->BoxLogin(kSecureBox, "1234", flag).Ok());
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(s->LoggedInBox(), kSecureBox);

    // While alice is in the box, another session cannot rename it; once she moves to
    // another box it can.
    auto admin = Login(*dev, "boxadmin", "admin");
    int refused = 0;
    EXPECT_EQ(admin->RenameBox(kSecureBox, "Vault", "", refused).code, err::kBusy);
    ASSERT_TRUE(s->BoxLogin(kSharedBox, "", flag).Ok());
    EXPECT_TRUE(admin->RenameBox(kSecureBox, "Vault", "", refused).Ok());  // admin: no password

    // The box administrator opens any box without its password.
    EXPECT_TRUE(admin->BoxLogin(kBobBox, "", flag).Ok());
    // Account boxes need that account on devices with account tracking.
    EXPECT_TRUE(s->BoxLogin(kSalesBox, "", flag).Ok());
    ASSERT_TRUE(s->BoxLogout().Ok());
    EXPECT_EQ(s->LoggedInBox(), std::nullopt);
}

TEST(SessionBoxes, RenameRemoveAndChangeRefusals) {
    DeviceFolder folder;
    auto dev = folder.Open();
    auto s = Login(*dev, "alice", "alice");
    int refused = 0;
    Status st = s->RenameBox(kSecureBox, "Vault", "bad", refused);
    EXPECT_EQ(st.code, err::kBoxPasswordWrong);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(s->RenameBox(kSecureBox, "Alice", "1234", refused).code, err::kBoxNameInUse);
    EXPECT_EQ(refused, 0);
    EXPECT_EQ(s->RenameBox(kRxBox, "Fax", "0000", refused).code, err::kForbidden);
    EXPECT_EQ(s->RenameBox(kSecureBox, "", "1234", refused).code, err::kBadRequest);
    ASSERT_TRUE(s->RenameBox(kSecureBox, "Vault", "1234", refused).Ok());
    EXPECT_EQ(dev->Snapshot().boxes.at(kSecureBox).name, "Vault");

    // Property change.
    BoxSettings b;
    b.name = "Alice";  // another box's name
    EXPECT_EQ(s->ChangeBoxSetting(kSecureBox, kChangeName, b, "1234", "", refused).code,
              err::kBoxSettingRefused);
    b.name = "Vault";
    b.valueB = 1;
    b.owner = "nobody";
    EXPECT_EQ(
        s->ChangeBoxSetting(kSecureBox, kChangeName | kChangeOwner, b, "1234", "", refused).code,
        err::kBoxOwnerRefused);
    b.valueB = 3;  // no such owner kind
    EXPECT_EQ(s->ChangeBoxSetting(kSecureBox, kChangeOwner, b, "1234", "", refused).code,
              err::kBoxOwnerRefused);
    b.valueB = 0;
    b.autoDelTimeType = 7;
    EXPECT_EQ(s->ChangeBoxSetting(kSecureBox, kChangeIndex, b, "1234", "", refused).code,
              err::kBoxSettingRefused);
    EXPECT_EQ(s->ChangeBoxSetting(kSecureBox, kChangePassword, b, "wrong", "new", refused).code,
              err::kBoxPasswordWrong);
    EXPECT_EQ(refused, 1);
    // A refused change leaves everything as it was.
    EXPECT_EQ(dev->Snapshot().boxes.at(kSecureBox).password, "1234");

    b.autoDelTimeType = 2;
    b.autoDelTimeMinute = 30;
    b.searchChar = 'V';
    ASSERT_TRUE(
        s->ChangeBoxSetting(kSecureBox, kChangePassword | kChangeIndex, b, "1234", "5678", refused)
            .Ok());
    int flag = 0;
    EXPECT_EQ(s->BoxLogin(kSecureBox, "1234", flag).code, err::kBoxPasswordWrong);
    EXPECT_TRUE(s->BoxLogin(kSecureBox, "5678", flag).Ok());
    Box now = dev->Snapshot().boxes.at(kSecureBox);
    EXPECT_EQ(now.autoDelTimeType, 2);
    EXPECT_EQ(now.autoDelTimeMinute, 30);
    EXPECT_EQ(now.searchChar, 'V');
    EXPECT_EQ(now.name, "Vault");  // name bit not set: unchanged

    // Removal.
    int detail = 0;
    EXPECT_EQ(s->RemoveBox(kSecureBox, "5678", detail).code, err::kBusy);  // logged in
    ASSERT_TRUE(s->BoxLogout().Ok());
    st = s->RemoveBox(kSecureBox, "0000", detail);
    EXPECT_EQ(st.code, err::kBoxPasswordWrong);
    EXPECT_NE(detail, 0);
    EXPECT_EQ(s->RemoveBox(kRxBox, "0000", detail).code, err::kForbidden);
    int docsBefore = 0;
    for (const auto& [id, d] : dev->Snapshot().documents) {
        docsBefore += d.box == kSecureBox;
    }
    ASSERT_GT(docsBefore, 0);
    ASSERT_TRUE(s->RemoveBox(kSecureBox, "5678", detail).Ok());
    EXPECT_EQ(detail, 0);
    DeviceState st2 = dev->Snapshot();
    EXPECT_FALSE(st2.boxes.count(kSecureBox));
    for (const auto& [id, d] : st2.documents) {
        EXPECT_NE(d.box, kSecureBox);
    }
    EXPECT_FALSE(std::filesystem::exists(dev->GetStore().BoxDir(kSecureBox)));
    EXPECT_EQ(s->RemoveBox(kSecureBox, "5678", detail).code, err::kBoxNotFound);
}

TEST(SessionDocuments, CopyMoveRemoveAndRename) {
    DeviceFolder folder;
    auto dev = folder.Open();
    auto s = Login(*dev, "alice", "alice");
    std::vector<Document> docs;
    EXPECT_EQ(s->GetDocumentList(docs).code, err::kBoxNotLoggedIn);
    int flag = 0;
    ASSERT_TRUE(s->BoxLogin(kSharedBox, "", flag).Ok());
    int invoice = DocIdByName(*dev, "Invoice 2024-001");
    int contract = DocIdByName(*dev, "Contract");
    int payroll = DocIdByName(*dev, "Payroll");  // in the password box

    int newId = 0;
    EXPECT_EQ(s->CopyDocument(payroll, kAliceBox, newId).code, err::kDocNotFound);
    EXPECT_EQ(s->CopyDocument(invoice, 77, newId).code, err::kBoxNotFound);
    EXPECT_EQ(s->CopyDocument(invoice, kRxBox, newId).code, err::kForbidden);
    // Copies go into a password box without its password, as the device does it.
    ASSERT_TRUE(s->CopyDocument(invoice, kSecureBox, newId).Ok());
    EXPECT_GT(newId, invoice);
    EXPECT_TRUE(Has(DocNames(*s), "Invoice 2024-001"));
    Document copy = dev->Snapshot().documents.at(newId);
    EXPECT_EQ(copy.box, kSecureBox);
    EXPECT_EQ(copy.pages, 2);
    EXPECT_EQ(dev->GetStore().ReadContent(copy, "page-0002.jpg"),
              dev->GetStore().ReadContent(dev->Snapshot().documents.at(invoice), "page-0002.jpg"));

    ASSERT_TRUE(s->MoveDocument(contract, kAliceBox).Ok());
    EXPECT_FALSE(Has(DocNames(*s), "Contract"));
    EXPECT_EQ(dev->Snapshot().documents.at(contract).box, kAliceBox);
    EXPECT_TRUE(std::filesystem::exists(dev->GetStore().DocumentDir(kAliceBox, contract)));
    EXPECT_FALSE(std::filesystem::exists(dev->GetStore().DocumentDir(kSharedBox, contract)));
    EXPECT_EQ(s->MoveDocument(contract, kSharedBox).code, err::kDocNotFound);  // not here now

    EXPECT_EQ(s->RenameDocument(invoice, "").code, err::kBadRequest);
    EXPECT_EQ(s->RenameDocument(invoice, std::string(91, 'n')).code, err::kBadRequest);
    ASSERT_TRUE(s->RenameDocument(invoice, "Invoice (paid)").Ok());
    EXPECT_TRUE(Has(DocNames(*s), "Invoice (paid)"));

    // A document another session is reading cannot be removed or moved away.
    auto reader = Login(*dev, "bob", "bob");
    ASSERT_TRUE(reader->BoxLogin(kSharedBox, "", flag).Ok());
    int64_t size = 0;
    ASSERT_TRUE(reader->OpenDocument(invoice, 1, kOutJpeg, size).Ok());
    EXPECT_EQ(s->RemoveDocument(invoice).code, err::kBusy);
    EXPECT_EQ(s->MoveDocument(invoice, kAliceBox).code, err::kBusy);
    ASSERT_TRUE(reader->CloseDocument(0).Ok());
    ASSERT_TRUE(s->RemoveDocument(invoice).Ok());
    EXPECT_FALSE(Has(DocNames(*s), "Invoice (paid)"));
    EXPECT_EQ(s->RemoveDocument(invoice).code, err::kDocNotFound);
}

TEST(SessionDocuments, MemoryRxRemovalNeedsThePasswordOnSecuredDevices) {
    DeviceFolder folder;
    auto dev = folder.Open();
    auto s = Login(*dev, "alice", "alice");
    int flag = 0;
    ASSERT_TRUE(s->BoxLogin(kRxBox, "0000", flag).Ok());
    int fax1 = DocIdByName(*dev, "Fax 0312");
    int fax2 = DocIdByName(*dev, "Fax 0313");
    EXPECT_EQ(s->RemoveDocument(fax1).code, err::kBoxPasswordMissing);
    Status st = s->RemoveDocument2(fax1, "9999", flag);
    EXPECT_EQ(st.code, err::kBoxPasswordWrong);
    EXPECT_EQ(flag, 1);
    st = s->RemoveDocument2(fax1, "", flag);
    EXPECT_EQ(st.code, err::kBoxPasswordMissing);
    ASSERT_TRUE(s->RemoveDocument2(fax1, "0000", flag).Ok());
    EXPECT_EQ(flag, 0);
    // Outside the memory-RX box the password form needs no password.
    ASSERT_TRUE(s->BoxLogin(kSharedBox, "", flag).Ok());
    EXPECT_TRUE(s->RemoveDocument2(DocIdByName(*dev, "Photo"), "", flag).Ok());

    // Not secured: the plain removal works.
    DeviceFolder open;
    SetDeviceKey(open, "rx.secured", "0");
    auto devOpen = open.Open();
    auto o = Login(*devOpen, "alice", "alice");
    ASSERT_TRUE(o->BoxLogin(kRxBox, "0000", flag).Ok());
    EXPECT_TRUE(o->RemoveDocument(fax2).Ok());

    // Before protocol 43 the device knows no password removal at all.
    DeviceFolder older;
    IdentityOverrides v42;
    v42.minor = 2;
    auto devOld = older.Open(v42);
    auto p = Login(*devOld, "alice", "alice");
    ASSERT_TRUE(p->BoxLogin(kRxBox, "0000", flag).Ok());
    EXPECT_EQ(p->RemoveDocument2(fax2, "0000", flag).code, err::kUnsupported);
    EXPECT_TRUE(p->RemoveDocument(fax2).Ok());
}

TEST(SessionDocuments, OpenReadCloseAndThumbnails) {
    DeviceFolder folder;
    auto dev = folder.Open();
    auto s = Login(*dev, "alice", "alice");
    int flag = 0;
    ASSERT_TRUE(s->BoxLogin(kSharedBox, "", flag).Ok());
    std::vector<uint8_t> chunk;
    EXPECT_EQ(s->ReadDocument(100, chunk).code, err::kNotOpen);
    EXPECT_EQ(s->CloseDocument(0).code, err::kNotOpen);

    const Document invoice = dev->Snapshot().documents.at(DocIdByName(*dev, "Invoice 2024-001"));
    int64_t size = 0;
    EXPECT_EQ(s->OpenDocument(invoice.id, 3, kOutJpeg, size).code, err::kDocFormat);
    ASSERT_TRUE(s->OpenDocument(invoice.id, 2, kOutJpeg, size).Ok());
    std::vector<uint8_t> all;
    do {
        ASSERT_TRUE(s->ReadDocument(1000, chunk).Ok());
        EXPECT_LE(chunk.size(), 1000u);
        all.insert(all.end(), chunk.begin(), chunk.end());
    } while (!chunk.empty());
    EXPECT_EQ(static_cast<int64_t>(all.size()), size);
    EXPECT_EQ(all, *dev->GetStore().ReadContent(invoice, "page-0002.jpg"));
    ASSERT_TRUE(s->CloseDocument(0).Ok());

    // Thumbnails: raw grey rows for format 1, JPEG otherwise.
    ASSERT_TRUE(s->OpenThumbnail(invoice.id, 1, 1, size).Ok());
    std::vector<uint8_t> raw;
    ASSERT_TRUE(s->ReadThumbnail(1 << 20, raw).Ok());
    EXPECT_EQ(static_cast<int64_t>(raw.size()), size);
    EXPECT_EQ(raw.size() % 104, 0u);
    ASSERT_TRUE(s->CloseThumbnail().Ok());
    ASSERT_TRUE(s->OpenThumbnail(invoice.id, 1, 0, size).Ok());
    std::vector<uint8_t> jpeg;
    ASSERT_TRUE(s->ReadThumbnail(1 << 20, jpeg).Ok());
    Decoded d;
    EXPECT_TRUE(DecodeJpegBytes(jpeg, d));
    ASSERT_TRUE(s->CloseThumbnail().Ok());
    Status st = s->OpenThumbnail(DocIdByName(*dev, "Sealed"), 1, 0, size);
    EXPECT_EQ(st.code, err::kForbidden);
    EXPECT_EQ(st.detail, err::kDetailEncrypted);

    // A missing device thumbnail is made from the first page and kept.
    std::filesystem::remove(dev->GetStore().DocumentDir(kSharedBox, invoice.id) / "thumb.raw");
    ASSERT_TRUE(s->OpenThumbnail(invoice.id, 1, 1, size).Ok());
    EXPECT_EQ(size, static_cast<int64_t>(raw.size()));
    EXPECT_TRUE(
        std::filesystem::exists(dev->GetStore().DocumentDir(kSharedBox, invoice.id) / "thumb.raw"));

    // Injected thumbnail faults: announced and delivered sizes disagree as asked.
    s->SetThumbnailFault(Session::ThumbnailFault::kTruncate, 100);
    ASSERT_TRUE(s->OpenThumbnail(invoice.id, 1, 1, size).Ok());
    ASSERT_TRUE(s->ReadThumbnail(1 << 20, chunk).Ok());
    EXPECT_EQ(size, static_cast<int64_t>(raw.size()));
    EXPECT_EQ(chunk.size(), 100u);
    s->SetThumbnailFault(Session::ThumbnailFault::kOversize, 500);
    ASSERT_TRUE(s->OpenThumbnail(invoice.id, 1, 1, size).Ok());
    ASSERT_TRUE(s->ReadThumbnail(1 << 20, chunk).Ok());
    EXPECT_EQ(chunk.size(), raw.size() + 500);
    s->SetThumbnailFault(Session::ThumbnailFault::kAbsurdSize, -5);
    ASSERT_TRUE(s->OpenThumbnail(invoice.id, 1, 1, size).Ok());
    EXPECT_EQ(size, -5);
}

TEST(SessionDocuments, PrintChecksRestrictionsAndRecordsJobs) {
    DeviceFolder folder;
    auto dev = folder.Open();
    int flag = 0;
    int brochure = DocIdByName(*dev, "Brochure");  // colour, 4 pages
    int memo = DocIdByName(*dev, "Memo");          // bilevel

    auto carol = Login(*dev, "carol", "carol");  // printing forbidden
    ASSERT_TRUE(carol->BoxLogin(kSharedBox, "", flag).Ok());
    int job = 0;
    PrintSettings p;
    EXPECT_EQ(carol->PrintDocument(p, {}, job).code, err::kNotOpen);  // nothing selected
    ASSERT_TRUE(carol->SetDocument(brochure).Ok());
    EXPECT_EQ(carol->PrintDocument(p, {}, job).code, err::kForbidden);

    auto bob = Login(*dev, "bob", "bob");  // colour forbidden
    ASSERT_TRUE(bob->BoxLogin(kSharedBox, "", flag).Ok());
    ASSERT_TRUE(bob->SetDocument(brochure).Ok());
    PrintSettings current;
    ASSERT_TRUE(bob->GetCurrentSetDocumentPrintSettings(current).Ok());
    EXPECT_EQ(current.endPage, 4);
    EXPECT_EQ(current.colour, 2);
    p.colour = 2;
    EXPECT_EQ(bob->PrintDocument(p, {}, job).code, err::kForbidden);
    p.colour = 1;
    p.copies = 3;
    p.startPage = 2;
    p.endPage = 5;  // beyond the last page
    EXPECT_EQ(bob->PrintDocument(p, {}, job).code, err::kBadRequest);
    p.endPage = 0;
    ASSERT_TRUE(bob->PrintDocument(p, {1, 2, 3}, job).Ok());
    ASSERT_TRUE(bob->SetDocument(memo).Ok());
    int job2 = 0;
    ASSERT_TRUE(bob->PrintDocument(PrintSettings{}, {}, job2).Ok());
    EXPECT_EQ(job2, job + 1);
    bob.reset();
    carol.reset();
    dev.reset();

    auto again = folder.Open();
    std::vector<PrintJob> jobs = again->Snapshot().jobs;
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].document, brochure);
    EXPECT_EQ(jobs[0].user, "bob");
    EXPECT_EQ(jobs[0].copies, 3);
    EXPECT_EQ(jobs[0].startPage, 2);
    EXPECT_EQ(jobs[0].endPage, 4);
    EXPECT_EQ(jobs[0].settings, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(jobs[1].documentName, "Memo");
}

TEST(SessionDocuments, AutomaticDeletionRemovesExpiredDocumentsOnListing) {
    DeviceFolder folder;
    auto dev = folder.Open();
    // Two days after the newest sample document.
    std::time_t now = *ParseEntryDate("2024/03/12 00:00:00");
    dev->SetClock([now] { return now; });
    auto s = Login(*dev, "alice", "alice");
    int flag = 0;
    ASSERT_TRUE(s->BoxLogin(kAliceBox, "", flag).Ok());
    size_t before = DocNames(*s).size();
    ASSERT_GT(before, 0u);
    ASSERT_TRUE(s->BoxLogout().Ok());
    BoxSettings b;
    b.autoDelTime = 1;  // one day
    int refused = 0;
    ASSERT_TRUE(s->ChangeBoxSetting(kAliceBox, kChangeAutoDelete, b, "", "", refused).Ok());
    ASSERT_TRUE(s->BoxLogin(kAliceBox, "", flag).Ok());
    EXPECT_TRUE(DocNames(*s).empty());
    // Another box without automatic deletion keeps its documents.
    ASSERT_TRUE(s->BoxLogin(kSharedBox, "", flag).Ok());
    EXPECT_FALSE(DocNames(*s).empty());
}

// Everything a client changed is there again after a restart, and ids handed out
// before are never handed out again.
TEST(SessionPersistence, ChangesSurviveARestart) {
    DeviceFolder folder;
    int copyId = 0;
    int movedId = 0;
    {
        auto dev = folder.Open();
        auto s = Login(*dev, "alice", "alice");
        BoxSettings b;
        b.name = "Archive 2024";
        int number = 0;
        ASSERT_TRUE(s->CreateBox(b, "arch", number).Ok());
        int flag = 0;
        ASSERT_TRUE(s->BoxLogin(kSharedBox, "", flag).Ok());
        movedId = DocIdByName(*dev, "Report");
        ASSERT_TRUE(s->MoveDocument(movedId, number).Ok());
        ASSERT_TRUE(s->CopyDocument(DocIdByName(*dev, "Photo"), number, copyId).Ok());
        ASSERT_TRUE(s->RenameDocument(DocIdByName(*dev, "Budget"), "Budget 2025").Ok());
        ASSERT_TRUE(s->RemoveDocument(DocIdByName(*dev, "Form")).Ok());
        int refused = 0;
        ASSERT_TRUE(s->RenameBox(kAliceBox, "Alice's", "", refused).Ok());
        ASSERT_TRUE(s->SetAuthServerInfo(1, "LDAP1", "").Ok());
    }
    auto dev = folder.Open();
    DeviceState st = dev->Snapshot();
    int archive = -1;
    for (const auto& [n, b] : st.boxes) {
        if (b.name == "Archive 2024") {
            archive = n;
            EXPECT_EQ(b.password, "arch");
        }
    }
    ASSERT_NE(archive, -1);
    EXPECT_EQ(st.boxes.at(kAliceBox).name, "Alice's");
    EXPECT_EQ(st.documents.at(movedId).box, archive);
    EXPECT_EQ(st.documents.at(copyId).box, archive);
    EXPECT_EQ(st.documents.at(copyId).name, "Photo");
    bool renamed = false;
    for (const auto& [id, d] : st.documents) {
        EXPECT_NE(d.name, "Form");
        renamed |= d.name == "Budget 2025";
    }
    EXPECT_TRUE(renamed);
    EXPECT_EQ(st.identity.authServers.size(), 2u);
    EXPECT_GT(st.nextDocumentId, copyId);

    auto s = Login(*dev, "alice", "alice");
    int flag = 0;
    ASSERT_TRUE(s->BoxLogin(archive, "arch", flag).Ok());
    std::vector<std::string> names = DocNames(*s);
    EXPECT_TRUE(Has(names, "Report"));
    EXPECT_TRUE(Has(names, "Photo"));
    int copy2 = 0;
    ASSERT_TRUE(s->CopyDocument(copyId, archive, copy2).Ok());
    EXPECT_GT(copy2, copyId);
    // The moved document's content came along.
    int64_t size = 0;
    EXPECT_TRUE(s->OpenDocument(movedId, 0, kOutDocx, size).Ok());
    EXPECT_GT(size, 0);
}

TEST(SessionPersistence, SyntheticDocumentsCanBeAddedForLargerLoads) {
    DeviceFolder folder;
    int id = 0;
    {
        auto dev = folder.Open();
        std::string error;
        EXPECT_EQ(dev->AddSyntheticDocument(99, "x", kFilePdf, 1, 2, 50, error), -1);
        EXPECT_EQ(dev->AddSyntheticDocument(kSharedBox, "x", 3, 1, 2, 50, error), -1);
        id = dev->AddSyntheticDocument(kSharedBox, "Big scan", kFilePdf, 5, 2, 50, error);
        ASSERT_GT(id, 0) << error;
    }
    auto dev = folder.Open();
    auto s = Login(*dev, "alice", "alice");
    int flag = 0;
    ASSERT_TRUE(s->BoxLogin(kSharedBox, "", flag).Ok());
    EXPECT_TRUE(Has(DocNames(*s), "Big scan"));
    int64_t size = 0;
    ASSERT_TRUE(s->OpenDocument(id, 0, kOutPdf, size).Ok());
    std::vector<uint8_t> pdf;
    std::vector<uint8_t> chunk;
    do {
        ASSERT_TRUE(s->ReadDocument(1 << 20, chunk).Ok());
        pdf.insert(pdf.end(), chunk.begin(), chunk.end());
    } while (!chunk.empty());
    EXPECT_EQ(PdfPageCount(pdf), 5);
    Decoded page;
    ASSERT_TRUE(DecodeJpegBytes(
        *dev->GetStore().ReadContent(dev->Snapshot().documents.at(id), "page-0005.jpg"), page));
    EXPECT_EQ(page.density, 50);
}

TEST(SessionPersistence, DamagedObjectsAreSkippedAndLeftoversIgnored) {
    DeviceFolder folder;
    int photo = 0;
    {
        auto dev = folder.Open();
        photo = DocIdByName(*dev, "Photo");
    }
    // A removal interrupted after its rename, a half-built copy and an unreadable
    // document: none of them may appear as objects.
    auto docs = folder.path() / "boxes" / "1" / "docs";
    std::filesystem::rename(docs / std::to_string(photo),
                            docs / (std::to_string(photo) + ".removed.1.0"));
    std::filesystem::create_directories(docs / "999.partial");
    std::filesystem::create_directories(docs / "998");
    auto dev = folder.Open();
    DeviceState st = dev->Snapshot();
    EXPECT_FALSE(st.documents.count(photo));
    EXPECT_FALSE(st.documents.count(998));
    EXPECT_FALSE(st.documents.count(999));
    EXPECT_GT(st.documents.size(), 20u);
}

}  // namespace
}  // namespace mfpsim::test
