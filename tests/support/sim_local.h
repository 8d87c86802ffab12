// The emulator in this process (Linux): its engine and server, in-process links with
// scripted traffic, and images read with the libraries a client would use.
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
// started), its server once started, and its folder.
std::shared_ptr<mfpsim::Engine> EngineOf(SimDevice& device);
mfpsim::Server& ServerOf(SimDevice& device);
const std::filesystem::path& RootOf(const SimDevice& device);

namespace tc = vesk::tcpcore;

// Every connection the client opens reaches a new session of the engine, in this
// process, through a session that lets the test see and change the traffic.
class ScriptedLinks {
public:
    struct Script {
        // Runs first for every request; true means the script answered it itself.
        std::function<bool(const tc::Frame& request, const tc::FrameEmitter& emit)> onRequest;
        // May change every frame the device sends back.
        std::function<void(tc::Frame& frame)> onReply;
    };
    ScriptedLinks(std::shared_ptr<mfpsim::Engine> engine, Script script);
    ~ScriptedLinks();
    ScriptedLinks(const ScriptedLinks&) = delete;
    ScriptedLinks& operator=(const ScriptedLinks&) = delete;

    // The requests that reached the device so far, in order.
    std::vector<tc::Frame> Requests();
    // The links opened so far.
    int Sessions();

    struct Shared;

private:
    std::shared_ptr<Shared> m_shared;
};

// A reply to request with the given status and no payload.
tc::Frame FailureReply(const tc::Frame& request, int status);

}  // namespace vesk::test
