#include "core/sync_lock.h"

#include "core/app.h"
#include "platform/named_lock.h"

CSyncMgrLock::CSyncMgrLock() : CSyncMgrLock(COVVESKMiddleLayerApp::Get().GetSyncMutex()) {}

// A lock whose previous holder died is still ours once the wait returns, so it counts
// as acquired and is released on scope exit. Leaving it unreleased would keep every
// other thread and process waiting forever.
CSyncMgrLock::CSyncMgrLock(vesk::NamedLock* pLock) : m_pLock(pLock) {
    if (m_pLock == nullptr)
        return;
    switch (m_pLock->Wait()) {
        case vesk::NamedLock::WaitResult::Acquired:
        case vesk::NamedLock::WaitResult::Abandoned:
            m_bAcquired = TRUE;
            break;
        case vesk::NamedLock::WaitResult::Failed:
            break;
    }
}

CSyncMgrLock::~CSyncMgrLock() {
    if (m_bAcquired)
        m_pLock->Release();
}
