// The application object, which runs the main dialog modally, and the About box.
#pragma once

#include <wx/app.h>
#include <wx/dialog.h>

class CQuillonApp : public wxApp {
public:
    CQuillonApp();

    bool OnInit() override;
    int OnRun() override;

protected:
    // Runs the main dialog to its end; answers false, as there is nothing more to run.
    bool InitInstance();
    // The help command (F1): a short usage text.
    void OnHelp(wxCommandEvent& event);

    wxDECLARE_EVENT_TABLE();
};

class CAboutDlg : public wxDialog {
public:
    CAboutDlg();
};

namespace quillon {

// The text the help command shows, headed by the build's version.
const char* UsageText();

}  // namespace quillon
