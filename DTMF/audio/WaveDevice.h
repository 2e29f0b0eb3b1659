// One open waveIn or waveOut handle: the queue of the caller's WAVEHDR blocks,
// the Win32 rules about their flags, and a callback thread that delivers the
// device's messages in order. Backends (AudioBackend.h) only move the bytes.
//
// A device is shared by the handle table and its callback thread, so that a close
// from inside a callback can leave the thread to finish alone.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "AudioBackend.h"

namespace waveaudio {

class WaveDevice : public std::enable_shared_from_this<WaveDevice> {
public:
    WaveDevice(Direction dir, DWORD_PTR callback, DWORD_PTR instance, bool inlineCallbacks);
    virtual ~WaveDevice() = default;

    Direction Dir() const { return dir; }
    void SetHandle(DWORD_PTR h) { handle = h; }

    // Opens the backend's stream and starts the callback thread (WIM_OPEN / WOM_OPEN first).
    MMRESULT Open(Backend& backend, const DeviceInfo& info, const WAVEFORMATEX& format);
    static MMRESULT Prepare(WAVEHDR* header);
    MMRESULT Unprepare(WAVEHDR* header);
    // Queues a block behind the others and hands it to the stream.
    MMRESULT Enqueue(WAVEHDR* header);
    bool Busy();
    // The handle is already out of the table; no callback is made after this returns.
    void Close();

protected:
    virtual MMRESULT OpenStream(Backend& backend, const DeviceInfo& info, const WAVEFORMATEX& format) = 0;
    // Called with `op` held once the block is queued; an error takes it back out if it is still there.
    virtual MMRESULT HandOver(WAVEHDR* header) = 0;
    virtual void DropStream() = 0;  // with `op` held

    bool IsLost();  // takes `lock`

    // Marks a backend's sink call for its length; with `lock` held.
    struct SinkCall {
        explicit SinkCall(bool& flag) : flag(flag) { flag = true; }
        ~SinkCall() { flag = false; }
        bool& flag;
    };

    // The rest is called with `lock` held.
    void CompleteFront(unsigned int msg);
    void Post(unsigned int msg, DWORD_PTR param1);
    // Says why once, then gives back every queued block with `doneMsg`.
    void LoseLocked(std::string_view why, unsigned int lostMsg, unsigned int doneMsg);

    // Waits until every message posted so far has been delivered (delivers them
    // itself when called from the callback thread, where waiting would deadlock).
    void AwaitDelivery();

    std::mutex op;  // serialises stream calls; taken before `lock`, never while a callback runs
    std::mutex lock;
    std::deque<WAVEHDR*> queue;  // capture: buffers to fill; playback: blocks, the front one playing
    bool lost = false;
    bool inSink = false;  // a backend's sink call is under way: what it posts may be delivered inline

private:
    struct Event {
        unsigned int msg;
        DWORD_PTR param1;
    };
    void Deliver(bool serve);
    void Invoke(const Event& event);

    const Direction dir;
    const DWORD_PTR callback;
    const DWORD_PTR instance;
    const bool inlineCallbacks;
    DWORD_PTR handle = 0;
    std::string reason;  // why the device was lost; set once
    std::condition_variable wake;
    std::deque<Event> events;
    std::uint64_t posted = 0;
    std::uint64_t delivered = 0;
    bool exit = false;
    std::thread thread;
};

class CaptureDevice final : public WaveDevice, public CaptureSink {
public:
    using WaveDevice::WaveDevice;
    MMRESULT Start();
    // Stop gives back only the partly filled buffer; Reset (all) gives back every one.
    MMRESULT Stop(bool all);

    void Captured(const std::uint8_t* data, std::size_t bytes) override;
    std::size_t Room() override;
    void Failed(std::string_view why) override;

private:
    MMRESULT OpenStream(Backend& backend, const DeviceInfo& info, const WAVEFORMATEX& format) override;
    MMRESULT HandOver(WAVEHDR* header) override;
    void DropStream() override { stream.reset(); }
    void CompleteFrontLocked();

    std::unique_ptr<CaptureStream> stream;
    std::size_t fill = 0;  // bytes already in the front buffer
    bool started = false;
};

class PlaybackDevice final : public WaveDevice, public PlaybackSink {
public:
    using WaveDevice::WaveDevice;
    MMRESULT Pause(bool paused);
    MMRESULT Reset();

    void Played() override;
    void Failed(std::string_view why) override;

private:
    MMRESULT OpenStream(Backend& backend, const DeviceInfo& info, const WAVEFORMATEX& format) override;
    MMRESULT HandOver(WAVEHDR* header) override;
    void DropStream() override { stream.reset(); }

    std::unique_ptr<PlaybackStream> stream;
};

}  // namespace waveaudio
