// Per-block cost of tone detection: KeyEngine on one 256-sample block (plain and strict), strict detection's
// dearest blocks, and the full-spectrum FFT::Run plus KeyDetector::Classify for comparison. Real time needs
// 11025 / 256 = 43.07 blocks per second; the "x_realtime" counter says how many times over one core delivers that.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <random>

#include "KeyDetector.h"
#include "FFT.h"
#include "KeyEngine.h"

namespace {

constexpr int kBlock = 256;
constexpr double kBlocksPerSecond = 11025.0 / kBlock;

// A key press (852 + 1336 Hz, key 8, or another pair) with some noise, so the
// transform does ordinary work rather than shortcut silence.
std::array<short, kBlock> KeyBlock(double row = 852, double column = 1336)
{
    std::mt19937 rng(5);
    std::array<short, kBlock> block{};
    for (int t = 0; t < kBlock; ++t) {
        const double v = 6000 * std::sin(2 * M_PI * row * t / 11025) + 6000 * std::sin(2 * M_PI * column * t / 11025) +
                         static_cast<double>(rng() % 1201) - 600;
        block[t] = static_cast<short>(std::lround(v));
    }
    return block;
}

void RunAndClassify(benchmark::State& state, bool silent)
{
    FFT fft(kBlock);
    const std::array<short, kBlock> input = silent ? std::array<short, kBlock>{} : KeyBlock();
    std::array<short, kBlock> work;
    std::array<int, kBlock / 2> spectrum;
    for (auto _ : state) {
        work = input;  // Run overwrites its workspace
        fft.Run(work.data(), spectrum.data());
        char key = KeyDetector::Classify(spectrum.data(), KeyEngine::kDetectionFactor);
        benchmark::DoNotOptimize(key);
    }
    state.counters["blocks_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) / kBlocksPerSecond, benchmark::Counter::kIsRate);
}

void Counters(benchmark::State& state)
{
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) / kBlocksPerSecond, benchmark::Counter::kIsRate);
}

void BM_Engine(benchmark::State& state, bool silent, bool strict = false)
{
    const std::array<short, kBlock> input = silent ? std::array<short, kBlock>{} : KeyBlock();
    std::size_t keys = 0;
    KeyEngine engine([&](char, std::uint64_t) { ++keys; }, strict);
    for (auto _ : state)
        engine.Feed(input);
    benchmark::DoNotOptimize(keys);
    Counters(state);
}
BENCHMARK_CAPTURE(BM_Engine, key, false);
BENCHMARK_CAPTURE(BM_Engine, silence, true);
// Strict detection forms a wider band and weighs the tones; a held key skips the clarity score.
BENCHMARK_CAPTURE(BM_Engine, strict_key, false, true);
BENCHMARK_CAPTURE(BM_Engine, strict_silence, true, true);

// Strict detection's dearest blocks, through the whole engine in either mode: keys 8 and 9 in turn, like a
// trill in music that keeps nearly making a key, so that strict mode forms the clarity score and the
// harmonics in every block and hands nothing on.
void BM_EngineTrill(benchmark::State& state, bool strict)
{
    const std::array<short, kBlock> blocks[2] = {KeyBlock(), KeyBlock(852, 1477)};
    std::size_t keys = 0, n = 0;
    KeyEngine engine([&](char, std::uint64_t) { ++keys; }, strict);
    for (auto _ : state)
        engine.Feed(blocks[n++ % 2]);
    benchmark::DoNotOptimize(keys);
    Counters(state);
}
BENCHMARK_CAPTURE(BM_EngineTrill, plain, false);
BENCHMARK_CAPTURE(BM_EngineTrill, strict, true);

void BM_RunClassify_Key(benchmark::State& state)
{
    RunAndClassify(state, false);
}
void BM_RunClassify_Silence(benchmark::State& state)
{
    RunAndClassify(state, true);
}

void BM_Classify(benchmark::State& state)
{
    FFT fft(kBlock);
    std::array<short, kBlock> work = KeyBlock();
    std::array<int, kBlock / 2> spectrum;
    fft.Run(work.data(), spectrum.data());
    for (auto _ : state) {
        benchmark::DoNotOptimize(spectrum.data());
        char key = KeyDetector::Classify(spectrum.data(), KeyEngine::kDetectionFactor);
        benchmark::DoNotOptimize(key);
    }
}

}  // namespace

BENCHMARK(BM_RunClassify_Key);
BENCHMARK(BM_RunClassify_Silence);
BENCHMARK(BM_Classify);
