// Cross-thread synchronous messaging: results, ownership, teardown, wake-ups and
// deadlock freedom. A hang fails through the test's ctest timeout.
#include "Messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

constexpr UINT WM_TEST = WM_USER + 7;
int thrown = 0;  // handler exceptions, which reach the owner's pump

// Runs f on a worker while this thread, the owner, waits for it and handles sends.
template <class F>
auto OnWorker(F f)
{
    decltype(f()) result{};
    std::atomic<bool> done{false};
    std::jthread worker([&] {
        result = f();
        done = true;
        NotifyPumpingThreads();
    });
    while (!done)
        try {
            WaitPumping([&] { return done.load(); });
        } catch (const std::runtime_error&) {
            ++thrown;
        }
    return result;
}

TEST(Messages, SendRunsTheHandlerOnTheOwnerThreadOnceItPumps)
{
    std::thread::id ranOn;
    std::atomic<int> wakes{0};
    std::latch queued(1);
    HWND hwnd = CreateMessageWindow(
        [&](HWND h, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
            ranOn = std::this_thread::get_id();
            return msg == WM_TEST && h ? static_cast<LRESULT>(w) + l : -1;
        },
        [&] { ++wakes == 1 ? queued.count_down() : void(); });
    EXPECT_EQ(SendMessageA(hwnd, WM_TEST, 40, 2), 42);  // same thread: a direct call, no wake
    EXPECT_EQ(wakes, 0);
    std::atomic<bool> returned{false};
    std::thread sender([&] { returned = SendMessageA(hwnd, WM_TEST, 5, -3) == 2; });
    queued.wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a sender that did not block returns meanwhile
    EXPECT_FALSE(returned);
    ranOn = {};
    EXPECT_EQ(PumpSentMessages(), 1u);
    sender.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(wakes, 1);
    EXPECT_TRUE(DestroyMessageWindow(hwnd));
}

TEST(Messages, SendsToNoLiveWindowFailAtOnceAndHandlesAreNeverReused)
{
    int calls = 0;
    auto count = [&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++calls; };
    HWND hwnd = CreateMessageWindow(count), orphan = nullptr;
    EXPECT_TRUE(IsWindow(hwnd) && DestroyMessageWindow(hwnd));
    EXPECT_FALSE(DestroyMessageWindow(hwnd) || DestroyMessageWindow(nullptr) || IsWindow(hwnd));
    std::thread([&] { orphan = CreateMessageWindow(count); }).join();  // its owner thread has ended
    EXPECT_FALSE(IsWindow(orphan));
    for (HWND h : {hwnd, HWND{}, reinterpret_cast<HWND>(0xdeadbeef), orphan}) {
        EXPECT_EQ(SendMessageA(h, WM_TEST, 0, 0), 0);
        std::thread([&] { EXPECT_EQ(SendMessageA(h, WM_TEST, 0, 0), 0); }).join();
    }
    std::set<HWND> seen{hwnd, orphan};
    for (int i = 0; i < 100; ++i) {
        HWND newer = CreateMessageWindow(count);
        EXPECT_TRUE(seen.insert(newer).second);
        EXPECT_EQ(SendMessageA(hwnd, WM_TEST, 0, 0), 0);  // the stale handle never reaches it
        DestroyMessageWindow(newer);
    }
    EXPECT_EQ(calls, 0);
}

// A sender whose message is still queued gets 0 when the window goes: destroyed by
// its owner, by a third thread, or with the end of its owner thread.
TEST(Messages, QueuedSendersAreReleasedWhenTheWindowGoes)
{
    for (int way = 0; way < 3; ++way) {
        bool handled = false;
        std::latch created(1), queued(1);
        HWND hwnd = nullptr;
        std::thread owner([&] {
            hwnd = CreateMessageWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return handled = true; },
                                       [&] { queued.count_down(); });
            created.count_down();
            queued.wait();
            bool destroyed = way == 0 && DestroyMessageWindow(hwnd);
            if (way == 1)
                std::thread([&] { destroyed = DestroyMessageWindow(hwnd); }).join();
            EXPECT_EQ(destroyed, way < 2);
            EXPECT_EQ(way < 2 ? PumpSentMessages() : 0u, 0u);  // way 2 leaves it to the thread's end
        });
        created.wait();
        EXPECT_EQ(SendMessageA(hwnd, WM_TEST, 0, 0), 0) << "way " << way;
        owner.join();
        EXPECT_FALSE(handled);
    }
}

// As a window's thread waits for the audio worker while it reports commands: each send
// is handled once and in order; a handler that throws or destroys its window releases the sender.
TEST(Messages, SendsWhileTheOwnerWaitsForTheWorker)
{
    WPARAM next = 0;
    HWND hwnd = CreateMessageWindow([&](HWND, UINT, WPARAM w, LPARAM) -> LRESULT { return w == next++ ? w + 1 : 0; });
    HWND throws = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { throw std::runtime_error("x"); });
    HWND ends =
        CreateMessageWindow([](HWND h, UINT, WPARAM, LPARAM) -> LRESULT { return DestroyMessageWindow(h) * 7; });
    const int wrong = OnWorker([&] {
        int wrong = 0;
        for (WPARAM i = 0; i < 1000; ++i)
            wrong += SendMessageA(hwnd, WM_TEST, i, 0) != LRESULT(i + 1);
        return wrong + (SendMessageA(throws, WM_TEST, 0, 0) != 0) + (SendMessageA(ends, WM_TEST, 0, 0) != 7);
    });
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(next, 1000u);
    EXPECT_EQ(thrown, 1);
    EXPECT_FALSE(IsWindow(ends));
    EXPECT_TRUE(DestroyMessageWindow(hwnd) && DestroyMessageWindow(throws));
}

// A notification wakes a waiting thread at once: the periodic recheck is only a safety net,
// so lost wake-ups would take 30 x 100 ms here.
TEST(Messages, NotifyWakesTheWaitingThreadAtOnce)
{
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 30; ++i)
        OnWorker([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the owner is waiting by now
            return 0;
        });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Each handler sends back to the sender's window while the sender waits for it.
TEST(Messages, ThreadsSendingToEachOtherDoNotDeadlock)
{
    HWND windows[2] = {};
    std::latch created(2);
    std::atomic<int> finished{0}, wrong{0};
    auto run = [&](int me) {
        const int other = 1 - me;
        windows[me] = CreateMessageWindow([&, other](HWND, UINT msg, WPARAM w, LPARAM) -> LRESULT {
            return msg == WM_TEST ? SendMessageA(windows[other], WM_TEST + 1, w, 0) + 1 : LRESULT(w) * 2;
        });
        created.arrive_and_wait();
        for (int i = 0; i < 300; ++i)
            wrong += SendMessageA(windows[other], WM_TEST, i, 0) != 2 * i + 1;
        ++finished;
        NotifyPumpingThreads();
        WaitPumping([&] { return finished == 2; });  // keep serving the other thread
    };
    {
        std::jthread a(run, 0), b(run, 1);
    }
    EXPECT_EQ(wrong, 0);
}

}  // namespace
