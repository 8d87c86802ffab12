// A hostile device, for the faults the emulator cannot make itself, and a man in the
// middle: a listener of its own on 127.0.0.1 (plain, or TLS with a certificate of its
// own) that serves the device's sessions, passing every frame the device emits through
// tamper first, which may change it or drop it (return false), and keeping every frame
// the client sent. On Linux it runs the emulator's engine in this process; elsewhere it
// relays frames to the device's plain port (serving the device plainly again when it
// was stopped), behind a TLS front of the control service for TLS.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "support/sim_device.h"
#include "tcpcore/wire.h"

namespace vesk::test {

// Plain mode only: a frame pick() chooses goes out in two halves with a pause between
// them (paused() runs as the pause begins), as a slow network cuts it: after `at`
// bytes, or half the frame when `at` is 0.
struct PeerSplit {
    std::function<bool(const vesk::tcpcore::Frame&)> pick;
    int pauseMs = 0;
    std::size_t at = 0;
    std::function<void()> paused;

    // Sends a picked frame's bytes in the two parts; send(from, count) writes one part.
    template <class Send>
    bool SendInTwo(const std::vector<std::uint8_t>& bytes, Send send) const {
        const std::size_t cut = at > 0 ? std::min(at, bytes.size()) : bytes.size() / 2;
        if (!send(std::size_t{0}, cut))
            return false;
        if (paused)
            paused();
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        return send(cut, bytes.size() - cut);
    }
};

class TamperingPeer {
public:
    using Tamper = std::function<bool(vesk::tcpcore::Frame&)>;
    using Split = PeerSplit;
    // mode 0 plain, 1 TLS; port 0 picks a free port.
    TamperingPeer(SimDevice& device, int mode, Tamper tamper, int port = 0, Split split = {});
    ~TamperingPeer();
    TamperingPeer(const TamperingPeer&) = delete;
    TamperingPeer& operator=(const TamperingPeer&) = delete;
    // 0 when the peer could not be set up.
    int Port() const;
    // The frames the client sent so far.
    std::vector<vesk::tcpcore::Frame> Received();

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace vesk::test
