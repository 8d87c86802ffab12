// The per-box and per-document folders the document level keeps under the cache, temporary
// and transfer trees. Internal to the item tree.
#pragma once

#include <initializer_list>

#include "cache/utility.h"
#include "platform/cstring.h"
#include "platform/fs.h"

namespace vesk {

// A level of such a folder: kept when it is a usable folder, else made.
inline bool EnsureFolder(const CString& path) {
    if (fs::IsDirectory(path.str()) && fs::CanReadWrite(path.str()))
        return true;
    return fs::CreateDirectory(path.str());
}

// The tree at folder (made whole where missing), then one level per id below it, each
// named by the id in decimal; folder becomes the deepest. False when a level cannot be
// made.
inline bool EnsureFolderChain(CString& folder, std::initializer_list<long> levels) {
    if (!EnsureFolder(folder) && !CUtility::CreateDirectoryTree(folder))
        return false;
    for (const long level : levels) {
        CString name;
        name.Format(L"%ld", level);
        folder = CUtility::JoinPath(folder, name);
        if (!EnsureFolder(folder))
            return false;
    }
    return true;
}

}  // namespace vesk
