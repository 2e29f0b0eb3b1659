// Decode throughput of the tool's pipeline on a 10-minute recording, in
// multiples of real time (counter "realtime": audio seconds per CPU second).
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "AudioFile.h"
#include "Decoder.h"
#include "Tones.h"

namespace {

// Ten minutes of commands: random keys of 60-120 ms with 40-500 ms gaps, under
// white noise at 20 dB SNR. Built once, like a file read before decoding.
std::size_t keysPlayed = 0;

const std::vector<std::int16_t>& TenMinutes()
{
    static const std::vector<std::int16_t> samples = [] {
        std::mt19937 random(42);
        std::vector<std::int16_t> all;
        const std::size_t target = 600u * dtmf::kRate;
        vardell::ToneOptions options;
        while (all.size() < target) {
            options.toneMs = std::uniform_int_distribution(60, 120)(random);
            options.gapMs = std::uniform_int_distribution(40, 500)(random);
            options.noise = true;
            options.snrDb = 20;
            options.seed = random();
            const char key = dtmf::kKeys[std::uniform_int_distribution(0, 15)(random)];
            const auto piece = vardell::GenerateTones(std::string(1, key), options);
            all.insert(all.end(), piece.begin(), piece.end());
            ++keysPlayed;
        }
        all.resize(target);
        return all;
    }();
    return samples;
}

void DecodeTenMinutes(benchmark::State& state, vardell::DecodeOutput output)
{
    const auto& samples = TenMinutes();
    std::size_t lines = 0;
    for (auto _ : state) {
        lines = 0;
        vardell::DecodeSamples(samples.data(), samples.size(), output, [&](double, std::string_view) { ++lines; });
        benchmark::DoNotOptimize(lines);
    }
    const double audioSeconds = static_cast<double>(samples.size()) / dtmf::kRate;
    state.counters["realtime"] =
        benchmark::Counter(audioSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    // Tones under 70 ms may be missed by design (two full blocks), so lines < keys.
    state.counters["lines"] = static_cast<double>(lines);
    state.counters["keys"] = static_cast<double>(keysPlayed);
    state.SetItemsProcessed(static_cast<std::int64_t>(samples.size()) * state.iterations());
}

}  // namespace

BENCHMARK_CAPTURE(DecodeTenMinutes, commands, vardell::DecodeOutput::Commands)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DecodeTenMinutes, keys, vardell::DecodeOutput::Keys)->Unit(benchmark::kMillisecond);
