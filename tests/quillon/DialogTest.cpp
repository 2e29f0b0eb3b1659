// The dialog as its template gives it, its device lists, its ends, and the About box.
#include <wx/settings.h>
#include <wx/statbmp.h>

#include "CommandReader.h"  // WM_DTMFCOMMAND
#include "GuiSupport.h"
#include "QuillonApp.h"

using namespace guitest;

namespace {

struct Expected {
    int id;  // 0: a label, whose id is generated
    const char* classInfo;
    const char* text;
    wxRect units;
};

// Template order, which is the tab order.
const Expected kControls[] = {
    {IDOK, "wxButton", "OK", {209, 179, 50, 14}},
    {IDCANCEL, "wxButton", "Cancel", {263, 179, 50, 14}},
    {IDC_LAST_COMMAND, "wxTextCtrl", "", {30, 46, 135, 14}},
    {0, "wxStaticText", "Last command recieved", {31, 35, 76, 8}},
    {IDC_PLAY_FILE, "wxButton", "Play file", {208, 148, 50, 14}},
    {IDC_INPUT_DEVICE, "wxComboBox", "", {33, 76, 155, 12}},
    {IDC_OUTPUT_DEVICE, "wxComboBox", "", {31, 104, 158, 12}},
    {0, "wxStaticText", "Audio Input device", {33, 65, 61, 8}},
    {0, "wxStaticText", "Audio Output device", {35, 94, 66, 8}},
    {IDC_WAVE_FILE, "wxTextCtrl", "", {17, 158, 157, 14}},
    {0, "wxStaticText", "Wave file location", {21, 148, 58, 8}},
    {IDC_TWO_SOUNDS, "wxButton", "TwoSounds", {263, 149, 50, 14}},
};

class DialogTest : public testing::Test {
protected:
    VirtualDevices devices;
};

}  // namespace

TEST_F(DialogTest, ControlsFollowTheTemplate)
{
    TestDlg dlg;
    dlg.Open(false);  // once shown, a GTK entry's best height follows its current height
    EXPECT_EQ(dlg.GetTitle(), "Quillon");
    EXPECT_EQ(dlg.GetId(), IDD_QUILLON_DIALOG);
    EXPECT_EQ(dlg.GetFont(), wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT));
    const std::vector<wxWindow*> windows(dlg.GetChildren().begin(), dlg.GetChildren().end());
    ASSERT_EQ(windows.size(), std::size(kControls));
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const Expected& c = kControls[i];
        wxWindow* w = windows[i];
        SCOPED_TRACE(c.text);
        EXPECT_TRUE(w->IsKindOf(wxClassInfo::FindClass(c.classInfo))) << w->GetClassInfo()->GetClassName();
        EXPECT_TRUE(c.id ? w->GetId() == c.id : w->GetId() < 0) << w->GetId();
        if (!dynamic_cast<wxComboBox*>(w)) {
            auto* text = dynamic_cast<wxTextCtrl*>(w);
            EXPECT_EQ(text ? text->GetValue() : w->GetLabel(), c.text);
        }
        // GTK wants taller controls than the template: never clip them.
        EXPECT_GE(w->GetSize().y, std::max(w->GetBestSize().y, dlg.ConvertDialogToPixels(c.units.GetSize()).y));
        // Grown controls push down what lies below; nothing overlaps, rows and order survive.
        for (std::size_t j = 0; j < windows.size(); ++j) {
            const wxRect r = w->GetRect(), other = windows[j]->GetRect();
            EXPECT_TRUE(i == j || !r.Intersects(other)) << kControls[j].text;
            const bool sharesColumns = r.GetLeft() <= other.GetRight() && other.GetLeft() <= r.GetRight();
            const bool above = c.units.GetBottom() < kControls[j].units.y && sharesColumns;
            EXPECT_TRUE(!above || r.GetBottom() <= other.y) << "above " << kControls[j].text;
        }
    }
    EXPECT_FALSE(static_cast<wxTextCtrl*>(dlg.FindWindow(IDC_LAST_COMMAND))->IsEditable());
    EXPECT_TRUE(static_cast<wxTextCtrl*>(dlg.FindWindow(IDC_WAVE_FILE))->IsEditable());
    EXPECT_EQ(dlg.GetDefaultItem(), dlg.FindWindow(IDOK));
    EXPECT_EQ(dlg.FindWindow(IDOK)->GetPosition().y, dlg.FindWindow(IDCANCEL)->GetPosition().y);
    EXPECT_EQ(dlg.FindWindow(IDOK)->GetPosition().x, dlg.ConvertDialogToPixels(wxPoint(209, 0)).x);
    const wxSize templateSize = dlg.ConvertDialogToPixels(wxSize(320, 200));
    EXPECT_GE(dlg.GetClientSize().x, templateSize.x);
    EXPECT_GE(dlg.GetClientSize().y, templateSize.y);
    EXPECT_TRUE(dlg.GetIcons().GetIcon(16).IsOk() && dlg.GetIcons().GetIcon(48).IsOk());
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
    ASSERT_EQ(dlg.m_sysMenu.GetMenuItemCount(), 1u);
    EXPECT_EQ(dlg.m_sysMenu.FindItemByPosition(0)->GetId(), static_cast<int>(IDM_ABOUTBOX));
    EXPECT_EQ(dlg.m_sysMenu.FindItemByPosition(0)->GetItemLabel(), "&About Quillon...");
    ModalInterceptor modal;
    Texts titles, labels;
    wxTimer watch;  // runs inside the About box's own modal loop
    modal.onDialog = [&](wxDialog* about) {
        titles.push_back(about->GetTitle().utf8_string());
        EXPECT_NE(dynamic_cast<CAboutDlg*>(about), nullptr);
        if (titles.size() > 1)
            return static_cast<int>(wxID_OK);
        for (wxWindow* child : about->GetChildren())
            if (!dynamic_cast<wxStaticBitmap*>(child))
                labels.push_back(child->GetLabel().utf8_string());
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
    ASSERT_EQ(labels.size(), 3u);
    EXPECT_EQ(labels[0], "Quillon, Version 1.0");
    EXPECT_FALSE(labels[1].empty());
    EXPECT_EQ(labels[2], "OK");
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
