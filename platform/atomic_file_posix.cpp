// atomic_file.h on POSIX: temporary file, fsync, rename, fsync of the folder. The calls
// tests make fail go through the Sys() table.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/atomic_file.h"
#include "platform/charset.h"
#include "platform/error.h"
#include "platform/syscalls.h"

namespace vesk::fs {
namespace {

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

bool WriteAll(int fd, std::string_view bytes) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = RetryEintr([&] { return Sys().write(fd, p, left); });
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

constexpr const char* kTempInfix = ".vesk-new-";

// Removes the temporary files that writers of `path` left when they were killed
// between creating and renaming them. Only files of processes that no longer exist
// go: a live writer's file is still on its way to becoming `path`.
void RemoveLeftoverTemporaries(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string prefix =
        (slash == std::string::npos ? path : path.substr(slash + 1)) + kTempInfix;
    const std::string folder =
        slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    // Closed on every way out: the names below may throw std::bad_alloc.
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(FolderOf(path).c_str()), ::closedir);
    if (!dir)
        return;
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        unsigned pid = 0;
        unsigned serial = 0;
        if (std::sscanf(name.c_str() + prefix.size(), "%x-%x", &pid, &serial) != 2 || pid == 0)
            continue;
        if (static_cast<pid_t>(pid) == ::getpid())
            continue;  // this process removes its own on failure
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
            Sys().unlink((folder + name).c_str());
    }
}

// A new file beside `path` that no other writer uses; -1 on failure.
int CreateTemporaryBeside(const std::string& path, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[48];
        std::snprintf(suffix, sizeof suffix, "%s%x-%x", kTempInfix,
                      static_cast<unsigned>(::getpid()), counter.fetch_add(1));
        tempPath = path + suffix;
        int fd = RetryEintr([&] {
            return Sys().open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        });
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

void SyncFolder(const std::string& folder) {
    int fd = RetryEintr(
        [&] { return Sys().open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0); });
    if (fd < 0)
        return;
    Sys().fsync(fd);  // best effort: the rename itself is already atomic
    Sys().close(fd);
}

bool Replace(const std::wstring& path, std::string_view bytes, bool durable) {
    if (path.empty()) {
        RecordOsError("open", ENOENT, path);
        return false;
    }
    const std::string target = WideToUtf8(path);
    const std::string folder = FolderOf(target);  // nothing may fail after the rename
    RemoveLeftoverTemporaries(target);
    std::string temp;
    int fd = CreateTemporaryBeside(target, temp);
    if (fd < 0) {
        RecordOsError("open", errno, temp);
        return false;
    }

    const char* failed = nullptr;
    struct stat old {};
    if (Sys().stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode) &&
        ::fchmod(fd, old.st_mode & 07777) != 0) {
        failed = "fchmod";
    }
    if (!failed && !WriteAll(fd, bytes))
        failed = "write";
    if (!failed && durable && Sys().fsync(fd) != 0)
        failed = "fsync";
    int err = failed ? errno : 0;
    if (Sys().close(fd) != 0 && !failed) {
        failed = "close";
        err = errno;
    }
    if (!failed && Sys().rename(temp.c_str(), target.c_str(), 0) != 0) {
        failed = "rename";
        err = errno;
    }
    if (failed) {
        Sys().unlink(temp.c_str());
        RecordOsError(failed, err, target);
        return false;
    }
    if (durable)
        SyncFolder(folder);
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
