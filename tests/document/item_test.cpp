// CVESKDocument as an item: the records a download sends, the attribute bound, the
// format rule, the predicates against devices of each protocol and restriction, and the
// rename on the device.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "box/mfp_box.h"
#include "core/current_tcpcore.h"
#include "document/vesk_document.h"
#include "platform/charset.h"
#include "platform/trace.h"
#include "support/sim_fixture.h"
#include "tcpcore/tcpcore.h"

namespace {

using vesk::test::SimDevice;

template <class T>
bool Same(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

TEST(DocumentItem, SettersKeepTheListingCopyApartFromTheCurrentRecord) {
    std::vector<std::string> trace;
    vesk::SetTraceSink([&](const std::string& s) { trace.push_back(s); });
    CVESKDocument doc;
    EXPECT_EQ(doc.GetOpenDocParam().nColor, 5);
    doc.SetColor(1);
    doc.SetResolution(600);
    EXPECT_EQ(std::tie(doc.GetOpenDocParam().nColor, doc.GetOpenDocParam().nResolution),
              std::make_tuple(1, 600));

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
    const tagUTIL_OPENDOCPARAM& sent = doc.GetOpenDocParam();
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
    const struct {
        int fileType, colorType, format, expected;
    } rows[] = {
        {0, 2, -1, 0}, {0, 2, 10, 0}, {0, 2, 1, 0}, {0, 2, 0, 1}, {1, 0, 0, 0},
        {1, 0, 2, 1},  {2, 0, 0, 0},  {2, 0, 1, 1}, {2, 2, 1, 0}, {2, 2, 0, 1},
        {4, 2, 2, 0},  {4, 2, 4, 1},  {3, 2, 3, 1}, {8, 1, 9, 1},
    };
    for (const auto& r : rows) {
        CVESKDocument doc;
        doc.SetFileType(r.fileType);
        doc.SetColorType(r.colorType);
        EXPECT_EQ(doc.IsDocCompatible(r.format), r.expected)
            << "type " << r.fileType << " colour " << r.colorType << " format " << r.format;
    }
}

// Devices of one protocol and colour policy, each with a user per restriction.
class DocumentOnDevice : public vesk::test::DeviceFixture {
protected:
    // The device item of that kind, logged in as user; null (with a failure) if not.
    CVESKMFPDevice* LoggedIn(int major, int minor, int policy, const char* user) {
        auto& [sim, device] = m_devices[{major, minor, policy}];
        if (!sim) {
            sim = std::make_unique<SimDevice>([=](mfpsim::DeviceState& st) {
                st.identity.major = major;
                st.identity.minor = minor;
                st.identity.mono2ColorPolicy = policy;
                for (const char* name : {"free", "noscan", "nocolour"}) {
                    mfpsim::User u;
                    u.name = u.password = name;
                    st.users[name] = u;
                }
                st.users["noscan"].restrictions[2] = 1;
                st.users["nocolour"].restrictions[mfpsim::kColourRestriction] = 1;
            });
            if (!sim->Start())
                return nullptr;
            device = AddDevice(sim->Port(), ClosedPort());
        }
        device->Disconnect();
        EXPECT_EQ(device->Connect(nullptr, L""), -1051);
        int result = 0;
        const std::wstring name = vesk::Utf8ToWide(user);
        EXPECT_EQ(device->UserLogin(name.c_str(), name.c_str(), nullptr, result), 1) << user;
        return device->GetConnected() == 1 ? device : nullptr;
    }

    std::map<std::tuple<int, int, int>, std::pair<std::unique_ptr<SimDevice>, CVESKMFPDevice*>>
        m_devices;
};

TEST_F(DocumentOnDevice, PredicatesFollowProtocolAndRestrictions) {
    const struct {
        int major, minor;
        const char* user;
        int colorType, encrypted;
        int thumbnail, scan, transfer;
    } rows[] = {
        {3, 0, "noscan", 2, 0, 1, 1, 1},       {3, 1, "noscan", 2, 1, -1055, -1078, 1},
        {3, 1, "nocolour", 3, 0, 1, 1, -1054}, {3, 1, "nocolour", 2, 0, 1, 1, -1054},
        {3, 1, "nocolour", 1, 0, 1, 1, 1},     {3, 1, "free", 3, 0, 1, 1, 1},
        {3, 2, "nocolour", 3, 0, 1, 1, 1},     {3, 2, "noscan", 2, 0, 1, -1078, 1},
    };
    for (const auto& r : rows) {
        CVESKMFPDevice* device = LoggedIn(r.major, r.minor, 0, r.user);
        ASSERT_TRUE(device) << r.major << "." << r.minor << " " << r.user;
        CVESKMFPBox box;
        box.SetDevice(device);
        CVESKDocument doc;
        doc.SetBox(&box);
        doc.SetColorType(r.colorType);
        doc.SetEncrypted(r.encrypted);
        EXPECT_EQ(
            std::make_tuple(doc.CanDisplayDocThumbNail(), doc.CanDocScan(), doc.CanTransferDoc()),
            std::make_tuple(r.thumbnail, r.scan, r.transfer))
            << r.major << "." << r.minor << " " << r.user << " colour " << r.colorType;
        // The same device once it is no longer connected.
        device->Disconnect();
        EXPECT_EQ(
            std::make_tuple(doc.CanDisplayDocThumbNail(), doc.CanDocScan(), doc.CanTransferDoc()),
            std::make_tuple(-1012, -1012, -1012));
    }
    // Without a box or without a device nothing is allowed and nothing is dereferenced.
    CVESKDocument orphan;
    CVESKMFPBox box;
    for (CVESKMFPBox* parent : {static_cast<CVESKMFPBox*>(nullptr), &box}) {
        orphan.SetBox(parent);
        EXPECT_EQ(std::make_tuple(orphan.CanDisplayDocThumbNail(), orphan.CanDocScan(),
                                  orphan.CanTransferDoc(), orphan.GetDefaultDownloadColor()),
                  std::make_tuple(-1012, -1012, -1012, 5));
    }
}

TEST_F(DocumentOnDevice, DefaultDownloadColourFollowsThePolicy) {
    const struct {
        int policy;
        const char* user;
        int colorType, expected;
    } rows[] = {
        {1, "nocolour", 6, 1}, {1, "nocolour", 7, 1}, {1, "nocolour", 3, 5}, {1, "free", 6, 5},
        {0, "nocolour", 6, 5}, {0, "nocolour", 2, 1}, {0, "free", 2, 5},     {2, "nocolour", 2, 5},
    };
    for (const auto& r : rows) {
        CVESKMFPDevice* device = LoggedIn(4, 11, r.policy, r.user);
        ASSERT_TRUE(device);
        CVESKMFPBox box;
        box.SetDevice(device);
        CVESKDocument doc;
        doc.SetBox(&box);
        doc.SetColorType(r.colorType);
        EXPECT_EQ(doc.GetDefaultDownloadColor(), r.expected)
            << "policy " << r.policy << " " << r.user << " colour " << r.colorType;
    }
}

TEST_F(DocumentOnDevice, RenameSendsTheNameCutAtACharacterAndKeepsWhatWasSent) {
    CVESKMFPDevice* device = LoggedIn(4, 11, 0, "free");
    ASSERT_TRUE(device);
    SimDevice& sim = *m_devices.begin()->second.first;
    long id = -1;
    for (const auto& [docId, d] : sim.State().documents)
        if (d.name == "Report")
            id = docId;
    ASSERT_GT(id, 0);
    auto nameOnDevice = [&] { return sim.State().documents.at(id).name; };

    CVESKMFPBox box;
    box.SetDevice(device);
    box.SetItemID(vesk::test::kSharedBox);
    CVESKDocument doc;
    doc.SetBox(&box);
    doc.SetItemID(id);
    doc.SetFileType(8);
    doc.SetItemName(L"Report");
    doc.SetDispDocname(L"Report.docx");
    EXPECT_EQ(doc.RenameItem(L"b", L""), -1009);
    int flag = 0;
    ASSERT_EQ(vesk::GetCurrentTcpCore()->BoxLogin(vesk::test::kSharedBox, "", flag), 1);
    box.SetBoxLogin(1);

    EXPECT_EQ(doc.RenameItem(L"", L""), -1033);
    EXPECT_EQ(nameOnDevice(), "Report");
    ASSERT_EQ(doc.RenameItem(L"b", L""), 1);
    EXPECT_EQ(std::make_tuple(doc.GetItemName(), doc.GetDispDocname(), nameOnDevice()),
              std::make_tuple(CString(L"b"), CString(L"b.docx"), std::string("b")));

    // 1 + 3 x 99 bytes: the cut falls inside the thirtieth ideograph, which is left out.
    const std::wstring asked = L"a" + std::wstring(99, L'\x65E5');
    const std::wstring sent = L"a" + std::wstring(29, L'\x65E5');
    ASSERT_EQ(doc.RenameItem(asked.c_str(), L""), 1);
    EXPECT_EQ(doc.GetItemName(), CString(sent));
    EXPECT_EQ(doc.GetDispDocname(), CString(sent + L".docx"));
    EXPECT_EQ(nameOnDevice(), vesk::WideToUtf8(sent));

    // A type without extension keeps its display name.
    doc.SetFileType(3);
    ASSERT_EQ(doc.RenameItem(L"c", L""), 1);
    EXPECT_EQ(doc.GetDispDocname(), CString(sent + L".docx"));

    doc.SetItemID(id + 100000);
    EXPECT_EQ(doc.RenameItem(L"d", L""), -1031);
    EXPECT_EQ(doc.GetItemName(), L"c");

    CVESKDocument orphan;
    EXPECT_EQ(orphan.RenameItem(L"x", L""), -1012);
}

}  // namespace
