// Cache settings: defaults, limits, registry values, base folder choice, user updates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>

#include "cache/cache_tree.h"
#include "cache/vesk_cache.h"
#include "cache_env.h"
#include "platform/charset.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "tree_builder.h"

namespace {

using vesk::cachetest::CacheEnv;
using vesk::reg::Hive;
using vesk::reg::Key;
using vesk::reg::ValueType;

constexpr wchar_t kKey[] = L"Software\\Orvane\\HALD3.1\\cache";

// The four stored settings of a cache object, compared at once.
struct Settings {
    int limitMb;
    int mode;
    int deleteType;
    CString root;
    bool operator==(const Settings&) const = default;
};
void PrintTo(const Settings& s, std::ostream* os) {
    *os << "{" << s.limitMb << ", " << s.mode << ", " << s.deleteType << ", "
        << vesk::WideToUtf8(s.root.str()) << "}";
}
Settings Of(const CVESKCache& c) {
    Settings s{c.GetMaxAvailDiskSize(), c.GetCacheMode(), c.GetDeleteType(), {}};
    c.GetCacheFileRootDir(s.root);
    return s;
}

class CacheSettings : public CacheEnv {
protected:
    Settings Defaults() const { return {300, 2, 0, BaseDir()}; }
    // Writes the four values to the key as the cache saves them.
    static void Store(const Settings& s) {
        auto key = Key::CreateOrOpen(Hive::CurrentUser, kKey);
        ASSERT_TRUE(key && key->SetDword(L"AVAIL_CACHE_SIZE", static_cast<uint32_t>(s.limitMb)) &&
                    key->SetDword(L"CACHE_MODE", static_cast<uint32_t>(s.mode)) &&
                    key->SetDword(L"DELETE_TYPE", static_cast<uint32_t>(s.deleteType)) &&
                    key->SetString(L"CACHE_ROOT_DIR", s.root.str()));
    }
    // A new object loads nothing (0) from the key as it stands and keeps its defaults.
    void ExpectDefaultsAfterLoad() {
        CVESKCache fresh;
        ASSERT_EQ(fresh.LoadParameterFromRegistry(), 0);
        EXPECT_EQ(Of(fresh), Defaults());
    }
};

TEST_F(CacheSettings, NewObjectHasDefaultsAndMakesTheBaseFolder) {
    CVESKCache cache;
    EXPECT_EQ(Of(cache), Defaults());
    EXPECT_TRUE(vesk::fs::IsDirectory(BaseDir().str()));
    const std::pair<int (CVESKCache::*)(CString&), const wchar_t*> trees[] = {
        {&CVESKCache::GetCacheDirectory, L"QBOXCACHE"},
        {&CVESKCache::GetTempFileRootDir, L"QBOXCTEMP"},
        {&CVESKCache::GetTransFileRootDir, L"QBOXTRANS"}};
    for (const auto& [get, name] : trees) {
        CString dir;
        ASSERT_EQ((cache.*get)(dir), 1);
        EXPECT_EQ(dir, BaseDir() + name);
    }
}

TEST_F(CacheSettings, ProfileFolderNeedsTheVariable) {
    CVESKCache cache;
    ASSERT_TRUE(vesk::env::Set(L"ALLUSERSPROFILE", L""));
    CString dir = L"untouched";
    EXPECT_EQ(cache.GetUserProfileDir(dir), 0);
    EXPECT_EQ(dir, L"untouched");
    // A profile folder that cannot hold the levels is reported, not hidden.
    ASSERT_TRUE(vesk::env::Set(L"ALLUSERSPROFILE", vesk::Utf8ToWide(Tmp() + "/missing/deeper")));
    EXPECT_EQ(cache.GetUserProfileDir(dir), 0);
}

TEST_F(CacheSettings, NewKeyGivesDefaultsAndWritesNothingUntilSaved) {
    CVESKCache cache;
    EXPECT_EQ(cache.SaveParameterToRegistry(), 0);  // no key yet
    EXPECT_FALSE(Key::Open(Hive::CurrentUser, kKey));
    cache.SetCacheMode(0);
    cache.SetDeleteType(1);
    ASSERT_EQ(cache.LoadParameterFromRegistry(), 1);
    EXPECT_EQ(Of(cache), Defaults());

    auto key = Key::Open(Hive::CurrentUser, kKey);
    ASSERT_TRUE(key);
    for (const wchar_t* v : {L"AVAIL_CACHE_SIZE", L"CACHE_MODE", L"DELETE_TYPE", L"CACHE_ROOT_DIR"})
        EXPECT_EQ(key->GetType(v), ValueType::None) << vesk::WideToUtf8(v);

    // What was saved comes back into another object.
    ASSERT_EQ(cache.SaveParameterToRegistry(), 1);
    CVESKCache other;
    other.SetCacheMode(1);
    ASSERT_EQ(other.LoadParameterFromRegistry(), 1);
    EXPECT_EQ(Of(other), Defaults());
    key = Key::Open(Hive::CurrentUser, kKey);
    EXPECT_EQ(key->GetDword(L"AVAIL_CACHE_SIZE"), 300u);
}

TEST_F(CacheSettings, StoredValuesLoadOnlyWhenAllFourReadInRange) {
    const Settings stored{120, 1, 2, vesk::Utf8ToWide(Tmp())};
    Store(stored);
    CVESKCache cache;
    ASSERT_EQ(cache.LoadParameterFromRegistry(), 1);
    EXPECT_EQ(Of(cache), stored);

    // Each value missing in turn, or stored with the wrong type, loads nothing.
    for (const wchar_t* missing :
         {L"AVAIL_CACHE_SIZE", L"CACHE_MODE", L"DELETE_TYPE", L"CACHE_ROOT_DIR"}) {
        SCOPED_TRACE(vesk::WideToUtf8(missing));
        for (bool wrongType : {false, true}) {
            Store({90, 0, 1, L"/elsewhere"});
            auto key = Key::CreateOrOpen(Hive::CurrentUser, kKey);
            key->DeleteValue(missing);
            if (wrongType && std::wstring(missing) == L"CACHE_ROOT_DIR")
                key->SetDword(missing, 7);
            else if (wrongType)
                key->SetString(missing, L"7");
            ExpectDefaultsAfterLoad();
        }
    }
    // A value outside the range its setter accepts counts as missing too: a stored
    // limit of 0 would empty the cache at every eviction.
    const std::pair<const wchar_t*, uint32_t> outOfRange[] = {
        {L"AVAIL_CACHE_SIZE", 0},   {L"AVAIL_CACHE_SIZE", 29}, {L"AVAIL_CACHE_SIZE", 301},
        {L"AVAIL_CACHE_SIZE", ~0u}, {L"CACHE_MODE", 3},        {L"DELETE_TYPE", 3},
        {L"DELETE_TYPE", ~0u}};
    for (const auto& [value, bad] : outOfRange) {
        SCOPED_TRACE(vesk::WideToUtf8(value) + "=" + std::to_string(bad));
        Store({90, 0, 1, stored.root});
        Key::CreateOrOpen(Hive::CurrentUser, kKey)->SetDword(value, bad);
        ExpectDefaultsAfterLoad();
    }
}

TEST_F(CacheSettings, ModeRuleAndLimitStayInTheirRanges) {
    using Setter = int (CVESKCache::*)(int);
    const struct {
        Setter set;
        int value;
        int result;
    } cases[] = {
        {&CVESKCache::SetCacheMode, 3, 0},         {&CVESKCache::SetCacheMode, -1, 0},
        {&CVESKCache::SetCacheMode, 0, 1},         {&CVESKCache::SetDeleteType, -1, 0},
        {&CVESKCache::SetDeleteType, 3, 0},        {&CVESKCache::SetDeleteType, 2, 1},
        {&CVESKCache::SetMaxAvailDiskSize, 29, 0}, {&CVESKCache::SetMaxAvailDiskSize, 301, 0},
        {&CVESKCache::SetMaxAvailDiskSize, 30, 1},
    };
    CVESKCache cache;
    int lo = 0, hi = 0;
    ASSERT_EQ(cache.GetAvailCacheSize(BaseDir(), lo, hi), 1);
    EXPECT_EQ(lo, 30);
    const auto bytes = vesk::fs::VolumeTotalBytes(vesk::fs::VolumeRoot(BaseDir().str()));
    ASSERT_TRUE(bytes);
    if (*bytes < 300ull * 1024 * 1024)
        GTEST_SKIP() << "test volume smaller than 300 MB";
    EXPECT_EQ(hi, 300);
    for (const auto& c : cases)
        EXPECT_EQ((cache.*c.set)(c.value), c.result) << c.value;
    // Only the accepted values were taken.
    EXPECT_EQ(Of(cache), (Settings{30, 0, 2, BaseDir()}));
}

TEST(CacheLimitRange, FollowsTheVolumeSizeInStepsOfThirty) {
    struct Case {
        uint64_t mb;
        int max;
    } cases[] = {{0, 30},    {10, 30},   {59, 30},   {60, 60},      {100, 90},
                 {299, 270}, {300, 300}, {329, 300}, {4000000, 300}};
    for (const auto& c : cases) {
        std::pair<int, int> range{-1, -1};
        vesk::cache::LimitRangeForVolume(c.mb * 1024 * 1024 + 1023, range.first, range.second);
        EXPECT_EQ(range, std::make_pair(30, c.max)) << c.mb;
    }
}

TEST_F(CacheSettings, BaseFolderMustExistOnALocalVolume) {
    CVESKCache cache;
    const std::wstring chosen = vesk::Utf8ToWide(Tmp() + "/chosen");
    EXPECT_EQ(cache.SetCacheFileRootDir(chosen.c_str()), 0);  // not there yet
    EXPECT_EQ(cache.SetCacheFileRootDir(L"relative/folder"), 0);
    EXPECT_EQ(Of(cache).root, BaseDir());

    vesk::cachetest::MakeFolder(Tmp() + "/chosen");
    ASSERT_EQ(cache.SetCacheFileRootDir(chosen.c_str()), 1);
    EXPECT_EQ(Of(cache).root, chosen);
    CString cacheDir;
    cache.GetCacheDirectory(cacheDir);
    EXPECT_EQ(cacheDir, chosen + vesk::cachetest::Native(L"/QBOXCACHE"));

    if (vesk::fs::IsDirectory(L"/proc") && !vesk::fs::IsFixedVolume(L"/proc")) {
        EXPECT_EQ(cache.SetCacheFileRootDir(L"/proc"), 0);
        EXPECT_EQ(Of(cache).root, chosen);
    }
    ASSERT_EQ(cache.SetCacheFileRootDir(L""), 1);
    EXPECT_EQ(Of(cache).root, BaseDir());
}

TEST_F(CacheSettings, ChosenFolderClampsTheLimitToItsVolume) {
    Store({300, 1, 0, BaseDir()});
    CVESKCache cache;
    ASSERT_EQ(cache.LoadParameterFromRegistry(), 1);
    ASSERT_EQ(cache.GetMaxAvailDiskSize(), 300);
    ASSERT_EQ(cache.SetCacheFileRootDir(vesk::Utf8ToWide(Tmp()).c_str()), 1);
    int lo = 0, hi = 0;
    cache.GetAvailCacheSize(vesk::Utf8ToWide(Tmp()).c_str(), lo, hi);
    EXPECT_EQ(cache.GetMaxAvailDiskSize(), std::clamp(300, lo, hi));
}

// Items hand settings down by copy: a later change to the source must not show.
TEST_F(CacheSettings, CopiesCarryEverySettingAndStayIndependent) {
    auto everything = [](const CVESKCache& c) {
        return std::make_tuple(Of(c), c.GetMfpName(), c.GetBoxUserName(), c.GetBoxID(),
                               c.GetBoxLogin());
    };
    CVESKCache source;
    source.SetCacheMode(1);
    source.SetDeleteType(2);
    source.SetMaxAvailDiskSize(60);
    source.SetMfpName(L"Office MFP");
    source.SetBoxUserName(L"alice");
    source.SetBoxID(L"7");
    source.SetBoxLogin(1);
    const auto expected = everything(source);
    CVESKCache copy;
    copy = source;
    source.SetBoxUserName(L"changed later");
    source.SetCacheMode(0);
    const CVESKCache constructed(copy);
    EXPECT_EQ(everything(copy), expected);
    EXPECT_EQ(everything(constructed), expected);
}

TEST_F(CacheSettings, UpdateAppliesModeAndFolderWithoutSaving) {
    const std::string cache = CacheDir();
    const std::string temp = Profile() + "/ORVANE/HALD/3.1/QBOXCTEMP";
    vesk::cachetest::MakeFolder(temp);
    vesk::cachetest::MakeFolder(cache + "/1");
    vesk::cachetest::MakeSparseFile(cache + "/1/thumb.jpg", 1000, 0);
    vesk::cachetest::MakeSparseFile(temp + "/page.tif", 1000, 0);

    CVESKCache c;
    EXPECT_EQ(c.UpdateCacheData(3, BaseDir()), 0);
    EXPECT_EQ(c.GetCacheMode(), 2);

    // Mode 0 in the same folder empties the cache (folder too) and the temporary tree.
    ASSERT_EQ(c.UpdateCacheData(0, BaseDir()), 1);
    EXPECT_EQ(c.GetCacheMode(), 0);
    EXPECT_FALSE(vesk::fs::Exists(vesk::Utf8ToWide(cache)));
    EXPECT_TRUE(vesk::fs::IsDirectory(vesk::Utf8ToWide(temp)));
    EXPECT_FALSE(vesk::fs::Exists(vesk::Utf8ToWide(temp + "/page.tif")));
    EXPECT_FALSE(Key::Open(Hive::CurrentUser, kKey));

    // A new folder: the old cache goes, the new folder is taken.
    CacheDir();
    vesk::cachetest::MakeSparseFile(cache + "/old.jpg", 1000, 0);
    vesk::cachetest::MakeFolder(Tmp() + "/new");
    const CString chosen = vesk::Utf8ToWide(Tmp() + "/new");
    ASSERT_EQ(c.UpdateCacheData(1, chosen), 1);
    // The limit follows the new folder's volume (a test of its own, above).
    EXPECT_EQ(Of(c), (Settings{c.GetMaxAvailDiskSize(), 1, 0, chosen}));
    EXPECT_FALSE(vesk::fs::Exists(vesk::Utf8ToWide(cache + "/old.jpg")));

    // A folder that cannot be used is refused; the mode is taken at once regardless.
    // Paths differing only in letter case are different folders where the file system
    // tells them apart.
    const std::wstring upper = vesk::Utf8ToWide(Tmp() + "/NEW");
    EXPECT_EQ(c.UpdateCacheData(2, upper), vesk::fs::IsDirectory(upper) ? 1 : 0);
    EXPECT_EQ(Of(c), (Settings{c.GetMaxAvailDiskSize(), 2, 0, chosen}));
}

}  // namespace
