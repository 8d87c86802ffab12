// Measuring, eviction and emptying of the cache trees on real (sparse) files.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cache/cache_tree.h"
#include "cache/vesk_cache.h"
#include "cache_env.h"
#include "platform/charset.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "reference_eviction.h"
#include "tree_builder.h"

namespace vesk::cache {
inline void PrintTo(const EvictionResult& r, std::ostream* os) {
    *os << "{" << r.before << ", " << r.after << ", " << r.deletedFiles << ", " << r.passes << "}";
}
}  // namespace vesk::cache

namespace {

using vesk::cache::EvictionResult;
using vesk::cachetest::CacheEnv;
using vesk::cachetest::kDay;
using vesk::cachetest::MakeFolder;
using vesk::cachetest::MakeSparseFile;
using vesk::cachetest::Snapshot;
using vesk::cachetest::Undeletable;

constexpr uint64_t kMiB = 1024 * 1024;

class CacheSize : public CacheEnv {
protected:
    std::wstring W(const std::string& s) { return vesk::Utf8ToWide(s); }

    // A cache object with the given size limit, loaded as the root loads it.
    std::unique_ptr<CVESKCache> CacheWithLimit(int limitMb) {
        CString base;
        CVESKCache().GetCacheFileRootDir(base);
        auto key = vesk::reg::Key::CreateOrOpen(vesk::reg::Hive::CurrentUser,
                                                L"Software\\Orvane\\HALD3.1\\cache");
        key->SetDword(L"AVAIL_CACHE_SIZE", static_cast<uint32_t>(limitMb));
        key->SetDword(L"CACHE_MODE", 2);
        key->SetDword(L"DELETE_TYPE", 0);
        key->SetString(L"CACHE_ROOT_DIR", base.str());
        auto cache = std::make_unique<CVESKCache>();
        EXPECT_EQ(cache->LoadParameterFromRegistry(), 1);
        return cache;
    }

    // count files of sizeMb each in folder rel below the cache tree, all of one age.
    void Fill(const std::string& rel, int count, uint64_t sizeMb, int64_t age) {
        const std::string dir = CacheDir() + "/" + rel;
        std::filesystem::create_directories(dir);
        for (int i = 0; i < count; ++i)
            MakeSparseFile(dir + "/f" + std::to_string(i), sizeMb * kMiB, age);
    }

    int FilesIn(const std::string& rel) {
        int n = 0;
        for (const auto& e : Snapshot(CacheDir() + "/" + rel))
            if (e.back() != '/')
                ++n;
        return n;
    }

    int Measure() {
        CVESKCache c;
        CString dir;
        c.GetCacheDirectory(dir);
        return c.GetTotalUsedCacheSize(dir);
    }
};

TEST_F(CacheSize, MeasureRoundsPerFolder) {
    const std::string one = Tmp() + "/one";
    MakeFolder(one);
    for (int i = 0; i < 1500; ++i)
        MakeSparseFile(one + "/f" + std::to_string(i), 700 * 1024, 0);
    CVESKCache cache;
    EXPECT_EQ(cache.GetTotalUsedCacheSize(W(one).c_str()), 1025);

    const std::string spread = Tmp() + "/spread";
    MakeFolder(spread);
    for (int i = 0; i < 1500; ++i) {
        const std::string d = spread + "/d" + std::to_string(i);
        MakeFolder(d);
        MakeSparseFile(d + "/f", 700 * 1024, 0);
    }
    EXPECT_EQ(cache.GetTotalUsedCacheSize(W(spread).c_str()), 0);

    // Whole kilobytes per file: 1023.999 KB and 0.999 KB make 1023 KB, not one megabyte.
    const std::string kb = Tmp() + "/kb";
    MakeFolder(kb);
    MakeSparseFile(kb + "/a", 1024 * 1024 - 1, 0);
    MakeSparseFile(kb + "/b", 1023, 0);
    EXPECT_EQ(cache.GetTotalUsedCacheSize(W(kb).c_str()), 0);
    MakeSparseFile(kb + "/c", 1024, 0);
    EXPECT_EQ(cache.GetTotalUsedCacheSize(W(kb).c_str()), 1);

    EXPECT_EQ(cache.GetTotalUsedCacheSize(nullptr), 0);
    EXPECT_EQ(cache.GetTotalUsedCacheSize(W(Tmp() + "/absent").c_str()), 0);
    EXPECT_EQ(cache.GetTotalUsedCacheSize(W(one + "/f0").c_str()), 0);
}

// Emptying removes the links themselves, never what they point to.
TEST_F(CacheSize, LinksAreMeasuredAsFilesNeverAsFolders) {
    namespace sfs = std::filesystem;
    const std::string dir = CacheDir() + "/m";
    const std::string outside = Tmp() + "/outside";
    MakeFolder(dir);
    MakeFolder(outside);
    MakeSparseFile(dir + "/real", 2 * kMiB, 0);
    MakeSparseFile(outside + "/big", 50 * kMiB, 0);
    MakeSparseFile(outside + "/linked", 3 * kMiB, 0);
    // A dangling link has no readable status and adds nothing.
    sfs::create_symlink(Tmp() + "/nowhere", dir + "/dangling");
    sfs::create_directory_symlink(outside, dir + "/to-folder");
    CVESKCache cache;
    EXPECT_EQ(cache.GetTotalUsedCacheSize(W(dir).c_str()), 2);
    sfs::create_symlink(outside + "/linked", dir + "/to-file");
    EXPECT_EQ(cache.GetTotalUsedCacheSize(W(dir).c_str()), 5);
    ASSERT_EQ(cache.DeleteAllCacheFiles(0), 1);
    EXPECT_TRUE(Snapshot(CacheDir()).empty());
    EXPECT_EQ(Snapshot(outside), (std::set<std::string>{"big", "linked"}));
}

TEST_F(CacheSize, EvictionStartsAtTheLimitAndStopsAtTheTarget) {
    Fill("1/2", 299, 1, 10 * kDay);
    MakeFolder(CacheDir() + "/9");
    auto cache = CacheWithLimit(300);
    ASSERT_EQ(cache->DeleteCacheExtraSize(), 1);
    EXPECT_EQ(FilesIn("1/2"), 299);
    EXPECT_TRUE(vesk::fs::IsDirectory(W(CacheDir() + "/9")));

    MakeSparseFile(CacheDir() + "/1/2/extra", kMiB, 10 * kDay);
    ASSERT_EQ(Measure(), 300);
    ASSERT_EQ(cache->DeleteCacheExtraSize(), 1);
    // Deletion stops as soon as the tree is at the target: 300 * 70 / 100 = 210.
    EXPECT_EQ(Measure(), 210);
    EXPECT_EQ(FilesIn("1/2"), 210);
    EXPECT_FALSE(vesk::fs::Exists(W(CacheDir() + "/9")));
    EXPECT_TRUE(vesk::fs::IsDirectory(W(CacheDir())));
}

// Classes from five days old down to today, in turn, until the tree is at the target
// (70 % of the limit); folders emptied on the way go.
TEST_F(CacheSize, AgeClassesAreTakenInTurnUntilTheTarget) {
    struct Folder {
        const char* rel;
        int files;
        int64_t age;
        int left;
    };
    const struct {
        std::vector<Folder> folders;
        EvictionResult result;
    } cases[] = {
        // Younger files survive when the older suffice; 210 is not below the target, so
        // every pass runs.
        {{{"young", 200, 3 * kDay / 2, 200}, {"old", 100, 10 * kDay, 10}}, {300, 210, 90, 6}},
        {{{"a", 100, kDay / 5, 100},
          {"b", 100, 5 * kDay / 2, 100},
          {"c", 60, 9 * kDay / 2, 10},
          {"d/e", 40, 8 * kDay, 0}},
         {300, 210, 90, 6}},
        // The newest files go in the last pass.
        {{{"new", 320, kDay / 5, 210}}, {320, 210, 110, 6}},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(CacheDir());
        for (const Folder& f : c.folders)
            Fill(f.rel, f.files, 1, f.age);
        EXPECT_EQ(vesk::cache::EvictTree(CacheDir(), 300), c.result);
        for (const Folder& f : c.folders) {
            EXPECT_EQ(FilesIn(f.rel), f.left) << f.rel;
            const std::string top = std::string(f.rel).substr(0, std::string(f.rel).find('/'));
            EXPECT_EQ(vesk::fs::Exists(W(CacheDir() + "/" + top)), f.left > 0) << f.rel;
        }
    }
}

TEST_F(CacheSize, FilesThatCannotBeDeletedAreSkipped) {
    if (!vesk::cachetest::CanMakeUndeletable(Tmp()))
        GTEST_SKIP() << "cannot protect files here";
    Fill("c", 60, 1, 9 * kDay / 2);
    Fill("d", 40, 1, 8 * kDay);
    Fill("a", 200, 1, kDay / 5);
    {
        Undeletable locked(CacheDir() + "/d/f7");
        ASSERT_TRUE(locked.Ok());
        EXPECT_EQ(vesk::cache::EvictTree(CacheDir(), 300), (EvictionResult{300, 210, 90, 6}));
    }
    // The protected file stays, with its folder; the next class made up for it.
    EXPECT_EQ(Snapshot(CacheDir() + "/d"), (std::set<std::string>{"f7"}));
    EXPECT_EQ(FilesIn("c"), 9);
    EXPECT_EQ(FilesIn("a"), 200);

    // A tree nothing can be taken from ends after the last pass, above the target.
    const std::string stuck = Tmp() + "/stuck";
    MakeFolder(stuck);
    std::vector<std::unique_ptr<Undeletable>> locks;
    for (int i = 0; i < 3; ++i) {
        MakeSparseFile(stuck + "/big" + std::to_string(i), 100 * kMiB, kDay / 5);
        locks.push_back(std::make_unique<Undeletable>(stuck + "/big" + std::to_string(i)));
    }
    EXPECT_EQ(vesk::cache::EvictTree(stuck, 300), (EvictionResult{300, 300, 0, 6}));
}

TEST_F(CacheSize, EmptyingTheTrees) {
    CVESKCache cache;
    CString cacheDir, tempDir, transDir;
    cache.GetCacheDirectory(cacheDir);
    cache.GetTempFileRootDir(tempDir);
    cache.GetTransFileRootDir(transDir);
    // Missing trees count as empty.
    EXPECT_EQ(cache.DeleteAllCacheFiles(1), 1);
    EXPECT_EQ(cache.DeleteAllTempFiles(0), 1);

    Fill("1/2/3", 3, 1, 0);
    ASSERT_EQ(cache.DeleteAllCacheFiles(0), 1);
    EXPECT_TRUE(Snapshot(CacheDir()).empty());
    ASSERT_EQ(cache.DeleteAllCacheFiles(1), 1);
    EXPECT_FALSE(vesk::fs::Exists(cacheDir.str()));

    for (const CString* dir : {&tempDir, &transDir}) {
        const std::string d = vesk::WideToUtf8(dir->str());
        MakeFolder(d);
        MakeFolder(d + "/x");
        MakeSparseFile(d + "/x/y", 10, 0);
    }
    ASSERT_EQ(cache.DeleteAllTempFiles(0), 1);
    EXPECT_TRUE(vesk::fs::IsDirectory(tempDir.str()));
    EXPECT_TRUE(Snapshot(vesk::WideToUtf8(tempDir.str())).empty());
    ASSERT_EQ(cache.DeleteAllTransFiles(1), 1);
    EXPECT_FALSE(vesk::fs::Exists(transDir.str()));
}

// Paths longer than a Windows path buffer are followed in full: nothing is deleted at
// the place where a 260-character cut would point.
TEST_F(CacheSize, LongPathsAreNeverCut) {
    const std::string profile = Tmp() + "/" + std::string(240, 'p');
    MakeFolder(profile);
    ASSERT_TRUE(vesk::env::Set(L"ALLUSERSPROFILE", W(profile)));
    auto cache = CacheWithLimit(30);
    CString dir;
    cache->GetCacheDirectory(dir);
    const std::string cacheDir = vesk::WideToUtf8(dir.str());
    ASSERT_GT(profile.size(), 260u);
    const std::string cut = cacheDir.substr(0, 260);
    MakeFolder(cut);
    MakeSparseFile(cut + "/keep", 40 * kMiB, 10 * kDay);

    std::string deep = cacheDir;
    std::filesystem::create_directories(deep);
    for (int i = 0; i < 5; ++i) {
        deep += "/" + std::string(100, static_cast<char>('a' + i));
        MakeFolder(deep);
    }
    MakeSparseFile(deep + "/old", 40 * kMiB, 10 * kDay);
    ASSERT_EQ(cache->DeleteCacheExtraSize(), 1);
    EXPECT_FALSE(vesk::fs::Exists(W(deep + "/old")));
    EXPECT_FALSE(vesk::fs::Exists(W(cacheDir + "/" + std::string(100, 'a'))));

    MakeFolder(deep.substr(0, cacheDir.size() + 101));
    ASSERT_EQ(cache->DeleteAllCacheFiles(1), 1);
    EXPECT_FALSE(vesk::fs::Exists(dir.str()));
    EXPECT_TRUE(vesk::fs::IsFile(W(cut + "/keep")));
}

// The tracked eviction against the yardstick that measures the whole tree again before
// every file, on random trees (sizes, ages, depths, some files that cannot go).
TEST_F(CacheSize, SameDeletionsAsMeasuringBeforeEveryFile) {
    const bool canLock = vesk::cachetest::CanMakeUndeletable(Tmp());
    int evicted = 0;
    int severalPasses = 0;
    int partlyKept = 0;
    for (uint32_t seed = 1; seed <= 16; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const auto layout = vesk::cachetest::RandomTree(seed, 2 + static_cast<int>(seed % 9),
                                                        30 + static_cast<int>(seed * 37 % 90),
                                                        1 + static_cast<int>(seed % 4));
        const std::string ref = Tmp() + "/ref" + std::to_string(seed);
        const std::string ours = Tmp() + "/ours" + std::to_string(seed);
        MakeFolder(ref);
        MakeFolder(ours);
        vesk::cachetest::BuildTree(ref, layout);
        vesk::cachetest::BuildTree(ours, layout);
        std::vector<std::unique_ptr<Undeletable>> locks;
        std::mt19937 rng(seed);
        if (canLock && seed % 3 == 0) {
            for (int i = 0; i < 2; ++i) {
                const auto& f = layout.files[rng() % layout.files.size()].rel;
                locks.push_back(std::make_unique<Undeletable>(ref + "/" + f));
                locks.push_back(std::make_unique<Undeletable>(ours + "/" + f));
            }
        }
        const auto before = Snapshot(ours);
        const int64_t total = vesk::cache::MeasureTree(ours);
        ASSERT_EQ(total, vesk::cachetest::reference::Measure(W(ref)));
        const int limit = static_cast<int>(std::max<int64_t>(1, total * (55 + rng() % 70) / 100));

        const int refPasses = vesk::cachetest::reference::Evict(W(ref), limit);
        const auto r = vesk::cache::EvictTree(ours, limit);

        const auto after = Snapshot(ours);
        EXPECT_EQ(Snapshot(ref), after);
        EXPECT_EQ(r, (EvictionResult{total, vesk::cachetest::reference::Measure(W(ref)),
                                     r.deletedFiles, refPasses}));
        EXPECT_EQ(r.after, vesk::cache::MeasureTree(ours));
        if (r.passes > 0)
            ++evicted;
        if (r.passes > 1 && r.deletedFiles > 0)
            ++severalPasses;
        if (r.deletedFiles > 0 && after.size() > 1)
            ++partlyKept;
        locks.clear();
        std::filesystem::remove_all(ref);
        std::filesystem::remove_all(ours);
    }
    // The seeds must exercise the interesting cases, or the comparison proves little.
    EXPECT_GE(evicted, 8);
    EXPECT_GE(severalPasses, 4);
    EXPECT_GE(partlyKept, 6);
}

}  // namespace
