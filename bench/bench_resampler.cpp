// The 8000 -> 11025 Hz resampler alone, on each of its paths, against soxr's high
// quality as the tool used it before (float in and out, then rounded to 16 bits).
// Counter "realtime": audio seconds per CPU second.
#include <cmath>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <soxr.h>

#include "Resampler.h"

namespace {

// A minute of two tones under noise, as 16-bit samples and as floats.
const std::vector<std::int16_t>& Minute()
{
    static const std::vector<std::int16_t> samples = [] {
        std::mt19937 random(1);
        std::normal_distribution<double> noise(0, 300);
        std::vector<std::int16_t> s(60 * Resampler::kInputRate);
        for (std::size_t i = 0; i < s.size(); ++i) {
            const double t = static_cast<double>(i) / Resampler::kInputRate;
            s[i] = static_cast<std::int16_t>(std::lround(5000 * std::sin(2 * M_PI * 770 * t) +
                                                         5000 * std::sin(2 * M_PI * 1336 * t) + noise(random)));
        }
        return s;
    }();
    return samples;
}

constexpr std::size_t kChunk = 4096;  // what the tool reads at a time

void Report(benchmark::State& state)
{
    state.counters["realtime"] =
        benchmark::Counter(60.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void Fir(benchmark::State& state, Resampler::Path path)
{
    if (!Resampler::Available(path))
        return state.SkipWithError("not on this processor");
    const auto& in = Minute();
    for (auto _ : state) {
        Resampler r(path);
        std::size_t made = 0;
        for (std::size_t at = 0; at < in.size(); at += kChunk)
            made += r.Process(std::span(in).subspan(at, std::min(kChunk, in.size() - at))).size();
        made += r.Flush().size();
        benchmark::DoNotOptimize(made);
    }
    Report(state);
}

void Soxr(benchmark::State& state)
{
    const auto& in = Minute();
    std::vector<float> floats(kChunk), resampled(kChunk * 2);
    std::vector<std::int16_t> out(kChunk * 2);
    for (auto _ : state) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        soxr_t r = soxr_create(Resampler::kInputRate, Resampler::kOutputRate, 1, nullptr, &io, &quality, nullptr);
        for (std::size_t at = 0; at < in.size(); at += kChunk) {
            const std::size_t n = std::min(kChunk, in.size() - at);
            for (std::size_t i = 0; i < n; ++i)
                floats[i] = in[at + i] / 32768.0f;
            std::size_t used = 0, made = 0;
            soxr_process(r, floats.data(), n, &used, resampled.data(), resampled.size(), &made);
            for (std::size_t i = 0; i < made; ++i)
                out[i] =
                    static_cast<std::int16_t>(std::lround(std::clamp(resampled[i] * 32768.0f, -32768.0f, 32767.0f)));
            benchmark::DoNotOptimize(out.data());
        }
        soxr_delete(r);
    }
    Report(state);
}

// What a stream's set-up costs (the tables are built once per process, before this runs).
void SetUp(benchmark::State& state)
{
    const std::int16_t piece[kChunk] = {};
    for (auto _ : state) {
        Resampler r;
        benchmark::DoNotOptimize(r.Process(piece).data());
    }
}

}  // namespace

BENCHMARK_CAPTURE(Fir, portable, Resampler::Path::Portable)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Fir, sse2, Resampler::Path::Sse2)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Fir, avx2, Resampler::Path::Avx2)->Unit(benchmark::kMillisecond);
BENCHMARK(Soxr)->Unit(benchmark::kMillisecond);
BENCHMARK(SetUp)->Unit(benchmark::kMicrosecond);
