// atomic_file.h on Windows: a temporary file beside the target, flushed, then moved over
// it with MoveFileExW (MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH), which
// replaces the directory entry in one step on the same volume.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "platform/atomic_file.h"
#include "platform/win32_error.h"

namespace vesk::fs {
namespace {

constexpr const wchar_t* kTempInfix = L".vesk-new-";

size_t LastSeparator(const std::wstring& path) {
    return path.find_last_of(L"\\/");
}

bool ProcessIsGone(DWORD pid) {
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h)
        return GetLastError() == ERROR_INVALID_PARAMETER;
    const bool gone = WaitForSingleObject(h, 0) == WAIT_OBJECT_0;
    CloseHandle(h);
    return gone;
}

// Removes the temporary files that writers of `path` left when they were killed
// between creating and moving them; a live writer's file is left alone.
void RemoveLeftoverTemporaries(const std::wstring& path) {
    const size_t sep = LastSeparator(path);
    const std::wstring folder = sep == std::wstring::npos ? L"" : path.substr(0, sep + 1);
    const std::wstring prefix =
        (sep == std::wstring::npos ? path : path.substr(sep + 1)) + kTempInfix;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((path + kTempInfix + L"*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = found.cFileName;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        unsigned pid = 0, serial = 0;
        if (swscanf(name.c_str() + prefix.size(), L"%x-%x", &pid, &serial) != 2 || pid == 0 ||
            pid == GetCurrentProcessId())
            continue;
        if (ProcessIsGone(pid))
            DeleteFileW((folder + name).c_str());
    } while (FindNextFileW(h, &found));
    FindClose(h);
}

HANDLE CreateTemporaryBeside(const std::wstring& path, std::wstring& temp) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        wchar_t suffix[48];
        swprintf(suffix, 48, L"%ls%x-%x", kTempInfix, static_cast<unsigned>(GetCurrentProcessId()),
                 counter.fetch_add(1));
        temp = path + suffix;
        HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
            return h;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

bool WriteAll(HANDLE h, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk =
            bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!WriteFile(h, bytes.data(), chunk, &written, nullptr))
            return false;
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

bool Replace(const std::wstring& path, std::string_view bytes, bool durable) {
    if (path.empty()) {
        RecordOsError("CreateFileW", ENOENT, path);
        return false;
    }
    RemoveLeftoverTemporaries(path);
    std::wstring temp;
    HANDLE h = CreateTemporaryBeside(path, temp);
    if (h == INVALID_HANDLE_VALUE) {
        win32::RecordWin32Error("CreateFileW", temp);
        return false;
    }
    const char* failed = nullptr;
    if (!WriteAll(h, bytes))
        failed = "WriteFile";
    else if (durable && !FlushFileBuffers(h))
        failed = "FlushFileBuffers";
    DWORD err = failed ? GetLastError() : 0;
    if (!CloseHandle(h) && !failed) {
        failed = "CloseHandle";
        err = GetLastError();
    }
    const DWORD how = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
    if (!failed && !MoveFileExW(temp.c_str(), path.c_str(), how)) {
        failed = "MoveFileExW";
        err = GetLastError();
    }
    if (failed) {
        DeleteFileW(temp.c_str());
        win32::RecordWin32Error(failed, path, err);
        return false;
    }
    return true;
}

}  // namespace

bool ReplaceFileAtomically(const std::wstring& path, std::string_view bytes) {
    return Replace(path, bytes, true);
}

bool ReplaceFileWhole(const std::wstring& path, std::string_view bytes) {
    return Replace(path, bytes, false);
}

}  // namespace vesk::fs
