// The request/reply machinery every operation shares: one exchange, the link's
// upkeep, the progress callback.
#include "tcpcore/client_private.h"

#include <algorithm>
#include <cerrno>

namespace vesk::tcpcore {

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

void SetError(ClientState& s, int code, int detail) {
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

// One request and its reply. kRefused: the device answered with an error status
// (reply holds it and any payload); kFailed: no usable answer.
CallResult Exchange(ClientState& s, Frame req, Frame& reply, const ExchangeOptions& o) {
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

std::string NameOf(const char* name, int nameLen, std::size_t maxLen) {
    std::string_view v = BoundedCStr(name, maxLen);
    if (nameLen >= 0 && static_cast<std::size_t>(nameLen) < v.size())
        v = v.substr(0, static_cast<std::size_t>(nameLen));
    return std::string(v);
}

bool FitsI32(long v) {
    return v >= INT32_MIN && v <= INT32_MAX;
}

}  // namespace vesk::tcpcore
