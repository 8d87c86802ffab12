// Registry entries in tests: readable in failures, and a device item's registry fields
// as one entry, so that they are compared whole.
#pragma once

#include <ostream>

#include "device/mfp_device.h"
#include "platform/charset.h"
#include "registry/device_registry_file.h"

namespace vesk {
inline void PrintTo(const DeviceRegistryEntry& e, std::ostream* os) {
    *os << "{" << e.id << ", " << vesk::WideToUtf8(e.name.str()) << ", "
        << vesk::WideToUtf8(e.address.str()) << ", " << e.port << ", " << e.portSSL << ", "
        << e.lastTCPComm << ", " << vesk::WideToUtf8(e.lastUserName.str()) << ", " << e.lastUserType
        << ", " << e.lastAccountType << ", " << vesk::WideToUtf8(e.lastAccountName.str()) << "}";
}

namespace test {
// The listing fills the item's account type from the file's last account type.
inline DeviceRegistryEntry EntryOf(CVESKMFPDevice* d) {
    return {d->GetItemID(),      d->GetItemName(),       d->GetDevAddress(),   d->GetPortNo(),
            d->GetSSLPortNo(),   d->GetLastTCPComm(),    d->GetLastUserName(), d->GetLastUserType(),
            d->GetAccountType(), d->GetLastAccountName()};
}
}  // namespace test
}  // namespace vesk
