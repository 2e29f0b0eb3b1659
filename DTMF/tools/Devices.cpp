#include "Devices.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Options.h"
#include "VirtualAudio.h"
#include "WaveAudio.h"

namespace tool {

// szPname is NUL-terminated by contract; strnlen keeps a broken driver from overrunning it.
std::vector<std::string> InputDeviceNames()
{
    std::vector<std::string> names;
    const unsigned int count = waveInGetNumDevs();
    for (unsigned int i = 0; i < count; ++i) {
        WAVEINCAPSA caps{};
        names.emplace_back(waveInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR
                               ? std::string(caps.szPname, strnlen(caps.szPname, MAXPNAMELEN))
                               : std::string());
    }
    return names;
}

std::vector<std::string> OutputDeviceNames()
{
    std::vector<std::string> names;
    const unsigned int count = waveOutGetNumDevs();
    for (unsigned int i = 0; i < count; ++i) {
        WAVEOUTCAPSA caps{};
        names.emplace_back(waveOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR
                               ? std::string(caps.szPname, strnlen(caps.szPname, MAXPNAMELEN))
                               : std::string());
    }
    return names;
}

std::optional<int> FindDevice(const std::vector<std::string>& names, const std::string& deviceArg)
{
    if (IsIndex(deviceArg)) {
        errno = 0;
        const unsigned long index = std::strtoul(deviceArg.c_str(), nullptr, 10);
        if (errno != 0 || index >= names.size())
            return std::nullopt;
        return static_cast<int>(index);
    }
    std::optional<int> found;
    for (std::size_t i = 0; i < names.size(); ++i)
        if (!deviceArg.empty() && names[i] == deviceArg)
            found = static_cast<int>(i);
    return found;
}

std::string NoDevice(const std::string& what)
{
    const std::string problem = vaudio::SoundServerProblem();
    return problem.empty() ? what : what + " (cannot reach the sound server: " + problem + ")";
}

}  // namespace tool
