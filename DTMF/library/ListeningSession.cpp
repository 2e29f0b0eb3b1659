#include "ListeningSession.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <string_view>

#include "AudioQueue.h"
#include "CommandReader.h"
#include "FFT.h"
#include "KeyEngine.h"

namespace {

std::atomic<ListeningSession*> live{nullptr};

using namespace std::chrono_literals;
// Re-open attempts while the device is lost: quick at first (a server that
// restarts is back within a second), then every half second.
constexpr auto kFirstRetry = 50ms;
constexpr auto kLastRetry = 500ms;

WAVEFORMATEX CaptureFormat()
{
    WAVEFORMATEX wavForm{};
    wavForm.wFormatTag = WAVE_FORMAT_PCM;
    wavForm.nChannels = 1;
    wavForm.nSamplesPerSec = 11025;
    wavForm.nAvgBytesPerSec = 22050;
    wavForm.nBlockAlign = 2;
    wavForm.wBitsPerSample = 16;
    wavForm.cbSize = 0;
    return wavForm;
}

}  // namespace

ListeningSession::ListeningSession(CommandReader* reader, bool ownsReader, Target target)
    : reader(reader), ownsReader(ownsReader), target(std::move(target))
{
    AudioMonitor::myReader = reader;
    AudioMonitor::quit = false;
}

ListeningSession* ListeningSession::Live()
{
    return live.load();
}

bool ListeningSession::Start()
{
    try {
        fft = std::make_unique<FFT>(AudioQueue::BufferBytes / 2);
        engine = std::make_unique<KeyEngine>(KeyEngine::Into(*reader), *fft, AudioMonitor::threshold,
                                             AudioMonitor::strictDetection.load());
    } catch (const std::exception&) {
        return false;
    }
    AudioMonitor::myFFT = fft.get();
    live = this;
    if (!OpenDevice(target.device))
        return false;
    state = MonitorState::Listening;

    // Published before the start: the worker clears it as it ends, possibly at once.
    AudioMonitor::myThread = &worker;
    try {
        worker = std::thread(AudioMonitor::ThreadFunc);
    } catch (const std::exception&) {
        AudioMonitor::myThread = nullptr;
        return false;
    }
    return true;
}

bool ListeningSession::OpenDevice(unsigned int index)
{
    const WAVEFORMATEX wavForm = CaptureFormat();
    HWAVEIN opened = nullptr;
    lost = false;  // before the open: the new device may be lost at once
    if (waveInOpen(&opened, index, &wavForm, reinterpret_cast<DWORD_PTR>(&AudioMonitor::WaveCallback), 0,
                   CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        return false;
    device = AudioMonitor::wavdev = opened;
    // Set before capture starts, so the callback never sees it unset while capturing.
    queue = AudioQueue::Create(device);
    AudioMonitor::queue = queue.get();
    if (!queue)
        return false;
    waveInStart(device);
    return true;
}

void ListeningSession::CloseDevice()
{
    if (!device)
        return;
    // Every buffer back from the device before the queue frees it; with no buffer
    // left to fill, no completion can reach the queue after this.
    waveInReset(device);
    AudioMonitor::queue = nullptr;
    queue.reset();
    waveInClose(device);
    device = AudioMonitor::wavdev = nullptr;
}

void ListeningSession::Stop()
{
    AudioMonitor::quit = true;
    Wake();
    Nudge();
    // Pumping, not sleeping: the worker may be inside a notification to a window
    // of this very thread, and it cannot end until that has been handled.
    if (AudioMonitor::myThread.load() != nullptr)
        WaitPumping([] { return AudioMonitor::myThread.load() == nullptr; });
    if (worker.joinable())
        worker.join();
}

ListeningSession::~ListeningSession()
{
    if (worker.joinable())
        worker.join();  // only when Stop was never called: the worker never ran its loop
    if (AudioMonitor::myReader) {
        if (ownsReader)
            delete reader;
        AudioMonitor::myReader = nullptr;
    }
    CloseDevice();
    live = nullptr;
    AudioMonitor::myFFT = nullptr;
    engine.reset();
    fft.reset();
    AudioMonitor::quit = true;
    state = MonitorState::Idle;
}

void ListeningSession::Wake()
{
    wakeups.fetch_add(1);
    wakeups.notify_all();
}

void ListeningSession::Nudge()
{
    {
        std::lock_guard guard(mutex);
    }
    backOff.notify_all();
    Wake();
}

void ListeningSession::OnLost(const char* why)
{
    {
        std::lock_guard guard(mutex);
        reason = why ? why : "";
    }
    lost = true;
    Wake();
}

void ListeningSession::NotifyStateTo(HWND hwnd)
{
    std::lock_guard guard(mutex);
    stateWindow = hwnd;
}

void ListeningSession::Announce(MonitorState next, const char* why)
{
    state = next;
    HWND hwnd;
    {
        std::lock_guard guard(mutex);
        hwnd = stateWindow;
    }
    if (hwnd)
        SendMessageA(hwnd, WM_DTMFSTATE, static_cast<WPARAM>(next), reinterpret_cast<LPARAM>(why));
}

bool ListeningSession::FindAgain(unsigned int& index)
{
    if (target.reopenName.empty()) {
        index = target.reopenDevice;
        return true;
    }
    bool found = false;
    const unsigned int count = waveInGetNumDevs();
    for (unsigned int i = 0; i < count; ++i) {
        WAVEINCAPSA caps{};
        if (waveInGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR &&
            target.reopenName == std::string_view(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname)))
            index = i, found = true;
    }
    return found;
}

bool ListeningSession::Recover()
{
    if (!lost.load())
        return false;
    CloseDevice();
    std::string why;
    {
        std::lock_guard guard(mutex);
        why = reason;
    }
    Announce(MonitorState::Lost, why.c_str());
    auto wait = kFirstRetry;
    while (!AudioMonitor::quit) {
        {
            std::unique_lock guard(mutex);
            if (backOff.wait_for(guard, wait, [] { return AudioMonitor::quit.load(); }))
                break;
        }
        unsigned int index = WAVE_MAPPER;
        if (FindAgain(index) && OpenDevice(index)) {
            Announce(MonitorState::Listening, nullptr);
            return true;
        }
        CloseDevice();  // a device opened without its queue
        wait = std::min<std::chrono::milliseconds>(wait * 2, kLastRetry);
    }
    return true;
}
