#include "Tones.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <string>

namespace vardell {

namespace {

double Amplitude(double dbfs)
{
    return 32767.0 * std::pow(10.0, dbfs / 20.0);
}

// Box-Muller on mt19937_64: unlike std::normal_distribution it gives the same
// numbers with every standard library, so a seed names one signal everywhere.
class GaussianNoise {
public:
    explicit GaussianNoise(std::uint64_t seed) : engine(seed) {}
    double Next()
    {
        if (hasSpare) {
            hasSpare = false;
            return spare;
        }
        double u1 = 0;
        while (u1 == 0)
            u1 = std::generate_canonical<double, 53>(engine);
        double u2 = std::generate_canonical<double, 53>(engine);
        double r = std::sqrt(-2.0 * std::log(u1));
        spare = r * std::sin(2 * std::numbers::pi * u2);
        hasSpare = true;
        return r * std::cos(2 * std::numbers::pi * u2);
    }

private:
    std::mt19937_64 engine;
    double spare = 0;
    bool hasSpare = false;
};

}  // namespace

std::vector<std::int16_t> GenerateTones(std::string_view keys, const ToneOptions& options)
{
    const double rate = options.sampleRate;
    const auto toneSamples = static_cast<std::size_t>(std::max(0.0, std::round(options.toneMs * rate / 1000)));
    const auto gapSamples = static_cast<std::size_t>(std::max(0.0, std::round(options.gapMs * rate / 1000)));
    const double low = Amplitude(options.levelDb);
    const double high = Amplitude(options.levelDb + options.twistDb);

    double sigma = 0;
    if (options.noise) {
        const double tonePower = (low * low + high * high) / 2;
        sigma = std::sqrt(tonePower / std::pow(10.0, options.snrDb / 10));
    }
    GaussianNoise noise(options.seed);
    const auto store = [](double s) {
        return static_cast<std::int16_t>(std::lround(std::clamp(s, -32768.0, 32767.0)));
    };

    std::vector<std::int16_t> samples;
    samples.reserve(keys.size() * (toneSamples + gapSamples));
    for (char key : keys) {
        const double rowHz = dtmf::RowHz(key);
        const double columnHz = dtmf::ColumnHz(key);
        for (std::size_t n = 0; n < toneSamples + gapSamples; ++n) {
            double s = 0;
            if (n < toneSamples) {
                // Each sine on its own, so the two levels are exactly as asked.
                const double t = static_cast<double>(n) / rate;
                s = low * std::sin(2 * std::numbers::pi * rowHz * t) +
                    high * std::sin(2 * std::numbers::pi * columnHz * t);
            }
            if (options.noise)
                s += sigma * noise.Next();
            samples.push_back(store(s));
        }
    }
    return samples;
}

std::string ToneProblem(std::string_view keys, const ToneOptions& options)
{
    using O = ToneOptions;
    if (keys.empty())
        return "there are no keys";
    for (char key : keys)
        if (dtmf::KeyIndex(key) < 0)
            return std::string("'") + key + "' is not a DTMF key (0-9, A-D, *, #)";
    const auto within = [](double v, double low, double high) { return v >= low && v <= high; };  // NaN is not
    if (!within(options.toneMs, 0, O::kMaxMs) || !within(options.gapMs, 0, O::kMaxMs))
        return "a tone or a pause lasts 0 to " + std::to_string(static_cast<int>(O::kMaxMs)) + " ms";
    if (!within(options.levelDb, O::kMinLevelDb, 0))
        return "the level is " + std::to_string(static_cast<int>(O::kMinLevelDb)) + " to 0 dBFS";
    if (!within(options.twistDb, -O::kMaxTwistDb, O::kMaxTwistDb))
        return "the twist is within +-" + std::to_string(static_cast<int>(O::kMaxTwistDb)) + " dB";
    if (options.noise && !within(options.snrDb, O::kMinSnrDb, O::kMaxSnrDb))
        return "the SNR is " + std::to_string(static_cast<int>(O::kMinSnrDb)) + " to " +
               std::to_string(static_cast<int>(O::kMaxSnrDb)) + " dB";
    if (options.sampleRate < O::kMinRate || options.sampleRate > O::kMaxRate)
        return "the rate is " + std::to_string(O::kMinRate) + " to " + std::to_string(O::kMaxRate) + " Hz";
    if (static_cast<double>(keys.size()) * (options.toneMs + options.gapMs) > O::kMaxSignalMs)
        return "the signal would last more than an hour";
    return {};
}

}  // namespace vardell
