// Documents through the client: the list against the device's state, a removal that
// takes the box password, both open forms with the rendered bytes decoded, and the
// device's refusals of a thumbnail and of a print job. Copies, moves, renames and bound
// downloads through the items: tests/box/changes_test.cpp, tests/document/item_test.cpp;
// multi-megabyte streams byte for byte: fault_test.cpp and tests/tcpcore/client_test.cpp;
// a stream aborted in the middle: split_frame_test.cpp and tests/tcpcore/client_test.cpp.
// Thumbnails read whole and bounded: tests/tcpcore/client_test.cpp; over loopback through
// the item, raw and JPEG: bitmap_test.cpp; the rendered thumbnails:
// tests/mfpsim/sample_test.cpp. The job the device records: tests/device/print_test.cpp.
#include <algorithm>
#include <tuple>

#include "support/decoded_image.h"
#include "support/sim_fixture.h"
#include "tools/mfpsim/lib/render.h"

namespace vesk::test {
namespace {

using Documents = E2E;
using Refusals = E2E;

TEST_P(Documents, ListMatchesWhatTheDeviceHolds) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    const mfpsim::DeviceState state = Device().State();
    const std::vector<tagUTIL_DOCINFO> docs = DocList();
    ASSERT_EQ(docs.size(), static_cast<size_t>(std::count_if(
                               state.documents.begin(), state.documents.end(),
                               [](const auto& d) { return d.second.box == kSharedBox; })));
    for (const tagUTIL_DOCINFO& r : docs) {
        SCOPED_TRACE(r.szDocName);
        const mfpsim::Document& d = state.documents.at(r.lDocID);
        EXPECT_EQ(d.box, kSharedBox);
        EXPECT_EQ(std::tuple(std::string(r.szDocName), std::string(r.szUserName),
                             std::string(r.szEntryDate), r.nFileType, r.nPageNo, r.nColorType,
                             r.nBitsPerPixel, r.nWidth, r.nHeight, r.nXResolution, r.nEncrypted,
                             r.nAttributeNum),
                  std::tuple(d.name, d.owner, d.entryDate, d.fileType, d.pages, d.colorType,
                             d.bitsPerPixel, d.width, d.height, d.xResolution, d.encrypted,
                             static_cast<int>(d.attributes.size())));
    }
    // Names the device stores with characters a file system would not like.
    EXPECT_TRUE(FindDoc(docs, "a:b <c>&d"));

    int flag = -1;
    ASSERT_EQ(Core().BoxLogin(kAliceBox, "", flag), 1);
    EXPECT_TRUE(FindDoc(DocList(), "\xe8\xa6\x8b\xe7\xa9\x8d\xe6\x9b\xb8"));
}

TEST_P(Documents, RemovingAReceivedFaxTakesTheBoxPassword) {
    ASSERT_TRUE(OpenBox(kRxBox, "0000"));
    const long fax = DocId("Fax 0312");
    EXPECT_EQ(Core().RemoveDocument(fax), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_PASSWORD_NEEDED);
    // The flag says the password was the reason.
    for (const auto& [password, code] : {std::pair<const char*, int>{"1111", QTCP_DEV_BOX_PASSWORD},
                                         {"", QTCP_DEV_BOX_PASSWORD_NEEDED}}) {
        int flag = -1;
        EXPECT_EQ(Core().RemoveDocument2(fax, password, flag), 0);
        EXPECT_EQ(std::pair(ErrorOf(Core()).code, flag), std::pair(code, 1)) << password;
    }
    EXPECT_TRUE(FindDoc(DocList(), "Fax 0312"));
    int flag = -1;
    ASSERT_EQ(Core().RemoveDocument2(fax, "0000", flag), 1) << ErrorOf(Core()).code;
    EXPECT_EQ(flag, 0);
    EXPECT_FALSE(FindDoc(DocList(), "Fax 0312"));
}

// The record form streams without a request per chunk (its progress reports:
// tests/tcpcore/client_test.cpp); the page-and-type form gives decodable pages read with small
// buffers, and nothing for a page the document does not have. Each output type rendered:
// tests/mfpsim/render_test.cpp and, through the item, download_test.cpp.
TEST_P(Documents, BothOpenFormsStreamTheRenditionAsked) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    ASSERT_GE(m_conn.tcpVersion, 32);
    const std::vector<tagUTIL_DOCINFO> docs = DocList();
    const tagUTIL_DOCINFO* contract = FindDoc(docs, "Contract");
    const tagUTIL_DOCINFO* invoice = FindDoc(docs, "Invoice 2024-001");
    ASSERT_TRUE(contract && invoice);
    ASSERT_EQ(invoice->nPageNo, 2);
    tagUTIL_OPENDOCPARAM param{};
    param.nOutputType = mfpsim::kOutTiff;
    const long long before = Core().GetRoundTripCount();
    ASSERT_EQ(Core().OpenDocument(contract->lDocID, param), 1) << ErrorOf(Core()).code;
    std::vector<unsigned char> data;
    std::string why;
    ASSERT_TRUE(ReadWhole(Core(), data, why)) << why;
    EXPECT_EQ(TiffPageCount(data), 3);
    EXPECT_EQ(Core().GetLastStackError(), -1);
    EXPECT_EQ(Core().CloseDocument(0), 1);
    EXPECT_EQ(Core().GetRoundTripCount(), before + 1);  // the open alone

    // A grey rendition of page 2 by record, then each page by page and type.
    param = {};
    param.nOutputType = mfpsim::kOutJpeg;
    param.nPage = 2;
    param.nColor = mfpsim::kColourGrey;
    for (int page = 0; page <= invoice->nPageNo; ++page) {
        SCOPED_TRACE(page);
        ASSERT_EQ(page ? Core().OpenDocument(invoice->lDocID, page, mfpsim::kOutJpeg)
                       : Core().OpenDocument(invoice->lDocID, param),
                  1)
            << ErrorOf(Core()).code;
        std::vector<unsigned char> jpeg;
        // Small buffers: many reads per frame.
        ASSERT_TRUE(ReadWhole(Core(), jpeg, why, 1000)) << why;
        EXPECT_EQ(Core().CloseDocument(0), 1);
        JpegInfo info;
        ASSERT_TRUE(DecodeJpeg(jpeg, info, why)) << why;
        EXPECT_EQ(std::tuple(info.width, info.height, info.components),
                  std::tuple(invoice->nWidth, invoice->nHeight, page ? 3 : 1));
    }
    EXPECT_EQ(Core().OpenDocument(invoice->lDocID, 3, mfpsim::kOutJpeg), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_CONVERSION);
    unsigned char byte = 0;
    EXPECT_EQ(Core().ReadDocument(&byte, 1), -1);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_ERR_STATE);
}

TEST_P(Refusals, ThumbnailsOfSealedOrMissingDocumentsAndPrintJobsBeyondTheUsersRights) {
    ASSERT_TRUE(ConnectAs("bob", "bob"));
    int flag = -1;
    ASSERT_EQ(Core().BoxLogin(kSharedBox, "", flag), 1);
    auto refused = [&](int result, int code) {
        EXPECT_EQ(std::pair(result, ErrorOf(Core()).code), std::pair(0, code));
    };
    int size = -1;
    refused(Core().OpenThumbnail(DocId("Sealed"), 1, 2, size), QTCP_DEV_FORBIDDEN);
    refused(Core().OpenThumbnail(9999, 1, 1, size), QTCP_DEV_NO_DOCUMENT);
    unsigned char b[4];
    int length = -1;
    EXPECT_EQ(Core().ReadThumbnail(b, sizeof b, length), 0);
    EXPECT_EQ(length, 0);
    refused(Core().CloseThumbnail(), QTCP_ERR_STATE);  // nothing is open to close

    PrintSetting s{};
    s.nCopies = 1;
    // No document set: neither its settings nor a job.
    refused(Core().GetCurrentSetDocumentPrintSettings(s), QTCP_DEV_NOT_OPEN);
    refused(Core().PrintDocument(s), QTCP_DEV_NOT_OPEN);
    // bob may print, but not in colour, and only pages the document has.
    ASSERT_EQ(Core().SetDocument(DocId("Invoice 2024-001")), 1);
    s.nColorMode = 2;
    refused(Core().PrintDocument(s), QTCP_DEV_FORBIDDEN);
    s.nColorMode = 1;
    s.nEndPage = 5;
    refused(Core().PrintDocument(s), QTCP_DEV_BAD_REQUEST);
    EXPECT_TRUE(Device().State().jobs.empty());
    s.nEndPage = 0;
    EXPECT_EQ(Core().PrintDocument(s), 1) << ErrorOf(Core()).code;
    const mfpsim::DeviceState state = Device().State();
    ASSERT_EQ(state.jobs.size(), 1u);
    EXPECT_EQ(std::pair(state.jobs[0].user, state.jobs[0].colour),
              std::pair(std::string("bob"), 1));
}

VESK_E2E_MODES(Documents);
VESK_E2E_MODES(Refusals);

}  // namespace
}  // namespace vesk::test
