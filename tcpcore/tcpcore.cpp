// The CTcpCore family: every operation is a request/reply exchange over the object's
// DeviceLink (docs/protocol.md), except the inquiries the connect reply already
// answered and the document stream, which is read frame by frame.
#include "tcpcore/tcpcore.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <new>
#include <thread>
#include <utility>

#include "tcpcore/link.h"
#include "tcpcore/wire.h"

namespace vesk::tcpcore {

namespace {
std::atomic<int> g_connectMs{5000};
std::atomic<int> g_ioMs{30000};
// Keep-alives restart the wait for a reply, never past this.
std::atomic<int> g_requestLimitMs{180000};

constexpr std::size_t kMaxName = QTCP_USERNAME_SIZE - 1;
constexpr std::size_t kMaxPassword = QTCP_PASSWORD_SIZE - 1;
// Authentication types a device may report (docs/protocol.md, section 4).
constexpr int kMaxUserAuthType = 9;
constexpr int kMaxAccountAuthType = 6;
}  // namespace

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

namespace {

enum class CallResult { kOk, kRefused, kFailed };

// Request payloads and login fields may hold a password: they are zeroed before their
// memory is given back, so the one copy left is the one kept for reconnecting.
void Wipe(void* p, std::size_t n) {
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--)
        *v++ = 0;
}
void Wipe(std::string& s) {
    Wipe(s.data(), s.size());
}

void SetError(ClientState& s, int code, int detail = 0) {
    s.lastCode = code;
    s.lastDetail = detail;
}

int ErrorOf(LinkStatus st) {
    switch (st) {
        case LinkStatus::kOk:
            return QTCP_OK;
        case LinkStatus::kTimeout:
            return QTCP_ERR_TIMEOUT;
        case LinkStatus::kClosed:
            return QTCP_ERR_CLOSED;
        case LinkStatus::kCancelled:
            return QTCP_ERR_CANCELLED;
        case LinkStatus::kProtocol:
            return QTCP_ERR_PROTOCOL;
        case LinkStatus::kTls:
            return QTCP_ERR_TLS;
        case LinkStatus::kConnectFailed:
        case LinkStatus::kResolveFailed:
            return QTCP_ERR_CONNECT;
        case LinkStatus::kIo:
            return QTCP_ERR_CLOSED;
    }
    return QTCP_ERR_CLOSED;
}

int ElapsedMs(Clock::time_point start) {
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Hands the progress record to the call's callback (or the installed one); true
// when it asks to cancel.
bool Notify(ClientState& s, QTCP_COMMSTATE_CALLBACK cb, int state, Op op, std::int64_t done,
            std::int64_t total, Clock::time_point start, int timeoutMs) {
    QTCP_COMMSTATE_CALLBACK f = cb ? cb : s.commCb;
    if (!f)
        return false;
    tagQTCP_COMMSTATE st{};
    st.nSize = sizeof st;
    st.nState = state;
    st.nOperation = static_cast<int>(op);
    st.llDone = done;
    st.llTotal = total;
    st.nElapsedMs = ElapsedMs(start);
    st.nTimeoutMs = timeoutMs;
    st.pUserData = s.userData;
    const long r = f(&st);
    return r != 0 || st.nCancel != 0;
}

void ResetStream(ClientState& s) {
    s.stream = StreamState::kNone;
    s.streamOp = Op::kNone;
    s.pending.clear();
    s.pending.shrink_to_fit();
    s.pendingPos = 0;
    s.streamTotal = -1;
    s.streamReceived = 0;
    s.streamCancelled = false;
}

// The connection is unusable (dropped, out of step, timed out mid-reply): close it.
// The session flag stays, so Disconnect still reports the session it ends.
void DropLink(ClientState& s, LinkStatus why) {
    s.link->Close();
    s.link = MakeNotConnectedLink();
    s.helloOnly = false;
    s.thumbOpen = false;
    if (s.stream == StreamState::kOpen)
        s.stream = StreamState::kBroken;
    SetError(s, ErrorOf(why), why == LinkStatus::kIo ? errno : 0);
}

// Closes the connection without touching the recorded error.
void CloseLinkQuietly(ClientState& s) {
    s.link->Close();
    s.link = MakeNotConnectedLink();
    s.helloOnly = false;
    s.thumbOpen = false;
    if (s.stream == StreamState::kOpen)
        s.stream = StreamState::kBroken;
}

// Checks a freshly opened (or parked) link against the expected certificate before
// anything is sent on it; a refused link is closed.
bool CertificateAccepted(ClientState& s, std::unique_ptr<DeviceLink>& link) {
    if (s.mode != 1)
        return true;
    s.presentedCert = link->Info().peerCertSha256;
    if (s.expectedCert.empty() || s.expectedCert == s.presentedCert)
        return true;
    link->Close();
    link.reset();
    SetError(s, QTCP_ERR_CERT_CHANGED);
    return false;
}

bool RequireSession(ClientState& s) {
    if (!s.session) {
        SetError(s, QTCP_ERR_NOT_CONNECTED);
        return false;
    }
    if (!s.link->IsOpen()) {
        DropLink(s, LinkStatus::kClosed);
        return false;
    }
    return true;
}

// Stops a stream that is still arriving: CloseDoc(abort), then discard frames until
// its reply. False when the link had to be dropped.
bool AbortStream(ClientState& s) {
    if (s.stream != StreamState::kOpen) {
        ResetStream(s);
        return true;
    }
    if (!s.link->IsOpen()) {
        DropLink(s, LinkStatus::kClosed);
        ResetStream(s);
        return false;
    }
    const Frame req = MakeFrame(FrameKind::kRequest, Op::kCloseDoc, ++s.seq, IntMessage{1});
    // A device that only notices the abort at the end of its stream still ends it;
    // twice the I/O time-out bounds the whole drain.
    const Deadline overall = Deadline::In(std::chrono::milliseconds(2LL * s.ioMs));
    WaitControl wc;
    wc.deadline = Deadline::In(std::chrono::milliseconds(s.ioMs));
    LinkStatus st = s.link->Send(req, wc);
    while (st == LinkStatus::kOk) {
        Frame f;
        WaitControl rc;
        rc.deadline =
            Deadline(std::min(overall.at(), Clock::now() + std::chrono::milliseconds(s.ioMs)));
        st = s.link->Receive(f, rc);
        if (st != LinkStatus::kOk)
            break;
        if (f.kind == FrameKind::kReply && f.seq == req.seq && f.op == Op::kCloseDoc) {
            ++s.roundTrips;
            ResetStream(s);
            return true;
        }
        const bool ofStream =
            f.seq == s.streamSeq && (f.kind == FrameKind::kData || f.kind == FrameKind::kEnd ||
                                     f.kind == FrameKind::kKeepAlive);
        const bool keepAlive = f.kind == FrameKind::kKeepAlive && f.seq == req.seq;
        if (!ofStream && !keepAlive)
            st = LinkStatus::kProtocol;
    }
    DropLink(s, st);
    ResetStream(s);
    return false;
}

struct ExchangeOptions {
    QTCP_COMMSTATE_CALLBACK cb = nullptr;
    QTCP_PROGRESS_CALLBACK progress = nullptr;
    const std::function<bool()>* extraCancel = nullptr;
    int sendMs = 0;  // 0: the object's I/O time-out
    int recvMs = 0;
};

// One request and its reply. kRefused: the device answered with an error status
// (reply holds it and any payload); kFailed: no usable answer.
CallResult Exchange(ClientState& s, Frame req, Frame& reply, const ExchangeOptions& o = {}) {
    if (!s.link->IsOpen()) {
        DropLink(s, LinkStatus::kClosed);
        if (!s.session && s.lastCode == QTCP_ERR_CLOSED)
            SetError(s, QTCP_ERR_NOT_CONNECTED);
        return CallResult::kFailed;
    }
    if (s.stream == StreamState::kOpen && !AbortStream(s))
        return CallResult::kFailed;
    if (s.stream != StreamState::kNone)
        ResetStream(s);
    req.kind = FrameKind::kRequest;
    req.seq = ++s.seq;
    const Clock::time_point start = Clock::now();
    const int sendMs = o.sendMs > 0 ? o.sendMs : s.ioMs;
    const int recvMs = o.recvMs > 0 ? o.recvMs : s.ioMs;
    const Op op = req.op;

    WaitControl wc;
    wc.deadline = Deadline::In(std::chrono::milliseconds(sendMs));
    wc.cancelled = [&] {
        if (o.extraCancel && (*o.extraCancel)())
            return true;
        return Notify(s, o.cb, QTCP_STATE_SENDING, op, 0, -1, start, sendMs);
    };
    LinkStatus st = s.link->Send(req, wc);
    Wipe(req.payload.data(), req.payload.size());
    if (st != LinkStatus::kOk) {
        DropLink(s, st);
        return CallResult::kFailed;
    }
    const Clock::time_point limit = start + std::chrono::milliseconds(s.requestLimitMs);
    for (;;) {
        WaitControl rc;
        rc.deadline = Deadline(std::min(limit, Clock::now() + std::chrono::milliseconds(recvMs)));
        rc.cancelled = [&] {
            if (o.extraCancel && (*o.extraCancel)())
                return true;
            if (o.progress && o.progress(static_cast<long>(ElapsedMs(start))) != 0)
                return true;
            return Notify(s, o.cb, QTCP_STATE_WAITING, op, 0, -1, start, recvMs);
        };
        st = s.link->Receive(reply, rc);
        if (st != LinkStatus::kOk) {
            // The reply is still owed: the link is out of step whatever happened.
            DropLink(s, st);
            return CallResult::kFailed;
        }
        if (reply.kind == FrameKind::kKeepAlive && reply.seq == req.seq)
            continue;
        if (reply.kind != FrameKind::kReply || reply.seq != req.seq || reply.op != op) {
            DropLink(s, LinkStatus::kProtocol);
            return CallResult::kFailed;
        }
        break;
    }
    ++s.roundTrips;
    Notify(s, o.cb, QTCP_STATE_DONE, op, static_cast<std::int64_t>(reply.payload.size()),
           static_cast<std::int64_t>(reply.payload.size()), start, recvMs);
    if (reply.status != 0) {
        SetError(s, reply.status, reply.detail);
        return CallResult::kRefused;
    }
    SetError(s, QTCP_OK);
    return CallResult::kOk;
}

template <class M>
Frame Req(Op op, const M& m) {
    return MakeFrame(FrameKind::kRequest, op, 0, m);
}
Frame Req(Op op) {
    return MakeEmptyFrame(FrameKind::kRequest, op, 0);
}

int Malformed(ClientState& s) {
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

// An operation whose reply carries an out value also on failure.
int WithFlag(ClientState& s, Frame req, int& flag) {
    flag = 0;
    if (!RequireSession(s))
        return 0;
    Frame reply;
    const CallResult r = Exchange(s, std::move(req), reply);
    if (r == CallResult::kFailed)
        return 0;
    IntMessage m;
    if (ParsePayload(reply, m))
        flag = m.value;
    else if (r == CallResult::kOk)
        return Malformed(s);
    if (r == CallResult::kOk && flag != 0) {
        // A success that says the password was refused: the flag wins, as it would
        // beside an error status, so nothing is reported done that was refused.
        SetError(s, QTCP_DEV_BOX_PASSWORD);
        return 0;
    }
    return r == CallResult::kOk ? 1 : 0;
}

// Values the item tree acts on: a device that reports something outside their sets
// has sent a malformed reply.
bool SaneConnectReply(const ConnectReply& r) {
    return r.userAuthType >= 0 && r.userAuthType <= kMaxUserAuthType && r.accountAuthType >= 0 &&
           r.accountAuthType <= kMaxAccountAuthType;
}

bool SanePrintSettings(const PrintSetting& p) {
    return p.nCopies >= 0 && p.nStartPage >= 0 && p.nEndPage >= 0;
}

std::string NameOf(const char* name, int nameLen, std::size_t maxLen) {
    std::string_view v = BoundedCStr(name, maxLen);
    if (nameLen >= 0 && static_cast<std::size_t>(nameLen) < v.size())
        v = v.substr(0, static_cast<std::size_t>(nameLen));
    return std::string(v);
}

bool FitsI32(long v) {
    return v >= INT32_MIN && v <= INT32_MAX;
}

bool FromBlock(const Inquiries& b, Inquiry tag, int& out) {
    std::int32_t v = 0;
    if (!b.GetInt(tag, v))
        return false;
    out = v;
    return true;
}
template <class R>
bool FromBlock(const Inquiries& b, Inquiry tag, R& out) {
    return b.GetRecord(tag, out);
}

// Answers an inquiry from the values the device sent at connect or login, asking the
// device only for one it did not send.
template <class T>
int InquireValue(ClientState& s, Inquiry tag, T& out) {
    if (FromBlock(s.inquiries, tag, out))
        return 1;
    InquireReply reply;
    if (!Simple(s, Req(Op::kInquire, InquireRequest{static_cast<std::uint16_t>(tag)}), &reply))
        return 0;
    s.inquiries.Merge(reply.inquiries);
    if (FromBlock(s.inquiries, tag, out))
        return 1;
    SetError(s, QTCP_DEV_UNSUPPORTED);
    return 0;
}

void RememberLogin(ClientState& s, LoginStep step) {
    for (auto& l : s.logins)
        if (l.op == step.op) {
            Wipe(l.password);
            l = std::move(step);
            return;
        }
    s.logins.push_back(std::move(step));
}

int Login(ClientState& s, Op op, LoginForm form, const char* name, int nameLen,
          const char* password, tagUTIL_DOCOPERATIONPERMISSION& perm, QTCP_COMMSTATE_CALLBACK cb) {
    LoginRequest req;
    req.form = form;
    req.name = NameOf(name, nameLen, kMaxName);
    req.password = std::string(BoundedCStr(password, kMaxPassword));
    LoginReply reply;
    ExchangeOptions o;
    o.cb = cb;
    const bool ok = Simple(s, Req(op, req), &reply, o) == 1;
    if (!ok) {
        Wipe(req.password);
        return 0;
    }
    perm = reply.permission;
    s.inquiries.Merge(reply.inquiries);
    LoginStep step;
    step.op = op;
    step.form = form;
    step.name = req.name;
    step.password = req.password;
    Wipe(req.password);
    RememberLogin(s, std::move(step));
    return 1;
}

// Opens a connection for target (reusing the parked one when it fits) and runs
// Connect on it.
CallResult OpenSession(ClientState& s, const LinkTarget& target, ConnectReply& out,
                       QTCP_COMMSTATE_CALLBACK cb) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        DropLink(s, LinkStatus::kClosed);
        std::unique_ptr<DeviceLink> link = attempt == 0 ? TakeParkedLink(target) : nullptr;
        const bool reused = link != nullptr;
        if (!link) {
            const Clock::time_point start = Clock::now();
            WaitControl wc;
            wc.deadline = Deadline::In(std::chrono::milliseconds(s.connectMs));
            wc.cancelled = [&] {
                return Notify(s, cb, QTCP_STATE_CONNECTING, Op::kConnect, 0, -1, start,
                              s.connectMs);
            };
            LinkStatus st = LinkStatus::kOk;
            link = OpenLink(target, wc, st);
            if (!link) {
                SetError(s, ErrorOf(st == LinkStatus::kOk ? LinkStatus::kConnectFailed : st));
                return CallResult::kFailed;
            }
        }
        if (!CertificateAccepted(s, link))
            return CallResult::kFailed;
        s.link = std::move(link);
        s.target = target;
        s.targetKnown = true;
        ConnectRequest req;
        req.protocol = s.protocol;
        req.classKind = s.classKind;
        req.unitName = s.unitName;
        Frame reply;
        ExchangeOptions o;
        o.cb = cb;
        const CallResult r = Exchange(s, Req(Op::kConnect, req), reply, o);
        // Only a kept connection the device had closed is worth a second try; after a
        // time-out or a malformed reply a new connection would meet the same device.
        if (r == CallResult::kFailed && reused && s.lastCode == QTCP_ERR_CLOSED)
            continue;
        if (r != CallResult::kOk) {
            CloseLinkQuietly(s);
            return r;
        }
        if (!ParsePayload(reply, out) || !SaneConnectReply(out)) {
            DropLink(s, LinkStatus::kProtocol);
            return CallResult::kFailed;
        }
        s.inquiries = out.inquiries;
        s.session = true;
        return CallResult::kOk;
    }
    return CallResult::kFailed;
}

// One attempt of ReconnectInfinite: new session, the same logins, the same box.
CallResult ReconnectOnce(ClientState& s, int& colour, QTCP_COMMSTATE_CALLBACK cb) {
    ConnectReply cr;
    const CallResult r = OpenSession(s, s.target, cr, cb);
    if (r != CallResult::kOk)
        return r;
    ExchangeOptions o;
    o.cb = cb;
    for (const LoginStep& step : s.logins) {
        Frame reply;
        CallResult lr;
        if (step.op == Op::kCustomLogin) {
            lr = Exchange(s, Req(step.op, CustomLoginRequest{step.custom}), reply, o);
            CustomLoginReply m;
            if (lr == CallResult::kOk && ParsePayload(reply, m))
                colour = m.permission.nColourForbidden;
        } else {
            LoginRequest req;
            req.form = step.form;
            req.name = step.name;
            req.password = step.password;
            lr = Exchange(s, Req(step.op, req), reply, o);
            Wipe(req.password);
            LoginReply m;
            if (lr == CallResult::kOk && ParsePayload(reply, m)) {
                colour = m.permission.nColourForbidden;
                s.inquiries.Merge(m.inquiries);
            }
        }
        if (lr != CallResult::kOk)
            return lr;
    }
    if (s.boxLoggedIn) {
        Frame reply;
        const CallResult br =
            Exchange(s, Req(Op::kBoxLogin, BoxPasswordRequest{s.boxNo, s.boxPassword}), reply, o);
        if (br != CallResult::kOk) {
            if (br == CallResult::kRefused)
                s.boxLoggedIn = false;
            return br;
        }
    }
    return CallResult::kOk;
}

int ProtocolNumber(int major, int minor) {
    if (major < 1 || major > 9 || minor < 0)
        return 0;
    return major * 10 + std::min(minor, 9);
}

}  // namespace
}  // namespace vesk::tcpcore

using namespace vesk::tcpcore;

#define TC_TRY try {
#define TC_CATCH(fail)                          \
    }                                           \
    catch (const std::bad_alloc&) {             \
        SetError(*m_state, QTCP_ERR_NO_MEMORY); \
        return fail;                            \
    }

// ---------------------------------------------------------------------------
// Construction and classes

CTcpCore::CTcpCore() : CTcpCore(0, 0) {}

CTcpCore::CTcpCore(int classKind, int protocol) : m_state(std::make_unique<ClientState>()) {
    m_state->classKind = classKind;
    m_state->protocol = protocol;
}

CTcpCore::~CTcpCore() {
    if (m_state) {
        m_state->link->Close();
    }
}

CTcpCoreV20::CTcpCoreV20() : CTcpCore(0, 20) {}
CTcpCoreV20::CTcpCoreV20(int protocol) : CTcpCore(0, protocol) {}
CTcpCoreV31::CTcpCoreV31() : CTcpCore(1, 31) {}
CTcpCoreV31::CTcpCoreV31(int protocol) : CTcpCore(1, protocol) {}
CTcpCoreV31::CTcpCoreV31(int classKind, int protocol) : CTcpCore(classKind, protocol) {}
CTcpCoreV31DMiOP::CTcpCoreV31DMiOP() : CTcpCoreV31(2, 31) {}

// ---------------------------------------------------------------------------
// Session

int CTcpCore::Initialize(int mode, const char* unitName) {
    TC_TRY
    ClientState& s = *m_state;
    if (mode != 0 && mode != 1) {
        SetError(s, QTCP_ERR_ARGUMENT);
        return 0;
    }
    s.initialized = true;
    s.mode = mode;
    s.unitName = std::string(BoundedCStr(unitName, kMaxText));
    return 1;
    TC_CATCH(0)
}

int CTcpCore::Uninitialize() {
    TC_TRY
    ClientState& s = *m_state;
    if (s.stream == StreamState::kOpen)
        AbortStream(s);
    ResetStream(s);
    // Make the idle link first: if that allocation fails the object keeps a link and
    // stays usable, instead of being left with none.
    std::unique_ptr<DeviceLink> idle = MakeNotConnectedLink();
    if (s.helloOnly && !s.session && s.link->IsOpen()) {
        ParkLink(s.target, std::exchange(s.link, std::move(idle)));
    } else {
        s.link->Close();
        s.link = std::move(idle);
    }
    s.helloOnly = false;
    s.session = false;
    s.thumbOpen = false;
    s.initialized = false;
    return 1;
    TC_CATCH(0)
}

int CTcpCore::GetDeviceInfo(tagQTCP_DEVICEINFO* info, int& major, int& minor, const char* address,
                            int& canceled, int& opened, int port, int connectTimeoutSec,
                            int sendTimeoutSec, int recvTimeoutSec, QTCP_COMMSTATE_CALLBACK cb) {
    TC_TRY
    ClientState& s = *m_state;
    if (!s.initialized) {
        SetError(s, QTCP_ERR_NOT_INITIALIZED);
        return 0;
    }
    if (!info || !address || !*address) {
        SetError(s, QTCP_ERR_ARGUMENT);
        return 0;
    }
    std::atomic_ref<int> cancelFlag(canceled);
    const std::function<bool()> cancelled = [&] { return cancelFlag.load() != 0; };
    if (cancelled()) {
        SetError(s, QTCP_ERR_CANCELLED);
        return 0;
    }
    const int connectMs = connectTimeoutSec > 0 ? connectTimeoutSec * 1000 : s.connectMs;
    ExchangeOptions o;
    o.cb = cb;
    o.extraCancel = &cancelled;
    o.sendMs = sendTimeoutSec > 0 ? sendTimeoutSec * 1000 : s.ioMs;
    o.recvMs = recvTimeoutSec > 0 ? recvTimeoutSec * 1000 : s.ioMs;

    DropLink(s, LinkStatus::kClosed);
    s.session = false;
    const LinkTarget target{std::string(BoundedCStr(address, kMaxText)), port, s.mode};
    const Clock::time_point start = Clock::now();
    WaitControl wc;
    wc.deadline = Deadline::In(std::chrono::milliseconds(connectMs));
    wc.cancelled = [&] {
        return cancelled() ||
               Notify(s, cb, QTCP_STATE_CONNECTING, Op::kHello, 0, -1, start, connectMs);
    };
    LinkStatus st = LinkStatus::kOk;
    std::unique_ptr<DeviceLink> link = OpenLink(target, wc, st);
    if (!link) {
        if (st == LinkStatus::kCancelled)
            cancelFlag.store(1);
        SetError(s, ErrorOf(st == LinkStatus::kOk ? LinkStatus::kConnectFailed : st));
        return 0;
    }
    if (!CertificateAccepted(s, link))
        return 0;
    s.link = std::move(link);
    s.target = target;
    s.targetKnown = true;
    s.helloOnly = true;
    Frame reply;
    const CallResult r = Exchange(s, Req(Op::kHello, HelloRequest{s.protocol}), reply, o);
    if (r != CallResult::kOk) {
        if (s.lastCode == QTCP_ERR_CANCELLED)
            cancelFlag.store(1);
        CloseLinkQuietly(s);
        return 0;
    }
    HelloReply hello;
    if (!ParsePayload(reply, hello)) {
        DropLink(s, LinkStatus::kProtocol);
        return 0;
    }
    std::memset(info, 0, sizeof *info);
    CopyToField(info->szDeviceID, sizeof info->szDeviceID, hello.deviceId);
    CopyToField(info->szModelName, sizeof info->szModelName, hello.model);
    CopyToField(info->szSerialNo, sizeof info->szSerialNo, hello.serial);
    info->nMajorVersion = hello.major;
    info->nMinorVersion = hello.minor;
    major = hello.major;
    minor = hello.minor;
    opened = 1;
    return 1;
    TC_CATCH(0)
}

CTcpCore* CTcpCore::GetTcpCoreObject(int major, int minor) {
    TC_TRY
    const int v = ProtocolNumber(major, minor);
    m_state->protocol = v;
    if (v == 0) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return nullptr;
    }
    if (v < 31)
        return new CTcpCoreV20(v);
    return new CTcpCoreV31(v);
    TC_CATCH(nullptr)
}

int CTcpCore::GetTcpVersion() {
    return m_state->protocol;
}

int CTcpCore::SetCallbackCommunicate(QTCP_COMMSTATE_CALLBACK cb, void* userData) {
    m_state->commCb = cb;
    m_state->userData = userData;
    return 1;
}

int CTcpCore::Connect(const char* address, int port, int& userAuthType, int& accountAuthType,
                      int& publicUserSupport, QTCP_COMMSTATE_CALLBACK cb) {
    TC_TRY
    ClientState& s = *m_state;
    if (!s.initialized) {
        SetError(s, QTCP_ERR_NOT_INITIALIZED);
        return 0;
    }
    if (!address || !*address) {
        SetError(s, QTCP_ERR_ARGUMENT);
        return 0;
    }
    s.session = false;
    s.logins.clear();
    s.boxLoggedIn = false;
    s.thumbOpen = false;
    ResetStream(s);
    const LinkTarget target{std::string(BoundedCStr(address, kMaxText)), port, s.mode};
    ConnectReply reply;
    if (OpenSession(s, target, reply, cb) != CallResult::kOk)
        return 0;
    userAuthType = reply.userAuthType;
    accountAuthType = reply.accountAuthType;
    publicUserSupport = reply.publicUserSupport;
    return 1;
    TC_CATCH(0)
}

int CTcpCore::Disconnect(int mode) {
    TC_TRY
    ClientState& s = *m_state;
    const bool had = s.session;
    if (had && s.link->IsOpen()) {
        if (s.stream == StreamState::kOpen)
            AbortStream(s);
        if (mode == 1 && s.link->IsOpen()) {
            // A courtesy to the device; the session ends here whatever it answers.
            Frame reply;
            ExchangeOptions o;
            o.recvMs = std::min(s.ioMs, 2000);
            Exchange(s, Req(Op::kDisconnect, DisconnectRequest{mode}), reply, o);
        }
    }
    s.link->Close();
    s.link = MakeNotConnectedLink();
    s.session = false;
    s.helloOnly = false;
    s.logins.clear();
    s.boxLoggedIn = false;
    s.thumbOpen = false;
    ResetStream(s);
    if (!had) {
        SetError(s, QTCP_ERR_NOT_CONNECTED);
        return 0;
    }
    SetError(s, QTCP_OK);
    return 1;
    TC_CATCH(0)
}

int CTcpCore::IsConnected() {
    return m_state->session && m_state->link->IsOpen() ? 1 : 0;
}

int CTcpCore::ReconnectInfinite(int& status, int& colourForbidden, QTCP_COMMSTATE_CALLBACK cb,
                                QTCP_RECVDATA_CALLBACK recv) {
    TC_TRY
    ClientState& s = *m_state;
    if (recv)
        s.recvCb = recv;
    if (!s.targetKnown || !s.initialized) {
        SetError(s, QTCP_ERR_NOT_CONNECTED);
        status = s.lastCode;
        return 0;
    }
    const Clock::time_point start = Clock::now();
    for (int attempt = 1;; ++attempt) {
        const CallResult r = ReconnectOnce(s, colourForbidden, cb);
        status = s.lastCode;
        if (r == CallResult::kOk) {
            status = QTCP_OK;
            return 1;
        }
        // A device that refuses the session or the login will refuse it again.
        if (r == CallResult::kRefused || s.lastCode == QTCP_ERR_CANCELLED ||
            s.lastCode == QTCP_ERR_CERT_CHANGED) {
            s.session = false;
            return 0;
        }
        if (!cb && attempt >= 3) {
            s.session = false;
            return 0;
        }
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (cb && Notify(s, cb, QTCP_STATE_CONNECTING, Op::kConnect, 0, -1, start, 0)) {
                SetError(s, QTCP_ERR_CANCELLED);
                status = QTCP_ERR_CANCELLED;
                s.session = false;
                return 0;
            }
        }
    }
    TC_CATCH(0)
}

QTCP_RECVDATA_CALLBACK CTcpCore::ResetCallbackRecvData(QTCP_RECVDATA_CALLBACK cb) {
    QTCP_RECVDATA_CALLBACK previous = m_state->recvCb;
    m_state->recvCb = cb;
    return previous;
}

// ---------------------------------------------------------------------------
// Errors

int CTcpCore::GetLastErrorCode(int& code, int& detail) {
    code = m_state->lastCode;
    detail = m_state->lastDetail;
    return 1;
}

int CTcpCore::GetLastStackError() {
    return m_state->stackError;
}

void CTcpCore::StackErrorClear() {
    m_state->stackError = 0;
}

// ---------------------------------------------------------------------------
// Login

int CTcpCore::UserLogin(const char* name, int nameLen, const char* password, int& colourForbidden,
                        QTCP_COMMSTATE_CALLBACK cb) {
    TC_TRY
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    if (!Login(*m_state, Op::kUserLogin, LoginForm::kLegacy, name, nameLen, password, perm, cb))
        return 0;
    colourForbidden = perm.nColourForbidden;
    return 1;
    TC_CATCH(0)
}

int CTcpCore::UserLogin2(const char* name, int nameLen, const char* password,
                         tagUTIL_DOCOPERATIONPERMISSION& permission, QTCP_COMMSTATE_CALLBACK cb) {
    TC_TRY
    return Login(*m_state, Op::kUserLogin, LoginForm::kV2, name, nameLen, password, permission, cb);
    TC_CATCH(0)
}

int CTcpCore::VendorLogin(const char* name, int nameLen, const char* password,
                          tagUTIL_DOCOPERATIONPERMISSION& permission, QTCP_COMMSTATE_CALLBACK cb) {
    TC_TRY
    return Login(*m_state, Op::kUserLogin, LoginForm::kVendor, name, nameLen, password, permission,
                 cb);
    TC_CATCH(0)
}

int CTcpCore::AccountLogin(const char* name, int nameLen, const char* password,
                           int& colourForbidden, QTCP_COMMSTATE_CALLBACK cb) {
    TC_TRY
    tagUTIL_DOCOPERATIONPERMISSION perm{};
    if (!Login(*m_state, Op::kAccountLogin, LoginForm::kLegacy, name, nameLen, password, perm, cb))
        return 0;
    colourForbidden = perm.nColourForbidden;
    return 1;
    TC_CATCH(0)
}

int CTcpCore::AccountLogin2(const char* name, int nameLen, const char* password,
                            tagUTIL_DOCOPERATIONPERMISSION& permission,
                            QTCP_COMMSTATE_CALLBACK cb) {
    TC_TRY
    return Login(*m_state, Op::kAccountLogin, LoginForm::kV2, name, nameLen, password, permission,
                 cb);
    TC_CATCH(0)
}

int CTcpCore::CustomizedLogin(const void* data, int size, tagUTIL_DETAIL_LOGIN_RESULT& result,
                              tagUTIL_DOCOPERATIONPERMISSION& permission,
                              QTCP_COMMSTATE_CALLBACK cb) {
    TC_TRY
    ClientState& s = *m_state;
    if (size < 0 || static_cast<std::size_t>(size) > kMaxLoginData || (size > 0 && !data)) {
        SetError(s, QTCP_ERR_ARGUMENT);
        return 0;
    }
    if (!RequireSession(s))
        return 0;
    CustomLoginRequest req;
    const auto* p = static_cast<const std::uint8_t*>(data);
    req.data.assign(p, p + size);
    Frame reply;
    ExchangeOptions o;
    o.cb = cb;
    const CallResult r = Exchange(s, Req(Op::kCustomLogin, req), reply, o);
    if (r == CallResult::kFailed)
        return 0;
    CustomLoginReply m;
    if (ParsePayload(reply, m)) {
        result = m.result;
        if (r == CallResult::kOk)
            permission = m.permission;
    } else if (r == CallResult::kOk) {
        return Malformed(s);
    }
    if (r != CallResult::kOk)
        return 0;
    LoginStep step;
    step.op = Op::kCustomLogin;
    step.custom = std::move(req.data);
    RememberLogin(s, std::move(step));
    return 1;
    TC_CATCH(0)
}

namespace {
int CustomInfo(ClientState& s, int variant, int infoType, void* buffer, int bufferSize,
               int& dataSize, int& totalSize) {
    dataSize = 0;
    if (bufferSize < 0 || (bufferSize > 0 && !buffer)) {
        SetError(s, QTCP_ERR_ARGUMENT);
        return 0;
    }
    CustomLoginInfoRequest req;
    req.variant = variant;
    req.infoType = infoType;
    req.maxBytes = bufferSize;
    CustomLoginInfoReply reply;
    if (!Simple(s, Req(Op::kCustomLoginInfo, req), &reply))
        return 0;
    const std::size_t n = std::min(reply.data.size(), static_cast<std::size_t>(bufferSize));
    if (n)
        std::memcpy(buffer, reply.data.data(), n);
    dataSize = static_cast<int>(n);
    totalSize = reply.totalSize;
    return 1;
}
}  // namespace

int CTcpCore::GetCustomizedLoginInformation(int infoType, void* buffer, int bufferSize,
                                            int& dataSize, int& totalSize) {
    TC_TRY
    return CustomInfo(*m_state, 1, infoType, buffer, bufferSize, dataSize, totalSize);
    TC_CATCH(0)
}

int CTcpCore::GetCustomizedLoginInformation2(int infoType, void* buffer, int bufferSize,
                                             int& dataSize, int& totalSize) {
    TC_TRY
    return CustomInfo(*m_state, 2, infoType, buffer, bufferSize, dataSize, totalSize);
    TC_CATCH(0)
}

int CTcpCore::GetAccountName4CurrentUser(char* name, int bufferSize) {
    TC_TRY
    if (!name || bufferSize <= 0) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    CurrentUserReply reply;
    if (!Simple(*m_state, Req(Op::kCurrentUser), &reply))
        return 0;
    CopyToField(name, static_cast<std::size_t>(bufferSize), reply.info.szAccountName);
    return 1;
    TC_CATCH(0)
}

int CTcpCore::GetUserInfo4CurrentUser(char* userName, char* serverName) {
    TC_TRY
    if (!userName || !serverName) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    CurrentUserReply reply;
    if (!Simple(*m_state, Req(Op::kCurrentUser), &reply))
        return 0;
    CopyToField(userName, QTCP_USERNAME_SIZE, reply.info.szUserName);
    CopyToField(serverName, QTCP_SERVERNAME_SIZE, reply.info.szServerName);
    return 1;
    TC_CATCH(0)
}

int CTcpCore::GetUserInfo4CurrentUser2(tagUTIL_CURRENT_USER_INFO& info) {
    TC_TRY
    CurrentUserReply reply;
    if (!Simple(*m_state, Req(Op::kCurrentUser), &reply))
        return 0;
    info = reply.info;
    return 1;
    TC_CATCH(0)
}

int CTcpCore::GetAuthServerList(std::vector<tagUTIL_AUTHSERVERINFO>& servers) {
    TC_TRY
    AuthServerListReply reply;
    if (!Simple(*m_state, Req(Op::kAuthServerList), &reply))
        return 0;
    servers = std::move(reply.servers);
    return 1;
    TC_CATCH(0)
}

int CTcpCore::SetAuthServerInfo(int index, const char* name, const char* second) {
    TC_TRY
    SetAuthServerRequest req;
    req.index = index;
    req.name = std::string(BoundedCStr(name, kMaxPassword));
    req.second = std::string(BoundedCStr(second, kMaxPassword));
    return Simple<IntMessage>(*m_state, Req(Op::kSetAuthServer, req));
    TC_CATCH(0)
}

int CTcpCore::InquireSimpleAuthenticationEnable(int& enabled) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kSimpleAuth, enabled);
    TC_CATCH(0)
}

int CTcpCore::SetSimpleAuthentication(int& enable) {
    TC_TRY
    IntMessage reply;
    if (!Simple(*m_state, Req(Op::kSetSimpleAuth, IntMessage{enable}), &reply))
        return 0;
    enable = reply.value;
    m_state->inquiries.SetInt(Inquiry::kSimpleAuth, reply.value);
    return 1;
    TC_CATCH(0)
}

int CTcpCore::InquireEnhancedSecurityMode(int& mode) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kEnhancedSecurity, mode);
    TC_CATCH(0)
}

int CTcpCore::IsTrimUserNameInCaseOfLDAPServer(int& trim) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kTrimLdapUserName, trim);
    TC_CATCH(0)
}

int CTcpCore::InquireSupportOfSettingUserName(int& supported) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kSettingUserName, supported);
    TC_CATCH(0)
}

int CTcpCore::SetUserNameDuringPublicLogin(const char* name, int nameLen) {
    TC_TRY
    return Simple<IntMessage>(
        *m_state, Req(Op::kSetPublicUserName, TextMessage{NameOf(name, nameLen, kMaxName)}));
    TC_CATCH(0)
}

int CTcpCore::GetBoxAdminSupport(int& supported) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kBoxAdminSupport, supported);
    TC_CATCH(0)
}

// ---------------------------------------------------------------------------
// Inquiries

int CTcpCore::GetHDDCount(int& count) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kHddCount, count);
    TC_CATCH(0)
}

int CTcpCore::InquireSecuritySettingOfRXData(int& value) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kRxDataSecurity, value);
    TC_CATCH(0)
}

int CTcpCore::GetBoxControlPermission(tagUTIL_BOXCONTROLPERMISSION& permission) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kBoxControlPermission, permission);
    TC_CATCH(0)
}

int CTcpCore::GetAutoDelTimePermission(tagUTIL_AUTODELTIMEPERMISSION& permission) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kAutoDelTimePermission, permission);
    TC_CATCH(0)
}

int CTcpCore::GetMono2ColorDocPolicy(int& policy) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kMono2ColorPolicy, policy);
    TC_CATCH(0)
}

int CTcpCore::IsIOption(int& option) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kIOption, option);
    TC_CATCH(0)
}

int CTcpCore::GetExtendedFormatSupportInfo(tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO& info) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kExtendedFormat, info);
    TC_CATCH(0)
}

int CTcpCore::GetExtendedFormatSupportInfo2(tagUTIL_EXTENDED_FORMAT_SUPPORT_INFO2& info) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kExtendedFormat2, info);
    TC_CATCH(0)
}

int CTcpCore::GetSearchablePDFSupportInfo(tagUTIL_SPDF_SUPPORT_INFO& info) {
    TC_TRY
    return InquireValue(*m_state, Inquiry::kSearchablePdf, info);
    TC_CATCH(0)
}

int CTcpCore::GetOptionalFunction(long& functions) {
    TC_TRY
    int v = 0;
    if (!InquireValue(*m_state, Inquiry::kOptionalFunction, v))
        return 0;
    functions = static_cast<long>(static_cast<std::uint32_t>(v));
    return 1;
    TC_CATCH(0)
}

int CTcpCore::GetForcedDocumentAttribute(int kind, int& count, tagUTIL_ATTRIBUTEINFO* attributes,
                                         int maxCount) {
    TC_TRY
    count = 0;
    if (maxCount < 0 || (maxCount > 0 && !attributes)) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    ForcedAttributesReply reply;
    if (!Simple(*m_state, Req(Op::kForcedAttributes, IntMessage{kind}), &reply))
        return 0;
    const std::size_t n = std::min(reply.attributes.size(), static_cast<std::size_t>(maxCount));
    std::copy_n(reply.attributes.begin(), n, attributes);
    count = static_cast<int>(n);
    return 1;
    TC_CATCH(0)
}

// ---------------------------------------------------------------------------
// Boxes

int CTcpCore::GetBoxList(std::vector<tagUTIL_BOXINFO>& boxes) {
    TC_TRY
    BoxListReply reply;
    if (!Simple(*m_state, Req(Op::kBoxList, IntMessage{0}), &reply))
        return 0;
    boxes = std::move(reply.boxes);
    return 1;
    TC_CATCH(0)
}

int CTcpCore::GetFilingNumberBoxList(std::vector<tagUTIL_BOXINFO>& boxes) {
    TC_TRY
    BoxListReply reply;
    if (!Simple(*m_state, Req(Op::kBoxList, IntMessage{1}), &reply))
        return 0;
    boxes = std::move(reply.boxes);
    return 1;
    TC_CATCH(0)
}

int CTcpCore::CreateBox(const tagUTIL_BOXCREATEINFO& info, const char* password,
                        QTCP_COMMSTATE_CALLBACK cb) {
    TC_TRY
    CreateBoxRequest req;
    req.info = info;
    req.password = std::string(BoundedCStr(password, kMaxPassword));
    IntMessage reply;
    ExchangeOptions o;
    o.cb = cb;
    if (!Simple(*m_state, Req(Op::kCreateBox, req), &reply, o))
        return -1;
    return reply.value;
    TC_CATCH(-1)
}

int CTcpCore::RenameBox(long boxNo, const char* name, int nameLen, const char* password,
                        int& flag) {
    TC_TRY
    flag = 0;
    if (!FitsI32(boxNo)) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    RenameBoxRequest req;
    req.boxNo = static_cast<std::int32_t>(boxNo);
    req.name = NameOf(name, nameLen, QTCP_BOXNAME_SIZE - 1);
    req.password = std::string(BoundedCStr(password, kMaxPassword));
    return WithFlag(*m_state, Req(Op::kRenameBox, req), flag);
    TC_CATCH(0)
}

int CTcpCore::RemoveBox(long boxNo, const char* password, int& detail) {
    TC_TRY
    detail = 0;
    if (!FitsI32(boxNo)) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    BoxPasswordRequest req{static_cast<std::int32_t>(boxNo),
                           std::string(BoundedCStr(password, kMaxPassword))};
    return WithFlag(*m_state, Req(Op::kRemoveBox, req), detail);
    TC_CATCH(0)
}

int CTcpCore::ChangeBoxSetting(long boxNo, const tagUTIL_BOXPROPINFO& prop, const char* oldPassword,
                               const char* newPassword, int& flag) {
    TC_TRY
    flag = 0;
    if (!FitsI32(boxNo)) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    ChangeBoxRequest req;
    req.boxNo = static_cast<std::int32_t>(boxNo);
    req.prop = prop;
    req.oldPassword = std::string(BoundedCStr(oldPassword, kMaxPassword));
    req.newPassword = std::string(BoundedCStr(newPassword, kMaxPassword));
    return WithFlag(*m_state, Req(Op::kChangeBox, req), flag);
    TC_CATCH(0)
}

int CTcpCore::BoxLogin(long boxNo, const char* password, int& flag) {
    TC_TRY
    ClientState& s = *m_state;
    flag = 0;
    if (!FitsI32(boxNo)) {
        SetError(s, QTCP_ERR_ARGUMENT);
        return 0;
    }
    BoxPasswordRequest req{static_cast<std::int32_t>(boxNo),
                           std::string(BoundedCStr(password, kMaxPassword))};
    if (!WithFlag(s, Req(Op::kBoxLogin, req), flag))
        return 0;
    s.boxLoggedIn = true;
    s.boxNo = req.boxNo;
    s.boxPassword = req.password;
    return 1;
    TC_CATCH(0)
}

int CTcpCore::BoxLogout() {
    TC_TRY
    ClientState& s = *m_state;
    if (!Simple<IntMessage>(s, Req(Op::kBoxLogout)))
        return 0;
    s.boxLoggedIn = false;
    s.boxPassword.clear();
    return 1;
    TC_CATCH(0)
}

// ---------------------------------------------------------------------------
// Documents

int CTcpCore::GetDocumentList(std::vector<tagUTIL_DOCINFO>& docs, int kind) {
    TC_TRY
    DocListReply reply;
    if (!Simple(*m_state, Req(Op::kDocList, IntMessage{kind}), &reply))
        return 0;
    docs = std::move(reply.docs);
    return 1;
    TC_CATCH(0)
}

namespace {
int CopyOrMove(ClientState& s, long docID, long destBoxNo, int move, QTCP_COMMSTATE_CALLBACK cb) {
    if (!FitsI32(docID) || !FitsI32(destBoxNo)) {
        SetError(s, QTCP_ERR_ARGUMENT);
        return 0;
    }
    CopyDocRequest req{static_cast<std::int32_t>(docID), static_cast<std::int32_t>(destBoxNo),
                       move};
    ExchangeOptions o;
    o.cb = cb;
    return Simple<IntMessage>(s, Req(Op::kCopyDoc, req), nullptr, o);
}

// Starts a document stream: the open's reply gives the size, the data follows.
int OpenStream(ClientState& s, Frame req, QTCP_PROGRESS_CALLBACK progress) {
    s.stackError = 0;
    if (!RequireSession(s))
        return 0;
    const Op op = req.op;
    Frame reply;
    ExchangeOptions o;
    o.progress = progress;
    if (Exchange(s, std::move(req), reply, o) != CallResult::kOk)
        return 0;
    s.stream = StreamState::kOpen;
    s.streamOp = op;
    s.streamSeq = reply.seq;
    s.streamTotal = -1;
    s.streamReceived = 0;
    s.pending.clear();
    s.pendingPos = 0;
    OpenReply open;
    if (!ParsePayload(reply, open) || open.totalSize < -1) {
        // Data may already be on its way: stop it before reporting the fault.
        AbortStream(s);
        return Malformed(s);
    }
    s.streamTotal = open.totalSize;
    return 1;
}

// The stream ended with an error: the code goes to the stack error and the last error.
void EndStreamWithError(ClientState& s, int code, int detail) {
    s.stream = StreamState::kEndedError;
    s.stackError = code;
    SetError(s, code, detail);
}
}  // namespace

int CTcpCore::CopyDocument(long docID, long destBoxNo, QTCP_COMMSTATE_CALLBACK cb) {
    TC_TRY
    return CopyOrMove(*m_state, docID, destBoxNo, 0, cb);
    TC_CATCH(0)
}

int CTcpCore::MoveDocument(long docID, long destBoxNo, QTCP_COMMSTATE_CALLBACK cb) {
    TC_TRY
    return CopyOrMove(*m_state, docID, destBoxNo, 1, cb);
    TC_CATCH(0)
}

int CTcpCore::RemoveDocument(long docID, QTCP_COMMSTATE_CALLBACK cb) {
    TC_TRY
    if (!FitsI32(docID)) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    RemoveDocRequest req{static_cast<std::int32_t>(docID), 0, {}};
    ExchangeOptions o;
    o.cb = cb;
    return Simple<IntMessage>(*m_state, Req(Op::kRemoveDoc, req), nullptr, o);
    TC_CATCH(0)
}

int CTcpCore::RemoveDocument2(long docID, const char* password, int& flag,
                              QTCP_COMMSTATE_CALLBACK) {
    TC_TRY
    flag = 0;
    if (!FitsI32(docID)) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    RemoveDocRequest req{static_cast<std::int32_t>(docID), 1,
                         std::string(BoundedCStr(password, kMaxPassword))};
    return WithFlag(*m_state, Req(Op::kRemoveDoc, req), flag);
    TC_CATCH(0)
}

int CTcpCore::RenameDocument(long docID, const char* name, int nameLen) {
    TC_TRY
    if (!FitsI32(docID)) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    RenameDocRequest req{static_cast<std::int32_t>(docID),
                         NameOf(name, nameLen, QTCP_DOCNAME_SIZE - 1)};
    return Simple<IntMessage>(*m_state, Req(Op::kRenameDoc, req));
    TC_CATCH(0)
}

int CTcpCore::OpenDocument(long docID, int page, int outputType, QTCP_PROGRESS_CALLBACK progress) {
    TC_TRY
    if (!FitsI32(docID)) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    OpenDocRequest req;
    req.docId = static_cast<std::int32_t>(docID);
    req.form = OpenForm::kPageAndType;
    req.page = page;
    req.outputType = outputType;
    req.param.nPage = page;
    req.param.nOutputType = outputType;
    return OpenStream(*m_state, Req(Op::kOpenDoc, req), progress);
    TC_CATCH(0)
}

int CTcpCore::OpenDocument(long docID, tagUTIL_OPENDOCPARAM param,
                           QTCP_PROGRESS_CALLBACK progress) {
    TC_TRY
    if (!FitsI32(docID)) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    OpenDocRequest req;
    req.docId = static_cast<std::int32_t>(docID);
    req.form = OpenForm::kParam;
    req.page = param.nPage;
    req.outputType = param.nOutputType;
    req.param = param;
    return OpenStream(*m_state, Req(Op::kOpenDoc, req), progress);
    TC_CATCH(0)
}

int CTcpCore::OpenDocumentWithBind(long* docIDs, int count, int bindFormat) {
    TC_TRY
    if (!docIDs || count <= 0 || static_cast<std::size_t>(count) > kMaxBindIds) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    OpenBindRequest req;
    req.bindFormat = bindFormat;
    for (int i = 0; i < count; ++i) {
        if (!FitsI32(docIDs[i])) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return 0;
        }
        req.docIds.push_back(static_cast<std::int32_t>(docIDs[i]));
    }
    return OpenStream(*m_state, Req(Op::kOpenBind, req), nullptr);
    TC_CATCH(0)
}

int CTcpCore::ReadDocument(void* buffer, int size) {
    TC_TRY
    ClientState& s = *m_state;
    if (!buffer || size <= 0) {
        SetError(s, QTCP_ERR_ARGUMENT);
        return -1;
    }
    if (s.stream == StreamState::kNone) {
        SetError(s, QTCP_ERR_STATE);
        return -1;
    }
    if (s.streamCancelled) {
        SetError(s, QTCP_ERR_CANCELLED);
        return -1;
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    const auto want = static_cast<std::size_t>(size);
    std::size_t copied = 0;
    const Clock::time_point start = Clock::now();
    // Keep-alives restart the wait for data, but data must come within the limit.
    Clock::time_point lastData = start;
    while (copied < want) {
        if (s.pendingPos < s.pending.size()) {
            const std::size_t n = std::min(want - copied, s.pending.size() - s.pendingPos);
            std::memcpy(out + copied, s.pending.data() + s.pendingPos, n);
            copied += n;
            s.pendingPos += n;
            continue;
        }
        if (s.stream != StreamState::kOpen)
            break;
        Frame f;
        WaitControl wc;
        wc.deadline = Deadline(std::min(lastData + std::chrono::milliseconds(s.requestLimitMs),
                                        Clock::now() + std::chrono::milliseconds(s.ioMs)));
        wc.cancelled = [&] {
            return Notify(s, nullptr, QTCP_STATE_RECEIVING, s.streamOp, s.streamReceived,
                          s.streamTotal, start, s.ioMs);
        };
        // A data frame that fits what is left of the buffer goes straight into it.
        std::size_t direct = 0;
        const LinkStatus st = s.link->ReceiveInto(f, out + copied, want - copied, direct, wc);
        if (st == LinkStatus::kCancelled) {
            // The link is still in step: CloseDocument(1) stops the stream politely.
            s.streamCancelled = true;
            SetError(s, QTCP_ERR_CANCELLED);
            return copied > 0 ? static_cast<int>(copied) : -1;
        }
        if (st != LinkStatus::kOk) {
            DropLink(s, st);  // marks the stream broken
            break;
        }
        if (f.seq != s.streamSeq) {
            DropLink(s, LinkStatus::kProtocol);
            break;
        }
        if (f.kind == FrameKind::kKeepAlive)
            continue;
        if (f.kind == FrameKind::kData) {
            const auto n = static_cast<std::int64_t>(direct > 0 ? direct : f.payload.size());
            if (s.streamTotal >= 0 && s.streamReceived + n > s.streamTotal) {
                // More than announced: a device fault, and the stream cannot be trusted.
                DropLink(s, LinkStatus::kProtocol);
                break;
            }
            s.streamReceived += n;
            lastData = Clock::now();
            if (direct > 0) {
                copied += direct;
            } else {
                s.pending = std::move(f.payload);
                s.pendingPos = 0;
            }
            if (s.recvCb) {
                tagQTCP_RECVDATA rd{};
                rd.nSize = sizeof rd;
                rd.nOperation = static_cast<int>(s.streamOp);
                rd.llReceived = s.streamReceived;
                rd.llTotal = s.streamTotal;
                rd.nChunk = static_cast<int>(n);
                s.recvCb(&rd);
            }
            if (Notify(s, nullptr, QTCP_STATE_RECEIVING, s.streamOp, s.streamReceived,
                       s.streamTotal, start, s.ioMs)) {
                s.streamCancelled = true;
                SetError(s, QTCP_ERR_CANCELLED);
                return copied > 0 ? static_cast<int>(copied) : -1;
            }
            continue;
        }
        if (f.kind == FrameKind::kEnd) {
            StreamEnd end;
            if (!ParsePayload(f, end)) {
                EndStreamWithError(s, QTCP_ERR_PROTOCOL, 0);
            } else if (f.status != 0) {
                EndStreamWithError(s, f.status, f.detail);
            } else if ((s.streamTotal >= 0 && s.streamReceived != s.streamTotal) ||
                       end.bytesSent != s.streamReceived) {
                EndStreamWithError(s, QTCP_ERR_PROTOCOL, 0);
            } else {
                s.stream = StreamState::kEndedOk;
                s.stackError = -1;
            }
            continue;
        }
        DropLink(s, LinkStatus::kProtocol);
        break;
    }
    if (copied > 0)
        return static_cast<int>(copied);
    switch (s.stream) {
        case StreamState::kEndedOk:
            return 0;
        case StreamState::kEndedError:
            return -2;
        default:
            return -1;
    }
    TC_CATCH(-1)
}

int CTcpCore::CloseDocument(int abort) {
    TC_TRY
    ClientState& s = *m_state;
    const StreamState was = s.stream;
    switch (was) {
        case StreamState::kNone:
            if (abort)
                return 1;
            SetError(s, QTCP_ERR_STATE);
            return 0;
        case StreamState::kEndedOk:
            ResetStream(s);
            return 1;
        case StreamState::kOpen:
            AbortStream(s);
            break;
        case StreamState::kEndedError:
        case StreamState::kBroken:
            break;
    }
    ResetStream(s);
    return abort ? 1 : 0;
    TC_CATCH(abort ? 1 : 0)
}

// ---------------------------------------------------------------------------
// Thumbnails

int CTcpCore::OpenThumbnail(long docID, int kind, int format, int& size) {
    TC_TRY
    ClientState& s = *m_state;
    s.thumbOpen = false;
    s.thumb.clear();
    if (!FitsI32(docID)) {
        SetError(s, QTCP_ERR_ARGUMENT);
        return 0;
    }
    ThumbnailReply reply;
    if (!Simple(
            s,
            Req(Op::kThumbnail, ThumbnailRequest{static_cast<std::int32_t>(docID), kind, format}),
            &reply))
        return 0;
    if (reply.announcedSize < 0 || static_cast<std::uint32_t>(reply.announcedSize) > kMaxPayload)
        return Malformed(s);
    s.thumb = std::move(reply.data);
    // Bytes beyond the announced size are the device's error; the caller sized its
    // buffer and its image from the announcement.
    if (s.thumb.size() > static_cast<std::size_t>(reply.announcedSize))
        s.thumb.resize(static_cast<std::size_t>(reply.announcedSize));
    s.thumbOpen = true;
    size = reply.announcedSize;
    return 1;
    TC_CATCH(0)
}

int CTcpCore::ReadThumbnail(void* buffer, int size, int& length) {
    TC_TRY
    ClientState& s = *m_state;
    length = 0;
    if (!s.thumbOpen) {
        SetError(s, QTCP_ERR_STATE);
        return 0;
    }
    if (size < 0 || (size > 0 && !buffer)) {
        SetError(s, QTCP_ERR_ARGUMENT);
        return 0;
    }
    const std::size_t n = std::min(s.thumb.size(), static_cast<std::size_t>(size));
    if (n)
        std::memcpy(buffer, s.thumb.data(), n);
    length = static_cast<int>(n);
    return 1;
    TC_CATCH(0)
}

int CTcpCore::CloseThumbnail() {
    ClientState& s = *m_state;
    const bool was = s.thumbOpen;
    s.thumbOpen = false;
    s.thumb.clear();
    s.thumb.shrink_to_fit();
    if (!was) {
        SetError(s, QTCP_ERR_STATE);
        return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Print

int CTcpCore::SetDocument(long docID) {
    TC_TRY
    if (!FitsI32(docID)) {
        SetError(*m_state, QTCP_ERR_ARGUMENT);
        return 0;
    }
    return Simple<IntMessage>(*m_state,
                              Req(Op::kSetPrintDoc, IntMessage{static_cast<std::int32_t>(docID)}));
    TC_CATCH(0)
}

int CTcpCore::GetEffectivePrintSettings(PrintSetting& settings) {
    TC_TRY
    PrintSettingMessage reply;
    if (!Simple(*m_state, Req(Op::kPrintSettings, IntMessage{0}), &reply))
        return 0;
    if (!SanePrintSettings(reply.settings))
        return Malformed(*m_state);
    settings = reply.settings;
    return 1;
    TC_CATCH(0)
}

int CTcpCore::GetCurrentSetDocumentPrintSettings(PrintSetting& settings) {
    TC_TRY
    PrintSettingMessage reply;
    if (!Simple(*m_state, Req(Op::kPrintSettings, IntMessage{1}), &reply))
        return 0;
    if (!SanePrintSettings(reply.settings))
        return Malformed(*m_state);
    settings = reply.settings;
    return 1;
    TC_CATCH(0)
}

int CTcpCore::PrintDocument(PrintSetting& settings) {
    TC_TRY
    PrintSettingMessage reply;
    if (!Simple(*m_state, Req(Op::kPrint, PrintSettingMessage{settings}), &reply))
        return 0;
    // Not "printed" when the device reports a job it cannot have accepted.
    if (!SanePrintSettings(reply.settings))
        return Malformed(*m_state);
    settings = reply.settings;
    return 1;
    TC_CATCH(0)
}

// ---------------------------------------------------------------------------
// Extensions

void CTcpCore::SetTimeouts(int connectMs, int ioMs) {
    if (connectMs > 0)
        m_state->connectMs = connectMs;
    if (ioMs > 0)
        m_state->ioMs = ioMs;
}

void CTcpCore::SetDefaultTimeouts(int connectMs, int ioMs) {
    if (connectMs > 0)
        g_connectMs = connectMs;
    if (ioMs > 0)
        g_ioMs = ioMs;
}

std::string CTcpCore::GetNegotiatedCipher() {
    return m_state->link->Info().cipher;
}

std::string CTcpCore::GetNegotiatedTlsVersion() {
    return m_state->link->Info().tlsVersion;
}

std::string CTcpCore::GetPeerCertificateSha256() {
    return m_state->link->Info().peerCertSha256;
}

void CTcpCore::SetExpectedCertificateSha256(const std::string& sha256) {
    m_state->expectedCert = sha256;
}

std::string CTcpCore::GetPresentedCertificateSha256() {
    return m_state->presentedCert;
}

void CTcpCore::SetRequestLimit(int ms) {
    if (ms > 0)
        m_state->requestLimitMs = ms;
}

void CTcpCore::SetDefaultRequestLimit(int ms) {
    if (ms > 0)
        g_requestLimitMs = ms;
}

long long CTcpCore::GetRoundTripCount() {
    return m_state->roundTrips;
}
