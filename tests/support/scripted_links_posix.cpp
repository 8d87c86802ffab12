// On Linux the engine runs in this process: each connection is a session of its own.
#include "support/scripted_links.h"
#include "support/sim_local.h"

namespace vesk::test {

DeviceSessions DeviceSessionsOf(SimDevice& device) {
    return [engine = EngineOf(device)](const tc::WaitControl&,
                                       tc::LinkStatus&) -> std::unique_ptr<tc::DeviceSession> {
        return engine->NewSession();
    };
}

}  // namespace vesk::test
