// vesk connect|login|print|info: each opens a session to one registered device
// within the run, logs in where needed, does its work and ends the session.
#include "device/mfp_device.h"
#include "tcpcore/tcpcore.h"
#include "tools/vesk/box_access.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/session.h"

namespace vesk::cli {

namespace {

void Row(const char* label, const std::string& value) {
    Out("  %-20s %s", label, value.c_str());
}

int ConnectCmd(Context& ctx, const ParsedArgs& a) {
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    DeviceSession session(ctx, d);
    const int rc = session.Connect(FirstModeFromArgs(a));
    PrintConnection(d, rc, session.ConnectMs());
    return kExitOk;
}

int LoginCmd(Context& ctx, const ParsedArgs& a) {
    LoginRequest req = LoginFromArgs(a);
    if (!req.Any())
        throw UsageError("say who logs in: --user NAME, --boxadmin or --account NAME");
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    DeviceSession session(ctx, d);
    session.Connect(FirstModeFromArgs(a));
    session.Login(req, true);
    Out("logged in to %s as %s over %s (connect %.1f ms, login %.1f ms)",
        U8(d.GetItemName()).c_str(), session.LoggedInAs().c_str(), TransportText(d).c_str(),
        session.ConnectMs(), session.LoginMs());
    PrintRestrictions(d);
    return kExitOk;
}

std::string FormatLanguages(CVESKMFPDevice& d) {
    const int n = d.GetLangNumSupport();
    std::string list;
    for (int i = 0; i < n && i < 31; ++i) {
        if (!list.empty())
            list += ' ';
        list += std::to_string(d.GetLangSupport(i));
    }
    return std::to_string(n) + (list.empty() ? std::string() : " (" + list + ")");
}

std::string RxText(int v) {
    switch (v) {
        case 1:
            return "secured (1)";
        case 0:
            return "not secured (0)";
        case 2:
            return "box administrator (2)";
        default:
            return "unknown (" + std::to_string(v) + ")";
    }
}

int InfoCmd(Context& ctx, const ParsedArgs& a) {
    LoginRequest req = LoginFromArgs(a);
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    DeviceSession session(ctx, d);
    const int rc = session.Connect(FirstModeFromArgs(a));
    if (req.Any())
        session.Login(req, false);

    Out("%s (id %ld): protocol %d.%d (number %d) over %s", U8(d.GetItemName()).c_str(),
        d.GetItemID(), d.GetMajorVersion(), d.GetMinorVersion(), d.GetTCPVersion(),
        TransportText(d).c_str());
    Row("login needed", LoginNeededText(rc));
    Out("formats:");
    Row("searchable PDF", d.GetSearchPdfSupport() ? "yes" : "no");
    Row("OCR languages", FormatLanguages(d));
    Row("Office documents", d.GetOpenOfcSupport() ? "yes" : "no");
    Row("PDF/A", d.GetPDFASupport() ? "yes" : "no");
    Row("linearized PDF", d.GetLinearizedPDFSupport() ? "yes" : "no");
    char bits[32];
    std::snprintf(bits, sizeof bits, "0x%lx",
                  static_cast<unsigned long>(d.GetSupportedFileFormat()));
    Row("file format bits", bits);
    Out("disks:");
    Row("hard disks", std::to_string(d.GetHardDiskCount()));
    Out("policies:");
    Row("mono-to-colour", std::to_string(d.GetMono2DocOutputPolicy()));
    Row("I-option", std::to_string(d.GetIOption()));
    Row("create boxes", d.GetBoxCreatePermission() ? "yes" : "no");
    Row("edit boxes", d.GetBoxEditPermission() ? "yes" : "no");
    Row("delete boxes", d.GetBoxDeletePermission() ? "yes" : "no");
    Row("auto-delete time", d.GetBoxAutoDeletTimePermission() ? "yes" : "no");
    Out("security:");
    Row("enhanced security", d.IsEnhancedSecurityModeEnabled() ? "on" : "off");
    // After a login the device answers for that user (a box administrator sees
    // 2).
    Row("RX data", RxText(d.GetConnected() ? d.GetRXDataSecured() : d.GetStoredRXDataSecured()));
    return kExitOk;
}

// ---- print
// ---------------------------------------------------------------------

const char* ColourName(int mode) {
    switch (mode) {
        case 0:
            return "auto";
        case 1:
            return "black and white";
        case 2:
            return "full colour";
        default:
            return "?";
    }
}

const char* DuplexName(int duplex) {
    switch (duplex) {
        case 0:
            return "off";
        case 1:
            return "long edge";
        case 2:
            return "short edge";
        default:
            return "?";
    }
}

void ShowSettings(const char* title, const PrintSetting& s) {
    Out("%s", title);
    Row("copies", std::to_string(s.nCopies));
    Row("colour", ColourName(s.nColorMode));
    Row("duplex", DuplexName(s.nDuplex));
    Row("pages", (s.nStartPage ? std::to_string(s.nStartPage) : "first") + " to " +
                     (s.nEndPage ? std::to_string(s.nEndPage) : "last"));
    Row("paper size", std::to_string(s.nPaperSize));
}

int PrintCmd(Context& ctx, const ParsedArgs& a) {
    LoginRequest req = LoginFromArgs(a);
    const long box = a.GetInt("--box", -1, 0, 2147483647);
    if (box < 0)
        throw UsageError("--box N is needed: the box that holds the document");
    const long doc = ParseInt(a.Positional()[1], "DOCNUMBER", 1, 2147483647);
    const int copies = a.GetInt("--copies", 0, 1, 999);
    std::optional<int> colour;
    if (auto c = a.Get("--colour")) {
        if (*c == "auto")
            colour = 0;
        else if (*c == "mono")
            colour = 1;
        else if (*c == "colour" || *c == "color")
            colour = 2;
        else
            throw UsageError("--colour is auto, mono or colour, not '" + *c + "'");
    }
    std::optional<int> duplex;
    if (auto dx = a.Get("--duplex")) {
        if (*dx == "off")
            duplex = 0;
        else if (*dx == "long")
            duplex = 1;
        else if (*dx == "short")
            duplex = 2;
        else
            throw UsageError("--duplex is off, long or short, not '" + *dx + "'");
    }
    std::optional<std::pair<int, int>> pages;
    if (auto p = a.Get("--pages")) {
        const size_t dash = p->find('-');
        if (dash == std::string::npos)
            throw UsageError("--pages wants FROM-TO, e.g. 2-3");
        pages = {ParseInt(p->substr(0, dash), "--pages", 1, 9999),
                 ParseInt(p->substr(dash + 1), "--pages", 1, 9999)};
        if (pages->second < pages->first)
            throw UsageError("--pages: the last page comes before the first");
    }

    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    DeviceSession session(ctx, d);
    session.Connect(FirstModeFromArgs(a));
    session.Login(req, true);
    if (d.GetPrintForbidden() == 1)
        throw Failure("printing is forbidden for this login");

    OpenBox boxLogin(d, FindBox(d, std::to_string(box)), a.Get(BoxPasswordFileOption().name));
    int rc = d.SetDocumentForPrint(doc);
    if (rc != 1) {
        std::string detail = LastDeviceError();
        throw Failure("cannot select document " + std::to_string(doc) + " in box " +
                      std::to_string(box) + (detail.empty() ? "" : ": " + detail));
    }
    PrintSetting settings{};
    rc = d.GetCurrentDocumentPrintSettings(settings);
    if (rc != 1)
        throw Failure("cannot read the document's print settings: " + LastDeviceError());
    ShowSettings("document settings:", settings);

    if (settings.nCopies < 1)
        settings.nCopies = 1;
    if (copies)
        settings.nCopies = copies;
    if (colour)
        settings.nColorMode = *colour;
    if (duplex)
        settings.nDuplex = *duplex;
    if (pages) {
        settings.nStartPage = pages->first;
        settings.nEndPage = pages->second;
    }
    if (settings.nStartPage < 1)
        settings.nStartPage = 1;
    if (settings.nColorMode != 1 && d.GetColourPrintForbidden() == 1 && colour)
        throw Failure("colour printing is forbidden for this login: use --colour mono");

    if (a.Has("--dry-run")) {
        ShowSettings("would print with:", settings);
        return kExitOk;
    }
    rc = d.PrintDocument(settings);
    if (rc != 1) {
        std::string detail = LastDeviceError();
        throw Failure("the device did not print document " + std::to_string(doc) +
                      (detail.empty() ? "" : ": " + detail));
    }
    ShowSettings("printed with:", settings);
    Out("document %ld of box %ld sent to the printer of %s", doc, box, U8(d.GetItemName()).c_str());
    return kExitOk;
}

}  // namespace

void AddSessionCommands(std::vector<Command>& table) {
    table.push_back({"connect",
                     "DEVICE",
                     "connect and show what the device reports",
                     "Shows the protocol version and class, the identifier, the "
                     "model family,\n"
                     "which login the device needs and whether TLS was used. The "
                     "session ends\n"
                     "when the command does; the mode that worked is remembered.",
                     {{"--tls", "", "try TLS first this time"},
                      {"--plain", "", "try plain TCP first this time"}},
                     1,
                     1,
                     ConnectCmd});
    table.push_back({"login", "DEVICE", "connect, log in and show the restrictions",
                     "Logs in as a user (--user NAME), the box administrator "
                     "(--boxadmin) and/or an\n"
                     "account (--account NAME). Passwords come from "
                     "--password-file FILE, the\n"
                     "variables VESK_PASSWORD and VESK_ACCOUNT_PASSWORD, or a "
                     "prompt on a terminal.",
                     SessionOptions(), 1, 1, LoginCmd});
    table.push_back({"print", "DEVICE DOCNUMBER", "print a document stored on the device",
                     "Selects document DOCNUMBER of box --box N, shows its print settings, "
                     "applies\n"
                     "the changes asked for and has the device print it. A box password "
                     "comes from\n"
                     "--box-password-file FILE, VESK_BOX_PASSWORD or a prompt.",
                     SessionOptionsWith({{"--box", "N", "the box that holds the document"},
                                         BoxPasswordFileOption(),
                                         {"--copies", "N", "number of copies (1-999)"},
                                         {"--colour", "auto|mono|colour", "colour mode"},
                                         {"--duplex", "off|long|short", "two-sided printing"},
                                         {"--pages", "FROM-TO", "print only these pages"},
                                         {"--dry-run", "", "show the settings, print nothing"}}),
                     2, 2, PrintCmd});
    table.push_back({"info", "DEVICE", "show formats, disks, policies and security",
                     "What the device reported when the session opened. A login "
                     "is optional;\n"
                     "after one the RX data answer is the logged-in user's.",
                     SessionOptions(), 1, 1, InfoCmd});
}

}  // namespace vesk::cli
