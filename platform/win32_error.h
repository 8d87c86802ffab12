// Windows builds only: Win32 error codes put into the per-thread error record as the
// errno values the callers of the platform layer compare against.
#pragma once

#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/error.h"

namespace vesk::win32 {

inline int ErrnoFromWin32(DWORD err) {
    switch (err) {
        case ERROR_SUCCESS:
            return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_PATHNAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_WRITE_PROTECT:
            return EACCES;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_DIRECTORY:
            return ENOTDIR;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER:
            return EINVAL;
        case ERROR_BUSY:
            return EBUSY;
        default:
            return EIO;
    }
}

// Records GetLastError() (or err) for call on path; returns the errno it stands for.
inline int RecordWin32Error(const char* call, const std::wstring& path,
                            DWORD err = GetLastError()) {
    const int code = ErrnoFromWin32(err);
    RecordOsError(call, code, path, err ? "Win32 error " + std::to_string(err) : std::string());
    return code;
}

// A handle closed when the owner goes.
class Handle {
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : m_h(h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return m_h; }
    bool valid() const { return m_h != INVALID_HANDLE_VALUE && m_h != nullptr; }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (valid())
            CloseHandle(m_h);
        m_h = h;
    }

private:
    HANDLE m_h;
};

}  // namespace vesk::win32
