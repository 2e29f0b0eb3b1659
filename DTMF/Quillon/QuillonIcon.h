// The program icon IDR_MAINFRAME (a keypad above a sound wave), built from the
// PNG images embedded at build time.
#pragma once

#include <wx/iconbndl.h>

namespace quillon {

// The 16, 24, 32 and 48 pixel images.
wxIconBundle LoadMainIcon();

}  // namespace quillon
