// The live monitor on real-time virtual inputs: what an idle monitor costs,
// how long a tone takes to become a window text, and how long teardown takes.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "AudioMonitor.h"
#include "CommandReader.h"
#include "Messages.h"
#include "VirtualAudio.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kRate = 11025;

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// '#' (941 Hz + 1477 Hz, -10 dBFS each) for `toneMs`, then `gapMs` of silence.
std::vector<std::int16_t> HashKey(int toneMs, int gapMs)
{
    std::vector<std::int16_t> out;
    const double amplitude = 32767.0 * std::pow(10.0, -0.5), pi = 3.14159265358979323846;
    for (int t = 0; t < kRate * toneMs / 1000; ++t)
        out.push_back(static_cast<std::int16_t>(
            std::lround(amplitude * (std::sin(2 * pi * 941 * t / kRate) + std::sin(2 * pi * 1477 * t / kRate)))));
    out.insert(out.end(), static_cast<std::size_t>(kRate * gapMs / 1000), 0);
    return out;
}

// A real-time input of silence, a window on this thread that counts texts, and its reader.
struct Rig {
    Rig()
    {
        vaudio::RemoveVirtualDevices();
        vaudio::UseServerDevices(false);
        device = vaudio::AddVirtualInput("Live", {}, {vaudio::Pacing::RealTime, false});
        hwnd = CreateMessageWindow([this](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
            texts += msg == WM_DTMFCOMMAND;
            return 0;
        });
        reader = std::make_unique<CommandReader>(hwnd);
    }
    ~Rig()
    {
        reader.reset();
        DestroyMessageWindow(hwnd);
        vaudio::RemoveVirtualDevices();
    }
    std::unique_ptr<AudioMonitor> Monitor() { return std::make_unique<AudioMonitor>(reader.get(), int(device)); }

    unsigned int device;
    HWND hwnd;
    int texts = 0;
    std::unique_ptr<CommandReader> reader;
};

void BM_IdleMonitorCpu(benchmark::State& state)
{
    Rig rig;
    for (auto _ : state) {
        auto monitor = rig.Monitor();
        std::this_thread::sleep_for(200ms);
        const double cpu0 = CpuSeconds();
        const auto wall0 = Clock::now();
        std::this_thread::sleep_for(3s);
        const double cpu = CpuSeconds() - cpu0;
        const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
        state.SetIterationTime(wall);
        // The whole process: the device's pacing and callback threads included.
        state.counters["cpu_percent_of_core"] = 100 * cpu / wall;
    }
}
BENCHMARK(BM_IdleMonitorCpu)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ToneOnsetToText(benchmark::State& state)
{
    Rig rig;
    auto monitor = rig.Monitor();
    std::this_thread::sleep_for(200ms);
    const auto key = HashKey(100, 100);
    std::vector<double> latencies;
    for (auto _ : state) {
        const int before = rig.texts;
        const auto onset = Clock::now();
        vaudio::FeedVirtualInput(rig.device, key);
        const auto deadline = onset + 5s;
        std::jthread ticker([](std::stop_token stop) {
            while (!stop.stop_requested()) {
                std::this_thread::sleep_for(5ms);
                NotifyPumpingThreads();
            }
        });
        WaitPumping([&] { return rig.texts > before || Clock::now() >= deadline; });
        const auto seen = Clock::now();
        ticker.request_stop();
        if (rig.texts == before) {
            state.SkipWithError("no text within 5 s");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(seen - onset).count());
        latencies.push_back(Ms(seen - onset));
        std::this_thread::sleep_for(250ms);  // past the rest of the tone and the gap
    }
    state.counters["median_ms"] = Median(latencies);
    if (!latencies.empty())
        state.counters["max_ms"] = *std::max_element(latencies.begin(), latencies.end());
}
BENCHMARK(BM_ToneOnsetToText)->Iterations(30)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_MonitorTeardown(benchmark::State& state)
{
    Rig rig;
    std::vector<double> times;
    for (auto _ : state) {
        auto monitor = rig.Monitor();
        std::this_thread::sleep_for(50ms);  // running, blocks flowing
        const auto start = Clock::now();
        monitor.reset();
        const auto took = Clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(took).count());
        times.push_back(Ms(took));
    }
    state.counters["median_ms"] = Median(times);
    state.counters["max_ms"] = *std::max_element(times.begin(), times.end());
}
BENCHMARK(BM_MonitorTeardown)->Iterations(50)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
