#include "Devices.h"

#include <cerrno>
#include <cstdlib>

#include "Options.h"
#include "DeviceNames.h"
#include "VirtualAudio.h"

namespace tool {

std::optional<int> FindDevice(const std::vector<std::string>& names, const std::string& deviceArg)
{
    if (IsIndex(deviceArg)) {
        errno = 0;
        const unsigned long index = std::strtoul(deviceArg.c_str(), nullptr, 10);
        if (errno != 0 || index >= names.size())
            return std::nullopt;
        return static_cast<int>(index);
    }
    const auto found = vaudio::FindDevice(names, deviceArg);
    return found ? std::optional<int>(static_cast<int>(*found)) : std::nullopt;
}

std::string NoDevice(const std::string& what)
{
    const std::string problem = vaudio::SoundServerProblem();
    return problem.empty() ? what : what + " (cannot reach the sound server: " + problem + ")";
}

}  // namespace tool
