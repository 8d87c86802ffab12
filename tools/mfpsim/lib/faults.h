// Fault injection. A configuration names what the emulated device does wrong: fail a
// named operation with a chosen device code, drop the connection after a number of
// bytes, slow the link, stop answering, deliver broken thumbnails or malformed frames.
// It comes from "faults.ini" in the device folder (re-read when it changes) and/or from
// the in-process API; the API's configuration, when set, wins.
//
// faults.ini keys (all optional):
//   error.<Operation> = <code>            fail that operation with the device code
//   error.<Operation>.detail = <n>        detail reported with it (default 0)
//   error.<Operation>.skip = <n>          let the first n calls succeed (default 0)
//   error.<Operation>.times = <n>         fail only n times, then succeed (default: always)
//   drop.after_bytes = <n>                close a connection once it has sent n bytes
//   drop.on = <Operation>                 close the connection instead of answering it
//   link.latency_ms = <n>                 added before every reply
//   link.bandwidth = <bytes per second>   cap on what the device sends
//   stall.after_requests = <n>            answer n requests per connection, then go silent
//   stall.on = <Operation>                go silent when this operation arrives
//   keepalive.on = <Operation>            answer this operation with keep-alive frames
//                                         only, for as long as the client stays
//   keepalive.interval_ms = <n>           between those frames (default 200)
//   thumbnail = truncate | oversize | absurd
//   thumbnail.bytes = <n>                 bytes delivered (truncate), added (oversize) or
//                                         announced (absurd)
//   malformed.on = <Operation>            answer that operation with a malformed frame
//   malformed.kind = length | garbage | truncated
//   stream.short_by = <n>                 end every document stream n bytes short of its
//                                         announced size, with a clean end frame
// Operation names are those of the protocol's operations (CreateBox, BoxLogin...);
// "*" matches every operation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/mfpsim/lib/device.h"
#include "tools/mfpsim/lib/ini.h"

namespace mfpsim {

struct ErrorFault {
    std::string operation;
    int code = err::kInjected;
    int detail = 0;
    int skip = 0;
    int times = -1;  // -1: every time
};

enum class MalformedKind { kLength, kGarbage, kTruncated };

struct FaultConfig {
    std::vector<ErrorFault> errors;
    int64_t dropAfterBytes = -1;
    std::string dropOn;
    int latencyMs = 0;
    int64_t bandwidth = 0;  // bytes per second; 0: unlimited
    int stallAfterRequests = -1;
    std::string stallOn;
    std::string keepAliveOn;
    int keepAliveIntervalMs = 200;
    Session::ThumbnailFault thumbnail = Session::ThumbnailFault::kNone;
    int64_t thumbnailBytes = 0;
    std::string malformedOn;
    MalformedKind malformed = MalformedKind::kGarbage;
    int64_t streamShortBy = 0;

    bool Empty() const;
    static FaultConfig FromKeyValues(const KeyValues& kv);
    KeyValues ToKeyValues() const;
};

// Thread-safe source of the current configuration, shared by all connections, that
// also keeps the call counters of skip/times.
class Faults {
public:
    explicit Faults(std::filesystem::path file = {}) : file_(std::move(file)) {}

    // Sets the configuration from the API; nullopt returns to the file.
    void Set(std::optional<FaultConfig> config);
    FaultConfig Current();

    // The error an operation should fail with, counting the call.
    std::optional<ErrorFault> ErrorFor(const std::string& operation);

private:
    void ReloadLocked();

    std::mutex mu_;
    std::filesystem::path file_;
    std::optional<FaultConfig> api_;
    FaultConfig fromFile_;
    // What identifies the file version read: a rewrite through rename changes the inode
    // even within one timestamp tick.
    int64_t fileTime_ = 0;
    uint64_t fileInode_ = 0;
    int64_t fileSize_ = -1;
    bool fileSeen_ = false;
    std::map<std::string, int> calls_;
};

bool OperationMatches(const std::string& pattern, const std::string& operation);

}  // namespace mfpsim
