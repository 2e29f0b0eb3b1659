// The console's dialog: its layout and device lists, its ends and boxes, listening on the
// chosen device, and playing the typed file on two devices.
#include <unistd.h>

#include "CommandReader.h"  // WM_DTMFCOMMAND
#include "GuiSupport.h"
#include "QuillonApp.h"

using namespace guitest;

namespace {

constexpr vaudio::InputOptions kRealTime{.pacing = vaudio::Pacing::RealTime};

class TwoSoundsTest : public QuillonTest {
protected:
    ~TwoSoundsTest() override { std::remove(path.c_str()); }
    std::string path = testing::TempDir() + "quillon-two-sounds-" + std::to_string(getpid()) + ".wav";
    std::vector<std::uint8_t> bytes = WriteWav(path, DtmfRecording("#0"));
    ModalInterceptor modal;
};

}  // namespace

// GTK wants taller controls than the template: none is clipped, none overlaps another.
TEST_F(QuillonTest, ControlsAreNeverClippedAndNeverOverlap)
{
    TestDlg dlg;
    dlg.Open(false);  // once shown, a GTK entry's best height follows its current height
    const std::vector<wxWindow*> windows(dlg.GetChildren().begin(), dlg.GetChildren().end());
    ASSERT_EQ(windows.size(), 12u);
    for (wxWindow* w : windows) {
        SCOPED_TRACE(w->GetLabel().utf8_string());
        EXPECT_GE(w->GetSize().y, w->GetBestSize().y);
        for (wxWindow* other : windows)
            EXPECT_TRUE(w == other || !w->GetRect().Intersects(other->GetRect())) << other->GetLabel();
        EXPECT_TRUE(dlg.GetClientRect().Contains(w->GetRect()));
    }
    EXPECT_FALSE(static_cast<wxTextCtrl*>(dlg.FindWindow(IDC_LAST_COMMAND))->IsEditable());
    EXPECT_EQ(dlg.GetDefaultItem(), dlg.FindWindow(IDOK));
    const wxSize templateSize = dlg.ConvertDialogToPixels(wxSize(320, 200));
    EXPECT_TRUE(dlg.GetClientSize().x >= templateSize.x && dlg.GetClientSize().y >= templateSize.y);
}

TEST_F(QuillonTest, DeviceListsHoldEveryDeviceInNumberOrderAndCutNamesStillListen)
{
    vaudio::AddVirtualInput("Zeta microphone", {});  // out of alphabetical order: no sorting
    // 31 bytes end inside the last "ö": the list shows the name without it.
    const unsigned int cut = vaudio::AddVirtualInput("Mikrofon des Konferenzraums \xc3\xb6\xc3\xb6", {},
                                                     {.pacing = vaudio::Pacing::RealTime});
    vaudio::AddVirtualOutput("Speaker B");
    vaudio::AddVirtualOutput("Speaker A");
    TestDlg dlg;
    dlg.Open();
    auto entries = [&](int id) {
        Texts names;
        for (unsigned int k = 0; k < dlg.List(id)->GetCount(); ++k) {
            names.push_back(dlg.List(id)->GetString(k).utf8_string());
            EXPECT_EQ(reinterpret_cast<std::intptr_t>(dlg.List(id)->GetClientData(k)), std::intptr_t(k));
        }
        EXPECT_EQ(dlg.List(id)->GetSelection(), wxNOT_FOUND);  // although device 0 is monitored
        return names;
    };
    EXPECT_EQ(entries(IDC_INPUT_DEVICE), (Texts{"Zeta microphone", "Mikrofon des Konferenzraums \xc3\xb6"}));
    EXPECT_EQ(entries(IDC_OUTPUT_DEVICE), (Texts{"Speaker B", "Speaker A"}));
    EXPECT_NE(dlg.m_pMonitor, nullptr);
    dlg.Choose(IDC_INPUT_DEVICE, 1);
    vaudio::FeedVirtualInput(cut, DtmfRecording("#4"));
    EXPECT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "#4"; }));
}

// Cancel, Escape and closing end the dialog; a late notification to it then fails at once.
TEST_F(QuillonTest, CancelEscapeAndCloseEndItAndLateNotificationsFail)
{
    const std::function<void(TestDlg&)> enders[] = {
        [](TestDlg& d) { d.Click(IDCANCEL); }, [](TestDlg& d) { d.Press(WXK_ESCAPE); }, [](TestDlg& d) { d.Close(); }};
    for (const auto& end : enders) {
        TestDlg dlg;
        dlg.Open(false);
        const HWND hwnd = dlg.GetSafeHwnd();
        wxTheApp->CallAfter([&] { end(dlg); });
        EXPECT_EQ(dlg.ShowModal(), wxID_CANCEL);
        EXPECT_FALSE(dlg.IsShown() || IsWindow(hwnd));
        LRESULT result = -1;
        std::thread([&] { result = SendMessageA(hwnd, WM_DTMFCOMMAND, reinterpret_cast<WPARAM>("#1"), 0); }).join();
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(dlg.texts.empty());
    }
}

// F12 and the About command (any id whose low four bits clear to it) open the About box; F1 the usage.
TEST_F(QuillonTest, AboutCommandAndKeysOpenTheirBoxes)
{
    TestDlg dlg;
    dlg.Open();
    ModalInterceptor modal;
    dlg.Press(WXK_F12, IDOK);
    ASSERT_TRUE(PumpUntil([&] { return !modal.boxes.empty(); }, 5s));
    dlg.OnSysCommand(0x0013, 0);
    dlg.OnSysCommand(0x0020, 0);
    dlg.Press(WXK_F1, IDOK);
    ASSERT_TRUE(PumpUntil([&] { return modal.boxes.size() == 3; }, 5s));
    EXPECT_EQ(modal.boxes, (Texts{"About Quillon", "About Quillon", std::string("Quillon: ") + quillon::UsageText()}));
    EXPECT_TRUE(dlg.IsShown());
}

TEST_F(QuillonTest, ShowsEveryTextOfACommandOnDeviceZeroThenOnTheChosenDeviceOnly)
{
    const unsigned int first = vaudio::AddVirtualInput("Keypad A", DtmfRecording("#12"), kRealTime);
    const unsigned int second = vaudio::AddVirtualInput("Keypad B", {}, kRealTime);
    TestDlg dlg;
    dlg.Open();
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "#12"; }));
    EXPECT_EQ(dlg.texts, (Texts{"#", "#1", "#12"}));
    dlg.Choose(IDC_INPUT_DEVICE, 1);
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
TEST_F(QuillonTest, DeviceChangeWhileACommandArrives)
{
    const unsigned int busy = vaudio::AddVirtualInput("Busy keypad", DtmfRecording("#1234567890123456789"), kRealTime);
    vaudio::AddVirtualInput("Quiet keypad", {}, kRealTime);
    TestDlg dlg;
    dlg.Open();
    ASSERT_TRUE(PumpUntil([&] { return dlg.texts.size() >= 3; }));
    const std::size_t before = vaudio::VirtualInputDelivered(busy);
    std::this_thread::sleep_for(200ms);  // no events handled meanwhile, so the worker waits in its next send
    ASSERT_GT(vaudio::VirtualInputDelivered(busy), before);
    dlg.Choose(IDC_INPUT_DEVICE, 1);
    EXPECT_NE(dlg.m_pMonitor, nullptr);
}

TEST_F(TwoSoundsTest, PlaysTheFileOnBothDevicesToTheEnd)
{
    const unsigned int a = vaudio::AddVirtualOutput("Speaker A", {.clock = vaudio::OutputClock::Manual});
    const unsigned int b = vaudio::AddVirtualOutput("Speaker B", {.clock = vaudio::OutputClock::Manual});
    {
        TestDlg dlg;
        dlg.Open();
        dlg.Click(IDC_TWO_SOUNDS);  // nothing typed: no box, no device opened
        EXPECT_EQ(vaudio::VirtualOutputOpens(a), 0);
        dlg.SetWaveFile(path);
        dlg.Click(IDC_TWO_SOUNDS);
        EXPECT_TRUE(modal.boxes.empty());
        // The handler has returned; the sounds still play.
        ASSERT_TRUE(vaudio::VirtualOutputIsOpen(a) && vaudio::VirtualOutputIsOpen(b));
        vaudio::AdvanceVirtualOutput(a, bytes.size());
        vaudio::AdvanceVirtualOutput(b, bytes.size());
        EXPECT_EQ(vaudio::VirtualOutputPlayed(a), bytes);
        EXPECT_EQ(vaudio::VirtualOutputPlayed(b), bytes);
        // The next click releases them before it opens the devices again.
        dlg.Click(IDC_TWO_SOUNDS);
        EXPECT_TRUE(vaudio::VirtualOutputOpens(a) == 2 && vaudio::VirtualOutputOpens(b) == 2);
    }
    // ...and the dialog's end releases them.
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(a) || vaudio::VirtualOutputIsOpen(b));
}

TEST_F(TwoSoundsTest, DevicesThatCannotOpenShowTheirBoxesInOrder)
{
    vaudio::AddVirtualOutput("Broken A", {.failOpen = true});
    vaudio::AddVirtualOutput("Broken B", {.failOpen = true});
    TestDlg dlg;
    dlg.Open();
    dlg.SetWaveFile(path);
    dlg.Click(IDC_TWO_SOUNDS);
    EXPECT_EQ(modal.boxes, (Texts{"Quillon: Playback failed", "Quillon: Other Playback failed"}));

    // With only the second broken, the first plays while that box is shown.
    vaudio::RemoveVirtualDevices();
    const unsigned int a = vaudio::AddVirtualOutput("Speaker A");
    vaudio::AddVirtualOutput("Broken B", {.failOpen = true});
    std::size_t playedDuringBox = 0;
    modal.onBox = [&] { playedDuringBox = vaudio::VirtualOutputPlayed(a).size(); };
    modal.boxes.clear();
    dlg.Click(IDC_TWO_SOUNDS);
    EXPECT_EQ(modal.boxes, Texts{"Quillon: Other Playback failed"});
    EXPECT_EQ(playedDuringBox, bytes.size());
}
