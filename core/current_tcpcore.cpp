#include "core/current_tcpcore.h"

#include <atomic>

namespace {
// Atomic only so that a reader on another thread sees a whole pointer; which object
// is current is the device items' business.
std::atomic<CTcpCore*> g_currentTcpCore{nullptr};
}  // namespace

namespace vesk {

CTcpCore* GetCurrentTcpCore() {
    return g_currentTcpCore.load(std::memory_order_acquire);
}

CTcpCore* SetCurrentTcpCore(CTcpCore* pTcpCore) {
    return g_currentTcpCore.exchange(pTcpCore, std::memory_order_acq_rel);
}

}  // namespace vesk
