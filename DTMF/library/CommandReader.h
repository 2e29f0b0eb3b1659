// Assembles DTMF keys into commands that begin with '*' or '#' and sends every
// text as it grows to one window as WM_DTMFCOMMAND.
#pragma once

#include <functional>
#include <string>

#include "Messages.h"
#include "VardellExport.h"

// wParam: address of the NUL-terminated command text, valid during the call only; lParam: 0.
constexpr UINT WM_DTMFCOMMAND = WM_USER + 2;

class VARDELL_API CommandReader {
public:
    // Whole seconds; the gap rule compares two readings.
    using Clock = std::function<long long()>;

    explicit CommandReader(HWND hwnd);  // reads the wall clock
    CommandReader(HWND hwnd, Clock clock);
    ~CommandReader();

    void ProcessChar(char key);
    bool Valid();
    void Ping();

private:
    HWND hwnd;
    std::string command;
    long long lastKeyTime;
    Clock clock;
};
