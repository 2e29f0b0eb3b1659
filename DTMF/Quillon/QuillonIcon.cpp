#include "QuillonIcon.h"

#include <wx/bitmap.h>
#include <wx/icon.h>
#include <wx/image.h>
#include <wx/mstream.h>

#include "QuillonIconData.h"  // generated: kIconImages, the PNG files as bytes

namespace quillon {

wxIconBundle LoadMainIcon()
{
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG))
        wxImage::AddHandler(new wxPNGHandler);
    wxIconBundle bundle;
    for (const auto& png : kIconImages) {
        wxMemoryInputStream stream(png.data, png.size);
        wxImage image(stream, wxBITMAP_TYPE_PNG);
        if (!image.IsOk())
            continue;
        wxIcon icon;
        icon.CopyFromBitmap(wxBitmap(image));
        bundle.AddIcon(icon);
    }
    return bundle;
}

}  // namespace quillon
