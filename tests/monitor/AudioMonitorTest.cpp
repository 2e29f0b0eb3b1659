// AudioMonitor on virtual inputs: tones in, window texts out, and every way of
// setting up and tearing down the class-wide state.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "AudioMonitor.h"
#include "CommandReader.h"
#include "MonitorSupport.h"
#include "VirtualAudio.h"

using namespace montest;
using namespace std::chrono_literals;

namespace {

using vaudio::Pacing;

class AudioMonitorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(false);  // deterministic numbering: virtual devices only
    }
    void TearDown() override
    {
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(true);
    }

    static unsigned int Input(const std::string& name, std::vector<std::int16_t> samples,
                              Pacing pacing = Pacing::AsFastAsBuffers)
    {
        return vaudio::AddVirtualInput(name, std::move(samples), {pacing, false});
    }

    // Blocks (without handling messages) until the device has delivered `samples`.
    static bool WaitDelivered(unsigned int device, std::size_t samples)
    {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (vaudio::VirtualInputDelivered(device) < samples) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    TextWindow window;
};

// As fast as buffers come back, the device fills all 43 at start, before the
// worker has taken any: the 43rd then finds the ring full and is lost (by
// design), so that stretch of the recording is kept silent.
constexpr int kPastFirstFill = 1100;

TEST_F(AudioMonitorTest, RecordingOfSeveralCommandsReachesTheWindowTextByText)
{
    const std::string keys = "9#12*34#5";  // the 9 comes before any start key: never sent
    const auto expected = ExpectedTexts(keys);
    ASSERT_EQ(expected.size(), 8u);
    for (Pacing pacing : {Pacing::RealTime, Pacing::AsFastAsBuffers}) {
        SCOPED_TRACE(pacing == Pacing::RealTime ? "real time" : "as fast as buffers");
        vaudio::RemoveVirtualDevices();
        window.texts.clear();
        const unsigned int device = Input("Recording", Recording(keys, kPastFirstFill), pacing);
        CommandReader reader(window.hwnd);
        auto monitor = std::make_unique<AudioMonitor>(&reader, static_cast<int>(device));
        EXPECT_TRUE(window.WaitForTexts(expected.size()));
        window.PumpFor(100ms);
        monitor.reset();
        EXPECT_EQ(window.texts, expected);
    }
}

TEST_F(AudioMonitorTest, SecondMonitorWhileOneIsActiveIsInertAndTheFirstKeepsWorking)
{
    // The first device's keys come after a second of silence, once the others exist.
    const unsigned int first = Input("First", Recording("#12", 1000), Pacing::RealTime);
    const unsigned int second = Input("Second", Recording("*9"));
    CommandReader reader(window.hwnd);
    TextWindow otherWindow;
    CommandReader otherReader(otherWindow.hwnd);

    auto monitor = std::make_unique<AudioMonitor>(&reader, static_cast<int>(first));
    auto byIndex = std::make_unique<AudioMonitor>(&otherReader, static_cast<int>(second));
    auto byName = std::make_unique<AudioMonitor>(otherWindow.hwnd, "Second");

    EXPECT_TRUE(window.WaitForTexts(3));
    EXPECT_EQ(window.texts, ExpectedTexts("#12"));
    otherWindow.PumpFor(50ms);
    EXPECT_TRUE(otherWindow.texts.empty());
    EXPECT_EQ(vaudio::VirtualInputDelivered(second), 0u) << "the inert monitors never opened their device";

    monitor.reset();
    byIndex.reset();
    byName.reset();
}

TEST_F(AudioMonitorTest, FailedSetUpLeavesTheStateIdleForTheNextMonitor)
{
    const unsigned int refusing = vaudio::AddVirtualInput("Refusing", Recording("#7"), {Pacing::AsFastAsBuffers, true});
    const unsigned int good = Input("Good", Recording("#1"));
    CommandReader reader(window.hwnd);

    // Each failure is destroyed only after the next monitor has been tried:
    // a failed set-up must already have returned to idle by itself.
    std::vector<std::unique_ptr<AudioMonitor>> failed;
    failed.push_back(std::make_unique<AudioMonitor>(&reader, 99));  // beyond the last device
    failed.push_back(std::make_unique<AudioMonitor>(&reader, -2));
    failed.push_back(std::make_unique<AudioMonitor>(&reader, static_cast<int>(refusing)));
    failed.push_back(std::make_unique<AudioMonitor>(nullptr, static_cast<int>(good)));  // no key sink
    EXPECT_EQ(vaudio::VirtualInputDelivered(good), 0u);

    auto monitor = std::make_unique<AudioMonitor>(&reader, static_cast<int>(good));
    EXPECT_TRUE(window.WaitForTexts(2));
    EXPECT_EQ(window.texts, ExpectedTexts("#1"));
    monitor.reset();
    failed.clear();  // finds nothing left to release
}

TEST_F(AudioMonitorTest, ByNameTakesTheHighestExactCaseSensitiveMatchOrTheMapper)
{
    struct Case {
        const char* name;
        const char* keysHeard;
    };
    // Device 0 ("Other", the mapper's choice here) says #0, the rest #1..#3.
    const Case cases[] = {
        {"Keypad", "#3"},     // devices 1 and 3 are both "Keypad": the later one
        {"keypad", "#2"},     // case matters
        {"KEYPAD", "#0"},     // no match: WAVE_MAPPER
        {"Keypa", "#0"},      // whole names only
        {"Keypad ", "#0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vaudio::RemoveVirtualDevices();
        Input("Other", Recording("#0"));
        Input("Keypad", Recording("#1"));
        Input("keypad", Recording("#2"));
        Input("Keypad", Recording("#3"));
        window.texts.clear();

        auto monitor = std::make_unique<AudioMonitor>(window.hwnd, c.name);
        EXPECT_TRUE(window.WaitForTexts(2));
        window.PumpFor(50ms);
        monitor.reset();
        EXPECT_EQ(window.texts, ExpectedTexts(c.keysHeard));
    }
}

// The worker is stuck in its first notification to this thread's window while
// the rest of the recording waits in the queue; the teardown must let that
// notification through and (after Quit too) drain every waiting block.
TEST_F(AudioMonitorTest, TeardownWhileTheWorkerNotifiesThisThreadDrainsAndCompletes)
{
    const std::string keys = "#123";  // shorter than the ring: nothing is refused
    for (bool quitFirst : {true, false}) {
        SCOPED_TRACE(quitFirst ? "Quit, then destroy" : "destroy");
        vaudio::RemoveVirtualDevices();
        window.texts.clear();
        window.sent = 0;
        const auto recording = Recording(keys);
        ASSERT_LT(recording.size(), static_cast<std::size_t>(42 * kBlock));
        const unsigned int device = Input("Blocked", recording);
        CommandReader reader(window.hwnd);
        auto monitor = std::make_unique<AudioMonitor>(&reader, static_cast<int>(device));

        ASSERT_TRUE(WaitDelivered(device, recording.size()));
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (window.sent == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(2ms);
        ASSERT_EQ(window.sent, 1) << "the worker waits in its first notification";
        // Filled is not yet queued: give the device's callback thread time to put
        // the last blocks, which nothing outside the queue can observe.
        std::this_thread::sleep_for(200ms);
        EXPECT_TRUE(window.texts.empty()) << "nothing is handled until this thread pumps";
        if (quitFirst)
            monitor->Quit();
        monitor.reset();
        EXPECT_EQ(window.texts, ExpectedTexts(keys));
    }
}

TEST_F(AudioMonitorTest, ByIndexNeverReleasesTheCallersReader)
{
    const unsigned int device = Input("Input", Recording("#4"));
    CommandReader reader(window.hwnd);  // on the stack: releasing it would crash
    auto monitor = std::make_unique<AudioMonitor>(&reader, static_cast<int>(device));
    EXPECT_TRUE(window.WaitForTexts(2));
    AudioMonitor copy = *monitor;
    copy = *monitor;
    monitor.reset();
    reader.ProcessChar('5');  // still alive, still collecting
    EXPECT_EQ(window.texts.back(), "#45");
}

// The reader made by a by-name set-up is released exactly once, whichever object
// tears the class-wide state down and whatever ownsReader was copied around
// (LeakSanitizer and the allocator catch a leak or a double release).
TEST_F(AudioMonitorTest, ByNameReleasesItsOwnReaderExactlyOnce)
{
    CommandReader callersReader(window.hwnd);
    for (bool namedGoesFirst : {true, false}) {
        SCOPED_TRACE(namedGoesFirst ? "named monitor destroyed first" : "inert copy destroyed first");
        vaudio::RemoveVirtualDevices();
        window.texts.clear();
        Input("Named", Recording("*6"));
        auto named = std::make_unique<AudioMonitor>(window.hwnd, "Named");
        auto inert = std::make_unique<AudioMonitor>(&callersReader, 0);
        *inert = *named;  // now claims ownership too
        EXPECT_TRUE(window.WaitForTexts(2));
        if (namedGoesFirst) {
            named.reset();
            inert.reset();
        } else {
            inert.reset();
            named.reset();
        }
        EXPECT_EQ(window.texts, ExpectedTexts("*6"));
    }
}

TEST_F(AudioMonitorTest, StaleNamedMonitorNeverReleasesALaterCallersReader)
{
    Input("Named", Recording("#1"));
    const unsigned int later = Input("Later", Recording("#2", kPastFirstFill));
    auto named = std::make_unique<AudioMonitor>(window.hwnd, "Named");
    std::make_unique<AudioMonitor>(window.hwnd, "Named").reset();  // inert, but tears the state down

    CommandReader callersReader(window.hwnd);
    auto monitor = std::make_unique<AudioMonitor>(&callersReader, static_cast<int>(later));
    named.reset();  // claims ownership, yet the set-up in force is the caller's
    monitor.reset();
    callersReader.ProcessChar('#');
    EXPECT_EQ(window.texts.back(), "#");
}

TEST_F(AudioMonitorTest, CallbackIgnoresEverythingButFilledBlocksOfARunningMonitor)
{
    WAVEHDR stranger{};
    stranger.dwUser = 1000;
    AudioMonitor::WaveCallback(nullptr, WIM_DATA, 0, reinterpret_cast<DWORD_PTR>(&stranger), 0);  // idle

    const unsigned int device = Input("Input", Recording("#8"));
    CommandReader reader(window.hwnd);
    auto monitor = std::make_unique<AudioMonitor>(&reader, static_cast<int>(device));
    AudioMonitor::WaveCallback(nullptr, WIM_OPEN, 0, reinterpret_cast<DWORD_PTR>(&stranger), 0);
    AudioMonitor::WaveCallback(nullptr, WIM_CLOSE, 0, 0, 0);
    AudioMonitor::WaveCallback(nullptr, WIM_DATA, 0, 0, 0);
    AudioMonitor::WaveCallback(nullptr, WIM_DATA, 0, reinterpret_cast<DWORD_PTR>(&stranger), 0);
    EXPECT_TRUE(window.WaitForTexts(2));
    monitor.reset();
    EXPECT_EQ(window.texts, ExpectedTexts("#8"));
}

TEST_F(AudioMonitorTest, TwoHundredSetUpsAndTeardownsLeaveAWorkingMonitor)
{
    const unsigned int silence = Input("Silence", {}, Pacing::RealTime);
    for (int i = 0; i < 200; ++i) {
        std::unique_ptr<AudioMonitor> monitor;
        CommandReader reader(window.hwnd);
        if (i % 2)
            monitor = std::make_unique<AudioMonitor>(window.hwnd, "Silence");
        else
            monitor = std::make_unique<AudioMonitor>(&reader, static_cast<int>(silence));
        if (i % 3 == 0)
            monitor->Quit();
        if (i % 5 == 0)
            std::this_thread::sleep_for(1ms);  // let a block or two arrive
        monitor.reset();
    }
    EXPECT_TRUE(window.texts.empty());

    const unsigned int device = Input("After", Recording("*0"));
    CommandReader reader(window.hwnd);
    auto monitor = std::make_unique<AudioMonitor>(&reader, static_cast<int>(device));
    EXPECT_TRUE(window.WaitForTexts(2));
    monitor.reset();
    EXPECT_EQ(window.texts, ExpectedTexts("*0"));
}

}  // namespace
