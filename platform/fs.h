// File-system operations on wide paths. POSIX implementation in fs_posix.cpp, Windows
// implementation in fs_win32.cpp, with the same contract. Paths use
// kPathSeparator; every call is safe on any input (false / nullopt on failure) and
// records errno in the per-thread error record (platform/error.h).
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/export.h"

#if defined(_WIN32)
// The Windows headers define several of the names below as macros for their own calls;
// included first, so that no later inclusion brings the macros back.
#include <windows.h>
#undef CreateDirectory
#undef RemoveDirectory
#undef MoveFile
#undef CopyFile
#undef ReplaceFile
#endif

namespace vesk::fs {

#if defined(_WIN32)
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif

struct DirEntry {
    std::wstring name;         // never "." or ".."
    bool isDirectory = false;  // a real folder; a symbolic link never counts as one
};

// Anything at path; a final symbolic link counts even when it dangles.
VESK_API bool Exists(const std::wstring& path);
VESK_API bool IsDirectory(const std::wstring& path);
VESK_API bool IsFile(const std::wstring& path);  // exists and is not a folder
// A regular file itself: not a folder, link, device or pipe.
VESK_API bool IsRegularFile(const std::wstring& path);
// The calling process may read and write path (as _waccess with mode 6 tells).
VESK_API bool CanReadWrite(const std::wstring& path);

VESK_API bool CreateDirectory(const std::wstring& path);  // one level; false if it exists
// Every missing level; true if it exists. On failure the levels it made are removed.
VESK_API bool CreateDirectoryTree(const std::wstring& path);
VESK_API bool CreateNewFile(const std::wstring& path);  // exclusive create, left empty and closed

VESK_API bool RemoveFile(const std::wstring& path);
VESK_API bool RemoveDirectory(const std::wstring& path);  // only when empty
// The folder (or file) and all below it. Symbolic links are removed, never followed.
VESK_API bool RemoveTree(const std::wstring& path);

// Fails if `to` exists. A file moves across volumes (copy, then removal of the source).
VESK_API bool MoveFile(const std::wstring& from, const std::wstring& to);
// Moves the file `from` over `to`: an existing file (or link) at `to` is replaced in one
// step, so `to` is the old file or the new one, never absent or partial; a folder at `to`
// is refused and kept. Across volumes the file is copied beside `to` and renamed over it.
VESK_API bool ReplaceFile(const std::wstring& from, const std::wstring& to);
// The target appears complete or not at all (copied beside it, then renamed); it
// takes the source's modes and modification time.
VESK_API bool CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists);

// Entries in the order the file system returns them.
VESK_API bool ListDirectory(const std::wstring& path, std::vector<DirEntry>& out);

VESK_API std::optional<uint64_t> FileSize(const std::wstring& path);  // files only, not folders
VESK_API std::optional<std::time_t> ModificationTime(const std::wstring& path);
VESK_API bool SetModificationTime(const std::wstring& path, std::time_t t);
// Linux cannot set a birth time, so a creation time that the library sets is kept in
// an extended attribute; without one the statx birth time (or the change time) is used.
VESK_API std::optional<std::time_t> CreationTime(const std::wstring& path);
VESK_API bool SetCreationTime(const std::wstring& path, std::time_t t);

// The volume that holds path: its mount point (with a trailing separator, like a
// drive root; a path that does not exist yet belongs to its nearest existing
// ancestor's volume), total size, and whether it is a local ("fixed") file system
// rather than a network or pseudo one.
VESK_API std::wstring VolumeRoot(const std::wstring& path);
VESK_API std::optional<uint64_t> VolumeTotalBytes(const std::wstring& path);
VESK_API bool IsFixedVolume(const std::wstring& path);

VESK_API std::wstring TempDirectory();  // $TMPDIR or /tmp, with a trailing separator

}  // namespace vesk::fs
