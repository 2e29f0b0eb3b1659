// Against the test fixture's headless PulseAudio server: a command played into
// "DTMF-Test-Sink" through waveOut* is heard on its monitor source by name.
#include <gtest/gtest.h>

#include <memory>

#include "AudioMonitor.h"
#include "MonitorSupport.h"

using namespace montest;

namespace {

TEST(MonitorOnPulse, CommandPlayedIntoTheSinkIsHeardOnItsMonitorByName)
{
    constexpr char kSink[] = "DTMF-Test-Sink", kSource[] = "Monitor of DTMF-Test-Sink";
    vaudio::RemoveVirtualDevices();
    vaudio::UseServerDevices(true);
    int sink = -1;
    for (unsigned int i = 0; i < waveOutGetNumDevs(); ++i)
        if (WAVEOUTCAPSA caps{};
            waveOutGetDevCapsA(i, &caps, sizeof caps) == 0 && caps.szPname == std::string_view(kSink))
            sink = static_cast<int>(i);
    ASSERT_GE(sink, 0) << "no " << kSink << " (is PULSE_SERVER set?)";

    const std::string keys = "#1234*5#";
    TextWindow window;
    auto monitor = std::make_unique<AudioMonitor>(window.hwnd, kSource);
    auto sound = Recording(keys, 400, 300);  // the lead-in lets capture settle
    const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 11025, 22050, 2, 16, 0};
    HWAVEOUT out = nullptr;
    ASSERT_EQ(waveOutOpen(&out, static_cast<unsigned int>(sink), &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    WAVEHDR header{};
    header.lpData = reinterpret_cast<char*>(sound.data());
    header.dwBufferLength = static_cast<DWORD>(sound.size() * sizeof sound[0]);
    ASSERT_EQ(waveOutPrepareHeader(out, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(out, &header, sizeof header), MMSYSERR_NOERROR);

    EXPECT_TRUE(window.Pump(Texts(keys).size(), 60s));
    waveOutReset(out);
    waveOutUnprepareHeader(out, &header, sizeof header);
    waveOutClose(out);
    monitor.reset();
    EXPECT_EQ(window.texts, Texts(keys));
}

}  // namespace
