// The wave-audio service's device lists, as the tool names and chooses devices.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tool {

std::vector<std::string> InputDeviceNames();
std::vector<std::string> OutputDeviceNames();

// The device that `deviceArg` names in `names`: all digits are an index, anything
// else an exact (case-sensitive) name, of which the last wins as in the
// monitor's own lookup. nullopt when there is no such device.
std::optional<int> FindDevice(const std::vector<std::string>& names, const std::string& deviceArg);

// Why a device could not be found or opened: "no audio input devices", with the
// sound server's problem ("cannot reach the sound server: Connection refused") when there is one.
std::string NoDevice(const std::string& what);

}  // namespace tool
