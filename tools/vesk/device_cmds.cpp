// vesk device add|list|rm|rename|set: the per-user device registry, through the root
// item (registration, removal) and the device items (their own registry entries).
#include <algorithm>
#include <cctype>

#include "device/mfp_device.h"
#include "platform/charset.h"
#include "registry/device_registry_file.h"
#include "root/vesk_root.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/defaults.h"
#include "tools/vesk/system.h"
#include "tools/vesk/trust.h"

namespace vesk::cli {

namespace {

const OptionDef kPortOption{"--port", "N",
                            "plain TCP port (default " + std::to_string(kDefaultPort) + ")"};
const OptionDef kSslPortOption{"--ssl-port", "M",
                               "TLS port (default " + std::to_string(kDefaultSslPort) + ")"};
const OptionDef kModeOption{"--mode", "auto|plain|tls",
                            "which connection to try first (default auto: plain, then TLS); "
                            "tls: TLS only"};

std::vector<OptionDef> WithTrustOptions(std::vector<OptionDef> options) {
    options.insert(options.end(), TrustOptions().begin(), TrustOptions().end());
    return options;
}

// The longest display name the library hands back whole: search results and
// GetRegisteredName callers hold 256 characters with the terminator.
constexpr size_t kMaxNameUnits = 255;

// A name picks a device on the command line, so it must not look like an id or an option.
void CheckName(const std::string& name) {
    if (std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isspace(c); }))
        throw UsageError("a device name cannot be empty or blank");
    if (std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw UsageError("a device name cannot be a number (numbers pick devices by id)");
    if (name[0] == '-')
        throw UsageError("a device name cannot start with '-'");
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f)
            throw UsageError("a device name cannot hold control characters");
    }
    if (vesk::Utf16Length(W(name).str()) > kMaxNameUnits) {
        throw UsageError("a device name can have at most " + std::to_string(kMaxNameUnits) +
                         " characters");
    }
}

bool IsAddressLiteral(const std::string& host) {
    return sys::IsAddressLiteral(host);
}

// A DNS host name: dot-separated labels of letters, digits and inner hyphens, not
// ending in an all-digit label (that would be a mistyped IPv4 address), and no name
// that Windows reserves for a device, since the address also names a folder.
bool IsHostName(const std::string& host) {
    if (host.empty() || host.size() > 253)
        return false;
    std::vector<std::string> labels;
    for (size_t start = 0;;) {
        const size_t dot = host.find('.', start);
        labels.push_back(host.substr(start, dot - start));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    for (const std::string& label : labels) {
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return false;
        for (unsigned char c : label) {
            if (!std::isalnum(c) && c != '-')
                return false;
        }
    }
    const std::string& last = labels.back();
    if (std::all_of(last.begin(), last.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    std::string first = labels.front();
    std::transform(first.begin(), first.end(), first.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    static const char* const kReserved[] = {"CON", "PRN", "AUX", "NUL"};
    if (std::find(std::begin(kReserved), std::end(kReserved), first) != std::end(kReserved))
        return false;
    if (first.size() == 4 && (first.rfind("COM", 0) == 0 || first.rfind("LPT", 0) == 0) &&
        first[3] >= '0' && first[3] <= '9') {
        return false;
    }
    return true;
}

void CheckHost(const std::string& host) {
    if (host.empty())
        throw UsageError("the device address cannot be empty");
    if (!IsAddressLiteral(host) && !IsHostName(host)) {
        std::string shown;
        for (unsigned char c : host)
            shown += c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
        throw UsageError("'" + shown +
                         "' is not a host name or IP address (give the port with --port)");
    }
    if (!vesk::IsSafeFolderName(W(host)))
        throw UsageError("'" + host + "' is not a host name or IP address");
}

void CheckNameIsFree(Context& ctx, const std::string& name, const CVESKMFPDevice* except) {
    for (CVESKMFPDevice* d : ctx.Devices()) {
        if (d != except && d->GetItemName().CompareNoCase(W(name)) == 0) {
            throw Failure("device " + U8(d->GetItemName()) + " (id " +
                          std::to_string(d->GetItemID()) + ") already has that name");
        }
    }
}

}  // namespace

std::string DescribeDevice(CVESKMFPDevice& d) {
    return U8(d.GetItemName()) + " (id " + std::to_string(d.GetItemID()) +
           "): " + U8(d.GetDevAddress()) + " port " + std::to_string(d.GetPortNo()) +
           ", TLS port " + std::to_string(d.GetSSLPortNo()) + ", " + ModeName(d.GetLastTCPComm()) +
           " first";
}

namespace {

int Add(Context& ctx, const ParsedArgs& a) {
    CheckTrustOptions(a);
    CVESKMFPDevice& d = RegisterDevice(ctx, a.Positional()[0], a.Positional()[1],
                                       a.GetInt("--port", kDefaultPort, 1, 65535),
                                       a.GetInt("--ssl-port", kDefaultSslPort, 1, 65535),
                                       a.Has("--mode") ? ParseMode(*a.Get("--mode")) : -1);
    ApplyTrustOptions(d, a);
    Out("registered %s", DescribeDevice(d).c_str());
    return kExitOk;
}

int List(Context& ctx, const ParsedArgs&) {
    std::vector<CVESKMFPDevice*> devices = ctx.Devices();
    CVESKRoot& root = ctx.Root();
    if (root.GetRegistryFileStatus() != 1 && root.GetRegistryFileStatus() != 0) {
        const CString path = vesk::DeviceRegistryFile::PathFor(root.GetDeviceInfoPath());
        throw Failure("the device registry file " + U8(path) + " is unreadable (" +
                      U8(root.GetRegistryFileProblem()) +
                      "); the next 'vesk device add' keeps it as " +
                      U8(vesk::DeviceRegistryFile::NextBackupName(path)) + " and starts a new one");
    }
    if (devices.empty()) {
        Note("no devices registered (add one with 'vesk device add NAME HOST')");
        return kExitOk;
    }
    Table t({"ID", "NAME", "HOST", "PORT", "TLS-PORT", "FIRST", "LAST-USER", "TLS-TRUST"});
    for (CVESKMFPDevice* d : devices) {
        t.Add({std::to_string(d->GetItemID()), U8(d->GetItemName()), U8(d->GetDevAddress()),
               std::to_string(d->GetPortNo()), std::to_string(d->GetSSLPortNo()),
               ModeName(d->GetLastTCPComm()), U8(d->GetLastUserName()), TrustText(*d)});
    }
    t.Print();
    return kExitOk;
}

int Remove(Context& ctx, const ParsedArgs& a) {
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    const long id = d.GetItemID();
    const std::string name = U8(d.GetItemName());
    const int rc = ctx.Root().DeleteChildItem(static_cast<int>(id), CString());
    if (rc != 1)
        throw Failure("cannot remove " + name + " from " + ctx.RegistryFilePath() + ": " +
                      ResultText(rc));
    Out("removed %s (id %ld)", name.c_str(), id);
    return kExitOk;
}

int Rename(Context& ctx, const ParsedArgs& a) {
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    const std::string newName = a.Positional()[1];
    CheckName(newName);
    const std::string oldName = U8(d.GetItemName());
    if (d.GetItemName().CompareNoCase(W(newName)) == 0) {
        if (oldName == newName) {
            Out("%s keeps its name", oldName.c_str());
            return kExitOk;
        }
        throw Failure("'" + newName + "' differs from '" + oldName +
                      "' only in letter case; names are compared without case, so the "
                      "registry keeps the present one");
    }
    const long id = d.GetItemID();
    const int rc = d.RenameItem(W(newName).GetString(), CString());
    if (rc != 1)
        throw Failure("cannot rename " + oldName + ": " + ResultText(rc));
    Out("renamed %s to %s (id %ld)", oldName.c_str(), newName.c_str(), id);
    return kExitOk;
}

int Set(Context& ctx, const ParsedArgs& a) {
    if (!a.Has("--host") && !a.Has("--port") && !a.Has("--ssl-port") && !a.Has("--mode") &&
        !a.Has("--fingerprint") && !a.Has("--allow-plain"))
        throw UsageError("nothing to change: give --host, --port, --ssl-port or --mode");
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    ApplyTrustOptions(d, a);
    ITEMINFO info;
    if (auto host = a.Get("--host")) {
        CheckHost(*host);
        info.strIP = W(*host);
    }
    info.nPort = a.GetInt("--port", 0, 1, 65535);
    info.nPortSSL = a.GetInt("--ssl-port", 0, 1, 65535);
    if (auto mode = a.Get("--mode"))
        d.SetLastTCPComm(ParseMode(*mode));

    const int rc = d.ModifyItem(info, CString());
    if (rc != 1)
        throw Failure("cannot change " + U8(d.GetItemName()) + ": " + ResultText(rc));
    Out("changed %s", DescribeDevice(d).c_str());
    return kExitOk;
}

}  // namespace

CVESKMFPDevice& RegisterDevice(Context& ctx, const std::string& name, const std::string& host,
                               int port, int sslPort, int mode) {
    CheckName(name);
    CheckHost(host);
    ITEMINFO info;
    info.strName = W(name);
    info.strIP = W(host);
    info.nPort = port;
    info.nPortSSL = sslPort;
    info.nLastTCPComm = mode;

    CheckNameIsFree(ctx, name, nullptr);
    CVESKRoot& root = ctx.Root();
    std::wstring address = info.strIP.str();
    if (root.IsRegisteredDevice(address.data())) {
        wchar_t other[256];
        root.GetRegisteredName(other, 256, address.c_str());
        Note("note: device %s has the same address", U8(CString(other)).c_str());
    }

    const int rc = root.AddChildItem(info);
    if (rc != 1) {
        throw Failure("cannot register " + name + " in " + ctx.RegistryFilePath() + ": " +
                      ResultText(rc));
    }
    auto* added = DYNAMIC_DOWNCAST(CVESKMFPDevice, root.GetItemList()->GetTail());
    if (!added)
        throw Failure("cannot register " + name);
    return *added;
}

void AddDeviceCommands(std::vector<Command>& table) {
    table.push_back({"device add", "NAME HOST", "register a device under a name",
                     "HOST is the device's IP address or host name. The device is tried on the\n"
                     "plain port first, then on the TLS port, unless --mode says otherwise; the\n"
                     "mode that worked is remembered and tried first the next time.",
                     WithTrustOptions({kPortOption, kSslPortOption, kModeOption}), 2, 2, Add});
    table.push_back({"device list", "", "list the registered devices", "", {}, 0, 0, List});
    table.push_back({"device rm",
                     "DEVICE",
                     "unregister a device",
                     "Removes the device's registry entry, its view settings and its cached files.",
                     {},
                     1,
                     1,
                     Remove});
    table.push_back({"device rename",
                     "DEVICE NEWNAME",
                     "give a registered device another name",
                     "",
                     {},
                     2,
                     2,
                     Rename});
    table.push_back({"device set", "DEVICE", "change a device's address, ports or first mode",
                     "Changing the address also drops the view settings kept for the old one.",
                     WithTrustOptions({{"--host", "H", "new IP address or host name"},
                                       {"--port", "N", "new plain TCP port"},
                                       {"--ssl-port", "M", "new TLS port"},
                                       kModeOption}),
                     1, 1, Set});
}

}  // namespace vesk::cli
