#include "DeviceList.h"

#include <atomic>
#include <mutex>

#include "VirtualAudio.h"

namespace waveaudio {

namespace {

std::atomic<bool> useServer{true};

class ServerListing {
public:
    std::vector<DeviceInfo> Get(Direction dir, bool refresh)
    {
        std::lock_guard lock(mutex);
        auto& slot = dir == Direction::Capture ? capture : playback;
        if (refresh || !slot)
            slot = ServerDevices().Devices(dir);
        return *slot;
    }

private:
    std::mutex mutex;
    std::optional<std::vector<DeviceInfo>> capture, playback;
};

// Never destroyed: device threads may still run while the process exits.
ServerListing& Listing()
{
    static ServerListing& listing = *new ServerListing;
    return listing;
}

std::vector<DeviceInfo> ServerList(Direction dir, bool refresh)
{
    if (!useServer.load())
        return {};
    return Listing().Get(dir, refresh);
}

}  // namespace

bool IsSupportedPcm(const WAVEFORMATEX& f)
{
    if (f.wFormatTag != WAVE_FORMAT_PCM || f.nChannels == 0 || f.nChannels > 32 || f.nSamplesPerSec == 0 ||
        f.nSamplesPerSec > 384000)
        return false;
    if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16 && f.wBitsPerSample != 24 && f.wBitsPerSample != 32)
        return false;
    return f.nBlockAlign == f.nChannels * (f.wBitsPerSample / 8);
}

unsigned int CountDevices(Direction dir)
{
    return static_cast<unsigned int>(VirtualDevices().Devices(dir).size() + ServerList(dir, true).size());
}

std::optional<ResolvedDevice> ResolveDevice(Direction dir, std::uintptr_t id)
{
    auto virtualList = VirtualDevices().Devices(dir);
    if (id == WAVE_MAPPER || id == static_cast<std::uintptr_t>(-1)) {
        // The server's current default, looked up without renumbering its devices.
        if (useServer.load())
            if (auto fresh = ServerDevices().Devices(dir); !fresh.empty())
                return ResolvedDevice{&ServerDevices(), fresh.front()};
        if (!virtualList.empty())
            return ResolvedDevice{&VirtualDevices(), virtualList.front()};
        return std::nullopt;
    }
    if (id < virtualList.size())
        return ResolvedDevice{&VirtualDevices(), virtualList[id]};
    auto server = ServerList(dir, false);
    if (id - virtualList.size() < server.size())
        return ResolvedDevice{&ServerDevices(), server[id - virtualList.size()]};
    return std::nullopt;
}

}  // namespace waveaudio

namespace vaudio {

void UseServerDevices(bool use)
{
    waveaudio::useServer.store(use);
}

std::string SoundServerProblem()
{
    return waveaudio::ServerProblem();
}

}  // namespace vaudio
