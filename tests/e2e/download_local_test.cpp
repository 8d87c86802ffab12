// Downloads that need the emulator's device folder in this process (Linux): pages added
// to a stored document as links.
#include <numeric>
#include <tuple>

#include "e2e/download.h"
#include "support/sim_local.h"
#include "tools/mfpsim/lib/store.h"

namespace vesk::test {
namespace {

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

}  // namespace
}  // namespace vesk::test
