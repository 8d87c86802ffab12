// An exclusive advisory lock on a file, held across processes for the life of the
// object. POSIX implementation in file_lock_posix.cpp (flock on a lock file the
// holder creates when missing); the kernel drops the lock of a process that dies, so
// a killed holder never blocks the next one.
#pragma once

#include <memory>
#include <string>

#include "platform/export.h"

namespace vesk::fs {

class VESK_API FileLock {
public:
    // Opens (creating when missing, mode 0600) the lock file at `path` and waits until
    // this caller holds it alone. Null when the file cannot be opened or locked; the
    // cause is in the per-thread error record. Two holders in one process exclude
    // each other as well.
    static std::unique_ptr<FileLock> Acquire(const std::wstring& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    explicit FileLock(int fd) : m_fd(fd) {}
    int m_fd;
};

}  // namespace vesk::fs
