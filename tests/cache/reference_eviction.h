// The eviction as first described, kept as a yardstick: the whole tree is measured
// again before every candidate file. Built only on platform/fs.h so it shares no code
// with the library's own tree walk. Used by the differential test and the benchmark.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "platform/fs.h"

namespace vesk::cachetest::reference {

inline std::wstring Join(const std::wstring& dir, const std::wstring& name) {
    return dir.back() == vesk::fs::kPathSeparator ? dir + name
                                                  : dir + vesk::fs::kPathSeparator + name;
}

inline int64_t Measure(const std::wstring& dir) {
    std::vector<vesk::fs::DirEntry> entries;
    if (!vesk::fs::IsDirectory(dir) || !vesk::fs::ListDirectory(dir, entries))
        return 0;
    uint64_t kb = 0;
    int64_t sub = 0;
    for (const auto& e : entries) {
        const std::wstring path = Join(dir, e.name);
        if (e.isDirectory) {
            sub += Measure(path);
        } else if (auto size = vesk::fs::FileSize(path)) {
            kb += *size >> 10;
        }
    }
    return static_cast<int64_t>(kb / 1024) + sub;
}

inline void Pass(const std::wstring& root, const std::wstring& dir, int64_t target, int minAge) {
    std::vector<vesk::fs::DirEntry> entries;
    if (!vesk::fs::IsDirectory(dir) || !vesk::fs::ListDirectory(dir, entries))
        return;
    const int64_t now = minAge > 0 ? static_cast<int64_t>(std::time(nullptr)) : 0;
    for (const auto& e : entries) {
        const std::wstring path = Join(dir, e.name);
        if (e.isDirectory) {
            Pass(root, path, target, minAge);
            vesk::fs::RemoveDirectory(path);
            continue;
        }
        if (minAge > 0) {
            const auto mtime = vesk::fs::ModificationTime(path);
            if (!mtime)
                continue;
            if ((now - static_cast<int64_t>(*mtime)) / 86400 < minAge)
                continue;
        }
        if (target >= Measure(root))
            continue;
        vesk::fs::RemoveFile(path);
    }
}

// Returns the number of passes run (0 when the tree was below the limit).
inline int Evict(const std::wstring& root, int limitMb) {
    if (Measure(root) < limitMb)
        return 0;
    const int64_t target = static_cast<int64_t>(limitMb) * 70 / 100;
    int passes = 0;
    for (int age = 5; age >= 0; --age) {
        Pass(root, root, target, age);
        ++passes;
        if (Measure(root) < target)
            break;
    }
    return passes;
}

}  // namespace vesk::cachetest::reference
