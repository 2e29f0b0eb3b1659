// The library's module object: constructed when libVardell loads, destroyed when it unloads.
#pragma once

class CVardellApp {
public:
    CVardellApp();
    ~CVardellApp();
    bool InitInstance();
};
