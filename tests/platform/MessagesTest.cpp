// Cross-thread synchronous messaging: results, ownership, teardown and deadlock
// freedom. A hang fails through the test's ctest timeout.
#include "Messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr UINT WM_TEST = WM_USER + 7;
LRESULT One(HWND, UINT, WPARAM, LPARAM)
{
    return 1;
}
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
    worker.join();
    return result;
}

TEST(Messages, SendRunsTheHandlerOnTheOwnerThreadAndBlocksUntilHandled)
{
    std::thread::id ranOn;
    std::atomic<int> wakes{0};
    std::latch queued(1);
    HWND hwnd = CreateMessageWindow(
        [&](HWND h, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
            ranOn = std::this_thread::get_id();
            return msg == WM_TEST && h ? static_cast<LRESULT>(w) + l : -1;
        },
        [&] {
            if (++wakes == 1)
                queued.count_down();
        });
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_EQ(SendMessageA(hwnd, WM_TEST, 40, 2), 42);  // same thread: a direct call, no wake
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(wakes, 0);

    ranOn = {};
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        EXPECT_EQ(SendMessageA(hwnd, WM_TEST, 5, -3), 2);
        returned = true;
    });
    queued.wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a sender that did not block returns meanwhile
    EXPECT_FALSE(returned);
    EXPECT_EQ(PumpSentMessages(), 1u);
    sender.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(wakes, 1);
    EXPECT_TRUE(DestroyMessageWindow(hwnd));
}

TEST(Messages, SendsToNoLiveWindowFailAtOnceAndHandlesAreNeverReused)
{
    int calls = 0;
    auto count = [&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++calls; };
    HWND hwnd = CreateMessageWindow(count);
    EXPECT_TRUE(DestroyMessageWindow(hwnd));
    EXPECT_FALSE(DestroyMessageWindow(hwnd));
    EXPECT_FALSE(DestroyMessageWindow(nullptr));
    EXPECT_FALSE(IsWindow(hwnd));
    for (HWND h : {hwnd, HWND{}, reinterpret_cast<HWND>(0xdeadbeef)}) {
        EXPECT_EQ(SendMessageA(h, WM_TEST, 0, 0), 0);
        std::thread([&] { EXPECT_EQ(SendMessageA(h, WM_TEST, 0, 0), 0); }).join();
    }
    std::set<HWND> seen{hwnd};
    for (int i = 0; i < 1000; ++i) {
        HWND newer = CreateMessageWindow(count);
        EXPECT_TRUE(seen.insert(newer).second);
        EXPECT_EQ(SendMessageA(hwnd, WM_TEST, 0, 0), 0);  // the stale handle never reaches it
        DestroyMessageWindow(newer);
    }
    HWND orphan = nullptr;  // its owner thread has ended
    std::thread([&] { orphan = CreateMessageWindow(One); }).join();
    EXPECT_FALSE(IsWindow(orphan));
    EXPECT_EQ(SendMessageA(orphan, WM_TEST, 0, 0), 0);
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

TEST(Messages, ConcurrentDestroysSucceedOnce)
{
    for (int round = 0; round < 50; ++round) {
        HWND hwnd = CreateMessageWindow(One);
        std::atomic<int> destroyed{0};
        std::vector<std::jthread> killers(4);
        for (auto& t : killers)
            t = std::jthread([&] { destroyed += DestroyMessageWindow(hwnd); });
        killers.clear();  // joins
        EXPECT_EQ(destroyed, 1);
    }
}

TEST(Messages, HandlerThatDestroysItsWindowOrThrowsReleasesTheSender)
{
    HWND hwnd =
        CreateMessageWindow([](HWND h, UINT, WPARAM, LPARAM) -> LRESULT { return DestroyMessageWindow(h) * 7; });
    EXPECT_EQ(OnWorker([&] { return SendMessageA(hwnd, WM_TEST, 0, 0); }), 7);
    EXPECT_FALSE(IsWindow(hwnd));

    thrown = 0;
    hwnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { throw std::runtime_error("x"); });
    EXPECT_EQ(OnWorker([&] { return SendMessageA(hwnd, WM_TEST, 0, 0); }), 0);
    EXPECT_EQ(thrown, 1);
    DestroyMessageWindow(hwnd);
}

// As a window's thread waits for the audio worker while it reports commands.
TEST(Messages, ThousandSendsWhileTheOwnerWaitsForTheWorker)
{
    WPARAM next = 0;  // each is handled once, in order
    HWND hwnd = CreateMessageWindow([&](HWND, UINT, WPARAM w, LPARAM) -> LRESULT { return w == next++ ? w + 1 : 0; });
    std::atomic<int> wrong{0};
    OnWorker([&] {
        for (WPARAM i = 0; i < 1000; ++i)
            wrong += SendMessageA(hwnd, WM_TEST, i, 0) != LRESULT(i + 1);
        return 0;
    });
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(next, 1000u);
    DestroyMessageWindow(hwnd);
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
