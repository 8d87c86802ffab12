// The system calls the platform layer makes, behind a table that tests replace to
// inject failures (a full disk, EACCES at one folder level, EINTR). Production code
// always calls through Sys(); the table starts out pointing at the real calls.
#pragma once

#include <cerrno>

#include <sys/stat.h>
#include <sys/types.h>

#include "platform/export.h"

namespace vesk {

struct SysCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*openat)(int dirfd, const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buf, size_t count);
    ssize_t (*write)(int fd, const void* buf, size_t count);
    int (*fsync)(int fd);
    int (*mkdir)(const char* path, mode_t mode);
    int (*rmdir)(const char* path);
    int (*unlink)(const char* path);
    int (*unlinkat)(int dirfd, const char* path, int flags);
    // renameat2 semantics relative to the working folder; flags 0 or RENAME_NOREPLACE.
    int (*rename)(const char* from, const char* to, unsigned flags);
    int (*stat)(const char* path, struct stat* st);
    int (*lstat)(const char* path, struct stat* st);
};

// The process-wide table. Not synchronised: replace entries only while no other
// thread uses the platform layer (tests do it between steps).
VESK_API SysCalls& Sys();
// The real calls, to restore a table or to delegate to from a replacement.
VESK_API const SysCalls& RealSysCalls();

// Restores the table as it was when the object was made.
class ScopedSysCalls {
public:
    ScopedSysCalls() : m_saved(Sys()) {}
    ~ScopedSysCalls() { Sys() = m_saved; }
    ScopedSysCalls(const ScopedSysCalls&) = delete;
    ScopedSysCalls& operator=(const ScopedSysCalls&) = delete;

private:
    SysCalls m_saved;
};

// Repeats a call while it fails with EINTR.
template <class F>
auto RetryEintr(F f) -> decltype(f()) {
    decltype(f()) r;
    do {
        r = f();
    } while (r == -1 && errno == EINTR);
    return r;
}

}  // namespace vesk
