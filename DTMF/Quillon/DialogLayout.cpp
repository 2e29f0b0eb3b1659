#include "DialogLayout.h"

#include <algorithm>
#include <numeric>

#include <wx/button.h>
#include <wx/combobox.h>
#include <wx/stattext.h>
#include <wx/window.h>

namespace quillon {

namespace {

// A combo box's template height includes its drop-down list; its closed field
// is about this tall at the template's font.
constexpr int kClosedComboUnits = 12;
// Controls whose tops are this close form one row (templates are hand-placed).
constexpr int kRowUnits = 2;

struct Placed {
    wxRect units;      // template rectangle, with a combo box's closed height
    wxRect converted;  // the same in pixels
    wxRect pixels;     // where the control goes
    int extra = 0;     // pixels grown beyond the converted height
};

bool OverlapsHorizontally(const wxRect& a, const wxRect& b)
{
    return a.GetLeft() < b.GetRight() + 1 && b.GetLeft() < a.GetRight() + 1;
}

}  // namespace

wxSize PlaceFromTemplate(wxWindow* dialog, wxSize units, const std::vector<TemplateItem>& items)
{
    std::vector<Placed> placed(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        wxWindow* w = items[i].window;
        Placed& p = placed[i];
        p.units = items[i].units;
        const bool combo = dynamic_cast<wxComboBox*>(w) != nullptr;
        if (combo)
            p.units.height = kClosedComboUnits;
        p.converted = wxRect(dialog->ConvertDialogToPixels(p.units.GetPosition()),
                             dialog->ConvertDialogToPixels(p.units.GetSize()));
        const wxSize best = w->GetBestSize();
        p.pixels = p.converted;
        p.pixels.height = std::max(p.converted.height, best.y);
        // Labels and buttons must show their whole text; fields scroll instead.
        if (dynamic_cast<wxStaticText*>(w) || dynamic_cast<wxButton*>(w))
            p.pixels.width = std::max(p.converted.width, best.x);
        p.extra = p.pixels.height - p.converted.height;
    }

    // Top to bottom: a control moves down by the growth (and move) of every control
    // above it that shares its columns. Controls on one template row move together,
    // which keeps rows aligned.
    std::vector<std::size_t> order(items.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return placed[a].units.y < placed[b].units.y; });
    std::vector<int> shift(items.size(), 0);
    for (std::size_t first = 0; first < order.size();) {
        std::size_t last = first;
        while (last < order.size() && placed[order[last]].units.y - placed[order[first]].units.y <= kRowUnits)
            ++last;
        int rowShift = 0;
        for (std::size_t k = first; k < last; ++k) {
            const Placed& c = placed[order[k]];
            for (std::size_t a = 0; a < first; ++a) {
                const Placed& above = placed[order[a]];
                if (above.units.GetBottom() < c.units.y && OverlapsHorizontally(above.pixels, c.pixels))
                    rowShift = std::max(rowShift, shift[order[a]] + above.extra);
            }
        }
        for (std::size_t k = first; k < last; ++k)
            shift[order[k]] = rowShift;
        first = last;
    }

    const wxSize dialogPixels = dialog->ConvertDialogToPixels(units);
    int convertedRight = 0, convertedBottom = 0, right = 0, bottom = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Placed& p = placed[i];
        p.pixels.y += shift[i];
        items[i].window->SetSize(p.pixels);
        convertedRight = std::max(convertedRight, p.converted.GetRight() + 1);
        convertedBottom = std::max(convertedBottom, p.converted.GetBottom() + 1);
        right = std::max(right, p.pixels.GetRight() + 1);
        bottom = std::max(bottom, p.pixels.GetBottom() + 1);
    }
    // Keep the template's margins right and below the controls.
    const wxSize client(std::max(dialogPixels.x, right + dialogPixels.x - convertedRight),
                        std::max(dialogPixels.y, bottom + dialogPixels.y - convertedBottom));
    dialog->SetClientSize(client);
    return client;
}

}  // namespace quillon
