// file_lock.h on POSIX: flock(LOCK_EX) on a descriptor of its own, so that threads of
// one process exclude each other too (each open file description locks apart).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/charset.h"
#include "platform/error.h"
#include "platform/file_lock.h"
#include "platform/syscalls.h"

namespace vesk::fs {

std::unique_ptr<FileLock> FileLock::Acquire(const std::wstring& path) {
    const std::string native = WideToUtf8(path);
    const int fd = RetryEintr(
        [&] { return ::open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600); });
    if (fd < 0) {
        RecordOsError("open", errno, path);
        return nullptr;
    }
    if (RetryEintr([&] { return ::flock(fd, LOCK_EX); }) != 0) {
        RecordOsError("flock", errno, path);
        ::close(fd);
        return nullptr;
    }
    FileLock* lock = new (std::nothrow) FileLock(fd);
    if (!lock) {
        ::close(fd);  // closing drops the lock
        throw std::bad_alloc();
    }
    return std::unique_ptr<FileLock>(lock);
}

FileLock::~FileLock() {
    ::close(m_fd);  // closing releases the lock
}

}  // namespace vesk::fs
