// A message window owned by the creating thread for the lifetime of a scope.
#pragma once

#include <utility>

#include "Messages.h"

namespace tool {

class OwnedWindow {
public:
    explicit OwnedWindow(WindowProc proc) : hwnd(CreateMessageWindow(std::move(proc))) {}
    ~OwnedWindow() { DestroyMessageWindow(hwnd); }
    OwnedWindow(const OwnedWindow&) = delete;
    OwnedWindow& operator=(const OwnedWindow&) = delete;
    HWND Get() const { return hwnd; }

private:
    HWND hwnd;
};

}  // namespace tool
