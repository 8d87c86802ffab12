// Session and connection: construction, the device query, connect, disconnect,
// reconnect, errors, and the transport settings of an object.
#include "tcpcore/client_private.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

namespace vesk::tcpcore {
namespace {

// Authentication types a device may report (docs/protocol.md, section 4).
constexpr int kMaxUserAuthType = 9;
constexpr int kMaxAccountAuthType = 6;

// Values the item tree acts on: a device that reports something outside their sets
// has sent a malformed reply.
bool SaneConnectReply(const ConnectReply& r) {
    return r.userAuthType >= 0 && r.userAuthType <= kMaxUserAuthType && r.accountAuthType >= 0 &&
           r.accountAuthType <= kMaxAccountAuthType;
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
    return Guarded(*m_state, 0, [&] {
        ClientState& s = *m_state;
        if (mode != 0 && mode != 1) {
            SetError(s, QTCP_ERR_ARGUMENT);
            return 0;
        }
        s.initialized = true;
        s.mode = mode;
        s.unitName = std::string(BoundedCStr(unitName, kMaxText));
        return 1;
    });
}

int CTcpCore::Uninitialize() {
    return Guarded(*m_state, 0, [&] {
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
    });
}

int CTcpCore::GetDeviceInfo(tagQTCP_DEVICEINFO* info, int& major, int& minor, const char* address,
                            int& canceled, int& opened, int port, int connectTimeoutSec,
                            int sendTimeoutSec, int recvTimeoutSec, QTCP_COMMSTATE_CALLBACK cb) {
    return Guarded(*m_state, 0, [&] {
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
    });
}

CTcpCore* CTcpCore::GetTcpCoreObject(int major, int minor) {
    return Guarded<CTcpCore*>(*m_state, nullptr, [&]() -> CTcpCore* {
        const int v = ProtocolNumber(major, minor);
        m_state->protocol = v;
        if (v == 0) {
            SetError(*m_state, QTCP_ERR_ARGUMENT);
            return nullptr;
        }
        if (v < 31)
            return new CTcpCoreV20(v);
        return new CTcpCoreV31(v);
    });
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
    return Guarded(*m_state, 0, [&] {
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
    });
}

int CTcpCore::Disconnect(int mode) {
    return Guarded(*m_state, 0, [&] {
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
    });
}

int CTcpCore::IsConnected() {
    return m_state->session && m_state->link->IsOpen() ? 1 : 0;
}

int CTcpCore::ReconnectInfinite(int& status, int& colourForbidden, QTCP_COMMSTATE_CALLBACK cb,
                                QTCP_RECVDATA_CALLBACK recv) {
    return Guarded(*m_state, 0, [&] {
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
    });
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
