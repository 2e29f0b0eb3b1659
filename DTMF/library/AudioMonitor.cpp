#include "AudioMonitor.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

#include "AudioQueue.h"
#include "CommandReader.h"
#include "FFT.h"
#include "KeyEngine.h"
#include "ListeningSession.h"

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

// Set-ups and teardowns meet under this one lock, on any thread.
std::mutex sessionLock;
// The session in force; a teardown takes it out under the lock and releases it outside.
std::unique_ptr<ListeningSession> current;
// A monitor has been set up and its teardown has not yet ended. Cleared only at
// the very end of a teardown, so a constructor reached from a message handled
// while the teardown waits for the worker stays inert instead of starting anew.
bool monitorActive = false;

std::string NameOf(unsigned int device)
{
    WAVEINCAPSA caps{};
    if (waveInGetDevCapsA(device, &caps, sizeof caps) != MMSYSERR_NOERROR)
        return {};
    return std::string(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
}

// Sets up a session, or leaves the state idle. Called with sessionLock held.
void SetUp(CommandReader* reader, bool ownsReader, ListeningSession::Target target)
{
    auto session = std::make_unique<ListeningSession>(reader, ownsReader, std::move(target));
    if (!reader || !session->Start()) {
        session.reset();  // releases what the set-up made (the reader too, if it is ours)
        monitorActive = false;
        return;
    }
    current = std::move(session);
}

}  // namespace

AudioMonitor::AudioMonitor(HWND hwnd, std::string deviceName)
{
    std::lock_guard guard(sessionLock);
    if (monitorActive)
        return;
    monitorActive = true;
    ownsReader = true;
    auto* reader = new (std::nothrow) CommandReader(hwnd);

    // The last exact match wins; no match leaves the system's choice.
    ListeningSession::Target target;
    const unsigned int count = reader ? waveInGetNumDevs() : 0;
    for (unsigned int i = 0; i < count; ++i)
        if (deviceName == NameOf(i))
            target.device = i;
    if (target.device != WAVE_MAPPER)
        target.reopenName = deviceName;
    SetUp(reader, true, std::move(target));
}

AudioMonitor::AudioMonitor(CommandReader* reader, int device)
{
    std::lock_guard guard(sessionLock);
    if (monitorActive)
        return;
    monitorActive = true;
    ownsReader = false;
    ListeningSession::Target target;
    target.device = static_cast<unsigned int>(device);
    // Device 0 and the mapper follow the system's choice when re-opened; any other by its name.
    if (target.device != 0 && target.device != WAVE_MAPPER) {
        target.reopenName = NameOf(target.device);
        target.reopenDevice = target.device;
    }
    SetUp(reader, false, std::move(target));
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
    std::lock_guard guard(sessionLock);
    if (current)
        current->Nudge();
}

void AudioMonitor::SetStrictDetection(bool on)
{
    strictDetection = on;
}

MonitorState AudioMonitor::State()
{
    std::lock_guard guard(sessionLock);
    return current ? current->State() : MonitorState::Idle;
}

bool AudioMonitor::NotifyStateTo(HWND hwnd)
{
    std::lock_guard guard(sessionLock);
    if (current)
        current->NotifyStateTo(hwnd);
    return current != nullptr;
}

// Whichever object it runs for, and on whichever thread: the state is class-wide.
// A teardown that finds no session (a second one, or one racing another) releases
// nothing and does not wait.
void AudioMonitor::TearDown()
{
    std::unique_ptr<ListeningSession> session;
    {
        std::lock_guard guard(sessionLock);
        session = std::move(current);
        quit = true;
    }
    if (!session)
        return;
    session->Stop();
    session.reset();
    std::lock_guard guard(sessionLock);
    monitorActive = false;
}

void AudioMonitor::ThreadFunc()
{
    ListeningSession& session = *ListeningSession::Live();
    KeyEngine& engine = session.Engine();
    short aBuffer[2 * BlockSamples];
    std::uint32_t tickCount = 0;  // taken with each block; detection does not use it

    // The stop request is looked at only with the queue empty, so every block
    // waiting when it comes (even before the first pass) is still handled.
    for (;;) {
        // Read before draining: a block put after the last Get changes it, so
        // the wait below cannot miss one.
        const std::uint32_t seen = session.Wakeups();
        while (queue && queue->Get(aBuffer, &tickCount))
            engine.Feed(aBuffer, BlockSamples);
        if (quit)
            break;
        if (!session.Recover())
            session.WaitForWork(seen);
    }

    myThread = nullptr;
    NotifyPumpingThreads();
}

void AudioMonitor::WaveCallback(HWAVEIN, unsigned int uMsg, DWORD_PTR, DWORD_PTR dwParam1, DWORD_PTR)
{
    ListeningSession* session = ListeningSession::Live();
    if (uMsg == WIM_LOST && session)
        session->OnLost(reinterpret_cast<const char*>(dwParam1));
    if (uMsg != WIM_DATA || !dwParam1)
        return;
    // Null only while a queue is being created or has failed to be: the device
    // then returns its buffers unfilled, and they are not wanted.
    if (AudioQueue* q = queue) {
        q->Put(reinterpret_cast<WAVEHDR*>(dwParam1));
        if (session)
            session->Wake();
    }
}
