// The device folder as the emulator keeps it: what a client changed is there again after
// a restart, ids are never handed out twice, synthetic documents are stored like others,
// and damaged or half-written objects are skipped. (The session semantics themselves are
// driven through the real client in the end-to-end tests.)
#include "decode.h"
#include "fixture.h"

namespace mfpsim::test {
namespace {

std::unique_ptr<Session> Login(Device& dev, const std::string& user, const std::string& pw) {
    auto s = std::make_unique<Session>(dev);
    int ua = 0, aa = 0, ps = 0;
    EXPECT_TRUE(s->Connect(0, "", ua, aa, ps).Ok());
    Restrictions r{};
    EXPECT_TRUE(s->UserLogin2(user, pw, r).Ok()) << user;
    return s;
}

int DocIdByName(Device& dev, const std::string& name) {
    for (const auto& [id, d] : dev.Snapshot().documents) {
        if (d.name == name)
            return id;
    }
    ADD_FAILURE() << "no document " << name;
    return -1;
}

std::vector<std::string> DocNames(Session& s) {
    std::vector<Document> docs;
    EXPECT_TRUE(s.GetDocumentList(docs).Ok());
    std::vector<std::string> names;
    for (const Document& d : docs)
        names.push_back(d.name);
    return names;
}

bool Has(const std::vector<std::string>& v, const std::string& s) {
    return std::find(v.begin(), v.end(), s) != v.end();
}

TEST(Store, ChangesSurviveARestart) {
    DeviceFolder folder;
    int copyId = 0, movedId = 0, brochure = 0;
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
        b.autoDelTimeType = 2;
        b.autoDelTimeMinute = 30;
        b.searchChar = 'V';
        ASSERT_TRUE(s->ChangeBoxSetting(kSecureBox, kChangePassword | kChangeIndex, b, "1234",
                                        "5678", refused)
                        .Ok());
        ASSERT_TRUE(s->SetAuthServerInfo(1, "LDAP1", "").Ok());
        brochure = DocIdByName(*dev, "Brochure");
        ASSERT_TRUE(s->SetDocument(brochure).Ok());
        PrintSettings p;
        p.copies = 3;
        p.startPage = 2;
        int job = 0;
        ASSERT_TRUE(s->PrintDocument(p, {1, 2, 3}, job).Ok());
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
    const Box& secure = st.boxes.at(kSecureBox);
    EXPECT_EQ(std::make_tuple(secure.password, secure.autoDelTimeType, secure.autoDelTimeMinute,
                              secure.searchChar),
              std::make_tuple(std::string("5678"), 2, 30, 'V'));
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
    ASSERT_EQ(st.jobs.size(), 1u);
    const PrintJob& job = st.jobs[0];
    EXPECT_EQ(std::make_tuple(job.document, job.documentName, job.user, job.copies, job.startPage,
                              job.endPage, job.settings),
              std::make_tuple(brochure, std::string("Brochure"), std::string("alice"), 3, 2, 4,
                              std::vector<uint8_t>{1, 2, 3}));

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

TEST(Store, SyntheticDocumentsAreStoredLikeScannedOnes) {
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

TEST(Store, DamagedObjectsAreSkippedAndLeftoversIgnored) {
    DeviceFolder folder;
    int photo = 0, invoice = 0;
    {
        auto dev = folder.Open();
        photo = DocIdByName(*dev, "Photo");
        invoice = DocIdByName(*dev, "Invoice 2024-001");
    }
    // A removal interrupted after its rename, a half-built copy and an unreadable
    // document: none of them may appear as objects.
    auto docs = folder.path() / "boxes" / "1" / "docs";
    std::filesystem::rename(docs / std::to_string(photo),
                            docs / (std::to_string(photo) + ".removed.1.0"));
    std::filesystem::create_directories(docs / "999.partial");
    std::filesystem::create_directories(docs / "998");
    // A missing device thumbnail is made from the first page when asked for, and kept.
    std::filesystem::remove(docs / std::to_string(invoice) / "thumb.raw");
    auto dev = folder.Open();
    DeviceState st = dev->Snapshot();
    EXPECT_FALSE(st.documents.count(photo));
    EXPECT_FALSE(st.documents.count(998));
    EXPECT_FALSE(st.documents.count(999));
    EXPECT_GT(st.documents.size(), 20u);
    auto s = Login(*dev, "alice", "alice");
    int flag = 0;
    ASSERT_TRUE(s->BoxLogin(kSharedBox, "", flag).Ok());
    int64_t size = 0;
    ASSERT_TRUE(s->OpenThumbnail(invoice, 1, 1, size).Ok());
    EXPECT_EQ(size % 104, 0);
    EXPECT_GT(size, 0);
    EXPECT_TRUE(std::filesystem::exists(docs / std::to_string(invoice) / "thumb.raw"));
}

}  // namespace
}  // namespace mfpsim::test
