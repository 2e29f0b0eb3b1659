// Redaction throughput on a 10-minute 8000 Hz stereo call, in multiples of real
// time (counter "realtime": audio seconds per CPU second): the library's
// Redactor on 16-bit frames, and the tool's whole road through RedactFile, WAV
// file to WAV file.
#include <cmath>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <unistd.h>

#include "RedactFile.h"
#include "Redactor.h"
#include "Tones.h"

namespace {

constexpr int kRate = 8000;
constexpr std::size_t kFrames = 600u * kRate;

// Speech-like sound on both channels (voiced bursts: harmonics of a gliding
// pitch under a noise floor), and a run of keys on the first every 20 s.
const std::vector<std::int16_t>& Call()
{
    static const std::vector<std::int16_t> frames = [] {
        std::mt19937 random(7);
        std::normal_distribution<double> noise(0, 30);
        std::vector<std::int16_t> all(2 * kFrames);
        for (int c = 0; c < 2; ++c) {
            double phase = 0;
            for (std::size_t i = 0; i < kFrames; ++i) {
                const double t = static_cast<double>(i) / kRate;
                const double voiced = std::max(0.0, std::sin(2 * M_PI * (0.7 + 0.2 * c) * t));
                const double pitch = 110 + 60 * c + 20 * std::sin(2 * M_PI * 0.9 * t);
                phase += 2 * M_PI * pitch / kRate;
                double x = 0;
                for (int h = 1; h <= 12; ++h)
                    x += std::sin(h * phase) / h;
                all[2 * i + c] = static_cast<std::int16_t>(3000 * voiced * x + noise(random));
            }
        }
        const auto keys = vardell::GenerateTones("4929123456781234", {.toneMs = 70, .gapMs = 80, .sampleRate = kRate});
        for (std::size_t at = 5 * kRate; at + keys.size() < kFrames; at += 20 * kRate)
            for (std::size_t i = 0; i < keys.size(); ++i)
                all[2 * (at + i)] = static_cast<std::int16_t>(all[2 * (at + i)] / 2 + keys[i]);
        return all;
    }();
    return frames;
}

void Realtime(benchmark::State& state, std::size_t spans)
{
    state.counters["realtime"] =
        benchmark::Counter(static_cast<double>(kFrames) / kRate * state.iterations(), benchmark::Counter::kIsRate);
    state.counters["spans"] = static_cast<double>(spans);
}

void RedactorOnFrames(benchmark::State& state)
{
    const auto& call = Call();
    std::vector<std::int16_t> out(call.size());
    std::size_t spans = 0;
    for (auto _ : state) {
        spans = 0;
        vardell::Redactor<std::int16_t> redactor(2, kRate, {}, [&](const vardell::RedactedSpan&) { ++spans; });
        std::size_t made = 0;
        for (std::size_t at = 0; at < kFrames; at += 4096) {
            const std::size_t n = std::min<std::size_t>(4096, kFrames - at);
            made += redactor.Process(call.data() + 2 * at, n, out.data() + 2 * made);
        }
        redactor.Finish(out.data() + 2 * made);
        benchmark::DoNotOptimize(out.data());
    }
    Realtime(state, spans);
}

void RedactFileToFile(benchmark::State& state)
{
    const auto& call = Call();
    const std::string dir =
        std::filesystem::temp_directory_path() / ("vardell-bench-redact-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string in = dir + "/call.wav", out = dir + "/clean.wav";
    SF_INFO info{0, kRate, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
    SNDFILE* file = sf_open(in.c_str(), SFM_WRITE, &info);
    sf_writef_short(file, call.data(), static_cast<sf_count_t>(kFrames));
    sf_close(file);
    std::size_t spans = 0;
    for (auto _ : state) {
        spans = 0;
        std::string error;
        if (vardell::RedactFile(
                in, out, {}, [&](const vardell::RedactedSpan&) { ++spans; }, error) != vardell::RedactOutcome::Done)
            state.SkipWithError(error.c_str());
    }
    Realtime(state, spans);
    std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(RedactorOnFrames)->Unit(benchmark::kMillisecond);
BENCHMARK(RedactFileToFile)->Unit(benchmark::kMillisecond);
