// Running out of memory inside a cache operation gives -1001 and leaks nothing; the
// last, complete run succeeds. Only the cache call is armed, so the test's own set-up
// and argument building never trip the failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <utility>

#include "cache/vesk_cache.h"
#include "cache_env.h"
#include "platform/charset.h"
#include "platform/fs.h"
#include "support/alloc_failure.h"
#include "tree_builder.h"

namespace {

using vesk::cachetest::CacheEnv;

using Armed = vesk::test::AllocationFailures;

class CacheMemory : public CacheEnv {
protected:
    // setup runs unarmed before each run; run(n) arms n around the cache call and
    // returns its result and whether the failure happened.
    void ExpectMemoryRule(const std::function<void()>& setup,
                          const std::function<std::pair<int, bool>(long)>& run) {
        setup();
        run(1000000);  // first use opens what stays open (registry connection, ...)
        for (long n = 1; n < 100000; ++n) {
            setup();
            const auto before = vesk::test::LiveAllocations();
            const auto [result, failed] = run(n);
            EXPECT_EQ(vesk::test::LiveAllocations() - before, 0) << "allocation " << n;
            if (!failed) {
                EXPECT_EQ(result, 1);
                EXPECT_GT(n, 1);
                return;
            }
            EXPECT_EQ(result, -1001) << "allocation " << n;
        }
        ADD_FAILURE() << "never completed";
    }
};

TEST_F(CacheMemory, TransferFileAndSettings) {
    CVESKCache cache;
    cache.SetMfpName(L"Device \u6587");
    cache.SetBoxUserName(L"user");
    cache.SetBoxID(L"4");
    ExpectMemoryRule([] {},
                     [&](long n) {
                         CString name = L"scan: 1 of a long document name.pdf";
                         CString path;
                         const auto [r, failed] = [&] {
                             Armed armed(n);
                             const int result =
                                 cache.GetTransFilePath(path, CString(), std::move(name), 1, 2, 1);
                             return std::make_pair(result, armed.Happened());
                         }();
                         if (r == 1) {
                             EXPECT_TRUE(vesk::fs::IsFile(path.str()));
                             std::filesystem::remove_all(
                                 std::filesystem::path(vesk::WideToUtf8(path.str())).parent_path());
                         }
                         return std::make_pair(r, failed);
                     });
    ExpectMemoryRule([] {},
                     [&](long n) {
                         Armed armed(n);
                         int r = cache.LoadParameterFromRegistry();
                         if (r == 1)
                             r = cache.SaveParameterToRegistry();
                         return std::make_pair(r, armed.Happened());
                     });
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
    // Each call armed alone; check sees the state after a complete run.
    using Call = std::pair<std::function<int()>, std::function<void()>>;
    const Call calls[] = {
        {[&] { return cache.DeleteCacheExtraSize(); },
         [&] { EXPECT_EQ(cache.GetTotalUsedCacheSize(wdir.c_str()), 200); }},
        {[&] { return cache.DeleteAllCacheFiles(1); },
         [&] { EXPECT_FALSE(vesk::fs::Exists(wdir)); }},
    };
    for (const auto& [call, check] : calls) {
        ExpectMemoryRule(fill, [&](long n) {
            const auto [r, failed] = [&] {
                Armed armed(n);
                const int result = call();
                return std::make_pair(result, armed.Happened());
            }();
            if (!failed)
                check();
            return std::make_pair(r, failed);
        });
    }
}

}  // namespace
