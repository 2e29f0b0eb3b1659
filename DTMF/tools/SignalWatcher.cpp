#include "SignalWatcher.h"

#include <pthread.h>

namespace tool {

SignalWatcher::SignalWatcher(std::function<void()> onSignal) : onSignal(std::move(onSignal))
{
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, &previousMask);
    watcher = std::thread([this] {
        int signal = 0;
        while (sigwait(&signals, &signal) != 0) {}
        if (!closing.load()) {
            signalled.store(true);
            this->onSignal();
        }
    });
}

SignalWatcher::~SignalWatcher()
{
    closing.store(true);
    // The signal is blocked here too, so it stays pending on the watcher thread
    // until its sigwait takes it: the wake-up cannot be lost.
    if (!signalled.load())
        pthread_kill(watcher.native_handle(), SIGTERM);
    watcher.join();
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

}  // namespace tool
