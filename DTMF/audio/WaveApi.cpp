// The C entry points of the wave-audio service: argument checks, the table that
// turns handles into devices, and the calls on those devices.
#include <memory>
#include <mutex>
#include <unordered_map>

#include "DeviceList.h"
#include "WaveAudio.h"
#include "WaveDevice.h"

namespace {

using namespace waveaudio;

constexpr auto In = Direction::Capture;
constexpr auto Out = Direction::Playback;

// Handles are never reused, so a stale handle finds nothing instead of another device.
class HandleTable {
public:
    DWORD_PTR Add(std::shared_ptr<WaveDevice> device)
    {
        std::lock_guard guard(mutex);
        const DWORD_PTR h = next;
        next += 0x10;
        device->SetHandle(h);
        map.emplace(h, std::move(device));
        return h;
    }
    template <class Device = WaveDevice>
    std::shared_ptr<Device> Find(const void* handle, Direction dir)
    {
        std::lock_guard guard(mutex);
        auto it = map.find(reinterpret_cast<DWORD_PTR>(handle));
        if (it == map.end() || it->second->Dir() != dir)
            return nullptr;
        return std::static_pointer_cast<Device>(it->second);
    }
    std::shared_ptr<WaveDevice> Take(const void* handle, Direction dir)
    {
        std::lock_guard guard(mutex);
        auto it = map.find(reinterpret_cast<DWORD_PTR>(handle));
        if (it == map.end() || it->second->Dir() != dir)
            return nullptr;
        auto device = std::move(it->second);
        map.erase(it);
        return device;
    }

private:
    std::mutex mutex;
    DWORD_PTR next = 0x5A10;
    std::unordered_map<DWORD_PTR, std::shared_ptr<WaveDevice>> map;
};

// Never destroyed: device threads may still run while the process exits.
HandleTable& Handles()
{
    static HandleTable& table = *new HandleTable;
    return table;
}

template <class Device, class Handle>
MMRESULT OpenDevice(Direction dir, Handle* out, unsigned int id, const WAVEFORMATEX* format, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags)
{
    if (out)
        *out = nullptr;
    if (!out || !format)
        return MMSYSERR_INVALPARAM;
    const DWORD type = flags & 0x70000;
    if (type != CALLBACK_NULL && type != CALLBACK_FUNCTION)
        return MMSYSERR_INVALFLAG;
    if (type == CALLBACK_FUNCTION && !callback)
        return MMSYSERR_INVALPARAM;
    if (!IsSupportedPcm(*format))
        return WAVERR_BADFORMAT;
    auto resolved = ResolveDevice(dir, id);
    if (!resolved)
        return MMSYSERR_BADDEVICEID;
    auto device = std::make_shared<Device>(dir, type == CALLBACK_FUNCTION ? callback : 0, instance,
                                           type == CALLBACK_FUNCTION && (flags & WAVE_CALLBACK_INLINE));
    // The handle must exist before the first callback (WIM_OPEN) can name it.
    const DWORD_PTR h = Handles().Add(device);
    if (MMRESULT r = device->Open(*resolved->backend, resolved->info, *format)) {
        Handles().Take(reinterpret_cast<void*>(h), dir);
        return r;
    }
    *out = reinterpret_cast<Handle>(h);
    return MMSYSERR_NOERROR;
}

template <class Device = WaveDevice, class Fn>
MMRESULT WithDevice(const void* handle, Direction dir, Fn fn)
{
    auto device = Handles().Find<Device>(handle, dir);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    return fn(*device);
}

template <class Fn>
MMRESULT WithHeader(const void* handle, Direction dir, WAVEHDR* header, unsigned int size, Fn fn)
{
    auto device = Handles().Find(handle, dir);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    if (!header || size < sizeof(WAVEHDR))
        return MMSYSERR_INVALPARAM;
    return fn(*device, header);
}

MMRESULT CloseDevice(const void* handle, Direction dir)
{
    auto device = Handles().Find(handle, dir);
    if (!device)
        return MMSYSERR_INVALHANDLE;
    if (device->Busy())
        return WAVERR_STILLPLAYING;
    device = Handles().Take(handle, dir);
    if (!device)
        return MMSYSERR_INVALHANDLE;  // closed meanwhile by another thread
    device->Close();
    return MMSYSERR_NOERROR;
}

MMRESULT Prepare(WaveDevice&, WAVEHDR* header)
{
    return WaveDevice::Prepare(header);
}
MMRESULT Unprepare(WaveDevice& device, WAVEHDR* header)
{
    return device.Unprepare(header);
}
MMRESULT Enqueue(WaveDevice& device, WAVEHDR* header)
{
    return device.Enqueue(header);
}

}  // namespace

// Each operation for input, then for output, in the order of a device's life.
extern "C" {

unsigned int waveInGetNumDevs()
{
    return CountDevices(In);
}
unsigned int waveOutGetNumDevs()
{
    return CountDevices(Out);
}

MMRESULT waveInGetDevCapsA(std::uintptr_t id, WAVEINCAPSA* caps, unsigned int size)
{
    return DeviceCaps(In, id, caps, size);
}
MMRESULT waveOutGetDevCapsA(std::uintptr_t id, WAVEOUTCAPSA* caps, unsigned int size)
{
    return DeviceCaps(Out, id, caps, size);
}

MMRESULT waveInOpen(HWAVEIN* out, unsigned int id, const WAVEFORMATEX* format, DWORD_PTR callback, DWORD_PTR instance,
                    DWORD flags)
{
    return OpenDevice<CaptureDevice>(In, out, id, format, callback, instance, flags);
}
MMRESULT waveOutOpen(HWAVEOUT* out, unsigned int id, const WAVEFORMATEX* format, DWORD_PTR callback, DWORD_PTR instance,
                     DWORD flags)
{
    return OpenDevice<PlaybackDevice>(Out, out, id, format, callback, instance, flags);
}

MMRESULT waveInPrepareHeader(HWAVEIN h, WAVEHDR* header, unsigned int size)
{
    return WithHeader(h, In, header, size, Prepare);
}
MMRESULT waveOutPrepareHeader(HWAVEOUT h, WAVEHDR* header, unsigned int size)
{
    return WithHeader(h, Out, header, size, Prepare);
}

// A buffer to fill, a block to play: both join the device's queue.
MMRESULT waveInAddBuffer(HWAVEIN h, WAVEHDR* header, unsigned int size)
{
    return WithHeader(h, In, header, size, Enqueue);
}
MMRESULT waveOutWrite(HWAVEOUT h, WAVEHDR* header, unsigned int size)
{
    return WithHeader(h, Out, header, size, Enqueue);
}

MMRESULT waveInStart(HWAVEIN h)
{
    return WithDevice<CaptureDevice>(h, In, [](CaptureDevice& d) { return d.Start(); });
}
MMRESULT waveOutRestart(HWAVEOUT h)
{
    return WithDevice<PlaybackDevice>(h, Out, [](PlaybackDevice& d) { return d.Pause(false); });
}

MMRESULT waveInStop(HWAVEIN h)
{
    return WithDevice<CaptureDevice>(h, In, [](CaptureDevice& d) { return d.Stop(false); });
}
MMRESULT waveOutPause(HWAVEOUT h)
{
    return WithDevice<PlaybackDevice>(h, Out, [](PlaybackDevice& d) { return d.Pause(true); });
}

MMRESULT waveInReset(HWAVEIN h)
{
    return WithDevice<CaptureDevice>(h, In, [](CaptureDevice& d) { return d.Stop(true); });
}
MMRESULT waveOutReset(HWAVEOUT h)
{
    return WithDevice<PlaybackDevice>(h, Out, [](PlaybackDevice& d) { return d.Reset(); });
}

MMRESULT waveInUnprepareHeader(HWAVEIN h, WAVEHDR* header, unsigned int size)
{
    return WithHeader(h, In, header, size, Unprepare);
}
MMRESULT waveOutUnprepareHeader(HWAVEOUT h, WAVEHDR* header, unsigned int size)
{
    return WithHeader(h, Out, header, size, Unprepare);
}

MMRESULT waveInClose(HWAVEIN h)
{
    return CloseDevice(h, In);
}
MMRESULT waveOutClose(HWAVEOUT h)
{
    return CloseDevice(h, Out);
}

}  // extern "C"
