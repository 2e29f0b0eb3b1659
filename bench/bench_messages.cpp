// Round trip of a synchronous message: a worker sends, the window's thread pumps.
#include "Messages.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <future>
#include <thread>

namespace {

LRESULT Echo(HWND, UINT, WPARAM w, LPARAM)
{
    return static_cast<LRESULT>(w);
}

void BM_SendSameThread(benchmark::State& state)
{
    HWND hwnd = CreateMessageWindow(Echo);
    for (auto _ : state)
        benchmark::DoNotOptimize(SendMessageA(hwnd, WM_USER, 1, 0));
    DestroyMessageWindow(hwnd);
}
BENCHMARK(BM_SendSameThread);

// The benchmark thread plays the audio worker; the owner waits in WaitPumping as a
// window's thread does while a monitor runs.
void BM_SendCrossThread(benchmark::State& state)
{
    std::atomic<bool> stop{false};
    std::promise<HWND> created;
    std::thread owner([&] {
        HWND hwnd = CreateMessageWindow(Echo);
        created.set_value(hwnd);
        WaitPumping([&] { return stop.load(); });
        DestroyMessageWindow(hwnd);
    });
    HWND hwnd = created.get_future().get();
    for (auto _ : state)
        benchmark::DoNotOptimize(SendMessageA(hwnd, WM_USER, 1, 0));
    stop = true;
    NotifyPumpingThreads();
    owner.join();
}
BENCHMARK(BM_SendCrossThread)->UseRealTime()->Repetitions(10)->ReportAggregatesOnly(true);

}  // namespace
