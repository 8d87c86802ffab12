// File-system operations of fs.h on POSIX. The calls tests need to fail go through
// the Sys() table; every failure leaves its cause in the per-thread error record.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>

#include "platform/charset.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/syscalls.h"

namespace vesk::fs {
namespace {

// Closes a directory stream on every path out, including a std::bad_alloc thrown
// while the listing grows.
struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// The same for a descriptor opened through the system-call table.
class ScopedFd {
public:
    explicit ScopedFd(int fd) : m_fd(fd) {}
    ~ScopedFd() {
        if (m_fd >= 0)
            Sys().close(m_fd);
    }
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

constexpr const char* kCreationTimeAttr = "user.vesk.ctime";

std::string U8(const std::wstring& s) {
    return WideToUtf8(s);
}

bool Fail(const char* call, const std::string& path, int err) {
    RecordOsError(call, err, path);
    return false;
}

// Paths given as empty are refused before any system call sees them.
bool Refuse(const char* call, const std::string& path) {
    if (!path.empty())
        return false;
    Fail(call, path, ENOENT);
    return true;
}

std::string ParentOf(const std::string& p) {
    auto cut = p.find_last_of('/');
    if (cut == std::string::npos)
        return ".";
    if (cut == 0)
        return "/";
    return p.substr(0, cut);
}

std::string StripTrailingSeparators(std::string p) {
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

// Renames without replacing an existing target. File systems without
// RENAME_NOREPLACE get a check followed by a plain rename.
int RenameNoReplace(const char* from, const char* to) {
    int r = Sys().rename(from, to, RENAME_NOREPLACE);
    if (r == 0 || (errno != EINVAL && errno != ENOSYS))
        return r;
    struct stat st;
    if (Sys().lstat(to, &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return Sys().rename(from, to, 0);
}

bool WriteAll(int fd, const char* data, size_t n) {
    while (n > 0) {
        ssize_t w = RetryEintr([&] { return Sys().write(fd, data, n); });
        if (w < 0)
            return false;
        if (w == 0) {
            errno = EIO;
            return false;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

std::string TempNameBeside(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    static const unsigned seed = std::random_device{}();
    char name[64];
    std::snprintf(name, sizeof name, "/.vesk-copy-%x-%x-%x", static_cast<unsigned>(getpid()), seed,
                  counter.fetch_add(1));
    return ParentOf(target) + name;
}

// Copies into a temporary file beside the target and renames it into place, so the
// target is either absent, as before, or complete.
bool CopyRegularFile(const std::string& from, const std::string& to, bool failIfExists) {
    int src = RetryEintr([&] { return Sys().open(from.c_str(), O_RDONLY | O_CLOEXEC, 0); });
    if (src < 0)
        return Fail("open", from, errno);
    struct Closer {
        int fd;
        ~Closer() { Sys().close(fd); }
    } srcCloser{src};

    struct stat st;
    if (fstat(src, &st) != 0)
        return Fail("fstat", from, errno);
    if (S_ISDIR(st.st_mode))
        return Fail("open", from, EISDIR);
    struct stat existing;
    if (failIfExists && Sys().lstat(to.c_str(), &existing) == 0)
        return Fail("open", to, EEXIST);

    std::string tmp;
    int dst = -1;
    for (int attempt = 0; attempt < 100 && dst < 0; ++attempt) {
        tmp = TempNameBeside(to);
        dst = RetryEintr(
            [&] { return Sys().open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
        if (dst < 0 && errno != EEXIST)
            break;
    }
    if (dst < 0)
        return Fail("open", tmp, errno);

    auto abandon = [&](const char* call, const std::string& path, int err) {
        Sys().close(dst);
        Sys().unlink(tmp.c_str());
        return Fail(call, path, err);
    };

    std::unique_ptr<char[]> buf(new char[1 << 18]);
    for (;;) {
        ssize_t n = RetryEintr([&] { return Sys().read(src, buf.get(), 1 << 18); });
        if (n < 0)
            return abandon("read", from, errno);
        if (n == 0)
            break;
        if (!WriteAll(dst, buf.get(), static_cast<size_t>(n)))
            return abandon("write", to, errno);
    }
    // Attributes and the modification time follow the source; failures to copy them
    // (a file system without modes) do not fail the copy.
    (void)fchmod(dst, st.st_mode & 07777);
    struct timespec times[2] = {{0, UTIME_OMIT}, st.st_mtim};
    (void)futimens(dst, times);
    if (Sys().close(dst) != 0) {
        int err = errno;
        Sys().unlink(tmp.c_str());
        return Fail("close", to, err);
    }
    int r = failIfExists ? RenameNoReplace(tmp.c_str(), to.c_str())
                         : Sys().rename(tmp.c_str(), to.c_str(), 0);
    if (r != 0) {
        int err = errno;
        Sys().unlink(tmp.c_str());
        return Fail("rename", to, err);
    }
    return true;
}

// Removes everything inside the open folder dirFd without following symbolic
// links: sub-folders are opened relative to their parent with O_NOFOLLOW, so a
// link (even one swapped in meanwhile) is removed as a link, never entered.
bool RemoveContents(int dirFd, const std::string& path, bool& recorded) {
    auto note = [&](const char* call, const std::string& p, int err) {
        if (!recorded)
            RecordOsError(call, err, p);
        recorded = true;
        return false;
    };
    int listFd = dup(dirFd);
    if (listFd < 0)
        return note("dup", path, errno);
    DirHandle dir(fdopendir(listFd));
    if (!dir) {
        int err = errno;
        close(listFd);
        return note("opendir", path, err);
    }
    std::vector<std::pair<std::string, bool>> entries;
    while (dirent* e = readdir(dir.get())) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
            continue;
        bool isDir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            isDir = fstatat(dirFd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        entries.emplace_back(e->d_name, isDir);
    }
    dir.reset();

    bool ok = true;
    for (const auto& entry : entries) {
        // Named references, not a structured binding: clang 14 cannot capture
        // bindings in the lambda below.
        const std::string& name = entry.first;
        const bool isDir = entry.second;
        const std::string child = path + "/" + name;
        if (isDir) {
            int sub = RetryEintr([&] {
                return Sys().openat(dirFd, name.c_str(),
                                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
            });
            if (sub < 0) {
                // Replaced by a link or a file since the listing: remove that instead.
                if ((errno == ENOTDIR || errno == ELOOP) &&
                    Sys().unlinkat(dirFd, name.c_str(), 0) == 0)
                    continue;
                ok = note("open", child, errno);
                continue;
            }
            ScopedFd subFd(sub);
            bool inner = RemoveContents(subFd.get(), child, recorded);
            if (!inner) {
                ok = false;
                continue;
            }
            if (Sys().unlinkat(dirFd, name.c_str(), AT_REMOVEDIR) != 0)
                ok = note("rmdir", child, errno);
        } else if (Sys().unlinkat(dirFd, name.c_str(), 0) != 0) {
            ok = note("unlink", child, errno);
        }
    }
    return ok;
}

// The path itself when it exists, else its nearest existing ancestor, resolved.
std::string ResolveExisting(const std::string& path) {
    std::string p = path;
    for (;;) {
        char buf[PATH_MAX];
        if (realpath(p.c_str(), buf))
            return buf;
        if (p == "/" || p == "." || p.empty())
            return {};
        p = ParentOf(StripTrailingSeparators(p));
    }
}

// mountinfo escapes blanks, tabs, newlines and backslashes as octal.
std::string UnescapeMountField(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const char* d = s.c_str() + i + 1;
            if (d[0] >= '0' && d[0] <= '3' && d[1] >= '0' && d[1] <= '7' && d[2] >= '0' &&
                d[2] <= '7') {
                out += static_cast<char>((d[0] - '0') * 64 + (d[1] - '0') * 8 + (d[2] - '0'));
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

struct Mount {
    std::string point;
    std::string type;
};

// The mount that holds a resolved path: the longest mount point that prefixes it;
// among equal ones the last listed, which is mounted on top.
std::optional<Mount> MountOf(const std::string& resolved) {
    std::ifstream in("/proc/self/mountinfo");
    if (!in)
        return std::nullopt;
    std::optional<Mount> best;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        size_t pos = 0;
        while (pos < line.size()) {
            size_t end = line.find(' ', pos);
            if (end == std::string::npos)
                end = line.size();
            f.push_back(line.substr(pos, end - pos));
            pos = end + 1;
        }
        if (f.size() < 7)
            continue;
        std::string point = UnescapeMountField(f[4]);
        std::string type;
        for (size_t i = 6; i + 1 < f.size(); ++i) {
            if (f[i] == "-") {
                type = f[i + 1];
                break;
            }
        }
        bool covers =
            point == "/" || resolved == point ||
            (resolved.size() > point.size() && resolved.compare(0, point.size(), point) == 0 &&
             resolved[point.size()] == '/');
        if (covers && (!best || point.size() >= best->point.size()))
            best = Mount{point, type};
    }
    return best;
}

// Without mountinfo: climb while the device stays the same.
std::string MountPointByDevice(const std::string& resolved) {
    struct stat st;
    if (stat(resolved.c_str(), &st) != 0)
        return {};
    std::string cur = resolved;
    while (cur != "/") {
        std::string up = ParentOf(cur);
        struct stat ust;
        if (stat(up.c_str(), &ust) != 0 || ust.st_dev != st.st_dev)
            break;
        cur = up;
    }
    return cur;
}

// statfs magic numbers of local file systems that count as a fixed drive.
bool IsLocalMagic(unsigned long type) {
    switch (type) {
        case 0xEF53:      // ext2/3/4
        case 0x58465342:  // xfs
        case 0x9123683E:  // btrfs
        case 0x01021994:  // tmpfs
        case 0x858458F6:  // ramfs
        case 0x794C7630:  // overlay
        case 0xF2F52010:  // f2fs
        case 0x2FC12FC1:  // zfs
        case 0x3153464A:  // jfs
        case 0x52654973:  // reiserfs
        case 0xCA451A4E:  // bcachefs
        case 0x3434:      // nilfs
        case 0x4D44:      // vfat / msdos
        case 0x2011BAB0:  // exfat
        case 0x7366746E:  // ntfs3
        case 0x5346544E:  // ntfs
        case 0x482B:      // hfs+
            return true;
        default:
            return false;
    }
}

constexpr unsigned long kFuseMagic = 0x65735546;

}  // namespace

bool Exists(const std::wstring& path) {
    std::string p = U8(path);
    struct stat st;
    return !p.empty() && Sys().lstat(p.c_str(), &st) == 0;
}

bool IsDirectory(const std::wstring& path) {
    std::string p = U8(path);
    struct stat st;
    return !p.empty() && Sys().stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CanReadWrite(const std::wstring& path) {
    std::string p = U8(path);
    if (Refuse("access", p))
        return false;
    return ::access(p.c_str(), R_OK | W_OK) == 0 || Fail("access", p, errno);
}

bool IsFile(const std::wstring& path) {
    std::string p = U8(path);
    struct stat st;
    return !p.empty() && Sys().stat(p.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::wstring& path) {
    std::string p = U8(path);
    struct stat st;
    return !p.empty() && Sys().lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool CreateDirectory(const std::wstring& path) {
    std::string p = U8(path);
    if (Refuse("mkdir", p))
        return false;
    if (Sys().mkdir(p.c_str(), 0777) != 0)
        return Fail("mkdir", p, errno);
    return true;
}

bool CreateDirectoryTree(const std::wstring& path) {
    std::string p = StripTrailingSeparators(U8(path));
    if (Refuse("mkdir", p))
        return false;
    // Levels made by this call, removed again when a deeper level fails, so a
    // failure leaves the tree as it was.
    std::vector<std::string> made;
    auto undo = [&](const char* call, const std::string& level, int err) {
        for (auto it = made.rbegin(); it != made.rend(); ++it)
            Sys().rmdir(it->c_str());
        return Fail(call, level, err);
    };
    for (size_t i = 1; i <= p.size(); ++i) {
        if (i < p.size() && p[i] != '/')
            continue;
        if (p[i - 1] == '/')
            continue;  // doubled separator
        std::string level = p.substr(0, i);
        struct stat st;
        if (Sys().stat(level.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode))
                return undo("mkdir", level, ENOTDIR);
            continue;
        }
        if (errno != ENOENT)
            return undo("stat", level, errno);
        if (Sys().mkdir(level.c_str(), 0777) == 0) {
            made.push_back(level);
            continue;
        }
        int err = errno;
        // Another process may have made it in between.
        if (err == EEXIST && Sys().stat(level.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        return undo("mkdir", level, err);
    }
    return true;
}

bool CreateNewFile(const std::wstring& path) {
    std::string p = U8(path);
    if (Refuse("open", p))
        return false;
    int fd = RetryEintr(
        [&] { return Sys().open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
    if (fd < 0)
        return Fail("open", p, errno);
    if (Sys().close(fd) != 0)
        return Fail("close", p, errno);
    return true;
}

bool RemoveFile(const std::wstring& path) {
    std::string p = U8(path);
    if (Refuse("unlink", p))
        return false;
    if (Sys().unlink(p.c_str()) != 0)
        return Fail("unlink", p, errno);
    return true;
}

bool RemoveDirectory(const std::wstring& path) {
    std::string p = U8(path);
    if (Refuse("rmdir", p))
        return false;
    if (Sys().rmdir(p.c_str()) != 0)
        return Fail("rmdir", p, errno);
    return true;
}

bool RemoveTree(const std::wstring& path) {
    std::string p = StripTrailingSeparators(U8(path));
    if (Refuse("lstat", p))
        return false;
    struct stat st;
    if (Sys().lstat(p.c_str(), &st) != 0)
        return Fail("lstat", p, errno);
    if (!S_ISDIR(st.st_mode)) {
        if (Sys().unlink(p.c_str()) != 0)
            return Fail("unlink", p, errno);
        return true;
    }
    int fd = RetryEintr(
        [&] { return Sys().open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0); });
    if (fd < 0)
        return Fail("open", p, errno);
    bool recorded = false;
    bool ok;
    {
        ScopedFd dirFd(fd);
        ok = RemoveContents(dirFd.get(), p, recorded);
    }
    if (!ok)
        return false;
    if (Sys().rmdir(p.c_str()) != 0)
        return Fail("rmdir", p, errno);
    return true;
}

bool MoveFile(const std::wstring& from, const std::wstring& to) {
    std::string f = U8(from), t = U8(to);
    if (Refuse("rename", f) || Refuse("rename", t))
        return false;
    if (RenameNoReplace(f.c_str(), t.c_str()) == 0)
        return true;
    int err = errno;
    struct stat st;
    // Across volumes a file is copied and its source removed; a folder is refused.
    if (err != EXDEV || Sys().lstat(f.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return Fail("rename", f, err);
    if (!CopyRegularFile(f, t, true))
        return false;
    // A rename keeps the creation time; so does this move.
    char when[32];
    ssize_t n = getxattr(f.c_str(), kCreationTimeAttr, when, sizeof when);
    if (n > 0)
        (void)setxattr(t.c_str(), kCreationTimeAttr, when, static_cast<size_t>(n), 0);
    if (Sys().unlink(f.c_str()) != 0) {
        // Keep the move all-or-nothing: the source stays, the copy goes.
        int uerr = errno;
        Sys().unlink(t.c_str());
        return Fail("unlink", f, uerr);
    }
    return true;
}

bool ReplaceFile(const std::wstring& from, const std::wstring& to) {
    std::string f = U8(from), t = U8(to);
    if (Refuse("rename", f) || Refuse("rename", t))
        return false;
    struct stat st;
    if (Sys().lstat(f.c_str(), &st) != 0)
        return Fail("rename", f, errno);
    if (!S_ISREG(st.st_mode))
        return Fail("rename", f, EINVAL);
    struct stat target;
    if (Sys().lstat(t.c_str(), &target) == 0 && S_ISDIR(target.st_mode))
        return Fail("rename", t, EISDIR);
    if (Sys().rename(f.c_str(), t.c_str(), 0) == 0)
        return true;
    int err = errno;
    if (err != EXDEV)
        return Fail("rename", t, err);
    if (!CopyRegularFile(f, t, false))
        return false;
    char when[32];
    ssize_t n = getxattr(f.c_str(), kCreationTimeAttr, when, sizeof when);
    if (n > 0)
        (void)setxattr(t.c_str(), kCreationTimeAttr, when, static_cast<size_t>(n), 0);
    // The new file is in place; a source that cannot be removed is only left over.
    (void)Sys().unlink(f.c_str());
    return true;
}

bool CopyFile(const std::wstring& from, const std::wstring& to, bool failIfExists) {
    std::string f = U8(from), t = U8(to);
    if (Refuse("open", f) || Refuse("open", t))
        return false;
    return CopyRegularFile(f, t, failIfExists);
}

bool ListDirectory(const std::wstring& path, std::vector<DirEntry>& out) {
    out.clear();
    std::string p = U8(path);
    if (Refuse("opendir", p))
        return false;
    DirHandle dir(opendir(p.c_str()));
    if (!dir)
        return Fail("opendir", p, errno);
    errno = 0;
    while (dirent* e = readdir(dir.get())) {
        if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
            continue;
        bool isDir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            isDir = fstatat(dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISDIR(st.st_mode);
        }
        out.push_back(DirEntry{Utf8ToWide(e->d_name), isDir});
        errno = 0;
    }
    int err = errno;
    dir.reset();
    if (err != 0) {
        out.clear();
        return Fail("readdir", p, err);
    }
    return true;
}

std::optional<uint64_t> FileSize(const std::wstring& path) {
    std::string p = U8(path);
    struct stat st;
    if (p.empty() || Sys().stat(p.c_str(), &st) != 0) {
        Fail("stat", p, p.empty() ? ENOENT : errno);
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) {
        Fail("stat", p, EISDIR);
        return std::nullopt;
    }
    return static_cast<uint64_t>(st.st_size);
}

std::optional<std::time_t> ModificationTime(const std::wstring& path) {
    std::string p = U8(path);
    struct stat st;
    if (p.empty() || Sys().stat(p.c_str(), &st) != 0) {
        Fail("stat", p, p.empty() ? ENOENT : errno);
        return std::nullopt;
    }
    return st.st_mtime;
}

bool SetModificationTime(const std::wstring& path, std::time_t t) {
    std::string p = U8(path);
    if (Refuse("utimensat", p))
        return false;
    struct timespec times[2] = {{0, UTIME_OMIT}, {t, 0}};
    if (utimensat(AT_FDCWD, p.c_str(), times, 0) != 0)
        return Fail("utimensat", p, errno);
    return true;
}

std::optional<std::time_t> CreationTime(const std::wstring& path) {
    std::string p = U8(path);
    if (Refuse("statx", p))
        return std::nullopt;
    char buf[32];
    ssize_t n = getxattr(p.c_str(), kCreationTimeAttr, buf, sizeof buf - 1);
    if (n > 0) {
        buf[n] = '\0';
        char* end = nullptr;
        errno = 0;
        long long v = std::strtoll(buf, &end, 10);
        if (errno == 0 && end == buf + n)
            return static_cast<std::time_t>(v);
    }
    struct statx sx;
    if (statx(AT_FDCWD, p.c_str(), 0, STATX_BTIME | STATX_CTIME, &sx) != 0) {
        Fail("statx", p, errno);
        return std::nullopt;
    }
    if (sx.stx_mask & STATX_BTIME)
        return static_cast<std::time_t>(sx.stx_btime.tv_sec);
    return static_cast<std::time_t>(sx.stx_ctime.tv_sec);
}

bool SetCreationTime(const std::wstring& path, std::time_t t) {
    std::string p = U8(path);
    if (Refuse("setxattr", p))
        return false;
    std::string v = std::to_string(static_cast<long long>(t));
    if (setxattr(p.c_str(), kCreationTimeAttr, v.data(), v.size(), 0) != 0)
        return Fail("setxattr", p, errno);
    return true;
}

std::wstring VolumeRoot(const std::wstring& path) {
    std::string p = U8(path);
    if (p.empty())
        return {};
    std::string resolved = ResolveExisting(p);
    if (resolved.empty()) {
        Fail("realpath", p, errno ? errno : ENOENT);
        return {};
    }
    std::string root;
    if (auto m = MountOf(resolved))
        root = m->point;
    else
        root = MountPointByDevice(resolved);
    if (root.empty())
        return {};
    if (root.back() != '/')
        root += '/';
    return Utf8ToWide(root);
}

std::optional<uint64_t> VolumeTotalBytes(const std::wstring& path) {
    std::string p = U8(path);
    struct statvfs vs;
    if (p.empty() || statvfs(p.c_str(), &vs) != 0) {
        Fail("statvfs", p, p.empty() ? ENOENT : errno);
        return std::nullopt;
    }
    return static_cast<uint64_t>(vs.f_blocks) * static_cast<uint64_t>(vs.f_frsize);
}

bool IsFixedVolume(const std::wstring& path) {
    std::string p = U8(path);
    struct statfs fs;
    if (p.empty() || statfs(p.c_str(), &fs) != 0)
        return Fail("statfs", p, p.empty() ? ENOENT : errno);
    auto type = static_cast<unsigned long>(fs.f_type);
    if (IsLocalMagic(type))
        return true;
    if (type == kFuseMagic) {
        // FUSE carries both network (sshfs) and disk (ntfs-3g) file systems; only
        // the block-device kind is local.
        std::string resolved = ResolveExisting(p);
        auto m = resolved.empty() ? std::nullopt : MountOf(resolved);
        return m && m->type == "fuseblk";
    }
    return false;
}

std::wstring TempDirectory() {
    const char* t = std::getenv("TMPDIR");
    std::string dir = (t && *t) ? t : "/tmp";
    if (dir.back() != '/')
        dir += '/';
    return Utf8ToWide(dir);
}

}  // namespace vesk::fs
