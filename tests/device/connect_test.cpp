// CVESKMFPDevice's connection against the emulator over loopback: the order of the
// modes, the ports, which devices are supported, the protocol class, what is asked
// at connect, the login that is needed, and the end of the session.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "cache/vesk_cache.h"
#include "device/item_fixture.h"
#include "registry/device_registry_file.h"
#include "root/registry_entry_print.h"
#include "settings/device_search.h"
#include "support/data_table.h"
#include "support/fake_item.h"
#include "tcpcore/tcpcore.h"

namespace {

using vesk::test::ModelId;
using vesk::test::Reported;
using vesk::test::SimDevice;

class Connection : public vesk::test::ItemFixture {
protected:
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
        for (int i = 0; i < 200 && emu.ActiveConnections() > 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return emu.ActiveConnections() == 0;
    }
};

TEST_F(Connection, DeviceWithoutLoginIsConnectedWithWhatItReported) {
    SimDevice& emu = Emulator({});
    CVESKMFPDevice* d = Connect(emu, 1);
    EXPECT_EQ(StateOf(d), (State{1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::tuple(d->GetDevId(), d->GetDevUnit(), d->GetMajorVersion(), d->GetMinorVersion(),
                         d->GetPublicSupport(), d->GetCache()->GetMfpName()),
              std::tuple(CString(ModelId(140)), CString(L"1.3.6.1.4.1.59731.1.1.1.2.1.140"), 4, 11,
                         1, d->GetItemName()));
    CTcpCore* core = d->GetCurTcpCoreObject();
    ASSERT_NE(core, nullptr);
    EXPECT_EQ(core->IsConnected(), 1);

    EXPECT_EQ(d->Disconnect(), 1);
    EXPECT_EQ(StateOf(d), Ended());
    EXPECT_EQ(core->IsConnected(), 0);
    EXPECT_TRUE(Idle(emu));
    // The communication object stays current after the session ends.
    EXPECT_EQ(d->GetCurTcpCoreObject(), core);
}

// The result tells which login is needed; the version and model decide whether the
// device is supported at all, and which protocol class and number the item uses.
TEST_F(Connection, ResultFollowsVersionModelAndLoginTypes) {
    // The cases are in tests/data/device/connect.tsv.
    for (const std::vector<int>& v : vesk::test::DataInts("device/connect.tsv", "result")) {
        const Reported r{v[0], v[1], v[2], v[3], v[4]};
        const int expected = v[5], tcpVersion = v[6];  // tcpVersion 0: not checked
        SCOPED_TRACE(testing::Message() << r.major << "." << r.minor << " model " << r.model
                                        << " user " << r.userAuth << " account " << r.accountAuth);
        CVESKMFPDevice* d = Connect(r, expected);
        if (expected == -1012)
            continue;
        const long connected = expected == 1;
        EXPECT_EQ(StateOf(d),
                  (State{connected, connected ? 0 : -1012, 0, r.userAuth, r.accountAuth, 0, 0}));
        // A session waiting for its login is still the device's session.
        CTcpCore* core = d->GetCurTcpCoreObject();
        EXPECT_EQ(core->IsConnected(), 1);
        if (tcpVersion != 0) {
            EXPECT_EQ(d->GetTCPVersion(), tcpVersion);
            EXPECT_EQ(core->GetTcpVersion(), tcpVersion);
            EXPECT_EQ(dynamic_cast<CTcpCoreV31*>(core) != nullptr, tcpVersion >= 31);
            EXPECT_EQ(dynamic_cast<CTcpCoreV31DMiOP*>(core) != nullptr, v[7] != 0);
        }
        EXPECT_EQ(d->Disconnect(), 1);
    }
}

// Files handed out by an earlier session go at connect; temporary files too unless
// the user keeps them.
TEST_F(Connection, ConnectClearsTransferredAndTemporaryFiles) {
    SimDevice& emu = Emulator({});
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
    SimDevice& emu = Emulator({}, {}, true, true);
    CVESKMFPDevice* d = Connect(emu, 1, 1);
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
    SimDevice& emu = Emulator({}, {}, true, true);

    // SSL remembered, but nothing listens on the SSL port: plain follows.
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort(), 1);
    ASSERT_EQ(d->Connect(nullptr, L""), 1);
    EXPECT_EQ(StateOf(d), (State{1, 0, 0, 0, 0, 0, 0}));
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
    SimDevice& emu = Emulator({3, 5, 0, 0, 170}, {}, true, true);
    CVESKMFPDevice* d = Connect(emu, -1012);
    EXPECT_EQ(d->GetDevOpened(), 1);
    EXPECT_EQ(emu.AcceptedConnections(), 1);
    EXPECT_EQ(d->GetLastTCPComm(), -1);
    EXPECT_EQ(d->GetConnected(), 0);

    // The same from SSL first: no plain attempt, and the plain port is back.
    CVESKMFPDevice* e = Connect(emu, -1012, 1);
    EXPECT_EQ(emu.AcceptedConnections(), 2);
    EXPECT_EQ(e->GetPortNo(), emu.Port());

    // A version with no protocol class: no communication object is left.
    SimDevice& future = Emulator({10, 0}, {}, true, true);
    CVESKMFPDevice* f = Connect(future, -1066);
    EXPECT_EQ(f->GetCurTcpCoreObject(), nullptr);
    EXPECT_EQ(future.AcceptedConnections(), 1);
    EXPECT_EQ(f->Disconnect(), 0);
}

TEST_F(Connection, UnusableIdentifierAddressOrNameIsRefused) {
    // Twelve dots: no device unit.
    const char* twelve = "1.3.6.1.4.1.59731.1.1.1.2.1.140";
    SimDevice& emu =
        Emulator({}, [&](mfpsim::DeviceState& st) { st.identity.identifier = twelve; });
    CVESKMFPDevice* d = Connect(emu, -1014);
    EXPECT_EQ(d->GetDevId(), CString(twelve));
    EXPECT_TRUE(d->GetDevUnit().IsEmpty());
    EXPECT_EQ(emu.AcceptedConnections(), 1);

    CVESKMFPDevice* e = AddDevice(Emulator({}).Port(), ClosedPort());
    e->SetDevAddress(L"");
    EXPECT_EQ(e->Connect(nullptr, L""), -1013);
    e->SetDevAddress(L"127.0.0.1");
    e->SetItemName(L"");
    EXPECT_EQ(e->Connect(nullptr, L""), -1017);
    EXPECT_EQ(e->GetConnected(), 0);
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
        Connect({c.major, c.minor, 1}, c.expected, [&](mfpsim::DeviceState& st) {
            st.identity.identifier = ModelId(140, c.secondFamily);
        });
    }

    // Without a filter file no older device is accepted; a changed file counts at once.
    CVESKMFPDevice* d = AddDevice(Emulator({4, 10, 1}).Port(), ClosedPort());
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

// What the connect asks depends on the protocol number: values below a threshold
// stay as they were, and nothing is asked that the device has not announced (each
// such question would cost a round trip of its own). The format support below 40
// comes from the searchable-PDF record, from 40 from the extended records.
TEST_F(Connection, ProtocolNumberDecidesTheInquiries) {
    struct Case {
        int major, minor, tcpVersion;
    };
    const Case cases[] = {{2, 5, 25}, {3, 1, 31}, {3, 2, 32}, {3, 3, 33}, {3, 4, 34}, {3, 9, 39},
                          {4, 0, 40}, {4, 2, 42}, {4, 3, 43}, {4, 4, 44}, {4, 8, 48}, {4, 9, 49}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor);
        CVESKMFPDevice* d = Connect({c.major, c.minor}, 1, [](mfpsim::DeviceState& st) {
            mfpsim::Identity& id = st.identity;
            std::tie(id.hddCount, id.rxSecured, id.boxCreate, id.boxEdit, id.boxDelete,
                     id.autoDelTimePermission, id.mono2ColorPolicy, id.ioption, id.searchablePdf,
                     id.officeSupport, id.pdfA, id.linearizedPdf, id.supportedFileFormat,
                     id.enhancedSecurity) =
                std::tuple(3, 1, 1, 0, 1, 1, 2, 5, 1, 1, 1, 1, 0x155, 1);
            id.languages = {4, 5, 6, 7};
        });
        const int v = c.tcpVersion;
        ASSERT_EQ(d->GetTCPVersion(), v);
        // In this order: RX data, disks, box create, delete, edit, auto-delete, mono to
        // colour, I option, searchable PDF, languages, language 1, 3 and 4, office,
        // PDF/A, linearized PDF, file formats, enhanced security.
        const std::vector<long> got = {
            d->GetStoredRXDataSecured(),  d->GetHardDiskCount(),
            d->GetBoxCreatePermission(),  d->GetBoxDeletePermission(),
            d->GetBoxEditPermission(),    d->GetBoxAutoDeletTimePermission(),
            d->GetMono2DocOutputPolicy(), d->GetIOption(),
            d->GetSearchPdfSupport(),     d->GetLangNumSupport(),
            d->GetLangSupport(1),         d->GetLangSupport(3),
            d->GetLangSupport(4),         d->GetOpenOfcSupport(),
            d->GetPDFASupport(),          d->GetLinearizedPDFSupport(),
            d->GetSupportedFileFormat(),  d->IsEnhancedSecurityModeEnabled()};
        const bool b32 = v >= 32, b33 = v >= 33, b40 = v >= 40;
        const std::vector<long> want = {v >= 43,     v >= 34 ? 3 : -1,    b32,    b32, 0,
                                        b32,         b32 ? 2 : 0,         5,      b33, b33 ? 4 : 0,
                                        b33 ? 5 : 0, b33 ? 7 : 0,         0,      b40, b40,
                                        b40,         v >= 44 ? 0x155 : 0, v >= 49};
        EXPECT_EQ(got, want);

        // The connect is the session's only exchange.
        EXPECT_EQ(d->GetCurTcpCoreObject()->GetRoundTripCount(), 1)
            << "a value was asked that the device did not announce";
        EXPECT_EQ(d->Disconnect(), 1);
    }
}

TEST_F(Connection, A44DeviceWithoutDisksIsRefusedAndItsSessionEnded) {
    auto noDisks = [](mfpsim::DeviceState& st) { st.identity.hddCount = 0; };
    CVESKMFPDevice* older = Connect({4, 3}, 1, noDisks);
    EXPECT_EQ(older->GetHardDiskCount(), 0);
    EXPECT_EQ(older->Disconnect(), 1);

    SimDevice& emu = Emulator({4, 4}, noDisks);
    CVESKMFPDevice* d = Connect(emu, -1082);
    EXPECT_EQ(d->GetHardDiskCount(), 0);
    EXPECT_EQ(d->GetConnected(), 0);
    EXPECT_EQ(d->GetCurTcpCoreObject()->IsConnected(), 0);
    EXPECT_TRUE(Idle(emu));
}

TEST_F(Connection, ConnectEndsTheSessionsOfTheOtherDevices) {
    SimDevice& first = Emulator({});
    SimDevice& second = Emulator({4, 11, 0, 0, 141});
    CVESKMFPDevice* a = Connect(first, 1);
    CVESKMFPDevice* b = Connect(second, 1);
    EXPECT_EQ(StateOf(a), Ended());
    EXPECT_EQ(StateOf(b), (State{1, 0, 0, 0, 0, 0, 0}));
    // The first device was told goodbye on its own session.
    EXPECT_TRUE(Idle(first));
    for (const std::string& line : TraceLines())
        EXPECT_EQ(line.find("Disconnect failed"), std::string::npos) << line;
    EXPECT_EQ(second.ActiveConnections(), 1);

    // Connecting a device again ends its own session first.
    ASSERT_EQ(b->Connect(nullptr, L""), 1);
    EXPECT_EQ(b->GetConnected(), 1);
}

TEST_F(Connection, DisconnectWritesTheLastLoginAndDropsTheBoxes) {
    SimDevice& emu = Emulator({4, 11, 1});
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    // Nothing was ever connected: no communication object to end a session on.
    EXPECT_EQ(d->Disconnect(), 0);

    TreeRoot().SetSaveUserName(1);
    TreeRoot().SetSaveAccountName(0);
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    ASSERT_EQ(UserLogin(d, L"alice", L"alice"), 1);
    d->SetLastAccountName(L"sales");
    d->GetItemList()->AddTail(new vesk::test::FakeItem);
    d->GetItemList()->AddTail(new vesk::test::FakeItem);
    d->SetBoxLogin(1);

    EXPECT_EQ(d->Disconnect(), 1);
    EXPECT_EQ(StateOf(d), Ended());
    EXPECT_EQ(d->GetLastUserName(), L"alice");
    EXPECT_TRUE(d->GetLastAccountName().IsEmpty());
    EXPECT_EQ(d->GetLastUserType(), 1);
    EXPECT_EQ(EntryOf(d->GetItemID()),
              (vesk::DeviceRegistryEntry{d->GetItemID(), d->GetItemName(), L"127.0.0.1", emu.Port(),
                                         d->GetSSLPortNo(), 0, L"alice", 1, 0, L""}));

    // Without the option the user name is not kept either.
    TreeRoot().SetSaveUserName(0);
    ASSERT_EQ(d->Connect(nullptr, L""), -1051);
    ASSERT_EQ(UserLogin(d, L"bob", L"bob"), 1);
    EXPECT_EQ(d->Disconnect(), 1);
    EXPECT_TRUE(EntryOf(d->GetItemID()).lastUserName.IsEmpty());
}

TEST_F(Connection, DisconnectEndsTheSessionEvenWhenTheWriteBackFails) {
    CVESKMFPDevice* d = Connect({4, 11, 1}, -1051);
    ASSERT_EQ(UserLogin(d, L"alice", L"alice"), 1);
    d->GetItemList()->AddTail(new vesk::test::FakeItem);
    d->SetBoxLogin(1);

    // The registry file cannot be loaded: a folder stands in its place.
    const std::filesystem::path file(
        vesk::DeviceRegistryFile::PathFor(TreeRoot().GetDeviceInfoPath()).str());
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_EQ(d->Disconnect(), -1018);
    EXPECT_EQ(StateOf(d), Ended());
}

TEST_F(Connection, ReconnectReopensADroppedSession) {
    SimDevice& emu = Emulator({});
    CVESKMFPDevice* d = AddDevice(emu.Port(), ClosedPort());
    EXPECT_EQ(d->Reconnect(), 0);  // never connected
    ASSERT_EQ(d->Connect(nullptr, L""), 1);
    EXPECT_EQ(d->Reconnect(), 1);

    // The device drops the connection in the middle of a call.
    mfpsim::FaultConfig drop;
    drop.dropOn = "BoxList";
    emu.SetFaults(drop);
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
    EXPECT_EQ(StateOf(d), Ended());
    EXPECT_EQ(d->Reconnect(), 0);
}

}  // namespace
