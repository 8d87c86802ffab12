// POSIX side of cache_fs.h: readdir with d_type, fstatat relative to the open folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "cache/cache_fs.h"
#include "platform/charset.h"

namespace vesk::cache {

namespace {

struct DirCloser {
    DIR* d;
    ~DirCloser() {
        if (d)
            closedir(d);
    }
};

}  // namespace

bool ScanDirectory(const std::string& dir, std::vector<ScanEntry>& out, bool withStatus) {
    out.clear();
    DIR* d = opendir(dir.c_str());
    if (!d)
        return false;
    DirCloser closer{d};
    const int fd = dirfd(d);
    for (;;) {
        errno = 0;
        const dirent* e = readdir(d);
        if (!e)
            break;
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0')))
            continue;
        ScanEntry entry;
        entry.name = n;
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN) {
            struct stat lst;
            if (fstatat(fd, n, &lst, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(lst.st_mode))
                type = DT_DIR;
        }
        entry.isDirectory = type == DT_DIR;
        if (!entry.isDirectory && withStatus) {
            struct stat st;
            if (fstatat(fd, n, &st, 0) == 0) {
                entry.hasStatus = true;
                entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
                entry.mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
            }
        }
        out.push_back(std::move(entry));
    }
    return true;
}

bool RemoveEntry(const std::string& path) {
    return unlink(path.c_str()) == 0;
}

bool RemoveEmptyFolder(const std::string& path) {
    return rmdir(path.c_str()) == 0;
}

bool IsRealFolder(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool NameAllowed(std::wstring_view) {
    return true;
}

size_t MaxNameBytes(const std::wstring& dir) {
    errno = 0;
    const long n = pathconf(vesk::WideToUtf8(dir).c_str(), _PC_NAME_MAX);
    if (n > 0)
        return static_cast<size_t>(n);
    return NAME_MAX;
}

bool SamePathText(const std::wstring& a, const std::wstring& b) {
    return a == b;
}

std::string JoinNative(const std::string& dir, const std::string& name) {
    std::string p;
    p.reserve(dir.size() + 1 + name.size());
    p = dir;
    if (p.empty() || p.back() != '/')
        p += '/';
    p += name;
    return p;
}

}  // namespace vesk::cache
