// The console's dialog: its device lists, its ends and boxes, listening on the
// chosen device, playing the typed file on two devices, and a command through the sound server.
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/combobox.h>
#include <wx/evtloop.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/textctrl.h>
#include <wx/uiaction.h>

#include "AudioFile.h"
#include "CommandReader.h"  // WM_DTMFCOMMAND
#include "QuillonApp.h"
#include "QuillonDlg.h"
#include "Resource.h"
#include "Tones.h"
#include "VirtualAudio.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Texts = std::vector<std::string>;

// Handles events (and so the messages sent to the dialog) until `done` holds;
// the limit only guards against hangs.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s)
{
    for (const auto end = Clock::now() + limit; !done(); std::this_thread::sleep_for(2ms)) {
        if (Clock::now() > end)
            return false;
        if (auto* loop = wxEventLoopBase::GetActive())
            loop->YieldFor(wxEVT_CATEGORY_ALL);
    }
    return true;
}

constexpr int kRate = 11025;

// Default tones (80 ms, 60 ms gaps) after `leadMs` of silence, then 200 ms of
// silence, in whole 256-sample blocks.
std::vector<std::int16_t> DtmfRecording(std::string_view keys, int leadMs = 100)
{
    std::vector<std::int16_t> out(kRate * leadMs / 1000), tones = tool::GenerateTones(keys, {});
    out.insert(out.end(), tones.begin(), tones.end());
    out.resize((out.size() + kRate / 5 + 255) / 256 * 256);
    return out;
}

// Writes an 11025 Hz mono 16-bit WAV file; returns the bytes of its samples.
std::vector<std::uint8_t> WriteWav(const std::string& path, const std::vector<std::int16_t>& samples)
{
    std::string error;
    EXPECT_TRUE(tool::WriteDetectorWav(path, samples, error)) << error;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
    return {bytes, bytes + samples.size() * 2};
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
        if (show)
            Show();
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

// Only virtual devices, numbered from 0, for each test.
class QuillonTest : public testing::Test {
protected:
    QuillonTest() { vaudio::RemoveVirtualDevices(), vaudio::UseServerDevices(false); }
    ~QuillonTest() override { vaudio::RemoveVirtualDevices(); }
};

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

// The lists hold every device in number order, unsorted, with no selection although device 0
// is monitored. Each text of a command is shown, from device 0 and then from the chosen device only.
TEST_F(QuillonTest, ListsDevicesAndListensOnDeviceZeroThenOnTheChosenDeviceOnly)
{
    const unsigned int first = vaudio::AddVirtualInput("Zeta microphone", DtmfRecording("#12"), kRealTime);
    // 31 bytes end inside the last "ö": the list shows the name without it, and the device still opens.
    const unsigned int second = vaudio::AddVirtualInput("Mikrofon des Konferenzraums \xc3\xb6\xc3\xb6", {}, kRealTime);
    vaudio::AddVirtualOutput("Speaker B");
    vaudio::AddVirtualOutput("Speaker A");
    TestDlg dlg;
    dlg.Open();
    auto entries = [&](int id) {
        Texts names;
        for (const wxString& name : dlg.List(id)->GetStrings())
            names.push_back(name.utf8_string());
        return dlg.List(id)->GetSelection() == wxNOT_FOUND ? names : Texts{};
    };
    EXPECT_EQ(entries(IDC_INPUT_DEVICE), (Texts{"Zeta microphone", "Mikrofon des Konferenzraums \xc3\xb6"}));
    EXPECT_EQ(entries(IDC_OUTPUT_DEVICE), (Texts{"Speaker B", "Speaker A"}));
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "#12"; }));
    EXPECT_EQ(dlg.texts, (Texts{"#", "#1", "#12"}));
    dlg.Choose(IDC_INPUT_DEVICE, 1);
    const std::size_t firstDelivered = vaudio::VirtualInputDelivered(first);
    const auto old = DtmfRecording("#55");
    vaudio::FeedVirtualInput(first, old);
    vaudio::FeedVirtualInput(second, DtmfRecording("*7"));
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "*7"; }));
    PumpUntil([] { return false; }, old.size() * 1000ms / kRate);  // as long as the old recording would take
    EXPECT_EQ(dlg.texts, (Texts{"#", "#1", "#12", "*", "*7"}));
    EXPECT_EQ(vaudio::VirtualInputDelivered(first), firstDelivered);
    // A device change while the worker is blocked in a send to the dialog does not deadlock. A
    // selection that reports no position leaves no monitor; the next choice listens again.
    vaudio::FeedVirtualInput(second, DtmfRecording("#1234567890123456789"));
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
// handler returned; the next click and the dialog's end release them.
TEST_F(QuillonTest, TwoSoundsPlayTheTypedFileOnTheFirstTwoDevices)
{
    const std::string path = testing::TempDir() + "quillon-two-sounds-" + std::to_string(getpid()) + ".wav";
    const std::vector<std::uint8_t> bytes = WriteWav(path, DtmfRecording("#0"));
    ModalInterceptor modal;
    vaudio::AddVirtualOutput("Broken A", {.failOpen = true});
    vaudio::AddVirtualOutput("Broken B", {.failOpen = true});
    {
        TestDlg dlg;
        dlg.Open();
        dlg.SetWaveFile(path);
        dlg.Click(IDC_TWO_SOUNDS);
        EXPECT_EQ(modal.boxes, (Texts{"Quillon: Playback failed", "Quillon: Other Playback failed"}));
        vaudio::RemoveVirtualDevices();
        const unsigned int a = vaudio::AddVirtualOutput("Speaker A");
        vaudio::AddVirtualOutput("Broken B", {.failOpen = true});
        std::size_t playedDuringBox = 0;
        modal.onBox = [&] { playedDuringBox = vaudio::VirtualOutputPlayed(a).size(); };
        dlg.Click(IDC_TWO_SOUNDS);
        EXPECT_TRUE(modal.boxes.size() == 3 && modal.boxes.back() == "Quillon: Other Playback failed" &&
                    playedDuringBox == bytes.size());
    }
    vaudio::RemoveVirtualDevices();
    const unsigned int a = vaudio::AddVirtualOutput("Speaker A", {.clock = vaudio::OutputClock::Manual});
    const unsigned int b = vaudio::AddVirtualOutput("Speaker B", {.clock = vaudio::OutputClock::Manual});
    {
        TestDlg dlg;
        dlg.Open();
        dlg.Click(IDC_TWO_SOUNDS);  // nothing typed: no device opened
        dlg.SetWaveFile(path);
        dlg.Click(IDC_TWO_SOUNDS);
        ASSERT_TRUE(vaudio::VirtualOutputOpens(a) == 1 && vaudio::VirtualOutputIsOpen(b));
        vaudio::AdvanceVirtualOutput(a, bytes.size());
        vaudio::AdvanceVirtualOutput(b, bytes.size());
        EXPECT_TRUE(vaudio::VirtualOutputPlayed(a) == bytes && vaudio::VirtualOutputPlayed(b) == bytes);
        dlg.Click(IDC_TWO_SOUNDS);
        EXPECT_TRUE(vaudio::VirtualOutputOpens(a) == 2 && vaudio::VirtualOutputOpens(b) == 2);
    }
    EXPECT_FALSE(vaudio::VirtualOutputIsOpen(a) || vaudio::VirtualOutputIsOpen(b) || modal.boxes.size() != 3);
    std::remove(path.c_str());
}

// End to end through the real sound server: Quillon listens on the test sink's
// monitor, chosen from its list, while a command is played into the sink.
TEST(QuillonPulse, ReceivesACommandPlayedIntoTheSink)
{
    vaudio::RemoveVirtualDevices();
    vaudio::UseServerDevices(true);
    const std::string path = testing::TempDir() + "quillon-pulse-" + std::to_string(getpid()) + ".wav";
    WriteWav(path, DtmfRecording("#12", 300));
    TestDlg dlg;
    dlg.Open();
    const int monitor = dlg.List(IDC_INPUT_DEVICE)->FindString("Monitor of DTMF-Test-Sink", true);
    const int sink = dlg.List(IDC_OUTPUT_DEVICE)->FindString("DTMF-Test-Sink", true);
    ASSERT_TRUE(monitor != wxNOT_FOUND && sink != wxNOT_FOUND);
    dlg.Choose(IDC_INPUT_DEVICE, monitor);
    CWave sound;
    sound.SetDevice(sink);
    ASSERT_TRUE(dlg.m_pMonitor && sound.Load(path.c_str()) == 1 && sound.Play() != 0);
    EXPECT_TRUE(PumpUntil([&] { return dlg.m_lastCommand->GetValue() == "#12"; }));
    EXPECT_EQ(dlg.texts, (Texts{"#", "#1", "#12"}));
    std::remove(path.c_str());
}
