// Cross-thread synchronous messaging: results, ownership, teardown and deadlock freedom.
#include "Messages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Aborts the run when a test deadlocks, instead of waiting for ctest's timeout.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock lk(m_);
              if (!cv_.wait_for(lk, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "watchdog: test hung (deadlock?)\n");
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard lk(m_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

// A one-shot signal between threads.
class Latch {
public:
    void Set() {
        {
            std::lock_guard lk(m_);
            set_ = true;
        }
        cv_.notify_all();
        NotifyPumpingThreads();
    }
    bool IsSet() {
        std::lock_guard lk(m_);
        return set_;
    }
    void Wait() {
        std::unique_lock lk(m_);
        cv_.wait(lk, [this] { return set_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool set_ = false;
};

constexpr UINT WM_TEST = WM_USER + 7;

TEST(Messages, SameThreadSendCallsTheHandlerDirectly) {
    std::thread::id ranOn;
    bool woken = false;
    HWND hwnd = CreateMessageWindow(
        [&](HWND h, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
            ranOn = std::this_thread::get_id();
            EXPECT_EQ(msg, WM_TEST);
            return static_cast<LRESULT>(w) * 10 + l + (h != nullptr);
        },
        [&] { woken = true; });
    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_EQ(SendMessageA(hwnd, WM_TEST, 4, -3), 38);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(woken);
    EXPECT_EQ(PumpSentMessages(), 0u);
    EXPECT_TRUE(DestroyMessageWindow(hwnd));
}

TEST(Messages, CrossThreadSendBlocksUntilTheOwnerHandlesIt) {
    Watchdog dog(60s);
    std::thread::id ranOn;
    std::atomic<int> wakes{0};
    Latch queued;
    HWND hwnd = CreateMessageWindow(
        [&](HWND, UINT, WPARAM w, LPARAM l) -> LRESULT {
            ranOn = std::this_thread::get_id();
            return static_cast<LRESULT>(w) + l;
        },
        [&] {
            ++wakes;
            queued.Set();
        });
    std::atomic<bool> returned{false};
    LRESULT result = -1;
    std::thread worker([&] {
        result = SendMessageA(hwnd, WM_TEST, 40, 2);
        returned = true;
    });
    queued.Wait();
    std::this_thread::sleep_for(20ms);  // a sender that did not block would have returned by now
    EXPECT_FALSE(returned);
    WaitPumping([&] { return returned.load(); });
    worker.join();
    EXPECT_EQ(result, 42);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_EQ(wakes, 1);
    DestroyMessageWindow(hwnd);
}

TEST(Messages, DeadHandlesFailAtOnce) {
    int calls = 0;
    HWND hwnd = CreateMessageWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++calls; });
    EXPECT_TRUE(DestroyMessageWindow(hwnd));
    EXPECT_FALSE(DestroyMessageWindow(hwnd));
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(IsWindow(nullptr));
    EXPECT_FALSE(DestroyMessageWindow(nullptr));
    EXPECT_EQ(SendMessageA(nullptr, WM_TEST, 0, 0), 0);
    EXPECT_EQ(SendMessageA(reinterpret_cast<HWND>(0xdeadbeef), WM_TEST, 0, 0), 0);
    EXPECT_EQ(SendMessageA(hwnd, WM_TEST, 0, 0), 0);
    std::thread([&] { EXPECT_EQ(SendMessageA(hwnd, WM_TEST, 0, 0), 0); }).join();
    EXPECT_EQ(calls, 0);
}

TEST(Messages, ConcurrentDestroysSucceedOnce) {
    for (int round = 0; round < 50; ++round) {
        HWND hwnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 1; });
        std::atomic<int> destroyed{0};
        std::vector<std::thread> killers;
        for (int i = 0; i < 4; ++i) killers.emplace_back([&] { destroyed += DestroyMessageWindow(hwnd); });
        for (auto& t : killers) t.join();
        EXPECT_EQ(destroyed, 1);
    }
}

TEST(Messages, HandlesAreNeverReused) {
    std::set<HWND> seen;
    HWND stale = nullptr;
    for (int i = 0; i < 1000; ++i) {
        HWND h = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 1; });
        EXPECT_TRUE(seen.insert(h).second);
        if (i == 0) stale = h;
        DestroyMessageWindow(h);
    }
    int newerCalls = 0;
    HWND newer = CreateMessageWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++newerCalls; });
    EXPECT_FALSE(seen.contains(newer));
    EXPECT_EQ(SendMessageA(stale, WM_TEST, 0, 0), 0);
    EXPECT_EQ(newerCalls, 0);
    DestroyMessageWindow(newer);
}

TEST(Messages, DestroyReleasesWaitingSenders) {
    Watchdog dog(60s);
    // Destroyed by the owner itself, and by a third thread.
    for (bool byOwner : {true, false}) {
        bool handled = false;
        Latch queued;
        HWND hwnd = CreateMessageWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return handled = true; },
                                        [&] { queued.Set(); });
        auto result = std::async(std::launch::async, [&] { return SendMessageA(hwnd, WM_TEST, 0, 0); });
        queued.Wait();
        if (byOwner)
            EXPECT_TRUE(DestroyMessageWindow(hwnd));
        else
            std::thread([&] { EXPECT_TRUE(DestroyMessageWindow(hwnd)); }).join();
        EXPECT_EQ(result.get(), 0);
        EXPECT_EQ(PumpSentMessages(), 0u);
        EXPECT_FALSE(handled);
    }
}

TEST(Messages, DestroyDuringTheHandlerLetsItFinish) {
    Watchdog dog(60s);
    HWND hwnd = nullptr;
    hwnd = CreateMessageWindow([&](HWND h, UINT, WPARAM, LPARAM) -> LRESULT {
        EXPECT_TRUE(DestroyMessageWindow(h));
        return 7;
    });
    LRESULT result = -1;
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        result = SendMessageA(hwnd, WM_TEST, 0, 0);
        returned = true;
        NotifyPumpingThreads();
    });
    WaitPumping([&] { return returned.load(); });
    worker.join();
    EXPECT_EQ(result, 7);
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(Messages, EndedOwnerThreadFailsSends) {
    Watchdog dog(60s);
    // A window whose owner has already ended.
    HWND orphan = nullptr;
    std::thread([&] {
        orphan = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 1; });
    }).join();
    EXPECT_FALSE(IsWindow(orphan));
    EXPECT_EQ(SendMessageA(orphan, WM_TEST, 0, 0), 0);

    // A sender already waiting when the owner ends without handling its message.
    Latch created, queued;
    HWND hwnd = nullptr;
    bool handled = false;
    std::thread owner([&] {
        hwnd = CreateMessageWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return handled = true; },
                                   [&] { queued.Set(); });
        created.Set();
        queued.Wait();
    });
    created.Wait();
    EXPECT_EQ(SendMessageA(hwnd, WM_TEST, 0, 0), 0);
    owner.join();
    EXPECT_FALSE(handled);
}

TEST(Messages, HandlerExceptionReleasesTheSender) {
    Watchdog dog(60s);
    HWND hwnd = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { throw std::runtime_error("x"); });
    std::atomic<bool> returned{false};
    LRESULT result = -1;
    std::thread worker([&] {
        result = SendMessageA(hwnd, WM_TEST, 0, 0);
        returned = true;
        NotifyPumpingThreads();
    });
    int thrown = 0;
    while (!returned) {
        try {
            WaitPumping([&] { return returned.load(); });
        } catch (const std::runtime_error&) {
            ++thrown;
        }
    }
    worker.join();
    EXPECT_EQ(thrown, 1);
    EXPECT_EQ(result, 0);
    DestroyMessageWindow(hwnd);
}

// The owner waits for a worker that notifies it a thousand times, as a window's thread
// waits for the audio worker while it reports commands.
TEST(Messages, ThousandSendsWhileTheOwnerWaitsForTheWorker) {
    Watchdog dog(120s);
    constexpr int kSends = 1000;
    std::vector<WPARAM> received;
    HWND hwnd = CreateMessageWindow([&](HWND, UINT, WPARAM w, LPARAM) -> LRESULT {
        received.push_back(w);
        return static_cast<LRESULT>(w) + 1;
    });
    std::atomic<bool> finished{false};
    int wrong = 0;
    std::thread worker([&] {
        for (int i = 0; i < kSends; ++i)
            if (SendMessageA(hwnd, WM_TEST, i, 0) != i + 1) ++wrong;
        finished = true;
        NotifyPumpingThreads();
    });
    WaitPumping([&] { return finished.load(); });
    worker.join();
    EXPECT_EQ(wrong, 0);
    ASSERT_EQ(received.size(), static_cast<std::size_t>(kSends));
    for (int i = 0; i < kSends; ++i) EXPECT_EQ(received[i], static_cast<WPARAM>(i));
    DestroyMessageWindow(hwnd);
}

// Each thread sends to the other's window, and each handler sends back again, so every
// send waits on a thread that is itself blocked in a send.
TEST(Messages, ThreadsSendingToEachOtherDoNotDeadlock) {
    Watchdog dog(120s);
    constexpr int kRounds = 300;
    HWND windows[2] = {};
    Latch created[2];
    std::atomic<int> finished{0};
    std::atomic<int> wrong{0};
    auto run = [&](int me) {
        int other = 1 - me;
        windows[me] = CreateMessageWindow([&, other](HWND, UINT msg, WPARAM w, LPARAM) -> LRESULT {
            if (msg == WM_TEST)  // echo once to the sender's window while it waits for us
                return SendMessageA(windows[other], WM_TEST + 1, w, 0) + 1;
            return static_cast<LRESULT>(w) * 2;
        });
        created[me].Set();
        created[other].Wait();
        for (int i = 0; i < kRounds; ++i)
            if (SendMessageA(windows[other], WM_TEST, i, 0) != 2 * i + 1) ++wrong;
        ++finished;
        NotifyPumpingThreads();
        WaitPumping([&] { return finished.load() == 2; });  // keep serving the other thread
    };
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
