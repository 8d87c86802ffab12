// File-system calls the cache needs beyond platform/fs.h, on native UTF-8 paths.
// Measuring and eviction read a whole tree, so one listing gives each entry's kind,
// size and modification time with a single status call, and names are kept as the
// bytes the file system returned (a name that is not valid UTF-8 is still removable).
// POSIX implementation in cache_fs_posix.cpp; a Windows build adds cache_fs_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::cache {

struct ScanEntry {
    std::string name;          // never "." or ".."
    bool isDirectory = false;  // a real folder; a link to a folder is not one
    bool hasStatus = false;    // status of a non-folder could be read (links are followed)
    uint64_t size = 0;         // bytes of a regular file, 0 for anything else
    int64_t mtime = 0;         // last modification, seconds since the epoch
};

// Lists dir in the order the file system returns its entries. With withStatus the
// size and modification time of every non-folder entry are read too. False when the
// folder cannot be opened.
bool ScanDirectory(const std::string& dir, std::vector<ScanEntry>& out, bool withStatus);

// Removes a non-folder entry (a link is removed, never its target).
bool RemoveEntry(const std::string& path);
// Removes a folder only when it is empty.
bool RemoveEmptyFolder(const std::string& path);
// A real folder, not a link to one.
bool IsRealFolder(const std::string& path);

// Whether the system can make a file of this name in any folder, beyond the separator,
// NUL and length rules checked everywhere: Windows refuses its reserved characters and
// device names (CON, NUL, COM1... with any extension).
bool NameAllowed(std::wstring_view name);

// Longest file-name component, in bytes, that the file system holding dir accepts.
size_t MaxNameBytes(const std::wstring& dir);

// Whether two folder paths are the same text as the platform compares paths
// (letter case matters on POSIX).
bool SamePathText(const std::wstring& a, const std::wstring& b);

// Appends name to dir with one separator between them.
std::string JoinNative(const std::string& dir, const std::string& name);

}  // namespace vesk::cache
