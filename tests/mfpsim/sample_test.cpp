// The sample device: what it holds, and that its pages, thumbnails and packages are
// real files other libraries can read.
#include <set>
#include <tuple>

#include "decode.h"
#include "fixture.h"
#include "tools/mfpsim/lib/imaging.h"
#include "tools/mfpsim/lib/ini.h"

namespace mfpsim::test {
namespace {

TEST(SampleDevice, HoldsEveryKindOfBoxAndFileType) {
    DeviceFolder folder;
    auto dev = folder.Open();
    ASSERT_TRUE(dev);
    DeviceState st = dev->Snapshot();

    int userBoxes = 0;
    for (const auto& [n, b] : st.boxes)
        userBoxes += b.kind == BoxKind::kUser;
    EXPECT_EQ(userBoxes, 5);
    EXPECT_EQ(st.boxes[kRxBox].kind, BoxKind::kMemoryRx);
    EXPECT_EQ(st.boxes[kFilingBox].kind, BoxKind::kFiling);
    EXPECT_TRUE(st.accounts.count(st.boxes[kSalesBox].owner));

    std::set<int> types;
    for (const auto& [id, d] : st.documents) {
        types.insert(d.fileType);
        EXPECT_TRUE(st.boxes.count(d.box)) << d.name;
        EXPECT_TRUE(ParseEntryDate(d.entryDate)) << d.entryDate;
    }
    EXPECT_EQ(types, (std::set<int>{0, 1, 2, 4, 5, 6, 7, 8, 9}));
    EXPECT_GE(st.documents.size(), 28u);
    EXPECT_LE(st.documents.size(), 36u);
}

// Every stored page decodes with libjpeg or libtiff to the size the listing announces,
// pages of one document differ, and the thumbnails fit their formats.
TEST(SampleDevice, PagesAndThumbnailsDecodeWithTheImageLibraries) {
    DeviceFolder folder;
    auto dev = folder.Open();
    ASSERT_TRUE(dev);
    const Store& store = dev->GetStore();
    int jpegPages = 0;
    int tiffPages = 0;
    for (const auto& [id, d] : dev->Snapshot().documents) {
        SCOPED_TRACE(d.name);
        std::vector<uint8_t> firstPixels;
        for (int p = 1; p <= d.pages; ++p) {
            std::string path = store.PagePath(d, p).string();
            if (d.TiffPages()) {
                std::vector<TiffPage> pages;
                ASSERT_TRUE(DecodeTiffFile(path, pages));
                ASSERT_EQ(pages.size(), 1u);
                EXPECT_EQ(std::make_tuple(int(pages[0].width), int(pages[0].height), pages[0].bits,
                                          pages[0].compression, int(pages[0].xres + 0.5f)),
                          std::make_tuple(d.width, d.height, uint16_t{1},
                                          uint16_t{COMPRESSION_CCITTFAX4}, d.xResolution));
                std::vector<uint8_t> px(pages[0].rgba.size());
                for (size_t i = 0; i < px.size(); ++i)
                    px[i] = static_cast<uint8_t>(TIFFGetR(pages[0].rgba[i]));
                if (p == 1) {
                    firstPixels = px;
                } else {
                    EXPECT_NE(px, firstPixels);
                }
                ++tiffPages;
            } else {
                Decoded j;
                ASSERT_TRUE(DecodeJpegBytes(ReadAll(path), j));
                EXPECT_EQ(
                    std::make_tuple(j.width, j.height, j.components, j.density),
                    std::make_tuple(d.width, d.height, d.colorType == 1 ? 1 : 3, d.xResolution));
                if (p == 1) {
                    firstPixels = j.pixels;
                } else {
                    EXPECT_NE(j.pixels, firstPixels);
                }
                ++jpegPages;
            }
        }
        // Synthetic scans are mostly paper with some ink.
        size_t dark = std::count_if(firstPixels.begin(), firstPixels.end(),
                                    [](uint8_t v) { return v < 100; });
        EXPECT_GT(dark, firstPixels.size() / 50);
        EXPECT_LT(dark, firstPixels.size() / 2);

        auto raw = store.ReadContent(d, "thumb.raw");
        ASSERT_TRUE(raw);
        ASSERT_EQ(raw->size() % img::kRawThumbnailWidth, 0u);
        int rows = static_cast<int>(raw->size() / img::kRawThumbnailWidth);
        EXPECT_NEAR(rows, 104.0 * d.height / d.width, 1.0);
        Decoded t;
        ASSERT_TRUE(DecodeJpegBytes(*store.ReadContent(d, "thumb.jpg"), t));
        EXPECT_EQ(std::max(t.width, t.height), 160);

        if (d.fileType >= kFilePptx) {
            auto entries = ZipEntries(*store.ReadContent(d, "content.bin"));
            ASSERT_FALSE(entries.empty());
            EXPECT_EQ(entries.front(), "[Content_Types].xml");
            const char* part = d.fileType == kFileDocx   ? "word/document.xml"
                               : d.fileType == kFileXlsx ? "xl/workbook.xml"
                                                         : "ppt/presentation.xml";
            EXPECT_NE(std::find(entries.begin(), entries.end(), part), entries.end());
        }
    }
    EXPECT_GT(jpegPages, 20);
    EXPECT_GT(tiffPages, 10);
}

TEST(SampleDevice, GenerationIsDeterministic) {
    TempFolder a;
    TempFolder b;
    std::string error;
    SampleOptions o;
    o.dpi = 20;
    ASSERT_TRUE(WriteSampleDevice(Store(a.Path()), o, error)) << error;
    ASSERT_TRUE(WriteSampleDevice(Store(b.Path()), o, error)) << error;
    size_t files = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(a.Path())) {
        if (!e.is_regular_file())
            continue;
        auto rel = std::filesystem::relative(e.path(), a.Path());
        EXPECT_EQ(ReadAll(e.path().string()), ReadAll((b.Path() / rel).string())) << rel;
        ++files;
    }
    EXPECT_GT(files, 150u);
}

TEST(SampleDevice, EmptyFolderIsFilledAndForeignFolderRefused) {
    TempFolder dir;
    std::string error;
    auto dev = Device::Open(dir.Path() / "new", {}, error);
    ASSERT_TRUE(dev) << error;
    EXPECT_FALSE(dev->Snapshot().documents.empty());

    std::filesystem::create_directories(dir.Path() / "other");
    WriteFileAtomic(dir.Path() / "other" / "notes.txt", std::vector<uint8_t>{'x'});
    EXPECT_FALSE(Device::Open(dir.Path() / "other", {}, error));
    EXPECT_FALSE(error.empty());
    // Nothing was written into the foreign folder.
    EXPECT_FALSE(std::filesystem::exists(dir.Path() / "other" / "device.ini"));
}

TEST(SampleDevice, IdentityOverridesApplyWithoutBeingStored) {
    DeviceFolder folder;
    IdentityOverrides o;
    o.model = 40;
    o.major = 3;
    o.minor = 1;
    auto dev = folder.Open(o);
    ASSERT_TRUE(dev);
    Identity id = dev->GetIdentity();
    EXPECT_EQ(id.identifier, "1.3.6.1.4.1.59731.1.1.1.2.1.40.1");
    EXPECT_EQ(ModelFromIdentifier(id.identifier), 40);
    EXPECT_EQ(DeviceUnit(id.identifier), "1.3.6.1.4.1.59731.1.1.1.2.1.40");
    EXPECT_EQ(dev->Protocol(), 31);
    dev.reset();
    auto again = folder.Open();
    EXPECT_EQ(again->GetIdentity().major, 4);
    EXPECT_EQ(again->Protocol(), 49);  // 4.11: a minor above 9 counts as 9
}

}  // namespace
}  // namespace mfpsim::test
