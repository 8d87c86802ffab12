#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/registry.h"
#include "platform/syscalls.h"
#include "support/child_process.h"
#include "support/isolated_env.h"
#include "support/temp_folder.h"
#include "sys_faults.h"

// Every test of this program runs with private lock, registry and profile folders.
[[maybe_unused]] static auto* const g_isolation =
    ::testing::AddGlobalTestEnvironment(new vesk::test::IsolatedProgram);

using vesk::test::W;

using namespace vesk::reg;
using vesk::test::ForkedChild;
using vesk::test::Pipe;

namespace {

const std::wstring kCache = L"Software\\Orvane\\HALD3.1\\cache";

// Every test gets its own pair of hive files.
class Registry : public vesk::test::IsolatedEnv {
protected:
    std::string Sub(const char* name) const { return (Root() / name).string(); }
};

// What creating or opening the key did; nothing when it failed.
std::optional<Disposition> Made(const std::wstring& path) {
    Disposition d{};
    return Key::CreateOrOpen(Hive::CurrentUser, path, &d) ? std::optional(d) : std::nullopt;
}

TEST_F(Registry, TellsCreatedFromOpenedWhateverTheCaseAndBackslashes) {
    using D = std::vector<std::optional<Disposition>>;
    const auto created = Disposition::CreatedNewKey, opened = Disposition::OpenedExistingKey;
    // Parents come into being with the key.
    EXPECT_EQ((D{Made(kCache), Made(kCache), Made(L"Software"), Made(kCache + L"\\sub")}),
              (D{created, opened, opened, created}));
    EXPECT_TRUE(Key::Open(Hive::CurrentUser, L"Software\\Orvane"));
    EXPECT_FALSE(Key::Open(Hive::CurrentUser, L"Software\\Other"));
    EXPECT_EQ(vesk::LastOsError().code, ENOENT);
    EXPECT_FALSE(Key::Open(Hive::LocalMachine, kCache)) << "hives are separate";

    auto key = Key::CreateOrOpen(Hive::CurrentUser, L"Software\\\u00dcbung\\Stra\u00dfe");
    ASSERT_TRUE(key && key->SetDword(L"X", 7));
    const std::wstring same = L"\\SOFTWARE\\\\\u00fcBUNG\\stra\u00dfe\\";
    ASSERT_EQ(Made(same), opened);
    auto found = Key::Open(Hive::CurrentUser, same);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->GetDword(L"x"), 7u);
}

TEST_F(Registry, ValuesRoundTripWithTheirTypes) {
    auto key = Key::CreateOrOpen(Hive::CurrentUser, kCache);
    ASSERT_TRUE(key);
    for (uint32_t v : {0u, 300u, 0xFFFFFFFFu}) {
        ASSERT_TRUE(key->SetDword(L"AVAIL_CACHE_SIZE", v));
        EXPECT_EQ(key->GetDword(L"AVAIL_CACHE_SIZE"), v);
    }
    const std::wstring texts[] = {
        L"/home/user/.local/share/ORVANE/HALD/3.1/",
        L"\u30c9\u30ad\u30e5\u30e1\u30f3\u30c8 \U0001F600 \u00fc",
        L"",
        std::wstring(L"a\0b", 3),
    };
    for (const auto& s : texts) {
        ASSERT_TRUE(key->SetString(L"CACHE_ROOT_DIR", s));
        EXPECT_EQ(key->GetString(L"cache_root_dir"), s);
        EXPECT_EQ(key->GetType(L"Cache_Root_Dir"), ValueType::String);
    }

    // A read of the other type fails rather than converting.
    EXPECT_FALSE(key->GetDword(L"CACHE_ROOT_DIR"));
    EXPECT_FALSE(key->GetString(L"AVAIL_CACHE_SIZE"));
    // Writing the other type replaces the value and its type.
    ASSERT_TRUE(key->SetString(L"AVAIL_CACHE_SIZE", L"300"));
    EXPECT_FALSE(key->GetDword(L"AVAIL_CACHE_SIZE"));
    EXPECT_EQ(key->GetType(L"AVAIL_CACHE_SIZE"), ValueType::String);

    EXPECT_EQ(key->GetType(L"MISSING"), ValueType::None);
    EXPECT_FALSE(key->GetDword(L"MISSING"));
    EXPECT_TRUE(key->DeleteValue(L"avail_cache_size"));
    EXPECT_FALSE(key->GetString(L"AVAIL_CACHE_SIZE"));
    EXPECT_FALSE(key->DeleteValue(L"AVAIL_CACHE_SIZE"));

    // Values of another key with the same value name are separate.
    auto other = Key::CreateOrOpen(Hive::CurrentUser, kCache + L"2");
    ASSERT_TRUE(other);
    ASSERT_TRUE(other->SetDword(L"CACHE_ROOT_DIR", 1));
    EXPECT_EQ(key->GetType(L"CACHE_ROOT_DIR"), ValueType::String);
}

TEST_F(Registry, DeleteTakesSubKeysButNotSiblings) {
    auto a = Key::CreateOrOpen(Hive::CurrentUser, L"A");
    auto abc = Key::CreateOrOpen(Hive::CurrentUser, L"A\\B\\C");
    auto ab2 = Key::CreateOrOpen(Hive::CurrentUser, L"A\\B2");
    ASSERT_TRUE(a && abc && ab2);
    ASSERT_TRUE(a->SetDword(L"v", 1));
    ASSERT_TRUE(abc->SetDword(L"v", 2));
    ASSERT_TRUE(ab2->SetDword(L"v", 3));

    EXPECT_TRUE(Key::Delete(Hive::CurrentUser, L"a\\b"));
    EXPECT_FALSE(Key::Open(Hive::CurrentUser, L"A\\B"));
    EXPECT_FALSE(Key::Open(Hive::CurrentUser, L"A\\B\\C"));
    EXPECT_EQ(a->GetDword(L"v"), 1u);
    EXPECT_EQ(ab2->GetDword(L"v"), 3u);

    // A handle to a deleted key reads nothing and cannot write, even after a key of
    // the same name is made again.
    EXPECT_FALSE(abc->GetDword(L"v"));
    EXPECT_FALSE(abc->SetDword(L"w", 5));
    Disposition d{};
    auto again = Key::CreateOrOpen(Hive::CurrentUser, L"A\\B\\C", &d);
    ASSERT_TRUE(again);
    EXPECT_EQ(d, Disposition::CreatedNewKey);
    EXPECT_FALSE(again->GetDword(L"v"));
    EXPECT_FALSE(abc->SetDword(L"w", 5));
    EXPECT_FALSE(again->GetDword(L"w"));

    EXPECT_FALSE(Key::Delete(Hive::CurrentUser, L"A\\Missing"));
    EXPECT_FALSE(Key::Delete(Hive::CurrentUser, L""));
    EXPECT_FALSE(Key::Delete(Hive::CurrentUser, L"\\"));
}

// Forks n children that each open the store, then run body(p) at the same moment;
// their exit codes in order.
std::vector<int> RunTogether(int n, const std::function<int(int)>& body) {
    Pipe ready, go;
    std::vector<std::unique_ptr<ForkedChild>> children;
    for (int p = 0; p < n; ++p) {
        children.push_back(std::make_unique<ForkedChild>([&, p] {
            if (!Key::CreateOrOpen(Hive::CurrentUser, L"Warm"))
                return 100;
            ready.Send('r');
            return go.Receive(10000) == 'g' ? body(p) : 101;
        }));
    }
    for (int p = 0; p < n; ++p)
        EXPECT_EQ(ready.Receive(10000), 'r');
    for (int p = 0; p < n; ++p)
        go.Send('g');
    std::vector<int> codes;
    for (auto& c : children)
        codes.push_back(c->Wait());
    return codes;
}

std::wstring ValueName(int writer, int i) {
    return L"w" + std::to_wstring(writer) + L"-" + std::to_wstring(i);
}

// Each process first races the others to create the same keys, then writes values of
// its own and one they all share.
TEST_F(Registry, ConcurrentProcessesLoseNothingAndCreateEachKeyOnce) {
    constexpr int kProcs = 3, kValues = 200, kKeys = 20;
    {
        auto key = Key::CreateOrOpen(Hive::CurrentUser, L"Shared");
        ASSERT_TRUE(key && key->SetString(L"FROM_PARENT", L"p\u00e4rent"));
    }
    const std::vector<int> codes = RunTogether(kProcs, [&](int p) {
        int created = 0;
        for (int k = 0; k < kKeys; ++k) {
            Disposition d{};
            if (!Key::CreateOrOpen(Hive::CurrentUser, L"Race\\K" + std::to_wstring(k), &d))
                return 102;
            created += d == Disposition::CreatedNewKey;
        }
        auto key = Key::CreateOrOpen(Hive::CurrentUser, L"Shared");
        if (!key || key->GetString(L"FROM_PARENT") != L"p\u00e4rent")
            return 103;
        for (int i = 0; i < kValues; ++i) {
            if (!key->SetDword(ValueName(p, i), static_cast<uint32_t>(p * 1000 + i)) ||
                !key->SetDword(L"last", static_cast<uint32_t>(p)))
                return 104;
        }
        return created;
    });
    int total = 0;
    for (int code : codes) {
        ASSERT_LE(code, kKeys);
        total += code;
    }
    EXPECT_EQ(total, kKeys);

    auto key = Key::Open(Hive::CurrentUser, L"Shared");
    ASSERT_TRUE(key);
    int found = 0;
    for (int p = 0; p < kProcs; ++p)
        for (int i = 0; i < kValues; ++i)
            found += key->GetDword(ValueName(p, i)) == static_cast<uint32_t>(p * 1000 + i);
    EXPECT_EQ(found, kProcs * kValues);
    EXPECT_LT(key->GetDword(L"last").value_or(99), static_cast<uint32_t>(kProcs));
}

TEST_F(Registry, ThreadsOfOneProcessShareTheStore) {
    constexpr int kThreads = 4, kValues = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kValues; ++i) {
                auto key = Key::CreateOrOpen(Hive::CurrentUser, L"Threads");
                if (!key || !key->SetString(ValueName(t, i), std::to_wstring(i)))
                    ADD_FAILURE() << vesk::DescribeOsError(vesk::LastOsError());
            }
        });
    }
    for (auto& th : threads)
        th.join();
    auto key = Key::Open(Hive::CurrentUser, L"Threads");
    ASSERT_TRUE(key);
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kValues; ++i)
            EXPECT_EQ(key->GetString(ValueName(t, i)), std::to_wstring(i));
}

// Lets the store create its file but refuses SQLite's own opens of it, which
// reach the table through the VFS.
int DenyDatabase(const char* path, int flags, mode_t mode) {
    if (std::strstr(path, "denied.db") && !(flags & O_CREAT))
        return errno = EACCES, -1;
    return vesk::RealSysCalls().open(path, flags, mode);
}

TEST_F(Registry, UnreadableStoreFailsCleanly) {
    SetHivePath(Hive::CurrentUser, W(Sub("denied.db")));
    vesk::ScopedSysCalls restore;
    vesk::Sys().open = DenyDatabase;
    EXPECT_FALSE(Key::CreateOrOpen(Hive::CurrentUser, kCache));
    EXPECT_EQ(vesk::LastOsError().code, EACCES) << vesk::DescribeOsError(vesk::LastOsError());
    EXPECT_EQ(vesk::LastOsError().call, "sqlite3_open");
    EXPECT_FALSE(Key::Open(Hive::CurrentUser, kCache));
}

TEST_F(Registry, CorruptStoreIsRefused) {
    vesk::test::WriteFile(Sub("corrupt.db"), std::string(8192, 'Z'));
    SetHivePath(Hive::CurrentUser, W(Sub("corrupt.db")));
    EXPECT_FALSE(Key::CreateOrOpen(Hive::CurrentUser, kCache));
    EXPECT_NE(vesk::LastOsError().detail.find("sqlite"), std::string::npos);
    EXPECT_EQ(vesk::test::ReadFile(Sub("corrupt.db")), std::string(8192, 'Z'))
        << "a store that cannot be read is left as it was";
}

}  // namespace
