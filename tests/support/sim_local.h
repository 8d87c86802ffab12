// The emulator in this process (Linux): its engine and server, and images read with the
// libraries a client would use.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "support/decoded_image.h"
#include "support/loopback.h"
#include "support/sim_fixture.h"
#include "tools/mfpsim/lib/engine.h"
#include "tools/mfpsim/lib/server.h"

namespace vesk::test {

// The engine of the device (the server's, or one opened in this process before it is
// started) and its server once started.
std::shared_ptr<mfpsim::Engine> EngineOf(SimDevice& device);
mfpsim::Server& ServerOf(SimDevice& device);

namespace tc = vesk::tcpcore;

}  // namespace vesk::test
