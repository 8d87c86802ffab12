// Downloads through the item tree: each format with what the device was asked for, one
// file per JPEG page, reuse on older devices, copies into a user's folder, and failures
// that must leave the user's files as they were.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <set>
#include <string>
#include <tuple>

#include "cache/vesk_cache.h"
#include "core/current_tcpcore.h"
#include "e2e/items.h"
#include "e2e/synthetic_document.h"
#include "tools/mfpsim/lib/store.h"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;
using Names = std::set<std::string>;

class Download : public BoxFixture {
protected:
    // Logs into the shared box of the device changed by edit and lists it.
    bool Shared(const SimEdit& edit = {}) {
        m_box = OpenBox(kSharedBox, L"", edit);
        return m_box && m_box->GetChildList(1) == 1;
    }
    CVESKDocument* Doc(const std::string& name) { return DocNamed(m_box, name); }
    int Get(CVESKDocument* doc, int format, QTCP_RECVDATA_CALLBACK cb = nullptr) {
        return doc->GetDocument(m_got, 0, nullptr, cb, nullptr, format, 1);
    }
    std::string Got() { return WideToUtf8(m_got.str()); }
    int Copy(const std::string& to, long id, int type, int overwrite = 0, int copy = 1) {
        m_path = CString(m_out.Sub(to));
        return m_box->CopyMoveDocumentToFolder(copy, m_path, int(id), overwrite, type, 1, nullptr);
    }
    std::vector<tc::OpenDocRequest> Opens() { return test::Opens(Sim()); }
    // What downloads left in the box's transfer folder.
    Names Left() {
        CString dir;
        m_box->GetCacheObj()->GetTransFileDir(dir, 1);
        return In(WideToUtf8(dir.str()));
    }

    CVESKMFPBox* m_box = nullptr;
    CString m_got, m_path;
    TempFolder m_out{"vesk-out"};
};

// The PDF and Office records of an open-document record, as bytes.
std::string Records(const tagUTIL_OPENDOCPARAM& p) {
    const char* from = reinterpret_cast<const char*>(&p.outlinePDFInfo);
    return std::string(from, reinterpret_cast<const char*>(&p.nDLPrintMode) - from);
}

TEST_P(Download, EachFormatAsksForItsOutputTypeAndSendsOnlyItsRecords) {
    ASSERT_TRUE(Shared());
    CVESKDocument* doc = Doc("Brochure");
    const tagUTIL_OPENDOCPARAM listed = doc->GetOpenDocParam(), none{};
    tagUTIL_OFFICE_OPEN_XML_INFO office{1, 2, 3, 4, 5}, kept{0, 0, 0, 4, 5};
    struct Case {
        int format, output;
        const char *ext, *magic;
    };
    const Case cases[] = {{-1, 0, ".pdf", "%PDF"}, {0, 0x81, ".jpg", "\xff\xd8"},
                          {1, 1, ".tif", "II"},    {2, 0, ".pdf", "%PDF"},
                          {4, 2, ".pdf", "%PDF"},  {5, 3, ".xps", "PK"},
                          {6, 4, ".xps", "PK"},    {7, 5, ".pptx", "PK"},
                          {8, 6, ".docx", "PK"},   {9, 7, ".xlsx", "PK"},
                          {3, -1, "", ""},         {10, -1, "", ""},
                          {-2, -1, "", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        doc->SetOfficeXMLInfo(office, 0);
        Sim().ClearJournal();
        const int r = Get(doc, c.format);
        const std::vector<tc::OpenDocRequest> sent = Opens();
        ASSERT_EQ(std::pair(r, sent.size()),
                  std::pair(c.output < 0 ? 0 : 1, c.output < 0 ? size_t{0} : size_t{1}));
        if (c.output < 0)
            continue;
        tagUTIL_OPENDOCPARAM want = c.output == 0 || c.output == 2 ? listed : none;
        want.officeXMLInfo = c.output >= 5 && c.output <= 7 ? office : kept;
        EXPECT_EQ(std::tuple(sent[0].param.nOutputType, Records(sent[0].param),
                             Records(doc->GetOpenDocParam()), fs::path(Got()).filename().string(),
                             ReadFile(Got()).rfind(c.magic, 0)),
                  std::tuple(c.output, Records(want), Records(listed),
                             "Brochure" + std::string(c.ext), size_t{0}));
    }
    EXPECT_TRUE(Left().empty());
}

TEST_P(Download, OlderDevicesReuseAnEarlierDownloadThatIsAFile) {
    for (const int minor : {1, 2}) {
        ASSERT_TRUE(Shared([&](mfpsim::DeviceState& st) {
            st.identity.major = 3;
            st.identity.minor = minor;
        }));
        for (const auto& [name, format] : {std::pair("Photo", 0), std::pair("Brochure", 2)}) {
            SCOPED_TRACE(name + std::to_string(minor));
            CVESKDocument* doc = Doc(name);
            ASSERT_EQ(Get(doc, format), 1);
            const std::string first = Got();
            const size_t opened = Opens().size();
            ASSERT_EQ(Get(doc, format), 1);
            EXPECT_EQ(std::pair(Got(), Opens().size() - opened),
                      std::pair(first, minor == 1 && format == 0 ? size_t{0} : size_t{1}));
            // A folder in the file's place is neither taken for it nor replaced.
            fs::remove(first);
            fs::create_directory(first);
            EXPECT_EQ(std::pair(Get(doc, format), fs::is_directory(first)), std::pair(-1028, true));
        }
        // Below protocol 32 all pages come in one file.
        Doc("Long scan")->SetDownlaodAll(1);
        EXPECT_EQ(Copy("s" + std::to_string(minor) + ".jpg", Doc("Long scan")->GetItemID(), 0), 1);
        EXPECT_EQ(std::pair(In(m_out.Path()).size(), Left()),
                  std::pair(minor == 1 ? size_t{1} : size_t{13}, Names{}));
    }
}

TEST_P(Download, AllPagesOfAJpegDocumentArePaddedToTheWidthOfTheCount) {
    for (const int pages : {9, 100, 12}) {
        ASSERT_TRUE(Shared([&](mfpsim::DeviceState& st) {
            for (auto& [id, d] : st.documents)
                d.pages = d.name == "Long scan" ? pages : d.pages;
        }));
        CVESKDocument* doc = Doc("Long scan");
        const mfpsim::Store store(RootOf(Sim()));
        const mfpsim::Document d = Sim().State().documents.at(doc->GetItemID());
        for (int p = 13; p <= pages; ++p)  // copies of the first page
            fs::create_hard_link(store.PagePath(d, 1), store.PagePath(d, p));
        doc->SetDownlaodAll(1);
        Sim().ClearJournal();
        if (pages != 12) {  // one page into the transfer tree
            ASSERT_EQ(doc->GetDocument(m_got, 0, nullptr, nullptr, nullptr, 0, 3), 1);
            EXPECT_EQ(std::tuple(fs::path(Got()).filename().string(), Opens().at(0).param.nPage,
                                 Opens().at(0).param.nOutputType),
                      std::tuple(pages == 9 ? "Long scan_3.jpg" : "Long scan_003.jpg", 3, 0x81));
            continue;
        }
        // Every page into the user's folder.
        ASSERT_EQ(Copy("", doc->GetItemID(), 0), 1);
        std::vector<int> asked, all(pages);
        std::iota(all.begin(), all.end(), 1);
        for (const tc::OpenDocRequest& r : Opens())
            asked.push_back(r.param.nOutputType == 0x81 ? r.param.nPage : -1);
        const Names got = In(m_out.Path());
        EXPECT_EQ(std::tuple(asked, got.size(), got.count("Long scan_03.jpg"), m_path),
                  std::tuple(all, size_t(pages), 1ul, CString(m_out.Sub("Long scan.jpg"))));
        // The page files are the user's now: without overwrite none is replaced.
        Sim().ClearJournal();
        EXPECT_EQ(Copy("", doc->GetItemID(), 0), -1035);
        EXPECT_TRUE(Opens().empty());
    }
}

TEST_P(Download, CopiesIntoAFolderAreNamedSafelyAndReplaceOnlyFilesWhenAsked) {
    ASSERT_TRUE(Shared([](mfpsim::DeviceState& st) {
        for (auto& [id, d] : st.documents)
            d.name = d.name == "Photo" ? "../x" : d.name;
    }));
    CVESKDocument* doc = Doc("a:b <c>&d");
    const long id = doc->GetItemID();
    ASSERT_EQ(Copy("", id, 2), 1);
    EXPECT_EQ(m_path, CString(m_out.Sub("a%3ab %3cc%3e&d.pdf")));
    std::ofstream(m_out.Sub("mine.pdf")) << "mine";
    const int64_t before = Requests();
    EXPECT_EQ(Copy("mine.pdf", id, 2), -1035);
    EXPECT_EQ(std::pair(Requests(), ReadFile(m_out.Sub("mine.pdf"))),
              std::pair(before, std::string("mine")));
    // Saving over it takes the default colour and the device's resolution.
    doc->SetResolution(300);
    doc->SetColor(1);
    ASSERT_EQ(doc->SaveAs(CString(m_out.Sub("mine.pdf")), 2, 1, 1, nullptr), 1);
    const tagUTIL_OPENDOCPARAM sent = Opens().back().param;
    EXPECT_EQ(std::tuple(doc->GetResolution(), doc->GetColor(), sent.nResolution, sent.nColor,
                         ReadFile(m_out.Sub("mine.pdf")).rfind("%PDF", 0)),
              std::tuple(0, 5, 0, 5, size_t{0}));
    fs::create_directory(m_out.Sub("folder.pdf"));
    EXPECT_EQ(std::pair(Copy("folder.pdf", id, 2, 1), fs::is_directory(m_out.Sub("folder.pdf"))),
              std::pair(-1028, true));
    // A hostile name stays inside the folder, also with one file per page.
    CVESKDocument* hostile = Doc("../x");
    hostile->SetDownlaodAll(1);
    ASSERT_EQ(Get(hostile, 0), 1);
    const fs::path paged = Got();
    EXPECT_EQ(
        std::pair(paged.filename().string(), In(paged.parent_path().parent_path())),
        std::pair(std::string("%2e%2e%2fx_1.jpg"), Names{std::to_string(hostile->GetItemID())}));
    ASSERT_EQ(Copy("", hostile->GetItemID(), -1), 1);
    EXPECT_FALSE(fs::exists(m_out.Path().parent_path() / "x.jpg"));
    // A move whose deletion the device refuses keeps the local file and says so.
    mfpsim::FaultConfig refuse;
    refuse.errors.push_back({"RemoveDoc", 8004, 1});
    Sim().SetFaults(refuse);
    EXPECT_EQ(Copy("moved.pdf", id, 2, 0, 0), -1029);
    EXPECT_EQ(Sim().State().documents.count(id), 1u);
    Sim().ClearFaults();
    EXPECT_EQ(Copy("moved.pdf", id, 2, 1, 0), 1);
    EXPECT_EQ(Sim().State().documents.count(id), 0u);
    EXPECT_EQ(In(m_out.Path()), (Names{"%2e%2e%2fx.jpg", "a%3ab %3cc%3e&d.pdf", "folder.pdf",
                                       "mine.pdf", "moved.pdf"}));
    EXPECT_TRUE(Left().empty());
}

TEST_P(Download, RefusedRequestsAskTheDeviceNothingAndWriteNothing) {
    ASSERT_TRUE(Shared());
    CVESKDocument* doc = Doc("Long scan");
    const int id = static_cast<int>(doc->GetItemID());
    const int cases[][4] = {{0, 2, 12, -1027}, {99999, 2, 12, -1040}, {id, 3, 12, 0},
                            {id, 10, 12, 0},   {id, 0, 0, 0},         {id, 0, -1, 0}};
    doc->SetDownlaodAll(1);
    const int64_t before = Requests();
    for (const auto& c : cases) {
        doc->SetPageNo(c[2]);
        EXPECT_EQ(Copy("", c[0], c[1], 1), c[3]) << c[0] << " " << c[1] << " " << c[2];
    }
    doc->GetCacheObj()->SetBoxLogin(0);
    EXPECT_EQ(Get(doc, 2), 0);
    EXPECT_EQ(Requests(), before);
    // A file where a level of the document's folder belongs.
    CString root;
    doc->GetCacheObj()->GetTransFileRootDir(root);
    const std::string level = WideToUtf8(root.str()) + "/" + std::to_string(Device().GetItemID());
    fs::remove_all(level);
    std::ofstream{level};
    EXPECT_EQ(Get(doc, 2), -1045);
    ASSERT_EQ(m_box->Disconnect(), 1);
    EXPECT_EQ(Copy("", id, 2, 1), -1037);
    EXPECT_EQ(std::pair(In(m_out.Path()), Left()), std::pair(Names{}, Names{}));
}

int g_chunks = 0;
long __stdcall Counting(tagQTCP_RECVDATA*) {
    return ++g_chunks, 0;
}
long __stdcall Previous(tagQTCP_RECVDATA*) {
    return 0;
}
long __stdcall CancelAfterAMegabyte(tagQTCP_COMMSTATE* s) {
    return s->nState == QTCP_STATE_RECEIVING && s->llDone >= (1 << 20);
}

TEST_P(Download, ADroppedCancelledOrShortTransferLeavesTheEarlierFileAndTheCallback) {
    enum { kDrop, kCancel, kShort };
    for (const int how : {kDrop, kCancel, kShort}) {
        int id = 0;
        ASSERT_TRUE(Shared(WithSyntheticDocument(3 << 20, id).edit));
        CVESKDocument* doc = Doc("Big");
        ASSERT_EQ(Get(doc, -1), 1);
        const std::string earlier = Got();
        std::ofstream(earlier) << "mine";
        CTcpCore* core = GetCurrentTcpCore();
        mfpsim::FaultConfig fault;
        fault.dropAfterBytes = how == kDrop ? (4 << 20) + 100000 : -1;  // 1 MiB into the next
        fault.streamShortBy = how == kShort ? 1000 : 0;                 // ends cleanly, but short
        Sim().SetFaults(fault);
        core->SetCallbackCommunicate(how == kCancel ? CancelAfterAMegabyte : nullptr);
        core->ResetCallbackRecvData(Previous);
        g_chunks = 0;
        EXPECT_EQ(Get(doc, -1, Counting), 0);
        core->SetCallbackCommunicate(nullptr);
        EXPECT_EQ(
            std::tuple(g_chunks > 0, core->ResetCallbackRecvData(nullptr), ReadFile(earlier),
                       In(fs::path(earlier).parent_path()), Left(), m_got),
            std::tuple(true, &Previous, std::string("mine"), Names{"Big.pdf"}, Names{}, CString()));
    }
}

TEST_P(Download, AFiveGibibyteDocumentArrivesByteExact) {
#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "5 GiB are for optimised builds without sanitizers";
#endif
    if (GetParam() == 1)
        GTEST_SKIP() << "the size is the client's concern: once over plain TCP is enough";
    constexpr long long kSize = (5LL << 30) + 4099;
    int id = 0;
    ASSERT_TRUE(Shared(WithSyntheticDocument(kSize, id).edit));
    ASSERT_EQ(Get(Doc("Big"), -1), 1);
    std::ifstream in(Got(), std::ios::binary);
    std::vector<char> got(1 << 20), want(1 << 20);
    long long at = 0, bad = -1;
    while (bad < 0 && in.read(got.data(), 1 << 20).gcount() > 0) {
        const auto n = static_cast<size_t>(in.gcount());
        mfpsim::SyntheticContent(at, reinterpret_cast<uint8_t*>(want.data()), n);
        bad = std::memcmp(got.data(), want.data(), n) == 0 ? -1 : at;
        at += static_cast<long long>(n);
    }
    in.close();  // Windows removes no open file
    fs::remove(Got());
    EXPECT_EQ(std::pair(at, bad), std::pair(kSize, -1LL));
}

VESK_E2E_MODES(Download);

}  // namespace
}  // namespace vesk::test
