// Defaults and small value mappings that several vesk commands share.
#pragma once

#include <string>

namespace vesk::cli {

// Ports a device is registered with unless told otherwise. The TLS port is the one a
// new device item starts with; the plain port sits next to it.
inline constexpr int kDefaultPort = 59158;
inline constexpr int kDefaultSslPort = 59159;

// The device's "last communication" value: -1 unknown (plain first), 0 plain, 1 TLS.
int ParseMode(const std::string& text);
std::string ModeName(int lastTCPComm);

}  // namespace vesk::cli
