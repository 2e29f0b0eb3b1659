#include "VardellApp.h"

CVardellApp::CVardellApp()
{
    InitInstance();
}

CVardellApp::~CVardellApp() = default;

bool CVardellApp::InitInstance()
{
    return true;
}

// The one module object; it holds no state.
static CVardellApp theApp;
