// Readable registry entries in test failures.
#pragma once

#include <ostream>

#include "platform/charset.h"
#include "registry/device_registry_file.h"

namespace vesk {
inline void PrintTo(const DeviceRegistryEntry& e, std::ostream* os) {
    *os << "{" << e.id << ", " << vesk::WideToUtf8(e.name.str()) << ", "
        << vesk::WideToUtf8(e.address.str()) << ", " << e.port << ", " << e.portSSL << ", "
        << e.lastTCPComm << ", " << vesk::WideToUtf8(e.lastUserName.str()) << ", " << e.lastUserType
        << ", " << e.lastAccountType << ", " << vesk::WideToUtf8(e.lastAccountName.str()) << "}";
}
}  // namespace vesk
