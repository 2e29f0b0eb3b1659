// Decode throughput of the tool's pipeline on a 10-minute recording, in
// multiples of real time (counter "realtime": audio seconds per CPU second);
// and of whole 8000 Hz files as `vardell decode` reads them, a long one and a
// short one, whose difference is what opening and setting up a file costs.
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <sndfile.h>

#include "Recording.h"
#include "Decoder.h"
#include "Tones.h"

namespace {

// Commands: random keys of 60-120 ms with 40-500 ms gaps, under white noise
// at 20 dB SNR; `played` counts the keys.
std::vector<std::int16_t> Keys(double seconds, int rate, std::size_t& played)
{
    std::mt19937 random(42);
    std::vector<std::int16_t> all;
    const auto target = static_cast<std::size_t>(seconds * rate);
    vardell::ToneOptions options{.sampleRate = rate};
    while (all.size() < target) {
        options.toneMs = std::uniform_int_distribution(60, 120)(random);
        options.gapMs = std::uniform_int_distribution(40, 500)(random);
        options.noise = true;
        options.snrDb = 20;
        options.seed = random();
        const char key = dtmf::kKeys[std::uniform_int_distribution(0, 15)(random)];
        const auto piece = vardell::GenerateTones(std::string(1, key), options);
        all.insert(all.end(), piece.begin(), piece.end());
        ++played;
    }
    all.resize(target);
    return all;
}

// Ten minutes of them, built once, like a file read before decoding.
std::size_t keysPlayed = 0;

const std::vector<std::int16_t>& TenMinutes()
{
    static const std::vector<std::int16_t> samples = Keys(600, dtmf::kRate, keysPlayed);
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

// A 16-bit mono WAV file at 8000 Hz of `seconds`, written once per process.
std::string File(int seconds)
{
    static const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("vardell-bench-" + std::to_string(getpid()));
    const std::string path = (dir / (std::to_string(seconds) + ".wav")).string();
    if (!std::filesystem::exists(path)) {
        std::filesystem::create_directories(dir);
        std::size_t played = 0;
        const auto samples = Keys(seconds, 8000, played);
        SF_INFO info{0, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
        sf_close(file);
        static const struct Cleanup {
            ~Cleanup() { std::filesystem::remove_all(dir); }
        } cleanup;
    }
    return path;
}

void DecodeFile(benchmark::State& state)
{
    const auto seconds = static_cast<int>(state.range(0));
    const std::string path = File(seconds);
    std::size_t lines = 0;
    for (auto _ : state) {
        lines = 0;
        vardell::Decoder decoder(vardell::DecodeOutput::Keys, [&](double, std::string_view) { ++lines; });
        std::string error;
        if (!vardell::StreamDetectorSamples(
                path, {}, [&](int, const std::int16_t* piece, std::size_t n) { decoder.Feed(piece, n); }, error))
            return state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(lines);
    }
    state.counters["realtime"] =
        benchmark::Counter(seconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(DecodeFile)->Arg(600)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(DecodeTenMinutes, commands, vardell::DecodeOutput::Commands)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DecodeTenMinutes, keys, vardell::DecodeOutput::Keys)->Unit(benchmark::kMillisecond);
