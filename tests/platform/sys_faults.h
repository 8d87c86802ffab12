// Failures the file and folder tests inject through the system-call table: a disk
// that fills up, and calls that are interrupted every other time and otherwise move
// only a few bytes. Paths in the library's wide form, and the open descriptors.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/charset.h"
#include "platform/syscalls.h"

namespace vesk::test {

inline std::wstring W(const std::string& utf8) {
    return Utf8ToWide(utf8);
}

inline int OpenDescriptors() {
    int n = 0;
    // dup succeeds exactly on open descriptors; the copy goes at once.
    for (int fd = 0; fd < 1024; ++fd) {
        const int copy = ::dup(fd);
        if (copy >= 0) {
            ::close(copy);
            ++n;
        }
    }
    return n;
}

inline size_t g_writeBudget = 0;  // bytes the disk still takes
inline int g_calls = 0;           // calls so far; every odd one is interrupted

inline ssize_t WriteUntilFull(int fd, const void* buf, size_t n) {
    if (g_writeBudget == 0) {
        errno = ENOSPC;
        return -1;
    }
    n = std::min(n, g_writeBudget);
    g_writeBudget -= n;
    return RealSysCalls().write(fd, buf, n);
}

inline bool Interrupt() {
    if (++g_calls % 2 == 0)
        return false;
    errno = EINTR;
    return true;
}

// Replaces open, read and write with interrupted, short versions until destroyed.
class InterruptedCalls : ScopedSysCalls {
public:
    InterruptedCalls() {
        g_calls = 0;
        Sys().open = [](const char* p, int flags, mode_t mode) {
            return Interrupt() ? -1 : RealSysCalls().open(p, flags, mode);
        };
        Sys().read = [](int fd, void* buf, size_t n) -> ssize_t {
            return Interrupt() ? -1 : RealSysCalls().read(fd, buf, std::min<size_t>(n, 3));
        };
        Sys().write = [](int fd, const void* buf, size_t n) -> ssize_t {
            return Interrupt() ? -1 : RealSysCalls().write(fd, buf, std::min<size_t>(n, 3));
        };
    }
};

}  // namespace vesk::test
