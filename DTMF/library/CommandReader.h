// Assembles DTMF keys into commands that begin with '*' or '#' and reports every
// text as it grows: to one window as WM_DTMFCOMMAND, or to any callable.
//
//     CommandReader reader([](const char* text) { std::puts(text); });
//     for (char key : "#12")              // "#", "#1", "#12"
//         reader.ProcessChar(key);
//
// Threads: a reader is used by one thread at a time (the monitor's worker, or the
// caller's decoding thread). A sink runs inside ProcessChar, on that thread; the
// window message is sent synchronously from it, so ProcessChar blocks until the
// window's thread has handled it (or the window is gone).
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
    // Receives each command text, NUL-terminated and valid during the call only.
    using TextSink = std::function<void(const char* text)>;

    explicit CommandReader(HWND hwnd);  // reads the wall clock
    CommandReader(HWND hwnd, Clock clock);
    // Reports to `sink` instead of a window; no clock: the wall clock.
    explicit CommandReader(TextSink sink, Clock clock = nullptr);
    ~CommandReader();

    void ProcessChar(char key);
    bool Valid();
    void Ping();

private:
    TextSink sink;
    std::string command;
    long long lastKeyTime;
    Clock clock;
};
