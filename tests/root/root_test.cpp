// CVESKRoot: listing, registration, unregistration, lookups and the per-device files
// that go with a device, against real files in an isolated profile.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/mfp_device.h"
#include "platform/error.h"
#include "platform/syscalls.h"
#include "registry_entry_print.h"
#include "root/vesk_root.h"
#include "support/alloc_failure.h"
#include "support/fake_item.h"
#include "support/registry_fixture.h"

namespace {

namespace fs = std::filesystem;
using vesk::test::EntryOf;
using vesk::test::ReadBytes;
using vesk::test::WriteBytes;

ITEMINFO Info(const wchar_t* name, const wchar_t* address, int port = 80, int portSSL = 443) {
    ITEMINFO info;
    info.strName = name;
    info.strIP = address;
    info.nPort = port;
    info.nPortSSL = portSSL;
    return info;
}

int Add(CVESKRoot& root, ITEMINFO info) {
    return root.AddChildItem(info);
}

std::vector<CVESKMFPDevice*> Devices(CVESKRoot& root) {
    std::vector<CVESKMFPDevice*> out;
    CVESKItemList* list = root.GetItemList();
    for (POSITION pos = list->GetHeadPosition(); pos;)
        out.push_back(DYNAMIC_DOWNCAST(CVESKMFPDevice, list->GetNext(pos)));
    return out;
}

std::vector<long> Ids(CVESKRoot& root) {
    std::vector<long> ids;
    for (CVESKMFPDevice* d : Devices(root))
        ids.push_back(d->GetItemID());
    return ids;
}

std::string Entry(int id, const char* address = "10.0.0.1", const char* name = nullptr) {
    std::string n = name ? name : "dev" + std::to_string(id);
    return "<MFP><ID>" + std::to_string(id) + "</ID><Name>" + n + "</Name><IP>" + address +
           "</IP><Port>80</Port></MFP>";
}

std::string File(const std::vector<std::string>& entries) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<MFPList>";
    for (const auto& e : entries)
        xml += e;
    return xml + "</MFPList>\n";
}

class RootItem : public vesk::test::RegistryFixture {
protected:
    // Ids of the entries in the registry file, in file order.
    std::vector<long> FileIds() {
        CVESKRoot reader;
        reader.GetChildList(1);
        return Ids(reader);
    }
    fs::path CacheFolder() const { return HaldFolder() / "QBOXCACHE"; }
    void ExpectWritersFailAndChangeNothing(const std::function<void()>& inject);
};

TEST_F(RootItem, RegisteringIntoAnEmptyProfileWritesTheGoldenFile) {
    CVESKRoot root;
    ITEMINFO info = Info(L"Floor 2 & Co <colour>", L"192.168.1.20", 80, 443);
    info.nLastTCPComm = -1;
    info.strLastUserName = L"ann";
    info.nLastUserType = 2;
    info.nLastAccountType = 4;
    info.strLastAccountName = L"Sal\u00e9s";
    ASSERT_EQ(root.AddChildItem(info), 1);
    EXPECT_EQ(RegistryBytes(), ReadBytes(fs::path(VESK_TEST_DATA_DIR) / "registry/one_device.xml"));

    // The new item: the registered values, the constructor's login fields, this root.
    auto devices = Devices(root);
    ASSERT_EQ(devices.size(), 1u);
    CVESKMFPDevice* d = devices[0];
    EXPECT_EQ(EntryOf(d), (vesk::DeviceRegistryEntry{1, info.strName, L"192.168.1.20", 80, 443, 0,
                                                     L"Public", 0, 0, L""}));
    EXPECT_EQ(d->GetHardDiskCount(), -1);
    EXPECT_EQ(d->GetRoot(), &root);

    // Read back, the entry gives the same values, the login fields included (the
    // listing fills AccountType from the file).
    CVESKRoot reader;
    ASSERT_EQ(reader.GetChildList(0), 1);
    auto read = Devices(reader);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(EntryOf(read[0]), (vesk::DeviceRegistryEntry{1, info.strName, L"192.168.1.20", 80,
                                                           443, -1, L"ann", 2, 4, L"Sal\u00e9s"}));
    EXPECT_EQ(read[0]->GetRoot(), &reader);
}

TEST_F(RootItem, RegistrationRejectsIncompleteOrUnsafeRecords) {
    CVESKRoot root;
    for (ITEMINFO info : {Info(L"a", L"10.0.0.1", 0), Info(L"a", L""), Info(L"", L"10.0.0.1"),
                          Info(L"a", L".."), Info(L"a", L"../../x"), Info(L"a", L"a\\b")}) {
        EXPECT_EQ(root.AddChildItem(info), 0) << ToUtf8(info.strIP);
    }
    EXPECT_FALSE(fs::exists(RegistryFile()));
    EXPECT_TRUE(root.GetItemList()->IsEmpty());
}

TEST_F(RootItem, OverridePathIsUsedAsGiven) {
    CVESKRoot root;
    const fs::path own = Root() / "elsewhere.xml";
    root.SetDeviceInfoPath(own.wstring());
    ASSERT_EQ(Add(root, Info(L"a", L"10.0.0.1")), 1);
    EXPECT_TRUE(fs::exists(own));
    EXPECT_FALSE(fs::exists(RegistryFile()));
    root.SetDeviceInfoPath(L"");
    ASSERT_EQ(Add(root, Info(L"b", L"10.0.0.2")), 1);
    EXPECT_TRUE(fs::exists(RegistryFile()));
}

TEST_F(RootItem, ListingReadsTheFileOnlyWhenEmptyOrRefreshed) {
    CVESKRoot root;
    ASSERT_EQ(root.GetChildList(0), 1);
    EXPECT_TRUE(root.GetItemList()->IsEmpty());

    WriteRegistry(File({Entry(1), Entry(2)}));
    ASSERT_EQ(root.GetChildList(0), 1);  // the list was empty, so the file is read
    EXPECT_EQ(Ids(root), (std::vector<long>{1, 2}));
    CVESKItemList* first = root.GetItemList();
    CVESKMFPDevice* old = Devices(root)[0];

    WriteRegistry(File({Entry(7)}));
    ASSERT_EQ(root.GetChildList(0), 1);
    EXPECT_EQ(Ids(root), (std::vector<long>{1, 2}));
    ASSERT_EQ(root.GetChildList(1), 1);
    EXPECT_EQ(Ids(root), (std::vector<long>{7}));
    EXPECT_NE(root.GetItemList(), first);

    // Whatever the user interface still holds from before the refresh stays usable.
    EXPECT_EQ(first->GetCount(), 2);
    EXPECT_EQ(old->GetItemName(), L"dev1");
}

TEST_F(RootItem, UnusableFilesListNothingAndRegistrationKeepsThemAside) {
    for (const std::string& bad : {std::string("<MFPList><MFP><ID>1</ID>"),
                                   std::string("<Other><MFP><ID>1</ID></MFP></Other>")}) {
        SCOPED_TRACE(bad);
        fs::remove_all(HaldFolder());
        WriteRegistry(bad);
        CVESKRoot root;
        ASSERT_EQ(root.GetChildList(0), 1);
        EXPECT_TRUE(root.GetItemList()->IsEmpty());

        ASSERT_EQ(Add(root, Info(L"new", L"10.0.0.9")), 1);
        fs::path backup = RegistryFile();
        backup += ".bak";
        EXPECT_EQ(ReadBytes(backup), bad);
        EXPECT_EQ(FileIds(), (std::vector<long>{1}));
    }
    // A second damaged file gets a backup of its own.
    WriteRegistry("garbage");
    CVESKRoot root;
    ASSERT_EQ(Add(root, Info(L"new", L"10.0.0.9")), 1);
    fs::path second = RegistryFile();
    second += ".bak.1";
    EXPECT_EQ(ReadBytes(second), "garbage");
}

TEST_F(RootItem, IdsFollowTheLastDeviceOfTheList) {
    CVESKRoot root;
    ASSERT_EQ(Add(root, Info(L"a", L"10.0.0.1")), 1);
    EXPECT_EQ(Ids(root), (std::vector<long>{1}));

    WriteRegistry(File({Entry(1), Entry(2), Entry(5)}));
    ASSERT_EQ(root.GetChildList(1), 1);
    ASSERT_EQ(Add(root, Info(L"b", L"10.0.0.2")), 1);
    EXPECT_EQ(Ids(root), (std::vector<long>{1, 2, 5, 6}));

    // Deleting the last one lets the next id follow the new last one...
    ASSERT_EQ(root.DeleteChildItem(6, L""), 1);
    ASSERT_EQ(root.DeleteChildItem(5, L""), 1);
    ASSERT_EQ(Add(root, Info(L"c", L"10.0.0.3")), 1);
    EXPECT_EQ(Ids(root), (std::vector<long>{1, 2, 3}));
    // ...but a gap in the middle is never filled.
    ASSERT_EQ(root.DeleteChildItem(2, L""), 1);
    ASSERT_EQ(Add(root, Info(L"d", L"10.0.0.4")), 1);
    EXPECT_EQ(Ids(root), (std::vector<long>{1, 3, 4}));
    EXPECT_EQ(FileIds(), Ids(root));
}

TEST_F(RootItem, IdsAreNeverOnesTheFileAlreadyHolds) {
    CVESKRoot first;
    ASSERT_EQ(Add(first, Info(L"a", L"10.0.0.1")), 1);
    ASSERT_EQ(Add(first, Info(L"b", L"10.0.0.2")), 1);

    // A root that registers before it has listed (another process, say) would count
    // from an empty list; the file's ids take precedence.
    CVESKRoot second;
    ASSERT_EQ(Add(second, Info(L"c", L"10.0.0.3")), 1);
    EXPECT_EQ(Ids(second), (std::vector<long>{3}));
    EXPECT_EQ(FileIds(), (std::vector<long>{1, 2, 3}));
    // So deleting by id removes only the device that was meant.
    ASSERT_EQ(second.DeleteChildItem(3, L""), 1);
    EXPECT_EQ(FileIds(), (std::vector<long>{1, 2}));

    // A hand-edited file that holds the largest id: the smallest free one, no overflow.
    WriteRegistry(File({Entry(1), Entry(2147483647)}));
    CVESKRoot third;
    ASSERT_EQ(Add(third, Info(L"d", L"10.0.0.4")), 1);
    EXPECT_EQ(FileIds(), (std::vector<long>{1, 2147483647, 2}));
}

// A writer that cannot save says so (-1018), and neither the file nor its items change:
// what it reports is what the next listing shows.
void RootItem::ExpectWritersFailAndChangeNothing(const std::function<void()>& inject) {
    const std::string initial = File({Entry(1, "10.0.0.1", "one"), Entry(2, "10.0.0.2", "two")});
    using Writer = std::function<int(CVESKRoot&)>;
    const std::pair<const char*, Writer> writers[] = {
        {"register", [](CVESKRoot& r) { return Add(r, Info(L"three", L"10.0.0.3")); }},
        {"unregister", [](CVESKRoot& r) { return r.DeleteChildItem(2, L""); }},
        {"modify",
         [](CVESKRoot& r) {
             ITEMINFO info = Info(L"", L"10.0.0.9", 0, 0);
             return Devices(r)[0]->ModifyItem(info, L"");
         }},
        {"rename", [](CVESKRoot& r) { return Devices(r)[0]->RenameItem(L"uno", L""); }},
    };
    for (const auto& [what, write] : writers) {
        SCOPED_TRACE(what);
        fs::remove_all(HaldFolder());
        WriteRegistry(initial);
        CVESKRoot root;
        ASSERT_EQ(root.GetChildList(0), 1);
        {
            vesk::ScopedSysCalls restore;
            inject();
            EXPECT_EQ(write(root), -1018);
        }
        EXPECT_EQ(Ids(root), (std::vector<long>{1, 2}));
        EXPECT_EQ(Devices(root)[0]->GetItemName(), L"one");
        EXPECT_EQ(Devices(root)[0]->GetDevAddress(), L"10.0.0.1");
        if (fs::is_regular_file(RegistryFile())) {
            EXPECT_EQ(RegistryBytes(), initial);
        }
    }
}

TEST_F(RootItem, WritersFailWhenTheFolderIsAFile) {
    ExpectWritersFailAndChangeNothing([this] {
        fs::remove_all(HaldFolder());
        WriteBytes(HaldFolder(), "not a folder");
    });
}

TEST_F(RootItem, WritersFailWhenTheReplacementIsRefused) {
    ExpectWritersFailAndChangeNothing([] {
        vesk::Sys().rename = [](const char*, const char*, unsigned) { return errno = EROFS, -1; };
    });
}

TEST_F(RootItem, DeletingMatchesTheFileAndTheList) {
    WriteRegistry(File({Entry(1), Entry(2), Entry(3)}));
    CVESKRoot root;
    ASSERT_EQ(root.GetChildList(0), 1);

    // In the file but not in the list: the entry goes, the list stays.
    WriteRegistry(File({Entry(1), Entry(2), Entry(3), Entry(9), Entry(9)}));
    EXPECT_EQ(root.DeleteChildItem(9, L""), 1);
    EXPECT_EQ(FileIds(), (std::vector<long>{1, 2, 3}));
    EXPECT_EQ(Ids(root), (std::vector<long>{1, 2, 3}));

    // In neither: nothing is rewritten (a rewrite would date the file now).
    const auto before = fs::last_write_time(RegistryFile()) - std::chrono::hours(1);
    fs::last_write_time(RegistryFile(), before);
    const std::string bytes = RegistryBytes();
    EXPECT_EQ(root.DeleteChildItem(4, L""), 1);
    EXPECT_EQ(fs::last_write_time(RegistryFile()), before);
    EXPECT_EQ(RegistryBytes(), bytes);

    // Ids are matched as text: "02" is not 2.
    WriteRegistry(File({Entry(1), "<MFP><ID>02</ID></MFP>", Entry(2), Entry(3)}));
    EXPECT_EQ(root.DeleteChildItem(2, L""), 1);
    EXPECT_EQ(FileIds(), (std::vector<long>{1, 2, 3}));  // "02" reads as 2
    EXPECT_EQ(Ids(root), (std::vector<long>{1, 3}));
}

TEST_F(RootItem, DeletingWithoutAUsableFileChangesNothing) {
    WriteRegistry(File({Entry(1)}));
    CVESKRoot root;
    ASSERT_EQ(root.GetChildList(0), 1);
    fs::remove(RegistryFile());
    EXPECT_EQ(root.DeleteChildItem(1, L""), -1018);
    WriteRegistry("<MFPList><MFP>");
    EXPECT_EQ(root.DeleteChildItem(1, L""), -1018);
    EXPECT_EQ(RegistryBytes(), "<MFPList><MFP>");
    EXPECT_EQ(Ids(root), (std::vector<long>{1}));
}

TEST_F(RootItem, DeletingRemovesTheDeviceFolders) {
    WriteRegistry(File(
        {Entry(1, "10.0.0.1"), Entry(5, "10.0.0.5"), Entry(6, "10.0.0.6"), Entry(7, "10.0.0.6")}));
    for (const char* folder : {"10.0.0.1", "10.0.0.5", "10.0.0.6"})
        WriteBytes(HaldFolder() / folder / "0.xml", "view");
    for (const char* folder : {"5", "55", "15", "1"})
        WriteBytes(CacheFolder() / folder / "thumb.jpg", "jpeg");
    CVESKRoot root;
    ASSERT_EQ(root.GetChildList(0), 1);

    ASSERT_EQ(root.DeleteChildItem(5, L""), 1);
    EXPECT_FALSE(fs::exists(HaldFolder() / "10.0.0.5"));
    EXPECT_FALSE(fs::exists(CacheFolder() / "5"));
    for (const char* kept : {"55", "15", "1"})
        EXPECT_TRUE(fs::exists(CacheFolder() / kept));
    EXPECT_TRUE(fs::exists(HaldFolder() / "10.0.0.1"));

    // Another device still has the address (in another letter case, too): the view
    // settings stay until the last one goes.
    ASSERT_EQ(root.DeleteChildItem(6, L""), 1);
    EXPECT_TRUE(fs::exists(HaldFolder() / "10.0.0.6"));
    ASSERT_EQ(root.DeleteChildItem(7, L""), 1);
    EXPECT_FALSE(fs::exists(HaldFolder() / "10.0.0.6"));
    EXPECT_TRUE(fs::exists(RegistryFile()));
    EXPECT_EQ(Ids(root), (std::vector<long>{1}));
}

TEST_F(RootItem, ViewSettingsRemovalStaysInsideTheSettingsFolder) {
    WriteRegistry(File({Entry(1, "10.0.0.1")}));
    WriteBytes(HaldFolder() / "10.0.0.1" / "3.xml", "box 3");
    WriteBytes(HaldFolder() / "10.0.0.1" / "4.xml", "box 4");
    WriteBytes(HaldFolder() / "HOST" / "0.xml", "view");
    CVESKRoot root;
    ASSERT_EQ(root.GetChildList(0), 1);

    root.DeleteViewSettingOnDeviceIPChangeOrDeviceDeleteOrBoxDelete(L"10.0.0.1", 3);
    EXPECT_FALSE(fs::exists(HaldFolder() / "10.0.0.1" / "3.xml"));
    EXPECT_TRUE(fs::exists(HaldFolder() / "10.0.0.1" / "4.xml"));
    // Registered (compared without case): kept.
    root.DeleteViewSettingOnDeviceIPChangeOrDeviceDeleteOrBoxDelete(L"10.0.0.1", -1);
    EXPECT_TRUE(fs::exists(HaldFolder() / "10.0.0.1"));
    root.DeleteViewSettingOnDeviceIPChangeOrDeviceDeleteOrBoxDelete(L"HOST", -1);
    EXPECT_FALSE(fs::exists(HaldFolder() / "HOST"));

    // Addresses that would name the settings folder itself or something outside it.
    for (const wchar_t* bad : {L"", L".", L"..", L"../3.1", L"/", L"x/../.."}) {
        root.DeleteViewSettingOnDeviceIPChangeOrDeviceDeleteOrBoxDelete(bad, -1);
        root.DeleteViewSettingOnDeviceIPChangeOrDeviceDeleteOrBoxDelete(bad, 0);
    }
    EXPECT_TRUE(fs::exists(RegistryFile()));
    EXPECT_TRUE(fs::exists(HaldFolder() / "10.0.0.1" / "4.xml"));
}

TEST_F(RootItem, DeleteFolderNeverCutsAPath) {
    CVESKRoot root;
    // A folder whose path is exactly 260 characters, and one below it.
    const std::string base = (Root() / "cut").string();
    const fs::path exact = base + "/" + std::string(260 - base.size() - 1, 'd');
    ASSERT_EQ(exact.string().size(), 260u);
    const fs::path longer = exact / "tail";
    WriteBytes(longer / "f", "x");

    root.DeleteFolder(CString(longer.wstring()));
    EXPECT_TRUE(fs::exists(longer));  // too long: refused, and the shorter one kept
    EXPECT_TRUE(fs::exists(exact));

    root.DeleteFolder(CString(exact.wstring()));
    EXPECT_FALSE(fs::exists(exact));
    EXPECT_TRUE(fs::exists(base));

    root.DeleteFolder(L"");
    EXPECT_TRUE(fs::exists(Root()));
}

TEST_F(RootItem, AddressLookupsAreExact) {
    WriteRegistry(File({Entry(1, "printer.local", "Hall"), Entry(2, "10.0.0.2", "Basement copier"),
                        Entry(3, "10.0.0.2", "Second")}));
    CVESKRoot root;
    wchar_t name[32];
    EXPECT_EQ(root.IsRegisteredDevice(const_cast<wchar_t*>(L"printer.local")),
              0);  // not listed yet
    EXPECT_EQ(root.GetRegisteredName(name, 32, L"printer.local"), 1);
    EXPECT_STREQ(name, L"");

    ASSERT_EQ(root.GetChildList(0), 1);
    EXPECT_EQ(root.IsRegisteredDevice(const_cast<wchar_t*>(L"printer.local")), 1);
    EXPECT_EQ(root.IsRegisteredDevice(const_cast<wchar_t*>(L"PRINTER.local")), 0);
    EXPECT_EQ(root.IsRegisteredDevice(nullptr), 0);

    EXPECT_EQ(root.GetRegisteredName(name, 32, L"10.0.0.2"), 1);
    EXPECT_STREQ(name, L"Basement copier");  // the first match
    wchar_t small[6] = {L'x', L'x', L'x', L'x', L'x', L'x'};
    EXPECT_EQ(root.GetRegisteredName(small, 5, L"10.0.0.2"), 1);
    EXPECT_STREQ(small, L"Base");
    EXPECT_EQ(small[5], L'x');
    EXPECT_EQ(root.GetRegisteredName(name, 32, L"10.0.0.3"), 1);
    EXPECT_STREQ(name, L"");
}

TEST_F(RootItem, UpdateListSwapsInPlaceAndKeepsTheOldItemAlive) {
    WriteRegistry(File({Entry(1), Entry(2), Entry(3)}));
    CVESKRoot root;
    ASSERT_EQ(root.GetChildList(0), 1);
    CVESKMFPDevice* old = Devices(root)[1];

    auto* fresh = new CVESKMFPDevice;
    fresh->SetItemID(2);
    fresh->SetItemName(L"renamed");
    EXPECT_EQ(root.UpdateList(fresh), 1);
    auto devices = Devices(root);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[1], fresh);
    EXPECT_EQ(fresh->GetRoot(), &root);
    EXPECT_EQ(old->GetItemName(), L"dev2");  // still alive for whoever holds it

    // The same item again, a non-device, an unknown id: no change.
    EXPECT_EQ(root.UpdateList(fresh), 1);
    vesk::test::FakeItem box(VESK_ITEM_BOX, 1, L"box");
    EXPECT_EQ(root.UpdateList(&box), 1);
    EXPECT_EQ(root.UpdateList(nullptr), 1);
    auto* stranger = new CVESKMFPDevice;
    stranger->SetItemID(42);
    EXPECT_EQ(root.UpdateList(stranger), 1);
    delete stranger;  // not taken
    EXPECT_EQ(Devices(root), devices);

    // The old item can be swapped back in; each item is destroyed once at the end.
    EXPECT_EQ(root.UpdateList(old), 1);
    EXPECT_EQ(Devices(root)[1], old);
}

TEST_F(RootItem, NoOpOperationsAndIdentity) {
    // Its type and creation by runtime class: tests/core/item_types_test.
    auto root = std::make_unique<CVESKRoot>();
    EXPECT_EQ(root->GetItemID(), -1);
    EXPECT_TRUE(root->GetItemName().IsEmpty());
    EXPECT_EQ(root->GetCurTcpCoreObject(), nullptr);
    ITEMINFO info = Info(L"a", L"10.0.0.1");
    EXPECT_EQ(root->Connect(nullptr, L"x"), 1);
    EXPECT_EQ(root->Disconnect(), 1);
    EXPECT_EQ(root->ModifyItem(info, L"x"), 1);
    EXPECT_EQ(root->RenameItem(L"new", L"x"), 1);
    EXPECT_FALSE(fs::exists(RegistryFile()));
    EXPECT_NE(root->GetCache(), nullptr);
    EXPECT_NE(root->GetDeviceSearch(), nullptr);

    CVESKRoot other;
    other.SetDeviceInfoPath(L"/elsewhere.xml");
    *root = &other;
    EXPECT_TRUE(root->GetDeviceInfoPath().IsEmpty());  // only the name is copied
}

// With any one allocation failing, each operation returns -1001 or completes, the
// file and the list agree, and nothing is left behind once the root is gone.
class RootMemory : public RootItem {
protected:
    struct Run {
        bool failed = false;
        int result = 0;
        std::vector<long> idsBefore;
        std::string fileBefore;
    };

    // Runs op on a freshly listed root with its 1st, 2nd, ... allocation failing until
    // a run completes; check sees each run. Once the root is gone, every run has given
    // back what it took.
    template <class Op, class Check>
    void EachFailure(const std::string& initialFile, Op op, Check check) {
        std::unique_ptr<CVESKRoot> root;
        Run run;
        std::int64_t baseline = 0;
        bool measure = false;
        auto prepare = [&] {
            root.reset();
            run = {};
            vesk::ClearOsError();  // the per-thread error record holds strings
            baseline = vesk::test::LiveAllocations();
            WriteRegistry(initialFile);
            root = std::make_unique<CVESKRoot>();
            EXPECT_EQ(root->GetChildList(0), 1);
            run = {false, 0, Ids(*root), RegistryBytes()};
        };
        auto each = [&](const vesk::test::AllocationFailureRun& r) {
            {
                SCOPED_TRACE("allocation " + std::to_string(r.failAt));
                run.failed = r.failed;
                run.result = r.result;
                check(*root, run);
            }
            root.reset();
            run = {};
            vesk::ClearOsError();
            if (measure) {
                EXPECT_EQ(vesk::test::LiveAllocations(), baseline) << "allocation " << r.failAt;
            }
            prepare();
        };
        // Warm up what the process makes lazily (the first exception thrown, for one):
        // a complete run and one failing at once, checked but not measured.
        prepare();
        each({0, false, op(*root), 0});
        vesk::test::ForEachAllocationFailure([&] { return op(*root); }, each, 1);
        measure = true;
        EXPECT_GT(vesk::test::ForEachAllocationFailure([&] { return op(*root); }, each, 5000), 0);
    }

    // A change either happened in both the file and the list, or in neither. With
    // `cleanupAbsorbs`, a failure in the best-effort removal of the device's folders
    // leaves the result 1.
    void ExpectConsistent(CVESKRoot& root, const Run& run, bool cleanupAbsorbs = false) {
        if (run.failed && cleanupAbsorbs) {
            EXPECT_TRUE(run.result == -1001 || run.result == 1) << run.result;
        } else {
            EXPECT_EQ(run.result, run.failed ? -1001 : 1);
        }
        if (run.result == -1001 && Ids(root) == run.idsBefore) {
            EXPECT_EQ(RegistryBytes(), run.fileBefore);
        }
        EXPECT_EQ(FileIds(), Ids(root));
    }
};

TEST_F(RootMemory, AddChildItem) {
    ITEMINFO info = Info(L"new device", L"10.0.0.7");
    EachFailure(
        File({Entry(1), Entry(2)}), [&](CVESKRoot& root) { return root.AddChildItem(info); },
        [&](CVESKRoot& root, const Run& run) {
            ExpectConsistent(root, run);
            if (!run.failed) {
                EXPECT_EQ(Ids(root), (std::vector<long>{1, 2, 3}));
            }
        });
}

TEST_F(RootMemory, DeleteChildItem) {
    // The device has no folders here: removing a folder tree is the file-system
    // layer's own work, measured by its tests.
    EachFailure(
        File({Entry(1), Entry(2, "10.0.0.2"), Entry(3)}),
        [](CVESKRoot& root) { return root.DeleteChildItem(2, L""); },
        [&](CVESKRoot& root, const Run& run) { ExpectConsistent(root, run, true); });
}

TEST_F(RootMemory, GetChildList) {
    EachFailure(
        File({Entry(1), Entry(2), Entry(3)}), [](CVESKRoot& root) { return root.GetChildList(1); },
        [&](CVESKRoot& root, const Run& run) {
            EXPECT_EQ(run.result, run.failed ? -1001 : 1);
            // Whatever was listed before the failure stays listed.
            const std::vector<long> ids = Ids(root);
            EXPECT_LE(ids.size(), 3u);
            for (size_t i = 0; i < ids.size(); ++i)
                EXPECT_EQ(ids[i], static_cast<long>(i + 1));
            if (!run.failed) {
                EXPECT_EQ(ids.size(), 3u);
            }
        });
}

}  // namespace
