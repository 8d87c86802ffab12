#include "core/app.h"

#include <new>

#include "platform/named_lock.h"

COVVESKMiddleLayerApp::COVVESKMiddleLayerApp() : CWinApp(L"OVVESKMiddleLayer") {}
COVVESKMiddleLayerApp::~COVVESKMiddleLayerApp() = default;

BOOL COVVESKMiddleLayerApp::InitInstance() {
    CWinApp::InitInstance();
    if (!m_pSyncMutex)
        m_pSyncMutex = vesk::NamedLock::CreateOrOpen(VESK_SYNCMGR_LOCK_NAME);
    return TRUE;
}

// The module object starts on first use rather than while the loader maps the
// library: the lock's folder ($VESK_LOCK_DIR, else $XDG_RUNTIME_DIR) is then read when
// the library is first used, so a host or a test can choose it after loading; no file
// work runs inside the loader; and nothing depends on the order in which static
// objects of different libraries are constructed. The function-local static makes
// the start-up run exactly once even when threads race to it. The object is never
// destroyed, so its lock stays open until the process ends and a lock taken during
// another static object's destruction still finds it.
COVVESKMiddleLayerApp& COVVESKMiddleLayerApp::Get() {
    static COVVESKMiddleLayerApp* const theApp = [] {
        auto app = std::make_unique<COVVESKMiddleLayerApp>();
        app->InitInstance();
        return app.release();
    }();
    return *theApp;
}
