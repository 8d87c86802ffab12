// Parallel SNMPv2c GET of sysObjectID.0 / sysDescr.0. Internal to QDevMIB. Two backends
// give the same behaviour: net-snmp (snmp_query_posix.cpp) and, where that library is not
// available, Winsock with the message codec of snmp_codec.h (snmp_query_win32.cpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mib/mib_targets.h"

namespace vesk::mib::detail {

struct QueryOptions {
    std::string community;
    int timeoutMs = 1000;
    int retries = 1;
    bool wantObjectId = true;
    bool wantDescr = true;
    // Set from another thread (cancel request) or by the caller (stop flag): the wait
    // ends early and the result says so.
    const std::atomic<bool>* cancel = nullptr;
    int* stop = nullptr;
};

struct Answer {
    uint32_t address = 0;              // the queried address, or the sender of a broadcast answer
    std::string objectId;              // dotted, empty when the device did not give one
    std::optional<std::string> descr;  // nullopt when the device did not give one
};

struct QueryOutcome {
    bool opened = false;          // at least one request could be sent
    bool stopped = false;         // ended by a stop or cancel request
    std::string error;            // why nothing could be sent
    std::vector<Answer> answers;  // unicast targets in their order, then broadcast answers
};

// Sends the request to every endpoint at once (a bounded number of sessions open at a
// time) and waits in one select loop until each has answered or run out of retries.
// Not reentrant: callers serialise through SnmpLock().
QueryOutcome QueryEndpoints(const std::vector<Endpoint>& endpoints, const QueryOptions& options);

// Prepares the backend once per process (library settings, socket layer); false when
// it cannot be used. Called under SnmpLock().
bool InitializeSnmp();

// One query at a time per process: the backend may keep process-wide state, and one
// query already asks every target at once. Every use goes through this lock.
std::mutex& SnmpLock();

}  // namespace vesk::mib::detail
