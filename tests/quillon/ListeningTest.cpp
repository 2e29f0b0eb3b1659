// Listening: device 0 from the start, a chosen device after a selection, and a
// change while a command is arriving.
#include "GuiSupport.h"

using namespace guitest;

namespace {

class ListeningTest : public testing::Test {
protected:
    VirtualDevices devices;
    vaudio::InputOptions realTime{.pacing = vaudio::Pacing::RealTime};
};

}  // namespace

TEST_F(ListeningTest, ShowsEveryTextOfACommandOnDeviceZero)
{
    vaudio::AddVirtualInput("Keypad", DtmfRecording("#12"));
    vaudio::AddVirtualInput("Other keypad", DtmfRecording("*99"));
    TestDlg dlg;
    dlg.Open();
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "#12"; }));
    PumpFor(100ms);
    EXPECT_EQ(dlg.texts, (Texts{"#", "#1", "#12"}));
}

TEST_F(ListeningTest, ChoosingADeviceMovesTheListeningThere)
{
    const unsigned int first = vaudio::AddVirtualInput("Keypad A", {}, realTime);
    const unsigned int second = vaudio::AddVirtualInput("Keypad B", {}, realTime);
    TestDlg dlg;
    dlg.Open();
    CommandReader* const ownReader = dlg.m_pReader;
    dlg.Choose(IDC_INPUT_DEVICE, 1);
    ASSERT_NE(dlg.m_pMonitor, nullptr);
    EXPECT_EQ(dlg.m_pReader, ownReader);  // kept, idle
    const std::size_t firstDelivered = vaudio::VirtualInputDelivered(first);
    // The old device is no longer read; the chosen one is.
    const auto old = DtmfRecording("#55");
    vaudio::FeedVirtualInput(first, old);
    vaudio::FeedVirtualInput(second, DtmfRecording("*7"));
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "*7"; }));
    PumpFor(old.size() * 1000ms / kRate);  // as long as the old recording would take
    EXPECT_EQ(dlg.texts, (Texts{"*", "*7"}));
    EXPECT_EQ(vaudio::VirtualInputDelivered(first), firstDelivered);
    // A selection that reports no position leaves no monitor; the next choice listens again.
    dlg.Choose(IDC_INPUT_DEVICE, wxNOT_FOUND);
    EXPECT_EQ(dlg.m_pMonitor, nullptr);
    dlg.Choose(IDC_INPUT_DEVICE, 0);
    EXPECT_NE(dlg.m_pMonitor, nullptr);
}

TEST_F(ListeningTest, DeviceChangeWhileACommandArrivesIsQuick)
{
    // A long command at real time: the worker sends a text every 140 ms.
    const unsigned int busy = vaudio::AddVirtualInput("Busy keypad", DtmfRecording("#1234567890123456789"), realTime);
    vaudio::AddVirtualInput("Quiet keypad", {}, realTime);
    TestDlg dlg;
    dlg.Open();
    ASSERT_TRUE(PumpUntil([&] { return dlg.texts.size() >= 3; }));
    // No events handled meanwhile, so the worker is blocked in its next send.
    const std::size_t before = vaudio::VirtualInputDelivered(busy);
    std::this_thread::sleep_for(200ms);
    ASSERT_GT(vaudio::VirtualInputDelivered(busy), before);
    const auto start = Clock::now();
    dlg.Choose(IDC_INPUT_DEVICE, 1);
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_NE(dlg.m_pMonitor, nullptr);
}
