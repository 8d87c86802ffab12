// Thumbnails and printing through the client: the device's refusals of a thumbnail and
// of a print job. Thumbnails read whole and bounded: tests/tcpcore/client_test.cpp; over
// loopback through the item, raw and JPEG: thumbnail_cache_test.cpp; the rendered
// thumbnails: tests/mfpsim/sample_test.cpp. The job the device records:
// tests/device/print_test.cpp.
#include "support/sim_fixture.h"

namespace vesk::test {
namespace {

using Refusals = E2E;

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

VESK_E2E_MODES(Refusals);

}  // namespace
}  // namespace vesk::test
