#include "AudioMonitor.h"

#include <memory>
#include <mutex>
#include <new>

#include "CommandReader.h"
#include "DeviceNames.h"
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

// Set-ups and teardowns meet under this one lock, on any thread.
std::mutex sessionLock;
// The session in force; a teardown takes it out under the lock and releases it outside.
std::unique_ptr<ListeningSession> current;
// A monitor has been set up and its teardown has not yet ended. Cleared only at
// the very end of a teardown, so a constructor reached from a message handled
// while the teardown waits for the worker stays inert instead of starting anew.
bool monitorActive = false;

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
    if (const auto found = reader ? vaudio::FindDevice(vaudio::DeviceKind::Input, deviceName) : std::nullopt) {
        target.device = *found;
        target.reopenName = deviceName;
    }
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
        target.reopenName = vaudio::DeviceName(vaudio::DeviceKind::Input, target.device);
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
        current->RequestStop();
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

// Runs on the worker thread that the session in force started, for that session.
void AudioMonitor::ThreadFunc()
{
    if (ListeningSession* session = ListeningSession::Serving())
        session->Work();
}

// Runs on the device's callback thread; the instance value is the session that opened it.
void AudioMonitor::WaveCallback(HWAVEIN, unsigned int uMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1, DWORD_PTR)
{
    if (auto* session = reinterpret_cast<ListeningSession*>(dwInstance))
        session->OnDeviceMessage(uMsg, dwParam1);
}
