#include "WaveDevice.h"

#include <algorithm>
#include <cstring>

namespace waveaudio {

WaveDevice::WaveDevice(Direction dir, DWORD_PTR callback, DWORD_PTR instance, bool inlineCallbacks)
    : dir(dir), callback(callback), instance(instance), inlineCallbacks(inlineCallbacks)
{
}

MMRESULT WaveDevice::Open(Backend& backend, const DeviceInfo& info, const WAVEFORMATEX& format)
{
    if (MMRESULT r = OpenStream(backend, info, format))
        return r;
    {
        std::lock_guard guard(lock);
        Post(dir == Direction::Capture ? WIM_OPEN : WOM_OPEN, 0);
    }
    thread = std::thread([self = shared_from_this()] { self->Deliver(true); });
    return MMSYSERR_NOERROR;
}

MMRESULT WaveDevice::Prepare(WAVEHDR* header)
{
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WaveDevice::Unprepare(WAVEHDR* header)
{
    std::lock_guard guard(lock);
    if (header->dwFlags & WHDR_INQUEUE)
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT WaveDevice::Enqueue(WAVEHDR* header)
{
    std::lock_guard streamGuard(op);
    {
        std::lock_guard guard(lock);
        if (!(header->dwFlags & WHDR_PREPARED))
            return WAVERR_UNPREPARED;
        if (header->dwFlags & WHDR_INQUEUE)
            return WAVERR_STILLPLAYING;
        if (!header->lpData || header->dwBufferLength == 0)
            return MMSYSERR_INVALPARAM;
        if (lost)
            return MMSYSERR_NODRIVER;
        header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
        if (dir == Direction::Capture)
            header->dwBytesRecorded = 0;
        queue.push_back(header);
    }
    const MMRESULT r = HandOver(header);
    if (r == MMSYSERR_NOERROR)
        return r;
    // Refused: take it back, unless a loss meanwhile has already given it back.
    std::lock_guard guard(lock);
    auto it = std::find(queue.begin(), queue.end(), header);
    if (it == queue.end())
        return MMSYSERR_NOERROR;
    queue.erase(it);
    header->dwFlags &= ~WHDR_INQUEUE;
    return r;
}

bool WaveDevice::Busy()
{
    std::lock_guard guard(lock);
    return !queue.empty();
}

void WaveDevice::Close()
{
    {
        std::lock_guard streamGuard(op);
        DropStream();
    }
    {
        std::lock_guard guard(lock);
        Post(dir == Direction::Capture ? WIM_CLOSE : WOM_CLOSE, 0);
        exit = true;
    }
    wake.notify_all();
    if (std::this_thread::get_id() == thread.get_id()) {
        Deliver(false);
        thread.detach();
    } else {
        thread.join();
    }
}

void WaveDevice::CompleteFront(unsigned int msg)
{
    WAVEHDR* header = queue.front();
    queue.pop_front();
    header->dwFlags = (header->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
    Post(msg, reinterpret_cast<DWORD_PTR>(header));
}

void WaveDevice::Post(unsigned int msg, DWORD_PTR param1)
{
    ++posted;
    // Inline only behind nothing still queued, so that messages keep their order.
    if (inlineCallbacks && inSink && events.empty()) {
        Invoke({msg, param1});
        ++delivered;
        return;
    }
    events.push_back({msg, param1});
    wake.notify_all();
}

bool WaveDevice::IsLost()
{
    std::lock_guard guard(lock);
    return lost;
}

void WaveDevice::LoseLocked(std::string_view why, unsigned int lostMsg, unsigned int doneMsg)
{
    if (lost)
        return;
    lost = true;
    reason = why.empty() ? "the device stopped working" : std::string(why);
    Post(lostMsg, reinterpret_cast<DWORD_PTR>(reason.c_str()));
    while (!queue.empty())
        CompleteFront(doneMsg);
}

void WaveDevice::Invoke(const Event& event)
{
    if (!callback)
        return;
    if (dir == Direction::Capture)
        reinterpret_cast<WAVEINPROC>(callback)(reinterpret_cast<HWAVEIN>(handle), event.msg, instance, event.param1, 0);
    else
        reinterpret_cast<WAVEOUTPROC>(callback)(reinterpret_cast<HWAVEOUT>(handle), event.msg, instance, event.param1,
                                                0);
}

// The callback thread serves until the device closes; an inline delivery (on
// that thread, from inside a callback) only empties the queue.
void WaveDevice::Deliver(bool serve)
{
    std::unique_lock guard(lock);
    for (;;) {
        if (serve)
            wake.wait(guard, [&] { return !events.empty() || exit; });
        if (events.empty())
            return;
        Event event = events.front();
        events.pop_front();
        guard.unlock();
        Invoke(event);
        guard.lock();
        ++delivered;
        wake.notify_all();
    }
}

void WaveDevice::AwaitDelivery()
{
    if (std::this_thread::get_id() == thread.get_id()) {
        Deliver(false);
        return;
    }
    std::unique_lock guard(lock);
    const std::uint64_t target = posted;
    wake.wait(guard, [&] { return delivered >= target; });
}

// ---------------------------------------------------------------- capture

MMRESULT CaptureDevice::OpenStream(Backend& backend, const DeviceInfo& info, const WAVEFORMATEX& format)
{
    return backend.OpenCapture(info, format, *this, stream);
}

MMRESULT CaptureDevice::HandOver(WAVEHDR*)
{
    if (stream)
        stream->BuffersAdded();
    return MMSYSERR_NOERROR;
}

MMRESULT CaptureDevice::Start()
{
    std::lock_guard streamGuard(op);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    {
        std::lock_guard guard(lock);
        if (lost)
            return MMSYSERR_NODRIVER;
        if (started)
            return MMSYSERR_NOERROR;
        started = true;
    }
    const MMRESULT r = stream->Start();
    if (r != MMSYSERR_NOERROR) {
        std::lock_guard guard(lock);
        started = false;
    }
    return r;
}

MMRESULT CaptureDevice::Stop(bool all)
{
    {
        std::lock_guard streamGuard(op);
        if (!stream)
            return MMSYSERR_INVALHANDLE;
        {
            std::lock_guard guard(lock);
            started = false;
        }
        stream->Stop();
        std::lock_guard guard(lock);
        while (!queue.empty() && (all || fill > 0))
            CompleteFrontLocked();
    }
    AwaitDelivery();
    return MMSYSERR_NOERROR;
}

void CaptureDevice::CompleteFrontLocked()
{
    queue.front()->dwBytesRecorded = static_cast<DWORD>(fill);
    fill = 0;
    CompleteFront(WIM_DATA);
}

void CaptureDevice::Captured(const std::uint8_t* data, std::size_t bytes)
{
    std::lock_guard guard(lock);
    if (!started)
        return;
    const SinkCall call(inSink);
    while (bytes > 0 && !queue.empty()) {
        WAVEHDR* header = queue.front();
        const std::size_t n = std::min<std::size_t>(bytes, header->dwBufferLength - fill);
        if (data) {
            std::memcpy(header->lpData + fill, data, n);
            data += n;
        } else {
            std::memset(header->lpData + fill, 0, n);
        }
        fill += n;
        bytes -= n;
        if (fill == header->dwBufferLength)
            CompleteFrontLocked();
    }
}

std::size_t CaptureDevice::Room()
{
    std::lock_guard guard(lock);
    if (!started || queue.empty())
        return 0;
    return queue.front()->dwBufferLength - fill;
}

void CaptureDevice::Failed(std::string_view why)
{
    std::lock_guard guard(lock);
    const SinkCall call(inSink);
    started = false;
    if (!queue.empty())
        queue.front()->dwBytesRecorded = static_cast<DWORD>(fill);  // what it holds is real
    // The rest still holds sound of an earlier round, which a reader of whole buffers would hear again.
    for (WAVEHDR* header : queue)
        std::memset(header->lpData + header->dwBytesRecorded, 0, header->dwBufferLength - header->dwBytesRecorded);
    fill = 0;
    LoseLocked(why, WIM_LOST, WIM_DATA);
}

// ---------------------------------------------------------------- playback

MMRESULT PlaybackDevice::OpenStream(Backend& backend, const DeviceInfo& info, const WAVEFORMATEX& format)
{
    return backend.OpenPlayback(info, format, *this, stream);
}

MMRESULT PlaybackDevice::HandOver(WAVEHDR* header)
{
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    return stream->Write(reinterpret_cast<const std::uint8_t*>(header->lpData), header->dwBufferLength);
}

MMRESULT PlaybackDevice::Pause(bool paused)
{
    std::lock_guard streamGuard(op);
    if (!stream)
        return MMSYSERR_INVALHANDLE;
    return IsLost() ? MMSYSERR_NODRIVER : stream->Pause(paused);
}

MMRESULT PlaybackDevice::Reset()
{
    {
        std::lock_guard streamGuard(op);
        if (!stream)
            return MMSYSERR_INVALHANDLE;
        stream->Reset();
        std::lock_guard guard(lock);
        while (!queue.empty())
            CompleteFront(WOM_DONE);
    }
    AwaitDelivery();
    return MMSYSERR_NOERROR;
}

void PlaybackDevice::Played()
{
    std::lock_guard guard(lock);
    const SinkCall call(inSink);
    if (!queue.empty())
        CompleteFront(WOM_DONE);
}

void PlaybackDevice::Failed(std::string_view why)
{
    std::lock_guard guard(lock);
    const SinkCall call(inSink);
    LoseLocked(why, WOM_LOST, WOM_DONE);
}

}  // namespace waveaudio
