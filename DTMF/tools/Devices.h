// The wave-audio service's device lists, as the tool names and chooses devices.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "DeviceNames.h"

namespace tool {

// The device that `deviceArg` names in `names` (vaudio::DeviceNames): all digits
// are an index, anything else an exact name (vaudio::FindDevice). nullopt when
// there is no such device.
std::optional<int> FindDevice(const std::vector<std::string>& names, const std::string& deviceArg);

// Why a device could not be found or opened: "no audio input devices", with the
// sound server's problem ("cannot reach the sound server: Connection refused") when there is one.
std::string NoDevice(const std::string& what);

}  // namespace tool
