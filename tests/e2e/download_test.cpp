// Downloads through the item tree: every format with what the device was asked for,
// one file per JPEG page, the reuse of an earlier download on older devices, saving
// into a user's folder, and failures that must leave the user's files as they were.
#include <cstring>
#include <fstream>
#include <set>
#include <tuple>

#include "cache/vesk_cache.h"
#include "core/current_tcpcore.h"
#include "document/vesk_document.h"
#include "e2e/synthetic_document.h"
#include "platform/charset.h"
#include "support/box_fixture.h"
#include "tools/mfpsim/lib/render.h"
#include "tools/mfpsim/lib/store.h"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;

class Download : public BoxFixture {
protected:
    // Logs into the shared box of the device changed by edit and lists it.
    CVESKMFPBox* Shared(const SimEdit& edit = {}) {
        CVESKMFPBox* box = OpenBox(kSharedBox, L"", edit);
        return box && box->GetChildList(1) == 1 ? box : nullptr;
    }
    CVESKDocument* Doc(CVESKMFPBox* box, const std::string& name) {
        for (POSITION pos = box->GetItemList()->GetHeadPosition(); pos;) {
            auto* d = DYNAMIC_DOWNCAST(CVESKDocument, box->GetItemList()->GetNext(pos));
            if (d && WideToUtf8(d->GetItemName().str()) == name)
                return d;
        }
        ADD_FAILURE() << "no document " << name;
        return nullptr;
    }
    std::vector<tc::OpenDocRequest> Opens() {
        return Sim().Engine()->Requests<tc::OpenDocRequest>(tc::Op::kOpenDoc);
    }
    // Names in a folder (empty when it is missing).
    static std::set<std::string> Names(const fs::path& dir) {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir, ec))
            names.insert(e.path().filename().string());
        return names;
    }
    // Regular files below the box's transfer folder: what a download left behind.
    static int Strays(CVESKMFPBox* box) {
        CString dir;
        box->GetCacheObj()->GetTransFileDir(dir, 0);
        int n = 0;
        std::error_code ec;
        for (const auto& e : fs::recursive_directory_iterator(WideToUtf8(dir.str()), ec))
            n += e.is_regular_file() ? 1 : 0;
        return n;
    }
    // The transfer-tree folder a document downloads into.
    fs::path DocFolder(CVESKDocument* doc) {
        CString root;
        doc->GetCacheObj()->GetTransFileRootDir(root);
        return fs::path(WideToUtf8(root.str())) / std::to_string(Device().GetItemID()) /
               std::to_string(kSharedBox) / std::to_string(doc->GetItemID());
    }
    CString Out(const std::string& name = "") { return CString(m_out.Sub(name)); }
    TempFolder m_out{"vesk-out"};
};

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool Same(const void* a, const void* b, size_t n) {
    return std::memcmp(a, b, n) == 0;
}

TEST_P(Download, EveryFormatAsksForItsOutputTypeAndSendsOnlyItsRecords) {
    CVESKMFPBox* box = Shared();
    ASSERT_TRUE(box);
    CVESKDocument* doc = Doc(box, "Brochure");
    const tagUTIL_OPENDOCPARAM listed = doc->GetOpenDocParam(), none{};
    tagUTIL_OFFICE_OPEN_XML_INFO office{1, 2, 3, 4, 5};
    const tagUTIL_OFFICE_OPEN_XML_INFO kept{0, 0, 0, 4, 5};
    struct Case {
        int format, output;
        const char *name, *magic;
    };
    const Case cases[] = {{-1, 0, "Brochure.pdf", "%PDF"},
                          {0, 0x81, "Brochure.jpg", "\xff\xd8"},
                          {1, 1, "Brochure.tif", "II"},
                          {2, 0, "Brochure.pdf", "%PDF"},
                          {4, 2, "Brochure.pdf", "%PDF"},
                          {5, 3, "Brochure.xps", "PK"},
                          {6, 4, "Brochure.xps", "PK"},
                          {7, 5, "Brochure.pptx", "PK"},
                          {8, 6, "Brochure.docx", "PK"},
                          {9, 7, "Brochure.xlsx", "PK"},
                          {3, -1, "", ""},
                          {10, -1, "", ""},
                          {-2, -1, "", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        doc->SetOfficeXMLInfo(office, 0);
        Sim().Engine()->ClearJournal();
        CString out = L"unchanged";
        const int r = doc->GetDocument(out, 0, nullptr, nullptr, nullptr, c.format, 1);
        const std::vector<tc::OpenDocRequest> sent = Opens();
        if (c.output < 0) {  // no file name: refused before the device is asked
            EXPECT_EQ(std::make_tuple(r, sent.size(), out), std::make_tuple(0, size_t{0}, out));
            continue;
        }
        ASSERT_EQ(r, 1);
        ASSERT_EQ(sent.size(), 1u);
        const tagUTIL_OPENDOCPARAM& p = sent[0].param;
        EXPECT_EQ(p.nOutputType, c.output);
        const bool pdf = c.output == 0 || c.output == 2, xml = c.output >= 5 && c.output < 8;
        EXPECT_TRUE(Same(&p.outlinePDFInfo, &(pdf ? listed : none).outlinePDFInfo, 16));
        EXPECT_TRUE(Same(&p.extendedPDFInfo, &(pdf ? listed : none).extendedPDFInfo, 8));
        EXPECT_TRUE(Same(&p.officeXMLInfo, xml ? &office : &kept, 20));
        EXPECT_TRUE(Same(&doc->GetOpenDocParam().officeXMLInfo, &listed.officeXMLInfo, 20));
        const fs::path file = WideToUtf8(out.str());
        EXPECT_EQ(file.filename(), c.name);
        EXPECT_EQ(Slurp(file).rfind(c.magic, 0), 0u);
    }
    EXPECT_EQ(Strays(box), 0);
}

TEST_P(Download, AllPagesOfAJpegDocumentArePaddedToTheWidthOfTheCount) {
    for (const int pages : {9, 100}) {
        CVESKMFPBox* box = Shared([&](mfpsim::DeviceState& st) {
            for (auto& [id, d] : st.documents)
                d.pages = d.name == "Long scan" ? pages : d.pages;
        });
        ASSERT_TRUE(box);
        CVESKDocument* doc = Doc(box, "Long scan");
        const mfpsim::Store store(Sim().Root());
        const mfpsim::Document d = Sim().State().documents.at(doc->GetItemID());
        for (int p = 13; p <= pages; ++p)  // copies of the first page
            fs::create_hard_link(store.PagePath(d, 1), store.PagePath(d, p));
        doc->SetDownlaodAll(1);
        Sim().Engine()->ClearJournal();
        const std::string sub = std::to_string(pages);
        fs::create_directory(m_out.Sub(sub));
        CString path = Out(sub + "/");
        ASSERT_EQ(box->CopyMoveDocumentToFolder(1, path, doc->GetItemID(), 0, 0, 0, nullptr), 1);
        EXPECT_EQ(path, Out(sub + "/Long scan.jpg"));
        std::set<std::string> want;
        std::vector<std::pair<int, int>> asked, expected;
        for (int p = 1; p <= pages; ++p) {
            char name[32];
            std::snprintf(name, sizeof name, "Long scan_%0*d.jpg", pages == 9 ? 1 : 3, p);
            want.insert(name);
            expected.emplace_back(p, mfpsim::kOutJpeg);
        }
        for (const tc::OpenDocRequest& r : Opens())
            asked.emplace_back(r.param.nPage, r.param.nOutputType);
        EXPECT_EQ(Names(m_out.Sub(sub)), want);
        EXPECT_EQ(asked, expected);
        EXPECT_EQ(Strays(box), 0);
    }
}

TEST_P(Download, OlderDevicesReuseAnEarlierDownloadThatIsAFile) {
    for (const int minor : {1, 2}) {
        SCOPED_TRACE(minor);
        CVESKMFPBox* box = Shared([&](mfpsim::DeviceState& st) {
            st.identity.major = 3;
            st.identity.minor = minor;
        });
        ASSERT_TRUE(box);
        for (const auto& [name, format] : {std::pair("Photo", 0), std::pair("Brochure", 2)}) {
            CVESKDocument* doc = Doc(box, name);
            CString first, again;
            ASSERT_EQ(doc->GetDocument(first, 0, nullptr, nullptr, nullptr, format, 1), 1);
            const size_t opened = Opens().size();
            ASSERT_EQ(doc->GetDocument(again, 0, nullptr, nullptr, nullptr, format, 1), 1);
            EXPECT_EQ(again, first);
            EXPECT_EQ(Opens().size() - opened, minor == 1 && format == 0 ? 0u : 1u);
            // A folder in the file's place is neither taken for it nor replaced.
            fs::remove(WideToUtf8(first.str()));
            fs::create_directory(WideToUtf8(first.str()));
            EXPECT_EQ(doc->GetDocument(again, 0, nullptr, nullptr, nullptr, format, 1), -1028);
            EXPECT_TRUE(fs::is_directory(WideToUtf8(first.str())));
        }
        // Below protocol 32 all pages come as one file.
        CVESKDocument* scan = Doc(box, "Long scan");
        scan->SetDownlaodAll(1);
        const std::string sub = std::to_string(minor);
        fs::create_directory(m_out.Sub(sub));
        CString path = Out(sub + "/");
        ASSERT_EQ(box->CopyMoveDocumentToFolder(1, path, scan->GetItemID(), 0, 0, 0, nullptr), 1);
        EXPECT_EQ(Names(m_out.Sub(sub)).size(), minor == 1 ? 1u : 12u);
        EXPECT_EQ(Strays(box), 0);
    }
}

TEST_P(Download, CopiesIntoAFolderAreNamedSafelyAndReplaceOnlyFilesWhenAsked) {
    CVESKMFPBox* box = Shared();
    ASSERT_TRUE(box);
    CVESKDocument* doc = Doc(box, "a:b <c>&d");
    const int id = static_cast<int>(doc->GetItemID());
    CString path = Out();
    ASSERT_EQ(box->CopyMoveDocumentToFolder(1, path, id, 0, 2, 1, nullptr), 1);
    EXPECT_EQ(path, Out("a%3ab %3cc%3e&d.pdf"));
    std::ofstream(m_out.Sub("mine.pdf")) << "mine";
    path = Out("mine.pdf");
    const int64_t before = Requests();
    EXPECT_EQ(box->CopyMoveDocumentToFolder(1, path, id, 0, 2, 1, nullptr), -1035);
    EXPECT_EQ(std::make_pair(Requests(), Slurp(m_out.Sub("mine.pdf"))),
              std::make_pair(before, std::string("mine")));
    EXPECT_EQ(box->CopyMoveDocumentToFolder(1, path, id, 1, 2, 1, nullptr), 1);
    EXPECT_EQ(Slurp(m_out.Sub("mine.pdf")).rfind("%PDF", 0), 0u);
    fs::create_directory(m_out.Sub("folder.pdf"));
    path = Out("folder.pdf");
    EXPECT_EQ(box->CopyMoveDocumentToFolder(1, path, id, 1, 2, 1, nullptr), -1028);
    EXPECT_TRUE(fs::is_directory(m_out.Sub("folder.pdf")));
    // Saving takes the default colour and the device's resolution.
    doc->SetResolution(300);
    doc->SetColor(1);
    EXPECT_EQ(doc->SaveAs(Out("saved.pdf"), 2, 0, 1, nullptr), 1);
    EXPECT_EQ(std::make_tuple(doc->GetResolution(), doc->GetColor(),
                              Opens().back().param.nResolution, Opens().back().param.nColor),
              std::make_tuple(0, 5, 0, 5));
    // A move whose deletion on the device fails keeps the local file and says so.
    mfpsim::FaultConfig refuse;
    refuse.errors.push_back({"RemoveDoc", 8004, 1});
    Sim().SetFaults(refuse);
    path = Out("moved.pdf");
    EXPECT_EQ(box->CopyMoveDocumentToFolder(0, path, id, 0, 2, 1, nullptr), -1029);
    EXPECT_TRUE(fs::exists(m_out.Sub("moved.pdf")));
    EXPECT_EQ(Sim().State().documents.count(id), 1u);
    EXPECT_EQ(Strays(box), 0);
}

TEST_P(Download, RefusedRequestsAskTheDeviceNothingAndWriteNothing) {
    CVESKMFPBox* box = Shared();
    ASSERT_TRUE(box);
    CVESKDocument* doc = Doc(box, "Long scan");
    const int id = static_cast<int>(doc->GetItemID());
    struct Case {
        int id, type, pages, result;
    };
    const Case cases[] = {{0, 2, 12, -1027}, {99999, 2, 12, -1040}, {id, 3, 12, 0}, {id, 10, 12, 0},
                          {id, -2, 12, 0},   {id, 0, 0, 0},         {id, 0, -1, 0}};
    doc->SetDownlaodAll(1);
    const int64_t before = Requests();
    for (const Case& c : cases) {
        doc->SetPageNo(c.pages);
        CString path = Out();
        EXPECT_EQ(box->CopyMoveDocumentToFolder(1, path, c.id, 1, c.type, 1, nullptr), c.result);
    }
    CString out;
    doc->GetCacheObj()->SetBoxLogin(0);
    EXPECT_EQ(doc->GetDocument(out, 0, nullptr, nullptr, nullptr, 2, 1), 0);
    EXPECT_EQ(Requests(), before);
    ASSERT_EQ(box->Disconnect(), 1);
    CString path = Out();
    EXPECT_EQ(box->CopyMoveDocumentToFolder(1, path, id, 1, 2, 1, nullptr), -1037);
    EXPECT_TRUE(Names(m_out.Path()).empty());
    EXPECT_EQ(Strays(box), 0);
}

int g_chunks = 0;
long __stdcall Counting(tagQTCP_RECVDATA*) {
    return ++g_chunks, 0;
}
long __stdcall Previous(tagQTCP_RECVDATA*) {
    return 0;
}
long __stdcall CancelAfterAMegabyte(tagQTCP_COMMSTATE* s) {
    return s->nState == QTCP_STATE_RECEIVING && s->llDone >= (1 << 20) ? 1 : 0;
}

TEST_P(Download, ADroppedOrCancelledTransferLeavesTheEarlierFileAndTheCallback) {
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel);
        int id = 0;
        CVESKMFPBox* box = Shared(WithSyntheticDocument(3 << 20, id).edit);
        ASSERT_TRUE(box);
        CTcpCore* core = GetCurrentTcpCore();
        mfpsim::FaultConfig drop;
        drop.dropAfterBytes = (1 << 20) + 1000;
        if (cancel)
            core->SetCallbackCommunicate(CancelAfterAMegabyte);
        else
            Sim().SetFaults(drop);
        core->ResetCallbackRecvData(Previous);
        std::ofstream(m_out.Sub("Big.pdf")) << "mine";
        g_chunks = 0;
        CString path = Out();
        EXPECT_EQ(box->CopyMoveDocumentToFolder(1, path, id, 1, -1, 1, Counting), 0);
        core->SetCallbackCommunicate(nullptr);
        EXPECT_GT(g_chunks, 0);
        EXPECT_EQ(core->ResetCallbackRecvData(nullptr), &Previous);
        EXPECT_EQ(Slurp(m_out.Sub("Big.pdf")), "mine");
        EXPECT_EQ(Names(m_out.Path()), std::set<std::string>{"Big.pdf"});
        EXPECT_TRUE(Names(DocFolder(Doc(box, "Big"))).empty());
        EXPECT_EQ(Strays(box), 0);
    }
}

TEST_P(Download, AHostileDocumentNameNeverLeavesTheChosenFolder) {
    CVESKMFPBox* box = Shared([](mfpsim::DeviceState& st) {
        for (auto& [id, d] : st.documents)
            d.name = d.name == "Photo" ? "../x" : d.name;
    });
    ASSERT_TRUE(box);
    CVESKDocument* doc = Doc(box, "../x");
    doc->SetDownlaodAll(1);
    CString out;
    ASSERT_EQ(doc->GetDocument(out, 0, nullptr, nullptr, nullptr, 0, 1), 1);
    EXPECT_EQ(fs::path(WideToUtf8(out.str())), DocFolder(doc) / "%2e%2e%2fx_1.jpg");
    EXPECT_EQ(Names(DocFolder(doc).parent_path()),
              std::set<std::string>{std::to_string(doc->GetItemID())});
    fs::create_directory(m_out.Sub("in"));
    CString path = Out("in/");
    ASSERT_EQ(box->CopyMoveDocumentToFolder(1, path, doc->GetItemID(), 0, -1, 1, nullptr), 1);
    EXPECT_EQ(Names(m_out.Path()), std::set<std::string>{"in"});
    EXPECT_EQ(Names(m_out.Sub("in")), std::set<std::string>{"%2e%2e%2fx.jpg"});
}

#if defined(__SANITIZE_ADDRESS__)
#define VESK_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESK_UNDER_SANITIZER 1
#endif
#endif

TEST_P(Download, AFiveGibibyteDocumentArrivesByteExact) {
#if !defined(NDEBUG) || defined(VESK_UNDER_SANITIZER)
    GTEST_SKIP() << "5 GiB are for optimised builds without sanitizers";
#endif
    if (GetParam() == 1)
        GTEST_SKIP() << "the size is the client's concern: once over plain TCP is enough";
    constexpr long long kSize = (5LL << 30) + 4099;
    int id = 0;
    CVESKMFPBox* box = Shared(WithSyntheticDocument(kSize, id).edit);
    ASSERT_TRUE(box);
    CString out;
    ASSERT_EQ(Doc(box, "Big")->GetDocument(out, 0, nullptr, nullptr, nullptr, -1, 1), 1);
    const std::string file = WideToUtf8(out.str());
    ASSERT_EQ(static_cast<long long>(fs::file_size(file)), kSize);
    std::ifstream in(file, std::ios::binary);
    std::vector<char> got(1 << 20), want(1 << 20);
    long long at = 0, bad = -1;
    while (bad < 0 && in.read(got.data(), static_cast<std::streamsize>(got.size())).gcount() > 0) {
        const auto n = static_cast<size_t>(in.gcount());
        mfpsim::SyntheticContent(at, reinterpret_cast<uint8_t*>(want.data()), n);
        bad = std::memcmp(got.data(), want.data(), n) == 0 ? -1 : at;
        at += static_cast<long long>(n);
    }
    fs::remove(file);
    EXPECT_EQ(std::make_pair(at, bad), std::make_pair(kSize, -1LL));
}

VESK_E2E_MODES(Download);

}  // namespace
}  // namespace vesk::test
