// Places controls from a dialog template given in dialog units. GTK controls need
// more height than the template allows, so each control gets the larger of its
// converted height and its best height, the controls below it move down by what
// it grew, and the dialog's client area grows to fit.
#pragma once

#include <vector>

#include <wx/gdicmn.h>

class wxWindow;

namespace quillon {

struct TemplateItem {
    wxWindow* window;
    wxRect units;  // position and size in dialog units, as the template gives them
};

// Converts with `dialog`'s font (set it first); returns the client size given to it.
wxSize PlaceFromTemplate(wxWindow* dialog, wxSize units, const std::vector<TemplateItem>& items);

}  // namespace quillon
