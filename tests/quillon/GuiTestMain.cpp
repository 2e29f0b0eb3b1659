// Runs the GUI tests inside a wx application (the console's own application
// class, so that the help command reaches its handler) with an active event
// loop. Listing the tests needs no display.
#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>
#include <wx/evtloop.h>
#include <wx/init.h>

#include "QuillonApp.h"

namespace {

// A failed wx assertion would open a modal box and hang a headless run.
void AbortOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond, const wxString& msg)
{
    std::fprintf(stderr, "wx assertion failed: %s:%d %s: %s %s\n", static_cast<const char*>(file.utf8_str()), line,
                 static_cast<const char*>(func.utf8_str()), static_cast<const char*>(cond.utf8_str()),
                 static_cast<const char*>(msg.utf8_str()));
    std::abort();
}

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
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    wxSetAssertHandler(AbortOnAssert);
    wxApp::SetInstance(new GuiTestApp);
    return wxEntry(argc, argv);
}
