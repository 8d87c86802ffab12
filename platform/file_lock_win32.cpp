// file_lock.h on Windows: LockFileEx on a handle of its own. Locks belong to handles, so
// threads of one process exclude each other too, and the system drops the lock of a
// process that dies. The handle is kept as a C run-time descriptor, as the class holds.
#include <io.h>
#include <windows.h>

#include <new>

#include "platform/file_lock.h"
#include "platform/win32_error.h"

namespace vesk::fs {

std::unique_ptr<FileLock> FileLock::Acquire(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        win32::RecordWin32Error("CreateFileW", path);
        return nullptr;
    }
    OVERLAPPED whole{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        win32::RecordWin32Error("LockFileEx", path);
        CloseHandle(h);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), 0);
    if (fd < 0) {
        win32::RecordWin32Error("_open_osfhandle", path, ERROR_TOO_MANY_OPEN_FILES);
        CloseHandle(h);
        return nullptr;
    }
    FileLock* lock = new (std::nothrow) FileLock(fd);
    if (!lock) {
        _close(fd);  // closing drops the lock
        throw std::bad_alloc();
    }
    return std::unique_ptr<FileLock>(lock);
}

FileLock::~FileLock() {
    _close(m_fd);  // closing the handle releases the lock
}

}  // namespace vesk::fs
