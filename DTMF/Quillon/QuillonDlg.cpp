#include "QuillonDlg.h"

#include <cstdint>
#include <string>
#include <vector>

#include <wx/accel.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/combobox.h>
#include <wx/dcclient.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/settings.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "DeviceNames.h"
#include "DialogLayout.h"
#include "QuillonApp.h"
#include "QuillonIcon.h"
#include "Resource.h"
#include "WaveAudio.h"

namespace {

// Device names come from the sound server as UTF-8, cut at 31 bytes, which may
// split a character: drop a cut-off tail rather than show nothing.
wxString NameText(const char* name)
{
    std::string bytes(name);
    while (!bytes.empty()) {
        wxString text = wxString::FromUTF8(bytes.c_str());
        if (!text.empty())
            return text;
        bytes.pop_back();
    }
    return wxString::From8BitData(name);
}

std::string Narrow(const wxString& text)
{
    return text.utf8_string();
}

// The device number stored with entry `index`, or -1 (the wave mapper) when the
// list has no such entry.
int ItemData(wxComboBox* list, int index)
{
    if (index < 0 || static_cast<unsigned int>(index) >= list->GetCount())
        return -1;
    return static_cast<int>(reinterpret_cast<std::intptr_t>(list->GetClientData(index)));
}

// Fills `list` with one entry per device, entry k for device k, and returns the
// names exactly as the service reported them.
std::vector<std::string> FillDeviceList(wxComboBox* list, vaudio::DeviceKind kind)
{
    std::vector<std::string> names = vaudio::DeviceNames(kind);
    for (std::size_t k = 0; k < names.size(); ++k) {
        // A device without a usable record is shown by its number instead.
        if (names[k].empty())
            names[k] =
                Narrow(wxString::Format("(%s device %zu)", kind == vaudio::DeviceKind::Input ? "input" : "output", k));
        list->Append(NameText(names[k].c_str()), reinterpret_cast<void*>(static_cast<std::intptr_t>(k)));
    }
    return names;
}

}  // namespace

wxBEGIN_EVENT_TABLE(CQuillonDlg, wxDialog) EVT_PAINT(CQuillonDlg::OnPaint)
    EVT_BUTTON(IDC_PLAY_FILE, CQuillonDlg::OnBnClickedPlayFile)
        EVT_COMBOBOX(IDC_INPUT_DEVICE, CQuillonDlg::OnCbnSelchangeInputDevice)
            EVT_COMBOBOX(IDC_OUTPUT_DEVICE, CQuillonDlg::OnCbnSelchangeOutputDevice)
                EVT_BUTTON(IDC_TWO_SOUNDS, CQuillonDlg::OnBnClickedTwoSounds)
                    EVT_BUTTON(IDOK, CQuillonDlg::OnBnClickedOk)
    // GTK has no system menu: its About item lives in the context menu and on F12.
    EVT_CONTEXT_MENU(CQuillonDlg::OnContextMenu) EVT_MENU(IDM_ABOUTBOX, CQuillonDlg::OnMenuCommand) wxEND_EVENT_TABLE()

        CQuillonDlg::CQuillonDlg(wxWindow* pParent)
    : m_icons(quillon::LoadMainIcon()), m_pParent(pParent)
{
}

CQuillonDlg::~CQuillonDlg()
{
    // Late notifications must fail at once instead of waiting for this window.
    if (m_hWnd) {
        DestroyMessageWindow(m_hWnd);
        m_hWnd = nullptr;
    }
    // The monitor's worker calls into the reader until the monitor is gone.
    m_pMonitor.reset();
    m_pReader.reset();
    ReleaseTwoSounds();
}

bool CQuillonDlg::CreateFromTemplate()
{
    if (GetHandle())
        return true;
    if (!wxDialog::Create(m_pParent, IDD_QUILLON_DIALOG, quillon::kAppName, wxDefaultPosition, wxDefaultSize,
                          wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX | (m_pParent ? 0 : wxDIALOG_NO_PARENT)))
        return false;
    m_hWnd = CreateMessageWindow(
        [this](HWND, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
            if (msg == WM_DTMFCOMMAND)
                return OnCommandReceived(wParam, lParam);
            return 0;
        },
        [] {
            // Runs on the sender's thread; CallAfter only queues an event, so it is safe there.
            if (wxTheApp)
                wxTheApp->CallAfter([] { PumpSentMessages(); });
        });
    CreateControls();
    OnInitDialog();
    Centre();
    return true;
}

int CQuillonDlg::ShowModal()
{
    if (!CreateFromTemplate())
        return wxID_NONE;
    return wxDialog::ShowModal();
}

void CQuillonDlg::EndModal(int retCode)
{
    wxDialog::EndModal(retCode);
    // The dialog has ended: its window is gone for the library's senders.
    if (m_hWnd) {
        DestroyMessageWindow(m_hWnd);
        m_hWnd = nullptr;
    }
}

void CQuillonDlg::CreateControls()
{
    SetFont(wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT));
    // Created in template order, which is also the tab order.
    auto* ok = new wxButton(this, IDOK, "OK");
    auto* cancel = new wxButton(this, IDCANCEL, "Cancel");
    m_lastCommand =
        new wxTextCtrl(this, IDC_LAST_COMMAND, wxEmptyString, wxDefaultPosition, wxDefaultSize, wxTE_READONLY);
    auto* lastLabel = new wxStaticText(this, wxID_ANY, "Last command recieved");
    auto* playFile = new wxButton(this, IDC_PLAY_FILE, "Play file");
    m_inputDevices = new wxComboBox(this, IDC_INPUT_DEVICE, wxEmptyString, wxDefaultPosition, wxDefaultSize, 0, nullptr,
                                    wxCB_DROPDOWN);
    m_outputDevices = new wxComboBox(this, IDC_OUTPUT_DEVICE, wxEmptyString, wxDefaultPosition, wxDefaultSize, 0,
                                     nullptr, wxCB_DROPDOWN);
    auto* inputLabel = new wxStaticText(this, wxID_ANY, "Audio Input device");
    auto* outputLabel = new wxStaticText(this, wxID_ANY, "Audio Output device");
    m_waveFile = new wxTextCtrl(this, IDC_WAVE_FILE, wxEmptyString);
    auto* waveLabel = new wxStaticText(this, wxID_ANY, "Wave file location");
    auto* twoSounds = new wxButton(this, IDC_TWO_SOUNDS, "TwoSounds");

    quillon::PlaceFromTemplate(this, wxSize(320, 200),
                               {{ok, wxRect(209, 179, 50, 14)},
                                {cancel, wxRect(263, 179, 50, 14)},
                                {m_lastCommand, wxRect(30, 46, 135, 14)},
                                {lastLabel, wxRect(31, 35, 76, 8)},
                                {playFile, wxRect(208, 148, 50, 14)},
                                {m_inputDevices, wxRect(33, 76, 155, 71)},
                                {m_outputDevices, wxRect(31, 104, 158, 58)},
                                {inputLabel, wxRect(33, 65, 61, 8)},
                                {outputLabel, wxRect(35, 94, 66, 8)},
                                {m_waveFile, wxRect(17, 158, 157, 14)},
                                {waveLabel, wxRect(21, 148, 58, 8)},
                                {twoSounds, wxRect(263, 149, 50, 14)}});
    ok->SetDefault();
    ok->SetFocus();  // the first tab stop, as a dialog starts
    SetAffirmativeId(IDOK);
    SetEscapeId(IDCANCEL);
}

bool CQuillonDlg::OnInitDialog()
{
    m_inputNames = FillDeviceList(m_inputDevices, vaudio::DeviceKind::Input);

    m_pReader = std::make_unique<CommandReader>(m_hWnd);
    // Listening starts on device 0, whatever the lists show.
    m_pMonitor = std::make_unique<AudioMonitor>(m_pReader.get(), 0);

    FillDeviceList(m_outputDevices, vaudio::DeviceKind::Output);

    std::vector<wxAcceleratorEntry> keys{{wxACCEL_NORMAL, WXK_F1, ID_HELP}};
    const wxString about = quillon::LoadString(IDS_ABOUTBOX);
    if (!about.empty()) {
        m_sysMenu.Append(IDM_ABOUTBOX, about);
        keys.emplace_back(wxACCEL_NORMAL, WXK_F12, static_cast<int>(IDM_ABOUTBOX));
    }
    SetAcceleratorTable(wxAcceleratorTable(static_cast<int>(keys.size()), keys.data()));

    SetIcons(m_icons);
    return true;
}

void CQuillonDlg::OnSysCommand(unsigned int nID, LPARAM)
{
    if ((nID & SYSCOMMAND_MASK) == IDM_ABOUTBOX) {
        CAboutDlg dlgAbout;
        dlgAbout.ShowModal();
    }
    // No other system command reaches this dialog: the window manager closes it
    // through the close box, which ends the dialog like Cancel.
}

void CQuillonDlg::OnContextMenu(wxContextMenuEvent& event)
{
    // The fields keep their own copy-and-paste menus.
    if (event.GetEventObject() != this) {
        event.Skip();
        return;
    }
    if (m_sysMenu.GetMenuItemCount() > 0)
        PopupMenu(&m_sysMenu);
}

void CQuillonDlg::OnMenuCommand(wxCommandEvent& event)
{
    OnSysCommand(static_cast<unsigned int>(event.GetId()), 0);
}

void CQuillonDlg::OnPaint(wxPaintEvent&)
{
    wxPaintDC dc(this);
    // Where a window manager lets a minimised window paint, it shows the icon.
    if (IsIconized()) {
        const int cx = wxSystemSettings::GetMetric(wxSYS_ICON_X, this);
        const int cy = wxSystemSettings::GetMetric(wxSYS_ICON_Y, this);
        const wxSize client = GetClientSize();
        const wxIcon icon = m_icons.GetIcon(wxSize(cx, cy), wxIconBundle::FALLBACK_NEAREST_LARGER);
        if (icon.IsOk())
            dc.DrawIcon(icon, (client.x - cx + 1) / 2, (client.y - cy + 1) / 2);
    }
}

LRESULT CQuillonDlg::OnCommandReceived(WPARAM wParam, LPARAM)
{
    // The text belongs to the sender and is valid only during this call: copy it.
    const char* text = reinterpret_cast<const char*>(wParam);
    if (m_lastCommand)
        m_lastCommand->SetValue(text ? NameText(text) : wxString());
    return 0;
}

void CQuillonDlg::OnCbnSelchangeInputDevice(wxCommandEvent&)
{
    m_pMonitor.reset();
    const int selected = m_inputDevices->GetSelection();
    if (selected == wxNOT_FOUND || static_cast<std::size_t>(selected) >= m_inputNames.size())
        return;  // no position, no device: stay without a monitor
    // The name as the service gave it: the shown text may have lost a cut-off
    // character, and the monitor finds its device by exact name.
    m_pMonitor = std::make_unique<AudioMonitor>(m_hWnd, m_inputNames[static_cast<std::size_t>(selected)]);
}

void CQuillonDlg::OnCbnSelchangeOutputDevice(wxCommandEvent&)
{
    m_wave.SetDevice(m_outputDevices->GetSelection());
}

void CQuillonDlg::OnBnClickedPlayFile(wxCommandEvent&)
{
    const std::string path = Narrow(m_waveFile->GetValue());
    PlaySoundA(path.c_str(), nullptr, SND_FILENAME | SND_ASYNC | SND_NODEFAULT);
}

void CQuillonDlg::OnBnClickedTwoSounds(wxCommandEvent&)
{
    // The previous click's sounds end here, before the devices are opened again.
    ReleaseTwoSounds();
    auto first = std::make_unique<CWave>();
    auto second = std::make_unique<CWave>();
    first->SetDevice(ItemData(m_outputDevices, 0));
    second->SetDevice(ItemData(m_outputDevices, 1));
    const std::string path = Narrow(m_waveFile->GetValue());
    first->Load(path.c_str());
    second->Load(path.c_str());
    if (first->Play() == 0)
        wxMessageBox("Playback failed", quillon::kAppName, wxOK | wxICON_WARNING, this);
    if (second->Play() == 0)
        wxMessageBox("Other Playback failed", quillon::kAppName, wxOK | wxICON_WARNING, this);
    // Kept past the handler so that they are heard to the end.
    m_firstSound = std::move(first);
    m_secondSound = std::move(second);
}

void CQuillonDlg::OnBnClickedOk(wxCommandEvent&)
{
    // Deliberately nothing: neither OK nor Enter closes the console.
}

void CQuillonDlg::ReleaseTwoSounds()
{
    m_secondSound.reset();
    m_firstSound.reset();
}
