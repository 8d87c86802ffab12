// State and helpers shared by the CTcpCore files; private to tcpcore/ (nothing
// outside this folder includes it). The request/reply machinery lives in
// client_exchange.cpp, the operations in client_session.cpp, client_login.cpp,
// client_boxes.cpp and client_stream.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "tcpcore/link.h"
#include "tcpcore/tcpcore.h"
#include "tcpcore/wire.h"

namespace vesk::tcpcore {

// Defaults of new objects (SetDefaultTimeouts, SetDefaultRequestLimit).
inline std::atomic<int> g_connectMs{5000};
inline std::atomic<int> g_ioMs{30000};
// Keep-alives restart the wait for a reply, never past this.
inline std::atomic<int> g_requestLimitMs{180000};

inline constexpr std::size_t kMaxName = QTCP_USERNAME_SIZE - 1;
inline constexpr std::size_t kMaxPassword = QTCP_PASSWORD_SIZE - 1;

// What a reconnect repeats: the one copy of a password the client keeps, zeroed when
// it goes (a step is copied, never moved, so no moved-from buffer keeps the bytes).
struct LoginStep {
    LoginStep() = default;
    LoginStep(const LoginStep&) = default;
    LoginStep& operator=(const LoginStep&) = default;
    ~LoginStep() {
        volatile char* p = password.data();
        for (std::size_t i = 0; i < password.size(); ++i)
            p[i] = 0;
    }
    Op op = Op::kNone;
    LoginForm form = LoginForm::kV2;
    std::string name;
    std::string password;
    std::vector<std::uint8_t> custom;  // customized login data
};

enum class StreamState { kNone, kOpen, kEndedOk, kEndedError, kBroken };

struct ClientState {
    int classKind = 0;
    int protocol = 0;

    bool initialized = false;
    int mode = 0;
    std::string unitName;

    std::unique_ptr<DeviceLink> link = MakeNotConnectedLink();
    LinkTarget target;
    bool helloOnly = false;  // the link has only answered Hello (may be parked)
    bool session = false;    // Connect succeeded and no Disconnect since
    bool targetKnown = false;
    int connectMs = g_connectMs.load();
    int ioMs = g_ioMs.load();
    int requestLimitMs = g_requestLimitMs.load();
    std::string expectedCert;   // "" accepts any certificate
    std::string presentedCert;  // of the last TLS handshake
    std::uint32_t seq = 0;
    long long roundTrips = 0;

    int lastCode = 0;
    int lastDetail = 0;
    int stackError = 0;

    QTCP_COMMSTATE_CALLBACK commCb = nullptr;
    void* userData = nullptr;
    QTCP_RECVDATA_CALLBACK recvCb = nullptr;

    Inquiries inquiries;

    StreamState stream = StreamState::kNone;
    Op streamOp = Op::kNone;
    std::uint32_t streamSeq = 0;
    std::int64_t streamTotal = -1;
    std::int64_t streamReceived = 0;
    std::vector<std::uint8_t> pending;
    std::size_t pendingPos = 0;
    bool streamCancelled = false;  // the callback cancelled: reads fail until closed

    bool thumbOpen = false;
    std::vector<std::uint8_t> thumb;  // never longer than the size announced

    std::vector<LoginStep> logins;
    bool boxLoggedIn = false;
    std::int32_t boxNo = 0;
    std::string boxPassword;
};

enum class CallResult { kOk, kRefused, kFailed };

struct ExchangeOptions {
    QTCP_COMMSTATE_CALLBACK cb = nullptr;
    QTCP_PROGRESS_CALLBACK progress = nullptr;
    const std::function<bool()>* extraCancel = nullptr;
    int sendMs = 0;  // 0: the object's I/O time-out
    int recvMs = 0;
};

// Request payloads and login fields may hold a password: they are zeroed before their
// memory is given back, so the one copy left is the one kept for reconnecting.
void Wipe(void* p, std::size_t n);
void Wipe(std::string& s);

void SetError(ClientState& s, int code, int detail = 0);
int ErrorOf(LinkStatus st);
int ElapsedMs(Clock::time_point start);
// Hands the progress record to the call's callback (or the installed one); true
// when it asks to cancel.
bool Notify(ClientState& s, QTCP_COMMSTATE_CALLBACK cb, int state, Op op, std::int64_t done,
            std::int64_t total, Clock::time_point start, int timeoutMs);
void ResetStream(ClientState& s);
// The connection is unusable (dropped, out of step, timed out mid-reply): close it.
// The session flag stays, so Disconnect still reports the session it ends.
void DropLink(ClientState& s, LinkStatus why);
// Closes the connection without touching the recorded error.
void CloseLinkQuietly(ClientState& s);
// Checks a freshly opened (or parked) link against the expected certificate before
// anything is sent on it; a refused link is closed.
bool CertificateAccepted(ClientState& s, std::unique_ptr<DeviceLink>& link);
bool RequireSession(ClientState& s);
// Stops a stream that is still arriving: CloseDoc(abort), then discard frames until
// its reply. False when the link had to be dropped.
bool AbortStream(ClientState& s);
// One request and its reply. kRefused: the device answered with an error status
// (reply holds it and any payload); kFailed: no usable answer.
CallResult Exchange(ClientState& s, Frame req, Frame& reply, const ExchangeOptions& o = {});
// An operation whose reply carries an out value also on failure.
int WithFlag(ClientState& s, Frame req, int& flag);
// The caller's name, at most nameLen (when >= 0) and maxLen bytes.
std::string NameOf(const char* name, int nameLen, std::size_t maxLen);
bool FitsI32(long v);

template <class M>
Frame Req(Op op, const M& m) {
    return MakeFrame(FrameKind::kRequest, op, 0, m);
}
inline Frame Req(Op op) {
    return MakeEmptyFrame(FrameKind::kRequest, op, 0);
}

inline int Malformed(ClientState& s) {
    SetError(s, QTCP_ERR_PROTOCOL);
    return 0;
}

// A simple operation: session check, exchange, parse the reply into out (when
// given). 1 on success.
template <class Out = IntMessage>
int Simple(ClientState& s, Frame req, Out* out = nullptr, const ExchangeOptions& o = {}) {
    if (!RequireSession(s))
        return 0;
    Frame reply;
    if (Exchange(s, std::move(req), reply, o) != CallResult::kOk)
        return 0;
    if (out && !ParsePayload(reply, *out))
        return Malformed(s);
    return 1;
}

// Every public operation runs through Guarded: an allocation failure becomes
// QTCP_ERR_NO_MEMORY and the operation's failure value, never an exception.
template <class R, class F>
R Guarded(ClientState& s, R fail, F&& f) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        SetError(s, QTCP_ERR_NO_MEMORY);
        return fail;
    }
}

}  // namespace vesk::tcpcore
