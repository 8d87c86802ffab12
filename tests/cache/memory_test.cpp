// Running out of memory inside a cache operation gives -1001 and leaks nothing; the
// last, complete run succeeds. Only the cache call is armed, so the test's own set-up
// and argument building never trip the failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "cache/vesk_cache.h"
#include "cache_env.h"
#include "platform/charset.h"
#include "platform/fs.h"
#include "support/alloc_failure.h"
#include "tree_builder.h"

namespace {

using vesk::cachetest::CacheEnv;

// op once unarmed (its first use opens what stays open: the registry connection...),
// then every allocation failure in turn; prepare runs before each, and a complete
// run passes done.
void ExpectMemoryRule(const std::function<void()>& prepare, const std::function<int()>& op,
                      const std::function<void()>& done) {
    prepare();
    op();
    const int runs = vesk::test::ForEachAllocationFailure(
        op,
        [&](const vesk::test::AllocationFailureRun& run) {
            EXPECT_EQ(run.leaked, 0) << "allocation " << run.failAt;
            EXPECT_EQ(run.result, run.failed ? -1001 : 1) << "allocation " << run.failAt;
            if (!run.failed)
                done();
        },
        100000, prepare);
    EXPECT_GT(runs, 1);
}

using CacheMemory = CacheEnv;

TEST_F(CacheMemory, TransferFileAndSettings) {
    CVESKCache cache;
    cache.SetMfpName(L"Device \u6587");
    cache.SetBoxUserName(L"user");
    cache.SetBoxID(L"4");
    CString root;
    cache.GetTransFileRootDir(root);
    const std::string rootDir = vesk::WideToUtf8(root.str());
    CString name;  // handed over to the call, which frees it
    ExpectMemoryRule(
        [&] {
            std::filesystem::remove_all(rootDir);
            name = L"scan: 1 of a long document name.pdf";
        },
        [&] {
            CString path;
            return cache.GetTransFilePath(path, CString(), std::move(name), 1, 2, 1);
        },
        [&] {
            int files = 0;
            for (const auto& e : std::filesystem::recursive_directory_iterator(rootDir))
                files += e.is_regular_file();
            EXPECT_EQ(files, 1);
        });
    ExpectMemoryRule([] {},
                     [&] {
                         const int r = cache.LoadParameterFromRegistry();
                         return r == 1 ? cache.SaveParameterToRegistry() : r;
                     },
                     [] {});
}

TEST_F(CacheMemory, EvictionAndEmptying) {
    CVESKCache cache;
    const std::string dir = CacheDir();
    const std::wstring wdir = vesk::Utf8ToWide(dir);
    auto fill = [&] {
        std::filesystem::create_directories(dir + "/1/2");
        for (int i = 0; i < 4; ++i)
            vesk::cachetest::MakeSparseFile(dir + "/1/2/f" + std::to_string(i), 200 * 1024 * 1024,
                                            10 * vesk::cachetest::kDay);
    };
    ExpectMemoryRule(
        fill, [&] { return cache.DeleteCacheExtraSize(); },
        [&] { EXPECT_EQ(cache.GetTotalUsedCacheSize(wdir.c_str()), 200); });
    ExpectMemoryRule(
        fill, [&] { return cache.DeleteAllCacheFiles(1); },
        [&] { EXPECT_FALSE(vesk::fs::Exists(wdir)); });
}

}  // namespace
