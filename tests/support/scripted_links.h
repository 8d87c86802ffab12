// In-process links with scripted traffic: every connection the client opens, whatever
// its target, reaches a session that offers each request to a script first and passes
// every frame the device sends back through it. The device behind is a SimDevice: a
// session of its engine in this process on Linux, elsewhere a plain connection to the
// emulator's port that carries what the script leaves.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "support/sim_device.h"
#include "tcpcore/link.h"

namespace vesk::test {

namespace tc = vesk::tcpcore;

class ScriptedLinks {
public:
    struct Script {
        // Runs first for every request; true means the script answered it itself.
        std::function<bool(const tc::Frame& request, const tc::FrameEmitter& emit)> onRequest;
        // May change every frame the device sends back.
        std::function<void(tc::Frame& frame)> onReply;
    };
    // Installs the links for every later connection until destroyed; device outlives them.
    ScriptedLinks(SimDevice& device, Script script);
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

// The device's side of each new connection, for each system: null with the reason in
// status when the device cannot be reached within wc.
using DeviceSessions = std::function<std::unique_ptr<tc::DeviceSession>(const tc::WaitControl& wc,
                                                                        tc::LinkStatus& status)>;
DeviceSessions DeviceSessionsOf(SimDevice& device);

}  // namespace vesk::test
