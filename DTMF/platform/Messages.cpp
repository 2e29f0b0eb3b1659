// Window messaging: a registry of windows, and per-thread queues of sent messages.
//
// Locks, never nested except where noted:
//   Registry::lock   - the window map and each window's `waking` count;
//   Threads::lock    - the list of live thread states (taken before a ThreadState::lock
//                      by NotifyPumpingThreads, the only nesting);
//   ThreadState::lock - that thread's queue, `dead`, `generation`, and the `done`/`result`
//                      of every message that thread has sent.
// Handlers and wake hooks always run with no lock held.
#include "Messages.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

struct ThreadState;

struct Window {
    WindowProc proc;
    WakeHook wake;
    std::shared_ptr<ThreadState> owner;
    int waking = 0;  // senders currently calling `wake` (guarded by Registry::lock)
};

// A message sent across threads. The sender waits for `done` on its own thread state,
// which guards `done` and `result`.
struct Sent {
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<ThreadState> sender;
    LRESULT result = 0;
    bool done = false;
};

struct ThreadState {
    std::mutex lock;
    std::condition_variable cv;  // messages arrived, own send finished, or a pumping wake-up
    std::deque<std::shared_ptr<Sent>> queue;
    std::uint64_t generation = 0;  // bumped by NotifyPumpingThreads
    bool dead = false;             // the thread has ended: accepts no more messages
};

struct Registry {
    std::mutex lock;
    std::condition_variable hooksDone;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Window>> windows;
    std::uintptr_t nextId = 1;  // 64-bit and only counted up, so handles are never reused
};

struct Threads {
    std::mutex lock;
    std::vector<ThreadState*> all;
};

// Never destroyed: threads may still end (and run their guards) during static destruction.
Registry& registry()
{
    static Registry* r = new Registry;
    return *r;
}
Threads& threads()
{
    static Threads* t = new Threads;
    return *t;
}

std::uintptr_t IdOf(HWND hwnd)
{
    return reinterpret_cast<std::uintptr_t>(hwnd);
}

std::shared_ptr<Window> Find(HWND hwnd)
{
    Registry& r = registry();
    std::lock_guard lk(r.lock);
    auto it = r.windows.find(IdOf(hwnd));
    return it == r.windows.end() ? nullptr : it->second;
}

void Complete(const std::shared_ptr<Sent>& s, LRESULT result)
{
    ThreadState& t = *s->sender;
    std::lock_guard lk(t.lock);
    s->result = result;
    s->done = true;
    t.cv.notify_all();
}

// Removes `victims` from the registry, waits until no sender is inside their wake hooks
// (so a hook never runs after its window is gone), then fails what is still queued for them.
// Returns how many of them were still registered.
std::size_t Remove(std::vector<std::uintptr_t> victims)
{
    Registry& r = registry();
    std::vector<std::shared_ptr<Window>> removed;
    {
        std::unique_lock lk(r.lock);
        for (std::uintptr_t id : victims) {
            auto it = r.windows.find(id);
            if (it == r.windows.end())
                continue;
            removed.push_back(std::move(it->second));
            r.windows.erase(it);
        }
        r.hooksDone.wait(
            lk, [&] { return std::all_of(removed.begin(), removed.end(), [](auto& w) { return w->waking == 0; }); });
    }
    std::vector<std::shared_ptr<Sent>> failed;
    for (auto& w : removed) {
        ThreadState& owner = *w->owner;
        std::lock_guard lk(owner.lock);
        auto gone = [&](const std::shared_ptr<Sent>& s) {
            return std::find(victims.begin(), victims.end(), IdOf(s->hwnd)) != victims.end();
        };
        std::copy_if(owner.queue.begin(), owner.queue.end(), std::back_inserter(failed), gone);
        std::erase_if(owner.queue, gone);
    }
    for (auto& s : failed)
        Complete(s, 0);
    return removed.size();  // `removed` releases the handlers and hooks here, outside every lock
}

// Ends a thread's part in messaging: later sends to it fail, queued ones are released
// with 0, and its windows are destroyed.
struct ThreadGuard {
    std::shared_ptr<ThreadState> state = std::make_shared<ThreadState>();

    ThreadGuard()
    {
        std::lock_guard lk(threads().lock);
        threads().all.push_back(state.get());
    }
    ~ThreadGuard()
    {
        {
            std::lock_guard lk(threads().lock);
            std::erase(threads().all, state.get());
        }
        std::deque<std::shared_ptr<Sent>> pending;
        {
            std::lock_guard lk(state->lock);
            state->dead = true;
            pending.swap(state->queue);
        }
        for (auto& s : pending)
            Complete(s, 0);
        std::vector<std::uintptr_t> owned;
        {
            Registry& r = registry();
            std::lock_guard lk(r.lock);
            for (auto& [id, w] : r.windows)
                if (w->owner == state)
                    owned.push_back(id);
        }
        Remove(std::move(owned));
    }
};

const std::shared_ptr<ThreadState>& Current()
{
    thread_local ThreadGuard guard;
    return guard.state;
}

// Runs one message taken from the calling thread's queue.
void Deliver(const std::shared_ptr<Sent>& s)
{
    std::shared_ptr<Window> w = Find(s->hwnd);
    if (!w) {  // destroyed after it was dequeued
        Complete(s, 0);
        return;
    }
    LRESULT result = 0;
    try {
        result = w->proc(s->hwnd, s->msg, s->wParam, s->lParam);
    } catch (...) {
        Complete(s, 0);  // the sender must not wait forever for a handler that threw
        throw;
    }
    Complete(s, result);
}

}  // namespace

HWND CreateMessageWindow(WindowProc proc, WakeHook wake)
{
    auto w = std::make_shared<Window>();
    w->proc = std::move(proc);
    w->wake = std::move(wake);
    w->owner = Current();
    Registry& r = registry();
    std::lock_guard lk(r.lock);
    std::uintptr_t id = r.nextId++;
    r.windows.emplace(id, std::move(w));
    return reinterpret_cast<HWND>(id);
}

bool DestroyMessageWindow(HWND hwnd)
{
    return Remove({IdOf(hwnd)}) == 1;
}

bool IsWindow(HWND hwnd)
{
    return Find(hwnd) != nullptr;
}

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    const std::shared_ptr<ThreadState>& me = Current();
    Registry& r = registry();
    std::shared_ptr<Window> w;
    {
        std::lock_guard lk(r.lock);
        auto it = r.windows.find(IdOf(hwnd));
        if (it == r.windows.end())
            return 0;
        w = it->second;
        if (w->owner != me)
            ++w->waking;  // holds off DestroyMessageWindow until the hook ran
    }
    if (w->owner == me)
        return w->proc(hwnd, msg, wParam, lParam);

    auto s = std::make_shared<Sent>(Sent{hwnd, msg, wParam, lParam, me});
    bool queued = false;
    {
        ThreadState& owner = *w->owner;
        std::lock_guard lk(owner.lock);
        if (!owner.dead) {
            owner.queue.push_back(s);
            owner.cv.notify_all();
            queued = true;
        }
    }
    if (queued && w->wake)
        w->wake();
    {
        std::lock_guard lk(r.lock);
        if (--w->waking == 0)
            r.hooksDone.notify_all();
    }
    if (!queued)
        return 0;

    // Handle messages sent to this thread's windows while waiting, so that two threads
    // sending to each other cannot deadlock.
    for (;;) {
        PumpSentMessages();
        std::unique_lock lk(me->lock);
        me->cv.wait(lk, [&] { return s->done || !me->queue.empty(); });
        if (s->done)
            return s->result;
    }
}

std::size_t PumpSentMessages()
{
    const std::shared_ptr<ThreadState>& me = Current();
    std::size_t handled = 0;
    for (;;) {
        std::shared_ptr<Sent> s;
        {
            std::lock_guard lk(me->lock);
            if (me->queue.empty())
                return handled;
            s = std::move(me->queue.front());
            me->queue.pop_front();
        }
        Deliver(s);
        ++handled;
    }
}

void WaitPumping(const std::function<bool()>& done)
{
    // Only a safety net for conditions whose writer never calls NotifyPumpingThreads.
    constexpr auto kRecheck = std::chrono::seconds(1);
    const std::shared_ptr<ThreadState>& me = Current();
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard lk(me->lock);
            seen = me->generation;  // read before done(): a notify after it is not lost
        }
        PumpSentMessages();
        if (done())
            return;
        std::unique_lock lk(me->lock);
        me->cv.wait_for(lk, kRecheck, [&] { return me->generation != seen || !me->queue.empty(); });
    }
}

void NotifyPumpingThreads()
{
    Threads& t = threads();
    std::lock_guard lk(t.lock);
    for (ThreadState* s : t.all) {
        std::lock_guard slk(s->lock);
        ++s->generation;
        s->cv.notify_all();
    }
}
