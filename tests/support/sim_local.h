// The emulator in this process (Linux): its engine and server, a tampering peer for what
// the emulator cannot do itself, in-process links with scripted traffic, and images read
// with the libraries a client would use.
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

// A hostile device: the emulator's engine behind a listener of its own (plain or TLS on
// 127.0.0.1), with every frame the device emits passed through tamper first, which may
// change it or drop it (return false). For the faults the emulator cannot make itself,
// and as a man in the middle: its TLS certificate is its own, and it keeps every frame
// it received. port 0 picks a free port.
// Plain mode only: a frame pick() chooses goes out in two halves with a pause between
// them (paused() runs as the pause begins), as a slow network cuts it: after `at`
// bytes, or half the frame when `at` is 0.
struct PeerSplit {
    std::function<bool(const vesk::tcpcore::Frame&)> pick;
    int pauseMs = 0;
    std::size_t at = 0;
    std::function<void()> paused;
};

class TamperingPeer {
public:
    using Tamper = std::function<bool(vesk::tcpcore::Frame&)>;
    using Split = PeerSplit;
    TamperingPeer(mfpsim::Engine& engine, int mode, Tamper tamper, int port = 0, Split split = {});
    ~TamperingPeer();
    TamperingPeer(const TamperingPeer&) = delete;
    TamperingPeer& operator=(const TamperingPeer&) = delete;
    int Port() const { return m_listener ? m_listener->Port() : 0; }
    // The frames the client sent so far.
    std::vector<vesk::tcpcore::Frame> Received();

private:
    void Serve(int fd);
    bool SendSplit(int fd, const vesk::tcpcore::Frame& frame);
    Split m_split;
    std::mutex m_receivedMutex;
    std::vector<vesk::tcpcore::Frame> m_received;

    mfpsim::Engine& m_engine;
    Tamper m_tamper;
    void* m_ctx = nullptr;  // SSL_CTX* for TLS
    std::atomic<bool> m_stop{false};
    std::unique_ptr<LoopbackListener> m_listener;  // last: its thread uses the rest
};

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
