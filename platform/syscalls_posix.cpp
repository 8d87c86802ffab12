// The real system calls behind the replaceable table of syscalls.h.
#include "platform/syscalls.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

namespace vesk {
namespace {

const SysCalls kReal = {
    [](const char* p, int f, mode_t m) { return ::open(p, f, m); },
    [](int d, const char* p, int f, mode_t m) { return ::openat(d, p, f, m); },
    [](int fd) { return ::close(fd); },
    [](int fd, void* b, size_t n) { return ::read(fd, b, n); },
    [](int fd, const void* b, size_t n) { return ::write(fd, b, n); },
    [](int fd) { return ::fsync(fd); },
    [](const char* p, mode_t m) { return ::mkdir(p, m); },
    [](const char* p) { return ::rmdir(p); },
    [](const char* p) { return ::unlink(p); },
    [](int d, const char* p, int f) { return ::unlinkat(d, p, f); },
    [](const char* a, const char* b, unsigned f) {
        return ::renameat2(AT_FDCWD, a, AT_FDCWD, b, f);
    },
    [](const char* p, struct stat* st) { return ::stat(p, st); },
    [](const char* p, struct stat* st) { return ::lstat(p, st); },
};

}  // namespace

SysCalls& Sys() {
    static SysCalls table = kReal;
    return table;
}

const SysCalls& RealSysCalls() {
    return kReal;
}

}  // namespace vesk
