// Against the test fixture's PulseAudio server: commands played into its sink are heard on the
// sink's monitor, also after the server was killed and restarted under a running monitor.
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

// Plays "#9" until the window has its texts: a server just back may drop the start of a sound.
bool HearsWithin(TextWindow& window, std::chrono::seconds limit)
{
    static const std::string sound = audiotest::WriteWav("keys.wav", audiotest::AsBytes(Recording("#9", 300, 300)));
    for (const auto end = Clock::now() + limit; Clock::now() < end;) {
        window.texts.clear();
        const bool heard = PlaySoundA(sound.c_str(), nullptr, SND_FILENAME | SND_ASYNC | SND_NODEFAULT) &&
                           WaitUntil([&] { return window.texts.size() >= 2; }, 3s, true);
        PlaySoundA(nullptr, nullptr, 0);
        if (heard && window.texts == Texts("#9"))
            return true;
    }
    return false;
}

// A thousand set-ups and teardowns: while blocks flow, while the server is gone, and with the server
// killed under a monitor that has just lost it (300), is re-opening it (700), or waits for it, says so
// and hears again once it is back (501). None hangs or leaks, and the last monitor still hears.
TEST(MonitorOnPulse, AThousandSetUpsAndTeardownsAcrossServerDeaths)
{
    vaudio::UseServerDevices(true);
    const int source = FindDevice<WAVEINCAPSA>(kSource);
    ASSERT_GE(source, 0) << "no " << kSource << " (is PULSE_SERVER set?)";
    const struct ServerBack {
        ~ServerBack() { EXPECT_TRUE(StartServer()); }  // for the tests after this one, whatever happens
    } serverBack;
    TextWindow window;
    CommandReader reader(window.hwnd);
    std::mt19937 random(7);
    for (int i = 0; i < 1000; ++i) {
        if (i == 400 || i == 800) {
            ASSERT_TRUE(StartServer());
        }
        auto monitor = i % 2 ? std::make_unique<AudioMonitor>(window.hwnd, kSource)
                             : std::make_unique<AudioMonitor>(&reader, source);
        if (i == 300 || i == 501 || i == 700) {
            ASSERT_EQ(AudioMonitor::State(), MonitorState::Listening);
            ASSERT_TRUE(AudioMonitor::NotifyStateTo(window.hwnd));
            ASSERT_TRUE(i != 501 || HearsWithin(window, 20s));
            ASSERT_TRUE(KillServer());
            ASSERT_TRUE(WaitUntil([&] { return !window.states.empty(); }, 3s, true));
            EXPECT_GT(window.states[0].size(), std::string("lost: ").size()) << window.states[0];
            EXPECT_EQ(AudioMonitor::State(), MonitorState::Lost);
            std::this_thread::sleep_for(i == 300 ? 0ms : 900ms);  // lost, or re-opening with back-off
        }
        if (i == 501) {
            ASSERT_TRUE(StartServer());
            ASSERT_TRUE(WaitUntil([&] { return window.states.size() > 1; }, 10s, true));
            EXPECT_EQ(window.states, (std::vector<std::string>{window.states[0], "listening"}));
            EXPECT_TRUE(HearsWithin(window, 10s));
        }
        if (i % 4 == 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 30));  // during delivery
        window.states.clear();
        const auto start = Clock::now();
        monitor.reset();
        EXPECT_LT(Clock::now() - start, 2s);  // a generous bound: the target is well under 100 ms
        EXPECT_EQ(AudioMonitor::State(), MonitorState::Idle);
    }
    auto monitor = std::make_unique<AudioMonitor>(window.hwnd, kSource);
    ASSERT_EQ(AudioMonitor::State(), MonitorState::Listening);
    EXPECT_TRUE(HearsWithin(window, 20s));
}

}  // namespace
