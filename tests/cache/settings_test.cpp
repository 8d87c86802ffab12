// Cache settings: defaults, limits, registry values, base folder choice, user updates.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
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

class CacheSettings : public CacheEnv {
protected:
    // A new object loads nothing (0) from the key as it stands and keeps its defaults.
    void ExpectDefaultsAfterLoad() {
        CVESKCache fresh;
        ASSERT_EQ(fresh.LoadParameterFromRegistry(), 0);
        EXPECT_EQ(fresh.GetMaxAvailDiskSize(), 300);
        EXPECT_EQ(fresh.GetCacheMode(), 2);
        EXPECT_EQ(fresh.GetDeleteType(), 0);
        CString dir;
        fresh.GetCacheFileRootDir(dir);
        EXPECT_EQ(dir, BaseDir());
    }
};

TEST_F(CacheSettings, NewObjectHasDefaultsAndMakesTheBaseFolder) {
    CVESKCache cache;
    EXPECT_EQ(cache.GetCacheMode(), 2);
    EXPECT_EQ(cache.GetMaxAvailDiskSize(), 300);
    EXPECT_EQ(cache.GetDeleteType(), 0);
    CString dir;
    ASSERT_EQ(cache.GetCacheFileRootDir(dir), 1);
    EXPECT_EQ(dir, BaseDir());
    EXPECT_TRUE(vesk::fs::IsDirectory(BaseDir().str()));
    ASSERT_EQ(cache.GetCacheDirectory(dir), 1);
    EXPECT_EQ(dir, BaseDir() + L"QBOXCACHE");
    ASSERT_EQ(cache.GetTempFileRootDir(dir), 1);
    EXPECT_EQ(dir, BaseDir() + L"QBOXCTEMP");
    ASSERT_EQ(cache.GetTransFileRootDir(dir), 1);
    EXPECT_EQ(dir, BaseDir() + L"QBOXTRANS");
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
    cache.SetCacheMode(0);
    cache.SetDeleteType(1);
    ASSERT_EQ(cache.LoadParameterFromRegistry(), 1);
    EXPECT_EQ(cache.GetCacheMode(), 2);
    EXPECT_EQ(cache.GetMaxAvailDiskSize(), 300);
    EXPECT_EQ(cache.GetDeleteType(), 0);
    CString dir;
    cache.GetCacheFileRootDir(dir);
    EXPECT_EQ(dir, BaseDir());

    auto key = Key::Open(Hive::CurrentUser, kKey);
    ASSERT_TRUE(key);
    for (const wchar_t* v : {L"AVAIL_CACHE_SIZE", L"CACHE_MODE", L"DELETE_TYPE", L"CACHE_ROOT_DIR"})
        EXPECT_EQ(key->GetType(v), ValueType::None) << vesk::WideToUtf8(v);

    ASSERT_EQ(cache.SaveParameterToRegistry(), 1);
    key = Key::Open(Hive::CurrentUser, kKey);
    EXPECT_EQ(key->GetDword(L"AVAIL_CACHE_SIZE"), 300u);
    EXPECT_EQ(key->GetDword(L"CACHE_MODE"), 2u);
    EXPECT_EQ(key->GetDword(L"DELETE_TYPE"), 0u);
    EXPECT_EQ(key->GetString(L"CACHE_ROOT_DIR"), BaseDir().str());

    // What was saved comes back into another object.
    CVESKCache other;
    other.SetCacheMode(1);
    ASSERT_EQ(other.LoadParameterFromRegistry(), 1);
    EXPECT_EQ(other.GetCacheMode(), 2);
}

TEST_F(CacheSettings, SaveNeedsAnExistingKey) {
    CVESKCache cache;
    EXPECT_EQ(cache.SaveParameterToRegistry(), 0);
    EXPECT_FALSE(Key::Open(Hive::CurrentUser, kKey));
}

TEST_F(CacheSettings, StoredValuesLoadOnlyWhenAllFourRead) {
    const std::wstring root = vesk::Utf8ToWide(Tmp());
    {
        auto key = Key::CreateOrOpen(Hive::CurrentUser, kKey);
        ASSERT_TRUE(key);
        ASSERT_TRUE(key->SetDword(L"AVAIL_CACHE_SIZE", 120));
        ASSERT_TRUE(key->SetDword(L"CACHE_MODE", 1));
        ASSERT_TRUE(key->SetDword(L"DELETE_TYPE", 2));
        ASSERT_TRUE(key->SetString(L"CACHE_ROOT_DIR", root));
    }
    CVESKCache cache;
    ASSERT_EQ(cache.LoadParameterFromRegistry(), 1);
    EXPECT_EQ(cache.GetMaxAvailDiskSize(), 120);
    EXPECT_EQ(cache.GetCacheMode(), 1);
    EXPECT_EQ(cache.GetDeleteType(), 2);
    CString dir;
    cache.GetCacheFileRootDir(dir);
    EXPECT_EQ(dir, root);

    // Each value missing in turn, or stored with the wrong type, loads nothing.
    for (const wchar_t* missing :
         {L"AVAIL_CACHE_SIZE", L"CACHE_MODE", L"DELETE_TYPE", L"CACHE_ROOT_DIR"}) {
        SCOPED_TRACE(vesk::WideToUtf8(missing));
        for (bool wrongType : {false, true}) {
            auto key = Key::CreateOrOpen(Hive::CurrentUser, kKey);
            key->SetDword(L"AVAIL_CACHE_SIZE", 90);
            key->SetDword(L"CACHE_MODE", 0);
            key->SetDword(L"DELETE_TYPE", 1);
            key->SetString(L"CACHE_ROOT_DIR", L"/elsewhere");
            key->DeleteValue(missing);
            if (wrongType) {
                if (std::wstring(missing) == L"CACHE_ROOT_DIR")
                    key->SetDword(missing, 7);
                else
                    key->SetString(missing, L"7");
            }
            ExpectDefaultsAfterLoad();
        }
    }
    // A value outside the range its setter accepts counts as missing too: a stored
    // limit of 0 would empty the cache at every eviction.
    const std::pair<const wchar_t*, uint32_t> outOfRange[] = {
        {L"AVAIL_CACHE_SIZE", 0},   {L"AVAIL_CACHE_SIZE", 29}, {L"AVAIL_CACHE_SIZE", 301},
        {L"AVAIL_CACHE_SIZE", ~0u}, {L"CACHE_MODE", 3},        {L"DELETE_TYPE", 3},
        {L"DELETE_TYPE", ~0u}};
    for (const auto& [value, stored] : outOfRange) {
        SCOPED_TRACE(vesk::WideToUtf8(value) + "=" + std::to_string(stored));
        auto key = Key::CreateOrOpen(Hive::CurrentUser, kKey);
        key->SetDword(L"AVAIL_CACHE_SIZE", 90);
        key->SetDword(L"CACHE_MODE", 0);
        key->SetDword(L"DELETE_TYPE", 1);
        key->SetString(L"CACHE_ROOT_DIR", root);
        key->SetDword(value, stored);
        ExpectDefaultsAfterLoad();
    }
}

TEST_F(CacheSettings, ModeRuleAndLimitStayInTheirRanges) {
    CVESKCache cache;
    EXPECT_EQ(cache.SetCacheMode(3), 0);
    EXPECT_EQ(cache.SetCacheMode(-1), 0);
    EXPECT_EQ(cache.GetCacheMode(), 2);
    EXPECT_EQ(cache.SetCacheMode(0), 1);
    EXPECT_EQ(cache.GetCacheMode(), 0);
    EXPECT_EQ(cache.SetDeleteType(-1), 0);
    EXPECT_EQ(cache.SetDeleteType(3), 0);
    EXPECT_EQ(cache.SetDeleteType(2), 1);
    EXPECT_EQ(cache.GetDeleteType(), 2);

    int lo = 0;
    int hi = 0;
    ASSERT_EQ(cache.GetAvailCacheSize(BaseDir(), lo, hi), 1);
    EXPECT_EQ(lo, 30);
    const auto bytes = vesk::fs::VolumeTotalBytes(vesk::fs::VolumeRoot(BaseDir().str()));
    ASSERT_TRUE(bytes);
    if (*bytes < 300ull * 1024 * 1024)
        GTEST_SKIP() << "test volume smaller than 300 MB";
    EXPECT_EQ(hi, 300);
    EXPECT_EQ(cache.SetMaxAvailDiskSize(29), 0);
    EXPECT_EQ(cache.SetMaxAvailDiskSize(301), 0);
    EXPECT_EQ(cache.GetMaxAvailDiskSize(), 300);
    EXPECT_EQ(cache.SetMaxAvailDiskSize(30), 1);
    EXPECT_EQ(cache.GetMaxAvailDiskSize(), 30);
    EXPECT_EQ(cache.SetMaxAvailDiskSize(300), 1);
}

TEST(CacheLimitRange, FollowsTheVolumeSizeInStepsOfThirty) {
    struct Case {
        uint64_t mb;
        int max;
    } cases[] = {{0, 30},    {10, 30},   {59, 30},   {60, 60},      {100, 90},
                 {299, 270}, {300, 300}, {329, 300}, {4000000, 300}};
    for (const auto& c : cases) {
        int lo = -1;
        int hi = -1;
        vesk::cache::LimitRangeForVolume(c.mb * 1024 * 1024 + 1023, lo, hi);
        EXPECT_EQ(lo, 30) << c.mb;
        EXPECT_EQ(hi, c.max) << c.mb;
    }
}

TEST_F(CacheSettings, BaseFolderMustExistOnALocalVolume) {
    CVESKCache cache;
    const std::wstring chosen = vesk::Utf8ToWide(Tmp() + "/chosen");
    CString dir;

    EXPECT_EQ(cache.SetCacheFileRootDir(chosen.c_str()), 0);  // not there yet
    EXPECT_EQ(cache.SetCacheFileRootDir(L"relative/folder"), 0);
    cache.GetCacheFileRootDir(dir);
    EXPECT_EQ(dir, BaseDir());

    vesk::cachetest::MakeFolder(Tmp() + "/chosen");
    ASSERT_EQ(cache.SetCacheFileRootDir(chosen.c_str()), 1);
    cache.GetCacheFileRootDir(dir);
    EXPECT_EQ(dir, chosen);
    CString cacheDir;
    cache.GetCacheDirectory(cacheDir);
    EXPECT_EQ(cacheDir, chosen + L"/QBOXCACHE");

    if (vesk::fs::IsDirectory(L"/proc") && !vesk::fs::IsFixedVolume(L"/proc")) {
        EXPECT_EQ(cache.SetCacheFileRootDir(L"/proc"), 0);
        cache.GetCacheFileRootDir(dir);
        EXPECT_EQ(dir, chosen);
    }

    ASSERT_EQ(cache.SetCacheFileRootDir(L""), 1);
    cache.GetCacheFileRootDir(dir);
    EXPECT_EQ(dir, BaseDir());
}

TEST_F(CacheSettings, ChosenFolderClampsTheLimitToItsVolume) {
    {
        auto key = Key::CreateOrOpen(Hive::CurrentUser, kKey);
        key->SetDword(L"AVAIL_CACHE_SIZE", 300);
        key->SetDword(L"CACHE_MODE", 1);
        key->SetDword(L"DELETE_TYPE", 0);
        key->SetString(L"CACHE_ROOT_DIR", BaseDir().str());
    }
    CVESKCache cache;
    ASSERT_EQ(cache.LoadParameterFromRegistry(), 1);
    ASSERT_EQ(cache.GetMaxAvailDiskSize(), 300);
    ASSERT_EQ(cache.SetCacheFileRootDir(vesk::Utf8ToWide(Tmp()).c_str()), 1);
    int lo = 0;
    int hi = 0;
    cache.GetAvailCacheSize(vesk::Utf8ToWide(Tmp()).c_str(), lo, hi);
    EXPECT_EQ(cache.GetMaxAvailDiskSize(), std::clamp(300, lo, hi));
}

// Items hand settings down by copy: a later change to the source must not show.
TEST_F(CacheSettings, CopiesCarryEverySettingAndStayIndependent) {
    CVESKCache source;
    source.SetCacheMode(1);
    source.SetDeleteType(2);
    source.SetMaxAvailDiskSize(60);
    source.SetMfpName(L"Office MFP");
    source.SetBoxUserName(L"alice");
    source.SetBoxID(L"7");
    source.SetBoxLogin(1);
    CVESKCache copy;
    copy = source;
    source.SetBoxUserName(L"changed later");
    source.SetCacheMode(0);
    const CVESKCache constructed(copy);
    for (const CVESKCache* c : {static_cast<const CVESKCache*>(&copy), &constructed}) {
        EXPECT_EQ(c->GetCacheMode(), 1);
        EXPECT_EQ(c->GetDeleteType(), 2);
        EXPECT_EQ(c->GetMaxAvailDiskSize(), 60);
        EXPECT_EQ(c->GetMfpName(), L"Office MFP");
        EXPECT_EQ(c->GetBoxUserName(), L"alice");
        EXPECT_EQ(c->GetBoxID(), L"7");
        EXPECT_EQ(c->GetBoxLogin(), 1);
    }
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
    ASSERT_EQ(c.UpdateCacheData(1, vesk::Utf8ToWide(Tmp() + "/new")), 1);
    EXPECT_EQ(c.GetCacheMode(), 1);
    EXPECT_FALSE(vesk::fs::Exists(vesk::Utf8ToWide(cache + "/old.jpg")));
    CString dir;
    c.GetCacheFileRootDir(dir);
    EXPECT_EQ(dir, vesk::Utf8ToWide(Tmp() + "/new"));

    // A folder that cannot be used is refused; the mode is taken at once regardless.
    // Paths differing only in letter case are different folders here.
    EXPECT_EQ(c.UpdateCacheData(2, vesk::Utf8ToWide(Tmp() + "/NEW")), 0);
    EXPECT_EQ(c.GetCacheMode(), 2);
    c.GetCacheFileRootDir(dir);
    EXPECT_EQ(dir, vesk::Utf8ToWide(Tmp() + "/new"));
}

}  // namespace
