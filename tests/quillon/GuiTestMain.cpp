// Runs the GUI tests inside the console's own application class (so that the
// help command reaches its handler) with an active event loop.
#include <cstdlib>
#include <iostream>

#include <gtest/gtest.h>
#include <wx/evtloop.h>
#include <wx/init.h>

#include "QuillonApp.h"

namespace {

class GuiTestApp : public CQuillonApp {
public:
    int OnRun() override
    {
        wxGUIEventLoop loop;
        wxEventLoopActivator activate(&loop);
        return RUN_ALL_TESTS();
    }
};

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // A failed wx assertion would open a modal box and hang a headless run.
    wxSetAssertHandler([](const wxString& file, int line, const wxString&, const wxString& cond, const wxString& msg) {
        std::cerr << "wx assertion failed: " << file << ':' << line << ' ' << cond << ' ' << msg << std::endl;
        std::abort();
    });
    wxApp::SetInstance(new GuiTestApp);
    return wxEntry(argc, argv);
}
