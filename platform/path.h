// Path forms that differ between systems.
#pragma once

#include <string_view>

namespace vesk::fs {

// An absolute path: "/..." on POSIX; "X:\..." (or "X:/...") or "\\server\share..." on
// Windows, where "\..." alone still depends on the current drive.
inline bool IsAbsolutePath(std::wstring_view p) {
#if defined(_WIN32)
    auto sep = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (p.size() >= 3 && p[1] == L':' && sep(p[2]))
        return (p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z');
    return p.size() >= 3 && sep(p[0]) && sep(p[1]) && !sep(p[2]);
#else
    return !p.empty() && p[0] == L'/';
#endif
}

}  // namespace vesk::fs
