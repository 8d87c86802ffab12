// vesk device add|list|rm|rename|set: the per-user device registry, through the root
// item (registration, removal) and the device items (their own registry entries).
#include <algorithm>
#include <cctype>

#include "device/mfp_device.h"
#include "root/device_registry_file.h"
#include "root/vesk_root.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/defaults.h"
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

// A name picks a device on the command line, so it must not look like an id or an option.
void CheckName(const std::string& name) {
    if (name.empty())
        throw UsageError("a device name cannot be empty");
    if (std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw UsageError("a device name cannot be a number (numbers pick devices by id)");
    if (name[0] == '-')
        throw UsageError("a device name cannot start with '-'");
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f)
            throw UsageError("a device name cannot hold control characters");
    }
}

void CheckHost(const std::string& host) {
    if (host.empty())
        throw UsageError("the device address cannot be empty");
    if (host.size() > 253)
        throw UsageError("the device address is too long");
    for (unsigned char c : host) {
        if (c <= 0x20 || c == 0x7f || c == '/' || c == '\\')
            throw UsageError("'" + host + "' is not a host name or IP address");
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

CVESKMFPDevice* FindById(Context& ctx, long id) {
    for (CVESKMFPDevice* d : ctx.Devices()) {
        if (d->GetItemID() == id)
            return d;
    }
    return nullptr;
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
        throw Failure("cannot remove " + name + ": " + ResultText(rc));
    if (FindById(ctx, id))
        throw Failure("cannot write the device registry file " + ctx.RegistryFilePath());
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
    CVESKMFPDevice* back = FindById(ctx, id);
    if (!back || back->GetItemName() != W(newName))
        throw Failure("cannot write the device registry file " + ctx.RegistryFilePath());
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

    const long id = d.GetItemID();
    const int rc = d.ModifyItem(info, CString());
    if (rc != 1)
        throw Failure("cannot change " + U8(d.GetItemName()) + ": " + ResultText(rc));
    CVESKMFPDevice* back = FindById(ctx, id);
    const bool written = back && (info.strIP.IsEmpty() || back->GetDevAddress() == info.strIP) &&
                         (info.nPort == 0 || back->GetPortNo() == info.nPort) &&
                         (info.nPortSSL == 0 || back->GetSSLPortNo() == info.nPortSSL) &&
                         back->GetLastTCPComm() == d.GetLastTCPComm();
    if (!written)
        throw Failure("cannot write the device registry file " + ctx.RegistryFilePath());
    Out("changed %s", DescribeDevice(*back).c_str());
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
    if (rc != 1)
        throw Failure("cannot register " + name + ": " + ResultText(rc));
    const long id = root.GetItemList()->GetTail()->GetItemID();
    // Registration does not report a failed save; the file read back tells.
    CVESKMFPDevice* added = FindById(ctx, id);
    if (!added || added->GetItemName().CompareNoCase(W(name)) != 0)
        throw Failure("cannot write the device registry file " + ctx.RegistryFilePath());
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
