// Test trees for measuring and eviction: sparse files of chosen sizes and ages, built in
// a fixed order so two copies list alike, and a snapshot of what a tree holds. Shared by
// the cache tests and the eviction benchmark (header only).
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/charset.h"
#include "platform/file.h"
#include "platform/fs.h"

namespace vesk::cachetest {

constexpr int64_t kDay = 86400;

// A sparse file of the given size whose modification time lies ageSeconds in the past.
inline void MakeSparseFile(const std::string& path, uint64_t size, int64_t ageSeconds) {
    const std::wstring wpath = Utf8ToWide(path);
    CFile(wpath.c_str(), CFile::modeCreate | CFile::modeWrite).SetLength(size);
    if (!fs::SetModificationTime(wpath, std::time(nullptr) - ageSeconds))
        throw std::runtime_error("cannot date " + path);
}

inline void MakeFolder(const std::string& path) {
    if (!fs::CreateDirectory(Utf8ToWide(path)) && !fs::IsDirectory(Utf8ToWide(path)))
        throw std::runtime_error("cannot make " + path);
}

struct TreeFile {
    std::string rel;  // relative to the tree root
    uint64_t size;
    int64_t ageSeconds;
};

struct TreeLayout {
    std::vector<std::string> folders;  // relative, parents before children
    std::vector<TreeFile> files;
};

// Builds layout below root (which must exist), folders first, then files in order.
inline void BuildTree(const std::string& root, const TreeLayout& layout) {
    for (const auto& f : layout.folders)
        MakeFolder(root + "/" + f);
    for (const auto& f : layout.files)
        MakeSparseFile(root + "/" + f.rel, f.size, f.ageSeconds);
}

// A random tree: folders up to maxDepth deep, files of a few kilobytes to a few
// megabytes (so per-folder rounding matters), ages spread over the age classes with
// half a day of margin so no file sits on a day boundary.
inline TreeLayout RandomTree(uint32_t seed, int folders, int files, int maxDepth) {
    std::mt19937 rng(seed);
    TreeLayout layout;
    std::vector<std::pair<std::string, int>> all{{"", 0}};
    for (int i = 0; i < folders; ++i) {
        const auto parent = all[rng() % all.size()];
        if (parent.second >= maxDepth) {
            --i;
            continue;
        }
        const std::string rel =
            (parent.first.empty() ? "" : parent.first + "/") + "d" + std::to_string(i);
        layout.folders.push_back(rel);
        all.push_back({rel, parent.second + 1});
    }
    static const int64_t kAges[] = {-kDay,         kDay / 5,      3 * kDay / 2,
                                    5 * kDay / 2,  7 * kDay / 2,  9 * kDay / 2,
                                    11 * kDay / 2, 17 * kDay / 2, 41 * kDay / 2};
    for (int i = 0; i < files; ++i) {
        const auto& dir = all[rng() % all.size()].first;
        const uint64_t kb = (rng() % 4 == 0) ? rng() % 4096 : rng() % 900;
        const uint64_t size = kb * 1024 + rng() % 1024;
        const int64_t age = kAges[rng() % (sizeof kAges / sizeof kAges[0])];
        layout.files.push_back(
            {(dir.empty() ? "" : dir + "/") + "f" + std::to_string(i), size, age});
    }
    return layout;
}

// Every file and folder below root, relative, folders (not links to them) marked with a
// trailing "/"; empty when root cannot be read.
inline std::set<std::string> Snapshot(const std::string& root) {
    namespace fs = std::filesystem;
    std::set<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        const bool folder = it->symlink_status(ec).type() == fs::file_type::directory;
        out.insert(it->path().lexically_relative(root).generic_string() + (folder ? "/" : ""));
    }
    return out;
}

}  // namespace vesk::cachetest
