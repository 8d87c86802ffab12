// CVESKMFPDevice's connection against the emulator over loopback: the order of the
// modes, the ports, which devices are supported, the protocol class, what is asked
// at connect, the login that is needed, and the end of the session.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cache/vesk_cache.h"
#include "core/current_tcpcore.h"
#include "registry/device_registry_file.h"
#include "settings/device_search.h"
#include "support/fake_item.h"
#include "support/sim_fixture.h"
#include "tcpcore/tcpcore.h"

namespace {

using vesk::test::ModelId;
using vesk::test::SimDevice;

class Connection : public vesk::test::DeviceFixture {
protected:
    static void Configure(mfpsim::DeviceState& st, int major, int minor, int model,
                          int userAuth = 0, int accountAuth = 0) {
        st.identity.identifier = ModelId(model);
        st.identity.major = major;
        st.identity.minor = minor;
        st.identity.userAuthType = userAuth;
        st.identity.accountAuthType = accountAuth;
    }

    vesk::DeviceRegistryEntry EntryOf(long id) {
        vesk::DeviceRegistryFile file;
        EXPECT_EQ(file.Load(vesk::DeviceRegistryFile::PathFor(TreeRoot().GetDeviceInfoPath())),
                  vesk::DeviceRegistryFile::LoadResult::Loaded);
        for (const vesk::DeviceRegistryEntry& e : file.ReadEntries()) {
            if (e.id == id)
                return e;
        }
        ADD_FAILURE() << "no entry " << id;
        return {};
    }

    // Waits until the emulator has no connection left (the client hung up).
    static bool Idle(SimDevice& emu) {
        for (int i = 0; i < 200 && emu.Server().ActiveConnections() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return emu.Server().ActiveConnections() == 0;
    }
};

TEST_F(Connection, DeviceWithoutLoginIsConnectedWithWhatItReported) {
    SimDevice emu([](mfpsim::DeviceState& st) { Configure(st, 4, 11, 140); });
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());

    ASSERT_EQ(d->Connect(nullptr, L""), 1);
    EXPECT_EQ(d->GetConnected(), 1);
    EXPECT_EQ(d->IsConnectedViaSSL(), 0);
    EXPECT_EQ(d->GetLastTCPComm(), 0);
    EXPECT_EQ(d->GetDevId(), CString(ModelId(140)));
    EXPECT_EQ(d->GetDevUnit(), L"1.3.6.1.4.1.59731.1.1.1.2.1.140");
    EXPECT_EQ(d->GetMajorVersion(), 4);
    EXPECT_EQ(d->GetMinorVersion(), 11);
    EXPECT_EQ(d->GetTCPVersion(), 49);
    EXPECT_EQ(d->GetUserType(), 0);
    EXPECT_EQ(d->GetAccountType(), 0);
    EXPECT_EQ(d->GetPublicSupport(), 1);
    EXPECT_EQ(d->GetCache()->GetMfpName(), d->GetItemName());
    CTcpCore* core = d->GetCurTcpCoreObject();
    ASSERT_NE(core, nullptr);
    EXPECT_NE(dynamic_cast<CTcpCoreV31*>(core), nullptr);
    EXPECT_EQ(core->IsConnected(), 1);

    EXPECT_EQ(d->Disconnect(), 1);
    EXPECT_EQ(d->GetConnected(), 0);
    EXPECT_EQ(d->GetUserType(), -1);
    EXPECT_EQ(d->GetAccountType(), -1);
    EXPECT_EQ(core->IsConnected(), 0);
    EXPECT_TRUE(Idle(emu));
    // The communication object stays current after the session ends.
    EXPECT_EQ(d->GetCurTcpCoreObject(), core);
    EXPECT_EQ(d->IsConnectedViaSSL(), -1012);
}

// Files handed out by an earlier session go at connect; temporary files too unless
// the user keeps them.
TEST_F(Connection, ConnectClearsTransferredAndTemporaryFiles) {
    SimDevice emu([](mfpsim::DeviceState& st) { Configure(st, 4, 11, 140); });
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    CString trans;
    CString temp;
    ASSERT_EQ(TreeRoot().GetCache()->GetTransFileRootDir(trans), 1);
    ASSERT_EQ(TreeRoot().GetCache()->GetTempFileRootDir(temp), 1);
    const std::filesystem::path transFile = std::filesystem::path(trans.str()) / "a" / "old.pdf";
    const std::filesystem::path tempFile = std::filesystem::path(temp.str()) / "b" / "page.bmp";
    for (int deleteType : {1, 0}) {
        SCOPED_TRACE(deleteType);
        vesk::test::WriteBytes(transFile, "x");
        vesk::test::WriteBytes(tempFile, "y");
        ASSERT_EQ(TreeRoot().GetCache()->SetDeleteType(deleteType), 1);
        ASSERT_EQ(d->Connect(nullptr, L""), 1);
        EXPECT_FALSE(std::filesystem::exists(transFile));
        EXPECT_EQ(std::filesystem::exists(tempFile), deleteType != 0);
        EXPECT_TRUE(std::filesystem::exists(trans.str()));
    }
}

TEST_F(Connection, SslIsTriedFirstAfterAnSslSuccessAndThePlainPortComesBack) {
    SimDevice emu([](mfpsim::DeviceState& st) { Configure(st, 4, 11, 140); });
    ASSERT_TRUE(emu.Start(true, true));
    CVESKMFPDevice* d = AddDevice(emu.Port(), emu.TlsPort(), 1);

    ASSERT_EQ(d->Connect(nullptr, L""), 1);
    // Both modes would work: only trying SSL first ends in SSL.
    EXPECT_EQ(d->IsConnectedViaSSL(), 1);
    EXPECT_EQ(d->GetTCPMode(), 1);
    EXPECT_EQ(d->GetPortNo(), emu.Port());
    EXPECT_EQ(d->GetSSLPortNo(), emu.TlsPort());
    EXPECT_FALSE(d->GetCurTcpCoreObject()->GetNegotiatedTlsVersion().empty());

    // The registry file keeps the plain port and the mode that worked.
    EXPECT_EQ(d->Disconnect(), 1);
    vesk::DeviceRegistryEntry e = EntryOf(d->GetItemID());
    EXPECT_EQ(e.port, emu.Port());
    EXPECT_EQ(e.portSSL, emu.TlsPort());
    EXPECT_EQ(e.lastTCPComm, 1);
}

TEST_F(Connection, TheOtherModeIsTriedWhenTheFirstFindsNoDevice) {
    SimDevice emu([](mfpsim::DeviceState& st) { Configure(st, 4, 11, 140); });
    ASSERT_TRUE(emu.Start(true, true));

    // SSL remembered, but nothing listens on the SSL port: plain follows.
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort(), 1);
    ASSERT_EQ(d->Connect(nullptr, L""), 1);
    EXPECT_EQ(d->IsConnectedViaSSL(), 0);
    EXPECT_EQ(d->GetLastTCPComm(), 0);
    EXPECT_EQ(d->Disconnect(), 1);

    // Nothing remembered: plain first, then SSL, and the plain port stays the plain one.
    const int closed = ClosedPort();
    CVESKMFPDevice* e = AddDevice(closed, emu.TlsPort(), -1);
    ASSERT_EQ(e->Connect(nullptr, L""), 1);
    EXPECT_EQ(e->IsConnectedViaSSL(), 1);
    EXPECT_EQ(e->GetPortNo(), closed);
    EXPECT_EQ(e->Disconnect(), 1);

    // Neither mode reaches a device: the last failure, and the ports as they were.
    CVESKMFPDevice* f = AddDevice(closed, ClosedPort(), 0);
    const int ssl = f->GetSSLPortNo();
    EXPECT_EQ(f->Connect(nullptr, L""), -1004);
    EXPECT_EQ(f->GetPortNo(), closed);
    EXPECT_EQ(f->GetSSLPortNo(), ssl);
    EXPECT_EQ(f->GetLastTCPComm(), 0);
    EXPECT_EQ(f->GetConnected(), 0);
}

TEST_F(Connection, NoSecondModeOnceTheDeviceAnswered) {
    // A 3.x model the item does not support: the answer came in plain mode, so the
    // SSL port is not tried although a device listens there.
    SimDevice emu([](mfpsim::DeviceState& st) { Configure(st, 3, 5, 170); });
    ASSERT_TRUE(emu.Start(true, true));
    CVESKMFPDevice* d = AddDevice(emu.Port(), emu.TlsPort(), -1);
    EXPECT_EQ(d->Connect(nullptr, L""), -1012);
    EXPECT_EQ(d->GetDevOpened(), 1);
    EXPECT_EQ(emu.Server().AcceptedConnections(), 1);
    EXPECT_EQ(d->GetLastTCPComm(), -1);
    EXPECT_EQ(d->GetConnected(), 0);

    // The same from SSL first: no plain attempt, and the plain port is back.
    CVESKMFPDevice* e = AddDevice(emu.Port(), emu.TlsPort(), 1);
    EXPECT_EQ(e->Connect(nullptr, L""), -1012);
    EXPECT_EQ(emu.Server().AcceptedConnections(), 2);
    EXPECT_EQ(e->GetPortNo(), emu.Port());
}

TEST_F(Connection, AnIdentifierWithTwelveDotsHasNoDeviceUnit) {
    SimDevice emu([](mfpsim::DeviceState& st) {
        Configure(st, 4, 11, 140);
        st.identity.identifier = "1.3.6.1.4.1.59731.1.1.1.2.1.140";
    });
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    EXPECT_EQ(d->Connect(nullptr, L""), -1014);
    EXPECT_EQ(d->GetDevId(), L"1.3.6.1.4.1.59731.1.1.1.2.1.140");
    EXPECT_TRUE(d->GetDevUnit().IsEmpty());
    EXPECT_EQ(emu.Server().AcceptedConnections(), 1);
}

TEST_F(Connection, ModelsFrom169AreRefusedOnProtocol3Only) {
    struct Case {
        int major, minor, model, expected;
    };
    const Case cases[] = {
        {3, 5, 169, -1012}, {3, 9, 300, -1012}, {3, 5, 168, -1051},
        {4, 0, 169, -1051}, {2, 0, 169, -1012},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor << " model " << c.model);
        SimDevice emu(
            [&](mfpsim::DeviceState& st) { Configure(st, c.major, c.minor, c.model, 1, 0); });
        ASSERT_TRUE(emu.Start());
        CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
        EXPECT_EQ(d->Connect(nullptr, L""), c.expected);
    }
}

TEST_F(Connection, BelowVersion411TheFilterMustAcceptTheIdentifier) {
    // The filter accepts only the second family.
    WriteFilter("OIDInclude = 1.3.6.1.4.1.59731.1.2.1.2.1.*.*\n");
    struct Case {
        int major, minor;
        bool secondFamily;
        int expected;
    };
    const Case cases[] = {
        {4, 10, false, -1012}, {4, 10, true, -1051}, {4, 11, false, -1051},
        {3, 5, false, -1012},  {3, 5, true, -1051},  {5, 0, false, -1051},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.major << "." << c.minor << " second family " << c.secondFamily);
        SimDevice emu([&](mfpsim::DeviceState& st) {
            Configure(st, c.major, c.minor, 140, 1, 0);
            st.identity.identifier = ModelId(140, c.secondFamily);
        });
        ASSERT_TRUE(emu.Start());
        CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
        EXPECT_EQ(d->Connect(nullptr, L""), c.expected);
    }

    // Without a filter file no older device is accepted; a changed file counts at once.
    SimDevice emu([](mfpsim::DeviceState& st) { Configure(st, 4, 10, 140, 1, 0); });
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    WriteFilter("");
    EXPECT_EQ(d->Connect(nullptr, L""), -1012);
    WriteFilter(
        "OIDInclude = 1.3.6.1.4.1.59731.1.1.1.2.1.*.*\n"
        "OIDExclude = 1.3.6.1.4.1.59731.1.1.1.2.1.140.1\n");
    EXPECT_EQ(d->Connect(nullptr, L""), -1012);
    WriteFilter("OIDInclude = 1.3.6.1.4.1.59731.1.1.1.2.1.*.*\n");
    EXPECT_EQ(d->Connect(nullptr, L""), -1051);

    // The filter file the root's search is told to read is the one that counts.
    const std::filesystem::path own = IsolatedEnv::Root() / "own-filter.conf";
    std::ofstream(own) << "OIDInclude = 1.3.6.1.4.1.59731.1.2.1.2.1.*.*\n";
    TreeRoot().GetDeviceSearch()->SetFilterFilePath(CString(own.wstring()));
    EXPECT_EQ(d->Connect(nullptr, L""), -1012);
}

TEST_F(Connection, ProtocolClassFollowsVersionAndMemoryOptionModels) {
    struct Case {
        int major, minor, model;
        bool dmiop;
        int tcpVersion;
    };
    const Case cases[] = {
        {3, 1, 42, false, 31}, {3, 1, 39, true, 31},   {3, 1, 41, true, 31},
        {3, 1, 38, true, 31},  {3, 1, 37, true, 31},   {3, 2, 39, false, 32},
        {3, 0, 39, false, 30}, {2, 5, 140, false, 25}, {4, 3, 140, false, 43},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor << " model " << c.model);
        SimDevice emu(
            [&](mfpsim::DeviceState& st) { Configure(st, c.major, c.minor, c.model, 0, 0); });
        ASSERT_TRUE(emu.Start());
        CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
        ASSERT_EQ(d->Connect(nullptr, L""), 1);
        CTcpCore* core = d->GetCurTcpCoreObject();
        EXPECT_EQ(dynamic_cast<CTcpCoreV31DMiOP*>(core) != nullptr, c.dmiop);
        EXPECT_EQ(dynamic_cast<CTcpCoreV31*>(core) != nullptr, c.tcpVersion >= 31);
        EXPECT_EQ(d->GetTCPVersion(), c.tcpVersion);
        EXPECT_EQ(core->GetTcpVersion(), c.tcpVersion);
        EXPECT_EQ(d->Disconnect(), 1);
    }
}

// What the connect asks depends on the protocol number: values below a threshold
// stay as they were, and nothing is asked that the device has not announced (each
// such question would cost a round trip of its own).
TEST_F(Connection, ProtocolNumberDecidesTheInquiries) {
    struct Case {
        int major, minor, tcpVersion;
    };
    const Case cases[] = {{2, 5, 25}, {3, 1, 31}, {3, 2, 32}, {3, 3, 33}, {3, 4, 34}, {3, 9, 39},
                          {4, 0, 40}, {4, 2, 42}, {4, 3, 43}, {4, 4, 44}, {4, 8, 48}, {4, 9, 49}};
    long long roundTrips = -1;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor);
        SimDevice emu([&](mfpsim::DeviceState& st) {
            Configure(st, c.major, c.minor, 140, 0, 0);
            mfpsim::Identity& id = st.identity;
            id.hddCount = 3;
            id.rxSecured = 1;
            id.boxCreate = 1;
            id.boxEdit = 0;
            id.boxDelete = 1;
            id.autoDelTimePermission = 1;
            id.mono2ColorPolicy = 2;
            id.ioption = 5;
            id.searchablePdf = 1;
            id.languages = {4, 5, 6};
            id.officeSupport = 1;
            id.pdfA = 1;
            id.linearizedPdf = 1;
            id.supportedFileFormat = 0x155;
            id.enhancedSecurity = 1;
        });
        ASSERT_TRUE(emu.Start());
        CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
        ASSERT_EQ(d->Connect(nullptr, L""), 1);
        const int v = c.tcpVersion;
        ASSERT_EQ(d->GetTCPVersion(), v);
        EXPECT_EQ(d->GetStoredRXDataSecured(), v >= 43 ? 1 : 0);
        EXPECT_EQ(d->GetHardDiskCount(), v >= 34 ? 3 : -1);
        EXPECT_EQ(d->GetBoxCreatePermission(), v >= 32 ? 1 : 0);
        EXPECT_EQ(d->GetBoxDeletePermission(), v >= 32 ? 1 : 0);
        EXPECT_EQ(d->GetBoxEditPermission(), 0);
        EXPECT_EQ(d->GetBoxAutoDeletTimePermission(), v >= 32 ? 1 : 0);
        EXPECT_EQ(d->GetMono2DocOutputPolicy(), v >= 32 ? 2 : 0);
        EXPECT_EQ(d->GetIOption(), 5);
        EXPECT_EQ(d->GetSearchPdfSupport(), v >= 33 ? 1 : 0);
        EXPECT_EQ(d->GetLangNumSupport(), v >= 33 ? 3 : 0);
        EXPECT_EQ(d->GetLangSupport(1), v >= 33 ? 5 : 0);
        EXPECT_EQ(d->GetOpenOfcSupport(), v >= 40 ? 1 : 0);
        EXPECT_EQ(d->GetPDFASupport(), v >= 40 ? 1 : 0);
        EXPECT_EQ(d->GetSupportedFileFormat(), v >= 44 ? 0x155 : 0);
        EXPECT_EQ(d->IsEnhancedSecurityModeEnabled(), v >= 49 ? 1 : 0);

        const long long trips = d->GetCurTcpCoreObject()->GetRoundTripCount();
        if (roundTrips < 0)
            roundTrips = trips;
        EXPECT_EQ(trips, roundTrips) << "a value was asked that the device did not announce";
        EXPECT_EQ(d->Disconnect(), 1);
    }
}

TEST_F(Connection, A44DeviceWithoutDisksIsRefusedAndItsSessionEnded) {
    for (int minor : {3, 4}) {
        SCOPED_TRACE(minor);
        SimDevice emu([&](mfpsim::DeviceState& st) {
            Configure(st, 4, minor, 140, 0, 0);
            st.identity.hddCount = 0;
        });
        ASSERT_TRUE(emu.Start());
        CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
        const int result = d->Connect(nullptr, L"");
        EXPECT_EQ(d->GetHardDiskCount(), 0);
        if (minor == 3) {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(d->Disconnect(), 1);
            continue;
        }
        EXPECT_EQ(result, -1082);
        EXPECT_EQ(d->GetConnected(), 0);
        EXPECT_EQ(d->GetCurTcpCoreObject()->IsConnected(), 0);
        EXPECT_TRUE(Idle(emu));
    }
}

TEST_F(Connection, ResultTellsWhichLoginIsNeeded) {
    struct Case {
        int userAuth, accountAuth, expected, connected;
    };
    const Case cases[] = {
        {0, 0, 1, 1},     {0, 4, 1, 1},     {0, 2, -1052, 0}, {0, 6, -1052, 0},
        {1, 0, -1051, 0}, {7, 0, -1051, 0}, {3, 0, -1064, 0}, {8, 0, -1051, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "user " << c.userAuth << " account " << c.accountAuth);
        SimDevice emu(
            [&](mfpsim::DeviceState& st) { Configure(st, 4, 11, 140, c.userAuth, c.accountAuth); });
        ASSERT_TRUE(emu.Start());
        CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
        EXPECT_EQ(d->Connect(nullptr, L""), c.expected);
        EXPECT_EQ(d->GetConnected(), c.connected);
        EXPECT_EQ(d->GetUserType(), c.userAuth);
        EXPECT_EQ(d->GetAccountType(), c.accountAuth);
        EXPECT_EQ(d->GetLastTCPComm(), 0);
        // A session waiting for its login is still the device's session.
        EXPECT_EQ(d->GetCurTcpCoreObject()->IsConnected(), 1);
    }
}

TEST_F(Connection, ConnectEndsTheSessionsOfTheOtherDevices) {
    SimDevice first([](mfpsim::DeviceState& st) { Configure(st, 4, 11, 140); });
    SimDevice second([](mfpsim::DeviceState& st) { Configure(st, 4, 11, 141); });
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(second.Start());
    CVESKMFPDevice* a = AddDevice(first.Port(), ClosedPort());
    CVESKMFPDevice* b = AddDevice(second.Port(), ClosedPort());

    ASSERT_EQ(a->Connect(nullptr, L""), 1);
    CTcpCore* old = a->GetCurTcpCoreObject();
    ASSERT_EQ(b->Connect(nullptr, L""), 1);
    EXPECT_EQ(a->GetConnected(), 0);
    EXPECT_EQ(a->GetUserType(), -1);
    EXPECT_EQ(b->GetConnected(), 1);
    EXPECT_NE(b->GetCurTcpCoreObject(), old);
    // The first device was told goodbye on its own session.
    EXPECT_TRUE(Idle(first));
    for (const std::string& line : TraceLines())
        EXPECT_EQ(line.find("Disconnect failed"), std::string::npos) << line;
    EXPECT_EQ(second.Server().ActiveConnections(), 1);

    // Connecting a device again ends its own session first.
    ASSERT_EQ(b->Connect(nullptr, L""), 1);
    EXPECT_EQ(b->GetConnected(), 1);
}

TEST_F(Connection, DisconnectWritesTheLastLoginAndDropsTheBoxes) {
    SimDevice emu([](mfpsim::DeviceState& st) { Configure(st, 4, 11, 140, 1, 0); });
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());

    // Nothing was ever connected: no communication object to end a session on.
    EXPECT_EQ(d->Disconnect(), 0);

    TreeRoot().SetSaveUserName(1);
    TreeRoot().SetSaveAccountName(0);
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    int result = 0;
    ASSERT_EQ(d->UserLogin(L"alice", L"alice", nullptr, result), 1);
    d->SetLastAccountName(L"sales");
    d->GetItemList()->AddTail(new vesk::test::FakeItem);
    d->GetItemList()->AddTail(new vesk::test::FakeItem);
    d->SetBoxLogin(1);

    EXPECT_EQ(d->Disconnect(), 1);
    EXPECT_TRUE(d->GetItemList()->IsEmpty());
    EXPECT_EQ(d->GetBoxLogin(), 0);
    EXPECT_EQ(d->GetLastUserName(), L"alice");
    EXPECT_TRUE(d->GetLastAccountName().IsEmpty());
    EXPECT_EQ(d->GetLastUserType(), 1);
    vesk::DeviceRegistryEntry e = EntryOf(d->GetItemID());
    EXPECT_EQ(e.lastUserName, L"alice");
    EXPECT_TRUE(e.lastAccountName.IsEmpty());
    EXPECT_EQ(e.lastUserType, 1);
    EXPECT_EQ(e.lastAccountType, 0);
    EXPECT_EQ(e.lastTCPComm, 0);

    // Without the option the user name is not kept either.
    TreeRoot().SetSaveUserName(0);
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    ASSERT_EQ(d->UserLogin(L"bob", L"bob", nullptr, result), 1);
    EXPECT_EQ(d->Disconnect(), 1);
    EXPECT_TRUE(EntryOf(d->GetItemID()).lastUserName.IsEmpty());
}

TEST_F(Connection, DisconnectEndsTheSessionEvenWhenTheWriteBackFails) {
    SimDevice emu([](mfpsim::DeviceState& st) { Configure(st, 4, 11, 140, 1, 0); });
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    int result = 0;
    ASSERT_EQ(d->UserLogin(L"alice", L"alice", nullptr, result), 1);
    d->GetItemList()->AddTail(new vesk::test::FakeItem);
    d->SetBoxLogin(1);

    // The registry file cannot be loaded: a folder stands in its place.
    const std::filesystem::path file(
        vesk::DeviceRegistryFile::PathFor(TreeRoot().GetDeviceInfoPath()).str());
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_EQ(d->Disconnect(), -1018);
    EXPECT_EQ(d->GetConnected(), 0);
    EXPECT_TRUE(d->GetItemList()->IsEmpty());
    EXPECT_EQ(d->GetBoxLogin(), 0);
    EXPECT_EQ(d->GetUserType(), -1);
    EXPECT_EQ(d->GetAccountType(), -1);
}

TEST_F(Connection, ReconnectReopensADroppedSession) {
    SimDevice emu([](mfpsim::DeviceState& st) { Configure(st, 4, 11, 140); });
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    EXPECT_EQ(d->Reconnect(), 0);  // never connected
    ASSERT_EQ(d->Connect(nullptr, L""), 1);
    EXPECT_EQ(d->Reconnect(), 1);

    // The device drops the connection in the middle of a call.
    mfpsim::FaultConfig drop;
    drop.dropOn = "BoxList";
    emu.Engine()->GetFaults().Set(drop);
    std::vector<tagUTIL_BOXINFO> boxes;
    CTcpCore* core = d->GetCurTcpCoreObject();
    EXPECT_EQ(core->GetBoxList(boxes), 0);
    EXPECT_EQ(core->IsConnected(), 0);
    EXPECT_EQ(d->Reconnect(), 1);
    EXPECT_EQ(core->IsConnected(), 1);

    // Gone for good: the reconnect fails, and the disconnect still ends the item's
    // session although the library has none left to end.
    EXPECT_EQ(core->GetBoxList(boxes), 0);
    emu.Stop();
    EXPECT_EQ(d->Reconnect(), 0);
    EXPECT_EQ(d->Disconnect(), -1021);
    EXPECT_EQ(d->GetConnected(), 0);
    EXPECT_EQ(d->GetUserType(), -1);
    EXPECT_EQ(d->Reconnect(), 0);
}

TEST_F(Connection, VersionWithoutProtocolClassLeavesNoCommunicationObject) {
    SimDevice emu([](mfpsim::DeviceState& st) { Configure(st, 10, 0, 140); });
    ASSERT_TRUE(emu.Start(true, true));
    CVESKMFPDevice* d = AddDevice(emu.Port(), emu.TlsPort(), -1);
    EXPECT_EQ(d->Connect(nullptr, L""), -1066);
    EXPECT_EQ(d->GetCurTcpCoreObject(), nullptr);
    EXPECT_EQ(emu.Server().AcceptedConnections(), 1);
    EXPECT_EQ(d->Disconnect(), 0);
}

TEST_F(Connection, EmptyAddressOrNameIsRefused) {
    SimDevice emu([](mfpsim::DeviceState& st) { Configure(st, 4, 11, 140); });
    ASSERT_TRUE(emu.Start());
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    d->SetDevAddress(L"");
    EXPECT_EQ(d->Connect(nullptr, L""), -1013);
    d->SetDevAddress(L"127.0.0.1");
    d->SetItemName(L"");
    EXPECT_EQ(d->Connect(nullptr, L""), -1017);
    EXPECT_EQ(d->GetConnected(), 0);
}

}  // namespace
