#include "DeviceNames.h"

#include <cstring>

#include "WaveAudio.h"

namespace vaudio {

namespace {

// szPname is NUL-terminated by contract; strnlen keeps a broken driver from overrunning it.
template <class Caps>
std::string NameIn(const Caps& caps)
{
    return std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
}

std::string Name(DeviceKind kind, unsigned int device)
{
    if (kind == DeviceKind::Input) {
        WAVEINCAPSA caps{};
        return waveInGetDevCapsA(device, &caps, sizeof caps) == MMSYSERR_NOERROR ? NameIn(caps) : std::string();
    }
    WAVEOUTCAPSA caps{};
    return waveOutGetDevCapsA(device, &caps, sizeof caps) == MMSYSERR_NOERROR ? NameIn(caps) : std::string();
}

}  // namespace

std::vector<std::string> DeviceNames(DeviceKind kind)
{
    // Counting renumbers the server's devices; the records read next follow that numbering.
    const unsigned int count = kind == DeviceKind::Input ? waveInGetNumDevs() : waveOutGetNumDevs();
    std::vector<std::string> names;
    for (unsigned int i = 0; i < count; ++i)
        names.push_back(Name(kind, i));
    return names;
}

std::string DeviceName(DeviceKind kind, unsigned int device)
{
    return Name(kind, device);
}

std::optional<unsigned int> FindDevice(DeviceKind kind, std::string_view name)
{
    return FindDevice(DeviceNames(kind), name);
}

std::optional<unsigned int> FindDevice(const std::vector<std::string>& names, std::string_view name)
{
    std::optional<unsigned int> found;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (!name.empty() && names[i] == name)
            found = static_cast<unsigned int>(i);
    return found;
}

}  // namespace vaudio
