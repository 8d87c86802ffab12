// A device's state and identity overrides as JSON, and request frames as hex: what the
// control service (service.h) and its clients exchange. Free of file and socket access,
// so that a test program built for another system can use it too.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "tools/mfpsim/lib/device.h"
#include "tools/mfpsim/lib/model.h"

namespace mfpsim {

nlohmann::json StateToJson(const DeviceState& state);
// False (and why) when the value does not describe a device state.
bool StateFromJson(const nlohmann::json& value, DeviceState& state, std::string& error);

nlohmann::json OverridesToJson(const IdentityOverrides& overrides);
IdentityOverrides OverridesFromJson(const nlohmann::json& value);

std::string ToHex(const std::vector<uint8_t>& bytes);
// False when the text is not an even number of hex digits.
bool FromHex(const std::string& text, std::vector<uint8_t>& bytes);

}  // namespace mfpsim
