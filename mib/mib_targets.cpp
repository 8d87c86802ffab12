// Target list parsing for the SNMP discovery.
#include "mib/mib_targets.h"

#include <algorithm>
#include <charconv>

namespace vesk::mib::detail {

namespace {

bool ParseNumber(std::string_view text, uint32_t max, uint32_t& out) {
    if (text.empty() || text.size() > 5)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    uint32_t value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || ptr != text.data() + text.size() || value > max)
        return false;
    out = value;
    return true;
}

bool IsSeparator(char c) {
    return c == ',' || c == ';' || c == ' ' || c == '\t' || c == '\n';
}

bool Fail(std::string* error, std::string why) {
    if (error)
        *error = std::move(why);
    return false;
}

bool ParseEntry(std::string_view entry, std::vector<TargetRange>& out, uint64_t& total,
                int maxTotal, std::string* error) {
    TargetRange range;
    std::string_view body = entry;
    if (size_t colon = entry.find(':'); colon != std::string_view::npos) {
        uint32_t port = 0;
        if (!ParseNumber(entry.substr(colon + 1), 65535, port) || port == 0)
            return Fail(error, "bad port in \"" + std::string(entry) + "\"");
        range.port = static_cast<uint16_t>(port);
        body = entry.substr(0, colon);
    }
    std::string_view from = body, to;
    if (size_t dash = body.find('-'); dash != std::string_view::npos) {
        from = body.substr(0, dash);
        to = body.substr(dash + 1);
    }
    auto first = ParseDottedQuad(from);
    if (!first)
        return Fail(error, "bad address in \"" + std::string(entry) + "\"");
    range.first = range.last = *first;
    if (!to.empty() || body.find('-') != std::string_view::npos) {
        if (auto full = ParseDottedQuad(to)) {
            range.last = *full;
        } else {
            uint32_t octet = 0;
            if (!ParseNumber(to, 255, octet))
                return Fail(error, "bad range end in \"" + std::string(entry) + "\"");
            range.last = (range.first & 0xFFFFFF00u) | octet;
        }
        if (range.last < range.first)
            return Fail(error, "range runs backwards in \"" + std::string(entry) + "\"");
    }
    total += static_cast<uint64_t>(range.last - range.first) + 1;
    if (total > static_cast<uint64_t>(maxTotal))
        return Fail(error, "more than " + std::to_string(maxTotal) + " target addresses");
    out.push_back(range);
    return true;
}

}  // namespace

std::optional<uint32_t> ParseDottedQuad(std::string_view text) {
    uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        size_t dot = text.find('.');
        std::string_view piece = part < 3 ? text.substr(0, dot) : text;
        if (part < 3 && dot == std::string_view::npos)
            return std::nullopt;
        uint32_t value = 0;
        if (piece.size() > 3 || !ParseNumber(piece, 255, value))
            return std::nullopt;
        address = (address << 8) | value;
        if (part < 3)
            text.remove_prefix(dot + 1);
    }
    return address;
}

std::string FormatDottedQuad(uint32_t address) {
    return std::to_string(address >> 24) + '.' + std::to_string((address >> 16) & 0xFF) + '.' +
           std::to_string((address >> 8) & 0xFF) + '.' + std::to_string(address & 0xFF);
}

std::optional<std::vector<TargetRange>> ParseTargets(std::string_view text, int maxTotal,
                                                     std::string* error) {
    std::vector<TargetRange> out;
    uint64_t total = 0;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsSeparator(text[i]))
            ++i;
        size_t start = i;
        while (i < text.size() && !IsSeparator(text[i]))
            ++i;
        if (i > start && !ParseEntry(text.substr(start, i - start), out, total, maxTotal, error))
            return std::nullopt;
    }
    return out;
}

std::vector<Endpoint> ExpandTargets(const std::vector<TargetRange>& ranges, uint16_t defaultPort,
                                    const std::vector<uint32_t>& broadcasts) {
    std::vector<Endpoint> out;
    for (const TargetRange& r : ranges) {
        for (uint64_t a = r.first; a <= r.last; ++a) {
            auto address = static_cast<uint32_t>(a);
            bool broadcast =
                std::find(broadcasts.begin(), broadcasts.end(), address) != broadcasts.end();
            out.push_back(Endpoint{address, r.port.value_or(defaultPort), broadcast, 0});
        }
    }
    return out;
}

std::optional<std::vector<std::string>> ParseInterfaceNames(std::string_view text,
                                                            std::string* error) {
    // Longest interface name on Linux (IFNAMSIZ less the terminating zero) and on Windows
    // (an adapter's friendly name is longer, but its index name is not).
    constexpr size_t kMaxName = 255;
    std::vector<std::string> names;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsSeparator(text[i]))
            ++i;
        size_t start = i;
        while (i < text.size() && !IsSeparator(text[i]))
            ++i;
        if (i == start)
            continue;
        if (i - start > kMaxName) {
            Fail(error, "interface name too long");
            return std::nullopt;
        }
        std::string name(text.substr(start, i - start));
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(std::move(name));
    }
    return names;
}

std::optional<std::vector<BroadcastTarget>> SelectBroadcastTargets(
    const std::vector<net::Ipv4Interface>& interfaces, const std::vector<std::string>& names,
    std::string* error) {
    std::vector<BroadcastTarget> out;
    auto usable = [](const net::Ipv4Interface& i) { return i.up && i.canBroadcast && !i.loopback; };
    auto add = [&](const net::Ipv4Interface& i) {
        for (const BroadcastTarget& t : out)
            if (t.interfaceName == i.name && t.broadcast == i.broadcast)
                return;
        out.push_back(BroadcastTarget{i.name, i.address, i.netmask, i.broadcast});
    };
    if (names.empty()) {
        for (const net::Ipv4Interface& i : interfaces)
            if (usable(i))
                add(i);
        return out;
    }
    for (const std::string& name : names) {
        bool seen = false, added = false;
        for (const net::Ipv4Interface& i : interfaces) {
            if (i.name != name)
                continue;
            seen = true;
            if (usable(i)) {
                add(i);
                added = true;
            }
        }
        if (!added) {
            Fail(error, "interface " + name +
                            (seen ? " is down or cannot broadcast" : " has no IPv4 address"));
            return std::nullopt;
        }
    }
    return out;
}

}  // namespace vesk::mib::detail
