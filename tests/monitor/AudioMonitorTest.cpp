// AudioMonitor on virtual inputs: tones in, window texts out, and every way of
// setting up and tearing down the class-wide state.
#include <gtest/gtest.h>

#include <memory>

#include "MonitorSupport.h"

using namespace montest;
using vaudio::Pacing;

namespace {

// As fast as buffers come back, the device fills all 43 before the worker takes
// any and the 43rd is lost (by design): the keys come after that stretch.
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
        EXPECT_EQ(AudioMonitor::State(), MonitorState::Idle);
        window.texts.clear();
    }
    VirtualOnly devices;
    TextWindow window;
};

// A set-up hears its own device: by index, or by name the last exact, case-sensitive match,
// else the mapper (device 0). Failed set-ups stay idle; monitors made while one runs are inert.
TEST_F(AudioMonitorTest, EachSetUpHearsItsOwnDeviceOrNothing)
{
    const std::string keys = "9#12*34#5";  // the 9 comes before any start key: never sent
    for (Pacing pacing : {Pacing::RealTime, Pacing::AsFastAsBuffers}) {
        CommandReader reader(window.hwnd);
        ExpectHeard(std::make_unique<AudioMonitor>(&reader, Input("Recording", keys, kPastFirstFill, {pacing})), keys);
    }
    CommandReader reader(window.hwnd);  // of the set-ups that hear nothing
    for (auto [name, heard] : {std::pair{"Keypad", "#3"}, {"keypad", "#2"}, {"KEYPAD", "#0"}, {"Keypad ", "#0"}}) {
        SCOPED_TRACE(name);
        vaudio::RemoveVirtualDevices();
        Input("Other", "#0"), Input("Keypad", "#1"), Input("keypad", "#2"), Input("Keypad", "#3");
        const int refusing = Input("Refusing", "#7", 100, {Pacing::AsFastAsBuffers, true});
        AudioMonitor beyondTheLast(&reader, 99), negative(&reader, -2), refused(&reader, refusing),
            noReader(nullptr, 1);
        EXPECT_EQ(AudioMonitor::State(), MonitorState::Idle);
        auto monitor = std::make_unique<AudioMonitor>(window.hwnd, name);
        AudioMonitor byIndex(&reader, 1), byName(window.hwnd, "keypad");
        ExpectHeard(std::move(monitor), heard);
        EXPECT_EQ(vaudio::VirtualInputDelivered(1), 0u) << "no other monitor opened a device";
    }
}

// The worker waits in its first send to this thread's window with the rest queued: the
// teardown (after Quit or not) lets that send through and drains every waiting block.
TEST_F(AudioMonitorTest, TeardownWhileTheWorkerNotifiesThisThreadDrainsAndCompletes)
{
    const std::string keys = "#123";
    for (bool quitFirst : {true, false}) {
        SCOPED_TRACE(quitFirst ? "Quit, then destroy" : "destroy");
        vaudio::RemoveVirtualDevices();
        window.sent = 0;
        const int device = Input("Blocked", keys);
        CommandReader reader(window.hwnd);
        auto monitor = std::make_unique<AudioMonitor>(&reader, device);
        ASSERT_TRUE(
            WaitUntil([&] { return vaudio::VirtualInputDelivered(device) == Recording(keys).size() && window.sent; }));
        std::this_thread::sleep_for(1s);  // lets the device's callback thread put the last blocks
        EXPECT_EQ(window.sent, 1) << "the worker waits in its first notification";
        EXPECT_TRUE(window.texts.empty()) << "nothing is handled until this thread pumps";
        if (quitFirst)
            monitor->Quit();
        monitor.reset();
        EXPECT_EQ(window.texts, Texts(keys));
        window.texts.clear();
    }
}

// Two threads tear the class-wide state down at once, one through a copy (assigned or
// copy-made): one releases it, the other finds nothing (ThreadSanitizer watches). A by-name
// set-up's own reader is released once, the caller's never (the sanitizers catch either).
TEST_F(AudioMonitorTest, TwoThreadsDestroyingAtOnceOneThroughACopy)
{
    CommandReader reader(window.hwnd);
    Input("Silence", "", 0, {Pacing::RealTime});
    for (int round = 0; round < 40; ++round) {
        auto monitor = round % 3 ? std::make_unique<AudioMonitor>(window.hwnd, "Silence")
                                 : std::make_unique<AudioMonitor>(&reader, 0);
        auto copy = round % 4 < 2 ? std::make_unique<AudioMonitor>(*monitor)
                                  : std::make_unique<AudioMonitor>(&reader, 0);  // inert
        if (round % 4 >= 2)
            *copy = *monitor;
        EXPECT_EQ(AudioMonitor::State(), MonitorState::Listening);
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
        std::thread other([&] { (round % 2 ? copy : monitor).reset(); });
        (round % 2 ? monitor : copy).reset();
        other.join();
        EXPECT_EQ(AudioMonitor::State(), MonitorState::Idle);
    }
    // A stale monitor tears down a later set-up; the caller's reader still works after all this.
    auto stale = std::make_unique<AudioMonitor>(window.hwnd, "Silence");
    {
        AudioMonitor copy = *stale;
    }
    auto later = std::make_unique<AudioMonitor>(&reader, 0);
    stale.reset();
    EXPECT_EQ(AudioMonitor::State(), MonitorState::Idle);
    ExpectHeard(std::make_unique<AudioMonitor>(&reader, Input("After", "*0")), "*0");
}

}  // namespace
