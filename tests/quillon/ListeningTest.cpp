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

TEST_F(ListeningTest, ShowsEveryTextOfACommandOnDeviceZeroThenOnTheChosenDeviceOnly)
{
    const unsigned int first = vaudio::AddVirtualInput("Keypad A", DtmfRecording("#12"), realTime);
    const unsigned int second = vaudio::AddVirtualInput("Keypad B", {}, realTime);
    TestDlg dlg;
    dlg.Open();
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "#12"; }));
    EXPECT_EQ(dlg.texts, (Texts{"#", "#1", "#12"}));
    CommandReader* const ownReader = dlg.m_pReader;
    dlg.Choose(IDC_INPUT_DEVICE, 1);
    EXPECT_EQ(dlg.m_pReader, ownReader);  // kept, idle
    const std::size_t firstDelivered = vaudio::VirtualInputDelivered(first);
    const auto old = DtmfRecording("#55");
    vaudio::FeedVirtualInput(first, old);
    vaudio::FeedVirtualInput(second, DtmfRecording("*7"));
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "*7"; }));
    PumpFor(old.size() * 1000ms / kRate);  // as long as the old recording would take
    EXPECT_EQ(dlg.texts, (Texts{"#", "#1", "#12", "*", "*7"}));
    EXPECT_EQ(vaudio::VirtualInputDelivered(first), firstDelivered);
    // A selection that reports no position leaves no monitor; the next choice listens again.
    dlg.Choose(IDC_INPUT_DEVICE, wxNOT_FOUND);
    EXPECT_EQ(dlg.m_pMonitor, nullptr);
    dlg.Choose(IDC_INPUT_DEVICE, 0);
    EXPECT_NE(dlg.m_pMonitor, nullptr);
}

// The worker is blocked in a send to the dialog when the device changes: no deadlock.
TEST_F(ListeningTest, DeviceChangeWhileACommandArrives)
{
    const unsigned int busy = vaudio::AddVirtualInput("Busy keypad", DtmfRecording("#1234567890123456789"), realTime);
    vaudio::AddVirtualInput("Quiet keypad", {}, realTime);
    TestDlg dlg;
    dlg.Open();
    ASSERT_TRUE(PumpUntil([&] { return dlg.texts.size() >= 3; }));
    const std::size_t before = vaudio::VirtualInputDelivered(busy);
    std::this_thread::sleep_for(200ms);  // no events handled meanwhile, so the worker waits in its next send
    ASSERT_GT(vaudio::VirtualInputDelivered(busy), before);
    dlg.Choose(IDC_INPUT_DEVICE, 1);
    EXPECT_NE(dlg.m_pMonitor, nullptr);
}
