// QDevMIB entry points: handle table, configuration and the two queries.
#include "mib/qdevmib.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>

#include "mib/mib_targets.h"
#include "mib/snmp_query.h"
#include "platform/net_interfaces.h"

namespace vesk::mib {

struct GlobalBlock {
    std::unique_ptr<unsigned char[]> bytes;
    std::size_t size = 0;
    int locks = 0;
};

HGLOBAL GlobalAlloc(std::size_t bytes) {
    auto* block = new (std::nothrow) GlobalBlock;
    if (!block)
        return nullptr;
    // A zero-byte block still locks to a valid pointer.
    block->bytes.reset(new (std::nothrow) unsigned char[bytes ? bytes : 1]());
    if (!block->bytes) {
        delete block;
        return nullptr;
    }
    block->size = bytes;
    return block;
}

void* GlobalLock(HGLOBAL block) {
    if (!block)
        return nullptr;
    ++block->locks;
    return block->bytes.get();
}

bool GlobalUnlock(HGLOBAL block) {
    if (!block || block->locks == 0)
        return false;
    return --block->locks > 0;
}

HGLOBAL GlobalFree(HGLOBAL block) {
    delete block;
    return nullptr;
}

std::size_t GlobalSize(HGLOBAL block) {
    return block ? block->size : 0;
}

namespace {

using detail::Endpoint;
using detail::TargetRange;

constexpr int kMaxCommunity = 255;

// Overrides as a handle holds them: checked once, at creation.
struct CheckedOverrides {
    Overrides values;
    std::optional<std::vector<TargetRange>> targets;
    std::optional<std::vector<std::string>> interfaces;
    std::string error;  // non-empty: the handle cannot be used
};

struct Handle {
    std::atomic<bool> cancel{false};
    std::mutex lock;  // guards everything below
    CheckedOverrides overrides;
    std::optional<std::vector<TargetRange>> targets;
    std::string community;
    int port = 161;
    bool bound = false;
    int timeoutMs = 1000;
    int retries = 1;
    std::map<uint32_t, std::optional<std::string>> descriptions;
    std::string lastError;
};

// What one query runs with.
struct Plan {
    std::string error;
    std::vector<TargetRange> ranges;
    uint16_t port = 161;
    bool loopbackOnly = false;
    detail::QueryOptions options;
    std::vector<Endpoint> endpoints;  // only when asked for
};

std::atomic<bool> g_initialized{false};
std::mutex g_tableLock;
std::map<int, std::shared_ptr<Handle>> g_handles;
int g_nextHandle = 1;
std::optional<Overrides> g_overrides;

std::shared_ptr<Handle> Find(int handle) {
    std::lock_guard guard(g_tableLock);
    auto it = g_handles.find(handle);
    return it == g_handles.end() ? nullptr : it->second;
}

bool ParseInt(const char* text, int min, int max, int& out) {
    if (!text || !*text)
        return false;
    const char* end = text + std::strlen(text);
    int value = 0;
    auto [ptr, ec] = std::from_chars(text, end, value);
    if (ec != std::errc() || ptr != end || value < min || value > max)
        return false;
    out = value;
    return true;
}

CheckedOverrides Check(const std::optional<Overrides>& given, std::string envError) {
    CheckedOverrides checked;
    checked.error = std::move(envError);
    if (!given)
        return checked;
    checked.values = *given;
    const Overrides& o = checked.values;
    auto fail = [&](std::string why) {
        if (checked.error.empty())
            checked.error = std::move(why);
    };
    if (o.port && (*o.port < 1 || *o.port > 65535))
        fail("override port out of range");
    if (o.timeoutMs && (*o.timeoutMs < 1 || *o.timeoutMs > 60000))
        fail("override time-out out of range");
    if (o.retries && (*o.retries < 0 || *o.retries > 10))
        fail("override retries out of range");
    if (o.community && (o.community->empty() || o.community->size() > kMaxCommunity))
        fail("override community empty or too long");
    if (o.targets) {
        std::string why;
        checked.targets = detail::ParseTargets(*o.targets, kMaxTargets, &why);
        if (!checked.targets)
            fail("override targets: " + why);
    }
    if (o.interfaces) {
        std::string why;
        checked.interfaces = detail::ParseInterfaceNames(*o.interfaces, &why);
        if (!checked.interfaces)
            fail("override interfaces: " + why);
    }
    return checked;
}

std::optional<Overrides> ReadEnvironment(std::string& error) {
    Overrides o;
    if (const char* t = std::getenv("VESK_SNMP_TARGETS"); t && *t)
        o.targets = t;
    if (const char* i = std::getenv("VESK_SNMP_INTERFACES"); i && *i)
        o.interfaces = i;
    if (const char* c = std::getenv("VESK_SNMP_COMMUNITY"); c && *c)
        o.community = c;
    struct Number {
        const char* name;
        int min, max;
        std::optional<int>* slot;
    };
    const Number numbers[] = {{"VESK_SNMP_PORT", 1, 65535, &o.port},
                              {"VESK_SNMP_TIMEOUT_MS", 1, 60000, &o.timeoutMs},
                              {"VESK_SNMP_RETRIES", 0, 10, &o.retries}};
    for (const Number& n : numbers) {
        const char* text = std::getenv(n.name);
        if (!text || !*text)
            continue;
        int value = 0;
        if (!ParseInt(text, n.min, n.max, value)) {
            error = std::string(n.name) + " is malformed";
            return std::nullopt;
        }
        *n.slot = value;
    }
    if (const char* l = std::getenv("VESK_SNMP_LOOPBACK_ONLY"); l && *l) {
        if (std::strcmp(l, "1") == 0) {
            o.loopbackOnly = true;
        } else if (std::strcmp(l, "0") != 0) {
            error = "VESK_SNMP_LOOPBACK_ONLY must be 0 or 1";
            return std::nullopt;
        }
    }
    return o;
}

// The broadcast addresses of the local links: on the named interfaces (all when none
// are named). An unreadable interface list counts as none.
std::optional<std::vector<detail::BroadcastTarget>> LocalBroadcasts(
    const std::vector<std::string>& names, std::string* error) {
    std::string listError;
    auto interfaces = net::ListIpv4Interfaces(&listError);
    if (interfaces.empty() && !listError.empty() && !names.empty()) {
        if (error)
            *error = listError;
        return std::nullopt;
    }
    return detail::SelectBroadcastTargets(interfaces, names, error);
}

// Called with h.lock held. With `withEndpoints` the plan lists the endpoints to ask
// (which needs the interfaces when it broadcasts).
Plan MakePlan(Handle& h, bool withEndpoints = false) {
    Plan plan;
    const CheckedOverrides& ov = h.overrides;
    if (!ov.error.empty()) {
        plan.error = ov.error;
        return plan;
    }
    if (!h.bound) {
        plan.error = "the handle is not bound";
        return plan;
    }
    const bool broadcastDefault = !ov.targets && !h.targets;
    if (ov.targets)
        plan.ranges = *ov.targets;
    else if (h.targets)
        plan.ranges = *h.targets;
    else
        plan.ranges = {TargetRange{detail::kBroadcastAddress, detail::kBroadcastAddress, {}}};
    if (plan.ranges.empty()) {
        plan.error = "the target list is empty";
        return plan;
    }
    plan.loopbackOnly = ov.values.loopbackOnly;
    if (plan.loopbackOnly) {
        for (const TargetRange& r : plan.ranges) {
            if (!detail::IsLoopback(r.first) || !detail::IsLoopback(r.last)) {
                plan.error = "a target lies outside 127.0.0.0/8 while loopback-only is set";
                return plan;
            }
        }
    }
    plan.port = static_cast<uint16_t>(ov.values.port.value_or(h.port));
    plan.options.community = ov.values.community.value_or(h.community);
    plan.options.timeoutMs = ov.values.timeoutMs.value_or(h.timeoutMs);
    plan.options.retries = ov.values.retries.value_or(h.retries);
    plan.options.cancel = &h.cancel;
    if (!withEndpoints)
        return plan;

    const std::vector<std::string> names = broadcastDefault
                                               ? ov.interfaces.value_or(std::vector<std::string>{})
                                               : std::vector<std::string>{};
    auto broadcasts = LocalBroadcasts(names, &plan.error);
    if (!broadcasts)
        return plan;
    if (broadcastDefault && !broadcasts->empty()) {
        // The limited broadcast, sent from each interface address: it leaves through that
        // interface, reaches every device on the link whatever its subnet, and is what
        // agents answer most reliably (some cannot reply to a directed broadcast).
        for (const detail::BroadcastTarget& b : *broadcasts)
            plan.endpoints.push_back(
                Endpoint{detail::kBroadcastAddress, plan.port, true, b.address});
        return plan;
    }
    std::vector<uint32_t> local;
    for (const detail::BroadcastTarget& b : *broadcasts)
        local.push_back(b.broadcast);
    plan.endpoints = detail::ExpandTargets(plan.ranges, plan.port, local);
    return plan;
}

void SetError(Handle& h, std::string why) {
    std::lock_guard guard(h.lock);
    h.lastError = std::move(why);
}

void RaiseStop(int* stop) {
    if (stop)
        std::atomic_ref<int>(*stop).store(1);
}

bool StopRequested(const Handle& h, int* stop) {
    return h.cancel.load() || (stop && std::atomic_ref<int>(*stop).load() != 0);
}

// Copies at most size - 1 bytes, never ending inside a UTF-8 sequence.
void CopyText(char* buffer, int size, const std::string& text) {
    size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

void SetOverrides(std::optional<Overrides> overrides) {
    std::lock_guard guard(g_tableLock);
    g_overrides = std::move(overrides);
}

Overrides OverridesFromEnvironment() {
    std::string error;
    return ReadEnvironment(error).value_or(Overrides{});
}

std::optional<std::vector<BroadcastInterface>> BroadcastInterfaces(
    const std::optional<std::string>& names, std::string* error) {
    try {
        std::vector<std::string> parsed;
        if (names) {
            auto list = detail::ParseInterfaceNames(*names, error);
            if (!list)
                return std::nullopt;
            parsed = std::move(*list);
        }
        auto targets = LocalBroadcasts(parsed, error);
        if (!targets)
            return std::nullopt;
        std::vector<BroadcastInterface> out;
        for (const detail::BroadcastTarget& t : *targets)
            out.push_back({t.interfaceName, detail::FormatDottedQuad(t.address) + "/" +
                                                std::to_string(std::popcount(t.netmask))});
        return out;
    } catch (const std::bad_alloc&) {
        if (error)
            *error = "out of memory";
        return std::nullopt;
    }
}

std::string GetLastErrorText(int handle) {
    auto h = Find(handle);
    if (!h)
        return "unknown handle";
    std::lock_guard guard(h->lock);
    return h->lastError;
}

}  // namespace vesk::mib

using namespace vesk::mib;

extern "C" {

int __stdcall _Mib_Initialize() {
    static std::once_flag once;
    try {
        std::call_once(once, [] {
            std::lock_guard guard(detail::SnmpLock());
            if (detail::InitializeSnmp())
                g_initialized = true;
        });
    } catch (...) {
        return 0;
    }
    return g_initialized ? 1 : 0;
}

int __stdcall _Mib_Create() {
    if (!g_initialized)
        return -1;
    try {
        auto h = std::make_shared<Handle>();
        std::lock_guard guard(g_tableLock);
        if (g_overrides) {
            h->overrides = Check(g_overrides, {});
        } else {
            std::string envError;
            auto env = ReadEnvironment(envError);
            h->overrides = Check(env, envError);
        }
        // Handle numbers are never reused, so a late cancel cannot reach a new search.
        if (g_nextHandle == INT_MAX)
            return -1;
        int id = g_nextHandle++;
        g_handles.emplace(id, std::move(h));
        return id;
    } catch (...) {
        return -1;
    }
}

int __stdcall _Mib_SetTimeout(int handle, int retries, int timeoutTenths) {
    auto h = Find(handle);
    if (!h || retries < 0 || retries > 10 || timeoutTenths < 1 || timeoutTenths > 600)
        return 0;
    std::lock_guard guard(h->lock);
    h->retries = retries;
    h->timeoutMs = timeoutTenths * 100;
    return 1;
}

int __stdcall _Mib_Bind(int handle, const char* community, int port) {
    auto h = Find(handle);
    if (!h)
        return 0;
    if (!community || !*community || std::strlen(community) > kMaxCommunity || port < 1 ||
        port > 65535) {
        SetError(*h, "bind: community or port out of range");
        return 0;
    }
    try {
        std::lock_guard guard(h->lock);
        h->community = community;
        h->port = port;
        h->bound = true;
        return 1;
    } catch (...) {
        return 0;
    }
}

int __stdcall _Mib_SetTargets(int handle, const char* targets) {
    auto h = Find(handle);
    if (!h)
        return 0;
    try {
        std::lock_guard guard(h->lock);
        if (!targets || !*targets) {
            h->targets.reset();
            return 1;
        }
        std::string why;
        auto parsed = detail::ParseTargets(targets, kMaxTargets, &why);
        if (!parsed || parsed->empty()) {
            h->lastError = parsed ? "no targets in the list" : why;
            return 0;
        }
        h->targets = std::move(parsed);
        return 1;
    } catch (...) {
        return 0;
    }
}

int __stdcall _Mib_IsEnabled(int handle) {
    if (!g_initialized)
        return 0;
    auto h = Find(handle);
    if (!h)
        return 0;
    try {
        std::lock_guard guard(h->lock);
        Plan plan = MakePlan(*h, true);
        if (!plan.error.empty()) {
            h->lastError = plan.error;
            return 0;
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

int __stdcall _Mib_GetsysObjectIDList(int handle, HGLOBAL* memory, int* count, int, int* stop,
                                      int) {
    if (memory)
        *memory = nullptr;
    if (count)
        *count = 0;
    auto h = Find(handle);
    if (!h || !memory || !count)
        return 0;
    try {
        Plan plan;
        {
            std::lock_guard guard(h->lock);
            plan = MakePlan(*h, true);
        }
        if (!plan.error.empty()) {
            SetError(*h, plan.error);
            return 0;
        }
        plan.options.stop = stop;
        detail::QueryOutcome outcome;
        if (StopRequested(*h, stop)) {
            outcome.stopped = true;
        } else {
            std::lock_guard snmp(detail::SnmpLock());
            outcome = detail::QueryEndpoints(plan.endpoints, plan.options);
        }
        if (!outcome.opened && !outcome.stopped) {
            SetError(*h, outcome.error.empty() ? "no request could be sent" : outcome.error);
            return 0;
        }

        // Keep what each device said about itself for the description calls; list the
        // devices whose identifier fits its field, each address once.
        std::vector<const detail::Answer*> listed;
        {
            std::lock_guard guard(h->lock);
            h->descriptions.clear();
            std::set<uint32_t> seen;
            for (const detail::Answer& a : outcome.answers) {
                if (!seen.insert(a.address).second)
                    continue;
                h->descriptions[a.address] = a.descr;
                if (!a.objectId.empty() && a.objectId.size() < kObjectIdBytes)
                    listed.push_back(&a);
            }
        }
        HGLOBAL block = GlobalAlloc(listed.size() * kEntryBytes);
        if (!block) {
            SetError(*h, "out of memory");
            return 0;
        }
        auto* bytes = static_cast<unsigned char*>(GlobalLock(block));
        for (size_t i = 0; i < listed.size(); ++i) {
            unsigned char* entry = bytes + i * kEntryBytes;
            std::string address = detail::FormatDottedQuad(listed[i]->address);
            std::memcpy(entry, address.data(), address.size());
            std::memcpy(entry + kAddressBytes, listed[i]->objectId.data(),
                        listed[i]->objectId.size());
        }
        GlobalUnlock(block);
        if (outcome.stopped)
            RaiseStop(stop);
        *memory = block;
        *count = static_cast<int>(listed.size());
        return 1;
    } catch (...) {
        SetError(*h, "out of memory");
        return 0;
    }
}

int __stdcall _Mib_GetsysDescr(int handle, char* buffer, int size, const char* address, int,
                               int* stop, int) {
    if (!buffer || size <= 0)
        return 0;
    buffer[0] = '\0';
    auto h = Find(handle);
    if (!h || !address)
        return 0;
    try {
        if (StopRequested(*h, stop)) {
            RaiseStop(stop);
            return 1;
        }
        auto ip = detail::ParseDottedQuad(address);
        if (!ip) {
            SetError(*h, std::string("not an IPv4 address: ") + address);
            return 0;
        }
        Plan plan;
        {
            std::lock_guard guard(h->lock);
            if (auto it = h->descriptions.find(*ip); it != h->descriptions.end()) {
                if (!it->second) {
                    h->lastError = std::string(address) + " gave no description";
                    return 0;
                }
                CopyText(buffer, size, *it->second);
                return 1;
            }
            plan = MakePlan(*h);
        }
        if (!plan.error.empty()) {
            SetError(*h, plan.error);
            return 0;
        }
        if (plan.loopbackOnly && !detail::IsLoopback(*ip)) {
            SetError(*h, "address outside 127.0.0.0/8 while loopback-only is set");
            return 0;
        }
        // Not seen in a discovery: ask the device itself, on the port its target entry names.
        Endpoint endpoint{*ip, plan.port};
        for (const TargetRange& r : plan.ranges) {
            if (r.port && *ip >= r.first && *ip <= r.last) {
                endpoint.port = *r.port;
                break;
            }
        }
        plan.options.stop = stop;
        plan.options.wantObjectId = false;
        detail::QueryOutcome outcome;
        {
            std::lock_guard snmp(detail::SnmpLock());
            outcome = detail::QueryEndpoints({endpoint}, plan.options);
        }
        if (outcome.stopped) {
            RaiseStop(stop);
            return 1;
        }
        if (outcome.answers.empty() || !outcome.answers.front().descr) {
            SetError(*h, std::string(address) + " did not answer the description query");
            return 0;
        }
        std::lock_guard guard(h->lock);
        h->descriptions[*ip] = outcome.answers.front().descr;
        CopyText(buffer, size, *outcome.answers.front().descr);
        return 1;
    } catch (...) {
        buffer[0] = '\0';
        return 0;
    }
}

int __stdcall _Mib_Cancel(int handle) {
    auto h = Find(handle);
    if (!h)
        return 0;
    h->cancel = true;
    return 1;
}

void __stdcall _Mib_Delete(int handle) {
    std::shared_ptr<Handle> h;
    {
        std::lock_guard guard(g_tableLock);
        auto it = g_handles.find(handle);
        if (it == g_handles.end())
            return;
        h = std::move(it->second);
        g_handles.erase(it);
    }
    // A call still running on another thread keeps the handle alive; make it end soon.
    h->cancel = true;
}

}  // extern "C"
