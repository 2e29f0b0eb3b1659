// The console's dialog: its device lists, its ends and boxes, listening on the chosen device
// and playing the typed file on two devices.
#include <unistd.h>

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/combobox.h>
#include <wx/evtloop.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/textctrl.h>
#include <wx/uiaction.h>

#include "../audio/TestSupport.h"
#include "../monitor/MonitorSupport.h"
#include "QuillonApp.h"
#include "QuillonDlg.h"
#include "Resource.h"

namespace {

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

// Handles events (and so the messages sent to the dialog) until `done` holds;
// the limit only guards against hangs.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s)
{
    return montest::WaitUntil([&] { return wxEventLoopBase::GetActive()->YieldFor(wxEVT_CATEGORY_ALL), done(); },
                              limit);
}

// Modal dialogs are recorded ("caption: message" for message boxes, else the title) and
// answered with OK unseen.
class ModalInterceptor : public wxModalDialogHook {
public:
    Texts boxes;
    std::function<void()> onBox = [] {};
    ModalInterceptor() { Register(); }

protected:
    int Enter(wxDialog* dialog) override
    {
        auto* box = dynamic_cast<wxMessageDialogBase*>(dialog);
        boxes.push_back((box ? box->GetCaption() + ": " + box->GetMessage() : dialog->GetTitle()).utf8_string());
        return onBox(), wxID_OK;
    }
    void Exit(wxDialog*) override {}
};

// The dialog with its protected parts reachable, recording every text its
// command field is given.
class TestDlg : public CQuillonDlg {
public:
    using CQuillonDlg::m_lastCommand;
    using CQuillonDlg::m_pMonitor;
    using CQuillonDlg::OnSysCommand;
    Texts texts;

    void Open(bool show = true)
    {
        CreateFromTemplate();
        m_lastCommand->Bind(wxEVT_TEXT,
                            [this](wxCommandEvent& e) { texts.push_back(e.GetString().utf8_string()), e.Skip(); });
        Show(show);
    }
    wxComboBox* List(int id) { return static_cast<wxComboBox*>(FindWindow(id)); }
    // What a person's choice in a list does: select the entry, then notify; or a click.
    void Choose(int id, int position, wxEventType type = wxEVT_COMBOBOX)
    {
        if (type == wxEVT_COMBOBOX)
            List(id)->SetSelection(position);
        wxCommandEvent event(type, id);
        event.SetEventObject(FindWindow(id));
        event.SetInt(position);
        FindWindow(id)->GetEventHandler()->ProcessEvent(event);
    }
    void Click(int id) { Choose(id, 0, wxEVT_BUTTON); }
    // A key typed into control `focus`; keys go to the window under the pointer.
    void Press(int key, int focus = IDC_WAVE_FILE)
    {
        wxUIActionSimulator sim;
        sim.MouseMove(GetScreenRect().GetPosition() + wxPoint(5, 5));
        FindWindow(focus)->SetFocus();
        PumpUntil([] { return false; }, 50ms);
        sim.Char(key);
    }
    void SetWaveFile(const std::string& path) { static_cast<wxTextCtrl*>(FindWindow(IDC_WAVE_FILE))->SetValue(path); }
};

struct QuillonTest : testing::Test, montest::VirtualOnly {};

constexpr vaudio::InputOptions kRealTime{.pacing = vaudio::Pacing::RealTime};

}  // namespace

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
        EXPECT_TRUE(dlg.ShowModal() == wxID_CANCEL && !dlg.IsShown() && !IsWindow(hwnd));
        LRESULT result = -1;
        std::thread([&] { result = SendMessageA(hwnd, WM_DTMFCOMMAND, reinterpret_cast<WPARAM>("#1"), 0); }).join();
        EXPECT_TRUE(result == 0 && dlg.texts.empty());
    }
}

// The lists hold every device in number order, unsorted, with no selection although device 0
// is monitored. Each text of a command is shown, from device 0 and then from the chosen device only.
TEST_F(QuillonTest, ListsDevicesAndListensOnDeviceZeroThenOnTheChosenDeviceOnly)
{
    const unsigned int first = vaudio::AddVirtualInput("Zeta microphone", montest::Recording("#12"), kRealTime);
    // 31 bytes end inside the last "ö": the list shows the name without it, and the device still opens.
    const unsigned int second = vaudio::AddVirtualInput("Mikrofon des Konferenzraums \xc3\xb6\xc3\xb6", {}, kRealTime);
    vaudio::AddVirtualOutput("Speaker B");
    vaudio::AddVirtualOutput("Speaker A");
    TestDlg dlg;
    dlg.Open();
    const auto entries = [&](int id) {
        return dlg.List(id)->GetSelection() == wxNOT_FOUND ? wxJoin(dlg.List(id)->GetStrings(), '|').utf8_string() : "";
    };
    EXPECT_EQ(entries(IDC_INPUT_DEVICE), "Zeta microphone|Mikrofon des Konferenzraums \xc3\xb6");
    EXPECT_EQ(entries(IDC_OUTPUT_DEVICE), "Speaker B|Speaker A");
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "#12"; }));
    EXPECT_EQ(dlg.texts, (Texts{"#", "#1", "#12"}));
    dlg.Choose(IDC_INPUT_DEVICE, 1);
    const std::size_t firstDelivered = vaudio::VirtualInputDelivered(first);
    const auto old = montest::Recording("#55");
    vaudio::FeedVirtualInput(first, old);
    vaudio::FeedVirtualInput(second, montest::Recording("*7"));
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "*7"; }));
    PumpUntil([] { return false; }, old.size() * 1000ms / montest::kRate);  // as long as the old recording would take
    EXPECT_EQ(dlg.texts, (Texts{"#", "#1", "#12", "*", "*7"}));
    EXPECT_EQ(vaudio::VirtualInputDelivered(first), firstDelivered);
    // A device change while the worker is blocked in a send to the dialog does not deadlock. A
    // selection that reports no position leaves no monitor; the next choice listens again.
    vaudio::FeedVirtualInput(second, montest::Recording("#1234567890123456789"));
    ASSERT_TRUE(PumpUntil([&] { return dlg.texts.size() >= 7; }));
    const std::size_t before = vaudio::VirtualInputDelivered(second);
    std::this_thread::sleep_for(200ms);  // no events handled meanwhile, so the worker waits in its next send
    ASSERT_GT(vaudio::VirtualInputDelivered(second), before);
    dlg.Choose(IDC_INPUT_DEVICE, wxNOT_FOUND);
    const bool none = dlg.m_pMonitor == nullptr;
    dlg.Choose(IDC_INPUT_DEVICE, 0);
    EXPECT_TRUE(none && dlg.m_pMonitor != nullptr);
}

// Devices that cannot open show their boxes in order, the first sound playing while the
// second's box is shown. The typed file plays on the first two devices to its end after the
// handler returned; the next click and the dialog's end release them. The About command (any
// id whose low four bits clear to it) and F12 open the About box; F1 the usage.
TEST_F(QuillonTest, TwoSoundsPlayTheTypedFileOnTheFirstTwoDevicesAndBoxesOpen)
{
    const auto bytes = audiotest::AsBytes(montest::Recording("#0"));
    const std::string path = audiotest::WriteWav("quillon-" + std::to_string(getpid()) + ".wav", bytes);
    ModalInterceptor modal;
    vaudio::AddVirtualOutput("Broken A", {.failOpen = true});
    vaudio::AddVirtualOutput("Broken B", {.failOpen = true});
    auto dlg = std::make_unique<TestDlg>();
    dlg->Open();
    dlg->Click(IDC_TWO_SOUNDS);  // nothing typed: no device opened, no box
    dlg->SetWaveFile(path);
    dlg->Click(IDC_TWO_SOUNDS);
    EXPECT_EQ(modal.boxes, (Texts{"Quillon: Playback failed", "Quillon: Other Playback failed"}));
    vaudio::RemoveVirtualDevices();
    unsigned int a = vaudio::AddVirtualOutput("Speaker A");
    vaudio::AddVirtualOutput("Broken B", {.failOpen = true});
    std::size_t playedDuringBox = 0;
    modal.onBox = [&] { playedDuringBox = vaudio::VirtualOutputPlayed(a).size(); };
    dlg->Click(IDC_TWO_SOUNDS);
    EXPECT_TRUE(modal.boxes.size() == 3 && playedDuringBox == bytes.size());
    vaudio::RemoveVirtualDevices();
    a = vaudio::AddVirtualOutput("Speaker A", {.clock = vaudio::OutputClock::Manual});
    const unsigned int b = vaudio::AddVirtualOutput("Speaker B", {.clock = vaudio::OutputClock::Manual});
    dlg->Click(IDC_TWO_SOUNDS);
    ASSERT_TRUE(vaudio::VirtualOutputOpens(a) == 1 && vaudio::VirtualOutputIsOpen(b));
    vaudio::AdvanceVirtualOutput(a, bytes.size());
    vaudio::AdvanceVirtualOutput(b, bytes.size());
    EXPECT_TRUE(vaudio::VirtualOutputPlayed(a) == bytes && vaudio::VirtualOutputPlayed(b) == bytes);
    dlg->Click(IDC_TWO_SOUNDS);
    EXPECT_TRUE(vaudio::VirtualOutputOpens(a) == 2 && vaudio::VirtualOutputOpens(b) == 2);
    dlg->OnSysCommand(0x0013, 0);
    dlg->OnSysCommand(0x0020, 0);
    dlg->Press(WXK_F12, IDOK);
    dlg->Press(WXK_F1, IDOK);
    ASSERT_TRUE(PumpUntil([&] { return modal.boxes.size() == 6; }, 5s));
    EXPECT_EQ(Texts(modal.boxes.begin() + 3, modal.boxes.end()),
              (Texts{"About Quillon", "About Quillon", std::string("Quillon: ") + quillon::UsageText()}));
    dlg.reset();
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(a) || vaudio::VirtualOutputIsOpen(b) || modal.boxes.size() != 6);
    std::remove(path.c_str());
}
