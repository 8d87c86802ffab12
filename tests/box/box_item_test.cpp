// The box item against the emulator: box login, the document listing, and items the
// application holds across a refresh.
#include <string>
#include <utility>

#include "cache/vesk_cache.h"
#include "document/vesk_document.h"
#include "platform/charset.h"
#include "support/box_fixture.h"

namespace vesk::test {
namespace {

using BoxItem = BoxFixture;

// What a box login leaves on the item and its cache object, as one text.
std::wstring Login(CVESKMFPBox* b) {
    const CVESKCache* c = b->GetCacheObj();
    return std::to_wstring(b->GetBoxLogin()) + L"|" + b->GetPassword().str() + L"|" +
           std::to_wstring(b->GetPasswordKnown()) + L"|" + c->GetBoxID().str() + L"|" +
           std::to_wstring(c->GetBoxLogin()) + L"|" + c->GetBoxUserName().str();
}

TEST_P(BoxItem, OneBoxIsLoggedInPerDeviceAndRefusalsLeaveNoneIn) {
    CVESKMFPBox* shared = OpenBox(kSharedBox);
    ASSERT_TRUE(shared);
    CVESKMFPBox* alice = Box(kAliceBox);
    CVESKMFPBox* secure = Box(kSecureBox);
    ASSERT_EQ(alice->Connect(nullptr, L""), 1);
    EXPECT_EQ(shared->GetBoxLogin(), 0);
    EXPECT_EQ(Login(alice), L"1||0|2|1|alice");
    EXPECT_EQ(alice->GetChildList(1), 1);  // the device's session is alice's box
    EXPECT_EQ(alice->IsPublicUserNameNeeded(), 1);
    EXPECT_EQ(alice->SetUserNameForPublicUser(std::wstring(70, L'\u65e5')), 1);  // too long: cut
    for (const wchar_t* wrong : {L"bad", L""}) {
        ASSERT_EQ(alice->Connect(nullptr, L""), 1);
        EXPECT_EQ(secure->Connect(nullptr, wrong), -1020);
        EXPECT_EQ(Login(secure), L"0||0||0|");
        EXPECT_EQ(alice->GetBoxLogin(), 0);  // logged out before the attempt
    }
    CVESKMFPBox gone;
    gone.SetItemID(999);
    EXPECT_EQ(gone.Connect(nullptr, L""), -1002);
    // The box administrator sees no box as protected, whatever the case of the name.
    EXPECT_EQ(secure->GetPasswordProtected(), 1);
    Device().SetLastUserName(L"bOxAdMiN");
    EXPECT_EQ(secure->GetPasswordProtected(), 0);
}

TEST_P(BoxItem, ARefreshKeepsTheLoginAndTheRememberedPassword) {
    for (const long number : {long{kRxBox}, long{kSecureBox}}) {
        ASSERT_TRUE(Open());
        TreeRoot().SetSaveBoxPassword(1);
        ASSERT_EQ(Device().GetChildList(1), 1);
        CVESKMFPBox* old = Box(number);
        ASSERT_EQ(old->Connect(nullptr, number == kRxBox ? L"0000" : L"1234"), 1);
        const std::wstring login = Login(old);
        EXPECT_EQ(login, number == kRxBox ? L"1|0000|1|0|1|Public" : L"1|1234|1|3|1|");
        ASSERT_EQ(Device().GetChildList(1), 1);
        CVESKMFPBox* now = Box(number);
        ASSERT_NE(now, old);
        EXPECT_EQ(Login(now), login);
        EXPECT_EQ(now->GetPasswordProtected(), 1);
        EXPECT_EQ(old->GetBoxLogin(), 0);  // the held item no longer claims the session
        EXPECT_EQ(now->Disconnect(), 1);
    }
}

TEST_P(BoxItem, TheListingSkipsTypesWithoutExtensionAndReadsWholeFields) {
    constexpr int kTypes = 7, kEmpty = 8;  // boxes of their own
    std::string name;                      // 30 three-byte characters: the whole field
    for (int i = 0; i < 30; ++i)
        name += "\xe6\x97\xa5";
    CVESKMFPBox* box = OpenBox(kTypes, L"", [&](mfpsim::DeviceState& st) {
        for (int n : {kTypes, kEmpty}) {
            st.boxes[n].number = n;
            st.boxes[n].name = "Box " + std::to_string(n);
        }
        for (int type : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, -1, 0}) {
            mfpsim::Document& d = st.documents[st.nextDocumentId];
            d.id = st.nextDocumentId++;
            d.box = kTypes;
            d.name = std::to_string(type).insert(0, 1, 't');
            d.fileType = type;
        }
        mfpsim::Document& full = st.documents[st.nextDocumentId - 1];
        full.name = name;
        full.owner = std::string(192, 'o');
        full.attributes = {{1, 1, 2}};
        full.declaredAttributes = 25;  // more than a record holds
    });
    ASSERT_TRUE(box);
    ASSERT_EQ(box->GetChildList(1), 1);
    std::vector<std::wstring> shown;
    for (POSITION pos = box->GetItemList()->GetHeadPosition(); pos;)
        shown.push_back(DYNAMIC_DOWNCAST(CVESKDocument, box->GetItemList()->GetNext(pos))
                            ->GetDispDocname()
                            .str());
    const std::wstring full = Utf8ToWide(name);
    EXPECT_EQ(shown, (std::vector<std::wstring>{L"t0.jpg", L"t1.tif", L"t2.pdf", L"t4.pdf",
                                                L"t5.xps", L"t6.xps", L"t7.pptx", L"t8.docx",
                                                L"t9.xlsx", full + L".jpg"}));
    auto* d = DYNAMIC_DOWNCAST(CVESKDocument, box->GetItemList()->GetTail());
    EXPECT_EQ(d->GetItemName().str() + d->GetUserNameW().str(), full + std::wstring(192, L'o'));
    EXPECT_EQ(d->GetAttributeNum(), QTCP_MAX_ATTRIBUTES);

    CVESKMFPBox* empty = Box(kEmpty);
    ASSERT_EQ(empty->Connect(nullptr, L""), 1);
    EXPECT_EQ(empty->GetChildList(1), -1011);
    EXPECT_EQ(box->GetChildList(1), 0);  // no longer logged in
    EXPECT_TRUE(box->GetItemList()->IsEmpty() && empty->GetItemList()->IsEmpty());
    EXPECT_EQ(d->GetItemName().str(), full);  // held, so kept
}

TEST_P(BoxItem, OnlyProtocolFourDevicesHandOverPdfAAndOfficeRecords) {
    for (const int major : {3, 4}) {
        CVESKMFPBox* box = OpenBox(kSharedBox, L"", [&](mfpsim::DeviceState& st) {
            st.identity.major = major;
            st.identity.minor = major == 3 ? 9 : 0;
        });
        ASSERT_TRUE(box);
        ASSERT_EQ(box->GetChildList(1), 1);
        const mfpsim::DeviceState st = Sim().State();
        int extended = 0;
        for (POSITION pos = box->GetItemList()->GetHeadPosition(); pos;) {
            auto* d = DYNAMIC_DOWNCAST(CVESKDocument, box->GetItemList()->GetNext(pos));
            const mfpsim::Document& w = st.documents.at(static_cast<int>(d->GetItemID()));
            tagUTIL_EXTENDED_PDF_INFO pdf{};
            tagUTIL_OFFICE_OPEN_XML_INFO office{};
            d->GetLinearizedPDFinfo(pdf);
            d->GetOfficeXMLinfo(office);
            EXPECT_EQ(std::make_pair(pdf.nLinearizedPDF, office.nEnable),
                      major == 4 ? std::make_pair(w.extendedPdf[1], w.officeXml[0])
                                 : std::make_pair(0, 0));
            extended += w.extendedPdf[1] + w.officeXml[0];
        }
        EXPECT_GT(extended, 0);
    }
}

TEST_P(BoxItem, ItemsHeldAcrossRefreshesStayValid) {
    CVESKMFPBox* box = OpenBox(kAliceBox);
    ASSERT_TRUE(box);
    ASSERT_EQ(box->GetChildList(1), 1);
    CVESKItem* held = box->GetItemList()->GetHead();
    const int64_t before = Requests();
    EXPECT_EQ(box->GetChildList(0), 1);  // a kept list is not asked for again
    EXPECT_EQ(Requests(), before);
    ASSERT_EQ(box->GetChildList(1), 1);
    CVESKItem* listed = box->GetItemList()->GetHead();
    ASSERT_NE(listed, held);
    const std::vector<long> ids = Ids(box->GetItemList());
    for (int again = 0; again < 2; ++again) {  // the second time changes nothing
        EXPECT_EQ(box->UpdateList(held), 1);
        EXPECT_EQ(box->GetItemList()->GetHead(), held);
        EXPECT_EQ(Ids(box->GetItemList()), ids);
    }
    ASSERT_EQ(Device().GetChildList(1), 1);
    ASSERT_EQ(Device().GetChildList(1), 1);
    // Every item held is still alive (the sanitizer build would tell otherwise).
    EXPECT_EQ(listed->GetItemID(), held->GetItemID());
    EXPECT_EQ(box->GetItemName(), L"Alice");
    EXPECT_EQ(DYNAMIC_DOWNCAST(CVESKDocument, held)->GetBox(), box);
}

VESK_E2E_MODES(BoxItem);

}  // namespace
}  // namespace vesk::test
