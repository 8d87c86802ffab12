// Parallel SNMP queries on Winsock, with the message codec of snmp_codec.h: Windows has
// no net-snmp, and its own SNMP manager interface is neither dependable nor present
// under Wine. Behaves as the net-snmp backend does: every request sent at once (a
// bounded number outstanding), one select loop until each is answered or has used its
// retries, a broadcast kept open for its whole time-out taking every answer.
//
// One socket per local source address carries all requests sent from it; an answer is
// matched to its request by request id and by the sender (any sender for a broadcast).

// Sockets are few (one per source address), but the default limit of select is 64.
#define FD_SETSIZE 1024
#include "mib/snmp_query.h"

#include <mswsock.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <random>

#include "mib/snmp_codec.h"

namespace vesk::mib::detail {

namespace {

using Clock = std::chrono::steady_clock;

// Requests outstanding at the same time; later targets wait for a free place.
constexpr size_t kWindow = 256;
// Longest wait of one select, so a cancel request from another thread is seen promptly.
constexpr auto kPoll = std::chrono::milliseconds(50);
// Room for a burst of answers to a large range before they are read.
constexpr int kReceiveBuffer = 1 << 20;

const snmp::Oid kSysObjectId = {1, 3, 6, 1, 2, 1, 1, 2, 0};
const snmp::Oid kSysDescr = {1, 3, 6, 1, 2, 1, 1, 1, 0};

struct SocketCloser {
    void operator()(SOCKET* s) const {
        closesocket(*s);
        delete s;
    }
};
using SocketPtr = std::unique_ptr<SOCKET, SocketCloser>;

struct Pending {
    Endpoint endpoint;
    int32_t requestId = 0;
    std::vector<uint8_t> request;
    SOCKET socket = INVALID_SOCKET;
    int triesLeft = 0;
    Clock::time_point tryEnds;
    bool done = false;
    std::optional<Answer> answer;
};

int32_t NextRequestId() {
    // Positive and different from one query to the next, so a late answer to an earlier
    // query does not pass for one of this query.
    static uint32_t next = std::random_device{}() & 0x7FFFFFFF;
    next = next % 0x7FFFFFFF + 1;
    return static_cast<int32_t>(next);
}

std::string Peer(const Endpoint& e) {
    return "udp:" + FormatDottedQuad(e.address) + ":" + std::to_string(e.port);
}

std::string WsaError(const std::string& what) {
    return what + ": Winsock error " + std::to_string(WSAGetLastError());
}

// A non-blocking socket sending from `source` (0: any), allowed to broadcast.
SOCKET OpenSocket(uint32_t source, std::string& error) {
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        error = WsaError("cannot open a UDP socket");
        return s;
    }
    BOOL yes = TRUE;
    u_long nonBlocking = 1;
    // An ICMP "port unreachable" for one target must not fail the reads of the others.
    BOOL noReset = FALSE;
    DWORD unused = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &noReset, sizeof noReset, nullptr, 0, &unused, nullptr, nullptr);
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kReceiveBuffer),
               sizeof kReceiveBuffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(source);
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&yes), sizeof yes) ||
        ioctlsocket(s, FIONBIO, &nonBlocking) ||
        bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local)) {
        error = WsaError("cannot prepare a UDP socket from " + FormatDottedQuad(source));
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

bool Send(const Pending& p) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(p.endpoint.port);
    to.sin_addr.s_addr = htonl(p.endpoint.address);
    int sent = sendto(p.socket, reinterpret_cast<const char*>(p.request.data()),
                      static_cast<int>(p.request.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                      sizeof to);
    return sent == static_cast<int>(p.request.size());
}

Answer ReadAnswer(const snmp::Response& response, uint32_t address) {
    Answer answer;
    answer.address = address;
    if (response.errorStatus != 0)
        return answer;
    for (const snmp::VarBind& v : response.varbinds) {
        if (v.name == kSysObjectId && v.kind == snmp::ValueKind::kObjectId)
            answer.objectId = snmp::FormatOid(v.objectId);
        else if (v.name == kSysDescr && v.kind == snmp::ValueKind::kOctetString)
            answer.descr = v.text;
    }
    return answer;
}

bool StopRequested(const QueryOptions& options) {
    if (options.cancel && options.cancel->load())
        return true;
    return options.stop && std::atomic_ref<int>(*options.stop).load() != 0;
}

class Query {
public:
    Query(const std::vector<Endpoint>& endpoints, const QueryOptions& options)
        : m_options(options), m_pending(endpoints.size()) {
        for (size_t i = 0; i < endpoints.size(); ++i)
            m_pending[i].endpoint = endpoints[i];
    }

    QueryOutcome Run() {
        const auto timeout = std::chrono::milliseconds(m_options.timeoutMs);
        std::vector<snmp::Oid> names;
        if (m_options.wantObjectId)
            names.push_back(kSysObjectId);
        if (m_options.wantDescr)
            names.push_back(kSysDescr);
        size_t next = 0;
        while (true) {
            if (StopRequested(m_options)) {
                m_outcome.stopped = true;
                break;
            }
            while (m_open.size() < kWindow && next < m_pending.size())
                Start(m_pending[next++], names, timeout);
            const auto now = Clock::now();
            for (auto& [id, p] : m_open) {
                if (p->done || now < p->tryEnds)
                    continue;
                if (p->triesLeft > 0 && Send(*p)) {
                    --p->triesLeft;
                    p->tryEnds = now + timeout;
                } else {
                    p->done = true;  // timed out (a broadcast has collected its answers)
                }
            }
            std::erase_if(m_open, [](const auto& entry) { return entry.second->done; });
            if (m_open.empty()) {
                if (next >= m_pending.size())
                    break;
                continue;
            }
            if (!Wait(now)) {
                m_outcome.error = WsaError("select failed");
                break;
            }
        }
        for (Pending& p : m_pending)
            if (p.answer && !p.endpoint.IsBroadcast())
                m_outcome.answers.push_back(std::move(*p.answer));
        for (Answer& a : m_broadcastAnswers)
            m_outcome.answers.push_back(std::move(a));
        return std::move(m_outcome);
    }

private:
    void Start(Pending& p, const std::vector<snmp::Oid>& names, std::chrono::milliseconds timeout) {
        auto socket = m_sockets.find(p.endpoint.source);
        if (socket == m_sockets.end()) {
            SOCKET s = OpenSocket(p.endpoint.source, m_outcome.error);
            if (s == INVALID_SOCKET) {
                p.done = true;
                return;
            }
            socket = m_sockets.emplace(p.endpoint.source, SocketPtr(new SOCKET(s))).first;
        }
        p.socket = *socket->second;
        p.requestId = NextRequestId();
        auto request = snmp::EncodeGetRequest(m_options.community, p.requestId, names);
        if (!request) {
            m_outcome.error = "cannot encode a request to " + Peer(p.endpoint);
            p.done = true;
            return;
        }
        p.request = std::move(*request);
        if (!Send(p)) {
            m_outcome.error = WsaError("cannot send to " + Peer(p.endpoint));
            p.done = true;
            return;
        }
        m_outcome.opened = true;
        p.triesLeft = m_options.retries;
        p.tryEnds = Clock::now() + timeout;
        m_open[p.requestId] = &p;
    }

    // Waits for answers until the next try ends (at most kPoll) and reads them all.
    bool Wait(Clock::time_point now) {
        auto until = now + kPoll;
        for (const auto& [id, p] : m_open)
            until = std::min(until, p->tryEnds);
        auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now()).count();
        timeval wait{0, static_cast<long>(std::max<long long>(micros, 0))};
        fd_set readable;
        FD_ZERO(&readable);
        for (const auto& [source, s] : m_sockets)
            FD_SET(*s, &readable);
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready == SOCKET_ERROR)
            return false;
        for (const auto& [source, s] : m_sockets)
            if (ready > 0 && FD_ISSET(*s, &readable))
                Drain(*s);
        return true;
    }

    void Drain(SOCKET s) {
        std::vector<uint8_t> buffer(snmp::kMaxMessageBytes);
        while (true) {
            sockaddr_in from{};
            int fromLength = sizeof from;
            int got =
                recvfrom(s, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()),
                         0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got == SOCKET_ERROR) {
                int error = WSAGetLastError();
                // A refused earlier send or an oversized datagram: read on.
                if (error == WSAECONNRESET || error == WSAEMSGSIZE)
                    continue;
                return;  // nothing more to read now
            }
            if (from.sin_family != AF_INET)
                continue;
            // A datagram that does not read as a response is dropped; requests wait on.
            auto response =
                snmp::DecodeResponse(std::span(buffer.data(), static_cast<size_t>(got)));
            if (response)
                Take(s, *response, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
        }
    }

    void Take(SOCKET s, const snmp::Response& response, uint32_t sender, uint16_t port) {
        auto it = m_open.find(response.requestId);
        if (it == m_open.end() || it->second->done || it->second->socket != s)
            return;
        Pending& p = *it->second;
        if (p.endpoint.IsBroadcast()) {
            // Open until its time-out: every device's first answer counts.
            bool known = std::any_of(m_broadcastAnswers.begin(), m_broadcastAnswers.end(),
                                     [&](const Answer& a) { return a.address == sender; });
            if (!known)
                m_broadcastAnswers.push_back(ReadAnswer(response, sender));
            return;
        }
        if (sender != p.endpoint.address || port != p.endpoint.port)
            return;
        p.answer = ReadAnswer(response, p.endpoint.address);
        p.done = true;
    }

    const QueryOptions& m_options;
    std::vector<Pending> m_pending;
    std::map<int32_t, Pending*> m_open;
    std::map<uint32_t, SocketPtr> m_sockets;
    std::vector<Answer> m_broadcastAnswers;
    QueryOutcome m_outcome;
};

}  // namespace

std::mutex& SnmpLock() {
    static std::mutex lock;
    return lock;
}

bool InitializeSnmp() {
    // Kept for the life of the process, as the device link's sockets are.
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

QueryOutcome QueryEndpoints(const std::vector<Endpoint>& endpoints, const QueryOptions& options) {
    return Query(endpoints, options).Run();
}

}  // namespace vesk::mib::detail
