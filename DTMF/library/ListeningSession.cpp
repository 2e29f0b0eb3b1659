#include "ListeningSession.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "AudioQueue.h"
#include "CommandReader.h"
#include "DeviceNames.h"
#include "FFT.h"
#include "KeyEngine.h"

namespace {

// The worker's session: ThreadFunc, whose signature takes no argument, finds it here.
thread_local ListeningSession* serving = nullptr;

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
    wavForm.nSamplesPerSec = dtmf::kRate;
    wavForm.nAvgBytesPerSec = dtmf::kRate * 2;
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

ListeningSession* ListeningSession::Serving()
{
    return serving;
}

bool ListeningSession::Start()
{
    try {
        fft = std::make_unique<FFT>(dtmf::kBlock);
        engine = std::make_unique<KeyEngine>(KeyEngine::Into(*reader), *fft, AudioMonitor::strictDetection.load());
    } catch (const std::exception&) {
        return false;
    }
    AudioMonitor::myFFT = fft.get();
    if (!OpenDevice(target.device))
        return false;
    state = MonitorState::Listening;

    // Set before the start: the worker clears them as it ends, possibly at once.
    working = true;
    AudioMonitor::myThread = &worker;
    try {
        worker = std::thread([this] {
            serving = this;
            AudioMonitor::ThreadFunc();
        });
    } catch (const std::exception&) {
        working = false;
        AudioMonitor::myThread = nullptr;
        return false;
    }
    return true;
}

void ListeningSession::Work()
{
    static_assert(AudioQueue::BufferBytes == dtmf::kBlock * sizeof(short));
    short block[dtmf::kBlock];
    std::uint32_t tickCount = 0;  // taken with each block; detection does not use it

    // The stop request is looked at only with the queue empty, so every block
    // waiting when it comes (even before the first pass) is still handled.
    for (;;) {
        // Read before draining: a block put after the last Get changes it, so
        // the wait below cannot miss one.
        const std::uint32_t seen = Wakeups();
        while (queue && queue->Get(block, &tickCount))
            engine->Feed(block, dtmf::kBlock);
        if (stopping)
            break;
        if (!Recover()) {
            // A plain wait: std::atomic's spins and yields first, which costs an idle
            // listener more than the block it waits for.
            std::unique_lock guard(wakeLock);
            woken.wait(guard, [&] { return wakeups != seen; });
        }
    }

    working = false;
    AudioMonitor::myThread = nullptr;
    NotifyPumpingThreads();
}

bool ListeningSession::OpenDevice(unsigned int index)
{
    const WAVEFORMATEX wavForm = CaptureFormat();
    HWAVEIN opened = nullptr;
    lost = false;  // before the open: the new device may be lost at once
    if (waveInOpen(&opened, index, &wavForm, reinterpret_cast<DWORD_PTR>(&AudioMonitor::WaveCallback),
                   reinterpret_cast<DWORD_PTR>(this), CALLBACK_FUNCTION | WAVE_CALLBACK_INLINE) != MMSYSERR_NOERROR)
        return false;
    device = AudioMonitor::wavdev = opened;
    // Set before capture starts, so the callback never sees it unset while capturing.
    queue = AudioQueue::Create(device);
    AudioMonitor::queue = queue.get();
    if (!queue)
        return false;
    capturing = queue.get();
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
    capturing = nullptr;
    AudioMonitor::queue = nullptr;
    queue.reset();
    waveInClose(device);
    device = AudioMonitor::wavdev = nullptr;
}

void ListeningSession::Stop()
{
    RequestStop();
    // Pumping, not sleeping: the worker may be inside a notification to a window
    // of this very thread, and it cannot end until that has been handled.
    if (working.load())
        WaitPumping([this] { return !working.load(); });
    if (worker.joinable())
        worker.join();
}

void ListeningSession::RequestStop()
{
    stopping = true;
    AudioMonitor::quit = true;
    {
        std::lock_guard guard(mutex);  // a back-off wait checks `stopping` under it
    }
    backOff.notify_all();
    Wake();
}

ListeningSession::~ListeningSession()
{
    if (worker.joinable())
        worker.join();  // only when Stop was never called: the worker never ran its loop
    if (ownsReader)
        delete reader;
    AudioMonitor::myReader = nullptr;
    CloseDevice();
    AudioMonitor::myFFT = nullptr;
    engine.reset();
    fft.reset();
    AudioMonitor::quit = true;
    state = MonitorState::Idle;
}

void ListeningSession::Wake()
{
    {
        std::lock_guard guard(wakeLock);
        ++wakeups;
    }
    woken.notify_one();
}

std::uint32_t ListeningSession::Wakeups()
{
    std::lock_guard guard(wakeLock);
    return wakeups;
}

void ListeningSession::OnDeviceMessage(unsigned int msg, DWORD_PTR param)
{
    if (msg == WIM_LOST) {
        {
            std::lock_guard guard(mutex);
            reason = param ? reinterpret_cast<const char*>(param) : "";
        }
        lost = true;
        Wake();
    }
    if (msg != WIM_DATA || !param)
        return;
    // Null only while a queue is being created or has failed to be: the device
    // then returns its buffers unfilled, and they are not wanted.
    if (AudioQueue* q = capturing.load()) {
        auto* header = reinterpret_cast<WAVEHDR*>(param);
        // Digital silence decides no key: a run of it waits for the next block with
        // sound (or the eighth), which the worker then takes in order with it. Read
        // before the queue has the buffer: the worker may then give it back to the device.
        const char* data = header->lpData;
        const bool silent = std::all_of(data, data + header->dwBytesRecorded, [](char b) { return b == 0; });
        q->Put(header);
        if (!silent || ++quietBlocks == kQuietBlocks) {
            quietBlocks = 0;
            Wake();
        }
    }
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
    const auto found = vaudio::FindDevice(vaudio::DeviceKind::Input, target.reopenName);
    if (found)
        index = *found;
    return found.has_value();
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
    while (!stopping) {
        {
            std::unique_lock guard(mutex);
            if (backOff.wait_for(guard, wait, [this] { return stopping.load(); }))
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
