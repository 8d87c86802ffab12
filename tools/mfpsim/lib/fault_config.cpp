// Fault settings as key = value pairs (faults.ini, --fault, the control service).
#include "tools/mfpsim/lib/faults.h"

namespace mfpsim {

bool OperationMatches(const std::string& pattern, const std::string& operation) {
    return !pattern.empty() && (pattern == "*" || pattern == operation);
}

bool FaultConfig::Empty() const {
    return errors.empty() && dropAfterBytes < 0 && dropOn.empty() && latencyMs <= 0 &&
           bandwidth <= 0 && stallAfterRequests < 0 && stallOn.empty() && keepAliveOn.empty() &&
           thumbnail == Session::ThumbnailFault::kNone && malformedOn.empty() && streamShortBy <= 0;
}

FaultConfig FaultConfig::FromKeyValues(const KeyValues& kv) {
    FaultConfig c;
    for (const auto& [key, value] : kv.All()) {
        if (key.rfind("error.", 0) != 0) {
            continue;
        }
        std::string op = key.substr(6);
        if (op.find('.') != std::string::npos || op.empty()) {
            continue;  // a sub-key, read below
        }
        ErrorFault e;
        e.operation = op;
        e.code = static_cast<int>(kv.GetInt(key, err::kInjected));
        e.detail = static_cast<int>(kv.GetInt(key + ".detail", 0));
        e.skip = static_cast<int>(kv.GetInt(key + ".skip", 0));
        e.times = static_cast<int>(kv.GetInt(key + ".times", -1));
        c.errors.push_back(e);
    }
    c.dropAfterBytes = kv.GetInt("drop.after_bytes", -1);
    c.dropOn = kv.Get("drop.on");
    c.latencyMs = static_cast<int>(kv.GetInt("link.latency_ms", 0));
    c.bandwidth = kv.GetInt("link.bandwidth", 0);
    c.stallAfterRequests = static_cast<int>(kv.GetInt("stall.after_requests", -1));
    c.stallOn = kv.Get("stall.on");
    c.keepAliveOn = kv.Get("keepalive.on");
    c.keepAliveIntervalMs = static_cast<int>(kv.GetInt("keepalive.interval_ms", 200));
    std::string t = kv.Get("thumbnail");
    c.thumbnail = t == "truncate"   ? Session::ThumbnailFault::kTruncate
                  : t == "oversize" ? Session::ThumbnailFault::kOversize
                  : t == "absurd"   ? Session::ThumbnailFault::kAbsurdSize
                                    : Session::ThumbnailFault::kNone;
    c.thumbnailBytes = kv.GetInt("thumbnail.bytes", 0);
    c.malformedOn = kv.Get("malformed.on");
    std::string m = kv.Get("malformed.kind", "garbage");
    c.malformed = m == "length"      ? MalformedKind::kLength
                  : m == "truncated" ? MalformedKind::kTruncated
                                     : MalformedKind::kGarbage;
    c.streamShortBy = kv.GetInt("stream.short_by", 0);
    return c;
}

KeyValues FaultConfig::ToKeyValues() const {
    KeyValues kv;
    for (const ErrorFault& e : errors) {
        kv.SetInt("error." + e.operation, e.code);
        kv.SetInt("error." + e.operation + ".detail", e.detail);
        kv.SetInt("error." + e.operation + ".skip", e.skip);
        kv.SetInt("error." + e.operation + ".times", e.times);
    }
    if (dropAfterBytes >= 0) {
        kv.SetInt("drop.after_bytes", dropAfterBytes);
    }
    if (!dropOn.empty()) {
        kv.Set("drop.on", dropOn);
    }
    if (latencyMs > 0) {
        kv.SetInt("link.latency_ms", latencyMs);
    }
    if (bandwidth > 0) {
        kv.SetInt("link.bandwidth", bandwidth);
    }
    if (stallAfterRequests >= 0) {
        kv.SetInt("stall.after_requests", stallAfterRequests);
    }
    if (!stallOn.empty()) {
        kv.Set("stall.on", stallOn);
    }
    if (!keepAliveOn.empty()) {
        kv.Set("keepalive.on", keepAliveOn);
        kv.SetInt("keepalive.interval_ms", keepAliveIntervalMs);
    }
    switch (thumbnail) {
        case Session::ThumbnailFault::kTruncate:
            kv.Set("thumbnail", "truncate");
            break;
        case Session::ThumbnailFault::kOversize:
            kv.Set("thumbnail", "oversize");
            break;
        case Session::ThumbnailFault::kAbsurdSize:
            kv.Set("thumbnail", "absurd");
            break;
        case Session::ThumbnailFault::kNone:
            break;
    }
    if (thumbnailBytes != 0) {
        kv.SetInt("thumbnail.bytes", thumbnailBytes);
    }
    if (!malformedOn.empty()) {
        kv.Set("malformed.on", malformedOn);
        kv.Set("malformed.kind", malformed == MalformedKind::kLength      ? "length"
                                 : malformed == MalformedKind::kTruncated ? "truncated"
                                                                          : "garbage");
    }
    if (streamShortBy > 0) {
        kv.SetInt("stream.short_by", streamShortBy);
    }
    return kv;
}

}  // namespace mfpsim
