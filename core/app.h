// COVVESKMiddleLayerApp: the library's module object. Its start-up creates (or opens,
// when another process made it first) the cross-process lock "OV_VESK_SYNCMGR" that
// serialises device transactions, and holds it until the process ends.
#pragma once

#include <memory>

#include "platform/export.h"
#include "platform/winapp.h"
#include "platform/wintypes.h"

namespace vesk {
class NamedLock;
}

inline constexpr const wchar_t* VESK_SYNCMGR_LOCK_NAME = L"OV_VESK_SYNCMGR";

class VESK_API COVVESKMiddleLayerApp : public CWinApp {
public:
    COVVESKMiddleLayerApp();
    ~COVVESKMiddleLayerApp() override;

    // Creates or opens the lock. Returns TRUE whether or not that worked: without the
    // lock the library runs unsynchronised. A second call keeps the lock it has.
    BOOL InitInstance() override;

    // The lock, or null when it could not be created.
    vesk::NamedLock* GetSyncMutex() const { return m_pSyncMutex.get(); }

    // The module object, started on first use (see app.cpp). Throws std::bad_alloc
    // when memory runs out before the start-up completed; the next call tries again.
    static COVVESKMiddleLayerApp& Get();

private:
    std::unique_ptr<vesk::NamedLock> m_pSyncMutex;
};
