// File-system operations of fs.h on Windows. Every failure leaves its cause (as an
// errno value) in the per-thread error record. Links and junctions are reparse points:
// they never count as folders and are removed, never entered.
#include "platform/fs.h"

#include <io.h>
#include <windows.h>

#include <atomic>
#include <cwchar>

#include "platform/win32_error.h"

namespace vesk::fs {
namespace {

bool Fail(const char* call, const std::wstring& path, DWORD err = GetLastError()) {
    win32::RecordWin32Error(call, path, err);
    return false;
}

bool Refuse(const char* call, const std::wstring& path) {
    if (!path.empty())
        return false;
    RecordOsError(call, ENOENT, path);
    return true;
}

DWORD Attributes(const std::wstring& path) {
    return path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(path.c_str());
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

std::wstring StripTrailingSeparators(std::wstring p) {
    while (p.size() > 1 && IsSeparator(p.back()) && p[p.size() - 2] != L':')
        p.pop_back();
    return p;
}

std::wstring ParentOf(const std::wstring& p) {
    const size_t cut = p.find_last_of(L"\\/");
    return cut == std::wstring::npos ? L"." : p.substr(0, cut);
}

std::wstring TempNameBeside(const std::wstring& target) {
    static std::atomic<unsigned> counter{0};
    wchar_t name[64];
    swprintf(name, 64, L"\\.vesk-copy-%x-%x", static_cast<unsigned>(GetCurrentProcessId()),
             counter.fetch_add(1));
    return ParentOf(target) + name;
}

// Copies beside the target, then moves the copy into place, so the target is either as
// before or complete. CopyFileW carries the attributes and the modification time.
bool CopyBesideAndMove(const std::wstring& from, const std::wstring& to, bool replace) {
    std::wstring tmp;
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = TempNameBeside(to);
        if (CopyFileW(from.c_str(), tmp.c_str(), TRUE))
            break;
        if (GetLastError() != ERROR_FILE_EXISTS)
            return Fail("CopyFileW", from);
        tmp.clear();
    }
    if (tmp.empty())
        return Fail("CopyFileW", to, ERROR_FILE_EXISTS);
    // A read-only source gives a read-only copy, which must still be movable.
    const DWORD attrs = GetFileAttributesW(tmp.c_str());
    const DWORD how = (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH;
    if (!MoveFileExW(tmp.c_str(), to.c_str(), how)) {
        const DWORD err = GetLastError();
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY))
            SetFileAttributesW(tmp.c_str(), attrs & ~FILE_ATTRIBUTE_READONLY);
        DeleteFileW(tmp.c_str());
        return Fail("MoveFileExW", to, err);
    }
    return true;
}

bool DeleteEvenReadOnly(const std::wstring& path) {
    if (DeleteFileW(path.c_str()))
        return true;
    const DWORD err = GetLastError();
    const DWORD attrs = GetFileAttributesW(path.c_str());
    if (err == ERROR_ACCESS_DENIED && attrs != INVALID_FILE_ATTRIBUTES &&
        (attrs & FILE_ATTRIBUTE_READONLY) &&
        SetFileAttributesW(path.c_str(), attrs & ~FILE_ATTRIBUTE_READONLY)) {
        if (DeleteFileW(path.c_str()))
            return true;
        const DWORD again = GetLastError();
        SetFileAttributesW(path.c_str(), attrs);
        SetLastError(again);
        return false;
    }
    SetLastError(err);
    return false;
}

bool RemoveTreeAt(const std::wstring& path, DWORD attrs) {
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY))
        return DeleteEvenReadOnly(path) || Fail("DeleteFileW", path);
    if (!(attrs & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        HANDLE h = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found,
                                    FindExSearchNameMatch, nullptr, 0);
        if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND)
            return Fail("FindFirstFileExW", path);
        bool ok = true;
        if (h != INVALID_HANDLE_VALUE) {
            do {
                if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L".."))
                    continue;
                ok = RemoveTreeAt(path + L"\\" + found.cFileName, found.dwFileAttributes) && ok;
            } while (FindNextFileW(h, &found));
            FindClose(h);
        }
        if (!ok)
            return false;
    }
    // A link to a folder is removed as the link itself.
    return RemoveDirectoryW(path.c_str()) || Fail("RemoveDirectoryW", path);
}

// 100-nanosecond intervals between 1601 and 1970.
constexpr int64_t kEpochDifference = 116444736000000000LL;

std::time_t FromFileTime(const FILETIME& ft) {
    const int64_t v = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<std::time_t>((v - kEpochDifference) / 10000000);
}

FILETIME ToFileTime(std::time_t t) {
    const int64_t v = static_cast<int64_t>(t) * 10000000 + kEpochDifference;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(v);
    ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
    return ft;
}

std::optional<WIN32_FILE_ATTRIBUTE_DATA> AttributeData(const char* call, const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        Fail(call, path, path.empty() ? ERROR_FILE_NOT_FOUND : GetLastError());
        return std::nullopt;
    }
    return data;
}

// Sets one of the times; the other stays as it is. Folders too.
bool SetTime(const std::wstring& path, std::time_t t, bool creation) {
    if (Refuse("SetFileTime", path))
        return false;
    if (t < 0) {
        RecordOsError("SetFileTime", EINVAL, path);
        return false;
    }
    win32::Handle h(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!h.valid())
        return Fail("CreateFileW", path);
    const FILETIME ft = ToFileTime(t);
    if (!SetFileTime(h.get(), creation ? &ft : nullptr, nullptr, creation ? nullptr : &ft))
        return Fail("SetFileTime", path);
    return true;
}

// The nearest existing folder at or above path.
std::wstring ExistingAncestor(std::wstring p) {
    p = StripTrailingSeparators(p);
    while (!p.empty() && Attributes(p) == INVALID_FILE_ATTRIBUTES) {
        const size_t cut = p.find_last_of(L"\\/");
        if (cut == std::wstring::npos)
            return L".";
        p = p.substr(0, cut);
        if (!p.empty() && p.back() == L':')
            p += L'\\';
    }
    return p.empty() ? L"." : p;
}

}  // namespace

bool Exists(const std::wstring& path) {
    return Attributes(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const std::wstring& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsRegularFile(const std::wstring& path) {
    const DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES &&
           !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

bool CanReadWrite(const std::wstring& path) {
    return !path.empty() && _waccess(path.c_str(), 6) == 0;
}

bool CreateDirectory(const std::wstring& path) {
    if (Refuse("CreateDirectoryW", path))
        return false;
    return CreateDirectoryW(path.c_str(), nullptr) || Fail("CreateDirectoryW", path);
}

bool CreateDirectoryTree(const std::wstring& path) {
    if (Refuse("CreateDirectoryW", path))
        return false;
    const std::wstring full = StripTrailingSeparators(path);
    if (IsDirectory(full))
        return true;
    std::vector<std::wstring> made;
    for (size_t i = 0; i <= full.size(); ++i) {
        if (i < full.size() && !IsSeparator(full[i]))
            continue;
        const std::wstring level = full.substr(0, i);
        if (level.empty() || level.back() == L':' || IsSeparator(level.back()) ||
            IsDirectory(level))
            continue;
        if (!CreateDirectoryW(level.c_str(), nullptr)) {
            const DWORD err = GetLastError();
            if (err == ERROR_ALREADY_EXISTS && IsDirectory(level))
                continue;
            for (auto it = made.rbegin(); it != made.rend(); ++it)
                RemoveDirectoryW(it->c_str());
            return Fail("CreateDirectoryW", level, err);
        }
        made.push_back(level);
    }
    return true;
}

bool CreateNewFile(const std::wstring& path) {
    if (Refuse("CreateFileW", path))
        return false;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return Fail("CreateFileW", path);
    CloseHandle(h);
    return true;
}

bool RemoveFile(const std::wstring& path) {
    if (Refuse("DeleteFileW", path))
        return false;
    return DeleteEvenReadOnly(path) || Fail("DeleteFileW", path);
}

bool RemoveDirectory(const std::wstring& path) {
    if (Refuse("RemoveDirectoryW", path))
        return false;
    return RemoveDirectoryW(path.c_str()) || Fail("RemoveDirectoryW", path);
}

bool RemoveTree(const std::wstring& path) {
    if (Refuse("RemoveDirectoryW", path))
        return false;
    const std::wstring p = StripTrailingSeparators(path);
    const DWORD a = Attributes(p);
    if (a == INVALID_FILE_ATTRIBUTES)
        return Fail("GetFileAttributesW", p);
    return RemoveTreeAt(p, a);
}

bool MoveFile(const std::wstring& from, const std::wstring& to) {
    if (Refuse("MoveFileExW", from) || Refuse("MoveFileExW", to))
        return false;
    if (Exists(to))
        return Fail("MoveFileExW", to, ERROR_ALREADY_EXISTS);
    return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_COPY_ALLOWED) || Fail("MoveFileExW", to);
}

bool ReplaceFile(const std::wstring& from, const std::wstring& to) {
    if (Refuse("MoveFileExW", from) || Refuse("MoveFileExW", to))
        return false;
    if (IsDirectory(from))
        return Fail("MoveFileExW", from, ERROR_ACCESS_DENIED);
    const DWORD target = Attributes(to);
    if (target != INVALID_FILE_ATTRIBUTES && (target & FILE_ATTRIBUTE_DIRECTORY))
        return Fail("MoveFileExW", to, ERROR_ACCESS_DENIED);
    if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (GetLastError() != ERROR_NOT_SAME_DEVICE)
        return Fail("MoveFileExW", to);
    if (!CopyBesideAndMove(from, to, true))
        return false;
    DeleteEvenReadOnly(from);
    return true;
}

bool CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) {
    if (Refuse("CopyFileW", from) || Refuse("CopyFileW", to))
        return false;
    const DWORD source = Attributes(from);
    if (source == INVALID_FILE_ATTRIBUTES)
        return Fail("CopyFileW", from);
    if (source & FILE_ATTRIBUTE_DIRECTORY)
        return Fail("CopyFileW", from, ERROR_ACCESS_DENIED);
    if (failIfExists && Exists(to))
        return Fail("CopyFileW", to, ERROR_FILE_EXISTS);
    return CopyBesideAndMove(from, to, !failIfExists);
}

bool ListDirectory(const std::wstring& path, std::vector<DirEntry>& out) {
    out.clear();
    if (Refuse("FindFirstFileExW", path))
        return false;
    const std::wstring dir = StripTrailingSeparators(path);
    if (!IsDirectory(dir))
        return Fail("FindFirstFileExW", dir, Exists(dir) ? ERROR_DIRECTORY : ERROR_PATH_NOT_FOUND);
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileExW((dir + L"\\*").c_str(), FindExInfoBasic, &found,
                                FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || Fail("FindFirstFileExW", dir);
    try {
        do {
            if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L".."))
                continue;
            DirEntry e;
            e.name = found.cFileName;
            e.isDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
            out.push_back(std::move(e));
        } while (FindNextFileW(h, &found));
    } catch (...) {
        FindClose(h);
        throw;
    }
    FindClose(h);
    return true;
}

std::optional<uint64_t> FileSize(const std::wstring& path) {
    auto data = AttributeData("GetFileAttributesExW", path);
    if (!data)
        return std::nullopt;
    if (data->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RecordOsError("GetFileAttributesExW", EISDIR, path);
        return std::nullopt;
    }
    return (static_cast<uint64_t>(data->nFileSizeHigh) << 32) | data->nFileSizeLow;
}

std::optional<std::time_t> ModificationTime(const std::wstring& path) {
    auto data = AttributeData("GetFileAttributesExW", path);
    if (!data)
        return std::nullopt;
    return FromFileTime(data->ftLastWriteTime);
}

bool SetModificationTime(const std::wstring& path, std::time_t t) {
    return SetTime(path, t, false);
}

std::optional<std::time_t> CreationTime(const std::wstring& path) {
    auto data = AttributeData("GetFileAttributesExW", path);
    if (!data)
        return std::nullopt;
    return FromFileTime(data->ftCreationTime);
}

bool SetCreationTime(const std::wstring& path, std::time_t t) {
    return SetTime(path, t, true);
}

std::wstring VolumeRoot(const std::wstring& path) {
    const std::wstring existing = ExistingAncestor(path);
    wchar_t root[MAX_PATH + 1];
    if (!GetVolumePathNameW(existing.c_str(), root, MAX_PATH + 1)) {
        Fail("GetVolumePathNameW", existing);
        return {};
    }
    std::wstring r = root;
    if (r.empty() || !IsSeparator(r.back()))
        r += L'\\';
    return r;
}

std::optional<uint64_t> VolumeTotalBytes(const std::wstring& path) {
    const std::wstring existing = ExistingAncestor(path);
    ULARGE_INTEGER total;
    if (!GetDiskFreeSpaceExW(existing.c_str(), nullptr, &total, nullptr)) {
        Fail("GetDiskFreeSpaceExW", existing);
        return std::nullopt;
    }
    return total.QuadPart;
}

bool IsFixedVolume(const std::wstring& path) {
    const std::wstring root = VolumeRoot(path);
    return !root.empty() && GetDriveTypeW(root.c_str()) == DRIVE_FIXED;
}

std::wstring TempDirectory() {
    wchar_t buf[MAX_PATH + 2];
    const DWORD n = GetTempPathW(MAX_PATH + 2, buf);
    std::wstring dir = (n > 0 && n <= MAX_PATH + 1) ? std::wstring(buf, n) : std::wstring(L"C:\\");
    if (!IsSeparator(dir.back()))
        dir += L'\\';
    return dir;
}

}  // namespace vesk::fs
