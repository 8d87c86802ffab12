// What the user trusts of a device's TLS: the certificate's SHA-256 recorded on first
// use, and whether plain TCP may still be used. Kept per device address and TLS port
// in the user's registry store (the device registry file keeps its layout for the
// other programs that read it).
#pragma once

#include <string>

#include "platform/export.h"

namespace vesk::device {

struct TlsTrust {
    std::string fingerprint;  // SHA-256, 64 lower-case hex digits; "" none recorded
    bool allowPlain = false;  // plain TCP allowed although a certificate is recorded
    bool tlsOnly = false;     // never plain TCP, recorded or not
};

// Nothing recorded (or an unreadable store) reads as the default record.
VESK_API TlsTrust ReadTlsTrust(const std::wstring& address, int tlsPort);
// Writes the whole record; false when the store fails.
VESK_API bool WriteTlsTrust(const std::wstring& address, int tlsPort, const TlsTrust& trust);

// "AB:cd:..." or "abcd..." as 64 lower-case hex digits; "" when it is not a SHA-256.
VESK_API std::string NormalizeFingerprint(const std::string& text);

}  // namespace vesk::device
