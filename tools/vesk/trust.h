// The TLS-trust pieces of the device commands (tools/vesk/trust_cmds.cpp).
#pragma once

#include <string>
#include <vector>

#include "tools/vesk/cli.h"

namespace vesk::cli {

// --fingerprint and --allow-plain of device add and device set.
const std::vector<OptionDef>& TrustOptions();
// Throws UsageError when those options are malformed.
void CheckTrustOptions(const ParsedArgs& a);
// Records what those options (and --mode tls: TLS only) ask for the device.
void ApplyTrustOptions(CVESKMFPDevice& d, const ParsedArgs& a);
// For device list: "-", "pinned", "pinned, plain allowed", "tls-only"...
std::string TrustText(CVESKMFPDevice& d);
// The trust state of the last connect, for vesk connect.
std::string TrustStateText(CVESKMFPDevice& d);
void AddTrustCommands(std::vector<Command>& table);

}  // namespace vesk::cli
