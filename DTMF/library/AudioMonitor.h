// Listening: AudioMonitor captures 16-bit mono PCM at 11025 Hz from one input
// device and feeds every detected key to a CommandReader on a worker thread.
// KeyDetector is the per-block DTMF classifier with its debounce.
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
    // matches) with a reader of its own that notifies `hwnd`.
    AudioMonitor(HWND hwnd, std::string deviceName);
    // Listens on input device `device` with the caller's reader (not owned).
    AudioMonitor(CommandReader* reader, int device);
    ~AudioMonitor();
    AudioMonitor(const AudioMonitor&) = default;
    AudioMonitor& operator=(const AudioMonitor& other);

    void Quit();

    // The state of the monitor set up in this process (Idle when none is, or its set-up failed).
    static MonitorState State();
    // Opts in to WM_DTMFSTATE for the monitor set up now (null opts out); false when none is.
    static bool NotifyStateTo(HWND hwnd);
    // Strict detection (StrictDetector.h) for the monitors set up after this
    // call; off unless asked for. Read when a monitor is set up.
    static void SetStrictDetection(bool on);

    static void ThreadFunc();
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
