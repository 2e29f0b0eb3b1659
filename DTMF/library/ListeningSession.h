// All running state of the one monitor set up in a process: the input device,
// its capture queue, the analyser, the worker and the reader it feeds. The
// class-wide members of AudioMonitor are views of the session, kept up to date
// by it. When capture is lost, the worker re-opens the same device by itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "AudioMonitor.h"

class KeyEngine;

class ListeningSession {
public:
    // The device to listen on, and how to find it again after a loss.
    struct Target {
        unsigned int device = WAVE_MAPPER;
        std::string reopenName;                   // look for the device of this name, and wait for it...
        unsigned int reopenDevice = WAVE_MAPPER;  // ...or, with no name, re-open this one
    };

    ListeningSession(CommandReader* reader, bool ownsReader, Target target);
    // Releases everything; the worker has ended (Stop) or never started.
    ~ListeningSession();
    ListeningSession(const ListeningSession&) = delete;
    ListeningSession& operator=(const ListeningSession&) = delete;

    // Analyser, device, queue, capture and worker, in that order; false when a step fails.
    bool Start();
    // Asks the worker to end and waits for it, handling messages sent to this thread meanwhile.
    void Stop();

    // The session whose device may call back now, if any.
    static ListeningSession* Live();

    // Worker: waits until a block is put, a loss is reported or a stop is asked for,
    // unless one of them has happened since `seen` was read from Wakeups().
    std::uint32_t Wakeups() const { return wakeups.load(); }
    void WaitForWork(std::uint32_t seen) { wakeups.wait(seen); }
    // Worker: when capture has been lost, re-opens the device (with back-off) and
    // returns true once it listens again or a stop was asked for; false when nothing was lost.
    bool Recover();

    // Device callback thread.
    void Wake();
    void OnLost(const char* reason);

    // The detection road from the worker's blocks to the reader.
    KeyEngine& Engine() { return *engine; }

    MonitorState State() const { return state.load(); }
    void NotifyStateTo(HWND hwnd);
    void Nudge();  // a stop was asked for: end a back-off wait at once

private:
    bool OpenDevice(unsigned int device);
    void CloseDevice();
    bool FindAgain(unsigned int& device);
    void Announce(MonitorState next, const char* reason);

    CommandReader* const reader;
    const bool ownsReader;
    const Target target;
    std::unique_ptr<FFT> fft;
    std::unique_ptr<KeyEngine> engine;  // borrows fft
    std::unique_ptr<AudioQueue> queue;
    HWAVEIN device = nullptr;
    std::thread worker;

    std::atomic<std::uint32_t> wakeups{0};
    std::atomic<bool> lost{false};
    std::atomic<MonitorState> state{MonitorState::Idle};
    std::mutex mutex;  // guards reason, stateWindow; with `backOff`, the back-off wait
    std::condition_variable backOff;
    std::string reason;
    HWND stateWindow = nullptr;
};
