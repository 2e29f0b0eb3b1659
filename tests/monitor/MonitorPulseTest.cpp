// Against the test fixture's headless PulseAudio server: commands played into
// "DTMF-Test-Sink" are heard on its monitor source, also after the server has been
// killed and restarted under a running monitor.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "../audio/ServerControl.h"
#include "AudioMonitor.h"
#include "MonitorSupport.h"

using namespace montest;
using namespace servertest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kSink[] = "DTMF-Test-Sink", kSource[] = "Monitor of DTMF-Test-Sink";

// A sound played into the test sink until it ends or this goes.
struct SinkPlayer {
    std::vector<std::int16_t> sound;
    HWAVEOUT out = nullptr;
    WAVEHDR header{};
    explicit SinkPlayer(std::vector<std::int16_t> samples) : sound(std::move(samples))
    {
        const WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 11025, 22050, 2, 16, 0};
        const int sink = FindDevice<WAVEOUTCAPSA>(kSink);
        if (sink < 0 || waveOutOpen(&out, unsigned(sink), &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR)
            return;
        header.lpData = reinterpret_cast<char*>(sound.data());
        header.dwBufferLength = static_cast<DWORD>(sound.size() * sizeof sound[0]);
        waveOutPrepareHeader(out, &header, sizeof header);
        waveOutWrite(out, &header, sizeof header);
    }
    ~SinkPlayer()
    {
        if (!out)
            return;
        waveOutReset(out);
        waveOutUnprepareHeader(out, &header, sizeof header);
        waveOutClose(out);
    }
};

class MonitorOnPulse : public ::testing::Test {
protected:
    void SetUp() override
    {
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(true);
        ASSERT_GE(FindDevice<WAVEINCAPSA>(kSource), 0) << "no " << kSource << " (is PULSE_SERVER set?)";
    }
    void TearDown() override { EXPECT_TRUE(StartServer()); }  // the server outlives every test

    // Destroys the monitor; a generous bound (the target is well under 100 ms) catches a hang.
    static void ExpectPromptTeardown(std::unique_ptr<AudioMonitor>& monitor)
    {
        const auto start = Clock::now();
        monitor.reset();
        EXPECT_LT(Clock::now() - start, 1s);
        EXPECT_EQ(AudioMonitor::State(), MonitorState::Idle);
    }
    TextWindow window;
};

TEST_F(MonitorOnPulse, HearsAgainOnItsOwnAfterTheServerIsKilledAndRestarted)
{
    auto monitor = std::make_unique<AudioMonitor>(window.hwnd, kSource);
    ASSERT_EQ(AudioMonitor::State(), MonitorState::Listening);
    ASSERT_TRUE(AudioMonitor::NotifyStateTo(window.hwnd));
    {
        SinkPlayer player(Recording("#1234*5#", 400, 300));  // the lead-in lets capture settle
        EXPECT_TRUE(window.Pump(Texts("#1234*5#").size()));
    }
    EXPECT_EQ(window.texts, Texts("#1234*5#"));

    ASSERT_TRUE(KillServer());
    const auto killed = Clock::now();
    ASSERT_TRUE(window.PumpUntil([&] { return !window.states.empty(); }, 10s));
    EXPECT_LT(Clock::now() - killed, 3s);
    EXPECT_GT(window.states[0].size(), std::string("lost: ").size()) << window.states[0];
    EXPECT_EQ(AudioMonitor::State(), MonitorState::Lost);
    window.PumpUntil([] { return false; }, 700ms);  // a few attempts while the server is away

    ASSERT_TRUE(StartServer());
    const auto restarted = Clock::now();
    ASSERT_TRUE(window.PumpUntil([&] { return window.states.size() > 1; }, 10s));
    EXPECT_EQ(window.states, (std::vector<std::string>{window.states[0], "listening"}));
    window.texts.clear();
    {
        SinkPlayer player(Recording("*7", 100, 300));
        EXPECT_TRUE(window.Pump(2, 10s));
    }
    EXPECT_LT(Clock::now() - restarted, 6s);
    EXPECT_EQ(window.texts, Texts("*7"));
    ExpectPromptTeardown(monitor);
}

TEST_F(MonitorOnPulse, TeardownIsPromptWhileLostAndWhileReconnecting)
{
    CommandReader reader(window.hwnd);
    for (auto wait : {0ms, 900ms}) {
        auto monitor = std::make_unique<AudioMonitor>(&reader, FindDevice<WAVEINCAPSA>(kSource));
        ASSERT_EQ(AudioMonitor::State(), MonitorState::Listening);
        ASSERT_TRUE(KillServer());
        ASSERT_TRUE(window.PumpUntil([] { return AudioMonitor::State() == MonitorState::Lost; }, 10s));
        std::this_thread::sleep_for(wait);
        ExpectPromptTeardown(monitor);
        ASSERT_TRUE(StartServer());
    }
}

// Set-ups and teardowns while blocks flow, while the server is gone and after it
// is back: none hangs, the sanitizers see no leak, and the last monitor still hears.
TEST_F(MonitorOnPulse, AThousandSetUpsAndTeardownsAcrossAServerDeath)
{
    CommandReader reader(window.hwnd);
    const int source = FindDevice<WAVEINCAPSA>(kSource);
    std::mt19937 random(7);
    auto longest = Clock::duration::zero();
    for (int i = 0; i < 1000; ++i) {
        if (i == 500 || i == 750) {
            ASSERT_TRUE(i == 500 ? KillServer() : StartServer());
        }
        auto monitor = i % 2 ? std::make_unique<AudioMonitor>(window.hwnd, kSource)
                             : std::make_unique<AudioMonitor>(&reader, source);
        if (i % 4 == 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));  // during delivery
        const auto start = Clock::now();
        monitor.reset();
        longest = std::max(longest, Clock::now() - start);
    }
    EXPECT_LT(longest, 2s);
    auto monitor = std::make_unique<AudioMonitor>(window.hwnd, kSource);
    ASSERT_EQ(AudioMonitor::State(), MonitorState::Listening);
    SinkPlayer player(Recording("#9", 300, 300));
    ASSERT_NE(player.out, nullptr);
    EXPECT_TRUE(window.Pump(2));
    EXPECT_EQ(window.texts, Texts("#9"));
}

}  // namespace
