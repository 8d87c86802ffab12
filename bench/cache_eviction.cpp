// Cache eviction speed. A tree of 20,000 sparse files in 200 folders, over its limit so
// about half must go, is evicted by the library and, on an identical copy, measured and
// emptied by `du -s` and `find -type f -delete`, the shell's way of doing the same
// work; the ratio of the two is the figure of merit (goal: at most 3). Then the
// yardstick that measures the whole tree again before every file runs on 1,000 and
// 2,000 files, to show the growth the tracked tree size avoids. Prints its results;
// never fails on speed.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cache/cache_tree.h"
#include "cache/vesk_cache.h"
#include "platform/charset.h"
#include "platform/env.h"
#include "platform/registry.h"
#include "tests/cache/reference_eviction.h"
#include "tests/cache/tree_builder.h"

namespace {

using Clock = std::chrono::steady_clock;
using vesk::cachetest::kDay;

double Seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// folders x filesPerFolder files of 30 KB (2 MB per folder once rounded), aged 0 to 10
// days, from a fixed seed.
vesk::cachetest::TreeLayout Grid(int folders, int filesPerFolder) {
    vesk::cachetest::TreeLayout layout;
    uint32_t state = 12345;
    auto next = [&state] { return state = state * 1664525u + 1013904223u; };
    for (int d = 0; d < folders; ++d) {
        const std::string dir = "dev" + std::to_string(d % 4) + "/box" + std::to_string(d);
        if (d < 4)
            layout.folders.push_back("dev" + std::to_string(d));
        layout.folders.push_back(dir);
        for (int f = 0; f < filesPerFolder; ++f) {
            const int64_t age = static_cast<int64_t>(next() % 20) * kDay / 2 + kDay / 4;
            layout.files.push_back({dir + "/page" + std::to_string(f) + ".jpg", 30 * 1024, age});
        }
    }
    return layout;
}

void Fresh(const std::string& dir, const vesk::cachetest::TreeLayout& layout) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    vesk::cachetest::BuildTree(dir, layout);
}

size_t CountFiles(const std::string& dir) {
    size_t n = 0;
    for (const auto& e : vesk::cachetest::Snapshot(dir))
        if (e.back() != '/')
            ++n;
    return n;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    const char* tmpEnv = std::getenv("TMPDIR");
    std::string tmp = std::string(tmpEnv && *tmpEnv ? tmpEnv : "/tmp") + "/vesk-bench-XXXXXX";
    if (!::mkdtemp(tmp.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    // A private profile and registry, so the user's cache is never touched.
    vesk::env::Set(L"ALLUSERSPROFILE", vesk::Utf8ToWide(tmp + "/profile"));
    std::filesystem::create_directories(tmp + "/profile");
    vesk::reg::SetHivePath(vesk::reg::Hive::CurrentUser, vesk::Utf8ToWide(tmp + "/hkcu.db"));

    CVESKCache cache;
    cache.LoadParameterFromRegistry();  // new key: limit 300 MB
    CString dir;
    cache.GetCacheDirectory(dir);
    const std::string cacheDir = vesk::WideToUtf8(dir.str());
    const std::string peerDir = tmp + "/peer";

    const auto big = Grid(200, 100);
    std::vector<double> ours;
    std::vector<double> peer;
    size_t left = 0;
    int64_t sizeBefore = 0;
    int64_t sizeAfter = 0;
    for (int round = 0; round < 3; ++round) {
        Fresh(cacheDir, big);
        sizeBefore = vesk::cache::MeasureTree(cacheDir);
        auto t0 = Clock::now();
        cache.DeleteCacheExtraSize();
        auto t1 = Clock::now();
        ours.push_back(Seconds(t0, t1));
        left = CountFiles(cacheDir);
        sizeAfter = vesk::cache::MeasureTree(cacheDir);

        Fresh(peerDir, big);
        const std::string cmd =
            "du -s '" + peerDir + "' >/dev/null && find '" + peerDir + "' -type f -delete";
        t0 = Clock::now();
        const int rc = std::system(cmd.c_str());
        t1 = Clock::now();
        if (rc != 0)
            std::fprintf(stderr, "peer command failed (%d)\n", rc);
        peer.push_back(Seconds(t0, t1));
    }
    const double o = Median(ours);
    const double p = Median(peer);
    std::printf("cache eviction: %zu files in 200 folders, %lld MB measured, limit %d MB\n",
                big.files.size(), static_cast<long long>(sizeBefore), cache.GetMaxAvailDiskSize());
    std::printf("  ours (measure + evict)            %8.3f s   %zu files deleted, %lld MB left\n",
                o, big.files.size() - left, static_cast<long long>(sizeAfter));
    std::printf("  peer (du -s + find -type f -delete) %6.3f s   all files deleted\n", p);
    std::printf("  ratio ours / peer                 %8.2f     (goal: at most 3)\n", o / p);

    std::printf("measuring the whole tree before every file (the yardstick) against ours:\n");
    double previous = 0;
    for (int folders : {10, 20}) {
        const auto layout = Grid(folders, 100);
        const int limit = folders * 2 * 3 / 4;  // about half of the files must go
        const std::string a = tmp + "/yard";
        const std::string b = tmp + "/ours";
        Fresh(a, layout);
        Fresh(b, layout);
        auto t0 = Clock::now();
        vesk::cachetest::reference::Evict(vesk::Utf8ToWide(a), limit);
        auto t1 = Clock::now();
        const auto r = vesk::cache::EvictTree(b, limit);
        auto t2 = Clock::now();
        const double yard = Seconds(t0, t1);
        std::printf("  %5zu files: yardstick %8.3f s, ours %8.4f s, %zu deleted by each%s",
                    layout.files.size(), yard, Seconds(t1, t2), r.deletedFiles,
                    CountFiles(a) == CountFiles(b) ? "" : " (MISMATCH)");
        if (previous > 0)
            std::printf("; yardstick grew %.1fx for 2x files", yard / previous);
        std::printf("\n");
        previous = yard;
    }

    vesk::reg::SetHivePath(vesk::reg::Hive::CurrentUser, L"");
    std::filesystem::remove_all(tmp);
    return 0;
}
