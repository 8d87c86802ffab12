#include "tools/vesk/cli.h"
#include "tools/vesk/defaults.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cwctype>
#include <iostream>

#include "core/current_tcpcore.h"
#include "device/mfp_device.h"
#include "platform/charset.h"
#include "registry/device_registry_file.h"
#include "root/vesk_root.h"
#include "tcpcore/tcpcore.h"

namespace vesk::cli {

// ---- options -------------------------------------------------------------------

namespace {

// Options that would carry a secret. They are recognised only to be refused.
struct RefusedSecret {
    const char* option;
    const char* variable;
    const char* fileOption;
};
const RefusedSecret kRefusedSecrets[] = {
    {"--password", "VESK_PASSWORD", "--password-file"},
    {"-p", "VESK_PASSWORD", "--password-file"},
    {"--pass", "VESK_PASSWORD", "--password-file"},
    {"--account-password", "VESK_ACCOUNT_PASSWORD", "--account-password-file"},
    {"--box-password", "VESK_BOX_PASSWORD", "--box-password-file"},
    {"--new-box-password", "VESK_NEW_BOX_PASSWORD", "--new-box-password-file"},
};

void RefuseSecret(const std::string& option) {
    for (const RefusedSecret& r : kRefusedSecrets) {
        if (option != r.option)
            continue;
        throw UsageError(std::string("passwords are not taken on the command line (they would "
                                     "stay in the shell history and show in process listings); "
                                     "use ") +
                         r.fileOption + " FILE, the environment variable " + r.variable +
                         ", or type it at the prompt");
    }
}

}  // namespace

std::optional<std::string> ParsedArgs::Get(const std::string& name) const {
    auto it = values_.find(name);
    if (it == values_.end() || it->second.empty())
        return std::nullopt;
    return it->second.back();
}

int ParsedArgs::GetInt(const std::string& name, int fallback, int min, int max) const {
    std::optional<std::string> v = Get(name);
    if (!v)
        return fallback;
    return ParseInt(*v, name, min, max);
}

ParsedArgs ParseOptions(const std::vector<std::string>& args, const std::vector<OptionDef>& defs) {
    ParsedArgs out;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') {
            out.positional_.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = a;
        std::optional<std::string> inlineValue;
        if (size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = a.substr(0, eq);
            inlineValue = a.substr(eq + 1);
        }
        RefuseSecret(name);
        auto def = std::find_if(defs.begin(), defs.end(),
                                [&](const OptionDef& s) { return s.name == name; });
        if (def == defs.end()) {
            // A negative number is an operand, not an option.
            if (a.size() > 1 && std::isdigit(static_cast<unsigned char>(a[1]))) {
                out.positional_.push_back(a);
                continue;
            }
            throw UsageError("unknown option " + name);
        }
        if (def->valueName.empty()) {
            if (inlineValue)
                throw UsageError(name + " takes no value");
            out.values_[name].push_back("");
            continue;
        }
        if (inlineValue) {
            out.values_[name].push_back(*inlineValue);
        } else if (i + 1 < args.size()) {
            out.values_[name].push_back(args[++i]);
        } else {
            throw UsageError(name + " needs a value (" + def->valueName + ")");
        }
    }
    return out;
}

int ParseInt(const std::string& text, const std::string& what, int min, int max) {
    const char* s = text.c_str();
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s, &end, 10);
    if (text.empty() || *end != '\0' || errno == ERANGE ||
        std::isspace(static_cast<unsigned char>(s[0]))) {
        throw UsageError(what + " wants a whole number, not '" + text + "'");
    }
    if (v < min || v > max) {
        throw UsageError(what + " must be between " + std::to_string(min) + " and " +
                         std::to_string(max) + ", not " + text);
    }
    return static_cast<int>(v);
}

int ParseMode(const std::string& text) {
    if (text == "auto")
        return -1;
    if (text == "plain")
        return 0;
    if (text == "tls")
        return 1;
    throw UsageError("--mode is auto, plain or tls, not '" + text + "'");
}

std::string ModeName(int lastTCPComm) {
    switch (lastTCPComm) {
        case -1:
            return "auto";
        case 0:
            return "plain";
        case 1:
            return "tls";
        default:
            return std::string("?").append(std::to_string(lastTCPComm));
    }
}

// ---- text --------------------------------------------------------------------

std::string U8(const CString& s) {
    return vesk::WideToUtf8(s.str());
}

CString W(const std::string& s) {
    return CString(vesk::Utf8ToWide(s));
}

void Out(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
}

void Note(const char* fmt, ...) {
    std::fflush(stdout);
    std::fputs("vesk: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

std::string ResultText(int code) {
    static const std::map<int, const char*> kTexts = {
        {0, "refused"},
        {-1001, "out of memory"},
        {-1002, "the device refused the connection"},
        {-1003, "the communication library could not start"},
        {-1004, "the device did not answer (wrong address or port, or it is off)"},
        {-1005, "the communication library could not stop cleanly"},
        {-1007, "the device did not list its boxes"},
        {-1009, "the box is not open"},
        {-1010, "the device has no boxes"},
        {-1011, "the box holds no documents"},
        {-1012, "no usable connection, or the device is not supported"},
        {-1013, "the device has no address"},
        {-1014, "the device reported an identifier this program cannot use"},
        {-1017, "the device has no name or no address"},
        {-1018, "the device registry file cannot be read, locked or written"},
        {-1019, "the box number is not valid"},
        {-1020, "the device refused the box password"},
        {-1021, "the device did not end the session cleanly"},
        {-1023, "an empty box name was given"},
        {-1024, "the device refused to create the box"},
        {-1025, "the box is in use, or the device refused to remove it"},
        {-1030, "the device refused to change the box password"},
        {-1031, "the device refused the new name"},
        {-1033, "an empty name was given"},
        {-1036, "the cache folders are not available"},
        {-1037, "the box is not logged in"},
        {-1042, "the box logout failed"},
        {-1049, "SNMP cannot be used (check the targets and the SNMP settings)"},
        {-1050, "the SNMP discovery failed"},
        {-1051, "the device needs a user login"},
        {-1052, "the device needs an account login"},
        {-1057, "another registered device already has that name"},
        {-1058, "the device is connected; it cannot be renamed now"},
        {-1059, "the device is connected; it cannot be changed now"},
        {-1063, "the device has no room for another box (its limit), or does not accept the name"},
        {-1064, "the device needs a customized login"},
        {-1066, "the device speaks a protocol version this program does not know"},
        {-1079, "the device did not report its supported file formats"},
        {-1082, "the device reports no hard disk"},
        {-1090, "the device presented another TLS certificate than the one recorded"},
        // Document removal, box rename and settings, copy to a box.
        {-1027, "no documents were given"},
        {-1038, "the device refused to remove the document"},
        {-1039, "the box does not list that document"},
        {-1040, "some documents are not listed in the box (the others were handled)"},
        {-1056, "the device refused to rename the box"},
        {-1065, "the device refused the name (in use) or the owner"},
    };
    auto it = kTexts.find(code);
    std::string text = it != kTexts.end() ? it->second : "failed";
    return text + " (" + std::to_string(code) + ")";
}

bool Confirmed(const std::string& question) {
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

int ExitCodeFor(int code) {
    switch (code) {
        case -1020:
            return kExitPassword;
        case -1002:
        case -1024:
        case -1025:
        case -1030:
        case -1031:
        case -1038:
        case -1056:
        case -1065:
            return kExitRefused;
        case -1063:
            return kExitLimit;
        case -1023:
        case -1033:
            return kExitUsage;
        default:
            return kExitFailed;
    }
}

void ThrowResult(const std::string& what, int code) {
    // The device's own code, for the results that come from its answer; the others
    // were decided before anything was sent, and an older error would mislead.
    static const int kFromDevice[] = {0,     -1002, -1007, -1020, -1024, -1025, -1030,
                                      -1031, -1038, -1042, -1056, -1063, -1065};
    const bool fromDevice =
        std::find(std::begin(kFromDevice), std::end(kFromDevice), code) != std::end(kFromDevice);
    const std::string detail = fromDevice ? LastDeviceError() : std::string();
    throw Failure(what + ": " + ResultText(code) + (detail.empty() ? "" : " (" + detail + ")"),
                  ExitCodeFor(code));
}

std::string LastDeviceError() {
    CTcpCore* core = vesk::GetCurrentTcpCore();
    if (!core)
        return {};
    int code = 0;
    int detail = 0;
    core->GetLastErrorCode(code, detail);
    return DeviceErrorText(code);
}

std::string DeviceErrorText(int code) {
    if (code == QTCP_OK)
        return {};
    static const std::map<int, const char*> kTexts = {
        {QTCP_DEV_UNSUPPORTED, "operation not supported by the device"},
        {QTCP_DEV_BAD_REQUEST, "malformed request"},
        {QTCP_DEV_NO_SESSION, "no session, or a login is needed first"},
        {QTCP_DEV_FORBIDDEN, "not allowed for this login"},
        {QTCP_DEV_LOGIN_REFUSED, "login refused (name or password wrong)"},
        {QTCP_DEV_NO_BOX, "no such box"},
        {QTCP_DEV_BOX_NOT_LOGGED_IN, "the box is not open"},
        {QTCP_DEV_NO_DOCUMENT, "no such document"},
        {QTCP_DEV_NOT_OPEN, "no document selected"},
        {QTCP_DEV_BOX_PASSWORD, "wrong box password"},
        {QTCP_DEV_BOX_PASSWORD_NEEDED, "the box needs its password"},
        {QTCP_DEV_BUSY, "the device is busy"},
        {QTCP_ERR_CONNECT, "the device could not be reached"},
        {QTCP_ERR_TIMEOUT, "the device did not answer in time"},
        {QTCP_ERR_CLOSED, "the connection dropped"},
        {QTCP_ERR_CANCELLED, "cancelled"},
        {QTCP_ERR_PROTOCOL, "the device sent something malformed"},
        {QTCP_ERR_TLS, "the TLS handshake failed"},
        {QTCP_ERR_CERT_CHANGED, "the TLS certificate is not the one recorded"},
    };
    auto it = kTexts.find(code);
    std::string text = code >= 8000 && code < 9000 ? "device error " : "communication error ";
    text += std::to_string(code);
    if (it != kTexts.end())
        text += std::string(": ") + it->second;
    return text;
}

// ---- context -----------------------------------------------------------------

Context::Context() = default;
Context::~Context() = default;

CVESKRoot& Context::Root() {
    if (!root_)
        root_ = std::make_unique<CVESKRoot>();
    return *root_;
}

std::vector<CVESKMFPDevice*> Context::Devices() {
    CVESKRoot& root = Root();
    const int rc = root.GetChildList(1);
    if (rc != 1)
        throw Failure("cannot list the registered devices: " + ResultText(rc));
    std::vector<CVESKMFPDevice*> out;
    CVESKItemList* list = root.GetItemList();
    for (POSITION pos = list->GetHeadPosition(); pos;) {
        if (auto* d = DYNAMIC_DOWNCAST(CVESKMFPDevice, list->GetNext(pos)))
            out.push_back(d);
    }
    return out;
}

CVESKMFPDevice& Context::FindDevice(const std::string& which) {
    if (which.empty())
        throw UsageError("an empty device name was given");
    std::vector<CVESKMFPDevice*> matches;
    const bool byId =
        std::all_of(which.begin(), which.end(), [](char c) { return c >= '0' && c <= '9'; });
    for (CVESKMFPDevice* d : Devices()) {
        const bool hit = byId ? std::to_string(d->GetItemID()) == which
                              : d->GetItemName().CompareNoCase(W(which)) == 0;
        if (hit)
            matches.push_back(d);
    }
    if (matches.empty()) {
        throw Failure("no registered device " + std::string(byId ? "with id " : "named ") + which +
                      " (see 'vesk device list')");
    }
    if (matches.size() > 1) {
        throw Failure(std::to_string(matches.size()) + " registered devices " +
                      (byId ? "have the id " : "are named ") + which +
                      "; the registry file was edited by hand? Fix it or use the other key");
    }
    return *matches.front();
}

std::string Context::RegistryFilePath() {
    return U8(vesk::DeviceRegistryFile::PathFor(Root().GetDeviceInfoPath()));
}

// ---- help ----------------------------------------------------------------------

void PrintCommandHelp(const Command& c, FILE* to) {
    std::string usage = "usage: vesk " + c.path;
    if (!c.operands.empty())
        usage += " " + c.operands;
    if (!c.options.empty())
        usage += " [options]";
    std::fprintf(to, "%s\n\n%s\n", usage.c_str(), c.summary.c_str());
    if (!c.details.empty())
        std::fprintf(to, "\n%s\n", c.details.c_str());
    std::fprintf(to, "\noptions:\n");
    for (const OptionDef& o : c.options) {
        std::string left = "  " + o.name + (o.valueName.empty() ? "" : " " + o.valueName);
        if (left.size() < 27)
            left.append(28 - left.size(), ' ');
        else
            left += "\n" + std::string(28, ' ');
        std::fprintf(to, "%s%s\n", left.c_str(), o.help.c_str());
    }
    std::fprintf(to, "  %-26s%s\n", "-h, --help", "show this help");
}

}  // namespace vesk::cli
