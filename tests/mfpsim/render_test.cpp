// Renditions: what a client gets for each output type, checked with libjpeg, libtiff
// and structural readers of PDF and zip packages.
#include "tools/mfpsim/lib/render.h"
#include "decode.h"
#include "fixture.h"

namespace mfpsim::test {
namespace {

class RenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        dev_ = folder_.Open();
        ASSERT_TRUE(dev_);
    }
    StoredDocument Load(const std::string& name) {
        StoredDocument s;
        for (const auto& [id, d] : dev_->Snapshot().documents) {
            if (d.name == name)
                s.doc = d;
        }
        EXPECT_FALSE(s.doc.name.empty()) << name;
        for (int p = 1; p <= s.doc.pages; ++p)
            s.pages.push_back(*dev_->GetStore().ReadContent(s.doc, Store::PageFileName(s.doc, p)));
        s.office = dev_->GetStore().ReadContent(s.doc, "content.bin");
        return s;
    }
    std::vector<uint8_t> Out(const StoredDocument& d, int output, int page, bool grey = false,
                             int resolution = 0) {
        std::vector<uint8_t> out;
        EXPECT_EQ(Render(d, {output, page, grey, resolution}, out), 0);
        return out;
    }
    std::vector<TiffPage> Tiff(const std::vector<uint8_t>& bytes) {
        std::vector<TiffPage> pages;
        EXPECT_TRUE(DecodeTiff(bytes, pages));
        return pages;
    }

    DeviceFolder folder_;
    std::unique_ptr<Device> dev_;
};

TEST_F(RenderTest, JpegPagesFromJpegAndBilevelDocuments) {
    StoredDocument invoice = Load("Invoice 2024-001");
    EXPECT_EQ(Out(invoice, kOutJpeg, 2), invoice.pages[1]);  // passed through unchanged
    EXPECT_EQ(Out(invoice, kOutJpeg, 0), invoice.pages[0]);  // no page: the first

    Decoded grey;
    ASSERT_TRUE(DecodeJpegBytes(Out(invoice, kOutJpeg, 1, true), grey));
    EXPECT_EQ(grey.components, 1);
    Decoded half;
    ASSERT_TRUE(DecodeJpegBytes(Out(invoice, kOutJpeg, 1, false, kTestDpi / 2), half));
    EXPECT_EQ(half.width, invoice.doc.width / 2);
    EXPECT_EQ(half.density, kTestDpi / 2);

    StoredDocument contract = Load("Contract");
    Decoded page3;
    ASSERT_TRUE(DecodeJpegBytes(Out(contract, kOutJpeg, 3), page3));
    EXPECT_EQ(page3.width, contract.doc.width);
    EXPECT_EQ(page3.height, contract.doc.height);
    EXPECT_EQ(page3.components, 1);

    std::vector<uint8_t> out;
    EXPECT_EQ(Render(contract, {.output = kOutJpeg, .page = 4}, out), err::kDocFormat);
    EXPECT_EQ(Render(contract, {.output = 42, .page = 1}, out), err::kDocFormat);
}

TEST_F(RenderTest, TiffWholeDocumentsAndSinglePages) {
    StoredDocument contract = Load("Contract");
    std::vector<TiffPage> all = Tiff(Out(contract, kOutTiff, 0));
    ASSERT_EQ(all.size(), 3u);
    for (const TiffPage& p : all) {
        EXPECT_EQ(p.bits, 1);
        EXPECT_EQ(p.compression, COMPRESSION_CCITTFAX4);
        EXPECT_EQ(static_cast<int>(p.width), contract.doc.width);
    }
    EXPECT_EQ(Out(contract, kOutTiff, 2), contract.pages[1]);
    // Decoding the whole file gives the same pixels as the stored single pages.
    std::vector<TiffPage> second = Tiff(contract.pages[1]);
    EXPECT_EQ(all[1].rgba, second[0].rgba);

    StoredDocument invoice = Load("Invoice 2024-001");
    std::vector<TiffPage> colour = Tiff(Out(invoice, kOutTiff, 0));
    ASSERT_EQ(colour.size(), 2u);
    EXPECT_EQ(colour[0].bits, 8);
    EXPECT_EQ(colour[0].compression, COMPRESSION_LZW);
}

TEST_F(RenderTest, PdfXpsAndOfficePackages) {
    StoredDocument brochure = Load("Brochure");
    std::vector<uint8_t> pdf = Out(brochure, kOutPdf, 0);
    EXPECT_EQ(PdfPageCount(pdf), 4);
    std::string text(pdf.begin(), pdf.end());
    EXPECT_NE(text.find("/DCTDecode"), std::string::npos);
    EXPECT_NE(text.find("(Brochure)"), std::string::npos);
    EXPECT_EQ(PdfPageCount(Out(brochure, kOutPdf2, 3)), 1);

    StoredDocument memo = Load("Memo");
    std::vector<uint8_t> mono = Out(memo, kOutPdf, 0);
    EXPECT_EQ(PdfPageCount(mono), 2);
    EXPECT_NE(std::string(mono.begin(), mono.end()).find("/CCITTFaxDecode"), std::string::npos);

    StoredDocument catalogue = Load("Catalogue");
    std::vector<std::string> xps = ZipEntries(Out(catalogue, kOutXps, 0));
    EXPECT_EQ(std::count_if(xps.begin(), xps.end(),
                            [](const std::string& n) {
                                return n.find(".fpage") != std::string::npos &&
                                       n.find("_rels") == std::string::npos;
                            }),
              3);
    EXPECT_NE(std::find(xps.begin(), xps.end(), "FixedDocumentSequence.fdseq"), xps.end());
    // Bilevel pages become JPEG resources in XPS.
    std::vector<std::string> monoXps = ZipEntries(Out(memo, kOutXps2, 0));
    EXPECT_NE(std::find(monoXps.begin(), monoXps.end(), "Resources/2.jpg"), monoXps.end());

    StoredDocument report = Load("Report");
    ASSERT_TRUE(report.office);
    EXPECT_EQ(Out(report, kOutDocx, 0), *report.office);  // the stored package
    std::vector<std::string> sheet = ZipEntries(Out(brochure, kOutXlsx, 0));
    EXPECT_NE(std::find(sheet.begin(), sheet.end(), "xl/worksheets/sheet1.xml"), sheet.end());
}

TEST_F(RenderTest, BoundDocuments) {
    std::vector<StoredDocument> docs = {Load("Brochure"), Load("Memo")};
    std::vector<uint8_t> out;
    ASSERT_EQ(RenderBound(docs, kBindPdf, false, out), 0);
    EXPECT_EQ(PdfPageCount(out), 6);
    ASSERT_EQ(RenderBound(docs, kBindTiff, false, out), 0);
    EXPECT_EQ(Tiff(out).size(), 6u);
    ASSERT_EQ(RenderBound(docs, kBindXps, false, out), 0);
    EXPECT_FALSE(ZipEntries(out).empty());
    EXPECT_EQ(RenderBound(docs, 9, false, out), err::kDocFormat);
    EXPECT_EQ(RenderBound({}, kBindPdf, false, out), err::kBadRequest);
}

}  // namespace
}  // namespace mfpsim::test
