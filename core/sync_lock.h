// CSyncMgrLock: scoped hold of the module's cross-process lock around a device
// transaction. Re-entrant on one thread; each object releases only what it acquired.
#pragma once

#include "platform/export.h"
#include "platform/wintypes.h"

namespace vesk {
class NamedLock;
}

class VESK_API CSyncMgrLock {
public:
    // Waits without time limit for the module's lock. When the module has no lock
    // the object does nothing. May throw std::bad_alloc on the library's first use.
    CSyncMgrLock();
    // Waits for pLock instead (null: do nothing).
    explicit CSyncMgrLock(vesk::NamedLock* pLock);
    ~CSyncMgrLock();

    CSyncMgrLock(const CSyncMgrLock&) = delete;
    CSyncMgrLock& operator=(const CSyncMgrLock&) = delete;

    BOOL IsAcquired() const { return m_bAcquired; }

private:
    vesk::NamedLock* m_pLock;
    BOOL m_bAcquired = FALSE;
};
