// vesk search: the SNMP device search with the machine's filter file, and the
// registration of a device it found.
#include "device/mfp_device.h"
#include "mib/qdevmib.h"
#include "root/vesk_root.h"
#include "settings/device_search.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/defaults.h"
#include "tools/vesk/profile.h"

namespace vesk::cli {

namespace {

std::string Text(const wchar_t* s, size_t max) {
    size_t n = 0;
    while (n < max && s[n])
        ++n;
    return U8(CString(s, static_cast<int>(n)));
}

int Search(Context& ctx, const ParsedArgs& a) {
    if (a.Has("--register") != a.Has("--name"))
        throw UsageError("--register ADDRESS and --name NAME go together");
    // What the environment says, with the options on top.
    vesk::mib::Overrides overrides = vesk::mib::OverridesFromEnvironment();
    if (auto targets = a.Get("--targets")) {
        if (targets->empty())
            throw UsageError("--targets needs at least one address");
        overrides.targets = *targets;
    }
    if (a.Has("--interface")) {
        if (overrides.targets) {
            throw UsageError(std::string("--interface chooses where to broadcast; ") +
                             (a.Has("--targets") ? "--targets" : "VESK_SNMP_TARGETS") +
                             " asks no broadcast");
        }
        std::string names;
        for (const std::string& v : a.values_.at("--interface"))
            names += v + ",";
        overrides.interfaces = names;
    }
    if (a.Has("--snmp-port"))
        overrides.port = a.GetInt("--snmp-port", 161, 1, 65535);
    if (a.Has("--timeout"))
        overrides.timeoutMs = a.GetInt("--timeout", 1500, 1, 60000);
    if (a.Has("--retries"))
        overrides.retries = a.GetInt("--retries", 3, 0, 10);
    vesk::mib::SetOverrides(overrides);

    const int port = a.GetInt("--port", kDefaultPort, 1, 65535);
    const int sslPort = a.GetInt("--ssl-port", kDefaultSslPort, 1, 65535);

    // Say where the broadcast goes, so that a search that finds nothing can be judged.
    std::string where;
    if (!overrides.targets) {
        std::string error;
        auto links = vesk::mib::BroadcastInterfaces(overrides.interfaces, &error);
        if (!links)
            throw Failure("cannot broadcast: " + error);
        for (const auto& link : *links)
            where += (where.empty() ? "" : ", ") + Printable(link.name) + " " + link.address;
        if (where.empty())
            where = "the system's choice (no up broadcast-capable IPv4 interface)";
        Note("broadcasting to 255.255.255.255 port %d from %s", overrides.port.value_or(161),
             where.c_str());
    }

    EnsureApplicationPath();
    ctx.Devices();  // the registered devices, which the search marks
    CArray<DEVICE_SEARCH_INFOEX, DEVICE_SEARCH_INFOEX&> results;
    const int rc = ctx.Root().SearchDevice(results);
    if (rc < 0)
        throw Failure("device search failed: " + ResultText(rc));

    if (results.GetSize() == 0) {
        if (overrides.targets)
            Note("no devices found");
        else
            Note("no devices found (broadcast on %s)", where.c_str());
    } else {
        Table t({"ADDRESS", "DESCRIPTION", "REGISTERED-AS", "OBJECT-ID"});
        for (INT_PTR i = 0; i < results.GetSize(); ++i) {
            DEVICE_SEARCH_INFOEX& r = results.ElementAt(i);
            t.Add({Text(r.szIPAddress, 33), Text(r.szSysDescr, 81),
                   r.bRegistered ? Text(r.szRegisteredName, 256) : "-", Text(r.szObjectID, 40)});
        }
        t.Print();
    }

    if (auto address = a.Get("--register")) {
        const DEVICE_SEARCH_INFOEX* hit = nullptr;
        for (INT_PTR i = 0; i < results.GetSize(); ++i) {
            if (Text(results.ElementAt(i).szIPAddress, 33) == *address)
                hit = &results.ElementAt(i);
        }
        if (!hit)
            throw Failure("the search did not find " + *address + "; nothing registered");
        if (hit->bRegistered) {
            throw Failure(*address + " is already registered as " +
                          Text(hit->szRegisteredName, 256));
        }
        CVESKMFPDevice& d = RegisterDevice(ctx, *a.Get("--name"), *address, port, sslPort, -1);
        Out("registered %s", DescribeDevice(d).c_str());
    }
    return kExitOk;
}

}  // namespace

void AddSearchCommands(std::vector<Command>& table) {
    table.push_back(
        {"search",
         "",
         "find devices on the network over SNMP",
         "Without --targets the request is broadcast on every up IPv4 interface that can\n"
         "broadcast, or on those --interface names (or goes to VESK_SNMP_TARGETS). Only\n"
         "devices whose SNMP object identifier passes the filter file SrchMIB.conf are\n"
         "listed. LIST holds addresses and ranges, e.g. 192.168.1.10,192.168.1.20-40 or\n"
         "127.0.0.1:1161, separated by commas.",
         {{"--targets", "LIST", "ask these addresses instead of broadcasting"},
          {"--interface", "NAME",
           "broadcast only on this interface (repeat or separate by commas)"},
          {"--snmp-port", "N", "SNMP port of targets that name none (default 161)"},
          {"--timeout", "MS", "time-out of one try in milliseconds"},
          {"--retries", "N", "retries after the first try"},
          {"--register", "ADDRESS", "register the device found at ADDRESS ..."},
          {"--name", "NAME", "... under this name"},
          {"--port", "N", "plain port to register it with (default 59158)"},
          {"--ssl-port", "M", "TLS port to register it with (default 59159)"}},
         0,
         0,
         Search});
}

}  // namespace vesk::cli
