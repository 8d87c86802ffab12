// Windows side of cache_fs.h: one FindFirstFileExW listing gives each entry's kind,
// size and modification time. Native paths are UTF-8 here and wide for the system.
#include "cache/cache_fs.h"

#include <windows.h>

#include <cwchar>
#include <string_view>

#include "platform/charset.h"

namespace vesk::cache {
namespace {

std::wstring W(const std::string& s) {
    return Utf8ToWide(s);
}

int64_t UnixSeconds(const FILETIME& ft) {
    const int64_t v = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return (v - 116444736000000000LL) / 10000000;
}

}  // namespace

bool ScanDirectory(const std::string& dir, std::vector<ScanEntry>& out, bool withStatus) {
    out.clear();
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileExW(W(JoinNative(dir, "*")).c_str(), FindExInfoBasic, &found,
                                FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    try {
        do {
            const wchar_t* n = found.cFileName;
            if (!wcscmp(n, L".") || !wcscmp(n, L".."))
                continue;
            ScanEntry entry;
            entry.name = WideToUtf8(n);
            const DWORD a = found.dwFileAttributes;
            entry.isDirectory =
                (a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT);
            if (!entry.isDirectory && withStatus) {
                entry.hasStatus = true;
                if (!(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                           FILE_ATTRIBUTE_DEVICE)))
                    entry.size =
                        (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
                entry.mtime = UnixSeconds(found.ftLastWriteTime);
            }
            out.push_back(std::move(entry));
        } while (FindNextFileW(h, &found));
    } catch (...) {
        FindClose(h);
        throw;
    }
    FindClose(h);
    return true;
}

bool RemoveEntry(const std::string& path) {
    const std::wstring p = W(path);
    const DWORD a = GetFileAttributesW(p.c_str());
    // A link to a folder is a folder entry to the system; removing it leaves its target.
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) &&
        (a & FILE_ATTRIBUTE_REPARSE_POINT))
        return RemoveDirectoryW(p.c_str()) != 0;
    return DeleteFileW(p.c_str()) != 0;
}

bool RemoveEmptyFolder(const std::string& path) {
    return RemoveDirectoryW(W(path).c_str()) != 0;
}

bool IsRealFolder(const std::string& path) {
    const DWORD a = GetFileAttributesW(W(path).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) &&
           !(a & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool NameAllowed(std::wstring_view name) {
    for (wchar_t c : name)
        if (c < 32 || std::wstring_view(L"<>:\"/\\|?*").find(c) != std::wstring_view::npos)
            return false;
    // A device name stays one with an extension or trailing spaces ("con .txt").
    std::wstring_view stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ')
        stem.remove_suffix(1);
    auto is = [](std::wstring_view text, std::wstring_view device) {
        return CompareStringOrdinal(text.data(), static_cast<int>(text.size()), device.data(),
                                    static_cast<int>(device.size()), TRUE) == CSTR_EQUAL;
    };
    for (std::wstring_view device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (is(stem, device))
            return false;
    // COM1-COM9 and LPT1-LPT9.
    return !(stem.size() == 4 && stem[3] >= L'1' && stem[3] <= L'9' &&
             (is(stem.substr(0, 3), L"COM") || is(stem.substr(0, 3), L"LPT")));
}

size_t MaxNameBytes(const std::wstring& dir) {
    // A component holds at most this many UTF-16 units, and a UTF-8 name of that many
    // bytes never has more units than bytes.
    wchar_t root[MAX_PATH + 1];
    DWORD maxComponent = 0;
    if (GetVolumePathNameW(dir.c_str(), root, MAX_PATH + 1) &&
        GetVolumeInformationW(root, nullptr, 0, nullptr, &maxComponent, nullptr, nullptr, 0) &&
        maxComponent > 0)
        return maxComponent;
    return 255;
}

bool SamePathText(const std::wstring& a, const std::wstring& b) {
    // Windows compares paths without regard to case.
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::string JoinNative(const std::string& dir, const std::string& name) {
    std::string p = dir;
    if (p.empty() || (p.back() != '\\' && p.back() != '/'))
        p += '\\';
    p += name;
    return p;
}

}  // namespace vesk::cache
