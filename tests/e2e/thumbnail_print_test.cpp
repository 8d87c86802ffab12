// Thumbnails and printing end to end: raw grey rows for format 1, JPEG (decoded here
// with libjpeg) for the others; the device's refusals of a print job. The job the
// device records: tests/device/print_test.cpp.
#include <cstring>
#include <fstream>
#include <iterator>

#include "support/sim_fixture.h"

namespace vesk::test {
namespace {

using Thumbnails = E2E;
using Print = E2E;

std::vector<unsigned char> FileBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), {});
}

std::vector<unsigned char> Thumbnail(CTcpCore& core, long id, int format, int& announced) {
    announced = -1;
    if (core.OpenThumbnail(id, 1, format, announced) != 1) {
        ADD_FAILURE() << "OpenThumbnail failed with " << ErrorOf(core).code;
        return {};
    }
    std::vector<unsigned char> data(static_cast<size_t>(announced));
    int length = -1;
    EXPECT_EQ(core.ReadThumbnail(data.data(), announced, length), 1);
    EXPECT_EQ(length, announced);
    data.resize(static_cast<size_t>(std::max(length, 0)));
    EXPECT_EQ(core.CloseThumbnail(), 1);
    return data;
}

// Format 1 is raw grey rows 104 pixels wide, as the device stores them; the others
// are JPEG, 160 pixels high for portrait pages, the width in proportion.
TEST_P(Thumbnails, FormatOneIsRawGreyRowsAndTheOthersJpeg) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    const std::vector<tagUTIL_DOCINFO> docs = DocList();
    for (const char* name : {"Invoice 2024-001", "Contract", "Memo", "Long scan"}) {
        SCOPED_TRACE(name);
        const tagUTIL_DOCINFO* d = FindDoc(docs, name);
        ASSERT_TRUE(d);
        int announced = 0;
        const std::vector<unsigned char> raw = Thumbnail(Core(), d->lDocID, 1, announced);
        const int rows = (d->nHeight * 104 + d->nWidth / 2) / d->nWidth;
        EXPECT_EQ(announced, 104 * rows);
        const auto stored = FileBytes(Device().Root() / "boxes" / std::to_string(kSharedBox) /
                                      "docs" / std::to_string(d->lDocID) / "thumb.raw");
        EXPECT_TRUE(raw == stored);

        const std::vector<unsigned char> jpeg = Thumbnail(Core(), d->lDocID, 2, announced);
        JpegInfo info;
        std::string why;
        ASSERT_TRUE(DecodeJpeg(jpeg, info, why)) << why;
        EXPECT_EQ(info.height, 160);
        EXPECT_EQ(info.width, 160 * d->nWidth / d->nHeight);
        EXPECT_EQ(info.components, d->nColorType >= 2 ? 3 : 1);
    }
    // Closing twice: nothing is open the second time.
    EXPECT_EQ(Core().CloseThumbnail(), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_ERR_STATE);
}

TEST_P(Thumbnails, RefusedForEncryptedOrMissingDocuments) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    int size = -1;
    EXPECT_EQ(Core().OpenThumbnail(DocId("Sealed"), 1, 2, size), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_FORBIDDEN);
    EXPECT_EQ(Core().OpenThumbnail(9999, 1, 1, size), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_NO_DOCUMENT);
    unsigned char b[4];
    int length = -1;
    EXPECT_EQ(Core().ReadThumbnail(b, sizeof b, length), 0);
    EXPECT_EQ(length, 0);
}

TEST_P(Print, RestrictionsAndBadRangesRefuseTheJob) {
    ASSERT_TRUE(ConnectAs("bob", "bob"));
    int flag = -1;
    ASSERT_EQ(Core().BoxLogin(kSharedBox, "", flag), 1);
    PrintSetting s{};
    s.nCopies = 1;
    // No document set: neither its settings nor a job.
    EXPECT_EQ(Core().GetCurrentSetDocumentPrintSettings(s), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_NOT_OPEN);
    EXPECT_EQ(Core().PrintDocument(s), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_NOT_OPEN);
    // bob may print, but not in colour, and only pages the document has.
    ASSERT_EQ(Core().SetDocument(DocId("Invoice 2024-001")), 1);
    s.nColorMode = 2;
    EXPECT_EQ(Core().PrintDocument(s), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_FORBIDDEN);
    s.nColorMode = 1;
    s.nEndPage = 5;
    EXPECT_EQ(Core().PrintDocument(s), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BAD_REQUEST);
    EXPECT_TRUE(Device().State().jobs.empty());
    s.nEndPage = 0;
    EXPECT_EQ(Core().PrintDocument(s), 1) << ErrorOf(Core()).code;
    const mfpsim::DeviceState state = Device().State();
    ASSERT_EQ(state.jobs.size(), 1u);
    EXPECT_EQ(state.jobs[0].user, "bob");
    EXPECT_EQ(state.jobs[0].colour, 1);
}

VESK_E2E_MODES(Thumbnails);
VESK_E2E_MODES(Print);

}  // namespace
}  // namespace vesk::test
