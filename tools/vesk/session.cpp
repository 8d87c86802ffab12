#include "tools/vesk/session.h"

#include <signal.h>

#include <chrono>
#include <csignal>

#include "core/current_tcpcore.h"
#include "device/mfp_device.h"
#include "root/vesk_root.h"
#include "tcpcore/tcpcore.h"
#include "tools/vesk/defaults.h"
#include "tools/vesk/profile.h"
#include "tools/vesk/trust.h"

namespace vesk::cli {

namespace {

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
    if (g_interrupted) {
        // A second Ctrl-C does not wait for the device.
        ::signal(SIGINT, SIG_DFL);
        ::raise(SIGINT);
    }
    g_interrupted = 1;
}

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

void Row(std::vector<std::string>& lines, const char* label, const std::string& value) {
    char head[64];
    std::snprintf(head, sizeof head, "  %-18s ", label);
    lines.push_back(head + value);
}

void Print(const std::vector<std::string>& lines) {
    for (const std::string& l : lines)
        Out("%s", l.c_str());
}

const char* YesNo(int v) {
    return v ? "yes" : "no";
}

std::string ClassName(CTcpCore* core) {
    if (!core)
        return "none";
    if (dynamic_cast<CTcpCoreV31DMiOP*>(core))
        return "CTcpCoreV31DMiOP";
    if (dynamic_cast<CTcpCoreV31*>(core))
        return "CTcpCoreV31";
    if (dynamic_cast<CTcpCoreV20*>(core))
        return "CTcpCoreV20";
    return "CTcpCore";
}

std::string ModelFamilies(CVESKMFPDevice& d) {
    const std::pair<const char*, int> flags[] = {
        {"Dova", d.GetDovaMioptionFlg()},
        {"Rook", d.GetRookMioptionFlg()},
        {"Fenn", d.GetFennFlg()},
        {"Marl BK", d.GetMarlBKFlg()},
        {"Halcy BK", d.GetHalcyBKFlg()},
        {"Vanta BK", d.GetVantaBKFlg()},
        {"Ulmo S", d.GetUlmoSFlg()},
        {"Vanta SBK 2nd", d.GetVantaSBK2ndFlg()},
        {"Brio BKZ plus", d.GetBrioBKZPlusFlg()},
        {"Brio BKZX012", d.GetBrioBKZX012Flg()},
        {"Tessel BK01", d.GetTesselBK01MFPFlg()},
        {"Pyke MLK", d.GetPykeMLKFlg()},
    };
    std::string out;
    for (const auto& [name, on] : flags) {
        if (!on)
            continue;
        if (!out.empty())
            out += ", ";
        out += name;
    }
    return out.empty() ? "none of the special families" : out;
}

// After a failed call: when Ctrl-C cancelled it, say so rather than blame the device.
void ThrowIfInterrupted(const std::string& what) {
    if (g_interrupted) {
        g_interrupted = 0;  // the session may still end politely
        throw Failure(what + " interrupted", kExitInterrupted);
    }
}

}  // namespace

long __stdcall CancelOnInterrupt(tagQTCP_COMMSTATE* state) {
    if (state && g_interrupted)
        state->nCancel = 1;
    return 0;
}

bool Interrupted() {
    return g_interrupted != 0;
}

void ClearInterrupt() {
    g_interrupted = 0;
}

// ---- options
// -----------------------------------------------------------------

const std::vector<OptionDef>& SessionOptions() {
    static const std::vector<OptionDef> options = {
        {"--user", "NAME", "log in as this user"},
        {"--boxadmin", "", "log in as the box administrator"},
        {"--account", "NAME", "log in to this account (after the user login, if any)"},
        {"--password-file", "FILE", "read the user password from FILE's first line (-: stdin)"},
        {"--account-password-file", "FILE", "read the account password from FILE"},
        {"--tls", "", "TLS only this time"},
        {"--plain", "", "try plain TCP first this time"},
    };
    return options;
}

LoginRequest LoginFromArgs(const ParsedArgs& a) {
    LoginRequest r;
    if (a.Has("--user") && a.Has("--boxadmin"))
        throw UsageError("--user and --boxadmin exclude each other");
    if (auto u = a.Get("--user")) {
        if (u->empty())
            throw UsageError("--user needs a name");
        r.user = *u;
    }
    if (a.Has("--boxadmin"))
        r.user = "boxadmin";
    if (auto acc = a.Get("--account"))
        r.account = *acc;
    r.passwordFile = a.Get("--password-file");
    r.accountPasswordFile = a.Get("--account-password-file");
    if (r.passwordFile && !r.user)
        throw UsageError("--password-file goes with --user or --boxadmin");
    if (r.accountPasswordFile && !r.account)
        throw UsageError("--account-password-file goes with --account");
    return r;
}

std::vector<OptionDef> SessionOptionsWith(std::vector<OptionDef> extra) {
    std::vector<OptionDef> all = SessionOptions();
    all.insert(all.end(), extra.begin(), extra.end());
    return all;
}

int FirstModeFromArgs(const ParsedArgs& a) {
    if (a.Has("--tls") && a.Has("--plain"))
        throw UsageError("--tls and --plain exclude each other");
    if (a.Has("--tls"))
        return 1;
    if (a.Has("--plain"))
        return 0;
    return -2;
}

// ---- session
// -----------------------------------------------------------------

DeviceSession::DeviceSession(Context& ctx, CVESKMFPDevice& device) : ctx_(ctx), device_(device) {
    g_interrupted = 0;
    ::signal(SIGINT, OnInterrupt);
}

DeviceSession::~DeviceSession() {
    if (open_) {
        const int rc = Disconnect();
        if (rc != 1)
            Note("warning: the session did not end cleanly: %s", ResultText(rc).c_str());
    }
    ::signal(SIGINT, SIG_DFL);
}

int DeviceSession::Connect(int firstMode) {
    // Devices of older protocol versions are accepted only through the filter
    // file.
    EnsureApplicationPath();
    // The options decide whether the last user and account names are kept.
    if (ctx_.Root().LoadOptions() != 1)
        Note(
            "warning: cannot read the options; the last user name will not be "
            "kept");
    if (firstMode != -2)
        device_.SetLastTCPComm(firstMode);
    if (firstMode == 1)
        device_.RequireTlsOnce();

    const auto start = std::chrono::steady_clock::now();
    const int rc = device_.Connect(CancelOnInterrupt, CString());
    connectMs_ = MsSince(start);
    connectResult_ = rc;
    if (vesk::GetCurrentTcpCore())
        open_ = true;
    if (rc == 1 || rc == -1051 || rc == -1052 || rc == -1064)
        return rc;
    ThrowIfInterrupted("connecting to " + U8(device_.GetItemName()));
    std::string why = ResultText(rc);
    // The first real cause (a malformed reply, a refused certificate) rather than the
    // last mode's "could not be reached".
    const int cause = device_.GetConnectFailureCode();
    if (std::string detail = cause ? DeviceErrorText(cause) : LastDeviceError(); !detail.empty())
        why += "; " + detail;
    if (device_.GetTrustState() == CVESKMFPDevice::kTrustChanged)
        why += "\n  recorded  sha256 " + device_.GetRecordedFingerprint() +
               "\n  presented sha256 " + device_.GetPresentedFingerprint() +
               "\n  if the device really has a new certificate: vesk device trust " +
               U8(device_.GetItemName());
    throw Failure("cannot connect to " + U8(device_.GetItemName()) + " at " +
                  U8(device_.GetDevAddress()) + " (port " + std::to_string(device_.GetPortNo()) +
                  ", TLS port " + std::to_string(device_.GetSSLPortNo()) + "): " + why);
}

void DeviceSession::Login(const LoginRequest& req, bool required) {
    const std::string device = U8(device_.GetItemName());
    // Only the device's part counts: a prompt may wait for the user.
    loginMs_ = 0;
    if (req.user) {
        if (connectResult_ == -1064)
            throw Failure(device + " asks for a customized login, which vesk does not offer");
        Secret pw = req.password
                        ? Secret(*req.password)
                        : ReadPassword({req.passwordFile, "VESK_PASSWORD",
                                        "Password for " + *req.user + " on " + device + ": "});
        int result = 0;
        const auto start = std::chrono::steady_clock::now();
        const int rc = device_.UserLogin(W(*req.user), W(pw.Text()), CancelOnInterrupt, result);
        loginMs_ += MsSince(start);
        if (rc != 1) {
            ThrowIfInterrupted("login as " + *req.user);
            if (rc == 0 && device_.GetUserType() == 0 && *req.user != "boxadmin")
                throw Failure(device + " has no user authentication; only --boxadmin logs in");
            std::string detail = LastDeviceError();
            throw Failure("login as " + *req.user + " refused" +
                          (rc < 0 ? ": " + ResultText(rc) : "") +
                          (detail.empty() ? "" : " (" + detail + ")"));
        }
        loggedInAs_ = *req.user == "boxadmin" ? "boxadmin (box administrator)" : *req.user;
    }
    if (req.account) {
        const int type = device_.GetAccountType();
        if (type == 0 || type == 4)
            throw Failure(device + " has no account tracking; leave --account out");
        if (!req.user && connectResult_ == -1051)
            throw Failure(device + " needs a user login before the account login: add --user NAME");
        Secret pw =
            req.accountPassword
                ? Secret(*req.accountPassword)
                : ReadPassword({req.accountPasswordFile, "VESK_ACCOUNT_PASSWORD",
                                "Password for account " + *req.account + " on " + device + ": "});
        int result = 0;
        const auto start = std::chrono::steady_clock::now();
        const int rc =
            device_.AccountLogin(W(*req.account), W(pw.Text()), CancelOnInterrupt, result);
        loginMs_ += MsSince(start);
        if (rc != 1) {
            ThrowIfInterrupted("account login as " + *req.account);
            std::string detail = LastDeviceError();
            throw Failure("account login as " + *req.account + " refused" +
                          (rc < 0 ? ": " + ResultText(rc) : "") +
                          (detail.empty() ? "" : " (" + detail + ")"));
        }
        loggedInAs_ += (loggedInAs_.empty() ? "account " : ", account ") + *req.account;
    }
    if (required && !device_.GetConnected()) {
        const int type = device_.GetAccountType();
        const bool accountNeeded = req.user && type != 0 && type != 4;
        if (connectResult_ == -1064)
            throw Failure(device + " asks for a customized login, which vesk does not offer");
        if (connectResult_ == -1052 || accountNeeded)
            throw Failure(device + " needs an account login: add --account NAME");
        throw Failure(device + " needs a user login: add --user NAME (or --boxadmin)");
    }
}

void DeviceSession::OpenLoggedIn(const ParsedArgs& a) {
    const LoginRequest req = LoginFromArgs(a);
    Connect(FirstModeFromArgs(a));
    Login(req, true);
}

int DeviceSession::Disconnect() {
    if (!open_)
        return 1;
    open_ = false;
    return device_.Disconnect();
}

// ---- text
// ----------------------------------------------------------------------

std::string LoginNeededText(int connectResult) {
    switch (connectResult) {
        case 1:
            return "none";
        case -1051:
            return "user login (--user NAME or --boxadmin)";
        case -1052:
            return "account login (--account NAME)";
        case -1064:
            return "customized login (not offered by vesk)";
        default:
            return ResultText(connectResult);
    }
}

std::string TransportText(CVESKMFPDevice& d) {
    CTcpCore* core = vesk::GetCurrentTcpCore();
    if (d.GetLastTCPComm() == 1) {
        std::string version = core ? core->GetNegotiatedTlsVersion() : "";
        std::string cipher = core ? core->GetNegotiatedCipher() : "";
        return "TLS" + (version.empty() ? "" : " (" + version + ", " + cipher + ")") + " on port " +
               std::to_string(d.GetSSLPortNo());
    }
    return "plain TCP on port " + std::to_string(d.GetPortNo());
}

std::vector<std::string> ConnectionLines(CVESKMFPDevice& d, int connectResult) {
    CTcpCore* core = vesk::GetCurrentTcpCore();
    std::vector<std::string> l;
    Row(l, "connection", TransportText(d));
    Row(l, "TLS used", YesNo(d.GetLastTCPComm() == 1));
    if (d.GetLastTCPComm() == 1 && core)
        Row(l, "certificate", "sha256 " + core->GetPeerCertificateSha256());
    Row(l, "TLS trust", TrustStateText(d));
    Row(l, "protocol",
        std::to_string(d.GetMajorVersion()) + "." + std::to_string(d.GetMinorVersion()) +
            " (number " + std::to_string(d.GetTCPVersion()) + ", class " + ClassName(core) + ")");
    Row(l, "identifier", U8(d.GetDevId()));
    Row(l, "unit", U8(d.GetDevUnit()));
    Row(l, "model family", ModelFamilies(d));
    Row(l, "thumbnails", d.GetThumbnailDataFormat() == 1 ? "raw grey rows" : "JPEG");
    Row(l, "authentication",
        "user type " + std::to_string(d.GetUserType()) + ", account type " +
            std::to_string(d.GetAccountType()) + ", public user " +
            (d.GetPublicSupport() ? "supported" : "not supported"));
    Row(l, "login needed", LoginNeededText(connectResult));
    return l;
}

void PrintConnection(CVESKMFPDevice& d, int connectResult, double ms) {
    Out("connected to %s (id %ld) at %s in %.1f ms", U8(d.GetItemName()).c_str(), d.GetItemID(),
        U8(d.GetDevAddress()).c_str(), ms);
    Print(ConnectionLines(d, connectResult));
}

std::vector<std::string> RestrictionLines(CVESKMFPDevice& d) {
    auto state = [](int forbidden) { return forbidden == 1 ? "forbidden" : "allowed"; };
    std::vector<std::string> l;
    l.push_back("restrictions:");
    Row(l, "copy", state(d.GetCopyForbidden()));
    Row(l, "print", state(d.GetPrintForbidden()));
    Row(l, "scan to box", state(d.GetScanDocForbidden()));
    Row(l, "send / print", state(d.GetSendPrintForbidden()));
    Row(l, "colour", state(d.GetColourForbidden()));
    Row(l, "colour print", state(d.GetColourPrintForbidden()));
    Row(l, "black print", state(d.GetBlackPrintForbidden()));
    Row(l, "colour copy", state(d.GetColorCopyForbidden()));
    Row(l, "colour printer", state(d.GetColorPrinterForbidden()));
    Row(l, "colour send/print", state(d.GetColorSendPrintForbidden()));
    l.push_back("box permissions:");
    Row(l, "create boxes", YesNo(d.GetBoxCreatePermission()));
    Row(l, "edit boxes", YesNo(d.GetBoxEditPermission()));
    Row(l, "delete boxes", YesNo(d.GetBoxDeletePermission()));
    Row(l, "auto-delete time", YesNo(d.GetBoxAutoDeletTimePermission()));
    return l;
}

void PrintRestrictions(CVESKMFPDevice& d) {
    Print(RestrictionLines(d));
}

}  // namespace vesk::cli
