// Faults end to end: a connection dropped in the middle of a document, a stream the
// device ends with an error, a device that stops answering, and a hostile device
// (malformed frames, streams that break their own account). The client must fail each
// call with the right code, never hang past its time-out, and never read or write
// outside what it was given (the sanitizer build runs these too). Broken thumbnails
// are the client's own matter: tests/tcpcore/client_test.cpp.
#include <algorithm>
#include <tuple>

#include "e2e/synthetic_document.h"
#include "tcpcore/wire.h"
#include "tools/mfpsim/lib/render.h"

namespace vesk::test {
namespace {

namespace tc = vesk::tcpcore;
using Faults = E2E;
using HostileDevice = E2E;

using Clock = std::chrono::steady_clock;

tagUTIL_OPENDOCPARAM AsPdf() {
    tagUTIL_OPENDOCPARAM p{};
    p.nOutputType = mfpsim::kOutPdf;
    return p;
}

TEST_P(Faults, ConnectionDroppedMidDocumentFailsTheReadAndClosesCleanly) {
    constexpr long long kSize = 3 << 20;
    int id = 0;
    ASSERT_TRUE(StartDevice(WithSyntheticDocument(kSize, id)));
    ASSERT_TRUE(OpenBox(kSharedBox));
    // The connection dies about a megabyte into the document, inside a frame.
    mfpsim::FaultConfig drop;
    drop.dropAfterBytes = (1 << 20) + 1000;
    Device().SetFaults(drop);
    ASSERT_EQ(Core().OpenDocument(id, AsPdf()), 1) << ErrorOf(Core()).code;

    std::vector<unsigned char> got, whole;
    std::string why;
    const auto start = Clock::now();
    EXPECT_FALSE(ReadWhole(Core(), got, why, 64 << 10));
    EXPECT_EQ(why.rfind("ReadDocument gave -1 ", 0), 0u) << why;
    EXPECT_LT(SecondsSince(start), 5.0);
    // A connection that ends inside a TLS record has dropped like any other.
    EXPECT_EQ(ErrorOf(Core()).code, QTCP_ERR_CLOSED);
    // What did arrive is the start of the document, and not all of it.
    std::vector<unsigned char> expected(kSize);
    mfpsim::SyntheticContent(0, expected.data(), expected.size());
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(static_cast<long long>(got.size()), kSize);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), expected.begin()));
    // Further reads keep failing; closing is clean and quick in both forms.
    EXPECT_EQ(Core().ReadDocument(got.data(), 10), -1);
    EXPECT_NE(Core().GetLastStackError(), -1);
    EXPECT_EQ(Core().CloseDocument(0), 0);
    EXPECT_EQ(Core().CloseDocument(1), 1);
    EXPECT_EQ(Core().IsConnected(), 0);
    EXPECT_LT(SecondsSince(start), 5.0);

    // The session can be rebuilt and the document read whole, byte for byte.
    Device().ClearFaults();
    int status = -1;
    int colour = -1;
    ASSERT_EQ(Core().ReconnectInfinite(status, colour), 1) << status;
    ASSERT_EQ(Core().OpenDocument(id, AsPdf()), 1) << ErrorOf(Core()).code;
    ASSERT_TRUE(ReadWhole(Core(), whole, why)) << why;
    EXPECT_TRUE(whole == expected);
    EXPECT_EQ(Core().CloseDocument(0), 1);
}

TEST_P(Faults, StreamEndedWithAnErrorReportsTheDeviceCode) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    const long id = DocId("Long scan");
    mfpsim::FaultConfig f;
    f.errors.push_back({"DocStream", 8090, 3, 0, 1});
    Device().SetFaults(f);
    ASSERT_EQ(Core().OpenDocument(id, AsPdf()), 1) << ErrorOf(Core()).code;
    std::vector<unsigned char> part, whole;
    std::string why;
    EXPECT_FALSE(ReadWhole(Core(), part, why));
    EXPECT_EQ(why.rfind("ReadDocument gave -2 ", 0), 0u) << why;
    EXPECT_GT(part.size(), 0u);
    const LastError e = ErrorOf(Core());
    EXPECT_EQ(std::tuple(e.code, e.detail, Core().GetLastStackError()), std::tuple(8090, 3, 8090));
    EXPECT_EQ(Core().CloseDocument(0), 0);
    // The stream ended in step: the session goes on.
    EXPECT_EQ(Core().IsConnected(), 1);
    EXPECT_EQ(DocList().size(), 14u);
    ASSERT_EQ(Core().OpenDocument(id, AsPdf()), 1);
    ASSERT_TRUE(ReadWhole(Core(), whole, why)) << why;
    EXPECT_GT(whole.size(), part.size());
    EXPECT_EQ(Core().GetLastStackError(), -1);
    EXPECT_EQ(Core().CloseDocument(0), 1);
}

long __stdcall CancelAfterAWhile(tagQTCP_COMMSTATE* s) {
    return s->nState == QTCP_STATE_WAITING && s->nElapsedMs > 200 ? 1 : 0;
}

// A device that stays silent, or sends keep-alives for ever, holds a call no longer than
// the receive time-out, the request limit or the caller's cancel.
TEST_P(Faults, SilentDeviceNeverHoldsTheClientPastItsTimeout) {
    struct Case {
        const char* what;
        bool keepAlive;
        int requestLimitMs;
        QTCP_COMMSTATE_CALLBACK cancel;
        int code;
        double atLeast, below;
    };
    // Each keep-alive comes well within the receive time-out; only the limit ends it.
    const Case cases[] = {
        {"silent", false, 0, nullptr, QTCP_ERR_TIMEOUT, 0.45, 3.0},
        {"endless keep-alives", true, 1500, nullptr, QTCP_ERR_TIMEOUT, 1.45, 3.0},
        {"cancelled by the callback", false, 0, CancelAfterAWhile, QTCP_ERR_CANCELLED, 0, 2.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(StartDevice() && OpenBox(kSharedBox));
        mfpsim::FaultConfig f;
        (c.keepAlive ? f.keepAliveOn : f.stallOn) = "DocList";
        f.keepAliveIntervalMs = 100;
        Device().SetFaults(f);
        Core().SetTimeouts(1000, c.cancel ? 10000 : 500);
        Core().SetRequestLimit(c.requestLimitMs);
        Core().SetCallbackCommunicate(c.cancel);
        std::vector<tagUTIL_DOCINFO> docs;
        const auto start = Clock::now();
        EXPECT_EQ(Core().GetDocumentList(docs, 0), 0);
        const double took = SecondsSince(start);
        EXPECT_EQ(ErrorOf(Core()).code, c.code);
        EXPECT_GE(took, c.atLeast);
        EXPECT_LT(took, c.below);
        // A reply still owed leaves the connection unusable.
        EXPECT_TRUE(c.cancel || Core().IsConnected() == 0);
        Core().SetCallbackCommunicate(nullptr);
    }

    // A silent device during Connect: the wait is bounded too (during the query:
    // tests/tcpcore/transport_test.cpp).
    mfpsim::FaultConfig stall;
    // Connect goes out on the connection the query kept: a time-out there is not
    // repeated on a new connection, so a silent device costs one wait, not two.
    stall.stallOn = "Connect";
    Device().SetFaults(stall);
    CTcpCore::SetDefaultTimeouts(2000, 1000);
    std::string why;
    const auto start = Clock::now();
    SimConnection c = ConnectRoad(Mode(), Device().Port(Mode()), why);
    const double took = SecondsSince(start);
    EXPECT_FALSE(c.core);
    EXPECT_NE(why.find("Connect failed with 9004"), std::string::npos) << why;
    EXPECT_GE(took, 0.95);
    EXPECT_LT(took, 1.9);
}

TEST_P(HostileDevice, MalformedRepliesAreRefusedAndTheSessionCanBeRebuilt) {
    ASSERT_TRUE(OpenBox(kSharedBox));
    const mfpsim::MalformedKind kinds[] = {mfpsim::MalformedKind::kGarbage,
                                           mfpsim::MalformedKind::kLength,
                                           mfpsim::MalformedKind::kTruncated};
    int connections = 1;
    for (mfpsim::MalformedKind kind : kinds) {
        SCOPED_TRACE(static_cast<int>(kind));
        mfpsim::FaultConfig f;
        f.malformedOn = "DocList";
        f.malformed = kind;
        Device().SetFaults(f);
        std::vector<tagUTIL_DOCINFO> docs;
        const auto start = Clock::now();
        EXPECT_EQ(Core().GetDocumentList(docs, 0), 0);
        EXPECT_LT(SecondsSince(start), 3.0);
        const int code = ErrorOf(Core()).code;
        if (kind == mfpsim::MalformedKind::kTruncated) {
            EXPECT_EQ(code, QTCP_ERR_CLOSED);
        } else {
            EXPECT_EQ(code, QTCP_ERR_PROTOCOL);
        }
        EXPECT_TRUE(docs.empty());
        EXPECT_EQ(Core().IsConnected(), 0);

        Device().ClearFaults();
        int status = -1;
        int colour = -1;
        ASSERT_EQ(Core().ReconnectInfinite(status, colour), 1) << status;
        // On a new connection, with the user and the box logged in again.
        EXPECT_EQ(std::tuple(status, colour, Core().IsConnected()), std::tuple(0, 0, 1));
        EXPECT_EQ(Device().AcceptedConnections(), ++connections);
        EXPECT_EQ(DocList().size(), 14u);
    }
}

VESK_E2E_MODES(Faults);
VESK_E2E_MODES(HostileDevice);

}  // namespace
}  // namespace vesk::test
