// Parallel SNMP queries: one net-snmp session per target, all requests sent at once,
// one select loop over every open session until each is answered or timed out.
#include "mib/snmp_query.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/library/large_fd_set.h>
// clang-format on

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>

namespace vesk::mib::detail {

namespace {

using Clock = std::chrono::steady_clock;

// Sessions open at the same time; later targets wait for a free place, which keeps the
// number of sockets bounded for a large range.
constexpr size_t kWindow = 256;
// Longest wait of one select, so a cancel request from another thread is seen promptly.
constexpr long kPollMicros = 50'000;

const oid kSysObjectId[] = {1, 3, 6, 1, 2, 1, 1, 2, 0};
const oid kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
constexpr size_t kOidLen = sizeof kSysObjectId / sizeof kSysObjectId[0];

struct SessionCloser {
    void operator()(void* session) const {
        if (session)
            snmp_sess_close(session);
    }
};
using SessionPtr = std::unique_ptr<void, SessionCloser>;

struct FdSet {
    netsnmp_large_fd_set set;
    FdSet() { netsnmp_large_fd_set_init(&set, FD_SETSIZE); }
    ~FdSet() { netsnmp_large_fd_set_cleanup(&set); }
    FdSet(const FdSet&) = delete;
    FdSet& operator=(const FdSet&) = delete;
};

struct Run;

struct Pending {
    Run* run = nullptr;
    Endpoint endpoint;
    SessionPtr session;
    bool done = false;
    std::optional<Answer> answer;
};

struct Run {
    std::vector<Answer> broadcastAnswers;
};

std::string FormatOid(const oid* parts, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        if (i)
            text += '.';
        text += std::to_string(parts[i]);
    }
    return text;
}

Answer ReadAnswer(const netsnmp_pdu* pdu, uint32_t address) {
    Answer answer;
    answer.address = address;
    if (pdu->errstat != SNMP_ERR_NOERROR)
        return answer;
    for (const netsnmp_variable_list* v = pdu->variables; v; v = v->next_variable) {
        if (snmp_oid_compare(v->name, v->name_length, kSysObjectId, kOidLen) == 0) {
            if (v->type == ASN_OBJECT_ID && v->val.objid && v->val_len >= sizeof(oid))
                answer.objectId = FormatOid(v->val.objid, v->val_len / sizeof(oid));
        } else if (snmp_oid_compare(v->name, v->name_length, kSysDescr, kOidLen) == 0) {
            if (v->type == ASN_OCTET_STR)
                answer.descr = std::string(reinterpret_cast<const char*>(v->val.string),
                                           v->val.string ? v->val_len : 0);
        }
    }
    return answer;
}

// The sender of a datagram, for broadcast answers.
std::optional<uint32_t> SenderOf(const netsnmp_pdu* pdu) {
    if (!pdu->transport_data ||
        pdu->transport_data_length < static_cast<int>(sizeof(netsnmp_indexed_addr_pair)))
        return std::nullopt;
    const auto* pair = static_cast<const netsnmp_indexed_addr_pair*>(pdu->transport_data);
    if (pair->remote_addr.sa.sa_family != AF_INET)
        return std::nullopt;
    return ntohl(pair->remote_addr.sin.sin_addr.s_addr);
}

int OnEvent(int operation, netsnmp_session*, int, netsnmp_pdu* pdu, void* magic) {
    auto* p = static_cast<Pending*>(magic);
    switch (operation) {
        case NETSNMP_CALLBACK_OP_RECEIVED_MESSAGE:
            if (p->endpoint.IsBroadcast()) {
                // A broadcast request stays open until its time-out and every answer
                // counts: 0 tells net-snmp to keep the request for the next one.
                auto sender =
                    pdu && pdu->command == SNMP_MSG_RESPONSE ? SenderOf(pdu) : std::nullopt;
                if (!sender)
                    return 0;
                auto& list = p->run->broadcastAnswers;
                bool known = std::any_of(list.begin(), list.end(),
                                         [&](const Answer& a) { return a.address == *sender; });
                if (!known)
                    list.push_back(ReadAnswer(pdu, *sender));
                return 0;
            }
            if (!pdu || pdu->command != SNMP_MSG_RESPONSE)
                break;
            p->answer = ReadAnswer(pdu, p->endpoint.address);
            p->done = true;
            break;
        case NETSNMP_CALLBACK_OP_RESEND:
            break;
        default:  // timed out, send failed, disconnected
            p->done = true;
            break;
    }
    return 1;
}

bool Start(Pending& p, const QueryOptions& options, std::string& error) {
    netsnmp_session config;
    snmp_sess_init(&config);
    config.version = SNMP_VERSION_2c;
    std::string peer =
        "udp:" + FormatDottedQuad(p.endpoint.address) + ":" + std::to_string(p.endpoint.port);
    config.peername = peer.data();
    std::string source;
    if (p.endpoint.source) {
        source = FormatDottedQuad(p.endpoint.source);
        config.localname = source.data();
    }
    std::string community = options.community;
    config.community = reinterpret_cast<u_char*>(community.data());
    config.community_len = community.size();
    config.timeout = static_cast<long>(options.timeoutMs) * 1000;
    config.retries = options.retries;
    if (p.endpoint.IsBroadcast())
        config.flags |= SNMP_FLAGS_UDP_BROADCAST;

    p.session.reset(snmp_sess_open(&config));
    if (!p.session) {
        error = "cannot open an SNMP session to " + peer +
                (source.empty() ? "" : " from " + source) + ": " +
                snmp_api_errstring(config.s_snmp_errno);
        return false;
    }
    netsnmp_pdu* request = snmp_pdu_create(SNMP_MSG_GET);
    if (!request) {
        error = "cannot create an SNMP request";
        return false;
    }
    if (options.wantObjectId)
        snmp_add_null_var(request, kSysObjectId, kOidLen);
    if (options.wantDescr)
        snmp_add_null_var(request, kSysDescr, kOidLen);
    if (snmp_sess_async_send(p.session.get(), request, OnEvent, &p) == 0) {
        snmp_free_pdu(request);
        error = "cannot send to " + peer;
        return false;
    }
    return true;
}

bool StopRequested(const QueryOptions& options) {
    if (options.cancel && options.cancel->load())
        return true;
    return options.stop && std::atomic_ref<int>(*options.stop).load() != 0;
}

}  // namespace

std::mutex& SnmpLock() {
    static std::mutex lock;
    return lock;
}

bool InitializeSnmp() {
    // A library inside an application reads no snmp.conf and keeps no state on disk; MIB
    // files are not needed because every OID is numeric.
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    return true;
}

QueryOutcome QueryEndpoints(const std::vector<Endpoint>& endpoints, const QueryOptions& options) {
    QueryOutcome outcome;
    Run run;
    std::vector<Pending> pending(endpoints.size());
    for (size_t i = 0; i < endpoints.size(); ++i) {
        pending[i].run = &run;
        pending[i].endpoint = endpoints[i];
    }

    // Whatever happens, no request outlives the longest retry schedule.
    const auto tries =
        std::chrono::milliseconds(static_cast<long>(options.timeoutMs) * (options.retries + 1));
    std::vector<Pending*> open;
    size_t next = 0;
    auto deadline = Clock::now() + tries + std::chrono::seconds(1);
    while (true) {
        if (StopRequested(options)) {
            outcome.stopped = true;
            break;
        }
        while (open.size() < kWindow && next < pending.size()) {
            Pending& p = pending[next++];
            if (Start(p, options, outcome.error)) {
                outcome.opened = true;
                open.push_back(&p);
                // A target opened late gets its full schedule too.
                deadline = std::max(deadline, Clock::now() + tries + std::chrono::seconds(1));
            } else {
                p.session.reset();
                p.done = true;
            }
        }
        for (Pending* p : open)
            if (p->done)
                p->session.reset();
        std::erase_if(open, [](Pending* p) { return p->done; });
        if (open.empty()) {
            if (next >= pending.size())
                break;
            continue;
        }
        if (Clock::now() > deadline)
            break;

        FdSet fds;
        int maxFd = 0;
        int block = 1;
        timeval wait{};
        for (Pending* p : open)
            snmp_sess_select_info2(p->session.get(), &maxFd, &fds.set, &wait, &block);
        if (block || wait.tv_sec > 0 || wait.tv_usec > kPollMicros) {
            wait.tv_sec = 0;
            wait.tv_usec = kPollMicros;
        }
        int ready = netsnmp_large_fd_set_select(maxFd, &fds.set, nullptr, nullptr, &wait);
        if (ready < 0 && errno != EINTR) {
            outcome.error = "select failed";
            break;
        }
        if (ready > 0) {
            // A datagram that fails to parse is dropped; the request keeps waiting.
            for (Pending* p : open)
                if (!p->done)
                    snmp_sess_read2(p->session.get(), &fds.set);
        }
        for (Pending* p : open)
            if (!p->done)
                snmp_sess_timeout(p->session.get());
    }

    for (Pending& p : pending) {
        p.session.reset();
        if (p.answer && !p.endpoint.IsBroadcast())
            outcome.answers.push_back(std::move(*p.answer));
    }
    for (Answer& a : run.broadcastAnswers)
        outcome.answers.push_back(std::move(a));
    return outcome;
}

}  // namespace vesk::mib::detail
