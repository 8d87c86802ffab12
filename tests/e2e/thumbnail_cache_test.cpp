// Document thumbnails through the item tree: fetched from the device or made locally from
// the document, kept in the cache while dated like the document, replaced when the date
// moves, cleaned up when caching is off, and never handed out half made.
#include <cstring>

#include "cache/utility.h"
#include "cache/vesk_cache.h"
#include "document/images.h"
#include "document/vesk_document.h"
#include "platform/charset.h"
#include "platform/gdi.h"
#include "support/alloc_failure.h"
#include "support/box_fixture.h"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;
constexpr const wchar_t* kOtherDate = L"2001/02/03 04:05:06";

struct Size {
    long width = 0;
    long height = 0;
    bool operator==(const Size&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Size& s) {
    return os << s.width << "x" << s.height;
}

Size SizeOf(HBITMAP h) {
    BITMAP bm{};
    return GetObjectW(h, sizeof bm, &bm) == sizeof bm ? Size{bm.bmWidth, bm.bmHeight} : Size{};
}

std::vector<unsigned char> Bytes(const fs::path& p) {
    const std::string s = ReadFile(p.string());
    return {s.begin(), s.end()};
}

// Regular files anywhere below dir.
int FilesBelow(const std::string& dir) {
    std::error_code ec;
    int n = 0;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec))
        n += it->is_regular_file();
    return n;
}

class Thumbnail : public BoxFixture {
protected:
    // Logs into the shared box of a device reporting major.minor (second family model
    // 40 for raw grey thumbnails) and finds the document.
    CVESKDocument* OpenDoc(int major, int minor, const std::string& name, bool rawModel = false) {
        m_box = OpenBox(kSharedBox, L"", [&](mfpsim::DeviceState& st) {
            st.identity.major = major;
            st.identity.minor = minor;
            if (rawModel)
                st.identity.identifier = ModelId(40, true);
        });
        if (!m_box || m_box->GetChildList(1) != 1)
            return nullptr;
        for (POSITION pos = m_box->GetItemList()->GetHeadPosition(); pos;) {
            auto* d = DYNAMIC_DOWNCAST(CVESKDocument, m_box->GetItemList()->GetNext(pos));
            if (WideToUtf8(d->GetItemName().str()) == name)
                return m_doc = d;
        }
        ADD_FAILURE() << "no document " << name;
        return nullptr;
    }
    CVESKCache& RootCache() { return *TreeRoot().GetCache(); }
    std::string Folder(int (CVESKCache::*which)(CString&)) {
        CString dir;
        (RootCache().*which)(dir);
        return WideToUtf8(dir.str());
    }
    std::string Cached() {
        return Folder(&CVESKCache::GetCacheDirectory) + "/" + std::to_string(Device().GetItemID()) +
               "/" + std::to_string(kSharedBox) + "/" + std::to_string(m_doc->GetItemID()) +
               (m_doc->GetColorType() == 0 ? ".tif" : ".jpg");
    }
    std::string CreatedText(const std::string& path) {
        CString text;
        CVESKDocument::GetFileCreationTime(Utf8ToWide(path).c_str(), text);
        return WideToUtf8(text.str());
    }
    fs::path DocFolder() {
        return Sim().Root() / "boxes" / std::to_string(kSharedBox) / "docs" /
               std::to_string(m_doc->GetItemID());
    }
    size_t ThumbnailRequests() {
        return Sim().Engine()->Requests<tc::ThumbnailRequest>(tc::Op::kThumbnail).size();
    }
    // GetThumbnail with a handle that must be overwritten; the size of what came back.
    int Get(Size& size) {
        HBITMAP h = reinterpret_cast<HBITMAP>(1);
        const int r = m_doc->GetThumbnail(&h);
        EXPECT_EQ(r == 1, h != nullptr) << "result " << r;
        size = r == 1 ? SizeOf(h) : Size{};
        if (r == 1) {
            EXPECT_TRUE(DeleteObject(h));
        }
        return r;
    }

    CVESKMFPBox* m_box = nullptr;
    CVESKDocument* m_doc = nullptr;
};

// The first call fetches or makes the thumbnail, the second takes it from the cache
// without a word to the device, and a moved entry date makes it anew.
TEST_P(Thumbnail, CachedWhileDatedLikeTheDocumentAndRenewedWhenTheDateMoves) {
    const struct {
        int major, minor;
        const char* doc;
        bool raw;
    } rows[] = {
        {4, 11, "Invoice 2024-001", false},  // the device's JPEG
        {3, 1, "Contract", true},            // the device's raw grey rows as a BMP file
        {2, 0, "Invoice 2024-001", false},   // made from the JPEG page
        {1, 2, "Contract", false},           // made from the TIFF, pages at half height
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.major << "." << row.minor << " " << row.doc);
        ASSERT_TRUE(OpenDoc(row.major, row.minor, row.doc, row.raw));
        const bool fromDevice = row.major >= 3;
        Size got;
        ASSERT_EQ(Get(got), 1);

        Size want;
        std::vector<TiffPage> pages;
        JpegInfo jpeg;
        std::string why;
        if (row.raw) {
            const std::vector<unsigned char> raw = Bytes(DocFolder() / "thumb.raw");
            want = {kRawThumbnailWidth, static_cast<long>(raw.size() / kRawThumbnailWidth)};
            // The device's top row is the top row of the picture.
            HBITMAP h = nullptr;
            ASSERT_EQ(m_doc->GetThumbnail(&h), 1);
            BITMAP bm{};
            ASSERT_EQ(GetObjectW(h, sizeof bm, &bm), int(sizeof bm));
            const auto* px = static_cast<const unsigned char*>(bm.bmBits);
            for (int x = 0; x < kRawThumbnailWidth; ++x)
                ASSERT_EQ(px[4 * x], raw[x]) << x;
            DeleteObject(h);
        } else if (fromDevice) {
            ASSERT_TRUE(DecodeJpeg(Bytes(DocFolder() / "thumb.jpg"), jpeg, why)) << why;
            want = {jpeg.width, jpeg.height};
        } else {
            const bool tiff = std::string(row.doc) == "Contract";
            const fs::path page = DocFolder() / (tiff ? "page-0001.tif" : "page-0001.jpg");
            UINT w = 0, h = 0;
            if (tiff) {
                ASSERT_TRUE(DecodeTiffFile(page.string(), pages));
                w = pages[0].width, h = pages[0].height;
            } else {
                ASSERT_TRUE(DecodeJpeg(Bytes(page), jpeg, why)) << why;
                w = UINT(jpeg.width), h = UINT(jpeg.height);
            }
            const ThumbnailGeometry g = ThumbnailSize(w, h, row.major * 10 + row.minor == 12);
            want = {long(g.width), long(g.height)};
        }
        EXPECT_EQ(got, want);
        EXPECT_EQ(CreatedText(Cached()), WideToUtf8(m_doc->GetMaxEntryDate().str()));

        const int64_t before = Requests();
        ASSERT_EQ(Get(got), 1);
        EXPECT_EQ(Requests(), before);
        EXPECT_EQ(got, want);

        const size_t thumbnails = ThumbnailRequests();
        m_doc->SetMaxEntryDate(kOtherDate);
        ASSERT_EQ(Get(got), 1);
        EXPECT_EQ(got, want);
        EXPECT_EQ(CreatedText(Cached()), WideToUtf8(kOtherDate));
        // Older devices: made again from the document already fetched.
        EXPECT_EQ(ThumbnailRequests(), thumbnails + (fromDevice ? 1 : 0));
        if (!fromDevice) {
            EXPECT_EQ(Requests(), before);
        }
    }
}

// Caching off: the handle is handed out and neither tree keeps a file, also the document
// fetched to make the thumbnail.
TEST_P(Thumbnail, CacheModeZeroLeavesNoFileBehind) {
    for (const int major : {4, 2}) {
        SCOPED_TRACE(major);
        ASSERT_TRUE(OpenDoc(major, 0, "Invoice 2024-001"));
        ASSERT_EQ(RootCache().SetCacheMode(0), 1);
        Size got;
        EXPECT_EQ(Get(got), 1);
        EXPECT_EQ(got.height, major >= 3 ? 160 : 240);
        EXPECT_EQ(FilesBelow(Folder(&CVESKCache::GetCacheDirectory)), 0);
        EXPECT_EQ(FilesBelow(Folder(&CVESKCache::GetTempFileRootDir)), 0);
        ASSERT_EQ(RootCache().SetCacheMode(2), 1);
    }
}

// A thumbnail delivered short of its announced size fails and leaves no file to be taken
// for current; bytes beyond it are dropped and the announced ones kept.
TEST_P(Thumbnail, ThumbnailOfTheWrongSizeIsNeverCached) {
    using Fault = mfpsim::Session::ThumbnailFault;
    const struct {
        const char* name;
        Fault fault;
        int result;
        bool kept;
    } rows[] = {{"short", Fault::kTruncate, 0, false}, {"long", Fault::kOversize, 1, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(OpenDoc(3, 1, "Contract", true));
        mfpsim::FaultConfig fault;
        fault.thumbnail = row.fault;
        Sim().SetFaults(fault);
        Size got;
        EXPECT_EQ(Get(got), row.result);
        EXPECT_EQ(PathExists(Cached()), row.kept);
        if (row.kept) {
            EXPECT_EQ(fs::file_size(Cached()),
                      fs::file_size(DocFolder() / "thumb.raw") + kRawThumbnailHeaderSize);
        }
    }
}

// A cached file that cannot be shown fails once and is then fetched again.
TEST_P(Thumbnail, UnreadableCachedFileIsReplaced) {
    ASSERT_TRUE(OpenDoc(4, 11, "Invoice 2024-001"));
    Size got;
    ASSERT_EQ(Get(got), 1);
    WriteFile(Cached(), "not an image");
    CUtility::SetFileTimeFromText(Utf8ToWide(Cached()).c_str(), m_doc->GetMaxEntryDate(), 0);
    EXPECT_EQ(Get(got), 0);
    EXPECT_FALSE(PathExists(Cached()));
    EXPECT_EQ(Get(got), 1);
    EXPECT_EQ(ThumbnailRequests(), 2u);
}

// Whatever allocation fails, also while the cache is emptied after the handle was made,
// a handle comes back exactly with 1, and nothing is left allocated.
TEST_P(Thumbnail, FailuresHandOutNothingAndLeakNothing) {
    ASSERT_TRUE(OpenDoc(4, 11, "Invoice 2024-001"));
    Size got;
    ASSERT_EQ(Get(got), 1);
    const std::string cached = Cached(), bytes = ReadFile(cached);
    const CString date = m_doc->GetMaxEntryDate();
    ASSERT_EQ(RootCache().SetCacheMode(0), 1);
    const int64_t requests = Requests();
    HBITMAP h = nullptr;
    const int runs = ForEachAllocationFailure(
        [&] {
            h = reinterpret_cast<HBITMAP>(1);
            const int r = m_doc->GetThumbnail(&h);
            if (h)
                DeleteObject(h);
            return r;
        },
        [&](const AllocationFailureRun& run) {
            EXPECT_EQ(run.result == 1, h != nullptr) << run.failAt << ": " << run.result;
            EXPECT_EQ(run.leaked, 0) << run.failAt << " result " << run.result;
        },
        100000,
        [&] {
            fs::create_directories(fs::path(cached).parent_path());
            WriteFile(cached, bytes);
            CUtility::SetFileTimeFromText(Utf8ToWide(cached).c_str(), date, 0);
        });
    EXPECT_GT(runs, 10);
    EXPECT_EQ(Requests(), requests);
}

INSTANTIATE_TEST_SUITE_P(Loopback, Thumbnail, ::testing::Values(0), ModeName);

}  // namespace
}  // namespace vesk::test
