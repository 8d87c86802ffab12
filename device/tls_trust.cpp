#include "device/tls_trust.h"

#include <cctype>

#include "platform/charset.h"
#include "platform/registry.h"

namespace vesk::device {

namespace {

constexpr std::size_t kHexDigits = 64;

std::wstring KeyPath(const std::wstring& address, int tlsPort) {
    // A backslash would open a sub-key; addresses never need one.
    std::wstring name = address;
    for (wchar_t& c : name)
        if (c == L'\\')
            c = L'_';
    return L"Software\\VESK\\DeviceTrust\\" + name + L":" + std::to_wstring(tlsPort);
}

}  // namespace

std::string NormalizeFingerprint(const std::string& text) {
    std::string hex;
    for (char c : text) {
        if (c == ':')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return hex.size() == kHexDigits ? hex : std::string();
}

TlsTrust ReadTlsTrust(const std::wstring& address, int tlsPort) {
    TlsTrust t;
    auto key = reg::Key::Open(reg::Hive::CurrentUser, KeyPath(address, tlsPort));
    if (!key)
        return t;
    if (auto fp = key->GetString(L"Sha256"))
        t.fingerprint = NormalizeFingerprint(WideToUtf8(*fp));
    t.allowPlain = key->GetDword(L"AllowPlain").value_or(0) == 1;
    t.tlsOnly = key->GetDword(L"TlsOnly").value_or(0) == 1;
    return t;
}

bool WriteTlsTrust(const std::wstring& address, int tlsPort, const TlsTrust& trust) {
    auto key = reg::Key::CreateOrOpen(reg::Hive::CurrentUser, KeyPath(address, tlsPort));
    if (!key)
        return false;
    const bool fp =
        trust.fingerprint.empty()
            ? (key->GetType(L"Sha256") == reg::ValueType::None || key->DeleteValue(L"Sha256"))
            : key->SetString(L"Sha256", Utf8ToWide(trust.fingerprint));
    return fp && key->SetDword(L"AllowPlain", trust.allowPlain ? 1 : 0) &&
           key->SetDword(L"TlsOnly", trust.tlsOnly ? 1 : 0);
}

}  // namespace vesk::device
