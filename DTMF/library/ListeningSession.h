// All running state of the one monitor set up in a process: the input device,
// its capture queue, the analyser, the worker and the reader it feeds. The
// class-wide members of AudioMonitor are views of the session, kept up to date
// by it. When capture is lost, the worker re-opens the same device by itself.
//
// One captured block goes one way: the device's callback thread hands it to the
// session whose address is the callback's instance value (OnDeviceMessage), which
// queues it and wakes the worker; the worker (AudioMonitor::ThreadFunc, run for
// this session) takes it out, gives the buffer back and feeds the engine, whose
// keys reach the reader.
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
    // Asks the worker to end (at once, even from a back-off wait) without waiting for it. Any thread.
    void RequestStop();

    // The session whose worker is the calling thread, or null on any other thread.
    static ListeningSession* Serving();
    // Worker: takes every waiting block to the engine, recovers a lost device, and
    // waits for more, until a stop is asked for.
    void Work();

    // Device callback thread: one wave-input message for this session.
    void OnDeviceMessage(unsigned int msg, DWORD_PTR param);

    MonitorState State() const { return state.load(); }
    void NotifyStateTo(HWND hwnd);

private:
    bool OpenDevice(unsigned int device);
    void CloseDevice();
    bool FindAgain(unsigned int& device);
    bool Recover();
    void Announce(MonitorState next, const char* reason);
    void Wake();

    CommandReader* const reader;
    const bool ownsReader;
    const Target target;
    std::unique_ptr<FFT> fft;
    std::unique_ptr<KeyEngine> engine;            // borrows fft
    std::unique_ptr<AudioQueue> queue;            // the worker's; the set-up's before it starts
    std::atomic<AudioQueue*> capturing{nullptr};  // the callback's view: null while the queue changes
    HWAVEIN device = nullptr;
    std::thread worker;

    std::uint32_t Wakeups();
    std::mutex wakeLock;  // guards wakeups; with `woken`, the worker's wait
    std::condition_variable woken;
    std::uint32_t wakeups = 0;  // bumped by every block, loss and stop request
    static constexpr int kQuietBlocks = 8;
    int quietBlocks = 0;  // silent blocks queued since the worker was last woken; the callback's
    std::atomic<bool> lost{false};
    std::atomic<bool> stopping{false};
    std::atomic<bool> working{false};  // the worker is between its start and its end
    std::atomic<MonitorState> state{MonitorState::Idle};
    std::mutex mutex;  // guards reason, stateWindow; with `backOff`, the back-off wait
    std::condition_variable backOff;
    std::string reason;
    HWND stateWindow = nullptr;
};
