// Against the headless PulseAudio server of the test fixture: a command played
// into "DTMF-Test-Sink" through waveOut* is heard on its monitor source by a
// monitor that finds the device by name.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "AudioMonitor.h"
#include "MonitorSupport.h"
#include "VirtualAudio.h"

using namespace montest;
using namespace std::chrono_literals;

namespace {

constexpr char kSink[] = "DTMF-Test-Sink";
constexpr char kMonitorSource[] = "Monitor of DTMF-Test-Sink";

template <class Caps, class GetCaps>
int FindDevice(unsigned int count, GetCaps getCaps, const char* name)
{
    for (unsigned int i = 0; i < count; ++i) {
        Caps caps{};
        if (getCaps(i, &caps, sizeof caps) == MMSYSERR_NOERROR && std::strcmp(caps.szPname, name) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

void OnPlayed(HWAVEOUT, unsigned int msg, DWORD_PTR instance, DWORD_PTR, DWORD_PTR)
{
    if (msg == WOM_DONE)
        reinterpret_cast<std::atomic<bool>*>(instance)->store(true);
}

TEST(MonitorOnPulse, CommandPlayedIntoTheSinkIsHeardOnItsMonitorByName)
{
    vaudio::RemoveVirtualDevices();
    vaudio::UseServerDevices(true);
    const int sink = FindDevice<WAVEOUTCAPSA>(waveOutGetNumDevs(), waveOutGetDevCapsA, kSink);
    ASSERT_GE(sink, 0) << "no output device named " << kSink << " (is PULSE_SERVER set?)";
    ASSERT_GE(FindDevice<WAVEINCAPSA>(waveInGetNumDevs(), waveInGetDevCapsA, kMonitorSource), 0)
        << "no input device named " << kMonitorSource;

    const std::string keys = "#1234*5#";
    const auto expected = ExpectedTexts(keys);
    TextWindow window;
    auto monitor = std::make_unique<AudioMonitor>(window.hwnd, kMonitorSource);

    // Lead-in silence lets capture settle before the first tone.
    auto sound = Recording(keys, 400, 300);
    std::atomic<bool> played{false};
    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 11025, 22050, 2, 16, 0};
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, static_cast<unsigned int>(sink), &format, reinterpret_cast<DWORD_PTR>(&OnPlayed),
                          reinterpret_cast<DWORD_PTR>(&played), CALLBACK_FUNCTION),
              MMSYSERR_NOERROR);
    WAVEHDR header{};
    header.lpData = reinterpret_cast<char*>(sound.data());
    header.dwBufferLength = static_cast<DWORD>(sound.size() * sizeof sound[0]);
    ASSERT_EQ(waveOutPrepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &header, sizeof header), MMSYSERR_NOERROR);

    EXPECT_TRUE(window.WaitForTexts(expected.size(), 60s));
    window.PumpFor(100ms);

    waveOutReset(out);
    waveOutUnprepareHeader(out, &header, sizeof header);
    waveOutClose(out);
    monitor.reset();
    EXPECT_EQ(window.texts, expected);
}

}  // namespace
