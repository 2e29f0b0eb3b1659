// The fixed-point analyser: its tables, known blocks to the bit, agreement with
// a double-precision DFT, and behaviour at full scale.
#include <gtest/gtest.h>

#include <algorithm>
#include <complex>
#include <stdexcept>
#include <vector>

#include "FFT.h"
#include "tones.h"

using namespace testsig;

struct FFTTableAccess {
    static const short* Reverse(const FFT& f) { return f.reverse.get(); }
    static const short* Window(const FFT& f) { return f.window.get(); }
    static const short* Sin(const FFT& f) { return f.sinTable.get(); }
    static const short* Cos(const FFT& f) { return f.cosTable.get(); }
};

namespace {

template <std::size_t n>
std::vector<short> Head(const short* table)
{
    return std::vector<short>(table, table + n);
}

}  // namespace

TEST(FFTTables, StartAsDocumented)
{
    FFT fft(256);
    EXPECT_EQ(Head<9>(FFTTableAccess::Reverse(fft)),
              (std::vector<short>{0, 128, 64, 192, 32, 160, 96, 224, 16}));
    EXPECT_EQ(Head<8>(FFTTableAccess::Sin(fft)),
              (std::vector<short>{0, -32768, -23170, -23170, -12540, -30274, -30274, -12540}));
    EXPECT_EQ(Head<8>(FFTTableAccess::Cos(fft)),
              (std::vector<short>{-32768, 0, -23170, 23170, -30274, 12540, -12540, 30274}));
    const short* w = FFTTableAccess::Window(fft);
    EXPECT_EQ(w[0], 2621);
    EXPECT_EQ(w[1], 2626);
    EXPECT_EQ(w[128], 32767);
    EXPECT_EQ(w[255], 2626);
}

TEST(FFTTables, CosineNearMinusOneIsClampedToQ15)
{
    // The last twiddle of a long transform rounds to +32768, which 16 bits cannot hold.
    FFT fft(32768);
    const short* cos = FFTTableAccess::Cos(fft);
    EXPECT_EQ(cos[16383], 32767);  // bitrev(M-1) = M-1
}

TEST(FFTConstruction, RejectsSizesThatAreNotPowersOfTwoFromFour)
{
    for (int bad : {-256, 0, 1, 2, 3, 6, 100, 255, 65536})
        EXPECT_THROW(FFT{bad}, std::invalid_argument) << bad;
    EXPECT_NO_THROW(FFT{4});
}

TEST(FFTRun, KnownBlocks)
{
    FFT fft(256);

    Spectrum silent = Analyse(fft, Block{});
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](int v) { return v == 1; }));

    Block impulse{};
    impulse[0] = 32767;
    Spectrum flat = Analyse(fft, impulse);
    EXPECT_TRUE(std::all_of(flat.begin(), flat.end(), [](int v) { return v == 320; }));

    Block constant;
    constant.fill(5000);
    Spectrum dc = Analyse(fft, constant);
    EXPECT_EQ(dc[0], 86368);
    EXPECT_EQ(dc[1], 36848);
    EXPECT_LE(*std::max_element(dc.begin() + 2, dc.end()), 35);
}

// Against a double-precision DFT of the same windowed block, scaled as the
// analyser scales (16 * 2/N). The difference is truncation noise of fixed size,
// whatever the level: the window and each of the 8 halving passes floor their
// results, a few LSB per part by the end, and one LSB is 16 in magnitude units;
// the root rounds to 16 above p = 2^22. Measured over 100k bins: at most ~95,
// RMS ~17. Hence 128 per bin plus 0.1 % for the Q15 tables, and RMS under 24.
TEST(FFTRun, AgreesWithReferenceDFTOnRandomBlocks)
{
    FFT fft(256);
    std::mt19937 rng(2024);
    for (int peak : {300, 4000, 20000}) {
        double squares = 0;
        for (int round = 0; round < 20; ++round) {
            Block block;
            for (short& s : block)
                s = static_cast<short>(static_cast<int>(rng() % (2 * peak + 1)) - peak);
            const Spectrum out = Analyse(fft, block);
            for (int k = 0; k < kBlock / 2; ++k) {
                std::complex<double> sum = 0;
                for (int t = 0; t < kBlock; ++t) {
                    const double h = 0.54 - 0.46 * std::cos(2 * kPi * t / kBlock);
                    sum += block[t] * h * std::polar(1.0, -2 * kPi * k * t / kBlock);
                }
                const double expected = 16 * 2.0 / kBlock * std::abs(sum);
                EXPECT_NEAR(out[k], expected, 128 + 0.001 * expected) << "peak " << peak << " bin " << k;
                squares += (out[k] - expected) * (out[k] - expected);
            }
        }
        EXPECT_LT(std::sqrt(squares / (20 * kBlock / 2)), 24) << "peak " << peak;
    }
}

TEST(FFTRun, DtmfTonesPeakInTheirBins)
{
    FFT fft(256);
    const int bins[8] = {16, 18, 20, 22, 28, 31, 34, 38};
    const double hz[8] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};
    for (int i = 0; i < 8; ++i) {
        const Spectrum out = Analyse(fft, Tones({hz[i]}, 10000, 37 * i));
        EXPECT_EQ(std::max_element(out.begin(), out.end()) - out.begin(), bins[i]) << hz[i] << " Hz";
    }
    // A tone centred on a bin: out[k] ~ 8.64 * A.
    EXPECT_NEAR(Analyse(fft, Tones({20 * 11025.0 / 256}, 10000))[20], 86400, 200);
}

TEST(FFTRun, FullScaleWrapsInsteadOfSaturating)
{
    FFT fft(256);
    // Full-scale DC: the real and imaginary sums of point 0 each reach about
    // 0.54 * 32767, so their 16-bit sum wraps. Saturation would give 16 * 32767.
    Block full;
    full.fill(32767);
    double windowed = 0;
    for (int t = 0; t < kBlock; ++t)
        windowed += (32767 * (0.54 - 0.46 * std::cos(2 * kPi * t / kBlock))) / (kBlock / 2);
    const Spectrum out = Analyse(fft, full);
    EXPECT_NEAR(out[0], 16 * (65536 - windowed), 300);

    // Blocks chosen to overflow every stage must run (UBSan watches the arithmetic).
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        Block block;
        for (short& s : block)
            s = (rng() & 1) ? 32767 : -32768;
        if (round % 3 == 0)
            block.fill(-32768);
        for (int v : Analyse(fft, block)) {
            ASSERT_GE(v, 0);
            ASSERT_LE(v, 741440);
        }
    }
}
