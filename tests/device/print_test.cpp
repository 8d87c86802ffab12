// Printing a box document through the device item, and the bounds of the format
// support the device reported at connect (its values per protocol: connect_test).
#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "device/item_fixture.h"
#include "tcpcore/tcpcore.h"

namespace {

using vesk::test::SimDevice;

class Print : public vesk::test::ItemFixture {
protected:
    CVESKMFPDevice* Connect(SimDevice& emu) {
        CVESKMFPDevice* d = ItemFixture::Connect(emu, -1051);
        EXPECT_EQ(UserLogin(d, L"alice", L"alice"), 1);
        return d;
    }

    // The first document of the shared box (1).
    static int SharedDocument(SimDevice& emu) {
        for (const auto& [id, doc] : emu.State().documents) {
            if (doc.box == 1 && doc.pages >= 2 && doc.colorType >= 2)
                return id;
        }
        return -1;
    }
};

// Over plain TCP: the transport is the client's concern (the print job over both modes:
// tests/e2e/document_test.cpp).
TEST_F(Print, ChangedSettingsReachTheDeviceUnchanged) {
    SimDevice& emu = Emulator({4, 11, 1});
    CVESKMFPDevice* d = Connect(emu);
    const int doc = SharedDocument(emu);
    ASSERT_GT(doc, 0);
    int refused = 0;
    ASSERT_EQ(d->GetCurTcpCoreObject()->BoxLogin(1, "", refused), 1);

    PrintSetting device{};
    EXPECT_EQ(d->GetDevicePrintSettings(device), 1);
    ASSERT_EQ(d->SetDocumentForPrint(doc), 1);
    PrintSetting settings{};
    ASSERT_EQ(d->GetCurrentDocumentPrintSettings(settings), 1);
    EXPECT_EQ(settings.nColorMode, 2);  // a colour document
    settings.nCopies = 3;
    settings.nColorMode = 1;
    settings.nDuplex = 2;
    settings.nStaple = 1;
    settings.nStartPage = 2;
    settings.nEndPage = 2;
    settings.nReserved[5] = 0x5a5a;
    const PrintSetting sent = settings;
    ASSERT_EQ(d->PrintDocument(settings), 1);

    const std::vector<mfpsim::PrintJob> jobs = emu.State().jobs;
    ASSERT_EQ(jobs.size(), 1u);
    const mfpsim::PrintJob& job = jobs.front();
    EXPECT_EQ(std::tuple(job.document, job.user, job.copies, job.colour, job.duplex, job.startPage,
                         job.endPage),
              std::tuple(doc, "alice", 3, 1, 2, 2, 2));
    ASSERT_EQ(job.settings.size(), sizeof sent);
    EXPECT_EQ(std::memcmp(job.settings.data(), &sent, sizeof sent), 0);
}

TEST_F(Print, DeviceRefusalsComeBackUnchanged) {
    SimDevice& emu = Emulator({4, 11, 1});
    CVESKMFPDevice* d = Connect(emu);
    PrintSetting settings{};
    // No box is open: the library's own answer.
    EXPECT_EQ(d->SetDocumentForPrint(1), 0);
    EXPECT_EQ(d->PrintDocument(settings), 0);
    EXPECT_TRUE(emu.State().jobs.empty());
    int code = 0;
    int detail = 0;
    d->GetCurTcpCoreObject()->GetLastErrorCode(code, detail);
    EXPECT_EQ(code, QTCP_DEV_BOX_NOT_LOGGED_IN);
}

TEST_F(Print, LanguageIndexOutsideTheTableAnswersZero) {
    CVESKMFPDevice* d = Connect(
        Emulator({4, 11, 1}, [](mfpsim::DeviceState& st) { st.identity.languages.assign(31, 7); }));
    EXPECT_EQ(d->GetLangNumSupport(), 31);
    EXPECT_EQ(d->GetLangSupport(0), 7);
    EXPECT_EQ(d->GetLangSupport(30), 7);
    for (int index : {-1, 31, 32, 1000, -2147483647 - 1, 2147483647})
        EXPECT_EQ(d->GetLangSupport(index), 0) << index;
}

TEST_F(Print, NewDeviceItemHasNoFormatsAndNoAttributes) {
    CVESKMFPDevice* d = AddDevice(1, 2);
    EXPECT_EQ(d->GetSendAttrNum(), 0);
    EXPECT_EQ(d->GetPrintAttrNum(), 0);
    EXPECT_NE(d->GetSendAttributeInfo(), nullptr);
    EXPECT_EQ(d->GetSearchPdfSupport(), 0);
    EXPECT_EQ(d->GetLangSupport(0), 0);
    EXPECT_EQ(d->GetSupportedFileFormat(), 0);
    PrintSetting settings{};
    EXPECT_EQ(d->SetDocumentForPrint(1), -1012);
    EXPECT_EQ(d->GetDevicePrintSettings(settings), -1012);
    EXPECT_EQ(d->GetCurrentDocumentPrintSettings(settings), -1012);
    EXPECT_EQ(d->PrintDocument(settings), -1012);
}

}  // namespace
