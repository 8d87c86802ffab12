// Documents end to end: the list against the device's state, copy, move, remove with
// and without password, rename, both open forms with the rendered bytes decoded,
// bound downloads, an abort in the middle, and a multi-megabyte stream checked byte
// for byte.
#include <algorithm>
#include <cstring>
#include <tuple>

#include "e2e/synthetic_document.h"
#include "tools/mfpsim/lib/render.h"

namespace vesk::test {
namespace {

using Documents = E2E;

// What the receive-data callback saw of the last stream.
struct Received {
    long long total = -2;
    long long last = 0;
    int chunks = 0;
};
Received g_received;

long __stdcall OnData(tagQTCP_RECVDATA* d) {
    g_received.total = d->llTotal;
    g_received.last = d->llReceived;
    ++g_received.chunks;
    return 0;
}

bool StartsWith(const std::vector<unsigned char>& v, const char* prefix) {
    const size_t n = std::strlen(prefix);
    return v.size() >= n && std::memcmp(v.data(), prefix, n) == 0;
}

TEST_P(Documents, ListMatchesWhatTheDeviceHolds) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    const mfpsim::DeviceState state = Device().State();
    const std::vector<tagUTIL_DOCINFO> docs = DocList();
    size_t expected = 0;
    for (const auto& [id, d] : state.documents)
        expected += d.box == kSharedBox ? 1 : 0;
    ASSERT_EQ(docs.size(), expected);
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

TEST_P(Documents, CopyMoveRemoveAndRenameChangeTheDevice) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    const long invoice = DocId("Invoice 2024-001");
    const long photo = DocId("Photo");
    const long memo = DocId("Memo");
    const long brochure = DocId("Brochure");
    const size_t total = Device().State().documents.size();

    ASSERT_EQ(Core().CopyDocument(invoice, kAliceBox), 1) << ErrorOf(Core()).code;
    ASSERT_EQ(Core().MoveDocument(photo, kAliceBox), 1) << ErrorOf(Core()).code;
    ASSERT_EQ(Core().RemoveDocument(memo), 1) << ErrorOf(Core()).code;
    const std::string newName = "Brochure 2025 \xe2\x80\x93 final";
    ASSERT_EQ(Core().RenameDocument(brochure, newName.c_str(), static_cast<int>(newName.size())), 1)
        << ErrorOf(Core()).code;

    std::vector<tagUTIL_DOCINFO> shared = DocList();
    EXPECT_TRUE(FindDoc(shared, "Invoice 2024-001"));
    EXPECT_FALSE(FindDoc(shared, "Photo"));
    EXPECT_FALSE(FindDoc(shared, "Memo"));
    const tagUTIL_DOCINFO* renamed = FindDoc(shared, newName);
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->lDocID, brochure);

    int flag = -1;
    ASSERT_EQ(Core().BoxLogin(kAliceBox, "", flag), 1);
    std::vector<tagUTIL_DOCINFO> alice = DocList();
    const tagUTIL_DOCINFO* copy = FindDoc(alice, "Invoice 2024-001");
    ASSERT_TRUE(copy);
    EXPECT_NE(copy->lDocID, invoice);
    const tagUTIL_DOCINFO* moved = FindDoc(alice, "Photo");
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->lDocID, photo);

    const mfpsim::DeviceState state = Device().State();
    EXPECT_EQ(state.documents.size(), total);  // one copied, one removed
    EXPECT_EQ(state.documents.at(photo).box, kAliceBox);
    EXPECT_EQ(state.documents.count(memo), 0u);

    // Operations on documents that are not in the open box.
    EXPECT_EQ(Core().RemoveDocument(memo), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_NO_DOCUMENT);
    EXPECT_EQ(Core().CopyDocument(invoice, kSharedBox), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_NO_DOCUMENT);
    EXPECT_EQ(Core().CopyDocument(copy->lDocID, 77), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_NO_BOX);
}

TEST_P(Documents, RemovingAReceivedFaxTakesTheBoxPassword) {
    ASSERT_TRUE(OpenBox(kRxBox, "0000"));
    const long fax = DocId("Fax 0312");
    EXPECT_EQ(Core().RemoveDocument(fax), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_PASSWORD_NEEDED);
    int flag = -1;
    EXPECT_EQ(Core().RemoveDocument2(fax, "1111", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_PASSWORD);
    EXPECT_EQ(flag, 1);
    flag = -1;
    EXPECT_EQ(Core().RemoveDocument2(fax, "", flag), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_BOX_PASSWORD_NEEDED);
    EXPECT_EQ(flag, 1);
    EXPECT_TRUE(FindDoc(DocList(), "Fax 0312"));
    flag = -1;
    ASSERT_EQ(Core().RemoveDocument2(fax, "0000", flag), 1) << ErrorOf(Core()).code;
    EXPECT_EQ(flag, 0);
    EXPECT_FALSE(FindDoc(DocList(), "Fax 0312"));
}

TEST_P(Documents, OpenWithParametersStreamsEachOutputType) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    ASSERT_GE(m_conn.tcpVersion, 32);
    Core().ResetCallbackRecvData(OnData);
    struct Case {
        const char* name;
        int output;
        const char* magic;
    };
    const Case cases[] = {
        {"Brochure", mfpsim::kOutPdf, "%PDF-"},
        {"Contract", mfpsim::kOutTiff, "II*"},
        {"Catalogue", mfpsim::kOutXps, "PK\x03\x04"},
        {"Quarterly Review", mfpsim::kOutPptx, "PK\x03\x04"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const long id = DocId(c.name);
        tagUTIL_OPENDOCPARAM param{};
        param.nOutputType = c.output;
        g_received = {};
        const long long before = Core().GetRoundTripCount();
        ASSERT_EQ(Core().OpenDocument(id, param), 1) << ErrorOf(Core()).code;
        std::vector<unsigned char> data;
        std::string why;
        ASSERT_TRUE(ReadWhole(Core(), data, why)) << why;
        EXPECT_TRUE(StartsWith(data, c.magic));
        EXPECT_EQ(g_received.total, static_cast<long long>(data.size()));
        EXPECT_EQ(g_received.last, static_cast<long long>(data.size()));
        EXPECT_EQ(Core().GetLastStackError(), -1);
        EXPECT_EQ(Core().CloseDocument(0), 1);
        // The open is the only exchange: the data streamed without requests.
        EXPECT_EQ(Core().GetRoundTripCount(), before + 1);
        if (c.output == mfpsim::kOutTiff) {
            EXPECT_EQ(TiffPageCount(data), 3);
        }
    }

    // A grey rendition of a colour page, one page only, as JPEG.
    const std::vector<tagUTIL_DOCINFO> docs = DocList();
    const tagUTIL_DOCINFO* invoice = FindDoc(docs, "Invoice 2024-001");
    ASSERT_TRUE(invoice);
    tagUTIL_OPENDOCPARAM param{};
    param.nOutputType = mfpsim::kOutJpeg;
    param.nPage = 2;
    param.nColor = mfpsim::kColourGrey;
    ASSERT_EQ(Core().OpenDocument(invoice->lDocID, param), 1) << ErrorOf(Core()).code;
    std::vector<unsigned char> jpeg;
    std::string why;
    ASSERT_TRUE(ReadWhole(Core(), jpeg, why)) << why;
    JpegInfo info;
    ASSERT_TRUE(DecodeJpeg(jpeg, info, why)) << why;
    EXPECT_EQ(info.width, invoice->nWidth);
    EXPECT_EQ(info.height, invoice->nHeight);
    EXPECT_EQ(info.components, 1);
    EXPECT_EQ(Core().CloseDocument(0), 1);
}

TEST_P(Documents, OpenByPageAndTypeGivesDecodablePages) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    const std::vector<tagUTIL_DOCINFO> docs = DocList();
    const tagUTIL_DOCINFO* invoice = FindDoc(docs, "Invoice 2024-001");
    ASSERT_TRUE(invoice);
    ASSERT_EQ(invoice->nPageNo, 2);
    for (int page = 1; page <= invoice->nPageNo; ++page) {
        SCOPED_TRACE(page);
        ASSERT_EQ(Core().OpenDocument(invoice->lDocID, page, mfpsim::kOutJpeg), 1)
            << ErrorOf(Core()).code;
        std::vector<unsigned char> jpeg;
        std::string why;
        // Small buffers: many reads per frame.
        ASSERT_TRUE(ReadWhole(Core(), jpeg, why, 1000)) << why;
        EXPECT_EQ(Core().CloseDocument(0), 1);
        JpegInfo info;
        ASSERT_TRUE(DecodeJpeg(jpeg, info, why)) << why;
        EXPECT_EQ(info.width, invoice->nWidth);
        EXPECT_EQ(info.height, invoice->nHeight);
        EXPECT_EQ(info.components, 3);
    }
    // A page the document does not have.
    EXPECT_EQ(Core().OpenDocument(invoice->lDocID, 3, mfpsim::kOutJpeg), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_CONVERSION);
    unsigned char byte = 0;
    EXPECT_EQ(Core().ReadDocument(&byte, 1), -1);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_ERR_STATE);
}

TEST_P(Documents, BoundDownloadJoinsThePagesOfEveryDocument) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    long ids[] = {DocId("Invoice 2024-001"), DocId("Photo"), DocId("Contract")};
    ASSERT_EQ(Core().OpenDocumentWithBind(ids, 3, mfpsim::kBindTiff), 1) << ErrorOf(Core()).code;
    std::vector<unsigned char> tiff;
    std::string why;
    ASSERT_TRUE(ReadWhole(Core(), tiff, why)) << why;
    EXPECT_EQ(Core().CloseDocument(0), 1);
    EXPECT_EQ(TiffPageCount(tiff), 2 + 1 + 3);

    ASSERT_EQ(Core().OpenDocumentWithBind(ids, 2, mfpsim::kBindPdf), 1) << ErrorOf(Core()).code;
    std::vector<unsigned char> pdf;
    ASSERT_TRUE(ReadWhole(Core(), pdf, why)) << why;
    EXPECT_TRUE(StartsWith(pdf, "%PDF-"));
    EXPECT_EQ(Core().CloseDocument(0), 1);

    long missing[] = {ids[0], 9999};
    EXPECT_EQ(Core().OpenDocumentWithBind(missing, 2, mfpsim::kBindPdf), 0);
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_DEV_NO_DOCUMENT);
}

TEST_P(Documents, AbortInTheMiddleKeepsTheSession) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    const long id = DocId("Long scan");
    tagUTIL_OPENDOCPARAM param{};
    param.nOutputType = mfpsim::kOutPdf;
    ASSERT_EQ(Core().OpenDocument(id, param), 1) << ErrorOf(Core()).code;
    std::vector<unsigned char> part(4096);
    ASSERT_EQ(Core().ReadDocument(part.data(), 4096), 4096);
    EXPECT_EQ(Core().CloseDocument(1), 1);
    EXPECT_NE(Core().GetLastStackError(), -1);
    EXPECT_EQ(Core().IsConnected(), 1);

    // The same connection serves the next request and the whole document.
    EXPECT_EQ(DocList().size(), 14u);
    ASSERT_EQ(Core().OpenDocument(id, param), 1) << ErrorOf(Core()).code;
    std::vector<unsigned char> whole;
    std::string why;
    ASSERT_TRUE(ReadWhole(Core(), whole, why)) << why;
    EXPECT_EQ(Core().CloseDocument(0), 1);
    ASSERT_GE(whole.size(), part.size());
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin()));
    EXPECT_EQ(Device().Server().AcceptedConnections(), 1);
}

TEST_P(Documents, MegabyteStreamArrivesByteExactWhateverTheBufferSize) {
    constexpr long long kSize = (5LL << 20) + 777;
    int bigId = 0;
    ASSERT_TRUE(StartDevice(WithSyntheticDocument(kSize, bigId)));
    ASSERT_TRUE(OpenBox(kSharedBox));
    ASSERT_EQ(DocId("Big"), bigId);
    std::vector<unsigned char> expected(static_cast<size_t>(kSize));
    mfpsim::SyntheticContent(0, expected.data(), expected.size());
    Core().ResetCallbackRecvData(OnData);

    for (int buffer : {1 << 20, 100000, (3 << 20) + 5}) {
        SCOPED_TRACE(buffer);
        g_received = {};
        const long long before = Core().GetRoundTripCount();
        tagUTIL_OPENDOCPARAM param{};
        ASSERT_EQ(Core().OpenDocument(bigId, param), 1) << ErrorOf(Core()).code;
        std::vector<unsigned char> data;
        std::string why;
        ASSERT_TRUE(ReadWhole(Core(), data, why, buffer)) << why;
        ASSERT_EQ(data.size(), expected.size());
        EXPECT_TRUE(data == expected);
        EXPECT_EQ(g_received.total, kSize);
        EXPECT_EQ(g_received.last, kSize);
        EXPECT_GT(g_received.chunks, 1);
        EXPECT_EQ(Core().CloseDocument(0), 1);
        EXPECT_EQ(Core().GetRoundTripCount(), before + 1);
    }
}

VESK_E2E_MODES(Documents);

}  // namespace
}  // namespace vesk::test
