// Reading at any rate into the detector's 11025 Hz: tones keep their level, frequency and timing, and
// nothing else appears; the 8000 Hz resampler gives the same samples on every path and in any pieces.
#include <cmath>
#include <complex>
#include <numbers>
#include <random>

#include "Recording.h"
#include "Resampler.h"
#include "ToolRunner.h"

using namespace tooltest;
using Samples = std::vector<std::int16_t>;

// A key's two tones (697 and 1633 Hz, 8000 each) for 1.2 s, as read: each tone's gain (dB) and phase
// error (rad) over the second from 0.1 s on, where whole periods keep them apart, and what is left
// besides them (dB below one tone).
TEST(Resampler, EveryRateKeepsTheTonesAndAddsNothing)
{
    TempDir dir;
    constexpr double kTones[] = {697, 1633}, kAmplitude = 8000;
    for (const auto& [rate, format] : {std::pair{8000, SF_FORMAT_PCM_16},
                                       {8000, SF_FORMAT_PCM_24},
                                       {11025, SF_FORMAT_PCM_16},
                                       {16000, SF_FORMAT_PCM_16},
                                       {22050, SF_FORMAT_PCM_16},
                                       {48000, SF_FORMAT_PCM_24}}) {
        Samples wave(static_cast<std::size_t>(1.2 * rate));
        for (std::size_t n = 0; n < wave.size(); ++n)
            for (const double f : kTones)
                wave[n] = static_cast<std::int16_t>(
                    wave[n] + std::lround(kAmplitude * std::sin(2 * std::numbers::pi * f * double(n) / rate)));
        WriteChannels(dir.Path("t.wav"), {wave}, rate, SF_FORMAT_WAV | format);
        Samples got;
        std::string error;
        ASSERT_TRUE(vardell::StreamDetectorSamples(
            dir.Path("t.wav"), {}, [&](int, const std::int16_t* s, std::size_t n) { got.insert(got.end(), s, s + n); },
            error))
            << error;
        EXPECT_NEAR(double(got.size()), 1.2 * 11025, 1) << rate;
        std::vector<double> rest(got.begin() + 1103, got.begin() + 1103 + 11025);
        for (const double f : kTones) {
            std::complex<double> sum;
            for (std::size_t m = 0; m < rest.size(); ++m)
                sum += rest[m] * std::polar(2.0 / 11025, -2 * std::numbers::pi * f * double(m + 1103) / 11025);
            EXPECT_NEAR(20 * std::log10(std::abs(sum) / kAmplitude), 0, 0.01) << rate << " Hz, " << f;
            EXPECT_NEAR(std::arg(sum), -std::numbers::pi / 2, 0.002) << rate << " Hz, " << f;  // a sine: -i
            for (std::size_t m = 0; m < rest.size(); ++m)
                rest[m] -= std::real(sum * std::polar(1.0, 2 * std::numbers::pi * f * double(m + 1103) / 11025));
        }
        double power = 0;
        for (const double v : rest)
            power += v * v / double(rest.size());
        EXPECT_LT(10 * std::log10(power / (kAmplitude * kAmplitude / 2)), -75) << rate;
    }
}

// Full-scale noise, so that many outputs saturate; a constant, which stays exactly that; and silence, which
// stays silence to the last sample.
TEST(Resampler, PiecesOfAnySizeAndEveryPathGiveTheSameSamples)
{
    std::mt19937 random(5);
    Samples in(30000), whole;
    for (auto& v : in)
        v = static_cast<std::int16_t>(random() % 4 ? int(random() % 65536) - 32768 : random() % 2 ? 32767 : -32768);
    const auto run = [&](Resampler::Path path, const Samples& signal, bool pieces) {
        Resampler r(path);
        Samples out;
        for (std::size_t at = 0, n; at < signal.size(); at += n) {
            n = pieces ? std::min<std::size_t>(random() % 3 ? random() % 900 : random() % 9, signal.size() - at)
                       : signal.size();
            const auto made = r.Process(std::span(signal).subspan(at, n));
            out.insert(out.end(), made.begin(), made.end());
        }
        const auto rest = r.Flush();
        out.insert(out.end(), rest.begin(), rest.end());
        return out;
    };
    whole = run(Resampler::Path::Portable, in, false);
    EXPECT_EQ(whole.size(), (in.size() * 441 + 319) / 320);
    for (auto path : {Resampler::Path::Portable, Resampler::Path::Sse2, Resampler::Path::Avx2})
        EXPECT_TRUE(!Resampler::Available(path) || run(path, in, true) == whole) << int(path);
    const Samples constant = run(Resampler::Path::Best, Samples(3000, -1234), true);
    EXPECT_EQ(std::count(constant.begin() + 11, constant.end() - 11, -1234), constant.size() - 22);
    const Samples silence = run(Resampler::Path::Best, Samples(3000, 0), true);  // to the end of the flush's tail
    EXPECT_EQ(std::count(silence.begin(), silence.end(), 0), std::ptrdiff_t(silence.size()));
}
