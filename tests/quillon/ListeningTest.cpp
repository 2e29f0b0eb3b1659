// Listening: device 0 from the start, a chosen device after a selection, and a
// device change while a command is arriving.
#include <gtest/gtest.h>

#include "GuiSupport.h"

using namespace guitest;
using namespace std::chrono_literals;

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
    EXPECT_EQ(dlg.texts, (std::vector<std::string>{"#", "#1", "#12"}));
    EXPECT_EQ(dlg.m_lastCommand->GetValue(), "#12");
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
    const auto chosen = DtmfRecording("*7");
    vaudio::FeedVirtualInput(second, chosen);
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "*7"; }));
    PumpFor(old.size() * 1000ms / kRate);  // as long as the old recording would take
    EXPECT_EQ(dlg.texts, (std::vector<std::string>{"*", "*7"}));
    EXPECT_EQ(vaudio::VirtualInputDelivered(first), firstDelivered);
}

TEST_F(ListeningTest, ChoosingADeviceWhoseNameWasCutFindsThatDevice)
{
    vaudio::AddVirtualInput("Keypad", {}, realTime);
    // 31 bytes end inside the last "ö": the list shows the name without it.
    const unsigned int cut = vaudio::AddVirtualInput("Mikrofon des Konferenzraums \xc3\xb6\xc3\xb6", {}, realTime);
    TestDlg dlg;
    dlg.Open();
    dlg.Choose(IDC_INPUT_DEVICE, 1);
    vaudio::FeedVirtualInput(cut, DtmfRecording("#4"));
    EXPECT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "#4"; }));
}

TEST_F(ListeningTest, SelectionWithoutPositionLeavesNoMonitor)
{
    vaudio::AddVirtualInput("Keypad", {}, realTime);
    TestDlg dlg;
    dlg.Open();
    ASSERT_NE(dlg.m_pMonitor, nullptr);
    dlg.Choose(IDC_INPUT_DEVICE, wxNOT_FOUND);
    EXPECT_EQ(dlg.m_pMonitor, nullptr);
    // The next real choice listens again; the dialog's end releases cleanly.
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
    // Stop handling events so that the worker is blocked in its next send.
    const std::size_t before = vaudio::VirtualInputDelivered(busy);
    std::this_thread::sleep_for(200ms);
    ASSERT_GT(vaudio::VirtualInputDelivered(busy), before);

    const auto start = Clock::now();
    dlg.Choose(IDC_INPUT_DEVICE, 1);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    std::printf("input device change while a command arrives: %lld ms\n", static_cast<long long>(took.count()));
    EXPECT_LT(took, 1000ms);
    ASSERT_NE(dlg.m_pMonitor, nullptr);
}

TEST_F(ListeningTest, NotificationsAreHandledWhileTheAboutBoxIsOpen)
{
    const unsigned int keypad = vaudio::AddVirtualInput("Keypad", {}, realTime);
    TestDlg dlg;
    dlg.Open();
    ModalInterceptor modal;
    std::string seen;
    wxDialog* about = nullptr;
    const auto end = Clock::now() + 20s;
    // Watches the field from inside the About box's own modal loop.
    wxTimer watch;
    watch.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (dlg.m_lastCommand->GetValue() == "*3" || Clock::now() > end) {
            watch.Stop();
            seen = dlg.m_lastCommand->GetValue().utf8_string();
            about->EndModal(IDOK);
        }
    });
    modal.onDialog = [&](wxDialog* box) {
        about = box;
        vaudio::FeedVirtualInput(keypad, DtmfRecording("*3"));
        watch.Start(5);
        return static_cast<int>(wxID_NONE);
    };
    dlg.OnSysCommand(IDM_ABOUTBOX, 0);
    EXPECT_EQ(seen, "*3");
}
