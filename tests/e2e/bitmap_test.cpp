// Documents as bitmaps through the item tree against the emulator. Thumbnails: fetched
// from the device or made locally from the document, kept in the cache while dated like
// the document, replaced when the date moves, cleaned up when caching is off, and never
// handed out half made. Pages: a frame of the TIFF document, a JPEG page fetched alone
// whatever the download choices, and nothing handed out for a page the document does not
// have.
#include "cache/utility.h"
#include "cache/vesk_cache.h"
#include "document/images.h"
#include "e2e/items.h"
#include "platform/bitmap_rows.h"
#include "platform/charset.h"
#include "platform/gdi.h"
#include "support/alloc_failure.h"
#include "support/decoded_image.h"
#include "tools/mfpsim/lib/store.h"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;
using Size = std::pair<long, long>;

// Width and height as libjpeg or libtiff read them; -1 x -1 when they cannot.
Size ImageSize(const fs::path& p) {
    std::vector<TiffPage> pages;
    JpegInfo jpeg;
    std::string why, bytes = ReadFile(p.string());
    if (p.extension() == ".tif")
        return DecodeTiffFile(p.string(), pages) ? Size(pages[0].width, pages[0].height)
                                                 : Size(-1, -1);
    return DecodeJpeg({bytes.begin(), bytes.end()}, jpeg, why) ? Size(jpeg.width, jpeg.height)
                                                               : Size(-1, -1);
}

// Width and height of a handle; 0 x 0 when it is none.
Size HandleSize(HBITMAP h) {
    BITMAP bm{};
    return GetObjectW(h, sizeof bm, &bm) == sizeof bm ? Size(bm.bmWidth, bm.bmHeight) : Size();
}

int FilesBelow(const std::string& dir) {
    return fs::exists(dir) ? int(std::count_if(fs::recursive_directory_iterator(dir), {},
                                               [](const auto& e) { return e.is_regular_file(); }))
                           : 0;
}

class Thumbnail : public BoxFixture {
protected:
    // The document in the shared box of a device reporting major.minor (second family
    // model 40: raw grey thumbnails).
    CVESKDocument* OpenDoc(int major, int minor, const std::string& name, bool rawModel = false) {
        CVESKMFPBox* box = OpenBox(kSharedBox, L"", [&](mfpsim::DeviceState& st) {
            st.identity.major = major;
            st.identity.minor = minor;
            if (rawModel)
                st.identity.identifier = ModelId(40, true);
        });
        return box && box->GetChildList(1) == 1 ? m_doc = DocNamed(box, name) : nullptr;
    }
    CVESKCache& RootCache() { return *TreeRoot().GetCache(); }
    std::string Tree(int (CVESKCache::*which)(CString&)) {
        CString dir;
        (RootCache().*which)(dir);
        return WideToUtf8(dir.str());
    }
    std::string Cached() {
        return Tree(&CVESKCache::GetCacheDirectory) + "/" + std::to_string(Device().GetItemID()) +
               "/" + std::to_string(kSharedBox) + "/" + std::to_string(m_doc->GetItemID()) +
               (m_doc->GetColorType() == 0 ? ".tif" : ".jpg");
    }
    std::string CachedDate() {
        CString text;
        CVESKDocument::GetFileCreationTime(Utf8ToWide(Cached()).c_str(), text);
        return WideToUtf8(text.str());
    }
    // Puts a file dated like the document where its thumbnail is cached.
    void PutCached(const std::string& bytes) {
        fs::create_directories(fs::path(Cached()).parent_path());
        WriteFile(Cached(), bytes);
        CUtility::SetFileTimeFromText(Utf8ToWide(Cached()).c_str(), m_doc->GetMaxEntryDate(), 0);
    }
    fs::path DocFolder() {
        return RootOf(Sim()) / "boxes" / std::to_string(kSharedBox) / "docs" /
               std::to_string(m_doc->GetItemID());
    }
    size_t ThumbnailRequests() {
        return Sim().Requests<tc::ThumbnailRequest>(tc::Op::kThumbnail).size();
    }
    // GetThumbnail; m_got is the size of the handle, which must come exactly with 1.
    int Get() {
        HBITMAP h = reinterpret_cast<HBITMAP>(1);
        const int r = m_doc->GetThumbnail(&h);
        EXPECT_EQ(r == 1, h != nullptr) << "result " << r;
        m_got = r == 1 ? HandleSize(h) : Size();
        if (r == 1)
            DeleteObject(h);
        return r;
    }

    CVESKDocument* m_doc = nullptr;
    Size m_got;
};

// The first call fetches or makes the thumbnail, the second takes it from the cache
// without a word to the device, and a moved entry date makes it anew.
TEST_P(Thumbnail, CachedWhileDatedLikeTheDocumentAndRenewedWhenTheDateMoves) {
    const struct {
        int major, minor;
        const char* doc;
        bool raw;
        const char* from;  // what the thumbnail is made from
    } rows[] = {
        {4, 11, "Invoice 2024-001", false, "thumb.jpg"},
        {3, 1, "Contract", true, "thumb.raw"},  // becomes a BMP file
        {2, 0, "Invoice 2024-001", false, "page-0001.jpg"},
        {1, 2, "Contract", false, "page-0001.tif"},  // pages at half height
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.major << "." << row.minor << " " << row.doc);
        ASSERT_TRUE(OpenDoc(row.major, row.minor, row.doc, row.raw));
        const bool fromDevice = row.major >= 3;
        ASSERT_EQ(Get(), 1);
        const fs::path from = DocFolder() / row.from;
        Size want = ImageSize(from);
        if (row.raw) {
            want = {kRawThumbnailWidth, fs::file_size(from) / kRawThumbnailWidth};
        } else if (!fromDevice) {
            const auto g = ThumbnailSize(want.first, want.second, row.major == 1);
            want = {g.width, g.height};
        }
        EXPECT_EQ(m_got, want);
        EXPECT_EQ(CachedDate(), WideToUtf8(m_doc->GetMaxEntryDate().str()));

        const int64_t before = Requests();
        ASSERT_EQ(Get(), 1);
        EXPECT_EQ(Requests(), before);

        const size_t thumbnails = ThumbnailRequests();
        m_doc->SetMaxEntryDate(L"2001/02/03 04:05:06");
        ASSERT_EQ(Get(), 1);
        EXPECT_EQ(m_got, want);
        EXPECT_EQ(CachedDate(), "2001/02/03 04:05:06");
        // Older devices: made again from the document already fetched.
        EXPECT_EQ(ThumbnailRequests(), thumbnails + fromDevice);
        EXPECT_TRUE(fromDevice || Requests() == before);
    }
}

// Caching off: the handle is handed out and neither tree keeps a file, also the document
// fetched to make the thumbnail.
TEST_P(Thumbnail, CacheModeZeroLeavesNoFileBehind) {
    for (const int major : {4, 2}) {
        SCOPED_TRACE(major);
        ASSERT_TRUE(OpenDoc(major, 0, "Invoice 2024-001"));
        ASSERT_EQ(RootCache().SetCacheMode(0), 1);
        EXPECT_EQ(Get(), 1);
        EXPECT_EQ(m_got.second, major >= 3 ? 160 : 240);
        EXPECT_EQ(FilesBelow(Tree(&CVESKCache::GetCacheDirectory)), 0);
        EXPECT_EQ(FilesBelow(Tree(&CVESKCache::GetTempFileRootDir)), 0);
        ASSERT_EQ(RootCache().SetCacheMode(2), 1);
    }
}

// A thumbnail delivered short of its announced size fails and leaves no file to be taken
// for current; bytes beyond it are dropped and the announced ones kept. A cached file
// that cannot be shown fails once and is then fetched again.
TEST_P(Thumbnail, WhatCannotBeShownIsNeverKept) {
    using Fault = mfpsim::Session::ThumbnailFault;
    for (const Fault fault : {Fault::kTruncate, Fault::kOversize}) {
        const bool whole = fault == Fault::kOversize;
        SCOPED_TRACE(whole);
        ASSERT_TRUE(OpenDoc(3, 1, "Contract", true));
        mfpsim::FaultConfig faults;
        faults.thumbnail = fault;
        Sim().SetFaults(faults);
        EXPECT_EQ(Get(), whole ? 1 : 0);
        EXPECT_EQ(PathExists(Cached()), whole);
    }
    EXPECT_EQ(fs::file_size(Cached()),
              fs::file_size(DocFolder() / "thumb.raw") + kRawThumbnailHeaderSize);
    Sim().ClearFaults();
    PutCached("not an image");
    EXPECT_EQ(Get(), 0);
    EXPECT_FALSE(PathExists(Cached()));
    EXPECT_EQ(Get(), 1);
    EXPECT_EQ(ThumbnailRequests(), 2u);
}

// Whatever allocation fails, also while the cache is emptied after the handle was made,
// a handle comes back exactly with 1, and nothing is left allocated.
TEST_P(Thumbnail, FailuresHandOutNothingAndLeakNothing) {
    ASSERT_TRUE(OpenDoc(4, 11, "Invoice 2024-001"));
    ASSERT_EQ(Get(), 1);
    const std::string bytes = ReadFile(Cached());
    ASSERT_EQ(RootCache().SetCacheMode(0), 1);
    // Nothing else allocates meanwhile, and the device is out of reach.
    Sim().Stop();
    int last = 0;
    const int runs = ForEachAllocationFailure([&] { return Get(); },
                                              [&](const AllocationFailureRun& run) {
                                                  EXPECT_EQ(run.leaked, 0) << run.failAt;
                                                  last = run.result;
                                              },
                                              100000, [&] { PutCached(bytes); });
    EXPECT_GT(runs, 10);
    EXPECT_EQ(last, 1);
}

INSTANTIATE_TEST_SUITE_P(Loopback, Thumbnail, ::testing::Values(0), ModeName);

// A handle's pixels as libtiff's RGBA reader gives them: packed ABGR, from the top (GDI+
// hands out bottom-up bitmaps).
std::vector<uint32_t> Abgr(HBITMAP h) {
    int width = 0, height = 0;
    std::vector<uint8_t> bgra;
    if (!gdi::ReadBitmapRows(h, width, height, bgra))
        return {};
    std::vector<uint32_t> out;
    for (size_t i = 0; i + 3 < bgra.size(); i += 4)
        out.push_back(0xFF000000u | bgra[i] << 16 | bgra[i + 1] << 8 | bgra[i + 2]);
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

    CVESKMFPBox* m_box = nullptr;
    HBITMAP m_handle = nullptr;
};

TEST_P(Bitmap, ATiffPageIsThatFrameOfTheDocumentAndAPagePastTheEndGivesNothing) {
    CVESKDocument* doc = Doc("Contract");
    const std::string id = std::to_string(doc->GetItemID());
    BITMAPINFO info;
    std::memset(&info, 0xAB, sizeof info);
    Sim().ClearJournal();
    ASSERT_EQ(Show(doc, 2, &info), 1);
    std::vector<TiffPage> all, one;
    ASSERT_TRUE(DecodeTiffFile((TempDir() / (id + ".tif")).string(), all));
    ASSERT_TRUE(DecodeTiffFile((TempDir() / (id + "_2.tif")).string(), one));
    ASSERT_EQ(std::pair(all.size(), one.size()), std::pair(size_t{3}, size_t{1}));
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
    EXPECT_EQ(Opens(Sim()).size(), 1u);
}

// The page goes to <id>.jpg and nowhere else, also when the user chose all pages (one
// file per page under other names) or a target page (which would replace the page asked
// for); both choices are as they were afterwards.
TEST_P(Bitmap, AJpegPageIsFetchedAloneWhateverTheDownloadChoices) {
    CVESKDocument* doc = Doc("Invoice 2024-001");
    const std::string id = std::to_string(doc->GetItemID());
    const mfpsim::Store store(RootOf(Sim()));
    const mfpsim::Document stored = Sim().State().documents.at(doc->GetItemID());
    doc->SetDownlaodAll(1);
    doc->SetTargetPageNo(1);
    for (const int page : {2, 1}) {
        SCOPED_TRACE(page);
        Sim().ClearJournal();
        ASSERT_EQ(Show(doc, page, nullptr), 1);
        ASSERT_EQ(Opens(Sim()).size(), 1u);
        EXPECT_EQ(Opens(Sim())[0].param.nPage, page);
        EXPECT_EQ(In(TempDir()), std::set<std::string>{id + ".jpg"});
        const std::string bytes = ReadFile((TempDir() / (id + ".jpg")).string());
        EXPECT_TRUE(bytes == ReadFile(store.PagePath(stored, page).string()));
        EXPECT_EQ(HandleSize(m_handle), ImageSize(TempDir() / (id + ".jpg")));
    }
    EXPECT_EQ(std::pair(doc->GetDownloadAll(), doc->GetTargetPageNo()), std::pair(1, 1));

    EXPECT_EQ(Show(doc, 3, nullptr), 0);
    EXPECT_EQ(m_handle, nullptr);
    EXPECT_EQ(std::pair(doc->GetDownloadAll(), doc->GetTargetPageNo()), std::pair(1, 1));
}

INSTANTIATE_TEST_SUITE_P(Loopback, Bitmap, ::testing::Values(0), ModeName);

}  // namespace
}  // namespace vesk::test
