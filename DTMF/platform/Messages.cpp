// STUB: replaced by the real message layer.
#include "Messages.h"
HWND CreateMessageWindow(WindowProc, WakeHook) { return nullptr; }
bool DestroyMessageWindow(HWND) { return false; }
bool IsWindow(HWND) { return false; }
LRESULT SendMessageA(HWND, UINT, WPARAM, LPARAM) { return 0; }
std::size_t PumpSentMessages() { return 0; }
void WaitPumping(const std::function<bool()>& done) { while (!done()) {} }
void NotifyPumpingThreads() {}
