// Window messaging: just enough of a per-thread, synchronous message layer for
// a library worker to notify a window that belongs to another thread.
//
// A message window is owned by the thread that created it. SendMessageA on the
// owner's thread calls the handler directly; from any other thread it queues the
// message to the owner, wakes the owner (condition variable plus the owner's
// optional wake hook, e.g. a GUI toolkit posting an event) and blocks until the
// handler has returned. While it waits, the sender handles the messages sent to its
// own windows, so two threads sending to each other cannot deadlock. A send to a
// handle that names no live window, or whose owner thread has ended, fails at once
// with 0. Handles are never reused, so a stale one never reaches a newer window.
// When a thread ends, its windows are destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "VardellExport.h"

struct MessageWindow;  // never dereferenced: handles are looked up, so stale ones are harmless
using HWND = MessageWindow*;
using UINT = unsigned int;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

constexpr UINT WM_USER = 0x0400;

using WindowProc = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;
// Called on the sending thread right after a message was queued for the owner.
// It must not destroy its own window (DestroyMessageWindow waits for running hooks).
using WakeHook = std::function<void()>;

// Creates a window owned by the calling thread. Never returns null.
VARDELL_API HWND CreateMessageWindow(WindowProc proc, WakeHook wake = nullptr);
// Destroys a window; senders whose message is still queued return 0, a handler
// already running completes. Any thread may call it; once it returns, the window's
// wake hook is not running and is never called again. Returns false for a handle
// that names no live window.
VARDELL_API bool DestroyMessageWindow(HWND hwnd);
VARDELL_API bool IsWindow(HWND hwnd);

VARDELL_API LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Handles every message queued for the calling thread's windows; returns how many.
VARDELL_API std::size_t PumpSentMessages();
// Blocks the calling thread until done() returns true, handling the messages sent
// to its windows meanwhile. done() is checked again after every handled message
// and after every NotifyPumpingThreads().
VARDELL_API void WaitPumping(const std::function<bool()>& done);
// Wakes every thread in WaitPumping so that it checks its condition again.
VARDELL_API void NotifyPumpingThreads();
