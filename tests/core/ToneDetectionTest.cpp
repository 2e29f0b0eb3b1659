// The fixed-point analyser to the bit and against a double DFT; the classifier on hand-made spectra and its debounce.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>

#include "FFT.h"
#include "KeyEngine.h"
#include "FixedPoint.h"

struct FFTTableAccess {
    static short LastCosine(const FFT& f, int n) { return f.cosTable[n / 2 - 1]; }
    static void Narrow(FFT& f) { f.wide = false; }  // the SSE2 butterflies, as a processor without AVX2 runs them
};

using Block = std::array<short, 256>;
using Spectrum = std::array<int, 128>;

static Spectrum Filled(int v, std::initializer_list<std::pair<int, int>> bins = {})
{
    Spectrum s;
    s.fill(v);
    for (auto [bin, value] : bins)
        s[bin] = value;
    return s;
}

TEST(FFT, BadSizesAndKnownBlocks)
{
    for (int bad : {-256, 0, 2, 3, 100, 65536})
        EXPECT_THROW(FFT{bad}, std::invalid_argument) << bad;
    // The last twiddle of a long transform rounds to +32768, which 16 bits cannot hold.
    EXPECT_EQ(FFTTableAccess::LastCosine(FFT(32768), 32768), 32767);
    EXPECT_NO_THROW(FFT{4});
    // Silence gives 1 in every bin; a constant gives exact bins, window rounding and all. At full
    // scale the 16-bit sum of point 0's two halves wraps (saturation would give 16 * 32767).
    FFT fft(256);
    Block silence{}, constant, full;
    Spectrum quiet, dc, wrap;
    constant.fill(5000), full.fill(32767);
    fft.Run(silence.data(), quiet.data()), fft.Run(constant.data(), dc.data()), fft.Run(full.data(), wrap.data());
    EXPECT_TRUE(quiet == Filled(1) && dc[0] == 86368 && dc[1] == 36848);
    EXPECT_NEAR(wrap[0], 16 * (65536 - 32767 * 1.08), 300);  // the window sums to 0.54 * 256
}

// Run against a double-precision DFT of the windowed block, scaled by 16 * 2/N: the flooring in the
// window and the 8 halving passes leave a few LSB (16 units each), at most ~95, RMS ~17. The band
// path must give Run's magnitudes to the bit, on wrapping blocks too (UBSan watches the overflows),
// with the butterflies of either width.
TEST(FFT, RunMatchesADoubleDFTAndTheBandPathMatchesRun)
{
    FFT fft(256), narrow(256);
    FFTTableAccess::Narrow(narrow);
    std::mt19937 rng(11);
    double squares[3] = {};
    for (int round = 0; round < 420; ++round) {
        // Random at 3 levels, random over the full range, full-scale random, alternating +-32768, silence.
        const int kind = round % 7, peak = kind < 3 ? std::array{300, 4000, 20000}[kind] : 0;
        Block block, full, work;
        for (int t = 0; t < 256; ++t) {
            const int v[] = {int(rng() % (2 * peak + 1)) - peak, int(rng() % 65536) - 32768, rng() & 1 ? 32767 : -32768,
                             t & 1 ? 32767 : -32768, 0};
            full[t] = block[t] = static_cast<short>(v[std::max(kind - 2, 0)]);
        }
        Spectrum out, band;
        fft.Run(full.data(), out.data());
        const int first = 1 + static_cast<int>(rng() % 64), last = first + static_cast<int>(rng() % (65 - first));
        fft.RunBand(block.data(), work.data(), band.data(), first, last);
        for (int k = first; k <= last; ++k)
            ASSERT_EQ(band[k], out[k]) << "round " << round << " bin " << k;
        narrow.RunBand(block.data(), work.data(), band.data(), first, last);
        for (int k = first; k <= last; ++k)
            ASSERT_EQ(band[k], out[k]) << "narrow, round " << round << " bin " << k;
        for (int k = 0; k < 128 && kind < 3 && round < 140; ++k) {
            std::complex<double> sum = 0;
            for (int t = 0; t < 256; ++t)
                sum += block[t] * (0.54 - 0.46 * std::cos(2 * std::numbers::pi * t / 256)) *
                       std::polar(1.0, -2 * std::numbers::pi * k * t / 256);
            const double expected = std::abs(sum) / 8;
            EXPECT_NEAR(out[k], expected, 128 + 0.001 * expected) << "peak " << peak << " bin " << k;
            squares[kind] += (out[k] - expected) * (out[k] - expected);
        }
    }
    for (double sum : squares)
        EXPECT_LT(std::sqrt(sum / (20 * 128)), 24);
}

// The shortcut root equals Newton's iteration: all small powers, around every square, a dense sample above.
TEST(FFT, ShortcutRootEqualsNewtonsIteration)
{
    for (std::int32_t p = 0; p <= 4194304; ++p)
        ASSERT_EQ(FastRoot(p * 256, 512), NewtonRoot(p * 256, 512)) << p;
    for (std::int64_t k = 2048; k <= 46341; ++k)
        for (std::int64_t p = k * k - 2; p <= std::min<std::int64_t>(k * k + 1, INT32_MAX); ++p)
            ASSERT_EQ(FastRoot(static_cast<std::int32_t>(p), 32), NewtonRoot(static_cast<std::int32_t>(p), 32)) << p;
    for (std::int64_t p = 4194305; p <= INT32_MAX; p += 997)
        ASSERT_EQ(FastRoot(static_cast<std::int32_t>(p), 32), NewtonRoot(static_cast<std::int32_t>(p), 32)) << p;
}

TEST(KeyDetector, ClassifiesHandMadeSpectraAndDebounces)
{
    constexpr int kHuge = 2'000'000'000;
    const std::pair<Spectrum, char> cases[] = {
        {Filled(100, {{16, 1000}, {28, 300}}), 0},  // noise 100, level 300: the level test is strict
        {Filled(100, {{16, 1000}, {28, 301}}), '1'},
        {Filled(100, {{16, 1000}, {18, 1000}, {28, 1000}}), 0},  // two rows
        {Filled(100, {{16, 1000}, {28, 1000}, {38, 1000}}), 0},  // two columns
        {Filled(100, {{22, 1000}, {38, 1000}}), 'D'},
        {Filled(100, {{20, 1000}, {34, 1000}}), '9'},
        {Filled(100, {{16, 1000}, {28, 1000}, {0, kHuge}, {14, kHuge}, {40, kHuge}, {127, kHuge}}), '1'},
        {Filled(0, {{15, 16}, {16, 1}, {28, 1}}), '1'},  // the noise mean 16 / 17 truncates to 0
    };
    for (const auto& [spectrum, key] : cases)
        EXPECT_EQ(KeyDetector::Classify(spectrum.data(), KeyEngine::kDetectionFactor), key)
            << "case " << &spectrum - &cases[0].first;
    // The debounce, one block per character ('.' for none): a key goes on once it is seen twice in a row.
    const std::pair<std::string, std::string> sequences[] = {
        {"55", "5"}, {"5555", "5"}, {"5.", ""}, {"55.55", "55"}, {"55855", "5"}, {"558855", "585"}, {"5.5.5", ""},
    };
    for (const auto& [sequence, keys] : sequences) {
        KeyDetector detector;
        std::string got;
        for (char b : sequence)
            if (const char k = detector.Debounce(b == '.' ? '\0' : b))
                got += k;
        EXPECT_EQ(got, keys) << sequence;
    }
}
