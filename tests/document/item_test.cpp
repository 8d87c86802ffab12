// CVESKDocument as an item: the records a download sends, the attribute bound and the
// format rule (its predicates and rename on a device: on_device_test.cpp).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "document/vesk_document.h"
#include "platform/trace.h"
#include "support/data_table.h"
#include "tcpcore/tcpcore.h"

namespace {

template <class T>
bool Same(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

TEST(DocumentItem, SettersKeepTheListingCopyApartFromTheCurrentRecord) {
    std::vector<std::string> trace;
    vesk::SetTraceSink([&](const std::string& s) { trace.push_back(s); });
    CVESKDocument doc;
    const tagUTIL_OPENDOCPARAM& sent = doc.GetOpenDocParam();
    EXPECT_EQ(sent.nColor, 5);
    doc.SetColor(1);
    doc.SetResolution(600);
    EXPECT_EQ(std::tie(sent.nColor, sent.nResolution), std::make_tuple(1, 600));

    tagUTIL_SPDF_OUTLINEPDF_INFO listedPdf{1, 2, 3, 4}, chosenPdf{0, 9, 0, 9}, pdf{};
    tagUTIL_OFFICE_OPEN_XML_INFO listedXml{1, 2, 3, 4, 5}, chosenXml{}, xml{};
    tagUTIL_EXTENDED_PDF_INFO listedExt{1, 1}, chosenExt{0, 0}, ext{};
    doc.SetOutLinePDFInfo(listedPdf, 1);
    doc.SetOfficeXMLInfo(listedXml, 1);
    doc.SetPDFA_LinearizedInfo(listedExt, 1);
    doc.SetOutLinePDFInfo(chosenPdf, 0);
    doc.SetOfficeXMLInfo(chosenXml, 0);
    doc.SetPDFA_LinearizedInfo(chosenExt, 0);
    EXPECT_EQ(
        doc.GetDefOutlinePDFinfo(pdf) + doc.GetOfficeXMLinfo(xml) + doc.GetLinearizedPDFinfo(ext),
        3);
    EXPECT_TRUE(Same(pdf, listedPdf) && Same(xml, listedXml) && Same(ext, listedExt));
    EXPECT_TRUE(Same(sent.outlinePDFInfo, chosenPdf) && Same(sent.officeXMLInfo, chosenXml) &&
                Same(sent.extendedPDFInfo, chosenExt));
    EXPECT_EQ(doc.GetnSupportLang(), 9);

    doc.SetPassword(L"p");
    EXPECT_EQ(doc.GetPassword(), L"p");
    vesk::SetTraceSink(nullptr);
    EXPECT_EQ(trace, (std::vector<std::string>{"Inside CVESKDocument::SetPassword()",
                                               "Inside CVESKDocument::GetPassword()"}));
}

TEST(DocumentItem, AttributeCountNeverLeavesTheArray) {
    std::vector<tagUTIL_ATTRIBUTEINFO> device(25);
    for (int i = 0; i < 25; ++i)
        device[i] = {i + 1, 1, i};
    for (const auto& [count, kept] : {std::pair{25, 20}, {-4, 0}, {7, 7}}) {
        CVESKDocument doc;
        doc.SetAttributeNum(count);
        EXPECT_EQ(doc.GetAttributeNum(), kept) << count;
        doc.SetAttributeInfo(device.data());
        for (int i = 0; i < QTCP_MAX_ATTRIBUTES; ++i)
            EXPECT_EQ(doc.GetAttributeInfo()[i].nType, i < kept ? i + 1 : 0) << count << " " << i;
    }
}

TEST(DocumentItem, CompatibleFormats) {
    for (const auto& r : vesk::test::DataInts("document/item.tsv", "format")) {
        CVESKDocument doc;
        doc.SetFileType(r[0]);
        doc.SetColorType(r[1]);
        EXPECT_EQ(doc.IsDocCompatible(r[2]), r[3])
            << "type " << r[0] << " colour " << r[1] << " format " << r[2];
    }
}

}  // namespace
