// Size accounting, eviction and emptying of a folder tree, on native UTF-8 paths.
// The measure rounds per folder: each file adds its whole kilobytes to its folder, each
// folder adds its kilobytes / 1024 (rounded down) plus what its sub-folders add.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vesk::cache {

// Megabytes below dir by the per-folder rule; 0 when dir cannot be listed.
int64_t MeasureTree(const std::string& dir);

struct EvictionResult {
    int64_t before = 0;  // measured size at the start
    int64_t after = 0;   // measured size at the end
    size_t deletedFiles = 0;
    int passes = 0;  // age passes run
    bool operator==(const EvictionResult&) const = default;
};

// When the tree measures limitMb or more, deletes files until it is below 70 % of the
// limit: passes with minimum ages of 5 down to 0 days, each walking the tree in listing
// order, depth first, deleting files at least that old while the tree is above the
// target and removing the folders it leaves empty; stops after the first pass that ends
// below the target. The tree is read once; its size is then kept up to date per folder
// as files go, which gives the same decisions as measuring it again before each file.
EvictionResult EvictTree(const std::string& root, int limitMb);

// Allowed range of the cache size limit, in megabytes, for a volume of totalBytes:
// 30 up to the volume's size capped at 300, never below 30, in steps of 30.
void LimitRangeForVolume(uint64_t totalBytes, int& minSize, int& maxSize);

// Deletes every file and folder below dir; links are removed, never followed. A folder
// that cannot be listed or emptied stays.
void EmptyFolder(const std::string& dir);

}  // namespace vesk::cache
