// Listening: AudioMonitor captures 16-bit mono PCM at 11025 Hz from one input
// device and feeds every detected key to a CommandReader on a worker thread.
//
//     CommandReader reader(window);                  // WM_DTMFCOMMAND goes to `window`
//     auto* monitor = new AudioMonitor(&reader, 0);  // listens on input device 0
//     WaitPumping([&] { return done; });             // the window's thread handles the texts
//     delete monitor;                                // before the reader it feeds
//
// Threads: one monitor listens in a process at a time; a second one set up
// meanwhile is inert. Construction and destruction may happen on any thread; the
// destructor blocks until the worker has ended, handling the messages sent to the
// calling thread's windows meanwhile, so a window of that thread may receive
// texts until it returns. The reader's texts and WM_DTMFSTATE are sent from the
// worker thread and wait for the window's thread to handle them. The static
// queries may be called from any thread.
#pragma once

#include <atomic>
#include <string>

#include "KeyDetector.h"
#include "Messages.h"
#include "VardellExport.h"
#include "WaveAudio.h"

class AudioQueue;
class CommandReader;
class FFT;
class ListeningSession;

// Whether the monitor is listening. Lost: the input device went away (the sound
// server stopped, the device was removed); the monitor re-opens it by itself as
// soon as it can, and is Listening again from then on.
enum class MonitorState { Idle, Listening, Lost };

// Sent (synchronously, from the worker) to the window given to
// AudioMonitor::NotifyStateTo on every change between Listening and Lost.
// wParam: the new MonitorState; lParam: address of the NUL-terminated reason of a
// loss (valid during the call only), 0 on resuming.
constexpr UINT WM_DTMFSTATE = WM_USER + 3;

class VARDELL_API AudioMonitor {
public:
    // Listens on the input device named `deviceName` (WAVE_MAPPER when no name
    // matches) with a reader of its own that notifies `hwnd`. Opens the device and
    // starts capture and the worker before it returns; reports nothing (see State).
    AudioMonitor(HWND hwnd, std::string deviceName);
    // Listens on input device `device` with the caller's reader (not owned).
    AudioMonitor(CommandReader* reader, int device);
    // Stops the worker (blocking, pumping) and releases the device; any thread.
    ~AudioMonitor();
    AudioMonitor(const AudioMonitor&) = default;
    AudioMonitor& operator=(const AudioMonitor& other);

    // Asks the worker to end, without waiting for it; any thread.
    void Quit();

    // The state of the monitor set up in this process (Idle when none is, or its set-up failed).
    static MonitorState State();
    // Opts in to WM_DTMFSTATE for the monitor set up now (null opts out); false when none is.
    static bool NotifyStateTo(HWND hwnd);
    // Strict detection (StrictDetector.h) for the monitors set up after this
    // call; off unless asked for. Read when a monitor is set up.
    static void SetStrictDetection(bool on);

    // The worker's body: runs on the thread that a set-up starts, for its monitor,
    // and returns at once on any other.
    static void ThreadFunc();
    // The capture callback, on the device's callback thread; its instance value
    // names the monitor's session.
    static void WaveCallback(HWAVEIN hwi, unsigned int uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                             DWORD_PTR dwParam2);

private:
    friend class ListeningSession;  // keeps the class-wide members below up to date
    static void TearDown();

    bool ownsReader = false;  // this object's set-up created the reader

    static CommandReader* myReader;
    static AudioQueue* queue;
    static FFT* myFFT;
    static std::atomic<bool> quit;
    static HWAVEIN wavdev;
    static std::atomic<void*> myThread;
    static int threshold;
    static std::atomic<bool> strictDetection;
};
