// The one path from the client's operations to a device: a DeviceLink carries frames.
// The real one is a TCP or TLS socket; tests and the emulator's in-process mode put a
// DeviceSession (a device engine) directly behind a link, without any socket, and
// install it with SetLinkFactory. Operations never know which link they use.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/export.h"
#include "tcpcore/wire.h"

namespace vesk::tcpcore {

using Clock = std::chrono::steady_clock;

class Deadline {
public:
    Deadline() : at_(Clock::time_point::max()) {}
    explicit Deadline(Clock::time_point at) : at_(at) {}
    static Deadline In(std::chrono::milliseconds d) { return Deadline(Clock::now() + d); }
    static Deadline Never() { return Deadline(); }
    bool Expired() const { return Clock::now() >= at_; }
    // Milliseconds left, at least 0, at most cap.
    int RemainingMs(int cap = 1 << 30) const;
    Clock::time_point at() const { return at_; }

private:
    Clock::time_point at_;
};

enum class LinkStatus {
    kOk = 0,
    kTimeout,        // the deadline passed
    kClosed,         // the peer closed or reset the connection
    kCancelled,      // the cancel check asked to stop
    kProtocol,       // the peer sent something that is not a valid frame
    kTls,            // TLS handshake or record failure
    kConnectFailed,  // refused, unreachable
    kResolveFailed,  // the address could not be resolved
    kIo,             // another socket error
};
VESK_API const char* LinkStatusName(LinkStatus s);

// What a wait may take: a deadline, and a check run at least every 50 ms while
// blocked that returns true to cancel.
struct WaitControl {
    Deadline deadline;
    std::function<bool()> cancelled;
    bool IsCancelled() const { return cancelled && cancelled(); }
};

struct LinkInfo {
    std::string peer;        // "host:port" or "in-process"
    std::string cipher;      // negotiated TLS cipher, "" for plain
    std::string tlsVersion;  // "TLSv1.3" ..., "" for plain
    std::string peerCertSha256;
};

class VESK_API DeviceLink {
public:
    virtual ~DeviceLink() = default;
    // Writes one whole frame.
    virtual LinkStatus Send(const Frame& f, const WaitControl& wc) = 0;
    // Reads the next whole frame (any kind). Frames above kMaxPayload or with a bad
    // header give kProtocol and the link is closed.
    virtual LinkStatus Receive(Frame& f, const WaitControl& wc) = 0;
    // As Receive, except that a data frame whose payload fits [dst, dst + capacity)
    // may have its payload written there instead of into f.payload; direct then gets
    // its length, else 0. Data frames of the same length, operation and sequence that
    // follow it may come in the same call, their payloads one after another, direct
    // counting them all (f describes the first). Lets a document read land in the
    // caller's buffer without a copy, in large receives. Bytes of [dst, dst + capacity)
    // past direct may have been written. A time-out or cancel leaves the link in step,
    // as Receive does.
    virtual LinkStatus ReceiveInto(Frame& f, std::uint8_t* dst, std::size_t capacity,
                                   std::size_t& direct, const WaitControl& wc) {
        (void)dst;
        (void)capacity;
        direct = 0;
        return Receive(f, wc);
    }
    // False once closed locally or by the peer (checked without blocking).
    virtual bool IsOpen() = 0;
    virtual void Close() = 0;
    virtual LinkInfo Info() const = 0;
};

// A link that is never connected: every call fails with kClosed. Objects hold one
// until they connect, so operations need no null checks.
VESK_API std::unique_ptr<DeviceLink> MakeNotConnectedLink();

// Where to connect.
struct LinkTarget {
    std::string host;
    int port = 0;
    int mode = 0;  // 0 plain TCP, 1 TLS
};

// The real link: TCP, and TLS on top for mode 1 (any certificate is accepted, as
// devices carry self-signed ones; the cipher is recorded in Info()).
VESK_API std::unique_ptr<DeviceLink> OpenSocketLink(const LinkTarget& target, const WaitControl& wc,
                                                    LinkStatus& status);

// The device side of an accepted connection: takes ownership of fd (made
// non-blocking here) and, when sslServerCtx (an SSL_CTX*) is given, runs the TLS
// handshake as server. For device servers such as the emulator and test peers; POSIX
// only, as they run on Linux (Windows builds reach them over loopback).
VESK_API std::unique_ptr<DeviceLink> AcceptSocketLink(int fd, void* sslServerCtx,
                                                      const WaitControl& wc, LinkStatus& status);

// ---------------------------------------------------------------------------
// Device side, for in-process devices.

// Sends one frame towards the client; false when the client has gone or aborted
// the stream under way (stop sending then).
using FrameEmitter = std::function<bool(const Frame&)>;

// One client connection's worth of device state, implemented by a device engine.
class VESK_API DeviceSession {
public:
    virtual ~DeviceSession() = default;
    // Handles one request: emits its reply, and for kOpenDoc/kOpenBind data frames and
    // an end frame after the reply. Called for each request in arrival order. Returns
    // false to close the connection once what was emitted has been delivered (after
    // Disconnect, or to simulate a dropped link).
    virtual bool Handle(const Frame& request, const FrameEmitter& emit) = 0;
    // The client hung up (or the link was dropped).
    virtual void OnClose() {}
};

// A link whose far end is the given session, in this process. A handler thread
// feeds a bounded frame queue, so a long stream holds at most a few chunks in
// memory and a client abort (kCloseDoc with abort 1) reaches the handler's emit.
// Closing never waits long for a stuck handler: the thread then finishes on its own
// and destroys the session when it does.
VESK_API std::unique_ptr<DeviceLink> MakeInProcessLink(std::unique_ptr<DeviceSession> session);

// ---------------------------------------------------------------------------
// The seam: how objects open links. The default opens socket links.

using LinkFactory = std::function<std::unique_ptr<DeviceLink>(
    const LinkTarget& target, const WaitControl& wc, LinkStatus& status)>;
// Installs factory for every later connection in this process (an empty function
// restores the default); returns the previous one.
VESK_API LinkFactory SetLinkFactory(LinkFactory factory);
// Opens a link through the installed factory.
VESK_API std::unique_ptr<DeviceLink> OpenLink(const LinkTarget& target, const WaitControl& wc,
                                              LinkStatus& status);

// The client's keep-for-reuse slot (protocol.md, section 3): a connection that has
// only answered Hello is parked for a few seconds so the Connect that follows can
// use it. One slot per process; installing a link factory empties it.
VESK_API void ParkLink(const LinkTarget& target, std::unique_ptr<DeviceLink> link);
// The parked link for exactly this target when it is still fresh and open, else null.
VESK_API std::unique_ptr<DeviceLink> TakeParkedLink(const LinkTarget& target);
// Closes a parked link now (tests, shutdown).
VESK_API void DropParkedLink();

}  // namespace vesk::tcpcore
