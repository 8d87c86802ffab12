#include "cache_env.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "tree_builder.h"

namespace vesk::cachetest {

namespace {

// Set once a test has protected a file, so clean-up looks for flags only then.
std::atomic<bool> g_protectedAny{false};

bool SetImmutable(const std::string& path, bool on) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

// Clears immutable flags and restores modes below dir so the folder can be removed.
void Unlock(const std::filesystem::path& dir) {
    std::error_code ec;
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_symlink(ec))
            continue;
        SetImmutable(it->path().string(), false);
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    }
}

}  // namespace

void CacheEnv::TearDown() {
    if (g_protectedAny.exchange(false))
        Unlock(Root());
    IsolatedEnv::TearDown();
}

CString CacheEnv::BaseDir() const {
    return CString(Profile() + "/ORVANE/HALD/3.1/");
}

std::string CacheEnv::CacheDir() const {
    const std::string dir = Profile() + "/ORVANE/HALD/3.1/QBOXCACHE";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return dir;
}

Undeletable::Undeletable(const std::string& path) : m_path(path) {
    g_protectedAny = true;
    m_ok = SetImmutable(path, true);
}

Undeletable::~Undeletable() {
    if (m_ok)
        SetImmutable(m_path, false);
}

bool CanMakeUndeletable(const std::string& scratchDir) {
    const std::string probe = scratchDir + "/undeletable-probe";
    MakeSparseFile(probe, 0, 0);
    bool ok = false;
    {
        Undeletable u(probe);
        ok = u.Ok() && ::unlink(probe.c_str()) != 0;
    }
    ::unlink(probe.c_str());
    return ok;
}

}  // namespace vesk::cachetest
