// The table of syscalls.h in a Windows build: the C run-time's calls, for callers that
// use the table directly. The Windows backends call the system's own functions, so
// replacing entries does not inject failures into them.
#include "platform/syscalls.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

namespace vesk {
namespace {

int Unsupported() {
    errno = ENOSYS;
    return -1;
}

const SysCalls kReal = {
    [](const char* p, int f, mode_t m) { return ::_open(p, f | _O_BINARY, m); },
    [](int, const char*, int, mode_t) { return Unsupported(); },
    [](int fd) { return ::_close(fd); },
    [](int fd, void* b, size_t n) -> ssize_t { return ::_read(fd, b, static_cast<unsigned>(n)); },
    [](int fd, const void* b, size_t n) -> ssize_t {
        return ::_write(fd, b, static_cast<unsigned>(n));
    },
    [](int fd) { return ::_commit(fd); },
    [](const char* p, mode_t) { return ::_mkdir(p); },
    [](const char* p) { return ::_rmdir(p); },
    [](const char* p) { return ::_unlink(p); },
    [](int, const char*, int) { return Unsupported(); },
    [](const char* a, const char* b, unsigned f) { return f ? Unsupported() : ::rename(a, b); },
    [](const char* p, struct stat* st) { return ::stat(p, st); },
    [](const char* p, struct stat* st) { return ::stat(p, st); },
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
