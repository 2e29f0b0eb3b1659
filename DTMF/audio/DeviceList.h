// Device numbering of the wave-audio service: per direction, first the
// in-process virtual devices in registration order, then the sound server's
// (its default first). The server's list is kept from one count to the next, so
// that GetNumDevs, GetDevCaps and Open agree on the numbers until the next count.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include "AudioBackend.h"

namespace waveaudio {

struct ResolvedDevice {
    Backend* backend = nullptr;
    DeviceInfo info;
};

// Counts the devices, renumbering the server's.
unsigned int CountDevices(Direction dir);
// Device `id` (or WAVE_MAPPER: the server's current default, else the first virtual device).
std::optional<ResolvedDevice> ResolveDevice(Direction dir, std::uintptr_t id);

// Fills a WAVEINCAPSA or WAVEOUTCAPSA for device `id`.
template <class Caps>
MMRESULT DeviceCaps(Direction dir, std::uintptr_t id, Caps* out, unsigned int size)
{
    if (!out || size == 0)
        return MMSYSERR_INVALPARAM;
    auto device = ResolveDevice(dir, id);
    if (!device)
        return MMSYSERR_BADDEVICEID;
    Caps caps{};
    caps.wMid = 0xFFFF;
    caps.wPid = 0xFFFF;
    caps.vDriverVersion = 0x0100;
    const std::string& name = device->info.name;
    std::memcpy(caps.szPname, name.data(), std::min<std::size_t>(name.size(), MAXPNAMELEN - 1));
    caps.dwFormats = 0x000FFFFF;  // every WAVE_FORMAT_xMxx bit up to 96 kHz: the backends take any rate
    caps.wChannels = device->info.channels;
    std::memcpy(out, &caps, std::min<std::size_t>(size, sizeof caps));
    return MMSYSERR_NOERROR;
}

}  // namespace waveaudio
