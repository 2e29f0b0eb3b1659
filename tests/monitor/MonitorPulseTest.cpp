// Against the test fixture's headless PulseAudio server: commands played into its
// default sink ("DTMF-Test-Sink") are heard on the sink's monitor source, also after
// the server has been killed and restarted under a running monitor.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "../audio/ServerControl.h"
#include "../audio/TestSupport.h"
#include "MonitorSupport.h"

using namespace montest;
using namespace servertest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char kSource[] = "Monitor of DTMF-Test-Sink";

class MonitorOnPulse : public ::testing::Test {
protected:
    void SetUp() override
    {
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(true);
        ASSERT_GE(FindDevice<WAVEINCAPSA>(kSource), 0) << "no " << kSource << " (is PULSE_SERVER set?)";
    }
    void TearDown() override { EXPECT_TRUE(StartServer()); }  // the server outlives every test

    // Plays "#9" until the window has its texts, again whenever it went unheard: a server
    // that has just come back may drop the start of a sound, which is no fault of ours.
    bool HearsWithin(std::chrono::seconds limit)
    {
        static const std::string sound = audiotest::WriteWav("keys.wav", audiotest::AsBytes(Recording("#9", 300, 300)));
        for (const auto end = Clock::now() + limit; Clock::now() < end;) {
            window.texts.clear();
            const bool heard = PlaySoundA(sound.c_str(), nullptr, SND_FILENAME | SND_ASYNC | SND_NODEFAULT) &&
                               window.PumpUntil([&] { return window.texts.size() >= 2; }, 3s);
            PlaySoundA(nullptr, nullptr, 0);
            if (heard && window.texts == Texts("#9"))
                return true;
        }
        return false;
    }
    // Destroys the monitor; a generous bound (the target is well under 100 ms) catches a hang.
    static void ExpectPromptTeardown(std::unique_ptr<AudioMonitor>& monitor)
    {
        const auto start = Clock::now();
        monitor.reset();
        EXPECT_LT(Clock::now() - start, 2s);
        EXPECT_EQ(AudioMonitor::State(), MonitorState::Idle);
    }
    TextWindow window;
};

TEST_F(MonitorOnPulse, HearsAgainOnItsOwnAfterTheServerIsKilledAndRestarted)
{
    auto monitor = std::make_unique<AudioMonitor>(window.hwnd, kSource);
    ASSERT_EQ(AudioMonitor::State(), MonitorState::Listening);
    ASSERT_TRUE(AudioMonitor::NotifyStateTo(window.hwnd));
    ASSERT_TRUE(HearsWithin(20s));

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
    EXPECT_TRUE(HearsWithin(10s));
    EXPECT_LT(Clock::now() - restarted, 10s);
    ExpectPromptTeardown(monitor);
}

// Set-ups and teardowns while blocks flow, while the server is gone, and while a
// monitor has just lost it or has been trying to re-open for a while: none hangs,
// the sanitizers see no leak, and the last monitor still hears.
TEST_F(MonitorOnPulse, AThousandSetUpsAndTeardownsAcrossServerDeaths)
{
    CommandReader reader(window.hwnd);
    const int source = FindDevice<WAVEINCAPSA>(kSource);
    std::mt19937 random(7);
    for (int i = 0; i < 1000; ++i) {
        if (i == 600 || i == 800) {
            ASSERT_TRUE(StartServer());
        }
        auto monitor = i % 2 ? std::make_unique<AudioMonitor>(window.hwnd, kSource)
                             : std::make_unique<AudioMonitor>(&reader, source);
        if (i == 500 || i == 700) {
            ASSERT_EQ(AudioMonitor::State(), MonitorState::Listening);
            ASSERT_TRUE(KillServer());
            ASSERT_TRUE(window.PumpUntil([] { return AudioMonitor::State() == MonitorState::Lost; }, 10s));
            std::this_thread::sleep_for(i == 500 ? 0ms : 900ms);  // lost, or re-opening with back-off
        } else if (i % 4 == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));  // during delivery
        }
        ExpectPromptTeardown(monitor);
    }
    auto monitor = std::make_unique<AudioMonitor>(window.hwnd, kSource);
    ASSERT_EQ(AudioMonitor::State(), MonitorState::Listening);
    EXPECT_TRUE(HearsWithin(20s));
}

}  // namespace
