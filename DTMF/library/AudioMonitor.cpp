#include "AudioMonitor.h"

#include <cstring>
#include <exception>
#include <new>
#include <string_view>
#include <thread>

#include "AudioQueue.h"
#include "CommandReader.h"
#include "FFT.h"
#include "KeyEngine.h"

CommandReader* AudioMonitor::myReader = nullptr;
AudioQueue* AudioMonitor::queue = nullptr;
FFT* AudioMonitor::myFFT = nullptr;
std::atomic<bool> AudioMonitor::quit{false};
HWAVEIN AudioMonitor::wavdev = nullptr;
std::atomic<void*> AudioMonitor::myThread{nullptr};
std::atomic<bool> AudioMonitor::strictDetection{false};
int AudioMonitor::threshold = KeyEngine::kDetectionFactor;

namespace {

constexpr int BlockSamples = AudioQueue::BufferBytes / 2;

// A monitor has been set up and not yet torn down. Cleared only at the very end
// of a teardown, so a constructor reached from a message handled while the
// teardown waits for the worker stays inert instead of clobbering the state.
std::atomic<bool> monitorActive{false};

// Whether the set-up in force created myReader. Ownership follows the set-up,
// not the object being destroyed: any object's destructor tears the class-wide
// state down, so a per-object flag could free a caller's reader or leak ours.
bool readerOwned = false;

// Bumped after every queued block and every stop request; the worker sleeps on
// it when the queue is empty instead of polling.
std::atomic<std::uint32_t> wakeups{0};

void Wake()
{
    wakeups.fetch_add(1);
    wakeups.notify_all();
}

// The worker's thread; myThread points at it while the worker runs. A process
// that exits with a monitor still set up must not terminate on its destructor.
struct Worker {
    std::thread thread;
    ~Worker()
    {
        if (thread.joinable())
            thread.detach();
    }
} worker;

}  // namespace

AudioMonitor::AudioMonitor(HWND hwnd, std::string deviceName)
{
    if (monitorActive.exchange(true))
        return;
    myReader = new (std::nothrow) CommandReader(hwnd);
    readerOwned = true;
    quit = false;
    ownsReader = true;
    if (!myReader) {
        TearDown();
        return;
    }

    // The last exact match wins; no match leaves the system's choice.
    unsigned int device = WAVE_MAPPER;
    const unsigned int count = waveInGetNumDevs();
    for (unsigned int i = 0; i < count; ++i) {
        WAVEINCAPSA caps{};
        if (waveInGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR)
            continue;
        if (deviceName == std::string_view(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname)))
            device = i;
    }
    SetUp(static_cast<int>(device));
}

AudioMonitor::AudioMonitor(CommandReader* reader, int device)
{
    if (monitorActive.exchange(true))
        return;
    myReader = reader;
    readerOwned = false;
    quit = false;
    ownsReader = false;
    if (!reader) {
        TearDown();  // the worker would hand keys to nothing
        return;
    }
    SetUp(device);
}

AudioMonitor::~AudioMonitor()
{
    TearDown();
}

AudioMonitor& AudioMonitor::operator=(const AudioMonitor& other)
{
    ownsReader = other.ownsReader;
    return *this;
}

void AudioMonitor::Quit()
{
    quit = true;
    Wake();
}

void AudioMonitor::SetStrictDetection(bool on)
{
    strictDetection = on;
}

void AudioMonitor::SetUp(int device)
{
    try {
        myFFT = new FFT(BlockSamples);
    } catch (const std::exception&) {
        TearDown();
        return;
    }

    WAVEFORMATEX wavForm{};
    wavForm.wFormatTag = WAVE_FORMAT_PCM;
    wavForm.nChannels = 1;
    wavForm.nSamplesPerSec = 11025;
    wavForm.nAvgBytesPerSec = 22050;
    wavForm.nBlockAlign = 2;
    wavForm.wBitsPerSample = 16;
    wavForm.cbSize = 0;
    if (waveInOpen(&wavdev, static_cast<unsigned int>(device), &wavForm, reinterpret_cast<DWORD_PTR>(&WaveCallback), 0,
                   CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
        wavdev = nullptr;
        TearDown();
        return;
    }

    // Set before capture starts, so the callback never sees it unset while capturing.
    queue = AudioQueue::Create(wavdev).release();
    if (!queue) {
        TearDown();
        return;
    }
    waveInStart(wavdev);

    // Published before the start: the worker clears it as it ends, possibly at once.
    myThread = &worker.thread;
    try {
        worker.thread = std::thread(ThreadFunc);
    } catch (const std::exception&) {
        myThread = nullptr;
        TearDown();
    }
}

void AudioMonitor::TearDown()
{
    quit = true;
    Wake();
    // Pumping, not sleeping: the worker may be inside a notification to a window
    // of this very thread, and it cannot end until that has been handled.
    if (myThread.load() != nullptr)
        WaitPumping([] { return myThread.load() == nullptr; });
    if (worker.thread.joinable())
        worker.thread.join();

    // Every buffer back from the device before the queue frees it; with no buffer
    // left to fill, no completion can reach the queue after this.
    if (wavdev)
        waveInReset(wavdev);

    if (myReader) {
        if (readerOwned)
            delete myReader;
        myReader = nullptr;
    }
    readerOwned = false;
    if (queue) {
        delete queue;
        queue = nullptr;
    }
    if (wavdev) {
        waveInClose(wavdev);
        wavdev = nullptr;
    }
    if (myFFT) {
        delete myFFT;
        myFFT = nullptr;
    }
    monitorActive = false;
}

void AudioMonitor::ThreadFunc()
{
    KeyEngine engine(KeyEngine::Into(*myReader), *myFFT, threshold, strictDetection);
    short aBuffer[2 * BlockSamples];
    std::uint32_t tickCount = 0;  // taken with each block; detection does not use it

    // The stop request is looked at only with the queue empty, so every block
    // waiting when it comes (even before the first pass) is still handled.
    for (;;) {
        // Read before draining: a block put after the last Get changes it, so
        // the wait below cannot miss one.
        const std::uint32_t seen = wakeups.load();
        while (queue->Get(aBuffer, &tickCount))
            engine.Feed(aBuffer, BlockSamples);
        if (quit)
            break;
        wakeups.wait(seen);
    }

    myThread = nullptr;
    NotifyPumpingThreads();
}

void AudioMonitor::WaveCallback(HWAVEIN, unsigned int uMsg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR)
{
    if (uMsg != WIM_DATA || !dwParam1)
        return;
    // Null only while a queue is being created or has failed to be: the device
    // then returns its buffers unfilled, and they are not wanted.
    if (AudioQueue* q = queue) {
        q->Put(reinterpret_cast<WAVEHDR*>(dwParam1));
        Wake();
    }
}
