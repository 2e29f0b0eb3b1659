// The names of the wave-audio service's devices, and finding a device by name.
//
//     if (auto device = vaudio::FindDevice(vaudio::DeviceKind::Input, "DTMF-Test-Sink Monitor"))
//         waveInOpen(&hwi, *device, &format, callback, instance, CALLBACK_FUNCTION);
//
// A name is what the device's GetDevCaps record holds (at most 31 bytes). Names
// may repeat; the last device of a name is the one it finds. Any thread may call
// these; each call that lists devices asks the sound server afresh, which may take
// a few milliseconds.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "VardellExport.h"

namespace vaudio {

enum class DeviceKind { Input, Output };

// Device k's name at entry k; "" for a device whose record cannot be read.
VARDELL_API std::vector<std::string> DeviceNames(DeviceKind kind);
// One device's name; "" when there is no such device.
VARDELL_API std::string DeviceName(DeviceKind kind, unsigned int device);
// The last device named exactly `name` (case-sensitive), or nullopt.
VARDELL_API std::optional<unsigned int> FindDevice(DeviceKind kind, std::string_view name);
// The same within a list that DeviceNames gave, so that numbers match what was shown.
VARDELL_API std::optional<unsigned int> FindDevice(const std::vector<std::string>& names, std::string_view name);

}  // namespace vaudio
