// Whole-file replacement that a crash cannot tear. POSIX implementation in
// atomic_file_posix.cpp; a Windows build provides atomic_file_win32.cpp
// (ReplaceFileW / MoveFileExW with MOVEFILE_WRITE_THROUGH) with the same contract.
#pragma once

#include <string>
#include <string_view>

#include "platform/export.h"

namespace vesk::fs {

// Replaces the file at `path` with `bytes`. The bytes go to a new file in the same
// folder, which is flushed to disk and then renamed over `path`, so every reader and
// every crash sees either the whole old file or the whole new one. The permission
// bits of a file being replaced are kept. On failure `path` is untouched, no
// temporary file is left, and the cause is in the per-thread error record. Temporary
// files that killed writers of `path` left behind are removed first.
VESK_API bool ReplaceFileAtomically(const std::wstring& path, std::string_view bytes);

// The same without waiting for the disk (no fsync): readers and a crashed process still
// see the whole old file or the whole new one, but after a power cut the file may be
// empty. For files that can be made again, such as images in the cache.
VESK_API bool ReplaceFileWhole(const std::wstring& path, std::string_view bytes);

}  // namespace vesk::fs
