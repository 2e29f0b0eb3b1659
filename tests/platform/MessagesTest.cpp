// Cross-thread synchronous sends; a hang fails through the ctest timeout.
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

// On the owner's thread a send is a direct call; from elsewhere it is queued, the wake hook runs and
// the waiting owner handles it once, in order. A handler that throws or destroys its window still
// releases its sender. A lost wake-up would cost the 100 ms recheck.
TEST(Messages, SendsRunOnTheOwnerThreadInOrderAndAlwaysReleaseTheSender)
{
    const auto owner = std::this_thread::get_id();
    std::atomic<int> wakes{0};
    WPARAM next = 0;
    HWND hwnd = CreateMessageWindow(
        [&](HWND h, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
            return msg == WM_TEST && h && w == next++ && std::this_thread::get_id() == owner ? LRESULT(w) + l : 0;
        },
        [&] { ++wakes; });
    HWND throws = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { throw std::runtime_error("x"); });
    HWND ends =
        CreateMessageWindow([](HWND h, UINT, WPARAM, LPARAM) -> LRESULT { return DestroyMessageWindow(h) * 7; });
    EXPECT_TRUE(SendMessageA(hwnd, WM_TEST, 0, -3) == -3 && wakes == 0);
    int wrong = 0, thrown = 0;
    const auto start = std::chrono::steady_clock::now();
    for (WPARAM round = 0; round < 30; ++round) {
        std::atomic<bool> done{false};
        std::jthread worker([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));  // the owner is waiting by now
            wrong += round == 0 && SendMessageA(throws, WM_TEST, 0, 0) + SendMessageA(ends, WM_TEST, 0, 0) != 7;
            for (WPARAM i = 1 + round * 20; i < 21 + round * 20; ++i)
                wrong += SendMessageA(hwnd, WM_TEST, i, 1) != LRESULT(i + 1);
            done = true;
            NotifyPumpingThreads();
        });
        while (!done)
            try {
                WaitPumping([&] { return done.load(); });
            } catch (const std::runtime_error&) {  // the throwing handler's exception reaches the pump
                ++thrown;
            }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(wrong == 0 && next == 601u && wakes == 600 && thrown == 1 && !IsWindow(ends));
    EXPECT_TRUE(DestroyMessageWindow(hwnd) && DestroyMessageWindow(throws));
}

// A sender whose message is still queued gets 0 when the window goes; later sends to it or to a
// handle never issued fail at once; handles are never reused.
TEST(Messages, SendsToAWindowThatIsGoneReturnZero)
{
    int handled = 0;
    auto count = [&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++handled; };
    std::set<HWND> gone{nullptr, reinterpret_cast<HWND>(0xdeadbeef)};
    for (int way = 0; way < 3; ++way) {  // destroyed by the owner, by a third thread, with the owner's end
        std::latch created(1), queued(1);
        HWND hwnd = nullptr;
        std::thread owner([&] {
            hwnd = CreateMessageWindow(count, [&] { queued.count_down(); });
            created.count_down();
            queued.wait();
            bool destroyed = way == 0 && DestroyMessageWindow(hwnd);
            if (way == 1)
                std::thread([&] { destroyed = DestroyMessageWindow(hwnd); }).join();
            EXPECT_TRUE(destroyed == (way < 2) && (way == 2 || PumpSentMessages() == 0));
        });
        created.wait();
        EXPECT_EQ(SendMessageA(hwnd, WM_TEST, 0, 0), 0) << "way " << way;
        owner.join();
        EXPECT_FALSE(IsWindow(hwnd) || DestroyMessageWindow(hwnd));
        gone.insert(hwnd);
    }
    for (int i = 0; i < 50; ++i) {
        const HWND newer = *gone.insert(CreateMessageWindow(count)).first;
        EXPECT_TRUE(gone.size() == 6u + i && DestroyMessageWindow(newer));
    }
    for (HWND h : gone)
        handled += SendMessageA(h, WM_TEST, 0, 0) != 0;
    EXPECT_EQ(handled, 0);
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
    std::jthread a(run, 0), b(run, 1);
    a.join(), b.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
