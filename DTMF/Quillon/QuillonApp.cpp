#include "QuillonApp.h"

#include <wx/button.h>
#include <wx/msgdlg.h>
#include <wx/settings.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include "DialogLayout.h"
#include "QuillonDlg.h"
#include "QuillonIcon.h"
#include "Resource.h"

wxBEGIN_EVENT_TABLE(CQuillonApp, wxApp) EVT_MENU(ID_HELP, CQuillonApp::OnHelp) wxEND_EVENT_TABLE()

    CQuillonApp::CQuillonApp() = default;

bool CQuillonApp::OnInit()
{
    if (!wxApp::OnInit())
        return false;
    SetAppName(quillon::kAppName);
    // Named for the profile settings' place; the console stores nothing.
    SetVendorName(quillon::kVendorName);
    return true;
}

int CQuillonApp::OnRun()
{
    InitInstance();
    return 0;
}

bool CQuillonApp::InitInstance()
{
    CQuillonDlg dlg;
    SetTopWindow(&dlg);
    dlg.ShowModal();
    SetTopWindow(nullptr);
    return false;
}

void CQuillonApp::OnHelp(wxCommandEvent&)
{
    wxMessageBox(quillon::UsageText(), quillon::kAppName, wxOK | wxICON_INFORMATION, GetTopWindow());
}

const char* quillon::UsageText()
{
    return "Quillon " QUILLON_VERSION "\n\n"
           "Quillon listens for DTMF commands (keys 0-9, A-D, * and #; a command "
           "begins with * or #) and shows the last command text received.\n\n"
           "Listening starts on the first audio input device; choose another in "
           "\"Audio Input device\" to listen there.\n"
           "\"Play file\" plays the WAV file named in \"Wave file location\" on the "
           "default output device; \"TwoSounds\" plays it on the first two output "
           "devices at once.\n\n"
           "Right click or F12: About Quillon. Esc or Cancel: quit.";
}

CAboutDlg::CAboutDlg()
{
    Create(nullptr, IDD_ABOUTBOX, "About Quillon", wxDefaultPosition, wxDefaultSize,
           wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX);
    SetFont(wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT));
    const wxIconBundle icons = quillon::LoadMainIcon();
    const wxIcon icon = icons.GetIcon(wxSize(32, 32), wxIconBundle::FALLBACK_NEAREST_LARGER);
    auto* picture = new wxStaticBitmap(this, wxID_ANY, icon.IsOk() ? wxBitmap(icon) : wxBitmap());
    auto* name = new wxStaticText(this, wxID_ANY, "Quillon, Version 1.0");
    auto* line = new wxStaticText(this, wxID_ANY, "DTMF test console for Vardell");
    auto* ok = new wxButton(this, IDOK, "OK");
    quillon::PlaceFromTemplate(this, wxSize(170, 62),
                               {
                                   {picture, wxRect(14, 14, 21, 20)},
                                   {name, wxRect(42, 14, 114, 8)},
                                   {line, wxRect(42, 26, 114, 8)},
                                   {ok, wxRect(113, 41, 50, 14)},
                               });
    ok->SetDefault();
    // OK, Esc and the close box all end the box through the dialog's defaults.
    SetAffirmativeId(IDOK);
    Centre();
}
