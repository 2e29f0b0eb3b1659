// Ctrl-C and SIGTERM for commands that wait: the signals are blocked in every
// thread and taken by sigwait on a watcher thread, so the reaction runs as
// ordinary code instead of inside a signal handler.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include <signal.h>

namespace tool {

class SignalWatcher {
public:
    // Create it before any other thread, so that every later thread inherits the
    // blocked mask. `onSignal` runs once, on the watcher thread.
    explicit SignalWatcher(std::function<void()> onSignal);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    bool Signalled() const { return signalled.load(); }

private:
    sigset_t signals{};
    sigset_t previousMask{};
    std::atomic<bool> signalled{false};
    std::atomic<bool> closing{false};
    std::function<void()> onSignal;
    std::thread watcher;
};

}  // namespace tool
