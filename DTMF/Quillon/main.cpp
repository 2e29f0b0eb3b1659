// The Quillon program: the application object is the whole of it.
#include "QuillonApp.h"

wxIMPLEMENT_APP(CQuillonApp);
