// Front end of the wave-audio service: handles, device numbering, WAVEHDR
// bookkeeping and one callback thread per open device. Backends (AudioBackend.h)
// only move bytes; every Win32 rule about headers and messages lives here.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "AudioBackend.h"
#include "VirtualAudio.h"
#include "WaveAudio.h"

namespace waveaudio {

bool isSupportedPcm(const WAVEFORMATEX& f)
{
    if (f.wFormatTag != WAVE_FORMAT_PCM || f.nChannels == 0 || f.nChannels > 32 || f.nSamplesPerSec == 0 ||
        f.nSamplesPerSec > 384000)
        return false;
    if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16 && f.wBitsPerSample != 24 && f.wBitsPerSample != 32)
        return false;
    return f.nBlockAlign == f.nChannels * (f.wBitsPerSample / 8);
}

}  // namespace waveaudio

namespace {

using namespace waveaudio;

std::atomic<bool> useServer{true};

struct Event {
    unsigned int msg;
    DWORD_PTR param1;
};

// One open waveIn or waveOut handle. Shared by the handle table and its callback
// thread, so a close from inside a callback can leave the thread to finish alone.
class Device final : public CaptureSink, public PlaybackSink, public std::enable_shared_from_this<Device> {
public:
    Device(Direction dir, DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
        : dir_(dir), callback_((flags & 0x70000) == CALLBACK_FUNCTION ? callback : 0), instance_(instance)
    {
    }

    Direction dir() const { return dir_; }
    void setHandle(DWORD_PTR h) { handle_ = h; }

    MMRESULT open(Backend& backend, const DeviceInfo& info, const WAVEFORMATEX& fmt)
    {
        MMRESULT r = dir_ == Direction::Capture ? backend.openCapture(info, fmt, *this, capture_)
                                                : backend.openPlayback(info, fmt, *this, playback_);
        if (r != MMSYSERR_NOERROR)
            return r;
        post(dir_ == Direction::Capture ? WIM_OPEN : WOM_OPEN, 0);
        auto self = shared_from_this();
        thread_ = std::thread([self] { self->serve(); });
        return MMSYSERR_NOERROR;
    }

    static MMRESULT prepare(WAVEHDR* h)
    {
        h->dwFlags |= WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MMRESULT unprepare(WAVEHDR* h)
    {
        std::lock_guard lk(m_);
        if (h->dwFlags & WHDR_INQUEUE)
            return WAVERR_STILLPLAYING;
        h->dwFlags &= ~WHDR_PREPARED;
        return MMSYSERR_NOERROR;
    }

    MMRESULT enqueue(WAVEHDR* h)
    {
        {
            std::lock_guard lk(m_);
            if (!(h->dwFlags & WHDR_PREPARED))
                return WAVERR_UNPREPARED;
            if (h->dwFlags & WHDR_INQUEUE)
                return WAVERR_STILLPLAYING;
            if (!h->lpData || h->dwBufferLength == 0)
                return MMSYSERR_INVALPARAM;
            h->dwFlags = (h->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
            if (dir_ == Direction::Capture)
                h->dwBytesRecorded = 0;
            queue_.push_back(h);
        }
        if (dir_ == Direction::Capture) {
            std::lock_guard op(op_);
            if (capture_)
                capture_->buffersAdded();
        } else {
            submitNext();
        }
        return MMSYSERR_NOERROR;
    }

    MMRESULT start()
    {
        std::lock_guard op(op_);
        if (!capture_)
            return MMSYSERR_INVALHANDLE;
        {
            std::lock_guard lk(m_);
            if (started_)
                return MMSYSERR_NOERROR;
            started_ = true;
        }
        MMRESULT r = capture_->start();
        if (r != MMSYSERR_NOERROR) {
            std::lock_guard lk(m_);
            started_ = false;
        }
        return r;
    }

    // Stop returns only the partly filled buffer; Reset returns them all.
    MMRESULT stopCapture(bool all)
    {
        std::uint64_t target;
        {
            std::lock_guard op(op_);
            if (!capture_)
                return MMSYSERR_INVALHANDLE;
            {
                std::lock_guard lk(m_);
                started_ = false;
            }
            capture_->stop();
            std::lock_guard lk(m_);
            while (!queue_.empty() && (all || fill_ > 0))
                completeFront(WIM_DATA);
            target = posted_;
        }
        awaitDelivery(target);
        return MMSYSERR_NOERROR;
    }

    MMRESULT pause(bool paused)
    {
        std::lock_guard op(op_);
        if (!playback_)
            return MMSYSERR_INVALHANDLE;
        return playback_->pause(paused);
    }

    MMRESULT resetPlayback()
    {
        std::uint64_t target;
        {
            std::lock_guard op(op_);
            if (!playback_)
                return MMSYSERR_INVALHANDLE;
            playback_->reset();
            std::lock_guard lk(m_);
            while (!queue_.empty())
                completeFront(WOM_DONE);
            submitted_ = false;
            target = posted_;
        }
        awaitDelivery(target);
        return MMSYSERR_NOERROR;
    }

    bool busy()
    {
        std::lock_guard lk(m_);
        return !queue_.empty();
    }

    // The handle is already out of the table; no callback is made after this returns.
    void close()
    {
        {
            std::lock_guard op(op_);
            capture_.reset();
            playback_.reset();
        }
        {
            std::lock_guard lk(m_);
            post(dir_ == Direction::Capture ? WIM_CLOSE : WOM_CLOSE, 0);
            exit_ = true;
        }
        cv_.notify_all();
        if (std::this_thread::get_id() == thread_.get_id()) {
            deliverInline();
            thread_.detach();
        } else {
            thread_.join();
        }
    }

    // CaptureSink
    void captured(const std::uint8_t* data, std::size_t bytes) override
    {
        std::lock_guard lk(m_);
        if (!started_)
            return;
        while (bytes > 0 && !queue_.empty()) {
            WAVEHDR* h = queue_.front();
            std::size_t n = std::min<std::size_t>(bytes, h->dwBufferLength - fill_);
            if (data) {
                std::memcpy(h->lpData + fill_, data, n);
                data += n;
            } else {
                std::memset(h->lpData + fill_, 0, n);
            }
            fill_ += n;
            bytes -= n;
            if (fill_ == h->dwBufferLength)
                completeFront(WIM_DATA);
        }
    }

    std::size_t room() override
    {
        std::lock_guard lk(m_);
        if (!started_ || queue_.empty())
            return 0;
        return queue_.front()->dwBufferLength - fill_;
    }

    // PlaybackSink
    void played() override
    {
        {
            std::lock_guard lk(m_);
            if (!submitted_ || queue_.empty())
                return;
            submitted_ = false;
            completeFront(WOM_DONE);
            if (!queue_.empty())
                wantSubmit_ = true;
        }
        cv_.notify_all();
    }

private:
    // Called with m_ held.
    void completeFront(unsigned int msg)
    {
        WAVEHDR* h = queue_.front();
        queue_.pop_front();
        if (dir_ == Direction::Capture) {
            h->dwBytesRecorded = static_cast<DWORD>(fill_);
            fill_ = 0;
        }
        h->dwFlags = (h->dwFlags | WHDR_DONE) & ~WHDR_INQUEUE;
        post(msg, reinterpret_cast<DWORD_PTR>(h));
    }

    // Called with m_ held.
    void post(unsigned int msg, DWORD_PTR p1)
    {
        events_.push_back({msg, p1});
        ++posted_;
        cv_.notify_all();
    }

    void submitNext()
    {
        std::lock_guard op(op_);
        if (!playback_)
            return;
        WAVEHDR* h;
        {
            std::lock_guard lk(m_);
            if (submitted_ || queue_.empty())
                return;
            submitted_ = true;
            h = queue_.front();
        }
        if (playback_->play(reinterpret_cast<const std::uint8_t*>(h->lpData), h->dwBufferLength) != MMSYSERR_NOERROR)
            played();  // a block the device refused still comes back, so nobody waits for it forever
    }

    void invoke(const Event& e)
    {
        if (!callback_)
            return;
        if (dir_ == Direction::Capture)
            reinterpret_cast<WAVEINPROC>(callback_)(reinterpret_cast<HWAVEIN>(handle_), e.msg, instance_, e.param1, 0);
        else
            reinterpret_cast<WAVEOUTPROC>(callback_)(reinterpret_cast<HWAVEOUT>(handle_), e.msg, instance_, e.param1,
                                                     0);
    }

    void serve()
    {
        std::unique_lock lk(m_);
        for (;;) {
            cv_.wait(lk, [&] { return !events_.empty() || wantSubmit_ || exit_; });
            if (!events_.empty()) {
                Event e = events_.front();
                events_.pop_front();
                lk.unlock();
                invoke(e);
                lk.lock();
                ++delivered_;
                cv_.notify_all();
            } else if (wantSubmit_) {
                wantSubmit_ = false;
                lk.unlock();
                submitNext();
                lk.lock();
            } else {
                return;
            }
        }
    }

    // Used when the device's own callback resets or closes it: waiting would deadlock.
    void deliverInline()
    {
        std::unique_lock lk(m_);
        while (!events_.empty()) {
            Event e = events_.front();
            events_.pop_front();
            lk.unlock();
            invoke(e);
            lk.lock();
            ++delivered_;
        }
        cv_.notify_all();
    }

    void awaitDelivery(std::uint64_t target)
    {
        if (std::this_thread::get_id() == thread_.get_id()) {
            deliverInline();
            return;
        }
        std::unique_lock lk(m_);
        cv_.wait(lk, [&] { return delivered_ >= target; });
    }

    const Direction dir_;
    const DWORD_PTR callback_;
    const DWORD_PTR instance_;
    DWORD_PTR handle_ = 0;

    std::mutex op_;  // serialises stream calls; taken before m_, never while a callback runs
    std::unique_ptr<CaptureStream> capture_;
    std::unique_ptr<PlaybackStream> playback_;

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<WAVEHDR*> queue_;  // capture: buffers to fill; playback: blocks, the front one playing
    std::size_t fill_ = 0;        // bytes already in the front capture buffer
    bool started_ = false;
    bool submitted_ = false;  // the front playback block is with the backend
    bool wantSubmit_ = false;
    bool exit_ = false;
    std::deque<Event> events_;
    std::uint64_t posted_ = 0;
    std::uint64_t delivered_ = 0;
    std::thread thread_;
};

// Handles are never reused, so a stale handle finds nothing instead of another device.
class HandleTable {
public:
    DWORD_PTR add(std::shared_ptr<Device> d)
    {
        std::lock_guard lk(m_);
        DWORD_PTR h = next_;
        next_ += 0x10;
        d->setHandle(h);
        map_.emplace(h, std::move(d));
        return h;
    }
    std::shared_ptr<Device> find(const void* handle, Direction dir)
    {
        std::lock_guard lk(m_);
        auto it = map_.find(reinterpret_cast<DWORD_PTR>(handle));
        if (it == map_.end() || it->second->dir() != dir)
            return nullptr;
        return it->second;
    }
    std::shared_ptr<Device> take(const void* handle, Direction dir)
    {
        std::lock_guard lk(m_);
        auto it = map_.find(reinterpret_cast<DWORD_PTR>(handle));
        if (it == map_.end() || it->second->dir() != dir)
            return nullptr;
        auto d = std::move(it->second);
        map_.erase(it);
        return d;
    }

private:
    std::mutex m_;
    DWORD_PTR next_ = 0x5A10;
    std::unordered_map<DWORD_PTR, std::shared_ptr<Device>> map_;
};

// Never destroyed: device threads may still run while the process exits.
HandleTable& handles()
{
    static HandleTable& t = *new HandleTable;
    return t;
}

// The server's devices from the last enumeration, so that GetNumDevs, GetDevCaps
// and Open agree on the numbering until the next GetNumDevs.
class ServerListing {
public:
    std::vector<DeviceInfo> get(Direction dir, bool refresh)
    {
        std::lock_guard lk(m_);
        auto& slot = dir == Direction::Capture ? capture_ : playback_;
        if (refresh || !slot)
            slot = pulseBackend().devices(dir);
        return *slot;
    }
    // The server's current default, looked up without renumbering the devices.
    std::optional<DeviceInfo> currentDefault(Direction dir)
    {
        auto fresh = pulseBackend().devices(dir);
        if (fresh.empty())
            return std::nullopt;
        return fresh.front();
    }

private:
    std::mutex m_;
    std::optional<std::vector<DeviceInfo>> capture_, playback_;
};

ServerListing& serverListing()
{
    static ServerListing& l = *new ServerListing;
    return l;
}

struct Resolved {
    Backend* backend = nullptr;
    DeviceInfo info;
};

std::vector<DeviceInfo> serverDevices(Direction dir, bool refresh)
{
    if (!useServer.load())
        return {};
    return serverListing().get(dir, refresh);
}

unsigned int numDevs(Direction dir)
{
    return static_cast<unsigned int>(virtualBackend().devices(dir).size() + serverDevices(dir, true).size());
}

std::optional<Resolved> resolve(Direction dir, std::uintptr_t id)
{
    auto virt = virtualBackend().devices(dir);
    if (id == WAVE_MAPPER || id == static_cast<std::uintptr_t>(-1)) {
        if (useServer.load())
            if (auto def = serverListing().currentDefault(dir))
                return Resolved{&pulseBackend(), *def};
        if (!virt.empty())
            return Resolved{&virtualBackend(), virt.front()};
        return std::nullopt;
    }
    if (id < virt.size())
        return Resolved{&virtualBackend(), virt[id]};
    auto server = serverDevices(dir, false);
    if (id - virt.size() < server.size())
        return Resolved{&pulseBackend(), server[id - virt.size()]};
    return std::nullopt;
}

void copyName(char (&dst)[MAXPNAMELEN], const std::string& name)
{
    std::memset(dst, 0, MAXPNAMELEN);
    std::memcpy(dst, name.data(), std::min<std::size_t>(name.size(), MAXPNAMELEN - 1));
}

template <class Caps>
MMRESULT getCaps(Direction dir, std::uintptr_t id, Caps* out, unsigned int size)
{
    if (!out || size == 0)
        return MMSYSERR_INVALPARAM;
    auto r = resolve(dir, id);
    if (!r)
        return MMSYSERR_BADDEVICEID;
    Caps caps{};
    caps.wMid = 0xFFFF;
    caps.wPid = 0xFFFF;
    caps.vDriverVersion = 0x0100;
    copyName(caps.szPname, r->info.name);
    caps.dwFormats = 0x000FFFFF;  // every WAVE_FORMAT_xMxx bit up to 96 kHz: the backends take any rate
    caps.wChannels = r->info.channels;
    std::memcpy(out, &caps, std::min<std::size_t>(size, sizeof caps));
    return MMSYSERR_NOERROR;
}

template <class Handle>
MMRESULT openDevice(Direction dir, Handle* out, unsigned int id, const WAVEFORMATEX* fmt, DWORD_PTR callback,
                    DWORD_PTR instance, DWORD flags)
{
    if (out)
        *out = nullptr;
    if (!out || !fmt)
        return MMSYSERR_INVALPARAM;
    DWORD type = flags & 0x70000;
    if (type != CALLBACK_NULL && type != CALLBACK_FUNCTION)
        return MMSYSERR_INVALFLAG;
    if (type == CALLBACK_FUNCTION && !callback)
        return MMSYSERR_INVALPARAM;
    if (!isSupportedPcm(*fmt))
        return WAVERR_BADFORMAT;
    auto r = resolve(dir, id);
    if (!r)
        return MMSYSERR_BADDEVICEID;
    auto dev = std::make_shared<Device>(dir, callback, instance, flags);
    // The handle must exist before the first callback (WIM_OPEN) can name it.
    DWORD_PTR h = handles().add(dev);
    MMRESULT res = dev->open(*r->backend, r->info, *fmt);
    if (res != MMSYSERR_NOERROR) {
        handles().take(reinterpret_cast<void*>(h), dir);
        return res;
    }
    *out = reinterpret_cast<Handle>(h);
    return MMSYSERR_NOERROR;
}

MMRESULT checkHeader(const WAVEHDR* h, unsigned int size)
{
    return (!h || size < sizeof(WAVEHDR)) ? MMSYSERR_INVALPARAM : MMSYSERR_NOERROR;
}

template <class Fn>
MMRESULT withDevice(const void* handle, Direction dir, Fn fn)
{
    auto d = handles().find(handle, dir);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    return fn(*d);
}

template <class Fn>
MMRESULT withHeader(const void* handle, Direction dir, WAVEHDR* h, unsigned int size, Fn fn)
{
    auto d = handles().find(handle, dir);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (MMRESULT r = checkHeader(h, size))
        return r;
    return fn(*d, h);
}

MMRESULT closeDevice(const void* handle, Direction dir)
{
    auto d = handles().find(handle, dir);
    if (!d)
        return MMSYSERR_INVALHANDLE;
    if (d->busy())
        return WAVERR_STILLPLAYING;
    d = handles().take(handle, dir);
    if (!d)
        return MMSYSERR_INVALHANDLE;  // closed meanwhile by another thread
    d->close();
    return MMSYSERR_NOERROR;
}

constexpr auto In = Direction::Capture;
constexpr auto Out = Direction::Playback;

}  // namespace

extern "C" {

unsigned int waveInGetNumDevs()
{
    return numDevs(In);
}

MMRESULT waveInGetDevCapsA(std::uintptr_t id, WAVEINCAPSA* caps, unsigned int size)
{
    return getCaps(In, id, caps, size);
}

MMRESULT waveInOpen(HWAVEIN* out, unsigned int id, const WAVEFORMATEX* fmt, DWORD_PTR callback, DWORD_PTR instance,
                    DWORD flags)
{
    return openDevice(In, out, id, fmt, callback, instance, flags);
}

MMRESULT waveInPrepareHeader(HWAVEIN h, WAVEHDR* hdr, unsigned int size)
{
    return withHeader(h, In, hdr, size, [](Device&, WAVEHDR* x) { return Device::prepare(x); });
}

MMRESULT waveInUnprepareHeader(HWAVEIN h, WAVEHDR* hdr, unsigned int size)
{
    return withHeader(h, In, hdr, size, [](Device& d, WAVEHDR* x) { return d.unprepare(x); });
}

MMRESULT waveInAddBuffer(HWAVEIN h, WAVEHDR* hdr, unsigned int size)
{
    return withHeader(h, In, hdr, size, [](Device& d, WAVEHDR* x) { return d.enqueue(x); });
}

MMRESULT waveInStart(HWAVEIN h)
{
    return withDevice(h, In, [](Device& d) { return d.start(); });
}

MMRESULT waveInStop(HWAVEIN h)
{
    return withDevice(h, In, [](Device& d) { return d.stopCapture(false); });
}

MMRESULT waveInReset(HWAVEIN h)
{
    return withDevice(h, In, [](Device& d) { return d.stopCapture(true); });
}

MMRESULT waveInClose(HWAVEIN h)
{
    return closeDevice(h, In);
}

unsigned int waveOutGetNumDevs()
{
    return numDevs(Out);
}

MMRESULT waveOutGetDevCapsA(std::uintptr_t id, WAVEOUTCAPSA* caps, unsigned int size)
{
    return getCaps(Out, id, caps, size);
}

MMRESULT waveOutOpen(HWAVEOUT* out, unsigned int id, const WAVEFORMATEX* fmt, DWORD_PTR callback, DWORD_PTR instance,
                     DWORD flags)
{
    return openDevice(Out, out, id, fmt, callback, instance, flags);
}

MMRESULT waveOutPrepareHeader(HWAVEOUT h, WAVEHDR* hdr, unsigned int size)
{
    return withHeader(h, Out, hdr, size, [](Device&, WAVEHDR* x) { return Device::prepare(x); });
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT h, WAVEHDR* hdr, unsigned int size)
{
    return withHeader(h, Out, hdr, size, [](Device& d, WAVEHDR* x) { return d.unprepare(x); });
}

MMRESULT waveOutWrite(HWAVEOUT h, WAVEHDR* hdr, unsigned int size)
{
    return withHeader(h, Out, hdr, size, [](Device& d, WAVEHDR* x) { return d.enqueue(x); });
}

MMRESULT waveOutPause(HWAVEOUT h)
{
    return withDevice(h, Out, [](Device& d) { return d.pause(true); });
}

MMRESULT waveOutRestart(HWAVEOUT h)
{
    return withDevice(h, Out, [](Device& d) { return d.pause(false); });
}

MMRESULT waveOutReset(HWAVEOUT h)
{
    return withDevice(h, Out, [](Device& d) { return d.resetPlayback(); });
}

MMRESULT waveOutClose(HWAVEOUT h)
{
    return closeDevice(h, Out);
}

}  // extern "C"

namespace vaudio {

void UseServerDevices(bool use)
{
    useServer.store(use);
}

}  // namespace vaudio
