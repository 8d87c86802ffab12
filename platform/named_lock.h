// A named lock shared by every process of the user and re-entrant per thread, like a
// Windows named mutex. POSIX: a process-wide recursive mutex plus flock on a per-user
// lock file, so the kernel frees the lock of a process that dies.
#pragma once

#include <memory>
#include <string>

#include "platform/export.h"

namespace vesk {

class VESK_API NamedLock {
public:
    enum class WaitResult {
        Acquired,
        Abandoned,  // acquired, but the previous holder died without releasing
        Failed,
    };

    // Creates the lock or opens the one another process created; null on failure.
    // `created`, when given, tells which happened: false when this process already
    // has the lock open or its lock file exists (lock files outlive their processes).
    static std::unique_ptr<NamedLock> CreateOrOpen(const std::wstring& name,
                                                   bool* created = nullptr);
    virtual ~NamedLock() = default;

    // Waits without time limit. Each successful wait (Acquired or Abandoned) needs
    // one Release; the owning thread may wait again (the lock is re-entrant).
    virtual WaitResult Wait() = 0;
    // Ignored unless the calling thread owns the lock.
    virtual void Release() = 0;
};

// Folder of the lock files: $VESK_LOCK_DIR, else $XDG_RUNTIME_DIR, else /tmp/vesk-<uid>.
VESK_API std::wstring LockDirectory();

}  // namespace vesk
