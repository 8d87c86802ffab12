// Pages as bitmaps through the item tree against the emulator: a frame of the TIFF
// document, a JPEG page fetched alone whatever the download choices, and nothing handed
// out for a page the document does not have.
#include "cache/vesk_cache.h"
#include "e2e/items.h"
#include "platform/gdi.h"
#include "tools/mfpsim/lib/store.h"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;

// A handle's pixels as libtiff's RGBA reader gives them: packed ABGR, from the top.
std::vector<uint32_t> Abgr(HBITMAP h) {
    BITMAP bm{};
    if (GetObjectW(h, sizeof bm, &bm) != sizeof bm)
        return {};
    const auto* bits = static_cast<const uint8_t*>(bm.bmBits);
    std::vector<uint32_t> out;
    for (long i = 0; i < long{bm.bmWidth} * bm.bmHeight; ++i, bits += 4)
        out.push_back(0xFF000000u | bits[0] << 16 | bits[1] << 8 | bits[2]);
    return out;
}

class Bitmap : public BoxFixture {
protected:
    // The shared box; "Contract" (three bilevel TIFF pages) was made in a mode whose
    // pages are shown from the TIFF document.
    void SetUp() override {
        BoxFixture::SetUp();
        m_box = OpenBox(kSharedBox, L"", [](mfpsim::DeviceState& s) {
            for (auto& [id, d] : s.documents)
                d.mode = d.name == "Contract" ? 5 : d.mode;
        });
        ASSERT_TRUE(m_box && m_box->GetChildList(1) == 1);
    }
    void TearDown() override {
        if (m_handle)
            DeleteObject(m_handle);
        BoxFixture::TearDown();
    }
    CVESKDocument* Doc(const std::string& name) { return DocNamed(m_box, name); }
    fs::path TempDir() {
        CString dir;
        m_box->GetCacheObj()->GetTempFileRootDir(dir);
        return fs::path(WideToUtf8(dir.str())) / std::to_string(Device().GetItemID()) /
               std::to_string(kSharedBox);
    }
    // GetBitmap with a handle that is not null before the call, as a caller's may be.
    int Show(CVESKDocument* doc, int page, BITMAPINFO* info) {
        if (m_handle)
            DeleteObject(m_handle);
        m_handle = reinterpret_cast<HBITMAP>(&m_handle);
        return doc->GetBitmap(page, &m_handle, info);
    }
    std::vector<tc::OpenDocRequest> Opens() { return test::Opens(Sim()); }

    CVESKMFPBox* m_box = nullptr;
    HBITMAP m_handle = nullptr;
};

TEST_P(Bitmap, ATiffPageIsThatFrameOfTheDocumentAndAPagePastTheEndGivesNothing) {
    CVESKDocument* doc = Doc("Contract");
    const std::string id = std::to_string(doc->GetItemID());
    BITMAPINFO info;
    std::memset(&info, 0xAB, sizeof info);
    Sim().Engine()->ClearJournal();
    ASSERT_EQ(Show(doc, 2, &info), 1);
    std::vector<TiffPage> all, one;
    ASSERT_TRUE(DecodeTiffFile((TempDir() / (id + ".tif")).string(), all));
    ASSERT_TRUE(DecodeTiffFile((TempDir() / (id + "_2.tif")).string(), one));
    ASSERT_EQ(std::pair(all.size(), one.size()), std::pair(3ul, 1ul));
    EXPECT_TRUE(one[0].rgba == all[2].rgba && all[2].rgba != all[0].rgba);
    EXPECT_TRUE(Abgr(m_handle) == all[2].rgba);
    const BITMAPINFOHEADER& h = info.bmiHeader;
    EXPECT_EQ(std::tuple(h.biSize, h.biWidth, h.biHeight, h.biBitCount, h.biXPelsPerMeter),
              std::tuple(40u, LONG(all[2].width), LONG(all[2].height), WORD(1),
                         LONG(all[2].xres / 0.0254)));

    // Past the end, and before the start: no handle, no page file, nothing fetched again.
    for (const int page : {3, -1}) {
        EXPECT_EQ(Show(doc, page, &info), 0);
        EXPECT_EQ(m_handle, nullptr);
    }
    EXPECT_EQ(In(TempDir()), (std::set<std::string>{id + ".tif", id + "_2.tif"}));
    EXPECT_EQ(Opens().size(), 1u);
}

// The page goes to <id>.jpg and nowhere else, also when the user chose all pages (one
// file per page under other names) or a target page (which would replace the page asked
// for); both choices are as they were afterwards.
TEST_P(Bitmap, AJpegPageIsFetchedAloneWhateverTheDownloadChoices) {
    CVESKDocument* doc = Doc("Invoice 2024-001");
    const std::string id = std::to_string(doc->GetItemID());
    const mfpsim::Store store(Sim().Root());
    const mfpsim::Document stored = Sim().State().documents.at(doc->GetItemID());
    doc->SetDownlaodAll(1);
    doc->SetTargetPageNo(1);
    for (const int page : {2, 1}) {
        SCOPED_TRACE(page);
        Sim().Engine()->ClearJournal();
        ASSERT_EQ(Show(doc, page, nullptr), 1);
        ASSERT_EQ(Opens().size(), 1u);
        EXPECT_EQ(Opens()[0].param.nPage, page);
        EXPECT_EQ(In(TempDir()), std::set<std::string>{id + ".jpg"});
        const std::string bytes = ReadFile(TempDir() / (id + ".jpg"));
        EXPECT_TRUE(bytes == ReadFile(store.PagePath(stored, page)));
        JpegInfo jpeg;
        std::string why;
        ASSERT_TRUE(DecodeJpeg({bytes.begin(), bytes.end()}, jpeg, why)) << why;
        BITMAP bm{};
        ASSERT_EQ(GetObjectW(m_handle, sizeof bm, &bm), int(sizeof bm));
        EXPECT_EQ(std::pair(bm.bmWidth, bm.bmHeight),
                  std::pair(LONG(jpeg.width), LONG(jpeg.height)));
    }
    EXPECT_EQ(std::pair(doc->GetDownloadAll(), doc->GetTargetPageNo()), std::pair(1, 1));

    EXPECT_EQ(Show(doc, 3, nullptr), 0);
    EXPECT_EQ(m_handle, nullptr);
    EXPECT_EQ(std::pair(doc->GetDownloadAll(), doc->GetTargetPageNo()), std::pair(1, 1));
}

INSTANTIATE_TEST_SUITE_P(Loopback, Bitmap, ::testing::Values(0), ModeName);

}  // namespace
}  // namespace vesk::test
