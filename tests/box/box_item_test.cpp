// The box item against the emulator: box login (one box per device, refusals, the
// remembered password across a refresh), the document listing (types without an
// extension, protocol 3.9 against 4.0 records, names filling their fields) and items
// the application holds across a refresh.
#include <string>

#include "cache/vesk_cache.h"
#include "document/vesk_document.h"
#include "platform/charset.h"
#include "support/box_fixture.h"

namespace vesk::test {
namespace {

using BoxItem = BoxFixture;

CVESKDocument* Doc(CVESKMFPBox* box, const wchar_t* display) {
    CVESKItemList* list = box->GetItemList();
    for (POSITION pos = list->GetHeadPosition(); pos;) {
        auto* d = DYNAMIC_DOWNCAST(CVESKDocument, list->GetNext(pos));
        if (d && d->GetDispDocname() == display)
            return d;
    }
    return nullptr;
}

TEST_P(BoxItem, OneBoxIsLoggedInPerDeviceAndRefusalsLeaveNoneIn) {
    CVESKMFPBox* shared = OpenBox(kSharedBox);
    ASSERT_TRUE(shared);
    CVESKMFPBox* alice = Box(kAliceBox);
    ASSERT_EQ(alice->Connect(nullptr, L""), 1);
    EXPECT_EQ(shared->GetBoxLogin(), 0);
    EXPECT_EQ(alice->GetBoxLogin(), 1);
    EXPECT_EQ(alice->GetCacheObj()->GetBoxID(), L"2");
    EXPECT_EQ(alice->GetCacheObj()->GetBoxLogin(), 1);
    EXPECT_EQ(alice->GetCacheObj()->GetBoxUserName(), L"alice");
    EXPECT_EQ(alice->GetChildList(1), 1);  // the device's session is alice's box
    EXPECT_EQ(shared->Disconnect(), -1037);

    struct Case {
        long number;
        const wchar_t* password;
        int result;
    };
    const Case refusals[] = {{kSecureBox, L"bad", -1020}, {kSecureBox, L"", -1020}};
    for (const Case& c : refusals) {
        SCOPED_TRACE(c.number);
        ASSERT_EQ(alice->Connect(nullptr, L""), 1);
        CVESKMFPBox* b = Box(c.number);
        EXPECT_EQ(b->Connect(nullptr, c.password), c.result);
        EXPECT_EQ(b->GetBoxLogin(), 0);
        EXPECT_EQ(b->GetPassword(), L"");
        EXPECT_EQ(alice->GetBoxLogin(), 0);  // logged out before the attempt
    }
    CVESKMFPBox gone;
    gone.SetDevice(&Device());
    gone.SetItemID(999);
    EXPECT_EQ(gone.Connect(nullptr, L""), -1002);
    gone.SetItemID(-1);
    EXPECT_EQ(gone.Connect(nullptr, L""), -1019);

    // The box administrator sees no box as protected, whatever the case of the name.
    CVESKMFPBox* secure = Box(kSecureBox);
    EXPECT_EQ(secure->GetPasswordProtected(), 1);
    Device().SetLastUserName(L"bOxAdMiN");
    EXPECT_EQ(secure->GetPasswordProtected(), 0);
}

TEST_P(BoxItem, ARefreshKeepsTheLoginAndTheRememberedPassword) {
    struct Case {
        long number;
        const wchar_t* password;
        const wchar_t* owner;
    };
    for (const Case& c : {Case{kRxBox, L"0000", L"Public"}, Case{kSecureBox, L"1234", L""}}) {
        SCOPED_TRACE(c.number);
        ASSERT_TRUE(Open());
        TreeRoot().SetSaveBoxPassword(1);
        ASSERT_EQ(Device().GetChildList(1), 1);
        CVESKMFPBox* old = Box(c.number);
        ASSERT_EQ(old->Connect(nullptr, c.password), 1);
        EXPECT_EQ(old->GetPasswordKnown(), 1);

        ASSERT_EQ(Device().GetChildList(1), 1);
        CVESKMFPBox* now = Box(c.number);
        ASSERT_NE(now, old);
        EXPECT_EQ(now->GetPassword(), c.password);
        EXPECT_EQ(now->GetPasswordKnown(), 1);
        EXPECT_EQ(now->GetPasswordProtected(), 1);
        EXPECT_EQ(now->GetBoxLogin(), 1);
        EXPECT_EQ(now->GetCacheObj()->GetBoxID(), std::to_wstring(c.number));
        EXPECT_EQ(now->GetCacheObj()->GetBoxLogin(), 1);
        EXPECT_EQ(now->GetCacheObj()->GetBoxUserName(), c.owner);
        // The item held from before is still there and no longer claims the session.
        EXPECT_EQ(old->GetItemID(), c.number);
        EXPECT_EQ(old->GetBoxLogin(), 0);
        EXPECT_NE(now->GetChildList(1), 0);
        EXPECT_EQ(now->Disconnect(), 1);
    }
}

TEST_P(BoxItem, TheListingSkipsTypesWithoutExtensionAndReadsFullFields) {
    std::string name90;  // 30 three-byte characters: the whole field
    for (int i = 0; i < 30; ++i)
        name90 += "\xe6\x97\xa5";
    constexpr int kTypes = 7;  // boxes of their own: the sample's documents stay elsewhere
    constexpr int kEmpty = 8;
    auto edit = [&](mfpsim::DeviceState& st) {
        for (int n : {kTypes, kEmpty}) {
            st.boxes[n].number = n;
            st.boxes[n].name = "Box " + std::to_string(n);
        }
        int id = st.nextDocumentId;
        auto add = [&](const std::string& docName, int type) -> mfpsim::Document& {
            mfpsim::Document& d = st.documents[id];
            d.id = id++;
            d.box = kTypes;
            d.name = docName;
            d.fileType = type;
            return d;
        };
        for (int type : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, -1})
            add("t" + std::to_string(type), type);
        mfpsim::Document& full = add(name90, 0);
        full.owner = std::string(64, 'o') + std::string(128, 'p');  // 192 bytes
        full.attributes = {{1, 1, 2}};
        full.declaredAttributes = 25;  // more than a record can hold
        st.nextDocumentId = id;
    };
    CVESKMFPBox* box = OpenBox(kTypes, L"", edit);
    ASSERT_TRUE(box);
    ASSERT_EQ(box->GetChildList(1), 1);
    std::vector<std::wstring> shown;
    for (POSITION pos = box->GetItemList()->GetHeadPosition(); pos;)
        shown.push_back(DYNAMIC_DOWNCAST(CVESKDocument, box->GetItemList()->GetNext(pos))
                            ->GetDispDocname()
                            .str());
    const std::wstring full = Utf8ToWide(name90);
    EXPECT_EQ(shown, (std::vector<std::wstring>{L"t0.jpg", L"t1.tif", L"t2.pdf", L"t4.pdf",
                                                L"t5.xps", L"t6.xps", L"t7.pptx", L"t8.docx",
                                                L"t9.xlsx", full + L".jpg"}));
    CVESKDocument* d = Doc(box, (full + L".jpg").c_str());
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetItemName().str(), full);
    EXPECT_EQ(d->GetUserNameW().str(), Utf8ToWide(std::string(64, 'o') + std::string(128, 'p')));
    EXPECT_EQ(d->GetAttributeNum(), QTCP_MAX_ATTRIBUTES);
    EXPECT_EQ(d->GetBox(), box);

    // An empty box, and a box not logged in.
    CVESKMFPBox* empty = Box(kEmpty);
    ASSERT_EQ(empty->Connect(nullptr, L""), 1);
    EXPECT_EQ(empty->GetChildList(1), -1011);
    EXPECT_TRUE(empty->GetItemList()->IsEmpty());
    EXPECT_EQ(box->GetChildList(1), 0);
    EXPECT_TRUE(box->GetItemList()->IsEmpty());
    EXPECT_EQ(d->GetItemName().str(), full);  // still held, still valid
}

TEST_P(BoxItem, OnlyProtocolFourDevicesHandOverPdfAAndOfficeRecords) {
    for (const int minor : {9, 0}) {
        const int major = minor == 9 ? 3 : 4;
        SCOPED_TRACE(major * 10 + minor);
        CVESKMFPBox* box = OpenBox(kSharedBox, L"", [&](mfpsim::DeviceState& st) {
            st.identity.major = major;
            st.identity.minor = minor;
        });
        ASSERT_TRUE(box);
        ASSERT_EQ(box->GetChildList(1), 1);
        const bool extended = major >= 4;
        const mfpsim::DeviceState st = Sim().State();
        int pdfs = 0;
        int offices = 0;
        for (POSITION pos = box->GetItemList()->GetHeadPosition(); pos;) {
            auto* d = DYNAMIC_DOWNCAST(CVESKDocument, box->GetItemList()->GetNext(pos));
            const mfpsim::Document& want = st.documents.at(static_cast<int>(d->GetItemID()));
            tagUTIL_SPDF_OUTLINEPDF_INFO outline{};
            tagUTIL_EXTENDED_PDF_INFO pdf{};
            tagUTIL_OFFICE_OPEN_XML_INFO office{};
            d->GetDefOutlinePDFinfo(outline);
            d->GetLinearizedPDFinfo(pdf);
            d->GetOfficeXMLinfo(office);
            EXPECT_EQ(outline.nIsPDF, want.outlinePdf[0]);
            EXPECT_EQ(pdf.nLinearizedPDF, extended ? want.extendedPdf[1] : 0);
            EXPECT_EQ(office.nEnable, extended ? want.officeXml[0] : 0);
            pdfs += want.extendedPdf[1];
            offices += want.officeXml[0];
        }
        EXPECT_GT(pdfs, 0);
        EXPECT_GT(offices, 0);
    }
}

TEST_P(BoxItem, ItemsHeldAcrossRefreshesStayValid) {
    CVESKMFPBox* box = OpenBox(kAliceBox);
    ASSERT_TRUE(box);
    ASSERT_EQ(box->GetChildList(1), 1);
    const std::vector<long> ids = Ids(box->GetItemList());
    ASSERT_GE(ids.size(), 2u);
    CVESKItem* heldDoc = box->GetItemList()->GetHead();

    // A kept list is given without asking the device.
    const int64_t before = Requests();
    EXPECT_EQ(box->GetChildList(0), 1);
    EXPECT_EQ(Requests(), before);
    EXPECT_EQ(box->GetItemList()->GetHead(), heldDoc);

    ASSERT_EQ(box->GetChildList(1), 1);
    CVESKItem* listed = box->GetItemList()->GetHead();
    ASSERT_NE(listed, heldDoc);
    EXPECT_EQ(heldDoc->GetItemID(), ids[0]);

    // The held document takes its place again; the one it replaces stays alive too,
    // and an item already in place changes nothing.
    EXPECT_EQ(box->UpdateList(heldDoc), 1);
    EXPECT_EQ(box->GetItemList()->GetHead(), heldDoc);
    EXPECT_EQ(Ids(box->GetItemList()), ids);
    EXPECT_EQ(box->UpdateList(heldDoc), 1);
    EXPECT_EQ(Ids(box->GetItemList()), ids);
    EXPECT_EQ(listed->GetItemID(), ids[0]);

    // The box itself across refreshes of the device's list.
    CVESKItemList* boxes = Device().GetItemList();
    ASSERT_EQ(Device().GetChildList(1), 1);
    ASSERT_EQ(Device().GetChildList(1), 1);
    EXPECT_EQ(box->GetItemName(), L"Alice");
    EXPECT_EQ(DYNAMIC_DOWNCAST(CVESKDocument, heldDoc)->GetBox(), box);
    CVESKItem* now = Box(kAliceBox);
    EXPECT_EQ(Device().UpdateList(now), 1);
    EXPECT_EQ(Box(kAliceBox), now);
    EXPECT_EQ(Device().UpdateList(box), 1);  // the held box comes back
    EXPECT_EQ(Box(kAliceBox), box);
    EXPECT_EQ(boxes, Device().GetItemList());
    EXPECT_EQ(now->GetItemName(), L"Alice");
}

VESK_E2E_MODES(BoxItem);

}  // namespace
}  // namespace vesk::test
