// vesk device trust, and the TLS-trust parts of device add/set/list: the certificate
// fingerprint recorded for a device and whether plain TCP may still reach it.
#include <cstdio>
#include <iostream>
#include <string>

#include "device/mfp_device.h"
#include "device/tls_trust.h"
#include "tools/vesk/cli.h"
#include "tools/vesk/session.h"
#include "tools/vesk/trust.h"

namespace vesk::cli {

namespace {

std::string Shown(const std::string& fingerprint) {
    return fingerprint.empty() ? "(none)" : "sha256 " + fingerprint;
}

int Trust(Context& ctx, const ParsedArgs& a) {
    CVESKMFPDevice& d = ctx.FindDevice(a.Positional()[0]);
    const std::string name = U8(d.GetItemName());
    {
        DeviceSession session(ctx, d);
        d.RequireTlsOnce();
        try {
            session.Connect(-2);
        } catch (const Failure&) {
            if (d.GetTrustState() != CVESKMFPDevice::kTrustChanged)
                throw;
        }
    }
    const std::string presented = d.GetPresentedFingerprint();
    Out("recorded   %s", Shown(d.GetRecordedFingerprint()).c_str());
    Out("presented  %s", Shown(presented).c_str());
    if (d.GetTrustState() != CVESKMFPDevice::kTrustChanged) {
        Out("%s: %s", name.c_str(),
            d.GetTrustState() == CVESKMFPDevice::kTrustNew ? "certificate recorded now (first use)"
                                                           : "certificate already trusted");
        return kExitOk;
    }
    if (!a.Has("--yes") &&
        !Confirmed("The certificate of " + name + " has changed. Trust the new one?"))
        throw Failure("the recorded certificate of " + name + " stays as it was");
    if (d.TrustCertificate(presented) != 1)
        throw Failure("cannot record the certificate of " + name);
    Out("%s: the new certificate is trusted", name.c_str());
    return kExitOk;
}

}  // namespace

const std::vector<OptionDef>& TrustOptions() {
    static const std::vector<OptionDef> options = {
        {"--fingerprint", "SHA256",
         "trust only this TLS certificate (64 hex digits, colons allowed)"},
        {"--allow-plain", "yes|no", "plain TCP allowed although a certificate is recorded"},
    };
    return options;
}

void CheckTrustOptions(const ParsedArgs& a) {
    if (auto fp = a.Get("--fingerprint"); fp && vesk::device::NormalizeFingerprint(*fp).empty())
        throw UsageError("--fingerprint takes the SHA-256 of the certificate: 64 hex digits");
    if (auto v = a.Get("--allow-plain"); v && *v != "yes" && *v != "no")
        throw UsageError("--allow-plain is yes or no, not '" + *v + "'");
}

void ApplyTrustOptions(CVESKMFPDevice& d, const ParsedArgs& a) {
    CheckTrustOptions(a);
    std::string fingerprint;
    if (auto fp = a.Get("--fingerprint")) {
        fingerprint = vesk::device::NormalizeFingerprint(*fp);
        if (fingerprint.empty())
            throw UsageError("--fingerprint takes the SHA-256 of the certificate: 64 hex digits");
    }
    std::optional<bool> allowPlain;
    if (auto v = a.Get("--allow-plain")) {
        if (*v != "yes" && *v != "no")
            throw UsageError("--allow-plain is yes or no, not '" + *v + "'");
        allowPlain = *v == "yes";
    }
    const std::string name = U8(d.GetItemName());
    if (!fingerprint.empty() && d.TrustCertificate(fingerprint) != 1)
        throw Failure("cannot record the certificate of " + name);
    if (allowPlain && d.SetAllowPlain(*allowPlain ? 1 : 0) != 1)
        throw Failure("cannot record the plain-TCP setting of " + name);
    // --mode tls means TLS only, for good; another mode lifts that.
    if (auto mode = a.Get("--mode"); mode && d.SetTlsOnly(*mode == "tls" ? 1 : 0) != 1)
        throw Failure("cannot record the mode of " + name);
}

std::string TrustText(CVESKMFPDevice& d) {
    if (d.GetTlsOnly() == 1)
        return d.GetRecordedFingerprint().empty() ? "tls-only" : "pinned, tls-only";
    if (d.GetRecordedFingerprint().empty())
        return "-";
    return d.GetAllowPlain() == 1 ? "pinned, plain allowed" : "pinned";
}

std::string TrustStateText(CVESKMFPDevice& d) {
    switch (d.GetTrustState()) {
        case CVESKMFPDevice::kTrustNew:
            return "new (recorded on this first use)";
        case CVESKMFPDevice::kTrustTrusted:
            return "trusted (matches the recorded certificate)";
        case CVESKMFPDevice::kTrustChanged:
            return "changed (refused; see 'vesk device trust')";
        default:
            return "none (plain TCP)";
    }
}

void AddTrustCommands(std::vector<Command>& table) {
    table.push_back({"device trust",
                     "DEVICE",
                     "show the device's TLS certificate and trust a changed one",
                     "Connects over TLS only and shows the recorded and the presented\n"
                     "certificate fingerprints. When they differ, the presented one is\n"
                     "recorded after you confirm (or at once with --yes). Only do that when\n"
                     "you know why the device's certificate changed.",
                     {{"--yes", "", "trust a changed certificate without asking"}},
                     1,
                     1,
                     Trust});
}

}  // namespace vesk::cli
