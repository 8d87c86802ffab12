// NamedLock on POSIX: within the process a recursive owner/count per name, shared
// by every NamedLock of that name; across processes flock(LOCK_EX) on a per-user
// lock file, which the kernel releases when the holder dies. The holder writes its
// pid into the file and clears it on release, so a pid found there by the next
// holder means the previous one died holding the lock.
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/charset.h"
#include "platform/error.h"
#include "platform/named_lock.h"

namespace vesk {
namespace {

// Shared state of one name in this process. A forked child gets fresh states (its
// copy of the parent's ones would share the parent's open lock file, and with it
// the parent's flock).
struct LockState {
    std::mutex mutex;
    std::condition_variable freed;
    std::thread::id owner;
    int count = 0;
    int fd = -1;
    pid_t pid = getpid();
};

// States by lock file. Deliberately never freed: they live as long as the process,
// like the named mutex handles they stand in for.
using Registry = std::map<std::string, std::shared_ptr<LockState>>;
std::mutex g_registryMutex;
Registry* g_registry = nullptr;
pid_t g_registryPid = 0;

void AtForkPrepare() {
    g_registryMutex.lock();
}
void AtForkParent() {
    g_registryMutex.unlock();
}
void AtForkChild() {
    g_registryMutex.unlock();
    if (!g_registry)
        return;
    // The states describe the parent's threads. Their inherited descriptors would
    // keep the parent's flock alive after the parent died, so the child drops them
    // and starts afresh; the old states are kept (their mutexes may be held).
    for (auto& entry : *g_registry) {
        close(entry.second->fd);
        entry.second->fd = -1;
    }
    static auto* retired = new std::vector<Registry*>;
    retired->push_back(g_registry);
    g_registry = nullptr;
}

std::string EscapeName(const std::wstring& name) {
    static const char* hex = "0123456789ABCDEF";
    std::string utf8 = WideToUtf8(name), out;
    for (unsigned char c : utf8) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '_' || c == '-';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    // Keep file names well under NAME_MAX; a hash keeps long names apart.
    if (out.size() > 180) {
        uint64_t h = 1469598103934665603ull;
        for (unsigned char c : utf8)
            h = (h ^ c) * 1099511628211ull;
        char tail[24];
        std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(h));
        out = out.substr(0, 160) + tail;
    }
    return out;
}

// Makes sure the lock folder exists, is a folder (not a link) and, when we made it
// in a shared place, belongs to us alone.
bool PrepareDirectory(const std::string& dir, bool mustBeOurs) {
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            RecordOsError("lstat", errno, dir);
            return false;
        }
        if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            RecordOsError("mkdir", errno, dir);
            return false;
        }
        if (lstat(dir.c_str(), &st) != 0) {
            RecordOsError("lstat", errno, dir);
            return false;
        }
    }
    if (!S_ISDIR(st.st_mode)) {
        RecordOsError("lstat", ENOTDIR, dir);
        return false;
    }
    // In a shared folder such as /tmp another user could have made it first.
    if (mustBeOurs && (st.st_uid != getuid() || (st.st_mode & 022))) {
        RecordOsError("lstat", EACCES, dir);
        return false;
    }
    return true;
}

class PosixNamedLock final : public NamedLock {
public:
    PosixNamedLock(std::string file, std::shared_ptr<LockState> state)
        : m_file(std::move(file)), m_state(std::move(state)) {}

    WaitResult Wait() override;
    void Release() override;

private:
    std::shared_ptr<LockState> State();

    std::string m_file;
    std::shared_ptr<LockState> m_state;
};

std::shared_ptr<LockState> OpenState(const std::string& file, bool* created) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    static std::once_flag atfork;
    std::call_once(atfork, [] { pthread_atfork(AtForkPrepare, AtForkParent, AtForkChild); });
    if (!g_registry || g_registryPid != getpid()) {
        g_registry = new Registry;
        g_registryPid = getpid();
    }
    auto it = g_registry->find(file);
    if (it != g_registry->end()) {
        if (created)
            *created = false;
        return it->second;
    }
    bool isNew = true;
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) {
        isNew = false;
        fd = open(file.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0) {
        RecordOsError("open", errno, file);
        return nullptr;
    }
    auto state = std::make_shared<LockState>();
    state->fd = fd;
    (*g_registry)[file] = state;
    if (created)
        *created = isNew;
    return state;
}

std::shared_ptr<LockState> PosixNamedLock::State() {
    if (m_state && m_state->pid == getpid())
        return m_state;
    // Made before a fork: take this process's own state for the name.
    auto fresh = OpenState(m_file, nullptr);
    if (fresh)
        m_state = fresh;
    return fresh;
}

NamedLock::WaitResult PosixNamedLock::Wait() {
    auto state = State();
    if (!state)
        return WaitResult::Failed;
    const auto me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->owner == me) {
        ++state->count;
        return WaitResult::Acquired;
    }
    state->freed.wait(lock, [&] { return state->count == 0; });
    // Own the name in this process first, so only one thread waits on the file.
    state->owner = me;
    state->count = 1;
    lock.unlock();

    auto giveUp = [&](const char* call, int err) {
        RecordOsError(call, err, m_file);
        lock.lock();
        state->owner = std::thread::id();
        state->count = 0;
        lock.unlock();
        state->freed.notify_one();
        return WaitResult::Failed;
    };
    int r;
    do {
        r = flock(state->fd, LOCK_EX);
    } while (r != 0 && errno == EINTR);
    if (r != 0)
        return giveUp("flock", errno);

    char buf[32];
    ssize_t n;
    do {
        n = pread(state->fd, buf, sizeof buf - 1, 0);
    } while (n < 0 && errno == EINTR);
    bool abandoned = n > 0;

    char mine[32];
    int len = std::snprintf(mine, sizeof mine, "%ld\n", static_cast<long>(getpid()));
    if (ftruncate(state->fd, 0) != 0 ||
        pwrite(state->fd, mine, static_cast<size_t>(len), 0) != len) {
        int err = errno;
        flock(state->fd, LOCK_UN);
        return giveUp("pwrite", err);
    }
    return abandoned ? WaitResult::Abandoned : WaitResult::Acquired;
}

void PosixNamedLock::Release() {
    auto state = State();
    if (!state)
        return;
    std::unique_lock<std::mutex> lock(state->mutex);
    // Only the owning thread may release, as with a Windows mutex.
    if (state->owner != std::this_thread::get_id() || state->count == 0)
        return;
    if (--state->count > 0)
        return;
    // Cleared before unlocking: an empty file tells the next holder all is well.
    if (ftruncate(state->fd, 0) != 0)
        RecordOsError("ftruncate", errno, m_file);
    flock(state->fd, LOCK_UN);
    state->owner = std::thread::id();
    lock.unlock();
    state->freed.notify_one();
}

}  // namespace

namespace {
std::string FallbackLockDirectory() {
    return "/tmp/vesk-" + std::to_string(static_cast<unsigned long>(getuid()));
}
}  // namespace

std::wstring LockDirectory() {
    const char* dir = std::getenv("VESK_LOCK_DIR");
    if (dir && *dir)
        return Utf8ToWide(dir);
    dir = std::getenv("XDG_RUNTIME_DIR");
    if (dir && *dir)
        return Utf8ToWide(dir);
    return Utf8ToWide(FallbackLockDirectory());
}

std::unique_ptr<NamedLock> NamedLock::CreateOrOpen(const std::wstring& name, bool* created) {
    if (name.empty()) {
        RecordOsError("open", EINVAL, std::wstring());
        return nullptr;
    }
    std::string dir = WideToUtf8(LockDirectory());
    if (!PrepareDirectory(dir, dir == FallbackLockDirectory()))
        return nullptr;
    std::string file = dir + "/vesk-" + EscapeName(name) + ".lock";
    auto state = OpenState(file, created);
    if (!state)
        return nullptr;
    return std::make_unique<PosixNamedLock>(std::move(file), std::move(state));
}

}  // namespace vesk
