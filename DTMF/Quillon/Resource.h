// Resource ids and texts of the Quillon test console: dialog templates,
// control ids (used as window ids), the string table and the program's name.
#pragma once

// Dialog templates (the template id is the dialog's window id).
constexpr int IDD_ABOUTBOX = 100;
constexpr int IDD_QUILLON_DIALOG = 102;

// String table.
constexpr int IDS_ABOUTBOX = 101;

// Program icon.
constexpr int IDR_MAINFRAME = 128;

// Standard buttons keep their classic ids, so OK and Cancel are windows 1 and 2.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Controls of the main dialog.
constexpr int IDC_LAST_COMMAND = 1000;
constexpr int IDC_PLAY_FILE = 1001;
constexpr int IDC_INPUT_DEVICE = 1003;
constexpr int IDC_OUTPUT_DEVICE = 1004;
constexpr int IDC_WAVE_FILE = 1006;
constexpr int IDC_TWO_SOUNDS = 1007;

// The About command, and the mask that system command ids are compared under.
constexpr unsigned int IDM_ABOUTBOX = 0x0010;
constexpr unsigned int SYSCOMMAND_MASK = 0xFFF0;

// The help command, answered with a short usage text.
constexpr int ID_HELP = 0xE146;

namespace quillon {

// The program's name titles its message boxes.
inline constexpr const char* kAppName = "Quillon";
inline constexpr const char* kVendorName = "Local AppWizard-Generated Applications";

// The string table. Returns an empty text for an id it does not hold.
inline const char* LoadString(int id)
{
    switch (id) {
    case IDS_ABOUTBOX:
        return "&About Quillon...";
    default:
        return "";
    }
}

}  // namespace quillon
