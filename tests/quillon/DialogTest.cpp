// The dialog as its template gives it, its device lists, its ends, and the About box.
#include "CommandReader.h"  // WM_DTMFCOMMAND
#include "GuiSupport.h"
#include "QuillonApp.h"

using namespace guitest;

namespace {

class DialogTest : public testing::Test {
protected:
    VirtualDevices devices;
};

}  // namespace

// GTK wants taller controls than the template: none is clipped, none overlaps another.
TEST_F(DialogTest, ControlsAreNeverClippedAndNeverOverlap)
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

TEST_F(DialogTest, DeviceListsHoldEveryDeviceInNumberOrderAndCutNamesStillListen)
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

TEST_F(DialogTest, OkAndEnterKeepTheDialogCancelEscapeAndCloseEndIt)
{
    const std::function<void(TestDlg&)> enders[] = {
        [](TestDlg& d) { d.Click(IDCANCEL); }, [](TestDlg& d) { d.Press(WXK_ESCAPE); }, [](TestDlg& d) { d.Close(); }};
    for (const auto& end : enders) {
        TestDlg dlg;
        dlg.Open(false);
        const HWND hwnd = dlg.GetSafeHwnd();
        int okClicks = 0;
        bool stayed = false;
        dlg.Bind(
            wxEVT_BUTTON, [&](wxCommandEvent& e) { ++okClicks, e.Skip(); }, IDOK);
        wxTheApp->CallAfter([&] {
            dlg.Click(IDOK);
            dlg.Press(WXK_RETURN);  // presses the default button
            stayed = PumpUntil([&] { return okClicks == 2; }, 5s) && dlg.IsModal() && dlg.IsShown();
            end(dlg);
        });
        EXPECT_EQ(ShowModalGuarded(dlg), wxID_CANCEL);
        EXPECT_TRUE(stayed);
        EXPECT_FALSE(dlg.IsShown());
        // A late notification to the ended dialog fails at once instead of waiting.
        EXPECT_FALSE(IsWindow(hwnd));
        LRESULT result = -1;
        std::thread([&] { result = SendMessageA(hwnd, WM_DTMFCOMMAND, reinterpret_cast<WPARAM>("#1"), 0); }).join();
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(dlg.texts.empty());
    }
}

TEST_F(DialogTest, AboutItemAndShortcutOpenTheAboutBoxWhileNotificationsGoOnAndF1ShowsUsage)
{
    const unsigned int keypad = vaudio::AddVirtualInput("Keypad", {}, {.pacing = vaudio::Pacing::RealTime});
    TestDlg dlg;
    dlg.Open();
    ModalInterceptor modal;
    Texts titles;
    wxTimer watch;  // runs inside the About box's own modal loop
    modal.onDialog = [&](wxDialog* about) {
        titles.push_back(about->GetTitle().utf8_string());
        EXPECT_NE(dynamic_cast<CAboutDlg*>(about), nullptr);
        if (titles.size() > 1)
            return static_cast<int>(wxID_OK);
        // The first one really runs, and a command arriving meanwhile is shown.
        vaudio::FeedVirtualInput(keypad, DtmfRecording("*3"));
        const auto end = Clock::now() + 20s;
        watch.Bind(wxEVT_TIMER, [&, about, end](wxTimerEvent&) {
            if (dlg.m_lastCommand->GetValue() == "*3" || Clock::now() > end)
                watch.Stop(), about->EndModal(wxID_OK);
        });
        watch.Start(5);
        return static_cast<int>(wxID_NONE);
    };
    wxCommandEvent menu(wxEVT_MENU, IDM_ABOUTBOX);  // as the context menu delivers it
    menu.SetEventObject(&dlg);
    dlg.GetEventHandler()->ProcessEvent(menu);
    EXPECT_EQ(titles, Texts{"About Quillon"});
    EXPECT_EQ(dlg.m_lastCommand->GetValue(), "*3");
    // Any id whose low four bits are cleared to 0x0010, and nothing else.
    dlg.OnSysCommand(0x0013, 0);
    dlg.OnSysCommand(0x0020, 0);
    EXPECT_EQ(titles.size(), 2u);
    dlg.Press(WXK_F12, IDOK);
    EXPECT_TRUE(PumpUntil([&] { return titles.size() == 3; }, 5s));
    dlg.Press(WXK_F1, IDOK);
    ASSERT_TRUE(PumpUntil([&] { return !modal.boxes.empty(); }, 5s));
    EXPECT_EQ(modal.boxes, Texts{std::string("Quillon: ") + quillon::UsageText()});
    EXPECT_TRUE(dlg.IsShown());
}
