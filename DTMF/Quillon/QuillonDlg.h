// CQuillonDlg: the main window of the test console. It lists the audio devices,
// listens for DTMF commands and shows the last command text, and plays a typed
// WAV file through the system's sound player and through two library sounds.
//
// The dialog is also a message window of the library's message layer: command
// readers send WM_DTMFCOMMAND to its handle from their worker thread, and the
// layer wakes the user-interface thread through wx to handle it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <wx/dialog.h>
#include <wx/iconbndl.h>
#include <wx/menu.h>

#include "AudioMonitor.h"
#include "CWave.h"
#include "CommandReader.h"
#include "Messages.h"

class wxComboBox;
class wxTextCtrl;

class CQuillonDlg : public wxDialog {
public:
    // Builds the object only; the window is made when the dialog is first shown.
    explicit CQuillonDlg(wxWindow* pParent = nullptr);
    ~CQuillonDlg() override;

    // Makes the window and its controls and runs OnInitDialog, once.
    bool CreateFromTemplate();
    int ShowModal() override;
    void EndModal(int retCode) override;

    // The handle that command readers send to (null until the window is made).
    HWND GetSafeHwnd() const { return m_hWnd; }

protected:
    bool OnInitDialog();
    void OnSysCommand(unsigned int nID, LPARAM lParam);
    void OnPaint(wxPaintEvent& event);
    LRESULT OnCommandReceived(WPARAM wParam, LPARAM lParam);
    void OnCbnSelchangeInputDevice(wxCommandEvent& event);
    void OnCbnSelchangeOutputDevice(wxCommandEvent& event);
    void OnBnClickedPlayFile(wxCommandEvent& event);
    void OnBnClickedTwoSounds(wxCommandEvent& event);
    void OnBnClickedOk(wxCommandEvent& event);

    wxIconBundle m_icons;
    wxTextCtrl* m_lastCommand = nullptr;  // IDC_LAST_COMMAND, owned by the window
    std::unique_ptr<CommandReader> m_pReader;
    std::unique_ptr<AudioMonitor> m_pMonitor;  // goes before the reader it may feed
    CWave m_wave;
    // Stands in for the system menu, which GTK lacks: shown on a right click.
    wxMenu m_sysMenu;

private:
    void CreateControls();
    void OnContextMenu(wxContextMenuEvent& event);
    void OnMenuCommand(wxCommandEvent& event);
    void ReleaseTwoSounds();

    wxWindow* m_pParent;
    HWND m_hWnd = nullptr;
    wxComboBox* m_inputDevices = nullptr;
    std::vector<std::string> m_inputNames;  // entry k's device name, byte for byte
    wxComboBox* m_outputDevices = nullptr;
    wxTextCtrl* m_waveFile = nullptr;
    // The sounds of the last "TwoSounds" click: kept so that they are heard to
    // the end, and released at the next click or with the dialog.
    std::unique_ptr<CWave> m_firstSound;
    std::unique_ptr<CWave> m_secondSound;

    wxDECLARE_EVENT_TABLE();
};
