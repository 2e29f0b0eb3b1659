// The dialog as its template gives it, its ends, and the About box.
#include <gtest/gtest.h>

#include <wx/button.h>
#include <wx/settings.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/uiaction.h>

#include "CommandReader.h"
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

bool SharesColumns(const wxRect& a, const wxRect& b)
{
    return a.GetLeft() <= b.GetRight() && b.GetLeft() <= a.GetRight();
}

class DialogTest : public testing::Test {
protected:
    VirtualDevices devices;
};

}  // namespace

TEST_F(DialogTest, ControlsFollowTheTemplate)
{
    TestDlg dlg;
    // Not shown: once realised, a GTK entry reports a best height that follows its
    // current height, which says nothing about clipping.
    dlg.Open(false);
    EXPECT_EQ(dlg.GetTitle(), "Quillon");
    EXPECT_EQ(dlg.GetId(), IDD_QUILLON_DIALOG);
    EXPECT_EQ(dlg.GetFont(), wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT));

    const wxWindowList& children = dlg.GetChildren();
    ASSERT_EQ(children.size(), std::size(kControls));
    std::vector<wxWindow*> windows(children.begin(), children.end());
    for (std::size_t i = 0; i < windows.size(); ++i) {
        SCOPED_TRACE(kControls[i].text);
        wxWindow* w = windows[i];
        EXPECT_TRUE(w->IsKindOf(wxClassInfo::FindClass(kControls[i].classInfo))) << w->GetClassInfo()->GetClassName();
        if (kControls[i].id) {
            EXPECT_EQ(w->GetId(), kControls[i].id);
        } else {
            EXPECT_LT(w->GetId(), 0);
        }
        if (auto* text = dynamic_cast<wxTextCtrl*>(w)) {
            EXPECT_EQ(text->GetValue(), "");
        } else if (!dynamic_cast<wxComboBox*>(w)) {
            EXPECT_EQ(w->GetLabel(), kControls[i].text);
        }
        // GTK wants taller controls than the template gives: never clip them.
        EXPECT_GE(w->GetSize().y, w->GetBestSize().y);
        EXPECT_GE(w->GetSize().y, dlg.ConvertDialogToPixels(wxSize(0, kControls[i].units.height)).y);
    }
    EXPECT_FALSE(static_cast<wxTextCtrl*>(dlg.FindWindow(IDC_LAST_COMMAND))->IsEditable());
    EXPECT_TRUE(static_cast<wxTextCtrl*>(dlg.FindWindow(IDC_WAVE_FILE))->IsEditable());
    EXPECT_EQ(dlg.GetDefaultItem(), dlg.FindWindow(IDOK));

    // Grown controls push down what lies below them; nothing overlaps, order and
    // rows survive, and the dialog is at least the template's size.
    for (std::size_t a = 0; a < windows.size(); ++a) {
        for (std::size_t b = 0; b < windows.size(); ++b) {
            if (a == b)
                continue;
            const wxRect ra = windows[a]->GetRect(), rb = windows[b]->GetRect();
            EXPECT_FALSE(ra.Intersects(rb)) << kControls[a].text << " / " << kControls[b].text;
            const wxRect ua = kControls[a].units, ub = kControls[b].units;
            if (ua.GetBottom() < ub.y && SharesColumns(ra, rb)) {
                EXPECT_LE(ra.GetBottom(), rb.y) << kControls[a].text << " above " << kControls[b].text;
            }
        }
    }
    EXPECT_EQ(dlg.FindWindow(IDOK)->GetPosition().y, dlg.FindWindow(IDCANCEL)->GetPosition().y);
    EXPECT_EQ(dlg.FindWindow(IDOK)->GetPosition().x, dlg.ConvertDialogToPixels(wxPoint(209, 0)).x);
    const wxSize templateSize = dlg.ConvertDialogToPixels(wxSize(320, 200));
    EXPECT_GE(dlg.GetClientSize().x, templateSize.x);
    EXPECT_GE(dlg.GetClientSize().y, templateSize.y);
    EXPECT_TRUE(dlg.GetIcons().GetIcon(16).IsOk());
    EXPECT_TRUE(dlg.GetIcons().GetIcon(48).IsOk());
}

TEST_F(DialogTest, DeviceListsHoldEveryDeviceInNumberOrder)
{
    // Registered out of alphabetical order: the lists must not sort.
    vaudio::AddVirtualInput("Zeta microphone", {});
    vaudio::AddVirtualInput("Alpha microphone", {});
    // 31 bytes cut this name inside the two-byte "ö".
    vaudio::AddVirtualInput("Mikrofon des Konferenzraums \xc3\xb6\xc3\xb6", {});
    vaudio::AddVirtualOutput("Speaker B");
    vaudio::AddVirtualOutput("Speaker A");

    TestDlg dlg;
    dlg.Open();
    wxComboBox* in = dlg.List(IDC_INPUT_DEVICE);
    wxComboBox* out = dlg.List(IDC_OUTPUT_DEVICE);
    ASSERT_EQ(in->GetCount(), 3u);
    ASSERT_EQ(out->GetCount(), 2u);
    EXPECT_EQ(in->GetString(0), "Zeta microphone");
    EXPECT_EQ(in->GetString(1), "Alpha microphone");
    EXPECT_EQ(in->GetString(2), wxString::FromUTF8("Mikrofon des Konferenzraums \xc3\xb6"));
    EXPECT_EQ(out->GetString(0), "Speaker B");
    EXPECT_EQ(out->GetString(1), "Speaker A");
    for (unsigned int k = 0; k < 3; ++k)
        EXPECT_EQ(reinterpret_cast<std::intptr_t>(in->GetClientData(k)), static_cast<std::intptr_t>(k));
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(out->GetClientData(1)), 1);
    // Nothing is selected, although device 0 is being monitored.
    EXPECT_EQ(in->GetSelection(), wxNOT_FOUND);
    EXPECT_EQ(out->GetSelection(), wxNOT_FOUND);
    EXPECT_NE(dlg.m_pReader, nullptr);
    EXPECT_NE(dlg.m_pMonitor, nullptr);
}

TEST_F(DialogTest, OkAndEnterKeepTheDialogCancelEndsIt)
{
    TestDlg dlg;
    dlg.Open(false);
    int okClicks = 0;
    dlg.Bind(wxEVT_BUTTON, [&](wxCommandEvent& e) { ++okClicks, e.Skip(); }, IDOK);
    bool openAfterOk = false, openAfterEnter = false;
    wxTheApp->CallAfter([&] {
        dlg.Click(IDOK);
        openAfterOk = dlg.IsModal() && dlg.IsShown();
        // Enter presses the default button; keys go to the window under the pointer.
        wxUIActionSimulator sim;
        sim.MouseMove(dlg.GetScreenRect().GetPosition() + wxPoint(5, 5));
        dlg.FindWindow(IDC_WAVE_FILE)->SetFocus();
        sim.Char(WXK_RETURN);
        wxTheApp->CallAfter([&] {
            PumpUntil([&] { return okClicks >= 2; }, std::chrono::seconds(5));
            openAfterEnter = dlg.IsModal() && dlg.IsShown();
            dlg.Click(IDCANCEL);
        });
    });
    EXPECT_EQ(ShowModalGuarded(dlg), wxID_CANCEL);
    EXPECT_TRUE(openAfterOk);
    EXPECT_EQ(okClicks, 2);
    EXPECT_TRUE(openAfterEnter);
    EXPECT_FALSE(dlg.IsShown());
}

TEST_F(DialogTest, EscapeAndTheCloseBoxEndTheDialog)
{
    {
        TestDlg dlg;
        dlg.Open(false);
        wxTheApp->CallAfter([&] {
            wxUIActionSimulator sim;
            sim.MouseMove(dlg.GetScreenRect().GetPosition() + wxPoint(5, 5));
            dlg.FindWindow(IDC_WAVE_FILE)->SetFocus();
            sim.Char(WXK_ESCAPE);
        });
        EXPECT_EQ(ShowModalGuarded(dlg), wxID_CANCEL);
    }
    {
        TestDlg dlg;
        dlg.Open(false);
        wxTheApp->CallAfter([&] { dlg.Close(); });
        EXPECT_EQ(ShowModalGuarded(dlg), wxID_CANCEL);
    }
}

TEST_F(DialogTest, EndedDialogRefusesLateNotificationsAtOnce)
{
    TestDlg dlg;
    dlg.Open(false);
    const HWND hwnd = dlg.GetSafeHwnd();
    ASSERT_TRUE(IsWindow(hwnd));
    wxTheApp->CallAfter([&] { dlg.Click(IDCANCEL); });
    ShowModalGuarded(dlg);
    EXPECT_FALSE(IsWindow(hwnd));
    LRESULT result = -1;
    std::thread sender([&] { result = SendMessageA(hwnd, WM_DTMFCOMMAND, reinterpret_cast<WPARAM>("#1"), 0); });
    sender.join();  // must not wait for this thread: the window is gone
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(dlg.texts.empty());
}

TEST_F(DialogTest, CommandTextsFromAnySenderAreCopied)
{
    TestDlg dlg;
    dlg.Open();
    std::string text = "*A0";
    EXPECT_EQ(SendMessageA(dlg.GetSafeHwnd(), WM_DTMFCOMMAND, reinterpret_cast<WPARAM>(text.c_str()), 0), 0);
    text = "overwritten";  // the field holds its own copy
    EXPECT_EQ(dlg.m_lastCommand->GetValue(), "*A0");
    // From another thread the send waits until the user-interface thread has handled it.
    LRESULT result = -1;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        result = SendMessageA(dlg.GetSafeHwnd(), WM_DTMFCOMMAND, reinterpret_cast<WPARAM>("#9"), 0);
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    sender.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(dlg.m_lastCommand->GetValue(), "#9");
    // A sender without text clears the field rather than crashing.
    dlg.OnCommandReceived(0, 0);
    EXPECT_EQ(dlg.m_lastCommand->GetValue(), "");
}

TEST_F(DialogTest, AboutItemOpensTheAboutBox)
{
    TestDlg dlg;
    dlg.Open();
    ASSERT_EQ(dlg.m_sysMenu.GetMenuItemCount(), 1u);
    wxMenuItem* item = dlg.m_sysMenu.FindItemByPosition(0);
    EXPECT_EQ(item->GetId(), static_cast<int>(IDM_ABOUTBOX));
    EXPECT_EQ(item->GetItemLabel(), "&About Quillon...");

    ModalInterceptor modal;
    std::vector<std::string> titles;
    std::vector<std::string> labels;
    int runs = 0;
    modal.onDialog = [&](wxDialog* d) {
        titles.push_back(d->GetTitle().utf8_string());
        EXPECT_NE(dynamic_cast<CAboutDlg*>(d), nullptr);
        if (runs++ == 0) {
            // Let the first one really run, then press its OK.
            for (wxWindow* child : d->GetChildren())
                if (!dynamic_cast<wxStaticBitmap*>(child))
                    labels.push_back(child->GetLabel().utf8_string());
            wxTheApp->CallAfter([d] {
                wxCommandEvent ok(wxEVT_BUTTON, IDOK);
                ok.SetEventObject(d->FindWindow(IDOK));
                d->FindWindow(IDOK)->GetEventHandler()->ProcessEvent(ok);
            });
            return static_cast<int>(wxID_NONE);
        }
        return static_cast<int>(IDOK);
    };

    // The menu item, as the context menu delivers it.
    wxCommandEvent menu(wxEVT_MENU, IDM_ABOUTBOX);
    menu.SetEventObject(&dlg);
    dlg.GetEventHandler()->ProcessEvent(menu);
    ASSERT_EQ(titles.size(), 1u);
    EXPECT_EQ(titles[0], "About Quillon");
    ASSERT_EQ(labels.size(), 3u);
    EXPECT_EQ(labels[0], "Quillon, Version 1.0");
    EXPECT_FALSE(labels[1].empty());
    EXPECT_EQ(labels[2], "OK");

    // Any id whose low four bits are cleared to 0x0010, and nothing else.
    dlg.OnSysCommand(0x0013, 0);
    EXPECT_EQ(titles.size(), 2u);
    dlg.OnSysCommand(0x0020, 0);
    EXPECT_EQ(titles.size(), 2u);

    // The keyboard shortcut.
    wxUIActionSimulator sim;
    sim.MouseMove(dlg.GetScreenRect().GetPosition() + wxPoint(5, 5));
    dlg.FindWindow(IDOK)->SetFocus();
    PumpFor(std::chrono::milliseconds(50));
    sim.Char(WXK_F12);
    EXPECT_TRUE(PumpUntil([&] { return titles.size() == 3; }, std::chrono::seconds(5)));
    EXPECT_TRUE(dlg.IsShown());
}

TEST_F(DialogTest, HelpKeyShowsUsage)
{
    TestDlg dlg;
    dlg.Open();
    ModalInterceptor modal;
    wxUIActionSimulator sim;
    sim.MouseMove(dlg.GetScreenRect().GetPosition() + wxPoint(5, 5));
    dlg.FindWindow(IDOK)->SetFocus();
    PumpFor(std::chrono::milliseconds(50));
    sim.Char(WXK_F1);
    ASSERT_TRUE(PumpUntil([&] { return !modal.boxes.empty(); }, std::chrono::seconds(5)));
    EXPECT_EQ(modal.boxes[0].caption, "Quillon");
    EXPECT_EQ(modal.boxes[0].message, quillon::UsageText());
}
