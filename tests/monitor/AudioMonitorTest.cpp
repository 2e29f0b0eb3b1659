// AudioMonitor on virtual inputs: tones in, window texts out, and every way of
// setting up and tearing down the class-wide state.
#include <gtest/gtest.h>

#include <memory>

#include "AudioMonitor.h"
#include "MonitorSupport.h"

using namespace montest;
using vaudio::Pacing;

namespace {

// As fast as buffers come back, the device fills all 43 before the worker takes
// any and the 43rd is lost (by design), so the keys come after that stretch.
constexpr int kPastFirstFill = 1100;

int Input(const char* name, std::string_view keys, int leadMs = 100, vaudio::InputOptions options = {})
{
    return static_cast<int>(vaudio::AddVirtualInput(name, Recording(keys, leadMs), options));
}

class AudioMonitorTest : public ::testing::Test {
protected:
    // Runs `monitor` until the texts of `keys` (and nothing else) have come, then tears it down.
    void ExpectHeard(std::unique_ptr<AudioMonitor> monitor, std::string_view keys)
    {
        EXPECT_TRUE(window.Pump(Texts(keys).size()));
        window.Pump(SIZE_MAX, 50ms);
        monitor.reset();
        EXPECT_EQ(window.texts, Texts(keys));
        window.texts.clear();
    }
    VirtualOnly devices;
    TextWindow window;
};

TEST_F(AudioMonitorTest, RecordingOfSeveralCommandsReachesTheWindowTextByText)
{
    const std::string keys = "9#12*34#5";  // the 9 comes before any start key: never sent
    for (Pacing pacing : {Pacing::RealTime, Pacing::AsFastAsBuffers}) {
        SCOPED_TRACE(pacing == Pacing::RealTime ? "real time" : "as fast as buffers");
        CommandReader reader(window.hwnd);
        ExpectHeard(std::make_unique<AudioMonitor>(&reader, Input("Recording", keys, kPastFirstFill, {pacing})), keys);
    }
}

// Failed and inert monitors are destroyed only after the working one has run: a
// failed set-up returns to idle by itself, and an inert one never touches the state.
TEST_F(AudioMonitorTest, FailedSetUpsLeaveTheStateIdleAndSecondMonitorsAreInert)
{
    const int refusing = Input("Refusing", "#7", 100, {Pacing::AsFastAsBuffers, true});
    const int first = Input("First", "#12", 1000, {Pacing::RealTime});  // once the others exist
    const int second = Input("Second", "*9");
    CommandReader reader(window.hwnd);
    TextWindow other;
    CommandReader otherReader(other.hwnd);
    AudioMonitor beyondTheLast(&reader, 99), negative(&reader, -2), refused(&reader, refusing),
        noReader(nullptr, second);
    auto monitor = std::make_unique<AudioMonitor>(&reader, first);
    AudioMonitor byIndex(&otherReader, second), byName(other.hwnd, "Second");
    EXPECT_TRUE(window.Pump(3));
    EXPECT_EQ(window.texts, Texts("#12"));
    other.Pump(SIZE_MAX, 50ms);
    EXPECT_TRUE(other.texts.empty());
    EXPECT_EQ(vaudio::VirtualInputDelivered(second), 0u) << "no other monitor opened its device";
    monitor.reset();
}

TEST_F(AudioMonitorTest, ByNameTakesTheHighestExactCaseSensitiveMatchOrTheMapper)
{
    // Device 0 ("Other", the mapper's choice here) says #0, the rest #1..#3.
    const std::pair<const char*, const char*> cases[] = {
        {"Keypad", "#3"}, {"keypad", "#2"}, {"KEYPAD", "#0"}, {"Keypa", "#0"}, {"Keypad ", "#0"}};
    for (auto [name, heard] : cases) {
        SCOPED_TRACE(name);
        vaudio::RemoveVirtualDevices();
        Input("Other", "#0"), Input("Keypad", "#1"), Input("keypad", "#2"), Input("Keypad", "#3");
        ExpectHeard(std::make_unique<AudioMonitor>(window.hwnd, name), heard);
    }
}

// The worker is stuck in its first notification to this thread's window while the
// rest of the recording waits in the queue; the teardown (after Quit or not) must
// let that notification through and drain every waiting block.
TEST_F(AudioMonitorTest, TeardownWhileTheWorkerNotifiesThisThreadDrainsAndCompletes)
{
    const std::string keys = "#123";
    const std::size_t length = Recording(keys).size();
    ASSERT_LT(length, std::size_t{42 * kBlock}) << "nothing may be refused";
    for (bool quitFirst : {true, false}) {
        SCOPED_TRACE(quitFirst ? "Quit, then destroy" : "destroy");
        vaudio::RemoveVirtualDevices();
        window.texts.clear();
        window.sent = 0;
        const int device = Input("Blocked", keys);
        CommandReader reader(window.hwnd);
        auto monitor = std::make_unique<AudioMonitor>(&reader, device);
        for (auto end = std::chrono::steady_clock::now() + 30s;
             std::chrono::steady_clock::now() < end &&
             (vaudio::VirtualInputDelivered(device) < length || window.sent == 0);)
            std::this_thread::sleep_for(2ms);
        ASSERT_EQ(window.sent, 1) << "the worker waits in its first notification";
        std::this_thread::sleep_for(200ms);  // lets the device's callback put the last blocks
        EXPECT_TRUE(window.texts.empty()) << "nothing is handled until this thread pumps";
        if (quitFirst)
            monitor->Quit();
        monitor.reset();
        EXPECT_EQ(window.texts, Texts(keys));
    }
}

// A caller's reader is never released (it lives on the stack); a reader made by a
// by-name set-up is released exactly once, whichever object tears the state down and
// whatever ownsReader was copied around (the sanitizers catch a leak or a double release).
TEST_F(AudioMonitorTest, ReadersAreReleasedOnlyByTheirOwnerAndOnlyOnce)
{
    CommandReader callersReader(window.hwnd);
    {
        auto monitor = std::make_unique<AudioMonitor>(&callersReader, Input("Input", "#4"));
        EXPECT_TRUE(window.Pump(1));
        AudioMonitor copy = *monitor;
        copy = *monitor;
    }
    for (bool namedGoesFirst : {true, false}) {
        SCOPED_TRACE(namedGoesFirst ? "named monitor destroyed first" : "inert copy destroyed first");
        vaudio::RemoveVirtualDevices();
        window.texts.clear();
        Input("Named", "*6");
        auto named = std::make_unique<AudioMonitor>(window.hwnd, "Named");
        auto inert = std::make_unique<AudioMonitor>(&callersReader, 0);
        *inert = *named;  // now claims ownership too
        EXPECT_TRUE(window.Pump(2));
        (namedGoesFirst ? named : inert).reset();
        (namedGoesFirst ? inert : named).reset();
        EXPECT_EQ(window.texts, Texts("*6"));
    }
    // A stale named monitor, its state torn down by an inert one, outlives a caller's set-up.
    vaudio::RemoveVirtualDevices();
    Input("Named", "#1");
    const int later = Input("Later", "#2", kPastFirstFill);
    auto named = std::make_unique<AudioMonitor>(window.hwnd, "Named");
    std::make_unique<AudioMonitor>(window.hwnd, "Named").reset();
    auto monitor = std::make_unique<AudioMonitor>(&callersReader, later);
    named.reset();
    monitor.reset();
    callersReader.ProcessChar('#');
    callersReader.ProcessChar('5');
    EXPECT_EQ(window.texts.back(), "#5") << "the caller's reader still works";
}

// Two threads tear the class-wide state down at once, one of them through a copy:
// one releases it, the other finds nothing and does not wait (ThreadSanitizer
// watches). No key is heard, so no thread waits on another's window.
TEST_F(AudioMonitorTest, TwoThreadsDestroyingAtOnceOneThroughACopy)
{
    Input("Silence", "", 0, {Pacing::RealTime});
    for (int round = 0; round < 40; ++round) {
        auto monitor = std::make_unique<AudioMonitor>(window.hwnd, "Silence");
        auto copy = std::make_unique<AudioMonitor>(*monitor);
        EXPECT_EQ(AudioMonitor::State(), MonitorState::Listening);
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
        std::thread other([&] { (round % 2 ? copy : monitor).reset(); });
        (round % 2 ? monitor : copy).reset();
        other.join();
        EXPECT_EQ(AudioMonitor::State(), MonitorState::Idle);
    }
    CommandReader reader(window.hwnd);
    ExpectHeard(std::make_unique<AudioMonitor>(&reader, Input("After", "*0")), "*0");
}

}  // namespace
